// calibrate: camera calibration from photographs of a printed chessboard, for
// tarlim-calibrate. Finds the board's inner corners (OpenCV), starts from OpenCV's
// calibration with one radial coefficient, then fits the camera file's own model by
// Levenberg-Marquardt over all views: focal lengths fx, fy and principal point cx, cy
// (skew 0), the radial factor f and the distortion centre x0, y0 of camera/camera.h,
// with one pose per view.
//
// The distortion centre is the principal point unless freeCentre is set. Lenses put
// both on the optical axis, and with the mild distortion of a webcam the views hardly
// tell the two apart: fitted separately on clean renderings, the centre wandered 15
// pixels and pulled the principal point 2 pixels off, for 1% less error. With strong
// distortion the centre is measurable, and freeCentre finds it.
//
// The scale s of the distortion model is held at 1: with the focal lengths free it is
// not determined by any image (fx, fy -> a fx, a fy, the principal point moved away
// from the distortion centre by a, s -> s / a projects every point to the same place),
// and s = 1 keeps ideal and observed pixels the same size at the distortion centre.
//
// Use: calibFindCorners on every picture, then calibFit with the views where the board
// was found. Coordinates are observed pixels, x right, y down, pixel centres at
// integers. Results: 0 success, -1 failure with a one-line reason. Nothing here prints.
// Only tools link this library (and so OpenCV); the vision core never does.
#pragma once

#include "camera/camera.h"

#include <cstdint>
#include <vector>

// Fewest views calibFit accepts. Two views determine the model in theory; three keep
// one bad view from deciding the result, and tarlim-calibrate advises 10 or more.
constexpr int kCalibMinViews = 3;
// Most views calibFit accepts (the normal equations grow with 6 per view).
constexpr int kCalibMaxViews = 400;
// Board sizes accepted, inner corners along either side.
constexpr int kCalibMinCorners = 2;
constexpr int kCalibMaxCorners = 64;

// The printed board: cols x rows inner corners (where four squares meet), squares of
// side `square` in millimetres. Corner (i, j) of a view lies at (i * square, j * square,
// 0) in the board's own frame, in the order calibFindCorners reports: row by row.
struct CalibBoard {
    int cols = 9;
    int rows = 6;
    double square = 25.0;
};

// Finds the board's cols x rows inner corners in a frame of width x height pixels of 4
// bytes (blue, green, red, unused; rows top to bottom). `fast`: a quick test for a board
// first, for video, where most frames may show none. On success writes 2 * cols * rows
// doubles (x, y), row by row, refined to sub-pixel precision, and returns 0; returns -1
// (corners untouched) when the board is not found whole.
int calibFindCorners(const std::uint8_t* bgra, int width, int height, int cols, int rows, int fast,
                     double* corners);

struct CalibOptions {
    int freeCentre = 0;        // 1: fit the distortion centre x0, y0 apart from the
                               // principal point; 0: x0, y0 = cx, cy
    int dropOutliers = 1;      // 1: drop views whose error is far above the rest
    double dropFactor = 3.0;   // a view is far above the rest when its RMS exceeds this
    double dropFloorPx = 0.5;  // times the median view RMS and this many pixels (tunable)
    int maxIterations = 200;   // Levenberg-Marquardt iterations per fit
};

// OpenCV's calibration with one radial coefficient k1 (x_d = x (1 + k1 r^2) in
// normalised coordinates), the starting point of the fit: over all views, or over 20
// spread evenly through the list when there are more (its time grows with the cube of
// the views), the others' poses then found through that camera.
struct CalibStart {
    double fx = 0, fy = 0, cx = 0, cy = 0, k1 = 0;
    double rms = 0;  // OpenCV's RMS reprojection error over its views, pixels
    int views = 0;   // how many views it calibrated
};

struct CalibResult {
    CameraParam camera{};  // width x height of the pictures, projection [[fx, 0, cx, 0],
                           // [0, fy, cy, 0], [0, 0, 1, 0]], distortion (x0, y0, f, 1)
    CalibStart start;      // OpenCV's one-coefficient calibration of all views
    double rms = 0;        // RMS reprojection error over the kept views, pixels
    int keptViews = 0;
    int iterations = 0;           // Levenberg-Marquardt iterations of the last fit
    std::vector<double> viewRms;  // per input view: RMS error in pixels (a dropped
                                  // view: in the fit that dropped it)
    std::vector<int> dropped;     // per input view: 1 when left out of the result
    std::vector<double> poses;    // per input view: 12 doubles, [R | t] board (mm) to
                                  // camera (mm), row-major
    std::vector<std::vector<double>> reprojected;  // per input view: the corners
                                                   // projected through the result
};

// Fits the camera to `views` (each 2 * cols * rows doubles from calibFindCorners) of
// pictures width x height pixels. Returns 0 with *result filled, or -1 with a reason
// (result not to be used) when the board or size is out of range, a view has the wrong
// length, there are fewer than kCalibMinViews or more than kCalibMaxViews views, or the
// fit fails (views that cannot fix the camera, such as all of them parallel).
int calibFit(const CalibBoard& board, int width, int height,
             const std::vector<std::vector<double>>& views, const CalibOptions& options,
             CalibResult* result, char* reason, int reasonSize);

// Projects the board corners of a view with pose [R | t] (12 doubles) through `camera`
// to observed pixels: 2 * cols * rows doubles into `corners`.
void calibProjectBoard(const CalibBoard& board, const CameraParam& camera, const double pose[12],
                       double* corners);
