// Pose estimation on exact synthetic corners: markers are built by projecting known
// corners through a known camera and drawing the edge lines through them, so every
// check compares with an independent truth. Where the code guards against a fault of
// the straightforward algorithm, a test-only copy of that plain algorithm shows the
// fault, and that every other case is unchanged bit for bit.
#include "pose/pose.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "camera/camera.h"
#include "detect/detect.h"
#include "tests/support/support.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180;

// ---- Geometry helpers ----------------------------------------------------------------

using Mat3 = std::array<std::array<double, 3>, 3>;

Mat3 mul(const Mat3& x, const Mat3& y)
{
    Mat3 r{};
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++)
            for (int k = 0; k < 3; k++) r[i][j] += x[i][k] * y[k][j];
    return r;
}

Mat3 rotX(double t)
{
    return {{{1, 0, 0}, {0, std::cos(t), -std::sin(t)}, {0, std::sin(t), std::cos(t)}}};
}
Mat3 rotY(double t)
{
    return {{{std::cos(t), 0, std::sin(t)}, {0, 1, 0}, {-std::sin(t), 0, std::cos(t)}}};
}
Mat3 rotZ(double t)
{
    return {{{std::cos(t), -std::sin(t), 0}, {std::sin(t), std::cos(t), 0}, {0, 0, 1}}};
}

// Marker facing the camera (marker y up = camera -y), turned by `spin` in its plane,
// then tilted by tiltX about the camera x axis and tiltY about the camera y axis.
struct Pose {
    double m[3][4];
};
Pose makePose(double spinDeg, double tiltXDeg, double tiltYDeg, double x, double y, double z)
{
    const Mat3 facing = {{{1, 0, 0}, {0, -1, 0}, {0, 0, -1}}};
    const Mat3 R =
        mul(rotX(tiltXDeg * kDeg), mul(rotY(tiltYDeg * kDeg), mul(facing, rotZ(spinDeg * kDeg))));
    Pose p{};
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) p.m[r][c] = R[r][c];
    }
    p.m[0][3] = x, p.m[1][3] = y, p.m[2][3] = z;
    return p;
}

CameraParam makeCamera(double f0)
{
    CameraParam cam{};
    cam.width = 640;
    cam.height = 480;
    const double P[3][4] = {{800, 0, 319.5, 0}, {0, 800, 239.5, 0}, {0, 0, 1, 0}};
    std::memcpy(cam.projection, P, sizeof P);
    cam.distortion[0] = 318.5, cam.distortion[1] = 242, cam.distortion[2] = f0,
    cam.distortion[3] = 0.98;
    return cam;
}

void project(const double P[3][4], const double T[3][4], double X, double Y, double out[2])
{
    double cam[3];
    for (int r = 0; r < 3; r++) cam[r] = T[r][0] * X + T[r][1] * Y + T[r][3];
    double h[3];
    for (int r = 0; r < 3; r++)
        h[r] = P[r][0] * cam[0] + P[r][1] * cam[1] + P[r][2] * cam[2] + P[r][3];
    out[0] = h[0] / h[2];
    out[1] = h[1] / h[2];
}

// Marker corner positions c0..c3 for width w about the origin.
void markerCorner(int k, double w, double* X, double* Y)
{
    const double xs[4] = {-0.5, 0.5, 0.5, -0.5}, ys[4] = {0.5, 0.5, -0.5, -0.5};
    *X = xs[k] * w;
    *Y = ys[k] * w;
}

// A detection of the marker at `pose` with orientation d: exact ideal corners, and
// unit-normal edge lines through neighbouring corners.
DetectedMarker makeMarker(const double P[3][4], const Pose& pose, double width, int d)
{
    DetectedMarker m{};
    m.direction = d;
    m.patternId = 0;
    m.confidence = 1;
    for (int k = 0; k < 4; k++) {
        double X, Y;
        markerCorner(k, width, &X, &Y);
        project(P, pose.m, X, Y, m.cornerPoints[(k + 4 - d) % 4]);
    }
    for (int i = 0; i < 4; i++) {
        const double* p0 = m.cornerPoints[i];
        const double* p1 = m.cornerPoints[(i + 1) % 4];
        double a = p1[1] - p0[1], b = -(p1[0] - p0[0]);
        const double len = std::hypot(a, b);
        a /= len, b /= len;
        m.edgeLines[i][0] = a, m.edgeLines[i][1] = b, m.edgeLines[i][2] = -(a * p0[0] + b * p0[1]);
    }
    return m;
}

// Angle in degrees of R_est * R_true^T.
double rotationErrorDeg(const double est[3][4], const double truth[3][4])
{
    double trace = 0;
    for (int i = 0; i < 3; i++)
        for (int k = 0; k < 3; k++) trace += est[i][k] * truth[i][k];
    const double c = std::max(-1.0, std::min(1.0, (trace - 1) / 2));
    return std::acos(c) / kDeg;
}

double translationErrorPct(const double est[3][4], const double truth[3][4])
{
    const double d[3] = {est[0][3] - truth[0][3], est[1][3] - truth[1][3], est[2][3] - truth[2][3]};
    const double dist = std::sqrt(truth[0][3] * truth[0][3] + truth[1][3] * truth[1][3] +
                                  truth[2][3] * truth[2][3]);
    return 100 * std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) / dist;
}

// ---- The plain algorithms (test-only references) -----------------------------------------

// Plain orthogonalisation: exact-zero determinant tests (detZero 0) and a failing
// negative discriminant (clampD false). Either guard can be switched on alone.
int orthogonalizePlain(double ex[3], double ey[3], double detZero = 0, bool clampD = false)
{
    double n[3] = {ex[1] * ey[2] - ex[2] * ey[1], ex[2] * ey[0] - ex[0] * ey[2],
                   ex[0] * ey[1] - ex[1] * ey[0]};
    const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (len == 0) return -1;
    for (double& v : n) v /= len;
    const double k = std::fabs(ex[0] * ey[0] + ex[1] * ey[1] + ex[2] * ey[2]);
    const double ca = (std::sqrt(1 + k) + std::sqrt(1 - k)) * 0.5;
    double w[2][2][3];
    double* vs[2] = {ex, ey};
    for (int which = 0; which < 2; which++) {
        const double* v = vs[which];
        int f, p, q;
        if (std::fabs(n[1] * v[0] - n[0] * v[1]) > detZero) {
            f = 2, p = 1, q = 0;
        } else if (std::fabs(n[2] * v[0] - n[0] * v[2]) > detZero) {
            f = 1, p = 2, q = 0;
        } else {
            f = 0, p = 1, q = 2;
            if (std::fabs(n[1] * v[2] - n[2] * v[1]) <= detZero) return -1;
        }
        const double det = n[p] * v[q] - n[q] * v[p];
        const double sp = (n[q] * v[f] - n[f] * v[q]) / det, op = -n[q] * ca / det;
        const double sq = (v[p] * n[f] - n[p] * v[f]) / det, oq = n[p] * ca / det;
        const double alpha = 1 + (sp * sp + sq * sq), beta = sp * op + sq * oq,
                     gamma = op * op + oq * oq - 1;
        double D = beta * beta - alpha * gamma;
        if (D < 0 && !clampD) return -1;
        if (D < 0) D = 0;
        const double roots[2] = {(std::sqrt(D) - beta) / alpha, (-beta - std::sqrt(D)) / alpha};
        for (int r = 0; r < 2; r++) {
            w[which][r][f] = roots[r];
            w[which][r][p] = sp * roots[r] + op;
            w[which][r][q] = sq * roots[r] + oq;
        }
    }
    int bi = 0, bj = 0;
    double best = 0;
    for (int i = 0; i < 2; i++) {
        for (int j = 0; j < 2; j++) {
            const double* x = w[0][i];
            const double* y = w[1][j];
            const double dot = std::fabs(x[0] * y[0] + x[1] * y[1] + x[2] * y[2]);
            if ((i == 0 && j == 0) || dot <= best) best = dot, bi = i, bj = j;
        }
    }
    std::memcpy(ex, w[0][bi], 3 * sizeof(double));
    std::memcpy(ey, w[1][bj], 3 * sizeof(double));
    return 0;
}

double clampedAngle(double x, double y)
{
    if (x > 1)
        x = 1, y = 0;
    else if (x < -1)
        x = -1, y = 0;
    else if (y > 1)
        y = 1, x = 0;
    else if (y < -1)
        y = -1, x = 0;
    const double angle = std::acos(x);
    return y < 0 ? -angle : angle;
}

// Angles without the b = pi branch: the sum s is divided by whatever it is.
void rotToAnglesPlain(double R[3][3], double* a, double* b, double* c)
{
    if (R[2][2] > 1)
        R[2][2] = 1;
    else if (R[2][2] < -1)
        R[2][2] = -1;
    *b = std::acos(R[2][2]);
    double x, y;
    if (*b >= 1e-6 || *b <= -1e-6) {
        *a = clampedAngle(R[0][2] * (1 / std::sin(*b)), R[1][2] * (1 / std::sin(*b)));
        const double s = R[0][2] * R[0][2] + R[1][2] * R[1][2];
        x = -(R[2][0] * R[0][2] + R[1][2] * R[2][1]) / s;
        y = (R[2][1] * R[0][2] - R[1][2] * R[2][0]) / s;
    } else {
        *a = 0, *b = 0, x = R[0][0], y = R[1][0];
    }
    *c = clampedAngle(x, y);
}

// The search written plainly on the public projection: one full projection per
// candidate. The search must match it bit for bit.
double searchPlain(double rotation[3][3], const double t[3], const double P[3][4],
                   const double (*X)[3], const double (*u)[2], int n)
{
    double a, b, c;
    poseRotToAngles(rotation, &a, &b, &c);
    double step = 0.17453292519943295, best[3] = {0, 0, 0}, minErr = 0;
    int off[3] = {0, 0, 0};
    for (int pass = 0; pass < 10; pass++) {
        minErr = 1e9;
        for (int i = -1; i <= 1; i++)
            for (int j = -1; j <= 1; j++)
                for (int k = -1; k <= 1; k++) {
                    const double a1 = i * step + a, b1 = j * step + b, c1 = k * step + c;
                    double M[3][4];
                    poseProjection(a1, b1, c1, t, P, M);
                    double err = 0;
                    for (int p = 0; p < n; p++) {
                        const double h = 1 / (M[2][0] * X[p][0] + M[2][1] * X[p][1] +
                                              M[2][2] * X[p][2] + M[2][3]);
                        const double eu = u[p][0] - (M[0][0] * X[p][0] + M[0][1] * X[p][1] +
                                                     M[0][2] * X[p][2] + M[0][3]) *
                                                        h;
                        const double ev = u[p][1] - (M[1][0] * X[p][0] + M[1][1] * X[p][1] +
                                                     M[1][2] * X[p][2] + M[1][3]) *
                                                        h;
                        err += eu * eu + ev * ev;
                    }
                    if (err < minErr)
                        minErr = err, best[0] = a1, best[1] = b1, best[2] = c1, off[0] = i,
                        off[1] = j, off[2] = k;
                }
        if (off[0] == 0 && off[1] == 0 && off[2] == 0) step = step * 0.5;
        a = best[0], b = best[1], c = best[2];
    }
    poseAnglesToRot(best[0], best[1], best[2], rotation);
    return minErr / n;
}

// ---- Fixtures ------------------------------------------------------------------------------

// The marker corners of a pose as search input: centred marker points (z = 0) and
// their exact ideal projections.
struct Corners {
    double X[4][3];
    double u[4][2];
};
Corners exactCorners(const double P[3][4], const Pose& pose, double w)
{
    Corners c{};
    for (int k = 0; k < 4; k++) {
        markerCorner(k, w, &c.X[k][0], &c.X[k][1]);
        project(P, pose.m, c.X[k][0], c.X[k][1], c.u[k]);
    }
    return c;
}

void rotationOf(const Pose& pose, double R[3][3])
{
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) R[r][c] = pose.m[r][c];
}

bool sameBits(const double* x, const double* y, int n)
{
    return std::memcmp(x, y, n * sizeof(double)) == 0;
}

class PoseTest : public ::testing::Test {
protected:
    void SetUp() override { install(0); }
    void install(double f)
    {
        camera = makeCamera(f);
        camParamInit(&camera);
    }
    CameraParam camera{};
};

// ---- Rotation search --------------------------------------------------------------------

TEST_F(PoseTest, SearchMatchesThePlainSearchBitForBit)
{
    const auto& P = camera.projection;
    for (int spin = -170; spin <= 180; spin += 35) {
        for (int tilt = 0; tilt <= 60; tilt += 20) {
            const Pose truth = makePose(spin, tilt, tilt / 2.0, 3, -2, 300);
            const Corners c = exactCorners(P, truth, 80);
            // Start a few degrees off, as after the linear solve.
            const Pose start = makePose(spin + 4, tilt - 3, tilt / 2.0 + 2, 3, -2, 300);
            double R1[3][3], R2[3][3];
            rotationOf(start, R1);
            rotationOf(start, R2);
            const double t[3] = {3, -2, 300};
            double M[3][4];
            double a, b, cc;
            poseRotToAngles(R1, &a, &b, &cc);
            poseProjection(a, b, cc, t, P, M);
            double startErr = 0;
            for (int k = 0; k < 4; k++) {
                double p[2];
                project(P, truth.m, c.X[k][0], c.X[k][1], p);
                const double h = 1 / (M[2][0] * c.X[k][0] + M[2][1] * c.X[k][1] + M[2][3]);
                const double du = (M[0][0] * c.X[k][0] + M[0][1] * c.X[k][1] + M[0][3]) * h - p[0];
                const double dv = (M[1][0] * c.X[k][0] + M[1][1] * c.X[k][1] + M[1][3]) * h - p[1];
                startErr += du * du + dv * dv;
            }
            const double e1 = poseRefineRotation(R1, t, P, c.X, c.u, 4);
            const double e2 = searchPlain(R2, t, P, c.X, c.u, 4);
            EXPECT_EQ(e1, e2) << "spin " << spin << " tilt " << tilt;
            EXPECT_TRUE(sameBits(&R1[0][0], &R2[0][0], 9)) << "spin " << spin << " tilt " << tilt;
            // One search on its own need not reach the exact fit (the passes may run
            // out first); it must improve markedly on the start.
            EXPECT_LT(e1, startErr / 4 / 20)
                << "spin " << spin << " tilt " << tilt << " start " << startErr / 4;
        }
    }
}

TEST_F(PoseTest, ExactFitStaysPutAndStepHalvesEveryPass)
{
    const auto& P = camera.projection;
    const Pose truth = makePose(25, 30, -20, 10, 5, 400);
    const Corners c = exactCorners(P, truth, 80);
    const double t[3] = {10, 5, 400};
    double a, b, cc;
    double R[3][3];
    rotationOf(truth, R);
    poseRotToAngles(R, &a, &b, &cc);

    // An exact fit: the centre wins every pass, so the angles come back unchanged
    // (up to the conversion to angles and back).
    double fit[3][3];
    poseAnglesToRot(a, b, cc, fit);
    double copy[3][3], a1, b1, c1;
    std::memcpy(copy, fit, sizeof fit);
    poseRotToAngles(copy, &a1, &b1, &c1);
    double expect[3][3];
    poseAnglesToRot(a1, b1, c1, expect);
    const double err = poseRefineRotation(fit, t, P, c.X, c.u, 4);
    EXPECT_LT(err, 1e-18);
    EXPECT_TRUE(sameBits(&fit[0][0], &expect[0][0], 9));

    // Start c off by 0.75 of the tenth pass's step: the centre wins nine passes, and
    // only a step halved nine times (10 degrees / 512) moves c in the tenth.
    const double step10 = 0.17453292519943295 / 512;
    const double cStart = cc + 0.75 * step10;
    double moved[3][3];
    poseAnglesToRot(a, b, cStart, moved);
    double a2, b2, c2;
    poseRotToAngles(moved, &a2, &b2, &c2);
    poseRefineRotation(moved, t, P, c.X, c.u, 4);
    poseAnglesToRot(a2, b2, -1 * step10 + c2, expect);
    EXPECT_TRUE(sameBits(&moved[0][0], &expect[0][0], 9))
        << "R00 " << moved[0][0] << " expected " << expect[0][0];
}

TEST_F(PoseTest, SearchTieRuleAndNothingBelowStartValue)
{
    const auto& P = camera.projection;
    // A single point at the marker origin projects to the same place for every
    // rotation, so all 27 candidates tie and the first, (-1, -1, -1), wins every
    // pass: no pass keeps the centre, so the step never halves.
    const double X[1][3] = {{0, 0, 0}};
    const double t[3] = {0, 0, 100};
    const double u[1][2] = {{320.5, 240.5}};
    double R[3][3];
    poseAnglesToRot(0.3, 1.2, -0.4, R);
    double a, b, c;
    poseRotToAngles(R, &a, &b, &c);
    const double err = poseRefineRotation(R, t, P, X, u, 1);
    for (int pass = 0; pass < 10; pass++) {
        a = -1 * 0.17453292519943295 + a;
        b = -1 * 0.17453292519943295 + b;
        c = -1 * 0.17453292519943295 + c;
    }
    double expect[3][3];
    poseAnglesToRot(a, b, c, expect);
    EXPECT_TRUE(sameBits(&R[0][0], &expect[0][0], 9));
    EXPECT_DOUBLE_EQ(err, 2.0);  // (320.5 - 319.5)^2 + (240.5 - 239.5)^2

    // Every candidate at or above 1e9: nothing is recorded, the search ends at zero
    // angles and returns 1e9 / count.
    const double far[1][2] = {{319.5 + 1e5, 239.5}};
    poseAnglesToRot(0.3, 1.2, -0.4, R);
    EXPECT_EQ(poseRefineRotation(R, t, P, X, far, 1), 1e9);
    poseAnglesToRot(0, 0, 0, expect);
    EXPECT_TRUE(sameBits(&R[0][0], &expect[0][0], 9));

    EXPECT_EQ(poseRefineRotation(R, t, P, X, u, 0), -1);
}

// ---- Angle conversion -----------------------------------------------------------------------

// Each term of the expansion rounds as the formula groups it: a squared sine is one factor
// (cb * sa^2 * sc, cb * cc * sa^2). Multiplied left to right instead, the terms differ
// in the last bit for some angles, which this grid contains.
TEST(PoseAngles, SquaredSineIsOneFactorOfItsTerm)
{
    int leftToRightDiffers = 0;
    for (int i = 0; i < 40; i++) {
        const double a = -3.0 + 0.151 * i, b = 0.05 + 0.077 * i, c = 2.9 - 0.143 * i;
        const double sa = std::sin(a), ca = std::cos(a), cb = std::cos(b);
        const double sc = std::sin(c), cc = std::cos(c);
        const double r10 = ca * cb * cc * sa - ca * cc * sa + ca * ca * sc + cb * (sa * sa) * sc;
        const double r11 = ca * ca * cc + (cb * cc) * (sa * sa) - ca * cb * sa * sc + ca * sa * sc;
        double R[3][3];
        poseAnglesToRot(a, b, c, R);
        EXPECT_EQ(R[1][0], r10) << "a " << a << " b " << b << " c " << c;
        EXPECT_EQ(R[1][1], r11) << "a " << a << " b " << b << " c " << c;
        const double r10l = ca * cb * cc * sa - ca * cc * sa + ca * ca * sc + cb * sa * sa * sc;
        const double r11l = ca * ca * cc + cb * cc * sa * sa - ca * cb * sa * sc + ca * sa * sc;
        leftToRightDiffers += (r10l != r10) + (r11l != r11);
    }
    EXPECT_GT(leftToRightDiffers, 0) << "the grid must tell the two groupings apart";
}

TEST(PoseAngles, RoundTripAndUnchangedAwayFromTheFlatCase)
{
    for (double a = -3.0; a <= 3.1; a += 0.7) {
        for (double b = 0.05; b < 3.1; b += 0.35) {
            for (double c = -3.0; c <= 3.1; c += 0.9) {
                double R[3][3], Rref[3][3];
                poseAnglesToRot(a, b, c, R);
                std::memcpy(Rref, R, sizeof R);
                double a1, b1, c1, a2, b2, c2;
                poseRotToAngles(R, &a1, &b1, &c1);
                rotToAnglesPlain(Rref, &a2, &b2, &c2);
                ASSERT_EQ(a1, a2) << a << " " << b << " " << c;
                ASSERT_EQ(b1, b2);
                ASSERT_EQ(c1, c2);
                EXPECT_NEAR(b1, b, 1e-9);
                EXPECT_NEAR(std::remainder(a1 - a, 2 * kPi), 0, 1e-7) << a << " " << b << " " << c;
                EXPECT_NEAR(std::remainder(c1 - c, 2 * kPi), 0, 1e-7) << a << " " << b << " " << c;
            }
        }
    }
}

TEST(PoseAngles, ClampsR22AndHandlesRotationAboutTheViewingAxis)
{
    // R22 a rounding step above 1 is rewritten to 1 before the angles are taken.
    double R[3][3];
    poseAnglesToRot(0, 0, 0.5, R);
    R[2][2] = std::nextafter(1.0, 2.0);
    double a, b, c;
    poseRotToAngles(R, &a, &b, &c);
    EXPECT_EQ(R[2][2], 1.0);
    EXPECT_EQ(a, 0.0);
    EXPECT_EQ(b, 0.0);
    EXPECT_NEAR(c, 0.5, 1e-15);

    // Below -1: rewritten to -1 (b = pi).
    double F[3][3] = {{-std::cos(0.5), std::sin(0.5), 0},
                      {std::sin(0.5), std::cos(0.5), 0},
                      {0, 0, std::nextafter(-1.0, -2.0)}};
    poseRotToAngles(F, &a, &b, &c);
    EXPECT_EQ(F[2][2], -1.0);
    EXPECT_EQ(b, kPi);

    // b = 0: a = 0 and c from (R00, R10), negative angles included.
    poseAnglesToRot(0.2, 0, -2.5, R);
    poseRotToAngles(R, &a, &b, &c);
    EXPECT_EQ(a, 0.0);
    EXPECT_EQ(b, 0.0);
    EXPECT_NEAR(c, -2.5, 1e-15);
}

TEST(PoseAngles, FacingTheCameraSquarelyGivesTheInPlaneAngle)
{
    // R = Ry(pi) Rz(c): R02 = R12 = 0 exactly (s = 0), and with rounding noise of
    // 1e-16 (s near 1e-32), as a square view at an in-plane angle leaves them.
    for (double c = -3.0; c <= 3.1; c += 0.25) {
        for (double noise : {0.0, 1e-16, -3e-16}) {
            double R[3][3] = {{-std::cos(c), std::sin(c), noise},
                              {std::sin(c), std::cos(c), 2 * noise},
                              {0, 0, -1}};
            double Rref[3][3];
            std::memcpy(Rref, R, sizeof R);
            double a, b, cc;
            poseRotToAngles(R, &a, &b, &cc);
            EXPECT_EQ(a, 0.0);
            EXPECT_EQ(b, kPi);
            EXPECT_NEAR(cc, c, 1e-12) << "c " << c << " noise " << noise;
            double back[3][3];
            poseAnglesToRot(a, b, cc, back);
            for (int i = 0; i < 2; i++)
                for (int j = 0; j < 2; j++) EXPECT_NEAR(back[i][j], R[i][j], 1e-12);

            // The plain conversion: 0/0 for exact zeros, noise-driven angles otherwise.
            double a2, b2, c2;
            rotToAnglesPlain(Rref, &a2, &b2, &c2);
            poseAnglesToRot(a2, b2, c2, back);
            const double dev = std::fabs(back[0][0] - R[0][0]) + std::fabs(back[1][0] - R[1][0]);
            if (noise == 0) {
                EXPECT_TRUE(std::isnan(c2));
            } else if (std::fabs(std::remainder(c, kPi / 2)) > 0.1) {
                EXPECT_GT(dev, 1e-3) << "c " << c;
            }
        }
    }
}

// ---- Orthogonalisation ---------------------------------------------------------------------

TEST(PoseOrthogonalize, MatchesThePlainAlgorithmOnSkewedPairs)
{
    // Generic pairs 60 to 85 degrees apart: the guards never trigger, results are
    // bit-identical, and the outputs are orthonormal and in the inputs' plane.
    int cases = 0;
    for (double t = 0.1; t < 6.2; t += 0.37) {
        for (double gap = 60; gap <= 85; gap += 5) {
            const double g = gap * kDeg;
            double ex[3] = {std::cos(t), std::sin(t) * 0.6, std::sin(t) * 0.8};
            double ey[3] = {std::cos(t + g) * 0.9, std::sin(t + g) * 0.6, 0.3 * std::cos(t)};
            const double len = std::sqrt(ey[0] * ey[0] + ey[1] * ey[1] + ey[2] * ey[2]);
            for (double& v : ey) v /= len;
            double x1[3], y1[3], x2[3], y2[3];
            std::memcpy(x1, ex, sizeof ex), std::memcpy(y1, ey, sizeof ey);
            std::memcpy(x2, ex, sizeof ex), std::memcpy(y2, ey, sizeof ey);
            const int r1 = poseOrthogonalize(x1, y1);
            const int r2 = orthogonalizePlain(x2, y2);
            ASSERT_EQ(r1, 0);
            ASSERT_EQ(r2, 0);
            EXPECT_TRUE(sameBits(x1, x2, 3) && sameBits(y1, y2, 3)) << "t " << t << " gap " << gap;
            // The quadratic solve loses about half the digits where its roots are close.
            EXPECT_NEAR(x1[0] * y1[0] + x1[1] * y1[1] + x1[2] * y1[2], 0, 1e-9);
            EXPECT_NEAR(x1[0] * x1[0] + x1[1] * x1[1] + x1[2] * x1[2], 1, 1e-9);
            cases++;
        }
    }
    EXPECT_GT(cases, 50);
}

// Largest component change between (ex, ey) and (x, y).
double deviation(const double ex[3], const double ey[3], const double x[3], const double y[3])
{
    double dev = 0;
    for (int r = 0; r < 3; r++)
        dev = std::max(dev, std::max(std::fabs(x[r] - ex[r]), std::fabs(y[r] - ey[r])));
    return dev;
}

TEST(PoseOrthogonalize, NegativeDiscriminantOfOrthogonalPairsIsRounding)
{
    // Columns of rotations at many tilts are orthogonal up to rounding, so the
    // discriminant is zero up to rounding: the plain algorithm fails whenever it comes
    // out negative; the guarded one keeps the pair (a discriminant of rounding size
    // moves them by its square root: measured up to 2e-6, a ten-thousandth of a degree).
    int failsBefore = 0, total = 0;
    for (int spin = 0; spin < 360; spin += 15) {
        for (int tilt = 0; tilt <= 60; tilt += 10) {
            const Pose p = makePose(spin, tilt, tilt / 3.0, 0, 0, 1);
            const double ex[3] = {p.m[0][0], p.m[1][0], p.m[2][0]},
                         ey[3] = {p.m[0][1], p.m[1][1], p.m[2][1]};
            double x1[3], y1[3], x2[3], y2[3];
            std::memcpy(x1, ex, sizeof ex), std::memcpy(y1, ey, sizeof ey);
            std::memcpy(x2, ex, sizeof ex), std::memcpy(y2, ey, sizeof ey);
            ASSERT_EQ(poseOrthogonalize(x1, y1), 0) << "spin " << spin << " tilt " << tilt;
            EXPECT_LT(deviation(ex, ey, x1, y1), 1e-5) << "spin " << spin << " tilt " << tilt;
            failsBefore += orthogonalizePlain(x2, y2) < 0;
            total++;
        }
    }
    EXPECT_GT(failsBefore, total / 4) << failsBefore << " of " << total;
    std::printf("orthogonal rotation columns the plain algorithm fails on: %d of %d\n", failsBefore,
                total);

    // Parallel directions cannot be orthogonalised; the inputs stay.
    double ex[3] = {1, 0, 0}, ey[3] = {1, 0, 0};
    EXPECT_EQ(poseOrthogonalize(ex, ey), -1);
    EXPECT_EQ(ex[0], 1.0);
}

TEST(PoseOrthogonalize, RoundingSizedDeterminantCountsAsZero)
{
    // ey along the image's y axis, with components of rounding size where exact
    // arithmetic gives 0: the determinant that picks z as the free coordinate is
    // then about 1e-17. Taken as non-zero (the plain algorithm, here with the
    // discriminant guard only, so the tolerance is the one difference) the solve
    // divides by it and the pair is ruined; the guarded choice keeps it.
    int ruinedBefore = 0;
    for (int trial = 0; trial < 40; trial++) {
        const double t = 0.3 + trial * 0.07;
        const double tiny = (trial % 5 - 2) * 3e-17, tiny2 = (trial % 3 - 1) * 2e-17;
        const double ex[3] = {std::cos(t), tiny, std::sin(t)}, ey[3] = {tiny2, -1, tiny};
        double x1[3], y1[3], x2[3], y2[3];
        std::memcpy(x1, ex, sizeof ex), std::memcpy(y1, ey, sizeof ey);
        std::memcpy(x2, ex, sizeof ex), std::memcpy(y2, ey, sizeof ey);
        ASSERT_EQ(poseOrthogonalize(x1, y1), 0) << "t " << t;
        EXPECT_LT(deviation(ex, ey, x1, y1), 1e-7) << "t " << t << " tiny " << tiny << " " << tiny2;
        ASSERT_EQ(orthogonalizePlain(x2, y2, 0, true), 0);
        ruinedBefore += deviation(ex, ey, x2, y2) > 0.1;
    }
    EXPECT_GT(ruinedBefore, 10);
}

// ---- Initial rotation and transformation ------------------------------------------------

TEST_F(PoseTest, InitialRotationFollowsDirection)
{
    const auto& P = camera.projection;
    const Pose truth = makePose(20, 25, -15, 5, 5, 300);
    for (int d = 0; d < 4; d++) {
        const DetectedMarker m = makeMarker(P, truth, 80, d);
        double R[3][3];
        ASSERT_EQ(poseInitRotation(&m, P, R), 0) << "direction " << d;
        double est[3][4] = {};
        for (int r = 0; r < 3; r++)
            for (int c = 0; c < 3; c++) est[r][c] = R[r][c];
        // Exact corners of a square: the vanishing directions are the true axes.
        EXPECT_LT(rotationErrorDeg(est, truth.m), 1e-6) << "direction " << d;
    }
    // A marker facing the camera squarely: parallel image edges give axes in the
    // image plane and the third column along the optical axis.
    const DetectedMarker square = makeMarker(P, makePose(30, 0, 0, 0, 0, 300), 80, 0);
    double R[3][3];
    ASSERT_EQ(poseInitRotation(&square, P, R), 0);
    EXPECT_NEAR(R[2][0], 0, 1e-12);
    EXPECT_NEAR(R[2][1], 0, 1e-12);
    EXPECT_NEAR(R[2][2], -1, 1e-12);
}

TEST_F(PoseTest, TransformOverAGridOfViews)
{
    const auto& P = camera.projection;
    for (double z : {150.0, 400.0, 1400.0}) {
        for (int spin = 0; spin < 360; spin += 30) {
            for (int tiltX = -60; tiltX <= 60; tiltX += 30) {
                for (int tiltY = 0; tiltY <= 60; tiltY += 30) {
                    const Pose truth = makePose(spin, tiltX, tiltY, z * 0.05, -z * 0.03, z);
                    const int d = (spin / 30) % 4;
                    const DetectedMarker m = makeMarker(P, truth, 80, d);
                    double T[3][4] = {};
                    const double centre[2] = {0, 0};
                    const double err = poseGetTransform(&m, centre, 80, T);
                    const std::string what = "z " + std::to_string(z) + " spin " +
                                             std::to_string(spin) + " tilt " +
                                             std::to_string(tiltX) + "," + std::to_string(tiltY);
                    ASSERT_GE(err, 0) << what;
                    EXPECT_LT(err, 1.0) << what;
                    // The search resolves angles to its last step (10 degrees / 1024).
                    EXPECT_LT(rotationErrorDeg(T, truth.m), 0.05) << what;
                    EXPECT_LT(translationErrorPct(T, truth.m), 0.1) << what;
                }
            }
        }
    }
}

TEST_F(PoseTest, CentreOffsetShiftsTranslationByTheRotatedOffset)
{
    const auto& P = camera.projection;
    const Pose truth = makePose(40, 20, 30, 10, -5, 350);
    const DetectedMarker m = makeMarker(P, truth, 80, 1);
    double T0[3][4], T1[3][4];
    const double c0[2] = {0, 0}, c1[2] = {10, 0};
    const double e0 = poseGetTransform(&m, c0, 80, T0);
    const double e1 = poseGetTransform(&m, c1, 80, T1);
    EXPECT_EQ(e0, e1);
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) EXPECT_EQ(T1[r][c], T0[r][c]);
        EXPECT_NEAR(T1[r][3], T0[r][3] - 10 * T0[r][0], 1e-9) << "row " << r;
    }
}

TEST_F(PoseTest, FailureLeavesTheTransformation)
{
    const auto& P = camera.projection;
    DetectedMarker m = makeMarker(P, makePose(0, 10, 10, 0, 0, 300), 80, 0);
    std::memcpy(m.edgeLines[2], m.edgeLines[0], sizeof m.edgeLines[0]);  // opposite edges coincide
    double T[3][4];
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 4; c++) T[r][c] = r * 4 + c;
    const double before = T[2][3];
    const double centre[2] = {0, 0};
    EXPECT_EQ(poseGetTransform(&m, centre, 80, T), -1);
    EXPECT_EQ(T[2][3], before);

    DetectedMarker unknown = makeMarker(P, makePose(0, 10, 10, 0, 0, 300), 80, 0);
    unknown.direction = -1;
    EXPECT_EQ(poseGetTransform(&unknown, centre, 80, T), -1);
    EXPECT_EQ(T[2][3], before);

    // All corners in one point: the normal equations are singular.
    const double image[4][2] = {{100, 100}, {100, 100}, {100, 100}, {100, 100}};
    const double plane[4][2] = {{-1, 1}, {1, 1}, {1, -1}, {-1, -1}};
    double R[3][3] = {{1, 0, 0}, {0, -1, 0}, {0, 0, -1}};
    EXPECT_EQ(poseFromCorrespondences(R, image, plane, 4, T, P), -1);
    EXPECT_EQ(T[2][3], before);
    EXPECT_EQ(poseFromCorrespondences(R, image, plane, kPoseMaxPoints + 1, T, P), -1);
}

// ---- Registration under lens distortion ------------------------------------------------

// Largest distance in pixels between the ideal corners and the corners projected with T.
double registrationPx(const double P[3][4], const double T[3][4], const DetectedMarker& m, double w)
{
    double worst = 0;
    for (int k = 0; k < 4; k++) {
        double X, Y, p[2];
        markerCorner(k, w, &X, &Y);
        project(P, T, X, Y, p);
        const double* q = m.cornerPoints[(k + 4 - m.direction) % 4];
        worst = std::max(worst, std::hypot(p[0] - q[0], p[1] - q[1]));
    }
    return worst;
}

TEST_F(PoseTest, DistortedCameraRegistersOnTheIdealCorners)
{
    install(50);  // distortion (318.5, 242, 50, 0.98)
    const auto& P = camera.projection;
    double worstIdeal = 0, worstObserved = 0, transObserved = 0;
    for (int spin = 0; spin < 360; spin += 45) {
        for (int tilt = 0; tilt <= 50; tilt += 25) {
            const Pose truth = makePose(spin, tilt, 10, 40, 30, 400);
            const DetectedMarker m = makeMarker(P, truth, 80, 0);
            double T[3][4], Tw[3][4];
            const double centre[2] = {0, 0};
            ASSERT_GE(poseGetTransform(&m, centre, 80, T), 0);
            ASSERT_GE(support::fitObservedCorners(m, 80, Tw), 0);
            worstIdeal = std::max(worstIdeal, registrationPx(P, T, m, 80));
            worstObserved = std::max(worstObserved, registrationPx(P, Tw, m, 80));
            transObserved = std::max(transObserved, translationErrorPct(Tw, truth.m));
            EXPECT_LT(translationErrorPct(T, truth.m), 0.1) << "spin " << spin << " tilt " << tilt;
        }
    }
    EXPECT_LT(worstIdeal, 0.1);
    EXPECT_GT(worstObserved, 2.0);
    EXPECT_GT(transObserved, 1.0);
    std::printf(
        "registration on exact corners, worst px: %.4f fitted to ideal, %.4f fitted to observed;"
        " worst translation error when fitted to observed %.2f%%\n",
        worstIdeal, worstObserved, transObserved);
}

// A poor initial rotation (one edge line turned by a hundredth of a radian or two, as
// a badly fitted edge gives) leaves the first attempt above 1 squared pixel; later
// attempts, each starting from the rotation the previous one left, must get below it.
TEST_F(PoseTest, LaterAttemptsRecoverFromAPoorFirstOne)
{
    const auto& P = camera.projection;
    struct View {
        int tiltX, tiltY;
        double turn;  // radians added to edge line 0's normal
    };
    const View views[] = {{-60, 0, 0.02}, {-75, 15, 0.04}, {-60, -15, 0.04}};
    for (const View& v : views) {
        const Pose truth = makePose(0, v.tiltX, v.tiltY, 7.5, -4.5, 150);
        DetectedMarker m = makeMarker(P, truth, 80, 0);
        const double a = m.edgeLines[0][0], b = m.edgeLines[0][1];
        m.edgeLines[0][0] = a * std::cos(v.turn) - b * std::sin(v.turn);
        m.edgeLines[0][1] = a * std::sin(v.turn) + b * std::cos(v.turn);
        const std::string what = "tilt " + std::to_string(v.tiltX) + "," + std::to_string(v.tiltY) +
                                 " turn " + std::to_string(v.turn);

        // The first attempt on its own, as poseGetTransform starts.
        double R[3][3];
        ASSERT_EQ(poseInitRotation(&m, P, R), 0) << what;
        const double plane[4][2] = {{-40, 40}, {40, 40}, {40, -40}, {-40, -40}};
        double first[3][4];
        const double firstErr = poseFromCorrespondences(R, m.cornerPoints, plane, 4, first, P);
        ASSERT_GE(firstErr, 1.0) << what << ": the case needs a poor first attempt";

        double T[3][4] = {};
        const double centre[2] = {0, 0};
        const double err = poseGetTransform(&m, centre, 80, T);
        ASSERT_GE(err, 0.0) << what;
        EXPECT_LT(err, 1.0) << what << ", first attempt " << firstErr;
        EXPECT_LT(rotationErrorDeg(T, truth.m), 1.0) << what;
    }
}

}  // namespace
