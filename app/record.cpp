// Saving what the window shows: every drawn frame (--record) and single screenshots (F3).
#include <GL/gl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "display/display.h"
#include "util/util.h"
#include "video/video.h"

namespace {

enum class AppRecordMode { kNone, kPngs, kVideo };

// Frames read back but not yet written; the frame loop waits when this many are queued,
// so a slow disk slows the viewer down instead of losing frames.
constexpr size_t kAppRecordQueueMax = 6;

// One frame for the PNG writer: BGRA, bottom row first, and its file.
struct AppPngJob {
    std::vector<std::uint8_t> pixels;
    std::string path;
};

struct AppRecorder {
    AppRecordMode mode = AppRecordMode::kNone;
    std::string directory;
    int width = 0;
    int height = 0;
    long long frames = 0;              // frames handed on so far
    std::vector<std::uint8_t> pixels;  // read-back buffer of the video path
    // PNG writer thread: compression runs beside the frame loop (the second core).
    std::thread writer;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<AppPngJob> queue;   // guarded by lock
    std::vector<AppPngJob> spare;  // finished jobs, their buffers reused; guarded
    bool stopping = false;         // guarded
    std::string failure;           // first failed write; guarded
};

AppRecorder appRecorder;

bool appEndsWith(const std::string& text, const char* end)
{
    const size_t n = std::strlen(end);
    return text.size() >= n && text.compare(text.size() - n, n, end) == 0;
}

// The window's pixels from `buffer` (GL_BACK or GL_FRONT) into `pixels`, BGRA, bottom
// row first.
void appReadWindow(GLenum buffer, int width, int height, std::vector<std::uint8_t>* pixels)
{
    pixels->resize(static_cast<size_t>(width) * height * 4);
    glReadBuffer(buffer);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glPixelStorei(GL_PACK_ROW_LENGTH, 0);
    glReadPixels(0, 0, width, height, GL_BGRA, GL_UNSIGNED_BYTE, pixels->data());
}

// A PNG of bottom-up BGRA pixels; `fast` trades file size for speed.
int appWritePng(const std::string& path, int width, int height,
                const std::vector<std::uint8_t>& pixels, std::vector<std::uint8_t>* upright,
                bool fast)
{
    const size_t row = static_cast<size_t>(width) * 4;
    upright->resize(row * height);
    for (int y = 0; y < height; y++) {
        std::memcpy(upright->data() + row * y, pixels.data() + row * (height - 1 - y), row);
    }
    if (fast) return utilPngWriteFast(path.c_str(), width, height, upright->data(), kUtilBgra);
    return utilPngWrite(path.c_str(), width, height, upright->data(), kUtilBgra, 0, 0.0);
}

void appPngWriter()
{
    AppRecorder& r = appRecorder;
    std::vector<std::uint8_t> upright;
    std::unique_lock<std::mutex> guard(r.lock);
    for (;;) {
        r.changed.wait(guard, [&] { return r.stopping || !r.queue.empty(); });
        if (r.queue.empty()) return;  // stopping, and everything written
        AppPngJob job = std::move(r.queue.front());
        r.queue.pop_front();
        guard.unlock();
        const bool ok = appWritePng(job.path, r.width, r.height, job.pixels, &upright, true) == 0;
        const int error = errno;
        guard.lock();
        if (!ok && r.failure.empty())
            r.failure = "cannot write " + job.path + ": " + std::strerror(error);
        r.spare.push_back(std::move(job));
        r.changed.notify_all();
    }
}

void appStopWriter()
{
    AppRecorder& r = appRecorder;
    if (!r.writer.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        r.stopping = true;
    }
    r.changed.notify_all();
    r.writer.join();
}

// Queues one frame for the writer, waiting while the queue is full. Returns -1 when a
// write has failed (the reason is printed).
int appQueuePng(double /*timeMs*/)
{
    AppRecorder& r = appRecorder;
    std::unique_lock<std::mutex> guard(r.lock);
    r.changed.wait(guard,
                   [&] { return r.queue.size() < kAppRecordQueueMax || !r.failure.empty(); });
    if (!r.failure.empty()) {
        std::fprintf(stderr, "%s\n", r.failure.c_str());
        return -1;
    }
    AppPngJob job;
    if (!r.spare.empty()) {
        job = std::move(r.spare.back());
        r.spare.pop_back();
    }
    guard.unlock();
    appReadWindow(GL_BACK, r.width, r.height, &job.pixels);
    char name[32];
    std::snprintf(name, sizeof name, "/%06lld.png", r.frames);
    job.path = r.directory + name;
    guard.lock();
    r.queue.push_back(std::move(job));
    r.changed.notify_all();
    return 0;
}

}  // namespace

int appRecordStart(const char* path, int width, int height)
{
    AppRecorder& r = appRecorder;
    r.mode = AppRecordMode::kNone;
    r.width = width;
    r.height = height;
    r.frames = 0;
    const std::string target = path;
    if (appEndsWith(target, ".webm") || appEndsWith(target, ".mkv")) {
        if (videoRecordOpen(path, width, height) < 0) return -1;
        r.mode = AppRecordMode::kVideo;
        return 0;
    }
    std::error_code error;
    std::filesystem::create_directories(target, error);
    if (!std::filesystem::is_directory(target, error)) {
        std::fprintf(stderr, "%s: not a directory and cannot be made one%s%s\n", path,
                     error ? ": " : "", error ? error.message().c_str() : "");
        return -1;
    }
    r.directory = target;
    r.stopping = false;
    r.failure.clear();
    r.writer = std::thread(appPngWriter);
    r.mode = AppRecordMode::kPngs;
    return 0;
}

void appRecordFrame(double timeMs)
{
    AppRecorder& r = appRecorder;
    if (r.mode == AppRecordMode::kNone) return;
    int result = 0;
    if (r.mode == AppRecordMode::kVideo) {
        appReadWindow(GL_BACK, r.width, r.height, &r.pixels);
        result = videoRecordFrame(r.pixels.data(), timeMs);
    } else {
        result = appQueuePng(timeMs);
    }
    if (result < 0) {
        // A full disk or a failed encoder: the frames so far stay, the viewer goes on.
        std::fprintf(stderr, "recording stopped after %lld frames\n", r.frames);
        appRecordStop();
        return;
    }
    r.frames++;
}

void appRecordStop()
{
    AppRecorder& r = appRecorder;
    if (r.mode == AppRecordMode::kVideo && videoRecordClose() < 0) {
        std::fprintf(stderr, "the recording may be incomplete\n");
    }
    appStopWriter();
    r.mode = AppRecordMode::kNone;
}

int appSaveScreenshot(std::string* path)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path cwd = fs::current_path(error);
    for (int n = 1; n < 100000; n++) {
        char name[32];
        std::snprintf(name, sizeof name, "tarlim-%04d.png", n);
        if (fs::exists(name, error) || fs::is_symlink(name, error)) continue;
        std::vector<std::uint8_t> pixels, upright;
        appReadWindow(GL_BACK, dispWindowWidth, dispWindowHeight, &pixels);
        *path = (cwd / name).string();
        return appWritePng(name, dispWindowWidth, dispWindowHeight, pixels, &upright, false);
    }
    return -1;
}
