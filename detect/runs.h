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

// Number of dark pixels of a mask row (for statistics and benchmarks).
int32_t markMaskCount(const uint64_t* mask, int width);

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

// Labels the dark runs of one row. Tables provides `table` and `records` (entry n - 1
// for label n) and `bool grow(int32_t n)`, which makes room for label n (pointers may
// change) or refuses. here[0 ... width - 1] is written whole (0 where light). Returns 0,
// or -1 when a new label is refused (the row is then partly written).
template <typename Label, typename Tables>
int markRunsLabelRow(Tables& t, const uint64_t* mask, const uint64_t* upMask, const Label* up,
                     Label* here, int width, int y, int32_t* k)
{
    std::memset(here, 0, static_cast<size_t>(width) * sizeof(Label));
    int x0 = markNextSet(mask, 0, width);
    while (x0 < width) {
        const int x1 = markNextClear(mask, x0, width) - 1;
        // The run's first pixel: its left neighbour is light.
        int32_t label;
        {
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
                const int32_t n = *k + 1;
                if (!t.grow(n)) return -1;
                *k = n;
                t.table[n - 1] = n;
                t.records[n - 1] = MarkLabelRecord{0, 0, 0, x0, x0, y, y};
                label = n;
            }
        }
        here[x0] = static_cast<Label>(label);
        int x = x0 + 1;
        while (x <= x1) {
            if (markMaskBit(upMask, x)) {
                // Dark above: every pixel takes the label above.
                const int e = markNextClear(upMask, x, x1 + 1);
                std::memcpy(here + x, up + x, static_cast<size_t>(e - x) * sizeof(Label));
                label = up[e - 1];
                x = e;
                continue;
            }
            // Light above from x to g - 1.
            const int g = markNextSet(upMask, x, x1 + 1);
            const int32_t UR = up[x + 1], UL = up[x - 1];
            if (UR > 0) {
                label = markRunMerge(t.table, markRunFind(t.table, UR),
                                     markRunFind(t.table, UL > 0 ? UL : label));
            } else if (UL > 0) {
                label = UL;
            }
            here[x] = static_cast<Label>(label);
            if (g - 1 > x) {
                // Inside the stretch nothing above is labelled: the left label carries;
                // its last pixel may touch a labelled pixel above-right.
                std::fill(here + x + 1, here + g - 1, static_cast<Label>(label));
                if (up[g] > 0)
                    label = markRunMerge(t.table, markRunFind(t.table, up[g]),
                                         markRunFind(t.table, label));
                here[g - 1] = static_cast<Label>(label);
            }
            x = g;
        }
        // All pixels of a run end up in one region, so one label may carry its sums.
        MarkLabelRecord& r = t.records[label - 1];
        const int32_t n = x1 - x0 + 1;
        r.area += n;
        r.sumX += static_cast<int64_t>(x0 + x1) * n / 2;
        r.sumY += static_cast<int64_t>(n) * y;
        if (r.xmin > x0) r.xmin = x0;
        if (r.xmax < x1) r.xmax = x1;
        if (r.ymin > y) r.ymin = y;
        if (r.ymax < y) r.ymax = y;
        x0 = markNextSet(mask, x1 + 1, width);
    }
    return 0;
}
