// The detector's fast paths against plain, literal implementations of the same
// procedures, on rendered and random frames: every output must be identical, bit for
// bit. The plain versions below follow the documented steps one to one (per-pixel case
// table, flat equivalence table rewritten on every merge, per-point homography), so
// they are slow and obviously right.
#include "detect/detect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "detect/internal.h"
#include "detect/runs.h"
#include "pattern/pattern.h"
#include "synth/synth.h"

namespace {

// ---- Plain labeling --------------------------------------------------------------------

struct PlainLabels {
    bool ok = false;
    std::vector<int16_t> image;
    std::vector<int32_t> wideImage;  // the same labels, 32-bit
    std::vector<int32_t> table;      // entry n - 1 for provisional label n, after resolution
    int32_t count = 0;
    std::vector<int32_t> area, box;
    std::vector<double> centroid;
};

// labelLimit: provisional labels available (32767 for 16-bit labels).
PlainLabels plainLabel(const uint8_t* frame, int width, int height, int threshold,
                       size_t labelLimit = 32767)
{
    struct Rec {
        int32_t area;
        int64_t sx, sy;
        int32_t xmin, xmax, ymin, ymax;
    };
    PlainLabels out;
    std::vector<int32_t> L(static_cast<size_t>(width) * height, 0);
    std::vector<int32_t> T;
    std::vector<Rec> R;
    auto merge = [&](int32_t a, int32_t b) {
        if (a > b) {
            for (int32_t& t : T)
                if (t == a) t = b;
            return b;
        }
        if (a < b)
            for (int32_t& t : T)
                if (t == b) t = a;
        return a;
    };
    const int64_t limit = 3 * static_cast<int64_t>(threshold);
    for (int y = 1; y < height - 1; y++) {
        for (int x = 1; x < width - 1; x++) {
            const size_t i = static_cast<size_t>(y) * width + x;
            const uint8_t* p = frame + i * 4;
            if (p[0] + p[1] + p[2] > limit) continue;
            const int32_t U = L[i - width], UR = L[i - width + 1], UL = L[i - width - 1],
                          LF = L[i - 1];
            int32_t label;
            if (U > 0) {
                label = U;
                R[label - 1].ymax = y;
            } else if (UR > 0 && UL > 0) {
                label = merge(T[UR - 1], T[UL - 1]);
                R[label - 1].ymax = y;
            } else if (UR > 0 && LF > 0) {
                label = merge(T[UR - 1], T[LF - 1]);
            } else if (UR > 0) {
                label = UR;
                if (R[label - 1].xmin > x) R[label - 1].xmin = x;
                R[label - 1].ymax = y;
            } else if (UL > 0) {
                label = UL;
                if (R[label - 1].xmax < x) R[label - 1].xmax = x;
                R[label - 1].ymax = y;
            } else if (LF > 0) {
                label = LF;
                if (R[label - 1].xmax < x) R[label - 1].xmax = x;
            } else {
                if (T.size() == labelLimit) return out;
                T.push_back(static_cast<int32_t>(T.size()) + 1);
                R.push_back(Rec{0, 0, 0, x, x, y, y});
                label = static_cast<int32_t>(T.size());
            }
            L[i] = label;
            R[label - 1].area++;
            R[label - 1].sx += x;
            R[label - 1].sy += y;
        }
    }
    int32_t next = 1;
    for (size_t n = 1; n <= T.size(); n++) {
        T[n - 1] = (T[n - 1] == static_cast<int32_t>(n)) ? next++ : T[T[n - 1] - 1];
    }
    out.ok = true;
    out.image.assign(L.begin(), L.end());
    out.wideImage = L;
    out.table = T;
    out.count = next - 1;
    out.area.assign(out.count, 0);
    out.centroid.assign(2 * out.count, 0.0);
    out.box.resize(4 * out.count);
    for (int r = 0; r < out.count; r++) {
        out.box[4 * r] = width;
        out.box[4 * r + 1] = 0;
        out.box[4 * r + 2] = height;
        out.box[4 * r + 3] = 0;
    }
    for (size_t n = 0; n < T.size(); n++) {
        const int r = T[n] - 1;
        out.area[r] += R[n].area;
        out.centroid[2 * r] += static_cast<double>(R[n].sx);
        out.centroid[2 * r + 1] += static_cast<double>(R[n].sy);
        out.box[4 * r] = std::min(out.box[4 * r], R[n].xmin);
        out.box[4 * r + 1] = std::max(out.box[4 * r + 1], R[n].xmax);
        out.box[4 * r + 2] = std::min(out.box[4 * r + 2], R[n].ymin);
        out.box[4 * r + 3] = std::max(out.box[4 * r + 3], R[n].ymax);
    }
    for (int r = 0; r < out.count; r++) {
        out.centroid[2 * r] *= 1.0 / out.area[r];
        out.centroid[2 * r + 1] *= 1.0 / out.area[r];
    }
    return out;
}

// A frame-sized labeling's region statistics against expected ones, bit for bit.
void expectSameRegionStats(const MarkWideWork& work, const int32_t* area, const int32_t* box,
                           const double* centroid, int32_t count, const std::string& what)
{
    ASSERT_EQ(work.regions, count) << what << ": region count";
    if (count == 0) return;
    EXPECT_EQ(std::memcmp(work.regionArea.data, area, count * sizeof(int32_t)), 0)
        << what << ": areas";
    EXPECT_EQ(std::memcmp(work.regionBox.data, box, 4 * count * sizeof(int32_t)), 0)
        << what << ": boxes";
    EXPECT_EQ(std::memcmp(work.regionCentroid.data, centroid, 2 * count * sizeof(double)), 0)
        << what << ": centroids";
}

// The frame-sized path's labeling (32-bit labels, no label limit; or 16-bit labels until
// they run out, then 32-bit ones) against the plain scan without a limit.
void expectSameWideLabels(const uint8_t* frame, int width, int height, int threshold,
                          const PlainLabels& plain, const std::string& what, bool narrow)
{
    static MarkWideWork work;
    MarkWideSettings settings;
    settings.threshold = threshold;
    settings.narrowLabels = narrow;
    ASSERT_GE(markWideFindSquares(&work, frame, width, height, settings), 0) << what;
    ASSERT_TRUE(plain.ok) << what;
    ASSERT_EQ(work.labels, static_cast<int32_t>(plain.table.size())) << what << ": wide labels";
    ASSERT_EQ(work.narrow, narrow && work.labels <= kMarkLabelMax) << what;
    if (work.narrow) {
        const std::vector<int16_t> image(plain.wideImage.begin(), plain.wideImage.end());
        ASSERT_EQ(std::memcmp(work.narrowImage.data, image.data(), image.size() * sizeof(int16_t)),
                  0)
            << what << ": 16-bit label image";
    } else {
        ASSERT_EQ(std::memcmp(work.labelImage.data, plain.wideImage.data(),
                              plain.wideImage.size() * sizeof(int32_t)),
                  0)
            << what << ": wide label image";
    }
    expectSameRegionStats(work, plain.area.data(), plain.box.data(), plain.centroid.data(),
                          plain.count, what + " wide");
    if (plain.count == 0) return;  // no labels: the table may not exist
    ASSERT_EQ(
        std::memcmp(work.table.data, plain.table.data(), plain.table.size() * sizeof(int32_t)), 0)
        << what << ": wide table";
}

// The region of every pixel of a frame-sized labeling (0 where light).
std::vector<int32_t> regionsOf(const int32_t* image, const int32_t* table, size_t pixels)
{
    std::vector<int32_t> regions(pixels);
    for (size_t i = 0; i < pixels; i++) regions[i] = image[i] > 0 ? table[image[i] - 1] : 0;
    return regions;
}

// Labeling by runs against the plain scan: other provisional labels, but the same
// regions in the same order, their statistics bit for bit, and every pixel in the same
// region.
void expectSameRegionsByRuns(const uint8_t* frame, int width, int height, int threshold,
                             const PlainLabels& plain, const std::string& what)
{
    static MarkWideWork work;
    MarkWideSettings settings;
    settings.threshold = threshold;
    settings.labelByRuns = 1;
    ASSERT_GE(markWideFindSquares(&work, frame, width, height, settings), 0) << what;
    expectSameRegionStats(work, plain.area.data(), plain.box.data(), plain.centroid.data(),
                          plain.count, what + " by runs");
    const size_t pixels = plain.wideImage.size();
    ASSERT_TRUE(regionsOf(work.labelImage.data, work.table.data, pixels) ==
                regionsOf(plain.wideImage.data(), plain.table.data(), pixels))
        << what << ": pixels' regions by runs";
}

// The frame-sized path with two ways of labeling (settings and other): the same regions
// and statistics, every pixel in the same region, the same outlines and squares.
void expectSameSquares(const uint8_t* frame, int width, int height, MarkWideSettings settings,
                       MarkWideSettings other, const std::string& what)
{
    static MarkWideWork one, two;
    ASSERT_GE(markWideFindSquares(&one, frame, width, height, settings), 0) << what;
    ASSERT_GE(markWideFindSquares(&two, frame, width, height, other), 0) << what;
    expectSameRegionStats(two, one.regionArea.data, one.regionBox.data, one.regionCentroid.data,
                          one.regions, what);
    ASSERT_EQ(two.regions, one.regions) << what;
    const int64_t pixels = static_cast<int64_t>(width) * height;
    int64_t moved = 0;
    for (int64_t i = 0; i < pixels; i++) {
        const int32_t a = markWideLabelAt(&one, i), b = markWideLabelAt(&two, i);
        moved += (a > 0 ? one.table.data[a - 1] : 0) != (b > 0 ? two.table.data[b - 1] : 0);
    }
    ASSERT_EQ(moved, 0) << what << ": pixels in another region";
    ASSERT_EQ(
        std::memcmp(two.regionEnclosed.data, one.regionEnclosed.data, one.regions * sizeof(double)),
        0)
        << what << ": outlines' areas";
    ASSERT_EQ(two.squareCount, one.squareCount) << what;
    ASSERT_EQ(two.kept, one.kept) << what;
    for (int32_t i = 0; i < one.kept; i++) {
        const MarkWideSquare &a = two.squares.data[i], &b = one.squares.data[i];
        ASSERT_EQ(a.region, b.region) << what << ": square " << i;
        ASSERT_EQ(a.pointCount, b.pointCount) << what << ": square " << i;
        ASSERT_EQ(std::memcmp(a.corners, b.corners, sizeof a.corners), 0) << what;
        ASSERT_EQ(std::memcmp(two.poolX.data + a.first, one.poolX.data + b.first,
                              a.pointCount * sizeof(int32_t)),
                  0)
            << what << ": square " << i;
        ASSERT_EQ(std::memcmp(two.poolY.data + a.first, one.poolY.data + b.first,
                              a.pointCount * sizeof(int32_t)),
                  0)
            << what << ": square " << i;
    }
}

// The frame-sized path with and without labeling by runs.
void expectSameSquaresByRuns(const uint8_t* frame, int width, int height, MarkWideSettings settings,
                             const std::string& what)
{
    settings.labelByRuns = 0;
    MarkWideSettings runs = settings;
    runs.labelByRuns = 1;
    expectSameSquares(frame, width, height, settings, runs, what + " by runs");
}

void expectSameLabels(const uint8_t* frame, int width, int height, int threshold,
                      const std::string& what)
{
    CameraParam p{};
    p.width = width;
    p.height = height;
    p.distortion[3] = 1.0;
    camParamInit(&p);
    const PlainLabels plain = plainLabel(frame, width, height, threshold);
    const PlainLabels& unlimited =
        plain.ok ? plain : plainLabel(frame, width, height, threshold, SIZE_MAX);
    for (bool narrow : {false, true})
        expectSameWideLabels(frame, width, height, threshold, unlimited, what, narrow);
    expectSameRegionsByRuns(frame, width, height, threshold, unlimited, what);
    int32_t count = -1, *area = nullptr, *box = nullptr, *table = nullptr;
    double* centroid = nullptr;
    const int16_t* image = markLabel(frame, threshold, &count, &area, &centroid, &box, &table);
    ASSERT_EQ(image != nullptr, plain.ok) << what;
    if (!plain.ok) return;
    ASSERT_EQ(count, plain.count) << what;
    ASSERT_EQ(std::memcmp(image, plain.image.data(), plain.image.size() * sizeof(int16_t)), 0)
        << what << ": label image";
    if (count == 0) return;
    ASSERT_EQ(std::memcmp(table, plain.table.data(), plain.table.size() * sizeof(int32_t)), 0)
        << what << ": table";
    ASSERT_EQ(std::memcmp(area, plain.area.data(), count * sizeof(int32_t)), 0)
        << what << ": areas";
    ASSERT_EQ(std::memcmp(box, plain.box.data(), 4 * count * sizeof(int32_t)), 0)
        << what << ": boxes";
    ASSERT_EQ(std::memcmp(centroid, plain.centroid.data(), 2 * count * sizeof(double)), 0)
        << what << ": centroids";
}

// ---- Plain contour tracing and sampling ------------------------------------------------

// Traces region `region` with a bounds test on every neighbour; returns the points
// after rotation and closing, or nothing when the trace fails.
std::vector<std::pair<int, int>> plainTrace(const int16_t* L, const int32_t* table, int region,
                                            const int32_t* box, int width, int height)
{
    static const int sx[8] = {0, 1, 1, 1, 0, -1, -1, -1}, sy[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
    auto at = [&](int x, int y) {
        return (x < 0 || y < 0 || x >= width || y >= height) ? 0 : L[y * width + x];
    };
    std::vector<std::pair<int, int>> p;
    for (int x = box[0]; x <= box[1]; x++) {
        const int v = at(x, box[2]);
        if (v > 0 && table[v - 1] == region) {
            p.push_back({x, box[2]});
            break;
        }
    }
    if (p.empty()) return {};
    int d = 5;
    for (;;) {
        d = (d + 5) % 8;
        int tries = 0;
        while (tries < 8 && at(p.back().first + sx[d], p.back().second + sy[d]) <= 0) {
            d = (d + 1) % 8;
            tries++;
        }
        if (tries == 8) return {};
        const std::pair<int, int> next{p.back().first + sx[d], p.back().second + sy[d]};
        if (next == p[0]) break;
        p.push_back(next);
        if (p.size() == 9999) return {};
    }
    size_t far = 1;
    long best = 0;
    for (size_t i = 1; i < p.size(); i++) {
        const long dx = p[i].first - p[0].first, dy = p[i].second - p[0].second;
        if (dx * dx + dy * dy > best) {
            best = dx * dx + dy * dy;
            far = i;
        }
    }
    std::vector<std::pair<int, int>> r(p.begin() + static_cast<long>(far), p.end());
    r.insert(r.end(), p.begin(), p.begin() + static_cast<long>(far));
    r.push_back(r[0]);
    return r;
}

// The sampling procedure point by point: each grid point through the full homography.
std::vector<uint8_t> plainSample(const uint8_t* frame, int width, int height,
                                 const SquareCandidate& c)
{
    const double ref[4][2] = {{100, 100}, {110, 100}, {110, 110}, {100, 110}};
    double obs[4][2], H[3][3];
    for (int i = 0; i < 4; i++) {
        obs[i][0] = c.pointX[c.corners[i]];
        obs[i][1] = c.pointY[c.corners[i]];
    }
    std::vector<uint8_t> out(768, 0);
    if (patternHomography(ref, obs, H) < 0) return out;
    auto len2 = [&](int a, int b) {
        const double dx = c.pointX[c.corners[a]] - c.pointX[c.corners[b]],
                     dy = c.pointY[c.corners[a]] - c.pointY[c.corners[b]];
        return static_cast<long>(dx * dx + dy * dy);
    };
    auto grid = [](long l) {
        int n = 16;
        while (n < 64 && n * n < l / 4) n *= 2;
        return n;
    };
    const int nx = grid(std::max(len2(0, 1), len2(2, 3))),
              ny = grid(std::max(len2(1, 2), len2(3, 0)));
    const int sx = nx / 16, sy = ny / 16;
    std::vector<int> acc(768, 0);
    for (int j = 0; j < ny; j++) {
        const double Y = (j + 0.5) * (1.0 / ny) * 5.0 + 102.5;
        for (int i = 0; i < nx; i++) {
            const double X = (i + 0.5) * (1.0 / nx) * 5.0 + 102.5;
            const double d = H[2][0] * X + H[2][1] * Y + H[2][2];
            if (d == 0.0) return std::vector<uint8_t>(768, 0);
            const double xd = (H[0][0] * X + H[0][1] * Y + H[0][2]) * (1.0 / d);
            const double yd = (H[1][0] * X + H[1][1] * Y + H[1][2]) * (1.0 / d);
            if (!(xd > -1.0 && xd < width && yd > -1.0 && yd < height)) continue;
            const int x = static_cast<int>(xd), y = static_cast<int>(yd);
            for (int ch = 0; ch < 3; ch++)
                acc[((j / sy) * 16 + i / sx) * 3 + ch] +=
                    frame[(static_cast<size_t>(y) * width + x) * 4 + ch];
        }
    }
    for (int k = 0; k < 768; k++)
        out[k] =
            static_cast<uint8_t>(static_cast<unsigned>(acc[k]) / static_cast<unsigned>(sx * sy));
    return out;
}

// Every traceable region and every candidate of the frame through both versions.
void expectSameTracesAndSamples(const uint8_t* frame, int width, int height, int threshold,
                                const std::string& what)
{
    int32_t count = 0, *area = nullptr, *box = nullptr, *table = nullptr;
    double* centroid = nullptr;
    const int16_t* image = markLabel(frame, threshold, &count, &area, &centroid, &box, &table);
    ASSERT_NE(image, nullptr) << what;
    static SquareCandidate cand;
    testing::internal::CaptureStdout();
    for (int r = 0; r < count; r++) {
        if (area[r] < 20 || area[r] > 100000) continue;
        const std::vector<std::pair<int, int>> plain =
            plainTrace(image, table, r + 1, box + 4 * r, width, height);
        const int result = markTraceContour(image, table, r + 1, box + 4 * r, &cand);
        ASSERT_EQ(result == 0, !plain.empty()) << what << " region " << r + 1;
        if (result != 0) continue;
        ASSERT_EQ(cand.pointCount, static_cast<int>(plain.size())) << what << " region " << r + 1;
        for (int i = 0; i < cand.pointCount; i++) {
            ASSERT_EQ(cand.pointX[i], plain[i].first)
                << what << " region " << r + 1 << " point " << i;
            ASSERT_EQ(cand.pointY[i], plain[i].second)
                << what << " region " << r + 1 << " point " << i;
        }
    }
    testing::internal::GetCapturedStdout();
    SquareCandidate* list = nullptr;
    int32_t n = 0;
    testing::internal::CaptureStdout();
    markFindSquares(image, count, table, area, centroid, box, kMarkAreaMax, kMarkAreaMin,
                    kMarkSquareFactor, &list, &n);
    testing::internal::GetCapturedStdout();
    for (int i = 0; i < n; i++) {
        uint8_t sample[768];
        const int result =
            patternSample(frame, list[i].pointX, list[i].pointY, list[i].corners, sample);
        const std::vector<uint8_t> plain = plainSample(frame, width, height, list[i]);
        EXPECT_EQ(result, 0) << what;
        ASSERT_EQ(std::memcmp(sample, plain.data(), 768), 0) << what << " candidate " << i;
    }
}

// ---- Rendered scenes ----------------------------------------------------------------------

struct Assets {
    SynthImage pictures[4];
    bool ok = true;
    Assets()
    {
        const char* names[4] = {"arrow", "bars", "key", "moon"};
        for (int i = 0; i < 4; i++) {
            const std::string base = std::string(TARLIM_SOURCE_DIR) + "/data/markers/" + names[i];
            ok = ok && synthPngRead((base + ".png").c_str(), &pictures[i]) == 0 &&
                 patternLoad((base + ".pat").c_str()) >= 0;
        }
    }
};

const Assets& assets()
{
    static Assets a;
    return a;
}

// A cluttered scene with up to 8 markers at varied poses; `variant` picks sizes,
// seeds, blur and noise.
bool renderScene(int width, int height, int variant, SynthImage* frame)
{
    const Assets& a = assets();
    if (!a.ok) return false;
    std::mt19937 rng(1000 + variant);
    auto uniform = [&](double lo, double hi) { return lo + (hi - lo) * (rng() / 4294967296.0); };
    CameraParam camera{};
    const double focal = width * uniform(0.7, 1.3);
    synthCameraMake(width, height, focal, uniform(0.0, 60.0), &camera);
    static SynthScene scene;
    synthSceneInit(&camera, &scene);
    scene.clutter = variant % 3 != 0;
    scene.clutterSeed = 7 + variant;
    scene.lightGradient = uniform(0.0, 0.5);
    scene.blurSigma = (variant % 2) ? uniform(0.3, 1.5) : 0.0;
    scene.noiseSigma = (variant % 4 >= 2) ? uniform(2.0, 12.0) : 0.0;
    scene.noiseSeed = variant;
    scene.markerCount = variant % 9;
    for (int i = 0; i < scene.markerCount; i++) {
        SynthMarker& m = scene.markers[i];
        m.picture = &a.pictures[i % 4];
        m.side = 80.0;
        const double z = focal * 80.0 / (height * uniform(0.08, 0.45));
        synthPoseMake(uniform(0, 360), uniform(0, 60), uniform(0, 360),
                      uniform(-0.4, 0.4) * width * z / focal,
                      uniform(-0.4, 0.4) * height * z / focal, z, m.pose);
    }
    return synthRender(&scene, frame, nullptr) == 0;
}

TEST(DetectIdentity, StagesMatchThePlainProceduresOnRenderedFrames)
{
    for (int variant = 0; variant < 24; variant++) {
        SynthImage frame;
        const int width = (variant % 5 == 4) ? 1280 : 640, height = (variant % 5 == 4) ? 720 : 480;
        ASSERT_TRUE(renderScene(width, height, variant, &frame)) << "variant " << variant;
        for (int threshold : {60, 100, 160}) {
            const std::string what =
                "variant " + std::to_string(variant) + " threshold " + std::to_string(threshold);
            expectSameLabels(frame.pixels.data(), width, height, threshold, what);
            expectSameTracesAndSamples(frame.pixels.data(), width, height, threshold, what);
        }
    }
}

// Busy desks: a third of the pixels dark, thousands of regions of every shape (print,
// codes, cables, large blocks reaching the frame's edge), sharp and degraded.
TEST(DetectIdentity, StagesMatchThePlainProceduresOnBusyDesks)
{
    const Assets& a = assets();
    ASSERT_TRUE(a.ok);
    const SynthImage* pictures[4] = {&a.pictures[0], &a.pictures[1], &a.pictures[2],
                                     &a.pictures[3]};
    static SynthScene scene;
    const int sizes[3][2] = {{640, 480}, {1280, 720}, {1920, 1080}};
    for (const auto& size : sizes) {
        const int width = size[0], height = size[1];
        for (int degrade = 0; degrade < 2; degrade++) {
            ASSERT_EQ(synthBusyScene(width, height, degrade, pictures, 4, &scene), 0);
            SynthImage frame;
            ASSERT_EQ(synthRender(&scene, &frame, nullptr), 0);
            for (int threshold : {60, 100, 140}) {
                // The full-HD frames once, at the detector's usual threshold: the plain
                // labeler is slow there.
                if (width > 1280 && threshold != 100) continue;
                const std::string what = "busy " + std::to_string(width) + " degrade " +
                                         std::to_string(degrade) + " threshold " +
                                         std::to_string(threshold);
                expectSameLabels(frame.pixels.data(), width, height, threshold, what);
                expectSameTracesAndSamples(frame.pixels.data(), width, height, threshold, what);
            }
            // The exact path's frame-sized search with 32-bit and with 16-bit labels.
            MarkWideSettings wide = markWideSettingsOf(markDefaultOptions(), width, height);
            wide.narrowLabels = 0;
            MarkWideSettings narrow = wide;
            narrow.narrowLabels = 1;
            expectSameSquares(frame.pixels.data(), width, height, wide, narrow,
                              "busy " + std::to_string(width) + " degrade " +
                                  std::to_string(degrade) + " 16-bit labels");
            // The robust preset's local masks: rings round dark areas, lattices round dots;
            // labelled by runs with 16-bit and with 32-bit labels.
            const MarkWideSettings preset = markWideSettingsOf(markRobustOptions(), width, height);
            expectSameSquaresByRuns(frame.pixels.data(), width, height, preset,
                                    "busy " + std::to_string(width) + " degrade " +
                                        std::to_string(degrade) + " local threshold");
            MarkWideSettings preset32 = preset;
            preset32.narrowLabels = 0;
            expectSameSquares(frame.pixels.data(), width, height, preset32, preset,
                              "busy " + std::to_string(width) + " degrade " +
                                  std::to_string(degrade) + " local threshold, 16-bit labels");
        }
    }
}

TEST(DetectIdentity, LabelingMatchesThePlainScanOnNoise)
{
    std::mt19937 rng(5);
    for (int trial = 0; trial < 40; trial++) {
        const int width = 1 + static_cast<int>(rng() % 150),
                  height = 1 + static_cast<int>(rng() % 90);
        std::vector<uint8_t> px(static_cast<size_t>(width) * height * 4);
        const int density = static_cast<int>(rng() % 101);
        const int blob = 1 + static_cast<int>(rng() % 6);  // speckle size: merges of every kind
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                uint32_t h = static_cast<uint32_t>((y / blob) * 1000 + x / blob + trial * 77777) *
                             2654435761u;
                h ^= h >> 15;
                h *= 2246822519u;
                h ^= h >> 13;
                const bool dark = static_cast<int>(h % 100) < density;
                uint8_t* p = &px[(static_cast<size_t>(y) * width + x) * 4];
                for (int c = 0; c < 4; c++)
                    p[c] = static_cast<uint8_t>(dark ? rng() % 120 : 100 + rng() % 156);
            }
        }
        for (int threshold : {-1, 0, 50, 90, 255, 300}) {
            expectSameLabels(px.data(), width, height, threshold,
                             "trial " + std::to_string(trial) + " " + std::to_string(width) + "x" +
                                 std::to_string(height) + " threshold " +
                                 std::to_string(threshold));
        }
    }
    // The label limit is reached at the same pixel.
    std::vector<uint8_t> dots(400 * 400 * 4, 255);
    for (int y = 1; y < 399; y += 2) {
        for (int x = 1; x < 399; x += 2) std::memset(&dots[(y * 400 + x) * 4], 0, 3);
    }
    expectSameLabels(dots.data(), 400, 400, 100, "isolated dots");
}

}  // namespace

namespace {

// Every instruction set marks the same pixels dark as the plain rule, at every width
// (partial steps at the row's end) and at the ends of the threshold range.
TEST(DetectIdentity, DarkMasksAreTheSameOnEveryInstructionSet)
{
    std::mt19937 rng(11);
    std::vector<uint8_t> row(4 * 300);
    for (uint8_t& b : row) b = static_cast<uint8_t>(rng() % 256);
    for (int i = 0; i < 300; i += 7) std::memset(&row[4 * i], 0, 3);     // black
    for (int i = 3; i < 300; i += 11) std::memset(&row[4 * i], 255, 3);  // white
    std::vector<uint64_t> mask(markMaskWords(300));
    for (int width = 1; width <= 300; width += (width < 70 ? 1 : 23)) {
        for (int limit : {-3, 0, 1, 150, 300, 383, 764, 765}) {
            for (int level = 0; level <= 2; level++) {
                std::fill(mask.begin(), mask.end(), ~uint64_t{0});
                markMaskGlobalUsing(row.data(), width, limit, mask.data(), level);
                for (int x = 0; x < 64 * markMaskWords(width); x++) {
                    const uint8_t* p = &row[4 * std::min(x, 299)];
                    const bool dark = x >= 1 && x < width - 1 && p[0] + p[1] + p[2] <= limit;
                    ASSERT_EQ(markMaskBit(mask.data(), x), dark)
                        << "width " << width << " limit " << limit << " level " << level << " x "
                        << x;
                }
            }
        }
    }
}

}  // namespace

namespace {

// The farthest point from a chord, eight at a time, against the literal scan: random
// walks of every length round the lane count, lines through points of the walk or
// elsewhere, many ties (a straight walk, a walk with a run at equal distance) and no
// point off the line at all.
TEST(DetectIdentity, ChordSearchIsTheSameOnEveryInstructionSet)
{
    constexpr int kStepX[8] = {0, 1, 1, 1, 0, -1, -1, -1};
    constexpr int kStepY[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
    std::mt19937 rng(5);
    std::vector<int32_t> x(400), y(400);
    auto literal = [&](int32_t s, int32_t e, int32_t a, int32_t b, int32_t c, double* qmax) {
        *qmax = 0.0;
        int32_t v = -1;
        for (int32_t i = s + 1; i < e; i++) {
            const double d = static_cast<double>(a * x[i] + b * y[i] + c);
            if (d * d > *qmax) {
                *qmax = d * d;
                v = i;
            }
        }
        return v;
    };
    for (int shape = 0; shape < 4; shape++) {
        for (int round = 0; round < 60; round++) {
            x[0] = 1000;
            y[0] = 700;
            for (size_t i = 1; i < x.size(); i++) {
                const int step = static_cast<int>(rng() % 8);
                x[i] = x[i - 1] + (shape == 1 ? 1 : kStepX[step]);
                y[i] = y[i - 1] + (shape == 1 ? 0 : kStepY[step]);
                if (shape == 2 && i % 16 < 9) y[i] = y[i - 1];  // equal distances in a row
            }
            const int32_t s = static_cast<int32_t>(rng() % 20);
            const int32_t e = s + 1 + static_cast<int32_t>(rng() % 150);
            int32_t a = y[e] - y[s], b = x[s] - x[e], c = x[e] * y[s] - x[s] * y[e];
            if (shape == 3) {  // a line elsewhere: every point off it
                a = static_cast<int32_t>(rng() % 7) - 3;
                b = 5;
                c = -7 * a;
            }
            double expectedQ = 0.0;
            const int32_t expected = literal(s, e, a, b, c, &expectedQ);
            for (int level : {0, 2}) {
                double q = -1.0;
                EXPECT_EQ(markChordFarthest(x.data(), y.data(), s, e, a, b, c, level, &q), expected)
                    << "shape " << shape << " round " << round << " level " << level;
                EXPECT_EQ(q, expectedQ);
            }
        }
    }
}

// A walk's steps rebuilt into points (with its enclosed area and farthest point) eight
// steps at a time and one at a time: walks of every length around the groups of eight,
// near the first corner of the largest frame and near the opposite one.
TEST(DetectIdentity, WalkPointsAreTheSameOnEveryInstructionSet)
{
    static MarkWalks walks;
    std::mt19937 rng(11);
    ASSERT_TRUE(walks.steps.reserve(200));
    ASSERT_TRUE(walks.jobs.reserve(1));
    for (int round = 0; round < 200; round++) {
        MarkWalkJob job{};
        job.count = static_cast<int32_t>(round % 40) + (round >= 100 ? 120 : 0);
        job.x = round % 2 ? kMarkSideMax - 130 : 130;
        job.y = round % 4 < 2 ? kMarkSideMax - 130 : 130;
        for (int32_t i = 0; i < job.count; i++)
            walks.steps.data[i] = static_cast<uint8_t>(round % 5 == 0 ? i % 8 : rng() % 8);
        std::vector<int32_t> x[2], y[2];
        int32_t far[2];
        double enclosed[2];
        for (int level : {0, 2}) {
            far[level / 2] = markWalkPoints(&walks, job, level, &enclosed[level / 2]);
            x[level / 2].assign(walks.traceX, walks.traceX + job.count + 1);
            y[level / 2].assign(walks.traceY, walks.traceY + job.count + 1);
        }
        EXPECT_EQ(x[1], x[0]) << "round " << round;
        EXPECT_EQ(y[1], y[0]) << "round " << round;
        EXPECT_EQ(far[1], far[0]) << "round " << round;
        EXPECT_EQ(enclosed[1], enclosed[0]) << "round " << round;
    }
}

TEST(DetectIdentity, FarthestPointIsTheSameOnEveryInstructionSet)
{
    constexpr int kStepX[8] = {0, 1, 1, 1, 0, -1, -1, -1};
    constexpr int kStepY[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
    std::mt19937 rng(9);
    std::vector<int32_t> x(300), y(300);
    for (int shape = 0; shape < 4; shape++) {
        for (int round = 0; round < 60; round++) {
            x[0] = 900;
            y[0] = 500;
            for (size_t i = 1; i < x.size(); i++) {
                const int step = static_cast<int>(rng() % 8);
                x[i] = x[i - 1] + kStepX[step];
                y[i] = y[i - 1] + kStepY[step];
                if (shape == 1) {  // back and forth: the largest distance comes again and again
                    x[i] = 900 + static_cast<int32_t>(i % 2) * 5;
                    y[i] = 500 - static_cast<int32_t>(i % 4 == 1) * 5;
                }
                if (shape == 2) x[i] = x[0], y[i] = y[0];  // every point at the centre
            }
            if (shape == 3) {  // far corners of a large frame: squares near 2^31
                x[0] = y[0] = 0;
                x[37] = y[37] = kMarkSideMax - 1;
                x[200] = y[200] = kMarkSideMax - 1;
            }
            const int32_t s = static_cast<int32_t>(rng() % 12);
            const int32_t e = s + static_cast<int32_t>(rng() % 240);
            int32_t expectedMax = 0, expected = -1;
            for (int32_t i = s; i < e; i++) {
                const int32_t d = (x[i] - x[0]) * (x[i] - x[0]) + (y[i] - y[0]) * (y[i] - y[0]);
                if (d > expectedMax) expectedMax = d, expected = i;
            }
            for (int level : {0, 2}) {
                int32_t dmax = -1;
                EXPECT_EQ(markFarthestFrom(x.data(), y.data(), s, e, x[0], y[0], level, &dmax),
                          expected)
                    << "shape " << shape << " round " << round << " level " << level;
                EXPECT_EQ(dmax, expectedMax);
            }
        }
    }
}

}  // namespace
