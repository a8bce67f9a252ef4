// Radial lens distortion: ideal (pinhole) pixel positions to observed (captured) ones
// and back. The model: with (x, y) = s * (ideal - centre), the observed point is
// centre + (1 - k * (x^2 + y^2)) * (x, y), k = f * 1e-8; positive f is barrel distortion.
#include "camera/camera.h"

#include <cmath>

namespace {

// The radial factor is stored scaled by 1e8 so that file values are of order 1..100.
constexpr double kCamDistortionUnit = 1.0e-8;

}  // namespace

int camIdealToObserv(const double distortion[4], double ix, double iy, double* ox, double* oy)
{
    const double x0 = distortion[0];
    const double y0 = distortion[1];
    const double x = (ix - x0) * distortion[3];
    const double y = (iy - y0) * distortion[3];
    if (x == 0.0 && y == 0.0) {
        *ox = x0;
        *oy = y0;
        return 0;
    }
    // Not divided by s: the observed offset is d * s times the ideal offset.
    const double d = 1.0 - (x * x + y * y) * distortion[2] * kCamDistortionUnit;
    *ox = x0 + d * x;
    *oy = y0 + d * y;
    return 0;
}

// Inverts z * (1 - k z^2) = z0 for the model radius z by Newton's method, starting
// from the observed radius z0. Three steps and no test: with any real lens the start
// is close and the convergence quadratic, and the per-pixel cost stays fixed.
int camObservToIdeal(const double distortion[4], double ox, double oy, double* ix, double* iy)
{
    const double x0 = distortion[0];
    const double y0 = distortion[1];
    const double k = distortion[2] * kCamDistortionUnit;
    double dx = ox - x0;
    double dy = oy - y0;
    double z2 = dx * dx + dy * dy;
    const double z0 = std::sqrt(z2);
    double z = z0;
    if (z == 0.0) {
        *ix = x0;
        *iy = y0;
        return 0;
    }
    for (int step = 0; step < 3; step++) {
        const double p = k * z2;
        // Unguarded: 1 - 3p is 0 only at the radius where the model folds back, far
        // outside any real image.
        const double zn = z - ((1.0 - p) * z - z0) / (1.0 - 3.0 * p);
        dx = dx * zn / z;
        dy = dy * zn / z;
        if (step == 2) break;
        z2 = dx * dx + dy * dy;
        z = std::sqrt(z2);
        if (z == 0.0) {
            *ix = x0;
            *iy = y0;
            return 0;
        }
    }
    *ix = x0 + dx / distortion[3];
    *iy = y0 + dy / distortion[3];
    return 0;
}
