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
    // Every row's mask stays for the contour walks; the first and last rows are never dark.
    uint64_t* masks = w->masks.data;
    std::fill(masks, masks + words, 0);
    std::fill(masks + int64_t{words} * (height - 1), masks + int64_t{words} * height, 0);
    int32_t k = 0;
    for (int y = 1; y < height - 1; y++) {
        const int64_t rowStart = static_cast<int64_t>(y) * width;
        Label* here = L + rowStart;
        uint64_t* mask = masks + int64_t{words} * y;
        const uint64_t* upMask = mask - words;
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
    if (!w->masks.reserve(int64_t{markMaskWords(width)} * height) || !w->bounds.reserve(width + 1))
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

// Region numbers and statistics (markResolveRegions); no region traced yet.
int32_t markWideRegions(MarkWideWork* w, int32_t k)
{
    if (k == 0) return 0;
    // k labels make at most k regions.
    if (!w->regionFirstX.reserve(k) || !w->regionArea.reserve(k) ||
        !w->regionCentroid.reserve(2 * int64_t{k}) || !w->regionBox.reserve(4 * int64_t{k}) ||
        !w->regionEnclosed.reserve(k))
        return -1;
    const int32_t regions =
        markResolveRegions(w->table.data, w->records.data, k, w->regionArea.data,
                           w->regionCentroid.data, w->regionBox.data, w->regionFirstX.data);
    std::fill(w->regionEnclosed.data, w->regionEnclosed.data + regions, 0.0);
    return regions;
}

// ---- Squares -------------------------------------------------------------------------

void markWideDiagnose(const MarkWideWork* w, const char* message)
{
    markDiagnose(w->detector != nullptr ? w->detector : markDetectorDefault(), message);
}

// A contour to walk, from its region's first pixel.
void markWideStartJob(const MarkWideWork* w, int32_t region, MarkWalkJob* job)
{
    job->region = region;
    job->x = w->regionFirstX.data[region - 1];
    job->y = w->regionBox.data[4 * (region - 1) + 2];
    job->fail = 0;
    job->first = 0;
    job->count = 0;
}

// The points of a walked job from the farthest one, closed, in one piece at *x, *y.
int32_t markWideContour(MarkWideWork* w, const MarkWalkJob& job, double* enclosed,
                        const int32_t** x, const int32_t** y)
{
    MarkWalks& walks = w->walks;
    const int32_t far = markWalkPoints(&walks, job, 2, enclosed);
    // The points up to the farthest one once more after the others: no move of the rest.
    std::copy(walks.traceX, walks.traceX + far + 1, walks.traceX + job.count);
    std::copy(walks.traceY, walks.traceY + far + 1, walks.traceY + job.count);
    *x = walks.traceX + far;
    *y = walks.traceY + far;
    return job.count + 1;
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
    const int32_t regions = markWideRegions(w, k);
    if (regions < 0) return -1;
    w->regions = regions;

    // 2. Every square, its contour kept in the pool: first the walks, all together, then
    //    in region order the diagnostics, contours and square tests.
    MarkWalks& walks = w->walks;
    int32_t jobs = 0;
    for (int32_t r = 0; r < regions; r++) {
        const int32_t area = w->regionArea.data[r];
        const int32_t* box = w->regionBox.data + 4 * r;
        if (area < s.minArea || area > s.maxArea) continue;
        if (box[0] == 1 || box[1] == width - 2 || box[2] == 1 || box[3] == height - 2) continue;
        if (!walks.jobs.reserve(jobs + 1)) return -1;
        markWideStartJob(w, r + 1, &walks.jobs.data[jobs++]);
    }
    w->sized = jobs;
    if (markWalkContours(&walks, w->masks.data, width, jobs) < 0) return -1;
    int32_t n = 0;
    int64_t pooled = 0;
    for (int32_t i = 0; i < jobs; i++) {
        const MarkWalkJob& job = walks.jobs.data[i];
        if (job.fail != 0) {
            markWideDiagnose(w, markWalkMessage(job));
            continue;
        }
        const int32_t r = job.region - 1;
        const int32_t area = w->regionArea.data[r];
        double enclosed = 0.0;
        const int32_t* x = nullptr;
        const int32_t* y = nullptr;
        const int32_t points = markWideContour(w, job, &enclosed, &x, &y);
        w->regionEnclosed.data[r] = enclosed;
        int32_t testArea = area;
        // A full-bordered square's dark area is 3/4 of what its outline encloses.
        if (s.enclosedTolerance) testArea = static_cast<int32_t>(std::min(0.75 * enclosed, 2.0e9));
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

int markWideOutline(MarkWideWork* w, int width, int32_t region, const int32_t** x,
                    const int32_t** y, int32_t* points)
{
    MarkWalks& walks = w->walks;
    if (!walks.jobs.reserve(1)) return -1;
    MarkWalkJob& job = walks.jobs.data[0];
    markWideStartJob(w, region, &job);
    if (markWalkContours(&walks, w->masks.data, width, 1) < 0) return -1;
    if (job.fail != 0) {
        markWideDiagnose(w, markWalkMessage(job));
        return -1;
    }
    double enclosed = 0.0;
    *points = markWideContour(w, job, &enclosed, x, y);
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
