// Video capture through GStreamer: a gst-launch description, converted to BGRA and
// collected by an application sink, handed out one frame at a time without blocking.
#include "video/video.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Without a description we open the first V4L2 camera: a test pattern or a silent
// fallback would report a missing camera as success.
constexpr const char* kVideoDefaultSource = "v4l2src";
// What videoOpen appends: conversion to the frame layout, a scaler that keeps the
// negotiated size if the source renegotiates (the caps filter is fixed after the
// first frame), and a sink that keeps only the newest frame.
constexpr const char* kVideoSinkChain =
    " ! videoconvert ! videoscale ! capsfilter name=tarlimcaps caps=video/x-raw,format=BGRA"
    " ! appsink name=tarlimsink max-buffers=1 drop=true";
constexpr int kVideoPollMs = 20;

struct VideoSource {
    GstElement* pipeline;
    GstElement* sink;        // the application sink (reference held)
    GstElement* sizeFilter;  // our caps filter, or the description's own sink
    GstBus* bus;
    int width;
    int height;
    bool newestOnly;     // the sink drops frames: hand out only the newest queued
    GstSample* pending;  // pulled but not yet handed out (the frame of videoOpen)
    GstSample* current;  // handed out; its buffer is mapped
    GstMapInfo map;
    unsigned char* packed;  // the current frame without row padding, if it had some
    bool failed;            // a source error was reported: no more frames
};

VideoSource videoSource = {};

// One line on standard error, never more: GStreamer's texts may hold line breaks.
void videoReport(const std::string& text)
{
    std::string line = "video: " + text;
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

// GStreamer's reason for an error message: the element, the message and the detail
// that names the cause (the last line of the debug text, e.g. the missing file).
std::string videoErrorText(GstMessage* message)
{
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    std::string text;
    if (GST_MESSAGE_SRC(message) != nullptr) {
        text = std::string(GST_OBJECT_NAME(GST_MESSAGE_SRC(message))) + ": ";
    }
    text += error != nullptr ? error->message : "unknown error";
    if (debug != nullptr) {
        const char* detail = std::strrchr(debug, '\n');
        text += std::string(" (") + (detail != nullptr ? detail + 1 : debug) + ")";
    }
    if (error != nullptr) g_error_free(error);
    g_free(debug);
    return text;
}

// Pops every pending bus message (they would pile up otherwise). Returns -1 once a
// source error has been reported (the first one only, once per source), else 0;
// sets *ended at the end of the stream.
int videoPollBus(bool* ended)
{
    while (GstMessage* message = gst_bus_pop(videoSource.bus)) {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR && !videoSource.failed) {
            videoReport(videoErrorText(message));
            videoSource.failed = true;
        } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS && ended != nullptr) {
            *ended = true;
        }
        gst_message_unref(message);
    }
    return videoSource.failed ? -1 : 0;
}

void videoReleaseFrames()
{
    if (videoSource.current != nullptr) {
        gst_buffer_unmap(gst_sample_get_buffer(videoSource.current), &videoSource.map);
        gst_sample_unref(videoSource.current);
        videoSource.current = nullptr;
    }
    if (videoSource.pending != nullptr) {
        gst_sample_unref(videoSource.pending);
        videoSource.pending = nullptr;
    }
}

void videoRelease()
{
    videoReleaseFrames();
    if (videoSource.pipeline != nullptr) {
        gst_element_set_state(videoSource.pipeline, GST_STATE_NULL);
    }
    if (videoSource.bus != nullptr) gst_object_unref(videoSource.bus);
    if (videoSource.sizeFilter != nullptr) gst_object_unref(videoSource.sizeFilter);
    if (videoSource.sink != nullptr) gst_object_unref(videoSource.sink);
    if (videoSource.pipeline != nullptr) gst_object_unref(videoSource.pipeline);
    std::free(videoSource.packed);
    videoSource = VideoSource{};
}

// Whether the last element of a gst-launch description is an appsink: the first
// word after the last '!' that is not inside quotes.
bool videoEndsInAppsink(const std::string& description)
{
    size_t lastLink = std::string::npos;
    char quote = 0;
    for (size_t i = 0; i < description.size(); i++) {
        const char c = description[i];
        if (quote != 0) {
            if (c == '\\')
                i++;
            else if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '!') {
            lastLink = i;
        }
    }
    size_t start = lastLink == std::string::npos ? 0 : lastLink + 1;
    while (start < description.size() &&
           std::isspace(static_cast<unsigned char>(description[start]))) {
        start++;
    }
    size_t end = start;
    while (end < description.size() &&
           !std::isspace(static_cast<unsigned char>(description[end]))) {
        end++;
    }
    return description.compare(start, end - start, "appsink") == 0;
}

// The description's own appsink: the first appsink among the pipeline's sinks.
GstElement* videoFindAppsink(GstElement* pipeline)
{
    if (!GST_IS_BIN(pipeline)) return nullptr;
    GstElement* found = nullptr;
    GstIterator* it = gst_bin_iterate_sinks(GST_BIN(pipeline));
    GValue item = G_VALUE_INIT;
    while (found == nullptr && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        GstElement* element = GST_ELEMENT(g_value_get_object(&item));
        if (GST_IS_APP_SINK(element)) found = GST_ELEMENT(gst_object_ref(element));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
}

// Builds the pipeline and finds its sink. Returns 0, or -1 after reporting.
int videoBuild(const char* config)
{
    std::string description = config;
    size_t first = description.find_first_not_of(" \t\r\n");
    description = first == std::string::npos ? kVideoDefaultSource : description.substr(first);
    const bool ownSink = videoEndsInAppsink(description);
    if (!ownSink) description += kVideoSinkChain;

    GError* error = nullptr;
    GstElement* pipeline =
        gst_parse_launch_full(description.c_str(), nullptr, GST_PARSE_FLAG_FATAL_ERRORS, &error);
    if (error != nullptr) {
        videoReport(error->message);
        g_error_free(error);
        if (pipeline != nullptr) gst_object_unref(pipeline);
        return -1;
    }
    videoSource.pipeline = pipeline;
    if (ownSink) {
        videoSource.sink = videoFindAppsink(pipeline);
        if (videoSource.sink == nullptr) {
            videoReport("the description's appsink is not part of a pipeline");
            return -1;
        }
        // A sink that names no caps gets the frame layout; one that names others
        // fails below with the format it received.
        GstCaps* caps = gst_app_sink_get_caps(GST_APP_SINK(videoSource.sink));
        if (caps == nullptr) {
            caps = gst_caps_from_string("video/x-raw,format=BGRA");
            gst_app_sink_set_caps(GST_APP_SINK(videoSource.sink), caps);
        }
        gst_caps_unref(caps);
        videoSource.sizeFilter = GST_ELEMENT(gst_object_ref(videoSource.sink));
        videoSource.newestOnly = gst_app_sink_get_drop(GST_APP_SINK(videoSource.sink));
    } else {
        videoSource.sink = gst_bin_get_by_name(GST_BIN(pipeline), "tarlimsink");
        videoSource.sizeFilter = gst_bin_get_by_name(GST_BIN(pipeline), "tarlimcaps");
        videoSource.newestOnly = true;
    }
    videoSource.bus = gst_element_get_bus(pipeline);
    return 0;
}

// Plays the pipeline and waits for the first frame. Returns it, or null after
// reporting why none came.
GstSample* videoFirstFrame()
{
    if (gst_element_set_state(videoSource.pipeline, GST_STATE_PLAYING) ==
        GST_STATE_CHANGE_FAILURE) {
        if (videoPollBus(nullptr) == 0) videoReport("the source cannot start");
        return nullptr;
    }
    for (int waited = 0; waited < kVideoOpenTimeoutMs; waited += kVideoPollMs) {
        GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(videoSource.sink),
                                                         kVideoPollMs * GST_MSECOND);
        if (sample != nullptr) return sample;
        bool ended = false;
        if (videoPollBus(&ended) < 0) return nullptr;
        if (ended) {
            videoReport("the source ended before its first frame");
            return nullptr;
        }
    }
    videoReport("no frame from the source within " + std::to_string(kVideoOpenTimeoutMs / 1000) +
                " seconds");
    return nullptr;
}

// Reads the frame size from the first frame and fixes it: later frames are scaled
// to it by our chain, or refused by the description's own sink.
int videoFixSize(GstSample* sample)
{
    GstVideoInfo info;
    GstCaps* caps = gst_sample_get_caps(sample);
    if (caps == nullptr || !gst_video_info_from_caps(&info, caps)) {
        videoReport("the source does not deliver raw video frames");
        return -1;
    }
    if (GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_BGRA) {
        videoReport(std::string("frames arrive as ") +
                    gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info)) + ", not BGRA");
        return -1;
    }
    videoSource.width = GST_VIDEO_INFO_WIDTH(&info);
    videoSource.height = GST_VIDEO_INFO_HEIGHT(&info);
    GstCaps* fixed =
        gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRA", "width", G_TYPE_INT,
                            videoSource.width, "height", G_TYPE_INT, videoSource.height, nullptr);
    g_object_set(videoSource.sizeFilter, "caps", fixed, nullptr);
    gst_caps_unref(fixed);
    return 0;
}

// Next sample to hand out, or null: the frame held since videoOpen first, then the
// sink's queue (only its newest when the sink drops frames anyway).
GstSample* videoNextSample()
{
    GstAppSink* sink = GST_APP_SINK(videoSource.sink);
    GstSample* sample = videoSource.pending;
    videoSource.pending = nullptr;
    if (sample != nullptr && !videoSource.newestOnly) return sample;
    while (GstSample* newer = gst_app_sink_try_pull_sample(sink, 0)) {
        if (sample != nullptr) gst_sample_unref(sample);
        sample = newer;
        if (!videoSource.newestOnly) break;
    }
    return sample;
}

// Makes `sample` the current frame and returns its pixels without row padding, or
// null (sample dropped) if it is not a frame of the fixed size.
unsigned char* videoHandOut(GstSample* sample)
{
    GstVideoInfo info;
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    const size_t rowBytes = static_cast<size_t>(videoSource.width) * 4;
    if (caps == nullptr || buffer == nullptr || !gst_video_info_from_caps(&info, caps) ||
        GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_BGRA ||
        GST_VIDEO_INFO_WIDTH(&info) != videoSource.width ||
        GST_VIDEO_INFO_HEIGHT(&info) != videoSource.height) {
        gst_sample_unref(sample);
        return nullptr;
    }
    size_t offset = GST_VIDEO_INFO_PLANE_OFFSET(&info, 0);
    size_t stride = static_cast<size_t>(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0));
    if (const GstVideoMeta* meta = gst_buffer_get_video_meta(buffer)) {
        offset = meta->offset[0];
        stride = static_cast<size_t>(meta->stride[0]);
    }

    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        gst_sample_unref(sample);
        return nullptr;
    }
    const size_t needed = offset + stride * (videoSource.height - 1) + rowBytes;
    // Padded rows are packed into a buffer of our own, made once; without it the
    // sample is dropped and the frame handed out before stays valid.
    if (stride > rowBytes && videoSource.packed == nullptr) {
        videoSource.packed =
            static_cast<unsigned char*>(std::malloc(rowBytes * videoSource.height));
    }
    if (stride < rowBytes || map.size < needed ||
        (stride > rowBytes && videoSource.packed == nullptr)) {
        gst_buffer_unmap(buffer, &map);
        gst_sample_unref(sample);
        return nullptr;
    }

    videoReleaseFrames();
    videoSource.current = sample;
    videoSource.map = map;
    unsigned char* pixels = map.data + offset;
    if (stride == rowBytes) return pixels;

    for (int y = 0; y < videoSource.height; y++) {
        std::memcpy(videoSource.packed + rowBytes * y, pixels + stride * y, rowBytes);
    }
    return videoSource.packed;
}

}  // namespace

int videoOpen(const char* config)
{
    if (videoSource.pipeline != nullptr) {
        videoReport("a video source is already open");
        return -1;
    }
    GError* error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &error)) {
        videoReport(error != nullptr ? error->message : "GStreamer cannot start");
        if (error != nullptr) g_error_free(error);
        return -1;
    }
    if (config == nullptr) config = "";
    if (videoBuild(config) < 0) {
        videoRelease();
        return -1;
    }
    GstSample* first = videoFirstFrame();
    if (first == nullptr || videoFixSize(first) < 0) {
        if (first != nullptr) gst_sample_unref(first);
        videoRelease();
        return -1;
    }
    videoSource.pending = first;
    // Hold the source until capture starts, so a file does not play on meanwhile.
    gst_element_set_state(videoSource.pipeline, GST_STATE_PAUSED);
    return 0;
}

int videoInqSize(int* width, int* height)
{
    if (videoSource.pipeline == nullptr) return -1;
    *width = videoSource.width;
    *height = videoSource.height;
    return 0;
}

int videoCapStart()
{
    if (videoSource.pipeline == nullptr) return -1;
    if (gst_element_set_state(videoSource.pipeline, GST_STATE_PLAYING) ==
        GST_STATE_CHANGE_FAILURE) {
        if (videoPollBus(nullptr) == 0) videoReport("the source cannot start");
        return -1;
    }
    return 0;
}

unsigned char* videoGetImage()
{
    if (videoSource.pipeline == nullptr) return nullptr;
    // A source error is reported as soon as it is seen, but the frames the source
    // delivered before it failed are still handed out, each once; then nothing comes.
    videoPollBus(nullptr);
    while (GstSample* sample = videoNextSample()) {
        if (unsigned char* pixels = videoHandOut(sample)) return pixels;
    }
    return nullptr;
}

int videoCapNext()
{
    return videoSource.pipeline == nullptr ? -1 : 0;
}

int videoCapStop()
{
    if (videoSource.pipeline == nullptr) return -1;
    videoReleaseFrames();
    gst_element_set_state(videoSource.pipeline, GST_STATE_NULL);
    return 0;
}

int videoClose()
{
    videoRelease();
    return 0;
}
