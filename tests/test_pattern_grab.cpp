// tarlim-pattern grab, run as a user runs it, on rendered photos and a rendered video of
// the shipped markers: a grabbed pattern recognises its marker under the light it was
// grabbed in better than the drawn one; the largest or the central square is chosen;
// the top of the image becomes the pattern's top.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "camera/camera.h"
#include "detect/detect.h"
#include "pattern/pattern.h"
#include "synth/synth.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;

const std::string kTools = std::string(TARLIM_BINARY_DIR) + "/tools/";
const std::string kMarkers = std::string(TARLIM_SOURCE_DIR) + "/data/markers/";
constexpr int kWidth = 640, kHeight = 480;
constexpr double kFocal = 600.0;

fs::path scratch(const std::string& name)
{
    const fs::path path =
        fs::temp_directory_path() / ("tarlim_test_grab_" + std::to_string(getpid())) / name;
    fs::create_directories(path.parent_path());
    return path;
}

support::CommandRun grab(const std::string& args)
{
    return support::run(kTools + "tarlim-pattern grab " + args);
}

SynthImage picture(const std::string& name)
{
    SynthImage pic;
    EXPECT_EQ(synthPngRead((kMarkers + name + ".png").c_str(), &pic), 0) << name;
    return pic;
}

// A scene of the camera with a warm colour cast (red up, blue down) and lens blur.
SynthScene castScene(const CameraParam& camera)
{
    SynthScene scene;
    synthSceneInit(&camera, &scene);
    scene.whiteBalance[0] = 0.7;   // blue
    scene.whiteBalance[2] = 1.25;  // red
    scene.blurSigma = 1.2;
    scene.noiseSigma = 2.0;
    return scene;
}

// Pose of a marker of side 1 at image position (u, v) pixels, `across` pixels wide.
void place(SynthMarker* m, double spin, double tilt, double u, double v, double across)
{
    const double z = kFocal / across;
    synthPoseMake(spin, tilt, 30.0, (u - (kWidth - 1) / 2.0) * z / kFocal,
                  (v - (kHeight - 1) / 2.0) * z / kFocal, z, m->pose);
}

// Best correlation of a sample with the orientations of one loaded slot, computed as
// patternMatch computes it.
double slotCorrelation(const uint8_t sample[kPatternValues], int slot, int* direction = nullptr)
{
    int sum = 0;
    for (int k = 0; k < kPatternValues; k++) sum += 255 - sample[k];
    const int mean = sum / kPatternValues;
    int v[kPatternValues];
    double norm = 0.0;
    for (int k = 0; k < kPatternValues; k++) {
        v[k] = 255 - sample[k] - mean;
        norm += static_cast<double>(v[k]) * v[k];
    }
    norm = std::sqrt(norm);
    double best = -1.0;
    for (int h = 0; h < kPatternOrientations; h++) {
        double dot = 0.0;
        for (int k = 0; k < kPatternValues; k++)
            dot += static_cast<double>(v[k]) * patternSlots[slot].values[h][k];
        const double c = dot / patternSlots[slot].power[h] / norm;
        if (c > best) {
            best = c;
            if (direction != nullptr) *direction = h;
        }
    }
    return best;
}

// Correlation of orientation ha of slot a with orientation hb of slot b.
double orientationCorrelation(int a, int ha, int b, int hb)
{
    double dot = 0.0;
    for (int k = 0; k < kPatternValues; k++)
        dot += static_cast<double>(patternSlots[a].values[ha][k]) * patternSlots[b].values[hb][k];
    return dot / patternSlots[a].power[ha] / patternSlots[b].power[hb];
}

// The one square of a frame, sampled as the detector samples it.
bool sampleOnlySquare(const SynthImage& frame, uint8_t sample[kPatternValues])
{
    int32_t regions = 0;
    int32_t *area = nullptr, *box = nullptr, *table = nullptr;
    double* centroid = nullptr;
    int16_t* labels = markLabel(frame.pixels.data(), 100, &regions, &area, &centroid, &box, &table);
    if (labels == nullptr) return false;
    SquareCandidate* candidates = nullptr;
    int32_t count = 0;
    markFindSquares(labels, regions, table, area, centroid, box, kMarkAreaMax, kMarkAreaMin,
                    kMarkSquareFactor, &candidates, &count);
    if (count != 1) return false;
    patternSample(frame.pixels.data(), candidates[0].pointX, candidates[0].pointY,
                  candidates[0].corners, sample);
    return true;
}

}  // namespace

// Grabbed from one photo under a colour cast and blur, the pattern identifies the marker
// on other views under the same light with a higher confidence than the drawn pattern;
// and a video of three such frames gives a pattern at least as good.
TEST(PatternGrab, GrabbedPatternBeatsTheDrawnOneUnderItsLight)
{
    CameraParam camera;
    ASSERT_EQ(synthCameraMake(kWidth, kHeight, kFocal, 0.0, &camera), 0);
    const SynthImage arrow = picture("arrow");
    SynthScene scene = castScene(camera);
    scene.markerCount = 1;
    scene.markers[0].picture = &arrow;
    SynthImage frame;
    const fs::path dir = scratch("video");
    fs::create_directories(dir);
    for (int i = 0; i < 3; i++) {
        place(&scene.markers[0], -4.0 + 4 * i, 10.0, 300 + 20 * i, 250, 160);
        scene.noiseSeed = 10 + i;
        ASSERT_EQ(synthRender(&scene, &frame, nullptr), 0);
        char name[16];
        std::snprintf(name, sizeof name, "%04d.png", i);
        ASSERT_EQ(synthPngWrite((dir / name).c_str(), &frame, 0), 0);
    }
    const fs::path photoPat = scratch("photo.pat"), videoPat = scratch("video.pat"),
                   robustPat = scratch("robust.pat");
    const support::CommandRun photo =
        grab((dir / "0000.png").string() + " -o " + photoPat.string() + " --compare " + kMarkers +
             "arrow.pat " + kMarkers + "moon.pat");
    ASSERT_EQ(photo.status, 0) << photo.err;
    EXPECT_NE(photo.out.find("1 square found; using the largest"), std::string::npos) << photo.out;
    EXPECT_NE(photo.out.find("orientation 3"), std::string::npos) << "preview:\n" << photo.out;
    EXPECT_NE(photo.out.find("arrow.pat"), std::string::npos) << photo.out;
    const support::CommandRun video =
        grab("--video \"multifilesrc location=" + (dir / "%04d.png").string() +
             " caps=image/png,framerate=30/1 ! pngdec\" --frames 3 -o " + videoPat.string());
    ASSERT_EQ(video.status, 0) << video.err;
    EXPECT_NE(video.out.find("(3 frames)"), std::string::npos) << video.out;

    const support::CommandRun robust =
        grab((dir / "0000.png").string() + " --robust -o " + robustPat.string());
    ASSERT_EQ(robust.status, 0) << robust.err;
    EXPECT_EQ(
        grab((dir / "0000.png").string() + " --robust --threshold 90 -o " + robustPat.string())
            .status,
        2);

    const int drawn = patternLoad((kMarkers + "arrow.pat").c_str());
    const int fromRobust = patternLoad(robustPat.c_str());
    ASSERT_GE(fromRobust, 0);
    const int fromPhoto = patternLoad(photoPat.c_str());
    const int fromVideo = patternLoad(videoPat.c_str());
    ASSERT_GE(drawn, 0);
    ASSERT_GE(fromPhoto, 0);
    ASSERT_GE(fromVideo, 0);
    camParamInit(&camera);
    // Other views under the same light: other places, turns and tilts.
    const double views[4][5] = {{20, 25, 200, 150, 120},
                                {-35, 15, 450, 320, 140},
                                {90, 30, 320, 240, 100},
                                {180, 20, 250, 330, 180}};
    for (const auto& v : views) {
        place(&scene.markers[0], v[0], v[1], v[2], v[3], v[4]);
        scene.noiseSeed = 99;
        ASSERT_EQ(synthRender(&scene, &frame, nullptr), 0);
        uint8_t sample[kPatternValues];
        ASSERT_TRUE(sampleOnlySquare(frame, sample)) << "spin " << v[0];
        const double withDrawn = slotCorrelation(sample, drawn);
        const double withPhoto = slotCorrelation(sample, fromPhoto);
        const double withVideo = slotCorrelation(sample, fromVideo);
        const double withRobust = slotCorrelation(sample, fromRobust);
        std::printf("spin %4.0f: drawn %.3f, grabbed from a photo %.3f, from 3 video frames %.3f, "
                    "with --robust %.3f\n",
                    v[0], withDrawn, withPhoto, withVideo, withRobust);
        EXPECT_GT(withRobust, withDrawn) << "spin " << v[0];
        EXPECT_GT(withPhoto, withDrawn)
            << "spin " << v[0] << ": grabbed " << withPhoto << ", drawn " << withDrawn;
        EXPECT_GT(withVideo, withDrawn)
            << "spin " << v[0] << ": grabbed " << withVideo << ", drawn " << withDrawn;
        EXPECT_GT(withPhoto, 0.8) << "spin " << v[0];
    }
    fs::remove_all(dir.parent_path());
}

// Two markers in view: the largest by default, the one nearest the centre with
// --centre; the output says how many squares it saw.
TEST(PatternGrab, LargestOrCentralSquare)
{
    CameraParam camera;
    ASSERT_EQ(synthCameraMake(kWidth, kHeight, kFocal, 0.0, &camera), 0);
    const SynthImage arrow = picture("arrow"), moon = picture("moon");
    SynthScene scene;
    synthSceneInit(&camera, &scene);
    scene.markerCount = 2;
    scene.markers[0].picture = &arrow;
    place(&scene.markers[0], 0, 0, 150, 150, 180);
    scene.markers[1].picture = &moon;
    place(&scene.markers[1], 0, 0, 400, 260, 110);
    SynthImage frame;
    ASSERT_EQ(synthRender(&scene, &frame, nullptr), 0);
    const fs::path photo = scratch("two.png"), largest = scratch("largest.pat"),
                   central = scratch("central.pat");
    ASSERT_EQ(synthPngWrite(photo.c_str(), &frame, 0), 0);
    const support::CommandRun a = grab(photo.string() + " -o " + largest.string());
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_NE(a.out.find("2 squares found; using the largest"), std::string::npos) << a.out;
    const support::CommandRun b = grab(photo.string() + " --centre -o " + central.string());
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_NE(b.out.find("2 squares found; using the one nearest the centre"), std::string::npos)
        << b.out;

    const int arrowSlot = patternLoad((kMarkers + "arrow.pat").c_str());
    const int moonSlot = patternLoad((kMarkers + "moon.pat").c_str());
    const int largestSlot = patternLoad(largest.c_str());
    const int centralSlot = patternLoad(central.c_str());
    EXPECT_GT(orientationCorrelation(largestSlot, 0, arrowSlot, 0), 0.9);
    EXPECT_LT(orientationCorrelation(largestSlot, 0, moonSlot, 0), 0.5);
    EXPECT_GT(orientationCorrelation(centralSlot, 0, moonSlot, 0), 0.9);

    // A photo of 1600 x 1200 pixels is halved for detection and gives the same choice.
    CameraParam large;
    ASSERT_EQ(synthCameraMake(1600, 1200, kFocal * 2.5, 0.0, &large), 0);
    scene.camera = large;
    SynthImage big;
    ASSERT_EQ(synthRender(&scene, &big, nullptr), 0);
    ASSERT_EQ(synthPngWrite(photo.c_str(), &big, 0), 0);
    const support::CommandRun c = grab(photo.string() + " -o " + largest.string());
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_NE(c.out.find("reduced to 800 x 600"), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("2 squares found"), std::string::npos) << c.out;
    const int bigSlot = patternLoad(largest.c_str());
    EXPECT_GT(orientationCorrelation(bigSlot, 0, arrowSlot, 0), 0.9);

    // An empty picture: no marker, a failure that names the threshold.
    SynthImage empty;
    ASSERT_EQ(synthImageMake(320, 240, 200, 200, 200, &empty), 0);
    ASSERT_EQ(synthPngWrite(photo.c_str(), &empty, 0), 0);
    const support::CommandRun none = grab(photo.string() + " -o " + largest.string());
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no marker found"), std::string::npos) << none.err;
    fs::remove_all(photo.parent_path());
}

// The side nearest the top of the image is the pattern's top: a marker turned a quarter
// turn counterclockwise gives, as orientation 0, the drawn pattern's orientation 1, and
// every orientation h of the grabbed pattern matches drawn orientation h + 1.
TEST(PatternGrab, TopOfTheImageIsThePatternsTop)
{
    CameraParam camera;
    ASSERT_EQ(synthCameraMake(kWidth, kHeight, kFocal, 0.0, &camera), 0);
    const SynthImage key = picture("key");
    SynthScene scene;
    synthSceneInit(&camera, &scene);
    scene.markerCount = 1;
    scene.markers[0].picture = &key;
    const int keySlot = patternLoad((kMarkers + "key.pat").c_str());
    for (const int quarter : {0, 1, 2, 3}) {
        // A few degrees off square, as a hand holds it.
        place(&scene.markers[0], quarter * 90.0 + 7.0, 15.0, 330, 230, 170);
        SynthImage frame;
        ASSERT_EQ(synthRender(&scene, &frame, nullptr), 0);
        const fs::path photo = scratch("turned.png"),
                       pat = scratch("turned" + std::to_string(quarter) + ".pat");
        ASSERT_EQ(synthPngWrite(photo.c_str(), &frame, 0), 0);
        ASSERT_EQ(grab(photo.string() + " -o " + pat.string()).status, 0);
        const int slot = patternLoad(pat.c_str());
        ASSERT_GE(slot, 0);
        for (int h = 0; h < 4; h++) {
            int bestOrientation = -1;
            double best = -2.0;
            for (int d = 0; d < 4; d++) {
                const double c = orientationCorrelation(slot, h, keySlot, d);
                if (c > best) {
                    best = c;
                    bestOrientation = d;
                }
            }
            EXPECT_EQ(bestOrientation, (h + quarter) % 4)
                << "marker turned " << quarter << " quarter(s), grabbed orientation " << h;
            EXPECT_GT(best, 0.85) << "turn " << quarter << ", orientation " << h;
        }
    }
    fs::remove_all(scratch("x").parent_path());
}
