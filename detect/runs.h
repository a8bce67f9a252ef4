// Run-based connected-component labeling, shared by the fixed-capacity path (16-bit
// labels, a fixed table) and the frame-sized path (32-bit labels, growable tables).
//
// A row's dark pixels come as a bit mask (bit x & 63 of word x >> 6; the first and last
// column always clear, one clear word past the row). The label image receives exactly
// what a pixel-by-pixel raster scan with the 8-neighbour case table writes:
//   above (U) labelled            -> U
//   else above-right (UR) labelled -> merge(UR, above-left (UL) or left (LF))
//   else UL, else LF, else a new label.
// Within a dark run that table only does three things: where the row above is dark it
// copies the labels above; where the row above is light it carries one label along and
// may merge at the two ends of the light stretch. So each run is written as a few
// copies and fills, and the case table runs only at the ends of the stretches of the row
// above (the mask of the row above finds them a word at a time). Merges happen at the
// same pixels in the same order as in the pixel scan, so labels, table and statistics
// are the same to the bit.
//
// Where nothing reads the labels except through the table (the frame-sized path with
// the local threshold), markRunsLabelRowByRuns gives each run one label, found from the
// runs of the row above that it meets: the same regions and statistics, fewer
// provisional labels, one label read per run above instead of a copy of them all.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "detect/internal.h"

// Words of a row mask for rows of `width` pixels: the row plus one clear word.
inline int markMaskWords(int width)
{
    return (width + 63) / 64 + 1;
}

// Dark mask of one frame row (width pixels of 4 bytes B, G, R, A): bit x set where
// blue + green + red <= limit, for x = 1 ... width - 2; the other bits of the
// markMaskWords(width) words are clear.
void markMaskGlobal(const uint8_t* row, int width, int limit, uint64_t* mask);

// markMaskGlobal with at most the given instruction set: 0 plain code, 1 SSE2, 2 AVX2
// (each used only where the compiler and processor have it). The same bits every way.
void markMaskGlobalUsing(const uint8_t* row, int width, int limit, uint64_t* mask, int level);

// First position in [x, end) whose bit is set, or end.
inline int markNextSet(const uint64_t* mask, int x, int end)
{
    int w = x >> 6;
    uint64_t bits = mask[w] & (~uint64_t{0} << (x & 63));
    while (bits == 0) {
        w++;
        if (w * 64 >= end) return end;
        bits = mask[w];
    }
    const int found = w * 64 + __builtin_ctzll(bits);
    return found < end ? found : end;
}

// First position in [x, end) whose bit is clear, or end.
inline int markNextClear(const uint64_t* mask, int x, int end)
{
    int w = x >> 6;
    uint64_t bits = ~mask[w] & (~uint64_t{0} << (x & 63));
    while (bits == 0) {
        w++;
        if (w * 64 >= end) return end;
        bits = ~mask[w];
    }
    const int found = w * 64 + __builtin_ctzll(bits);
    return found < end ? found : end;
}

inline bool markMaskBit(const uint64_t* mask, int x)
{
    return (mask[x >> 6] >> (x & 63)) & 1;
}

// Root of label n's class (its smallest label), halving the path on the way.
inline int32_t markRunFind(int32_t* table, int32_t n)
{
    while (table[n - 1] != n) {
        const int32_t parent = table[n - 1];
        table[n - 1] = table[parent - 1];
        n = parent;
    }
    return n;
}

// Joins the classes of roots a and b; the smaller root survives and is returned.
inline int32_t markRunMerge(int32_t* table, int32_t a, int32_t b)
{
    if (a > b) {
        table[a - 1] = b;
        return b;
    }
    if (a < b) table[b - 1] = a;
    return a;
}

// Starts label *k + 1 at pixel (x0, y) of its first run; returns it, or 0 when the
// tables refuse it (*k then unchanged).
template <typename Tables>
inline int32_t markRunStart(Tables& t, int32_t* k, int x0, int y)
{
    const int32_t label = *k + 1;
    if (!t.grow(label)) return 0;
    *k = label;
    t.table[label - 1] = label;
    t.records[label - 1] = MarkLabelRecord{0, x0, 0, 0, x0, x0, y, y};
    return label;
}

// Adds the run x0 ... x1 of row y to a label's record. All pixels of a run end up in one
// region, so one label may carry its sums.
inline void markRunAdd(MarkLabelRecord& r, int x0, int x1, int y)
{
    const int n = x1 - x0 + 1;
    r.area += n;
    // (x0 + x1) n is even and not negative.
    r.sumX += static_cast<int64_t>(static_cast<uint64_t>(x0 + x1) * static_cast<uint32_t>(n) >> 1);
    r.sumY += static_cast<int64_t>(n) * y;
    r.xmin = std::min(r.xmin, x0);
    r.xmax = std::max(r.xmax, x1);
    // Rows come in order and a label starts on its first row (markRunStart sets ymin).
    r.ymax = y;
}

// n <= 62 bits of a mask from position x on, as the low bits of the result.
inline uint64_t markMaskBits(const uint64_t* mask, int x, int n)
{
    const int w = x >> 6, shift = x & 63;
    uint64_t bits = mask[w] >> shift;
    if (shift + n > 64) bits |= mask[w + 1] << (64 - shift);
    return bits & ((uint64_t{1} << n) - 1);
}

// A short run's labels in one 16-byte store: `lanes` labels from x on, of which the
// first n are written; the others are still 0 (light, or a later run not yet written).
template <typename Label>
struct MarkRunLanes {
    static constexpr int lanes = 16 / static_cast<int>(sizeof(Label));
    typedef Label Vector __attribute__((vector_size(16)));

    // Lanes 0 ... n - 1 all ones, the others 0 (n = 1 ... lanes).
    static Vector keep(int n)
    {
        static const Label ones[16] = {Label(-1), Label(-1), Label(-1), Label(-1),
                                       Label(-1), Label(-1), Label(-1), Label(-1)};
        Vector m;
        std::memcpy(&m, ones + (8 - n), sizeof m);
        return m;
    }
    static void copy(Label* here, const Label* up, int n)
    {
        Vector v;
        std::memcpy(&v, up, sizeof v);
        v &= keep(n);
        std::memcpy(here, &v, sizeof v);
    }
    static void fill(Label* here, Label label, int n)
    {
        Vector v = keep(n) & label;
        std::memcpy(here, &v, sizeof v);
    }
    // n >= lanes labels, a vector at a time, the last one ending where the run ends.
    static void fillLong(Label* here, Label label, int n)
    {
        Vector v = keep(lanes) & label;
        for (int i = 0; i < n - lanes; i += lanes) std::memcpy(here + i, &v, sizeof v);
        std::memcpy(here + n - lanes, &v, sizeof v);
    }
};

// Labels the dark run x0 ... x1 of row y by the case table, stretch by stretch of the
// row above (a row of `width` pixels); returns the label of its last pixel, or 0 when a
// new label is refused. Kept inline in the row loop: a call for every such run costs
// more than its body's size does.
template <typename Label, typename Tables>
inline __attribute__((always_inline)) int32_t markRunsLabelRun(Tables& t, const uint64_t* upMask,
                                                               const Label* up, Label* here, int x0,
                                                               int x1, int y, int32_t* k, int width)
{
    typedef MarkRunLanes<Label> Lanes;
    // The run's first pixel: its left neighbour is light.
    int32_t label;
    const int32_t U = up[x0], UR = up[x0 + 1], UL = up[x0 - 1];
    if (U > 0) {
        label = U;
    } else if (UR > 0 && UL > 0) {
        label = markRunMerge(t.table, markRunFind(t.table, UR), markRunFind(t.table, UL));
    } else if (UR > 0) {
        label = UR;
    } else if (UL > 0) {
        label = UL;
    } else {
        label = markRunStart(t, k, x0, y);
        if (label == 0) return 0;
    }
    here[x0] = static_cast<Label>(label);
    int x = x0 + 1;
    while (x <= x1) {
        if (markMaskBit(upMask, x)) {
            // Dark above: every pixel takes the label above.
            const int e = markNextClear(upMask, x, x1 + 1);
            // A short stretch in one vector store: the zeros it leaves past its end
            // fall on pixels written later (this run or the next) or light ones.
            if (e - x <= Lanes::lanes && x + Lanes::lanes <= width)
                Lanes::copy(here + x, up + x, e - x);
            else
                std::memcpy(here + x, up + x, static_cast<size_t>(e - x) * sizeof(Label));
            label = up[e - 1];
            x = e;
            continue;
        }
        // Light above from x to g - 1.
        const int g = markNextSet(upMask, x, x1 + 1);
        const int32_t right = up[x + 1], left = up[x - 1];
        if (right > 0) {
            label = markRunMerge(t.table, markRunFind(t.table, right),
                                 markRunFind(t.table, left > 0 ? left : label));
        } else if (left > 0) {
            label = left;
        }
        here[x] = static_cast<Label>(label);
        if (g - 1 > x) {
            // Inside the stretch nothing above is labelled: the left label carries; its
            // last pixel may touch a labelled pixel above-right.
            std::fill(here + x + 1, here + g - 1, static_cast<Label>(label));
            if (up[g] > 0)
                label =
                    markRunMerge(t.table, markRunFind(t.table, up[g]), markRunFind(t.table, label));
            here[g - 1] = static_cast<Label>(label);
        }
        x = g;
    }
    return label;
}

// Where the dark runs of a mask row start and end: bounds[2i] is the first pixel of run
// i, bounds[2i + 1] the pixel after its last. Returns the count of entries (twice the
// runs; at most width). Found from the changes between neighbouring bits, a word at a
// time, which costs far less on rows of many short runs than searching for each end.
inline int32_t markRunBounds(const uint64_t* mask, int width, int32_t* bounds)
{
    int32_t count = 0;
    uint64_t carry = 0;  // the bit before the word
    const int words = markMaskWords(width);
    for (int w = 0; w < words; w++) {
        const uint64_t m = mask[w];
        uint64_t changes = m ^ ((m << 1) | carry);
        carry = m >> 63;
        while (changes != 0) {
            bounds[count++] = w * 64 + __builtin_ctzll(changes);
            changes &= changes - 1;
        }
    }
    return count;
}

// Labels the dark runs of one row. Tables provides `table` and `records` (entry n - 1
// for label n) and `bool grow(int32_t n)`, which makes room for label n (pointers may
// change) or refuses. here[0 ... width - 1] is written whole (0 where light). Returns 0,
// or -1 when a new label is refused (the row is then partly written). bounds holds
// width + 1 entries of scratch.
template <typename Label, typename Tables>
int markRunsLabelRow(Tables& t, const uint64_t* mask, const uint64_t* upMask, const Label* up,
                     Label* here, int width, int y, int32_t* k, int32_t* bounds)
{
    typedef MarkRunLanes<Label> Lanes;
    std::memset(here, 0, static_cast<size_t>(width) * sizeof(Label));
    const int32_t count = markRunBounds(mask, width, bounds);
    for (int32_t i = 0; i < count; i += 2) {
        const int x0 = bounds[i], x1 = bounds[i + 1] - 1;
        const int n = x1 - x0 + 1;
        int32_t label;
        // A short run wholly under dark pixels copies the labels above; one with nothing
        // labelled above or diagonally above starts a label. Those are most runs of text.
        const bool shortRun = n <= Lanes::lanes && x0 + Lanes::lanes <= width;
        const uint64_t above = shortRun ? markMaskBits(upMask, x0 - 1, n + 2) : 1;
        const uint64_t under = shortRun ? ((uint64_t{1} << n) - 1) << 1 : 0;  // n < 64 only
        if (shortRun && (above & under) == under) {
            Lanes::copy(here + x0, up + x0, n);
            label = up[x1];
        } else if (above == 0) {
            label = markRunStart(t, k, x0, y);
            if (label == 0) return -1;
            Lanes::fill(here + x0, static_cast<Label>(label), n);
        } else {
            label = markRunsLabelRun(t, upMask, up, here, x0, x1, y, k, width);
            if (label == 0) return -1;
        }
        markRunAdd(t.records[label - 1], x0, x1, y);
    }
    return 0;
}

// The root of the class of the run above that holds pixel p (dark in upMask), joined
// into *label's class unless *label is 0 (then it becomes the root).
template <typename Label, typename Tables>
inline void markRunsJoinAbove(Tables& t, const Label* up, int p, int32_t* label)
{
    const int32_t root = markRunFind(t.table, up[p]);
    *label = *label == 0 ? root : markRunMerge(t.table, *label, root);
}

// Labels the dark runs of one row with one label per run, from the runs of the row above
// that it meets (8-neighbours: from one pixel before it to one pixel after it): none, and
// it starts a label; several, and their classes are joined, left to right. Those runs are
// found in the mask of the row above and their labels read at one pixel of each (a run
// carries one label). The classes come in the same order of their smallest labels as with
// markRunsLabelRow, so regions are numbered alike, and their statistics are the same;
// the provisional labels, their count and the table are not (a run that meets the row
// above only after its first pixel starts no label here). Tables, mask, upMask, up and
// here as for markRunsLabelRow (up: the row above as this function labelled it).
// Returns 0, or -1 when a new label is refused.
template <typename Label, typename Tables>
int markRunsLabelRowByRuns(Tables& t, const uint64_t* mask, const uint64_t* upMask, const Label* up,
                           Label* here, int width, int y, int32_t* k, int32_t* bounds)
{
    typedef MarkRunLanes<Label> Lanes;
    std::memset(here, 0, static_cast<size_t>(width) * sizeof(Label));
    const int32_t ends = markRunBounds(mask, width, bounds);
    for (int32_t i = 0; i < ends; i += 2) {
        const int x0 = bounds[i], x1 = bounds[i + 1] - 1;
        const int n = x1 - x0 + 1;
        int32_t label = 0;
        if (n <= 60) {
            // The row above from x0 - 1 to x1 + 1 in one word: the first dark pixel, then
            // the first pixel of every later run.
            uint64_t above = markMaskBits(upMask, x0 - 1, n + 2);
            if (above != 0) {
                const int first = __builtin_ctzll(above);
                markRunsJoinAbove(t, up, x0 - 1 + first, &label);
                uint64_t starts = above & ~(above << 1) & (~uint64_t{1} << first);
                while (starts != 0) {
                    markRunsJoinAbove(t, up, x0 - 1 + __builtin_ctzll(starts), &label);
                    starts &= starts - 1;
                }
            }
        } else {
            const int end = x1 + 2;
            for (int p = markNextSet(upMask, x0 - 1, end); p < end;
                 p = markNextSet(upMask, markNextClear(upMask, p, end), end))
                markRunsJoinAbove(t, up, p, &label);
        }
        if (label == 0) {
            label = markRunStart(t, k, x0, y);
            if (label == 0) return -1;
        }
        if (n <= Lanes::lanes && x0 + Lanes::lanes <= width)
            Lanes::fill(here + x0, static_cast<Label>(label), n);
        else if (n >= Lanes::lanes)
            Lanes::fillLong(here + x0, static_cast<Label>(label), n);
        else
            std::fill(here + x0, here + x1 + 1, static_cast<Label>(label));
        markRunAdd(t.records[label - 1], x0, x1, y);
    }
    return 0;
}
