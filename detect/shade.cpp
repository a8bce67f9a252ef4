// Shade matching: a marker's picture with the light evened out across it. Pattern
// correlation removes one brightness and one contrast for the whole picture; a shadow
// edge across the marker leaves part of the picture at a third of the light, and the
// correlation of the right pattern falls under the floor. The light is read where the
// print is known: the paper just outside the border and the ink of the border itself,
// on a ring round the marker. A straight shadow edge splits that ring into one bright
// and one dark arc; a gradient shows as a plane. Each cell of the sample is then mapped
// from its local ink level (0) to its local paper level (255) and matched again.
#include "detect/internal.h"

#include <algorithm>
#include <cmath>

#include "camera/camera.h"
#include "pattern/pattern.h"

namespace {

// Ring positions per side of the marker (each averaging kShadeSubpoints reads along
// the side), 4 * kShadeRingSide in all, in clockwise order from corner 0.
constexpr int kShadeRingSide = 8;
constexpr int kShadeRing = 4 * kShadeRingSide;
constexpr int kShadeSubpoints = 3;
// Where paper and ink are read, in sides of the marker from its outline: the paper
// margin is an eighth of the side wide, the border a quarter; the paper is read past the
// edge's blur, the ink in the middle of the border (tunable).
constexpr double kShadePaperOffset = 0.09;
constexpr double kShadeInkOffset = 0.125;
// The edge model is taken when it explains the ring's paper at least this much better
// than a plane (ratio of squared residuals; tunable) and its arcs differ by at least
// kShadeEdgeRatio in light.
constexpr double kShadeEdgeGain = 0.5;
constexpr double kShadeEdgeRatio = 1.25;
// Half the width of the light's step across a shadow edge, pixels (penumbra and blur).
constexpr double kShadeEdgeWidth = 1.0;
// Below this difference of paper and ink (grey levels) a cell shows no print to read.
constexpr double kShadeContrastMin = 6.0;

// Reference square of the homography: the marker spans 100 ... 110, so marker
// coordinates (u, v) in 0 ... 1 (u along edge 0, v along edge 3) map to 100 + 10 u.
constexpr double kShadeRefLow = 100.0, kShadeRefSide = 10.0;

struct ShadeMap {
    double H[3][3];  // reference square -> observed pixels
};

// Observed pixel of marker coordinates (u, v); false when it projects to infinity.
bool shadeProject(const ShadeMap& map, double u, double v, double* x, double* y)
{
    const double X = kShadeRefLow + kShadeRefSide * u, Y = kShadeRefLow + kShadeRefSide * v;
    const double(*H)[3] = map.H;
    const double d = H[2][0] * X + H[2][1] * Y + H[2][2];
    if (!(std::fabs(d) > 1e-12)) return false;
    *x = (H[0][0] * X + H[0][1] * Y + H[0][2]) / d;
    *y = (H[1][0] * X + H[1][1] * Y + H[1][2]) / d;
    return std::isfinite(*x) && std::isfinite(*y);
}

// Blue, green and red at (x, y), bilinear between pixel centres, added to sum[0 ... 2];
// false (nothing added) outside the frame.
bool shadeAddChannels(const uint8_t* frame, int width, int height, double x, double y,
                      double sum[3])
{
    if (!(x >= 0.0 && y >= 0.0 && x <= width - 1 && y <= height - 1)) return false;
    if (width < 2 || height < 2) return false;
    const int x0 = std::min(static_cast<int>(x), width - 2);
    const int y0 = std::min(static_cast<int>(y), height - 2);
    const double fx = x - x0, fy = y - y0;
    const uint8_t* p = frame + (static_cast<int64_t>(y0) * width + x0) * 4;
    const uint8_t* q = p + static_cast<int64_t>(width) * 4;
    for (int c = 0; c < 3; c++)
        sum[c] +=
            (p[c] * (1 - fx) + p[4 + c] * fx) * (1 - fy) + (q[c] * (1 - fx) + q[4 + c] * fx) * fy;
    return true;
}

// The light round the marker: paper and ink per channel at each ring position, and the
// positions of the paper reads in marker coordinates.
struct ShadeRing {
    double paper[kShadeRing][3];
    double ink[kShadeRing][3];
    double u[kShadeRing], v[kShadeRing];
};

// Reads the ring; false when a read falls outside the frame.
bool shadeReadRing(const uint8_t* frame, int width, int height, const ShadeMap& map,
                   ShadeRing* ring)
{
    // Side s runs from corner s to corner s + 1; (nu, nv) is its outward normal.
    static const double start[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    static const double along[4][2] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    static const double normal[4][2] = {{0, -1}, {1, 0}, {0, 1}, {-1, 0}};
    for (int s = 0; s < 4; s++) {
        for (int k = 0; k < kShadeRingSide; k++) {
            const int i = s * kShadeRingSide + k;
            double* paper = ring->paper[i];
            double* ink = ring->ink[i];
            paper[0] = paper[1] = paper[2] = ink[0] = ink[1] = ink[2] = 0.0;
            for (int a = 0; a < kShadeSubpoints; a++) {
                const double t = (k + (a + 0.5) / kShadeSubpoints) / kShadeRingSide;
                const double bu = start[s][0] + t * along[s][0];
                const double bv = start[s][1] + t * along[s][1];
                double x = 0.0, y = 0.0;
                if (!shadeProject(map, bu + kShadePaperOffset * normal[s][0],
                                  bv + kShadePaperOffset * normal[s][1], &x, &y) ||
                    !shadeAddChannels(frame, width, height, x, y, paper))
                    return false;
                if (!shadeProject(map, bu - kShadeInkOffset * normal[s][0],
                                  bv - kShadeInkOffset * normal[s][1], &x, &y) ||
                    !shadeAddChannels(frame, width, height, x, y, ink))
                    return false;
            }
            for (int c = 0; c < 3; c++) {
                paper[c] /= kShadeSubpoints;
                ink[c] /= kShadeSubpoints;
            }
            const double t = (k + 0.5) / kShadeRingSide;
            ring->u[i] = start[s][0] + t * along[s][0] + kShadePaperOffset * normal[s][0];
            ring->v[i] = start[s][1] + t * along[s][1] + kShadePaperOffset * normal[s][1];
        }
    }
    return true;
}

// Least squares plane through values f[i] at (u[i], v[i]); false when singular.
bool shadeFitPlane(const double* u, const double* v, const double* f, int stride, int n,
                   double plane[3])
{
    double A[3][4] = {};
    for (int i = 0; i < n; i++) {
        const double row[3] = {1.0, u[i], v[i]};
        for (int r = 0; r < 3; r++) {
            for (int c = 0; c < 3; c++) A[r][c] += row[r] * row[c];
            A[r][3] += row[r] * f[i * stride];
        }
    }
    // Gaussian elimination with partial pivoting on the 3 x 3 normal equations.
    for (int c = 0; c < 3; c++) {
        int p = c;
        for (int r = c + 1; r < 3; r++)
            if (std::fabs(A[r][c]) > std::fabs(A[p][c])) p = r;
        if (!(std::fabs(A[p][c]) > 1e-12)) return false;
        for (int k = 0; k < 4; k++) std::swap(A[c][k], A[p][k]);
        for (int r = 0; r < 3; r++) {
            if (r == c) continue;
            const double f2 = A[r][c] / A[c][c];
            for (int k = c; k < 4; k++) A[r][k] -= f2 * A[c][k];
        }
    }
    for (int r = 0; r < 3; r++) plane[r] = A[r][3] / A[r][r];
    return true;
}

// Fits the light model to the ring's paper (grey level of the three channels).
bool shadeFitLight(const ShadeRing& ring, double side, MarkShadeLight* light)
{
    double grey[kShadeRing];
    for (int i = 0; i < kShadeRing; i++)
        grey[i] = (ring.paper[i][0] + ring.paper[i][1] + ring.paper[i][2]) / 3.0;
    double plane[3];
    if (!shadeFitPlane(ring.u, ring.v, grey, 1, kShadeRing, plane)) return false;
    double planeError = 0.0;
    for (int i = 0; i < kShadeRing; i++) {
        const double e = grey[i] - (plane[0] + plane[1] * ring.u[i] + plane[2] * ring.v[i]);
        planeError += e * e;
    }
    // Two arcs of the ring: [i, j) and the rest, each at least two positions, the one
    // that leaves the least squared error about their two means (prefix sums).
    double sum[kShadeRing + 1] = {}, sq[kShadeRing + 1] = {};
    for (int i = 0; i < kShadeRing; i++) {
        sum[i + 1] = sum[i] + grey[i];
        sq[i + 1] = sq[i] + grey[i] * grey[i];
    }
    double bestError = 1e300;
    int bi = -1, bj = -1;
    for (int i = 0; i < kShadeRing; i++) {
        for (int j = i + 2; j <= kShadeRing && j - i <= kShadeRing - 2; j++) {
            const double na = j - i, nb = kShadeRing - na;
            const double sa = sum[j] - sum[i], qa = sq[j] - sq[i];
            const double sb = sum[kShadeRing] - sa, qb = sq[kShadeRing] - qa;
            const double e = (qa - sa * sa / na) + (qb - sb * sb / nb);
            if (e < bestError) {
                bestError = e;
                bi = i;
                bj = j;
            }
        }
    }
    light->edge = false;
    if (bi >= 0) {
        const double na = bj - bi, nb = kShadeRing - na;
        const double sa = sum[bj] - sum[bi], sb = sum[kShadeRing] - sa;
        const double ma = sa / na, mb = sb / nb;
        const double hi = std::max(ma, mb), lo = std::min(ma, mb);
        light->edge = bestError < kShadeEdgeGain * planeError && hi >= kShadeEdgeRatio * lo;
    }
    if (light->edge) {
        // The edge runs through the midpoints of the two pairs of neighbours where the
        // arcs meet.
        const int a0 = (bi + kShadeRing - 1) % kShadeRing, a1 = bi;
        const int b0 = (bj + kShadeRing - 1) % kShadeRing, b1 = bj % kShadeRing;
        const double p[2] = {0.5 * (ring.u[a0] + ring.u[a1]), 0.5 * (ring.v[a0] + ring.v[a1])};
        const double q[2] = {0.5 * (ring.u[b0] + ring.u[b1]), 0.5 * (ring.v[b0] + ring.v[b1])};
        const double du = q[0] - p[0], dv = q[1] - p[1];
        const double length = std::hypot(du, dv);
        if (!(length > 1e-9)) return false;
        light->line[0] = -dv / length;
        light->line[1] = du / length;
        light->line[2] = -(light->line[0] * p[0] + light->line[1] * p[1]);
        // Orient the line so that arc [bi, bj) lies on its positive side.
        double mu = 0.0, mv = 0.0;
        for (int i = bi; i < bj; i++) {
            mu += ring.u[i];
            mv += ring.v[i];
        }
        mu /= (bj - bi);
        mv /= (bj - bi);
        if (light->line[0] * mu + light->line[1] * mv + light->line[2] < 0.0)
            for (double& l : light->line) l = -l;
        light->width = kShadeEdgeWidth / side;
        for (int c = 0; c < 3; c++) {
            double pa = 0.0, pb = 0.0, ka = 0.0, kb = 0.0;
            for (int i = 0; i < kShadeRing; i++) {
                const bool inA = i >= bi && i < bj;
                (inA ? pa : pb) += ring.paper[i][c];
                (inA ? ka : kb) += ring.ink[i][c];
            }
            const double na = bj - bi, nb = kShadeRing - na;
            light->paper[0][c] = pa / na;
            light->paper[1][c] = pb / nb;
            light->ink[0][c] = ka / na;
            light->ink[1][c] = kb / nb;
        }
        return true;
    }
    for (int c = 0; c < 3; c++) {
        if (!shadeFitPlane(ring.u, ring.v, &ring.paper[0][c], 3, kShadeRing,
                           light->paperPlane[c]) ||
            !shadeFitPlane(ring.u, ring.v, &ring.ink[0][c], 3, kShadeRing, light->inkPlane[c]))
            return false;
    }
    return true;
}

// Paper and ink per channel at marker coordinates (u, v).
void shadeLightAt(const MarkShadeLight& light, double u, double v, double paper[3], double ink[3])
{
    if (light.edge) {
        const double d = light.line[0] * u + light.line[1] * v + light.line[2];
        const double w = std::min(1.0, std::max(0.0, 0.5 + 0.5 * d / light.width));
        for (int c = 0; c < 3; c++) {
            paper[c] = w * light.paper[0][c] + (1 - w) * light.paper[1][c];
            ink[c] = w * light.ink[0][c] + (1 - w) * light.ink[1][c];
        }
        return;
    }
    for (int c = 0; c < 3; c++) {
        const double* p = light.paperPlane[c];
        const double* k = light.inkPlane[c];
        paper[c] = p[0] + p[1] * u + p[2] * v;
        ink[c] = k[0] + k[1] * u + k[2] * v;
    }
}

// A pixel's darkness under the light: 255 at the local ink level, 0 at the local paper
// level (grey levels, the mean of the channels).
double shadeDarkness(const void* model, double u, double v, double grey)
{
    double paper[3], ink[3];
    shadeLightAt(*static_cast<const MarkShadeLight*>(model), u, v, paper, ink);
    const double p = (paper[0] + paper[1] + paper[2]) / 3.0;
    const double k = (ink[0] + ink[1] + ink[2]) / 3.0;
    return 255.0 * (p - grey) / std::max(p - k, kShadeContrastMin);
}

}  // namespace

double markShadeConfidence(const uint8_t* frame, int width, int height, const double distortion[4],
                           const double cornerPoints[4][2], const uint8_t picture[kPatternValues],
                           const PatternSet* patterns, int32_t patternId, int32_t direction)
{
    MarkShadeLight light;
    if (patterns == nullptr ||
        !markShadeLightOf(frame, width, height, distortion, cornerPoints, &light))
        return 0.0;
    uint8_t sample[kPatternValues];
    std::copy(picture, picture + kPatternValues, sample);
    // Each cell from its local ink (0) to its local paper (255). The picture spans the
    // central half of the marker: cell (row, col) centres at 0.25 + (col + 0.5) / 32.
    for (int row = 0; row < kPatternSide; row++) {
        for (int col = 0; col < kPatternSide; col++) {
            const double u = 0.25 + (col + 0.5) / (2.0 * kPatternSide);
            const double v = 0.25 + (row + 0.5) / (2.0 * kPatternSide);
            double paper[3], ink[3];
            shadeLightAt(light, u, v, paper, ink);
            for (int c = 0; c < 3; c++) {
                const double range = paper[c] - ink[c];
                if (!(range >= kShadeContrastMin)) return 0.0;
                uint8_t& s = sample[(row * kPatternSide + col) * 3 + c];
                const double value = 255.0 * (s - ink[c]) / range;
                s = static_cast<uint8_t>(std::min(255.0, std::max(0.0, value)) + 0.5);
            }
        }
    }
    int32_t id = -1, dir = -1;
    double confidence = 0.0;
    patternSetMatch(patterns, sample, &id, &dir, &confidence);
    return id == patternId && dir == direction ? confidence : 0.0;
}

bool markShadeLightOf(const uint8_t* frame, int width, int height, const double distortion[4],
                      const double cornerPoints[4][2], MarkShadeLight* light)
{
    static const double reference[4][2] = {
        {kShadeRefLow, kShadeRefLow},
        {kShadeRefLow + kShadeRefSide, kShadeRefLow},
        {kShadeRefLow + kShadeRefSide, kShadeRefLow + kShadeRefSide},
        {kShadeRefLow, kShadeRefLow + kShadeRefSide}};
    double observed[4][2];
    double side = 0.0;
    for (int k = 0; k < 4; k++)
        camIdealToObserv(distortion, cornerPoints[k][0], cornerPoints[k][1], &observed[k][0],
                         &observed[k][1]);
    for (int k = 0; k < 4; k++)
        side += std::hypot(observed[(k + 1) % 4][0] - observed[k][0],
                           observed[(k + 1) % 4][1] - observed[k][1]) /
                4.0;
    ShadeMap map;
    if (!(side > 1.0) || patternHomography(reference, observed, map.H) < 0) return false;
    ShadeRing ring;
    return shadeReadRing(frame, width, height, map, &ring) && shadeFitLight(ring, side, light);
}

double markShadePixelCorrelation(const uint8_t* frame, int width, int height,
                                 const double distortion[4], const double cornerPoints[4][2],
                                 const PatternSlot& slot, int direction,
                                 const MarkShadeLight& light)
{
    if (!light.edge) return -1.0;
    const MarkPixelLight read{shadeDarkness, &light};
    return markPixelCorrelation(frame, width, height, distortion, cornerPoints, slot, direction,
                                &read);
}
