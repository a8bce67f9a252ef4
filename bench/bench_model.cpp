// Start-up cost of a model animation: a sequence of 100 files of 10,000 faces each,
// generated into a temporary directory before the benchmarks run. Parsing
// (modelLoadFile) and list compilation (modelCompile) are timed separately, then the
// whole modelLoadSequence. Target: <= 2 s for the whole sequence.
// Then one large model as a modeller saves it: 200,000 textured faces over four
// materials, each with its own 2048 x 2048 JPEG texture, loaded as a one-file
// sequence. Target: < 1 s.
// Needs a GL context: run it under tests/xvfb-run.sh.
#include <GL/glut.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "model/model.h"
#include "util/util.h"
#include "tests/support/support.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 100;
constexpr int kGrid = 71;      // 72 x 72 vertices, 71 x 71 cells
constexpr int kFaces = 10000;  // triangles of the grid, the rest dropped
static_assert(2 * kGrid * kGrid >= kFaces, "grid holds enough triangles");

fs::path benchDir;

// One frame: a rippled sheet of kFaces textured triangles over 72 x 72 vertices, with
// its own material chunk (two materials, one textured) as modelling programs write.
// Materials change by grid row (runs of 142 faces, as the parts of a modelled figure
// come in runs of one material) or, for the worst case, from every face to the next.
void writeFrame(const fs::path& path, int frame, bool alternate)
{
    std::ofstream out(path);
    char line[160];
    out << "Format Text Ver 1.0\n\nMaterial 2 {\n"
        << "\t\"skin\" col(1.000 0.800 0.600 1.000) dif(0.800) amb(0.600) emi(0.000) spc(0.200) "
           "power(20.00) "
           "tex(\"skin.bmp\")\n"
        << "\t\"cloth\" col(0.200 0.300 0.800 1.000) dif(0.800) amb(0.600) emi(0.000) spc(0.200) "
           "power(20.00)\n}\n";
    out << "Object \"sheet\" {\n\tvisible 15\n\tvertex " << (kGrid + 1) * (kGrid + 1) << " {\n";
    for (int r = 0; r <= kGrid; ++r) {
        for (int c = 0; c <= kGrid; ++c) {
            const int h = (r * 7 + c * 3 + frame) % 11;
            std::snprintf(line, sizeof(line), "\t\t%.4f %.4f %.4f\n", c - kGrid / 2.0, h * 0.25,
                          r - kGrid / 2.0);
            out << line;
        }
    }
    out << "\t}\n\tface " << kFaces << " {\n";
    for (int f = 0; f < kFaces; ++f) {
        const int cell = f / 2, r = cell / kGrid, c = cell % kGrid;
        const int v00 = r * (kGrid + 1) + c, v01 = v00 + 1, v10 = v00 + kGrid + 1, v11 = v10 + 1;
        const int m = alternate ? f % 2 : r % 2;
        if (f % 2 == 0) {
            std::snprintf(
                line, sizeof(line),
                "\t\t3 V(%d %d %d) M(%d) UV(0.00000 0.00000 1.00000 0.00000 1.00000 1.00000)\n",
                v00, v01, v11, m);
        } else {
            std::snprintf(
                line, sizeof(line),
                "\t\t3 V(%d %d %d) M(%d) UV(0.00000 0.00000 1.00000 1.00000 0.00000 1.00000)\n",
                v00, v11, v10, m);
        }
        out << line;
    }
    out << "\t}\n}\nEof\n";
}

std::string framePath(int i)
{
    return (benchDir / ("frame" + std::to_string(i) + ".mqo")).string();
}
std::string worstPath(int i)
{
    return (benchDir / ("worst" + std::to_string(i) + ".mqo")).string();
}

// Parses every file of the sequence into `file` (objects released after each), the
// way a sequence load does.
void parseAll(ModelFile* file)
{
    for (int i = 0; i < kFiles; ++i) {
        FILE* fp = std::fopen(framePath(i).c_str(), "r");
        modelLoadFile(fp, file);
        std::fclose(fp);
        modelReleaseObjects(file);
    }
}

void BM_ParseSequence(benchmark::State& state)
{
    for (auto _ : state) {
        auto file = std::make_unique<ModelFile>();
        parseAll(file.get());
        modelReleaseFile(file.get());
    }
    state.counters["faces/s"] = benchmark::Counter(static_cast<double>(kFiles) * kFaces,
                                                   benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ParseSequence)->Unit(benchmark::kMillisecond)->Iterations(3);

// Compilation only (texture creation included): each file is parsed with the clock
// paused, then compiled with it running.
void BM_CompileSequence(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        auto file = std::make_unique<ModelFile>();
        const GLuint base = glGenLists(kFiles);
        state.ResumeTiming();
        for (int i = 0; i < kFiles; ++i) {
            state.PauseTiming();
            FILE* fp = std::fopen(framePath(i).c_str(), "r");
            modelLoadFile(fp, file.get());
            std::fclose(fp);
            state.ResumeTiming();
            if (file->newMaterials != 0) modelCreateTextures(file.get(), framePath(i).c_str());
            modelCompile(file.get(), base + i, 1.0);
            modelReleaseObjects(file.get());
        }
        glFinish();
        state.PauseTiming();
        modelReleaseFile(file.get());
        glDeleteLists(base, kFiles);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_CompileSequence)->Unit(benchmark::kMillisecond)->Iterations(3);

// The whole start-up load of one sequence, as the viewer does it; argument 1 loads
// the worst case, where every face changes material.
void BM_LoadSequence(benchmark::State& state)
{
    const std::string prefix = (benchDir / (state.range(0) != 0 ? "worst" : "frame")).string();
    for (auto _ : state) {
        GLuint base = 0;
        const int loaded = modelLoadSequence(prefix.c_str(), kFiles, 1.0, &base);
        glFinish();
        if (loaded != kFiles) state.SkipWithError("sequence did not load");
        state.PauseTiming();
        glDeleteLists(base, kFiles);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LoadSequence)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

// ---- One large model with large JPEG textures ------------------------------------------

constexpr int kLargeFaces = 200000;
constexpr int kLargeGrid = 317;  // 318 x 318 vertices, 317 x 317 cells: 200,978 triangles
constexpr int kLargeTexture = 2048;
static_assert(2 * kLargeGrid * kLargeGrid >= kLargeFaces, "grid holds enough triangles");

// A 2048 x 2048 picture with detail everywhere (so the JPEG is not trivially small):
// a colour gradient per texture, crossed by fine stripes.
void writeLargeJpeg(const fs::path& path, int k)
{
    std::vector<uint8_t> px(static_cast<size_t>(kLargeTexture) * kLargeTexture * 4);
    for (int y = 0; y < kLargeTexture; ++y) {
        for (int x = 0; x < kLargeTexture; ++x) {
            uint8_t* p = &px[(static_cast<size_t>(y) * kLargeTexture + x) * 4];
            const int stripe = ((x / 3 + y / 5 + k) % 7) * 12;
            p[0] = static_cast<uint8_t>((x / 8 + 60 * k + stripe) & 0xff);
            p[1] = static_cast<uint8_t>((y / 8 + stripe) & 0xff);
            p[2] = static_cast<uint8_t>(((x + y) / 16 + 40 * k) & 0xff);
            p[3] = 255;
        }
    }
    utilJpegWrite(path.string().c_str(), kLargeTexture, kLargeTexture, px.data(), kUtilRgba, 90);
}

// large0.mqo: a rippled sheet of 200,000 triangles, each quarter of the grid (by row
// band) in its own textured material; Ver 1.1 with CR LF line ends.
void writeLargeModel(const fs::path& path)
{
    std::ofstream out(path, std::ios::binary);
    char line[200];
    out << "Format Text Ver 1.1\r\n\r\nMaterial 4 {\r\n";
    for (int k = 0; k < 4; ++k) {
        out << "\t\"skin" << k << "\" shader(3) col(1.000 1.000 1.000 1.000) dif(0.800) "
            << "amb(0.600) emi(0.000) spc(0.200) power(20.00) tex(\"skin" << k << ".jpg\")\r\n";
    }
    out << "}\r\nObject \"sheet\" {\r\n\tvisible 15\r\n\tvertex "
        << (kLargeGrid + 1) * (kLargeGrid + 1) << " {\r\n";
    for (int r = 0; r <= kLargeGrid; ++r) {
        for (int c = 0; c <= kLargeGrid; ++c) {
            std::snprintf(line, sizeof(line), "\t\t%.4f %.4f %.4f\r\n", c - kLargeGrid / 2.0,
                          ((r * 7 + c * 3) % 11) * 0.25, r - kLargeGrid / 2.0);
            out << line;
        }
    }
    out << "\t}\r\n\tface " << kLargeFaces << " {\r\n";
    for (int f = 0; f < kLargeFaces; ++f) {
        const int cell = f / 2, r = cell / kLargeGrid, c = cell % kLargeGrid;
        const int v00 = r * (kLargeGrid + 1) + c, v01 = v00 + 1, v10 = v00 + kLargeGrid + 1,
                  v11 = v10 + 1;
        const int m = 4 * r / kLargeGrid;
        const double u0 = static_cast<double>(c) / kLargeGrid, u1 = (c + 1.0) / kLargeGrid;
        const double t0 = static_cast<double>(r) / kLargeGrid, t1 = (r + 1.0) / kLargeGrid;
        if (f % 2 == 0) {
            std::snprintf(line, sizeof(line),
                          "\t\t3 V(%d %d %d) M(%d) UV(%.5f %.5f %.5f %.5f %.5f %.5f)\r\n", v00, v01,
                          v11, m, u0, t0, u1, t0, u1, t1);
        } else {
            std::snprintf(line, sizeof(line),
                          "\t\t3 V(%d %d %d) M(%d) UV(%.5f %.5f %.5f %.5f %.5f %.5f)\r\n", v00, v11,
                          v10, m, u0, t0, u1, t1, u0, t1);
        }
        out << line;
    }
    out << "\t}\r\n}\r\nEof\r\n";
}

// Parsing the large model alone.
void BM_ParseLargeModel(benchmark::State& state)
{
    const std::string path = (benchDir / "large0.mqo").string();
    for (auto _ : state) {
        auto file = std::make_unique<ModelFile>();
        FILE* fp = std::fopen(path.c_str(), "r");
        modelLoadFile(fp, file.get());
        std::fclose(fp);
        modelReleaseFile(file.get());
    }
}
BENCHMARK(BM_ParseLargeModel)->Unit(benchmark::kMillisecond)->Iterations(3);

// Decoding one of the four textures alone.
void BM_DecodeJpeg2048(benchmark::State& state)
{
    const std::string path = (benchDir / "skin0.jpg").string();
    for (auto _ : state) {
        ModelImage image;
        char reason[kModelReasonSize];
        if (modelReadImage(path.c_str(), &image, reason, sizeof(reason)) < 0)
            state.SkipWithError(reason);
        benchmark::DoNotOptimize(image.pixels.data());
    }
}
BENCHMARK(BM_DecodeJpeg2048)->Unit(benchmark::kMillisecond)->Iterations(3);

// The whole load of the large model as the viewer does it: parse, four textures read,
// decoded and uploaded, list compiled. Each run uploads 64 MiB of texels, a quarter
// of the per-run texture memory: three runs fit, and a run whose textures did not all
// load is reported as an error rather than timed.
void BM_LoadLargeTexturedModel(benchmark::State& state)
{
    const std::string prefix = (benchDir / "large").string();
    for (auto _ : state) {
        const int warningsBefore = modelTextureWarnings()->count;
        GLuint base = 0;
        const int loaded = modelLoadSequence(prefix.c_str(), 1, 1.0, &base);
        glFinish();
        if (loaded != 1) state.SkipWithError("model did not load");
        if (modelTextureWarnings()->count != warningsBefore)
            state.SkipWithError(modelTextureWarnings()->entries[warningsBefore].reason);
        state.PauseTiming();
        glDeleteLists(base, 1);
        state.ResumeTiming();
    }
    state.counters["faces"] = kLargeFaces;
}
BENCHMARK(BM_LoadLargeTexturedModel)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv)
{
    support::glOpenWindow("bench_model", 64, 64);
    benchDir = fs::temp_directory_path() / ("tarlim_bench_model_" + std::to_string(getpid()));
    fs::create_directories(benchDir);
    support::spit(benchDir / "skin.bmp", support::bitmapFilled(64, 0xc08040));
    for (int i = 0; i < kFiles; ++i) {
        writeFrame(framePath(i), i, false);
        writeFrame(worstPath(i), i, true);
    }
    for (int k = 0; k < 4; ++k) writeLargeJpeg(benchDir / ("skin" + std::to_string(k) + ".jpg"), k);
    writeLargeModel(benchDir / "large0.mqo");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(benchDir);
    return 0;
}
