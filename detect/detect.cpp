// Detection driver and marker history: the stages in order, then a short memory that
// keeps identities stable across frames and bridges brief drop-outs.
#include "detect/detect.h"

#include "camera/camera.h"
#include "detect/internal.h"

HistoryEntry markHistory[kMarkHistoryMax];
int32_t markHistoryCount = 0;

namespace {

// Below this correlation an identity is a guess and is dropped.
constexpr double kMarkConfidenceMin = 0.5;
// Entries reaching this age are forgotten: a marker is recalled for two frames.
constexpr int32_t kMarkHistoryAgeLimit = 4;
// Corner alignment errors at or above this (squared pixels, summed) mean no alignment.
constexpr double kMarkAlignBound = 100000000.0;

// Whether an older marker and a newer one are the same square: similar area and
// centroids closer than a fraction of the size. *q receives the normalised distance.
bool markSamePlace(const DetectedMarker& older, const DetectedMarker& newer, double* q)
{
    if (newer.area <= 0) return false;
    const double r = static_cast<double>(older.area) / newer.area;
    const double dx = newer.centroid[0] - older.centroid[0];
    const double dy = newer.centroid[1] - older.centroid[1];
    *q = (dx * dx + dy * dy) / newer.area;
    return 0.7 <= r && r <= 1.43 && *q < 0.5;
}

// The corner shift j that best aligns the remembered corners with the new ones gives
// the new marker's orientation relative to the remembered one.
int32_t markAlignDirection(const DetectedMarker& older, const DetectedMarker& newer)
{
    double bound = kMarkAlignBound;
    int32_t direction = -1;
    for (int j = 0; j < 4; j++) {
        double D = 0.0;
        for (int k = 0; k < 4; k++) {
            const double dx = older.cornerPoints[k][0] - newer.cornerPoints[(j + k) % 4][0];
            const double dy = older.cornerPoints[k][1] - newer.cornerPoints[(j + k) % 4][1];
            D += dx * dx + dy * dy;
        }
        if (D < bound) {
            bound = D;
            direction = (older.direction - j + 4) % 4;
        }
    }
    return direction;
}

// 5. A fresh marker seen less confidently than its remembered self takes over the
//    remembered identity.
void markCarryOver(DetectedMarker* fresh, int32_t n)
{
    for (int32_t h = 0; h < markHistoryCount; h++) {
        const DetectedMarker& old = markHistory[h].marker;
        int32_t best = -1;
        double bestQ = 0.0;
        for (int32_t i = 0; i < n; i++) {
            double q = 0.0;
            if (!markSamePlace(old, fresh[i], &q)) continue;
            if (best < 0 || q < bestQ) {
                best = i;
                bestQ = q;
            }
        }
        if (best < 0 || !(fresh[best].confidence < old.confidence)) continue;
        DetectedMarker& m = fresh[best];
        m.confidence = old.confidence;
        m.patternId = old.patternId;
        m.direction = markAlignDirection(old, m);
    }
}

// 7. Age every entry and forget the old ones, keeping the order.
void markAgeHistory()
{
    int32_t kept = 0;
    for (int32_t h = 0; h < markHistoryCount; h++) {
        markHistory[h].age++;
        if (markHistory[h].age >= kMarkHistoryAgeLimit) continue;
        if (kept != h) markHistory[kept] = markHistory[h];
        kept++;
    }
    markHistoryCount = kept;
}

// 8. One entry per pattern id, holding its latest recognised marker.
void markRemember(const DetectedMarker* fresh, int32_t n)
{
    for (int32_t i = 0; i < n; i++) {
        if (fresh[i].patternId < 0) continue;
        int32_t h = 0;
        while (h < markHistoryCount && markHistory[h].marker.patternId != fresh[i].patternId) h++;
        if (h == markHistoryCount) {
            if (markHistoryCount == kMarkHistoryMax) continue;  // unreachable, see kMarkHistoryMax
            markHistoryCount++;
        }
        markHistory[h].marker = fresh[i];
        markHistory[h].age = 1;
    }
}

// 9. Remembered markers not seen at their place are reported as they were.
int32_t markRecall(DetectedMarker* list, int32_t count)
{
    for (int32_t h = 0; h < markHistoryCount; h++) {
        const DetectedMarker& old = markHistory[h].marker;
        bool seen = false;
        for (int32_t i = 0; i < count && !seen; i++) {
            double q = 0.0;
            seen = markSamePlace(old, list[i], &q);
        }
        if (seen || count == kMarkOutputMax) continue;
        list[count++] = old;
    }
    return count;
}

// 2.-3. The fixed-capacity path: 16-bit labels (failing beyond kMarkLabelMax) and the
//       first kMarkCandidateMax squares in region order.
int markFixedSquares(const uint8_t* frame, int threshold, SquareCandidate** candidates,
                     int32_t* candidateCount)
{
    int32_t regionCount = 0;
    int32_t* regionArea = nullptr;
    double* regionCentroid = nullptr;
    int32_t* regionBox = nullptr;
    int32_t* labelTable = nullptr;
    const int16_t* labelImage = markLabel(frame, threshold, &regionCount, &regionArea,
                                          &regionCentroid, &regionBox, &labelTable);
    if (labelImage == nullptr) return -1;
    markFindSquares(labelImage, regionCount, labelTable, regionArea, regionCentroid, regionBox,
                    kMarkAreaMax, kMarkAreaMin, kMarkSquareFactor, candidates, candidateCount);
    return 0;
}

}  // namespace

int markDetect(const uint8_t* frame, int threshold, DetectedMarker** markerList,
               int32_t* markerCount)
{
    // 1. Nothing is reported unless the frame is processed.
    *markerCount = 0;

    // 2.-3. Labeling and square candidates. Frames beyond one megapixel take the
    //       frame-sized path, whose labels never run out. A failure leaves the history
    //       untouched.
    SquareCandidate* candidates = nullptr;
    int32_t candidateCount = 0;
    const int64_t pixels = static_cast<int64_t>(camImageWidth) * camImageHeight;
    if (pixels > kMarkFixedPixelMax) {
        if (frame == nullptr || pixels > kMarkPixelMax || camImageWidth > kMarkSideMax ||
            camImageHeight > kMarkSideMax)
            return -1;
        MarkWideWork* work = markWideDefaultWork();
        candidateCount =
            markWideFindSquares(work, frame, camImageWidth, camImageHeight,
                                markWideDefaults(camImageWidth, camImageHeight, threshold));
        if (candidateCount < 0) return -1;
        candidates = work->candidates;
    } else if (markFixedSquares(frame, threshold, &candidates, &candidateCount) < 0) {
        return -1;
    }

    // 4. Edge lines, corners and identities.
    DetectedMarker* list = nullptr;
    int32_t n = 0;
    markGetInfo(frame, candidates, candidateCount, &list, &n);

    // 5. Identity carry-over from the history.
    markCarryOver(list, n);

    // 6. Confidence floor.
    for (int32_t i = 0; i < n; i++) {
        if (list[i].confidence < kMarkConfidenceMin) list[i].patternId = -1;
    }

    // 7.-9. Ageing, remembering, recalling.
    markAgeHistory();
    markRemember(list, n);
    const int32_t count = markRecall(list, n);

    // 10. Hand out the list.
    *markerList = list;
    *markerCount = count;
    return 0;
}
