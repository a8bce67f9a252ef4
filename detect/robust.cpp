// Settings of the frame-sized search from a detector's options: the real-world options
// (local threshold, enclosed-area tolerance, capacities that follow the frame) mapped
// onto the search's parameters.
#include "detect/internal.h"

#include <algorithm>

MarkWideSettings markWideSettingsOf(const MarkOptions& o, int width, int height)
{
    MarkWideSettings s;
    s.threshold = o.threshold;
    s.localThreshold = o.localThreshold;
    s.localOffset = o.localOffset;
    s.localPercent = o.localPercent;
    s.localCells = o.localCells;
    s.localCeiling = o.localCeiling;
    // The local threshold's masks part dark areas into rings and lattices of short runs,
    // which one label per run labels faster. Nothing but the detector reads that path's
    // label image, and it reads it through the table, where any provisional labels serve.
    s.labelByRuns = o.localThreshold;
    s.narrowLabels = 1;  // 16-bit labels while they last: half the label image
    // About a sixteenth of the shorter side: wider than the borders of the markers that
    // matter at that frame size, narrower than the shadows that cross them (tunable).
    s.localWindow = o.localWindow > 0
                        ? o.localWindow
                        : std::min(1023, std::max(15, (std::min(width, height) / 16) | 1));
    s.minArea = o.minArea;
    s.maxArea = o.maxArea;
    const bool large = static_cast<int64_t>(width) * height > kMarkFixedPixelMax;
    if (o.frameSized || (large && o.maxArea == kMarkAreaMax)) {
        const int64_t scaled = int64_t{o.maxArea} * width * height / (640 * 480);
        s.maxArea =
            static_cast<int>(std::min<int64_t>(std::max<int64_t>(scaled, o.maxArea), INT32_MAX));
    }
    s.factor = o.squareFactor;
    s.enclosedTolerance = o.enclosedTolerance;
    s.capacity = o.candidateMax;
    return s;
}
