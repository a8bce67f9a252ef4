// Chessboard corners through OpenCV: detection on a grey copy, then sub-pixel
// refinement at the saddle points.
#include "tools/calibrate.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

// Sub-pixel search: half-window in pixels and the stopping rule (tunable). A window of
// 11 x 11 suits squares of 15 pixels and more, the smallest a usable view shows.
constexpr int kCalibSubPixHalfWindow = 5;
constexpr int kCalibSubPixIterations = 50;
constexpr double kCalibSubPixEpsilon = 1e-4;

}  // namespace

int calibFindCorners(const std::uint8_t* bgra, int width, int height, int cols, int rows, int fast,
                     double* corners)
{
    if (bgra == nullptr || width < 1 || height < 1 || cols < kCalibMinCorners ||
        cols > kCalibMaxCorners || rows < kCalibMinCorners || rows > kCalibMaxCorners)
        return -1;
    try {
        const cv::Mat frame(height, width, CV_8UC4, const_cast<std::uint8_t*>(bgra));
        cv::Mat grey;
        cv::cvtColor(frame, grey, cv::COLOR_BGRA2GRAY);
        std::vector<cv::Point2f> found;
        int flags = cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE;
        if (fast) flags |= cv::CALIB_CB_FAST_CHECK;
        if (!cv::findChessboardCorners(grey, cv::Size(cols, rows), found, flags)) return -1;
        // The window must not reach past the nearest neighbouring corner.
        int half = kCalibSubPixHalfWindow;
        double nearest = 1e300;
        for (int j = 0; j < rows; j++)
            for (int i = 0; i + 1 < cols; i++) {
                const cv::Point2f d = found[j * cols + i + 1] - found[j * cols + i];
                nearest = std::min(nearest, static_cast<double>(std::sqrt(d.x * d.x + d.y * d.y)));
            }
        while (half > 1 && 2 * half + 1 > nearest * 0.8) half--;
        cv::cornerSubPix(grey, found, cv::Size(half, half), cv::Size(-1, -1),
                         cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT,
                                          kCalibSubPixIterations, kCalibSubPixEpsilon));
        for (std::size_t k = 0; k < found.size(); k++) {
            corners[k * 2] = found[k].x;
            corners[k * 2 + 1] = found[k].y;
        }
    } catch (const cv::Exception&) {
        return -1;
    }
    return 0;
}
