// Rotation refinement: a coarse-to-fine pattern search over the angles (a, b, c) of
// R = Rz(a) Ry(b) Rz(c - a) for a fixed translation, minimising the image error of
// the undistorted projection.
#include "pose/pose.h"

#include <cmath>

namespace {

constexpr int kPosePasses = 10;
// Starting step of the search: 10 degrees.
constexpr double kPoseStartStep = 0.17453292519943295;
// Start value of a pass's minimum; a candidate must fall strictly below it.
constexpr double kPoseErrStart = 1e9;
// Below this |b| the rotation is taken as one about the optical axis only.
constexpr double kPoseSmallAngle = 1e-6;
// At or below this R02^2 + R12^2 (sin^2 b) the split of the angle about the
// optical axis into a and c is rounding noise (b = pi).
constexpr double kPoseFlatSin2 = 1e-20;

struct PoseSinCos {
    double s, c;
};

PoseSinCos poseSinCos(double angle)
{
    return {std::sin(angle), std::cos(angle)};
}

// Rotation from the sines and cosines of a, b and c, term by term as in the
// expansion of Rz(a) Ry(b) Rz(c - a). Every squared sine or cosine is formed first and
// enters its term as one factor (cb * (sa * sa) * sc, not ((cb * sa) * sa) * sc), so
// each term rounds as the expansion states it.
void poseRotFromSinCos(PoseSinCos A, PoseSinCos B, PoseSinCos C, double R[3][3])
{
    const double sa = A.s, ca = A.c, sb = B.s, cb = B.c, sc = C.s, cc = C.c;
    R[0][0] = ca * ca * cb * cc + sa * sa * cc + ca * cb * sa * sc - ca * sa * sc;
    R[0][1] = ca * cb * cc * sa - sa * sa * sc - ca * ca * cb * sc - ca * cc * sa;
    R[0][2] = ca * sb;
    R[1][0] = ca * cb * cc * sa - ca * cc * sa + ca * ca * sc + cb * (sa * sa) * sc;
    R[1][1] = ca * ca * cc + (cb * cc) * (sa * sa) - ca * cb * sa * sc + ca * sa * sc;
    R[1][2] = sa * sb;
    R[2][0] = -ca * cc * sb - sa * sb * sc;
    R[2][1] = ca * sb * sc - cc * sa * sb;
    R[2][2] = cb;
}

// Left 3x3 block of P * [R | t]; the fourth column does not depend on R.
void poseProjectRotation(const double P[3][4], const double R[3][3], double M[3][4])
{
    for (int r = 0; r < 3; r++)
        for (int j = 0; j < 3; j++)
            M[r][j] = P[r][0] * R[0][j] + P[r][1] * R[1][j] + P[r][2] * R[2][j];
}

void poseProjectTranslation(const double P[3][4], const double t[3], double M[3][4])
{
    for (int r = 0; r < 3; r++)
        M[r][3] = P[r][0] * t[0] + P[r][1] * t[1] + P[r][2] * t[2] + P[r][3];
}

// Summed squared image distance between the points and the projections through M.
double poseImageError(const double M[3][4], const double (*markerPoints)[3],
                      const double (*imagePoints)[2], int count)
{
    double err = 0;
    for (int i = 0; i < count; i++) {
        const double X = markerPoints[i][0], Y = markerPoints[i][1], Z = markerPoints[i][2];
        const double h = 1 / (M[2][0] * X + M[2][1] * Y + M[2][2] * Z + M[2][3]);
        const double eu =
            imagePoints[i][0] - (M[0][0] * X + M[0][1] * Y + M[0][2] * Z + M[0][3]) * h;
        const double ev =
            imagePoints[i][1] - (M[1][0] * X + M[1][1] * Y + M[1][2] * Z + M[1][3]) * h;
        err += eu * eu + ev * ev;
    }
    return err;
}

// Pair clamp before an arccos: the first rule that matches applies.
void poseClampPair(double* x, double* y)
{
    if (*x > 1) {
        *x = 1, *y = 0;
    } else if (*x < -1) {
        *x = -1, *y = 0;
    } else if (*y > 1) {
        *y = 1, *x = 0;
    } else if (*y < -1) {
        *y = -1, *x = 0;
    }
}

// Angle of the clamped pair (x, y) ~ (cos, sin), in (-pi, pi].
double poseAngleOfPair(double x, double y)
{
    poseClampPair(&x, &y);
    const double angle = std::acos(x);
    return y < 0 ? -angle : angle;
}

}  // namespace

void poseAnglesToRot(double a, double b, double c, double rotation[3][3])
{
    poseRotFromSinCos(poseSinCos(a), poseSinCos(b), poseSinCos(c), rotation);
}

void poseProjection(double a, double b, double c, const double t[3], const double P[3][4],
                    double M[3][4])
{
    double R[3][3];
    poseAnglesToRot(a, b, c, R);
    poseProjectRotation(P, R, M);
    poseProjectTranslation(P, t, M);
}

void poseRotToAngles(double rotation[3][3], double* a, double* b, double* c)
{
    double(*R)[3] = rotation;
    if (R[2][2] > 1) {
        R[2][2] = 1;
    } else if (R[2][2] < -1) {
        R[2][2] = -1;
    }
    *b = std::acos(R[2][2]);
    double x, y;
    if (*b >= kPoseSmallAngle || *b <= -kPoseSmallAngle) {
        const double s = R[0][2] * R[0][2] + R[1][2] * R[1][2];
        if (s <= kPoseFlatSin2) {
            // b = pi: R = Ry(pi) Rz(c), so R00 = -cos c and R10 = sin c.
            *a = 0;
            x = -R[0][0];
            y = R[1][0];
        } else {
            const double inv = 1 / std::sin(*b);
            *a = poseAngleOfPair(R[0][2] * inv, R[1][2] * inv);
            x = -(R[2][0] * R[0][2] + R[1][2] * R[2][1]) / s;
            y = (R[2][1] * R[0][2] - R[1][2] * R[2][0]) / s;
        }
    } else {
        *a = 0;
        *b = 0;
        x = R[0][0];
        y = R[1][0];
    }
    *c = poseAngleOfPair(x, y);
}

double poseRefineRotation(double rotation[3][3], const double t[3], const double P[3][4],
                          const double (*markerPoints)[3], const double (*imagePoints)[2],
                          int count)
{
    if (count < 1) return -1;
    double a, b, c;
    poseRotToAngles(rotation, &a, &b, &c);

    double M[3][4];
    poseProjectTranslation(P, t, M);
    double step = kPoseStartStep;
    double best[3] = {0, 0, 0};
    int bestOffset[3] = {0, 0, 0};
    double minErr = kPoseErrStart;
    for (int pass = 0; pass < kPosePasses; pass++) {
        minErr = kPoseErrStart;
        // The three values each angle takes in this pass, with their sines and
        // cosines computed once.
        double angle[3][3];
        PoseSinCos sc[3][3];
        const double centre[3] = {a, b, c};
        for (int axis = 0; axis < 3; axis++) {
            for (int o = -1; o <= 1; o++) {
                angle[axis][o + 1] = o * step + centre[axis];
                sc[axis][o + 1] = poseSinCos(angle[axis][o + 1]);
            }
        }
        for (int i = 0; i < 3; i++) {
            for (int j = 0; j < 3; j++) {
                for (int k = 0; k < 3; k++) {
                    double R[3][3];
                    poseRotFromSinCos(sc[0][i], sc[1][j], sc[2][k], R);
                    poseProjectRotation(P, R, M);
                    const double err = poseImageError(M, markerPoints, imagePoints, count);
                    if (err < minErr) {
                        minErr = err;
                        best[0] = angle[0][i], best[1] = angle[1][j], best[2] = angle[2][k];
                        bestOffset[0] = i - 1, bestOffset[1] = j - 1, bestOffset[2] = k - 1;
                    }
                }
            }
        }
        if (bestOffset[0] == 0 && bestOffset[1] == 0 && bestOffset[2] == 0) step = step * 0.5;
        a = best[0], b = best[1], c = best[2];
    }
    poseAnglesToRot(best[0], best[1], best[2], rotation);
    return minErr / count;
}
