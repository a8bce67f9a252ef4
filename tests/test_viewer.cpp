// End-to-end: the real tarlim binary in a temporary working directory on the test's
// own X server. Clips are rendered here with the scene renderer at known poses and
// played every frame once; what the window shows is read back from the X server
// with xwd, never from inside the program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera.h"
#include "synth/synth.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using support::slurp;
using support::spit;
using support::typeKeys;
using support::Viewer;

constexpr int kW = 640;
constexpr int kH = 480;
constexpr double kFocal = 700.0;
// Barrel distortion strong enough that the raw frame and the undistorted view differ
// by many pixels towards the corners (f * 1e-8 * r^2 is about 4% at r = 400).
constexpr double kDistortionF = 25.0;
constexpr double kSide = 80.0;  // marker side, the unit of poses and models

#ifndef VIEWER_MARKER_DIR
#define VIEWER_MARKER_DIR TARLIM_SOURCE_DIR "/data/markers/"
#endif
// Shipped marker pictures (NAME.png) and their pattern files (NAME.pat).
const std::string kMarkers = VIEWER_MARKER_DIR;

// ---- Files of one run ---------------------------------------------------------------

// A closed box standing on the marker: base 2a x 2a centred on the marker centre,
// height h, in model coordinates (+y up, off the marker). One colour given as
// emission only, so lighting cannot change it on screen.
std::string boxModel(double a, double h, double r, double g, double b)
{
    std::ostringstream m;
    m << "Material 1 {\n\t\"paint\" col(" << r << " " << g << " " << b
      << " 1.000) dif(0.000) amb(0.000) emi(1.000) spc(0.000) power(5.00)\n}\n";
    m << "Object \"box\" {\n\tvisible 15\n\tvertex 8 {\n";
    for (int i = 0; i < 8; i++) {
        m << "\t\t" << ((i & 1) ? a : -a) << " " << ((i & 2) ? h : 0.0) << " " << ((i & 4) ? a : -a)
          << "\n";
    }
    m << "\t}\n\tface 6 {\n";
    const int faces[6][4] = {{0, 1, 3, 2}, {4, 6, 7, 5}, {0, 4, 5, 1},
                             {2, 3, 7, 6}, {0, 2, 6, 4}, {1, 5, 7, 3}};
    for (const auto& f : faces)
        m << "\t\t4 V(" << f[0] << " " << f[1] << " " << f[2] << " " << f[3] << ") M(0)\n";
    m << "\t}\n}\n";
    return m.str();
}

constexpr double kBoxHalf = 0.3 * kSide;
constexpr double kBoxHeight = 0.5 * kSide;

struct Colour {
    int b, g, r;
};
constexpr Colour kRed = {0, 0, 255}, kGreen = {0, 255, 0}, kBlue = {255, 0, 0},
                 kYellow = {0, 255, 255};

std::string modelFor(Colour c)
{
    return boxModel(kBoxHalf, kBoxHeight, c.r / 255.0, c.g / 255.0, c.b / 255.0);
}

// One configured marker of a test configuration.
struct ConfMarker {
    std::string pattern;  // pattern file path
    int frameCount;
    std::string prefix;  // model path prefix
};

std::string clipSource(int frames)
{
    // Every frame exactly once, in order, as fast as the viewer takes them; the clip
    // does not loop, so the window keeps showing the last frame's result.
    return "multifilesrc location=clip/%04d.png index=0 stop-index=" + std::to_string(frames - 1) +
           " caps=image/png,framerate=30/1 ! pngdec ! videoconvert ! appsink sync=false";
}

std::string confText(const std::string& video, const std::string& camera, int threshold,
                     const std::vector<ConfMarker>& markers)
{
    std::ostringstream c;
    c << "# written by test_viewer\n"
      << video << "\n"
      << camera << "\n"
      << threshold << "\n"
      << markers.size() << "\n";
    for (const auto& m : markers)
        c << m.pattern << "\n" << kSide << "\n" << m.frameCount << "\n1.0\n" << m.prefix << "\n";
    return c.str();
}

// The window's picture as the X server holds it.
bool screenshot(const fs::path& dir, SynthImage* shot)
{
    return support::screenshot(dir, kW, kH, shot) == 0;
}

bool anyLight(const SynthImage& img)
{
    for (size_t i = 0; i < img.pixels.size(); i += 4) {
        if (img.pixels[i] + img.pixels[i + 1] + img.pixels[i + 2] > 60) return true;
    }
    return false;
}

// Waits until the window shows video and has stopped changing (the clip has been
// played to its end), and returns that picture.
bool settledScreenshot(const fs::path& dir, Viewer& viewer, SynthImage* shot)
{
    const auto end = Clock::now() + std::chrono::seconds(20);
    SynthImage last;
    int same = 0;
    while (Clock::now() < end && viewer.wait(0) == Viewer::kRunning) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        // The window exists once the last stage has been announced (it is opened
        // just before); until then the screen shows only the root window.
        if (viewer.out().find("Loading model files...") == std::string::npos) continue;
        SynthImage now;
        if (!screenshot(dir, &now) || !anyLight(now)) continue;
        same = (now.pixels == last.pixels) ? same + 1 : 0;
        last = std::move(now);
        // Unchanged for three polls (750 ms): far longer than one frame takes even in
        // the sanitizer build, so the clip has been played to its end.
        if (same == 3) {
            *shot = last;
            return true;
        }
    }
    return false;
}

// ---- Geometry of the expected picture ---------------------------------------------------

struct Pt {
    double x, y;
};

// Ideal pixel of a marker-frame point under pose, with the test camera; the window
// shows ideal pixels (the background is undistorted), row 0 at the top.
Pt project(const CameraParam& cam, const double pose[3][4], double mx, double my, double mz)
{
    double c[3];
    for (int i = 0; i < 3; i++)
        c[i] = pose[i][0] * mx + pose[i][1] * my + pose[i][2] * mz + pose[i][3];
    double p[3];
    for (int i = 0; i < 3; i++)
        p[i] = cam.projection[i][0] * c[0] + cam.projection[i][1] * c[1] +
               cam.projection[i][2] * c[2] + cam.projection[i][3];
    return {p[0] / p[2], p[1] / p[2]};
}

// Convex hull (counterclockwise in x right / y down coordinates as computed) of the
// box's eight corners: model (x, y, z) lies at marker (x, -z, y).
std::vector<Pt> boxHull(const CameraParam& cam, const double pose[3][4])
{
    std::vector<Pt> p;
    for (int i = 0; i < 8; i++) {
        const double x = (i & 1) ? kBoxHalf : -kBoxHalf, y = (i & 2) ? kBoxHeight : 0.0,
                     z = (i & 4) ? kBoxHalf : -kBoxHalf;
        p.push_back(project(cam, pose, x, -z, y));
    }
    std::sort(p.begin(), p.end(),
              [](Pt a, Pt b) { return a.x < b.x || (a.x == b.x && a.y < b.y); });
    auto cross = [](Pt o, Pt a, Pt b) {
        return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
    };
    std::vector<Pt> h(16);
    size_t k = 0;
    for (size_t i = 0; i < p.size(); i++) {
        while (k >= 2 && cross(h[k - 2], h[k - 1], p[i]) <= 0) k--;
        h[k++] = p[i];
    }
    for (size_t i = p.size() - 1, t = k + 1; i-- > 0;) {
        while (k >= t && cross(h[k - 2], h[k - 1], p[i]) <= 0) k--;
        h[k++] = p[i];
    }
    h.resize(k - 1);
    return h;
}

// Signed distance-like measure: the smallest distance to an edge line, negative outside.
double insideBy(const std::vector<Pt>& hull, Pt q)
{
    double d = 1e9;
    for (size_t i = 0; i < hull.size(); i++) {
        const Pt a = hull[i], b = hull[(i + 1) % hull.size()];
        const double len = std::hypot(b.x - a.x, b.y - a.y);
        d = std::min(d, ((b.x - a.x) * (q.y - a.y) - (b.y - a.y) * (q.x - a.x)) / len);
    }
    return d;
}

bool isColour(const SynthImage& img, int x, int y, Colour c)
{
    const uint8_t* p = &img.pixels[(size_t(y) * img.width + x) * 4];
    return std::abs(p[0] - c.b) <= 40 && std::abs(p[1] - c.g) <= 40 && std::abs(p[2] - c.r) <= 40;
}

// How well the screenshot's pixels of colour c match the box's silhouette: the share
// of pixels 3 or more pixels inside the hull that have the colour, and the number of
// pixels of that colour 3 or more pixels outside it.
struct Fit {
    double insideShare;
    int outsideCount;
};

Fit fitBox(const SynthImage& shot, const CameraParam& cam, const double pose[3][4], Colour c)
{
    const auto hull = boxHull(cam, pose);
    int inside = 0, insideHit = 0, outside = 0;
    for (int y = 0; y < shot.height; y++) {
        for (int x = 0; x < shot.width; x++) {
            const double d = insideBy(hull, {x + 0.5, y + 0.5});
            const bool hit = isColour(shot, x, y, c);
            if (d >= 3.0) {
                inside++;
                insideHit += hit;
            } else if (d <= -3.0 && hit) {
                outside++;
            }
        }
    }
    return {inside ? double(insideHit) / inside : 0.0, outside};
}

bool same(Colour a, Colour b)
{
    return a.b == b.b && a.g == b.g && a.r == b.r;
}

int countColour(const SynthImage& shot, Colour c)
{
    int n = 0;
    for (int y = 0; y < shot.height; y++)
        for (int x = 0; x < shot.width; x++) n += isColour(shot, x, y, c);
    return n;
}

// ---- Fixture: a working directory with camera, patterns, models and a clip ---------------

class ViewerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tarlim-viewer-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(synthCameraMake(kW, kH, kFocal, kDistortionF, &cam_), 0);
        fs::create_directories(dir_ / "data");
        ASSERT_EQ(camParamSave((dir_ / "data/camera.cam").c_str(), 1, &cam_), 0);
        for (int i = 0; i < 3; i++) {
            const std::string name = kMarkerNames[i];
            ASSERT_EQ(synthPngRead((kMarkers + name + ".png").c_str(), &pictures_[i]), 0) << name;
            fs::copy_file(kMarkers + name + ".pat", dir_ / "data" / (name + ".pat"));
        }
        spit(dir_ / "models/red0.mqo", modelFor(kRed));
        spit(dir_ / "models/blue0.mqo", modelFor(kBlue));
        spit(dir_ / "models/anim0.mqo", modelFor(kRed));
        spit(dir_ / "models/anim1.mqo", modelFor(kGreen));
        spit(dir_ / "models/anim2.mqo", modelFor(kBlue));
        spit(dir_ / "models/gap0.mqo", modelFor(kYellow));  // gap1.mqo is missing
        spit(dir_ / "models/gap2.mqo", modelFor(kYellow));
    }
    void TearDown() override
    {
        if (!HasFailure())
            fs::remove_all(dir_);
        else
            std::fprintf(stderr, "kept the working directory %s\n", dir_.c_str());
    }

    std::string pat(int i) const { return std::string("data/") + kMarkerNames[i] + ".pat"; }

    // Renders frame `index` of the clip with the given markers (picture, pose).
    struct Placed {
        int picture;
        double pose[3][4];
    };
    void renderFrame(int index, const std::vector<Placed>& placed, int clutter = 0,
                     const CameraParam* cam = nullptr, SynthImage* frameOut = nullptr)
    {
        SynthScene scene;
        synthSceneInit(cam ? cam : &cam_, &scene);
        scene.clutter = clutter;
        scene.markerCount = int(placed.size());
        for (size_t m = 0; m < placed.size(); m++) {
            scene.markers[m].picture = &pictures_[placed[m].picture];
            scene.markers[m].side = kSide;
            std::copy(&placed[m].pose[0][0], &placed[m].pose[0][0] + 12,
                      &scene.markers[m].pose[0][0]);
        }
        SynthImage frame;
        ASSERT_EQ(synthRender(&scene, &frame, nullptr), 0);
        char name[32];
        std::snprintf(name, sizeof name, "clip/%04d.png", index);
        fs::create_directories(dir_ / "clip");
        if (cam == nullptr) {
            ASSERT_EQ(synthPngWrite((dir_ / name).c_str(), &frame, 0), 0);
        }
        if (frameOut) *frameOut = std::move(frame);
    }

    void writeConf(const std::string& video, const std::vector<ConfMarker>& markers,
                   const std::string& camera = "data/camera.cam")
    {
        spit(dir_ / "data/tarlim.conf", confText(video, camera, 100, markers));
    }

    static Placed place(int picture, double spin, double tilt, double axis, double u, double v,
                        double z)
    {
        Placed p{picture, {}};
        synthPoseMake(spin, tilt, axis, (u - (kW - 1) / 2.0) * z / kFocal,
                      (v - (kH - 1) / 2.0) * z / kFocal, z, p.pose);
        return p;
    }

    static constexpr const char* kMarkerNames[3] = {MARKER_A, MARKER_B, MARKER_C};
    fs::path dir_;
    CameraParam cam_{};
    SynthImage pictures_[3];
};

// ---- Start-up failures ---------------------------------------------------------------------

const char* const kAnnounceConf = "Reading config file...";
const std::string kThroughVideo = std::string(kAnnounceConf) + "done\nOpening video...done\n";

TEST_F(ViewerTest, StartupFailuresAnnounceReportAndExitWithStatusOne)
{
    renderFrame(0, {place(0, 0, 0, 0, 320, 240, 500)});
    const std::string video = clipSource(1);
    struct Row {
        const char* name;
        std::string conf;     // empty: no configuration file at all
        std::string out;      // whole standard output
        std::string errTail;  // last line of standard error
    };
    const std::string threeMarkers = confText(video, "data/camera.cam", 100,
                                              {{pat(0), 1, "models/red"},
                                               {"data/missing.pat", 1, "models/red"},
                                               {pat(2), 1, "models/red"}});
    const Row rows[] = {
        {"no configuration file", "", kAnnounceConf,
         "failed to read conf file: data/tarlim.conf\n"},
        {"marker block missing", video + "\ndata/camera.cam\n100\n1\n", kAnnounceConf,
         "failed to read conf file: data/tarlim.conf\n"},
        {"threshold line starting with blanks and '#'", video + "\ndata/camera.cam\n  # 100\n0\n",
         kAnnounceConf, "failed to read conf file: data/tarlim.conf\n"},
        {"video source that fails", confText("nosuchelement-tarlim", "data/camera.cam", 100, {}),
         std::string(kAnnounceConf) + "done\nOpening video...",
         "failed to open video: nosuchelement-tarlim\n"},
        {"short camera file", confText(video, "data/short.cam", 100, {}),
         kThroughVideo + "Loading camera parameters...",
         "failed to load camera param: data/short.cam\n"},
        {"second of three pattern files missing", threeMarkers,
         kThroughVideo + "Loading camera parameters...done\nLoading pattern "
                         "file...\"data/missing.pat\" not found!!\n",
         "failed to load pattern file: data/missing.pat\n"},
    };
    spit(dir_ / "data/short.cam",
         slurp(dir_ / "data/camera.cam").substr(0, kCamParamRecordSize - 1));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(dir_ / "data/tarlim.conf");
        if (!row.conf.empty()) spit(dir_ / "data/tarlim.conf", row.conf);
        // Watch the third pattern file: it must never be opened.
        const int watch = inotify_init1(IN_NONBLOCK);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, (dir_ / pat(2)).c_str(), IN_OPEN), 0);
        Viewer viewer(dir_);
        EXPECT_EQ(viewer.wait(15), 1);
        EXPECT_EQ(viewer.out(), row.out);
        const std::string err = viewer.err();
        const size_t lineStart = err.rfind('\n', err.size() >= 2 ? err.size() - 2 : 0);
        EXPECT_EQ(err.substr(lineStart == std::string::npos ? 0 : lineStart + 1), row.errTail)
            << "stderr: " << err;
        char events[4096];
        EXPECT_LT(read(watch, events, sizeof events), 1) << "the third pattern file was opened";
        close(watch);
    }
}

// ---- Running -------------------------------------------------------------------------------

// The background shows the clip as an ideal camera sees it: where the lens moves the
// marker's edges (the pixels in which the distorted frame and the same scene rendered
// without distortion differ), the window agrees with the undistorted rendering.
TEST_F(ViewerTest, WithoutMarkersTheUndistortedVideoIsShown)
{
    // An unconfigured marker near a corner, where the distortion moves things most.
    const std::vector<Placed> scene = {place(0, 10, 0, 0, 120, 100, 450)};
    SynthImage raw, ideal;
    renderFrame(0, scene, 0, nullptr, &raw);
    CameraParam pinhole = cam_;
    pinhole.distortion[2] = 0.0;
    renderFrame(0, scene, 0, &pinhole, &ideal);
    writeConf(clipSource(1), {});
    Viewer viewer(dir_);
    SynthImage shot;
    ASSERT_TRUE(settledScreenshot(dir_, viewer, &shot)) << viewer.out() << viewer.err();
    auto distance = [](const SynthImage& a, const SynthImage& b, size_t pixel) {
        int d = 0;
        for (int c = 0; c < 3; c++)
            d += std::abs(int(a.pixels[pixel * 4 + c]) - int(b.pixels[pixel * 4 + c]));
        return d;
    };
    int moved = 0, likeIdeal = 0;
    for (size_t p = 0; p < size_t(kW) * kH; p++) {
        if (distance(raw, ideal, p) < 150) continue;
        moved++;
        likeIdeal += distance(shot, ideal, p) < distance(shot, raw, p);
    }
    ASSERT_GT(moved, 500) << "the lens must move the marker's edges by whole pixels";
    EXPECT_GT(likeIdeal, 0.9 * moved) << "of " << moved << " pixels moved by the lens";
    // The start-up lines, complete once Escape has ended the program.
    ASSERT_EQ(typeKeys(320, 240, "Escape"), 0);
    EXPECT_EQ(viewer.wait(5), 0);
    EXPECT_EQ(viewer.out(), kThroughVideo + "Loading camera parameters...done\nLoading pattern "
                                            "file...done\nLoading model files...done\n");
}

// Two markers carry their own models where their poses put them; a third, whose
// sequence misses a file, shows nothing; other keys change nothing; Escape ends with 0.
TEST_F(ViewerTest, ModelsStandOnTheirMarkersAndEscapeEnds)
{
    const std::vector<Placed> scene = {place(0, 20, 30, 0, 170, 300, 500),
                                       place(1, -15, 25, 90, 470, 290, 550),
                                       place(2, 0, 20, 45, 330, 110, 600)};
    renderFrame(0, scene);
    writeConf(clipSource(1),
              {{pat(0), 1, "models/red"}, {pat(1), 1, "models/blue"}, {pat(2), 3, "models/gap"}});
    Viewer viewer(dir_);
    SynthImage shot;
    ASSERT_TRUE(settledScreenshot(dir_, viewer, &shot)) << viewer.out() << viewer.err();
    const Fit red = fitBox(shot, cam_, scene[0].pose, kRed),
              blue = fitBox(shot, cam_, scene[1].pose, kBlue);
    EXPECT_GT(red.insideShare, 0.97);
    EXPECT_LT(red.outsideCount, 40);
    EXPECT_GT(blue.insideShare, 0.97);
    EXPECT_LT(blue.outsideCount, 40);
    EXPECT_EQ(countColour(shot, kYellow), 0) << "the sequence with a missing file drew";

    ASSERT_EQ(typeKeys(320, 240, "a space Return"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(viewer.wait(0), Viewer::kRunning);
    SynthImage after;
    ASSERT_TRUE(screenshot(dir_, &after));
    EXPECT_TRUE(after.pixels == shot.pixels) << "another key changed the window";
    ASSERT_EQ(typeKeys(320, 240, "Escape"), 0);
    EXPECT_EQ(viewer.wait(5), 0);
    // The one line on standard error says why the marker shows no model.
    EXPECT_EQ(viewer.err(), "warning: marker 3 (data/" MARKER_C
                            ".pat) shows no model: cannot open models/gap1.mqo: No such file or "
                            "directory\n");
}

// A frame the detector cannot label (more isolated dark specks than its label table
// holds) ends the program as Escape would, with status 0 and a message.
TEST_F(ViewerTest, ADetectionFailureEndsWithStatusZero)
{
    SynthImage specks;
    ASSERT_EQ(synthImageMake(kW, kH, 255, 255, 255, &specks), 0);
    for (int y = 0; y < kH; y += 2)
        for (int x = 0; x < kW; x += 2)
            std::fill_n(&specks.pixels[(size_t(y) * kW + x) * 4], 3, uint8_t(0));
    fs::create_directories(dir_ / "clip");
    ASSERT_EQ(synthPngWrite((dir_ / "clip/0000.png").c_str(), &specks, 0), 0);
    writeConf(clipSource(1), {{pat(0), 1, "models/red"}});
    Viewer viewer(dir_);
    EXPECT_EQ(viewer.wait(20), 0);
    EXPECT_EQ(viewer.err(), "failed to detect marker\n");
    EXPECT_EQ(viewer.out(), kThroughVideo + "Loading camera parameters...done\nLoading pattern "
                                            "file...done\nLoading model files...done\n");
}

// A marker that leaves the view is still reported by the detector's memory for two
// frames; its model goes with the third.
TEST_F(ViewerTest, AMarkerThatLeavesLosesItsModelAfterTwoFrames)
{
    const Placed marker = place(0, 10, 20, 30, 320, 250, 500);
    for (int absent : {2, 3}) {
        SCOPED_TRACE("frames without the marker: " + std::to_string(absent));
        fs::remove_all(dir_ / "clip");
        renderFrame(0, {marker});
        renderFrame(1, {marker});
        for (int i = 0; i < absent; i++) renderFrame(2 + i, {});
        writeConf(clipSource(2 + absent), {{pat(0), 1, "models/red"}});
        Viewer viewer(dir_);
        SynthImage shot;
        ASSERT_TRUE(settledScreenshot(dir_, viewer, &shot)) << viewer.out() << viewer.err();
        if (absent == 2) {
            EXPECT_GT(fitBox(shot, cam_, marker.pose, kRed).insideShare, 0.97);
        } else {
            EXPECT_EQ(countColour(shot, kRed), 0);
        }
    }
}

// frameCount 3, the marker in every frame: the models run 0, 1, 2, 0, one per frame.
TEST_F(ViewerTest, AnimationStepsOneModelPerFrame)
{
    const Placed marker = place(1, -10, 15, 60, 320, 240, 500);
    const Colour expected[] = {kRed, kGreen, kBlue, kRed};
    for (int frames = 1; frames <= 4; frames++) {
        SCOPED_TRACE("frames played: " + std::to_string(frames));
        fs::remove_all(dir_ / "clip");
        for (int i = 0; i < frames; i++) renderFrame(i, {marker});
        writeConf(clipSource(frames), {{pat(1), 3, "models/anim"}});
        Viewer viewer(dir_);
        SynthImage shot;
        ASSERT_TRUE(settledScreenshot(dir_, viewer, &shot)) << viewer.out() << viewer.err();
        EXPECT_GT(fitBox(shot, cam_, marker.pose, expected[frames - 1]).insideShare, 0.97);
        for (const Colour& other : {kRed, kGreen, kBlue}) {
            if (same(other, expected[frames - 1])) continue;
            EXPECT_EQ(countColour(shot, other), 0) << "a model of another frame is drawn";
        }
    }
}

// The animation stands still while the marker is out of view and resumes where it
// stopped. Frames: seen, seen, gone x3; the detector's memory keeps the marker for the
// first two gone frames (models 2 and 0 drawn), the third draws nothing and does not
// advance, so the last frame, seen again, draws model 1 (green); a counter that ran on
// while the marker was away would show model 2, one that restarted model 0.
TEST_F(ViewerTest, AnimationPausesWhileTheMarkerIsAway)
{
    const Placed marker = place(1, -10, 15, 60, 320, 240, 500);
    const bool seen[] = {true, true, false, false, false, true};
    for (int i = 0; i < 6; i++) {
        if (seen[i])
            renderFrame(i, {marker});
        else
            renderFrame(i, {});
    }
    writeConf(clipSource(6), {{pat(1), 3, "models/anim"}});
    Viewer viewer(dir_);
    SynthImage shot;
    ASSERT_TRUE(settledScreenshot(dir_, viewer, &shot)) << viewer.out() << viewer.err();
    EXPECT_GT(fitBox(shot, cam_, marker.pose, kGreen).insideShare, 0.97);
    EXPECT_EQ(countColour(shot, kRed), 0);
    EXPECT_EQ(countColour(shot, kBlue), 0);
}

}  // namespace
