// OpenCV's own calibration of a set of chessboard pictures, side by side with a camera
// file made by tarlim-calibrate from the same pictures: the reference that
// scripts/bench-calibrate.sh records in docs/performance.md.
//
//   calibrate_opencv --board CxR --camera FILE --rms X PICTURE...
//
// OpenCV's path is its usual one: findChessboardCorners, cornerSubPix with an 11 x 11
// window, calibrateCamera with one radial coefficient (k2, k3 and the tangential terms
// fixed at 0). The pictures are read with our own reader.
#include "camera/camera.h"
#include "util/util.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: calibrate_opencv --board CxR --camera FILE --rms X PICTURE...\n");
    return 2;
}

// Percent difference of ours from OpenCV's, and whether it is within `limit` percent.
void row(const char* name, double opencv, double ours, double limit)
{
    const double diff = 100.0 * (ours - opencv) / std::fabs(opencv);
    std::printf("| %-16s | %10.3f | %10.3f | %+7.2f%% | %s (limit %g%%) |\n", name, opencv, ours,
                diff, std::fabs(diff) <= limit ? "within" : "OUTSIDE", limit);
}

}  // namespace

int main(int argc, char** argv)
{
    int cols = 0, rows = 0;
    std::string cameraPath;
    double ourRms = -1.0;
    std::vector<std::string> pictures;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--board") == 0 && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%dx%d", &cols, &rows) != 2) return usage();
        } else if (std::strcmp(argv[i], "--camera") == 0 && i + 1 < argc) {
            cameraPath = argv[++i];
        } else if (std::strcmp(argv[i], "--rms") == 0 && i + 1 < argc) {
            ourRms = std::atof(argv[++i]);
        } else {
            pictures.push_back(argv[i]);
        }
    }
    if (cols < 2 || rows < 2 || cameraPath.empty() || ourRms < 0.0 || pictures.empty())
        return usage();

    std::vector<cv::Point3f> object;
    for (int j = 0; j < rows; j++)
        for (int i = 0; i < cols; i++) object.emplace_back(25.0f * i, 25.0f * j, 0.0f);
    std::vector<std::vector<cv::Point3f>> objects;
    std::vector<std::vector<cv::Point2f>> images;
    cv::Size size;
    for (const std::string& path : pictures) {
        UtilImage picture;
        char reason[256];
        if (utilImageRead(path.c_str(), kUtilBgra, 1 << 26, &picture, reason, sizeof reason) != 0) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), reason);
            return 1;
        }
        size = cv::Size(picture.width, picture.height);
        cv::Mat bgra(picture.height, picture.width, CV_8UC4, picture.pixels.data());
        cv::Mat grey;
        cv::cvtColor(bgra, grey, cv::COLOR_BGRA2GRAY);
        std::vector<cv::Point2f> corners;
        if (!cv::findChessboardCorners(grey, cv::Size(cols, rows), corners,
                                       cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE))
            continue;
        cv::cornerSubPix(
            grey, corners, cv::Size(5, 5), cv::Size(-1, -1),
            cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT, 30, 0.01));
        objects.push_back(object);
        images.push_back(corners);
    }
    cv::Mat k, dist;
    std::vector<cv::Mat> rvecs, tvecs;
    const double rms =
        cv::calibrateCamera(objects, images, size, k, dist, rvecs, tvecs,
                            cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST);

    CameraParam cam{};
    if (camParamLoad(cameraPath.c_str(), 1, &cam) != 0) {
        std::fprintf(stderr, "%s: not a camera file\n", cameraPath.c_str());
        return 1;
    }
    std::printf("%zu pictures, board found in %zu; OpenCV k1 %.5f (as f: %.3f)\n", pictures.size(),
                images.size(), dist.at<double>(0),
                -dist.at<double>(0) / (k.at<double>(0, 0) * k.at<double>(1, 1)) * 1e8);
    std::printf("| %-16s | %10s | %10s | %8s | %s |\n", "", "OpenCV", "tarlim", "diff", "target");
    std::printf("|------------------|------------|------------|----------|------|\n");
    row("fx", k.at<double>(0, 0), cam.projection[0][0], 2.0);
    row("fy", k.at<double>(1, 1), cam.projection[1][1], 2.0);
    row("cx", k.at<double>(0, 2), cam.projection[0][2], 2.0);
    row("cy", k.at<double>(1, 2), cam.projection[1][2], 2.0);
    row("RMS (px)", rms, ourRms, 10.0);
    std::printf("tarlim distortion: x0 %.3f y0 %.3f f %.4f s %.3f\n", cam.distortion[0],
                cam.distortion[1], cam.distortion[2], cam.distortion[3]);
    return 0;
}
