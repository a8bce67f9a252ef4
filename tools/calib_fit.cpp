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
// OpenCV's calibration grows with the cube of the views (100 take minutes), so the start
// uses at most this many; the fit itself takes time linear in the views (tunable).
constexpr int kCalibStartViews = 20;

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

// Normal equations of the fit, kept in blocks: the intrinsics couple every view, each
// pose only its own view, so J^T J is [U W; W^T V] with V block-diagonal (6 x 6 per
// view). Solving through the Schur complement of V costs time linear in the views.
struct CalibNormal {
    cv::Mat u;                // intrinsics x intrinsics
    cv::Mat gi;               // J^T r, intrinsic part
    std::vector<cv::Mat> w;   // per view: intrinsics x 6
    std::vector<cv::Mat> v;   // per view: 6 x 6
    std::vector<cv::Mat> gv;  // per view: J^T r, pose part
};

// Builds the blocks at p, the Jacobian by central differences view by view.
void calibNormal(const CalibProblem& problem, const std::vector<double>& p, CalibNormal* normal)
{
    const int ni = problem.freeIntrinsics;
    const std::size_t views = problem.active.size();
    normal->u = cv::Mat::zeros(ni, ni, CV_64F);
    normal->gi = cv::Mat::zeros(ni, 1, CV_64F);
    normal->w.assign(views, cv::Mat());
    normal->v.assign(views, cv::Mat());
    normal->gv.assign(views, cv::Mat());
    std::vector<double> q(p);
    std::vector<double> res, plus, minus;
    for (std::size_t a = 0; a < views; a++) {
        const int view = problem.active[a];
        const int base = ni + static_cast<int>(a) * kPoseCount;
        double intr[kIntrinsicCount];
        calibIntrinsics(problem, q.data(), intr);
        calibResiduals(problem, intr, &q[base], view, &res);
        const int rows = static_cast<int>(res.size());
        // Columns of this view's Jacobian: the free intrinsics, then its pose.
        const int cols = ni + kPoseCount;
        cv::Mat jac(rows, cols, CV_64F);
        for (int c = 0; c < cols; c++) {
            const int index = c < ni ? c : base + (c - ni);
            const double keep = q[index];
            const double h = calibStep(keep);
            q[index] = keep + h;
            calibIntrinsics(problem, q.data(), intr);
            calibResiduals(problem, intr, &q[base], view, &plus);
            q[index] = keep - h;
            calibIntrinsics(problem, q.data(), intr);
            calibResiduals(problem, intr, &q[base], view, &minus);
            q[index] = keep;
            for (int r = 0; r < rows; r++) jac.at<double>(r, c) = (plus[r] - minus[r]) / (2.0 * h);
        }
        const cv::Mat jtj = jac.t() * jac;
        const cv::Mat jtr = jac.t() * cv::Mat(rows, 1, CV_64F, res.data());
        normal->u += jtj(cv::Rect(0, 0, ni, ni));
        normal->gi += jtr(cv::Rect(0, 0, 1, ni));
        normal->w[a] = jtj(cv::Rect(ni, 0, kPoseCount, ni)).clone();
        normal->v[a] = jtj(cv::Rect(ni, ni, kPoseCount, kPoseCount)).clone();
        normal->gv[a] = jtr(cv::Rect(0, ni, 1, kPoseCount)).clone();
    }
}

// Marquardt's damping: the diagonal scaled by 1 + lambda.
cv::Mat calibDamp(const cv::Mat& m, double lambda)
{
    cv::Mat d = m.clone();
    for (int k = 0; k < d.rows; k++)
        d.at<double>(k, k) += lambda * std::max(m.at<double>(k, k), 1e-12);
    return d;
}

// The damped step: (U' - sum W V'^-1 W^T) di = -gi + sum W V'^-1 gv, then per view
// dv = V'^-1 (-gv - W^T di). False when a system is not positive definite.
bool calibStepFor(const CalibNormal& normal, double lambda, std::vector<double>* delta)
{
    const int ni = normal.u.rows;
    cv::Mat s = calibDamp(normal.u, lambda);
    cv::Mat b = -normal.gi;
    std::vector<cv::Mat> vInv(normal.v.size());
    for (std::size_t a = 0; a < normal.v.size(); a++) {
        if (!cv::invert(calibDamp(normal.v[a], lambda), vInv[a], cv::DECOMP_CHOLESKY)) return false;
        const cv::Mat wv = normal.w[a] * vInv[a];
        s -= wv * normal.w[a].t();
        b += wv * normal.gv[a];
    }
    cv::Mat di;
    if (!cv::solve(s, b, di, cv::DECOMP_CHOLESKY)) return false;
    delta->assign(ni + normal.v.size() * kPoseCount, 0.0);
    for (int k = 0; k < ni; k++) (*delta)[k] = di.at<double>(k);
    for (std::size_t a = 0; a < normal.v.size(); a++) {
        const cv::Mat dv = vInv[a] * (-normal.gv[a] - normal.w[a].t() * di);
        for (int k = 0; k < kPoseCount; k++) (*delta)[ni + a * kPoseCount + k] = dv.at<double>(k);
    }
    return true;
}

// Levenberg-Marquardt (Marquardt's scaling of the diagonal) from p. Returns the
// iterations taken; p holds the best parameters found.
int calibLevenbergMarquardt(const CalibProblem& problem, int maxIterations, std::vector<double>* p)
{
    double cost = calibCost(problem, *p);
    double lambda = 1e-3;
    CalibNormal normal;
    calibNormal(problem, *p, &normal);
    int iteration = 0;
    std::vector<double> delta;
    while (iteration < maxIterations) {
        iteration++;
        bool improved = false;
        if (calibStepFor(normal, lambda, &delta)) {
            std::vector<double> next(*p);
            for (std::size_t k = 0; k < next.size(); k++) next[k] += delta[k];
            const double nextCost = calibCost(problem, next);
            if (std::isfinite(nextCost) && nextCost < cost) {
                const double gain = cost - nextCost;
                *p = next;
                cost = nextCost;
                lambda = std::max(lambda * 0.1, 1e-12);
                improved = true;
                if (gain <= kCalibTolerance * cost + 1e-24) break;
                calibNormal(problem, *p, &normal);
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

// OpenCV's calibration with one radial coefficient, no tangential terms, skew 0, over
// at most kCalibStartViews views spread evenly over the list; the other views' poses
// from solvePnP through that camera.
int calibOpenCvStart(const CalibBoard& board, int width, int height,
                     const std::vector<std::vector<double>>& views, CalibStart* start,
                     std::vector<double>* poses, char* reason, int reasonSize)
{
    std::vector<cv::Point3f> object;
    for (int j = 0; j < board.rows; j++)
        for (int i = 0; i < board.cols; i++)
            object.emplace_back(static_cast<float>(i * board.square),
                                static_cast<float>(j * board.square), 0.0f);
    std::vector<std::vector<cv::Point2f>> images;
    for (const auto& view : views) {
        std::vector<cv::Point2f> pts;
        for (std::size_t k = 0; k + 1 < view.size(); k += 2)
            pts.emplace_back(static_cast<float>(view[k]), static_cast<float>(view[k + 1]));
        images.push_back(pts);
    }
    const int count = static_cast<int>(views.size());
    const int used = std::min(count, kCalibStartViews);
    std::vector<int> chosen(count, -1);  // view -> its place in OpenCV's set, or -1
    std::vector<std::vector<cv::Point2f>> subset;
    for (int k = 0; k < used; k++) {
        const int v = used == 1 ? 0 : static_cast<int>(std::lround(k * (count - 1.0) / (used - 1)));
        chosen[v] = k;
        subset.push_back(images[v]);
    }
    const std::vector<std::vector<cv::Point3f>> objects(subset.size(), object);
    cv::Mat k, dist;
    std::vector<cv::Mat> rvecs, tvecs;
    const int flags = cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST;
    try {
        start->rms = cv::calibrateCamera(objects, subset, cv::Size(width, height), k, dist, rvecs,
                                         tvecs, flags);
        start->views = static_cast<int>(subset.size());
        poses->clear();
        for (int v = 0; v < count; v++) {
            cv::Mat r, t;
            if (chosen[v] >= 0) {
                r = rvecs[chosen[v]];
                t = tvecs[chosen[v]];
            } else if (!cv::solvePnP(object, images[v], k, dist, r, t)) {
                return calibFail(reason, reasonSize, "no pose found for view %d", v);
            }
            for (int c = 0; c < 3; c++) poses->push_back(r.at<double>(c));
            for (int c = 0; c < 3; c++) poses->push_back(t.at<double>(c));
        }
    } catch (const cv::Exception& e) {
        return calibFail(reason, reasonSize, "OpenCV's calibration failed: %s", e.err.c_str());
    }
    start->fx = k.at<double>(0, 0);
    start->fy = k.at<double>(1, 1);
    start->cx = k.at<double>(0, 2);
    start->cy = k.at<double>(1, 2);
    start->k1 = dist.at<double>(0);
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
