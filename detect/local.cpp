// The local threshold as a dark mask per row: a pixel is dark when its grey level lies
// far enough below the mean of the square window around it. Grey levels (blue + green +
// red) are computed once per pixel into a grey image; per column the sum over the
// window's rows is kept and moved down a row at a time (adding the row that enters,
// subtracting the one that leaves); prefix sums of those give every window sum along
// the row. Integer arithmetic throughout, so the AVX2 steps (taken where the processor
// has them) mark exactly what the plain steps mark.
#include "detect/runs.h"

#include <algorithm>

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
};

bool markLocalDarkPlain(const MarkLocalRule& rule, const uint32_t* prefix, const uint16_t* grey,
                        int x, int width)
{
    const int x0 = std::max(x - rule.r, 0), x1 = std::min(x + rule.r, width - 1);
    const int64_t n = rule.rows * (x1 - x0 + 1);
    const int64_t sum = static_cast<uint32_t>(prefix[x1 + 1] - prefix[x0]);
    return 100 * (grey[x] + rule.offset) * n < rule.keep * sum;
}

#ifdef MARK_LOCAL_AVX2
bool markLocalHaveAvx2()
{
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}

__attribute__((target("avx2"))) int markGreyAvx2(const uint8_t* row, int width, uint16_t* grey)
{
    const __m256i weights = _mm256_set1_epi32(0x00010101);  // blue + green, red per pixel
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m256i* p = reinterpret_cast<const __m256i*>(row + 4 * x);
        const __m256i sums =
            _mm256_hadd_epi16(_mm256_maddubs_epi16(_mm256_loadu_si256(p), weights),
                              _mm256_maddubs_epi16(_mm256_loadu_si256(p + 1), weights));
        // hadd works within 128-bit halves: pixels come as 0-3, 8-11, 4-7, 12-15.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(grey + x),
                            _mm256_permute4x64_epi64(sums, 0xD8));
    }
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

// A row eight pixels at a time from x = 0 until fewer than 8 remain (n < 14000 for the
// whole window, which keeps every product below 2^31); returns where it stopped. Where
// the window lies wholly in the row, its sums come from two plain loads and n is the
// same for all; near the row's ends each lane clips its own window. Bits of x = 0 are
// set too (the caller clears them). A word's bits are gathered in a register and
// written once.
__attribute__((target("avx2"))) int markLocalAvx2(const MarkLocalRule& rule, const uint32_t* prefix,
                                                  const uint16_t* grey, int width, uint64_t* mask)
{
    const int r = rule.r;
    const int64_t n = rule.rows * (2 * r + 1);
    const __m256i a = _mm256_set1_epi32(static_cast<int32_t>(100 * n));
    const __m256i b = _mm256_set1_epi32(static_cast<int32_t>(100 * rule.offset * n));
    const __m256i k = _mm256_set1_epi32(static_cast<int32_t>(rule.keep));
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i radius = _mm256_set1_epi32(r), lastColumn = _mm256_set1_epi32(width - 1);
    const __m256i rows = _mm256_set1_epi32(static_cast<int32_t>(rule.rows));
    const __m256i hundred = _mm256_set1_epi32(100), one = _mm256_set1_epi32(1);
    const __m256i offset = _mm256_set1_epi32(static_cast<int32_t>(rule.offset));
    const int* base = reinterpret_cast<const int*>(prefix);
    uint64_t bits = 0;
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m256i v =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(grey + x)));
        __m256i left, right;
        if (x >= r && x + 7 + r <= width - 1) {
            const __m256i hi =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(prefix + x + r + 1));
            const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(prefix + x - r));
            left = _mm256_add_epi32(_mm256_mullo_epi32(v, a), b);
            right = _mm256_mullo_epi32(k, _mm256_sub_epi32(hi, lo));
        } else {
            const __m256i xs = _mm256_add_epi32(_mm256_set1_epi32(x), lanes);
            const __m256i x0 =
                _mm256_max_epi32(_mm256_sub_epi32(xs, radius), _mm256_setzero_si256());
            const __m256i x1 = _mm256_min_epi32(_mm256_add_epi32(xs, radius), lastColumn);
            const __m256i hi = _mm256_i32gather_epi32(base, _mm256_add_epi32(x1, one), 4);
            const __m256i lo = _mm256_i32gather_epi32(base, x0, 4);
            const __m256i count =
                _mm256_mullo_epi32(rows, _mm256_add_epi32(_mm256_sub_epi32(x1, x0), one));
            const __m256i scale = _mm256_mullo_epi32(hundred, count);
            left = _mm256_mullo_epi32(_mm256_add_epi32(v, offset), scale);
            right = _mm256_mullo_epi32(k, _mm256_sub_epi32(hi, lo));
        }
        const int dark = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(right, left)));
        bits |= static_cast<uint64_t>(dark) << (x & 63);
        if ((x & 63) == 56) {
            mask[x >> 6] |= bits;
            bits = 0;
        }
    }
    if (bits != 0) mask[(x - 8) >> 6] |= bits;
    return x;
}
#endif

// Grey levels of frame row y into the grey image.
void markGreyImageRow(const uint8_t* frame, int width, int y, uint16_t* grey, int level)
{
    markGreyRow(frame, width, y, grey + static_cast<int64_t>(y) * width, level);
}

// Moves the column sums (markColumnsPlain) and, when prefix is given, sets its prefix
// sums: prefix[x] = cols[0] + ... + cols[x - 1] (mod 2^32).
void markColumns(uint32_t* cols, const uint16_t* add, const uint16_t* sub, int width, int level,
                 uint32_t* prefix)
{
    int x = 0;
    if (prefix != nullptr) prefix[0] = 0;
#ifdef MARK_LOCAL_AVX2
    if (level >= 2 && markLocalHaveAvx2()) x = markColumnsAvx2(cols, add, sub, width, prefix);
#endif
    const int from = x;
    markColumnsPlain(cols, add, sub, x, width);
    if (prefix != nullptr)
        for (x = from; x < width; x++) prefix[x + 1] = prefix[x] + cols[x];
}

}  // namespace

void markGreyRow(const uint8_t* frame, int width, int y, uint16_t* grey, int level)
{
    const uint8_t* row = frame + static_cast<int64_t>(y) * width * 4;
    int x = 0;
#ifdef MARK_LOCAL_AVX2
    if (level >= 2 && markLocalHaveAvx2()) x = markGreyAvx2(row, width, grey);
#endif
    markGreyPlain(row, x, width, grey);
}

int markLocalReserve(MarkWideWork* w, int width, int height)
{
    const int64_t pixels = static_cast<int64_t>(width) * height;
    return (w->grey.reserve(pixels) && w->columnSums.reserve(width) &&
            w->rowSums.reserve(width + 8))
               ? 0
               : -1;
}

void markLocalMask(MarkWideWork* w, const uint8_t* frame, int width, int height, int y,
                   const MarkWideSettings& s, uint64_t* mask)
{
    const int r = s.localWindow / 2;
    const int level = s.simdLevel;
    uint32_t* cols = w->columnSums.data;
    uint16_t* grey = w->grey.data;
    auto greyRow = [&](int row) { return grey + static_cast<int64_t>(row) * width; };
    uint32_t* prefix = w->rowSums.data;
    if (y == 1) {
        std::fill(cols, cols + width, 0u);
        const int last = std::min(1 + r, height - 1);
        for (int yy = 0; yy <= last; yy++) {
            markGreyImageRow(frame, width, yy, grey, level);
            markColumns(cols, greyRow(yy), nullptr, width, level, yy == last ? prefix : nullptr);
        }
    } else {
        const bool enters = y + r < height, leaves = y - r - 1 >= 0;
        if (enters) markGreyImageRow(frame, width, y + r, grey, level);
        markColumns(cols, enters ? greyRow(y + r) : nullptr, leaves ? greyRow(y - r - 1) : nullptr,
                    width, level, prefix);
    }

    const MarkLocalRule rule{r, std::min(y + r, height - 1) - std::max(y - r, 0) + 1,
                             3 * static_cast<int64_t>(s.localOffset),
                             100 - static_cast<int64_t>(s.localPercent)};
    const uint16_t* v = greyRow(y);
    const int words = markMaskWords(width);
    for (int i = 0; i < words; i++) mask[i] = 0;
    int x = 1;
#ifdef MARK_LOCAL_AVX2
    if (level >= 2 && markLocalHaveAvx2() && rule.rows * (2 * r + 1) < 14000) {
        x = std::max(1, markLocalAvx2(rule, prefix, v, width, mask));
        mask[0] &= ~uint64_t{1};  // the first column is never dark
    }
#endif
    for (; x < width - 1; x++)
        if (markLocalDarkPlain(rule, prefix, v, x, width)) mask[x >> 6] |= uint64_t{1} << (x & 63);
    // The last column is never dark either.
    mask[(width - 1) >> 6] &= ~(uint64_t{1} << ((width - 1) & 63));
}
