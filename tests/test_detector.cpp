// The detector object: several detectors in one process (different frame sizes,
// cameras and pattern sets) must not see each other, on one thread or two; the default
// detector behind markDetect must compute exactly what a created detector with the
// default options computes; a new frame size forgets remembered markers; diagnostics
// go where the detector sends them; the statistics count what each stage kept.
#include "detect/detect.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera.h"
#include "pattern/pattern.h"
#include "pose/pose.h"
#include "synth/synth.h"

namespace {

const char* const kNames[4] = {"arrow", "bars", "key", "moon"};

const SynthImage& picture(int i)
{
    static SynthImage pictures[4];
    static bool loaded[4] = {};
    if (!loaded[i]) {
        loaded[i] = true;
        const std::string path = std::string(TARLIM_SOURCE_DIR) + "/data/markers/" + kNames[i];
        EXPECT_EQ(synthPngRead((path + ".png").c_str(), &pictures[i]), 0) << path;
    }
    return pictures[i];
}

std::string patternPath(int i)
{
    return std::string(TARLIM_SOURCE_DIR) + "/data/markers/" + kNames[i] + ".pat";
}

// One rendered stream: its camera and frames. Markers move a little each frame; one
// leaves for a frame now and then (the history recalls it) and some frames are blurred
// (weaker matches that the history's identities carry over).
struct Stream {
    CameraParam camera{};
    std::vector<SynthImage> frames;
};

Stream renderStream(int width, int height, double focal, double lens, const int markers[3],
                    int frameCount, uint32_t seed)
{
    Stream s;
    EXPECT_EQ(synthCameraMake(width, height, focal, lens, &s.camera), 0);
    for (int f = 0; f < frameCount; f++) {
        SynthScene scene;
        synthSceneInit(&s.camera, &scene);
        scene.clutter = 1;
        scene.clutterSeed = seed;
        scene.blurSigma = (f % 5 == 3) ? 1.5 : 0.0;
        scene.noiseSigma = (f % 5 == 3) ? 6.0 : 0.0;
        scene.noiseSeed = seed + f;
        for (int m = 0; m < 3; m++) {
            if ((f + m) % 7 == 6) continue;  // gone for this frame
            SynthMarker& mk = scene.markers[scene.markerCount++];
            mk.picture = &picture(markers[m]);
            mk.side = 1.0;
            const double x = -1.2 + 1.2 * m + 0.03 * f;
            const double y = (m == 1 ? 0.5 : -0.4) - 0.02 * f;
            synthPoseMake(10.0 * m + 4.0 * f, 15.0 + 2.0 * f, 30.0 * m, x, y, 6.0, mk.pose);
        }
        SynthImage frame;
        EXPECT_EQ(synthRender(&scene, &frame, nullptr), 0);
        s.frames.push_back(frame);
    }
    return s;
}

// What one run reported: the list and the statistics without the times.
struct Outcome {
    int result = 0;
    std::vector<DetectedMarker> markers;
    MarkStats stats{};
};

Outcome runOnce(MarkDetector* d, const SynthImage& frame)
{
    Outcome o;
    DetectedMarker* list = nullptr;
    int32_t count = 0;
    o.result = markDetectorRun(d, frame.pixels.data(), &list, &count);
    if (o.result == 0) o.markers.assign(list, list + count);
    o.stats = d->stats;
    return o;
}

// Field by field, bit for bit (the record has padding that memcmp would compare).
bool sameMarker(const DetectedMarker& a, const DetectedMarker& b)
{
    return a.area == b.area && a.patternId == b.patternId && a.direction == b.direction &&
           std::memcmp(&a.confidence, &b.confidence, sizeof a.confidence) == 0 &&
           std::memcmp(a.centroid, b.centroid, sizeof a.centroid) == 0 &&
           std::memcmp(a.edgeLines, b.edgeLines, sizeof a.edgeLines) == 0 &&
           std::memcmp(a.cornerPoints, b.cornerPoints, sizeof a.cornerPoints) == 0;
}

// Bitwise equality of two outcome sequences; names every difference.
void expectSame(const std::vector<Outcome>& a, const std::vector<Outcome>& b, const char* what)
{
    ASSERT_EQ(a.size(), b.size()) << what;
    for (size_t f = 0; f < a.size(); f++) {
        ASSERT_EQ(a[f].result, b[f].result) << what << ", frame " << f;
        ASSERT_EQ(a[f].markers.size(), b[f].markers.size()) << what << ", frame " << f;
        for (size_t i = 0; i < a[f].markers.size(); i++) {
            EXPECT_TRUE(sameMarker(a[f].markers[i], b[f].markers[i]))
                << what << ", frame " << f << ", marker " << i;
        }
        EXPECT_EQ(std::memcmp(&a[f].stats, &b[f].stats, sizeof(MarkStats)), 0)
            << what << ", frame " << f << ": statistics differ";
    }
}

// Two streams with nothing in common: sizes, cameras (one with lens distortion) and
// pattern sets (B's set knows a marker that A's frames show but A's set does not).
struct TwoStreams {
    Stream a, b;
    PatternSet* setA = nullptr;
    PatternSet* setB = nullptr;
};

TwoStreams& twoStreams()
{
    static TwoStreams t;
    static bool made = false;
    if (!made) {
        made = true;
        const int markersA[3] = {0, 1, 2};  // arrow, bars, key
        const int markersB[3] = {2, 3, 0};  // key, moon, arrow
        t.a = renderStream(640, 480, 600.0, 40.0, markersA, 14, 5);
        t.b = renderStream(320, 240, 330.0, 0.0, markersB, 14, 9);
        t.setA = patternSetCreate();
        t.setB = patternSetCreate();
        EXPECT_EQ(patternSetLoad(t.setA, patternPath(0).c_str()), 0);
        EXPECT_EQ(patternSetLoad(t.setA, patternPath(1).c_str()), 1);
        EXPECT_EQ(patternSetLoad(t.setB, patternPath(3).c_str()), 0);
        EXPECT_EQ(patternSetLoad(t.setB, patternPath(2).c_str()), 1);
        EXPECT_EQ(patternSetLoad(t.setB, patternPath(0).c_str()), 2);
    }
    return t;
}

MarkDetector* makeDetector(const CameraParam& camera, const PatternSet* set,
                           const MarkOptions* options = nullptr)
{
    MarkDetector* d = markDetectorCreate(options, set);
    EXPECT_NE(d, nullptr);
    if (d != nullptr) {
        EXPECT_EQ(markDetectorSetCamera(d, &camera), 0);
    }
    return d;
}

std::vector<Outcome> runAlone(const Stream& s, const PatternSet* set,
                              const MarkOptions* options = nullptr)
{
    MarkDetector* d = makeDetector(s.camera, set, options);
    std::vector<Outcome> out;
    for (const SynthImage& f : s.frames) out.push_back(runOnce(d, f));
    markDetectorRelease(d);
    return out;
}

// ---- Independence ---------------------------------------------------------------------

TEST(Detector, InterleavedDetectorsGiveWhatEachGivesAlone)
{
    TwoStreams& t = twoStreams();
    const std::vector<Outcome> aloneA = runAlone(t.a, t.setA);
    const std::vector<Outcome> aloneB = runAlone(t.b, t.setB);

    // The streams must exercise what could leak between detectors: recognised
    // markers, recalled ones and markers only one of the sets knows.
    int recognisedA = 0, recalledA = 0, unknownA = 0, recognisedB = 0;
    for (const Outcome& o : aloneA) {
        recognisedA += o.stats.recognised;
        recalledA += o.stats.recalled;
        for (const DetectedMarker& m : o.markers) unknownA += m.patternId < 0;
    }
    for (const Outcome& o : aloneB) recognisedB += o.stats.recognised;
    EXPECT_GE(recognisedA, 20);
    EXPECT_GE(recalledA, 2);
    EXPECT_GE(unknownA, 5) << "A's set does not know the key marker";
    EXPECT_GE(recognisedB, 20);

    MarkDetector* a = makeDetector(t.a.camera, t.setA);
    MarkDetector* b = makeDetector(t.b.camera, t.setB);
    std::vector<Outcome> mixedA, mixedB;
    for (size_t f = 0; f < t.a.frames.size(); f++) {
        mixedA.push_back(runOnce(a, t.a.frames[f]));
        mixedB.push_back(runOnce(b, t.b.frames[f]));
    }
    markDetectorRelease(a);
    markDetectorRelease(b);
    expectSame(aloneA, mixedA, "stream A interleaved");
    expectSame(aloneB, mixedB, "stream B interleaved");
}

TEST(Detector, TwoThreadsGiveWhatOneThreadGives)
{
    TwoStreams& t = twoStreams();
    // Stream A with the default options, stream B with the robust preset (its own
    // stages and buffers); each thread runs its stream three times over on one
    // detector whose history is reset in between, so the threads overlap for long.
    const MarkOptions robust = markRobustOptions();
    const std::vector<Outcome> aloneA = runAlone(t.a, t.setA);
    const std::vector<Outcome> aloneB = runAlone(t.b, t.setB, &robust);
    std::vector<Outcome> threadA[3], threadB[3];
    auto work = [](const Stream* s, const PatternSet* set, const MarkOptions* options,
                   std::vector<Outcome>* passes) {
        MarkDetector* d = markDetectorCreate(options, set);
        if (d == nullptr || markDetectorSetCamera(d, &s->camera) < 0) return;
        for (int round = 0; round < 3; round++) {
            markDetectorResetHistory(d);
            for (const SynthImage& f : s->frames) passes[round].push_back(runOnce(d, f));
        }
        markDetectorRelease(d);
    };
    std::thread ta(work, &t.a, t.setA, nullptr, threadA);
    std::thread tb(work, &t.b, t.setB, &robust, threadB);
    ta.join();
    tb.join();
    for (int round = 0; round < 3; round++) {
        expectSame(aloneA, threadA[round], "stream A on its own thread");
        expectSame(aloneB, threadB[round], "stream B (robust) on its own thread");
    }
}

TEST(Detector, PoseWithTheCameraGivenIsTheCurrentCamerasPose)
{
    TwoStreams& t = twoStreams();
    const std::vector<Outcome> aloneA = runAlone(t.a, t.setA);
    camParamInit(&t.b.camera);  // the current camera is not A's
    CameraParam current = t.a.camera;
    int compared = 0;
    for (const Outcome& o : aloneA) {
        for (const DetectedMarker& m : o.markers) {
            if (m.patternId < 0) continue;
            const double centre[2] = {0.0, 0.0};
            double given[3][4] = {}, installed[3][4] = {};
            const double e1 = poseGetTransformWith(&t.a.camera, &m, centre, 80.0, given);
            camParamInit(&current);
            const double e2 = poseGetTransform(&m, centre, 80.0, installed);
            camParamInit(&t.b.camera);
            ASSERT_EQ(e1, e2);
            EXPECT_EQ(std::memcmp(given, installed, sizeof given), 0);
            compared++;
        }
    }
    EXPECT_GE(compared, 20);
}

// ---- The default detector -----------------------------------------------------------------

TEST(Detector, DefaultOptionsComputeExactlyWhatMarkDetectComputes)
{
    TwoStreams& t = twoStreams();
    // The default set with A's patterns in the same slots matches as A's set does.
    ASSERT_EQ(patternSetCount(patternDefaultSet()), 0) << "this case expects an empty default set";
    ASSERT_EQ(patternLoad(patternPath(0).c_str()), 0);
    ASSERT_EQ(patternLoad(patternPath(1).c_str()), 1);
    const std::vector<Outcome> created = runAlone(t.a, patternDefaultSet());
    expectSame(runAlone(t.a, t.setA), created, "a set and the default set with the same patterns");

    camParamInit(&t.a.camera);
    markDetectorResetHistory(markDetectorDefault());
    std::vector<Outcome> global;
    for (const SynthImage& f : t.a.frames) {
        Outcome o;
        DetectedMarker* list = nullptr;
        int32_t count = 0;
        o.result = markDetect(f.pixels.data(), 100, &list, &count);
        o.markers.assign(list, list + count);
        o.stats = markDetectorDefault()->stats;
        global.push_back(o);
    }
    expectSame(created, global, "markDetect against a created detector");
}

// The failing scenario of one detector used for two cameras: a marker seen at (530,
// 380) in a 640 x 480 frame must not be reported in a 320 x 240 frame.
TEST(Detector, AnotherFrameSizeForgetsRememberedMarkers)
{
    CameraParam big{}, small{};
    ASSERT_EQ(synthCameraMake(640, 480, 600.0, 0.0, &big), 0);
    ASSERT_EQ(synthCameraMake(320, 240, 300.0, 0.0, &small), 0);
    SynthScene scene;
    synthSceneInit(&big, &scene);
    scene.markerCount = 1;
    scene.markers[0].picture = &picture(0);
    synthPoseMake(0.0, 0.0, 0.0, 3.5, 2.33, 10.0, scene.markers[0].pose);  // at (530, 380)
    SynthImage frame, blankBig, blankSmall;
    ASSERT_EQ(synthRender(&scene, &frame, nullptr), 0);
    synthImageMake(640, 480, 255, 255, 255, &blankBig);
    synthImageMake(320, 240, 255, 255, 255, &blankSmall);
    PatternSet* set = patternSetCreate();
    ASSERT_EQ(patternSetLoad(set, patternPath(0).c_str()), 0);

    MarkDetector* d = makeDetector(big, set);
    Outcome seen = runOnce(d, frame);
    ASSERT_EQ(seen.markers.size(), 1u);
    EXPECT_NEAR(seen.markers[0].centroid[0], 530.0, 20.0);
    EXPECT_NEAR(seen.markers[0].centroid[1], 380.0, 20.0);
    // Same size: the blank frame recalls it.
    ASSERT_EQ(markDetectorSetCamera(d, &big), 0);
    EXPECT_EQ(runOnce(d, blankBig).stats.recalled, 1);
    // Another size: nothing to recall.
    ASSERT_EQ(markDetectorSetCamera(d, &small), 0);
    EXPECT_EQ(d->historyCount, 0);
    EXPECT_EQ(runOnce(d, blankSmall).markers.size(), 0u);
    markDetectorRelease(d);

    // The default detector, through camParamInit and markDetect.
    DetectedMarker* list = nullptr;
    int32_t count = 0;
    PatternSet* saved = patternDefaultSet();
    markDetectorSetPatterns(markDetectorDefault(), set);
    markDetectorResetHistory(markDetectorDefault());
    camParamInit(&big);
    ASSERT_EQ(markDetect(frame.pixels.data(), 100, &list, &count), 0);
    ASSERT_EQ(count, 1);
    ASSERT_EQ(list[0].patternId, 0);
    camParamInit(&small);
    ASSERT_EQ(markDetect(blankSmall.pixels.data(), 100, &list, &count), 0);
    EXPECT_EQ(count, 0) << "recalled at (" << list[0].centroid[0] << ", " << list[0].centroid[1]
                        << ") in a 320 x 240 frame";
    markDetectorSetPatterns(markDetectorDefault(), saved);
    patternSetRelease(set);
}

// ---- Diagnostics ---------------------------------------------------------------------------

// A comb: 1-pixel teeth on a spine, one region whose outline runs past 9999 points.
SynthImage combFrame(int width, int height)
{
    SynthImage f;
    synthImageMake(width, height, 255, 255, 255, &f);
    auto dark = [&](int x, int y) {
        uint8_t* p = &f.pixels[(static_cast<size_t>(y) * width + x) * 4];
        p[0] = p[1] = p[2] = 0;
    };
    for (int x = 20; x < 100; x++) dark(x, 20);
    for (int x = 20; x < 100; x += 2)
        for (int y = 21; y < 180; y++) dark(x, y);
    return f;
}

void collect(void* user, const char* message)
{
    static_cast<std::string*>(user)->append(message);
}

TEST(Detector, DiagnosticsGoToTheCallbackOrNowhere)
{
    CameraParam camera{};
    ASSERT_EQ(synthCameraMake(200, 200, 200.0, 0.0, &camera), 0);
    const SynthImage comb = combFrame(200, 200);
    MarkDetector* d = makeDetector(camera, nullptr);
    std::string got;
    markDetectorSetDiagnostic(d, collect, &got);
    testing::internal::CaptureStdout();
    runOnce(d, comb);
    markDetectorSetDiagnostic(d, nullptr, nullptr);
    runOnce(d, comb);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(got, "??? 3\n");
    markDetectorRelease(d);

    // The default detector prints them, as the viewer always has.
    camParamInit(&camera);
    DetectedMarker* list = nullptr;
    int32_t count = 0;
    testing::internal::CaptureStdout();
    ASSERT_EQ(markDetect(comb.pixels.data(), 100, &list, &count), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "??? 3\n");
}

// Contours that cannot be walked to the end, several at once: the frame-sized path walks
// them side by side but reports them in region order, as the fixed path does.
TEST(Detector, BothPathsReportFailedContoursInRegionOrder)
{
    CameraParam camera{};
    ASSERT_EQ(synthCameraMake(300, 240, 300.0, 0.0, &camera), 0);
    SynthImage f = combFrame(300, 240);  // its outline is too long (region 1)
    auto dark = [&](int x, int y) {
        uint8_t* p = &f.pixels[(static_cast<size_t>(y) * 300 + x) * 4];
        p[0] = p[1] = p[2] = 0;
    };
    dark(150, 20);                                // a lone pixel (region 2)
    for (int x = 160; x < 240; x++) dark(x, 30);  // a second comb (region 3)
    for (int x = 160; x < 240; x += 2)
        for (int y = 31; y < 200; y++) dark(x, y);
    for (int y = 205; y < 215; y++)  // a small block walked while the combs are
        for (int x = 20; x < 30; x++) dark(x, y);
    std::string got[2];
    MarkStats stats[2];
    for (int sized = 0; sized < 2; sized++) {
        MarkOptions o = markDefaultOptions();
        o.minArea = 1;
        o.frameSized = sized;
        MarkDetector* d = makeDetector(camera, nullptr, &o);
        markDetectorSetDiagnostic(d, collect, &got[sized]);
        stats[sized] = runOnce(d, f).stats;
        markDetectorRelease(d);
    }
    EXPECT_EQ(got[0], "??? 3\n??? 2\n??? 3\n");
    EXPECT_EQ(got[1], got[0]);
    EXPECT_EQ(stats[1].sizedRegions, stats[0].sizedRegions);
    EXPECT_EQ(stats[1].squares, 1);  // the block
    EXPECT_EQ(stats[0].squares, 1);

    // The longest outline walked: a bar of 5000 pixels has 9998 points; a pixel more,
    // under its left end, makes 9999: too long.
    CameraParam wide{};
    ASSERT_EQ(synthCameraMake(5010, 6, 3000.0, 0.0, &wide), 0);
    for (int more = 0; more < 2; more++) {
        SynthImage bar;
        synthImageMake(5010, 6, 255, 255, 255, &bar);
        auto darkBar = [&](int x, int y) {
            uint8_t* p = &bar.pixels[(static_cast<size_t>(y) * 5010 + x) * 4];
            p[0] = p[1] = p[2] = 0;
        };
        for (int x = 5; x < 5005; x++) darkBar(x, 2);
        if (more) darkBar(5, 3);
        for (int sized = 0; sized < 2; sized++) {
            MarkOptions o = markDefaultOptions();
            o.frameSized = sized;
            MarkDetector* d = makeDetector(wide, nullptr, &o);
            std::string message;
            markDetectorSetDiagnostic(d, collect, &message);
            runOnce(d, bar);
            EXPECT_EQ(message, more ? "??? 3\n" : "") << "more " << more << " sized " << sized;
            markDetectorRelease(d);
        }
    }
}

// ---- Statistics and options ----------------------------------------------------------------

TEST(Detector, StatisticsCountWhatEachStageKept)
{
    TwoStreams& t = twoStreams();
    MarkOptions options = markDefaultOptions();
    options.timeStages = 1;
    MarkDetector* d = markDetectorCreate(&options, t.setB);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(markDetectorSetCamera(d, &t.b.camera), 0);
    const Outcome o = runOnce(d, t.b.frames[0]);  // key, moon, arrow all in view
    const MarkStats& s = o.stats;
    EXPECT_EQ(s.recognised, 3);
    EXPECT_EQ(s.recalled, 0);
    EXPECT_GE(s.markers, 3);
    EXPECT_GE(s.regions, s.sizedRegions);
    EXPECT_GE(s.sizedRegions, s.squares);
    EXPECT_GE(s.squares, s.candidates);
    EXPECT_GE(s.candidates, s.markers);
    EXPECT_GT(s.sizedRegions, s.squares) << "clutter has regions that are not squares";
    EXPECT_EQ(s.candidatesFull, 0);
    for (int k = 0; k < kMarkStageCount; k++) EXPECT_GT(s.stageSeconds[k], 0.0) << "stage " << k;

    // Too few candidates: the search stops and says so.
    options.candidateMax = 2;
    options.timeStages = 0;
    ASSERT_EQ(markDetectorSetOptions(d, &options), 0);
    const Outcome few = runOnce(d, t.b.frames[0]);
    EXPECT_EQ(few.stats.squares, 2);
    EXPECT_EQ(few.stats.candidatesFull, 1);
    EXPECT_LE(few.markers.size(), 2u) << "a resize empties the history too";
    EXPECT_EQ(few.stats.stageSeconds[kMarkStageLabel], 0.0);
    markDetectorRelease(d);
}

TEST(Detector, OptionsOutOfRangeAreRefusedAndChangeNothing)
{
    MarkOptions o = markDefaultOptions();
    EXPECT_EQ(markOptionsCheck(&o), 0);
    const MarkOptions bad[] = {
        [] {
            MarkOptions x = markDefaultOptions();
            x.candidateMax = 0;
            return x;
        }(),
        [] {
            MarkOptions x = markDefaultOptions();
            x.candidateMax = kMarkCandidateCap + 1;
            return x;
        }(),
        [] {
            MarkOptions x = markDefaultOptions();
            x.historyAgeLimit = 0;
            return x;
        }(),
        [] {
            MarkOptions x = markDefaultOptions();
            x.historyAgeLimit = kMarkAgeLimitCap + 1;
            return x;
        }(),
        [] {
            MarkOptions x = markDefaultOptions();
            x.squareFactor = -1.0;
            return x;
        }(),
        [] {
            MarkOptions x = markDefaultOptions();
            x.timeStages = 2;
            return x;
        }(),
    };
    MarkDetector* d = markDetectorCreate(nullptr, nullptr);
    ASSERT_NE(d, nullptr);
    for (size_t i = 0; i < sizeof bad / sizeof bad[0]; i++) {
        EXPECT_EQ(markOptionsCheck(&bad[i]), -1) << "case " << i;
        EXPECT_EQ(markDetectorCreate(&bad[i], nullptr), nullptr) << "case " << i;
        EXPECT_EQ(markDetectorSetOptions(d, &bad[i]), -1) << "case " << i;
        EXPECT_EQ(d->options.candidateMax, kMarkCandidateMax) << "case " << i;
        EXPECT_EQ(d->options.historyAgeLimit, 4) << "case " << i;
        EXPECT_EQ(d->options.squareFactor, 1.0) << "case " << i;
        EXPECT_EQ(d->options.timeStages, 0) << "case " << i;
    }
    // The default detector's storage is static: no resizing.
    o.candidateMax = 40;
    EXPECT_EQ(markDetectorSetOptions(markDetectorDefault(), &o), -1);
    EXPECT_EQ(markDetectorDefault()->options.candidateMax, kMarkCandidateMax);
    // Cameras the detector cannot take leave the installed one.
    CameraParam camera{};
    ASSERT_EQ(synthCameraMake(64, 48, 60.0, 0.0, &camera), 0);
    ASSERT_EQ(markDetectorSetCamera(d, &camera), 0);
    CameraParam wrong = camera;
    wrong.width = 0;
    EXPECT_EQ(markDetectorSetCamera(d, &wrong), -1);
    wrong.width = kMarkSideMax + 1;
    EXPECT_EQ(markDetectorSetCamera(d, &wrong), -1);
    EXPECT_EQ(d->camera.width, 64);
    markDetectorRelease(d);
}

TEST(PatternSet, LoadFreeAndCountPerSet)
{
    PatternSet* a = patternSetCreate();
    PatternSet* b = patternSetCreate();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(patternSetLoad(a, patternPath(0).c_str()), 0);
    EXPECT_EQ(patternSetLoad(a, patternPath(1).c_str()), 1);
    EXPECT_EQ(patternSetLoad(b, patternPath(2).c_str()), 0);
    EXPECT_EQ(patternSetCount(a), 2);
    EXPECT_EQ(patternSetCount(b), 1);
    // A freed slot is the next one filled; freeing it twice is refused.
    EXPECT_EQ(patternSetFree(a, 0), 0);
    EXPECT_EQ(patternSetFree(a, 0), -1);
    EXPECT_EQ(patternSetFree(a, kPatternSlotMax), -1);
    EXPECT_EQ(patternSetCount(a), 1);
    EXPECT_EQ(patternSetLoad(a, patternPath(3).c_str()), 0);
    // Failures have their own codes and print nothing.
    testing::internal::CaptureStdout();
    EXPECT_EQ(patternSetLoad(a, "/nonexistent/file.pat"), kPatternNotFound);
    EXPECT_EQ(patternSetLoad(a, (std::string(TARLIM_SOURCE_DIR) + "/CMakeLists.txt").c_str()),
              kPatternReadError);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(patternSetCount(a), 2);
    while (patternSetCount(b) < kPatternSlotMax)
        ASSERT_GE(patternSetLoad(b, patternPath(2).c_str()), 0);
    EXPECT_EQ(patternSetLoad(b, patternPath(2).c_str()), kPatternSetFull);

    // No set: nothing to match.
    uint8_t sample[kPatternValues];
    for (int k = 0; k < kPatternValues; k++) sample[k] = static_cast<uint8_t>(k % 256);
    int32_t id = 0, dir = 0;
    double conf = 1.0;
    EXPECT_EQ(patternSetMatch(nullptr, sample, &id, &dir, &conf), 0);
    EXPECT_EQ(id, -1);
    EXPECT_EQ(conf, 0.0);
    patternSetRelease(a);
    patternSetRelease(b);
}

}  // namespace
