// Pattern sampling: the inner picture of a candidate square, resampled through the
// homography of its corners into the 16 x 16 colour grid of the pattern files.
#include "pattern/pattern.h"

#include <cstring>

#include "camera/camera.h"
#include "numeric/numeric.h"

namespace {

// A reference square of side 10 in the pattern plane; the marker's picture is its
// central half, 102.5 ... 107.5 in both directions.
constexpr double kPatternReference[4][2] = {
    {100.0, 100.0}, {110.0, 100.0}, {110.0, 110.0}, {100.0, 110.0}};
constexpr double kPatternInnerStart = 102.5;
constexpr double kPatternInnerSide = 5.0;
// Sample points per side: 16, 32 or 64, so each output cell averages 1, 2 or 4 per axis.
constexpr int kPatternGridMax = 64;

// Smallest of 16, 32, 64 whose square reaches a quarter of the longer squared edge
// length, i.e. about one sample point per two pixels of edge.
int patternGridSize(double squaredLength)
{
    // Lengths beyond the largest grid need no exact integer (and may exceed one).
    if (squaredLength >= 4.0 * kPatternGridMax * kPatternGridMax) return kPatternGridMax;
    const int64_t quarter = static_cast<int64_t>(squaredLength) / 4;
    int n = kPatternSide;
    while (n < kPatternGridMax && static_cast<int64_t>(n) * n < quarter) n *= 2;
    return n;
}

double patternSquaredDistance(const int32_t* pointX, const int32_t* pointY, int32_t a, int32_t b)
{
    const double dx = static_cast<double>(pointX[a]) - pointX[b];
    const double dy = static_cast<double>(pointY[a]) - pointY[b];
    return dx * dx + dy * dy;
}

// Frame positions of the nx grid points of row j: x = (H0 . p) / (H2 . p), y likewise,
// each row product as the sum of its column and row terms. Two points per step where
// the compiler offers vectors of doubles (the same operations in the same order, so the
// same values). Returns -1 when a point lies at infinity.
#if defined(__GNUC__)
typedef double PatternPair __attribute__((vector_size(16)));
#endif

int patternProjectRow(const double H[3][3], const double colX[3][kPatternGridMax],
                      const double rowY[3][kPatternGridMax], int j, int nx, double* xs, double* ys)
{
    int i = 0;
#if defined(__GNUC__)
    const PatternPair r0 = {rowY[0][j], rowY[0][j]}, r1 = {rowY[1][j], rowY[1][j]},
                      r2 = {rowY[2][j], rowY[2][j]};
    const PatternPair h02 = {H[0][2], H[0][2]}, h12 = {H[1][2], H[1][2]}, h22 = {H[2][2], H[2][2]};
    const PatternPair one = {1.0, 1.0}, zero = {0.0, 0.0};
    for (; i + 2 <= nx; i += 2) {
        PatternPair c0, c1, c2;
        std::memcpy(&c0, &colX[0][i], sizeof c0);
        std::memcpy(&c1, &colX[1][i], sizeof c1);
        std::memcpy(&c2, &colX[2][i], sizeof c2);
        const PatternPair d = c2 + r2 + h22;
        const auto atInfinity = d == zero;
        if (atInfinity[0] | atInfinity[1]) return -1;
        const PatternPair inverse = one / d;
        const PatternPair x = (c0 + r0 + h02) * inverse;
        const PatternPair y = (c1 + r1 + h12) * inverse;
        std::memcpy(xs + i, &x, sizeof x);
        std::memcpy(ys + i, &y, sizeof y);
    }
#endif
    for (; i < nx; i++) {
        const double d = colX[2][i] + rowY[2][j] + H[2][2];
        if (d == 0.0) return -1;
        const double inverse = 1.0 / d;
        xs[i] = (colX[0][i] + rowY[0][j] + H[0][2]) * inverse;
        ys[i] = (colX[1][i] + rowY[1][j] + H[1][2]) * inverse;
    }
    return 0;
}

}  // namespace

int patternHomography(const double reference[4][2], const double observed[4][2], double H[3][3])
{
    DMatrix* a = matAlloc(8, 8);
    DMatrix* b = matAlloc(8, 1);
    DMatrix* h = matAlloc(8, 1);
    if (a == nullptr || b == nullptr || h == nullptr) {
        if (a != nullptr) matFree(a);
        if (b != nullptr) matFree(b);
        if (h != nullptr) matFree(h);
        return -1;
    }
    for (int i = 0; i < 4; i++) {
        const double X = reference[i][0], Y = reference[i][1];
        const double x = observed[i][0], y = observed[i][1];
        double* r0 = a->data + (2 * i) * 8;
        double* r1 = a->data + (2 * i + 1) * 8;
        r0[0] = X;
        r0[1] = Y;
        r0[2] = 1.0;
        r0[3] = 0.0;
        r0[4] = 0.0;
        r0[5] = 0.0;
        r0[6] = -X * x;
        r0[7] = -Y * x;
        r1[0] = 0.0;
        r1[1] = 0.0;
        r1[2] = 0.0;
        r1[3] = X;
        r1[4] = Y;
        r1[5] = 1.0;
        r1[6] = -X * y;
        r1[7] = -Y * y;
        b->data[2 * i] = x;
        b->data[2 * i + 1] = y;
    }
    // A singular system leaves a partly transformed matrix; the sampler guards every
    // coordinate it derives, so the result code is not needed here.
    matSelfInverse(a);
    matMul(h, a, b);
    for (int k = 0; k < 8; k++) H[k / 3][k % 3] = h->data[k];
    H[2][2] = 1.0;
    matFree(a);
    matFree(b);
    matFree(h);
    return 0;
}

int patternSample(const uint8_t* frame, const int32_t* pointX, const int32_t* pointY,
                  const int32_t corners[5], uint8_t sample[kPatternValues])
{
    return patternSampleImage(frame, camImageWidth, camImageHeight, pointX, pointY, corners,
                              sample);
}

int patternSampleImage(const uint8_t* frame, int width, int height, const int32_t* pointX,
                       const int32_t* pointY, const int32_t corners[5],
                       uint8_t sample[kPatternValues])
{
    double observed[4][2];
    for (int i = 0; i < 4; i++) {
        observed[i][0] = pointX[corners[i]];
        observed[i][1] = pointY[corners[i]];
    }
    double H[3][3];
    if (patternHomography(kPatternReference, observed, H) < 0) {
        std::memset(sample, 0, kPatternValues);
        return -1;
    }

    const double lx01 = patternSquaredDistance(pointX, pointY, corners[0], corners[1]);
    const double lx23 = patternSquaredDistance(pointX, pointY, corners[2], corners[3]);
    const double ly12 = patternSquaredDistance(pointX, pointY, corners[1], corners[2]);
    const double ly30 = patternSquaredDistance(pointX, pointY, corners[3], corners[0]);
    const int nx = patternGridSize(lx01 > lx23 ? lx01 : lx23);
    const int ny = patternGridSize(ly12 > ly30 ? ly12 : ly30);
    const int sx = nx / kPatternSide;
    const int sy = ny / kPatternSide;
    // sx, sy and their product are powers of two: the divisions below are shifts.
    const int shiftX = sx == 1 ? 0 : (sx == 2 ? 1 : 2);
    const int shiftY = sy == 1 ? 0 : (sy == 2 ? 1 : 2);

    // The products of each homography row with the grid coordinates depend on one
    // coordinate only; computing them once per column and row gives the same values.
    double colX[3][kPatternGridMax], rowY[3][kPatternGridMax];
    for (int i = 0; i < nx; i++) {
        const double X = (i + 0.5) * (1.0 / nx) * kPatternInnerSide + kPatternInnerStart;
        for (int r = 0; r < 3; r++) colX[r][i] = H[r][0] * X;
    }
    for (int j = 0; j < ny; j++) {
        const double Y = (j + 0.5) * (1.0 / ny) * kPatternInnerSide + kPatternInnerStart;
        for (int r = 0; r < 3; r++) rowY[r][j] = H[r][1] * Y;
    }
    int32_t acc[kPatternValues] = {};
    double xs[kPatternGridMax], ys[kPatternGridMax];
    for (int j = 0; j < ny; j++) {
        // A point at infinity leaves no meaningful picture: a uniform sample makes
        // matching report "uniform" instead of reading garbage.
        if (patternProjectRow(H, colX, rowY, j, nx, xs, ys) < 0) {
            std::memset(sample, 0, kPatternValues);
            return -1;
        }
        int32_t* cellRow = acc + (j >> shiftY) * kPatternSide * 3;
        for (int i = 0; i < nx; i++) {
            const double xd = xs[i], yd = ys[i];
            // Truncation toward zero lands inside the frame exactly when -1 < v < size;
            // testing the double first also keeps NaN and huge values from reaching
            // the integer conversion.
            if (!(xd > -1.0 && xd < width && yd > -1.0 && yd < height)) continue;
            const int x = static_cast<int>(xd);
            const int y = static_cast<int>(yd);
            const uint8_t* px = frame + (static_cast<size_t>(y) * width + x) * 4;
            int32_t* cell = cellRow + (i >> shiftX) * 3;
            cell[0] += px[0];
            cell[1] += px[1];
            cell[2] += px[2];
        }
    }
    // The mean over the cell's sx * sy points (points outside the frame count as 0).
    const int shift = shiftX + shiftY;
    for (int k = 0; k < kPatternValues; k++) {
        sample[k] = static_cast<uint8_t>(static_cast<uint32_t>(acc[k]) >> shift);
    }
    return 0;
}
