// Hard light in the scene renderer: shadows, white balance, dark squares and JPEG
// compression change the frame as stated, the same scene gives the same bytes, and
// out-of-range settings are refused.
#include "synth/synth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {

SynthScene plainScene()
{
    CameraParam cam;
    synthCameraMake(320, 240, 300.0, 0.0, &cam);
    SynthScene scene;
    synthSceneInit(&cam, &scene);
    scene.background[0] = scene.background[1] = scene.background[2] = 200;
    return scene;
}

double meanChannel(const SynthImage& f, int c)
{
    double sum = 0.0;
    for (size_t i = 0; i < f.pixels.size() / 4; i++) sum += f.pixels[i * 4 + c];
    return sum / (f.pixels.size() / 4);
}

TEST(SynthHardLight, ShadowsAndWhiteBalanceScaleTheLight)
{
    static SynthScene scene = plainScene();
    SynthImage plain, lit;
    ASSERT_EQ(synthRender(&scene, &plain, nullptr), 0);
    scene.whiteBalance[0] = 0.5;
    scene.whiteBalance[2] = 1.2;
    ASSERT_EQ(synthRender(&scene, &lit, nullptr), 0);
    EXPECT_NEAR(meanChannel(lit, 0), 100.0, 0.6);
    EXPECT_NEAR(meanChannel(lit, 1), 200.0, 0.6);
    EXPECT_NEAR(meanChannel(lit, 2), 240.0, 0.6);

    scene.whiteBalance[0] = scene.whiteBalance[2] = 1.0;
    scene.shadowCount = 3;
    scene.shadowDepth = 0.5;
    scene.shadowSoftness = 0.0;
    SynthImage shaded;
    ASSERT_EQ(synthRender(&scene, &shaded, nullptr), 0);
    // Hard-edged shadows: every pixel is lit, or darkened by 0.5 per shadow over it.
    int lit200 = 0, half = 0, other = 0;
    for (size_t i = 0; i < shaded.pixels.size() / 4; i++) {
        const int v = shaded.pixels[i * 4 + 1];
        lit200 += v == 200;
        half += v == 100 || v == 50 || v == 25;
        other += v != 200 && v != 100 && v != 50 && v != 25;
    }
    EXPECT_GT(lit200, 0);
    EXPECT_GT(half, 0);
    EXPECT_EQ(other, 0);
}

TEST(SynthHardLight, DarkSquaresAndJpegAreDeterministic)
{
    static SynthScene scene = plainScene();
    scene.darkSquares = 40;
    scene.noiseSigma = 4.0;
    SynthImage raw, a, b;
    ASSERT_EQ(synthRender(&scene, &raw, nullptr), 0);
    int dark = 0;
    for (size_t i = 0; i < raw.pixels.size() / 4; i++) dark += raw.pixels[i * 4] < 120;
    EXPECT_GT(dark, 320 * 240 / 20) << "40 dark squares cover a good part of the frame";
    scene.jpegQuality = 75;
    ASSERT_EQ(synthRender(&scene, &a, nullptr), 0);
    ASSERT_EQ(synthRender(&scene, &b, nullptr), 0);
    EXPECT_EQ(a.pixels, b.pixels);
    EXPECT_NE(a.pixels, raw.pixels);
    double diff = 0.0;
    for (size_t i = 0; i < a.pixels.size(); i++) diff += std::abs(a.pixels[i] - raw.pixels[i]);
    EXPECT_LT(diff / a.pixels.size(), 6.0) << "compression should stay close to the picture";
}

TEST(SynthHardLight, OutOfRangeSettingsAreRefused)
{
    SynthImage frame;
    for (int k = 0; k < 5; k++) {
        SynthScene scene = plainScene();
        if (k == 0) scene.shadowCount = kSynthMaxShadows + 1;
        if (k == 1) scene.shadowDepth = 0.96;
        if (k == 2) scene.whiteBalance[1] = 0.1;
        if (k == 3) scene.darkSquares = -1;
        if (k == 4) scene.jpegQuality = 101;
        EXPECT_EQ(synthRender(&scene, &frame, nullptr), -1) << "setting " << k;
    }
    const SynthImage* none[1] = {nullptr};
    SynthScene scene;
    EXPECT_EQ(synthHardLightScene(0, none, 1, &scene), -1);
}

TEST(SynthHardLight, TheFixedSetHasItsStatedMarkers)
{
    SynthImage picture;
    ASSERT_EQ(synthPngRead((std::string(TARLIM_SOURCE_DIR) + "/data/markers/arrow.png").c_str(),
                           &picture),
              0);
    const SynthImage* pictures[1] = {&picture};
    static SynthScene scene;
    int fewest = 100, most = 0;
    for (int i = 0; i < kSynthHardLightScenes; i++) {
        ASSERT_EQ(synthHardLightScene(i, pictures, 1, &scene), 0);
        fewest = std::min(fewest, scene.markerCount);
        most = std::max(most, scene.markerCount);
        EXPECT_GE(scene.darkSquares, 40);
        EXPECT_GT(scene.jpegQuality, 0);
    }
    EXPECT_EQ(fewest, 8);
    EXPECT_GE(most, 55);
    EXPECT_EQ(synthHardLightScene(kSynthHardLightScenes, pictures, 1, &scene), -1);
}

}  // namespace
