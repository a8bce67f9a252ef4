// The local threshold as a dark mask per row: a pixel is dark when its grey level lies
// far enough below the mean of the square window around it. Grey levels (blue + green +
// red) are computed once per pixel into a ring of the rows the window holds; per column
// the sum over the window's rows is kept and moved down a row at a time (adding the row
// that enters, subtracting the one that leaves); prefix sums of those give every window
// sum along the row. Integer arithmetic throughout, so the AVX2 steps (taken where the
// processor has them) mark exactly what the plain steps mark. With AVX2 and a window
// narrow enough that a row's sum across it fits 16 bits, the order is turned round:
// each row entering the window gets its sums across the window once (span sums), and
// the per-column sums of those are the window sums themselves.
//
// With cells, grey levels are summed per 4 x 4 cell a window's height ahead of the row
// being marked, so the frame's rows are read twice while they are still in the cache and
// no grey image is kept; each row of cells gets, per cell, the first grey level that is
// not dark around it, and each pixel is then one comparison against its cell's level.
#include "detect/runs.h"

#include <algorithm>
#include <cstring>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define MARK_LOCAL_AVX2 1
#endif

namespace {

void markGreyPlain(const uint8_t* row, int x, int width, uint16_t* grey)
{
    for (; x < width; x++) {
        const uint8_t* p = row + 4 * x;
        grey[x] = static_cast<uint16_t>(p[0] + p[1] + p[2]);
    }
}

// cols[x] += add[x] - sub[x] (either may be absent), modulo 2^32.
void markColumnsPlain(uint32_t* cols, const uint16_t* add, const uint16_t* sub, int x, int width)
{
    for (; x < width; x++) {
        uint32_t c = cols[x];
        if (add != nullptr) c += add[x];
        if (sub != nullptr) c -= sub[x];
        cols[x] = c;
    }
}

// The dark rule with every term in channel sums: 100 * (v + offset) * n < keep * sum,
// where n counts the window's pixels inside the frame.
struct MarkLocalRule {
    int r;           // window radius
    int64_t rows;    // window rows inside the frame
    int64_t offset;  // 3 * localOffset
    int64_t keep;    // 100 - localPercent
    int limit;       // no grey level from this one on is dark (766: any may be)
};

bool markLocalDarkPlain(const MarkLocalRule& rule, const uint32_t* prefix, const uint16_t* grey,
                        int x, int width)
{
    const int x0 = std::max(x - rule.r, 0), x1 = std::min(x + rule.r, width - 1);
    const int64_t n = rule.rows * (x1 - x0 + 1);
    const int64_t sum = static_cast<uint32_t>(prefix[x1 + 1] - prefix[x0]);
    return grey[x] < rule.limit && 100 * (grey[x] + rule.offset) * n < rule.keep * sum;
}

#ifdef MARK_LOCAL_AVX2
// Sixteen grey levels (blue + green + red) from four bytes per pixel.
__attribute__((target("avx2"))) inline __m256i markGrey16(const uint8_t* bgra)
{
    const __m256i weights = _mm256_set1_epi32(0x00010101);
    const __m256i* p = reinterpret_cast<const __m256i*>(bgra);
    // hadd works within 128-bit halves: pixels come as 0-3, 8-11, 4-7, 12-15.
    return _mm256_permute4x64_epi64(
        _mm256_hadd_epi16(_mm256_maddubs_epi16(_mm256_loadu_si256(p), weights),
                          _mm256_maddubs_epi16(_mm256_loadu_si256(p + 1), weights)),
        0xD8);
}

__attribute__((target("avx2"))) int markGreyAvx2(const uint8_t* row, int width, uint16_t* grey)
{
    int x = 0;
    for (; x + 16 <= width; x += 16)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(grey + x), markGrey16(row + 4 * x));
    return x;
}

// cols[x] += add[x] - sub[x] (either may be absent) and, when prefix is given,
// prefix[x + 1] = prefix[x] + cols[x] (prefix[0] set by the caller), eight columns at a
// time until fewer than 8 remain; returns where it stopped.
__attribute__((target("avx2"))) int markColumnsAvx2(uint32_t* cols, const uint16_t* add,
                                                    const uint16_t* sub, int width,
                                                    uint32_t* prefix)
{
    __m256i carry = _mm256_setzero_si256();
    const __m256i last = _mm256_set1_epi32(7);
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cols + x));
        if (add != nullptr)
            c = _mm256_add_epi32(c, _mm256_cvtepu16_epi32(_mm_loadu_si128(
                                        reinterpret_cast<const __m128i*>(add + x))));
        if (sub != nullptr)
            c = _mm256_sub_epi32(c, _mm256_cvtepu16_epi32(_mm_loadu_si128(
                                        reinterpret_cast<const __m128i*>(sub + x))));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(cols + x), c);
        if (prefix == nullptr) continue;
        c = _mm256_add_epi32(c, _mm256_slli_si256(c, 4));  // within each 128-bit half
        c = _mm256_add_epi32(c, _mm256_slli_si256(c, 8));
        const __m256i lowTotal = _mm256_shuffle_epi32(c, 0xFF);
        c = _mm256_add_epi32(c, _mm256_permute2x128_si256(lowTotal, lowTotal, 0x08));
        c = _mm256_add_epi32(c, carry);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(prefix + x + 1), c);
        carry = _mm256_permutevar8x32_epi32(c, last);
    }
    return x;
}

// Columns x0 ... x1 of the windows of the eight pixels from x on, each cut at the row's
// ends.
__attribute__((target("avx2"))) inline void markClippedColumns(int r, int width, int x, __m256i* x0,
                                                               __m256i* x1)
{
    const __m256i radius = _mm256_set1_epi32(r);
    const __m256i xs =
        _mm256_add_epi32(_mm256_set1_epi32(x), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    *x0 = _mm256_max_epi32(_mm256_sub_epi32(xs, radius), _mm256_setzero_si256());
    *x1 = _mm256_min_epi32(_mm256_add_epi32(xs, radius), _mm256_set1_epi32(width - 1));
}

// Dark bits of the eight pixels from x on by the rule, from each lane's window columns
// x0 ... x1 (markClippedColumns) and window sum.
__attribute__((target("avx2"))) inline int markClippedDark(const MarkLocalRule& rule,
                                                           const uint16_t* grey, int x, __m256i x0,
                                                           __m256i x1, __m256i sum)
{
    const __m256i v =
        _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(grey + x)));
    const __m256i scale =
        _mm256_mullo_epi32(_mm256_set1_epi32(static_cast<int32_t>(100 * rule.rows)),
                           _mm256_add_epi32(_mm256_sub_epi32(x1, x0), _mm256_set1_epi32(1)));
    const __m256i left = _mm256_mullo_epi32(
        _mm256_add_epi32(v, _mm256_set1_epi32(static_cast<int32_t>(rule.offset))), scale);
    const __m256i right =
        _mm256_mullo_epi32(_mm256_set1_epi32(static_cast<int32_t>(rule.keep)), sum);
    const __m256i dark = _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(rule.limit), v),
                                          _mm256_cmpgt_epi32(right, left));
    return _mm256_movemask_ps(_mm256_castsi256_ps(dark));
}

// Dark bits of the eight pixels from x on by the rule, each lane clipping its own window
// at the row's ends.
__attribute__((target("avx2"))) int markLocalClipped(const MarkLocalRule& rule,
                                                     const uint32_t* prefix, const uint16_t* grey,
                                                     int width, int x)
{
    __m256i x0, x1;
    markClippedColumns(rule.r, width, x, &x0, &x1);
    const int* base = reinterpret_cast<const int*>(prefix);
    const __m256i hi = _mm256_i32gather_epi32(base, _mm256_add_epi32(x1, _mm256_set1_epi32(1)), 4);
    const __m256i lo = _mm256_i32gather_epi32(base, x0, 4);
    return markClippedDark(rule, grey, x, x0, x1, _mm256_sub_epi32(hi, lo));
}

// The groups of eight whose windows lie wholly in the row (x >= r and x + 7 + r <= width
// - 1): from *first up to *inner, both multiples of 8 within the row's whole groups.
__attribute__((target("avx2"))) inline void markInnerGroups(int r, int width, int* first,
                                                            int* inner)
{
    const int end = width / 8 * 8;
    *first = std::min(end, (r + 7) / 8 * 8);
    const int after = width - 8 - r >= 0 ? std::max(*first, ((width - 8 - r) / 8 + 1) * 8) : *first;
    *inner = std::min(end, after);
}

// A row eight pixels at a time from x = 0 until fewer than 8 remain (n < 14000 for the
// whole window, which keeps every product below 2^31); returns where it stopped. The
// mask words are clear before; each group of eight is one byte of them. Where the
// windows lie wholly in the row, their sums come from two plain loads and n is the same
// for all; the groups near the row's ends go through markLocalClipped (kept out of the
// main loop, whose few constants then stay in registers). Bits of x = 0 are set too
// (the caller clears them). Every group takes the same steps: skipping lit ones saves
// instructions but costs more in branches mispredicted on busy frames.
__attribute__((target("avx2"))) int markLocalAvx2(const MarkLocalRule& rule, const uint32_t* prefix,
                                                  const uint16_t* grey, int width, uint64_t* mask)
{
    uint8_t* bytes = reinterpret_cast<uint8_t*>(mask);  // x86: bits x ... x + 7 in byte x / 8
    const int r = rule.r, end = width / 8 * 8;
    int first = 0, inner = 0;
    markInnerGroups(r, width, &first, &inner);
    const int64_t n = rule.rows * (2 * r + 1);
    const __m256i a = _mm256_set1_epi32(static_cast<int32_t>(100 * n));
    const __m256i b = _mm256_set1_epi32(static_cast<int32_t>(100 * rule.offset * n));
    const __m256i k = _mm256_set1_epi32(static_cast<int32_t>(rule.keep));
    const __m256i limit = _mm256_set1_epi32(rule.limit);
    int x = 0;
    for (; x < first; x += 8)
        bytes[x / 8] = static_cast<uint8_t>(markLocalClipped(rule, prefix, grey, width, x));
    for (; x < inner; x += 8) {
        const __m256i v =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(grey + x)));
        const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(prefix + x + r + 1));
        const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(prefix + x - r));
        const __m256i left = _mm256_add_epi32(_mm256_mullo_epi32(v, a), b);
        const __m256i right = _mm256_mullo_epi32(k, _mm256_sub_epi32(hi, lo));
        const __m256i dark =
            _mm256_and_si256(_mm256_cmpgt_epi32(limit, v), _mm256_cmpgt_epi32(right, left));
        bytes[x / 8] = static_cast<uint8_t>(_mm256_movemask_ps(_mm256_castsi256_ps(dark)));
    }
    for (; x < end; x += 8)
        bytes[x / 8] = static_cast<uint8_t>(markLocalClipped(rule, prefix, grey, width, x));
    return end;
}

// The grey levels of a frame row added into acc, or, on a cell's last row (sums not
// null), each 4 x 4 cell's sum (acc and the row) into sums[x / 4]: sixteen pixels at a
// time until fewer than 16 remain; returns where it stopped.
__attribute__((target("avx2"))) int markCellRowAvx2(const uint8_t* row, int width, uint16_t* acc,
                                                    uint16_t* sums)
{
    const __m256i ones = _mm256_set1_epi16(1);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        __m256i* a = reinterpret_cast<__m256i*>(acc + x);
        const __m256i column = _mm256_add_epi16(_mm256_loadu_si256(a), markGrey16(row + 4 * x));
        if (sums == nullptr) {
            _mm256_storeu_si256(a, column);
            continue;
        }
        // Pairs of columns, then pairs of pairs: cells 0, 1, 0, 1 | 2, 3, 2, 3.
        const __m256i pairs = _mm256_madd_epi16(column, ones);
        const __m256i cells = _mm256_hadd_epi32(pairs, pairs);
        const __m256i packed = _mm256_packus_epi32(cells, cells);  // 16 bits each
        const uint32_t low = static_cast<uint32_t>(_mm256_extract_epi32(packed, 0));
        const uint32_t high = static_cast<uint32_t>(_mm256_extract_epi32(packed, 4));
        std::memcpy(sums + x / 4, &low, sizeof low);
        std::memcpy(sums + x / 4 + 2, &high, sizeof high);
    }
    return x;
}

// Bits of grey < cells[x / 4] (each cell's limit spread over its four pixels) for a
// frame row, 32 pixels at a time from x = 0 until fewer than 32 remain (the mask words
// clear before); returns where it stopped.
__attribute__((target("avx2"))) int markCellBelowAvx2(const uint8_t* row, const uint16_t* cells,
                                                      int width, uint64_t* mask)
{
    // Within each 128-bit half: the first of its two cells four times, then the second.
    const __m256i spread = _mm256_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 2, 3, 2, 3, 2, 3, 2, 3, 4, 5, 4,
                                            5, 4, 5, 4, 5, 6, 7, 6, 7, 6, 7, 6, 7);
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        int64_t four[2];
        std::memcpy(four, cells + x / 4, sizeof four);
        const __m256i first = _mm256_shuffle_epi8(_mm256_set1_epi64x(four[0]), spread);
        const __m256i second = _mm256_shuffle_epi8(_mm256_set1_epi64x(four[1]), spread);
        const __m256i low = _mm256_cmpgt_epi16(first, markGrey16(row + 4 * x));
        const __m256i high = _mm256_cmpgt_epi16(second, markGrey16(row + 4 * x + 64));
        // packs works within 128-bit halves: bytes come as 0-7, 16-23, 8-15, 24-31.
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packs_epi16(low, high), 0xD8);
        const uint32_t bits = static_cast<uint32_t>(_mm256_movemask_epi8(bytes));
        mask[x >> 6] |= static_cast<uint64_t>(bits) << (x & 63);
    }
    return x;
}

// Narrow windows ((2r + 1) * 765 < 65536): each row's grey sum over the window's columns
// (its span sum) fits 16 bits, so the prefix sums it is taken from may wrap modulo 2^16
// and still give it exactly, sixteen columns at a time and with a carry chain half as
// long as 32-bit sums need. Span sums are taken once, as a row enters the window; the
// 32-bit sum per column of the span sums of the window's rows is then the window sum
// itself, moved down a row at a time, and the rule reads it where it was just written.
constexpr int kMarkSpanRadiusMax = 42;
static_assert((2 * kMarkSpanRadiusMax + 1) * 765 < 65536, "span sums in 16 bits");

// Grey levels of a frame row (markGreyRow) and their span sums: spans[x] = grey[max(x -
// r, 0)] + ... + grey[min(x + r, width - 1)]. pre (width + 2r + 1 entries) is scratch:
// pre[i] = grey[0] + ... + grey[i - r - 2] (mod 2^16), 0 for i <= r and the row's total
// from i = width + r + 1 on, so that every span sum is pre[x + 2r + 1] - pre[x] without
// clipping.
__attribute__((target("avx2"))) void markSpanRowAvx2(const uint8_t* row, int width, int r,
                                                     uint16_t* grey, uint16_t* pre, uint16_t* spans)
{
    // Within each 128-bit half, its last 16-bit lane in every lane.
    const __m256i last = _mm256_set1_epi16(0x0F0E);
    std::fill(pre, pre + r + 1, uint16_t{0});
    uint16_t* p = pre + r + 1;
    __m256i carry = _mm256_setzero_si256();
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        __m256i c = markGrey16(row + 4 * x);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(grey + x), c);
        c = _mm256_add_epi16(c, _mm256_slli_si256(c, 2));  // within each 128-bit half
        c = _mm256_add_epi16(c, _mm256_slli_si256(c, 4));
        c = _mm256_add_epi16(c, _mm256_slli_si256(c, 8));
        const __m256i halfTotals = _mm256_shuffle_epi8(c, last);
        c = _mm256_add_epi16(c, _mm256_permute2x128_si256(halfTotals, halfTotals, 0x08));
        // The block's total joins the carry in one add, so the chain from block to block
        // is that add alone, not the shuffles that spread the total.
        const __m256i blockTotal = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(c, last), 0xFF);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + x), _mm256_add_epi16(c, carry));
        carry = _mm256_add_epi16(carry, blockTotal);
    }
    markGreyPlain(row, x, width, grey);
    uint16_t total = x > 0 ? p[x - 1] : 0;
    for (; x < width; x++) p[x] = total = static_cast<uint16_t>(total + grey[x]);
    std::fill(p + width, p + width + r, total);
    const int span = 2 * r + 1;
    for (x = 0; x + 16 <= width; x += 16)
        _mm256_storeu_si256(
            reinterpret_cast<__m256i*>(spans + x),
            _mm256_sub_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pre + x + span)),
                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pre + x))));
    for (; x < width; x++) spans[x] = static_cast<uint16_t>(pre[x + span] - pre[x]);
}

// sums[x] += in[x] - out[x] for eight columns from x on; returns the new sums.
__attribute__((target("avx2"))) inline __m256i markSpanMove(uint32_t* sums, const uint16_t* in,
                                                            const uint16_t* out, int x)
{
    __m256i* s = reinterpret_cast<__m256i*>(sums + x);
    const __m256i add =
        _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x)));
    const __m256i sub =
        _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(out + x)));
    const __m256i moved = _mm256_sub_epi32(_mm256_add_epi32(_mm256_loadu_si256(s), add), sub);
    _mm256_storeu_si256(s, moved);
    return moved;
}

// markSpanMove and the rule for the eight pixels from x on, each lane counting the pixels
// of its own window where the row's ends clip it.
__attribute__((target("avx2"))) void markSpanClipped(const MarkLocalRule& rule, uint32_t* sums,
                                                     const uint16_t* in, const uint16_t* out,
                                                     const uint16_t* grey, int width, int x,
                                                     uint8_t* bytes)
{
    const __m256i s = markSpanMove(sums, in, out, x);
    __m256i x0, x1;
    markClippedColumns(rule.r, width, x, &x0, &x1);
    bytes[x / 8] = static_cast<uint8_t>(markClippedDark(rule, grey, x, x0, x1, s));
}

// Moves the window sums down a row (in: span sums of the row entering, out: of the row
// leaving; either may be a row of zeros) and marks the row's dark pixels by the rule,
// eight at a time until fewer than 8 remain (n < 14000 as for markLocalAvx2; the mask
// words clear before); returns where it stopped.
__attribute__((target("avx2"))) int markSpanRuleAvx2(const MarkLocalRule& rule, uint32_t* sums,
                                                     const uint16_t* in, const uint16_t* out,
                                                     const uint16_t* grey, int width,
                                                     uint64_t* mask)
{
    uint8_t* bytes = reinterpret_cast<uint8_t*>(mask);  // x86: bits x ... x + 7 in byte x / 8
    const int r = rule.r, end = width / 8 * 8;
    int first = 0, inner = 0;
    markInnerGroups(r, width, &first, &inner);
    const __m256i k = _mm256_set1_epi32(static_cast<int32_t>(rule.keep));
    const __m256i limit = _mm256_set1_epi32(rule.limit);
    const int64_t n = rule.rows * (2 * r + 1);
    const __m256i a = _mm256_set1_epi32(static_cast<int32_t>(100 * n));
    const __m256i b = _mm256_set1_epi32(static_cast<int32_t>(100 * rule.offset * n));
    int x = 0;
    for (; x < first; x += 8) markSpanClipped(rule, sums, in, out, grey, width, x, bytes);
    for (; x < inner; x += 8) {
        const __m256i s = markSpanMove(sums, in, out, x);
        const __m256i v =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(grey + x)));
        const __m256i left = _mm256_add_epi32(_mm256_mullo_epi32(v, a), b);
        const __m256i dark = _mm256_and_si256(_mm256_cmpgt_epi32(limit, v),
                                              _mm256_cmpgt_epi32(_mm256_mullo_epi32(k, s), left));
        bytes[x / 8] = static_cast<uint8_t>(_mm256_movemask_ps(_mm256_castsi256_ps(dark)));
    }
    for (; x < end; x += 8) markSpanClipped(rule, sums, in, out, grey, width, x, bytes);
    return end;
}
#endif

// Rows of grey levels kept for a window of radius r: those the window takes and the
// one that leaves it next.
int markGreyRows(int height, int r)
{
    return std::min(height, 2 * r + 2);
}

// Moves the column sums (markColumnsPlain) and, when prefix is given, sets its prefix
// sums: prefix[x] = cols[0] + ... + cols[x - 1] (mod 2^32).
void markColumns(uint32_t* cols, const uint16_t* add, const uint16_t* sub, int width, int level,
                 uint32_t* prefix)
{
    int x = 0;
    if (prefix != nullptr) prefix[0] = 0;
#ifdef MARK_LOCAL_AVX2
    if (level >= 2 && markHaveAvx2()) x = markColumnsAvx2(cols, add, sub, width, prefix);
#endif
    const int from = x;
    markColumnsPlain(cols, add, sub, x, width);
    if (prefix != nullptr)
        for (x = from; x < width; x++) prefix[x + 1] = prefix[x] + cols[x];
}

constexpr int kMarkCell = 4;  // side of a cell, pixels
// A cell's column sums and its own sum fit 16 bits; a cell is one 64-bit word of them.
static_assert(kMarkCell * kMarkCell * 765 < 65536 && kMarkCell == 4, "cell sums in 16 bits");

int markCellCount(int pixels)
{
    return (pixels + kMarkCell - 1) / kMarkCell;
}

// Pixels along one side of cells first ... last (a cell cut by the frame's edge holds
// fewer).
int64_t markCellSpan(int first, int last, int pixels)
{
    return std::min((last + 1) * kMarkCell, pixels) - first * kMarkCell;
}

// Cells on each side of a pixel's own in its window.
int markCellReach(const MarkWideSettings& s)
{
    return std::max(1, s.localWindow / (2 * kMarkCell));
}

// Cell row j's grey sums into work->cellSums[j * cells across ...] (work->grey holds
// one row of scratch).
void markCellSums(MarkWideWork* w, const uint8_t* frame, int width, int height, int j, int level)
{
    const int across = markCellCount(width), whole = width / kMarkCell;
    const bool wide = level >= 2 && markHaveAvx2();
    uint16_t* acc = w->cellColumns.data;  // per column, the sum over the cell's rows so far
    uint16_t* grey = w->grey.data;
    uint16_t* sums = w->cellSums.data + static_cast<int64_t>(j) * across;
    std::fill(acc, acc + width, uint16_t{0});
    const int last = std::min((j + 1) * kMarkCell, height) - 1;
    for (int y = j * kMarkCell; y <= last; y++) {
        const uint8_t* row = frame + static_cast<int64_t>(y) * width * 4;
        int x = 0;
#ifdef MARK_LOCAL_AVX2
        if (wide) x = markCellRowAvx2(row, width, acc, y == last ? sums : nullptr);
#endif
        markGreyPlain(row, x, width, grey);
        for (int i = x; i < width; i++) acc[i] = static_cast<uint16_t>(acc[i] + grey[i]);
    }
    // A cell's four column sums add up in the top 16 bits of their word's product.
    for (int i = wide ? (width / 16) * 4 : 0; i < whole; i++) {
        uint64_t four;
        std::memcpy(&four, acc + i * kMarkCell, sizeof four);
        sums[i] = static_cast<uint16_t>((four * 0x0001000100010001ull) >> 48);
    }
    if (whole < across) {
        sums[whole] = 0;
        for (int x = whole * kMarkCell; x < width; x++) sums[whole] += acc[x];
    }
}

// Cell rows summed up to `row` (or the last one).
void markCellSumsUpTo(MarkWideWork* w, const uint8_t* frame, int width, int height, int row,
                      int level)
{
    const int last = std::min(row, markCellCount(height) - 1);
    while (w->cellRowsSummed <= last)
        markCellSums(w, frame, width, height, w->cellRowsSummed++, level);
}

// Cell row j's limits into work->cellLimits: per cell, the first grey level (blue +
// green + red) that is not dark. Dark is 100 * (v + offset) * n < keep * sum over the
// cells' window, and v <= 3 * ceiling when there is one. The window's sums: per column
// the sum over its rows of cells, moved down a row of cells per call (rows j in order
// from 0; the rows above row 0's window added by the caller), then prefix sums along
// the row.
void markCellLimits(MarkWideWork* w, const uint8_t* frame, int width, int height, int j,
                    const MarkWideSettings& s)
{
    const int across = markCellCount(width), down = markCellCount(height);
    const int k = markCellReach(s);
    const int64_t offset = 3 * static_cast<int64_t>(s.localOffset);
    const int64_t keep = 100 - static_cast<int64_t>(s.localPercent);
    const int64_t ceiling = s.localCeiling > 0 ? 3 * int64_t{s.localCeiling} + 1 : 766;
    uint32_t* prefix = w->rowSums.data;
    auto sumsOf = [&](int row) { return w->cellSums.data + static_cast<int64_t>(row) * across; };
    markCellSumsUpTo(w, frame, width, height, j + k, s.simdLevel);
    markColumns(w->columnSums.data, j + k < down ? sumsOf(j + k) : nullptr,
                j - k - 1 >= 0 ? sumsOf(j - k - 1) : nullptr, across, s.simdLevel, prefix);
    const int64_t rows = markCellSpan(std::max(j - k, 0), std::min(j + k, down - 1), height);
    uint16_t* limits = w->cellLimits.data;
    // The quotient from the divisor's inverse (a below 2^53, the quotient below 766) is
    // within 1e-12 of the exact one, which lies at least 1 / b (more than 1e-9) from any
    // integer it does not equal: its integer part is the exact ceiling or one below.
    auto put = [&](int i, int i0, int i1, int64_t b, double inverse) {
        const int64_t a = keep * static_cast<uint32_t>(prefix[i1 + 1] - prefix[i0]);
        int64_t c = static_cast<int64_t>(static_cast<double>(a) * inverse);
        if (c * b < a) c++;
        limits[i] = static_cast<uint16_t>(std::clamp<int64_t>(c - offset, 0, ceiling));
    };
    auto edge = [&](int i) {
        const int i0 = std::max(i - k, 0), i1 = std::min(i + k, across - 1);
        const int64_t b = 100 * rows * markCellSpan(i0, i1, width);
        put(i, i0, i1, b, 1.0 / static_cast<double>(b));
    };
    // Cells whose window lies inside the frame share one pixel count.
    const int64_t inner = 100 * rows * (2 * k + 1) * kMarkCell;
    const double innerInverse = 1.0 / static_cast<double>(inner);
    const int innerFirst = std::min(k + 1, across);
    const int innerEnd = std::max(innerFirst, across - 1 - k);
    for (int i = 0; i < innerFirst; i++) edge(i);
    for (int i = innerFirst; i < innerEnd; i++) put(i, i - k, i + k, inner, innerInverse);
    for (int i = innerEnd; i < across; i++) edge(i);
}

// Dark mask of row y = 1, 2, ... (in order) by the cells' limits.
void markCellMask(MarkWideWork* w, const uint8_t* frame, int width, int height, int y,
                  const MarkWideSettings& s, uint64_t* mask)
{
    const int across = markCellCount(width);
    if (y == 1) {
        // The window of cell row 0 without its last row (added with the row's limits).
        w->cellRowsSummed = 0;
        std::fill(w->columnSums.data, w->columnSums.data + across, 0u);
        const int above = std::min(markCellReach(s), markCellCount(height));
        markCellSumsUpTo(w, frame, width, height, above - 1, s.simdLevel);
        for (int j = 0; j < above; j++)
            markColumns(w->columnSums.data, w->cellSums.data + static_cast<int64_t>(j) * across,
                        nullptr, across, s.simdLevel, nullptr);
        markCellLimits(w, frame, width, height, 0, s);
    } else if (y % kMarkCell == 0) {
        markCellLimits(w, frame, width, height, y / kMarkCell, s);
    }
    const uint16_t* limits = w->cellLimits.data;
    const uint8_t* row = frame + static_cast<int64_t>(y) * width * 4;
    int x = 0;
#ifdef MARK_LOCAL_AVX2
    if (s.simdLevel >= 2 && markHaveAvx2()) x = markCellBelowAvx2(row, limits, width, mask);
#endif
    uint16_t* grey = w->grey.data;
    markGreyPlain(row, x, width, grey);
    for (; x < width; x++)
        if (grey[x] < limits[x / kMarkCell]) mask[x >> 6] |= uint64_t{1} << (x & 63);
}

}  // namespace

void markGreyRow(const uint8_t* frame, int width, int y, uint16_t* grey, int level)
{
    const uint8_t* row = frame + static_cast<int64_t>(y) * width * 4;
    int x = 0;
#ifdef MARK_LOCAL_AVX2
    if (level >= 2 && markHaveAvx2()) x = markGreyAvx2(row, width, grey);
#endif
    markGreyPlain(row, x, width, grey);
}

namespace {

// Whether markSpanMask marks the rows: AVX2 at hand and span sums within 16 bits.
bool markUsesSpans(const MarkWideSettings& s)
{
#ifdef MARK_LOCAL_AVX2
    return s.simdLevel >= 2 && markHaveAvx2() && s.localWindow / 2 <= kMarkSpanRadiusMax;
#else
    (void)s;
    return false;
#endif
}

// Rows of grey levels the span sums keep: the one being marked and the r below it (row 0,
// entered with the first row's window, is never marked).
int markSpanGreyRows(int height, int r)
{
    return std::min(height, r + 1);
}

// Dark mask of row y = 1, 2, ... (in order) by window sums built from span sums. The
// grey ring keeps rows y ... y + r (markSpanGreyRows slots); the span ring keeps rows
// y - r - 1 ... y + r (markGreyRows slots) and is followed by a row of zeros, added
// where no row enters or leaves.
void markSpanMask(MarkWideWork* w, const uint8_t* frame, int width, int height, int y,
                  const MarkLocalRule& rule, uint64_t* mask)
{
#ifdef MARK_LOCAL_AVX2
    const int r = rule.r;
    const int greySlots = markSpanGreyRows(height, r), spanSlots = markGreyRows(height, r);
    auto greyRow = [&](int row) {
        return w->grey.data + static_cast<int64_t>(row % greySlots) * width;
    };
    auto spanRow = [&](int row) {
        return w->spans.data + static_cast<int64_t>(row % spanSlots) * width;
    };
    uint16_t* zeros = w->spans.data + static_cast<int64_t>(spanSlots) * width;
    uint32_t* sums = w->columnSums.data;
    auto enter = [&](int row) {
        markSpanRowAvx2(frame + static_cast<int64_t>(row) * width * 4, width, r, greyRow(row),
                        w->spanPrefix.data, spanRow(row));
    };
    const uint16_t* in = zeros;
    const uint16_t* out = zeros;
    if (y == 1) {
        std::fill(sums, sums + width, 0u);
        std::fill(zeros, zeros + width, uint16_t{0});
        const int last = std::min(1 + r, height - 1);
        for (int yy = 0; yy <= last; yy++) {
            enter(yy);
            markColumns(sums, spanRow(yy), nullptr, width, 2, nullptr);
        }
    } else {
        if (y + r < height) {
            enter(y + r);
            in = spanRow(y + r);
        }
        if (y - r - 1 >= 0) out = spanRow(y - r - 1);
    }
    std::fill(mask, mask + markMaskWords(width), uint64_t{0});
    const uint16_t* v = greyRow(y);
    int x = markSpanRuleAvx2(rule, sums, in, out, v, width, mask);
    for (; x < width; x++) {
        sums[x] += in[x] - out[x];
        const int x0 = std::max(x - r, 0), x1 = std::min(x + r, width - 1);
        const int64_t n = rule.rows * (x1 - x0 + 1);
        if (v[x] < rule.limit && 100 * (v[x] + rule.offset) * n < rule.keep * int64_t{sums[x]})
            mask[x >> 6] |= uint64_t{1} << (x & 63);
    }
    // The first and last columns are never dark.
    mask[0] &= ~uint64_t{1};
    mask[(width - 1) >> 6] &= ~(uint64_t{1} << ((width - 1) & 63));
#else
    (void)w, (void)frame, (void)width, (void)height, (void)y, (void)rule, (void)mask;
#endif
}

}  // namespace

int markLocalReserve(MarkWideWork* w, int width, int height, const MarkWideSettings& s)
{
    if (!w->columnSums.reserve(width) || !w->rowSums.reserve(width + 8)) return -1;
    const int r = s.localWindow / 2;
    if (!s.localCells && markUsesSpans(s))
        return (w->grey.reserve(int64_t{width} * markSpanGreyRows(height, r)) &&
                w->spans.reserve(int64_t{width} * (markGreyRows(height, r) + 1)) &&
                w->spanPrefix.reserve(width + 2 * r + 1))
                   ? 0
                   : -1;
    if (!s.localCells) return w->grey.reserve(int64_t{width} * markGreyRows(height, r)) ? 0 : -1;
    const int across = markCellCount(width);
    return (w->grey.reserve(width) &&
            w->cellSums.reserve(int64_t{across} * markCellCount(height)) &&
            w->cellLimits.reserve(across) && w->cellColumns.reserve(width))
               ? 0
               : -1;
}

void markLocalMask(MarkWideWork* w, const uint8_t* frame, int width, int height, int y,
                   const MarkWideSettings& s, uint64_t* mask)
{
    const int level = s.simdLevel;
    if (s.localCells) {
        std::fill(mask, mask + markMaskWords(width), uint64_t{0});
        markCellMask(w, frame, width, height, y, s, mask);
        mask[0] &= ~uint64_t{1};  // the first and last columns are never dark
        mask[(width - 1) >> 6] &= ~(uint64_t{1} << ((width - 1) & 63));
        return;
    }
    const int r = s.localWindow / 2;
    const MarkLocalRule rule{r, std::min(y + r, height - 1) - std::max(y - r, 0) + 1,
                             3 * static_cast<int64_t>(s.localOffset),
                             100 - static_cast<int64_t>(s.localPercent),
                             s.localCeiling > 0 ? 3 * s.localCeiling + 1 : 766};
    if (markUsesSpans(s)) {
        markSpanMask(w, frame, width, height, y, rule, mask);
        return;
    }
    uint32_t* cols = w->columnSums.data;
    uint16_t* grey = w->grey.data;
    // Grey rows live in a ring of markGreyRows slots: rows y - r - 1 ... y + r are in it.
    const int slots = markGreyRows(height, r);
    auto greyRow = [&](int row) { return grey + static_cast<int64_t>(row % slots) * width; };
    uint32_t* prefix = w->rowSums.data;
    if (y == 1) {
        std::fill(cols, cols + width, 0u);
        const int last = std::min(1 + r, height - 1);
        for (int yy = 0; yy <= last; yy++) {
            markGreyRow(frame, width, yy, greyRow(yy), level);
            markColumns(cols, greyRow(yy), nullptr, width, level, yy == last ? prefix : nullptr);
        }
    } else {
        const bool enters = y + r < height, leaves = y - r - 1 >= 0;
        if (enters) markGreyRow(frame, width, y + r, greyRow(y + r), level);
        markColumns(cols, enters ? greyRow(y + r) : nullptr, leaves ? greyRow(y - r - 1) : nullptr,
                    width, level, prefix);
    }

    const uint16_t* v = greyRow(y);
    const int words = markMaskWords(width);
    for (int i = 0; i < words; i++) mask[i] = 0;
    int x = 1;
#ifdef MARK_LOCAL_AVX2
    if (level >= 2 && markHaveAvx2() && rule.rows * (2 * r + 1) < 14000) {
        x = std::max(1, markLocalAvx2(rule, prefix, v, width, mask));
        mask[0] &= ~uint64_t{1};  // the first column is never dark
    }
#endif
    for (; x < width - 1; x++)
        if (markLocalDarkPlain(rule, prefix, v, x, width)) mask[x >> 6] |= uint64_t{1} << (x & 63);
    // The last column is never dark either.
    mask[(width - 1) >> 6] &= ~(uint64_t{1} << ((width - 1) & 63));
}
