// Radial lens distortion: ideal (pinhole) pixel positions to observed (captured) ones
// and back. The model: with (x, y) = s * (ideal - centre), the observed point is
// centre + (1 - k * (x^2 + y^2)) * (x, y), k = f * 1e-8; positive f is barrel distortion.
#include "camera/camera.h"

#include <cmath>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

#ifdef __SSE2__
namespace {

// Two points through the same steps as camObservToIdeal, one per lane (the same
// correctly rounded operations, so the same results). Returns false, leaving the
// outputs unwritten, when a radius becomes 0 on the way: the scalar code takes that.
bool camObservToIdealPair(const double distortion[4], __m128d ox, __m128d oy, double* first,
                          double* second)
{
    const __m128d x0 = _mm_set1_pd(distortion[0]), y0 = _mm_set1_pd(distortion[1]);
    const __m128d k = _mm_set1_pd(distortion[2] * kCamDistortionUnit);
    const __m128d one = _mm_set1_pd(1.0), three = _mm_set1_pd(3.0), zero = _mm_setzero_pd();
    __m128d dx = _mm_sub_pd(ox, x0), dy = _mm_sub_pd(oy, y0);
    __m128d z2 = _mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy));
    const __m128d z0 = _mm_sqrt_pd(z2);
    __m128d z = z0;
    if (_mm_movemask_pd(_mm_cmpeq_pd(z, zero)) != 0) return false;
    for (int step = 0; step < 3; step++) {
        const __m128d p = _mm_mul_pd(k, z2);
        const __m128d zn =
            _mm_sub_pd(z, _mm_div_pd(_mm_sub_pd(_mm_mul_pd(_mm_sub_pd(one, p), z), z0),
                                     _mm_sub_pd(one, _mm_mul_pd(three, p))));
        dx = _mm_div_pd(_mm_mul_pd(dx, zn), z);
        dy = _mm_div_pd(_mm_mul_pd(dy, zn), z);
        if (step == 2) break;
        z2 = _mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy));
        z = _mm_sqrt_pd(z2);
        if (_mm_movemask_pd(_mm_cmpeq_pd(z, zero)) != 0) return false;
    }
    const __m128d s = _mm_set1_pd(distortion[3]);
    const __m128d ix = _mm_add_pd(x0, _mm_div_pd(dx, s));
    const __m128d iy = _mm_add_pd(y0, _mm_div_pd(dy, s));
    _mm_storel_pd(first, ix);
    _mm_storel_pd(first + 1, iy);
    _mm_storeh_pd(second, ix);
    _mm_storeh_pd(second + 1, iy);
    return true;
}

}  // namespace
#endif

int camObservToIdealPoints(const double distortion[4], int32_t n, const int32_t* x,
                           const int32_t* y, double* ideal)
{
    int32_t i = 0;
#ifdef __SSE2__
    for (; i + 2 <= n; i += 2) {
        const __m128d ox = _mm_set_pd(x[i + 1], x[i]), oy = _mm_set_pd(y[i + 1], y[i]);
        if (camObservToIdealPair(distortion, ox, oy, ideal + 2 * i, ideal + 2 * i + 2)) continue;
        camObservToIdeal(distortion, x[i], y[i], &ideal[2 * i], &ideal[2 * i + 1]);
        camObservToIdeal(distortion, x[i + 1], y[i + 1], &ideal[2 * i + 2], &ideal[2 * i + 3]);
    }
#endif
    for (; i < n; i++) camObservToIdeal(distortion, x[i], y[i], &ideal[2 * i], &ideal[2 * i + 1]);
    return 0;
}
