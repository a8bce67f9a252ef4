// Marker detection: labeling, contours and squares, edge fitting, the driver and its
// marker history, on hand-built frames checked against hand-derived values and an
// independent flood fill.
#include "detect/detect.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "pattern/pattern.h"

namespace {

// ---- Frames -----------------------------------------------------------------------------

void installSize(int w, int h, double distortionF = 0.0)
{
    CameraParam p{};
    p.width = w;
    p.height = h;
    p.projection[0][0] = p.projection[1][1] = 500.0;
    p.projection[0][2] = w / 2.0;
    p.projection[1][2] = h / 2.0;
    p.projection[2][2] = 1.0;
    p.distortion[0] = w / 2.0;
    p.distortion[1] = h / 2.0;
    p.distortion[2] = distortionF;
    p.distortion[3] = 1.0;
    camParamInit(&p);
}

// A BGRA frame that also installs its size as the current image size.
struct Frame {
    int w, h;
    std::vector<uint8_t> px;
    Frame(int width, int height, int grey = 255, double distortionF = 0.0)
        : w(width), h(height),
          px(static_cast<size_t>(width) * height * 4, static_cast<uint8_t>(grey))
    {
        installSize(w, h, distortionF);
    }
    void set(int x, int y, int b, int g, int r)
    {
        uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 4];
        p[0] = static_cast<uint8_t>(b);
        p[1] = static_cast<uint8_t>(g);
        p[2] = static_cast<uint8_t>(r);
        p[3] = 255;
    }
    void set(int x, int y, int grey) { set(x, y, grey, grey, grey); }
    void fill(int x0, int y0, int x1, int y1, int grey)  // inclusive corners
    {
        for (int y = y0; y <= y1; y++) {
            for (int x = x0; x <= x1; x++) set(x, y, grey);
        }
    }
};

// ---- Labeling ----------------------------------------------------------------------------

struct Labels {
    const int16_t* img = nullptr;
    int32_t count = -1;
    int32_t* area = nullptr;
    double* centroid = nullptr;
    int32_t* box = nullptr;
    int32_t* table = nullptr;
    int regionAt(const Frame& f, int x, int y) const
    {
        const int L = img[y * f.w + x];
        return L > 0 ? table[L - 1] : 0;
    }
};

Labels label(const Frame& f, int threshold = 100)
{
    Labels l;
    l.img = markLabel(f.px.data(), threshold, &l.count, &l.area, &l.centroid, &l.box, &l.table);
    return l;
}

// Independent reference: 8-connected flood fill of the dark inner pixels, components
// numbered in raster order of their first pixel.
struct Flood {
    std::vector<int> region;  // per pixel, 0 = none
    std::vector<int> area, xmin, xmax, ymin, ymax;
    std::vector<double> sx, sy;
};

Flood flood(const Frame& f, int threshold)
{
    Flood r;
    r.region.assign(static_cast<size_t>(f.w) * f.h, 0);
    auto dark = [&](int x, int y) {
        if (x < 1 || y < 1 || x > f.w - 2 || y > f.h - 2) return false;
        const uint8_t* p = &f.px[(static_cast<size_t>(y) * f.w + x) * 4];
        return p[0] + p[1] + p[2] <= 3 * threshold;
    };
    int n = 0;
    for (int y = 0; y < f.h; y++) {
        for (int x = 0; x < f.w; x++) {
            if (!dark(x, y) || r.region[y * f.w + x] != 0) continue;
            n++;
            r.area.push_back(0);
            r.xmin.push_back(x);
            r.xmax.push_back(x);
            r.ymin.push_back(y);
            r.ymax.push_back(y);
            r.sx.push_back(0);
            r.sy.push_back(0);
            std::queue<std::pair<int, int>> q;
            q.push({x, y});
            r.region[y * f.w + x] = n;
            while (!q.empty()) {
                const auto [cx, cy] = q.front();
                q.pop();
                r.area[n - 1]++;
                r.sx[n - 1] += cx;
                r.sy[n - 1] += cy;
                r.xmin[n - 1] = std::min(r.xmin[n - 1], cx);
                r.xmax[n - 1] = std::max(r.xmax[n - 1], cx);
                r.ymin[n - 1] = std::min(r.ymin[n - 1], cy);
                r.ymax[n - 1] = std::max(r.ymax[n - 1], cy);
                for (int dy = -1; dy <= 1; dy++) {
                    for (int dx = -1; dx <= 1; dx++) {
                        const int nx = cx + dx, ny = cy + dy;
                        if (!dark(nx, ny) || r.region[ny * f.w + nx] != 0) continue;
                        r.region[ny * f.w + nx] = n;
                        q.push({nx, ny});
                    }
                }
            }
        }
    }
    return r;
}

void expectSameAsFlood(const Frame& f, int threshold, const std::string& what)
{
    const Labels l = label(f, threshold);
    ASSERT_NE(l.img, nullptr) << what;
    const Flood r = flood(f, threshold);
    ASSERT_EQ(l.count, static_cast<int>(r.area.size())) << what;
    for (int y = 0; y < f.h; y++) {
        for (int x = 0; x < f.w; x++) {
            ASSERT_EQ(l.regionAt(f, x, y), r.region[y * f.w + x])
                << what << " at " << x << "," << y;
        }
    }
    for (int i = 0; i < l.count; i++) {
        ASSERT_EQ(l.area[i], r.area[i]) << what << " region " << i + 1;
        ASSERT_EQ(l.box[4 * i], r.xmin[i]) << what << " region " << i + 1;
        ASSERT_EQ(l.box[4 * i + 1], r.xmax[i]) << what << " region " << i + 1;
        ASSERT_EQ(l.box[4 * i + 2], r.ymin[i]) << what << " region " << i + 1;
        ASSERT_EQ(l.box[4 * i + 3], r.ymax[i]) << what << " region " << i + 1;
        ASSERT_NEAR(l.centroid[2 * i], r.sx[i] / r.area[i], 1e-9) << what << " region " << i + 1;
        ASSERT_NEAR(l.centroid[2 * i + 1], r.sy[i] / r.area[i], 1e-9)
            << what << " region " << i + 1;
    }
}

TEST(MarkLabel, EmptyFrameAndThresholdBoundary)
{
    Frame f(20, 10);
    Labels l = label(f, 100);
    ASSERT_NE(l.img, nullptr);
    EXPECT_EQ(l.count, 0);
    for (int i = 0; i < 200; i++) ASSERT_EQ(l.img[i], 0) << "index " << i;

    // Channel sum exactly 3 * threshold is dark; one more is not.
    f.set(5, 5, 100, 100, 100);
    f.set(12, 5, 100, 100, 101);
    l = label(f, 100);
    EXPECT_EQ(l.count, 1);
    EXPECT_EQ(l.regionAt(f, 5, 5), 1);
    EXPECT_EQ(l.regionAt(f, 12, 5), 0);

    // The fourth byte is never read.
    Frame g(8, 8);
    for (int i = 3; i < 8 * 8 * 4; i += 4) g.px[i] = 0;
    EXPECT_EQ(label(g, 100).count, 0);
}

TEST(MarkLabel, HighThresholdLabelsTheWholeInteriorButNeverTheBorder)
{
    Frame f(30, 20, 255);
    for (int t : {255, 1000, 2147483647}) {
        const Labels l = label(f, t);
        ASSERT_EQ(l.count, 1) << "threshold " << t;
        EXPECT_EQ(l.area[0], 28 * 18);
        EXPECT_EQ(l.box[0], 1);
        EXPECT_EQ(l.box[1], 28);
        EXPECT_EQ(l.box[2], 1);
        EXPECT_EQ(l.box[3], 18);
        EXPECT_DOUBLE_EQ(l.centroid[0], 14.5);
        EXPECT_DOUBLE_EQ(l.centroid[1], 9.5);
        for (int x = 0; x < 30; x++) ASSERT_EQ(l.img[x] + l.img[19 * 30 + x], 0);
        for (int y = 0; y < 20; y++) ASSERT_EQ(l.img[y * 30] + l.img[y * 30 + 29], 0);
    }
    // A negative threshold makes nothing dark, even black.
    Frame black(10, 10, 0);
    EXPECT_EQ(label(black, -5).count, 0);
    EXPECT_EQ(label(black, -2147483647 - 1).count, 0);
}

TEST(MarkLabel, EightConnectivityMergesAndRegionOrder)
{
    Frame f(40, 30);
    // Diagonal and anti-diagonal neighbours are connected.
    f.set(3, 3, 0);
    f.set(4, 4, 0);
    f.set(10, 4, 0);
    f.set(9, 5, 0);
    // A U whose arms meet only at the bottom: two provisional labels merged.
    f.fill(15, 2, 16, 10, 0);
    f.fill(22, 2, 23, 10, 0);
    f.fill(15, 11, 23, 12, 0);
    // A comb: many arms joined by one bar at the bottom (repeated merges).
    for (int x = 2; x < 38; x += 3) f.fill(x, 15, x, 25, 0);
    f.fill(2, 26, 37, 26, 0);
    // A W: merges from the right (UR with LF).
    f.set(30, 5, 0);
    f.set(31, 6, 0);
    f.set(32, 5, 0);
    f.set(33, 6, 0);
    f.set(34, 5, 0);
    const Labels l = label(f, 100);
    ASSERT_EQ(l.count, 5);
    // Region numbers follow the raster order of first pixels: (15,2), (3,3), (10,4), ...
    EXPECT_EQ(l.regionAt(f, 15, 2), 1);
    EXPECT_EQ(l.regionAt(f, 23, 12), 1);
    EXPECT_EQ(l.regionAt(f, 3, 3), 2);
    EXPECT_EQ(l.regionAt(f, 4, 4), 2);
    EXPECT_EQ(l.regionAt(f, 10, 4), 3);
    EXPECT_EQ(l.regionAt(f, 9, 5), 3);
    EXPECT_EQ(l.regionAt(f, 30, 5), 4);  // (30,5)
    EXPECT_EQ(l.regionAt(f, 34, 5), 4);
    EXPECT_EQ(l.regionAt(f, 35, 15), 5);
    // U: 2 arms of 2x9 plus a 9x2 bar; centroid is the mean of its pixels.
    EXPECT_EQ(l.area[0], 2 * 18 + 18);
    double sx = 0, sy = 0;
    for (int y = 2; y <= 12; y++) {
        for (int x = 15; x <= 23; x++) {
            if (y >= 11 || x <= 16 || x >= 22) {
                sx += x;
                sy += y;
            }
        }
    }
    EXPECT_NEAR(l.centroid[0], sx / 54, 1e-12);
    EXPECT_NEAR(l.centroid[1], sy / 54, 1e-12);
    expectSameAsFlood(f, 100, "hand-built shapes");
}

TEST(MarkLabel, AgreesWithFloodFillOnNoise)
{
    std::mt19937 rng(7);
    for (int trial = 0; trial < 24; trial++) {
        const int w = 8 + static_cast<int>(rng() % 90), h = 3 + static_cast<int>(rng() % 70);
        Frame f(w, h);
        const int density = static_cast<int>(rng() % 100);
        for (int y = 0; y < h; y++) {
            for (int x = 0; x < w; x++) {
                if (static_cast<int>(rng() % 100) < density)
                    f.set(x, y, static_cast<int>(rng() % 256));
            }
        }
        expectSameAsFlood(f, 60 + trial * 4, "trial " + std::to_string(trial));
    }
}

// n isolated dark pixels, each needing its own provisional label, in a 400x400 frame.
Frame isolatedPixels(int n)
{
    Frame f(400, 400);
    int placed = 0;
    for (int y = 1; y < 399 && placed < n; y += 2) {
        for (int x = 1; x < 399 && placed < n; x += 2, placed++) f.set(x, y, 0);
    }
    return f;
}

TEST(MarkLabel, ProvisionalLabelLimit)
{
    const Frame ok = isolatedPixels(kMarkLabelMax);
    Labels l = label(ok, 100);
    ASSERT_NE(l.img, nullptr);
    EXPECT_EQ(l.count, kMarkLabelMax);
    EXPECT_EQ(l.area[kMarkLabelMax - 1], 1);

    const Frame over = isolatedPixels(kMarkLabelMax + 1);
    l = Labels{};
    l.img = markLabel(over.px.data(), 100, &l.count, &l.area, &l.centroid, &l.box, &l.table);
    EXPECT_EQ(l.img, nullptr);
    EXPECT_EQ(l.count, -1) << "outputs must stay unset on failure";

    DetectedMarker* list = nullptr;
    int32_t count = 99;
    EXPECT_EQ(markDetect(over.px.data(), 100, &list, &count), -1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(list, nullptr);
}

TEST(MarkLabel, RejectsMissingOrOversizedImages)
{
    std::vector<uint8_t> px(64, 0);
    Labels l;
    installSize(0, 0);
    EXPECT_EQ(markLabel(px.data(), 100, &l.count, &l.area, &l.centroid, &l.box, &l.table), nullptr);
    installSize(40000, 2);
    EXPECT_EQ(markLabel(px.data(), 100, &l.count, &l.area, &l.centroid, &l.box, &l.table), nullptr);
    installSize(4, 4);
    EXPECT_EQ(markLabel(nullptr, 100, &l.count, &l.area, &l.centroid, &l.box, &l.table), nullptr);
    EXPECT_NE(markLabel(px.data(), 100, &l.count, &l.area, &l.centroid, &l.box, &l.table), nullptr);
    // Frames of one or two rows or columns have no interior: nothing is labelled.
    for (auto [w, h] : {std::pair{1, 1}, {2, 7}, {7, 2}}) {
        installSize(w, h);
        ASSERT_NE(markLabel(px.data(), 255, &l.count, &l.area, &l.centroid, &l.box, &l.table),
                  nullptr);
        EXPECT_EQ(l.count, 0) << w << "x" << h;
    }
}

// ---- Squares -------------------------------------------------------------------------------

struct Squares {
    SquareCandidate* list = nullptr;
    int32_t count = 0;
};

Squares squares(const Frame& f, int threshold = 100)
{
    const Labels l = label(f, threshold);
    Squares s;
    EXPECT_NE(l.img, nullptr);
    if (l.img == nullptr) return s;
    markFindSquares(l.img, l.count, l.table, l.area, l.centroid, l.box, kMarkAreaMax, kMarkAreaMin,
                    kMarkSquareFactor, &s.list, &s.count);
    return s;
}

// Squared edge-to-edge contour geometry check: 8-connected steps, closed, and the
// shoelace sum positive (clockwise on the screen with y down).
void expectClockwiseClosedContour(const SquareCandidate& c)
{
    ASSERT_GE(c.pointCount, 5);
    EXPECT_EQ(c.pointX[0], c.pointX[c.pointCount - 1]);
    EXPECT_EQ(c.pointY[0], c.pointY[c.pointCount - 1]);
    long twiceArea = 0;
    for (int i = 0; i + 1 < c.pointCount; i++) {
        const int dx = c.pointX[i + 1] - c.pointX[i], dy = c.pointY[i + 1] - c.pointY[i];
        ASSERT_TRUE(std::abs(dx) <= 1 && std::abs(dy) <= 1 && (dx != 0 || dy != 0)) << "step " << i;
        twiceArea += static_cast<long>(c.pointX[i]) * c.pointY[i + 1] -
                     static_cast<long>(c.pointX[i + 1]) * c.pointY[i];
    }
    EXPECT_GT(twiceArea, 0);
    EXPECT_EQ(c.corners[0], 0);
    EXPECT_LT(c.corners[0], c.corners[1]);
    EXPECT_LT(c.corners[1], c.corners[2]);
    EXPECT_LT(c.corners[2], c.corners[3]);
    EXPECT_LT(c.corners[3], c.corners[4]);
    EXPECT_EQ(c.corners[4], c.pointCount - 1);
}

TEST(MarkFindSquares, AxisAlignedSquareStartsBottomRightAndRunsClockwise)
{
    Frame f(100, 80);
    f.fill(20, 30, 59, 69, 0);
    const Squares s = squares(f);
    ASSERT_EQ(s.count, 1);
    const SquareCandidate& c = s.list[0];
    expectClockwiseClosedContour(c);
    EXPECT_EQ(c.area, 1600);
    EXPECT_DOUBLE_EQ(c.centroid[0], 39.5);
    EXPECT_DOUBLE_EQ(c.centroid[1], 49.5);
    EXPECT_EQ(c.pointCount, 4 * 39 + 1);
    const int expected[4][2] = {{59, 69}, {20, 69}, {20, 30}, {59, 30}};
    for (int k = 0; k < 4; k++) {
        EXPECT_EQ(c.pointX[c.corners[k]], expected[k][0]) << "corner " << k;
        EXPECT_EQ(c.pointY[c.corners[k]], expected[k][1]) << "corner " << k;
    }
}

// A filled convex polygon with vertices (x, y), by pixel centres.
void fillPolygon(Frame& f, const std::vector<std::pair<double, double>>& v, int grey)
{
    for (int y = 0; y < f.h; y++) {
        for (int x = 0; x < f.w; x++) {
            bool inside = true;
            for (size_t i = 0; i < v.size() && inside; i++) {
                const auto [ax, ay] = v[i];
                const auto [bx, by] = v[(i + 1) % v.size()];
                inside = (bx - ax) * (y - ay) - (by - ay) * (x - ax) >= 0;  // clockwise on screen
            }
            if (inside) f.set(x, y, grey);
        }
    }
}

std::vector<std::pair<double, double>> regularPolygon(double cx, double cy, double r, int n,
                                                      double startDeg)
{
    std::vector<std::pair<double, double>> v;
    for (int i = 0; i < n; i++) {
        const double a = (startDeg + 360.0 * i / n) * M_PI / 180.0;
        v.push_back({cx + r * std::cos(a), cy + r * std::sin(a)});
    }
    return v;
}

TEST(MarkFindSquares, AcceptsRotatedSquaresOnlyAndFindsTheirCorners)
{
    for (double angle : {0.0, 10.0, 30.0, 45.0, 71.0}) {
        Frame f(120, 120);
        const auto v = regularPolygon(60, 60, 40, 4, angle + 45);
        fillPolygon(f, v, 0);
        const Squares s = squares(f);
        ASSERT_EQ(s.count, 1) << "angle " << angle;
        const SquareCandidate& c = s.list[0];
        expectClockwiseClosedContour(c);
        for (int k = 0; k < 4; k++) {
            double best = 1e9;
            for (const auto& [x, y] : v)
                best = std::min(best,
                                std::hypot(c.pointX[c.corners[k]] - x, c.pointY[c.corners[k]] - y));
            EXPECT_LT(best, 2.0) << "angle " << angle << " corner " << k;
        }
    }
    for (int n : {3, 5, 6}) {
        Frame f(120, 120);
        fillPolygon(f, regularPolygon(60, 60, 40, n, 10), 0);
        EXPECT_EQ(squares(f).count, 0) << n << " corners";
    }
}

// Wide trapezoids: the point farthest from corner 0 is the neighbouring corner, so one
// side of that chord holds both other corners and must be split in two, on either side
// (the second is the first upside down).
TEST(MarkFindSquares, QuadrilateralsWithTwoCornersOnOneSideAreSplit)
{
    const std::vector<std::pair<double, double>> shapes[2] = {
        {{20, 20}, {220, 20}, {160, 70}, {80, 70}}, {{80, 20}, {160, 20}, {220, 70}, {20, 70}}};
    for (int i = 0; i < 2; i++) {
        Frame f(240, 90);
        fillPolygon(f, shapes[i], 0);
        const Squares s = squares(f);
        ASSERT_EQ(s.count, 1) << "shape " << i;
        const SquareCandidate& c = s.list[0];
        expectClockwiseClosedContour(c);
        for (const auto& [x, y] : shapes[i]) {
            double best = 1e9;
            for (int k = 0; k < 4; k++)
                best = std::min(best,
                                std::hypot(c.pointX[c.corners[k]] - x, c.pointY[c.corners[k]] - y));
            EXPECT_LT(best, 2.0) << "shape " << i << " vertex " << x << ", " << y;
        }
    }
}

TEST(MarkFindSquares, AreaLimits)
{
    // A 10 x 7 rectangle has area 70; one interior hole pixel makes it 69 without
    // changing its outline.
    Frame f(40, 40);
    f.fill(10, 10, 19, 16, 0);
    EXPECT_EQ(squares(f).count, 1);
    f.set(14, 13, 255);
    EXPECT_EQ(squares(f).count, 0);

    // 401 x 250 = 100250; 250 isolated holes give 100000, 249 give 100001.
    Frame g(420, 270);
    g.fill(5, 5, 405, 254, 0);
    for (int i = 0; i < 249; i++) g.set(10 + (i % 120) * 3, 20 + (i / 120) * 3, 255);
    EXPECT_EQ(squares(g).count, 0);
    g.set(200, 200, 255);
    const Squares s = squares(g);
    ASSERT_EQ(s.count, 1);
    EXPECT_EQ(s.list[0].area, 100000);
}

TEST(MarkFindSquares, RegionsReachingTheFrameEdgeAreRejected)
{
    // Boxes reaching column/row 1 or size - 2 may be cut off by the frame.
    struct Case {
        int x0, y0, x1, y1;
        bool kept;
    };
    const Case cases[] = {
        {1, 20, 30, 49, false},  {2, 20, 31, 49, true},   {20, 1, 49, 30, false},
        {20, 2, 49, 31, true},   {48, 20, 78, 49, false}, {47, 20, 77, 49, true},
        {20, 38, 49, 68, false}, {20, 37, 49, 67, true},  {0, 0, 79, 69, false},
    };
    for (const Case& c : cases) {
        Frame f(80, 70);
        f.fill(c.x0, c.y0, c.x1, c.y1, 0);
        EXPECT_EQ(squares(f).count, c.kept ? 1 : 0)
            << c.x0 << "," << c.y0 << " - " << c.x1 << "," << c.y1;
    }
}

TEST(MarkFindSquares, OverlapRemoval)
{
    // A marker: the ring's area dwarfs a square blob of its picture, whose centroid is
    // close to the ring's: the blob goes.
    Frame f(120, 120);
    f.fill(20, 20, 99, 99, 0);
    f.fill(40, 40, 79, 79, 255);
    f.fill(50, 50, 65, 65, 0);
    Squares s = squares(f);
    ASSERT_EQ(s.count, 1);
    EXPECT_EQ(s.list[0].area, 80 * 80 - 40 * 40);

    // Equal areas, same centroid: the earlier region (the ring) goes. Ring 30x30 with a
    // 26x26 hole is 224 pixels; the inner 15x15 square with one hole pixel too.
    Frame g(60, 60);
    g.fill(10, 10, 39, 39, 0);
    g.fill(12, 12, 37, 37, 255);
    g.fill(17, 17, 31, 31, 0);
    g.set(24, 24, 255);
    s = squares(g);
    ASSERT_EQ(s.count, 1);
    EXPECT_EQ(s.list[0].area, 224);
    EXPECT_EQ(s.list[0].pointX[0] - s.list[0].pointX[s.list[0].corners[1]], 14)
        << "the inner square must remain";

    // Far apart squares of different size both stay.
    Frame h(200, 100);
    h.fill(10, 10, 60, 60, 0);
    h.fill(120, 20, 140, 40, 0);
    EXPECT_EQ(squares(h).count, 2);
}

TEST(MarkFindSquares, AtMostThirtyCandidatesInRegionOrder)
{
    Frame f(440, 440);
    for (int i = 0; i < 36; i++)
        f.fill(10 + (i % 6) * 70, 10 + (i / 6) * 70, 10 + (i % 6) * 70 + 20 + i % 6,
               30 + (i / 6) * 70, 0);
    const Squares s = squares(f);
    ASSERT_EQ(s.count, kMarkCandidateMax);
    EXPECT_DOUBLE_EQ(s.list[29].centroid[1], 20.0 + 4 * 70);
    EXPECT_EQ(s.list[29].area, 21 * (20 + 6));
}

std::string traceOutput(const Frame& f, int* result, SquareCandidate* cand, int region = 1,
                        const int32_t* box = nullptr)
{
    const Labels l = label(f);
    int32_t b[4];
    if (box == nullptr) {
        for (int k = 0; k < 4; k++) b[k] = l.box[4 * (region - 1) + k];
        box = b;
    }
    testing::internal::CaptureStdout();
    *result = markTraceContour(l.img, l.table, region, box, cand);
    return testing::internal::GetCapturedStdout();
}

TEST(MarkTraceContour, PointLimitAndMessages)
{
    static SquareCandidate cand;
    int result = 0;
    // A one-pixel line of n pixels has a closed trace of 2n - 2 points: 5000 fits
    // (9998 points plus the closing copy), 5001 reaches the limit.
    Frame f(5010, 5);
    f.fill(3, 2, 5002, 2, 0);
    EXPECT_EQ(traceOutput(f, &result, &cand), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(cand.pointCount, kMarkContourMax - 1);
    f.set(5003, 2, 0);
    EXPECT_EQ(traceOutput(f, &result, &cand), "??? 3\n");
    EXPECT_EQ(result, -1);
    // The detector skips such a region with the message and goes on.
    f.fill(5004, 1, 5005, 3, 255);
    Frame g(6000, 40);
    g.fill(3, 5, 5003, 5, 0);
    g.fill(100, 15, 130, 35, 0);
    testing::internal::CaptureStdout();
    const Squares s = squares(g);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "??? 3\n");
    EXPECT_EQ(s.count, 1);

    Frame one(10, 10);
    one.set(5, 5, 0);
    EXPECT_EQ(traceOutput(one, &result, &cand), "??? 2\n");
    EXPECT_EQ(result, -1);

    const int32_t wrongRow[4] = {1, 8, 2, 2};
    EXPECT_EQ(traceOutput(one, &result, &cand, 1, wrongRow), "??? 1\n");
    EXPECT_EQ(result, -1);
    const int32_t outside[4] = {-100, 100000, -5, 7};
    EXPECT_EQ(traceOutput(one, &result, &cand, 1, outside), "??? 1\n");
}

// ---- Edge fitting --------------------------------------------------------------------------

// Detection with no patterns consulted beyond what is loaded.
struct Detection {
    int result = -1;
    std::vector<DetectedMarker> markers;
};

Detection detect(const Frame& f, int threshold = 100)
{
    Detection d;
    installSize(f.w, f.h, camCurrentParam.distortion[2]);
    DetectedMarker* list = nullptr;
    int32_t count = 0;
    d.result = markDetect(f.px.data(), threshold, &list, &count);
    if (d.result == 0) d.markers.assign(list, list + count);
    return d;
}

// The history keeps markers for three calls; blank frames clear it.
void flushHistory()
{
    Frame blank(64, 64);
    for (int i = 0; i < 3; i++) detect(blank);
    ASSERT_EQ(markHistoryCount, 0);
}

TEST(MarkFitEdges, AxisAlignedSquareGivesExactLinesAndCorners)
{
    Frame f(100, 80);
    f.fill(20, 30, 59, 69, 0);
    const Detection d = detect(f);
    ASSERT_EQ(d.result, 0);
    ASSERT_EQ(d.markers.size(), 1u);
    const DetectedMarker& m = d.markers[0];
    // Corners clockwise from the bottom-right; edge 0 is the bottom edge.
    const double corners[4][2] = {{59, 69}, {20, 69}, {20, 30}, {59, 30}};
    for (int k = 0; k < 4; k++) {
        EXPECT_NEAR(m.cornerPoints[k][0], corners[k][0], 1e-9) << "corner " << k;
        EXPECT_NEAR(m.cornerPoints[k][1], corners[k][1], 1e-9) << "corner " << k;
        const double* l = m.edgeLines[k];
        EXPECT_NEAR(l[0] * l[0] + l[1] * l[1], 1.0, 1e-12);
        for (int e = k; e <= k + 1; e++) {
            EXPECT_NEAR(l[0] * corners[e % 4][0] + l[1] * corners[e % 4][1] + l[2], 0.0, 1e-9)
                << "edge " << k;
        }
    }
    EXPECT_EQ(m.area, 1600);
    EXPECT_DOUBLE_EQ(m.centroid[0], 39.5);
    EXPECT_EQ(m.patternId, -1);
}

TEST(MarkFitEdges, ShortEdgesAndParallelLines)
{
    // A 21 x 21 square contour of 80 points, clockwise from the top-left.
    std::vector<int32_t> x, y;
    for (int i = 0; i < 20; i++) {
        x.push_back(i);
        y.push_back(0);
    }
    for (int i = 0; i < 20; i++) {
        x.push_back(20);
        y.push_back(i);
    }
    for (int i = 0; i < 20; i++) {
        x.push_back(20 - i);
        y.push_back(20);
    }
    for (int i = 0; i < 20; i++) {
        x.push_back(0);
        y.push_back(20 - i);
    }
    x.push_back(0);
    y.push_back(0);
    installSize(100, 100);
    double lines[4][3], pts[4][2];
    const int32_t good[5] = {0, 20, 40, 60, 80};
    ASSERT_EQ(markFitEdges(x.data(), y.data(), good, lines, pts), 0);
    EXPECT_NEAR(pts[1][0], 20.0, 1e-9);
    EXPECT_NEAR(pts[1][1], 0.0, 1e-9);
    // An edge of 2 contour points keeps 1 and cannot be fitted; 3 points keep 2.
    const int32_t two[5] = {0, 20, 21, 60, 80};
    EXPECT_EQ(markFitEdges(x.data(), y.data(), two, lines, pts), -1);
    const int32_t three[5] = {0, 20, 22, 60, 80};
    EXPECT_EQ(markFitEdges(x.data(), y.data(), three, lines, pts), 0);
    // Two neighbouring edges on one straight side are parallel.
    const int32_t parallel[5] = {0, 8, 16, 40, 80};
    EXPECT_EQ(markFitEdges(x.data(), y.data(), parallel, lines, pts), -1);
}

TEST(MarkFitEdges, CornersAreIdealWhileTheCentroidStaysObserved)
{
    // Strong barrel distortion centred on the frame: the fitted lines live in ideal
    // coordinates, so the corners differ from the contour corners, while converting
    // them back lands on those corners.
    Frame f(200, 200, 255, 200.0);
    f.fill(130, 130, 185, 185, 0);
    const Detection d = detect(f);
    ASSERT_EQ(d.markers.size(), 1u);
    const DetectedMarker& m = d.markers[0];
    EXPECT_DOUBLE_EQ(m.centroid[0], 157.5);
    EXPECT_DOUBLE_EQ(m.centroid[1], 157.5);
    const double observed[4][2] = {{185, 185}, {130, 185}, {130, 130}, {185, 130}};
    // Edge pixels that are straight in the frame are slightly curved in ideal
    // coordinates, so the fitted corners sit within a few pixels of the ideal position
    // of the contour corners, far from their observed position at the far corner.
    for (int k = 0; k < 4; k++) {
        double ix = 0, iy = 0;
        camObservToIdeal(camCurrentParam.distortion, observed[k][0], observed[k][1], &ix, &iy);
        EXPECT_LT(std::hypot(m.cornerPoints[k][0] - ix, m.cornerPoints[k][1] - iy), 1.0)
            << "corner " << k;
    }
    EXPECT_GT(
        std::hypot(m.cornerPoints[0][0] - observed[0][0], m.cornerPoints[0][1] - observed[0][1]),
        3.0);
}

// ---- Markers with pictures -------------------------------------------------------------------

// A 16 x 16 picture of grey levels.
using Picture = std::vector<int>;

Picture randomPicture(unsigned seed)
{
    std::mt19937 rng(seed);
    Picture p(256);
    for (int& v : p) v = (rng() % 2) ? 230 : 20;
    return p;
}

// Draws a marker centred at (cx, cy), side `side` pixels, turned by `deg` clockwise on
// the screen: black square, picture in the central half, row 0 at the top.
void drawMarker(Frame& f, double cx, double cy, double side, double deg, const Picture& pic)
{
    const double a = deg * M_PI / 180.0, c = std::cos(a), s = std::sin(a);
    for (int y = 0; y < f.h; y++) {
        for (int x = 0; x < f.w; x++) {
            const double dx = x - cx, dy = y - cy;
            const double u = c * dx + s * dy, v = -s * dx + c * dy;  // marker axes
            if (std::fabs(u) > side / 2 || std::fabs(v) > side / 2) continue;
            if (std::fabs(u) >= side / 4 || std::fabs(v) >= side / 4) {
                f.set(x, y, 0);
                continue;
            }
            const int col = std::min(15, static_cast<int>((u + side / 4) / (side / 2) * 16));
            const int row = std::min(15, static_cast<int>((v + side / 4) / (side / 2) * 16));
            f.set(x, y, pic[row * 16 + col]);
        }
    }
}

// Pattern file whose orientation h is the picture turned by h quarter turns
// counterclockwise: the sample reads the marker from contour corner 0, so a marker whose
// picture's top-left is at cornerPoints[(4 - d) % 4] matches orientation d, the corner
// order pose estimation relies on.
int loadPicture(const Picture& pic, const std::string& name)
{
    const std::string path = std::string(TARLIM_BINARY_DIR) + "/test_detect_" +
                             std::to_string(getpid()) + "_" + name + ".pat";
    std::ofstream out(path);
    for (int h = 0; h < 4; h++) {
        for (int ch = 0; ch < 3; ch++) {
            for (int r = 0; r < 16; r++) {
                for (int k = 0; k < 16; k++) {
                    int rr = r, kk = k;
                    for (int t = 0; t < h; t++) {
                        const int tmp = rr;
                        rr = kk;
                        kk = 15 - tmp;
                    }
                    out << pic[rr * 16 + kk] << ' ';
                }
                out << '\n';
            }
        }
    }
    out.close();
    return patternLoad(path.c_str());
}

struct Pictures {
    Picture a = randomPicture(101), b = randomPicture(202), noise = randomPicture(303);
    int slotA = -1, slotB = -1;
};

const Pictures& pictures()
{
    static Pictures p;
    if (p.slotA < 0) {
        p.slotA = loadPicture(p.a, "a");
        p.slotB = loadPicture(p.b, "b");
    }
    return p;
}

// Picture a with a fraction of its cells replaced by noise: recognised less surely.
Picture degraded(const Picture& p, int everyNth)
{
    Picture d = p;
    const Picture n = randomPicture(404);
    for (int i = 0; i < 256; i += everyNth) d[i] = n[i];
    return d;
}

TEST(MarkDetect, RecognisesMarkersInEveryTurn)
{
    const Pictures& P = pictures();
    ASSERT_GE(P.slotA, 0);
    flushHistory();
    int directions[4];
    for (int q = 0; q < 4; q++) {
        Frame f(320, 240);
        drawMarker(f, 100, 120, 120, 90.0 * q + 20, P.a);
        drawMarker(f, 240, 110, 90, 90.0 * q - 10, P.b);
        const Detection d = detect(f);
        ASSERT_EQ(d.markers.size(), 2u) << "turn " << q;
        EXPECT_EQ(d.markers[0].patternId, P.slotA) << "turn " << q;
        EXPECT_EQ(d.markers[1].patternId, P.slotB) << "turn " << q;
        EXPECT_GT(d.markers[0].confidence, 0.8) << "turn " << q;
        EXPECT_GT(d.markers[1].confidence, 0.8) << "turn " << q;
        directions[q] = d.markers[0].direction;
        // The picture's top-left corner is where the corner order of pose estimation
        // expects it: cornerPoints[(4 - direction) % 4].
        const double turns[2] = {90.0 * q + 20, 90.0 * q - 10};
        const double centres[2][3] = {{100, 120, 120}, {240, 110, 90}};
        for (int i = 0; i < 2; i++) {
            const double a = turns[i] * M_PI / 180.0, h = centres[i][2] / 2;
            const double tlx = centres[i][0] + std::cos(a) * -h - std::sin(a) * -h;
            const double tly = centres[i][1] + std::sin(a) * -h + std::cos(a) * -h;
            const double* c = d.markers[i].cornerPoints[(4 - d.markers[i].direction) % 4];
            EXPECT_LT(std::hypot(c[0] - tlx, c[1] - tly), 1.5) << "turn " << q << " marker " << i;
        }
        flushHistory();
    }
    // A quarter turn of the marker changes the matched orientation by one each time.
    for (int q = 1; q < 4; q++)
        EXPECT_EQ((directions[q] - directions[q - 1] + 4) % 4,
                  (directions[1] - directions[0] + 4) % 4);
    EXPECT_NE(directions[0], directions[1]);
}

TEST(MarkDetect, NoiseAndFullFramesStaySafe)
{
    std::mt19937 rng(99);
    for (int trial = 0; trial < 6; trial++) {
        Frame f(160 + trial * 7, 120 - trial * 5);
        for (size_t i = 0; i < f.px.size(); i++) f.px[i] = static_cast<uint8_t>(rng());
        for (int t : {40, 100, 127, 200}) {
            testing::internal::CaptureStdout();
            const Detection d = detect(f, t);
            testing::internal::GetCapturedStdout();
            if (d.result < 0) continue;  // too many labels is a clean failure
            EXPECT_LE(d.markers.size(), static_cast<size_t>(kMarkOutputMax));
        }
    }
    // Everything dark: one region touching every border, rejected; no marker.
    Frame dark(64, 48, 0);
    EXPECT_EQ(detect(dark, 255).markers.size(), 0u);
    flushHistory();
}

// ---- History ----------------------------------------------------------------------------------

TEST(MarkHistory, WeakerSightingKeepsTheRememberedIdentity)
{
    const Pictures& P = pictures();
    Frame clean(200, 200), weak(200, 200);
    drawMarker(clean, 100, 100, 120, 10, P.a);
    drawMarker(weak, 100, 100, 120, 10, degraded(P.a, 2));

    flushHistory();
    const Detection w = detect(weak);
    ASSERT_EQ(w.markers.size(), 1u);
    flushHistory();

    const Detection c = detect(clean);
    ASSERT_EQ(c.markers.size(), 1u);
    const DetectedMarker first = c.markers[0];
    ASSERT_EQ(first.patternId, P.slotA);
    ASSERT_LT(w.markers[0].confidence, first.confidence)
        << "the degraded picture must match less well";
    ASSERT_EQ(markHistoryCount, 1);
    EXPECT_EQ(markHistory[0].age, 1);
    EXPECT_EQ(std::memcmp(&markHistory[0].marker, &first, sizeof first), 0);

    const Detection again = detect(weak);
    ASSERT_EQ(again.markers.size(), 1u);
    EXPECT_EQ(again.markers[0].confidence, first.confidence);
    EXPECT_EQ(again.markers[0].patternId, P.slotA);
    EXPECT_EQ(again.markers[0].direction, first.direction);
    flushHistory();
}

TEST(MarkHistory, CarriedDirectionFollowsTheCorners)
{
    // Turned by +3 and -3 degrees the contour starts at neighbouring corners, so corner
    // 0 names a different physical corner; the carried direction must still be the one
    // a clean recognition of the second view gives.
    const Pictures& P = pictures();
    Frame first(200, 200), secondClean(200, 200), secondWeak(200, 200);
    drawMarker(first, 100, 100, 120, 3, P.a);
    drawMarker(secondClean, 100, 100, 120, -3, P.a);
    drawMarker(secondWeak, 100, 100, 120, -3, degraded(P.a, 2));

    flushHistory();
    const Detection truth = detect(secondClean);
    ASSERT_EQ(truth.markers.size(), 1u);
    flushHistory();
    const Detection d1 = detect(first);
    ASSERT_EQ(d1.markers.size(), 1u);
    ASSERT_NE(d1.markers[0].direction, truth.markers[0].direction)
        << "the case needs a corner shift";
    const Detection d2 = detect(secondWeak);
    ASSERT_EQ(d2.markers.size(), 1u);
    EXPECT_EQ(d2.markers[0].patternId, P.slotA);
    EXPECT_EQ(d2.markers[0].direction, truth.markers[0].direction);
    flushHistory();
}

TEST(MarkHistory, RecognisedMarkerIsRecalledForTwoCalls)
{
    const Pictures& P = pictures();
    Frame f(200, 200);
    drawMarker(f, 100, 100, 100, 0, P.b);
    Frame blank(200, 200);
    flushHistory();
    const Detection d = detect(f);
    ASSERT_EQ(d.markers.size(), 1u);
    ASSERT_EQ(d.markers[0].patternId, P.slotB);
    for (int call = 1; call <= 3; call++) {
        const Detection r = detect(blank);
        ASSERT_EQ(r.result, 0);
        if (call < 3) {
            ASSERT_EQ(r.markers.size(), 1u) << "call " << call;
            EXPECT_EQ(std::memcmp(&r.markers[0], &d.markers[0], sizeof(DetectedMarker)), 0)
                << "call " << call;
        } else {
            EXPECT_EQ(r.markers.size(), 0u) << "call " << call;
        }
    }
    // A labeling failure neither ages nor refreshes the history.
    detect(f);
    const Frame over = isolatedPixels(kMarkLabelMax + 1);
    installSize(200, 200);
    for (int i = 0; i < 5; i++) {
        DetectedMarker* list = nullptr;
        int32_t count = 0;
        installSize(400, 400);
        ASSERT_EQ(markDetect(over.px.data(), 100, &list, &count), -1);
    }
    ASSERT_EQ(markHistoryCount, 1);
    EXPECT_EQ(markHistory[0].age, 1);
    installSize(200, 200);
    EXPECT_EQ(detect(blank).markers.size(), 1u);
    flushHistory();
}

TEST(MarkHistory, WeakIdentitiesAreDroppedAndNotRemembered)
{
    const Pictures& P = pictures();
    Frame f(200, 200);
    drawMarker(f, 100, 100, 100, 0, P.noise);
    flushHistory();
    const Detection d = detect(f);
    ASSERT_EQ(d.markers.size(), 1u);
    EXPECT_LT(d.markers[0].confidence, 0.5);
    EXPECT_EQ(d.markers[0].patternId, -1);
    EXPECT_EQ(markHistoryCount, 0);
}

TEST(MarkHistory, OneEntryPerPatternHoldingTheLatest)
{
    const Pictures& P = pictures();
    Frame f(320, 200);
    drawMarker(f, 80, 100, 100, 0, P.a);
    drawMarker(f, 230, 100, 100, 0, P.a);
    flushHistory();
    const Detection d = detect(f);
    ASSERT_EQ(d.markers.size(), 2u);
    EXPECT_EQ(d.markers[0].patternId, P.slotA);
    EXPECT_EQ(d.markers[1].patternId, P.slotA);
    ASSERT_EQ(markHistoryCount, 1);
    EXPECT_EQ(markHistory[0].marker.centroid[0], d.markers[1].centroid[0]);
    // Seen again in the next call, neither is duplicated by recall.
    EXPECT_EQ(detect(f).markers.size(), 2u);
    flushHistory();
}

}  // namespace

namespace {

// A light-only picture: the marker's dark region is exactly its black ring.
Picture lightPicture(unsigned seed)
{
    std::mt19937 rng(seed);
    Picture p(256);
    for (int& v : p) v = (rng() % 2) ? 250 : 150;
    return p;
}

// An axis-aligned marker of side S at (x0, y0) whose ring has `holes` isolated light
// pixels, placed in point-symmetric pairs (an odd last one unpaired) so that the area
// is exact and the centroid stays at the centre (or within 0.01 pixel of it).
void drawRingMarker(Frame& f, int x0, int y0, int S, const Picture& pic, int holes)
{
    drawMarker(f, x0 + (S - 1) / 2.0, y0 + (S - 1) / 2.0, S, 0, pic);
    std::vector<std::pair<int, int>> spots;  // offsets in the top and left bands
    for (int y = 3; y <= S / 4 - 3; y += 3) {
        for (int x = 3; x <= S - 4; x += 3) spots.push_back({x, y});
    }
    for (int x = 3; x <= S / 4 - 3; x += 3) {
        for (int y = S / 4 + 3; y <= 3 * S / 4 - 4; y += 3) spots.push_back({x, y});
    }
    ASSERT_LE(static_cast<size_t>((holes + 1) / 2), spots.size());
    for (int i = 0; i < holes; i++) {
        const auto [x, y] = spots[i / 2];
        if (i % 2 == 0) {
            f.set(x0 + x, y0 + y, 255);
        } else {
            f.set(x0 + S - 1 - x, y0 + S - 1 - y, 255);
        }
    }
}

struct RingPlace {
    int x0, y0, S, holes, area;
};

// Shows `older` clearly, then `newer` with a degraded picture; returns whether the
// newer sighting took over the older identity and confidence.
bool carriedOver(const RingPlace& older, const RingPlace& newer)
{
    static const Picture clean = lightPicture(505);
    static const int slot = loadPicture(clean, "light");
    Picture weak = clean;
    for (int i = 0; i < 256; i += 2) weak[i] = 200;
    Frame first(400, 400), second(400, 400);
    drawRingMarker(first, older.x0, older.y0, older.S, clean, older.holes);
    drawRingMarker(second, newer.x0, newer.y0, newer.S, weak, newer.holes);
    flushHistory();
    const Detection a = detect(first);
    const Detection b = detect(second);
    flushHistory();
    EXPECT_EQ(a.markers.size(), 1u);
    EXPECT_FALSE(b.markers.empty());
    if (a.markers.empty() || b.markers.empty()) return false;
    EXPECT_EQ(a.markers[0].area, older.area);
    EXPECT_EQ(a.markers[0].patternId, slot);
    EXPECT_EQ(b.markers[0].area, newer.area);
    EXPECT_LT(std::fabs(a.markers[0].centroid[0] - (older.x0 + (older.S - 1) / 2.0)), 0.01);
    return b.markers[0].confidence == a.markers[0].confidence && b.markers[0].patternId == slot;
}

TEST(MarkHistory, SamePlaceBoundaries)
{
    // Area ratio older / newer: 7000 / 10000 = 0.7 and 14300 / 10000 = 1.43 are the
    // same place; one pixel more on the far side is not. 100^2 - 50^2 = 7500,
    // 120^2 - 60^2 = 10800, 140^2 - 70^2 = 14700 before the holes.
    const RingPlace n10000{140, 140, 120, 800, 10000}, n10001{140, 140, 120, 799, 10001};
    EXPECT_TRUE(carriedOver({150, 150, 100, 500, 7000}, n10000));
    EXPECT_FALSE(carriedOver({150, 150, 100, 500, 7000}, n10001));
    EXPECT_TRUE(carriedOver({130, 130, 140, 400, 14300}, n10000));
    EXPECT_FALSE(carriedOver({130, 130, 140, 399, 14301}, n10000));
    // Squared centroid distance over the newer area: 68^2 + 19^2 = 4985 gives 0.4985,
    // 50^2 + 50^2 = 5000 gives exactly 0.5, which is not the same place.
    EXPECT_TRUE(carriedOver({100, 100, 120, 800, 10000}, {168, 119, 120, 800, 10000}));
    EXPECT_FALSE(carriedOver({100, 100, 120, 800, 10000}, {150, 150, 120, 800, 10000}));
}

// ---- Rules pinned by boundary cases ---------------------------------------------------------

// Edge fitting leaves out about 5 % of each edge (plus half a point) at both ends,
// where the pixel grid and blur round the corners: points bent outwards within that
// stretch must not move the lines, points just beyond it must.
TEST(MarkFitEdges, EdgeEndsAreLeftOutOfTheFit)
{
    installSize(300, 300);
    // A 100 x 100 square traced clockwise from (100, 100), one point per pixel: edges
    // of 101 points, so the fit keeps points 5 ... 95 of each (5.55 left out per end).
    auto contour = [](int bentUpTo, std::vector<int32_t>* xs, std::vector<int32_t>* ys) {
        const int sx[4] = {1, 0, -1, 0}, sy[4] = {0, 1, 0, -1};  // direction of edge i
        const int ox[4] = {0, 1, 0, -1}, oy[4] = {-1, 0, 1, 0};  // outwards from edge i
        int x = 100, y = 100;
        for (int e = 0; e < 4; e++) {
            for (int k = 0; k < 100; k++) {
                const bool bent = (k >= 1 && k <= bentUpTo) || (k >= 100 - bentUpTo);
                xs->push_back(x + (bent ? 3 * ox[e] : 0));
                ys->push_back(y + (bent ? 3 * oy[e] : 0));
                x += sx[e];
                y += sy[e];
            }
        }
        xs->push_back(100);
        ys->push_back(100);
    };
    const int32_t corners[5] = {0, 100, 200, 300, 400};
    const double expected[4][2] = {{100, 100}, {200, 100}, {200, 200}, {100, 200}};
    for (int bentUpTo : {4, 5}) {
        std::vector<int32_t> xs, ys;
        contour(bentUpTo, &xs, &ys);
        double lines[4][3], points[4][2];
        ASSERT_EQ(markFitEdges(xs.data(), ys.data(), corners, lines, points), 0);
        for (int k = 0; k < 4; k++) {
            const double dx = points[k][0] - expected[k][0], dy = points[k][1] - expected[k][1];
            if (bentUpTo == 4) {
                EXPECT_LT(std::hypot(dx, dy), 1e-9)
                    << "corner " << k << " at " << points[k][0] << ", " << points[k][1];
            } else {
                EXPECT_GT(std::hypot(dx, dy), 0.01) << "corner " << k << ": bent points at 5 "
                                                    << "and 95 are inside the fitted stretch";
            }
        }
    }
}

// A square whose centroid lies within a quarter of a larger one's area (squared
// pixels) lies on it and goes; just outside that distance it stays. The ring (60 x 60,
// hole 50 x 50) has 1100 pixels and its centroid at (99.5, 99.5); the square inside the
// hole, 10 x 10, is moved so that the squared distance is 265 or 288 against 275.
TEST(MarkFindSquares, OverlapDistanceIsAQuarterOfTheLargerArea)
{
    for (const int offset : {0, 1}) {
        Frame f(200, 200);
        f.fill(70, 70, 129, 129, 0);
        f.fill(75, 75, 124, 124, 255);
        f.fill(106 + offset, 107, 115 + offset, 116, 0);
        const Squares s = squares(f);
        const double d2 = (11.0 + offset) * (11.0 + offset) + 12.0 * 12.0;
        EXPECT_EQ(s.count, d2 < 1100 / 4 ? 1 : 2) << "squared distance " << d2;
        ASSERT_GE(s.count, 1);
        EXPECT_EQ(s.list[0].area, 1100);
    }
}

// The corner shift that aligns the remembered corners with the new ones gives the
// carried direction, not the orientation the weaker fresh match found: here the second
// view shows the picture turned by a quarter inside an unmoved square, so the fresh
// match says one direction and the corners another.
TEST(MarkHistory, CarriedDirectionComesFromTheCornersNotTheFreshMatch)
{
    const Pictures& P = pictures();
    Picture turned(256);
    const Picture weak = degraded(P.a, 2);
    for (int r = 0; r < 16; r++)
        for (int k = 0; k < 16; k++) turned[r * 16 + k] = weak[(15 - k) * 16 + r];
    Frame first(200, 200), second(200, 200);
    drawMarker(first, 100, 100, 120, 10, P.a);
    drawMarker(second, 100, 100, 120, 10, turned);

    flushHistory();
    const Detection fresh = detect(second);
    ASSERT_EQ(fresh.markers.size(), 1u);
    flushHistory();
    const Detection d1 = detect(first);
    ASSERT_EQ(d1.markers.size(), 1u);
    ASSERT_EQ(d1.markers[0].patternId, P.slotA);
    ASSERT_LT(fresh.markers[0].confidence, d1.markers[0].confidence);
    ASSERT_NE(fresh.markers[0].direction, d1.markers[0].direction)
        << "the case needs a fresh match in another direction";
    const Detection d2 = detect(second);
    ASSERT_EQ(d2.markers.size(), 1u);
    EXPECT_EQ(d2.markers[0].patternId, P.slotA);
    EXPECT_EQ(d2.markers[0].confidence, d1.markers[0].confidence);
    EXPECT_EQ(d2.markers[0].direction, d1.markers[0].direction);
    flushHistory();
}

}  // namespace
