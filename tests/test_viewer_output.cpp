// End-to-end: what the real tarlim binary gives beyond the window: poses as JSON lines,
// recordings, screenshots, the diagnostic overlay and the threshold keys. Clips are
// rendered here at known poses; the viewer runs on the test's own X server.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera.h"
#include "synth/synth.h"
#include "video/video.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using support::sh;
using support::slurp;
using support::spit;
using support::Viewer;

constexpr int kW = 640;
constexpr int kH = 480;
constexpr double kFocal = 700.0;
constexpr double kSide = 80.0;
const std::string kMarkers = TARLIM_SOURCE_DIR "/data/markers/";

// ---- A small JSON reader: enough to check that a line is JSON and to read it back ----

struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    double number = 0.0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> fields;
    const Json& operator[](const std::string& key) const
    {
        static const Json missing;
        auto it = fields.find(key);
        return it == fields.end() ? missing : it->second;
    }
};

class JsonReader {
public:
    explicit JsonReader(const std::string& s) : s_(s) {}
    // The whole text as one value; false on any syntax error or trailing text.
    bool read(Json* out)
    {
        if (!value(out)) return false;
        blanks();
        return i_ == s_.size();
    }

private:
    void blanks()
    {
        while (i_ < s_.size() && std::strchr(" \t\r\n", s_[i_]) != nullptr) i_++;
    }
    bool literal(const char* word)
    {
        const size_t n = std::strlen(word);
        if (s_.compare(i_, n, word) != 0) return false;
        i_ += n;
        return true;
    }
    bool string(std::string* out)
    {
        if (s_[i_] != '"') return false;
        for (i_++; i_ < s_.size(); i_++) {
            const char c = s_[i_];
            if (c == '"') {
                i_++;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c == '\\') {
                if (++i_ >= s_.size()) return false;
                if (s_[i_] == 'u') {
                    if (i_ + 4 >= s_.size()) return false;
                    out->push_back(static_cast<char>(std::stoi(s_.substr(i_ + 1, 4), nullptr, 16)));
                    i_ += 4;
                    continue;
                }
                if (std::strchr("\"\\/bfnrt", s_[i_]) == nullptr) return false;
            }
            out->push_back(s_[i_]);
        }
        return false;
    }
    bool value(Json* out)
    {
        blanks();
        if (i_ >= s_.size()) return false;
        const char c = s_[i_];
        if (c == '{') {
            out->kind = Json::kObject;
            i_++;
            blanks();
            if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
            for (;;) {
                blanks();
                std::string key;
                if (i_ >= s_.size() || !string(&key)) return false;
                blanks();
                if (i_ >= s_.size() || s_[i_++] != ':') return false;
                if (!value(&out->fields[key])) return false;
                blanks();
                if (i_ >= s_.size()) return false;
                if (s_[i_] == '}') return ++i_, true;
                if (s_[i_++] != ',') return false;
            }
        }
        if (c == '[') {
            out->kind = Json::kArray;
            i_++;
            blanks();
            if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
            for (;;) {
                out->items.emplace_back();
                if (!value(&out->items.back())) return false;
                blanks();
                if (i_ >= s_.size()) return false;
                if (s_[i_] == ']') return ++i_, true;
                if (s_[i_++] != ',') return false;
            }
        }
        if (c == '"') {
            out->kind = Json::kString;
            return string(&out->text);
        }
        if (literal("null")) return true;
        if (literal("true") || literal("false")) return out->kind = Json::kBool, true;
        // Numbers as JSON writes them: no leading '+', no "nan" or "inf".
        size_t end = i_;
        if (end < s_.size() && s_[end] == '-') end++;
        if (end >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[end]))) return false;
        while (end < s_.size() && std::strchr("0123456789.eE+-", s_[end]) != nullptr) end++;
        out->kind = Json::kNumber;
        out->number = std::stod(s_.substr(i_, end - i_));
        i_ = end;
        return true;
    }
    const std::string& s_;
    size_t i_ = 0;
};

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

// ---- Fixture ----------------------------------------------------------------------------

class ViewerOutput : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tarlim-output-XXXXXX";
        dir_ = mkdtemp(pattern);
        fs::create_directories(dir_ / "data");
        fs::create_directories(dir_ / "clip");
        ASSERT_EQ(synthCameraMake(kW, kH, kFocal, 10.0, &cam_), 0);
        ASSERT_EQ(camParamSave((dir_ / "data/camera.cam").c_str(), 1, &cam_), 0);
        fs::copy_file(kMarkers + "arrow.pat", dir_ / "data/arrow.pat");
        ASSERT_EQ(synthPngRead((kMarkers + "arrow.png").c_str(), &arrow_), 0);
    }
    void TearDown() override
    {
        if (!HasFailure())
            fs::remove_all(dir_);
        else
            std::fprintf(stderr, "kept the working directory %s\n", dir_.c_str());
    }
    // `frames` frames of the arrow marker; frame i at x offset step * i mm. Keeps the
    // truth of every frame.
    void renderClip(int frames, double step)
    {
        SynthScene scene;
        synthSceneInit(&cam_, &scene);
        scene.markerCount = 1;
        scene.markers[0].picture = &arrow_;
        scene.markers[0].side = kSide;
        truth_.assign(frames, SynthTruth{});
        for (int i = 0; i < frames; i++) {
            synthPoseMake(20.0, 25.0, 30.0, -40.0 + step * i, 10.0, 520.0, scene.markers[0].pose);
            SynthImage frame;
            ASSERT_EQ(synthRender(&scene, &frame, &truth_[i]), 0);
            char name[32];
            std::snprintf(name, sizeof name, "clip/%04d.png", i);
            ASSERT_EQ(synthPngWrite((dir_ / name).c_str(), &frame, 0), 0);
        }
    }
    // The configuration: the clip (every frame once, as fast as the viewer takes them,
    // or looped at 30 per second), threshold, the arrow marker, then `options`.
    void conf(int frames, bool loop, int threshold, const std::string& options = "")
    {
        const std::string video =
            loop ? "multifilesrc location=clip/%04d.png loop=true caps=image/png,framerate=30/1 "
                   "! pngdec"
                 : "multifilesrc location=clip/%04d.png index=0 stop-index=" +
                       std::to_string(frames - 1) +
                       " caps=image/png,framerate=30/1 ! pngdec ! videoconvert ! appsink "
                       "sync=false";
        spit(dir_ / "data/tarlim.conf", video + "\ndata/camera.cam\n" + std::to_string(threshold) +
                                            "\n1\ndata/arrow.pat\n" + std::to_string(kSide) +
                                            "\n1\n1.0\nmodels/none\n" + options);
    }
    // Waits until `file` holds at least `count` lines (or the time is up).
    static bool waitLines(const fs::path& file, size_t count, double seconds)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(int(seconds * 1000));
        while (Clock::now() < end) {
            if (lines(slurp(file)).size() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    static int key(const char* keys)
    {
        return sh(std::string("xdotool mousemove 5 5 key ") + keys);
    }
    static int escape(Viewer& viewer)
    {
        if (key("Escape") != 0) return -1;
        return viewer.wait(30);
    }
    fs::path dir_;
    CameraParam cam_{};
    SynthImage arrow_;
    std::vector<SynthTruth> truth_;
};

// Frames of a finished video file, decoded through the video library.
int countVideoFrames(const fs::path& file, int* width, int* height)
{
    const std::string source =
        "filesrc location=" + file.string() + " ! decodebin ! videoconvert ! appsink sync=false";
    if (videoOpen(source.c_str()) < 0) return -1;
    videoInqSize(width, height);
    videoCapStart();
    int frames = 0;
    auto last = Clock::now();
    while (Clock::now() - last < std::chrono::seconds(3)) {
        if (videoGetImage() != nullptr) {
            frames++;
            last = Clock::now();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    videoCapStop();
    videoClose();
    return frames;
}

// ---- Poses and recording --------------------------------------------------------------------

// Every processed frame gives one JSON line on standard output (the start-up lines go to
// standard error) whose translation agrees with the rendered truth, and the recording
// holds exactly as many pictures as were drawn.
TEST_F(ViewerOutput, PosesPerFrameAgreeWithTheTruthAndEveryDrawnFrameIsRecorded)
{
    constexpr int kFrames = 12;
    renderClip(kFrames, 6.0);
    conf(kFrames, false, 100);
    Viewer viewer(dir_, false, {"--poses", "-", "--record", "rec"});
    ASSERT_TRUE(waitLines(dir_ / "stdout.txt", kFrames, 60)) << viewer.err();
    // Nothing more arrives: the clip has ended.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(escape(viewer), 0) << viewer.err();
    EXPECT_EQ(viewer.err(),
              "Reading config file...done\nOpening video...done\nLoading camera "
              "parameters...done\nLoading pattern file...done\nLoading model files...done\n"
              "warning: marker 1 (data/arrow.pat) shows no model: cannot open models/none0.mqo: "
              "No such file or directory\n");
    const std::vector<std::string> out = lines(viewer.out());
    ASSERT_EQ(out.size(), size_t(kFrames)) << viewer.out();
    double lastTime = -1.0;
    for (int f = 0; f < kFrames; f++) {
        SCOPED_TRACE("frame " + std::to_string(f) + ": " + out[f]);
        Json line;
        ASSERT_TRUE(JsonReader(out[f]).read(&line));
        EXPECT_EQ(line["frame"].number, f);
        EXPECT_GE(line["time_ms"].number, lastTime);
        lastTime = line["time_ms"].number;
        ASSERT_EQ(line["markers"].items.size(), 1u);
        const Json& m = line["markers"].items[0];
        EXPECT_EQ(m["slot"].number, 0);
        EXPECT_EQ(m["pattern_file"].text, "data/arrow.pat");
        EXPECT_GT(m["confidence"].number, 0.5);
        ASSERT_EQ(m["transform"].items.size(), 12u);
        const double(&truth)[3][4] = truth_[f].markers[0].pose;
        // Translation within 2% of the distance (the detector's corners lie slightly
        // inside the black square, so distances come out about 1% long), rotation
        // entries within 0.05.
        for (int r = 0; r < 3; r++) {
            EXPECT_NEAR(m["transform"].items[r * 4 + 3].number, truth[r][3], 0.02 * 520.0)
                << "row " << r;
            for (int c = 0; c < 3; c++)
                EXPECT_NEAR(m["transform"].items[r * 4 + c].number, truth[r][c], 0.05);
        }
    }
    // One picture per drawn frame, numbered from 0, window-sized.
    for (int f = 0; f <= kFrames; f++) {
        char name[32];
        std::snprintf(name, sizeof name, "rec/%06d.png", f);
        SynthImage picture;
        if (f == kFrames) {
            EXPECT_FALSE(fs::exists(dir_ / name)) << "more pictures than frames";
            break;
        }
        ASSERT_EQ(synthPngRead((dir_ / name).c_str(), &picture), 0) << name;
        EXPECT_EQ(picture.width, kW);
        EXPECT_EQ(picture.height, kH);
    }
}

// A video recording holds every drawn frame too, in either container.
TEST_F(ViewerOutput, VideoRecordingsHoldEveryDrawnFrame)
{
    constexpr int kFrames = 15;
    renderClip(kFrames, 4.0);
    conf(kFrames, false, 100, "# record into a video\nrecord rec.mkv\nposes poses.jsonl\n");
    for (const char* file : {"rec.mkv", "rec.webm"}) {
        SCOPED_TRACE(file);
        // The command line wins over the option line.
        std::vector<std::string> args;
        if (std::string(file) != "rec.mkv") args = {"--record", file};
        fs::remove(dir_ / "poses.jsonl");
        Viewer viewer(dir_, false, args);
        ASSERT_TRUE(waitLines(dir_ / "poses.jsonl", kFrames, 60)) << viewer.err();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ASSERT_EQ(escape(viewer), 0) << viewer.err();
        EXPECT_EQ(lines(slurp(dir_ / "poses.jsonl")).size(), size_t(kFrames));
        int width = 0, height = 0;
        EXPECT_EQ(countVideoFrames(dir_ / file, &width, &height), kFrames);
        EXPECT_EQ(width, kW);
        EXPECT_EQ(height, kH);
    }
}

// The README's file example, "filesrc location=clip.mp4 ! decodebin", plays an H.264
// .mp4 as phones record them (decoded by the libav plugin that install-deps installs);
// the clip is encoded here with OpenH264 from gstreamer1.0-plugins-bad.
TEST_F(ViewerOutput, AnH264Mp4PlaysThroughTheFileExample)
{
    if (sh("gst-inspect-1.0 openh264enc > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "no H.264 encoder (openh264enc) on this machine";
    constexpr int kFrames = 30;
    renderClip(kFrames, 2.0);
    ASSERT_EQ(sh("cd " + dir_.string() +
                 " && gst-launch-1.0 -q multifilesrc location=clip/%04d.png index=0 stop-index=" +
                 std::to_string(kFrames - 1) +
                 " caps=image/png,framerate=30/1 ! pngdec ! videoconvert ! openh264enc "
                 "bitrate=4000000 ! h264parse ! mp4mux ! filesink location=clip.mp4"),
              0);
    spit(dir_ / "data/tarlim.conf",
         "filesrc location=clip.mp4 ! decodebin\ndata/camera.cam\n100\n1\n"
         "data/arrow.pat\n80\n1\n1.0\nmodels/none\nposes poses.jsonl\n");
    Viewer viewer(dir_);
    // The file plays at its own rate, about a second; the newest frame is taken each time.
    ASSERT_TRUE(waitLines(dir_ / "poses.jsonl", 5, 60)) << viewer.err();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_EQ(escape(viewer), 0) << viewer.err();
    int found = 0;
    for (const std::string& line : lines(slurp(dir_ / "poses.jsonl"))) {
        Json frame;
        ASSERT_TRUE(JsonReader(line).read(&frame)) << line;
        if (frame["markers"].items.size() != 1) continue;
        const Json& t = frame["markers"].items[0]["transform"];
        found++;
        EXPECT_NEAR(t.items[11].number, 520.0, 0.03 * 520.0) << line;
    }
    EXPECT_GE(found, 5);
}

// Detection option lines reach the detector: a confidence floor of 1 leaves the marker
// unrecognised, a minimum area above its size leaves it unfound; sound values find it.
TEST_F(ViewerOutput, DetectionOptionLinesReachTheDetector)
{
    constexpr int kFrames = 4;
    renderClip(kFrames, 0.0);
    const struct {
        const char* options;
        bool found;
    } runs[] = {
        {"confidence-min 1\n", false},
        {"min-area 60000\n", false},
        {"min-area 70\nmax-area 100000\nsquare-factor 1.0\nconfidence-min 0.5\nrobust on\n", true}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.options);
        conf(kFrames, false, 100, std::string("poses poses.jsonl\n") + run.options);
        fs::remove(dir_ / "poses.jsonl");
        Viewer viewer(dir_);
        ASSERT_TRUE(waitLines(dir_ / "poses.jsonl", kFrames, 60)) << viewer.err();
        // F7 switches the preset and says so.
        ASSERT_EQ(key("F7"), 0);
        ASSERT_TRUE(waitLines(dir_ / "stdout.txt", 6, 20)) << viewer.out();
        EXPECT_EQ(lines(viewer.out())[5], run.found ? "robust off" : "robust on");
        ASSERT_EQ(escape(viewer), 0);
        for (const std::string& line : lines(slurp(dir_ / "poses.jsonl")))
            EXPECT_EQ(line.find("\"slot\": 0") != std::string::npos, run.found) << line;
        EXPECT_EQ(viewer.err().find("data/tarlim.conf:"), std::string::npos) << viewer.err();
    }
}

// ---- Keys and the overlay -----------------------------------------------------------------

// Pixels of `image` within `radius` of (x, y) for which `test` holds.
template <typename Test>
int pixelsNear(const SynthImage& image, double x, double y, int radius, Test test)
{
    int n = 0;
    for (int dy = -radius; dy <= radius; dy++) {
        for (int dx = -radius; dx <= radius; dx++) {
            const int px = int(std::lround(x)) + dx, py = int(std::lround(y)) + dy;
            if (px < 0 || py < 0 || px >= image.width || py >= image.height) continue;
            const uint8_t* p = &image.pixels[(size_t(py) * image.width + px) * 4];
            n += test(p[0], p[1], p[2]);  // synth images: blue, green, red
        }
    }
    return n;
}

bool yellow(int b, int g, int r)
{
    return r > 200 && g > 200 && b < 60;
}
bool green(int b, int g, int r)
{
    return g > 200 && r < 80 && b < 80;
}

// F3 saves the window with the overlay (on from the option line): the outline runs
// through the detected corners, one of which is marked; after F2 the next screenshot
// shows none of it. F5 / F6 move the threshold by 5 and print it.
TEST_F(ViewerOutput, OverlayScreenshotsAndThresholdKeys)
{
    renderClip(2, 0.0);
    // The renderer prints on paper of grey 236: at 240 it is dark and the marker merges
    // with the desk; at 230 the paper is light again and the marker is found.
    conf(2, true, 240, "overlay on\nposes poses.jsonl\n");
    Viewer viewer(dir_);
    ASSERT_TRUE(waitLines(dir_ / "poses.jsonl", 10, 60)) << viewer.err();
    ASSERT_EQ(key("F5 F5"), 0);
    ASSERT_TRUE(waitLines(dir_ / "stdout.txt", 7, 20)) << viewer.out();
    const size_t lowered = lines(slurp(dir_ / "poses.jsonl")).size();
    ASSERT_TRUE(waitLines(dir_ / "poses.jsonl", lowered + 10, 60));
    ASSERT_EQ(key("F3"), 0);
    ASSERT_TRUE(waitLines(dir_ / "stdout.txt", 8, 20)) << viewer.out();
    ASSERT_EQ(key("F2"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(key("F3"), 0);
    ASSERT_TRUE(waitLines(dir_ / "stdout.txt", 9, 20)) << viewer.out();
    ASSERT_EQ(key("F1"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(key("F3"), 0);
    ASSERT_TRUE(waitLines(dir_ / "stdout.txt", 10, 20)) << viewer.out();
    ASSERT_EQ(key("F1"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(key("F3"), 0);
    ASSERT_TRUE(waitLines(dir_ / "stdout.txt", 11, 20)) << viewer.out();
    ASSERT_EQ(key("F6 F6"), 0);
    ASSERT_TRUE(waitLines(dir_ / "stdout.txt", 13, 20)) << viewer.out();
    const size_t raised = lines(slurp(dir_ / "poses.jsonl")).size();
    ASSERT_TRUE(waitLines(dir_ / "poses.jsonl", raised + 10, 60));
    ASSERT_EQ(escape(viewer), 0);

    const std::vector<std::string> out = lines(viewer.out());
    ASSERT_EQ(out.size(), 13u) << viewer.out();
    EXPECT_EQ(out[5], "threshold 235");
    EXPECT_EQ(out[6], "threshold 230");
    for (int i = 1; i <= 4; i++) {
        char name[32];
        std::snprintf(name, sizeof name, "tarlim-%04d.png", i);
        EXPECT_EQ(out[6 + i], "screenshot: " + (dir_ / name).string());
    }
    EXPECT_EQ(out[11], "threshold 235");
    EXPECT_EQ(out[12], "threshold 240");

    // Found only while the threshold was 230 (the history may carry a marker two frames on).
    const std::vector<std::string> poses = lines(slurp(dir_ / "poses.jsonl"));
    auto seen = [&](size_t i) { return poses[i].find("\"slot\": 0") != std::string::npos; };
    for (size_t i = 0; i < 10; i++) EXPECT_FALSE(seen(i)) << poses[i];
    for (size_t i = lowered + 3; i < lowered + 10; i++) EXPECT_TRUE(seen(i)) << poses[i];
    for (size_t i = raised + 3; i < poses.size(); i++) EXPECT_FALSE(seen(i)) << poses[i];

    // The overlay at the rendered marker's ideal corners (the window shows ideal pixels).
    SynthImage with, without;
    ASSERT_EQ(synthPngRead((dir_ / "tarlim-0001.png").c_str(), &with), 0);
    ASSERT_EQ(synthPngRead((dir_ / "tarlim-0002.png").c_str(), &without), 0);
    const auto& corners = truth_[0].markers[0].idealCorners;
    int marked = 0;
    for (int k = 0; k < 4; k++) {
        SCOPED_TRACE("corner " + std::to_string(k));
        const double x = corners[k][0], y = corners[k][1];
        const int yellowNear = pixelsNear(with, x, y, 3, yellow);
        marked += yellowNear > 10;
        EXPECT_GT(yellowNear + pixelsNear(with, x, y, 6, green), 6) << x << ", " << y;
        EXPECT_EQ(pixelsNear(without, x, y, 6, yellow) + pixelsNear(without, x, y, 6, green), 0);
        // Half way along the edge to the next corner: the outline.
        const double mx = (x + corners[(k + 1) % 4][0]) / 2, my = (y + corners[(k + 1) % 4][1]) / 2;
        EXPECT_GT(pixelsNear(with, mx, my, 2, green), 2) << mx << ", " << my;
    }
    EXPECT_EQ(marked, 1) << "corner 0 alone is marked";

    // F1 shows the list of keys in white on a dark panel at the window's centre (the
    // paper under it is grey 236), and F1 again hides it.
    SynthImage keys, hidden;
    ASSERT_EQ(synthPngRead((dir_ / "tarlim-0003.png").c_str(), &keys), 0);
    ASSERT_EQ(synthPngRead((dir_ / "tarlim-0004.png").c_str(), &hidden), 0);
    auto white = [](int b, int g, int r) { return b > 250 && g > 250 && r > 250; };
    const double cx = keys.width / 2.0, cy = keys.height / 2.0;
    EXPECT_GT(pixelsNear(keys, cx, cy, 60, white), 300);
    EXPECT_LT(pixelsNear(without, cx, cy, 60, white), 20);
    EXPECT_LT(pixelsNear(hidden, cx, cy, 60, white), 20);
}

}  // namespace
