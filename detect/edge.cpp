// Marker edge fitting: a straight line through each edge of the contour in ideal
// (distortion-free) coordinates, corners from neighbouring lines, and the marker's
// identity from its sampled inner picture.
#include "detect/detect.h"

#include <algorithm>
#include <cmath>

#include "camera/camera.h"
#include "detect/internal.h"
#include "numeric/numeric.h"
#include "pattern/pattern.h"

namespace {

// Fits one edge line (a, b, c) to contour points s ... e converted to ideal
// coordinates. Returns 0, or -1 when the points cannot be analysed.
int markFitLine(const double distortion[4], const int32_t* pointX, const int32_t* pointY, int32_t s,
                int32_t e, DMatrix* evec, DVector* ev, DVector* mean, double line[3])
{
    const int32_t m = e - s + 1;
    if (m < 2) return -1;
    DMatrix* input = matAlloc(m, 2);
    if (input == nullptr) return -1;
    camObservToIdealPoints(distortion, m, pointX + s, pointY + s, input->data);
    if (matPCA(input, evec, ev, mean) < 0) {
        matFree(input);
        return -1;
    }
    // The first principal axis is the edge direction; its normal is (a, b).
    line[0] = evec->data[1];
    line[1] = -evec->data[0];
    line[2] = -(line[0] * mean->data[0] + line[1] * mean->data[1]);
    matFree(input);
    return 0;
}

int markFitAllLines(const double distortion[4], const int32_t* pointX, const int32_t* pointY,
                    const int32_t corners[5], double edgeLines[4][3])
{
    DMatrix* evec = matAlloc(2, 2);
    DVector* ev = vecAlloc(2);
    DVector* mean = vecAlloc(2);
    int result = (evec != nullptr && ev != nullptr && mean != nullptr) ? 0 : -1;
    for (int i = 0; i < 4 && result == 0; i++) {
        // Leave out about 5 % of the edge plus half a point at each end: the corners
        // themselves are rounded by the pixel grid and blur.
        const int32_t n = corners[i + 1] - corners[i] + 1;
        const double w = n * 0.05 + 0.5;
        const int32_t s = static_cast<int32_t>(corners[i] + w);
        const int32_t e = static_cast<int32_t>(corners[i + 1] - w);
        result = markFitLine(distortion, pointX, pointY, s, e, evec, ev, mean, edgeLines[i]);
    }
    if (evec != nullptr) matFree(evec);
    if (ev != nullptr) vecFree(ev);
    if (mean != nullptr) vecFree(mean);
    return result;
}

// Soft matching helps markers whose inner picture spans fewer pixels than the pattern
// has cells; on larger ones it only lets unrelated squares correlate more, and below
// about 6 pixels of picture there is nothing left to recognise.
constexpr double kMarkSoftSideMin = 12.0;
constexpr double kMarkSoftSideMax = 40.0;
// Below this plain correlation a picture is too unlike the pattern to be rescued.
constexpr double kMarkSoftFloor = 0.4;

// Pixel matching: best plain matches from this correlation up are checked, and the
// check must reach kMarkPixelAccept. On the rendered sets the squares of clutter reach at
// most 0.68 and the small markers 0.7 to 0.97.
constexpr double kMarkPixelFloor = 0.15;
constexpr double kMarkPixelAccept = 0.75;

// Pixel matching starts at this side (pixels), below soft matching's: it needs only the
// 16 pixels of picture markPixelCorrelation asks for, where the 16 x 16 sample of a
// picture 5 px wide is all blur (one marker of the hard-light set, 11.8 px across,
// checks 0.81).
constexpr double kMarkPixelSideMin = 11.0;
// A check from kMarkPixelStandOut up to kMarkPixelAccept is taken when every other loaded
// pattern and turn checks at least kMarkPixelMargin lower: in deep shade noise holds the
// right pattern's check under 0.75 (two markers of the hard-light set at 0.71 to 0.75,
// the next pattern or turn 0.40 and 0.17), while an unclear picture resembles several
// (a square of the hard set: 0.72, another pattern 0.60). Without the margin, squares
// of the hard set get a wrong name from 0.65, with it from 0.6 (tunable).
constexpr double kMarkPixelStandOut = 0.7;
constexpr double kMarkPixelMargin = 0.25;

// A small marker's pixel check is taken again with the light evened out from this plain
// check up (markShadePixelCorrelation): the marker of the hard-light set named that way
// checks 0.41 plainly, and more than half of the small squares checked there lie below
// (tunable; it saves about 1 % of the preset's instructions on a blurred 1280 x 720
// frame).
constexpr double kMarkShadePixelFloor = 0.3;

// Shade matching: best matches from this correlation up are matched again with the
// light evened out (tunable). On the hard-light set the markers it names start at 0.18,
// but below 0.3 they are one in six while the squares of clutter matched again grow
// fourfold (on the 1280 x 720 benchmark frame from 1 to 15 per frame, about 16 us each);
// the pictures matched again that stay unnamed reach at most 0.39 with their pattern.
constexpr double kMarkShadeFloor = 0.3;

// Mean length of a quadrilateral's four sides, pixels.
double markMeanSide(const double corners[4][2])
{
    double sum = 0.0;
    for (int k = 0; k < 4; k++)
        sum += std::hypot(corners[(k + 1) % 4][0] - corners[k][0],
                          corners[(k + 1) % 4][1] - corners[k][1]);
    return sum / 4.0;
}

}  // namespace

int markFitEdges(const int32_t* pointX, const int32_t* pointY, const int32_t corners[5],
                 double edgeLines[4][3], double cornerPoints[4][2])
{
    return markFitEdgesWith(camCurrentParam.distortion, pointX, pointY, corners, edgeLines,
                            cornerPoints);
}

int markFitEdgesWith(const double distortion[4], const int32_t* pointX, const int32_t* pointY,
                     const int32_t corners[5], double edgeLines[4][3], double cornerPoints[4][2])
{
    if (markFitAllLines(distortion, pointX, pointY, corners, edgeLines) < 0) return -1;
    // Corner i is where edge i - 1 ends and edge i begins.
    for (int i = 0; i < 4; i++) {
        const int j = (i + 3) % 4;
        const double w = edgeLines[j][0] * edgeLines[i][1] - edgeLines[i][0] * edgeLines[j][1];
        if (w == 0.0) return -1;
        cornerPoints[i][0] =
            (edgeLines[j][1] * edgeLines[i][2] - edgeLines[i][1] * edgeLines[j][2]) * (1.0 / w);
        cornerPoints[i][1] =
            (edgeLines[i][0] * edgeLines[j][2] - edgeLines[j][0] * edgeLines[i][2]) * (1.0 / w);
    }
    return 0;
}

int markGetInfo(const uint8_t* frame, const SquareCandidate* candidates, int32_t candidateCount,
                DetectedMarker** markerList, int32_t* markerCount)
{
    return markDetectorGetInfo(markDefaultSynced(), frame, candidates, candidateCount, markerList,
                               markerCount);
}

namespace {

// The last pixel checks of a small marker still below the floor whose plain check gave
// `plain`: with shade matching, the check with a shadow's edge evened out (from a plain
// kMarkShadePixelFloor up), taken from kMarkPixelAccept; then a check from
// kMarkPixelStandOut up, taken when it stands out from every other pattern and turn.
void markPixelRescue(const MarkDetector* d, const uint8_t* frame, double plain, DetectedMarker* m)
{
    const CameraParam& camera = d->camera;
    const PatternSlot* slots = d->patterns->slots;
    // The light over the marker is read once for every pattern and turn checked.
    MarkShadeLight light;
    const bool even = d->options.shadeMatching && plain >= kMarkShadePixelFloor &&
                      markShadeLightOf(frame, camera.width, camera.height, camera.distortion,
                                       m->cornerPoints, &light);
    auto evened = [&](int32_t slot, int32_t turn, double plainCheck) {
        if (!even) return plainCheck;
        return std::max(plainCheck, markShadePixelCorrelation(frame, camera.width, camera.height,
                                                              camera.distortion, m->cornerPoints,
                                                              slots[slot], turn, light));
    };
    const double check = evened(m->patternId, m->direction, plain);
    if (check >= kMarkPixelAccept) {
        m->confidence = check;
        return;
    }
    if (check < kMarkPixelStandOut) return;
    for (int32_t slot = 0; slot < kPatternSlotMax; slot++) {
        if (!slots[slot].used) continue;
        for (int32_t turn = 0; turn < kPatternOrientations; turn++) {
            if (slot == m->patternId && turn == m->direction) continue;
            const double other =
                evened(slot, turn,
                       markPixelCorrelation(frame, camera.width, camera.height, camera.distortion,
                                            m->cornerPoints, slots[slot], turn));
            if (other > check - kMarkPixelMargin) return;
        }
    }
    m->confidence = check;
}

}  // namespace

int markCandidateInfo(const MarkDetector* detector, const uint8_t* frame,
                      const SquareCandidate& cand, DetectedMarker* marker)
{
    const CameraParam& camera = detector->camera;
    DetectedMarker& m = *marker;
    m.area = cand.area;
    m.centroid[0] = cand.centroid[0];
    m.centroid[1] = cand.centroid[1];
    if (markFitEdgesWith(camera.distortion, cand.pointX, cand.pointY, cand.corners, m.edgeLines,
                         m.cornerPoints) < 0)
        return -1;
    // A refinement that fails keeps the fitted lines.
    if (detector->options.edgeRefinement)
        markRefineEdges(frame, camera.width, camera.height, camera.distortion, m.edgeLines,
                        m.cornerPoints);
    // By default the sample uses the observed contour corners, not the fitted ones;
    // a failure leaves a uniform sample, which matching reports as confidence -1.
    uint8_t sample[kPatternValues];
    if (detector->options.bilinearSampling)
        markSampleBilinear(frame, camera.width, camera.height, camera.distortion, m.cornerPoints,
                           sample);
    else
        patternSampleImage(frame, camera.width, camera.height, cand.pointX, cand.pointY,
                           cand.corners, sample);
    patternSetMatch(detector->patterns, sample, &m.patternId, &m.direction, &m.confidence);
    // A small marker's picture below the floor gets a second look on smoothed grids;
    // it is taken only when that look names the same pattern the same way round.
    const bool nearFloor = detector->options.softMatching && m.patternId >= 0 &&
                           m.confidence >= kMarkSoftFloor &&
                           m.confidence < detector->options.confidenceMin;
    const double side = nearFloor ? markMeanSide(m.cornerPoints) : 0.0;
    if (nearFloor && side >= kMarkSoftSideMin && side < kMarkSoftSideMax) {
        int32_t id = -1, direction = -1;
        double confidence = 0.0;
        patternSetMatchSoft(detector->patterns, sample, &id, &direction, &confidence);
        if (id == m.patternId && direction == m.direction) m.confidence = confidence;
    }
    // A small marker still below the floor: its best pattern drawn into the pixels.
    const bool weak = detector->options.pixelMatching && m.patternId >= 0 &&
                      m.confidence >= kMarkPixelFloor &&
                      m.confidence < detector->options.confidenceMin;
    const double size = weak ? markMeanSide(m.cornerPoints) : 0.0;
    double plain = -1.0;
    if (weak && size >= kMarkPixelSideMin && size < kMarkSoftSideMax) {
        plain = markPixelCorrelation(frame, camera.width, camera.height, camera.distortion,
                                     m.cornerPoints, detector->patterns->slots[m.patternId],
                                     m.direction);
        if (plain >= kMarkPixelAccept) m.confidence = plain;
    }
    // Still below the floor: the picture with the light evened out across it, taken only
    // when it names the same pattern the same way round. The light is modelled on the
    // fitted corners, so the sample must be taken there too.
    if (detector->options.shadeMatching && m.patternId >= 0 && m.confidence >= kMarkShadeFloor &&
        m.confidence < detector->options.confidenceMin) {
        uint8_t bilinear[kPatternValues];
        const uint8_t* picture = sample;
        if (!detector->options.bilinearSampling) {
            markSampleBilinear(frame, camera.width, camera.height, camera.distortion,
                               m.cornerPoints, bilinear);
            picture = bilinear;
        }
        const double c = markShadeConfidence(frame, camera.width, camera.height, camera.distortion,
                                             m.cornerPoints, picture, detector->patterns,
                                             m.patternId, m.direction);
        if (c >= detector->options.confidenceMin) m.confidence = c;
    }
    if (plain > -1.0 && m.confidence < detector->options.confidenceMin)
        markPixelRescue(detector, frame, plain, &m);
    return 0;
}

int markDetectorGetInfo(MarkDetector* detector, const uint8_t* frame,
                        const SquareCandidate* candidates, int32_t candidateCount,
                        DetectedMarker** markerList, int32_t* markerCount)
{
    const int32_t capacity = detector->options.candidateMax;
    DetectedMarker* markers = detector->markers;
    int32_t n = 0;
    const int32_t count = candidateCount < capacity ? candidateCount : capacity;
    for (int32_t c = 0; c < count; c++)
        if (markCandidateInfo(detector, frame, candidates[c], &markers[n]) == 0) n++;
    *markerList = markers;
    *markerCount = n;
    detector->stats.markers = n;
    return 0;
}
