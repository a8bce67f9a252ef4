// Thresholding and connected-component labeling: one raster pass over the frame with
// an equivalence table, then resolution of the table into region numbers and
// per-region area, centroid and bounding box.
#include "detect/detect.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "camera/camera.h"
#include "detect/internal.h"

namespace {

// Class representative of label n (the root of its tree), halving the path on the way.
int32_t markLabelFind(int32_t* table, int32_t n)
{
    while (table[n - 1] != n) {
        const int32_t parent = table[n - 1];
        table[n - 1] = table[parent - 1];
        n = parent;
    }
    return n;
}

// merge(a, b) of two class representatives: the smaller one survives and the larger
// one's class joins it.
int32_t markLabelMerge(int32_t* table, int32_t a, int32_t b)
{
    if (a > b) {
        table[a - 1] = b;
        return b;
    }
    if (a < b) table[b - 1] = a;
    return a;
}

// Credits the dark run x0 ... x1 of row y to one label. All pixels of a run end up in
// one region, so any of the run's labels may carry them: the region sums and boxes come
// out exactly as if every pixel updated the record of the label it received.
void markLabelAddRun(MarkLabelWork* w, int32_t label, int x0, int x1, int y)
{
    MarkLabelRecord& r = w->records[label - 1];
    const int32_t n = x1 - x0 + 1;
    r.area += n;
    r.sumX += static_cast<int64_t>(x0 + x1) * n / 2;
    r.sumY += static_cast<int64_t>(n) * y;
    if (r.xmin > x0) r.xmin = x0;
    if (r.xmax < x1) r.xmax = x1;
    if (r.ymin > y) r.ymin = y;
    if (r.ymax < y) r.ymax = y;
}

// Four pixels (or eight labels) at once through the compiler's generic vector types (plain SSE2 on
// x86-64, lowered to scalar code elsewhere): byte c of a pixel is bits 8c ... 8c + 7 of
// its little-endian 32-bit word. Other compilers and byte orders use the scalar loop.
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define MARK_LABEL_VECTOR 1
typedef int32_t MarkPixels4 __attribute__((vector_size(16)));
typedef int16_t MarkLabels8 __attribute__((vector_size(16)));
#endif

// Label of the first pixel of a dark run (its left neighbour is light): the case
// table without the rows that need a labelled left neighbour. 0 at the label limit.
int32_t markLabelRunStart(MarkLabelWork* w, const int16_t* up, int x, int y, int32_t* k)
{
    const int32_t U = up[x], UR = up[x + 1], UL = up[x - 1];
    if (U > 0) return U;
    if (UR > 0 && UL > 0)
        return markLabelMerge(w->table, markLabelFind(w->table, UR), markLabelFind(w->table, UL));
    if (UR > 0) return UR;
    if (UL > 0) return UL;
    if (*k == kMarkLabelMax) return 0;
    const int32_t n = ++*k;
    w->table[n - 1] = n;
    w->records[n - 1] = MarkLabelRecord{0, 0, 0, x, x, y, y};
    return n;
}

// Labels the dark run x0 ... x1 of row y: the case table with a labelled left
// neighbour. Returns 0, or -1 at the label limit.
int markLabelRun(MarkLabelWork* w, const int16_t* up, int16_t* here, int x0, int x1, int y,
                 int32_t* k)
{
    int32_t label = markLabelRunStart(w, up, x0, y, k);
    if (label == 0) return -1;
    here[x0] = static_cast<int16_t>(label);
    for (int x = x0 + 1; x <= x1; x++) {
#ifdef MARK_LABEL_VECTOR
        // Inside a dark area every pixel takes the label above: eight at a time.
        if (x + 8 <= x1 + 1) {
            MarkLabels8 above;
            std::memcpy(&above, up + x, sizeof above);
            const MarkLabels8 zero = {0, 0, 0, 0, 0, 0, 0, 0};
            const MarkLabels8 labelled = above > zero;
            uint64_t half[2];
            std::memcpy(half, &labelled, sizeof half);
            if ((half[0] & half[1]) == ~uint64_t{0}) {
                std::memcpy(here + x, &above, sizeof above);
                label = above[7];
                x += 7;
                continue;
            }
        }
#endif
        const int32_t U = up[x];
        if (U > 0) {
            label = U;
        } else {
            const int32_t UR = up[x + 1], UL = up[x - 1];
            if (UR > 0) {
                label = markLabelMerge(w->table, markLabelFind(w->table, UR),
                                       markLabelFind(w->table, UL > 0 ? UL : label));
            } else if (UL > 0) {
                label = UL;
            }  // otherwise the left neighbour's label
        }
        here[x] = static_cast<int16_t>(label);
    }
    markLabelAddRun(w, label, x0, x1, y);
    return 0;
}

// Fills the dark flags of one row (MarkLabelWork::darkFlags).
void markLabelDarkFlags(int32_t* flags, const uint8_t* row, int width, int limit)
{
    int x = 1;
#ifdef MARK_LABEL_VECTOR
    const MarkPixels4 low = {0xFF, 0xFF, 0xFF, 0xFF};
    const MarkPixels4 lim = {limit, limit, limit, limit};
    for (; x + 4 <= width - 1; x += 4) {
        MarkPixels4 p;
        std::memcpy(&p, row + 4 * x, sizeof p);
        const MarkPixels4 sum = (p & low) + ((p >> 8) & low) + ((p >> 16) & low);
        const MarkPixels4 dark = sum <= lim;
        std::memcpy(flags + x, &dark, sizeof dark);
    }
#endif
    for (; x < width - 1; x++) {
        const uint8_t* p = row + 4 * x;
        flags[x] = (p[0] + p[1] + p[2] <= limit) ? -1 : 0;
    }
    for (x = width - 1; x < width + 7; x++) flags[x] = 0;
}

// Four flags from x on, folded: all light gives 0, all dark gives ~0.
inline uint64_t markFourFlags(const int32_t* flags, int x, bool allDark)
{
    uint64_t half[2];
    std::memcpy(half, flags + x, sizeof half);
    return allDark ? (half[0] & half[1]) : (half[0] | half[1]);
}

// First dark pixel at or after x, or a value >= width - 1 when there is none.
int markNextDark(const int32_t* flags, int x, int width)
{
    while (x < width - 1 && markFourFlags(flags, x, false) == 0) x += 4;
    while (x < width - 1 && flags[x] == 0) x++;
    return x;
}

// Last pixel of the dark run that contains x (the stop flags end every run).
int markRunEnd(const int32_t* flags, int x)
{
    while (markFourFlags(flags, x + 1, true) == ~uint64_t{0}) x += 4;
    while (flags[x + 1] != 0) x++;
    return x;
}

// Labels the inner pixels of row y; returns 0, or -1 at the label limit.
int markLabelRow(MarkLabelWork* w, const uint8_t* row, int16_t* here, const int16_t* up, int width,
                 int y, int limit, int32_t* k)
{
    int32_t* flags = w->darkFlags;
    markLabelDarkFlags(flags, row, width, limit);
    std::memset(here + 1, 0, static_cast<size_t>(width - 2) * sizeof(int16_t));
    int x = markNextDark(flags, 1, width);
    while (x < width - 1) {
        const int end = markRunEnd(flags, x);
        if (markLabelRun(w, up, here, x, end, y, k) < 0) return -1;
        x = markNextDark(flags, end + 1, width);
    }
    return 0;
}

// Raster scan of the inner pixels. Returns the number of provisional labels, or -1
// when a pixel would need label kMarkLabelMax + 1.
int32_t markLabelScan(MarkLabelWork* w, const uint8_t* frame, int width, int height, int threshold)
{
    // Channel sums are 0 ... 765, so clamping keeps every outcome and avoids overflow.
    const int limit = 3 * (threshold < -1 ? -1 : (threshold > 255 ? 255 : threshold));
    int32_t k = 0;
    if (width < 3) return 0;  // no inner pixels
    for (int y = 1; y < height - 1; y++) {
        const int64_t rowStart = static_cast<int64_t>(y) * width;
        int16_t* here = w->image + rowStart;
        if (markLabelRow(w, frame + rowStart * 4, here, here - width, width, y, limit, &k) < 0)
            return -1;
    }
    return k;
}

// Turns the table into region numbers 1 ... in order of each class's smallest label.
// A label that is not a root has a smaller parent, already resolved to its region.
int32_t markLabelResolve(int32_t* table, int32_t k)
{
    int32_t next = 1;
    for (int32_t n = 1; n <= k; n++) {
        if (table[n - 1] == n) {
            table[n - 1] = next++;
        } else {
            table[n - 1] = table[table[n - 1] - 1];
        }
    }
    return next - 1;
}

// Area, centroid and box of every region from the records of its labels.
void markLabelRegions(MarkLabelWork* w, int32_t k, int32_t regions, int width, int height)
{
    int32_t* area = w->area;
    double* centroid = w->centroid;
    int32_t* boxes = w->box;
    for (int32_t r = 0; r < regions; r++) {
        area[r] = 0;
        centroid[2 * r] = 0.0;
        centroid[2 * r + 1] = 0.0;
        boxes[4 * r] = width;
        boxes[4 * r + 1] = 0;
        boxes[4 * r + 2] = height;
        boxes[4 * r + 3] = 0;
    }
    for (int32_t n = 0; n < k; n++) {
        const int32_t r = w->table[n] - 1;
        const MarkLabelRecord& rec = w->records[n];
        area[r] += rec.area;
        centroid[2 * r] += static_cast<double>(rec.sumX);
        centroid[2 * r + 1] += static_cast<double>(rec.sumY);
        int32_t* box = boxes + 4 * r;
        if (box[0] > rec.xmin) box[0] = rec.xmin;
        if (box[1] < rec.xmax) box[1] = rec.xmax;
        if (box[2] > rec.ymin) box[2] = rec.ymin;
        if (box[3] < rec.ymax) box[3] = rec.ymax;
    }
    for (int32_t r = 0; r < regions; r++) {
        const double inverse = 1.0 / area[r];
        centroid[2 * r] *= inverse;
        centroid[2 * r + 1] *= inverse;
    }
}

}  // namespace

int markLabelReserve(MarkLabelWork* work, int64_t pixels)
{
    if (pixels <= work->capacity) return 0;
    std::free(work->image);
    work->capacity = 0;
    work->image = static_cast<int16_t*>(std::malloc(static_cast<size_t>(pixels) * sizeof(int16_t)));
    if (work->image == nullptr) return -1;
    work->capacity = pixels;
    return 0;
}

void markLabelRelease(MarkLabelWork* work)
{
    std::free(work->image);
    work->image = nullptr;
    work->capacity = 0;
}

int16_t* markLabel(const uint8_t* frame, int threshold, int32_t* regionCount, int32_t** regionArea,
                   double** regionCentroid, int32_t** regionBox, int32_t** labelTable)
{
    return markDetectorLabel(markDefaultSynced(), frame, threshold, regionCount, regionArea,
                             regionCentroid, regionBox, labelTable);
}

int16_t* markDetectorLabel(MarkDetector* detector, const uint8_t* frame, int threshold,
                           int32_t* regionCount, int32_t** regionArea, double** regionCentroid,
                           int32_t** regionBox, int32_t** labelTable)
{
    const int width = detector->camera.width;
    const int height = detector->camera.height;
    MarkLabelWork* w = detector->label;
    if (frame == nullptr || width < 1 || height < 1) return nullptr;
    const int64_t pixels = static_cast<int64_t>(width) * height;
    if (pixels > kMarkPixelMax || width > kMarkSideMax || height > kMarkSideMax) return nullptr;
    if (markLabelReserve(w, pixels) < 0) return nullptr;

    // 1. Border: the outermost rows and columns are never labelled, so the contour
    //    tracer can look at all eight neighbours of any labelled pixel.
    int16_t* L = w->image;
    for (int x = 0; x < width; x++) {
        L[x] = 0;
        L[(pixels - width) + x] = 0;
    }
    for (int y = 0; y < height; y++) {
        L[static_cast<int64_t>(y) * width] = 0;
        L[static_cast<int64_t>(y) * width + width - 1] = 0;
    }

    // 2. Raster scan with merging.
    const int32_t k = markLabelScan(w, frame, width, height, threshold);
    if (k < 0) return nullptr;

    // 3. Resolution.
    const int32_t regions = markLabelResolve(w->table, k);
    *regionCount = regions;
    if (regions == 0) return L;

    // 4. Region statistics.
    markLabelRegions(w, k, regions, width, height);
    *regionArea = w->area;
    *regionCentroid = w->centroid;
    *regionBox = w->box;
    *labelTable = w->table;
    return L;
}
