// Accuracy of detection per real-world option and for the `robust` preset, on rendered
// sets with ground truth:
//   - "clean": 96 frames of 640 x 480, one marker each (the four shipped pictures, 40 to
//     270 px across, turned, tilted up to 60 degrees, anywhere in the frame), sharp;
//   - "blur+noise": the same views with blur (sigma 1 px), sensor noise (sigma 6), a
//     lighting gradient and clutter;
//   - "hard light": the fixed hard-light set of the scene renderer (24 frames of 1280 x
//     720, 8 to 60 markers 15 to 40 px across each, dark squares, hard shadows, white
//     balance, JPEG).
// Per set and configuration: markers in view, found (a detection on the marker),
// identified (with its pattern), wrong identities (a pattern reported where no marker
// with that picture is), corner RMS and mean bias (along the diagonal, negative =
// inside the true square) over identified markers, median translation error of
// poseGetTransform in % of the distance.
//
// Usage: detect_accuracy [--set clean|blur|hard] [--frames N] [--write-hard DIR] [--misses]
//   --write-hard DIR writes the hard-light frames into DIR (made if missing) as PNG files,
//     hard-00.png ..., for the tools;
//   --misses lists every in-view marker the preset does not identify (frame, marker,
//   centre, side, the detection's pattern and confidence when found, the grey level of
//   its border and of the paper beyond each side), to see why.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "detect/detect.h"
#include "pattern/pattern.h"
#include "pose/pose.h"
#include "synth/synth.h"
#include "util/util.h"

namespace {

constexpr double kSide = 80.0;
constexpr int kThreshold = 100;
const char* const kNames[4] = {"arrow", "bars", "key", "moon"};

struct Assets {
    SynthImage pictures[4];
    const SynthImage* list[4];
    int slot[4];
};

bool loadAssets(Assets* a)
{
    for (int i = 0; i < 4; i++) {
        const std::string base = std::string(TARLIM_SOURCE_DIR) + "/data/markers/" + kNames[i];
        if (synthPngRead((base + ".png").c_str(), &a->pictures[i]) != 0) return false;
        a->slot[i] = patternLoad((base + ".pat").c_str());
        if (a->slot[i] < 0) return false;
        a->list[i] = &a->pictures[i];
    }
    return true;
}

struct Config {
    const char* name;
    MarkOptions options;
};

std::vector<Config> configs()
{
    std::vector<Config> list;
    const MarkOptions exact = markDefaultOptions();
    list.push_back({"exact (defaults)", exact});
    MarkOptions o = exact;
    o.frameSized = 1;
    o.candidateMax = 128;
    list.push_back({"frameSized, 128 candidates", o});
    // One option at a time, in the order of the table (the enclosed tolerance with the
    // preset's smaller minimum area, which it is for).
    struct Alone {
        const char* name;
        int32_t MarkOptions::*field;
        int32_t minArea;  // 0: the default
    };
    const Alone alone[] = {{"localThreshold", &MarkOptions::localThreshold, 0},
                           {"enclosedTolerance, minArea 36", &MarkOptions::enclosedTolerance, 36},
                           {"edgeRefinement", &MarkOptions::edgeRefinement, 0},
                           {"bilinearSampling", &MarkOptions::bilinearSampling, 0},
                           {"softMatching", &MarkOptions::softMatching, 0},
                           {"pixelMatching", &MarkOptions::pixelMatching, 0},
                           {"secondLook", &MarkOptions::secondLook, 0},
                           {"shadeMatching", &MarkOptions::shadeMatching, 0},
                           {"shadeSearch", &MarkOptions::shadeSearch, 0}};
    for (const Alone& option : alone) {
        o = exact;
        o.*option.field = 1;
        if (option.minArea > 0) o.minArea = option.minArea;
        list.push_back({option.name, o});
    }
    o = markRobustOptions();
    o.localCells = 1;
    list.push_back({"preset with localCells", o});
    list.push_back({"robust preset", markRobustOptions()});  // last: --misses lists its misses
    return list;
}

// Markers of one frame from a fresh history (nothing recalled).
std::vector<DetectedMarker> detect(MarkDetector* d, const SynthImage& frame)
{
    markDetectorResetHistory(d);
    DetectedMarker* list = nullptr;
    int32_t count = 0;
    std::vector<DetectedMarker> out;
    if (markDetectorRun(d, frame.pixels.data(), &list, &count) == 0) out.assign(list, list + count);
    return out;
}

struct Tally {
    long markers = 0, found = 0, identified = 0, wrong = 0;
    double cornerSq = 0.0, bias = 0.0;
    long corners = 0;
    std::vector<double> translation;
};

bool insideQuad(const double q[4][2], double x, double y)
{
    int sign = 0;
    for (int k = 0; k < 4; k++) {
        const double* a = q[k];
        const double* b = q[(k + 1) % 4];
        const double cross = (b[0] - a[0]) * (y - a[1]) - (b[1] - a[1]) * (x - a[0]);
        const int s = cross > 0 ? 1 : -1;
        if (sign == 0) sign = s;
        if (s != sign) return false;
    }
    return true;
}

// Which truth marker a detection lies on: its centroid inside the marker's square and
// near its centre. -1 for none.
int truthAt(const SynthTruth& truth, const DetectedMarker& d)
{
    for (int i = 0; i < truth.markerCount; i++) {
        const SynthMarkerTruth& t = truth.markers[i];
        if (!t.facing) continue;
        double cx = 0.0, cy = 0.0, span = 0.0;
        for (int k = 0; k < 4; k++) {
            cx += t.observedCorners[k][0] / 4.0;
            cy += t.observedCorners[k][1] / 4.0;
            span = std::max(
                span, std::hypot(t.observedCorners[k][0] - t.observedCorners[(k + 2) % 4][0],
                                 t.observedCorners[k][1] - t.observedCorners[(k + 2) % 4][1]));
        }
        if (insideQuad(t.observedCorners, d.centroid[0], d.centroid[1]) &&
            std::hypot(d.centroid[0] - cx, d.centroid[1] - cy) < span / 4.0)
            return i;
    }
    return -1;
}

void score(const SynthScene& scene, const SynthTruth& truth, const Assets& a,
           const std::vector<DetectedMarker>& found, Tally* t)
{
    auto slotOf = [&](int marker) {
        for (int p = 0; p < 4; p++)
            if (scene.markers[marker].picture == &a.pictures[p]) return a.slot[p];
        return -1;
    };
    std::vector<int> best(truth.markerCount, -1);
    for (size_t j = 0; j < found.size(); j++) {
        const int i = truthAt(truth, found[j]);
        if (found[j].patternId >= 0 && (i < 0 || slotOf(i) != found[j].patternId)) t->wrong++;
        if (i < 0) continue;
        if (best[i] < 0 || (found[best[i]].patternId < 0 && found[j].patternId >= 0))
            best[i] = static_cast<int>(j);
    }
    for (int i = 0; i < truth.markerCount; i++) {
        const SynthMarkerTruth& tm = truth.markers[i];
        if (!tm.inFrame || tm.occluded) continue;
        t->markers++;
        if (best[i] < 0) continue;
        t->found++;
        const DetectedMarker& d = found[best[i]];
        if (d.patternId != slotOf(i)) continue;
        t->identified++;
        double cx = 0.0, cy = 0.0;
        for (int k = 0; k < 4; k++) {
            cx += tm.idealCorners[k][0] / 4.0;
            cy += tm.idealCorners[k][1] / 4.0;
        }
        for (int k = 0; k < 4; k++) {
            const double* p = d.cornerPoints[(k + 4 - d.direction) % 4];
            const double ex = p[0] - tm.idealCorners[k][0], ey = p[1] - tm.idealCorners[k][1];
            const double ox = tm.idealCorners[k][0] - cx, oy = tm.idealCorners[k][1] - cy;
            const double on = std::hypot(ox, oy);
            t->cornerSq += ex * ex + ey * ey;
            t->bias += (ex * ox + ey * oy) / on;
            t->corners++;
        }
        double T[3][4];
        const double centre[2] = {0.0, 0.0};
        if (poseGetTransform(&d, centre, kSide, T) >= 0) {
            const double dt = std::sqrt((T[0][3] - tm.pose[0][3]) * (T[0][3] - tm.pose[0][3]) +
                                        (T[1][3] - tm.pose[1][3]) * (T[1][3] - tm.pose[1][3]) +
                                        (T[2][3] - tm.pose[2][3]) * (T[2][3] - tm.pose[2][3]));
            const double dist =
                std::sqrt(tm.pose[0][3] * tm.pose[0][3] + tm.pose[1][3] * tm.pose[1][3] +
                          tm.pose[2][3] * tm.pose[2][3]);
            t->translation.push_back(100.0 * dt / dist);
        }
    }
}

// View v of the single-marker sets.
void singleScene(const Assets& a, int v, bool degraded, SynthScene* scene)
{
    CameraParam cam;
    synthCameraMake(640, 480, 600.0, 0.0, &cam);
    synthSceneInit(&cam, scene);
    const double spans[4] = {270.0, 160.0, 80.0, 40.0};
    const double span = spans[v % 4];
    const double tilt = 20.0 * ((v / 4) % 4);
    const double spin = 37.0 * v;
    const double axis = 45.0 * (v % 3);
    const double reach = 0.35 * (480 - span) * ((v / 16) % 2);
    const double angle = v * 2.39996;
    const double z = 600.0 * kSide / span;
    SynthMarker& m = scene->markers[0];
    m.picture = a.list[v % 4];
    m.side = kSide;
    synthPoseMake(spin, tilt, axis, reach * std::cos(angle) * z / 600.0,
                  reach * std::sin(angle) * z / 600.0, z, m.pose);
    scene->markerCount = 1;
    if (degraded) {
        scene->blurSigma = 1.0;
        scene->noiseSigma = 6.0;
        scene->noiseSeed = static_cast<uint32_t>(v + 1);
        scene->lightGradient = 0.3;
        scene->lightAngleDeg = 17.0 * v;
        scene->clutter = 1;
        scene->clutterSeed = static_cast<uint32_t>(v + 1);
    }
}

// Grey level (mean of the channels) of `frame` at (x, y), bilinear; -1 outside.
double greyAt(const SynthImage& frame, double x, double y)
{
    const int x0 = static_cast<int>(std::floor(x)), y0 = static_cast<int>(std::floor(y));
    if (x0 < 0 || y0 < 0 || x0 + 1 >= frame.width || y0 + 1 >= frame.height) return -1.0;
    const double fx = x - x0, fy = y - y0;
    auto g = [&](int xx, int yy) {
        const uint8_t* p = frame.pixels.data() + (static_cast<size_t>(yy) * frame.width + xx) * 4;
        return (p[0] + p[1] + p[2]) / 3.0;
    };
    return (1 - fy) * ((1 - fx) * g(x0, y0) + fx * g(x0 + 1, y0)) +
           fy * ((1 - fx) * g(x0, y0 + 1) + fx * g(x0 + 1, y0 + 1));
}

// Point of the marker's square at (u, v) in its own frame: (0, 0) corner 0, (1, 1) corner 2.
void quadPoint(const double q[4][2], double u, double v, double* x, double* y)
{
    *x = (1 - u) * (1 - v) * q[0][0] + u * (1 - v) * q[1][0] + u * v * q[2][0] +
         (1 - u) * v * q[3][0];
    *y = (1 - u) * (1 - v) * q[0][1] + u * (1 - v) * q[1][1] + u * v * q[2][1] +
         (1 - u) * v * q[3][1];
}

// Every in-view marker the detections do not identify: frame, marker, side, whether
// found (with the detection's confidence), its ink and paper levels per side.
void listMisses(const SynthScene& scene, const SynthTruth& truth, const Assets& a,
                const SynthImage& frame, int f, const std::vector<DetectedMarker>& found)
{
    for (int i = 0; i < truth.markerCount; i++) {
        const SynthMarkerTruth& tm = truth.markers[i];
        if (!tm.inFrame || tm.occluded) continue;
        int slot = -1;
        for (int p = 0; p < 4; p++)
            if (scene.markers[i].picture == &a.pictures[p]) slot = a.slot[p];
        int best = -1;
        for (size_t j = 0; j < found.size(); j++)
            if (truthAt(truth, found[j]) == i &&
                (best < 0 || found[j].confidence > found[best].confidence))
                best = static_cast<int>(j);
        if (best >= 0 && found[best].patternId == slot) continue;
        double side = 0.0;
        for (int k = 0; k < 4; k++)
            side += std::hypot(tm.observedCorners[k][0] - tm.observedCorners[(k + 1) % 4][0],
                               tm.observedCorners[k][1] - tm.observedCorners[(k + 1) % 4][1]) /
                    4;
        double ink = 0.0, paper[4];
        const double us[4][2] = {{0.5, -0.15}, {1.15, 0.5}, {0.5, 1.15}, {-0.15, 0.5}};
        for (int k = 0; k < 4; k++) {
            double x, y;
            quadPoint(tm.observedCorners, us[k][0], us[k][1], &x, &y);
            paper[k] = greyAt(frame, x, y);
            const double ui = 0.5 + (us[k][0] - 0.5) * 0.6, vi = 0.5 + (us[k][1] - 0.5) * 0.6;
            quadPoint(tm.observedCorners, ui, vi, &x, &y);
            ink += greyAt(frame, x, y) / 4;
        }
        double cx = 0, cy = 0;
        for (int k = 0; k < 4; k++) {
            cx += tm.observedCorners[k][0] / 4;
            cy += tm.observedCorners[k][1] / 4;
        }
        std::printf("miss frame %2d marker %2d at %6.1f %6.1f side %5.1f %s", f, i, cx, cy, side,
                    best < 0 ? "not found " : "found     ");
        if (best >= 0)
            std::printf("id %2d/%2d conf %5.2f area %4d ", found[best].patternId, slot,
                        found[best].confidence, found[best].area);
        std::printf("ink %5.1f paper %5.1f %5.1f %5.1f %5.1f\n", ink, paper[0], paper[1], paper[2],
                    paper[3]);
    }
}

void printRow(const char* set, const char* config, const Tally& t)
{
    std::vector<double> tr = t.translation;
    std::sort(tr.begin(), tr.end());
    const double median = tr.empty() ? NAN : tr[tr.size() / 2];
    std::printf("| %-10s | %-26s | %5ld | %6.1f%% | %6.1f%% | %5ld | %6.3f | %6.3f | %6.2f |\n",
                set, config, t.markers, 100.0 * t.found / std::max(1L, t.markers),
                100.0 * t.identified / std::max(1L, t.markers), t.wrong,
                t.corners ? std::sqrt(t.cornerSq / t.corners) : NAN,
                t.corners ? t.bias / t.corners : NAN, median);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string only;
    int frames = -1;
    const char* writeDir = nullptr;
    bool misses = false;
    for (int i = 1; i < argc; i++) {
        if (!std::strcmp(argv[i], "--set") && i + 1 < argc) {
            only = argv[++i];
        } else if (!std::strcmp(argv[i], "--frames") && i + 1 < argc) {
            frames = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--misses")) {
            misses = true;
        } else if (!std::strcmp(argv[i], "--write-hard") && i + 1 < argc) {
            writeDir = argv[++i];
            std::error_code error;
            std::filesystem::create_directories(writeDir, error);
        } else {
            std::fprintf(stderr, "usage: detect_accuracy [--set clean|blur|hard] [--frames N] "
                                 "[--write-hard DIR] [--misses]\n");
            return 2;
        }
    }
    Assets a;
    if (!loadAssets(&a)) {
        std::fprintf(stderr, "detect_accuracy: cannot read data/markers\n");
        return 1;
    }
    const std::vector<Config> list = configs();
    std::printf("| set        | configuration              | in view |  found | identified | wrong "
                "| corner RMS px | bias px | t err %% |\n");
    std::printf("|------------|----------------------------|-------:|-------:|-------:|------:|----"
                "---:|-------:|-------:|\n");
    static SynthScene scene;
    for (const char* set : {"clean", "blur", "hard"}) {
        if (!only.empty() && only != set) continue;
        const bool hard = !std::strcmp(set, "hard");
        const int n = frames > 0 ? frames : (hard ? kSynthHardLightScenes : 96);
        std::vector<SynthImage> images(n);
        std::vector<SynthTruth> truths(n);
        std::vector<SynthScene> scenes(n);
        for (int f = 0; f < n; f++) {
            if (hard)
                synthHardLightScene(f % kSynthHardLightScenes, a.list, 4, &scene);
            else
                singleScene(a, f, !std::strcmp(set, "blur"), &scene);
            if (synthRender(&scene, &images[f], &truths[f]) < 0) {
                std::fprintf(stderr, "detect_accuracy: rendering failed\n");
                return 1;
            }
            scenes[f] = scene;
            if (hard && writeDir != nullptr) {
                char path[512];
                std::snprintf(path, sizeof path, "%s/hard-%02d.png", writeDir, f);
                if (synthPngWrite(path, &images[f], 0) != 0) {
                    std::fprintf(stderr, "detect_accuracy: cannot write %s\n", path);
                    return 1;
                }
            }
        }
        for (const Config& c : list) {
            MarkDetector* d = markDetectorCreate(&c.options, patternDefaultSet());
            if (d == nullptr) return 1;
            Tally t;
            for (int f = 0; f < n; f++) {
                camParamInit(&scenes[f].camera);
                markDetectorSetCamera(d, &scenes[f].camera);
                const std::vector<DetectedMarker> found = detect(d, images[f]);
                score(scenes[f], truths[f], a, found, &t);
                if (misses && &c == &list.back())
                    listMisses(scenes[f], truths[f], a, images[f], f, found);
            }
            markDetectorRelease(d);
            printRow(set, c.name, t);
        }
    }
    return 0;
}
