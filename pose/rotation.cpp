// Initial rotation of a marker from its edge lines: each pair of opposite edges meets
// at a vanishing point, whose back-projection is the 3D direction of that pair.
#include "pose/pose.h"

#include <cmath>

#include "detect/detect.h"
#include "numeric/numeric.h"

namespace {

// A determinant of at most this magnitude counts as zero. The determinants are the
// components of n x v for unit orthogonal n and v, so they lie in [-1, 1]; one that is
// zero in exact arithmetic comes out near 1e-17.
constexpr double kPoseDetZero = 1e-10;

// Projects Q with the left 3x3 block of P. Returns 0, or -1 when Q lies on the focal
// plane.
int poseProjectBlock(const double P[3][4], const double Q[3], double image[2])
{
    const double den = P[2][0] * Q[0] + P[2][1] * Q[1] + P[2][2] * Q[2];
    if (den == 0) return -1;
    image[0] = (P[0][0] * Q[0] + P[0][1] * Q[1] + P[0][2] * Q[2]) * (1 / den);
    image[1] = (P[1][0] * Q[0] + P[1][1] * Q[1] + P[1][2] * Q[2]) * (1 / den);
    return 0;
}

// Determinant of the 2x2 system in coordinates p, q of n.w = 0, v.w = ca.
double poseDet(const double n[3], const double v[3], int p, int q)
{
    return n[p] * v[q] - n[q] * v[p];
}

// The two unit vectors w with n.w = 0 and v.w = ca (w+ first). Returns 0, or -1 when
// no coordinate can be left free.
int poseSolvePlaneCircle(const double n[3], const double v[3], double ca, double wPlus[3],
                         double wMinus[3])
{
    // Free coordinate f, solved coordinates p and q; the pairs are ordered so that
    // each determinant is the one named for that choice.
    int f = 2, p = 1, q = 0;
    if (std::fabs(poseDet(n, v, 1, 0)) <= kPoseDetZero) {
        f = 1, p = 2, q = 0;
        if (std::fabs(poseDet(n, v, 2, 0)) <= kPoseDetZero) {
            f = 0, p = 1, q = 2;
            if (std::fabs(poseDet(n, v, 1, 2)) <= kPoseDetZero) return -1;
        }
    }
    // Cramer's rule: w_p = slopeP*f + offP, w_q = slopeQ*f + offQ.
    const double det = poseDet(n, v, p, q);
    const double slopeP = (n[q] * v[f] - n[f] * v[q]) / det;
    const double offP = -n[q] * ca / det;
    const double slopeQ = (v[p] * n[f] - n[p] * v[f]) / det;
    const double offQ = n[p] * ca / det;
    // |w|^2 = 1 as alpha*f^2 + 2*beta*f + gamma = 0. Each coefficient adds the two
    // coordinates' terms first, so none depends on which coordinate is p and which q.
    const double alpha = 1 + (slopeP * slopeP + slopeQ * slopeQ);
    const double beta = slopeP * offP + slopeQ * offQ;
    const double gamma = offP * offP + offQ * offQ - 1;
    double D = beta * beta - alpha * gamma;
    if (D < 0) D = 0;  // rounding: D >= 0 in exact arithmetic since ca <= 1
    const double roots[2] = {(std::sqrt(D) - beta) / alpha, (-beta - std::sqrt(D)) / alpha};
    double* out[2] = {wPlus, wMinus};
    for (int r = 0; r < 2; r++) {
        out[r][f] = roots[r];
        out[r][p] = slopeP * roots[r] + offP;
        out[r][q] = slopeQ * roots[r] + offQ;
    }
    return 0;
}

double poseDot(const double x[3], const double y[3])
{
    return x[0] * y[0] + x[1] * y[1] + x[2] * y[2];
}

void poseCross(const double x[3], const double y[3], double out[3])
{
    out[0] = x[1] * y[2] - x[2] * y[1];
    out[1] = x[2] * y[0] - x[0] * y[2];
    out[2] = x[0] * y[1] - x[1] * y[0];
}

}  // namespace

int poseVanishingDirection(const double line1[3], const double line2[3], const double P[3][4],
                           double direction[3])
{
    const double a = line1[0], b = line1[1], c = line1[2];
    const double a2 = line2[0], b2 = line2[1], c2 = line2[2];
    // Intersection of the two lines in homogeneous image coordinates.
    const double X = b * c2 - c * b2;
    const double Y = a2 * c - c2 * a;
    const double W = a * b2 - b * a2;
    // P00*P11 times the inverse of the upper-triangular intrinsics applied to it.
    const double dx = P[1][1] * X - P[0][1] * Y + (P[0][1] * P[1][2] - P[0][2] * P[1][1]) * W;
    const double dy = P[0][0] * (Y - P[1][2] * W);
    const double dz = P[0][0] * P[1][1] * W;
    const double length = std::sqrt(dx * dx + dy * dy + dz * dz);
    if (length == 0) return -1;  // coinciding lines: no direction
    const double inv = 1 / length;
    direction[0] = dx * inv;
    direction[1] = dy * inv;
    direction[2] = dz * inv;
    return 0;
}

int poseOrientDirection(double v[3], const double p1[2], const double p2[2], const double P[3][4])
{
    DMatrix* K = matAlloc(3, 3);
    if (K == nullptr) return -1;
    for (int r = 0; r < 3; r++)
        for (int col = 0; col < 3; col++) K->data[r * 3 + col] = P[r][col];
    if (matSelfInverse(K) < 0) {
        matFree(K);
        return -1;
    }
    // A point on the viewing ray of p1 (depth 10 for a camera whose third row is
    // (0, 0, 1)), and that point moved along v.
    const double* Ki = K->data;
    double A[3], B[3];
    for (int r = 0; r < 3; r++)
        A[r] = 10 * (Ki[r * 3] * p1[0] + Ki[r * 3 + 1] * p1[1] + Ki[r * 3 + 2]);
    matFree(K);
    for (int r = 0; r < 3; r++) B[r] = A[r] + v[r];
    double imageA[2], imageB[2];
    if (poseProjectBlock(P, A, imageA) < 0 || poseProjectBlock(P, B, imageB) < 0) return -1;
    if ((p2[0] - p1[0]) * (imageB[0] - imageA[0]) + (p2[1] - p1[1]) * (imageB[1] - imageA[1]) < 0) {
        v[0] = -v[0];
        v[1] = -v[1];
        v[2] = -v[2];
    }
    return 0;
}

int poseOrthogonalize(double ex[3], double ey[3])
{
    double n[3];
    poseCross(ex, ey, n);
    const double length = std::sqrt(poseDot(n, n));
    if (length == 0) return -1;
    for (double& component : n) component /= length;

    // Half the deviation of the angle between ex and ey from a right angle has
    // cosine ca; each vector turns by that much towards orthogonality.
    const double k = std::fabs(poseDot(ex, ey));
    const double ca = (std::sqrt(1 + k) + std::sqrt(1 - k)) * 0.5;
    double wx[2][3], wy[2][3];
    if (poseSolvePlaneCircle(n, ex, ca, wx[0], wx[1]) < 0) return -1;
    if (poseSolvePlaneCircle(n, ey, ca, wy[0], wy[1]) < 0) return -1;

    // Of the four pairs (+,+), (+,-), (-,+), (-,-), the most nearly orthogonal; the
    // later pair wins a tie.
    int bestX = 0, bestY = 0;
    double bestDot = 0;
    for (int i = 0; i < 2; i++) {
        for (int j = 0; j < 2; j++) {
            const double dot = std::fabs(poseDot(wx[i], wy[j]));
            if ((i == 0 && j == 0) || dot <= bestDot) {
                bestDot = dot;
                bestX = i;
                bestY = j;
            }
        }
    }
    for (int r = 0; r < 3; r++) {
        ex[r] = wx[bestX][r];
        ey[r] = wy[bestY][r];
    }
    return 0;
}

int poseInitRotation(const DetectedMarker* marker, const double P[3][4], double rotation[3][3])
{
    const int d = marker->direction;
    if (d < 0 || d > 3) return -1;  // no recognised orientation
    // Marker corner k is detected corner (4 + k - d) mod 4, and so is its edge line.
    auto at = [d](int k) { return (4 + k - d) % 4; };
    const double* c0 = marker->cornerPoints[at(0)];
    const double* c1 = marker->cornerPoints[at(1)];
    const double* c3 = marker->cornerPoints[at(3)];

    double ex[3], ey[3];
    if (poseVanishingDirection(marker->edgeLines[at(0)], marker->edgeLines[at(2)], P, ex) < 0)
        return -1;
    if (poseVanishingDirection(marker->edgeLines[at(1)], marker->edgeLines[at(3)], P, ey) < 0)
        return -1;
    if (poseOrientDirection(ex, c0, c1, P) < 0) return -1;
    if (poseOrientDirection(ey, c3, c0, P) < 0) return -1;
    if (poseOrthogonalize(ex, ey) < 0) return -1;

    double w[3];
    poseCross(ex, ey, w);
    const double inv = 1 / std::sqrt(poseDot(w, w));
    for (int r = 0; r < 3; r++) {
        rotation[r][0] = ex[r];
        rotation[r][1] = ey[r];
        rotation[r][2] = w[r] * inv;
    }
    return 0;
}
