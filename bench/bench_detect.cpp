// Speed of markDetect on rendered frames: the shipped markers on a cluttered
// background, sharp or with blur and sensor noise, at three frame sizes; and on the
// busy desk scenes (synthBusyScene), where about a third of the pixels are dark.
//
// Run: bench_detect --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// (figures in docs/performance.md are the medians). The counter "markers" is the
// number of markers reported per frame, so a faster but wrong detector shows. The busy
// benchmarks also report "dark" (percent of the pixels dark at threshold 100) and
// "regions" (dark regions labelled), the work a frame gives the labeling.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "camera/camera.h"
#include "detect/detect.h"
#include "pattern/pattern.h"
#include "synth/synth.h"

namespace {

const char* const kBenchMarkers[4] = {"arrow", "bars", "key", "moon"};

struct BenchAssets {
    SynthImage pictures[4];
    bool ok = false;
};

const BenchAssets& benchAssets()
{
    static BenchAssets assets;
    static bool loaded = false;
    if (loaded) return assets;
    loaded = true;
    assets.ok = true;
    for (int i = 0; i < 4; i++) {
        const std::string base =
            std::string(TARLIM_SOURCE_DIR) + "/data/markers/" + kBenchMarkers[i];
        if (synthPngRead((base + ".png").c_str(), &assets.pictures[i]) < 0 ||
            patternLoad((base + ".pat").c_str()) < 0) {
            assets.ok = false;
        }
    }
    return assets;
}

// Renders a frame of width x height with `count` markers (0 ... 8) laid out on a 4 x 2
// grid with assorted spins and tilts, each about a fifth of the frame height.
bool benchFrame(int width, int height, int count, bool degrade, SynthImage* frame)
{
    const BenchAssets& assets = benchAssets();
    if (!assets.ok) return false;
    CameraParam camera{};
    const double focal = 0.9 * width;
    if (synthCameraMake(width, height, focal, 20.0 * (640.0 / width) * (640.0 / width), &camera) <
        0)
        return false;
    camParamInit(&camera);
    static SynthScene scene;
    synthSceneInit(&camera, &scene);
    scene.clutter = 1;
    scene.clutterSeed = 17;
    scene.lightGradient = 0.3;
    scene.lightAngleDeg = 30.0;
    if (degrade) {
        scene.blurSigma = 0.8;
        scene.noiseSigma = 6.0;
    }
    const double side = 80.0;
    const double z = focal * side / (0.2 * height);
    for (int i = 0; i < count; i++) {
        SynthMarker& m = scene.markers[i];
        m.picture = &assets.pictures[i % 4];
        m.side = side;
        const double px = width * (0.14 + 0.24 * (i % 4)) - width / 2.0;
        const double py = height * (0.3 + 0.42 * (i / 4)) - height / 2.0;
        synthPoseMake(17.0 + 41.0 * i, 10.0 + 5.0 * (i % 5), 30.0 * i, px * z / focal,
                      py * z / focal, z, m.pose);
    }
    scene.markerCount = count;
    return synthRender(&scene, frame, nullptr) == 0;
}

void benchDetect(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const int count = static_cast<int>(state.range(2));
    const bool degrade = state.range(3) != 0;
    SynthImage frame;
    if (!benchFrame(width, height, count, degrade, &frame)) {
        state.SkipWithError("cannot render the frame (missing data/markers?)");
        return;
    }
    DetectedMarker* list = nullptr;
    int32_t found = 0;
    for (auto _ : state) {
        if (markDetect(frame.pixels.data(), 100, &list, &found) < 0) {
            state.SkipWithError("markDetect failed");
            return;
        }
        benchmark::DoNotOptimize(list);
    }
    int recognised = 0;
    for (int i = 0; i < found; i++) recognised += list[i].patternId >= 0;
    state.counters["markers"] = found;
    state.counters["recognised"] = recognised;
}

// The same frames through a detector with the robust preset (candidateMax 128).
void benchRobust(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const int count = static_cast<int>(state.range(2));
    const bool degrade = state.range(3) != 0;
    SynthImage frame;
    if (!benchFrame(width, height, count, degrade, &frame)) {
        state.SkipWithError("cannot render the frame (missing data/markers?)");
        return;
    }
    const MarkOptions options = markRobustOptions();
    MarkDetector* d = markDetectorCreate(&options, patternDefaultSet());
    if (d == nullptr || markDetectorSetCamera(d, &camCurrentParam) < 0) {
        markDetectorRelease(d);
        state.SkipWithError("no detector");
        return;
    }
    DetectedMarker* list = nullptr;
    int32_t found = 0;
    for (auto _ : state) {
        if (markDetectorRun(d, frame.pixels.data(), &list, &found) < 0) {
            state.SkipWithError("markDetectorRun failed");
            break;
        }
        benchmark::DoNotOptimize(list);
    }
    int recognised = 0;
    for (int i = 0; i < found; i++) recognised += list[i].patternId >= 0;
    state.counters["markers"] = found;
    state.counters["recognised"] = recognised;
    markDetectorRelease(d);
}

// The busy desk of width x height, sharp or with blur and noise; its camera installed
// as the default detector's. *dark receives the percent of pixels dark at threshold 100.
bool benchBusyFrame(int width, int height, bool degrade, SynthImage* frame, CameraParam* camera,
                    double* dark)
{
    const BenchAssets& assets = benchAssets();
    if (!assets.ok) return false;
    const SynthImage* pictures[4] = {&assets.pictures[0], &assets.pictures[1], &assets.pictures[2],
                                     &assets.pictures[3]};
    static SynthScene scene;
    if (synthBusyScene(width, height, degrade ? 1 : 0, pictures, 4, &scene) < 0 ||
        synthRender(&scene, frame, nullptr) < 0)
        return false;
    *camera = scene.camera;
    camParamInit(camera);
    long count = 0;
    const std::size_t pixels = frame->pixels.size() / 4;
    for (std::size_t i = 0; i < pixels; i++) {
        const std::uint8_t* p = &frame->pixels[i * 4];
        count += p[0] + p[1] + p[2] <= 300;
    }
    *dark = 100.0 * static_cast<double>(count) / static_cast<double>(pixels);
    return true;
}

void benchBusyCounters(benchmark::State& state, const DetectedMarker* list, int32_t found,
                       const MarkStats& stats, double dark)
{
    int recognised = 0;
    for (int i = 0; i < found; i++) recognised += list[i].patternId >= 0;
    state.counters["markers"] = found;
    state.counters["recognised"] = recognised;
    state.counters["dark"] = dark;
    state.counters["regions"] = stats.regions;
}

// markDetect, exactly as the viewer runs it, on the busy desk.
void benchBusy(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const bool degrade = state.range(2) != 0;
    SynthImage frame;
    CameraParam camera{};
    double dark = 0.0;
    if (!benchBusyFrame(width, height, degrade, &frame, &camera, &dark)) {
        state.SkipWithError("cannot render the frame (missing data/markers?)");
        return;
    }
    // Markers remembered from another benchmark's frame must not be counted here.
    markDetectorResetHistory(markDetectorDefault());
    DetectedMarker* list = nullptr;
    int32_t found = 0;
    for (auto _ : state) {
        if (markDetect(frame.pixels.data(), 100, &list, &found) < 0) {
            state.SkipWithError("markDetect failed");
            return;
        }
        benchmark::DoNotOptimize(list);
    }
    benchBusyCounters(state, list, found, markDetectorDefault()->stats, dark);
}

// A detector with `options` on the busy desk; with timeStages on, the mean time of
// each stage per frame is reported in microseconds ("<stage>_us").
void benchBusyWith(benchmark::State& state, const MarkOptions& options)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const bool degrade = state.range(2) != 0;
    SynthImage frame;
    CameraParam camera{};
    double dark = 0.0;
    if (!benchBusyFrame(width, height, degrade, &frame, &camera, &dark)) {
        state.SkipWithError("cannot render the frame (missing data/markers?)");
        return;
    }
    MarkDetector* d = markDetectorCreate(&options, patternDefaultSet());
    if (d == nullptr || markDetectorSetCamera(d, &camera) < 0) {
        markDetectorRelease(d);
        state.SkipWithError("no detector");
        return;
    }
    DetectedMarker* list = nullptr;
    int32_t found = 0;
    double stageTotal[kMarkStageCount] = {};
    for (auto _ : state) {
        if (markDetectorRun(d, frame.pixels.data(), &list, &found) < 0) {
            state.SkipWithError("markDetectorRun failed");
            break;
        }
        benchmark::DoNotOptimize(list);
        for (int s = 0; s < kMarkStageCount; s++) stageTotal[s] += d->stats.stageSeconds[s];
    }
    benchBusyCounters(state, list, found, d->stats, dark);
    if (options.timeStages && state.iterations() > 0) {
        static const char* const names[kMarkStageCount] = {"label", "squares", "info", "history"};
        for (int s = 0; s < kMarkStageCount; s++) {
            const std::string name =
                (names[s] != nullptr ? std::string(names[s]) : "stage" + std::to_string(s)) + "_us";
            state.counters[name] = stageTotal[s] * 1e6 / static_cast<double>(state.iterations());
        }
    }
    markDetectorRelease(d);
}

// The robust preset on the busy desk.
void benchBusyRobust(benchmark::State& state)
{
    benchBusyWith(state, markRobustOptions());
}

// The robust preset with the local mean read from cells.
void benchBusyRobustCells(benchmark::State& state)
{
    MarkOptions options = markRobustOptions();
    options.localCells = 1;
    benchBusyWith(state, options);
}

// The exact defaults on the busy desk, stage by stage (two clock reads per stage).
void benchBusyStages(benchmark::State& state)
{
    MarkOptions options = markDefaultOptions();
    options.timeStages = 1;
    benchBusyWith(state, options);
}

}  // namespace

BENCHMARK(benchBusy)
    ->ArgNames({"w", "h", "blurnoise"})
    ->Args({640, 480, 0})
    ->Args({640, 480, 1})
    ->Args({1280, 720, 0})
    ->Args({1280, 720, 1})
    ->Args({1920, 1080, 0})
    ->Args({1920, 1080, 1})
    ->Unit(benchmark::kMillisecond);

BENCHMARK(benchBusyRobust)
    ->ArgNames({"w", "h", "blurnoise"})
    ->Args({640, 480, 0})
    ->Args({640, 480, 1})
    ->Unit(benchmark::kMillisecond);

BENCHMARK(benchBusyRobustCells)
    ->ArgNames({"w", "h", "blurnoise"})
    ->Args({640, 480, 0})
    ->Args({640, 480, 1})
    ->Unit(benchmark::kMillisecond);

BENCHMARK(benchBusyStages)
    ->ArgNames({"w", "h", "blurnoise"})
    ->Args({640, 480, 0})
    ->Args({640, 480, 1})
    ->Unit(benchmark::kMillisecond);

BENCHMARK(benchRobust)
    ->ArgNames({"w", "h", "markers", "blurnoise"})
    ->Args({640, 480, 4, 0})
    ->Args({640, 480, 4, 1})
    ->Args({1280, 720, 4, 1})
    ->Args({1920, 1080, 4, 1})
    ->Unit(benchmark::kMillisecond);

BENCHMARK(benchDetect)
    ->ArgNames({"w", "h", "markers", "blurnoise"})
    ->Args({640, 480, 0, 0})
    ->Args({640, 480, 1, 0})
    ->Args({640, 480, 4, 0})
    ->Args({640, 480, 8, 0})
    ->Args({640, 480, 4, 1})
    ->Args({640, 480, 8, 1})
    ->Args({1280, 720, 4, 0})
    ->Args({1280, 720, 4, 1})
    ->Args({1920, 1080, 4, 0})
    ->Args({1920, 1080, 4, 1})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
