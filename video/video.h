// video: live or recorded frames from a GStreamer source, in the layout the display
// and the detector read.
//
// The configuration string is a GStreamer source description in gst-launch syntax,
// for example
//   "videotestsrc"                                     a 320x240 test source
//   "v4l2src device=/dev/video0 ! video/x-raw,width=640,height=480"   a webcam
//   "filesrc location=clip.mp4 ! decodebin"            a video file
//   "multifilesrc location=frames/%04d.png loop=true caps=image/png,framerate=30/1 ! pngdec"
//   ""                                                 the default camera (v4l2src:
//                                                      the first V4L2 device; no test
//                                                      pattern stands in for it)
// videoOpen appends the conversion to the frame layout and a sink of its own, which
// keeps only the newest frame (live sources: stale frames are dropped; files play at
// their own frame rate). A description that ends in its own "appsink" is used as
// given (its caps are set to the frame layout if it names none; with caps of another
// format videoOpen fails, since nothing here converts after it); "appsink sync=false"
// without dropping hands out every frame exactly once, as fast as it is decoded.
//
// Frames: width x height pixels of 4 bytes, blue, green, red, alpha, rows top to
// bottom without padding; every frame has the size videoInqSize reports.
//
// Use: videoOpen, videoInqSize, videoCapStart; per frame videoGetImage (none: try
// later) and videoCapNext; at the end videoCapStop, videoClose. One source at a
// time; single thread. Results: 0 success, -1 failure. Failures print one line
// starting with "video: " on standard error with GStreamer's reason.
#pragma once

// Opens the source described by `config` (NUL-terminated; empty or only blanks: the
// default camera) and waits for its first frame, at most kVideoOpenTimeoutMs, to
// learn the frame size. Returns 0, or -1 when another source is open, the description
// does not parse, an element is missing, the source fails or delivers no frame in
// time; nothing stays open after a failure. The source is then paused until
// videoCapStart.
int videoOpen(const char* config);

// How long videoOpen waits for the first frame before it gives up.
constexpr int kVideoOpenTimeoutMs = 5000;

// Writes the frame size in pixels. Returns 0, or -1 (outputs unchanged) when no
// source is open.
int videoInqSize(int* width, int* height);

// Starts (or resumes) continuous capture. Returns 0, or -1 when no source is open or
// it refuses to play.
int videoCapStart();

// Never blocks. Returns the newest frame not yet handed out (the frame held since
// videoOpen counts as one), or null when none has arrived since the last call, before
// videoOpen, after the end of a file that does not loop, or after a source error
// (reported once with a "video: " line, as soon as it is seen; the frames the source
// delivered before the error are still handed out first). A description ending in
// its own appsink that does not drop frames gets them in order, each once. The pixels belong to the video
// library and stay valid until the next videoGetImage that returns a frame, or
// videoCapStop / videoClose.
unsigned char* videoGetImage();

// Lets the library capture the next frame (capture is continuous: nothing to do).
// Returns 0, or -1 when no source is open.
int videoCapNext();

// Stops capture and releases the device or file and every frame held. videoCapStart
// starts again (a file from its beginning). Returns 0, or -1 when no source is open.
int videoCapStop();

// Releases the source and everything it holds. Harmless when nothing is open (also
// after a failed videoOpen). Returns 0.
int videoClose();

// ---- Recording -------------------------------------------------------------------------
//
// An encoded video of frames the caller draws: a path ending in ".webm" gets VP8 in
// WebM, ".mkv" Motion JPEG in Matroska. One recording at a time, independent of the
// source above. Failures print one line starting with "video: recording: ".

// Starts a recording of width x height frames into `path` (created or replaced).
// Returns 0, or -1 for another suffix, a recording already open, a missing encoder or
// a file that cannot be written (nothing stays open).
int videoRecordOpen(const char* path, int width, int height);

// Adds one frame: width x height pixels of 4 bytes, blue, green, red, alpha (ignored),
// rows BOTTOM to top (as glReadPixels returns them), shown at timeMs milliseconds
// from the start (increasing). The pixels are copied. Waits while a few frames are
// still queued for the encoder, so no frame is dropped. Returns 0, or -1 when no
// recording is open or the encoder has failed (reported once; later frames are not
// recorded).
int videoRecordFrame(const unsigned char* pixels, double timeMs);

// Finishes the file (the encoder drains its queue; waits up to a minute) and releases
// everything. Returns 0 (also when nothing is open), or -1 when the recording failed.
int videoRecordClose();
