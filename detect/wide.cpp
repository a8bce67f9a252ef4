// The frame-sized path: labeling whose capacity follows the frame (32-bit labels), a
// global or local threshold, and square detection that keeps every square until
// overlaps are removed. Used for frames beyond one megapixel, where a fixed label and
// candidate count cannot be promised to suffice.
#include "detect/internal.h"
#include "detect/runs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>

namespace {

constexpr int kMarkStepX[8] = {0, 1, 1, 1, 0, -1, -1, -1};
constexpr int kMarkStepY[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
constexpr int32_t kMarkTraceFail = kMarkContourMax - 1;

// ---- Labeling -------------------------------------------------------------------------

// The growable tables: labels are limited by memory, or to `most` (then `full` tells a
// refusal for that reason from one for lack of memory).
struct MarkWideTables {
    MarkWideWork* w;
    int32_t* table;
    MarkLabelRecord* records;
    int32_t most;
    bool full;
    bool grow(int32_t n)
    {
        if (n > most) {
            full = true;
            return false;
        }
        if (!w->table.reserve(n) || !w->records.reserve(n)) return false;
        table = w->table.data;
        records = w->records.data;
        return true;
    }
};

constexpr int32_t kMarkScanFull = -2;

// Labels the frame into L with labels up to `most`; returns the provisional label count,
// -1 when memory runs out or kMarkScanFull when a label beyond `most` is needed.
template <typename Label>
int32_t markWideScanInto(MarkWideWork* w, Label* L, int32_t most, const uint8_t* frame, int width,
                         int height, const MarkWideSettings& s)
{
    const int64_t pixels = static_cast<int64_t>(width) * height;
    const int words = markMaskWords(width);
    if (s.localThreshold && markLocalReserve(w, width, height, s) < 0) return -1;
    std::fill(L, L + width, 0);
    std::fill(L + (pixels - width), L + pixels, 0);
    const int limit = 3 * std::min(std::max(s.threshold, -1), 255);
    MarkWideTables tables{w, w->table.data, w->records.data, most, false};
    uint64_t* mask = w->masks.data;
    uint64_t* upMask = mask + words;
    std::fill(upMask, upMask + words, 0);  // row 0 is never dark
    int32_t k = 0;
    for (int y = 1; y < height - 1; y++) {
        const int64_t rowStart = static_cast<int64_t>(y) * width;
        Label* here = L + rowStart;
        if (s.localThreshold)
            markLocalMask(w, frame, width, height, y, s, mask);
        else
            markMaskGlobalUsing(frame + rowStart * 4, width, limit, mask, s.simdLevel);
        const int labelled = s.labelByRuns
                                 ? markRunsLabelRowByRuns(tables, mask, upMask, here - width, here,
                                                          width, y, &k, w->bounds.data)
                                 : markRunsLabelRow(tables, mask, upMask, here - width, here, width,
                                                    y, &k, w->bounds.data);
        if (labelled < 0) return tables.full ? kMarkScanFull : -1;
        std::swap(mask, upMask);
    }
    return k;
}

// Labels the frame; returns the provisional label count or -1 when memory runs out.
// 16-bit labels, while they last, halve the label image that is cleared, written and
// read (a quarter of the memory a 1920 x 1080 frame moves); readers outside the search
// take them through markWideLabelAt.
int32_t markWideScan(MarkWideWork* w, const uint8_t* frame, int width, int height,
                     const MarkWideSettings& s)
{
    const int64_t pixels = static_cast<int64_t>(width) * height;
    if (!w->masks.reserve(2 * int64_t{markMaskWords(width)}) || !w->bounds.reserve(width + 1))
        return -1;
    if (s.narrowLabels) {
        if (!w->narrowImage.reserve(pixels)) return -1;
        w->narrow = 1;
        const int32_t k =
            markWideScanInto(w, w->narrowImage.data, kMarkLabelMax, frame, width, height, s);
        if (k != kMarkScanFull) return k;
    }
    w->narrow = 0;
    if (!w->labelImage.reserve(pixels)) return -1;
    return markWideScanInto(w, w->labelImage.data, INT32_MAX, frame, width, height, s);
}

// Region numbers in order of each class's smallest label, then region statistics.
int32_t markWideRegions(MarkWideWork* w, int32_t k, int width, int height)
{
    int32_t* table = w->table.data;
    int32_t next = 1;
    for (int32_t n = 1; n <= k; n++)
        table[n - 1] = (table[n - 1] == n) ? next++ : table[table[n - 1] - 1];
    const int32_t regions = next - 1;
    if (regions == 0) return 0;
    if (!w->regionArea.reserve(regions) || !w->regionCentroid.reserve(2 * int64_t{regions}) ||
        !w->regionBox.reserve(4 * int64_t{regions}) || !w->regionEnclosed.reserve(regions))
        return -1;
    int32_t* area = w->regionArea.data;
    double* centroid = w->regionCentroid.data;
    int32_t* box = w->regionBox.data;
    for (int32_t r = 0; r < regions; r++) {
        area[r] = 0;
        w->regionEnclosed.data[r] = 0.0;
        centroid[2 * r] = centroid[2 * r + 1] = 0.0;
        box[4 * r] = width;
        box[4 * r + 1] = 0;
        box[4 * r + 2] = height;
        box[4 * r + 3] = 0;
    }
    for (int32_t n = 0; n < k; n++) {
        const int32_t r = table[n] - 1;
        const MarkLabelRecord& rec = w->records.data[n];
        area[r] += rec.area;
        centroid[2 * r] += static_cast<double>(rec.sumX);
        centroid[2 * r + 1] += static_cast<double>(rec.sumY);
        int32_t* b = box + 4 * r;
        b[0] = std::min(b[0], rec.xmin);
        b[1] = std::max(b[1], rec.xmax);
        b[2] = std::min(b[2], rec.ymin);
        b[3] = std::max(b[3], rec.ymax);
    }
    for (int32_t r = 0; r < regions; r++) {
        const double inverse = 1.0 / area[r];
        centroid[2 * r] *= inverse;
        centroid[2 * r + 1] *= inverse;
    }
    return regions;
}

// ---- Squares -------------------------------------------------------------------------

void markWideDiagnose(const MarkWideWork* w, const char* message)
{
    markDiagnose(w->detector != nullptr ? w->detector : markDetectorDefault(), message);
}

// One traced contour in work->traceX/traceY: points first ... first + count, the last
// a copy of the first.
struct MarkWideContour {
    int32_t first;    // the point farthest from where the trace started
    int32_t count;    // distinct points
    double enclosed;  // area of the outline drawn round the pixels' edges (pixels)
};

// Outer contour of a region, clockwise, from the point farthest from the start, closed
// with a copy of that point (the rule of markTraceContour). The area it encloses and the
// farthest point are gathered on the way, and the contour is not moved: the points up
// to the farthest one are copied once more after the others instead. The label image's
// border is clear, so every neighbour of a labelled pixel lies in the image.
template <typename Label>
int markWideTraceIn(MarkWideWork* w, const Label* L, int width, int32_t region,
                    const int32_t box[4], MarkWideContour* contour)
{
    const int32_t* table = w->table.data;
    const int ymin = box[2];
    int sx = -1;
    for (int x = box[0]; x <= box[1]; x++) {
        const int32_t l = L[static_cast<int64_t>(ymin) * width + x];
        if (l > 0 && table[l - 1] == region) {
            sx = x;
            break;
        }
    }
    if (sx < 0) {
        markWideDiagnose(w, "??? 1\n");
        return -1;
    }
    int64_t offset[8];
    for (int d = 0; d < 8; d++)
        offset[d] = static_cast<int64_t>(kMarkStepY[d]) * width + kMarkStepX[d];
    int32_t* px = w->traceX;
    int32_t* py = w->traceY;
    px[0] = sx;
    py[0] = ymin;
    int32_t count = 1, far = 1, dmax = 0, diagonals = 0;
    int64_t twice = 0;  // twice the signed area through the pixel centres (shoelace)
    int d = 5;
    // The position and its label's address stay in registers from step to step (read
    // back from the point arrays, each step would wait for the store of the one before).
    int lx = sx, ly = ymin;
    const Label* here = L + static_cast<int64_t>(ly) * width + lx;
    for (;;) {
        d = (d + 5) & 7;
        int tries = 0;
        while (tries < 8 && here[offset[d]] <= 0) {
            d = (d + 1) & 7;
            tries++;
        }
        if (tries == 8) {
            markWideDiagnose(w, "??? 2\n");
            return -1;
        }
        const int nx = lx + kMarkStepX[d], ny = ly + kMarkStepY[d];
        twice += static_cast<int64_t>(lx) * ny - static_cast<int64_t>(nx) * ly;
        diagonals += d & 1;
        if (nx == sx && ny == ymin) break;
        lx = nx;
        ly = ny;
        here += offset[d];
        px[count] = nx;
        py[count] = ny;
        const int32_t dx = nx - sx, dy = ny - ymin;
        if (dx * dx + dy * dy > dmax) {
            dmax = dx * dx + dy * dy;
            far = count;
        }
        count++;
        if (count == kMarkTraceFail) {
            markWideDiagnose(w, "??? 3\n");
            return -1;
        }
    }
    std::copy(px, px + far + 1, px + count);
    std::copy(py, py + far + 1, py + count);
    const int32_t steps = count;  // the closing step included
    const double perimeter = (steps - diagonals) + diagonals * 1.4142135623730951;
    contour->first = far;
    contour->count = count;
    contour->enclosed = std::abs(static_cast<double>(twice)) / 2.0 + perimeter / 2.0 + 1.0;
    return 0;
}

int markWideTrace(MarkWideWork* w, int width, int32_t region, const int32_t box[4],
                  MarkWideContour* contour)
{
    if (w->narrow) return markWideTraceIn(w, w->narrowImage.data, width, region, box, contour);
    return markWideTraceIn(w, w->labelImage.data, width, region, box, contour);
}

// The rule of markFindSquares' overlap removal on the whole list.
int32_t markWideRemoveOverlaps(MarkWideSquare* list, int32_t n)
{
    markClearOverlaps(list, n);
    int32_t kept = 0;
    for (int32_t i = 0; i < n; i++) {
        if (list[i].area != 0) list[kept++] = list[i];
    }
    return kept;
}

}  // namespace

MarkWideSettings markWideDefaults(int width, int height, int threshold)
{
    MarkWideSettings s;
    s.threshold = threshold;
    s.narrowLabels = 1;
    const int64_t scaled = int64_t{kMarkAreaMax} * width * height / (640 * 480);
    s.maxArea =
        static_cast<int>(std::min<int64_t>(std::max<int64_t>(scaled, kMarkAreaMax), INT32_MAX));
    return s;
}

MarkWideWork* markWideDefaultWork()
{
    static MarkWideWork work;
    return &work;
}

MarkWideWork* markWideWorkOf(MarkDetector* detector)
{
    if (detector->wide == nullptr) {
        detector->wide = detector->owned ? new (std::nothrow) MarkWideWork : markWideDefaultWork();
        if (detector->wide != nullptr) detector->wide->detector = detector;
    }
    return detector->wide;
}

void markWideRelease(MarkWideWork* work)
{
    if (work != markWideDefaultWork()) delete work;
}

int32_t markWideFindSquares(MarkWideWork* w, const uint8_t* frame, int width, int height,
                            const MarkWideSettings& s)
{
    w->labels = w->regions = w->sized = w->squareCount = 0;
    // 1. Labels, as many as the frame needs.
    const int32_t k = markWideScan(w, frame, width, height, s);
    if (k < 0) return -1;
    w->labels = k;
    const int32_t regions = markWideRegions(w, k, width, height);
    if (regions < 0) return -1;
    w->regions = regions;

    // 2. Every square, its contour kept in the pool.
    int32_t n = 0;
    int64_t pooled = 0;
    for (int32_t r = 0; r < regions; r++) {
        const int32_t area = w->regionArea.data[r];
        const int32_t* box = w->regionBox.data + 4 * r;
        if (area < s.minArea || area > s.maxArea) continue;
        if (box[0] == 1 || box[1] == width - 2 || box[2] == 1 || box[3] == height - 2) continue;
        w->sized++;
        MarkWideContour contour;
        if (markWideTrace(w, width, r + 1, box, &contour) < 0) continue;
        w->regionEnclosed.data[r] = contour.enclosed;
        const int32_t* x = w->traceX + contour.first;
        const int32_t* y = w->traceY + contour.first;
        const int32_t points = contour.count + 1;
        int32_t testArea = area;
        // A full-bordered square's dark area is 3/4 of what its outline encloses.
        if (s.enclosedTolerance)
            testArea = static_cast<int32_t>(std::min(0.75 * contour.enclosed, 2.0e9));
        int32_t corners[5];
        if (markCheckSquarePoints(testArea, x, y, points, s.factor, corners) < 0) continue;
        if (!w->squares.reserve(n + 1) || !w->poolX.reserve(pooled + points) ||
            !w->poolY.reserve(pooled + points))
            return -1;
        MarkWideSquare& q = w->squares.data[n++];
        q.area = area;
        q.centroid[0] = w->regionCentroid.data[2 * r];
        q.centroid[1] = w->regionCentroid.data[2 * r + 1];
        q.first = pooled;
        q.pointCount = points;
        std::copy(corners, corners + 5, q.corners);
        q.region = r;
        std::copy(x, x + points, w->poolX.data + pooled);
        std::copy(y, y + points, w->poolY.data + pooled);
        pooled += points;
    }

    // 3. Overlaps among all of them, then the largest up to the capacity.
    n = markWideRemoveOverlaps(w->squares.data, n);
    w->squareCount = n;
    const int32_t capacity = std::max(s.capacity, 1);
    if (n > capacity) {
        // The capacity-th largest area: smaller squares go; of those equal to it, the
        // earlier ones stay.
        if (!w->areas.reserve(n)) return -1;
        int32_t* areas = w->areas.data;
        for (int32_t i = 0; i < n; i++) areas[i] = w->squares.data[i].area;
        std::nth_element(areas, areas + (capacity - 1), areas + n, std::greater<int32_t>());
        const int32_t minKept = areas[capacity - 1];
        int32_t ties = capacity;
        for (int32_t i = 0; i < n; i++) ties -= w->squares.data[i].area > minKept;
        int32_t kept = 0;
        for (int32_t i = 0; i < n; i++) {
            const MarkWideSquare& q = w->squares.data[i];
            if (q.area < minKept) continue;
            if (q.area == minKept && ties-- <= 0) continue;
            w->squares.data[kept++] = q;
        }
        n = kept;
    }
    w->kept = n;
    const int32_t records = std::min(n, static_cast<int32_t>(kMarkCandidateMax));
    for (int32_t i = 0; i < records; i++) markWideCandidate(w, i, &w->candidates[i]);
    return n;
}

int markWideOutline(MarkWideWork* w, int width, int32_t region, const int32_t box[4],
                    const int32_t** x, const int32_t** y, int32_t* points)
{
    MarkWideContour contour;
    if (markWideTrace(w, width, region, box, &contour) < 0) return -1;
    *x = w->traceX + contour.first;
    *y = w->traceY + contour.first;
    *points = contour.count + 1;
    return 0;
}

void markWideCandidate(const MarkWideWork* w, int32_t i, SquareCandidate* c)
{
    const MarkWideSquare& q = w->squares.data[i];
    c->area = q.area;
    c->centroid[0] = q.centroid[0];
    c->centroid[1] = q.centroid[1];
    c->pointCount = q.pointCount;
    std::copy(q.corners, q.corners + 5, c->corners);
    std::copy(w->poolX.data + q.first, w->poolX.data + q.first + q.pointCount, c->pointX);
    std::copy(w->poolY.data + q.first, w->poolY.data + q.first + q.pointCount, c->pointY);
}
