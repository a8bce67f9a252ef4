// Contour tracing and square detection: outer boundaries of plausible regions,
// quadrilateral test by recursive chord splitting, and removal of candidates that lie
// on a larger one.
#include "detect/detect.h"

#include <algorithm>
#include <new>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

#include "camera/camera.h"
#include "detect/internal.h"

namespace {

// The vertex list of one search holds at most this many entries.
constexpr int32_t kMarkVertexMax = 6;

// Label at (x, y), 0 outside the image (the border rule makes that unreachable for
// images from markLabel; the test keeps hand-made images from reading outside).
int32_t markLabelAt(const int16_t* labelImage, int width, int height, int x, int y)
{
    if (x < 0 || y < 0 || x >= width || y >= height) return 0;
    return labelImage[static_cast<int64_t>(y) * width + x];
}

}  // namespace

// Whether the outermost rows and columns of the label image are 0, as markLabel leaves
// them. Then no labelled pixel lies on the border and the tracer may look at all eight
// neighbours of any contour point without a bounds test.
bool markBorderIsClear(const int16_t* labelImage, int width, int height)
{
    const int w = width, h = height;
    if (w < 1 || h < 1) return false;
    const int16_t* last = labelImage + static_cast<int64_t>(h - 1) * w;
    for (int x = 0; x < w; x++) {
        if (labelImage[x] != 0 || last[x] != 0) return false;
    }
    for (int y = 0; y < h; y++) {
        if (labelImage[static_cast<int64_t>(y) * w] != 0 ||
            labelImage[static_cast<int64_t>(y) * w + w - 1] != 0)
            return false;
    }
    return true;
}

int markTrace(const MarkDetector* detector, const int16_t* labelImage, int width, int height,
              const int32_t* labelTable, int32_t region, const int32_t box[4],
              SquareCandidate* cand, bool checked)
{
    const int w = width;
    // 1. Start: the region's first pixel in its top row.
    const int xmin = std::max(box[0], 0), xmax = std::min(box[1], w - 1);
    const int ymin = box[2];
    int sx = -1;
    if (ymin >= 0 && ymin < height) {
        for (int x = xmin; x <= xmax; x++) {
            const int32_t L = labelImage[static_cast<int64_t>(ymin) * w + x];
            if (L > 0 && labelTable[L - 1] == region) {
                sx = x;
                break;
            }
        }
    }
    if (sx < 0) {
        markDiagnose(detector, "??? 1\n");
        return -1;
    }

    // 2. Follow the boundary clockwise: from the direction we came, turn back by three
    //    steps and sweep clockwise to the first labelled neighbour, until the start
    //    comes round again.
    int64_t offset[8];
    for (int d = 0; d < 8; d++) offset[d] = static_cast<int64_t>(kMarkStepY[d]) * w + kMarkStepX[d];
    int32_t* px = cand->pointX;
    int32_t* py = cand->pointY;
    px[0] = sx;
    py[0] = ymin;
    int32_t count = 1;
    int d = 5;
    // The position and its label's address stay in registers from step to step: read
    // back from the point arrays, each step would wait for the store of the one before.
    int lx = sx, ly = ymin;
    const int16_t* here = labelImage + static_cast<int64_t>(ly) * w + lx;
    for (;;) {
        d = (d + 5) & 7;
        int tries = 0;
        if (checked) {
            while (tries < 8 && markLabelAt(labelImage, w, height, lx + kMarkStepX[d],
                                            ly + kMarkStepY[d]) <= 0) {
                d = (d + 1) & 7;
                tries++;
            }
        } else {
            while (tries < 8 && here[offset[d]] <= 0) {
                d = (d + 1) & 7;
                tries++;
            }
        }
        if (tries == 8) {
            markDiagnose(detector, "??? 2\n");
            return -1;
        }
        lx += kMarkStepX[d];
        ly += kMarkStepY[d];
        here += offset[d];
        px[count] = lx;
        py[count] = ly;
        if (lx == sx && ly == ymin) break;
        count++;
        if (count == kMarkTraceFail) {
            markDiagnose(detector, "??? 3\n");
            return -1;
        }
    }

    // 3. Rotate so that the point farthest from the start, certainly a corner of a
    //    square, becomes point 0; then close the contour with a copy of it.
    cand->pointCount = count;
    int32_t dmax = 0;
    int32_t far = markFarthestFrom(px, py, 1, count, sx, ymin, 2, &dmax);
    if (far < 0) far = 1;
    std::rotate(px, px + far, px + count);
    std::rotate(py, py + far, py + count);
    px[count] = px[0];
    py[count] = py[0];
    cand->pointCount = count + 1;
    return 0;
}

namespace {

// Copies a candidate's filled part (its contour points, not the whole arrays).
void markCopyCandidate(SquareCandidate* dest, const SquareCandidate* source)
{
    dest->area = source->area;
    dest->centroid[0] = source->centroid[0];
    dest->centroid[1] = source->centroid[1];
    dest->pointCount = source->pointCount;
    std::copy(source->pointX, source->pointX + source->pointCount, dest->pointX);
    std::copy(source->pointY, source->pointY + source->pointCount, dest->pointY);
    std::copy(source->corners, source->corners + 5, dest->corners);
}

#if defined(__GNUC__) && defined(__x86_64__)
#define MARK_CHORD_AVX2 1
// markFarthestFrom over points s ... s + 8 m - 1, eight at a time: each lane keeps its
// largest squared distance and the first index that reached it; the lanes are merged
// to the largest value's first index, as the one-at-a-time scan finds it.
__attribute__((target("avx2"))) int32_t markFarthestAvx2(const int32_t* x, const int32_t* y,
                                                         int32_t s, int32_t m, int32_t cx,
                                                         int32_t cy, int32_t* dmax)
{
    const __m256i vx = _mm256_set1_epi32(cx), vy = _mm256_set1_epi32(cy);
    __m256i best = _mm256_setzero_si256(), index = _mm256_set1_epi32(-1);
    __m256i at = _mm256_add_epi32(_mm256_set1_epi32(s), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    const __m256i eight = _mm256_set1_epi32(8);
    for (int32_t k = 0; k < m; k++) {
        const int32_t i = s + 8 * k;
        const __m256i dx =
            _mm256_sub_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + i)), vx);
        const __m256i dy =
            _mm256_sub_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + i)), vy);
        const __m256i d = _mm256_add_epi32(_mm256_mullo_epi32(dx, dx), _mm256_mullo_epi32(dy, dy));
        const __m256i more = _mm256_cmpgt_epi32(d, best);
        best = _mm256_blendv_epi8(best, d, more);
        index = _mm256_blendv_epi8(index, at, more);
        at = _mm256_add_epi32(at, eight);
    }
    alignas(32) int32_t bests[8], indices[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(bests), best);
    _mm256_store_si256(reinterpret_cast<__m256i*>(indices), index);
    int32_t q = 0, v = -1;
    for (int lane = 0; lane < 8; lane++) {
        if (bests[lane] > q || (bests[lane] == q && indices[lane] >= 0 && indices[lane] < v)) {
            q = bests[lane];
            v = indices[lane];
        }
    }
    *dmax = q;
    return v;
}

// markChordFarthest over points s + 1 ... s + 8 m, eight at a time: each lane keeps its
// largest value and the first index that reached it; the lanes are then merged to the
// largest value's first index, as the one-at-a-time scan finds it.
__attribute__((target("avx2"))) int32_t markChordFarthestAvx2(const int32_t* x, const int32_t* y,
                                                              int32_t s, int32_t m, int32_t a,
                                                              int32_t b, int32_t c, double* qmax)
{
    const __m256i va = _mm256_set1_epi32(a), vb = _mm256_set1_epi32(b), vc = _mm256_set1_epi32(c);
    __m256d bestLo = _mm256_setzero_pd(), bestHi = _mm256_setzero_pd();
    __m256d indexLo = _mm256_set1_pd(-1.0), indexHi = _mm256_set1_pd(-1.0);
    __m256d atLo = _mm256_setr_pd(s + 1, s + 2, s + 3, s + 4);
    __m256d atHi = _mm256_setr_pd(s + 5, s + 6, s + 7, s + 8);
    const __m256d eight = _mm256_set1_pd(8.0);
    for (int32_t k = 0; k < m; k++) {
        const int32_t i = s + 1 + 8 * k;
        const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + i));
        const __m256i py = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + i));
        const __m256i d = _mm256_add_epi32(
            _mm256_add_epi32(_mm256_mullo_epi32(va, px), _mm256_mullo_epi32(vb, py)), vc);
        const __m256d dLo = _mm256_cvtepi32_pd(_mm256_castsi256_si128(d));
        const __m256d dHi = _mm256_cvtepi32_pd(_mm256_extracti128_si256(d, 1));
        const __m256d qLo = _mm256_mul_pd(dLo, dLo), qHi = _mm256_mul_pd(dHi, dHi);
        const __m256d moreLo = _mm256_cmp_pd(qLo, bestLo, _CMP_GT_OQ);
        const __m256d moreHi = _mm256_cmp_pd(qHi, bestHi, _CMP_GT_OQ);
        bestLo = _mm256_blendv_pd(bestLo, qLo, moreLo);
        bestHi = _mm256_blendv_pd(bestHi, qHi, moreHi);
        indexLo = _mm256_blendv_pd(indexLo, atLo, moreLo);
        indexHi = _mm256_blendv_pd(indexHi, atHi, moreHi);
        atLo = _mm256_add_pd(atLo, eight);
        atHi = _mm256_add_pd(atHi, eight);
    }
    alignas(32) double best[8], index[8];
    _mm256_store_pd(best, bestLo);
    _mm256_store_pd(best + 4, bestHi);
    _mm256_store_pd(index, indexLo);
    _mm256_store_pd(index + 4, indexHi);
    double q = 0.0;
    int32_t v = -1;
    for (int lane = 0; lane < 8; lane++) {
        const int32_t i = static_cast<int32_t>(index[lane]);
        if (best[lane] > q || (best[lane] == q && i >= 0 && i < v)) {
            q = best[lane];
            v = i;
        }
    }
    *qmax = q;
    return v;
}
#endif

// Vertex search with `pending` vertices waiting, in enclosing calls, to be appended:
// once they cannot all fit within `most` (at most kMarkVertexMax), the search is bound
// to fail, so it stops early instead of recursing on (deep recursion is possible only
// on contours that fail anyway). A caller that can use at most `most` vertices learns
// the same from -1 as from a longer list, sooner.
int markGetVertexPending(const int32_t* x, const int32_t* y, int32_t s, int32_t e, double threshold,
                         int32_t vertex[kMarkVertexMax], int32_t* vertexCount, int32_t pending,
                         int32_t most)
{
    const int32_t a = y[e] - y[s];
    const int32_t b = x[s] - x[e];
    const int32_t c = x[e] * y[s] - x[s] * y[e];
    if (a == 0 && b == 0) return 0;
    double qmax = 0.0;
    const int32_t v = markChordFarthest(x, y, s, e, a, b, c, 2, &qmax);
    if (v < 0 || !(qmax / (a * a + b * b) > threshold)) return 0;
    if (*vertexCount + pending + 1 > most) return -1;
    if (markGetVertexPending(x, y, s, v, threshold, vertex, vertexCount, pending + 1, most) < 0)
        return -1;
    if (*vertexCount > most - 1) return -1;
    vertex[(*vertexCount)++] = v;
    return markGetVertexPending(x, y, v, e, threshold, vertex, vertexCount, pending, most);
}

// Both halves of a split edge must hold exactly one vertex each.
int markSplitOne(const int32_t* x, const int32_t* y, int32_t s, int32_t m, int32_t e,
                 double threshold, int32_t* first, int32_t* second)
{
    int32_t p[kMarkVertexMax], q[kMarkVertexMax];
    int32_t cp = 0, cq = 0;
    if (markGetVertexPending(x, y, s, m, threshold, p, &cp, 0, 1) < 0) return -1;
    if (markGetVertexPending(x, y, m, e, threshold, q, &cq, 0, 1) < 0) return -1;
    if (cp != 1 || cq != 1) return -1;
    *first = p[0];
    *second = q[0];
    return 0;
}

// Overlap removal: a candidate whose centroid lies within a quarter of the larger
// area (squared distance) of another is the inner pattern blob or a duplicate.
int32_t markRemoveOverlaps(SquareCandidate* list, int32_t n)
{
    markClearOverlaps(list, n);
    int32_t kept = 0;
    for (int32_t i = 0; i < n; i++) {
        if (list[i].area == 0) continue;
        if (kept != i) markCopyCandidate(&list[kept], &list[i]);
        kept++;
    }
    return kept;
}

}  // namespace

int32_t markChordFarthest(const int32_t* x, const int32_t* y, int32_t s, int32_t e, int32_t a,
                          int32_t b, int32_t c, int level, double* qmax)
{
    double best = 0.0;
    int32_t v = -1;
    int32_t i = s + 1;
#ifdef MARK_CHORD_AVX2
    // Short chords are left to the plain loop: the merge of the lanes costs more.
    const int32_t groups = (e - s - 1) / 8;
    if (level >= 2 && groups >= 2 && markHaveAvx2()) {
        v = markChordFarthestAvx2(x, y, s, groups, a, b, c, &best);
        i += 8 * groups;
    }
#else
    (void)level;
#endif
    for (; i < e; i++) {
        const double d = static_cast<double>(a * x[i] + b * y[i] + c);
        const double q = d * d;
        if (q > best) {
            best = q;
            v = i;
        }
    }
    *qmax = best;
    return v;
}

int32_t markFarthestFrom(const int32_t* x, const int32_t* y, int32_t s, int32_t e, int32_t cx,
                         int32_t cy, int level, int32_t* dmax)
{
    int32_t best = 0, v = -1, i = s;
#ifdef MARK_CHORD_AVX2
    const int32_t groups = (e - s) / 8;
    if (level >= 2 && groups >= 2 && markHaveAvx2()) {
        v = markFarthestAvx2(x, y, s, groups, cx, cy, &best);
        i += 8 * groups;
    }
#else
    (void)level;
#endif
    for (; i < e; i++) {
        const int32_t dx = x[i] - cx, dy = y[i] - cy;
        const int32_t dd = dx * dx + dy * dy;
        if (dd > best) {
            best = dd;
            v = i;
        }
    }
    *dmax = best;
    return v;
}

int markGetVertex(const int32_t* pointX, const int32_t* pointY, int32_t s, int32_t e,
                  double threshold, int32_t vertex[6], int32_t* vertexCount)
{
    return markGetVertexPending(pointX, pointY, s, e, threshold, vertex, vertexCount, 0,
                                kMarkVertexMax);
}

int markTraceContour(const int16_t* labelImage, const int32_t* labelTable, int32_t region,
                     const int32_t box[4], SquareCandidate* cand)
{
    const MarkDetector* d = markDefaultSynced();
    const int w = d->camera.width, h = d->camera.height;
    return markTrace(d, labelImage, w, h, labelTable, region, box, cand,
                     !markBorderIsClear(labelImage, w, h));
}

int markCheckSquare(int32_t area, SquareCandidate* cand, double factor)
{
    if (cand->pointCount < 2 || cand->pointCount > kMarkContourMax) return -1;
    return markCheckSquarePoints(area, cand->pointX, cand->pointY, cand->pointCount, factor,
                                 cand->corners);
}

int markCheckSquarePoints(int32_t area, const int32_t* x, const int32_t* y, int32_t pointCount,
                          double factor, int32_t corners[5])
{
    const int32_t last = pointCount - 1;
    // 1. The point farthest from corner 0 is the opposite corner.
    int32_t dmax = 0;
    const int32_t F = std::max(markFarthestFrom(x, y, 1, last, x[0], y[0], 2, &dmax), 0);
    // 2. Squared distance from a chord that makes a point a corner: 1 % of the side
    //    length squared of a square of this area (tunable through factor).
    const double threshold = area * 1.3333333333333333 * factor * 0.01;

    // 3. One corner on each side of the diagonal, or two on one side. Whether the second
    //    side holds any (one chord search) bounds the first: at most one if it does (the
    //    search stops at a second, often the first of many on an outline that is no
    //    square), any number if it does not.
    int32_t p[kMarkVertexMax], q[kMarkVertexMax];
    int32_t c1 = 0, c2 = 0;
    const bool second = markGetVertexPending(x, y, F, last, threshold, q, &c2, 0, 0) < 0;
    if (markGetVertexPending(x, y, 0, F, threshold, p, &c1, 0, second ? 1 : kMarkVertexMax) < 0)
        return -1;
    // The second side may then hold one vertex when the first has one, more when it has
    // none.
    c2 = 0;
    if (second &&
        markGetVertexPending(x, y, F, last, threshold, q, &c2, 0, c1 == 1 ? 1 : kMarkVertexMax) < 0)
        return -1;

    // 4. Decide.
    if (c1 == 1 && c2 == 1) {
        corners[0] = 0;
        corners[1] = p[0];
        corners[2] = F;
        corners[3] = q[0];
    } else if (c1 > 1 && c2 == 0) {
        int32_t a = 0, b = 0;
        if (markSplitOne(x, y, 0, F / 2, F, threshold, &a, &b) < 0) return -1;
        corners[0] = 0;
        corners[1] = a;
        corners[2] = b;
        corners[3] = F;
    } else if (c1 == 0 && c2 > 1) {
        int32_t a = 0, b = 0;
        if (markSplitOne(x, y, F, (F + last) / 2, last, threshold, &a, &b) < 0) return -1;
        corners[0] = 0;
        corners[1] = F;
        corners[2] = a;
        corners[3] = b;
    } else {
        return -1;
    }
    // 5. The closing copy of corner 0.
    corners[4] = last;
    return 0;
}

int markFindSquares(const int16_t* labelImage, int32_t regionCount, const int32_t* labelTable,
                    const int32_t* regionArea, const double* regionCentroid,
                    const int32_t* regionBox, int maxArea, int minArea, double factor,
                    SquareCandidate** candidateList, int32_t* candidateCount)
{
    return markDetectorFindSquares(markDefaultSynced(), labelImage, regionCount, labelTable,
                                   regionArea, regionCentroid, regionBox, maxArea, minArea, factor,
                                   candidateList, candidateCount);
}

namespace {

// The contours markFindSquaresIn will trace, walked all at once on the row masks of the
// detector's labeling: the regions passing the size and edge tests, in order, each from
// its first pixel. Returns the job count, or -1 when the walks' memory is not there.
int32_t markWalkRegions(const MarkLabelWork* label, MarkWalks* walks, const uint64_t* masks,
                        int32_t width, int32_t height, int32_t regions, const int32_t* regionArea,
                        const int32_t* regionBox, int maxArea, int minArea)
{
    int32_t jobs = 0;
    for (int32_t r = 0; r < regions; r++) {
        const int32_t* box = regionBox + 4 * r;
        if (regionArea[r] < minArea || regionArea[r] > maxArea) continue;
        if (box[0] == 1 || box[1] == width - 2 || box[2] == 1 || box[3] == height - 2) continue;
        if (!walks->jobs.reserve(jobs + 1)) return -1;
        MarkWalkJob& job = walks->jobs.data[jobs++];
        job.region = r + 1;
        job.x = label->firstX[r];
        job.y = box[2];
        job.fail = 0;
    }
    return markWalkContours(walks, masks, width, jobs) < 0 ? -1 : jobs;
}

// The contour of a walked job into cand, from its farthest point, closed; or -1 after
// the walk's diagnostic.
int markTakeWalk(const MarkDetector* detector, MarkWalks* walks, const MarkWalkJob& job,
                 SquareCandidate* cand)
{
    if (job.fail != 0) {
        markDiagnose(detector, markWalkMessage(job));
        return -1;
    }
    double enclosed = 0.0;
    const int32_t far = markWalkPoints(walks, job, 2, &enclosed);
    const int32_t count = job.count, tail = count - far;
    std::copy(walks->traceX + far, walks->traceX + count, cand->pointX);
    std::copy(walks->traceY + far, walks->traceY + count, cand->pointY);
    std::copy(walks->traceX, walks->traceX + far + 1, cand->pointX + tail);
    std::copy(walks->traceY, walks->traceY + far + 1, cand->pointY + tail);
    cand->pointCount = count + 1;
    return 0;
}

}  // namespace

int markFindSquaresIn(MarkDetector* detector, const int16_t* labelImage, const uint64_t* masks,
                      int32_t regionCount, const int32_t* labelTable, const int32_t* regionArea,
                      const double* regionCentroid, const int32_t* regionBox, int maxArea,
                      int minArea, double factor, SquareCandidate** candidateList,
                      int32_t* candidateCount)
{
    const int32_t width = detector->camera.width, height = detector->camera.height;
    const int32_t capacity = detector->options.candidateMax;
    SquareCandidate* candidates = detector->candidates;
    const int32_t regions = std::min(regionCount, static_cast<int32_t>(kMarkRegionMax));
    const bool checked = regions > 0 && !markBorderIsClear(labelImage, width, height);
    MarkStats& stats = detector->stats;
    // Contours walked together beforehand when the masks are there (and room for the
    // walks); else each traced on the label image in turn.
    MarkWalks* walks = nullptr;
    if (masks != nullptr && !checked) {
        MarkLabelWork* w = detector->label;
        if (w->walks == nullptr) w->walks = new (std::nothrow) MarkWalks;
        walks = w->walks;
        if (walks != nullptr && markWalkRegions(w, walks, masks, width, height, regions, regionArea,
                                                regionBox, maxArea, minArea) < 0)
            walks = nullptr;
    }
    int32_t n = 0, sized = 0, r = 0, walked = 0;
    for (; r < regions && n < capacity; r++) {
        const int32_t area = regionArea[r];
        const int32_t* box = regionBox + 4 * r;
        // 1. Too small to hold a readable picture, or too large to be a marker.
        if (area < minArea || area > maxArea) continue;
        sized++;
        // 2. A region reaching the frame edge may be cut off: its shape is unknown.
        if (box[0] == 1 || box[1] == width - 2 || box[2] == 1 || box[3] == height - 2) continue;
        // 3. Outer contour.
        SquareCandidate* cand = &candidates[n];
        if (walks != nullptr) {
            if (markTakeWalk(detector, walks, walks->jobs.data[walked++], cand) < 0) continue;
        } else if (markTrace(detector, labelImage, width, height, labelTable, r + 1, box, cand,
                             checked) < 0) {
            continue;
        }
        // 4. The quadrilateral test.
        if (markCheckSquare(area, cand, factor) < 0) continue;
        // 5. Keep it.
        cand->area = area;
        cand->centroid[0] = regionCentroid[2 * r];
        cand->centroid[1] = regionCentroid[2 * r + 1];
        n++;
    }
    stats.candidatesFull = r < regions ? 1 : 0;
    for (; r < regions; r++) {
        if (regionArea[r] >= minArea && regionArea[r] <= maxArea) sized++;
    }
    // 6. Candidates lying on a larger one.
    *candidateCount = markRemoveOverlaps(candidates, n);
    *candidateList = candidates;
    stats.sizedRegions = sized;
    stats.squares = n;
    stats.candidates = *candidateCount;
    return 0;
}

int markDetectorFindSquares(MarkDetector* detector, const int16_t* labelImage, int32_t regionCount,
                            const int32_t* labelTable, const int32_t* regionArea,
                            const double* regionCentroid, const int32_t* regionBox, int maxArea,
                            int minArea, double factor, SquareCandidate** candidateList,
                            int32_t* candidateCount)
{
    return markFindSquaresIn(detector, labelImage, nullptr, regionCount, labelTable, regionArea,
                             regionCentroid, regionBox, maxArea, minArea, factor, candidateList,
                             candidateCount);
}
