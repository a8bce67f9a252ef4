// Stage by stage on one busy desk frame (640 x 480, sharp or with blur and noise), each
// stage through its own public function on the outputs of the one before, as markDetect
// chains them: labeling (markLabel: thresholding and labeling in one pass), contours
// (markTraceContour on every region of the size range), the square test
// (markCheckSquare), edges (markFitEdges), sampling (patternSample) and matching
// (patternMatch) per candidate; "whole" is markDetect. Stage 7 is the thresholding
// alone (the dark masks that labeling reads), where the tree has it as a step of its own.
//
// Run: bench_stages --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "camera/camera.h"
#include "detect/detect.h"
#include "pattern/pattern.h"
#include "synth/synth.h"

// The threshold alone exists as a step of its own only where labeling reads bit masks.
#if __has_include("detect/runs.h")
#include "detect/runs.h"
#define BENCH_THRESHOLD_ALONE 1
#endif

namespace {

const char* const kStageMarkers[4] = {"arrow", "bars", "key", "moon"};

// The busy desk with the shipped markers, its camera installed and patterns loaded.
const SynthImage* stageFrame(bool degrade)
{
    static SynthImage frames[2];
    static bool made[2] = {false, false};
    static SynthImage pictures[4];
    static bool loaded = false;
    if (!loaded) {
        loaded = true;
        for (int i = 0; i < 4; i++) {
            const std::string base =
                std::string(TARLIM_SOURCE_DIR) + "/data/markers/" + kStageMarkers[i];
            if (synthPngRead((base + ".png").c_str(), &pictures[i]) < 0 ||
                patternLoad((base + ".pat").c_str()) < 0)
                return nullptr;
        }
    }
    static SynthScene scene;
    const SynthImage* list[4] = {&pictures[0], &pictures[1], &pictures[2], &pictures[3]};
    if (synthBusyScene(640, 480, degrade ? 1 : 0, list, 4, &scene) < 0) return nullptr;
    CameraParam camera = scene.camera;
    camParamInit(&camera);
    if (!made[degrade] && synthRender(&scene, &frames[degrade], nullptr) < 0) return nullptr;
    made[degrade] = true;
    return &frames[degrade];
}

// The regions of the frame and the squares among them, as the stages see them.
struct StageInputs {
    int32_t regions = 0;
    int32_t *area = nullptr, *box = nullptr, *table = nullptr;
    double* centroid = nullptr;
    const int16_t* labels = nullptr;
    std::vector<int32_t> sized;            // regions within the size range (0-based)
    std::vector<SquareCandidate> traced;   // their contours
    std::vector<SquareCandidate> squares;  // those that passed the square test
};

bool stageInputs(const uint8_t* frame, StageInputs* in)
{
    in->labels =
        markLabel(frame, 100, &in->regions, &in->area, &in->centroid, &in->box, &in->table);
    if (in->labels == nullptr) return false;
    for (int32_t r = 0; r < in->regions; r++) {
        const int32_t* b = in->box + 4 * r;
        if (in->area[r] < kMarkAreaMin || in->area[r] > kMarkAreaMax) continue;
        if (b[0] == 1 || b[1] == camImageWidth - 2 || b[2] == 1 || b[3] == camImageHeight - 2)
            continue;
        in->sized.push_back(r);
        SquareCandidate c{};
        if (markTraceContour(in->labels, in->table, r + 1, b, &c) < 0) continue;
        in->traced.push_back(c);
        if (markCheckSquare(in->area[r], &c, kMarkSquareFactor) == 0) in->squares.push_back(c);
    }
    return true;
}

enum Stage { kLabel, kContours, kSquareTest, kEdges, kSampling, kMatching, kWhole, kThreshold };

void benchStage(benchmark::State& state)
{
    const int stage = static_cast<int>(state.range(0));
    const SynthImage* frame = stageFrame(state.range(1) != 0);
    static StageInputs in[2];
    StageInputs& s = in[state.range(1) != 0];
    if (frame == nullptr || (s.labels == nullptr && !stageInputs(frame->pixels.data(), &s))) {
        state.SkipWithError("cannot render the frame (missing data/markers?)");
        return;
    }
    const uint8_t* px = frame->pixels.data();
    int32_t n = 0, *a = nullptr, *b = nullptr, *t = nullptr;
    double* c = nullptr;
    std::vector<SquareCandidate> work;
    double edges[4][3], corners[4][2];
    uint8_t sample[kPatternValues];
    std::vector<std::vector<uint8_t>> samples;
    for (const SquareCandidate& q : s.squares) {
        patternSample(px, q.pointX, q.pointY, q.corners, sample);
        samples.emplace_back(sample, sample + kPatternValues);
    }
    DetectedMarker* list = nullptr;
#ifdef BENCH_THRESHOLD_ALONE
    std::vector<uint64_t> masks(static_cast<size_t>(markMaskWords(frame->width)));
#endif
    for (auto _ : state) {
        switch (stage) {
            case kLabel:
                benchmark::DoNotOptimize(markLabel(px, 100, &n, &a, &c, &b, &t));
                break;
            case kContours:
                for (int32_t r : s.sized) {
                    static SquareCandidate q;
                    benchmark::DoNotOptimize(
                        markTraceContour(s.labels, s.table, r + 1, s.box + 4 * r, &q));
                }
                break;
            case kSquareTest:
                state.PauseTiming();
                work = s.traced;
                state.ResumeTiming();
                for (size_t i = 0; i < work.size(); i++)
                    benchmark::DoNotOptimize(
                        markCheckSquare(s.area[s.sized[i]], &work[i], kMarkSquareFactor));
                break;
            case kEdges:
                for (const SquareCandidate& q : s.squares)
                    benchmark::DoNotOptimize(
                        markFitEdges(q.pointX, q.pointY, q.corners, edges, corners));
                break;
            case kSampling:
                for (const SquareCandidate& q : s.squares)
                    benchmark::DoNotOptimize(
                        patternSample(px, q.pointX, q.pointY, q.corners, sample));
                break;
            case kMatching:
                for (const std::vector<uint8_t>& v : samples) {
                    int32_t id = 0, dir = 0;
                    double cf = 0.0;
                    benchmark::DoNotOptimize(patternMatch(v.data(), &id, &dir, &cf));
                }
                break;
            case kThreshold:
#ifdef BENCH_THRESHOLD_ALONE
                for (int y = 1; y < frame->height - 1; y++)
                    markMaskGlobal(px + static_cast<size_t>(y) * frame->width * 4, frame->width,
                                   300, masks.data());
                benchmark::DoNotOptimize(masks.data());
                break;
#else
                state.SkipWithError("thresholding is not a step of its own in this tree");
                return;
#endif
            default:
                benchmark::DoNotOptimize(markDetect(px, 100, &list, &n));
        }
    }
    state.counters["regions"] = s.regions;
    state.counters["sized"] = static_cast<double>(s.sized.size());
    state.counters["squares"] = static_cast<double>(s.squares.size());
}

}  // namespace

BENCHMARK(benchStage)
    ->ArgNames({"stage", "blurnoise"})
    ->ArgsProduct({{kLabel, kContours, kSquareTest, kEdges, kSampling, kMatching, kWhole,
                    kThreshold},
                   {0, 1}})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
