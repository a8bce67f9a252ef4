// Thresholding and connected-component labeling: one raster pass over the frame with
// an equivalence table, then resolution of the table into region numbers and
// per-region area, centroid and bounding box.
#include "detect/detect.h"

#include <cstdlib>

#include "camera/camera.h"

namespace {

// Working record of one provisional label. The coordinate sums are 64-bit: a region
// of a 1920 x 1080 frame already comes close to 2^31, and the installed size is not
// capped at one megapixel.
struct MarkLabelRecord {
    int32_t area;
    int64_t sumX;
    int64_t sumY;
    int32_t xmin, xmax, ymin, ymax;
};

// Per-pixel buffer, sized from the installed image size on first use and kept.
int16_t* markLabelImage = nullptr;
int64_t markLabelCapacity = 0;

// Per-label storage, fixed: provisional labels never exceed kMarkLabelMax.
int32_t markLabelTable[kMarkRegionMax];
MarkLabelRecord markLabelRecords[kMarkRegionMax];
int32_t markRegionArea[kMarkRegionMax];
double markRegionCentroid[2 * kMarkRegionMax];
int32_t markRegionBox[4 * kMarkRegionMax];

// Makes the label image hold at least `pixels` entries. Returns 0, or -1 when the
// allocation fails (the old buffer is gone then too; the next call retries).
int markLabelReserve(int64_t pixels)
{
    if (pixels <= markLabelCapacity) return 0;
    std::free(markLabelImage);
    markLabelCapacity = 0;
    markLabelImage = static_cast<int16_t*>(std::malloc(static_cast<size_t>(pixels) * sizeof(int16_t)));
    if (markLabelImage == nullptr) return -1;
    markLabelCapacity = pixels;
    return 0;
}

// merge(a, b) of two class representatives: the smaller one survives and every entry
// of the larger among the k labels so far is redirected, so the table stays flat.
int32_t markLabelMerge(int32_t a, int32_t b, int32_t k)
{
    if (a > b) {
        for (int32_t n = 0; n < k; n++) {
            if (markLabelTable[n] == a) markLabelTable[n] = b;
        }
        return b;
    }
    if (a < b) {
        for (int32_t n = 0; n < k; n++) {
            if (markLabelTable[n] == b) markLabelTable[n] = a;
        }
    }
    return a;
}

void markLabelAdd(int32_t label, int x, int y)
{
    MarkLabelRecord& r = markLabelRecords[label - 1];
    r.area++;
    r.sumX += x;
    r.sumY += y;
}

// Raster scan of the inner pixels. Returns the number of provisional labels, or -1
// when a pixel would need label kMarkLabelMax + 1.
int32_t markLabelScan(const uint8_t* frame, int width, int height, int threshold)
{
    // Channel sums are 0 ... 765, so clamping keeps every outcome and avoids overflow.
    const int limit = 3 * (threshold < -1 ? -1 : (threshold > 255 ? 255 : threshold));
    int16_t* L = markLabelImage;
    int32_t k = 0;
    for (int y = 1; y < height - 1; y++) {
        for (int x = 1; x < width - 1; x++) {
            const int64_t i = static_cast<int64_t>(y) * width + x;
            const uint8_t* p = frame + i * 4;
            if (p[0] + p[1] + p[2] > limit) {
                L[i] = 0;
                continue;
            }
            const int32_t U = L[i - width], UR = L[i - width + 1], UL = L[i - width - 1], LF = L[i - 1];
            int32_t label;
            if (U > 0) {
                label = U;
                markLabelRecords[label - 1].ymax = y;
            } else if (UR > 0 && UL > 0) {
                label = markLabelMerge(markLabelTable[UR - 1], markLabelTable[UL - 1], k);
                markLabelRecords[label - 1].ymax = y;
            } else if (UR > 0 && LF > 0) {
                label = markLabelMerge(markLabelTable[UR - 1], markLabelTable[LF - 1], k);
            } else if (UR > 0) {
                label = UR;
                MarkLabelRecord& r = markLabelRecords[label - 1];
                if (r.xmin > x) r.xmin = x;
                r.ymax = y;
            } else if (UL > 0) {
                label = UL;
                MarkLabelRecord& r = markLabelRecords[label - 1];
                if (r.xmax < x) r.xmax = x;
                r.ymax = y;
            } else if (LF > 0) {
                label = LF;
                MarkLabelRecord& r = markLabelRecords[label - 1];
                if (r.xmax < x) r.xmax = x;
            } else {
                if (k == kMarkLabelMax) return -1;
                k++;
                markLabelTable[k - 1] = k;
                markLabelRecords[k - 1] = MarkLabelRecord{0, 0, 0, x, x, y, y};
                label = k;
            }
            L[i] = static_cast<int16_t>(label);
            markLabelAdd(label, x, y);
        }
    }
    return k;
}

// Turns the table into region numbers 1 ... in order of each class's smallest label.
int32_t markLabelResolve(int32_t k)
{
    int32_t next = 1;
    for (int32_t n = 1; n <= k; n++) {
        if (markLabelTable[n - 1] == n) {
            markLabelTable[n - 1] = next++;
        } else {
            markLabelTable[n - 1] = markLabelTable[markLabelTable[n - 1] - 1];
        }
    }
    return next - 1;
}

void markLabelRegions(int32_t k, int32_t regions, int width, int height)
{
    for (int32_t r = 0; r < regions; r++) {
        markRegionArea[r] = 0;
        markRegionCentroid[2 * r] = 0.0;
        markRegionCentroid[2 * r + 1] = 0.0;
        markRegionBox[4 * r] = width;
        markRegionBox[4 * r + 1] = 0;
        markRegionBox[4 * r + 2] = height;
        markRegionBox[4 * r + 3] = 0;
    }
    for (int32_t n = 0; n < k; n++) {
        const int32_t r = markLabelTable[n] - 1;
        const MarkLabelRecord& rec = markLabelRecords[n];
        markRegionArea[r] += rec.area;
        markRegionCentroid[2 * r] += static_cast<double>(rec.sumX);
        markRegionCentroid[2 * r + 1] += static_cast<double>(rec.sumY);
        int32_t* box = markRegionBox + 4 * r;
        if (box[0] > rec.xmin) box[0] = rec.xmin;
        if (box[1] < rec.xmax) box[1] = rec.xmax;
        if (box[2] > rec.ymin) box[2] = rec.ymin;
        if (box[3] < rec.ymax) box[3] = rec.ymax;
    }
    for (int32_t r = 0; r < regions; r++) {
        const double inverse = 1.0 / markRegionArea[r];
        markRegionCentroid[2 * r] *= inverse;
        markRegionCentroid[2 * r + 1] *= inverse;
    }
}

}  // namespace

int16_t* markLabel(const uint8_t* frame, int threshold, int32_t* regionCount,
                   int32_t** regionArea, double** regionCentroid, int32_t** regionBox,
                   int32_t** labelTable)
{
    const int width = camImageWidth;
    const int height = camImageHeight;
    if (frame == nullptr || width < 1 || height < 1) return nullptr;
    const int64_t pixels = static_cast<int64_t>(width) * height;
    if (pixels > kMarkPixelMax || width > kMarkSideMax || height > kMarkSideMax) return nullptr;
    if (markLabelReserve(pixels) < 0) return nullptr;

    // 1. Border: the outermost rows and columns are never labelled, so the contour
    //    tracer can look at all eight neighbours of any labelled pixel.
    int16_t* L = markLabelImage;
    for (int x = 0; x < width; x++) {
        L[x] = 0;
        L[(pixels - width) + x] = 0;
    }
    for (int y = 0; y < height; y++) {
        L[static_cast<int64_t>(y) * width] = 0;
        L[static_cast<int64_t>(y) * width + width - 1] = 0;
    }

    // 2.-4. Raster scan with merging.
    const int32_t k = markLabelScan(frame, width, height, threshold);
    if (k < 0) return nullptr;

    // 5. Resolution.
    const int32_t regions = markLabelResolve(k);
    *regionCount = regions;
    if (regions == 0) return L;

    // 6. Region statistics.
    markLabelRegions(k, regions, width, height);
    *regionArea = markRegionArea;
    *regionCentroid = markRegionCentroid;
    *regionBox = markRegionBox;
    *labelTable = markLabelTable;
    return L;
}
