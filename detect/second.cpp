// The second look: small windows where the first pass may have missed a marker are
// thresholded again on their own. One threshold per frame position (global or local)
// fails where the ink and the paper of a marker lie a few grey levels apart under
// noise (deep shade: the border breaks into pieces), and a marker printed on a dark
// patch loses its ring to the patch's square, whose centroid it shares. A window's own
// darkest and lightest levels, after a 3 x 3 smoothing that closes the broken border,
// give a threshold that suits just that marker. A marker whose ring joined a shadow or
// a dark object beside it keeps its light inside: the blobs of its picture lie in a hole
// of that larger region, and a window round them, looked at under several thresholds,
// finds the ring on its own again. A ring joined to a shadow's dark band (the local
// threshold darkens shadowed paper beside lit paper) forms a region too large for any
// window, but within it the ink still lies far below the shadowed paper: split at the
// region's own Otsu level, the ring is on its own again. Where the shade is so deep that
// no region of the first pass asks for a window, the shade search (option shadeSearch)
// looks at every tile in shade the same way.
#include "detect/internal.h"
#include "detect/runs.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

struct MarkSecondWork {
    MarkWideWork wide;            // the square search inside one window
    MarkBuffer<uint8_t> frame;    // the window as a frame: stretched grey in each channel
    MarkBuffer<uint16_t> sums;    // 3 x 3 sums of blue + green + red over the window
    MarkBuffer<uint8_t> stretch;  // stretched level of each sum above the window's least
    MarkBuffer<int32_t> order;    // fresh markers by centroid x
    struct Window {
        int32_t area;    // of the region that asked for it
        int32_t box[4];  // xmin, xmax, ymin, ymax in the frame
        int32_t hole;    // 1: round a picture in the hole of a larger region
        int32_t index;   // place in the list as made (ties of area keep it)
    };
    MarkBuffer<Window> windows;
    MarkBuffer<int32_t> split;      // regions whose own pixels are split (largest first)
    MarkBuffer<int32_t> blocks;     // the shade search's running sums of block grey levels
    MarkBuffer<uint16_t> smoothed;  // and its 3 x 3 sums of blue + green + red, whole frame
    struct Tried {
        double centroid[2];
        int32_t area;
    };
    MarkBuffer<Tried> tried;  // squares the shade search could not name this frame
    int64_t triedCount = 0;
    SquareCandidate candidate;
};

namespace {

// At most this many windows per frame: the largest regions are looked at first.
constexpr int32_t kMarkSecondWindowMax = 48;
// Regions narrower than this (pixels, either side of the box) are print or specks: a
// marker that small has no picture left to recognise.
constexpr int kMarkSecondSideMin = 16;
// Windows whose smoothed levels span less than this (grey levels) hold no marker.
constexpr int kMarkSecondSpanMin = 4;
// A window round a picture in a hole is also split at these levels of its stretched
// grey (0 ... 255) besides Otsu's: shadowed paper lies between the ink and the lit paper,
// and only a level below it frees the ring.
constexpr int kMarkHoleLevels[] = {20, 35, 50, 70, 100};
// A square found there must also match its pattern drawn into its pixels this well
// (markPixelCorrelation): several thresholds give clutter more chances.
constexpr double kMarkHoleAccept = 0.7;
// A ring that failed the square test is given corners of its own when its box is
// kMarkRingSideMin to kMarkRingSideMax pixels across both ways (small markers, whose
// blurred corners round off; smaller ones show no picture to name) and no outline point
// lies further than kMarkRingReach of its side (plus half a pixel) from the
// quadrilateral's edges.
constexpr int kMarkRingSideMin = 12;
constexpr int kMarkRingSideMax = 32;
constexpr double kMarkRingReach = 0.1;
// Corners chosen this way give clutter a chance the chord test denies it: the picture
// drawn into the ring's pixels must match closely.
constexpr double kMarkRingAccept = 0.85;
// A region whose dark pixels fill more than this share of its outline has no light
// inside (a marker's ring fills about 0.75 of it).
constexpr double kMarkRingFill = 0.85;

// A region that failed the square test and is too large for a window (a ring joined to a
// shadow's dark band by the local threshold) is split at Otsu's threshold of its own grey
// levels when it is at least kMarkSplitSideMin px across; at most kMarkSplitMax regions
// per frame, the largest first (tunable: 12 already take every marker of the hard-light
// set this way).
constexpr int kMarkSplitSideMin = 16;
constexpr int32_t kMarkSplitMax = 16;
// Grey levels read per region for that threshold, on a grid over its box.
constexpr int64_t kMarkSplitSamples = 4096;
// The two classes must look like ink and shadowed paper: means at least kMarkSplitGap
// grey levels and a factor kMarkSplitRatio apart (print under one light), the darker
// class at least kMarkSplitInkMin (below lie black objects, not print) and the lighter at
// most kMarkSplitPaperMax (paper in a shadow: 24 to 58 in the bands of the hard-light
// set; dark objects with lighter parts on the busy desks and light frames reach 62 to
// 86), each class at least kMarkSplitShare of the pixels. Those limits (tunable) keep
// the split off frames without hard shadows, where it found nothing and cost time.
constexpr double kMarkSplitGap = 10.0;
constexpr double kMarkSplitRatio = 2.0;
constexpr double kMarkSplitInkMin = 8.0;
constexpr double kMarkSplitPaperMax = 60.0;
constexpr double kMarkSplitShare = 1.0 / 16;
// A square found there is kept when its match reaches this, or else when its pattern drawn
// into its pixels correlates at least kMarkHoleAccept: a shadow's edge across the picture
// lowers the latter (one marker of the hard set: 0.87 matched, 0.44 in its pixels), and
// plain matches of clutter stay far below it. Shade matching's evened pixel check now
// confirms that marker too, so no rendered set depends on this alone any more; it stays
// for squares whose ring shows no edge to even out (or with shade matching off).
constexpr double kMarkSplitAccept = 0.8;

// The shade search looks at tiles whose mean grey level (read on the middle pixel of each
// kMarkShadeBlock-pixel block) is at most kMarkShadeMeanMax: shade and the dark side of a
// shadow's edge, where one threshold per pixel leaves a marker's ring broken by noise or
// joined to shadowed paper. A tile spans two blocks per 120 px of the frame's shorter
// side (96 px at 720 lines: two to three of the markers that matter there with their
// paper) and tiles overlap by half, so any square up to half a tile lies wholly in one
// (overlapping by a third costs a third less, but loses half the markers of a third of a
// tile or more: 16 of 32 in the deep-shade row of tests/test_detect_second.cpp).
// It runs only when at least one tile in kMarkShadeShareMin lies in shade (hard-light
// frames: 8 to 87 %): a few dark objects (a keyboard, a phone: 2 to 15 % on the light
// and busy benchmark frames) leave the frame alone, which saves their time (tunable).
constexpr int kMarkShadeBlock = 8;
constexpr int kMarkShadeMeanMax = 50;
constexpr int kMarkShadeShareMin = 5;
// A square tried and not named is not tried again where its centroid lies within this
// distance (pixels) and its area within a tenth: overlapping tiles find it again.
constexpr double kMarkShadeSame = 2.0;
// The levels of 255 at which a tile is split after Otsu's (100, where shadowed paper
// joins the ink, named nothing more on the hard-light set).
constexpr int kMarkShadeLevels[] = {20, 35, 50, 70};

// The default detector's tables (its storage is static).
MarkSecondWork* markSecondDefaultWork()
{
    static MarkSecondWork work;
    return &work;
}

MarkSecondWork* markSecondWorkOf(MarkDetector* d)
{
    if (d->second == nullptr) {
        d->second = d->owned ? new (std::nothrow) MarkSecondWork : markSecondDefaultWork();
        if (d->second != nullptr) d->second->wide.detector = d;
    }
    return d->second;
}

bool markIdentified(const DetectedMarker& m, double floor)
{
    return m.patternId >= 0 && m.confidence >= floor;
}

// Otsu's threshold of a 256-bin histogram: the level t for which splitting into
// 0 ... t and t + 1 ... 255 gives the largest variance between the two classes.
int markOtsu(const int32_t histogram[256])
{
    int64_t total = 0, sum = 0;
    for (int v = 0; v < 256; v++) {
        total += histogram[v];
        sum += int64_t{v} * histogram[v];
    }
    int64_t count0 = 0, sum0 = 0;
    double best = -1.0;
    int threshold = 127;
    for (int t = 0; t < 255; t++) {
        count0 += histogram[t];
        sum0 += int64_t{t} * histogram[t];
        const int64_t count1 = total - count0;
        if (count0 == 0 || count1 == 0) continue;
        const double m0 = static_cast<double>(sum0) / count0;
        const double m1 = static_cast<double>(sum - sum0) / count1;
        const double between = static_cast<double>(count0) * count1 * (m1 - m0) * (m1 - m0);
        if (between > best) {
            best = between;
            threshold = t;
        }
    }
    return threshold;
}

// Renders window [x0, x1] x [y0, y1] of the frame into work->frame as stretched,
// smoothed grey and returns Otsu's threshold of it, or -1 when the window is flat.
int markSecondWindowFrame(MarkSecondWork* work, const uint8_t* frame, int width, int height, int x0,
                          int x1, int y0, int y1)
{
    const int bw = x1 - x0 + 1, bh = y1 - y0 + 1;
    const int64_t pixels = int64_t{bw} * bh;
    const int64_t rows = int64_t{bh} + 2;
    if (!work->frame.reserve(4 * pixels) || !work->sums.reserve(pixels + 2 * rows * bw)) return -1;
    uint16_t* sums = work->sums.data;
    // Rows y0 - 1 ... y1 + 1 summed over three columns (the frame's edge repeated), then
    // three of those rows.
    uint16_t* across = sums + pixels;
    for (int64_t y = 0; y < rows; y++) {
        const int yy = std::min(height - 1, std::max(0, y0 - 1 + static_cast<int>(y)));
        const uint8_t* row = frame + int64_t{yy} * width * 4;
        auto grey = [&](int x) {
            const uint8_t* p = row + 4 * std::min(width - 1, std::max(0, x));
            return p[0] + p[1] + p[2];
        };
        uint16_t* out = across + y * bw;
        int left = grey(x0 - 1), middle = grey(x0);
        for (int x = 0; x < bw; x++) {
            const int right = grey(x0 + x + 1);
            out[x] = static_cast<uint16_t>(left + middle + right);
            left = middle;
            middle = right;
        }
    }
    int lo = 65535, hi = 0;
    for (int64_t y = 0; y < bh; y++) {
        const uint16_t* a = across + y * bw;
        uint16_t* out = sums + y * bw;
        for (int x = 0; x < bw; x++) {
            const int s = a[x] + a[x + bw] + a[x + 2 * bw];
            out[x] = static_cast<uint16_t>(s);
            lo = std::min(lo, s);
            hi = std::max(hi, s);
        }
    }
    // Sums of 9 pixels of 3 channels: 27 per grey level.
    if (hi - lo < 27 * kMarkSecondSpanMin) return -1;
    int32_t histogram[256] = {};
    uint8_t* out = work->frame.data;
    for (int64_t i = 0; i < pixels; i++) {
        const int v = (sums[i] - lo) * 255 / (hi - lo);
        histogram[v]++;
        out[4 * i] = out[4 * i + 1] = out[4 * i + 2] = static_cast<uint8_t>(v);
        out[4 * i + 3] = 0;
    }
    return markOtsu(histogram);
}

// The fresh marker whose centroid is exactly (x, y), or -1; order sorts them by x.
int32_t markMarkerAt(const DetectedMarker* markers, const int32_t* order, int32_t count, double x,
                     double y)
{
    const int32_t* first = std::lower_bound(
        order, order + count, x, [&](int32_t i, double v) { return markers[i].centroid[0] < v; });
    for (const int32_t* p = first; p < order + count && markers[*p].centroid[0] == x; p++)
        if (markers[*p].centroid[1] == y) return *p;
    return -1;
}

// The fresh marker on whose place a square of `area` pixels centred at `centroid` lies
// (centroids closer than a quarter of the larger area, squared), or -1.
int32_t markPlaceOf(const DetectedMarker* markers, int32_t count, const double centroid[2],
                    int32_t area)
{
    for (int32_t j = 0; j < count; j++) {
        const double dx = markers[j].centroid[0] - centroid[0];
        const double dy = markers[j].centroid[1] - centroid[1];
        if (dx * dx + dy * dy < std::max(markers[j].area, area) / 4) return j;
    }
    return -1;
}

// Whether region r (0-based) of the first pass is a small blob lying in the hole of one
// larger region: looking left, right, up and down from its centroid, past its own pixels
// and then light ones, the same other region comes next, within three times the blob's
// size. Then *half is half the side of a window that holds the marker such a hole
// belongs to (its light inside is about half the marker's side).
bool markHoleAround(const MarkWideWork* first, int32_t r, int width, int height, int* half)
{
    const int32_t* box = first->regionBox.data + 4 * r;
    const int reach = 3 * std::max(box[1] - box[0] + 1, box[3] - box[2] + 1) + 4;
    const double* c = first->regionCentroid.data + 2 * r;
    const int cx = static_cast<int>(c[0] + 0.5), cy = static_cast<int>(c[1] + 0.5);
    constexpr int kStepX[4] = {-1, 1, 0, 0}, kStepY[4] = {0, 0, -1, 1};
    // Dark or light comes from the row masks the labeling kept (a pixel is labelled
    // exactly where its bit is set); only a dark pixel past light ones needs its label.
    const int words = markMaskWords(width);
    int32_t around = 0;
    int distance[4];
    for (int k = 0; k < 4; k++) {
        int x = cx, y = cy;
        bool light = false;
        for (distance[k] = 1;; distance[k]++) {
            x += kStepX[k];
            y += kStepY[k];
            if (x < 1 || y < 1 || x > width - 2 || y > height - 2 || distance[k] > reach)
                return false;
            if (!markMaskBit(first->masks.data + int64_t{words} * y, x)) {
                light = true;
                continue;
            }
            if (!light) continue;
            const int32_t q = first->table.data[markWideLabelAt(first, int64_t{y} * width + x) - 1];
            if (q == r + 1) continue;
            if (around != 0 && q != around) return false;
            // Print and specks meet a neighbour of their own size: no need to look on.
            if (first->regionArea.data[q - 1] < 4 * first->regionArea.data[r]) return false;
            around = q;
            break;
        }
    }
    *half = std::max(distance[0] + distance[1], distance[2] + distance[3]) * 5 / 4 + 2;
    return true;
}

// Squares of the window frame (work->frame, covering `box` of the frame) split at
// `threshold`, by the detector's square test; returns their count.
int32_t markWindowSquares(const MarkDetector* d, MarkSecondWork* work, const int32_t box[4],
                          int threshold)
{
    const MarkOptions& o = d->options;
    const int bw = box[1] - box[0] + 1, bh = box[3] - box[2] + 1;
    MarkWideSettings s;
    s.threshold = threshold;
    s.minArea = o.minArea;
    s.maxArea = bw * bh;
    s.factor = o.squareFactor;
    s.enclosedTolerance = o.enclosedTolerance;
    s.capacity = kMarkCandidateMax;
    return markWideFindSquares(&work->wide, work->frame.data, bw, bh, s);
}

// Square i of the last markWindowSquares run of `box`, in frame coordinates, into
// work->candidate.
SquareCandidate& markWindowCandidate(MarkSecondWork* work, int32_t i, const int32_t box[4])
{
    SquareCandidate& cand = work->candidate;
    markWideCandidate(&work->wide, i, &cand);
    for (int32_t p = 0; p < cand.pointCount; p++) {
        cand.pointX[p] += box[0];
        cand.pointY[p] += box[2];
    }
    cand.centroid[0] += box[0];
    cand.centroid[1] += box[2];
    return cand;
}

// Marker m put in place j of markers (over the unidentified marker there), or added after
// the count markers when j < 0 (the caller keeps room); returns the new count.
int32_t markPut(DetectedMarker* markers, int32_t count, int32_t j, const DetectedMarker& m)
{
    if (j >= 0) {
        markers[j] = m;
        return count;
    }
    markers[count] = m;
    return count + 1;
}

// Whether an identified marker's pattern, drawn into its pixels through its corners,
// correlates at least `floor` there (markPixelCorrelation): the check on squares that a
// chance threshold or chosen corners let through. With shade matching, a marker short of
// it is checked again with the light evened out (markShadePixelCorrelation): a shadow's
// edge across the picture reads as print to the plain check.
bool markConfirmedInPixels(const MarkDetector* d, const uint8_t* frame, const DetectedMarker& m,
                           double floor)
{
    const CameraParam& camera = d->camera;
    const PatternSlot& slot = d->patterns->slots[m.patternId];
    const double plain = markPixelCorrelation(frame, camera.width, camera.height, camera.distortion,
                                              m.cornerPoints, slot, m.direction);
    if (plain >= floor) return true;
    MarkShadeLight light;
    return d->options.shadeMatching &&
           markShadeLightOf(frame, camera.width, camera.height, camera.distortion, m.cornerPoints,
                            &light) &&
           markShadePixelCorrelation(frame, camera.width, camera.height, camera.distortion,
                                     m.cornerPoints, slot, m.direction, light) >= floor;
}

// Squares of the window frame (work->frame, box in the frame) split at `threshold`:
// each identified one (for a hole's window, also confirmed in its pixels) is added, or
// replaces an unidentified marker in its place. For a split region's window (`split`),
// only squares where no marker lies count, and a match of at least kMarkSplitAccept
// needs no confirmation. Returns the new marker count.
int32_t markSecondSearch(MarkDetector* d, MarkSecondWork* work, const uint8_t* frame,
                         const int32_t box[4], int threshold, int hole, bool split,
                         DetectedMarker* markers, int32_t count)
{
    const MarkOptions& o = d->options;
    const int32_t found = markWindowSquares(d, work, box, threshold);
    for (int32_t i = 0; i < found; i++) {
        const SquareCandidate& cand = markWindowCandidate(work, i, box);
        // Where an identified marker lies already, there is nothing to add.
        const int32_t j = markPlaceOf(markers, count, cand.centroid, cand.area);
        if (j >= 0 && markIdentified(markers[j], o.confidenceMin)) continue;
        if (j >= 0 && split) continue;
        if (j < 0 && count == o.candidateMax) continue;
        DetectedMarker m;
        if (markCandidateInfo(d, frame, cand, &m) < 0) continue;
        if (!markIdentified(m, o.confidenceMin)) continue;
        if (hole && !(split && m.confidence >= kMarkSplitAccept) &&
            !markConfirmedInPixels(d, frame, m, kMarkHoleAccept))
            continue;
        count = markPut(markers, count, j, m);
    }
    return count;
}

// Whether pixel (x, y) of the first pass belongs to region r (0-based).
inline bool markInRegion(const MarkWideWork* first, int width, int x, int y, int32_t r)
{
    const int32_t label = markWideLabelAt(first, int64_t{y} * width + x);
    return label > 0 && first->table.data[label - 1] == r + 1;
}

// Otsu's threshold of the grey levels (mean of the channels) of region r's (0-based)
// pixels, read on a grid of about `samples` points over its box (enough for a threshold,
// and cheap on large regions). Inside a ring joined to a shadow's dark band the ink is
// the darker class and the shadowed paper the lighter one. Returns -1 when the classes do
// not look like that (the kMarkSplit limits above).
int markSplitLevel(const MarkWideWork* first, const uint8_t* frame, int width, int32_t r,
                   int64_t samples)
{
    const int32_t* box = first->regionBox.data + 4 * r;
    const int64_t boxPixels = int64_t{box[1] - box[0] + 1} * (box[3] - box[2] + 1);
    const int step = std::max(1, static_cast<int>(std::sqrt(boxPixels / samples)));
    int32_t histogram[256] = {};
    for (int y = box[2]; y <= box[3]; y += step)
        for (int x = box[0]; x <= box[1]; x += step) {
            if (!markInRegion(first, width, x, y, r)) continue;
            const uint8_t* p = frame + (int64_t{y} * width + x) * 4;
            histogram[(p[0] + p[1] + p[2]) / 3]++;
        }
    const int threshold = markOtsu(histogram);
    int64_t count0 = 0, count1 = 0, sum0 = 0, sum1 = 0;
    for (int v = 0; v < 256; v++) {
        if (v <= threshold) {
            count0 += histogram[v];
            sum0 += int64_t{v} * histogram[v];
        } else {
            count1 += histogram[v];
            sum1 += int64_t{v} * histogram[v];
        }
    }
    if (std::min(count0, count1) < kMarkSplitShare * (count0 + count1)) return -1;
    const double m0 = static_cast<double>(sum0) / count0, m1 = static_cast<double>(sum1) / count1;
    if (m1 - m0 < kMarkSplitGap || m1 < kMarkSplitRatio * m0) return -1;
    if (m0 < kMarkSplitInkMin || m1 > kMarkSplitPaperMax) return -1;
    return threshold;
}

// Renders `box` (region r's box with a margin, in the frame) into work->frame: region
// r's pixels at or below `threshold` dark (0), everything else light (255).
bool markSplitFrame(MarkSecondWork* work, const MarkWideWork* first, const uint8_t* frame,
                    int width, int32_t r, int threshold, const int32_t box[4])
{
    const int bw = box[1] - box[0] + 1, bh = box[3] - box[2] + 1;
    if (!work->frame.reserve(4 * int64_t{bw} * bh)) return false;
    // Whole pixels at a time: light (255, 255, 255, 0) unless dark; the fourth byte is
    // never read.
    uint32_t* out = reinterpret_cast<uint32_t*>(work->frame.data);
    const int32_t* table = first->table.data;
    const int limit = 3 * threshold + 2;  // (b + g + r) / 3 <= threshold
    for (int y = box[2]; y <= box[3]; y++) {
        const int64_t rowStart = int64_t{y} * width;
        const uint8_t* row = frame + rowStart * 4;
        for (int x = box[0]; x <= box[1]; x++, out++) {
            const int32_t label = markWideLabelAt(first, rowStart + x);
            const uint8_t* p = row + 4 * x;
            const bool dark = label > 0 && table[label - 1] == r + 1 && p[0] + p[1] + p[2] <= limit;
            *out = dark ? 0u : 0x00FFFFFFu;
        }
    }
    return true;
}

// The largest quadrilateral whose corners are outline points reaching furthest in one of
// eight directions (along and between the axes: a square at any angle has each corner
// furthest along one of them, give or take its rounding), as outline indices in outline
// order into quad[0 ... 3]. Returns false when fewer than four distinct points qualify.
bool markLargestQuad(const int32_t* x, const int32_t* y, int32_t n, int32_t quad[4])
{
    constexpr int kDirX[8] = {1, 1, 0, -1, -1, -1, 0, 1}, kDirY[8] = {0, 1, 1, 1, 0, -1, -1, -1};
    int32_t extreme[8] = {};
    int32_t reach[8];
    for (int k = 0; k < 8; k++) reach[k] = kDirX[k] * x[0] + kDirY[k] * y[0];
    for (int32_t i = 1; i < n; i++)
        for (int k = 0; k < 8; k++) {
            const int32_t v = kDirX[k] * x[i] + kDirY[k] * y[i];
            if (v > reach[k]) reach[k] = v, extreme[k] = i;
        }
    std::sort(extreme, extreme + 8);
    const int32_t m = static_cast<int32_t>(std::unique(extreme, extreme + 8) - extreme);
    int64_t best = 0;
    for (int32_t a = 0; a < m; a++)
        for (int32_t b = a + 1; b < m; b++)
            for (int32_t c = b + 1; c < m; c++)
                for (int32_t d = c + 1; d < m; d++) {
                    const int32_t p[4] = {extreme[a], extreme[b], extreme[c], extreme[d]};
                    int64_t twice = 0;
                    for (int k = 0; k < 4; k++) {
                        const int32_t i = p[k], j = p[(k + 1) % 4];
                        twice +=
                            static_cast<int64_t>(x[i]) * y[j] - static_cast<int64_t>(x[j]) * y[i];
                    }
                    if (std::llabs(twice) > best) {
                        best = std::llabs(twice);
                        std::copy(p, p + 4, quad);
                    }
                }
    return best > 0;
}

// Whether every point of the closed outline (n distinct points) lies within `reach` of
// the line through the corners that bound its stretch.
bool markQuadExplains(const int32_t* x, const int32_t* y, int32_t n, const int32_t quad[4],
                      double reach)
{
    for (int k = 0; k < 4; k++) {
        const int32_t s = quad[k], e = k < 3 ? quad[k + 1] : quad[0] + n;
        const double ax = x[s], ay = y[s], dx = x[e % n] - ax, dy = y[e % n] - ay;
        const double length = std::sqrt(dx * dx + dy * dy);
        if (!(length > 0.0)) return false;
        for (int32_t i = s + 1; i < e; i++) {
            const double away = std::fabs((x[i % n] - ax) * dy - (y[i % n] - ay) * dx) / length;
            if (away > reach) return false;
        }
    }
    return true;
}

// Whether the middle of a ring's box (its central 40 % each way) holds dark pixels: a
// marker's picture lies there, while the hole of a printed O or D is empty.
bool markRingHoldsPicture(const MarkWideWork* first, int width, const int32_t box[4])
{
    const int w = box[1] - box[0] + 1, h = box[3] - box[2] + 1;
    const int x0 = box[0] + (3 * w) / 10, x1 = box[1] - (3 * w) / 10;
    const int y0 = box[2] + (3 * h) / 10, y1 = box[3] - (3 * h) / 10;
    for (int y = y0; y <= y1; y++) {
        for (int x = x0; x <= x1; x++)
            if (markWideLabelAt(first, int64_t{y} * width + x) > 0) return true;
    }
    return false;
}

// Region r (0-based) of the first pass as a square candidate with the corners of
// markLargestQuad, when that quadrilateral explains the outline. Returns false
// otherwise.
bool markRingCandidate(MarkWideWork* first, int width, int32_t r, SquareCandidate* cand)
{
    const int32_t* box = first->regionBox.data + 4 * r;
    const int32_t *x = nullptr, *y = nullptr;
    int32_t points = 0;
    if (markWideOutline(first, width, r + 1, &x, &y, &points) < 0) return false;
    const int32_t n = points - 1;
    int32_t quad[4];
    if (n < 8 || !markLargestQuad(x, y, n, quad)) return false;
    const double side = 0.5 * (box[1] - box[0] + box[3] - box[2]) + 1.0;
    if (!markQuadExplains(x, y, n, quad, kMarkRingReach * side + 0.5)) return false;
    // Outline from corner quad[0] on, closed.
    for (int32_t i = 0; i < n; i++) {
        cand->pointX[i] = x[(quad[0] + i) % n];
        cand->pointY[i] = y[(quad[0] + i) % n];
    }
    cand->pointX[n] = cand->pointX[0];
    cand->pointY[n] = cand->pointY[0];
    cand->pointCount = n + 1;
    for (int k = 0; k < 4; k++) cand->corners[k] = quad[k] - quad[0];
    cand->corners[4] = n;
    cand->area = first->regionArea.data[r];
    cand->centroid[0] = first->regionCentroid.data[2 * r];
    cand->centroid[1] = first->regionCentroid.data[2 * r + 1];
    return true;
}

}  // namespace

void markSecondRelease(MarkSecondWork* work)
{
    if (work != markSecondDefaultWork()) delete work;
}

int32_t markSecondLook(MarkDetector* d, const uint8_t* frame, DetectedMarker* markers,
                       int32_t count)
{
    const MarkWideWork* first = d->wide;
    MarkSecondWork* work = markSecondWorkOf(d);
    if (first == nullptr || work == nullptr || !work->order.reserve(count + 1)) return count;
    const MarkOptions& o = d->options;
    const int width = d->camera.width, height = d->camera.height;
    const int sideMax = std::min(width, height) / 6;

    // 1. Windows: regions that are no square, and unidentified squares, small enough and
    // not plain blobs.
    int32_t* order = work->order.data;
    for (int32_t i = 0; i < count; i++) order[i] = i;
    std::sort(order, order + count, [&](int32_t a, int32_t b) {
        return markers[a].centroid[0] < markers[b].centroid[0];
    });
    int32_t windows = 0;
    for (int32_t r = 0; r < first->regions; r++) {
        const int32_t area = first->regionArea.data[r];
        const int32_t* box = first->regionBox.data + 4 * r;
        const int boxW = box[1] - box[0] + 1, boxH = box[3] - box[2] + 1;
        if (area < o.minArea || boxW > sideMax || boxH > sideMax) continue;
        if (std::min(boxW, boxH) < kMarkSecondSideMin) continue;
        if (box[0] <= 1 || box[1] >= width - 2 || box[2] <= 1 || box[3] >= height - 2) continue;
        const double* c = first->regionCentroid.data + 2 * r;
        // A marker's ring, whole or broken, surrounds its picture: a region covering its
        // own centroid is a blob (noise, print, a plain dark patch), not worth a look.
        const int cx = static_cast<int>(c[0] + 0.5), cy = static_cast<int>(c[1] + 0.5);
        const int32_t label = markWideLabelAt(first, int64_t{cy} * width + cx);
        if (label > 0 && first->table.data[label - 1] == r + 1) continue;
        const int32_t at = markMarkerAt(markers, order, count, c[0], c[1]);
        if (at >= 0 && markIdentified(markers[at], o.confidenceMin)) continue;
        if (!work->windows.reserve(windows + 1)) return count;
        MarkSecondWork::Window& win = work->windows.data[windows];
        win.index = windows++;
        win.area = area;
        win.hole = 0;
        // An unidentified square is looked at just inside its outline's reach, so that
        // it touches the window's edge and only what lies within it is traced; other
        // regions with room around them for the ring they may belong to.
        const int margin =
            at >= 0 ? 1 : std::max(2, std::max(box[1] - box[0], box[3] - box[2]) / 4);
        win.box[0] = std::max(0, box[0] - margin);
        win.box[1] = std::min(width - 1, box[1] + margin);
        win.box[2] = std::max(0, box[2] - margin);
        win.box[3] = std::min(height - 1, box[3] + margin);
    }
    // Small blobs in the hole of a larger region, where no identified marker lies.
    for (int32_t r = 0; r < first->regions; r++) {
        const int32_t* box = first->regionBox.data + 4 * r;
        const int boxW = box[1] - box[0] + 1, boxH = box[3] - box[2] + 1;
        if (first->regionArea.data[r] < 4 || 3 * boxW > sideMax || 3 * boxH > sideMax) continue;
        if (box[0] <= 1 || box[1] >= width - 2 || box[2] <= 1 || box[3] >= height - 2) continue;
        int half = 0;
        if (!markHoleAround(first, r, width, height, &half) || 2 * half > sideMax) continue;
        const double* c = first->regionCentroid.data + 2 * r;
        const int32_t at = markPlaceOf(markers, count, c, 4 * half * half);
        if (at >= 0 && markIdentified(markers[at], o.confidenceMin)) continue;
        if (!work->windows.reserve(windows + 1)) return count;
        MarkSecondWork::Window& win = work->windows.data[windows];
        win.index = windows++;
        win.area = first->regionArea.data[r];
        win.hole = 1;
        const int cx = static_cast<int>(c[0] + 0.5), cy = static_cast<int>(c[1] + 0.5);
        win.box[0] = std::max(0, cx - half);
        win.box[1] = std::min(width - 1, cx + half);
        win.box[2] = std::max(0, cy - half);
        win.box[3] = std::min(height - 1, cy + half);
    }
    MarkSecondWork::Window* list = work->windows.data;
    if (windows > kMarkSecondWindowMax) {
        // The largest regions first, ties as listed (a plain sort on both keys: a stable
        // sort would allocate per frame).
        std::sort(list, list + windows,
                  [](const MarkSecondWork::Window& a, const MarkSecondWork::Window& b) {
                      return a.area != b.area ? a.area > b.area : a.index < b.index;
                  });
        windows = kMarkSecondWindowMax;
    }

    // Regions too large for a window that are no identified square, for step 3.
    int32_t splits = 0;
    for (int32_t r = 0; r < first->regions; r++) {
        const int32_t* box = first->regionBox.data + 4 * r;
        const int boxW = box[1] - box[0] + 1, boxH = box[3] - box[2] + 1;
        if (first->regionArea.data[r] < o.minArea || std::max(boxW, boxH) <= sideMax ||
            std::min(boxW, boxH) < kMarkSplitSideMin)
            continue;
        const double* c = first->regionCentroid.data + 2 * r;
        const int32_t at = markMarkerAt(markers, order, count, c[0], c[1]);
        if (at >= 0 && markIdentified(markers[at], o.confidenceMin)) continue;
        if (!work->split.reserve(splits + 1)) return count;
        work->split.data[splits++] = r;
    }

    // 2. Each window on its own threshold (a window round a hole also on fixed ones).
    for (int32_t k = 0; k < windows; k++) {
        const int32_t* box = list[k].box;
        if (box[1] - box[0] + 1 < 8 || box[3] - box[2] + 1 < 8) continue;
        const int otsu =
            markSecondWindowFrame(work, frame, width, height, box[0], box[1], box[2], box[3]);
        if (otsu < 0) continue;
        count = markSecondSearch(d, work, frame, box, otsu, list[k].hole, false, markers, count);
        if (!list[k].hole) continue;
        // The fixed levels until the marker round the hole is named: later levels would
        // only find its square again.
        const double centre[2] = {0.5 * (box[0] + box[1]), 0.5 * (box[2] + box[3])};
        const int32_t windowArea = (box[1] - box[0] + 1) * (box[3] - box[2] + 1);
        for (const int level : kMarkHoleLevels) {
            const int32_t at = markPlaceOf(markers, count, centre, windowArea);
            if (at >= 0 && markIdentified(markers[at], o.confidenceMin)) break;
            count = markSecondSearch(d, work, frame, box, level, 1, false, markers, count);
        }
    }

    // 3. Regions larger than a window that failed the square test, each split at Otsu's
    // threshold of its own grey levels: a ring joined to a shadow's dark band comes apart
    // from the shadowed paper. Squares found there are confirmed in their pixels.
    int32_t* split = work->split.data;
    std::sort(split, split + splits, [&](int32_t a, int32_t b) {
        const int32_t areaA = first->regionArea.data[a], areaB = first->regionArea.data[b];
        return areaA != areaB ? areaA > areaB : a < b;  // ties in region order
    });
    for (int32_t k = 0; k < std::min(splits, kMarkSplitMax); k++) {
        // A coarse look first: most large regions are one material and stop here.
        if (markSplitLevel(first, frame, width, split[k], kMarkSplitSamples / 16) < 0) continue;
        const int level = markSplitLevel(first, frame, width, split[k], kMarkSplitSamples);
        const int32_t* rb = first->regionBox.data + 4 * split[k];
        const int32_t box[4] = {std::max(0, rb[0] - 2), std::min(width - 1, rb[1] + 2),
                                std::max(0, rb[2] - 2), std::min(height - 1, rb[3] + 2)};
        if (level < 0 || !markSplitFrame(work, first, frame, width, split[k], level, box)) continue;
        // Squares where a marker lies already were seen by the first pass.
        count = markSecondSearch(d, work, frame, box, 127, 1, true, markers, count);
    }

    // 4. Small rings that are no square by the chord test (their corners rounded off by
    // blur): the largest quadrilateral on their outline, confirmed in their pixels.
    MarkWideWork* rings = d->wide;
    for (int32_t r = 0; r < rings->regions; r++) {
        const int32_t area = rings->regionArea.data[r];
        const int32_t* box = rings->regionBox.data + 4 * r;
        const int boxW = box[1] - box[0] + 1, boxH = box[3] - box[2] + 1;
        if (area < o.minArea || std::max(boxW, boxH) > kMarkRingSideMax ||
            std::min(boxW, boxH) < kMarkRingSideMin)
            continue;
        if (box[0] <= 1 || box[1] >= width - 2 || box[2] <= 1 || box[3] >= height - 2) continue;
        // A ring leaves light inside its outline, even with its picture joined to it;
        // print, specks and plain squares fill theirs.
        if (!(area <= kMarkRingFill * rings->regionEnclosed.data[r])) continue;
        const double* c = rings->regionCentroid.data + 2 * r;
        if (markPlaceOf(markers, count, c, area) >= 0) continue;
        if (!markRingHoldsPicture(rings, width, box)) continue;
        SquareCandidate& cand = work->candidate;
        if (!markRingCandidate(rings, width, r, &cand)) continue;
        if (count == o.candidateMax) break;
        DetectedMarker m;
        if (markCandidateInfo(d, frame, cand, &m) < 0 || !markIdentified(m, o.confidenceMin))
            continue;
        if (!markConfirmedInPixels(d, frame, m, kMarkRingAccept)) continue;
        markers[count++] = m;
    }
    return count;
}

namespace {

// Squares of the window frame (work->frame, box in the frame) split at `threshold`, for
// the shade search: each one not yet tried where no identified marker lies is kept when
// identified and its pattern drawn into its pixels correlates at least kMarkHoleAccept
// (replacing an unidentified marker in its place). Returns the new marker count.
int32_t markShadeSearchWindow(MarkDetector* d, MarkSecondWork* work, const uint8_t* frame,
                              const int32_t box[4], int threshold, DetectedMarker* markers,
                              int32_t count)
{
    const MarkOptions& o = d->options;
    const int32_t found = markWindowSquares(d, work, box, threshold);
    for (int32_t i = 0; i < found; i++) {
        const SquareCandidate& cand = markWindowCandidate(work, i, box);
        const int32_t j = markPlaceOf(markers, count, cand.centroid, cand.area);
        if (j >= 0 && markIdentified(markers[j], o.confidenceMin)) continue;
        if (j < 0 && count == o.candidateMax) continue;
        // Squares of clutter in shade fill their outline; a marker's picture leaves light
        // inside its ring.
        const int32_t region = work->wide.squares.data[i].region;
        if (!(cand.area <= kMarkRingFill * work->wide.regionEnclosed.data[region])) continue;
        bool tried = false;
        const MarkSecondWork::Tried* list = work->tried.data;
        for (int64_t k = 0; k < work->triedCount && !tried; k++) {
            const double dx = list[k].centroid[0] - cand.centroid[0];
            const double dy = list[k].centroid[1] - cand.centroid[1];
            tried = dx * dx + dy * dy <= kMarkShadeSame * kMarkShadeSame &&
                    10 * std::abs(list[k].area - cand.area) <= list[k].area;
        }
        if (tried || !work->tried.reserve(work->triedCount + 1)) continue;
        work->tried.data[work->triedCount++] = {{cand.centroid[0], cand.centroid[1]}, cand.area};
        DetectedMarker m;
        if (markCandidateInfo(d, frame, cand, &m) < 0 || !markIdentified(m, o.confidenceMin) ||
            !markConfirmedInPixels(d, frame, m, kMarkHoleAccept))
            continue;
        count = markPut(markers, count, j, m);
    }
    return count;
}

// Eight 16-bit lanes (GCC vector extension; SSE2 on x86-64, plain code elsewhere).
typedef uint16_t MarkLanes16 __attribute__((vector_size(16)));

inline MarkLanes16 markLoad16(const uint16_t* p)
{
    MarkLanes16 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// out[x] = a[x] + b[x] + c[x] for x < n (sums of grey levels stay below 2^16).
void markAddThree(const uint16_t* a, const uint16_t* b, const uint16_t* c, uint16_t* out, int n)
{
    int x = 0;
    for (; x + 8 <= n; x += 8) {
        const MarkLanes16 v = markLoad16(a + x) + markLoad16(b + x) + markLoad16(c + x);
        std::memcpy(out + x, &v, sizeof v);
    }
    for (; x < n; x++) out[x] = static_cast<uint16_t>(a[x] + b[x] + c[x]);
}

// The least and the greatest of p[0 ... n - 1] folded into *lo and *hi.
void markRangeOf(const uint16_t* p, int n, int* lo, int* hi)
{
    int x = 0;
    if (n >= 8) {
        MarkLanes16 least = markLoad16(p), most = least;
        for (x = 8; x + 8 <= n; x += 8) {
            const MarkLanes16 v = markLoad16(p + x);
            least = v < least ? v : least;
            most = v > most ? v : most;
        }
        for (int k = 0; k < 8; k++) {
            *lo = std::min(*lo, static_cast<int>(least[k]));
            *hi = std::max(*hi, static_cast<int>(most[k]));
        }
    }
    for (; x < n; x++) {
        *lo = std::min(*lo, static_cast<int>(p[x]));
        *hi = std::max(*hi, static_cast<int>(p[x]));
    }
}

// 3 x 3 sums of blue + green + red of the whole frame (its edge repeated) into
// work->smoothed, as markSecondWindowFrame sums them. Returns false when memory runs out.
bool markShadeSmooth(MarkSecondWork* work, const uint8_t* frame, int width, int height)
{
    const int64_t pixels = int64_t{width} * height;
    if (!work->smoothed.reserve(pixels) || !work->sums.reserve(4 * int64_t{width} + 2))
        return false;
    uint16_t* across[3] = {work->sums.data, work->sums.data + width, work->sums.data + 2 * width};
    uint16_t* grey = work->sums.data + 3 * int64_t{width};  // one row, a column either side
    auto acrossRow = [&](int y, uint16_t* out) {
        markGreyRow(frame, width, y, grey + 1, 2);
        grey[0] = grey[1];
        grey[width + 1] = grey[width];
        markAddThree(grey, grey + 1, grey + 2, out, width);
    };
    // across[k] holds row y - 1 + k (rows beyond the frame repeat its edge).
    acrossRow(0, across[1]);
    std::copy(across[1], across[1] + width, across[0]);
    for (int y = 0; y < height; y++) {
        if (y + 1 < height)
            acrossRow(y + 1, across[2]);
        else
            std::copy(across[1], across[1] + width, across[2]);
        markAddThree(across[0], across[1], across[2], work->smoothed.data + int64_t{y} * width,
                     width);
        std::rotate(across, across + 1, across + 3);
    }
    return true;
}

// Tile box of the frame into work->frame as markSecondWindowFrame renders it, from the
// whole frame's 3 x 3 sums (markShadeSmooth); histogram receives the count of each
// stretched level. Returns Otsu's threshold, or -1 when the tile is flat.
int markShadeTileFrame(MarkSecondWork* work, int width, const int32_t box[4],
                       int32_t histogram[256])
{
    const int bw = box[1] - box[0] + 1, bh = box[3] - box[2] + 1;
    if (!work->frame.reserve(4 * int64_t{bw} * bh) || !work->stretch.reserve(27 * 255 + 1))
        return -1;
    int lo = 65535, hi = 0;
    for (int y = box[2]; y <= box[3]; y++)
        markRangeOf(work->smoothed.data + int64_t{y} * width + box[0], bw, &lo, &hi);
    if (hi - lo < 27 * kMarkSecondSpanMin) return -1;
    // Level v covers the sums from lo + ceil(v * span / 255) on.
    uint8_t* level = work->stretch.data;
    const int span = hi - lo;
    for (int v = 0; v < 256; v++) {
        const int from = (v * span + 254) / 255,
                  to = v < 255 ? ((v + 1) * span + 254) / 255 : span + 1;
        std::fill(level + from, level + to, static_cast<uint8_t>(v));
    }
    std::fill(histogram, histogram + 256, 0);
    uint32_t* out = reinterpret_cast<uint32_t*>(work->frame.data);
    for (int y = box[2]; y <= box[3]; y++) {
        const uint16_t* row = work->smoothed.data + int64_t{y} * width + box[0];
        for (int x = 0; x < bw; x++) {
            const uint32_t v = level[row[x] - lo];
            histogram[v]++;
            *out++ = v * 0x010101u;  // the fourth byte is never read
        }
    }
    return markOtsu(histogram);
}

// Sums of the grey level (blue + green + red) of the middle pixel of each block of the
// frame over blocks [0, bx) x [0, by), into work->blocks at by * (columns + 1) + bx, so
// that any tile's sum takes four reads. The middle pixels tell shade from light well
// enough. Returns false when memory runs out.
bool markShadeBlocks(MarkSecondWork* work, const uint8_t* frame, int width, int columns, int rows)
{
    const int64_t stride = int64_t{columns} + 1;
    if (!work->blocks.reserve(stride * (rows + 1))) return false;
    int32_t* sums = work->blocks.data;
    std::fill(sums, sums + stride, 0);
    constexpr int middle = kMarkShadeBlock / 2;
    for (int by = 0; by < rows; by++) {
        const uint8_t* row = frame + (int64_t{by} * kMarkShadeBlock + middle) * width * 4;
        const int32_t* above = sums + by * stride;
        int32_t* here = sums + (by + 1) * stride;
        here[0] = 0;
        int32_t line = 0;
        for (int bx = 0; bx < columns; bx++) {
            const uint8_t* p = row + 4 * (bx * kMarkShadeBlock + middle);
            line += p[0] + p[1] + p[2];
            here[bx + 1] = above[bx + 1] + line;
        }
    }
    return true;
}

// Whether the tile of tileBlocks x tileBlocks blocks from block (bx, by) lies in shade.
bool markShadeTileDark(const MarkSecondWork* work, int columns, int bx, int by, int tileBlocks)
{
    const int64_t stride = int64_t{columns} + 1;
    const int32_t* top = work->blocks.data + by * stride;
    const int32_t* bottom = top + tileBlocks * stride;
    const int32_t sum = bottom[bx + tileBlocks] - bottom[bx] - top[bx + tileBlocks] + top[bx];
    // Three channels per block: 3 per grey level.
    return sum <= 3 * kMarkShadeMeanMax * tileBlocks * tileBlocks;
}

}  // namespace

int32_t markShadeSearch(MarkDetector* d, const uint8_t* frame, DetectedMarker* markers,
                        int32_t count)
{
    MarkSecondWork* work = markSecondWorkOf(d);
    if (work == nullptr || d->patterns == nullptr) return count;
    const int width = d->camera.width, height = d->camera.height;
    const int tileBlocks = 2 * std::max(2, std::min(width, height) / 120);
    const int step = tileBlocks / 2;  // tiles overlap by half
    const int columns = width / kMarkShadeBlock, rows = height / kMarkShadeBlock;
    if (columns < tileBlocks || rows < tileBlocks) return count;
    if (!markShadeBlocks(work, frame, width, columns, rows)) return count;
    int tiles = 0, dark = 0;
    for (int by = 0; by + tileBlocks <= rows; by += step)
        for (int bx = 0; bx + tileBlocks <= columns; bx += step) {
            tiles++;
            dark += markShadeTileDark(work, columns, bx, by, tileBlocks);
        }
    if (kMarkShadeShareMin * dark < tiles || !markShadeSmooth(work, frame, width, height))
        return count;
    work->triedCount = 0;
    for (int by = 0; by + tileBlocks <= rows; by += step)
        for (int bx = 0; bx + tileBlocks <= columns; bx += step) {
            if (!markShadeTileDark(work, columns, bx, by, tileBlocks)) continue;
            const int32_t box[4] = {bx * kMarkShadeBlock, (bx + tileBlocks) * kMarkShadeBlock - 1,
                                    by * kMarkShadeBlock, (by + tileBlocks) * kMarkShadeBlock - 1};
            int32_t histogram[256];
            const int otsu = markShadeTileFrame(work, width, box, histogram);
            if (otsu < 0) continue;
            // Otsu's level, then the fixed ones; a level that marks the same pixels dark
            // as the one before finds the same squares.
            int32_t below[256];
            for (int v = 0, c = 0; v < 256; v++) below[v] = c += histogram[v];
            count = markShadeSearchWindow(d, work, frame, box, otsu, markers, count);
            int32_t done = below[otsu];
            for (const int level : kMarkShadeLevels) {
                if (below[level] == done) continue;
                done = below[level];
                count = markShadeSearchWindow(d, work, frame, box, level, markers, count);
            }
        }
    return count;
}
