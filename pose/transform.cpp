// Transformation estimation: initial rotation, then attempts that alternate a linear
// least-squares solve for the translation with the rotation search.
#include "pose/pose.h"

#include <cstring>

#include "camera/camera.h"
#include "detect/detect.h"
#include "numeric/numeric.h"

namespace {

// Fitting stops at the first attempt whose mean squared error per corner (squared
// pixels) is below this.
constexpr double kPoseGoodError = 1.0;
constexpr int kPoseAttempts = 5;

// The six work matrices of one solve; released together on every path.
struct PoseSolveWork {
    DMatrix* A;   // 2n x 3
    DMatrix* At;  // 3 x 2n
    DMatrix* b;   // 2n x 1
    DMatrix* N;   // 3 x 3
    DMatrix* c;   // 3 x 1
    DMatrix* t;   // 3 x 1
};

void poseFreeWork(PoseSolveWork* w)
{
    DMatrix* all[6] = {w->A, w->At, w->b, w->N, w->c, w->t};
    for (DMatrix* m : all)
        if (m != nullptr) matFree(m);
}

int poseAllocWork(int count, PoseSolveWork* w)
{
    w->A = matAlloc(2 * count, 3);
    w->At = matAlloc(3, 2 * count);
    w->b = matAlloc(2 * count, 1);
    w->N = matAlloc(3, 3);
    w->c = matAlloc(3, 1);
    w->t = matAlloc(3, 1);
    if (w->A && w->At && w->b && w->N && w->c && w->t) return 0;
    poseFreeWork(w);
    return -1;
}

// Linear least-squares translation for the fixed rotation R: per point,
// u*z = P00*x + P01*y + P02*z and v*z = P11*y + P12*z for the camera point
// (x, y, z) = R*(X, Y, Z) + t. Returns 0, or -1 when the normal equations are singular.
int poseSolveTranslation(const double R[3][3], const double (*imagePoints)[2],
                         const double (*markerPoints)[3], int count, const double P[3][4],
                         PoseSolveWork* w, double t[3])
{
    double* A = w->A->data;
    double* b = w->b->data;
    for (int i = 0; i < count; i++) {
        const double X = markerPoints[i][0], Y = markerPoints[i][1], Z = markerPoints[i][2];
        const double rx = R[0][0] * X + R[0][1] * Y + R[0][2] * Z;
        const double ry = R[1][0] * X + R[1][1] * Y + R[1][2] * Z;
        const double rz = R[2][0] * X + R[2][1] * Y + R[2][2] * Z;
        const double u = imagePoints[i][0], v = imagePoints[i][1];
        double* row = A + 6 * i;
        row[0] = P[0][0], row[1] = P[0][1], row[2] = P[0][2] - u;
        row[3] = 0, row[4] = P[1][1], row[5] = P[1][2] - v;
        b[2 * i] = rz * u - rx * P[0][0] - ry * P[0][1] - rz * P[0][2];
        b[2 * i + 1] = rz * v - ry * P[1][1] - rz * P[1][2];
    }
    const int rows = 2 * count;
    for (int r = 0; r < rows; r++)
        for (int col = 0; col < 3; col++) w->At->data[col * rows + r] = A[r * 3 + col];
    matMul(w->N, w->At, w->A);
    matMul(w->c, w->At, w->b);
    if (matSelfInverse(w->N) < 0) return -1;
    matMul(w->t, w->N, w->c);
    for (int r = 0; r < 3; r++) t[r] = w->t->data[r];
    return 0;
}

}  // namespace

double poseSolve(double rotation[3][3], const double (*imagePoints)[2],
                 const double (*markerPoints)[3], int count, double transform[3][4],
                 const double P[3][4])
{
    if (count < 1 || count > kPoseMaxPoints) return -1;
    PoseSolveWork work;
    if (poseAllocWork(count, &work) < 0) return -1;

    // The corners arrive in ideal coordinates, which is what the undistorted
    // projection of both the solve and the search produces: fit them as they are.
    double R[3][3], t[3];
    std::memcpy(R, rotation, sizeof R);
    double err = -1;
    for (int round = 0; round < 2; round++) {
        if (poseSolveTranslation(R, imagePoints, markerPoints, count, P, &work, t) < 0) {
            poseFreeWork(&work);
            return -1;
        }
        err = poseRefineRotation(R, t, P, markerPoints, imagePoints, count);
    }
    poseFreeWork(&work);

    std::memcpy(rotation, R, sizeof R);
    for (int r = 0; r < 3; r++) {
        for (int col = 0; col < 3; col++) transform[r][col] = R[r][col];
        transform[r][3] = t[r];
    }
    return err;
}

double poseFromCorrespondences(double rotation[3][3], const double (*imagePoints)[2],
                               const double (*planePoints)[2], int count, double transform[3][4],
                               const double P[3][4])
{
    if (count < 1 || count > kPoseMaxPoints) return -1;
    double maxX = -1e10, maxY = -1e10, minX = 1e10, minY = 1e10;
    for (int i = 0; i < count; i++) {
        if (planePoints[i][0] > maxX) maxX = planePoints[i][0];
        if (planePoints[i][0] < minX) minX = planePoints[i][0];
        if (planePoints[i][1] > maxY) maxY = planePoints[i][1];
        if (planePoints[i][1] < minY) minY = planePoints[i][1];
    }
    const double offX = (minX + maxX) * -0.5;
    const double offY = (minY + maxY) * -0.5;
    // Marker points centred on their bounding box (z = 0); on the stack (12 KiB at
    // most) so that concurrent calls share nothing.
    double centred[kPoseMaxPoints][3];
    for (int i = 0; i < count; i++) {
        centred[i][0] = planePoints[i][0] + offX;
        centred[i][1] = planePoints[i][1] + offY;
        centred[i][2] = 0;
    }

    const double err = poseSolve(rotation, imagePoints, centred, count, transform, P);
    if (err < 0) return -1;
    // Back to the uncentred marker frame (the z offset is zero).
    for (int r = 0; r < 3; r++)
        transform[r][3] = transform[r][3] + transform[r][0] * offX + transform[r][1] * offY;
    return err;
}

double poseGetTransform(const DetectedMarker* marker, const double center[2], double width,
                        double transform[3][4])
{
    return poseGetTransformWith(&camCurrentParam, marker, center, width, transform);
}

double poseGetTransformWith(const CameraParam* camera, const DetectedMarker* marker,
                            const double center[2], double width, double transform[3][4])
{
    const double(*P)[4] = camera->projection;
    double rotation[3][3];
    if (poseInitRotation(marker, P, rotation) < 0)
        return -1;  // also rejects direction outside 0..3

    // Corners in marker order c0..c3 and their positions on the marker.
    const int d = marker->direction;
    const double half = width * 0.5;
    const double cx = center[0], cy = center[1];
    const double plane[4][2] = {{cx - half, cy + half},
                                {cx + half, cy + half},
                                {cx + half, cy - half},
                                {cx - half, cy - half}};
    double image[4][2];
    for (int k = 0; k < 4; k++) {
        image[k][0] = marker->cornerPoints[(4 + k - d) % 4][0];
        image[k][1] = marker->cornerPoints[(4 + k - d) % 4][1];
    }

    // Each attempt starts from the rotation the previous one left; the last
    // attempt's result stands even when an earlier one fitted better.
    double fitted[3][4];
    double err = -1;
    for (int attempt = 0; attempt < kPoseAttempts; attempt++) {
        err = poseFromCorrespondences(rotation, image, plane, 4, fitted, P);
        if (err < kPoseGoodError) break;
    }
    if (err < 0) return -1;
    std::memcpy(transform, fitted, sizeof fitted);
    return err;
}
