// util: the operating-system and file-format services shared by the viewer, the model
// loader and the tools: a millisecond sleep, and image files (PNG and JPEG read, PNG and
// JPEG written).
//
// Images here are 4 bytes per pixel, rows top to bottom without padding, pixel (x, y) at
// byte (y * width + x) * 4, in the channel order the caller asks for: kUtilRgba (what
// OpenGL textures take) or kUtilBgra (the video frame layout). A file without alpha reads
// with alpha 255. Files are recognised by their first bytes, never by their name.
//
// Use:
//     UtilImage image;
//     char reason[128];
//     if (utilImageRead("hane.png", kUtilRgba, 4096 * 4096, &image, reason, sizeof reason) < 0)
//         printf("not loaded: %s\n", reason);
//
// Nothing here prints or ends the process; failures are result codes (0 success, -1
// failure) with a one-line reason where a user needs one. Thread-safe: no shared state.
#pragma once

#include <cstdint>
#include <vector>

// ---- Sleep -----------------------------------------------------------------------------

// Suspends the calling thread for `milliseconds` milliseconds (0 or less returns at
// once). Used by the frame loop (2 ms when no frame is ready) and the display's
// start-up pause (500 ms).
void utilSleep(int milliseconds);

// ---- Image files -----------------------------------------------------------------------

// Channel orders of a 4-byte pixel.
constexpr int kUtilRgba = 0;  // red, green, blue, alpha
constexpr int kUtilBgra = 1;  // blue, green, red, alpha

// File formats, as found from the content.
constexpr int kUtilFormatNone = 0;
constexpr int kUtilFormatPng = 1;
constexpr int kUtilFormatJpeg = 2;

// Largest side read or written, in pixels; with maxPixels below it keeps every byte count
// of an image well inside 64 bits and every side inside an int.
constexpr int kUtilImageSideMax = 32768;

// A decoded image. The record owns its bytes.
struct UtilImage {
    int width = 0;                     // pixels, 0 when empty
    int height = 0;                    // pixels, 0 when empty
    int format = kUtilFormatNone;      // the file's format
    std::vector<std::uint8_t> pixels;  // width * height * 4 bytes in the order asked for
};

// Reads the PNG (grey, grey+alpha, RGB, RGBA or palette, 8 or 16 bits per channel,
// reduced to 8) or JPEG (baseline or progressive, grey or colour) at `path` into *image,
// converted to `order`. An image of more than maxPixels pixels (width * height) or with a
// side above kUtilImageSideMax is refused before its pixels are decoded. Returns 0, or -1
// with *image untouched and, when reason is not null, a one-line reason without a line
// end written to reason (at most reasonSize bytes including the terminator): "no such
// file", "cannot open: <system reason>", "not a PNG or JPEG file", "too large: 70000x10
// pixels", "damaged PNG: <decoder's reason>", "damaged JPEG: <decoder's reason>".
int utilImageRead(const char* path, int order, int64_t maxPixels, UtilImage* image, char* reason,
                  int reasonSize);

// "png", "jpeg", or "none".
const char* utilImageFormatName(int format);

// Writes width x height pixels of `order` as an 8-bit PNG, RGBA when withAlpha is non-zero,
// else RGB (alpha dropped). pixelsPerMetre > 0 stores the resolution (a pHYs chunk) so
// that printing "at actual size" gives the intended physical size; 0 stores none.
// Returns 0, or -1 for a bad argument or a file that cannot be written (a partly written
// file may remain).
int utilPngWrite(const char* path, int width, int height, const std::uint8_t* pixels, int order,
                 int withAlpha, double pixelsPerMetre);

// utilPngWrite's RGB file (no resolution) compressed for speed: several times faster,
// hardly larger on camera pictures. For saving many frames, as a recording does.
int utilPngWriteFast(const char* path, int width, int height, const std::uint8_t* pixels,
                     int order);

// Writes width x height pixels of `order` as a baseline colour JPEG of `quality` 1..100
// (alpha dropped). Returns 0, or -1 for a bad argument or a file that cannot be written.
int utilJpegWrite(const char* path, int width, int height, const std::uint8_t* pixels, int order,
                  int quality);
