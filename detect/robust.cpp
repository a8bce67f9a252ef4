// The real-world stages: the frame-sized square search (local threshold, enclosed-area
// tolerance, all squares compared before candidates are kept), then per candidate the
// fitted edges, optionally moved to the printed edge, and the picture sampled at the
// fitted corners. Identities come from the same matching as the fixed path.
#include "detect/internal.h"

#include <algorithm>

#include "camera/camera.h"
#include "pattern/pattern.h"

MarkWideSettings markRealWorldSettings(const MarkRealWorld& r, int width, int height, int threshold,
                                       int minArea, int maxArea, double factor, int capacity)
{
    MarkWideSettings s;
    s.threshold = threshold;
    s.localThreshold = r.localThreshold;
    s.localOffset = r.localOffset;
    s.localPercent = r.localPercent;
    if (r.localWindow > 0) {
        s.localWindow = r.localWindow | 1;
    } else {
        // About a sixteenth of the shorter side: wider than the border of the markers
        // that matter at that size, narrower than the shadows that cross them.
        s.localWindow = std::max(15, (std::min(width, height) / 16) | 1);
    }
    s.localWindow = std::min(s.localWindow, 1023);
    s.minArea = r.smallMarkers ? std::min(minArea, kMarkAreaMinSmall) : minArea;
    s.maxArea = maxArea;
    if (r.frameSized) {
        const int64_t scaled = int64_t{maxArea} * width * height / (640 * 480);
        s.maxArea =
            static_cast<int>(std::min<int64_t>(std::max<int64_t>(scaled, maxArea), INT32_MAX));
    }
    s.factor = factor;
    s.enclosedTolerance = r.enclosedTolerance;
    s.capacity = capacity;
    return s;
}

bool markRealWorldMarker(const uint8_t* frame, int width, int height, const double distortion[4],
                         const MarkRealWorld& r, const SquareCandidate& cand, DetectedMarker* m)
{
    m->area = cand.area;
    m->centroid[0] = cand.centroid[0];
    m->centroid[1] = cand.centroid[1];
    if (markFitEdges(cand.pointX, cand.pointY, cand.corners, m->edgeLines, m->cornerPoints) < 0)
        return false;
    // A refinement that fails keeps the fitted lines.
    if (r.edgeRefinement)
        markRefineEdges(frame, width, height, distortion, m->edgeLines, m->cornerPoints);
    uint8_t sample[kPatternValues];
    if (r.bilinearSampling)
        markSampleBilinear(frame, width, height, distortion, m->cornerPoints, sample);
    else
        patternSample(frame, cand.pointX, cand.pointY, cand.corners, sample);
    patternMatch(sample, &m->patternId, &m->direction, &m->confidence);
    return true;
}

MarkRealWorld markRobustPreset()
{
    MarkRealWorld r;
    r.frameSized = 1;
    r.localThreshold = 1;
    r.bilinearSampling = 1;
    r.edgeRefinement = 1;
    r.enclosedTolerance = 1;
    r.smallMarkers = 1;
    return r;
}
