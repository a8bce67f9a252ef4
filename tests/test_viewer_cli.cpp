// End-to-end: the real tarlim binary's command line, its diagnostics for configuration
// mistakes and its start-up warnings, in a temporary working directory on the test's
// own X server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera.h"
#include "synth/synth.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using support::sh;
using support::slurp;
using support::spit;
using support::Viewer;

const std::string kStartup =
    "Reading config file...done\nOpening video...done\nLoading camera parameters...done\n"
    "Loading pattern file...done\nLoading model files...done\n";
const std::string kMarkers = TARLIM_SOURCE_DIR "/data/markers/";

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

class ViewerCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tarlim-cli-XXXXXX";
        dir_ = mkdtemp(pattern);
        fs::create_directories(dir_ / "data");
        CameraParam cam;
        ASSERT_EQ(synthCameraMake(640, 480, 700.0, 0.0, &cam), 0);
        ASSERT_EQ(camParamSave((dir_ / "data/camera.cam").c_str(), 1, &cam), 0);
        fs::copy_file(kMarkers + "arrow.pat", dir_ / "data/arrow.pat");
    }
    void TearDown() override
    {
        if (!HasFailure())
            fs::remove_all(dir_);
        else
            std::fprintf(stderr, "kept the working directory %s\n", dir_.c_str());
    }
    // Runs the viewer to its end (it must end by itself within the time).
    static int run(Viewer& viewer) { return viewer.wait(20); }
    // Waits for the last start-up line, then ends the viewer with Escape.
    static bool startThenEscape(Viewer& viewer)
    {
        const auto end = Clock::now() + std::chrono::seconds(30);
        while (Clock::now() < end && viewer.wait(0) == Viewer::kRunning) {
            // The last announcement is flushed; its "done" stays in the viewer's buffer.
            if (viewer.out().find("Loading model files...") != std::string::npos) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        // The window is open by now; give it its first display event.
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        if (viewer.wait(0) != Viewer::kRunning) return false;
        if (sh("xdotool mousemove 5 5 key Escape") != 0) return false;
        return viewer.wait(10) == 0;
    }
    fs::path dir_;
};

// ---- Command line -----------------------------------------------------------------------

TEST_F(ViewerCli, HelpVersionAndUsageErrors)
{
    {
        Viewer viewer(dir_, false, {"--help"});
        EXPECT_EQ(run(viewer), 0);
        const std::string out = viewer.out();
        EXPECT_EQ(out.rfind("usage: tarlim [CONFIG] [--poses FILE|-] [--record PATH]", 0), 0u)
            << out;
        for (const char* part : {"relative to the", "F1", "F2", "F3", "F5", "overlay on|off",
                                 "poses FILE", "record PATH"}) {
            EXPECT_NE(out.find(part), std::string::npos) << part;
        }
        EXPECT_EQ(viewer.err(), "");
    }
    {
        Viewer viewer(dir_, false, {"--version"});
        EXPECT_EQ(run(viewer), 0);
        EXPECT_EQ(viewer.out().rfind("tarlim ", 0), 0u) << viewer.out();
    }
    const struct {
        std::vector<std::string> args;
        const char* reason;
    } mistakes[] = {
        {{"--frobnicate"}, "tarlim: unknown option --frobnicate"},
        {{"a.conf", "b.conf"}, "tarlim: one configuration file only; \"b.conf\" is one too many"},
        {{"--poses"}, "tarlim: --poses needs a file name (or - for standard output)"},
        {{"x.conf", "--record"}, "tarlim: --record needs a directory or a .webm or .mkv file"},
    };
    for (const auto& m : mistakes) {
        SCOPED_TRACE(m.reason);
        Viewer viewer(dir_, false, m.args);
        EXPECT_EQ(run(viewer), 2);
        EXPECT_EQ(viewer.out(), "");
        const std::vector<std::string> err = lines(viewer.err());
        ASSERT_GE(err.size(), 2u);
        EXPECT_EQ(err[0], m.reason);
        EXPECT_EQ(err[1].rfind("usage: tarlim", 0), 0u);
    }
}

// The tools the viewer's users run beside it end with status 2 on a usage error.
TEST_F(ViewerCli, ToolUsageErrorsExitWithTwo)
{
    const std::string tools = std::string(TARLIM_BINARY_DIR) + "/tools/";
    for (const char* command :
         {"tarlim-camera", "tarlim-camera make --fx 1", "tarlim-camera frobnicate",
          "tarlim-democlip --camera a.cam --out d",
          "tarlim-democlip --size 7 --camera a --out d p.png", "tarlim-xwd2png one.xwd",
          "tarlim-xwd2png --shrink 0 a.xwd b.png"}) {
        const int status = sh(tools + command + " > /dev/null 2>&1");
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << command << ": " << status;
    }
}

// A configuration named on the command line is read instead of data/tarlim.conf (which
// does not exist here), the window title names it, and the paths inside it are taken
// from the working directory.
TEST_F(ViewerCli, ConfigurationFromTheCommandLineNamedInTheTitle)
{
    spit(dir_ / "confs/second.conf", "videotestsrc\ndata/camera.cam\n100\n1\ndata/arrow.pat\n80\n"
                                     "1\n1.0\nmodels/none\n");
    Viewer viewer(dir_, false, {"confs/second.conf"});
    const auto end = Clock::now() + std::chrono::seconds(30);
    std::string title;
    while (Clock::now() < end && viewer.wait(0) == Viewer::kRunning && title.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const std::string file = (dir_ / "title.txt").string();
        if (sh("xdotool search --name '^tarlim' getwindowname > " + file + " 2>/dev/null") == 0)
            title = slurp(file);
    }
    EXPECT_EQ(title, "tarlim: confs/second.conf\n");
    EXPECT_TRUE(startThenEscape(viewer)) << viewer.out() << viewer.err();
    EXPECT_EQ(viewer.out(), kStartup);
}

// ---- Diagnostics --------------------------------------------------------------------------

// Each mistake names the file, the line and the reason on the line before the
// failure message, which stays as it was.
TEST_F(ViewerCli, ConfigurationMistakesNameTheLineAndTheReason)
{
    const std::string head = "# test\nvideotestsrc\ndata/camera.cam\n100\n";
    const std::string block = "data/arrow.pat\n80\n1\n1.0\nmodels/m\n";
    const struct {
        const char* name;
        std::string conf;  // empty: no file
        std::string diagnostic;
    } rows[] = {
        {"no file", "",
         "data/tarlim.conf: cannot open: No such file or directory (paths are relative to the "
         "working directory " +
             dir_.string() + ")"},
        {"missing width line", head + "1\n\ndata/arrow.pat\n",
         "data/tarlim.conf: ends after line 7; marker 1 still needs its width, model count, "
         "scale and model prefix"},
        {"marker count above the markers listed", head + "3\n" + block,
         "data/tarlim.conf: ends after line 10; marker 2 still needs its pattern file, width, "
         "model count, scale and model prefix, and marker 3 is missing"},
        {"a width of eighty", head + "2\n" + block + "# second\ndata/arrow.pat\neighty\n",
         "data/tarlim.conf:13: width of marker 2: expected a number, got \"eighty\""},
        {"an indented comment", "videotestsrc\ndata/camera.cam\n  # threshold\n100\n0\n",
         "data/tarlim.conf:3: threshold: expected a number, got \"  # threshold\"; only a \"#\" "
         "in the first column starts a comment"},
        {"only empty lines", "\n\n",
         "data/tarlim.conf: ends after line 2; still needs the video "
         "source, camera file, threshold and marker count"},
        {"a model count of two point five percent", head + "1\ndata/arrow.pat\n80\n%\n",
         "data/tarlim.conf:8: model count of marker 1: expected a number, got \"%\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(dir_ / "data/tarlim.conf");
        if (!row.conf.empty()) spit(dir_ / "data/tarlim.conf", row.conf);
        Viewer viewer(dir_);
        EXPECT_EQ(run(viewer), 1);
        EXPECT_EQ(viewer.out(), "Reading config file...");
        EXPECT_EQ(viewer.err(), row.diagnostic + "\nfailed to read conf file: data/tarlim.conf\n");
    }
}

// A byte-order mark in front of the first line (a comment) is skipped: the file reads
// as without it. Read as part of the line, it would make that line the video source.
TEST_F(ViewerCli, AByteOrderMarkIsSkipped)
{
    spit(dir_ / "data/tarlim.conf", "\xEF\xBB\xBF# saved by an editor\nvideotestsrc\n"
                                    "data/camera.cam\n100\n0\n");
    Viewer viewer(dir_);
    EXPECT_TRUE(startThenEscape(viewer)) << viewer.out() << viewer.err();
    EXPECT_EQ(viewer.out(), kStartup);
    EXPECT_EQ(viewer.err(), "");
}

// Values that read but cannot work: one warning line each, in file order, then the
// warnings of later stages; start-up goes on and its own lines are unchanged.
TEST_F(ViewerCli, WarningsNameTheLineAndStartUpGoesOn)
{
    // The camera file is 4:3, the video 16:9.
    spit(dir_ / "models/ok0.mqo", "Object \"o\" {\n\tvertex 0 {\n\t}\n}\n");
    fs::create_directories(dir_ / "models/dir1.mqo");
    const std::string conf =
        "videotestsrc ! video/x-raw,width=640,height=360\n"  // 1
        "data/camera.cam\n"                                  // 2
        "300\n"                                              // 3
        "4\n"                                                // 4
        "data/arrow.pat\n0\n1\n1.0\nmodels/none\n"           // 5-9: width 0, model missing
        "data/arrow.pat\n-inf\n0\n1.0\nmodels/ok\n"          // 10-14: width, count 0
        "data/arrow.pat\n80\n2\n1.0\nmodels/dir\n"           // 15-19: file 1 a directory
        "  # not a comment\n80\n1\n1.0\nmodels/ok\n"         // 20-24
        "\n# options\n"                                      // 25-26
        "overlay maybe\n"                                    // 27
        "colour red\n";                                      // 28
    spit(dir_ / "data/tarlim.conf", conf);
    fs::copy_file(dir_ / "data/arrow.pat", dir_ / "  # not a comment");
    fs::copy_file(dir_ / "models/ok0.mqo", dir_ / "models/dir0.mqo");
    Viewer viewer(dir_);
    ASSERT_TRUE(startThenEscape(viewer)) << viewer.out() << viewer.err();
    EXPECT_EQ(viewer.out(), kStartup);
    const std::vector<std::string> expected = {
        "data/tarlim.conf:3: warning: threshold 300 is outside 0..255: every pixel counts as "
        "dark, so no marker can be found",
        "data/tarlim.conf:6: warning: width of marker 1 is 0; it must be a positive length (the "
        "unit of its models)",
        "data/tarlim.conf:11: warning: width of marker 2 is -inf; it must be a positive length "
        "(the unit of its models)",
        "data/tarlim.conf:12: warning: model count of marker 2 is 0: the marker shows no model",
        "data/tarlim.conf:20: warning: pattern file of marker 4 is \"  # not a comment\"; only "
        "a \"#\" in the first column starts a comment",
        "data/tarlim.conf:27: warning: overlay: expected on or off, got \"maybe\"; line ignored",
        "data/tarlim.conf:28: warning: unknown option \"colour\" (options: overlay, poses, "
        "record, robust, detection options (tarlim --help)); line ignored",
        "warning: camera file data/camera.cam is for 640x480, the video is 640x360: a different "
        "aspect ratio, so the models will lean (make a camera file for 640x360)",
        "warning: marker 1 (data/arrow.pat) shows no model: cannot open models/none0.mqo: No "
        "such file or directory",
        "warning: marker 3 (data/arrow.pat) shows no model: cannot read models/dir1.mqo: Is a "
        "directory",
    };
    EXPECT_EQ(lines(viewer.err()), expected) << viewer.err();
}

}  // namespace
