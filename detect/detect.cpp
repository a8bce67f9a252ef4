// Detection driver and marker history: the stages in order, then a short memory that
// keeps identities stable across frames and bridges brief drop-outs. Also the detector
// object's life cycle and the default detector behind markDetect.
#include "detect/detect.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "detect/internal.h"
#include "pattern/pattern.h"

namespace {

constexpr MarkOptions kMarkDefaultOptions = {
    100,                // threshold
    kMarkAreaMin,       // minArea
    kMarkAreaMax,       // maxArea
    kMarkSquareFactor,  // squareFactor
    kMarkCandidateMax,  // candidateMax
    0.5,                // confidenceMin: below this an identity is a guess
    4,                  // historyAgeLimit: a marker is recalled for two frames
    0,                  // timeStages
    0,                  // frameSized
    0,                  // localThreshold
    0,                  // localWindow: from the frame size
    2,                  // localOffset
    15,                 // localPercent
    0,                  // localCells
    0,                  // localCeiling
    0,                  // enclosedTolerance
    0,                  // edgeRefinement
    0,                  // bilinearSampling
    0,                  // softMatching
    0,                  // pixelMatching
    0,                  // secondLook
    0,                  // shadeMatching
    0,                  // shadeSearch
};
static_assert((kMarkDefaultOptions.historyAgeLimit - 1) * kMarkCandidateMax == kMarkHistoryMax,
              "the default history fills markHistory exactly");

// Corner alignment errors at or above this (squared pixels, summed) mean no alignment.
constexpr double kMarkAlignBound = 100000000.0;

// The default detector's storage: static, as the globals of the header expose it.
SquareCandidate markDefaultCandidates[kMarkCandidateMax];
DetectedMarker markDefaultMarkers[kMarkOutputMax];
MarkLabelWork markDefaultLabel;

}  // namespace

HistoryEntry markHistory[kMarkHistoryMax];

namespace {

MarkDetector markDefault = {
    kMarkDefaultOptions,
    CameraParam{},
    nullptr,  // patterns: patternDefaultSet(), set on first use
    markDiagnosticPrint,
    nullptr,
    MarkStats{},
    markHistory,
    0,
    kMarkHistoryMax,
    0,
    0,
    markDefaultCandidates,
    markDefaultMarkers,
    kMarkOutputMax,
    &markDefaultLabel,
    nullptr,
    nullptr,
    0,
};

}  // namespace

int32_t& markHistoryCount = markDefault.historyCount;

namespace {

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

// A fresh marker seen less confidently than its remembered self takes over the
// remembered identity.
void markCarryOver(const MarkDetector* d, DetectedMarker* fresh, int32_t n)
{
    for (int32_t h = 0; h < d->historyCount; h++) {
        const DetectedMarker& old = d->history[h].marker;
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

// Ages every entry and forgets the old ones, keeping the order.
void markAgeHistory(MarkDetector* d)
{
    const int32_t limit = d->options.historyAgeLimit;
    int32_t kept = 0;
    for (int32_t h = 0; h < d->historyCount; h++) {
        d->history[h].age++;
        if (d->history[h].age >= limit) continue;
        if (kept != h) d->history[kept] = d->history[h];
        kept++;
    }
    d->historyCount = kept;
}

// One entry per pattern id, holding its latest recognised marker.
void markRemember(MarkDetector* d, const DetectedMarker* fresh, int32_t n)
{
    for (int32_t i = 0; i < n; i++) {
        if (fresh[i].patternId < 0) continue;
        int32_t h = 0;
        while (h < d->historyCount && d->history[h].marker.patternId != fresh[i].patternId) h++;
        if (h == d->historyCount) {
            // Unreachable: after ageing at most (limit - 2) * candidateMax entries remain.
            if (d->historyCount == d->historyCapacity) continue;
            d->historyCount++;
        }
        d->history[h].marker = fresh[i];
        d->history[h].age = 1;
    }
}

// Remembered markers not seen at their place are reported as they were.
int32_t markRecall(const MarkDetector* d, DetectedMarker* list, int32_t count)
{
    for (int32_t h = 0; h < d->historyCount; h++) {
        const DetectedMarker& old = d->history[h].marker;
        bool seen = false;
        for (int32_t i = 0; i < count && !seen; i++) {
            double q = 0.0;
            seen = markSamePlace(old, list[i], &q);
        }
        if (seen || count == d->markerCapacity) continue;
        list[count++] = old;
    }
    return count;
}

// Seconds since `start`, when timing is on.
double markSeconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Labeling and square detection of one frame. Frames of at most kMarkFixedPixelMax
// pixels take the fixed-capacity stages (16-bit labels, the first candidateMax squares
// in region order); larger ones the frame-sized path, whose labels never run out.
// Returns 0, or -1 when labeling fails. Sets the statistics of both stages; the label
// stage's time covers both on the frame-sized path.
int markDetectorSquares(MarkDetector* d, const uint8_t* frame, SquareCandidate** candidates,
                        int32_t* candidateCount)
{
    const MarkOptions& o = d->options;
    MarkStats& stats = d->stats;
    const int width = d->camera.width, height = d->camera.height;
    const int64_t pixels = static_cast<int64_t>(width) * height;
    const bool timed = o.timeStages != 0;
    std::chrono::steady_clock::time_point start;
    if (timed) start = std::chrono::steady_clock::now();
    if (pixels > kMarkFixedPixelMax || o.frameSized || o.localThreshold || o.enclosedTolerance ||
        o.secondLook) {
        if (frame == nullptr || width < 1 || height < 1 || pixels > kMarkPixelMax ||
            width > kMarkSideMax || height > kMarkSideMax)
            return -1;
        MarkWideWork* work = markWideWorkOf(d);
        if (work == nullptr) return -1;
        const int32_t n =
            markWideFindSquares(work, frame, width, height, markWideSettingsOf(o, width, height));
        if (n < 0) return -1;
        for (int32_t i = 0; i < n; i++) markWideCandidate(work, i, &d->candidates[i]);
        stats.regions = work->regions;
        stats.sizedRegions = work->sized;
        stats.squares = work->squareCount;
        stats.candidatesFull = work->squareCount > n ? 1 : 0;
        stats.candidates = n;
        *candidates = d->candidates;
        *candidateCount = n;
        if (timed) stats.stageSeconds[kMarkStageLabel] = markSeconds(start);
        return 0;
    }
    int32_t regionCount = 0;
    int32_t* regionArea = nullptr;
    double* regionCentroid = nullptr;
    int32_t* regionBox = nullptr;
    int32_t* labelTable = nullptr;
    const int16_t* labelImage = markDetectorLabel(d, frame, o.threshold, &regionCount, &regionArea,
                                                  &regionCentroid, &regionBox, &labelTable);
    if (labelImage == nullptr) return -1;
    stats.regions = regionCount;
    if (timed) {
        stats.stageSeconds[kMarkStageLabel] = markSeconds(start);
        start = std::chrono::steady_clock::now();
    }
    const uint64_t* masks = d->label->masksKept ? d->label->rowMasks : nullptr;
    markFindSquaresIn(d, labelImage, masks, regionCount, labelTable, regionArea, regionCentroid,
                      regionBox, o.maxArea, o.minArea, o.squareFactor, candidates, candidateCount);
    if (timed) stats.stageSeconds[kMarkStageSquares] = markSeconds(start);
    return 0;
}

// Storage of a detector for `options`: all three blocks or none.
struct MarkStorage {
    SquareCandidate* candidates;
    DetectedMarker* markers;
    HistoryEntry* history;
    int32_t markerCapacity;
    int32_t historyCapacity;
};

int markAllocStorage(const MarkOptions& options, MarkStorage* s)
{
    s->historyCapacity = (options.historyAgeLimit - 1) * options.candidateMax;
    s->markerCapacity = options.candidateMax + s->historyCapacity;
    s->candidates = static_cast<SquareCandidate*>(
        std::malloc(sizeof(SquareCandidate) * static_cast<size_t>(options.candidateMax)));
    s->markers = static_cast<DetectedMarker*>(
        std::malloc(sizeof(DetectedMarker) * static_cast<size_t>(s->markerCapacity)));
    // One spare entry keeps the block non-empty when the capacity is 0.
    s->history = static_cast<HistoryEntry*>(
        std::malloc(sizeof(HistoryEntry) * static_cast<size_t>(s->historyCapacity + 1)));
    if (s->candidates != nullptr && s->markers != nullptr && s->history != nullptr) return 0;
    std::free(s->candidates);
    std::free(s->markers);
    std::free(s->history);
    return -1;
}

void markFreeStorage(MarkDetector* d)
{
    std::free(d->candidates);
    std::free(d->markers);
    std::free(d->history);
}

}  // namespace

// ---- Detector object ----------------------------------------------------------------

MarkOptions markDefaultOptions()
{
    return kMarkDefaultOptions;
}

MarkOptions markRobustOptions()
{
    MarkOptions o = kMarkDefaultOptions;
    o.minArea = kMarkAreaMinSmall;
    o.candidateMax = 128;
    o.frameSized = 1;
    o.localThreshold = 1;
    o.localCeiling = 100;
    o.enclosedTolerance = 1;
    o.edgeRefinement = 1;
    o.bilinearSampling = 1;
    o.softMatching = 1;
    o.pixelMatching = 1;
    o.secondLook = 1;
    o.shadeMatching = 1;
    o.shadeSearch = 1;
    return o;
}

int markOptionsCheck(const MarkOptions* o)
{
    for (int32_t flag : {o->frameSized, o->localThreshold, o->localCells, o->enclosedTolerance,
                         o->edgeRefinement, o->bilinearSampling, o->softMatching, o->pixelMatching,
                         o->secondLook, o->shadeMatching, o->shadeSearch})
        if (flag != 0 && flag != 1) return -1;
    if (o->localWindow != 0 &&
        (o->localWindow < 3 || o->localWindow > 1023 || o->localWindow % 2 == 0))
        return -1;
    if (o->localOffset < 0 || o->localOffset > 255 || o->localPercent < 0 || o->localPercent > 99)
        return -1;
    if (o->localCeiling < 0 || o->localCeiling > 255) return -1;
    if (o->candidateMax < 1 || o->candidateMax > kMarkCandidateCap) return -1;
    if (o->historyAgeLimit < 1 || o->historyAgeLimit > kMarkAgeLimitCap) return -1;
    if (o->timeStages != 0 && o->timeStages != 1) return -1;
    if (!(o->squareFactor >= 0.0) || std::isnan(o->confidenceMin)) return -1;
    return 0;
}

MarkDetector* markDetectorCreate(const MarkOptions* options, const PatternSet* patterns)
{
    const MarkOptions o = options != nullptr ? *options : kMarkDefaultOptions;
    if (markOptionsCheck(&o) < 0) return nullptr;
    MarkDetector* d = static_cast<MarkDetector*>(std::calloc(1, sizeof(MarkDetector)));
    if (d == nullptr) return nullptr;
    d->label = static_cast<MarkLabelWork*>(std::calloc(1, sizeof(MarkLabelWork)));
    MarkStorage s;
    if (d->label == nullptr || markAllocStorage(o, &s) < 0) {
        std::free(d->label);
        std::free(d);
        return nullptr;
    }
    d->options = o;
    d->patterns = patterns;
    d->history = s.history;
    d->historyCapacity = s.historyCapacity;
    d->candidates = s.candidates;
    d->markers = s.markers;
    d->markerCapacity = s.markerCapacity;
    d->owned = 1;
    return d;
}

void markDetectorRelease(MarkDetector* detector)
{
    if (detector == nullptr || detector->owned == 0) return;
    markLabelRelease(detector->label);
    std::free(detector->label);
    markWideRelease(detector->wide);
    markSecondRelease(detector->second);
    markFreeStorage(detector);
    std::free(detector);
}

MarkDetector* markDetectorDefault()
{
    if (markDefault.patterns == nullptr) markDefault.patterns = patternDefaultSet();
    return &markDefault;
}

MarkDetector* markDefaultSynced()
{
    MarkDetector* d = markDetectorDefault();
    d->camera = camCurrentParam;
    d->camera.width = camImageWidth;
    d->camera.height = camImageHeight;
    return d;
}

int markDetectorSetCamera(MarkDetector* detector, const CameraParam* camera)
{
    const int w = camera->width, h = camera->height;
    if (w < 1 || h < 1 || w > kMarkSideMax || h > kMarkSideMax) return -1;
    const int64_t pixels = static_cast<int64_t>(w) * h;
    if (pixels > kMarkPixelMax) return -1;
    if (markLabelReserve(detector->label, pixels) < 0) return -1;
    if (w != detector->historyWidth || h != detector->historyHeight) detector->historyCount = 0;
    detector->historyWidth = w;
    detector->historyHeight = h;
    detector->camera = *camera;
    return 0;
}

int markDetectorSetOptions(MarkDetector* detector, const MarkOptions* options)
{
    if (markOptionsCheck(options) < 0) return -1;
    const bool resize = options->candidateMax != detector->options.candidateMax ||
                        options->historyAgeLimit != detector->options.historyAgeLimit;
    if (resize) {
        if (detector->owned == 0) return -1;
        MarkStorage s;
        if (markAllocStorage(*options, &s) < 0) return -1;
        markFreeStorage(detector);
        detector->history = s.history;
        detector->historyCount = 0;
        detector->historyCapacity = s.historyCapacity;
        detector->candidates = s.candidates;
        detector->markers = s.markers;
        detector->markerCapacity = s.markerCapacity;
    }
    detector->options = *options;
    return 0;
}

void markDetectorSetPatterns(MarkDetector* detector, const PatternSet* patterns)
{
    detector->patterns = patterns;
}

void markDetectorSetDiagnostic(MarkDetector* detector, MarkDiagnosticFunc func, void* user)
{
    detector->diagnostic = func;
    detector->diagnosticUser = user;
}

void markDiagnosticPrint(void*, const char* message)
{
    std::fputs(message, stdout);
}

void markDiagnose(const MarkDetector* detector, const char* message)
{
    if (detector->diagnostic != nullptr) detector->diagnostic(detector->diagnosticUser, message);
}

void markDetectorResetHistory(MarkDetector* detector)
{
    detector->historyCount = 0;
}

// ---- Detection driver -------------------------------------------------------------------

int markDetect(const uint8_t* frame, int threshold, DetectedMarker** markerList,
               int32_t* markerCount)
{
    MarkDetector* d = markDefaultSynced();
    d->options.threshold = threshold;
    return markDetectorRun(d, frame, markerList, markerCount);
}

int markDetectorRun(MarkDetector* detector, const uint8_t* frame, DetectedMarker** markerList,
                    int32_t* markerCount)
{
    MarkDetector* d = detector;
    const MarkOptions& o = d->options;
    MarkStats& stats = d->stats;
    stats = MarkStats{};
    const bool timed = o.timeStages != 0;
    std::chrono::steady_clock::time_point start;

    // 1. Nothing is reported unless the frame is processed.
    *markerCount = 0;

    // 2. Labeling and square candidates; a failure leaves the history untouched.
    SquareCandidate* candidates = nullptr;
    int32_t candidateCount = 0;
    if (markDetectorSquares(d, frame, &candidates, &candidateCount) < 0) return -1;

    // 3. Remembered positions belong to frames of the size they were seen in.
    if (d->historyWidth != d->camera.width || d->historyHeight != d->camera.height) {
        d->historyCount = 0;
        d->historyWidth = d->camera.width;
        d->historyHeight = d->camera.height;
    }

    // 4. Edge lines, corners and identities.
    if (timed) start = std::chrono::steady_clock::now();
    DetectedMarker* list = nullptr;
    int32_t n = 0;
    markDetectorGetInfo(d, frame, candidates, candidateCount, &list, &n);
    if (o.secondLook) {
        n = markSecondLook(d, frame, list, n);
        stats.markers = n;
    }
    if (o.shadeSearch) {
        n = markShadeSearch(d, frame, list, n);
        stats.markers = n;
    }
    if (timed) stats.stageSeconds[kMarkStageInfo] = markSeconds(start);

    // 5. Identity carry-over from the history.
    if (timed) start = std::chrono::steady_clock::now();
    markCarryOver(d, list, n);

    // 6. Confidence floor.
    for (int32_t i = 0; i < n; i++) {
        if (list[i].confidence < o.confidenceMin) list[i].patternId = -1;
        if (list[i].patternId >= 0) stats.recognised++;
    }

    // 7. Ageing.
    markAgeHistory(d);

    // 8. Remembering.
    markRemember(d, list, n);

    // 9. Recalling.
    const int32_t count = markRecall(d, list, n);
    stats.recalled = count - n;
    if (timed) stats.stageSeconds[kMarkStageHistory] = markSeconds(start);

    // 10. Hand out the list.
    *markerList = list;
    *markerCount = count;
    return 0;
}
