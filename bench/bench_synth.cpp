// Scene renderer speed: 640x480 frames of the shipped markers, plain or with clutter,
// light, blur and noise, through a distorting lens. Run: build/bench/bench_synth
#include "synth/synth.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

const char* const kNames[4] = {"arrow", "moon", "bars", "key"};

// Args: marker count (0 ... 8), degraded (0 or 1).
void BM_Render640(benchmark::State& state)
{
    static SynthImage pictures[4];
    for (int i = 0; i < 4; i++)
        if (pictures[i].width == 0 &&
            synthPngRead(
                (std::string(TARLIM_SOURCE_DIR) + "/data/markers/" + kNames[i] + ".png").c_str(),
                &pictures[i]) != 0) {
            state.SkipWithError("cannot read the shipped marker pictures");
            return;
        }
    CameraParam cam;
    synthCameraMake(640, 480, 600.0, 40.0, &cam);
    SynthScene scene;
    synthSceneInit(&cam, &scene);
    scene.markerCount = static_cast<int>(state.range(0));
    for (int m = 0; m < scene.markerCount; m++) {
        scene.markers[m].picture = &pictures[m % 4];
        const double x = (m % 4) * 160.0 - 240.0, y = (m / 4) * 200.0 - 100.0, z = 600.0 / 110.0;
        synthPoseMake(m * 40.0, 20.0 + m * 5.0, m * 30.0, x * z / 600.0, y * z / 600.0, z,
                      scene.markers[m].pose);
    }
    if (state.range(1)) {
        scene.clutter = 1;
        scene.lightGradient = 0.3;
        scene.blurSigma = 0.8;
        scene.noiseSigma = 4.0;
    }
    SynthImage frame;
    for (auto _ : state) {
        synthRender(&scene, &frame, nullptr);
        benchmark::DoNotOptimize(frame.pixels.data());
    }
}

}  // namespace

BENCHMARK(BM_Render640)->ArgsProduct({{0, 1, 4, 8}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
