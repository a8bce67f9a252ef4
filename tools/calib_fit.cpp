// Camera calibration: OpenCV's one-coefficient calibration as the start, then
// Levenberg-Marquardt on the camera file's own model over all views at once.
#include "tools/calibrate.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

// Intrinsic parameters in the order of the parameter vector; the centre comes last so
// that tying it to the principal point just shortens the free block.
enum CalibIntrinsic { kFx = 0, kFy, kCx, kCy, kF, kX0, kY0, kIntrinsicCount };
constexpr int kPoseCount = 6;                   // Rodrigues rotation vector, translation (mm)
constexpr double kCalibDistortionUnit = 1.0e8;  // f = k * 1e8, as camera files store it

// Convergence: stop when a step lowers the squared error by less than this fraction,
// or when the damping grows past kCalibMaxLambda (no step helps any more).
constexpr double kCalibTolerance = 1e-13;
constexpr double kCalibMaxLambda = 1e12;
// Plausible focal lengths, as multiples of the picture width; outside: the views do
// not fix the camera.
constexpr double kCalibMinFocal = 0.05;
constexpr double kCalibMaxFocal = 50.0;
constexpr int kCalibMaxRounds = 5;  // fits at most: each may drop views

int calibFail(char* reason, int reasonSize, const char* fmt, ...)
{
    if (reason != nullptr && reasonSize > 0) {
        va_list args;
        va_start(args, fmt);
        std::vsnprintf(reason, reasonSize, fmt, args);
        va_end(args);
    }
    return -1;
}

// Rotation matrix (row-major) of a Rodrigues vector.
void calibRotation(const double r[3], double m[9])
{
    const double theta = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    if (theta < 1e-12) {
        const double first[9] = {1, -r[2], r[1], r[2], 1, -r[0], -r[1], r[0], 1};
        std::copy(first, first + 9, m);
        return;
    }
    const double k[3] = {r[0] / theta, r[1] / theta, r[2] / theta};
    const double c = std::cos(theta), s = std::sin(theta), v = 1.0 - c;
    m[0] = c + v * k[0] * k[0];
    m[1] = v * k[0] * k[1] - s * k[2];
    m[2] = v * k[0] * k[2] + s * k[1];
    m[3] = v * k[1] * k[0] + s * k[2];
    m[4] = c + v * k[1] * k[1];
    m[5] = v * k[1] * k[2] - s * k[0];
    m[6] = v * k[2] * k[0] - s * k[1];
    m[7] = v * k[2] * k[1] + s * k[0];
    m[8] = c + v * k[2] * k[2];
}

// Rodrigues vector of a rotation matrix (row-major), through OpenCV.
void calibRotationVector(const double m[9], double r[3])
{
    cv::Mat rm(3, 3, CV_64F, const_cast<double*>(m));
    cv::Mat rv;
    cv::Rodrigues(rm, rv);
    for (int k = 0; k < 3; k++) r[k] = rv.at<double>(k);
}

struct CalibProblem {
    CalibBoard board;
    const std::vector<std::vector<double>>* views;
    std::vector<int> active;  // indices of the views in the fit
    int freeIntrinsics;       // kIntrinsicCount, or kX0 when the centre is tied
};

// Full intrinsic set from the parameter vector (tied centre copied from cx, cy).
void calibIntrinsics(const CalibProblem& problem, const double* p, double intr[kIntrinsicCount])
{
    std::copy(p, p + problem.freeIntrinsics, intr);
    if (problem.freeIntrinsics < kIntrinsicCount) {
        intr[kX0] = intr[kCx];
        intr[kY0] = intr[kCy];
    }
}

// Observed positions of the board corners for one view: 2 * cols * rows doubles.
void calibProject(const CalibBoard& board, const double intr[kIntrinsicCount],
                  const double pose[kPoseCount], double* out)
{
    double m[9];
    calibRotation(pose, m);
    const double* t = pose + 3;
    const double dist[4] = {intr[kX0], intr[kY0], intr[kF], 1.0};
    for (int j = 0; j < board.rows; j++) {
        for (int i = 0; i < board.cols; i++) {
            const double bx = i * board.square, by = j * board.square;
            const double x = m[0] * bx + m[1] * by + t[0];
            const double y = m[3] * bx + m[4] * by + t[1];
            const double z = m[6] * bx + m[7] * by + t[2];
            const double u = intr[kFx] * x / z + intr[kCx];
            const double v = intr[kFy] * y / z + intr[kCy];
            double* o = out + (j * board.cols + i) * 2;
            camIdealToObserv(dist, u, v, &o[0], &o[1]);
        }
    }
}

void calibResiduals(const CalibProblem& problem, const double intr[kIntrinsicCount],
                    const double pose[kPoseCount], int view, std::vector<double>* res)
{
    const std::vector<double>& seen = (*problem.views)[view];
    res->resize(seen.size());
    calibProject(problem.board, intr, pose, res->data());
    for (std::size_t k = 0; k < seen.size(); k++) (*res)[k] -= seen[k];
}

// Central-difference step of a parameter: relative to its size, with a floor for
// parameters near 0 (tunable; the fit's precision needs far less).
double calibStep(double value)
{
    return 1e-6 * std::max(1.0, std::fabs(value));
}

// Sum of squared residuals over the active views.
double calibCost(const CalibProblem& problem, const std::vector<double>& p)
{
    double intr[kIntrinsicCount];
    calibIntrinsics(problem, p.data(), intr);
    double cost = 0.0;
    std::vector<double> res;
    for (std::size_t a = 0; a < problem.active.size(); a++) {
        calibResiduals(problem, intr, &p[problem.freeIntrinsics + a * kPoseCount],
                       problem.active[a], &res);
        for (double r : res) cost += r * r;
    }
    return cost;
}

// Normal equations J^T J and gradient J^T r at p. The intrinsic block couples every
// view; each pose block only its own view, so the Jacobian is built view by view.
void calibNormal(const CalibProblem& problem, const std::vector<double>& p, cv::Mat* normal,
                 cv::Mat* gradient)
{
    const int ni = problem.freeIntrinsics;
    const int count = static_cast<int>(p.size());
    *normal = cv::Mat::zeros(count, count, CV_64F);
    *gradient = cv::Mat::zeros(count, 1, CV_64F);
    std::vector<double> res, plus, minus;
    for (std::size_t a = 0; a < problem.active.size(); a++) {
        const int view = problem.active[a];
        const int base = ni + static_cast<int>(a) * kPoseCount;
        double intr[kIntrinsicCount];
        calibIntrinsics(problem, p.data(), intr);
        double pose[kPoseCount];
        std::copy(&p[base], &p[base] + kPoseCount, pose);
        calibResiduals(problem, intr, pose, view, &res);
        const int rows = static_cast<int>(res.size());
        // Columns of this view's Jacobian: the free intrinsics, then its pose.
        std::vector<int> index;
        for (int k = 0; k < ni; k++) index.push_back(k);
        for (int k = 0; k < kPoseCount; k++) index.push_back(base + k);
        cv::Mat jac(rows, static_cast<int>(index.size()), CV_64F);
        for (int c = 0; c < static_cast<int>(index.size()); c++) {
            std::vector<double> q(p.begin(), p.end());
            const double h = calibStep(q[index[c]]);
            double qi[kIntrinsicCount], qp[kPoseCount];
            q[index[c]] = p[index[c]] + h;
            calibIntrinsics(problem, q.data(), qi);
            std::copy(&q[base], &q[base] + kPoseCount, qp);
            calibResiduals(problem, qi, qp, view, &plus);
            q[index[c]] = p[index[c]] - h;
            calibIntrinsics(problem, q.data(), qi);
            std::copy(&q[base], &q[base] + kPoseCount, qp);
            calibResiduals(problem, qi, qp, view, &minus);
            for (int r = 0; r < rows; r++) jac.at<double>(r, c) = (plus[r] - minus[r]) / (2.0 * h);
        }
        const cv::Mat jtj = jac.t() * jac;
        const cv::Mat jtr = jac.t() * cv::Mat(rows, 1, CV_64F, res.data());
        for (int r = 0; r < jtj.rows; r++) {
            gradient->at<double>(index[r]) += jtr.at<double>(r);
            for (int c = 0; c < jtj.cols; c++)
                normal->at<double>(index[r], index[c]) += jtj.at<double>(r, c);
        }
    }
}

// Levenberg-Marquardt (Marquardt's scaling of the diagonal) from p. Returns the
// iterations taken; p holds the best parameters found.
int calibLevenbergMarquardt(const CalibProblem& problem, int maxIterations, std::vector<double>* p)
{
    double cost = calibCost(problem, *p);
    double lambda = 1e-3;
    cv::Mat normal, gradient;
    calibNormal(problem, *p, &normal, &gradient);
    int iteration = 0;
    while (iteration < maxIterations) {
        iteration++;
        cv::Mat damped = normal.clone();
        for (int k = 0; k < damped.rows; k++)
            damped.at<double>(k, k) += lambda * std::max(normal.at<double>(k, k), 1e-12);
        cv::Mat delta;
        bool improved = false;
        if (cv::solve(damped, -gradient, delta, cv::DECOMP_CHOLESKY)) {
            std::vector<double> next(*p);
            for (std::size_t k = 0; k < next.size(); k++) next[k] += delta.at<double>(k);
            const double nextCost = calibCost(problem, next);
            if (std::isfinite(nextCost) && nextCost < cost) {
                const double gain = cost - nextCost;
                *p = next;
                cost = nextCost;
                lambda = std::max(lambda * 0.1, 1e-12);
                improved = true;
                if (gain <= kCalibTolerance * cost + 1e-24) break;
                calibNormal(problem, *p, &normal, &gradient);
            }
        }
        if (!improved) {
            lambda *= 10.0;
            if (lambda > kCalibMaxLambda) break;
        }
    }
    return iteration;
}

double calibViewRms(const CalibProblem& problem, const std::vector<double>& p, int activeIndex)
{
    double intr[kIntrinsicCount];
    calibIntrinsics(problem, p.data(), intr);
    std::vector<double> res;
    calibResiduals(problem, intr, &p[problem.freeIntrinsics + activeIndex * kPoseCount],
                   problem.active[activeIndex], &res);
    double sum = 0.0;
    for (double r : res) sum += r * r;
    return std::sqrt(sum / (res.size() / 2));
}

void calibPoseMatrix(const double pose[kPoseCount], double out[12])
{
    double m[9];
    calibRotation(pose, m);
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) out[r * 4 + c] = m[r * 3 + c];
        out[r * 4 + 3] = pose[3 + r];
    }
}

// OpenCV's calibration with one radial coefficient, no tangential terms, skew 0.
int calibOpenCvStart(const CalibBoard& board, int width, int height,
                     const std::vector<std::vector<double>>& views, CalibStart* start,
                     std::vector<double>* poses, char* reason, int reasonSize)
{
    std::vector<cv::Point3f> object;
    for (int j = 0; j < board.rows; j++)
        for (int i = 0; i < board.cols; i++)
            object.emplace_back(static_cast<float>(i * board.square),
                                static_cast<float>(j * board.square), 0.0f);
    std::vector<std::vector<cv::Point3f>> objects(views.size(), object);
    std::vector<std::vector<cv::Point2f>> images;
    for (const auto& view : views) {
        std::vector<cv::Point2f> pts;
        for (std::size_t k = 0; k + 1 < view.size(); k += 2)
            pts.emplace_back(static_cast<float>(view[k]), static_cast<float>(view[k + 1]));
        images.push_back(pts);
    }
    cv::Mat k, dist;
    std::vector<cv::Mat> rvecs, tvecs;
    const int flags = cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST;
    try {
        start->rms = cv::calibrateCamera(objects, images, cv::Size(width, height), k, dist, rvecs,
                                         tvecs, flags);
    } catch (const cv::Exception& e) {
        return calibFail(reason, reasonSize, "OpenCV's calibration failed: %s", e.err.c_str());
    }
    start->fx = k.at<double>(0, 0);
    start->fy = k.at<double>(1, 1);
    start->cx = k.at<double>(0, 2);
    start->cy = k.at<double>(1, 2);
    start->k1 = dist.at<double>(0);
    poses->clear();
    for (std::size_t v = 0; v < views.size(); v++) {
        for (int c = 0; c < 3; c++) poses->push_back(rvecs[v].at<double>(c));
        for (int c = 0; c < 3; c++) poses->push_back(tvecs[v].at<double>(c));
    }
    return 0;
}

double calibMedian(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

}  // namespace

void calibProjectBoard(const CalibBoard& board, const CameraParam& camera, const double pose[12],
                       double* corners)
{
    double m[9];
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) m[r * 3 + c] = pose[r * 4 + c];
    double p6[kPoseCount];
    calibRotationVector(m, p6);
    for (int r = 0; r < 3; r++) p6[3 + r] = pose[r * 4 + 3];
    const double intr[kIntrinsicCount] = {camera.projection[0][0], camera.projection[1][1],
                                          camera.projection[0][2], camera.projection[1][2],
                                          camera.distortion[2],    camera.distortion[0],
                                          camera.distortion[1]};
    calibProject(board, intr, p6, corners);
}

int calibFit(const CalibBoard& board, int width, int height,
             const std::vector<std::vector<double>>& views, const CalibOptions& options,
             CalibResult* result, char* reason, int reasonSize)
{
    if (board.cols < kCalibMinCorners || board.cols > kCalibMaxCorners ||
        board.rows < kCalibMinCorners || board.rows > kCalibMaxCorners)
        return calibFail(reason, reasonSize, "a board of %dx%d inner corners is out of range",
                         board.cols, board.rows);
    if (!(board.square > 0.0) || !std::isfinite(board.square))
        return calibFail(reason, reasonSize, "the square size must be positive");
    if (width < 1 || width > kCamParamSizeMax || height < 1 || height > kCamParamSizeMax)
        return calibFail(reason, reasonSize, "a picture size of %dx%d is out of range", width,
                         height);
    const int count = static_cast<int>(views.size());
    if (count < kCalibMinViews)
        return calibFail(reason, reasonSize,
                         "%d view%s with the board found; at least %d are needed (10 or more "
                         "at different angles are better)",
                         count, count == 1 ? "" : "s", kCalibMinViews);
    if (count > kCalibMaxViews)
        return calibFail(reason, reasonSize, "%d views; at most %d are accepted", count,
                         kCalibMaxViews);
    const std::size_t length = static_cast<std::size_t>(board.cols) * board.rows * 2;
    for (int v = 0; v < count; v++) {
        if (views[v].size() != length)
            return calibFail(reason, reasonSize, "view %d has %zu numbers, not %zu", v,
                             views[v].size(), length);
        for (double x : views[v])
            if (!std::isfinite(x))
                return calibFail(reason, reasonSize, "view %d has a corner that is not finite", v);
    }

    CalibResult out;
    std::vector<double> startPoses;
    if (calibOpenCvStart(board, width, height, views, &out.start, &startPoses, reason,
                         reasonSize) != 0)
        return -1;

    CalibProblem problem;
    problem.board = board;
    problem.views = &views;
    problem.freeIntrinsics = options.freeCentre ? kIntrinsicCount : kX0;
    for (int v = 0; v < count; v++) problem.active.push_back(v);

    // Parameters: intrinsics, then one pose per view. OpenCV's k1 acts on normalised
    // radii, our k on pixel radii: k = -k1 / (fx fy).
    const CalibStart& s = out.start;
    std::vector<double> intrinsics = {
        s.fx, s.fy, s.cx, s.cy, -s.k1 / (s.fx * s.fy) * kCalibDistortionUnit, s.cx, s.cy};
    std::vector<double> poses = startPoses;  // 6 per input view, kept for dropped ones
    out.viewRms.assign(count, 0.0);
    out.dropped.assign(count, 0);

    std::vector<double> p;
    for (int round = 0; round < kCalibMaxRounds; round++) {
        p.assign(intrinsics.begin(), intrinsics.begin() + problem.freeIntrinsics);
        for (int v : problem.active) p.insert(p.end(), &poses[v * 6], &poses[v * 6] + 6);
        out.iterations = calibLevenbergMarquardt(problem, options.maxIterations, &p);
        double intr[kIntrinsicCount];
        calibIntrinsics(problem, p.data(), intr);
        intrinsics.assign(intr, intr + kIntrinsicCount);
        std::vector<double> rms;
        for (std::size_t a = 0; a < problem.active.size(); a++) {
            const int v = problem.active[a];
            std::copy(&p[problem.freeIntrinsics + a * 6], &p[problem.freeIntrinsics + a * 6] + 6,
                      &poses[v * 6]);
            out.viewRms[v] = calibViewRms(problem, p, static_cast<int>(a));
            rms.push_back(out.viewRms[v]);
        }
        // The last round's fit must be the result, so it drops nothing.
        if (!options.dropOutliers || round + 1 == kCalibMaxRounds) break;
        const double limit = std::max(options.dropFactor * calibMedian(rms), options.dropFloorPx);
        std::vector<int> keep;
        for (int v : problem.active)
            if (!(out.viewRms[v] > limit)) keep.push_back(v);
        if (keep.size() == problem.active.size() || static_cast<int>(keep.size()) < kCalibMinViews)
            break;
        for (int v : problem.active)
            if (out.viewRms[v] > limit) out.dropped[v] = 1;
        problem.active = keep;
    }

    for (double v : intrinsics)
        if (!std::isfinite(v)) return calibFail(reason, reasonSize, "the fit did not converge");
    if (!(intrinsics[kFx] > kCalibMinFocal * width && intrinsics[kFx] < kCalibMaxFocal * width &&
          intrinsics[kFy] > kCalibMinFocal * width && intrinsics[kFy] < kCalibMaxFocal * width))
        return calibFail(reason, reasonSize,
                         "the views do not fix the camera (focal lengths %.1f, %.1f): hold the "
                         "board at different angles and distances",
                         intrinsics[kFx], intrinsics[kFy]);

    CameraParam& cam = out.camera;
    cam = CameraParam{};
    cam.width = width;
    cam.height = height;
    cam.projection[0][0] = intrinsics[kFx];
    cam.projection[0][2] = intrinsics[kCx];
    cam.projection[1][1] = intrinsics[kFy];
    cam.projection[1][2] = intrinsics[kCy];
    cam.projection[2][2] = 1.0;
    cam.distortion[0] = intrinsics[kX0];
    cam.distortion[1] = intrinsics[kY0];
    cam.distortion[2] = intrinsics[kF];
    cam.distortion[3] = 1.0;

    double sum = 0.0;
    int points = 0;
    out.keptViews = 0;
    out.poses.assign(static_cast<std::size_t>(count) * 12, 0.0);
    out.reprojected.assign(count, std::vector<double>(length));
    for (int v = 0; v < count; v++) {
        calibPoseMatrix(&poses[v * 6], &out.poses[v * 12]);
        calibProject(board, intrinsics.data(), &poses[v * 6], out.reprojected[v].data());
        if (out.dropped[v]) continue;
        out.keptViews++;
        for (std::size_t k = 0; k < length; k++) {
            const double d = out.reprojected[v][k] - views[v][k];
            sum += d * d;
        }
        points += static_cast<int>(length / 2);
    }
    out.rms = std::sqrt(sum / points);
    *result = out;
    return 0;
}
