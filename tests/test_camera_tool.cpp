// tarlim-camera, run as a separate process: make then show, the committed camera file,
// bad files and bad arguments.
#include "camera/camera.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

#include "tests/support/support.h"

namespace {

const std::string kTool = std::string(TARLIM_BINARY_DIR) + "/tools/tarlim-camera";
// The process id keeps cases that CTest runs side by side off each other's files.
const std::string kScratch =
    std::string(TARLIM_BINARY_DIR) + "/tests/camera_tool_" + std::to_string(getpid());

using ToolRun = support::CommandRun;

// Runs the tool with `args` (already shell-quoted where needed).
ToolRun runTool(const std::string& args)
{
    return support::run("'" + kTool + "' " + args);
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

struct ScratchFile {
    std::string path;
    explicit ScratchFile(const char* name) : path(kScratch + "_" + name + ".cam")
    {
        std::remove(path.c_str());
    }
    ~ScratchFile() { std::remove(path.c_str()); }
};

TEST(CameraTool, MakeThenShowAndLoad)
{
    ScratchFile file("plain");
    ToolRun made =
        runTool("make --size 640x480 --fx 700 --fy 710 --cx 320 --cy 240 -o '" + file.path + "'");
    ASSERT_EQ(made.status, 0) << made.err;

    CameraParam p{};
    ASSERT_EQ(camParamLoad(file.path.c_str(), 1, &p), 0);
    EXPECT_EQ(p.width, 640);
    EXPECT_EQ(p.height, 480);
    const double want[3][4] = {{700, 0, 320, 0}, {0, 710, 240, 0}, {0, 0, 1, 0}};
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(p.projection[i / 4][i % 4], want[i / 4][i % 4]) << "projection " << i;
    // No --distortion: centred at the principal point, no radial term, unit scale.
    EXPECT_EQ(p.distortion[0], 320.0);
    EXPECT_EQ(p.distortion[1], 240.0);
    EXPECT_EQ(p.distortion[2], 0.0);
    EXPECT_EQ(p.distortion[3], 1.0);

    ToolRun shown = runTool("show '" + file.path + "'");
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_TRUE(contains(shown.out, "640 x 480")) << shown.out;
    EXPECT_TRUE(
        contains(shown.out, "fx = 700.000000  fy = 710.000000  cx = 320.000000  cy = 240.000000"))
        << shown.out;
    // 2 atan(320 / 700) = 49.13 degrees, 2 atan(240 / 710) = 37.35 degrees.
    EXPECT_TRUE(contains(shown.out, "horizontal 49.13 degrees  vertical 37.35 degrees"))
        << shown.out;
}

TEST(CameraTool, DistortionAndSkewAreWritten)
{
    ScratchFile file("dist");
    ToolRun made = runTool("make --size 320x240 --fx 350.5 --fy 351 --cx 161 --cy 119 --skew 0.25 "
                           "--distortion 160.5,120.25,12,0.99 -o '" +
                           file.path + "'");
    ASSERT_EQ(made.status, 0) << made.err;
    CameraParam p{};
    ASSERT_EQ(camParamLoad(file.path.c_str(), 1, &p), 0);
    EXPECT_EQ(p.projection[0][1], 0.25);
    const double want[4] = {160.5, 120.25, 12, 0.99};
    for (int i = 0; i < 4; i++) EXPECT_EQ(p.distortion[i], want[i]) << "distortion " << i;
    ToolRun shown = runTool("show '" + file.path + "'");
    EXPECT_EQ(shown.status, 0);
    EXPECT_TRUE(contains(shown.out, "skew = 0.250000")) << shown.out;
}

TEST(CameraTool, CommittedCameraFile)
{
    // data/camera.cam: a 640x480 webcam whose mild barrel distortion moves the image
    // corners by 2 to 6 pixels.
    const std::string path = std::string(TARLIM_SOURCE_DIR) + "/data/camera.cam";
    CameraParam p{};
    ASSERT_EQ(camParamLoad(path.c_str(), 1, &p), 0);
    EXPECT_EQ(p.width, 640);
    EXPECT_EQ(p.height, 480);
    EXPECT_GT(p.distortion[2], 0.0);
    const double corners[4][2] = {{0, 0}, {639, 0}, {0, 479}, {639, 479}};
    for (const auto& c : corners) {
        double ox, oy;
        camIdealToObserv(p.distortion, c[0], c[1], &ox, &oy);
        const double moved = std::hypot(ox - c[0], oy - c[1]);
        EXPECT_GE(moved, 2.0) << "corner " << c[0] << "," << c[1];
        EXPECT_LE(moved, 6.0) << "corner " << c[0] << "," << c[1];
    }
    EXPECT_EQ(runTool("show '" + path + "'").status, 0);
}

TEST(CameraTool, BadFilesFailWithAMessage)
{
    ScratchFile file("bad");
    const auto write = [&](const std::string& bytes) {
        std::ofstream(file.path, std::ios::binary) << bytes;
    };

    write(std::string(100, '\0'));
    ToolRun shortFile = runTool("show '" + file.path + "'");
    EXPECT_EQ(shortFile.status, 1);
    EXPECT_TRUE(contains(shortFile.err, "not a camera parameter file")) << shortFile.err;
    EXPECT_EQ(shortFile.out, "");

    // Right size, but a width of 0.
    write(std::string(kCamParamRecordSize, '\0'));
    ToolRun zero = runTool("show '" + file.path + "'");
    EXPECT_EQ(zero.status, 1);
    EXPECT_TRUE(contains(zero.err, "record 0")) << zero.err;

    ToolRun missing = runTool("show '" + file.path + ".missing'");
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(contains(missing.err, "cannot read")) << missing.err;

    ToolRun unwritable = runTool(
        "make --size 640x480 --fx 700 --fy 700 --cx 320 --cy 240 -o /nonexistent-dir/x.cam");
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_TRUE(contains(unwritable.err, "cannot write")) << unwritable.err;
}

TEST(CameraTool, BadArgumentsGiveUsage)
{
    ScratchFile file("args");
    const std::string base = "--fx 700 --fy 700 --cx 320 --cy 240 -o '" + file.path + "'";
    const std::string cases[] = {
        "",
        "frobnicate",
        "make --fx 700 --fy 700 --cx 320 --cy 240 -o '" + file.path + "'",  // no --size
        "make --size 640x480 --fx 700 --fy 700 --cx 320 --cy 240",          // no -o
        "make --size 640 " + base,
        "make --size 0x480 " + base,
        "make --size 640x480x2 " + base,
        "make --size 640x480 --fx 0 --fy 700 --cx 320 --cy 240 -o '" + file.path + "'",
        "make --size 640x480 --fx abc --fy 700 --cx 320 --cy 240 -o '" + file.path + "'",
        "make --size 640x480 --distortion 1,2,3 " + base,
        "make --size 640x480 --distortion 1,2,3,0 " + base,
        "make --size 640x480 --distortion 1,2,3,4,5 " + base,
        "make --size 640x480 --bogus 1 " + base,
        "make --size 640x480 " + base + " --skew",
        "show",
        "show a b",
    };
    for (const std::string& args : cases) {
        ToolRun r = runTool(args);
        EXPECT_EQ(r.status, 2) << "args: " << args;
        EXPECT_TRUE(contains(r.err, "usage:")) << "args: " << args << "\n" << r.err;
        EXPECT_EQ(std::fopen(file.path.c_str(), "rb"), nullptr)
            << "a file was written for: " << args;
    }
    ToolRun help = runTool("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "usage: tarlim-camera make")) << help.out;
    EXPECT_EQ(runTool("make --help").status, 0);
    EXPECT_EQ(runTool("show --help").status, 0);
}

}  // namespace
