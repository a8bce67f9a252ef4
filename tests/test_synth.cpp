// Scene renderer: geometry against the camera model computed by hand, anti-aliasing,
// lens mapping, options, determinism, PNG round trips, invalid scenes.
#include "synth/synth.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

constexpr int kW = 320, kH = 240;
constexpr double kFocal = 400.0;

double grey(const SynthImage& f, int x, int y)
{
    const std::uint8_t* p = &f.pixels[(static_cast<size_t>(y) * f.width + x) * 4];
    return (p[0] + p[1] + p[2]) / 3.0;
}

SynthImage whitePicture()
{
    SynthImage pic;
    synthImageMake(8, 8, 255, 255, 255, &pic);
    return pic;
}

// One marker of side 1 facing the camera at distance z, centred on the optical axis.
SynthScene oneMarker(const SynthImage* pic, double distortionF, double z)
{
    CameraParam cam;
    synthCameraMake(kW, kH, kFocal, distortionF, &cam);
    SynthScene scene;
    synthSceneInit(&cam, &scene);
    scene.background[0] = scene.background[1] = scene.background[2] = 128;
    scene.markerCount = 1;
    scene.markers[0].picture = pic;
    scene.markers[0].side = 1.0;
    synthPoseMake(0, 0, 0, 0, 0, z, scene.markers[0].pose);
    return scene;
}

std::string tempPath(const char* name)
{
    return std::string("/tmp/tarlim_test_synth_") + std::to_string(getpid()) + "_" + name;
}

}  // namespace

// ---- Geometry --------------------------------------------------------------------------

TEST(SynthGeometry, CornersFollowThePinholeProjection)
{
    SynthImage pic = whitePicture();
    SynthScene scene = oneMarker(&pic, 0.0, 4.0);
    SynthImage frame;
    SynthTruth truth;
    ASSERT_EQ(synthRender(&scene, &frame, &truth), 0);
    ASSERT_EQ(truth.markerCount, 1);
    const double cx = (kW - 1) / 2.0, cy = (kH - 1) / 2.0, h = 0.5 * kFocal / 4.0;  // 50 px
    // c0 (-w/2, +w/2) is the picture's top-left: image left and up; then clockwise.
    const double expect[4][2] = {
        {cx - h, cy - h}, {cx + h, cy - h}, {cx + h, cy + h}, {cx - h, cy + h}};
    for (int k = 0; k < 4; k++) {
        EXPECT_NEAR(truth.markers[0].idealCorners[k][0], expect[k][0], 1e-9) << "corner " << k;
        EXPECT_NEAR(truth.markers[0].idealCorners[k][1], expect[k][1], 1e-9) << "corner " << k;
        EXPECT_NEAR(truth.markers[0].observedCorners[k][0], expect[k][0], 1e-9) << "corner " << k;
    }
    EXPECT_EQ(truth.markers[0].facing, 1);
    EXPECT_EQ(truth.markers[0].inFrame, 1);
    EXPECT_EQ(truth.markers[0].occluded, 0);
}

TEST(SynthGeometry, SpinTurnsCounterclockwiseAsSeen)
{
    double pose[3][4];
    synthPoseMake(90, 0, 0, 0, 0, 5, pose);
    // Marker +x now points up the image (camera -y); marker +y points image left.
    EXPECT_NEAR(pose[0][0], 0.0, 1e-12);
    EXPECT_NEAR(pose[1][0], -1.0, 1e-12);
    EXPECT_NEAR(pose[0][1], -1.0, 1e-12);
    EXPECT_NEAR(pose[2][2], -1.0, 1e-12);
    EXPECT_EQ(pose[2][3], 5.0);
    // A tilt keeps R orthonormal and moves the normal off the optical axis.
    synthPoseMake(20, 50, 30, 1, 2, 9, pose);
    for (int a = 0; a < 3; a++)
        for (int b = 0; b < 3; b++) {
            double dot = 0;
            for (int r = 0; r < 3; r++) dot += pose[r][a] * pose[r][b];
            EXPECT_NEAR(dot, a == b ? 1.0 : 0.0, 1e-12) << a << "," << b;
        }
    EXPECT_NEAR(-pose[2][2], std::cos(50 * M_PI / 180), 1e-12);
}

// A row through the middle of a fronto-parallel marker: the border is side/4 wide, and
// anti-aliased pixels carry the covered fraction, so the summed darkness of the left
// border run equals its width in pixels.
TEST(SynthGeometry, BorderWidthAndAntiAliasing)
{
    SynthImage pic = whitePicture();
    SynthScene scene = oneMarker(&pic, 0.0, 3.3);  // half side 60.6 px: edges off-grid
    scene.supersample = 8;
    SynthImage frame;
    SynthTruth truth;
    ASSERT_EQ(synthRender(&scene, &frame, &truth), 0);
    const int y = kH / 2;
    const double ink = grey(frame, static_cast<int>(truth.markers[0].idealCorners[0][0]) + 5, y);
    const double paper = grey(frame, static_cast<int>(truth.markers[0].idealCorners[0][0]) - 5, y);
    ASSERT_LT(ink, 60.0);
    ASSERT_GT(paper, 200.0);
    const double left = truth.markers[0].idealCorners[0][0];
    const double right = truth.markers[0].idealCorners[1][0];
    double dark = 0.0;
    int partial = 0;
    for (int x = static_cast<int>(left) - 3; x < static_cast<int>((left + right) / 2); x++) {
        const double v = grey(frame, x, y);
        dark += (paper - v) / (paper - ink);
        if (v > ink + 5 && v < paper - 5) partial++;
    }
    // Each of the two edges is quantised to half a sub-sample step at worst.
    EXPECT_NEAR(dark, (right - left) / 4.0, 1.0 / scene.supersample);
    EXPECT_GE(partial, 2) << "edges should be anti-aliased";
}

// Strong barrel distortion moves the corners inwards by many pixels; the frame must
// show the border at the observed corners, not at the ideal ones.
TEST(SynthGeometry, LensMapsCornersToObservedPositions)
{
    SynthImage pic = whitePicture();
    SynthScene scene = oneMarker(&pic, 0.0, 2.0);
    CameraParam cam;
    synthCameraMake(kW, kH, kFocal, 400.0, &cam);
    scene.camera = cam;
    SynthImage frame;
    SynthTruth truth;
    ASSERT_EQ(synthRender(&scene, &frame, &truth), 0);
    const SynthMarkerTruth& t = truth.markers[0];
    const double cx = (kW - 1) / 2.0, cy = (kH - 1) / 2.0;
    for (int k = 0; k < 4; k++) {
        const double ox = t.observedCorners[k][0], oy = t.observedCorners[k][1];
        const double shift = std::hypot(t.idealCorners[k][0] - ox, t.idealCorners[k][1] - oy);
        ASSERT_GT(shift, 5.0) << "corner " << k << " hardly distorted";
        // Two pixels towards and away from the centre, diagonally.
        const double dx = (cx - ox) / std::hypot(cx - ox, cy - oy),
                     dy = (cy - oy) / std::hypot(cx - ox, cy - oy);
        const double in = grey(frame, static_cast<int>(std::lround(ox + 3 * dx)),
                               static_cast<int>(std::lround(oy + 3 * dy)));
        const double out = grey(frame, static_cast<int>(std::lround(ox - 3 * dx)),
                                static_cast<int>(std::lround(oy - 3 * dy)));
        EXPECT_LT(in, 60.0) << "corner " << k << " at (" << ox << ", " << oy << ")";
        EXPECT_GT(out, 200.0) << "corner " << k << " at (" << ox << ", " << oy << ")";
        // The observed corner maps back to the ideal one through the lens model.
        double ix, iy;
        camObservToIdeal(cam.distortion, ox, oy, &ix, &iy);
        EXPECT_NEAR(ix, t.idealCorners[k][0], 1e-3);
        EXPECT_NEAR(iy, t.idealCorners[k][1], 1e-3);
    }
}

// The picture's top-left texel lands at the marker's c0 corner side, upright.
TEST(SynthGeometry, PictureIsUprightInTheCentralHalf)
{
    SynthImage pic = whitePicture();
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 4; x++) {
            std::uint8_t* p = &pic.pixels[(y * 8 + x) * 4];
            p[0] = 255;  // blue top-left quadrant
            p[1] = p[2] = 0;
        }
    SynthScene scene = oneMarker(&pic, 0.0, 2.0);  // half side 100 px
    SynthImage frame;
    ASSERT_EQ(synthRender(&scene, &frame, nullptr), 0);
    const int cx = kW / 2, cy = kH / 2;
    auto blueish = [&](int x, int y) {
        const std::uint8_t* p = &frame.pixels[(static_cast<size_t>(y) * kW + x) * 4];
        return p[0] > 150 && p[2] < 80;
    };
    EXPECT_TRUE(blueish(cx - 25, cy - 25));
    EXPECT_FALSE(blueish(cx + 25, cy - 25));
    EXPECT_FALSE(blueish(cx - 25, cy + 25));
    EXPECT_FALSE(blueish(cx - 60, cy - 60)) << "border, not picture";
}

TEST(SynthGeometry, NearerMarkerWinsAndBackFacingIsNotDrawn)
{
    SynthImage pic = whitePicture();
    SynthScene scene = oneMarker(&pic, 0.0, 4.0);
    scene.markerCount = 2;
    scene.markers[1] = scene.markers[0];
    synthPoseMake(0, 0, 0, 0.45, 0, 3.0, scene.markers[1].pose);  // nearer, overlapping
    SynthImage frame;
    SynthTruth truth;
    ASSERT_EQ(synthRender(&scene, &frame, &truth), 0);
    EXPECT_EQ(truth.markers[0].occluded, 1);
    EXPECT_EQ(truth.markers[1].occluded, 0);
    // Seen from behind: turned by 180 degrees about the vertical axis.
    synthPoseMake(0, 180, 90, 0, 0, 4.0, scene.markers[0].pose);
    scene.markerCount = 1;
    ASSERT_EQ(synthRender(&scene, &frame, &truth), 0);
    EXPECT_EQ(truth.markers[0].facing, 0);
    EXPECT_EQ(truth.markers[0].inFrame, 0);
    EXPECT_NEAR(grey(frame, kW / 2 - 40, kH / 2), 128.0, 0.01);
}

// ---- Options ---------------------------------------------------------------------------

TEST(SynthOptions, LightGradientDarkensAlongItsDirection)
{
    SynthImage pic = whitePicture();
    SynthScene scene = oneMarker(&pic, 0.0, 4.0);
    scene.markerCount = 0;
    scene.lightGradient = 0.5;
    scene.lightAngleDeg = 0.0;
    SynthImage frame;
    ASSERT_EQ(synthRender(&scene, &frame, nullptr), 0);
    EXPECT_NEAR(grey(frame, 0, 10), 128.0, 0.5);
    EXPECT_NEAR(grey(frame, kW - 1, 10), 64.0, 0.5);
    EXPECT_NEAR(grey(frame, kW / 2, 100), 128.0 * (1.0 - 0.5 * (kW / 2) / (kW - 1.0)), 0.5);
}

TEST(SynthOptions, NoiseHasTheRequestedSpreadAndBlurSpreadsEdges)
{
    SynthImage pic = whitePicture();
    SynthScene scene = oneMarker(&pic, 0.0, 4.0);
    scene.markerCount = 0;
    scene.noiseSigma = 6.0;
    SynthImage frame;
    ASSERT_EQ(synthRender(&scene, &frame, nullptr), 0);
    double sum = 0, sum2 = 0;
    const size_t n = static_cast<size_t>(kW) * kH;
    for (size_t i = 0; i < n; i++) {
        const double v = frame.pixels[i * 4 + 1] - 128.0;
        sum += v;
        sum2 += v * v;
    }
    EXPECT_NEAR(sum / n, 0.0, 0.1);
    EXPECT_NEAR(std::sqrt(sum2 / n), 6.0, 0.3);

    SynthScene sharp = oneMarker(&pic, 0.0, 4.0);
    SynthScene blurred = sharp;
    blurred.blurSigma = 2.0;
    SynthImage a, b;
    SynthTruth truth;
    ASSERT_EQ(synthRender(&sharp, &a, &truth), 0);
    ASSERT_EQ(synthRender(&blurred, &b, nullptr), 0);
    // Count the grey (neither ink nor paper) pixels across the left outer edge.
    const int edge = static_cast<int>(truth.markers[0].idealCorners[0][0]);
    int greyA = 0, greyB = 0;
    for (int x = edge - 8; x <= edge + 8; x++) {
        greyA += grey(a, x, kH / 2) > 40 && grey(a, x, kH / 2) < 220;
        greyB += grey(b, x, kH / 2) > 40 && grey(b, x, kH / 2) < 220;
    }
    EXPECT_LE(greyA, 1);
    EXPECT_GE(greyB, 4);
}

TEST(SynthOptions, SeedsMakeFramesRepeatable)
{
    SynthImage pic = whitePicture();
    SynthScene scene = oneMarker(&pic, 80.0, 4.0);
    scene.clutter = 1;
    scene.clutterSeed = 5;
    scene.noiseSigma = 4.0;
    scene.noiseSeed = 9;
    scene.blurSigma = 0.7;
    SynthImage a, b, c, d;
    ASSERT_EQ(synthRender(&scene, &a, nullptr), 0);
    ASSERT_EQ(synthRender(&scene, &b, nullptr), 0);
    EXPECT_TRUE(a.pixels == b.pixels);
    scene.noiseSeed = 10;
    ASSERT_EQ(synthRender(&scene, &c, nullptr), 0);
    EXPECT_FALSE(a.pixels == c.pixels);
    scene.noiseSeed = 9;
    scene.clutterSeed = 6;
    ASSERT_EQ(synthRender(&scene, &d, nullptr), 0);
    EXPECT_FALSE(a.pixels == d.pixels);
    // Clutter really covers the plain background with shapes.
    scene.noiseSigma = 0.0;
    scene.blurSigma = 0.0;
    scene.markerCount = 0;
    ASSERT_EQ(synthRender(&scene, &d, nullptr), 0);
    int plain = 0;
    for (int y = 0; y < kH; y++)
        for (int x = 0; x < kW; x++) plain += grey(d, x, y) == 128.0;
    EXPECT_LT(plain, kW * kH * 9 / 10);
}

TEST(SynthOptions, InvalidScenesFailAndLeaveTheFrame)
{
    SynthImage pic = whitePicture();
    SynthImage frame;
    synthImageMake(3, 2, 1, 2, 3, &frame);
    const auto before = frame.pixels;
    SynthScene scene = oneMarker(&pic, 0.0, 4.0);
    SynthScene bad = scene;
    bad.supersample = 0;
    EXPECT_EQ(synthRender(&bad, &frame, nullptr), -1);
    bad = scene;
    bad.supersample = 9;
    EXPECT_EQ(synthRender(&bad, &frame, nullptr), -1);
    bad = scene;
    bad.markerCount = kSynthMaxMarkers + 1;
    EXPECT_EQ(synthRender(&bad, &frame, nullptr), -1);
    bad = scene;
    bad.markers[0].picture = nullptr;
    EXPECT_EQ(synthRender(&bad, &frame, nullptr), -1);
    bad = scene;
    bad.markers[0].side = 0.0;
    EXPECT_EQ(synthRender(&bad, &frame, nullptr), -1);
    bad = scene;
    bad.markers[0].pose[0][3] = NAN;
    EXPECT_EQ(synthRender(&bad, &frame, nullptr), -1);
    bad = scene;
    bad.camera.width = 0;
    EXPECT_EQ(synthRender(&bad, &frame, nullptr), -1);
    bad = scene;
    bad.lightGradient = 1.5;
    EXPECT_EQ(synthRender(&bad, &frame, nullptr), -1);
    SynthImage wrong;
    synthImageMake(4, 4, 0, 0, 0, &wrong);
    wrong.pixels.pop_back();
    bad = scene;
    bad.markers[0].picture = &wrong;
    EXPECT_EQ(synthRender(&bad, &frame, nullptr), -1);
    EXPECT_EQ(frame.width, 3);
    EXPECT_TRUE(frame.pixels == before);
}

// ---- PNG -------------------------------------------------------------------------------

TEST(SynthPng, RoundTripsRgbaAndRgb)
{
    SynthImage image;
    ASSERT_EQ(synthImageMake(7, 5, 0, 0, 0, &image), 0);
    for (size_t i = 0; i < image.pixels.size(); i++)
        image.pixels[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const std::string rgba = tempPath("rgba.png"), rgb = tempPath("rgb.png");
    ASSERT_EQ(synthPngWrite(rgba.c_str(), &image, 1), 0);
    ASSERT_EQ(synthPngWrite(rgb.c_str(), &image, 0), 0);
    SynthImage back;
    ASSERT_EQ(synthPngRead(rgba.c_str(), &back), 0);
    EXPECT_EQ(back.width, 7);
    EXPECT_EQ(back.height, 5);
    EXPECT_TRUE(back.pixels == image.pixels);
    ASSERT_EQ(synthPngRead(rgb.c_str(), &back), 0);
    for (size_t i = 0; i < image.pixels.size(); i++)
        EXPECT_EQ(back.pixels[i], i % 4 == 3 ? 255 : image.pixels[i]) << "byte " << i;
    std::remove(rgba.c_str());
    std::remove(rgb.c_str());
}

TEST(SynthPng, BadFilesFailAndLeaveTheImage)
{
    SynthImage image;
    synthImageMake(2, 2, 9, 9, 9, &image);
    const auto before = image.pixels;
    EXPECT_EQ(synthPngRead("/nonexistent/tarlim.png", &image), -1);
    const std::string junk = tempPath("junk.png");
    std::FILE* f = std::fopen(junk.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("\x89PNG\r\n\x1a\n this is not a png at all", f);
    std::fclose(f);
    EXPECT_EQ(synthPngRead(junk.c_str(), &image), -1);
    std::remove(junk.c_str());
    EXPECT_EQ(image.width, 2);
    EXPECT_TRUE(image.pixels == before);
    SynthImage empty;
    EXPECT_EQ(synthPngWrite(junk.c_str(), &empty, 0), -1);
    EXPECT_EQ(synthPngWrite("/nonexistent/dir/x.png", &image, 0), -1);
}
