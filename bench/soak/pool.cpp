// Soak set-up: the pool of rendered frames, the order they are played in, and the
// fresh change every played frame gets.
#include "bench/soak/soak.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

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

}  // namespace

// ---- The pool -------------------------------------------------------------------------------

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

// ---- Playing the pool ------------------------------------------------------------------------

void SoakSchedule::start(const SoakPool& pool, support::Random& rng)
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

int SoakSchedule::next(const SoakPool& pool, support::Random& rng)
{
    if (position == length) start(pool, rng);
    return list[position++];
}

void SoakChange::init(support::Random& rng)
{
    noise.resize(size_t(1) << kSoakNoiseTableBits);
    for (int8_t& n : noise)
        n = static_cast<int8_t>(std::clamp(std::lround(kSoakNoiseSigma * rng.gauss()), -12L, 12L));
}

int SoakChange::apply(const uint8_t* in, int width, int height, support::Random& rng, uint8_t* out)
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
