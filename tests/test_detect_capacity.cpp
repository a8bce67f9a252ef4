// Capacities of detection: frames up to one megapixel keep the fixed path exactly (30
// candidates in region order, 32767 labels); larger frames take the frame-sized path,
// whose labels never run out, whose maximum area grows with the frame and which removes
// overlaps among all squares before keeping candidates. Checked on rendered frames.
#include "camera/camera.h"
#include "detect/detect.h"
#include "detect/internal.h"
#include "pattern/pattern.h"
#include "synth/synth.h"
#include "tests/support/markers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kNames[4] = {"arrow", "moon", "bars", "key"};

struct Assets {
    SynthImage pictures[4];
    int slots[4] = {-1, -1, -1, -1};
};

const Assets& assets()
{
    static Assets a;
    static bool loaded = false;
    if (!loaded) {
        loaded = true;
        for (int i = 0; i < 4; i++) {
            const std::string base = std::string(TARLIM_SOURCE_DIR) + "/data/markers/" + kNames[i];
            if (synthPngRead((base + ".png").c_str(), &a.pictures[i]) == 0)
                a.slots[i] = patternLoad((base + ".pat").c_str());
        }
    }
    return a;
}

// A scene of width x height (focal = width, no distortion) with marker i of `count` at
// image centre (cx[i], cy[i]) and `span` pixels across, facing the camera, turned a little.
struct Placed {
    double cx, cy, span;
};

void renderScene(int width, int height, const std::vector<Placed>& placed, double noise,
                 int background, SynthImage* frame, SynthTruth* truth)
{
    const Assets& a = assets();
    CameraParam cam;
    ASSERT_EQ(synthCameraMake(width, height, width, 0.0, &cam), 0);
    camParamInit(&cam);
    static SynthScene scene;
    synthSceneInit(&cam, &scene);
    scene.background[0] = scene.background[1] = scene.background[2] =
        static_cast<uint8_t>(background);
    scene.noiseSigma = noise;
    scene.noiseSeed = 5;
    const double side = 80.0;
    for (size_t i = 0; i < placed.size(); i++) {
        SynthMarker& m = scene.markers[i];
        m.picture = &a.pictures[i % 4];
        m.side = side;
        const double z = width * side / placed[i].span;
        const double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0;
        synthPoseMake(7.0 + 30.0 * i, 0.0, 0.0, (placed[i].cx - cx) * z / width,
                      (placed[i].cy - cy) * z / width, z, m.pose);
    }
    scene.markerCount = static_cast<int>(placed.size());
    ASSERT_EQ(synthRender(&scene, frame, truth), 0);
}

// Paints a filled dark square of `side` pixels with top-left pixel (x, y).
void paintSquare(SynthImage* frame, int x, int y, int side)
{
    for (int yy = y; yy < y + side; yy++)
        for (int xx = x; xx < x + side; xx++) {
            uint8_t* p = frame->pixels.data() + (static_cast<size_t>(yy) * frame->width + xx) * 4;
            p[0] = p[1] = p[2] = 24;
        }
}

void forget(int width, int height)
{
    std::vector<uint8_t> blank(static_cast<size_t>(width) * height * 4, 255);
    DetectedMarker* list = nullptr;
    int32_t count = 0;
    for (int i = 0; i < 3; i++) markDetect(blank.data(), 100, &list, &count);
}

// Index of the fresh detection within 3 px of the truth's centre, or -1.
int findAt(const DetectedMarker* list, int32_t count, const SynthMarkerTruth& t)
{
    double cx = 0.0, cy = 0.0;
    for (int k = 0; k < 4; k++) {
        cx += t.observedCorners[k][0] / 4.0;
        cy += t.observedCorners[k][1] / 4.0;
    }
    for (int32_t i = 0; i < count; i++)
        if (std::hypot(list[i].centroid[0] - cx, list[i].centroid[1] - cy) < 3.0) return i;
    return -1;
}

// Every candidate of two paths equal, field by field and point by point.
void expectSameCandidates(const SquareCandidate* a, int32_t na, const SquareCandidate* b,
                          int32_t nb, const char* what)
{
    ASSERT_EQ(na, nb) << what;
    for (int32_t i = 0; i < na; i++) {
        EXPECT_EQ(a[i].area, b[i].area) << what << " candidate " << i;
        EXPECT_EQ(a[i].centroid[0], b[i].centroid[0]) << what << " candidate " << i;
        EXPECT_EQ(a[i].centroid[1], b[i].centroid[1]) << what << " candidate " << i;
        ASSERT_EQ(a[i].pointCount, b[i].pointCount) << what << " candidate " << i;
        EXPECT_EQ(0, std::memcmp(a[i].corners, b[i].corners, sizeof a[i].corners)) << what;
        EXPECT_EQ(0, std::memcmp(a[i].pointX, b[i].pointX, a[i].pointCount * sizeof(int32_t)));
        EXPECT_EQ(0, std::memcmp(a[i].pointY, b[i].pointY, a[i].pointCount * sizeof(int32_t)));
    }
}

// The frame-sized path with the fixed path's settings finds exactly the fixed path's
// candidates on frames where neither the label nor the candidate limit is reached:
// 32-bit labels, the pooled contours and the overlap rule change nothing there.
TEST(DetectCapacity, FrameSizedPathEqualsFixedPathWithinItsLimits)
{
    const struct {
        double noise;
        int background;
        int threshold;
    } cases[] = {{0.0, 160, 100}, {12.0, 150, 100}, {30.0, 140, 90}, {8.0, 120, 130}};
    for (const auto& c : cases) {
        SynthImage frame;
        renderScene(640, 480, {{150, 130, 110}, {470, 140, 60}, {200, 360, 45}, {480, 350, 140}},
                    c.noise, c.background, &frame, nullptr);
        int32_t regions = 0;
        int32_t *area = nullptr, *box = nullptr, *table = nullptr;
        double* centroid = nullptr;
        const int16_t* labels =
            markLabel(frame.pixels.data(), c.threshold, &regions, &area, &centroid, &box, &table);
        ASSERT_NE(labels, nullptr);
        SquareCandidate* fixed = nullptr;
        int32_t nFixed = 0;
        markFindSquares(labels, regions, table, area, centroid, box, kMarkAreaMax, kMarkAreaMin,
                        kMarkSquareFactor, &fixed, &nFixed);
        ASSERT_LT(nFixed, kMarkCandidateMax);

        static MarkWideWork work;
        MarkWideSettings s;
        s.threshold = c.threshold;
        const int32_t nWide = markWideFindSquares(&work, frame.pixels.data(), 640, 480, s);
        EXPECT_EQ(work.regions, regions) << "noise " << c.noise;
        const std::string what = "noise " + std::to_string(c.noise);
        expectSameCandidates(fixed, nFixed, work.candidates, nWide, what.c_str());
    }
}

// The same on busy desks at 1920 x 1080, where markDetect takes the frame-sized path:
// thousands of regions, the large ones reaching the frame's edge. Regions (numbering,
// areas, centroids, boxes), the label of every pixel and the squares all agree with the
// fixed path run at that size with the same maximum area.
TEST(DetectCapacity, FrameSizedPathEqualsFixedPathOnBusyFullHd)
{
    const Assets& a = assets();
    const SynthImage* pictures[4] = {&a.pictures[0], &a.pictures[1], &a.pictures[2],
                                     &a.pictures[3]};
    static SynthScene scene;
    for (int degrade = 0; degrade < 2; degrade++) {
        ASSERT_EQ(synthBusyScene(1920, 1080, degrade, pictures, 4, &scene), 0);
        SynthImage frame;
        ASSERT_EQ(synthRender(&scene, &frame, nullptr), 0);
        camParamInit(&scene.camera);
        const std::string what = "busy degrade " + std::to_string(degrade);
        const MarkWideSettings s = markWideDefaults(1920, 1080, 100);
        int32_t regions = 0;
        int32_t *area = nullptr, *box = nullptr, *table = nullptr;
        double* centroid = nullptr;
        const int16_t* labels =
            markLabel(frame.pixels.data(), 100, &regions, &area, &centroid, &box, &table);
        ASSERT_NE(labels, nullptr) << what;
        ASSERT_GT(regions, 1000) << what;
        SquareCandidate* fixed = nullptr;
        int32_t nFixed = 0;
        testing::internal::CaptureStdout();
        markFindSquares(labels, regions, table, area, centroid, box, s.maxArea, s.minArea, s.factor,
                        &fixed, &nFixed);
        testing::internal::GetCapturedStdout();
        ASSERT_LT(nFixed, kMarkCandidateMax) << what;
        ASSERT_GE(nFixed, 4) << what;

        static MarkWideWork work;
        testing::internal::CaptureStdout();
        const int32_t nWide = markWideFindSquares(&work, frame.pixels.data(), 1920, 1080, s);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(work.regions, regions) << what;
        EXPECT_EQ(0, std::memcmp(work.regionArea.data, area, regions * sizeof(int32_t))) << what;
        EXPECT_EQ(0, std::memcmp(work.regionBox.data, box, 4 * regions * sizeof(int32_t))) << what;
        EXPECT_EQ(0, std::memcmp(work.regionCentroid.data, centroid, 2 * regions * sizeof(double)))
            << what;
        long differ = 0;
        for (size_t i = 0; i < static_cast<size_t>(1920) * 1080; i++) {
            const int32_t f = labels[i] > 0 ? table[labels[i] - 1] : 0;
            const int32_t w = markWideLabelAt(&work, static_cast<int64_t>(i));
            differ += f != (w > 0 ? work.table.data[w - 1] : 0);
        }
        EXPECT_EQ(differ, 0) << what << ": pixels in different regions";
        expectSameCandidates(fixed, nFixed, work.candidates, nWide, what.c_str());
    }
}

void collectLine(void* user, const char* message)
{
    static_cast<std::string*>(user)->append(message);
}

// Within markDetect the fixed path walks its contours on the row masks its labeling
// kept, several at once, and must find what markFindSquares traces on the label image:
// on busy desks, and when the candidate capacity stops the search early (contours
// walked beyond the stop leave no candidate and no diagnostic).
TEST(DetectCapacity, DetectorWalksFindTheTracedCandidates)
{
    const Assets& a = assets();
    const SynthImage* pictures[4] = {&a.pictures[0], &a.pictures[1], &a.pictures[2],
                                     &a.pictures[3]};
    static SynthScene scene;
    std::vector<SynthImage> frames;
    std::vector<CameraParam> cameras;
    for (int size = 0; size < 2; size++) {
        for (int degrade = 0; degrade < 2; degrade++) {
            ASSERT_EQ(
                synthBusyScene(size ? 1280 : 640, size ? 720 : 480, degrade, pictures, 4, &scene),
                0);
            frames.emplace_back();
            ASSERT_EQ(synthRender(&scene, &frames.back(), nullptr), 0);
            cameras.push_back(scene.camera);
        }
    }
    // Two small squares, then (in region order) an outline too long to walk.
    SynthImage stop;
    synthImageMake(640, 480, 255, 255, 255, &stop);
    paintSquare(&stop, 30, 4, 12);
    paintSquare(&stop, 60, 4, 12);
    for (int x = 20; x < 100; x++) paintSquare(&stop, x, 20, 1);
    for (int x = 20; x < 100; x += 2)
        for (int y = 21; y < 180; y++) paintSquare(&stop, x, y, 1);
    frames.push_back(stop);
    cameras.push_back(cameras[0]);
    for (size_t f = 0; f < frames.size(); f++) {
        for (int capacity : {kMarkCandidateMax, 1}) {
            const std::string what =
                "frame " + std::to_string(f) + " capacity " + std::to_string(capacity);
            MarkOptions o = markDefaultOptions();
            o.candidateMax = capacity;
            MarkDetector* d = markDetectorCreate(&o, nullptr);
            ASSERT_NE(d, nullptr);
            ASSERT_EQ(markDetectorSetCamera(d, &cameras[f]), 0);
            std::string said[2];
            std::vector<SquareCandidate> found[2];
            MarkStats stats[2];
            for (int walked = 0; walked < 2; walked++) {
                markDetectorSetDiagnostic(d, collectLine, &said[walked]);
                int32_t regions = 0;
                int32_t *area = nullptr, *box = nullptr, *table = nullptr;
                double* centroid = nullptr;
                const int16_t* labels = markDetectorLabel(d, frames[f].pixels.data(), 100, &regions,
                                                          &area, &centroid, &box, &table);
                ASSERT_NE(labels, nullptr) << what;
                ASSERT_EQ(d->label->masksKept, 1) << what;
                SquareCandidate* list = nullptr;
                int32_t n = 0;
                const uint64_t* masks = walked ? d->label->rowMasks : nullptr;
                ASSERT_EQ(markFindSquaresIn(d, labels, masks, regions, table, area, centroid, box,
                                            kMarkAreaMax, kMarkAreaMin, kMarkSquareFactor, &list,
                                            &n),
                          0);
                found[walked].assign(list, list + n);
                stats[walked] = d->stats;
            }
            EXPECT_EQ(said[1], said[0]) << what;
            EXPECT_EQ(stats[1].sizedRegions, stats[0].sizedRegions) << what;
            EXPECT_EQ(stats[1].squares, stats[0].squares) << what;
            EXPECT_EQ(stats[1].candidatesFull, stats[0].candidatesFull) << what;
            expectSameCandidates(found[0].data(), static_cast<int32_t>(found[0].size()),
                                 found[1].data(), static_cast<int32_t>(found[1].size()),
                                 what.c_str());
            if (f == frames.size() - 1) {
                EXPECT_EQ(said[0], capacity == 1 ? "" : "??? 3\n");
            }
            markDetectorRelease(d);
        }
    }
}

// At 640 x 480 the candidate list takes the first 30 squares in region order, before
// overlaps are removed: 31 small squares above a marker hide it. At 1920 x 1080 all
// squares are compared first and the largest kept, so the marker is found.
TEST(DetectCapacity, ManySmallSquaresHideAMarkerOnlyWithinTheFixedPath)
{
    const struct {
        int width, height;
        bool found;
    } cases[] = {{640, 480, false}, {1920, 1080, true}};
    for (const auto& c : cases) {
        SynthImage frame;
        SynthTruth truth;
        renderScene(c.width, c.height, {{c.width / 2.0, c.height * 0.7, c.height * 0.3}}, 0.0, 160,
                    &frame, &truth);
        for (int i = 0; i < 31; i++)
            paintSquare(&frame, 20 + (i % 16) * 30, 20 + (i / 16) * 30, 14);
        forget(c.width, c.height);
        DetectedMarker* list = nullptr;
        int32_t count = 0;
        ASSERT_EQ(markDetect(frame.pixels.data(), 100, &list, &count), 0);
        const int at = findAt(list, count, truth.markers[0]);
        EXPECT_EQ(at >= 0, c.found) << c.width << " x " << c.height << ": " << count << " reported";
        if (at >= 0) {
            EXPECT_EQ(list[at].patternId, assets().slots[0]);
        }
        EXPECT_EQ(count, kMarkCandidateMax) << "the list is full either way";
    }
}

// A noisy 1920 x 1080 frame needs more than 32767 provisional labels: 16-bit labeling
// fails on it, markDetect labels it all and finds the markers.
TEST(DetectCapacity, NoisyFullHdFrameNeverRunsOutOfLabels)
{
    SynthImage frame;
    SynthTruth truth;
    renderScene(1920, 1080, {{400, 300, 200}, {1400, 300, 150}, {500, 800, 120}, {1500, 800, 250}},
                30.0, 110, &frame, &truth);
    int32_t regions = 0;
    int32_t *area = nullptr, *box = nullptr, *table = nullptr;
    double* centroid = nullptr;
    EXPECT_EQ(markLabel(frame.pixels.data(), 100, &regions, &area, &centroid, &box, &table),
              nullptr)
        << "the frame should need more than " << kMarkLabelMax << " labels";
    forget(1920, 1080);
    DetectedMarker* list = nullptr;
    int32_t count = 0;
    ASSERT_EQ(markDetect(frame.pixels.data(), 100, &list, &count), 0);
    EXPECT_GT(markWideDefaultWork()->labels, kMarkLabelMax);
    for (int i = 0; i < 4; i++) {
        const int at = findAt(list, count, truth.markers[i]);
        ASSERT_GE(at, 0) << "marker " << i << " not found";
        EXPECT_EQ(list[at].patternId, assets().slots[i]) << "marker " << i;
    }
}

// The maximum area grows with the frame: a 600-pixel marker (ring area about 270,000
// pixels) is found in a 1920 x 1080 frame.
TEST(DetectCapacity, MaximumAreaScalesWithTheFrame)
{
    EXPECT_EQ(markWideDefaults(1920, 1080, 100).maxArea, 675000);
    EXPECT_EQ(markWideDefaults(1280, 820, 100).maxArea, 341666);
    SynthImage frame;
    SynthTruth truth;
    renderScene(1920, 1080, {{900, 540, 600}}, 4.0, 160, &frame, &truth);
    forget(1920, 1080);
    DetectedMarker* list = nullptr;
    int32_t count = 0;
    ASSERT_EQ(markDetect(frame.pixels.data(), 100, &list, &count), 0);
    const int at = findAt(list, count, truth.markers[0]);
    ASSERT_GE(at, 0);
    EXPECT_GT(list[at].area, kMarkAreaMax);
    EXPECT_EQ(list[at].patternId, assets().slots[0]);
}

}  // namespace

namespace {

// The frameSized option at 640 x 480: the marker under 31 small squares is found, and
// on frames with fewer squares than candidates the results are bit-identical to the
// defaults.
TEST(DetectCapacity, FrameSizedOptionAtEverySize)
{
    MarkOptions sized = markDefaultOptions();
    sized.frameSized = 1;
    SynthImage frame;
    SynthTruth truth;
    renderScene(640, 480, {{320, 336, 144}}, 0.0, 160, &frame, &truth);
    for (int i = 0; i < 31; i++) paintSquare(&frame, 20 + (i % 16) * 30, 20 + (i / 16) * 30, 14);
    const std::vector<DetectedMarker> found = detectWith(frame, sized);
    const int at = findAt(found.data(), static_cast<int32_t>(found.size()), truth.markers[0]);
    ASSERT_GE(at, 0);
    EXPECT_EQ(found[at].patternId, assets().slots[0]);

    for (double noise : {0.0, 10.0}) {
        renderScene(640, 480, {{150, 130, 110}, {470, 140, 60}, {200, 360, 45}, {480, 350, 140}},
                    noise, 150, &frame, nullptr);
        const auto a = detectWith(frame, markDefaultOptions());
        const auto b = detectWith(frame, sized);
        ASSERT_EQ(a.size(), b.size()) << "noise " << noise;
        ASSERT_LT(a.size(), static_cast<size_t>(kMarkCandidateMax));
        for (size_t i = 0; i < a.size(); i++)
            EXPECT_EQ(0, std::memcmp(&a[i], &b[i], sizeof a[i])) << "marker " << i;
    }
}

TEST(DetectCapacity, RealWorldOptionsOutOfRangeAreRefused)
{
    const MarkOptions robust = markRobustOptions();
    EXPECT_EQ(markOptionsCheck(&robust), 0);
    for (int k = 0; k < 12; k++) {
        MarkOptions o = robust;
        if (k == 0) o.frameSized = 2;
        if (k == 1) o.localWindow = 4;
        if (k == 2) o.localWindow = 1025;
        if (k == 3) o.localOffset = -1;
        if (k == 4) o.localPercent = 100;
        if (k == 5) o.bilinearSampling = -1;
        if (k == 6) o.softMatching = 2;
        if (k == 7) o.pixelMatching = -1;
        if (k == 8) o.secondLook = 2;
        if (k == 9) o.localCells = 2;
        if (k == 10) o.localCeiling = -1;
        if (k == 11) o.localCeiling = 256;
        EXPECT_EQ(markOptionsCheck(&o), -1) << "case " << k;
        EXPECT_EQ(markDetectorCreate(&o, nullptr), nullptr) << "case " << k;
    }
}

}  // namespace
