// Soak of the vision core: many rendered frames through markDetect and
// poseGetTransform, set up as the viewer does (the shipped camera file resized to the
// frame size and installed, the four shipped patterns loaded in the configured order;
// per frame the detection, then for every pattern its most confident detection posed
// with a side of 80). Checks that memory stays flat and that nothing plainly wrong
// comes out, and reports the speed.
//
// What is rendered. Rendering costs 3 to 30 ms a frame at 640 x 480 (bench_synth),
// far more than detection, so the scene renderer draws a pool once, before the soak:
//   - 16 trajectories of 4 to 16 steps (16 from 8,000 frames on), each a short
//     movement of its markers (the four shipped pictures, side 80): six ordinary scenes
//     (one to six markers, turning, tilting up to 55 degrees, with blur, sensor noise,
//     uneven light and sometimes clutter), four of markers entering and leaving the
//     frame, three of a nearer marker passing in front of another, three of a marker
//     sliding from wholly inside to mostly outside across an edge or corner;
//   - six noise-only frames (strong per-pixel noise around the threshold, or softened
//     random blocks of 4 to 16 pixels), three all-dark and three all-bright frames.
// The pool is stored as 3 bytes a pixel (about 250 MB at 640 x 480) with the
// renderer's ground truth of every marker.
//
// What varies per frame. The soak plays the pool as segments: a whole trajectory,
// forwards or backwards, each step shown for one or two frames, or a run of two to
// eight noise-only, dark or bright frames; segments are drawn at random, so markers
// also appear and vanish at cuts. Every frame is the pool frame with a fresh
// brightness gain (0.85 ... 1.15) and offset (-16 ... +16 grey levels), fresh noise
// (a window at a new random position of a precomputed table of Gaussian noise,
// sigma 4), a shake of the whole image by up to one pixel (never the shake of the
// two frames before) and a threshold drawn from 85 ... 115, so no two consecutive
// frames are the same and the detector's marker history sees markers move, vanish
// and return. The same seed gives the same frames, results and counts.
//
// Checks (each failure is counted, the first few are printed, the exit status is 1):
//   - resident size (VmRSS) after the first 1,000 frames and at the end within 1 MiB;
//     under AddressSanitizer, whose quarantine keeps freed blocks resident, the live
//     heap bytes instead;
//   - markDetect succeeds unless the frame needs more provisional labels than it has
//     (counted here by the documented scan rule; the count must then be 0 and the list
//     untouched), its count lies in 0 ... kMarkOutputMax and every record is in range
//     and finite;
//   - the history behaves as documented, predicted from the earlier outputs alone:
//     every identity recognised in one of the last two frames and not afresh is
//     recalled (an exact copy, after the fresh markers) unless a marker is at its place;
//   - no fresh marker on an all-dark or all-bright frame, no confidently recognised
//     one on a noise-only frame; a confidently recognised fresh marker (one whose
//     identity was not carried over from the history) lies on a rendered marker with
//     that picture;
//   - poseGetTransform returns -1 (transform untouched) or a finite error with a
//     finite transform whose rotation is orthonormal; for such a marker wholly in view
//     the pose projects its corners close to the rendered ones.
//
// Usage: soak [--frames N] [--size WxH] [--seed S] [--help]
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "detect/detect.h"
#include "pattern/pattern.h"
#include "pose/pose.h"
#include "synth/synth.h"
#include "tests/pose_truth.h"
#include "tests/support/support.h"

#if defined(__SANITIZE_ADDRESS__)
#define SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SOAK_ASAN 1
#endif
#endif

#ifdef SOAK_ASAN
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

// ---- Set-up as the viewer's configuration has it ------------------------------------

const char* const kSoakNames[4] = {"arrow", "moon", "bars", "key"};
constexpr int kSoakPictures = 4;
constexpr double kSoakSide = 80.0;  // marker side, millimetres, as configured

// ---- Frame kinds -----------------------------------------------------------------------

enum SoakKind {
    kOrdinary,
    kEnterLeave,
    kOverlap,
    kPartlyOutside,
    kNoiseOnly,
    kAllDark,
    kAllBright,
    kKindCount
};
const char* const kSoakKindNames[kKindCount] = {"ordinary",       "entering/leaving", "overlapping",
                                                "partly outside", "noise only",       "all dark",
                                                "all bright"};
// How often a segment of each kind is chosen (relative weights).
constexpr int kSoakKindWeight[kKindCount] = {40, 15, 12, 13, 8, 6, 6};

// Trajectories in the pool per kind that moves markers.
constexpr int kSoakTrajectories[4] = {6, 4, 3, 3};
constexpr int kSoakNoiseFrames = 6, kSoakDarkFrames = 3, kSoakBrightFrames = 3;
constexpr int kSoakMaxSteps = 16;
constexpr int kSoakMaxPathMarkers = 6;
// A trajectory segment holds each step for at most 2 frames; a run at most 8 frames.
constexpr int kSoakSegmentMax = 2 * kSoakMaxSteps;
static_assert(kSoakSegmentMax >= 8, "a run of plain frames must fit a segment");
// Largest frame: the pool then takes about 1 GB at its smallest (4 steps).
constexpr long kSoakMaxPixels = 4L << 20;
// Pool memory above which fewer steps per trajectory are rendered.
constexpr double kSoakPoolBudgetBytes = 1.0e9;

// ---- Limits of the checks (tunable) ------------------------------------------------------

// Resident size growth allowed between frame 1,000 and the end.
constexpr long kSoakRssSlackKiB = 1024;
constexpr int kSoakRssFrame = 1000;
// A recognised marker at or above this confidence is taken as a claim to be checked.
constexpr double kSoakConfident = 0.8;
// Registration of a confidently recognised, wholly visible marker: its corners
// projected through the estimated pose versus the rendered ones, pixels. (Rotation and
// translation errors are only reported: a small tilted marker has two poses that fit
// its corners almost equally well, so a flipped tilt is no fault.)
// The limit: the corner tolerance of the rendered detection tests (about 1.3 px on each
// edge, up to 3 px at a sharp corner) plus 3% of the marker's longest side for the fit.
constexpr double kSoakRegistrationBasePx = 3.0;
constexpr double kSoakRegistrationPerSide = 0.03;
constexpr double kSoakRotationReportDeg = 20.0;
// How many failures of each check are printed in full.
constexpr int kSoakPrintLimit = 5;

// ---- Options -------------------------------------------------------------------------------

struct SoakOptions {
    long frames = 100000;
    int width = 640;
    int height = 480;
    uint64_t seed = 1;
};

void soakUsage(FILE* out)
{
    std::fputs("usage: soak [--frames N] [--size WxH] [--seed S] [--help]\n"
               "  Runs N rendered frames (default 100000) of W x H pixels (default 640x480)\n"
               "  through markDetect and poseGetTransform with the shipped camera and\n"
               "  patterns; S (default 1) seeds every random choice. Exit status 0 when\n"
               "  memory stayed flat and every check held, 1 otherwise, 2 on bad usage.\n",
               out);
}

// Returns 0, 1 after --help, or -1 on bad usage (message printed).
int soakParse(int argc, char** argv, SoakOptions* options)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            soakUsage(stdout);
            return 1;
        }
        if (i + 1 >= argc || (arg != "--frames" && arg != "--size" && arg != "--seed")) {
            std::fprintf(stderr, "soak: unknown option or missing value: %s\n", arg.c_str());
            soakUsage(stderr);
            return -1;
        }
        const char* value = argv[++i];
        char* end = nullptr;
        if (arg == "--frames") {
            const long n = std::strtol(value, &end, 10);
            if (*end != '\0' || n < 1 || n > 1000000000L) {
                std::fprintf(stderr, "soak: --frames wants a count from 1 to 1000000000: %s\n",
                             value);
                return -1;
            }
            options->frames = n;
        } else if (arg == "--size") {
            int w = 0, h = 0;
            char rest = 0;
            if (std::sscanf(value, "%dx%d%c", &w, &h, &rest) != 2 || w < 64 || h < 64 || w > 4096 ||
                h > 4096 || static_cast<long>(w) * h > kSoakMaxPixels) {
                std::fprintf(
                    stderr,
                    "soak: --size wants WxH, each side 64 ... 4096, at most %ld pixels: %s\n",
                    kSoakMaxPixels, value);
                return -1;
            }
            options->width = w;
            options->height = h;
        } else {
            const unsigned long long s = std::strtoull(value, &end, 10);
            if (*end != '\0' || value[0] == '-' || value[0] == '\0') {
                std::fprintf(stderr, "soak: --seed wants a non-negative integer: %s\n", value);
                return -1;
            }
            options->seed = s;
        }
    }
    return 0;
}

// ---- The pool -------------------------------------------------------------------------

// One marker's movement over a trajectory: start and end of each parameter, linearly
// interpolated. Positions are frame fractions of the centre, sizes the apparent side
// as a fraction of the frame height (so the scene scales with the frame size).
struct SoakPath {
    int picture;
    double u0, v0, u1, v1;
    double size0, size1;
    double spin0, spin1, tilt0, tilt1, axis;
};

struct SoakTrajectory {
    SoakKind kind;
    int markerCount;
    SoakPath paths[kSoakMaxPathMarkers];
    int clutter;
    uint32_t clutterSeed, noiseSeed;
    double blur, noise, gradient, lightAngle;
    int first;  // pool index of step 0
};

struct SoakPool {
    int width = 0, height = 0;
    int steps = 0;
    std::vector<uint8_t> pixels;    // frames of width * height * 3 bytes (B, G, R)
    std::vector<SynthTruth> truth;  // per frame
    std::vector<SoakKind> kind;     // per frame
    std::vector<int> trajectoryOf;  // per frame: its trajectory, -1 for plain frames
    std::vector<SoakTrajectory> trajectories;
    std::vector<int> plain[kKindCount];  // pool indices of noise-only, dark, bright frames
    int frames = 0;
    double renderSeconds = 0.0;

    const uint8_t* frame(int i) const
    {
        return pixels.data() + static_cast<size_t>(i) * width * height * 3;
    }
};

// A marker of random picture kept at (u, v) with the given size, turning by up to 90
// degrees and changing its tilt (0 ... 55 degrees) about a random axis.
SoakPath soakPathAt(support::Random& rng, double u, double v, double size)
{
    SoakPath p{};
    p.picture = rng.range(0, kSoakPictures - 1);
    p.u0 = p.u1 = u;
    p.v0 = p.v1 = v;
    p.size0 = p.size1 = size;
    p.spin0 = rng.uniform(0.0, 360.0);
    p.spin1 = p.spin0 + rng.uniform(-90.0, 90.0);
    p.tilt0 = rng.uniform(0.0, 55.0);
    p.tilt1 = rng.uniform(0.0, 55.0);
    p.axis = rng.uniform(0.0, 180.0);
    return p;
}

// One to six markers, each kept in its own cell of a 3 x 2 grid so they never touch.
void soakOrdinary(support::Random& rng, SoakTrajectory* t)
{
    int cells[6] = {0, 1, 2, 3, 4, 5};
    for (int i = 5; i > 0; i--) std::swap(cells[i], cells[rng.range(0, i)]);
    t->markerCount = rng.range(1, 6);
    for (int m = 0; m < t->markerCount; m++) {
        const double cu = (cells[m] % 3 + 0.5) / 3.0, cv = (cells[m] / 3 + 0.5) / 2.0;
        SoakPath p = soakPathAt(rng, cu, cv, rng.uniform(0.10, 0.22));
        // Wander within the cell: at most 0.05 of the frame from its centre.
        p.u0 = cu + rng.uniform(-0.05, 0.05);
        p.u1 = cu + rng.uniform(-0.05, 0.05);
        p.v0 = cv + rng.uniform(-0.05, 0.05);
        p.v1 = cv + rng.uniform(-0.05, 0.05);
        t->paths[m] = p;
    }
}

// One or two markers crossing the whole frame from outside to outside, in separate lanes.
void soakEnterLeave(support::Random& rng, SoakTrajectory* t)
{
    t->markerCount = rng.range(1, 2);
    const bool horizontal = rng.range(0, 1) == 0;
    for (int m = 0; m < t->markerCount; m++) {
        const double lane = t->markerCount == 1 ? rng.uniform(0.3, 0.7) : (m == 0 ? 0.27 : 0.73);
        SoakPath p = soakPathAt(rng, 0.5, 0.5, rng.uniform(0.15, 0.28));
        p.tilt0 = std::min(p.tilt0, 40.0);
        p.tilt1 = std::min(p.tilt1, 40.0);
        const double from = rng.range(0, 1) ? -0.25 : 1.25, to = 1.0 - from;
        if (horizontal) {
            p.u0 = from, p.u1 = to, p.v0 = lane, p.v1 = lane + rng.uniform(-0.1, 0.1);
        } else {
            p.v0 = from, p.v1 = to, p.u0 = lane, p.u1 = lane + rng.uniform(-0.1, 0.1);
        }
        t->paths[m] = p;
    }
}

// A nearer (larger) marker passes over a farther one, or two pass over a third.
void soakOverlap(support::Random& rng, SoakTrajectory* t)
{
    t->markerCount = rng.range(2, 3);
    SoakPath back =
        soakPathAt(rng, rng.uniform(0.4, 0.6), rng.uniform(0.4, 0.6), rng.uniform(0.18, 0.25));
    back.tilt0 = std::min(back.tilt0, 30.0);
    back.tilt1 = std::min(back.tilt1, 30.0);
    t->paths[0] = back;
    for (int m = 1; m < t->markerCount; m++) {
        SoakPath p = soakPathAt(rng, 0.5, 0.5, back.size0 * rng.uniform(1.1, 1.4));
        p.tilt0 = std::min(p.tilt0, 30.0);
        p.tilt1 = std::min(p.tilt1, 30.0);
        const double dy = rng.uniform(-0.12, 0.12);
        const bool fromLeft = (m == 1) == (rng.range(0, 1) == 0);
        p.u0 = fromLeft ? 0.15 : 0.85;
        p.u1 = 1.0 - p.u0;
        p.v0 = back.v0 + dy;
        p.v1 = back.v0 - dy;
        t->paths[m] = p;
    }
}

// A marker sliding across an edge or a corner of the frame, sometimes with a wholly
// visible one in the middle.
void soakPartlyOutside(support::Random& rng, double aspect, SoakTrajectory* t)
{
    const double size = rng.uniform(0.18, 0.3);
    SoakPath p = soakPathAt(rng, 0.5, 0.5, size);
    p.tilt0 = std::min(p.tilt0, 35.0);
    p.tilt1 = std::min(p.tilt1, 35.0);
    // Half the side in frame fractions (aspect = height / width).
    const double reachV = 0.5 * size, reachU = 0.5 * size * aspect;
    const int edge = rng.range(0, 5);  // 0-3 the edges, 4-5 two corners
    const double along = rng.uniform(0.25, 0.75);
    // From wholly inside (centre 1.5 reaches in: clear of the edge at any turn) to mostly
    // outside (centre 0.6 reach out).
    auto place = [&](double inside, double* u, double* v) {
        switch (edge) {
            case 0:
                *u = inside * reachU, *v = along;
                break;
            case 1:
                *u = 1.0 - inside * reachU, *v = along;
                break;
            case 2:
                *u = along, *v = inside * reachV;
                break;
            case 3:
                *u = along, *v = 1.0 - inside * reachV;
                break;
            case 4:
                *u = inside * reachU, *v = inside * reachV;
                break;
            default:
                *u = 1.0 - inside * reachU, *v = 1.0 - inside * reachV;
                break;
        }
    };
    place(1.5, &p.u0, &p.v0);
    place(-0.6, &p.u1, &p.v1);
    if (rng.range(0, 1)) std::swap(p.u0, p.u1), std::swap(p.v0, p.v1);
    t->paths[0] = p;
    t->markerCount = 1;
    if (rng.range(0, 1)) {
        t->paths[1] = soakPathAt(rng, 0.5, 0.5, 0.18);
        t->markerCount = 2;
    }
}

// A marker pose from its path at s in [0, 1] (the camera's intrinsics place it).
void soakPose(const CameraParam& cam, const SoakPath& p, double s, double pose[3][4])
{
    const double fx = cam.projection[0][0], fy = cam.projection[1][1];
    const double cx = cam.projection[0][2], cy = cam.projection[1][2];
    const double mix = 1.0 - s;
    const double u = (p.u0 * mix + p.u1 * s) * cam.width, v = (p.v0 * mix + p.v1 * s) * cam.height;
    const double sidePx = (p.size0 * mix + p.size1 * s) * cam.height;
    const double z = fx * kSoakSide / sidePx;
    synthPoseMake(p.spin0 * mix + p.spin1 * s, p.tilt0 * mix + p.tilt1 * s, p.axis,
                  (u - cx) * z / fx, (v - cy) * z / fy, z, pose);
}

void soakSceneLook(support::Random& rng, SoakKind kind, SoakTrajectory* t)
{
    t->kind = kind;
    t->clutter = rng.range(0, 99) < (kind == kOrdinary ? 50 : 25);
    t->clutterSeed = static_cast<uint32_t>(rng.next());
    t->noiseSeed = static_cast<uint32_t>(rng.next());
    t->blur = rng.range(0, 9) < 3 ? 0.0 : rng.uniform(0.3, 1.2);
    t->noise = rng.uniform(0.0, 8.0);
    t->gradient = rng.uniform(0.0, 0.4);
    t->lightAngle = rng.uniform(0.0, 360.0);
}

// Stores a rendered frame (B, G, R of each pixel) at pool index i.
void soakStore(const SynthImage& image, int i, SoakPool* pool)
{
    uint8_t* out = pool->pixels.data() + static_cast<size_t>(i) * pool->width * pool->height * 3;
    const size_t n = static_cast<size_t>(pool->width) * pool->height;
    for (size_t k = 0; k < n; k++) {
        out[3 * k] = image.pixels[4 * k];
        out[3 * k + 1] = image.pixels[4 * k + 1];
        out[3 * k + 2] = image.pixels[4 * k + 2];
    }
}

// The scene of step s of trajectory t.
void soakTrajectoryScene(const CameraParam& cam, const SynthImage pictures[kSoakPictures],
                         const SoakTrajectory& t, int s, int steps, SynthScene* scene)
{
    synthSceneInit(&cam, scene);
    scene->clutter = t.clutter;
    scene->clutterSeed = t.clutterSeed;
    scene->noiseSeed = t.noiseSeed + static_cast<uint32_t>(s);
    scene->blurSigma = t.blur;
    scene->noiseSigma = t.noise;
    scene->lightGradient = t.gradient;
    scene->lightAngleDeg = t.lightAngle;
    scene->markerCount = t.markerCount;
    for (int m = 0; m < t.markerCount; m++) {
        scene->markers[m].picture = &pictures[t.paths[m].picture];
        scene->markers[m].side = kSoakSide;
        soakPose(cam, t.paths[m], steps > 1 ? s / (steps - 1.0) : 0.0, scene->markers[m].pose);
    }
}

// The scene of a frame without markers; `blocks` receives the picture of blocky noise.
int soakPlainScene(const CameraParam& cam, SoakKind kind, bool blocky, support::Random& rng,
                   SynthImage* blocks, SynthScene* scene)
{
    synthSceneInit(&cam, scene);
    if (kind == kNoiseOnly && !blocky) {
        // Sensor noise: grey levels around the threshold, strong noise per pixel.
        const int level = rng.range(70, 160);
        for (int c = 0; c < 3; c++)
            scene->background[c] =
                static_cast<uint8_t>(std::clamp(level + rng.range(-20, 20), 0, 255));
        scene->noiseSigma = rng.uniform(40.0, 100.0);
        scene->noiseSeed = static_cast<uint32_t>(rng.next());
        scene->lightGradient = rng.uniform(0.0, 0.4);
    } else if (kind == kNoiseOnly) {
        // Blocky noise: random texels of 4 to 16 pixels, softened, the stuff dark
        // square regions with random insides are made of.
        const int block = 4 << rng.range(0, 2);
        if (synthImageMake(std::max(1, cam.width / block), std::max(1, cam.height / block), 0, 0, 0,
                           blocks) != 0)
            return -1;
        for (size_t k = 0; k < blocks->pixels.size(); k += 4) {
            const int grey = rng.range(0, 255);
            for (int c = 0; c < 3; c++)
                blocks->pixels[k + c] =
                    static_cast<uint8_t>(std::clamp(grey + rng.range(-30, 30), 0, 255));
        }
        scene->backgroundImage = blocks;
        scene->blurSigma = rng.uniform(0.5, 1.5);
        scene->noiseSigma = 10.0;
        scene->noiseSeed = static_cast<uint32_t>(rng.next());
    } else {
        const int level = kind == kAllDark ? rng.range(0, 30) : rng.range(225, 255);
        for (int c = 0; c < 3; c++) scene->background[c] = static_cast<uint8_t>(level);
    }
    return 0;
}

// Sizes the pool: as many steps as the frame count warrants (a trajectory should be
// replayed many times but not too often), fewer when the memory would be too much.
void soakSizePool(const CameraParam& cam, long frames, SoakPool* pool)
{
    int trajectories = 0;
    for (int k = 0; k < 4; k++) trajectories += kSoakTrajectories[k];
    const int plainFrames = kSoakNoiseFrames + kSoakDarkFrames + kSoakBrightFrames;
    const double frameBytes = 3.0 * cam.width * cam.height;
    pool->width = cam.width;
    pool->height = cam.height;
    pool->steps = static_cast<int>(std::clamp(frames / 500L, 4L, static_cast<long>(kSoakMaxSteps)));
    while (pool->steps > 4 &&
           (trajectories * pool->steps + plainFrames) * frameBytes > kSoakPoolBudgetBytes) {
        pool->steps--;
    }
    pool->frames = trajectories * pool->steps + plainFrames;
    pool->pixels.assign(static_cast<size_t>(pool->frames) * cam.width * cam.height * 3, 0);
    pool->truth.assign(pool->frames, SynthTruth{});
    pool->kind.assign(pool->frames, kOrdinary);
    pool->trajectoryOf.assign(pool->frames, -1);
}

// Renders the whole pool. Returns 0, or -1 after a message.
int soakBuildPool(const CameraParam& cam, const SynthImage pictures[kSoakPictures], long frames,
                  support::Random& rng, SoakPool* pool)
{
    const auto start = std::chrono::steady_clock::now();
    soakSizePool(cam, frames, pool);
    static SynthScene scene;
    SynthImage image;
    int next = 0;
    for (int k = 0; k < 4; k++) {
        const SoakKind kind = static_cast<SoakKind>(k);
        for (int n = 0; n < kSoakTrajectories[k]; n++) {
            SoakTrajectory t{};
            soakSceneLook(rng, kind, &t);
            if (kind == kOrdinary)
                soakOrdinary(rng, &t);
            else if (kind == kEnterLeave)
                soakEnterLeave(rng, &t);
            else if (kind == kOverlap)
                soakOverlap(rng, &t);
            else
                soakPartlyOutside(rng, static_cast<double>(cam.height) / cam.width, &t);
            t.first = next;
            for (int s = 0; s < pool->steps; s++, next++) {
                soakTrajectoryScene(cam, pictures, t, s, pool->steps, &scene);
                if (synthRender(&scene, &image, &pool->truth[next]) != 0) {
                    std::fprintf(stderr, "soak: the renderer refused a %s scene (step %d)\n",
                                 kSoakKindNames[k], s);
                    return -1;
                }
                soakStore(image, next, pool);
                pool->kind[next] = kind;
                pool->trajectoryOf[next] = static_cast<int>(pool->trajectories.size());
            }
            pool->trajectories.push_back(t);
        }
    }
    SynthImage blocks[kSoakNoiseFrames];
    for (int n = 0; n < kSoakNoiseFrames + kSoakDarkFrames + kSoakBrightFrames; n++, next++) {
        const SoakKind kind = n < kSoakNoiseFrames                     ? kNoiseOnly
                              : n < kSoakNoiseFrames + kSoakDarkFrames ? kAllDark
                                                                       : kAllBright;
        if (soakPlainScene(cam, kind, n % 2 == 1, rng, &blocks[std::min(n, kSoakNoiseFrames - 1)],
                           &scene) != 0 ||
            synthRender(&scene, &image, &pool->truth[next]) != 0) {
            std::fprintf(stderr, "soak: the renderer refused a %s frame\n", kSoakKindNames[kind]);
            return -1;
        }
        soakStore(image, next, pool);
        pool->kind[next] = kind;
        pool->plain[kind].push_back(next);
    }
    pool->renderSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return 0;
}

// ---- Playing the pool ----------------------------------------------------------------

// The order of pool frames: segments chosen at random, see the header comment.
struct SoakSchedule {
    int list[kSoakSegmentMax];
    int length = 0;
    int position = 0;
    SoakKind kind = kOrdinary;

    void start(const SoakPool& pool, support::Random& rng)
    {
        int total = 0;
        for (int w : kSoakKindWeight) total += w;
        int pick = rng.range(0, total - 1), k = 0;
        while (pick >= kSoakKindWeight[k]) pick -= kSoakKindWeight[k++];
        kind = static_cast<SoakKind>(k);
        length = 0;
        position = 0;
        if (k >= kNoiseOnly) {
            const std::vector<int>& frames = pool.plain[k];
            const int n = rng.range(2, 8);
            for (int i = 0; i < n; i++)
                list[length++] = frames[rng.range(0, static_cast<int>(frames.size()) - 1)];
            return;
        }
        int first = 0;
        for (int j = 0; j < k; j++) first += kSoakTrajectories[j];
        const SoakTrajectory& t = pool.trajectories[first + rng.range(0, kSoakTrajectories[k] - 1)];
        const bool forwards = rng.range(0, 1) == 0;
        for (int s = 0; s < pool.steps; s++) {
            const int index = t.first + (forwards ? s : pool.steps - 1 - s);
            const int hold = rng.range(1, 2);
            for (int h = 0; h < hold; h++) list[length++] = index;
        }
    }

    int next(const SoakPool& pool, support::Random& rng)
    {
        if (position == length) start(pool, rng);
        return list[position++];
    }
};

// Fresh per-frame changes to a pool frame.
constexpr int kSoakNoiseTableBits = 20;
constexpr double kSoakNoiseSigma = 4.0;

struct SoakChange {
    std::vector<int8_t> noise;  // Gaussian, sigma kSoakNoiseSigma, clipped to +-12
    int16_t lut[256];
    uint32_t lastOffset = 0;
    int shift[2] = {0, 0};      // this frame's camera shake: the image moves by (dx, dy) pixels
    int lastShift[2] = {9, 9};  // the two frames before, as 3 * (dy + 1) + dx + 1

    void init(support::Random& rng)
    {
        noise.resize(size_t(1) << kSoakNoiseTableBits);
        for (int8_t& n : noise)
            n = static_cast<int8_t>(
                std::clamp(std::lround(kSoakNoiseSigma * rng.gauss()), -12L, 12L));
    }

    // Writes the pool frame `in` (width x height, B, G, R) with a new gain, offset, noise
    // window and a one-pixel shake into `out` (B, G, R, unused). The shake differs from
    // the last two frames', so a marker held still in the pool never gives the detector
    // the very same square twice in a row (which would make a fresh marker look exactly
    // like one the history recalls). Returns the threshold to use with the frame.
    int apply(const uint8_t* in, int width, int height, support::Random& rng, uint8_t* out)
    {
        const double gain = rng.uniform(0.85, 1.15);
        const double offset = rng.uniform(-16.0, 16.0);
        for (int v = 0; v < 256; v++) lut[v] = static_cast<int16_t>(std::lround(v * gain + offset));
        const uint32_t mask = (uint32_t(1) << kSoakNoiseTableBits) - 1;
        uint32_t at = static_cast<uint32_t>(rng.next()) & mask;
        if (at == lastOffset) at = (at + 1) & mask;
        lastOffset = at;
        int code = rng.range(0, 8);
        while (code == lastShift[0] || code == lastShift[1]) code = (code + 1) % 9;
        lastShift[1] = lastShift[0];
        lastShift[0] = code;
        shift[0] = code % 3 - 1;
        shift[1] = code / 3 - 1;
        for (int y = 0; y < height; y++) {
            const uint8_t* row =
                in + static_cast<size_t>(std::clamp(y - shift[1], 0, height - 1)) * width * 3;
            uint8_t* o = out + static_cast<size_t>(y) * width * 4;
            for (int x = 0; x < width; x++) {
                const uint8_t* p = row + 3 * std::clamp(x - shift[0], 0, width - 1);
                for (int c = 0; c < 3; c++) {
                    const int v = lut[p[c]] + noise[at];
                    at = (at + 1) & mask;
                    o[4 * x + c] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
                }
                o[4 * x + 3] = 255;
            }
        }
        return rng.range(85, 115);
    }
};

// ---- Labels ----------------------------------------------------------------------------

// Provisional labels the documented labeling scan needs for `frame`: one per dark
// pixel of the interior (blue + green + red <= 3 * threshold, outermost rows and
// columns excluded) none of whose already scanned neighbours (left, upper left, up,
// upper right) is a dark interior pixel. markDetect may fail for lack of labels only
// when this exceeds kMarkLabelMax.
long soakLabelsNeeded(const uint8_t* frame, int width, int height, int threshold)
{
    auto dark = [&](int x, int y) {
        if (x < 1 || y < 1 || x > width - 2 || y > height - 2) return false;
        const uint8_t* p = frame + (static_cast<size_t>(y) * width + x) * 4;
        return p[0] + p[1] + p[2] <= 3 * threshold;
    };
    long needed = 0;
    for (int y = 1; y < height - 1; y++)
        for (int x = 1; x < width - 1; x++)
            if (dark(x, y) && !dark(x - 1, y) && !dark(x - 1, y - 1) && !dark(x, y - 1) &&
                !dark(x + 1, y - 1))
                needed++;
    return needed;
}

// ---- Memory ----------------------------------------------------------------------------

// Resident size in KiB from /proc/self/status, or -1.
long soakRssKiB()
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            kib = std::strtol(line + 6, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return kib;
}

// The measure the memory check compares: resident size, or under AddressSanitizer the
// live heap (its quarantine holds freed blocks resident by design), in KiB.
long soakMemoryKiB()
{
#ifdef SOAK_ASAN
    return static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024);
#else
    return soakRssKiB();
#endif
}

// ---- Checks and counts ------------------------------------------------------------------

enum SoakCheck {
    kCheckDetectFailed,
    kCheckFailureContract,
    kCheckCount,
    kCheckRecord,
    kCheckRecall,
    kCheckEmptyFrame,
    kCheckNoiseIdentity,
    kCheckWrongIdentity,
    kCheckPoseValue,
    kCheckPoseTruth,
    kCheckMemory,
    kCheckKinds
};
const char* const kSoakCheckNames[kCheckKinds] = {
    "markDetect failed though the frame needs no more labels than it has",
    "markDetect failure broke its contract",
    "marker count out of range",
    "marker record out of range or not finite",
    "history recall differs from its documented rules",
    "fresh marker on an all-dark or all-bright frame",
    "confident identity on a noise-only frame",
    "confident identity where no such marker is",
    "poseGetTransform result not finite, not orthonormal or touched after -1",
    "pose does not put the marker where it was rendered",
    "memory not flat"};

struct SoakStats {
    long framesOfKind[kKindCount] = {};
    long freshOfKind[kKindCount] = {};
    long recognisedOfKind[kKindCount] = {};
    long recalledOfKind[kKindCount] = {};
    long labelOverflowOfKind[kKindCount] = {};
    long carriedOfKind[kKindCount] = {};
    long carriedElsewhere = 0;
    double noiseConfidence =
        0.0;  // highest confidence of a fresh marker on a noise-only frame  // carried identities where no marker of that picture is
    long posed = 0, poseFailed = 0;
    long visibleOfKind[kKindCount] = {};  // rendered markers wholly in view and uncovered
    long foundOfKind[kKindCount] = {};    // of those, found afresh with their identity
    long truthPosed = 0, rotationOff = 0;
    double worstRotationDeg = 0.0, worstTranslation = 0.0, worstRegistrationPx = 0.0;
    long registrationOver[4] = {};  // above 1, 2, 4, 8 pixels
    long failures[kCheckKinds] = {};
    double detectSeconds = 0.0, changeSeconds = 0.0, slowestFrame = 0.0;
};

// Prints one failure in full while fewer than kSoakPrintLimit of its check were printed.
void soakFail(SoakStats* stats, SoakCheck check, long frame, SoakKind kind, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void soakFail(SoakStats* stats, SoakCheck check, long frame, SoakKind kind, const char* format, ...)
{
    if (stats->failures[check]++ >= kSoakPrintLimit) return;
    std::printf("FAIL frame %ld (%s): %s: ", frame, kSoakKindNames[kind], kSoakCheckNames[check]);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
}

bool soakFinite(const double* v, int n)
{
    for (int i = 0; i < n; i++)
        if (!std::isfinite(v[i])) return false;
    return true;
}

bool soakSameMarker(const DetectedMarker& a, const DetectedMarker& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Whether (x, y) lies inside the quadrilateral q (either winding), grown by `margin` pixels.
bool soakInsideQuad(const double q[4][2], double x, double y, double margin)
{
    int sign = 0;
    for (int k = 0; k < 4; k++) {
        const double* a = q[k];
        const double* b = q[(k + 1) % 4];
        const double ex = b[0] - a[0], ey = b[1] - a[1];
        const double len = std::hypot(ex, ey);
        if (len <= 0.0) return false;
        const double cross = (ex * (y - a[1]) - ey * (x - a[0])) / len;  // signed distance
        if (std::fabs(cross) <= margin) continue;
        const int s = cross > 0 ? 1 : -1;
        if (sign != 0 && s != sign) return false;
        sign = s;
    }
    return true;
}

// The picture index of every rendered marker of pool frame `index` (none for plain frames).
void soakPicturesOf(const SoakPool& pool, int index, int picture[kSynthMaxMarkers])
{
    const int t = pool.trajectoryOf[index];
    for (int k = 0; k < kSynthMaxMarkers; k++) picture[k] = -1;
    if (t < 0) return;
    for (int k = 0; k < pool.trajectories[t].markerCount; k++)
        picture[k] = pool.trajectories[t].paths[k].picture;
}

// The rendered marker of picture `slot` whose quadrilateral holds (x, y), or -1.
int soakTruthAt(const SynthTruth& truth, const int markerPicture[kSynthMaxMarkers], int slot,
                double x, double y)
{
    for (int m = 0; m < truth.markerCount; m++) {
        if (!truth.markers[m].facing || markerPicture[m] != slot) continue;
        if (soakInsideQuad(truth.markers[m].observedCorners, x, y, 3.0)) return m;
    }
    return -1;
}

// Field ranges every DetectedMarker must respect. Returns an empty string or the fault.
std::string soakRecordFault(const DetectedMarker& m, int width, int height)
{
    char text[160] = "";
    if (m.patternId < -1 || m.patternId >= patternCount)
        std::snprintf(text, sizeof text, "patternId %d", m.patternId);
    else if (m.direction < -1 || m.direction > 3)
        std::snprintf(text, sizeof text, "direction %d", m.direction);
    else if (!(m.confidence == -1.0 || (m.confidence >= 0.0 && m.confidence <= 1.0 + 1e-9)))
        std::snprintf(text, sizeof text, "confidence %g", m.confidence);
    else if (m.patternId >= 0 && m.confidence < 0.5)
        std::snprintf(text, sizeof text, "identity %d kept at confidence %g", m.patternId,
                      m.confidence);
    else if (m.area < kMarkAreaMin || m.area > kMarkAreaMax)
        std::snprintf(text, sizeof text, "area %d", m.area);
    else if (!(m.centroid[0] >= 0 && m.centroid[0] <= width - 1 && m.centroid[1] >= 0 &&
               m.centroid[1] <= height - 1))
        std::snprintf(text, sizeof text, "centroid (%g, %g)", m.centroid[0], m.centroid[1]);
    else if (!soakFinite(&m.edgeLines[0][0], 12) || !soakFinite(&m.cornerPoints[0][0], 8))
        std::snprintf(text, sizeof text, "edge lines or corners not finite");
    else {
        for (int k = 0; k < 4 && text[0] == '\0'; k++) {
            const double n = std::hypot(m.edgeLines[k][0], m.edgeLines[k][1]);
            if (std::fabs(n - 1.0) > 1e-6)
                std::snprintf(text, sizeof text, "edge line %d normal of length %g", k, n);
        }
    }
    return text;
}

// Rotation angle of R_true^T R in degrees.
double soakRotationErrorDeg(const double T[3][4], const double truth[3][4])
{
    double trace = 0.0;
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) trace += T[r][c] * truth[r][c];
    return std::acos(std::clamp((trace - 1.0) / 2.0, -1.0, 1.0)) * 180.0 / 3.14159265358979323846;
}

// The detector's history as its documented rules predict it, from the fresh markers of
// the last three successful calls (f = 0 the last): an entry per identity holds the last
// fresh marker with it from the latest of the last two calls that recognised it; a
// recalled marker is an exact copy of one. The carry-over copies the remembered
// confidence exactly, and entries of the last three calls take part in it.
struct SoakRecent {
    DetectedMarker fresh[3][kMarkOutputMax];
    int count[3] = {0, 0, 0};

    // The remembered marker of identity p, or null.
    const DetectedMarker* remembered(int p) const
    {
        for (int f = 0; f < 2; f++)
            for (int i = count[f] - 1; i >= 0; i--)
                if (fresh[f][i].patternId == p) return &fresh[f][i];
        return nullptr;
    }
    bool carried(const DetectedMarker& m) const
    {
        if (m.patternId < 0) return false;
        for (int f = 0; f < 3; f++)
            for (int i = 0; i < count[f]; i++)
                if (fresh[f][i].patternId == m.patternId &&
                    std::memcmp(&fresh[f][i].confidence, &m.confidence, sizeof m.confidence) == 0)
                    return true;
        return false;
    }
    void push(const DetectedMarker* list, int n)
    {
        for (int f = 2; f > 0; f--) {
            std::copy(fresh[f - 1], fresh[f - 1] + count[f - 1], fresh[f]);
            count[f] = count[f - 1];
        }
        std::copy(list, list + n, fresh[0]);
        count[0] = n;
    }
};

// The detector's documented test of an older and a newer marker at the same place.
bool soakSamePlace(const DetectedMarker& older, const DetectedMarker& newer)
{
    if (newer.area <= 0) return false;
    const double r = static_cast<double>(older.area) / newer.area;
    const double dx = newer.centroid[0] - older.centroid[0],
                 dy = newer.centroid[1] - older.centroid[1];
    return 0.7 <= r && r <= 1.43 && (dx * dx + dy * dy) / newer.area < 0.5;
}

// ---- One frame --------------------------------------------------------------------------

struct SoakFrameState {
    double transform[kSoakPictures][3][4] = {};  // per pattern, as the viewer keeps them
    SoakRecent recent;
    bool carried[kMarkOutputMax] = {};  // this frame's fresh markers: identity carried over
};

// Checks the detection list of one frame against the predicted history and counts it;
// returns the fresh count (the list's markers before the recalled ones).
int soakCheckList(const DetectedMarker* list, int count, const SoakPool& pool, int index,
                  long frame, SoakFrameState* state, SoakStats* stats)
{
    const SoakKind kind = pool.kind[index];
    const SoakRecent& recent = state->recent;
    // Recalled: the longest tail of exact copies of remembered markers. A copy whose
    // identity occurs earlier in the list is fresh (its place unchanged since the last
    // frame): an identity recognised afresh replaces its entry before the recall.
    int fresh = count;
    while (fresh > 0) {
        const DetectedMarker& m = list[fresh - 1];
        const DetectedMarker* r = m.patternId >= 0 ? recent.remembered(m.patternId) : nullptr;
        if (r == nullptr || !soakSameMarker(*r, m)) break;
        bool earlier = false;
        for (int i = 0; i < fresh - 1 && !earlier; i++) earlier = list[i].patternId == m.patternId;
        if (earlier) break;
        fresh--;
    }
    bool recognised[kPatternSlotMax] = {};
    for (int i = 0; i < count; i++) {
        const DetectedMarker& m = list[i];
        const std::string fault = soakRecordFault(m, pool.width, pool.height);
        if (!fault.empty())
            soakFail(stats, kCheckRecord, frame, kind, "marker %d: %s", i, fault.c_str());
        if (i >= fresh) continue;
        state->carried[i] = recent.carried(m);
        stats->carriedOfKind[kind] += state->carried[i];
        stats->freshOfKind[kind]++;
        if (m.patternId >= 0 && m.patternId < kPatternSlotMax) {
            stats->recognisedOfKind[kind]++;
            recognised[m.patternId] = true;
        }
    }
    stats->recalledOfKind[kind] += count - fresh;
    // Every remembered identity not recognised afresh is recalled unless something in the
    // list is at its place.
    for (int p = 0; p < patternCount && p < kPatternSlotMax; p++) {
        const DetectedMarker* r = recent.remembered(p);
        if (r == nullptr || recognised[p]) continue;
        bool recalled = false, covered = false;
        for (int i = 0; i < count; i++) {
            if (i >= fresh && soakSameMarker(*r, list[i]))
                recalled = true;
            else if (soakSamePlace(*r, list[i]))
                covered = true;
        }
        if (!recalled && !covered)
            soakFail(stats, kCheckRecall, frame, kind,
                     "identity %d last seen at (%.1f, %.1f) not recalled", p, r->centroid[0],
                     r->centroid[1]);
    }
    static DetectedMarker freshList[kMarkOutputMax];
    std::copy(list, list + fresh, freshList);
    state->recent.push(freshList, fresh);
    return fresh;
}

// Fresh markers against what was rendered.
void soakCheckTruth(const DetectedMarker* list, int fresh, const bool carried[],
                    const SoakPool& pool, int index, const int shift[2],
                    const int pictureOfSlot[kPatternSlotMax], long frame, SoakStats* stats)
{
    const SoakKind kind = pool.kind[index];
    if ((kind == kAllDark || kind == kAllBright) && fresh > 0) {
        soakFail(stats, kCheckEmptyFrame, frame, kind,
                 "%d fresh markers, the first of area %d at (%.1f, %.1f)", fresh, list[0].area,
                 list[0].centroid[0], list[0].centroid[1]);
    }
    for (int i = 0; i < fresh; i++) {
        const DetectedMarker& m = list[i];
        if (kind == kNoiseOnly && !carried[i])
            stats->noiseConfidence = std::max(stats->noiseConfidence, m.confidence);
        if (m.patternId < 0) continue;
        if (carried[i]) {
            // The history's carry-over keeps an identity while something is seen at the
            // same place, by design; counted, not judged.
            int picture[kSynthMaxMarkers];
            soakPicturesOf(pool, index, picture);
            if (kind >= kNoiseOnly ||
                soakTruthAt(pool.truth[index], picture, pictureOfSlot[m.patternId],
                            m.centroid[0] - shift[0], m.centroid[1] - shift[1]) < 0)
                stats->carriedElsewhere++;
            continue;
        }
        if (m.confidence < kSoakConfident) continue;
        if (kind == kNoiseOnly) {
            soakFail(stats, kCheckNoiseIdentity, frame, kind,
                     "pattern %d at confidence %.3f, area %d", m.patternId, m.confidence, m.area);
        } else if (kind < kNoiseOnly) {
            int picture[kSynthMaxMarkers];
            soakPicturesOf(pool, index, picture);
            if (soakTruthAt(pool.truth[index], picture, pictureOfSlot[m.patternId],
                            m.centroid[0] - shift[0], m.centroid[1] - shift[1]) < 0) {
                soakFail(stats, kCheckWrongIdentity, frame, kind,
                         "pattern %d (%s) at confidence %.3f, area %d at (%.1f, %.1f)", m.patternId,
                         kSoakNames[pictureOfSlot[m.patternId]], m.confidence, m.area,
                         m.centroid[0], m.centroid[1]);
            }
        }
    }
}

// Every rendered marker wholly in view and uncovered: found with its identity?
void soakCountVisible(const DetectedMarker* list, int fresh, const SoakPool& pool, int index,
                      const int shift[2], const int slotOfPicture[kSoakPictures], SoakStats* stats)
{
    const SynthTruth& truth = pool.truth[index];
    int picture[kSynthMaxMarkers];
    soakPicturesOf(pool, index, picture);
    for (int m = 0; m < truth.markerCount; m++) {
        const SynthMarkerTruth& t = truth.markers[m];
        if (!t.inFrame || t.occluded) continue;
        stats->visibleOfKind[pool.kind[index]]++;
        for (int i = 0; i < fresh; i++) {
            if (list[i].patternId != slotOfPicture[picture[m]]) continue;
            if (!soakInsideQuad(t.observedCorners, list[i].centroid[0] - shift[0],
                                list[i].centroid[1] - shift[1], 3.0))
                continue;
            stats->foundOfKind[pool.kind[index]]++;
            break;
        }
    }
}

// Checks one poseGetTransform call: its value, the transform, and for a confident fresh
// marker wholly in view the distance from the rendered pose.
void soakCheckPose(const DetectedMarker& m, bool fresh, double error, const double before[3][4],
                   const double T[3][4], const SoakPool& pool, int index, const int shift[2],
                   const int pictureOfSlot[kPatternSlotMax], long frame, SoakStats* stats)
{
    const SoakKind kind = pool.kind[index];
    if (error == -1.0) {
        stats->poseFailed++;
        if (std::memcmp(before, T, sizeof(double) * 12) != 0)
            soakFail(stats, kCheckPoseValue, frame, kind, "transform changed after -1 (pattern %d)",
                     m.patternId);
        return;
    }
    stats->posed++;
    if (!(error >= 0.0 && std::isfinite(error)) || !soakFinite(&T[0][0], 12)) {
        soakFail(stats, kCheckPoseValue, frame, kind, "error %g, t = (%g, %g, %g)", error, T[0][3],
                 T[1][3], T[2][3]);
        return;
    }
    double worst = 0.0;
    for (int a = 0; a < 3; a++)
        for (int b = 0; b < 3; b++) {
            double dot = 0.0;
            for (int r = 0; r < 3; r++) dot += T[r][a] * T[r][b];
            worst = std::max(worst, std::fabs(dot - (a == b ? 1.0 : 0.0)));
        }
    if (worst > 1e-6)
        soakFail(stats, kCheckPoseValue, frame, kind, "rotation off orthonormal by %g", worst);

    if (!fresh || kind >= kNoiseOnly || m.confidence < kSoakConfident) return;
    int picture[kSynthMaxMarkers];
    soakPicturesOf(pool, index, picture);
    const SynthTruth& truth = pool.truth[index];
    const int t = soakTruthAt(truth, picture, pictureOfSlot[m.patternId], m.centroid[0] - shift[0],
                              m.centroid[1] - shift[1]);
    if (t < 0 || !truth.markers[t].inFrame || truth.markers[t].occluded) return;
    const double(*P)[4] = truth.markers[t].pose;
    const double rotation = soakRotationErrorDeg(T, P);
    const double distance = std::sqrt(P[0][3] * P[0][3] + P[1][3] * P[1][3] + P[2][3] * P[2][3]);
    const double translation = std::sqrt((T[0][3] - P[0][3]) * (T[0][3] - P[0][3]) +
                                         (T[1][3] - P[1][3]) * (T[1][3] - P[1][3]) +
                                         (T[2][3] - P[2][3]) * (T[2][3] - P[2][3])) /
                               distance;
    double corners[4][2];
    for (int k = 0; k < 4; k++) {
        corners[k][0] = truth.markers[t].idealCorners[k][0] + shift[0];
        corners[k][1] = truth.markers[t].idealCorners[k][1] + shift[1];
    }
    const double registration =
        poseTruthReprojectionPx(camCurrentParam.projection, T, corners, kSoakSide);
    double longest = 0.0;
    for (int k = 0; k < 4; k++)
        longest = std::max(longest, std::hypot(corners[(k + 1) % 4][0] - corners[k][0],
                                               corners[(k + 1) % 4][1] - corners[k][1]));
    const double limit = kSoakRegistrationBasePx + kSoakRegistrationPerSide * longest;
    stats->truthPosed++;
    stats->rotationOff += rotation > kSoakRotationReportDeg;
    stats->worstRotationDeg = std::max(stats->worstRotationDeg, rotation);
    stats->worstTranslation = std::max(stats->worstTranslation, translation);
    stats->worstRegistrationPx = std::max(stats->worstRegistrationPx, registration);
    for (int b = 0; b < 4; b++) stats->registrationOver[b] += registration > (1 << b);
    if (!(registration <= limit)) {
        soakFail(stats, kCheckPoseTruth, frame, kind,
                 "pattern %d at confidence %.3f: corners reprojected %.1f px (limit %.1f) from the "
                 "rendered ones (rotation off by "
                 "%.1f degrees, translation by %.1f%%, pool frame %d)",
                 m.patternId, m.confidence, registration, limit, rotation, 100.0 * translation,
                 index);
    }
}

// The viewer's steps 5 to 8 on one frame: detection, then every pattern's most
// confident detection posed. Returns markDetect's result; the timed part.
struct SoakPosed {
    int detection[kSoakPictures];  // index into the list, or -1
    double before[kSoakPictures][3][4];
    double error[kSoakPictures];
};

int soakDetectAndPose(const uint8_t* frame, int threshold, const int slotOfPicture[kSoakPictures],
                      SoakFrameState* state, DetectedMarker** list, int32_t* count,
                      SoakPosed* posed)
{
    const int result = markDetect(frame, threshold, list, count);
    for (int k = 0; k < kSoakPictures; k++) posed->detection[k] = -1;
    if (result < 0) return result;
    for (int i = 0; i < *count; i++) {
        for (int k = 0; k < kSoakPictures; k++) {
            if ((*list)[i].patternId != slotOfPicture[k]) continue;
            const int a = posed->detection[k];
            if (a == -1 || (*list)[a].confidence < (*list)[i].confidence) posed->detection[k] = i;
        }
    }
    const double center[2] = {0.0, 0.0};
    for (int k = 0; k < kSoakPictures; k++) {
        if (posed->detection[k] < 0) continue;
        std::memcpy(posed->before[k], state->transform[k], sizeof posed->before[k]);
        posed->error[k] =
            poseGetTransform(&(*list)[posed->detection[k]], center, kSoakSide, state->transform[k]);
    }
    return result;
}

void soakReport(const SoakOptions& options, const SoakPool& pool, const SoakStats& stats,
                long memoryAt, long memoryEnd, long rssAt, long rssEnd, long memoryFrame,
                double elapsed)
{
    const double frames = static_cast<double>(options.frames);
    std::printf("\nsoak: %ld frames of %dx%d, seed %" PRIu64 "\n", options.frames, options.width,
                options.height, options.seed);
    std::printf("pool: %d rendered frames (%zu trajectories of %d steps, %d noise-only, dark and "
                "bright) in %.1f s "
                "(%.1f ms a frame)\n",
                pool.frames, pool.trajectories.size(), pool.steps,
                kSoakNoiseFrames + kSoakDarkFrames + kSoakBrightFrames, pool.renderSeconds,
                1000.0 * pool.renderSeconds / pool.frames);
    std::printf("per-frame change of a pool frame: %.2f ms a frame (not in the speed below)\n",
                1000.0 * stats.changeSeconds / frames);
    std::printf("detect+pose: %.1f s, %.1f frames per second (%.2f ms a frame, slowest %.1f ms)\n",
                stats.detectSeconds, frames / stats.detectSeconds,
                1000.0 * stats.detectSeconds / frames, 1000.0 * stats.slowestFrame);
    std::printf("\n%-17s %7s %8s %8s %8s %8s %9s %8s %7s\n", "kind", "frames", "visible", "found",
                "fresh", "known", "carried", "recalled", "no lab.");
    long visible = 0, found = 0;
    for (int k = 0; k < kKindCount; k++) {
        std::printf("%-17s %7ld %8ld %8ld %8ld %8ld %9ld %8ld %7ld\n", kSoakKindNames[k],
                    stats.framesOfKind[k], stats.visibleOfKind[k], stats.foundOfKind[k],
                    stats.freshOfKind[k], stats.recognisedOfKind[k], stats.carriedOfKind[k],
                    stats.recalledOfKind[k], stats.labelOverflowOfKind[k]);
        visible += stats.visibleOfKind[k];
        found += stats.foundOfKind[k];
    }
    std::printf(
        "(visible: rendered markers wholly in view and uncovered, found: of those, found afresh "
        "with\n"
        " their identity; fresh: markers found in the frame itself, known: of those with an "
        "identity,\n"
        " carried: with the identity taken from the history; recalled: reported from the history\n"
        " alone; no lab.: markDetect ran out of labels)\n");
    std::printf(
        "carried identities where no marker of that picture is: %ld (the history's design)\n",
        stats.carriedElsewhere);
    std::printf("highest confidence of a marker found afresh on a noise-only frame: %.3f (identity "
                "kept from 0.50, "
                "failure from %.2f)\n\n",
                stats.noiseConfidence, kSoakConfident);
    std::printf("posed: %ld, pose failed (-1): %ld\n", stats.posed, stats.poseFailed);
    std::printf("wholly visible rendered markers found with their identity: %ld of %ld (%.1f%%)\n",
                found, visible, visible ? 100.0 * found / visible : 0.0);
    std::printf("confident poses checked against the rendered pose: %ld; registration worst %.2f "
                "px (above 1, 2, 4, "
                "8 px: %ld, %ld, %ld, %ld)\n",
                stats.truthPosed, stats.worstRegistrationPx, stats.registrationOver[0],
                stats.registrationOver[1], stats.registrationOver[2], stats.registrationOver[3]);
    std::printf("  worst rotation %.2f degrees (%ld above %.0f degrees: tilt ambiguity of small "
                "markers), worst "
                "translation %.2f%%\n",
                stats.worstRotationDeg, stats.rotationOff, kSoakRotationReportDeg,
                100.0 * stats.worstTranslation);
    std::printf("resident size: %ld KiB after %ld frames, %ld KiB at the end%s\n", rssAt,
                memoryFrame, rssEnd,
                memoryFrame < kSoakRssFrame ? " (a run this short cannot show growth)" : "");
#ifdef SOAK_ASAN
    std::printf("live heap (AddressSanitizer build, checked instead of the resident size): %ld KiB "
                "after %ld frames, "
                "%ld KiB at the end\n",
                memoryAt, memoryFrame, memoryEnd);
#else
    (void)memoryAt;
    (void)memoryEnd;
#endif
    std::printf("elapsed: %.1f s\n", elapsed);
}

// What the soak loads before it starts, as the viewer's start-up does.
struct SoakSetup {
    CameraParam cam;                     // the shipped camera resized to the frame size
    SynthImage pictures[kSoakPictures];  // the shipped marker pictures
    int slotOfPicture[kSoakPictures];    // pattern slot of each picture
    int pictureOfSlot[kPatternSlotMax];  // picture of each slot, -1 for none
};

// The camera file, resized to the frame size and installed, then the patterns in the
// configured order. Returns 0, or -1 after a message.
int soakSetUp(const SoakOptions& options, SoakSetup* setup)
{
    const std::string data = std::string(TARLIM_SOURCE_DIR) + "/data/";
    CameraParam loaded;
    if (camParamLoad((data + "camera.cam").c_str(), 1, &loaded) < 0) {
        std::fprintf(stderr, "soak: cannot load %scamera.cam\n", data.c_str());
        return -1;
    }
    camParamChangeSize(&loaded, options.width, options.height, &setup->cam);
    camParamInit(&setup->cam);
    std::fill(setup->pictureOfSlot, setup->pictureOfSlot + kPatternSlotMax, -1);
    for (int k = 0; k < kSoakPictures; k++) {
        const std::string base = data + "markers/" + kSoakNames[k];
        setup->slotOfPicture[k] = patternLoad((base + ".pat").c_str());
        if (setup->slotOfPicture[k] < 0 ||
            synthPngRead((base + ".png").c_str(), &setup->pictures[k]) != 0) {
            std::fprintf(stderr, "soak: cannot load %s.pat or .png\n", base.c_str());
            return -1;
        }
        setup->pictureOfSlot[setup->slotOfPicture[k]] = k;
    }
    return 0;
}

// One frame's outcome.
struct SoakOutcome {
    int result;                  // markDetect's
    const DetectedMarker* list;  // as markDetect left it
    int32_t count;
    SoakPosed posed;
};

// Every check of one frame (`frame` as detected, from pool frame `index`).
void soakCheckFrame(const SoakOutcome& out, const DetectedMarker* untouched, const uint8_t* frame,
                    int threshold, const SoakPool& pool, int index, const int shift[2],
                    const SoakSetup& setup, long n, SoakFrameState* state, SoakStats* stats)
{
    const SoakKind kind = pool.kind[index];
    if (out.result < 0) {
        if (out.count != 0 || out.list != untouched)
            soakFail(stats, kCheckFailureContract, n, kind, "count %d, list %s", out.count,
                     out.list == untouched ? "untouched" : "changed");
        const long needed = soakLabelsNeeded(frame, pool.width, pool.height, threshold);
        if (needed > kMarkLabelMax)
            stats->labelOverflowOfKind[kind]++;
        else
            soakFail(stats, kCheckDetectFailed, n, kind,
                     "threshold %d, pool frame %d, %ld labels needed", threshold, index, needed);
        return;
    }
    if (out.count < 0 || out.count > kMarkOutputMax) {
        soakFail(stats, kCheckCount, n, kind, "%d markers", out.count);
        return;
    }
    const int fresh = soakCheckList(out.list, out.count, pool, index, n, state, stats);
    soakCheckTruth(out.list, fresh, state->carried, pool, index, shift, setup.pictureOfSlot, n,
                   stats);
    if (kind < kNoiseOnly)
        soakCountVisible(out.list, fresh, pool, index, shift, setup.slotOfPicture, stats);
    for (int k = 0; k < kSoakPictures; k++) {
        const int i = out.posed.detection[k];
        if (i < 0) continue;
        soakCheckPose(out.list[i], i < fresh && !state->carried[i], out.posed.error[k],
                      out.posed.before[k], state->transform[k], pool, index, shift,
                      setup.pictureOfSlot, n, stats);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const auto started = std::chrono::steady_clock::now();
    SoakOptions options;
    const int parsed = soakParse(argc, argv, &options);
    if (parsed != 0) return parsed > 0 ? 0 : 2;
    static SoakSetup setup;
    if (soakSetUp(options, &setup) < 0) return 1;
    const CameraParam& cam = setup.cam;

    support::Random rng{options.seed};
    static SoakPool pool;
    if (soakBuildPool(cam, setup.pictures, options.frames, rng, &pool) < 0) return 1;
    static SoakChange change;
    change.init(rng);
    std::vector<uint8_t> frame(static_cast<size_t>(cam.width) * cam.height * 4);
    static SoakFrameState state;
    static SoakStats stats;
    SoakSchedule schedule;
    const long memoryFrame = std::min<long>(kSoakRssFrame, options.frames);
    long memoryAt = -1, rssAt = -1;
    // Resident size at frames 1,000, 10,000, 100,000 ... for the report: where it settles.
    long decadeRss[10] = {};
    int decades = 0;
    long nextDecade = kSoakRssFrame;
    static DetectedMarker sentinel;  // where the list points until markDetect sets it

    for (long n = 1; n <= options.frames; n++) {
        const int index = schedule.next(pool, rng);
        const auto t0 = std::chrono::steady_clock::now();
        const int threshold =
            change.apply(pool.frame(index), cam.width, cam.height, rng, frame.data());
        const auto t1 = std::chrono::steady_clock::now();
        DetectedMarker* list = &sentinel;
        SoakOutcome out;
        out.count = -1;
        out.result = soakDetectAndPose(frame.data(), threshold, setup.slotOfPicture, &state, &list,
                                       &out.count, &out.posed);
        out.list = list;
        const auto t2 = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(t2 - t1).count();
        stats.changeSeconds += std::chrono::duration<double>(t1 - t0).count();
        stats.detectSeconds += seconds;
        stats.slowestFrame = std::max(stats.slowestFrame, seconds);
        stats.framesOfKind[pool.kind[index]]++;
        soakCheckFrame(out, &sentinel, frame.data(), threshold, pool, index, change.shift, setup, n,
                       &state, &stats);
        if (n == memoryFrame) {
            memoryAt = soakMemoryKiB();
            rssAt = soakRssKiB();
        }
        if (n == nextDecade && decades < 10) {
            decadeRss[decades++] = soakRssKiB();
            nextDecade *= 10;
        }
    }

    const long memoryEnd = soakMemoryKiB(), rssEnd = soakRssKiB();
    if (memoryAt < 0 || memoryEnd < 0 || std::labs(memoryEnd - memoryAt) > kSoakRssSlackKiB) {
        stats.failures[kCheckMemory]++;
        std::printf("FAIL: %s: %ld KiB after %ld frames, %ld KiB at the end (limit %ld KiB; -1: "
                    "not readable)\n",
                    kSoakCheckNames[kCheckMemory], memoryAt, memoryFrame, memoryEnd,
                    kSoakRssSlackKiB);
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    soakReport(options, pool, stats, memoryAt, memoryEnd, rssAt, rssEnd, memoryFrame, elapsed);
    if (decades > 1) {
        std::printf("resident size by frame:");
        long at = kSoakRssFrame;
        for (int d = 0; d < decades; d++, at *= 10) std::printf(" %ld: %ld KiB;", at, decadeRss[d]);
        std::printf(" end: %ld KiB\n", rssEnd);
    }

    long failed = 0;
    for (int c = 0; c < kCheckKinds; c++) {
        if (stats.failures[c] == 0) continue;
        std::printf("FAILED: %s: %ld times\n", kSoakCheckNames[c], stats.failures[c]);
        failed += stats.failures[c];
    }
    if (failed > 0) return 1;
    std::printf("all checks held\n");
    return 0;
}
