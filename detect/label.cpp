// Thresholding and connected-component labeling of the fixed-capacity path: one raster
// pass over the frame with an equivalence table (runs.h), then resolution of the table
// into region numbers and per-region area, centroid and bounding box.
#include "detect/detect.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "camera/camera.h"
#include "detect/internal.h"
#include "detect/runs.h"

namespace {

// The fixed tables: labels 1 ... kMarkLabelMax.
struct MarkFixedTables {
    int32_t* table;
    MarkLabelRecord* records;
    bool grow(int32_t n) const { return n <= kMarkLabelMax; }
};

// Makes room for `words` words of row masks; false when the memory is not there.
bool markLabelKeepMasks(MarkLabelWork* w, int64_t words)
{
    if (words <= w->rowMaskCapacity) return true;
    std::free(w->rowMasks);
    w->rowMaskCapacity = 0;
    w->rowMasks =
        static_cast<uint64_t*>(std::malloc(static_cast<size_t>(words) * sizeof(uint64_t)));
    if (w->rowMasks == nullptr) return false;
    w->rowMaskCapacity = words;
    return true;
}

// Raster scan of the inner pixels, a row of dark bits at a time. Returns the number of
// provisional labels, or -1 when a pixel would need label kMarkLabelMax + 1.
int32_t markLabelScan(MarkLabelWork* w, const uint8_t* frame, int width, int height, int threshold)
{
    // Channel sums are 0 ... 765, so clamping keeps every outcome and avoids overflow.
    const int limit = 3 * (threshold < -1 ? -1 : (threshold > 255 ? 255 : threshold));
    int32_t k = 0;
    if (width < 3) return 0;  // no inner pixels
    MarkFixedTables tables{w->table, w->records};
    // Every row's mask stays for the contour walks when there is room for them (the
    // first and last rows are never dark); else two rows take turns.
    const int words = markMaskWords(width);
    const bool keep = markLabelKeepMasks(w, int64_t{words} * height);
    uint64_t* mask = keep ? w->rowMasks + words : w->masks[0];
    uint64_t* upMask = keep ? w->rowMasks : w->masks[1];
    std::fill(upMask, upMask + words, 0);
    if (keep)
        std::fill(w->rowMasks + int64_t{words} * (height - 1),
                  w->rowMasks + int64_t{words} * height, 0);
    for (int y = 1; y < height - 1; y++) {
        const int64_t rowStart = static_cast<int64_t>(y) * width;
        int16_t* here = w->image + rowStart;
        markMaskGlobal(frame + rowStart * 4, width, limit, mask);
        if (markRunsLabelRow(tables, mask, upMask, here - width, here, width, y, &k, w->bounds) < 0)
            return -1;
        if (keep) {
            upMask = mask;
            mask += words;
        } else {
            std::swap(mask, upMask);
        }
    }
    w->masksKept = keep ? 1 : 0;
    return k;
}

}  // namespace

int32_t markResolveRegions(int32_t* table, const MarkLabelRecord* records, int32_t k, int32_t* area,
                           double* centroid, int32_t* box, int32_t* firstX)
{
    int32_t next = 1;
    for (int32_t n = 1; n <= k; n++) {
        const MarkLabelRecord& rec = records[n - 1];
        int32_t* b;
        if (table[n - 1] == n) {
            // A class's smallest label comes first and starts its region's sums (the
            // same sums, in the same order, as from zero).
            const int32_t r = next - 1;
            table[n - 1] = next++;
            firstX[r] = rec.firstX;
            area[r] = rec.area;
            centroid[2 * r] = static_cast<double>(rec.sumX);
            centroid[2 * r + 1] = static_cast<double>(rec.sumY);
            b = box + 4 * r;
            b[0] = rec.xmin;
            b[1] = rec.xmax;
            b[2] = rec.ymin;
            b[3] = rec.ymax;
            continue;
        }
        // A smaller parent, already resolved to its region.
        const int32_t r = table[table[n - 1] - 1] - 1;
        table[n - 1] = r + 1;
        area[r] += rec.area;
        centroid[2 * r] += static_cast<double>(rec.sumX);
        centroid[2 * r + 1] += static_cast<double>(rec.sumY);
        b = box + 4 * r;
        b[0] = std::min(b[0], rec.xmin);
        b[1] = std::max(b[1], rec.xmax);
        b[2] = std::min(b[2], rec.ymin);
        b[3] = std::max(b[3], rec.ymax);
    }
    const int32_t regions = next - 1;
    for (int32_t r = 0; r < regions; r++) {
        const double inverse = 1.0 / area[r];
        centroid[2 * r] *= inverse;
        centroid[2 * r + 1] *= inverse;
    }
    return regions;
}

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
    std::free(work->rowMasks);
    work->rowMasks = nullptr;
    work->rowMaskCapacity = 0;
    work->masksKept = 0;
    delete work->walks;
    work->walks = nullptr;
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
    w->masksKept = 0;
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

    // 3. Resolution and region statistics.
    const int32_t regions =
        markResolveRegions(w->table, w->records, k, w->area, w->centroid, w->box, w->firstX);
    *regionCount = regions;
    if (regions == 0) return L;
    *regionArea = w->area;
    *regionCentroid = w->centroid;
    *regionBox = w->box;
    *labelTable = w->table;
    return L;
}
