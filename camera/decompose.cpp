// Splits a camera matrix P into upper-triangular intrinsics and a rigid [R | t] by
// Gram-Schmidt on P's rows from the bottom up (an RQ decomposition of its left 3x3).
#include "camera/camera.h"

#include <cmath>

namespace {

double camDot3(const double a[4], const double b[4])
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
double camNorm3(const double a[4])
{
    return std::sqrt(camDot3(a, a));
}

}  // namespace

int camDecomposeProjection(const double source[3][4], double intrinsic[3][4],
                           double transform[3][4])
{
    // 1. Keep the translation along the viewing axis non-negative. Working on a copy
    //    also lets the outputs alias the source.
    const double sign = (source[2][3] < 0.0) ? -1.0 : 1.0;
    double q[3][4];
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 4; j++) q[i][j] = (sign < 0.0) ? -source[i][j] : source[i][j];
    }
    double a[3][4] = {};
    double t[3][4];

    // 2. Bottom row: the viewing axis.
    a[2][2] = camNorm3(q[2]);
    for (int j = 0; j < 3; j++) t[2][j] = q[2][j] / a[2][2];
    t[2][3] = q[2][3] / a[2][2];

    // 3. Middle row: remove its component along the viewing axis.
    a[1][2] = camDot3(q[1], t[2]);
    double v[4];
    for (int j = 0; j < 3; j++) v[j] = q[1][j] - a[1][2] * t[2][j];
    a[1][1] = camNorm3(v);
    for (int j = 0; j < 3; j++) t[1][j] = v[j] / a[1][1];

    // 4. Top row: remove its components along both axes found so far.
    a[0][2] = camDot3(q[0], t[2]);
    a[0][1] = camDot3(q[0], t[1]);
    double w[4];
    for (int j = 0; j < 3; j++) w[j] = q[0][j] - a[0][1] * t[1][j] - a[0][2] * t[2][j];
    a[0][0] = camNorm3(w);
    for (int j = 0; j < 3; j++) t[0][j] = w[j] / a[0][0];

    // 5. Translation by back-substitution through the triangular intrinsics.
    t[1][3] = (q[1][3] - a[1][2] * t[2][3]) / a[1][1];
    t[0][3] = (q[0][3] - a[0][1] * t[1][3] - a[0][2] * t[2][3]) / a[0][0];

    // 6. Normalise the intrinsics to a bottom-right 1; a[2][2] is divided last.
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) a[i][j] = a[i][j] / a[2][2];
    }

    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 4; j++) {
            intrinsic[i][j] = a[i][j];
            transform[i][j] = t[i][j];
        }
    }
    return 0;
}
