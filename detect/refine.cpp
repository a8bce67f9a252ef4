// Sub-pixel work on a fitted marker: edges moved to the strongest dark-to-light step
// across them, and the inner picture sampled at the fitted corners with bilinear
// interpolation. The contour's pixels are the outermost dark ones, so the lines fitted
// through them lie about half a pixel to a pixel inside the printed edge, and its
// integer corners lie up to two pixels off the fitted ones.
#include "detect/internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define REFINE_AVX2 1
#endif

#include "camera/camera.h"
#include "pattern/pattern.h"

namespace {

// Edge search: offsets across the edge from -kRefineReach to +kRefineReach pixels in
// steps of kRefineStep (tunable: the contour lies within about 1.5 px of the edge).
constexpr double kRefineReach = 3.0;
constexpr double kRefineStep = 0.5;
constexpr int kRefineSteps = 13;  // 2 * reach / step + 1
static_assert(kRefineSteps == static_cast<int>(2 * kRefineReach / kRefineStep) + 1, "steps");
// Where each sample lies along the search line, as a fraction of its length (s / 12),
// with room for a whole last group of four: computed once, not per line.
struct RefineFractions {
    double f[(kRefineSteps + 3) / 4 * 4];
};
constexpr RefineFractions kRefineFractions = [] {
    RefineFractions t{};
    for (int s = 0; s < (kRefineSteps + 3) / 4 * 4; s++)
        t.f[s] = static_cast<double>(s) / (kRefineSteps - 1);
    return t;
}();
// Grey levels kept per search line: the samples and the rest of the last group of four.
constexpr int kRefineLanes = (kRefineSteps + 3) / 4 * 4;
// Points searched per edge: about one per pixel of edge, within these bounds.
constexpr int kRefinePointsMin = 6;
constexpr int kRefinePointsMax = 32;
// A step weaker than this (grey levels per pixel) is not taken for the edge.
constexpr double kRefineStepMin = 4.0;
// An edge point further than this from the fitted line is not the same edge (a
// neighbouring marker, a shadow's edge): it is left out.
constexpr double kRefineMoveMax = 2.0;
// A refined corner further than this from the fitted one means the search locked onto
// something else: the fitted lines are kept.
constexpr double kRefineCornerMoveMax = 4.0;

// Grey level (mean of blue, green, red) at (x, y) by bilinear interpolation between
// pixel centres; -1 outside the frame.
double refineGrey(const uint8_t* frame, int width, int height, double x, double y)
{
    if (!(x >= 0.0 && y >= 0.0 && x <= width - 1 && y <= height - 1)) return -1.0;
    int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
    if (x0 > width - 2) x0 = width - 2;
    if (y0 > height - 2) y0 = height - 2;
    if (x0 < 0 || y0 < 0) return -1.0;  // a frame one pixel wide or high
    const double fx = x - x0, fy = y - y0;
    const uint8_t* p = frame + (static_cast<int64_t>(y0) * width + x0) * 4;
    const uint8_t* q = p + static_cast<int64_t>(width) * 4;
    const double a = p[0] + p[1] + p[2], b = p[4] + p[5] + p[6];
    const double c = q[0] + q[1] + q[2], d = q[4] + q[5] + q[6];
    return ((a * (1 - fx) + b * fx) * (1 - fy) + (c * (1 - fx) + d * fx) * fy) / 3.0;
}

// Blue, green and red at (x, y) by bilinear interpolation, added to sum[0 ... 2];
// nothing is added outside the frame (as pattern sampling counts such points as 0).
void refineAddChannels(const uint8_t* frame, int width, int height, double x, double y,
                       double sum[3])
{
    if (!(x >= 0.0 && y >= 0.0 && x <= width - 1 && y <= height - 1)) return;
    int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
    if (x0 > width - 2) x0 = std::max(width - 2, 0);
    if (y0 > height - 2) y0 = std::max(height - 2, 0);
    const int x1 = std::min(x0 + 1, width - 1), y1 = std::min(y0 + 1, height - 1);
    const double fx = x - x0, fy = y - y0;
    const uint8_t* p00 = frame + (static_cast<int64_t>(y0) * width + x0) * 4;
    const uint8_t* p10 = frame + (static_cast<int64_t>(y0) * width + x1) * 4;
    const uint8_t* p01 = frame + (static_cast<int64_t>(y1) * width + x0) * 4;
    const uint8_t* p11 = frame + (static_cast<int64_t>(y1) * width + x1) * 4;
    for (int c = 0; c < 3; c++) {
        sum[c] +=
            (static_cast<double>(p00[c]) * (1 - fx) + static_cast<double>(p10[c]) * fx) * (1 - fy) +
            (static_cast<double>(p01[c]) * (1 - fx) + static_cast<double>(p11[c]) * fx) * fy;
    }
}

#ifdef REFINE_AVX2
// Four lanes of points (x, y) read bilinearly (frames at least 2 x 2): the lanes inside
// the frame (the test of refineGrey) as a movemask, the index of each one's top-left
// pixel (0 for lanes outside; its right and lower neighbours are in the frame) and the
// weights. The same double arithmetic per lane as refineGrey and refineAddChannels, so
// the same values.
struct RefineQuad {
    int inside;
    __m256d in;  // the same lanes as a mask: all bits set inside
    int32_t at[4];
    __m256d fx, fy, gx, gy;  // gx = 1 - fx, gy = 1 - fy
};

__attribute__((target("avx2"))) inline void refineQuad(__m256d x, __m256d y, int width, int height,
                                                       RefineQuad* q)
{
    const __m256d zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0);
    const __m256d in = _mm256_and_pd(
        _mm256_and_pd(_mm256_cmp_pd(x, zero, _CMP_GE_OQ), _mm256_cmp_pd(y, zero, _CMP_GE_OQ)),
        _mm256_and_pd(_mm256_cmp_pd(x, _mm256_set1_pd(width - 1), _CMP_LE_OQ),
                      _mm256_cmp_pd(y, _mm256_set1_pd(height - 1), _CMP_LE_OQ)));
    q->in = in;
    q->inside = _mm256_movemask_pd(in);
    const __m128i keep = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(
        _mm256_castpd_si256(in), _mm256_setr_epi32(0, 2, 4, 6, 0, 0, 0, 0)));
    const __m128i x0 =
        _mm_and_si128(keep, _mm_min_epi32(_mm256_cvttpd_epi32(x), _mm_set1_epi32(width - 2)));
    const __m128i y0 =
        _mm_and_si128(keep, _mm_min_epi32(_mm256_cvttpd_epi32(y), _mm_set1_epi32(height - 2)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q->at),
                     _mm_add_epi32(_mm_mullo_epi32(y0, _mm_set1_epi32(width)), x0));
    q->fx = _mm256_sub_pd(x, _mm256_cvtepi32_pd(x0));
    q->fy = _mm256_sub_pd(y, _mm256_cvtepi32_pd(y0));
    q->gx = _mm256_sub_pd(one, q->fx);
    q->gy = _mm256_sub_pd(one, q->fy);
}

// The four lanes' pixel pairs from `offset` pixels past their top-left ones: pixels
// (left 0, right 0, left 1, right 1, ...), eight bytes each pair.
__attribute__((target("avx2"))) inline __m256i refinePairs(const uint8_t* frame,
                                                           const RefineQuad& q, int64_t offset)
{
    int64_t pair[4];
    for (int l = 0; l < 4; l++) std::memcpy(&pair[l], frame + (q.at[l] + offset) * 4, 8);
    return _mm256_setr_epi64x(pair[0], pair[1], pair[2], pair[3]);
}

// The pixel pairs' lefts to the low half, their rights to the high half.
__attribute__((target("avx2"))) inline __m256i refineSplit(__m256i pairs)
{
    return _mm256_permutevar8x32_epi32(pairs, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
}

// (a (1 - fx) + b fx) (1 - fy) + (c (1 - fx) + d fx) fy, in that order, from int32
// values of the pairs above and below, split (refineSplit).
__attribute__((target("avx2"))) inline __m256d refineMix(const RefineQuad& q, __m256i above,
                                                         __m256i below)
{
    const __m256d a = _mm256_cvtepi32_pd(_mm256_castsi256_si128(above));
    const __m256d b = _mm256_cvtepi32_pd(_mm256_extracti128_si256(above, 1));
    const __m256d c = _mm256_cvtepi32_pd(_mm256_castsi256_si128(below));
    const __m256d d = _mm256_cvtepi32_pd(_mm256_extracti128_si256(below, 1));
    return _mm256_add_pd(
        _mm256_mul_pd(_mm256_add_pd(_mm256_mul_pd(a, q.gx), _mm256_mul_pd(b, q.fx)), q.gy),
        _mm256_mul_pd(_mm256_add_pd(_mm256_mul_pd(c, q.gx), _mm256_mul_pd(d, q.fx)), q.fy));
}

// Byte `shift / 8` of eight BGRA pixels as int32.
__attribute__((target("avx2"))) inline __m256i refineChannel(__m256i pixels, int shift)
{
    return _mm256_and_si256(_mm256_srli_epi32(pixels, shift), _mm256_set1_epi32(255));
}

// Blue + green + red of eight BGRA pixels as int32.
__attribute__((target("avx2"))) inline __m256i refineSum3(__m256i pixels)
{
    return _mm256_madd_epi16(_mm256_maddubs_epi16(pixels, _mm256_set1_epi32(0x00010101)),
                             _mm256_set1_epi16(1));
}

// refineGreyLines four samples at a time. Every group is read, inside the frame or not
// (a lane outside reads the first pixel), so that a line takes no branch; lanes past
// the last sample are not used. No plain code is called, which would pay for the switch
// from the wide registers.
__attribute__((target("avx2"))) void refineGreyLinesAvx2(const uint8_t* frame, int width,
                                                         int height, const double (*ends)[2][2],
                                                         int count, double (*greys)[kRefineLanes],
                                                         bool* read)
{
    const __m256d three = _mm256_set1_pd(3.0);
    for (int k = 0; k < count; k++) {
        const double* a = ends[k][0];
        const double* b = ends[k][1];
        const __m256d ax = _mm256_set1_pd(a[0]), ay = _mm256_set1_pd(a[1]);
        const __m256d dx = _mm256_set1_pd(b[0] - a[0]), dy = _mm256_set1_pd(b[1] - a[1]);
        // The four groups' points, then their pixels, then their sums: the work of each
        // step is independent across the groups, so the processor overlaps it.
        int outside = 0;
        RefineQuad q[kRefineLanes / 4];
        __m256i above[kRefineLanes / 4], below[kRefineLanes / 4];
#pragma GCC unroll 4
        for (int s = 0; s < kRefineSteps; s += 4) {
            const __m256d f = _mm256_loadu_pd(kRefineFractions.f + s);
            refineQuad(_mm256_add_pd(ax, _mm256_mul_pd(f, dx)),
                       _mm256_add_pd(ay, _mm256_mul_pd(f, dy)), width, height, &q[s / 4]);
            const int used = (1 << std::min(4, kRefineSteps - s)) - 1;
            outside |= ~q[s / 4].inside & used;
        }
#pragma GCC unroll 4
        for (int s = 0; s < kRefineSteps; s += 4) {
            above[s / 4] = refinePairs(frame, q[s / 4], 0);
            below[s / 4] = refinePairs(frame, q[s / 4], width);
        }
#pragma GCC unroll 4
        for (int s = 0; s < kRefineSteps; s += 4) {
            const __m256d v = refineMix(q[s / 4], refineSplit(refineSum3(above[s / 4])),
                                        refineSplit(refineSum3(below[s / 4])));
            _mm256_storeu_pd(greys[k] + s, _mm256_div_pd(v, three));
        }
        read[k] = outside == 0;
    }
}
#endif

// Grey levels at kRefineSteps points evenly spaced along each of `count` search lines,
// from ends[k][0] to ends[k][1] (frame pixels), into greys[k]; read[k] is false when one
// of line k's points lies outside the frame (its levels are then not to be used).
// level: widest instructions used (0 plain, 2 AVX2 where the processor has it), the same
// values either way.
void refineGreyLines(const uint8_t* frame, int width, int height, const double (*ends)[2][2],
                     int count, int level, double (*greys)[kRefineLanes], bool* read)
{
#ifdef REFINE_AVX2
    if (level >= 2 && markHaveAvx2() && width >= 2 && height >= 2 &&
        int64_t{width} * height <= kMarkPixelMax) {
        refineGreyLinesAvx2(frame, width, height, ends, count, greys, read);
        return;
    }
#endif
    for (int k = 0; k < count; k++) {
        const double* a = ends[k][0];
        const double* b = ends[k][1];
        read[k] = true;
        for (int s = 0; s < kRefineSteps && read[k]; s++) {
            const double f = kRefineFractions.f[s];
            greys[k][s] = refineGrey(frame, width, height, a[0] + f * (b[0] - a[0]),
                                     a[1] + f * (b[1] - a[1]));
            read[k] = greys[k][s] >= 0.0;
        }
    }
}

// A rise is the difference of the samples on either side, divided by their distance of
// one pixel: the difference itself, with no rounding.
static_assert(kRefineSteps == 13 && 2.0 * kRefineStep == 1.0, "rises in three groups of four");

#ifdef REFINE_AVX2
// refineStrongestRise eleven rises at a time, without a branch per sample.
__attribute__((target("avx2"))) int refineStrongestRiseAvx2(const double* grey, double* rise)
{
    const __m256d zero = _mm256_setzero_pd();
    // Rises 1-4, 5-8 and 9-12; the 12th is none (it would need a 14th sample, which the
    // plain steps leave unwritten: not read).
    const __m256d r0 = _mm256_sub_pd(_mm256_loadu_pd(grey + 2), _mm256_loadu_pd(grey));
    const __m256d r1 = _mm256_sub_pd(_mm256_loadu_pd(grey + 6), _mm256_loadu_pd(grey + 4));
    const __m256d last = _mm256_maskload_pd(grey + 10, _mm256_setr_epi64x(-1, -1, -1, 0));
    const __m256d r2 = _mm256_blend_pd(_mm256_sub_pd(last, _mm256_loadu_pd(grey + 8)), zero, 0x8);
    rise[0] = 0.0;
    _mm256_storeu_pd(rise + 1, r0);
    _mm256_storeu_pd(rise + 5, r1);
    _mm256_storeu_pd(rise + 9, r2);
    __m256d top = _mm256_max_pd(_mm256_max_pd(r0, r1), r2);
    top = _mm256_max_pd(top, _mm256_permute2f128_pd(top, top, 0x01));
    top = _mm256_max_pd(top, _mm256_permute_pd(top, 0x5));
    if (!(_mm256_cvtsd_f64(top) > 0.0)) return -1;
    const int at = _mm256_movemask_pd(_mm256_cmp_pd(r0, top, _CMP_EQ_OQ)) |
                   _mm256_movemask_pd(_mm256_cmp_pd(r1, top, _CMP_EQ_OQ)) << 4 |
                   _mm256_movemask_pd(_mm256_cmp_pd(r2, top, _CMP_EQ_OQ)) << 8;
    return __builtin_ctz(at) + 1;
}
#endif

// The rises between neighbouring samples of a search line (central differences, grey
// levels per pixel) into rise[1 ... kRefineSteps - 2], rise[0] and rise[kRefineSteps -
// 1] zero; returns the first sample of the strongest rise, or -1 when none rises.
// level as for refineGreyLines, the same result either way.
int refineStrongestRise(const double* grey, int level, double* rise)
{
#ifdef REFINE_AVX2
    if (level >= 2 && markHaveAvx2()) return refineStrongestRiseAvx2(grey, rise);
#endif
    int best = -1;
    double bestRise = 0.0;
    rise[0] = rise[kRefineSteps - 1] = 0.0;
    for (int s = 1; s + 1 < kRefineSteps; s++) {
        rise[s] = (grey[s + 1] - grey[s - 1]) / (2.0 * kRefineStep);
        if (rise[s] > bestRise) {
            bestRise = rise[s];
            best = s;
        }
    }
    return best;
}

// Total least squares line through n points: (a, b) the unit normal, c the offset.
// Returns false for fewer than 2 distinct points.
bool refineFitLine(const double* px, const double* py, int n, double line[3])
{
    if (n < 2) return false;
    double mx = 0.0, my = 0.0;
    for (int i = 0; i < n; i++) {
        mx += px[i];
        my += py[i];
    }
    mx /= n;
    my /= n;
    double sxx = 0.0, sxy = 0.0, syy = 0.0;
    for (int i = 0; i < n; i++) {
        const double dx = px[i] - mx, dy = py[i] - my;
        sxx += dx * dx;
        sxy += dx * dy;
        syy += dy * dy;
    }
    if (sxx + syy == 0.0) return false;
    // Direction of the larger eigenvalue of [[sxx, sxy], [sxy, syy]].
    const double angle = 0.5 * std::atan2(2.0 * sxy, sxx - syy);
    const double ux = std::cos(angle), uy = std::sin(angle);
    line[0] = uy;
    line[1] = -ux;
    line[2] = -(line[0] * mx + line[1] * my);
    return true;
}

bool refineIntersect(const double* l1, const double* l2, double p[2])
{
    const double w = l1[0] * l2[1] - l2[0] * l1[1];
    if (w == 0.0) return false;
    p[0] = (l1[1] * l2[2] - l2[1] * l1[2]) / w;
    p[1] = (l2[0] * l1[2] - l1[0] * l2[2]) / w;
    return std::isfinite(p[0]) && std::isfinite(p[1]);
}

// Refits edge i (from corner i to corner i + 1, ideal coordinates): points along it
// are moved, across the edge, to the strongest rise of grey level outwards. Returns
// false when too few points show a clear step.
bool refineEdge(const uint8_t* frame, int width, int height, const double distortion[4],
                const double corners[4][2], const double centre[2], int i, int level,
                double line[3])
{
    const double* p0 = corners[i];
    const double* p1 = corners[(i + 1) % 4];
    const double dx = p1[0] - p0[0], dy = p1[1] - p0[1];
    const double length = std::hypot(dx, dy);
    if (!(length > 2.0)) return false;
    // Outward unit normal (away from the marker's centre).
    double nx = dy / length, ny = -dx / length;
    const double mx = 0.5 * (p0[0] + p1[0]) - centre[0], my = 0.5 * (p0[1] + p1[1]) - centre[1];
    if (nx * mx + ny * my < 0.0) {
        nx = -nx;
        ny = -ny;
    }
    // (An edge longer than the most points is not converted: it may lie far outside.)
    const int points = length >= kRefinePointsMax
                           ? kRefinePointsMax
                           : std::max(kRefinePointsMin, static_cast<int>(length));
    // First every search line's ends, then their grey levels, then each line's step: the
    // lines' reads and sums, independent of each other, overlap instead of each waiting
    // behind the comparisons of the line before.
    double ix[kRefinePointsMax], iy[kRefinePointsMax];
    double ends[kRefinePointsMax][2][2];
    for (int k = 0; k < points; k++) {
        // Away from the corners, where the neighbouring edge's step interferes.
        const double t = 0.15 + 0.7 * (k + 0.5) / points;
        ix[k] = p0[0] + t * dx;
        iy[k] = p0[1] + t * dy;
        // The search line's ends in the frame; over its six pixels the lens is linear
        // to well under a thousandth of a pixel, so the samples between are spaced
        // evenly in the frame.
        camIdealToObserv(distortion, ix[k] - kRefineReach * nx, iy[k] - kRefineReach * ny,
                         &ends[k][0][0], &ends[k][0][1]);
        camIdealToObserv(distortion, ix[k] + kRefineReach * nx, iy[k] + kRefineReach * ny,
                         &ends[k][1][0], &ends[k][1][1]);
    }
    double greys[kRefinePointsMax][kRefineLanes];
    bool read[kRefinePointsMax];
    refineGreyLines(frame, width, height, ends, points, level, greys, read);
    double ex[kRefinePointsMax], ey[kRefinePointsMax];
    int found = 0;
    for (int k = 0; k < points; k++) {
        if (!read[k]) continue;
        const double* grey = greys[k];
        double rise[kRefineLanes];
        const int best = refineStrongestRise(grey, level, rise);
        if (best < 1 || best > kRefineSteps - 2 || rise[best] < kRefineStepMin) continue;
        // Peak of the parabola through the three rises around the maximum.
        const double a = rise[best - 1], b = rise[best], c = rise[best + 1];
        const double denominator = a - 2.0 * b + c;
        double shift = denominator < 0.0 ? 0.5 * (a - c) / denominator : 0.0;
        shift = std::max(-0.5, std::min(0.5, shift));
        const double offset = -kRefineReach + (best + shift) * kRefineStep;
        if (std::fabs(offset) > kRefineMoveMax) continue;
        ex[found] = ix[k] + offset * nx;
        ey[found] = iy[k] + offset * ny;
        found++;
    }
    if (found < std::max(4, points / 3)) return false;
    return refineFitLine(ex, ey, found, line);
}

constexpr int kRefineGridMax = 32;  // sampling grid points per side at most

// The sampling grid of markSampleBilinear: nx x ny points of the reference square's
// inner half taken through H (nx and ny are 16 or kRefineGridMax); each of the 16 x 16
// cells gets (nx / 16) x (ny / 16) of them.
struct RefineGrid {
    const double (*H)[3];
    int nx, ny;
    int shiftX, shiftY;  // a point's cell column is i >> shiftX, its row j >> shiftY
};

// Adds every grid point's blue, green and red to its cell's sums (3 per cell); returns
// 1, or 0 when a point projects to infinity.
int refineGridPlain(const uint8_t* frame, int width, int height, const RefineGrid& g,
                    double sums[kPatternValues])
{
    const double(*H)[3] = g.H;
    for (int j = 0; j < g.ny; j++) {
        const double Y = 102.5 + (j + 0.5) * 5.0 / g.ny;
        for (int i = 0; i < g.nx; i++) {
            const double X = 102.5 + (i + 0.5) * 5.0 / g.nx;
            const double d = H[2][0] * X + H[2][1] * Y + H[2][2];
            if (d == 0.0 || !std::isfinite(d)) return 0;
            const double x = (H[0][0] * X + H[0][1] * Y + H[0][2]) / d;
            const double y = (H[1][0] * X + H[1][1] * Y + H[1][2]) / d;
            double* cell = sums + ((j >> g.shiftY) * 16 + (i >> g.shiftX)) * 3;
            refineAddChannels(frame, width, height, x, y, cell);
        }
    }
    return 1;
}

#ifdef REFINE_AVX2
// (x + y) + c with x from four grid columns (32-byte aligned), in that order.
__attribute__((target("avx2"))) inline __m256d refineProject(const double* x, __m256d y, __m256d c)
{
    return _mm256_add_pd(_mm256_add_pd(_mm256_load_pd(x), y), c);
}

// refineGridPlain four points of a row at a time (nx is a multiple of 4), with the same
// double arithmetic per point: each product of the homography is taken once per grid
// column or row (the same values, added in the same order), and each channel's sums are
// kept in a plane of their own, so that the points of one cell are added with two vector
// additions in their order instead of one at a time. A point outside the frame adds 0.0,
// which leaves a sum (never -0.0) as it is. Unlike the plain steps, which add to sums,
// it writes sums whole (its planes start at 0).
__attribute__((target("avx2"))) int refineGridAvx2(const uint8_t* frame, int width, int height,
                                                   const RefineGrid& g, double sums[kPatternValues])
{
    const double(*H)[3] = g.H;
    RefineQuad quads[kRefineGridMax / 4];
    const __m256d infinity = _mm256_set1_pd(HUGE_VAL), zero = _mm256_setzero_pd();
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    constexpr int kCells = kPatternSide * kPatternSide;
    alignas(32) double planes[3][kCells] = {};
    alignas(32) double columns[3][kRefineGridMax];  // H[r][0] X of each grid column
    for (int i = 0; i < g.nx; i++) {
        const double X = 102.5 + (i + 0.5) * 5.0 / g.nx;
        for (int r = 0; r < 3; r++) columns[r][i] = H[r][0] * X;
    }
    for (int j = 0; j < g.ny; j++) {
        const double Y = 102.5 + (j + 0.5) * 5.0 / g.ny;
        __m256d rowY[3], rowC[3];
        for (int r = 0; r < 3; r++) {
            rowY[r] = _mm256_set1_pd(H[r][1] * Y);
            rowC[r] = _mm256_set1_pd(H[r][2]);
        }
        const int rowStart = (j >> g.shiftY) * kPatternSide;
        // The row's points first, then their pixels: the reads of one group need not wait
        // behind the divisions of the next.
        for (int i = 0; i < g.nx; i += 4) {
            const __m256d d = refineProject(columns[2] + i, rowY[2], rowC[2]);
            const __m256d bad =
                _mm256_or_pd(_mm256_cmp_pd(d, zero, _CMP_EQ_OQ),
                             _mm256_cmp_pd(_mm256_and_pd(d, magnitude), infinity, _CMP_NLT_UQ));
            if (_mm256_movemask_pd(bad) != 0) return 0;
            refineQuad(_mm256_div_pd(refineProject(columns[0] + i, rowY[0], rowC[0]), d),
                       _mm256_div_pd(refineProject(columns[1] + i, rowY[1], rowC[1]), d), width,
                       height, &quads[i / 4]);
        }
        // (A group wholly outside the frame reads the first pixel, and adds nothing.)
        __m256i aboves[kRefineGridMax / 4], belows[kRefineGridMax / 4];
        for (int i = 0; i < g.nx; i += 4) {
            // Split once for the three channels (a channel's bytes keep their lanes).
            aboves[i / 4] = refineSplit(refinePairs(frame, quads[i / 4], 0));
            belows[i / 4] = refineSplit(refinePairs(frame, quads[i / 4], width));
        }
        for (int i = 0; i < g.nx; i += 4) {
            const RefineQuad& q = quads[i / 4];
            if (q.inside == 0) continue;
            const __m256i above = aboves[i / 4], below = belows[i / 4];
            for (int c = 0; c < 3; c++) {
                const __m256d v = _mm256_and_pd(
                    q.in, refineMix(q, refineChannel(above, 8 * c), refineChannel(below, 8 * c)));
                double* cell = planes[c] + rowStart + (i >> g.shiftX);
                if (g.shiftX == 0) {
                    _mm256_storeu_pd(cell, _mm256_add_pd(_mm256_loadu_pd(cell), v));
                } else {
                    // Points 0, 1 to one cell and 2, 3 to the next, each pair in order.
                    const __m256d even = _mm256_permute4x64_pd(v, 0x08);  // 0, 2 low
                    const __m256d odd = _mm256_permute4x64_pd(v, 0x0D);   // 1, 3 low
                    const __m128d sum =
                        _mm_add_pd(_mm_add_pd(_mm_loadu_pd(cell), _mm256_castpd256_pd128(even)),
                                   _mm256_castpd256_pd128(odd));
                    _mm_storeu_pd(cell, sum);
                }
            }
        }
    }
    for (int k = 0; k < kCells; k++)
        for (int c = 0; c < 3; c++) sums[3 * k + c] = planes[c][k];
    return 1;
}
#endif

}  // namespace

int markRefineEdges(const uint8_t* frame, int width, int height, const double distortion[4],
                    double edgeLines[4][3], double cornerPoints[4][2])
{
    return markRefineEdgesUsing(frame, width, height, distortion, edgeLines, cornerPoints, 2);
}

int markRefineEdgesUsing(const uint8_t* frame, int width, int height, const double distortion[4],
                         double edgeLines[4][3], double cornerPoints[4][2], int level)
{
    double centre[2] = {0.0, 0.0};
    for (int k = 0; k < 4; k++) {
        centre[0] += cornerPoints[k][0] / 4.0;
        centre[1] += cornerPoints[k][1] / 4.0;
    }
    double lines[4][3];
    for (int i = 0; i < 4; i++) {
        if (!refineEdge(frame, width, height, distortion, cornerPoints, centre, i, level,
                        lines[i])) {
            for (int k = 0; k < 3; k++) lines[i][k] = edgeLines[i][k];
        }
    }
    double corners[4][2];
    for (int i = 0; i < 4; i++) {
        if (!refineIntersect(lines[(i + 3) % 4], lines[i], corners[i])) return -1;
        if (std::hypot(corners[i][0] - cornerPoints[i][0], corners[i][1] - cornerPoints[i][1]) >
            kRefineCornerMoveMax)
            return -1;
    }
    for (int i = 0; i < 4; i++) {
        for (int k = 0; k < 3; k++) edgeLines[i][k] = lines[i][k];
        cornerPoints[i][0] = corners[i][0];
        cornerPoints[i][1] = corners[i][1];
    }
    return 0;
}

int markSampleBilinear(const uint8_t* frame, int width, int height, const double distortion[4],
                       const double cornerPoints[4][2], uint8_t sample[kPatternValues])
{
    return markSampleBilinearUsing(frame, width, height, distortion, cornerPoints, sample, 2);
}

int markSampleBilinearUsing(const uint8_t* frame, int width, int height, const double distortion[4],
                            const double cornerPoints[4][2], uint8_t sample[kPatternValues],
                            int level)
{
    static const double reference[4][2] = {
        {100.0, 100.0}, {110.0, 100.0}, {110.0, 110.0}, {100.0, 110.0}};
    std::fill(sample, sample + kPatternValues, uint8_t{0});
    double observed[4][2];
    for (int k = 0; k < 4; k++)
        camIdealToObserv(distortion, cornerPoints[k][0], cornerPoints[k][1], &observed[k][0],
                         &observed[k][1]);
    double H[3][3];
    if (patternHomography(reference, observed, H) < 0) return -1;
    // Sample points per side: about one per two pixels of the longer edge pair, 16 or
    // 32, so that cells average equal blocks (interpolation already smooths between
    // pixels; more points cost time without changing the identity).
    auto edge = [&](int a, int b) {
        return std::hypot(observed[a][0] - observed[b][0], observed[a][1] - observed[b][1]);
    };
    const double lx = std::max(edge(0, 1), edge(2, 3)), ly = std::max(edge(1, 2), edge(3, 0));
    auto grid = [](double length) {
        // Every edge beyond 64 px takes the largest grid; a corner far outside the
        // frame must not reach the integer conversion.
        if (!(length <= 64.0)) return kRefineGridMax;
        const int n = 16 * static_cast<int>(std::ceil(0.5 * length / 16.0));
        return std::min(kRefineGridMax, std::max(16, n));
    };
    const int nx = grid(lx), ny = grid(ly);
    double sums[kPatternValues] = {};
    RefineGrid g{H, nx, ny, nx / 16 - 1, ny / 16 - 1};
    int done = -1;
#ifdef REFINE_AVX2
    if (level >= 2 && markHaveAvx2() && width >= 2 && height >= 2 &&
        int64_t{width} * height <= kMarkPixelMax)
        done = refineGridAvx2(frame, width, height, g, sums);
#endif
    if (done < 0) done = refineGridPlain(frame, width, height, g, sums);
    if (done == 0) {
        std::fill(sample, sample + kPatternValues, uint8_t{0});
        return -1;
    }
    const int sx = nx / 16, sy = ny / 16;
    const double inverse = 1.0 / (sx * sy);
    for (int k = 0; k < kPatternValues; k++) {
        const double v = sums[k] * inverse + 0.5;
        sample[k] = static_cast<uint8_t>(std::min(255.0, std::max(0.0, v)));
    }
    return 0;
}
