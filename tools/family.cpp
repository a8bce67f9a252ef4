// Marker families: block designs chosen greedily under correlation limits, then checked
// on rendered views and repaired by replacing members that fail.
#include "tools/family.h"

#include "camera/camera.h"
#include "detect/detect.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

namespace {

constexpr int kCells = kFamilyGrid * kFamilyGrid;
// Black blocks per design: between about a third and two thirds of the grid, so every
// design has a strong mean-free signal.
constexpr int kInkMin = 9;
constexpr int kInkMax = 16;
// The visible shape is the paper inside the black frame (ink next to the frame merges
// with it): at most three white pieces for families of up to 16, four for larger ones,
// where the search needs more room.
constexpr int kInkPiecesMax = 2;
constexpr int kPaperPiecesMaxSmall = 3;
constexpr int kPaperPiecesMaxLarge = 4;
// The quick estimate of the small blurred view (viewPattern): a design must still
// correlate this much with its own pattern, and at most kViewCrossMax with any other
// member's or with its own turns (tunable; chosen so that few designs fail the
// rendered check).
constexpr double kViewOwnMin = 0.6;
constexpr double kViewCrossMax = 0.45;
// Candidates drawn before giving up; a family of 32 needs a few thousand (tunable).
constexpr int kDrawBudget = 400000;
// Rounds of checking rendered views and replacing failing members.
constexpr int kCheckRounds = 40;

// splitmix64: a small generator whose sequence is the same on every platform.
struct Random {
    uint64_t state;
    uint64_t next()
    {
        uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
};

// Number of 4-connected pieces of blocks whose colour is `black`.
int pieces(uint32_t blocks, bool black)
{
    uint32_t seen = 0;
    int count = 0;
    for (int start = 0; start < kCells; start++) {
        if ((((blocks >> start) & 1u) != 0) != black || ((seen >> start) & 1u)) continue;
        count++;
        int stack[kCells], top = 0;
        stack[top++] = start;
        seen |= 1u << start;
        while (top > 0) {
            const int cell = stack[--top];
            const int r = cell / kFamilyGrid, c = cell % kFamilyGrid;
            const int next[4][2] = {{r - 1, c}, {r + 1, c}, {r, c - 1}, {r, c + 1}};
            for (const auto& n : next) {
                if (n[0] < 0 || n[1] < 0 || n[0] >= kFamilyGrid || n[1] >= kFamilyGrid) continue;
                const int k = n[0] * kFamilyGrid + n[1];
                if ((((blocks >> k) & 1u) != 0) != black || ((seen >> k) & 1u)) continue;
                seen |= 1u << k;
                stack[top++] = k;
            }
        }
    }
    return count;
}

bool shapeAcceptable(uint32_t blocks, int paperPiecesMax)
{
    const int ink = __builtin_popcount(blocks);
    return ink >= kInkMin && ink <= kInkMax && pieces(blocks, true) <= kInkPiecesMax &&
           pieces(blocks, false) <= paperPiecesMax;
}

// What the detector sees of a design on a marker 24 pixels across, facing the camera,
// blurred by 1 pixel: the marker in print greys on paper, averaged into pixels, blurred,
// thresholded like the detector to find the dark square's outermost pixels, and sampled
// between them at the detector's 16 x 16 points. A cheap stand-in for the rendered check
// that steers the search away from designs that blur into each other. `offset` shifts
// the marker by a fraction of a pixel, since the pixel grid changes what survives.
constexpr int kViewSide = 24;
constexpr int kViewPad = 6;
constexpr int kViewCanvas = kViewSide + 2 * kViewPad;
constexpr double kViewOffsets[kFamilyViewModels] = {0.0, 0.5};

void viewPattern(uint32_t blocks, double offset, ToolNormalised* out)
{
    double canvas[kViewCanvas][kViewCanvas];
    constexpr int kSub = 4;
    for (int y = 0; y < kViewCanvas; y++)
        for (int x = 0; x < kViewCanvas; x++) {
            double sum = 0.0;
            for (int j = 0; j < kSub; j++)
                for (int i = 0; i < kSub; i++) {
                    // Marker coordinates 0 ... 1 across the black square.
                    const double u = (x - kViewPad - offset + (i + 0.5) / kSub) / kViewSide;
                    const double v = (y - kViewPad - offset + (j + 0.5) / kSub) / kViewSide;
                    bool ink = u >= 0.0 && u < 1.0 && v >= 0.0 && v < 1.0;
                    if (u >= 0.25 && u < 0.75 && v >= 0.25 && v < 0.75) {
                        const int c = static_cast<int>((u - 0.25) * 2 * kFamilyGrid);
                        const int r = static_cast<int>((v - 0.25) * 2 * kFamilyGrid);
                        ink = (blocks >> (r * kFamilyGrid + c)) & 1u;
                    }
                    sum += ink ? 24.0 : 236.0;
                }
            canvas[y][x] = sum / (kSub * kSub);
        }
    // Gaussian blur, sigma 1 pixel, separable, edges clamped.
    double weights[7], total = 0.0;
    for (int k = -3; k <= 3; k++) total += weights[k + 3] = std::exp(-0.5 * k * k);
    double pass[kViewCanvas][kViewCanvas], blurred[kViewCanvas][kViewCanvas];
    for (int y = 0; y < kViewCanvas; y++)
        for (int x = 0; x < kViewCanvas; x++) {
            double sum = 0.0;
            for (int k = -3; k <= 3; k++)
                sum += weights[k + 3] * canvas[y][std::min(kViewCanvas - 1, std::max(0, x + k))];
            pass[y][x] = sum / total;
        }
    int x0 = kViewCanvas, x1 = -1, y0 = kViewCanvas, y1 = -1;
    for (int y = 0; y < kViewCanvas; y++)
        for (int x = 0; x < kViewCanvas; x++) {
            double sum = 0.0;
            for (int k = -3; k <= 3; k++)
                sum += weights[k + 3] * pass[std::min(kViewCanvas - 1, std::max(0, y + k))][x];
            blurred[y][x] = sum / total;
            if (blurred[y][x] <= kFamilyViewThreshold) {
                x0 = std::min(x0, x);
                x1 = std::max(x1, x);
                y0 = std::min(y0, y);
                y1 = std::max(y1, y);
            }
        }
    ToolPattern pattern;
    for (int r = 0; r < kPatternSide; r++)
        for (int c = 0; c < kPatternSide; c++) {
            const int x = static_cast<int>(x0 + (x1 - x0) * (0.25 + (c + 0.5) / 32.0));
            const int y = static_cast<int>(y0 + (y1 - y0) * (0.25 + (r + 0.5) / 32.0));
            const int grey = static_cast<int>(std::lround(blurred[y][x]));
            for (int ch = 0; ch < 3; ch++) pattern.values[0][toolGridIndex(ch, r, c)] = grey;
        }
    toolPatternTurnAll(&pattern);
    toolNormalise(pattern, out);
}

void makeMember(uint32_t blocks, FamilyMember* m)
{
    m->blocks = blocks;
    familyPicture(blocks, &m->picture);
    toolPatternFromPicture(m->picture, &m->pattern);
    toolNormalise(m->pattern, &m->normalised);
    for (int k = 0; k < kFamilyViewModels; k++) viewPattern(blocks, kViewOffsets[k], &m->models[k]);
}

// Index of the truth corner nearest to (x, y).
int nearestCorner(const double corners[4][2], double x, double y)
{
    int best = 0;
    double bestD = 1e300;
    for (int k = 0; k < 4; k++) {
        const double dx = corners[k][0] - x, dy = corners[k][1] - y;
        if (dx * dx + dy * dy < bestD) {
            bestD = dx * dx + dy * dy;
            best = k;
        }
    }
    return best;
}

}  // namespace

void familyPicture(uint32_t blocks, SynthImage* picture)
{
    synthImageMake(kFamilyPictureSide, kFamilyPictureSide, 255, 255, 255, picture);
    const int block = kFamilyPictureSide / kFamilyGrid;
    for (int y = 0; y < kFamilyPictureSide; y++)
        for (int x = 0; x < kFamilyPictureSide; x++)
            if ((blocks >> ((y / block) * kFamilyGrid + x / block)) & 1u) {
                std::uint8_t* p =
                    &picture->pixels[(static_cast<size_t>(y) * kFamilyPictureSide + x) * 4];
                p[0] = p[1] = p[2] = 0;
            }
}

int familyRenderViews(FamilyMember* member)
{
    member->views.clear();
    constexpr double kFocal = 400.0;
    SynthImage frame;
    SynthTruth truth;
    int view = 0;
    for (int size : kFamilyViewSizes) {
        // Room for the marker turned by 45 degrees, its paper margin and some background.
        const int frameSide = size * 2 + 24;
        CameraParam camera;
        if (synthCameraMake(frameSide, frameSide, kFocal, 0.0, &camera) != 0) return -1;
        camParamInit(&camera);
        SynthScene scene;
        synthSceneInit(&camera, &scene);
        scene.blurSigma = kFamilyViewBlur;
        scene.noiseSigma = kFamilyViewNoise;
        scene.markerCount = 1;
        scene.markers[0].picture = &member->picture;
        const double z = kFocal / size;  // a marker of side 1 spans `size` pixels
        for (int turn = 0; turn < kFamilyViewTurns; turn++)
            for (int place = 0; place < kFamilyViewPlaces; place++, view++) {
                // Offsets of a fraction of a pixel and a few degrees, so the views do not
                // all fall on the same pixel grid.
                const double shift = (place * 0.29 - 0.4) * z / kFocal;
                synthPoseMake(turn * 45.0 + place * 2.5, 0.0, 0.0, shift, -0.7 * shift, z,
                              scene.markers[0].pose);
                // The noise depends on the design and the view only, so a member's views
                // are the same whichever family it is checked in.
                scene.noiseSeed = member->blocks * 131u + static_cast<uint32_t>(view) + 1u;
                if (synthRender(&scene, &frame, &truth) != 0) return -1;
                FamilyView seen;
                int32_t regions = 0;
                int32_t *area = nullptr, *box = nullptr, *table = nullptr;
                double* centroid = nullptr;
                int16_t* labels = markLabel(frame.pixels.data(), kFamilyViewThreshold, &regions,
                                            &area, &centroid, &box, &table);
                SquareCandidate* candidates = nullptr;
                int32_t candidateCount = 0;
                if (labels != nullptr)
                    markFindSquares(labels, regions, table, area, centroid, box, kMarkAreaMax,
                                    kMarkAreaMin, kMarkSquareFactor, &candidates, &candidateCount);
                for (int c = 0; c < candidateCount; c++) {
                    const SquareCandidate& cand = candidates[c];
                    FamilySquare square;
                    patternSample(frame.pixels.data(), cand.pointX, cand.pointY, cand.corners,
                                  square.sample);
                    // Orientation d is right when the picture's top-left corner lies at
                    // the sample's corner (4 - d) mod 4.
                    for (int d = 0; d < kPatternOrientations; d++) {
                        const int k = cand.corners[(4 - d) % 4];
                        square.rightTurn[d] = nearestCorner(truth.markers[0].observedCorners,
                                                            cand.pointX[k], cand.pointY[k]) == 0;
                    }
                    seen.squares.push_back(square);
                }
                member->views.push_back(seen);
            }
    }
    return 0;
}

void familyScoreViews(const std::vector<FamilyMember>& members, std::vector<FamilyViewStats>* stats)
{
    stats->assign(members.size(), FamilyViewStats());
    std::vector<ToolNormalised> patterns;
    for (const FamilyMember& m : members) patterns.push_back(m.normalised);
    for (size_t i = 0; i < members.size(); i++) {
        FamilyViewStats& s = (*stats)[i];
        for (const FamilyView& view : members[i].views) {
            s.views++;
            bool own = false, wrongTurn = false, other = false;
            for (const FamilySquare& square : view.squares) {
                int id = -1, direction = -1;
                double confidence = 0.0;
                toolMatchSample(square.sample, patterns, &id, &direction, &confidence);
                if (confidence < kToolAcceptCorrelation || id < 0) continue;
                if (id != static_cast<int>(i)) {
                    other = true;
                    s.highestOther = std::max(s.highestOther, confidence);
                } else if (square.rightTurn[direction]) {
                    own = true;
                    s.lowestOwn = std::min(s.lowestOwn, confidence);
                } else {
                    wrongTurn = true;
                }
            }
            if (other)
                s.other++;
            else if (own)
                s.own++;
            else if (wrongTurn)
                s.wrongTurn++;
            else
                s.unrecognised++;
        }
    }
}

bool familyViewsPass(const std::vector<FamilyViewStats>& stats)
{
    for (const FamilyViewStats& s : stats)
        if (s.other > 0 || s.own < kFamilyOwnRateMin * s.views) return false;
    return true;
}

int familyDesign(int count, uint32_t seed, std::vector<FamilyMember>* members,
                 std::vector<FamilyViewStats>* stats, std::string* why)
{
    members->clear();
    if (count < 1 || count > kFamilyCountMax) {
        *why = "the count must be 1 ... " + std::to_string(kFamilyCountMax);
        return -1;
    }
    const double pairMax = count <= 16 ? kFamilyPairMaxSmall : kFamilyPairMaxLarge;
    Random random{seed};
    const int paperPiecesMax = count <= 16 ? kPaperPiecesMaxSmall : kPaperPiecesMaxLarge;
    std::set<uint32_t> tried;
    int draws = 0;
    FamilyMember candidate;
    for (int round = 0; round < kCheckRounds; round++) {
        // Greedy: the next random design that keeps every limit joins the family.
        while (static_cast<int>(members->size()) < count && draws < kDrawBudget) {
            draws++;
            const uint32_t blocks =
                static_cast<uint32_t>(random.next() >> 32) & ((1u << kCells) - 1);
            if (!shapeAcceptable(blocks, paperPiecesMax) || !tried.insert(blocks).second) continue;
            makeMember(blocks, &candidate);
            if (toolSelfTurn(candidate.normalised) > kFamilySelfMax) continue;
            bool distinct = true;
            for (const ToolNormalised& view : candidate.models) {
                double selfView = -1.0;
                for (int h = 1; h < kPatternOrientations; h++)
                    selfView =
                        std::max(selfView, toolCorrelation(view, 0, candidate.normalised, h));
                if (toolCorrelation(view, 0, candidate.normalised, 0) < kViewOwnMin ||
                    selfView > kViewCrossMax)
                    distinct = false;
            }
            for (size_t i = 0; i < members->size() && distinct; i++) {
                const FamilyMember& m = (*members)[i];
                if (toolBestCorrelation(m.normalised, candidate.normalised) > pairMax)
                    distinct = false;
                for (int k = 0; k < kFamilyViewModels; k++)
                    if (toolBestCorrelation(m.models[k], candidate.normalised) > kViewCrossMax ||
                        toolBestCorrelation(candidate.models[k], m.normalised) > kViewCrossMax)
                        distinct = false;
            }
            if (distinct) members->push_back(candidate);
        }
        if (static_cast<int>(members->size()) < count) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "found only %zu designs within the limits after %d candidates",
                          members->size(), draws);
            *why = text;
            return -1;
        }
        for (FamilyMember& m : *members)
            if (m.views.empty() && familyRenderViews(&m) != 0) {
                *why = "could not render the check views";
                return -1;
            }
        familyScoreViews(*members, stats);
        if (familyViewsPass(*stats)) return 0;
        // Replace the members that failed on their own views; the family keeps its order.
        std::vector<FamilyMember> kept;
        for (size_t i = 0; i < members->size(); i++) {
            const FamilyViewStats& s = (*stats)[i];
            if (s.other == 0 && s.own >= kFamilyOwnRateMin * s.views) kept.push_back((*members)[i]);
        }
        members->swap(kept);
    }
    *why = "members kept failing the rendered check";
    return -1;
}
