// Real-world detection options on rendered frames with ground truth: edge refinement
// brings the corners onto the printed edge, sampling at the fitted corners keeps the
// identity and orientation, the local threshold finds markers in shadow, and the
// robust preset finds the markers of hard-light frames without wrong identities.
#include "camera/camera.h"
#include "detect/detect.h"
#include "detect/internal.h"
#include "pattern/pattern.h"
#include "synth/synth.h"
#include "tests/support/markers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

MarkOptions only(int32_t MarkOptions::*field)
{
    MarkOptions o = markDefaultOptions();
    o.*field = 1;
    return o;
}

// One marker of `span` pixels in a 640 x 480 frame (lens distortion 20), turned and
// tilted per view v.
void singleMarker(int v, double span, double blur, SynthScene* scene)
{
    CameraParam cam;
    synthCameraMake(640, 480, 600.0, 20.0, &cam);
    camParamInit(&cam);
    synthSceneInit(&cam, scene);
    scene->blurSigma = blur;
    scene->noiseSigma = blur > 0.0 ? 4.0 : 0.0;
    scene->noiseSeed = static_cast<uint32_t>(v + 3);
    SynthMarker& m = scene->markers[0];
    m.picture = shippedMarkers().list[v % 4];
    m.side = 80.0;
    const double z = 600.0 * 80.0 / span;
    // Off the centre as far as the frame allows with room for tilt and paper.
    const double dx = (v % 3 - 1) * (320.0 - 0.9 * span), dy = (v % 2 - 0.5) * (240.0 - 0.9 * span);
    synthPoseMake(23.0 + 41.0 * v, 10.0 * (v % 4), 35.0 * v, dx * z / 600.0, dy * z / 600.0, z,
                  m.pose);
    scene->markerCount = 1;
}

// Corner error of a recognised marker against the truth: summed squares and the mean
// signed offset along the diagonal (negative: inside the true square).
void cornerError(const DetectedMarker& m, const SynthMarkerTruth& t, double* squares, double* bias)
{
    double cx = 0.0, cy = 0.0;
    for (int k = 0; k < 4; k++) {
        cx += t.idealCorners[k][0] / 4.0;
        cy += t.idealCorners[k][1] / 4.0;
    }
    for (int k = 0; k < 4; k++) {
        const double* p = m.cornerPoints[(k + 4 - m.direction) % 4];
        const double ex = p[0] - t.idealCorners[k][0], ey = p[1] - t.idealCorners[k][1];
        const double ox = t.idealCorners[k][0] - cx, oy = t.idealCorners[k][1] - cy;
        *squares += ex * ex + ey * ey;
        *bias += (ex * ox + ey * oy) / std::hypot(ox, oy) / 4.0;
    }
}

// The contour runs through the outermost dark pixels, so fitted corners lie inside
// the printed square; refinement moves them onto it. Sampling at the fitted corners
// keeps identity and orientation. Sharp and blurred views at four sizes.
TEST(DetectRobust, RefinedCornersLieOnThePrintedEdge)
{
    const MarkOptions plain = markDefaultOptions();
    MarkOptions refined = plain;
    refined.edgeRefinement = 1;
    refined.bilinearSampling = 1;
    for (double blur : {0.0, 1.0}) {
        double sqPlain = 0.0, sqRefined = 0.0, biasPlain = 0.0, biasRefined = 0.0;
        int n = 0;
        for (int v = 0; v < 16; v++) {
            static SynthScene scene;
            const double span = 40.0 + 60.0 * (v % 4);
            singleMarker(v, span, blur, &scene);
            SynthImage frame;
            SynthTruth truth;
            ASSERT_EQ(synthRender(&scene, &frame, &truth), 0);
            const auto a = detectWith(frame, plain);
            const auto b = detectWith(frame, refined);
            const DetectedMarker* ma = detectionOf(a, truth.markers[0]);
            const DetectedMarker* mb = detectionOf(b, truth.markers[0]);
            ASSERT_TRUE(truth.markers[0].inFrame) << "view " << v;
            ASSERT_TRUE(ma != nullptr && mb != nullptr) << "view " << v << " blur " << blur;
            const int slot = shippedMarkers().slots[v % 4];
            ASSERT_EQ(ma->patternId, slot) << "view " << v;
            ASSERT_EQ(mb->patternId, slot) << "view " << v << " (sampled at the fitted corners)";
            EXPECT_EQ(mb->direction, ma->direction) << "view " << v;
            EXPECT_GT(mb->confidence, 0.7) << "view " << v;
            cornerError(*ma, truth.markers[0], &sqPlain, &biasPlain);
            cornerError(*mb, truth.markers[0], &sqRefined, &biasRefined);
            n++;
        }
        const double rmsPlain = std::sqrt(sqPlain / (4 * n)),
                     rmsRefined = std::sqrt(sqRefined / (4 * n));
        EXPECT_LT(biasPlain / n, -0.4) << "blur " << blur << ": fitted corners should lie inside";
        EXPECT_LT(std::fabs(biasRefined / n), 0.15) << "blur " << blur;
        EXPECT_LT(rmsRefined, 0.3) << "blur " << blur << " (fitted: " << rmsPlain << ")";
    }
}

// A refinement that would move a corner far is refused and leaves the lines alone: a
// marker whose fitted corners are pulled 6 px inwards.
TEST(DetectRobust, RefinementRefusesFarMoves)
{
    static SynthScene scene;
    singleMarker(0, 120.0, 0.0, &scene);
    SynthImage frame;
    SynthTruth truth;
    ASSERT_EQ(synthRender(&scene, &frame, &truth), 0);
    const auto list = detectWith(frame, markDefaultOptions());
    const DetectedMarker* m = detectionOf(list, truth.markers[0]);
    ASSERT_NE(m, nullptr);
    DetectedMarker near = *m;
    ASSERT_EQ(markRefineEdges(frame.pixels.data(), 640, 480, camCurrentParam.distortion,
                              near.edgeLines, near.cornerPoints),
              0);
    // Lines moved 6 px inwards: the step lies beyond the 2 px reach of every point, so
    // no edge changes and the fitted geometry is kept as it is.
    DetectedMarker far = *m;
    double cx = 0.0, cy = 0.0;
    for (int k = 0; k < 4; k++) {
        cx += far.cornerPoints[k][0] / 4.0;
        cy += far.cornerPoints[k][1] / 4.0;
    }
    for (int i = 0; i < 4; i++) {
        double* l = far.edgeLines[i];
        const double side = l[0] * cx + l[1] * cy + l[2] > 0 ? 1.0 : -1.0;
        l[2] += side * 6.0;
    }
    for (int i = 0; i < 4; i++) {
        const double* a = far.edgeLines[(i + 3) % 4];
        const double* b = far.edgeLines[i];
        const double w = a[0] * b[1] - b[0] * a[1];
        far.cornerPoints[i][0] = (a[1] * b[2] - b[1] * a[2]) / w;
        far.cornerPoints[i][1] = (b[0] * a[2] - a[0] * b[2]) / w;
    }
    DetectedMarker moved = far;
    markRefineEdges(frame.pixels.data(), 640, 480, camCurrentParam.distortion, moved.edgeLines,
                    moved.cornerPoints);
    for (int k = 0; k < 4; k++) {
        EXPECT_EQ(moved.cornerPoints[k][0], far.cornerPoints[k][0]) << "corner " << k;
        EXPECT_EQ(moved.cornerPoints[k][1], far.cornerPoints[k][1]) << "corner " << k;
    }
}

// Edge refinement and bilinear sampling give the same results with wide instructions
// as without, to the bit: on a blurred, noisy frame with clutter, at quads near the
// marker's true corners (refinement moves them), at quads of every size and turn across
// the frame, partly outside it or projecting to infinity, and on frames 1 and 2 pixels
// high.
TEST(DetectRobust, WideRefinementAndSamplingReadWhatPlainCodeReads)
{
    static SynthScene scene;
    singleMarker(1, 90.0, 1.0, &scene);
    scene.clutter = 1;
    scene.noiseSigma = 8.0;
    SynthImage frame;
    SynthTruth truth;
    ASSERT_EQ(synthRender(&scene, &frame, &truth), 0);
    const double* distortion = scene.camera.distortion;
    uint32_t seed = 12345;
    auto random = [&](double lo, double hi) {
        seed = seed * 1664525u + 1013904223u;
        return lo + (hi - lo) * (seed >> 8) / 16777216.0;
    };
    int refined = 0, sampled = 0;
    auto compare = [&](const uint8_t* pixels, int w, int h, const double corners[4][2],
                       const char* what, int i) {
        double lines[4][3];
        for (int k = 0; k < 4; k++) {
            const double* a = corners[k];
            const double* b = corners[(k + 1) % 4];
            lines[k][0] = b[1] - a[1];
            lines[k][1] = a[0] - b[0];
            lines[k][2] = -(lines[k][0] * a[0] + lines[k][1] * a[1]);
        }
        double plainLines[4][3], wideLines[4][3], plainCorners[4][2], wideCorners[4][2];
        std::memcpy(plainLines, lines, sizeof lines);
        std::memcpy(wideLines, lines, sizeof lines);
        std::memcpy(plainCorners, corners, sizeof plainCorners);
        std::memcpy(wideCorners, corners, sizeof wideCorners);
        const int rcPlain =
            markRefineEdgesUsing(pixels, w, h, distortion, plainLines, plainCorners, 0);
        const int rcWide =
            markRefineEdgesUsing(pixels, w, h, distortion, wideLines, wideCorners, 2);
        EXPECT_EQ(rcPlain, rcWide) << what << " " << i;
        EXPECT_EQ(std::memcmp(plainLines, wideLines, sizeof lines), 0) << what << " " << i;
        EXPECT_EQ(std::memcmp(plainCorners, wideCorners, sizeof plainCorners), 0)
            << what << " " << i;
        refined += rcPlain == 0 && std::memcmp(plainCorners, corners, sizeof plainCorners) != 0;
        uint8_t plainSample[kPatternValues], wideSample[kPatternValues];
        const int sPlain =
            markSampleBilinearUsing(pixels, w, h, distortion, corners, plainSample, 0);
        const int sWide = markSampleBilinearUsing(pixels, w, h, distortion, corners, wideSample, 2);
        EXPECT_EQ(sPlain, sWide) << what << " " << i;
        EXPECT_EQ(std::memcmp(plainSample, wideSample, kPatternValues), 0) << what << " " << i;
        sampled += sPlain == 0 && *std::max_element(plainSample, plainSample + kPatternValues) > 0;
    };
    const double(*truthCorners)[2] = truth.markers[0].idealCorners;
    for (int i = 0; i < 40; i++) {
        double corners[4][2];
        for (int k = 0; k < 4; k++)
            for (int c = 0; c < 2; c++) corners[k][c] = truthCorners[k][c] + random(-1.5, 1.5);
        compare(frame.pixels.data(), 640, 480, corners, "near the marker", i);
    }
    for (int i = 0; i < 400; i++) {
        const double cx = random(-60.0, 700.0), cy = random(-60.0, 540.0);
        const double side = random(3.0, 300.0), turn = random(0.0, 6.3);
        double corners[4][2];
        for (int k = 0; k < 4; k++) {
            const double a = turn + k * 1.5707963267948966 + random(-0.3, 0.3);
            corners[k][0] = cx + side * std::cos(a);
            corners[k][1] = cy + side * std::sin(a);
        }
        if (i % 50 == 0) corners[2][0] = corners[1][0];  // a degenerate quad now and then
        if (i % 50 == 0) corners[2][1] = corners[1][1];
        compare(frame.pixels.data(), 640, 480, corners, "across the frame", i);
    }
    EXPECT_GT(refined, 30);
    EXPECT_GT(sampled, 200);
    // Frames too thin for the wide path's pixel pairs.
    const double thin[4][2] = {{0.0, 0.0}, {6.0, 0.2}, {6.0, 0.8}, {0.0, 0.6}};
    for (int h : {1, 2}) compare(frame.pixels.data(), 640, h, thin, "thin frame", h);
}

// Edges that rise evenly over six pixels give search lines whose strongest rise is
// shared by several samples: both paths take the first (the edge's inner end), and the
// refinement still moves the corners.
TEST(DetectRobust, WideRefinementTakesTheFirstOfEqualRises)
{
    constexpr int kSide = 80;
    std::vector<uint8_t> frame(kSide * kSide * 4, 255);
    for (int y = 0; y < kSide; y++)
        for (int x = 0; x < kSide; x++) {
            // Dark square 20 ... 59, then 40 grey levels more per pixel outwards.
            const int out = std::max({0, 20 - x, x - 59, 20 - y, y - 59});
            uint8_t* p = &frame[(y * kSide + x) * 4];
            p[0] = p[1] = p[2] = static_cast<uint8_t>(std::min(255, 40 * out));
        }
    // No lens and corners on half pixels: every sample's interpolation is exact, so
    // equal rises compare equal.
    const double distortion[4] = {40.0, 40.0, 0.0, 1.0};
    const double corners[4][2] = {{17.5, 17.5}, {61.5, 17.5}, {61.5, 61.5}, {17.5, 61.5}};
    double lines[2][4][3], moved[2][4][2];
    int rc[2];
    for (int path = 0; path < 2; path++) {
        for (int k = 0; k < 4; k++) {
            const double* a = corners[k];
            const double* b = corners[(k + 1) % 4];
            lines[path][k][0] = b[1] - a[1];
            lines[path][k][1] = a[0] - b[0];
            lines[path][k][2] = -(lines[path][k][0] * a[0] + lines[path][k][1] * a[1]);
        }
        std::memcpy(moved[path], corners, sizeof corners);
        rc[path] = markRefineEdgesUsing(frame.data(), kSide, kSide, distortion, lines[path],
                                        moved[path], path == 0 ? 0 : 2);
    }
    ASSERT_EQ(rc[0], 0);
    EXPECT_EQ(rc[1], 0);
    EXPECT_EQ(std::memcmp(lines[0], lines[1], sizeof lines[0]), 0);
    EXPECT_EQ(std::memcmp(moved[0], moved[1], sizeof moved[0]), 0);
    // The first of the equal rises lies at the dark square's own edge, half a pixel out.
    EXPECT_NEAR(moved[0][0][0], 19.5, 0.3);
    EXPECT_NEAR(moved[0][2][1], 59.5, 0.3);
}

// A deep shadow over half the frame: there the paper falls below the global threshold,
// so the markers' borders merge with it; the local threshold finds every marker.
TEST(DetectRobust, LocalThresholdFindsMarkersInShadowAndSun)
{
    CameraParam cam;
    synthCameraMake(640, 480, 600.0, 0.0, &cam);
    camParamInit(&cam);
    static SynthScene scene;
    synthSceneInit(&cam, &scene);
    scene.background[0] = scene.background[1] = scene.background[2] = 200;
    scene.whiteBalance[2] = 1.15;
    scene.noiseSigma = 3.0;
    for (int i = 0; i < 6; i++) {
        SynthMarker& m = scene.markers[i];
        m.picture = shippedMarkers().list[i % 4];
        m.side = 80.0;
        const double z = 600.0 * 80.0 / 60.0;
        synthPoseMake(15.0 * i, 0.0, 0.0, (-262.5 + 105.0 * i) * z / 600.0,
                      (i % 2 ? 90.0 : -90.0) * z / 600.0, z, scene.markers[i].pose);
    }
    scene.markerCount = 6;
    SynthImage frame;
    SynthTruth truth;
    ASSERT_EQ(synthRender(&scene, &frame, &truth), 0);
    // Deep shadow over the left half, by darkening the rendered frame: paper there is
    // about 70 grey levels, below the global threshold of 100. Its edge passes 15 px
    // from the nearest paper: closer, the sunlit side raises the neighbourhood's mean
    // enough to make shadowed paper dark.
    for (int y = 0; y < 480; y++)
        for (int x = 0; x < 320; x++)
            for (int c = 0; c < 3; c++) {
                uint8_t& p = frame.pixels[(static_cast<size_t>(y) * 640 + x) * 4 + c];
                p = static_cast<uint8_t>(p * 0.3);
            }
    const MarkOptions global = only(&MarkOptions::frameSized);
    MarkOptions local = global;
    local.localThreshold = 1;
    const auto a = detectWith(frame, global);
    const auto b = detectWith(frame, local);
    int foundGlobal = 0, foundLocal = 0;
    for (int i = 0; i < 6; i++) {
        const DetectedMarker* ma = detectionOf(a, truth.markers[i]);
        const DetectedMarker* mb = detectionOf(b, truth.markers[i]);
        foundGlobal += ma != nullptr && ma->patternId == shippedMarkers().slots[i % 4];
        foundLocal += mb != nullptr && mb->patternId == shippedMarkers().slots[i % 4];
        EXPECT_TRUE(mb != nullptr && mb->patternId == shippedMarkers().slots[i % 4])
            << "marker " << i;
    }
    EXPECT_LT(foundGlobal, 6) << "the shadow should defeat the global threshold";
    EXPECT_EQ(foundLocal, 6);
}

// The robust preset on frames of the hard-light set: nearly every marker found and
// identified, never a wrong identity; the exact defaults find far fewer.
TEST(DetectRobust, PresetOnHardLightFrames)
{
    const ShippedMarkers& a = shippedMarkers();
    long inView = 0, exact = 0, robust = 0, softMatch = 0, sharpMatch = 0, wrong = 0;
    // Soft matching's share is taken without shade matching, which names some of the
    // same markers when soft matching is off.
    MarkOptions withoutShade = markRobustOptions();
    withoutShade.shadeMatching = 0;
    MarkOptions withoutSoft = withoutShade;
    withoutSoft.softMatching = 0;
    for (int index : {1, 4}) {
        static SynthScene scene;
        SynthImage frame;
        SynthTruth truth;
        ASSERT_TRUE(renderHardLight(index, &scene, &frame, &truth));
        const auto e = detectWith(frame, markDefaultOptions());
        const auto r = detectWith(frame, markRobustOptions());
        const auto s = detectWith(frame, withoutShade);
        const auto h = detectWith(frame, withoutSoft);
        for (int i = 0; i < truth.markerCount; i++) {
            if (!truth.markers[i].inFrame || truth.markers[i].occluded) continue;
            inView++;
            const int slot = a.slots[i % 4];
            const DetectedMarker* me = detectionOf(e, truth.markers[i]);
            const DetectedMarker* mr = detectionOf(r, truth.markers[i]);
            exact += me != nullptr && me->patternId == slot;
            robust += mr != nullptr && mr->patternId == slot;
            const DetectedMarker* ms = detectionOf(s, truth.markers[i]);
            softMatch += ms != nullptr && ms->patternId == slot;
            const DetectedMarker* mh = detectionOf(h, truth.markers[i]);
            sharpMatch += mh != nullptr && mh->patternId == slot;
        }
        for (const DetectedMarker& m : r) {
            if (m.patternId < 0) continue;
            bool right = false;
            for (int i = 0; i < truth.markerCount; i++) {
                const DetectedMarker* at = detectionOf(r, truth.markers[i]);
                right = right || (at == &m && m.patternId == a.slots[i % 4]);
            }
            wrong += !right;
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GE(robust, inView * 80 / 100) << robust << " of " << inView;
    EXPECT_GT(robust, exact + inView / 4) << "exact " << exact << ", robust " << robust;
    // Smoothed matching identifies small markers that sharp matching leaves unnamed.
    EXPECT_GT(softMatch, sharpMatch) << "without soft matching " << sharpMatch;
}

}  // namespace

namespace {

// A frame for the local threshold's references: one blurred marker among clutter, two
// shadows and strong noise, cut to width x height (at most 640 x 480).
std::vector<uint8_t> thresholdFrame(int width, int height)
{
    static SynthScene scene;
    singleMarker(1, 90.0, 1.0, &scene);
    scene.clutter = 1;
    scene.shadowCount = 2;
    scene.noiseSigma = 8.0;
    SynthImage frame;
    EXPECT_EQ(synthRender(&scene, &frame, nullptr), 0);
    std::vector<uint8_t> cut(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; y++)
        std::memcpy(&cut[static_cast<size_t>(y) * width * 4],
                    &frame.pixels[static_cast<size_t>(y) * frame.width * 4],
                    static_cast<size_t>(width) * 4);
    return cut;
}

// Grey sums (blue + green + red) over rectangles of a frame, from an integral image.
struct GreySums {
    int w, h;
    const uint8_t* pixels;
    std::vector<int64_t> integral;
    GreySums(const std::vector<uint8_t>& frame, int width, int height)
        : w(width), h(height), pixels(frame.data()),
          integral(static_cast<size_t>(width + 1) * (height + 1), 0)
    {
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                integral[(y + 1) * (w + 1) + x + 1] = grey(x, y) + integral[y * (w + 1) + x + 1] +
                                                      integral[(y + 1) * (w + 1) + x] -
                                                      integral[y * (w + 1) + x];
    }
    int64_t grey(int x, int y) const
    {
        const uint8_t* p = pixels + (static_cast<size_t>(y) * w + x) * 4;
        return int64_t{p[0]} + p[1] + p[2];
    }
    // Sum over x0 ... x1, y0 ... y1 (inclusive).
    int64_t sum(int x0, int x1, int y0, int y1) const
    {
        return integral[(y1 + 1) * (w + 1) + x1 + 1] - integral[y0 * (w + 1) + x1 + 1] -
               integral[(y1 + 1) * (w + 1) + x0] + integral[y0 * (w + 1) + x0];
    }
};

// The window a reference takes for pixel (x, y): columns x0 ... x1, rows y0 ... y1.
struct Window {
    int x0, x1, y0, y1;
};

// The local threshold (offset 3, 12 %) with cells or without, windows of 15, 45 and 151
// px, with and without a ceiling, plain and wide instructions, labelled on a frame
// width x height: every inner pixel is marked dark exactly when its grey level lies
// below the mean over windowOf(x, y, window) by the rule, and, with a ceiling, at most
// at it; and the rule marks a fair share dark.
template <typename WindowOf>
void expectLocalRule(int w, int h, int cells, WindowOf windowOf)
{
    const std::vector<uint8_t> frame = thresholdFrame(w, h);
    const GreySums g(frame, w, h);
    static MarkWideWork work;
    for (const int window : {15, 45, 151})
        for (const int ceiling : {0, 90})
            for (const int level : {0, 2}) {
                MarkOptions o = markDefaultOptions();
                o.localThreshold = 1;
                o.localCells = cells;
                o.localWindow = window;
                o.localOffset = 3;
                o.localPercent = 12;
                o.localCeiling = ceiling;
                MarkWideSettings settings = markWideSettingsOf(o, w, h);
                settings.simdLevel = level;
                ASSERT_GE(markWideFindSquares(&work, frame.data(), w, h, settings), 0);
                long differ = 0, dark = 0;
                for (int y = 1; y < h - 1; y++)
                    for (int x = 1; x < w - 1; x++) {
                        const Window b = windowOf(x, y, window);
                        const int64_t n = int64_t{b.x1 - b.x0 + 1} * (b.y1 - b.y0 + 1);
                        const int64_t v = g.grey(x, y);
                        const bool plain = 100 * (v + 9) * n < 88 * g.sum(b.x0, b.x1, b.y0, b.y1) &&
                                           (ceiling == 0 || v <= 3 * ceiling);
                        differ +=
                            plain != (markWideLabelAt(&work, static_cast<int64_t>(y) * w + x) > 0);
                        dark += plain;
                    }
                EXPECT_EQ(differ, 0)
                    << "window " << window << " ceiling " << ceiling << " instructions " << level;
                EXPECT_GT(dark, w * h / 50) << "window " << window << " ceiling " << ceiling;
            }
}

// The local threshold against a plain reference: the window mean from a full integral
// image, clipped at the frame's edges, compared pixel by pixel with what the labeling
// marked dark. Windows small enough for the eight-at-a-time path and one that is not.
TEST(DetectRobust, LocalThresholdMarksExactlyThePlainRule)
{
    const int w = 640, h = 480;
    expectLocalRule(w, h, 0, [&](int x, int y, int window) {
        const int r = window / 2;
        return Window{std::max(x - r, 0), std::min(x + r, w - 1), std::max(y - r, 0),
                      std::min(y + r, h - 1)};
    });
}

// Window sums where a row's sum across the window is largest: white paper (765 per
// pixel) with black blocks and grey bars, windows whose row sums just fit 16 bits (85
// px: 65,025) and just do not (87 px), on frames shorter than those windows and with
// widths that leave a few pixels past the last group of eight or sixteen (or hold none).
TEST(DetectRobust, LocalThresholdIsExactOnWhitePaperWithWideWindows)
{
    static MarkWideWork work;
    for (const int w : {203, 70, 13})
        for (const int h : {40, 101}) {
            std::vector<uint8_t> frame(static_cast<size_t>(w) * h * 4, 255);
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++) {
                    uint8_t* p = &frame[(static_cast<size_t>(y) * w + x) * 4];
                    if (x % 23 < 6 && y % 17 < 6) p[0] = p[1] = p[2] = 0;
                    if (x % 31 == 9) p[0] = p[1] = p[2] = static_cast<uint8_t>(4 * (y % 50) + 30);
                }
            const GreySums g(frame, w, h);
            for (const int window : {15, 85, 87})
                for (const int level : {0, 2}) {
                    MarkOptions o = markDefaultOptions();
                    o.localThreshold = 1;
                    o.localWindow = window;
                    o.localOffset = 3;
                    o.localPercent = 12;
                    MarkWideSettings settings = markWideSettingsOf(o, w, h);
                    settings.simdLevel = level;
                    ASSERT_GE(markWideFindSquares(&work, frame.data(), w, h, settings), 0);
                    const int r = window / 2;
                    long differ = 0, dark = 0;
                    for (int y = 1; y < h - 1; y++)
                        for (int x = 1; x < w - 1; x++) {
                            const int x0 = std::max(x - r, 0), x1 = std::min(x + r, w - 1);
                            const int y0 = std::max(y - r, 0), y1 = std::min(y + r, h - 1);
                            const int64_t n = int64_t{x1 - x0 + 1} * (y1 - y0 + 1);
                            const bool plain =
                                100 * (g.grey(x, y) + 9) * n < 88 * g.sum(x0, x1, y0, y1);
                            differ += plain !=
                                      (markWideLabelAt(&work, static_cast<int64_t>(y) * w + x) > 0);
                            dark += plain;
                        }
                    EXPECT_EQ(differ, 0)
                        << w << " x " << h << ", window " << window << ", instructions " << level;
                    EXPECT_GT(dark, w * h / 20) << w << " x " << h << ", window " << window;
                }
        }
}

// The local mean from cells against the same reference at cell granularity: the
// (2k + 1) x (2k + 1) cells of 4 x 4 pixels around the pixel's cell, k = window / 8, cut
// at the frame's edges, on a frame whose last column and row of cells are partly
// outside it.
TEST(DetectRobust, LocalCellsMarkExactlyTheCellRule)
{
    const int w = 637, h = 477;
    const int across = (w + 3) / 4, down = (h + 3) / 4;
    expectLocalRule(w, h, 1, [&](int x, int y, int window) {
        const int k = window / 8;
        const int i0 = std::max(x / 4 - k, 0), i1 = std::min(x / 4 + k, across - 1);
        const int j0 = std::max(y / 4 - k, 0), j1 = std::min(y / 4 + k, down - 1);
        return Window{4 * i0, std::min(4 * i1 + 3, w - 1), 4 * j0, std::min(4 * j1 + 3, h - 1)};
    });
}

// On the blurred busy desk the local threshold keeps every stroke of lit print apart,
// and the regions to trace are mostly print; with the preset's ceiling lit print that
// blur lightened past it is left out (the four markers are still named:
// DetectSecond.PresetNamesOnlyTheFourMarkersOnBusyDesks), with cells too.
TEST(DetectRobust, CeilingLeavesBlurredPrintOut)
{
    static SynthScene scene;
    ASSERT_EQ(synthBusyScene(640, 480, 1, shippedMarkers().list, 4, &scene), 0);
    SynthImage frame;
    ASSERT_EQ(synthRender(&scene, &frame, nullptr), 0);
    static MarkWideWork work;
    auto sized = [&](int ceiling, int cells) {
        MarkOptions o = markRobustOptions();
        o.localCeiling = ceiling;
        o.localCells = cells;
        EXPECT_GE(markWideFindSquares(&work, frame.pixels.data(), 640, 480,
                                      markWideSettingsOf(o, 640, 480)),
                  0);
        return work.sized;
    };
    for (int cells : {0, 1}) {
        const int without = sized(0, cells), with = sized(markRobustOptions().localCeiling, cells);
        EXPECT_GT(without, 150) << "cells " << cells;
        EXPECT_LT(with, without / 3) << "cells " << cells;
    }
}

}  // namespace
