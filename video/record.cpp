// Recording the viewer's window into a video file through GStreamer: frames pushed into
// an application source that blocks when the encoder falls behind, so no frame is lost.
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "video/video.h"

namespace {

// Frames queued ahead of the encoder before videoRecordFrame waits for it.
constexpr int kRecordQueueFrames = 4;
// How long videoRecordClose waits for the encoder to finish the file.
constexpr GstClockTime kRecordCloseTimeout = 60 * GST_SECOND;

struct VideoRecorder {
    GstElement* pipeline;
    GstElement* source;
    GstBus* bus;
    int width;
    int height;
    bool failed;
};

VideoRecorder videoRecorder = {};

bool videoEndsWith(const std::string& text, const char* end)
{
    const size_t n = std::strlen(end);
    return text.size() >= n && text.compare(text.size() - n, n, end) == 0;
}

void videoRecordReport(GstMessage* message)
{
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    std::string text = "video: recording: ";
    text += error != nullptr ? error->message : "unknown error";
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    std::fprintf(stderr, "%s\n", text.c_str());
    if (error != nullptr) g_error_free(error);
    g_free(debug);
}

void videoRecordRelease()
{
    VideoRecorder& r = videoRecorder;
    if (r.pipeline != nullptr) {
        gst_element_set_state(r.pipeline, GST_STATE_NULL);
        gst_object_unref(r.pipeline);
    }
    if (r.source != nullptr) gst_object_unref(r.source);
    if (r.bus != nullptr) gst_object_unref(r.bus);
    r = VideoRecorder{};
}

}  // namespace

int videoRecordOpen(const char* path, int width, int height)
{
    if (videoRecorder.pipeline != nullptr || width <= 0 || height <= 0) return -1;
    gst_init(nullptr, nullptr);
    const std::string file = path;
    // Frames arrive bottom row first, as OpenGL reads them back.
    std::string description =
        "appsrc name=recordsrc ! videoflip method=vertical-flip ! videoconvert ! ";
    if (videoEndsWith(file, ".webm")) {
        // Real-time speed settings; the millisecond time base keeps the viewer's
        // irregular frame times. One encoder thread: its threads spin while they wait
        // for each other, which on a busy two-core machine cost 20 times the CPU.
        // About 0.2 bits per pixel at 30 frames per second: clear video at any size.
        const long long bitrate = static_cast<long long>(width) * height * 6;
        description += "vp8enc deadline=1 cpu-used=16 threads=1 timebase=1/1000 target-bitrate=" +
                       std::to_string(bitrate) + " ! webmmux";
    } else if (videoEndsWith(file, ".mkv")) {
        description += "jpegenc quality=90 ! matroskamux";
    } else {
        std::fprintf(stderr, "video: recording: %s: not a .webm or .mkv file\n", path);
        return -1;
    }
    description += " ! filesink name=recordfile";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (pipeline == nullptr || error != nullptr) {
        std::fprintf(stderr, "video: recording: %s\n",
                     error != nullptr ? error->message : "cannot build the encoder");
        if (error != nullptr) g_error_free(error);
        if (pipeline != nullptr) gst_object_unref(pipeline);
        return -1;
    }
    VideoRecorder& r = videoRecorder;
    r.pipeline = pipeline;
    r.source = gst_bin_get_by_name(GST_BIN(pipeline), "recordsrc");
    r.bus = gst_element_get_bus(pipeline);
    r.width = width;
    r.height = height;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "recordfile");
    g_object_set(sink, "location", path, nullptr);
    gst_object_unref(sink);
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRA", "width",
                                        G_TYPE_INT, width, "height", G_TYPE_INT, height,
                                        "framerate", GST_TYPE_FRACTION, 0, 1, nullptr);
    const guint64 frameBytes = static_cast<guint64>(width) * height * 4;
    g_object_set(r.source, "caps", caps, "format", GST_FORMAT_TIME, "block", TRUE, "max-bytes",
                 frameBytes * kRecordQueueFrames, nullptr);
    gst_caps_unref(caps);
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        GstMessage* message = gst_bus_pop_filtered(r.bus, GST_MESSAGE_ERROR);
        if (message != nullptr) {
            videoRecordReport(message);
            gst_message_unref(message);
        }
        videoRecordRelease();
        return -1;
    }
    return 0;
}

int videoRecordFrame(const unsigned char* pixels, double timeMs)
{
    VideoRecorder& r = videoRecorder;
    if (r.pipeline == nullptr || r.failed) return -1;
    while (GstMessage* message = gst_bus_pop_filtered(r.bus, GST_MESSAGE_ERROR)) {
        videoRecordReport(message);
        gst_message_unref(message);
        r.failed = true;
    }
    if (r.failed) return -1;
    const gsize size = static_cast<gsize>(r.width) * r.height * 4;
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
    gst_buffer_fill(buffer, 0, pixels, size);
    GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(timeMs * GST_MSECOND);
    // Blocks while kRecordQueueFrames frames wait for the encoder: slower, never lossy.
    if (gst_app_src_push_buffer(GST_APP_SRC(r.source), buffer) != GST_FLOW_OK) {
        r.failed = true;
        return -1;
    }
    return 0;
}

int videoRecordClose()
{
    VideoRecorder& r = videoRecorder;
    if (r.pipeline == nullptr) return 0;
    int result = r.failed ? -1 : 0;
    gst_app_src_end_of_stream(GST_APP_SRC(r.source));
    GstMessage* message = gst_bus_timed_pop_filtered(
        r.bus, kRecordCloseTimeout,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    if (message == nullptr || GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        if (message != nullptr) videoRecordReport(message);
        result = -1;
    }
    if (message != nullptr) gst_message_unref(message);
    videoRecordRelease();
    return result;
}
