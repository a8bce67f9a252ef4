// tarlim-detect run as a command on rendered pictures (PNG and JPEG) with known markers:
// its JSON lines name the right pattern argument with the corners where the markers
// are, c0 at the picture's top-left; --width adds the pose; --overlay, --stats, --all;
// usage errors end with 2, unreadable inputs with 1.
#include "camera/camera.h"
#include "synth/synth.h"
#include "tests/support/support.h"
#include "util/util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kTool = std::string(TARLIM_BINARY_DIR) + "/tools/tarlim-detect";
const std::string kMarkers = std::string(TARLIM_SOURCE_DIR) + "/data/markers/";

struct Picture {
    fs::path png, jpeg;
    SynthTruth truth;
    int pictureOf[3];  // marker -> index into {arrow, bars, key}
};

// Three markers in a 640 x 480 picture (no distortion, focal 640: the tool's default
// camera), written as PNG and JPEG.
const Picture& picture()
{
    static Picture p;
    static bool made = false;
    if (made) return p;
    made = true;
    const fs::path dir =
        fs::temp_directory_path() / ("tarlim-detect-test-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    static SynthImage pictures[3];
    const char* names[3] = {"arrow", "bars", "key"};
    for (int i = 0; i < 3; i++) synthPngRead((kMarkers + names[i] + ".png").c_str(), &pictures[i]);
    CameraParam cam;
    synthCameraMake(640, 480, 640.0, 0.0, &cam);
    static SynthScene scene;
    synthSceneInit(&cam, &scene);
    const double centres[3][2] = {{160, 150}, {470, 160}, {330, 350}};
    const int order[3] = {2, 0, 1};  // marker i shows picture order[i]
    for (int i = 0; i < 3; i++) {
        SynthMarker& m = scene.markers[i];
        m.picture = &pictures[order[i]];
        m.side = 80.0;
        const double z = 640.0 * 80.0 / 110.0;
        synthPoseMake(30.0 + 100.0 * i, 15.0, 40.0 * i, (centres[i][0] - 319.5) * z / 640.0,
                      (centres[i][1] - 239.5) * z / 640.0, z, m.pose);
        p.pictureOf[i] = order[i];
    }
    scene.markerCount = 3;
    SynthImage frame;
    synthRender(&scene, &frame, &p.truth);
    p.png = dir / "three.png";
    p.jpeg = dir / "three.jpg";
    synthPngWrite(p.png.c_str(), &frame, 0);
    utilJpegWrite(p.jpeg.c_str(), 640, 480, frame.pixels.data(), kUtilBgra, 90);
    return p;
}

std::string patternArgs()
{
    return " --pattern " + kMarkers + "arrow.pat --pattern " + kMarkers + "bars.pat --pattern " +
           kMarkers + "key.pat";
}

struct Line {
    std::string input;
    int pattern = -9;
    double corners[4][2] = {};
    int transformCount = 0;
};

// The fields the tests read from one JSON line.
Line parseLine(const std::string& text)
{
    Line l;
    std::smatch m;
    if (std::regex_search(text, m, std::regex("\"input\": \"([^\"]*)\""))) l.input = m[1];
    if (std::regex_search(text, m, std::regex("\"pattern\": (-?[0-9]+)")))
        l.pattern = std::stoi(m[1]);
    if (std::regex_search(text, m, std::regex("\"corners\": \\[(.*?)\\]\\]"))) {
        std::string nums = m[1];
        for (char& c : nums)
            if (c == '[' || c == ']' || c == ',') c = ' ';
        std::istringstream in(nums);
        for (auto& c : l.corners) in >> c[0] >> c[1];
    }
    if (std::regex_search(text, m, std::regex("\"transform\": \\[([^\\]]*)\\]"))) {
        const std::string t = m[1];
        l.transformCount = 1 + static_cast<int>(std::count(t.begin(), t.end(), ','));
    }
    return l;
}

std::vector<Line> parseOutput(const std::string& out)
{
    std::vector<Line> lines;
    std::istringstream in(out);
    std::string text;
    while (std::getline(in, text))
        if (!text.empty()) lines.push_back(parseLine(text));
    return lines;
}

// Every marker reported once with its pattern argument, c0 ... c3 within `tolerance`
// pixels of the rendered corners (marker corner order = the tool's c0 ... c3).
void expectMarkers(const std::vector<Line>& lines, double tolerance, const std::string& what)
{
    const Picture& p = picture();
    ASSERT_EQ(lines.size(), 3u) << what;
    for (int i = 0; i < 3; i++) {
        int hits = 0;
        for (const Line& l : lines) {
            if (l.pattern != p.pictureOf[i]) continue;
            hits++;
            for (int k = 0; k < 4; k++)
                EXPECT_NEAR(std::hypot(l.corners[k][0] - p.truth.markers[i].observedCorners[k][0],
                                       l.corners[k][1] - p.truth.markers[i].observedCorners[k][1]),
                            0.0, tolerance)
                    << what << ": marker " << i << " corner " << k;
        }
        EXPECT_EQ(hits, 1) << what << ": marker " << i;
    }
}

TEST(DetectTool, ReportsEveryMarkerWithItsPatternArgumentAndCorners)
{
    const Picture& p = picture();
    const support::CommandRun exact = support::run(kTool + patternArgs() + " " + p.png.string());
    ASSERT_EQ(exact.status, 0) << exact.err;
    expectMarkers(parseOutput(exact.out), 2.0, "exact, PNG");

    // The preset's corners lie on the printed edge; JPEG input reads the same way.
    for (const fs::path& input : {p.png, p.jpeg}) {
        const support::CommandRun robust =
            support::run(kTool + " --robust" + patternArgs() + " " + input.string());
        ASSERT_EQ(robust.status, 0) << robust.err;
        const std::vector<Line> lines = parseOutput(robust.out);
        expectMarkers(lines, 0.5, "robust, " + input.extension().string());
        for (const Line& l : lines) EXPECT_EQ(l.input, input.string());
    }
}

TEST(DetectTool, WidthAddsThePoseAndOverlayStatsAllWork)
{
    const Picture& p = picture();
    const fs::path overlay = p.png.parent_path() / "overlay.png";
    const support::CommandRun r =
        support::run(kTool + " --width 80 --all --stats --overlay " + overlay.string() +
                     patternArgs() + " " + p.png.string() + " " + p.png.string());
    ASSERT_EQ(r.status, 0) << r.err;
    int recognised = 0;
    for (const Line& l : parseOutput(r.out)) {
        if (l.pattern >= 0) {
            recognised++;
            EXPECT_EQ(l.transformCount, 12);
        } else {
            EXPECT_EQ(l.transformCount, 0) << "no pose for an unrecognised square";
        }
    }
    EXPECT_EQ(recognised, 6) << "two independent pictures of three markers";
    EXPECT_NE(r.err.find("frame 0: regions"), std::string::npos) << r.err;
    // Two inputs: one overlay each, numbered.
    for (const char* name : {"overlay-0.png", "overlay-1.png"}) {
        UtilImage image;
        EXPECT_EQ(utilImageRead((p.png.parent_path() / name).c_str(), kUtilBgra, 1 << 20, &image,
                                nullptr, 0),
                  0)
            << name;
        EXPECT_EQ(image.width, 640);
    }
}

TEST(DetectTool, MistakesGetTheirStatusAndMessage)
{
    const Picture& p = picture();
    const struct {
        std::string args;
        int status;
        const char* message;
    } cases[] = {
        {" " + p.png.string(), 2, "no --pattern"},
        {patternArgs(), 2, "no input"},
        {patternArgs() + " --threshold 300 " + p.png.string(), 2, "--threshold"},
        {patternArgs() + " --local-window 8 " + p.png.string(), 2, "--local-window"},
        {patternArgs() + " --bogus " + p.png.string(), 2, "unknown option"},
        {patternArgs() + " --frames 3 " + p.png.string(), 2, "--frames belongs to --video"},
        {patternArgs() + " /nonexistent.png " + p.png.string(), 1,
         "/nonexistent.png: no such file"},
        {" --pattern /nonexistent.pat " + p.png.string(), 1, "cannot open the pattern file"},
    };
    for (const auto& c : cases) {
        const support::CommandRun r = support::run(kTool + c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    }
    // An unreadable input does not stop the others.
    const support::CommandRun r =
        support::run(kTool + patternArgs() + " /nonexistent.png " + p.png.string());
    EXPECT_EQ(parseOutput(r.out).size(), 3u);
}

}  // namespace
