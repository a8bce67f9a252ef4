// Video capture: frame size and layout, exact pixels of an image sequence in order,
// pacing of files, failures that report and return quickly, and "nothing new".
#include "video/video.h"

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Waits up to `seconds` for a frame.
unsigned char* waitForImage(double seconds)
{
    const auto start = Clock::now();
    while (secondsSince(start) < seconds) {
        if (unsigned char* image = videoGetImage()) return image;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return nullptr;
}

// Colour of pixel (x, y) of sequence frame k, distinct for every pixel and frame.
void sequenceColour(int k, int x, int y, unsigned char rgb[3])
{
    rgb[0] = static_cast<unsigned char>(x * 8 + k);
    rgb[1] = static_cast<unsigned char>(y * 12 + 3 * k);
    rgb[2] = static_cast<unsigned char>(200 - 37 * k + x + y);
}

constexpr int kSeqWidth = 30;
constexpr int kSeqHeight = 20;

// A temporary directory of RGB PNG files 0000.png, 0001.png, ... removed afterwards.
class PngSequence {
public:
    explicit PngSequence(int count)
    {
        char pattern[] = "/tmp/tarlim-video-XXXXXX";
        dir_ = mkdtemp(pattern);
        for (int k = 0; k < count; k++) writeFrame(k);
    }
    ~PngSequence() { std::filesystem::remove_all(dir_); }
    std::string location() const { return dir_ + "/%04d.png"; }

private:
    void writeFrame(int k)
    {
        char name[32];
        std::snprintf(name, sizeof name, "/%04d.png", k);
        const std::string path = dir_ + name;
        std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
        ASSERT_NE(file, nullptr) << path;
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        ASSERT_FALSE(setjmp(png_jmpbuf(png))) << "libpng failed on " << path;
        png_init_io(png, file.get());
        png_set_IHDR(png, info, kSeqWidth, kSeqHeight, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        std::vector<unsigned char> row(kSeqWidth * 3);
        for (int y = 0; y < kSeqHeight; y++) {
            for (int x = 0; x < kSeqWidth; x++) sequenceColour(k, x, y, &row[x * 3]);
            png_write_row(png, row.data());
        }
        png_write_end(png, nullptr);
        png_destroy_write_struct(&png, &info);
    }
    std::string dir_;
};

// Which sequence frame `image` shows (BGRA, rows top to bottom), or -1 if none
// matches exactly.
int sequenceFrameOf(const unsigned char* image, int count)
{
    for (int k = 0; k < count; k++) {
        bool same = true;
        for (int y = 0; y < kSeqHeight && same; y++) {
            for (int x = 0; x < kSeqWidth && same; x++) {
                unsigned char rgb[3];
                sequenceColour(k, x, y, rgb);
                const unsigned char* p = image + (y * kSeqWidth + x) * 4;
                same = p[0] == rgb[2] && p[1] == rgb[1] && p[2] == rgb[0];
            }
        }
        if (same) return k;
    }
    return -1;
}

class VideoTest : public testing::Test {
protected:
    void TearDown() override { videoClose(); }
};

// ---- Frame size and layout --------------------------------------------------------

void expectSolidFrames(const char* config, int width, int height)
{
    ASSERT_EQ(videoOpen(config), 0) << config;
    int w = 0;
    int h = 0;
    ASSERT_EQ(videoInqSize(&w, &h), 0);
    EXPECT_EQ(w, width) << config;
    EXPECT_EQ(h, height) << config;
    ASSERT_EQ(videoCapStart(), 0);
    for (int n = 0; n < 3; n++) {
        const unsigned char* image = waitForImage(3.0);
        ASSERT_NE(image, nullptr) << config << " frame " << n;
        // foreground-color 0xff336699 is ARGB: blue 0x99, green 0x66, red 0x33.
        int wrong = 0;
        for (int i = 0; i < width * height; i++) {
            const unsigned char* p = image + i * 4;
            if (p[0] != 0x99 || p[1] != 0x66 || p[2] != 0x33) wrong++;
        }
        EXPECT_EQ(wrong, 0) << config << " frame " << n;
        videoCapNext();
    }
}

TEST_F(VideoTest, TestSourceGivesBgraFramesOfTheReportedSize)
{
    expectSolidFrames("videotestsrc pattern=solid-color foreground-color=0xff336699", 320, 240);
    videoClose();
    expectSolidFrames("videotestsrc pattern=solid-color foreground-color=0xff336699 "
                      "! video/x-raw,width=640,height=480",
                      640, 480);
    videoClose();
    // The README's example, word for word.
    ASSERT_EQ(videoOpen("videotestsrc"), 0);
    int w = 0;
    int h = 0;
    ASSERT_EQ(videoInqSize(&w, &h), 0);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
}

// ---- Image sequences ------------------------------------------------------------

TEST_F(VideoTest, OwnSinkWithoutDroppingGivesEveryFileOnceInOrder)
{
    constexpr int kCount = 6;
    PngSequence files(kCount);
    const std::string config = "multifilesrc location=" + files.location() +
                               " caps=image/png,framerate=30/1 ! pngdec ! videoconvert"
                               " ! appsink sync=false";
    ASSERT_EQ(videoOpen(config.c_str()), 0) << config;
    int w = 0;
    int h = 0;
    ASSERT_EQ(videoInqSize(&w, &h), 0);
    ASSERT_EQ(w, kSeqWidth);
    ASSERT_EQ(h, kSeqHeight);
    ASSERT_EQ(videoCapStart(), 0);
    for (int k = 0; k < kCount; k++) {
        const unsigned char* image = waitForImage(3.0);
        ASSERT_NE(image, nullptr) << "frame " << k << " never arrived";
        videoCapNext();
        // Still readable after videoCapNext, and exactly file k.
        EXPECT_EQ(sequenceFrameOf(image, kCount), k) << "expected file " << k;
    }
    // The file does not loop: nothing after its end, however long we wait.
    EXPECT_EQ(waitForImage(0.3), nullptr);
    EXPECT_EQ(videoGetImage(), nullptr);
}

TEST_F(VideoTest, AppendedSinkPlaysFilesAtTheirFrameRate)
{
    constexpr int kCount = 4;
    PngSequence files(kCount);
    const std::string config =
        "multifilesrc location=" + files.location() + " caps=image/png,framerate=20/1 ! pngdec";
    ASSERT_EQ(videoOpen(config.c_str()), 0) << config;
    ASSERT_EQ(videoCapStart(), 0);
    const auto start = Clock::now();
    int last = -1;
    double lastAt = 0.0;
    while (last < kCount - 1 && secondsSince(start) < 3.0) {
        const unsigned char* image = videoGetImage();
        if (image == nullptr) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        const int k = sequenceFrameOf(image, kCount);
        ASSERT_GT(k, last) << "frames must be exact files, newer than the previous";
        last = k;
        lastAt = secondsSince(start);
    }
    ASSERT_EQ(last, kCount - 1) << "the last file never arrived";
    // At 20 frames per second the fourth file is due 150 ms after the first; an
    // unsynchronised sink would hand it out at once.
    EXPECT_GE(lastAt, 0.1);
    EXPECT_EQ(waitForImage(0.2), nullptr);
}

// Frames not fetched in time are dropped: after a pause the newest one comes, then
// nothing until the next is due.
TEST_F(VideoTest, AppendedSinkHandsOutOnlyTheNewestFrame)
{
    constexpr int kCount = 12;
    PngSequence files(kCount);
    const std::string config =
        "multifilesrc location=" + files.location() + " caps=image/png,framerate=20/1 ! pngdec";
    ASSERT_EQ(videoOpen(config.c_str()), 0) << config;
    ASSERT_EQ(videoCapStart(), 0);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const unsigned char* image = videoGetImage();
    const double seconds = secondsSince(start);
    ASSERT_NE(image, nullptr);
    const int k = sequenceFrameOf(image, kCount);
    EXPECT_GE(k, 3) << "stale frames were kept";
    EXPECT_LE(k, seconds * 20 + 1) << "the file ran ahead of its frame rate";
    EXPECT_EQ(videoGetImage(), nullptr) << "the next frame is 50 ms away";
}

// A file through decodebin, whose pads appear only once the file is typed: here a
// single PNG picture, so exactly one frame and then the end.
TEST_F(VideoTest, DecodebinFileGivesItsPictureThenNothing)
{
    PngSequence files(1);
    std::string path = files.location();
    path.replace(path.find("%04d"), 4, "0000");
    const std::string config = "filesrc location=" + path + " ! decodebin";
    ASSERT_EQ(videoOpen(config.c_str()), 0) << config;
    int w = 0;
    int h = 0;
    ASSERT_EQ(videoInqSize(&w, &h), 0);
    EXPECT_EQ(w, kSeqWidth);
    EXPECT_EQ(h, kSeqHeight);
    ASSERT_EQ(videoCapStart(), 0);
    const unsigned char* image = waitForImage(3.0);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(sequenceFrameOf(image, 1), 0);
    EXPECT_EQ(waitForImage(0.3), nullptr) << "a picture is one frame";
}

// ---- Nothing new ------------------------------------------------------------------

TEST_F(VideoTest, NoImageUntilANewFrameArrives)
{
    ASSERT_EQ(videoGetImage(), nullptr) << "nothing open";
    ASSERT_EQ(videoOpen("videotestsrc ! video/x-raw,framerate=4/1"), 0);
    ASSERT_EQ(videoCapStart(), 0);
    ASSERT_NE(waitForImage(3.0), nullptr);
    EXPECT_EQ(videoGetImage(), nullptr) << "the next frame is 250 ms away";
    EXPECT_NE(waitForImage(2.0), nullptr) << "a live source keeps delivering";
    ASSERT_EQ(videoCapStop(), 0);
    EXPECT_EQ(waitForImage(0.3), nullptr) << "stopped";
    ASSERT_EQ(videoCapStart(), 0);
    EXPECT_NE(waitForImage(3.0), nullptr) << "restarted";
}

// ---- Failures -------------------------------------------------------------------

// Opens `config` expecting failure within two seconds and exactly one "video: " line.
void expectQuickFailure(const std::string& config)
{
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    const int result = videoOpen(config.c_str());
    const double seconds = secondsSince(start);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1) << config;
    EXPECT_LT(seconds, 2.0) << config;
    EXPECT_EQ(err.rfind("video: ", 0), 0u) << config << ": " << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << config << ": " << err;
    EXPECT_GT(err.size(), 10u) << config << ": no reason given";
    int w = -7;
    EXPECT_EQ(videoInqSize(&w, &w), -1);
    EXPECT_EQ(w, -7);
    EXPECT_EQ(videoGetImage(), nullptr);
    EXPECT_EQ(videoClose(), 0) << "close after a failed open";
    EXPECT_EQ(videoClose(), 0);
}

TEST_F(VideoTest, BadSourcesFailQuicklyWithOneReasonLine)
{
    expectQuickFailure("filesrc location=/nonexistent/tarlim/clip.mp4 ! decodebin");
    expectQuickFailure("videotestsrc ! ! videoconvert");
    expectQuickFailure("tarlimnosuchelement");
    expectQuickFailure(
        "videotestsrc ! video/x-raw,format=RGB ! appsink caps=video/x-raw,format=RGB");
    if (access("/dev/video0", F_OK) != 0) expectQuickFailure("");
    // Nothing stays open: the next source opens normally.
    EXPECT_EQ(videoOpen("videotestsrc"), 0);
    EXPECT_EQ(videoOpen("videotestsrc"), -1) << "one source at a time";
}

}  // namespace
