// Pose against the truth, for the pose tests, the pose accuracy table and the soak.
#include "tests/support/support.h"

#include <algorithm>
#include <cmath>

#include "camera/camera.h"
#include "pose/pose.h"

namespace support {

double reprojectionPx(const double P[3][4], const double T[3][4], const double corners[4][2],
                      double side)
{
    const double xs[4] = {-0.5, 0.5, 0.5, -0.5}, ys[4] = {0.5, 0.5, -0.5, -0.5};
    double worst = 0;
    for (int k = 0; k < 4; k++) {
        double c[3], h[3];
        for (int r = 0; r < 3; r++)
            c[r] = T[r][0] * xs[k] * side + T[r][1] * ys[k] * side + T[r][3];
        for (int r = 0; r < 3; r++)
            h[r] = P[r][0] * c[0] + P[r][1] * c[1] + P[r][2] * c[2] + P[r][3];
        worst =
            std::max(worst, std::hypot(h[0] / h[2] - corners[k][0], h[1] / h[2] - corners[k][1]));
    }
    return worst;
}

double fitObservedCorners(const DetectedMarker& m, double side, double T[3][4])
{
    const auto& P = camCurrentParam.projection;
    double R[3][3];
    if (poseInitRotation(&m, P, R) < 0) return -1;
    double image[4][2];
    const double h = side / 2;
    const double plane[4][2] = {{-h, h}, {h, h}, {h, -h}, {-h, -h}};
    for (int k = 0; k < 4; k++) {
        const double* q = m.cornerPoints[(k + 4 - m.direction) % 4];
        camIdealToObserv(camCurrentParam.distortion, q[0], q[1], &image[k][0], &image[k][1]);
    }
    double err = -1;
    for (int attempt = 0; attempt < 5; attempt++) {
        err = poseFromCorrespondences(R, image, plane, 4, T, P);
        if (err < 1.0) break;
    }
    return err;
}

}  // namespace support
