// The busy desk scenes: the same bytes every time, about a third of the pixels dark at
// every frame size, and the four markers still found and told apart among the clutter.
#include "synth/synth.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "camera/camera.h"
#include "detect/detect.h"
#include "pattern/pattern.h"

namespace {

struct Markers {
    SynthImage pictures[4];
    const SynthImage* list[4] = {&pictures[0], &pictures[1], &pictures[2], &pictures[3]};
    int slots[4] = {-1, -1, -1, -1};
    bool ok = true;
    Markers()
    {
        const char* names[4] = {"arrow", "bars", "key", "moon"};
        for (int i = 0; i < 4; i++) {
            const std::string base = std::string(TARLIM_SOURCE_DIR) + "/data/markers/" + names[i];
            ok = ok && synthPngRead((base + ".png").c_str(), &pictures[i]) == 0;
            slots[i] = patternLoad((base + ".pat").c_str());
            ok = ok && slots[i] >= 0;
        }
    }
};

const Markers& markers()
{
    static Markers m;
    return m;
}

double darkPercent(const SynthImage& frame, int threshold)
{
    long dark = 0;
    const size_t n = frame.pixels.size() / 4;
    for (size_t i = 0; i < n; i++)
        dark += frame.pixels[i * 4] + frame.pixels[i * 4 + 1] + frame.pixels[i * 4 + 2] <=
                3 * threshold;
    return 100.0 * dark / n;
}

TEST(SynthBusy, SameBytesEveryTimeAndTheSeedChangesTheDesk)
{
    const Markers& m = markers();
    ASSERT_TRUE(m.ok);
    static SynthScene scene;
    ASSERT_EQ(synthBusyScene(640, 480, 1, m.list, 4, &scene), 0);
    SynthImage a, b, other;
    ASSERT_EQ(synthRender(&scene, &a, nullptr), 0);
    ASSERT_EQ(synthBusyScene(640, 480, 1, m.list, 4, &scene), 0);
    ASSERT_EQ(synthRender(&scene, &b, nullptr), 0);
    EXPECT_TRUE(a.pixels == b.pixels);
    scene.busySeed = 2;
    ASSERT_EQ(synthRender(&scene, &other, nullptr), 0);
    EXPECT_FALSE(a.pixels == other.pixels);
    // The desk is drawn only on request.
    scene.busy = 0;
    ASSERT_EQ(synthRender(&scene, &other, nullptr), 0);
    EXPECT_LT(darkPercent(other, 100), 15.0) << "the markers alone";
}

// The desk scales with the frame: 30 ... 40 % dark at every size, sharp or degraded,
// and the two 16:9 sizes show the same desk to within a percent when sharp (blur of a
// fixed width thins the smaller frame's print more).
TEST(SynthBusy, AboutAThirdOfThePixelsAreDarkAtEverySize)
{
    const Markers& m = markers();
    ASSERT_TRUE(m.ok);
    const int sizes[3][2] = {{640, 480}, {1280, 720}, {1920, 1080}};
    double share[3][2];
    static SynthScene scene;
    for (int s = 0; s < 3; s++) {
        for (int degrade = 0; degrade < 2; degrade++) {
            ASSERT_EQ(synthBusyScene(sizes[s][0], sizes[s][1], degrade, m.list, 4, &scene), 0);
            SynthImage frame;
            ASSERT_EQ(synthRender(&scene, &frame, nullptr), 0);
            ASSERT_EQ(frame.width, sizes[s][0]);
            share[s][degrade] = darkPercent(frame, 100);
            EXPECT_GE(share[s][degrade], 30.0) << sizes[s][0] << " degrade " << degrade;
            EXPECT_LE(share[s][degrade], 40.0) << sizes[s][0] << " degrade " << degrade;
        }
    }
    EXPECT_NEAR(share[1][0], share[2][0], 1.0);
}

TEST(SynthBusy, AllFourMarkersAreFoundAndIdentified)
{
    const Markers& m = markers();
    ASSERT_TRUE(m.ok);
    static SynthScene scene;
    for (int degrade = 0; degrade < 2; degrade++) {
        ASSERT_EQ(synthBusyScene(640, 480, degrade, m.list, 4, &scene), 0);
        SynthImage frame;
        SynthTruth truth;
        ASSERT_EQ(synthRender(&scene, &frame, &truth), 0);
        camParamInit(&scene.camera);
        markDetectorResetHistory(markDetectorDefault());
        DetectedMarker* list = nullptr;
        int32_t count = 0;
        testing::internal::CaptureStdout();
        ASSERT_EQ(markDetect(frame.pixels.data(), 100, &list, &count), 0);
        testing::internal::GetCapturedStdout();
        const MarkStats& stats = markDetectorDefault()->stats;
        EXPECT_EQ(stats.candidatesFull, 0) << "the candidate limit cut the search short";
        EXPECT_GT(stats.regions, 500) << "a busy desk gives the labeling work";
        for (int k = 0; k < 4; k++) {
            ASSERT_EQ(truth.markers[k].inFrame, 1);
            // The detection nearest the truth's centre must carry marker k's pattern, its
            // corners on the truth's to a pixel.
            double cx = 0.0, cy = 0.0;
            for (const auto& c : truth.markers[k].idealCorners) {
                cx += c[0] / 4;
                cy += c[1] / 4;
            }
            int best = -1;
            double bestDistance = 1e9;
            for (int i = 0; i < count; i++) {
                double x = 0.0, y = 0.0;
                for (const auto& c : list[i].cornerPoints) {
                    x += c[0] / 4;
                    y += c[1] / 4;
                }
                const double d = std::hypot(x - cx, y - cy);
                if (d < bestDistance) {
                    bestDistance = d;
                    best = i;
                }
            }
            ASSERT_GE(best, 0) << "marker " << k << " degrade " << degrade;
            EXPECT_LT(bestDistance, 1.5) << "marker " << k << " degrade " << degrade;
            EXPECT_EQ(list[best].patternId, m.slots[k]) << "marker " << k << " degrade " << degrade;
            const int d = list[best].direction;
            for (int c = 0; c < 4 && d >= 0; c++) {
                const double* seen = list[best].cornerPoints[(c + 4 - d) % 4];
                EXPECT_LT(std::hypot(seen[0] - truth.markers[k].idealCorners[c][0],
                                     seen[1] - truth.markers[k].idealCorners[c][1]),
                          1.5)
                    << "marker " << k << " corner " << c << " degrade " << degrade;
            }
        }
    }
}

TEST(SynthBusy, UnusableArgumentsLeaveTheSceneAlone)
{
    const Markers& m = markers();
    static SynthScene scene, before;
    synthSceneInit(&scene.camera, &scene);
    scene.markerCount = 7;
    std::memcpy(static_cast<void*>(&before), &scene, sizeof scene);
    const SynthImage* none[1] = {nullptr};
    EXPECT_EQ(synthBusyScene(100, 480, 0, m.list, 4, &scene), -1);
    EXPECT_EQ(synthBusyScene(640, 9000, 0, m.list, 4, &scene), -1);
    EXPECT_EQ(synthBusyScene(640, 480, 0, none, 1, &scene), -1);
    EXPECT_EQ(synthBusyScene(640, 480, 0, m.list, 0, &scene), -1);
    EXPECT_EQ(std::memcmp(static_cast<void*>(&before), &scene, sizeof scene), 0);
}

}  // namespace
