// camera: camera parameter files, their rescaling to the capture size, the current
// camera parameters, the lens distortion model and the decomposition of a camera
// matrix into intrinsics and a rigid transformation.
//
// Use: camParamLoad a record from the file named in the configuration,
// camParamChangeSize it to the frame size the video source reports, camParamInit the
// result. Detection and pose estimation then read camCurrentParam, camImageWidth and
// camImageHeight, which nothing changes afterwards.
//
// Coordinates: image x to the right, y downwards from the top-left pixel, in pixels.
// "Observed" positions are those of the captured (distorted) image; "ideal" positions
// those of the distortion-free pinhole camera that `projection` describes.
//
// Result codes: 0 success, -1 failure. Nothing here prints.
#pragma once

#include <cstdint>

// One camera. Plain record, copied by value.
struct CameraParam {
    int width;                // image width in pixels the record is valid for
    int height;               // image height in pixels
    double projection[3][4];  // row-major camera matrix: camera-space (X, Y, Z, 1)
                              // maps to (u*w, v*w, w), (u, v) the ideal pixel position
    double distortion[4];     // x0, y0 (distortion centre, pixels); f (radial factor,
                              // used as f * 1e-8); s (model units per ideal pixel)
};

// Size of one record in a camera parameter file: two big-endian int32 (width,
// height), then twelve big-endian binary64 (projection, row by row), then four
// (distortion). No header, trailer or checksum.
constexpr int kCamParamRecordSize = 136;

// Largest width or height a record may give, far beyond any camera. The file carries
// no byte-order mark, but this bound detects a record written little-endian: any
// size from 1 to 65535 stored that way reads back as 65536 or more (or as negative),
// and so does the text of a file that is not a camera file at all.
constexpr int kCamParamSizeMax = 32767;

// The current camera parameters and frame size, zero until camParamInit runs.
extern CameraParam camCurrentParam;
extern int camImageWidth;
extern int camImageHeight;

// ---- Files -----------------------------------------------------------------------

// Reads `count` consecutive records from the start of the file at `path` into the
// `count` CameraParam* arguments that follow, in order. Each record is decoded field
// by field from big-endian, whatever the host's byte order. Returns 0, or -1 when
// count < 1 (nothing opened), the file cannot be opened, it is shorter than
// count * 136 bytes, or a record has a width or height of 0 or less or above
// kCamParamSizeMax, or a number that is not finite. Records before the failing one
// keep their decoded contents; the failing destination is not written.
int camParamLoad(const char* path, int count, ...);

// Writes `count` records from `params` to `path` in the same format (creating or
// truncating the file). Returns 0, or -1 when count < 1, a record has a width or
// height outside 1 ... kCamParamSizeMax or a number that is not finite (nothing is
// written then: the file would not load), or the file cannot be written completely.
int camParamSave(const char* path, int count, const CameraParam* params);

// ---- Current parameters ---------------------------------------------------------------

// Writes into *dest the parameters of *source rescaled to newWidth x newHeight. Only
// the width ratio r = newWidth / source.width scales (a change of aspect ratio is not
// compensated): projection rows 0 and 1 times r, row 2 copied; x0, y0 times r; f
// divided by r^2; s copied. source->width must be positive (camParamLoad guarantees
// it). source and dest may be the same record. Returns 0.
int camParamChangeSize(const CameraParam* source, int newWidth, int newHeight, CameraParam* dest);

// Installs *param as camCurrentParam and its width and height as camImageWidth and
// camImageHeight. Returns 0.
int camParamInit(const CameraParam* param);

// ---- Lens distortion ---------------------------------------------------------------

// Ideal position (ix, iy) to observed position (*ox, *oy), both in pixels, through the
// radial model of `distortion` (x0, y0, f, s). Pure; returns 0.
int camIdealToObserv(const double distortion[4], double ix, double iy, double* ox, double* oy);

// Observed position (ox, oy) to ideal position (*ix, *iy), inverting the model with
// exactly three Newton steps on the radius (no convergence test). For any real lens
// this is exact to well under 1e-9 pixel across the image (a 640x480 camera with a
// corner displacement of 4 pixels: below 1e-9). Near the radius where the model folds
// back (1 - 3 k r^2 = 0, k = f * 1e-8, far outside any real image) the result is
// meaningless or not finite. Pure; returns 0.
int camObservToIdeal(const double distortion[4], double ox, double oy, double* ix, double* iy);

// camObservToIdeal of n integer positions (x[i], y[i]) into ideal[2i], ideal[2i + 1],
// bit for bit the same values; two at a time where the processor has vectors of
// doubles. Returns 0.
int camObservToIdealPoints(const double distortion[4], int32_t n, const int32_t* x,
                           const int32_t* y, double* ideal);

// ---- Decomposition ---------------------------------------------------------------------

// Splits the 3x4 camera matrix `source` (not modified) into an upper-triangular
// intrinsic matrix `intrinsic` (3x4, bottom-right 1, fourth column 0, [0][0] and [1][1]
// non-negative) and a rigid transformation `transform` = [R | t] with orthonormal
// rows, such that source = scale * intrinsic * transform for a scale whose sign makes
// the translation along the viewing axis non-negative. Gram-Schmidt from the bottom
// row. Returns 0 (a singular left 3x3 part divides by zero; not reported).
int camDecomposeProjection(const double source[3][4], double intrinsic[3][4],
                           double transform[3][4]);
