// Rendering a scene: every frame pixel is traced back through the lens model
// (observed -> ideal) and the inverse homography of each marker plane.
//
// Speed: labels (which marker, and which of its regions: margin, border or picture
// texel) are computed once per pixel corner. A pixel whose four corners carry the same
// label lies inside one region and takes its colour directly; only pixels on a
// boundary are supersampled, their sub-samples' ideal positions interpolated between
// the traced corners. Label and colour work is limited to each marker's bounding box
// in the frame.
#include "synth/synth.h"
#include "synth/internal.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

// Printed ink and paper grey levels: real prints are never pure black or white, and a
// detector must not rely on either (tunable).
constexpr double kSynthInk = 24.0;
constexpr double kSynthPaper = 236.0;

// A label is -1 (background) or (marker index << 22) | region code, the code being
// 0 (margin), 1 (border) or 2 + texel index (picture).
constexpr int kSynthLabelBackground = -1;
constexpr int kSynthCodeMargin = 0;
constexpr int kSynthCodeBorder = 1;
constexpr int kSynthCodeTexel = 2;
constexpr int kSynthCodeBits = 22;
static_assert(kSynthCodeTexel + kSynthMaxPictureSide * kSynthMaxPictureSide < (1 << kSynthCodeBits),
              "texel codes must fit their bits");
static_assert((static_cast<long long>(kSynthMaxMarkers) << kSynthCodeBits) <= 0x7fffffffLL,
              "labels must fit an int");

// Outline points per edge when bounding a marker in the frame; the bound is then
// widened by a margin of pixels, which covers the lens's bending between samples.
constexpr int kSynthOutlineSteps = 32;
constexpr double kSynthBoxPad = 2.0;

struct SynthPrep {
    double h[3][3];     // marker plane (X, Y, 1) -> ideal image (u w, v w, w)
    double hinv[3][3];  // exact inverse: ideal (u, v, 1) -> (a, b, c), plane point
                        // (a / c, b / c), c = 1 / w, so a larger c is nearer
    double half;        // side / 2
    double quarter;     // side / 4, half the picture
    double outer;       // half of the paper: side / 2 + margin * side
    const SynthImage* picture;
    int facing;     // drawn at all
    double box[4];  // observed bounding box: xmin, xmax, ymin, ymax (pixels)
};

bool synthFinite(double v)
{
    return std::isfinite(v);
}

double synthDet3(const double m[3][3])
{
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

// Inverse by the adjugate; false when singular.
bool synthInvert3(const double m[3][3], double out[3][3])
{
    const double det = synthDet3(m);
    if (det == 0.0 || !synthFinite(det)) return false;
    const double inv = 1.0 / det;
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            out[r][c] = (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) * inv;
        }
    }
    return true;
}

bool synthImageUsable(const SynthImage* image, int maxSide)
{
    return image != nullptr && image->width >= 1 && image->width <= maxSide && image->height >= 1 &&
           image->height <= maxSide &&
           image->pixels.size() == static_cast<std::size_t>(image->width) * image->height * 4;
}

bool synthSceneValid(const SynthScene* scene)
{
    const CameraParam& cam = scene->camera;
    if (cam.width < 1 || cam.width > kSynthMaxImageSide || cam.height < 1 ||
        cam.height > kSynthMaxImageSide)
        return false;
    for (const auto& row : cam.projection)
        for (double v : row)
            if (!synthFinite(v)) return false;
    for (double v : cam.distortion)
        if (!synthFinite(v)) return false;
    if (scene->backgroundImage != nullptr &&
        !synthImageUsable(scene->backgroundImage, kSynthMaxImageSide))
        return false;
    if (!(scene->lightGradient >= 0.0 && scene->lightGradient <= 1.0) ||
        !synthFinite(scene->lightAngleDeg))
        return false;
    if (!(scene->blurSigma >= 0.0 && scene->blurSigma <= 10.0)) return false;
    if (!(scene->noiseSigma >= 0.0 && scene->noiseSigma <= 100.0)) return false;
    if (scene->supersample < 1 || scene->supersample > 8) return false;
    if (scene->shadowCount < 0 || scene->shadowCount > kSynthMaxShadows ||
        !(scene->shadowDepth >= 0.0 && scene->shadowDepth <= 0.95) ||
        !(scene->shadowSoftness >= 0.0 && scene->shadowSoftness <= 50.0))
        return false;
    for (double gain : scene->whiteBalance)
        if (!(gain >= 0.2 && gain <= 3.0)) return false;
    if (scene->darkSquares < 0 || scene->darkSquares > kSynthMaxDarkSquares) return false;
    if (scene->jpegQuality < 0 || scene->jpegQuality > 100) return false;
    if (scene->markerCount < 0 || scene->markerCount > kSynthMaxMarkers) return false;
    for (int m = 0; m < scene->markerCount; m++) {
        const SynthMarker& marker = scene->markers[m];
        if (!synthImageUsable(marker.picture, kSynthMaxPictureSide)) return false;
        if (!(marker.side > 0.0) || !synthFinite(marker.side) || !(marker.margin >= 0.0) ||
            !synthFinite(marker.margin))
            return false;
        for (const auto& row : marker.pose)
            for (double v : row)
                if (!synthFinite(v)) return false;
    }
    return true;
}

void synthApplyH(const double h[3][3], double x, double y, double out[3])
{
    for (int r = 0; r < 3; r++) out[r] = h[r][0] * x + h[r][1] * y + h[r][2];
}

// Observed bounding box of the marker's paper, or the whole frame when part of its
// outline lies behind the camera.
void synthMarkerBox(const SynthScene* scene, SynthPrep* prep)
{
    const double* dist = scene->camera.distortion;
    const double o = prep->outer;
    const double ends[5][2] = {{-o, o}, {o, o}, {o, -o}, {-o, -o}, {-o, o}};
    double box[4] = {1e300, -1e300, 1e300, -1e300};
    for (int e = 0; e < 4; e++) {
        for (int k = 0; k < kSynthOutlineSteps; k++) {
            const double t = static_cast<double>(k) / kSynthOutlineSteps;
            double p[3];
            synthApplyH(prep->h, ends[e][0] + (ends[e + 1][0] - ends[e][0]) * t,
                        ends[e][1] + (ends[e + 1][1] - ends[e][1]) * t, p);
            double ox = 0.0, oy = 0.0;
            if (p[2] > 0.0) camIdealToObserv(dist, p[0] / p[2], p[1] / p[2], &ox, &oy);
            if (!(p[2] > 0.0) || !synthFinite(ox) || !synthFinite(oy)) {
                prep->box[0] = -1.0;
                prep->box[1] = scene->camera.width;
                prep->box[2] = -1.0;
                prep->box[3] = scene->camera.height;
                return;
            }
            box[0] = std::min(box[0], ox);
            box[1] = std::max(box[1], ox);
            box[2] = std::min(box[2], oy);
            box[3] = std::max(box[3], oy);
        }
    }
    prep->box[0] = box[0] - kSynthBoxPad;
    prep->box[1] = box[1] + kSynthBoxPad;
    prep->box[2] = box[2] - kSynthBoxPad;
    prep->box[3] = box[3] + kSynthBoxPad;
}

// Homography, inverse, facing test and bounding box of one marker. A singular
// homography (the marker plane passes through the camera centre: edge-on) is not drawn.
void synthPrepareMarker(const SynthScene* scene, const SynthMarker& marker,
                        const double camCentre[3], SynthPrep* prep)
{
    const auto& P = scene->camera.projection;
    const auto& T = marker.pose;
    // H = P * [r1 r2 t; 0 0 1]: plane point (X, Y) -> camera X r1 + Y r2 + t -> image.
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 2; c++)
            prep->h[r][c] = P[r][0] * T[0][c] + P[r][1] * T[1][c] + P[r][2] * T[2][c];
        prep->h[r][2] = P[r][0] * T[0][3] + P[r][1] * T[1][3] + P[r][2] * T[2][3] + P[r][3];
    }
    prep->half = marker.side * 0.5;
    prep->quarter = marker.side * 0.25;
    prep->outer = prep->half + marker.margin * marker.side;
    prep->picture = marker.picture;
    // Front side towards the camera: the normal (third column of R) points from the
    // marker centre towards the camera centre.
    double toCamera = 0.0;
    for (int r = 0; r < 3; r++) toCamera += T[r][2] * (camCentre[r] - T[r][3]);
    prep->facing = toCamera > 0.0 && synthInvert3(prep->h, prep->hinv);
    if (prep->facing) synthMarkerBox(scene, prep);
}

// Label of ideal point (u, v), the observed point (ox, oy) selecting the candidate
// markers by their boxes. The nearest marker wins; ties keep the earlier one.
int synthLabelAt(const SynthPrep* preps, int count, double ox, double oy, double u, double v)
{
    int label = kSynthLabelBackground;
    double nearest = 0.0;
    for (int m = 0; m < count; m++) {
        const SynthPrep& p = preps[m];
        if (!p.facing || ox < p.box[0] || ox > p.box[1] || oy < p.box[2] || oy > p.box[3]) continue;
        double q[3];
        synthApplyH(p.hinv, u, v, q);
        if (!(q[2] > nearest)) continue;
        const double x = q[0] / q[2], y = q[1] / q[2];
        if (std::fabs(x) > p.outer || std::fabs(y) > p.outer) continue;
        nearest = q[2];
        int code = kSynthCodeBorder;
        if (std::fabs(x) > p.half || std::fabs(y) > p.half) {
            code = kSynthCodeMargin;
        } else if (std::fabs(x) < p.quarter && std::fabs(y) < p.quarter) {
            const SynthImage& pic = *p.picture;
            const int col = std::min(
                pic.width - 1, static_cast<int>((x + p.quarter) / (2.0 * p.quarter) * pic.width));
            const int row = std::min(
                pic.height - 1, static_cast<int>((p.quarter - y) / (2.0 * p.quarter) * pic.height));
            code = kSynthCodeTexel + row * pic.width + col;
        }
        label = (m << kSynthCodeBits) | code;
    }
    return label;
}

// Colour of a label; background labels take the backdrop pixel.
void synthLabelColour(const SynthPrep* preps, int label, const std::uint8_t* backdrop,
                      double out[3])
{
    if (label == kSynthLabelBackground) {
        for (int c = 0; c < 3; c++) out[c] = backdrop[c];
        return;
    }
    const int code = label & ((1 << kSynthCodeBits) - 1);
    if (code < kSynthCodeTexel) {
        const double level = code == kSynthCodeBorder ? kSynthInk : kSynthPaper;
        for (int c = 0; c < 3; c++) out[c] = level;
        return;
    }
    const std::uint8_t* texel =
        &preps[label >> kSynthCodeBits]
             .picture->pixels[static_cast<std::size_t>(code - kSynthCodeTexel) * 4];
    // The picture is printed: its black is ink, its white is paper.
    for (int c = 0; c < 3; c++) out[c] = kSynthInk + texel[c] * ((kSynthPaper - kSynthInk) / 255.0);
}

// Labels and ideal positions of the (width + 1) x (height + 1) pixel corners; corner
// (gx, gy) is the observed point (gx - 0.5, gy - 0.5), entry gy * (width + 1) + gx.
struct SynthCornerGrid {
    std::vector<int> label;     // background outside every marker box
    std::vector<double> ideal;  // (u, v) per corner; traced only inside marker boxes
    std::vector<char> traced;   // 1 where `ideal` holds the traced position
};

void synthTraceCorner(const SynthScene* scene, const SynthPrep* preps, int gx, int gy,
                      SynthCornerGrid* grid)
{
    const std::size_t g = static_cast<std::size_t>(gy) * (scene->camera.width + 1) + gx;
    double* ideal = &grid->ideal[g * 2];
    camObservToIdeal(scene->camera.distortion, gx - 0.5, gy - 0.5, &ideal[0], &ideal[1]);
    grid->label[g] =
        synthLabelAt(preps, scene->markerCount, gx - 0.5, gy - 0.5, ideal[0], ideal[1]);
    grid->traced[g] = 1;
}

void synthLabelCorners(const SynthScene* scene, const SynthPrep* preps, SynthCornerGrid* grid)
{
    const int width = scene->camera.width, height = scene->camera.height;
    const std::size_t count = static_cast<std::size_t>(width + 1) * (height + 1);
    grid->label.assign(count, kSynthLabelBackground);
    grid->ideal.assign(count * 2, 0.0);
    grid->traced.assign(count, 0);
    for (int gy = 0; gy <= height; gy++) {
        const double oy = gy - 0.5;
        double lo = 1e300, hi = -1e300;
        for (int m = 0; m < scene->markerCount; m++) {
            if (!preps[m].facing || oy < preps[m].box[2] || oy > preps[m].box[3]) continue;
            lo = std::min(lo, preps[m].box[0]);
            hi = std::max(hi, preps[m].box[1]);
        }
        if (lo > hi) continue;
        const int g0 = std::max(0, static_cast<int>(std::floor(lo + 0.5)));
        const int g1 = std::min(width, static_cast<int>(std::ceil(hi + 0.5)));
        for (int gx = g0; gx <= g1; gx++) synthTraceCorner(scene, preps, gx, gy, grid);
    }
}

// A pixel inside one region takes its colour; a pixel on a boundary averages n x n
// sub-samples. Their ideal positions are interpolated between the pixel's four traced
// corners: across one pixel the lens mapping is linear to far below 0.001 pixel.
void synthShadePixel(const SynthScene* scene, const SynthPrep* preps, SynthCornerGrid* grid,
                     const std::uint8_t* backdrop, int x, int y, double out[3])
{
    const int width = scene->camera.width;
    const std::size_t g = static_cast<std::size_t>(y) * (width + 1) + x;
    const std::size_t corners[4] = {g, g + 1, g + width + 1, g + width + 2};
    const int label = grid->label[corners[0]];
    if (grid->label[corners[1]] == label && grid->label[corners[2]] == label &&
        grid->label[corners[3]] == label) {
        synthLabelColour(preps, label, backdrop, out);
        return;
    }
    const int cornerX[4] = {x, x + 1, x, x + 1}, cornerY[4] = {y, y, y + 1, y + 1};
    for (int k = 0; k < 4; k++)
        if (!grid->traced[corners[k]]) synthTraceCorner(scene, preps, cornerX[k], cornerY[k], grid);
    const double* i00 = &grid->ideal[corners[0] * 2];
    const double* i10 = &grid->ideal[corners[1] * 2];
    const double* i01 = &grid->ideal[corners[2] * 2];
    const double* i11 = &grid->ideal[corners[3] * 2];
    const int n = scene->supersample;
    double sum[3] = {0.0, 0.0, 0.0};
    for (int j = 0; j < n; j++) {
        const double t = (j + 0.5) / n;
        for (int i = 0; i < n; i++) {
            const double s = (i + 0.5) / n;
            const double w00 = (1 - s) * (1 - t), w10 = s * (1 - t), w01 = (1 - s) * t, w11 = s * t;
            const double u = w00 * i00[0] + w10 * i10[0] + w01 * i01[0] + w11 * i11[0];
            const double v = w00 * i00[1] + w10 * i10[1] + w01 * i01[1] + w11 * i11[1];
            double colour[3];
            synthLabelColour(
                preps, synthLabelAt(preps, scene->markerCount, x - 0.5 + s, y - 0.5 + t, u, v),
                backdrop, colour);
            for (int c = 0; c < 3; c++) sum[c] += colour[c];
        }
    }
    for (int c = 0; c < 3; c++) out[c] = sum[c] / (n * n);
}

struct SynthScratch {
    std::vector<std::uint8_t> backdrop;
    SynthCornerGrid grid;
    std::vector<double> work;
};

// Ideal and observed corners, visibility and occlusion of marker m.
void synthMarkerTruth(const SynthScene* scene, const SynthPrep* preps, int m,
                      SynthMarkerTruth* truth)
{
    const SynthMarker& marker = scene->markers[m];
    const SynthPrep& prep = preps[m];
    const double signs[4][2] = {{-1, 1}, {1, 1}, {1, -1}, {-1, -1}};
    int inFront = 1, inFrame = 1;
    truth->occluded = 0;
    for (int k = 0; k < 4; k++) {
        double p[3];
        synthApplyH(prep.h, signs[k][0] * prep.half, signs[k][1] * prep.half, p);
        if (!(p[2] > 0.0)) inFront = 0;
        const double u = p[0] / p[2], v = p[1] / p[2];
        truth->idealCorners[k][0] = u;
        truth->idealCorners[k][1] = v;
        camIdealToObserv(scene->camera.distortion, u, v, &truth->observedCorners[k][0],
                         &truth->observedCorners[k][1]);
        const double ox = truth->observedCorners[k][0], oy = truth->observedCorners[k][1];
        if (!(ox >= 0.0 && ox <= scene->camera.width - 1 && oy >= 0.0 &&
              oy <= scene->camera.height - 1))
            inFrame = 0;
        if (p[2] > 0.0) {
            const int label = synthLabelAt(preps, scene->markerCount, ox, oy, u, v);
            if (label != kSynthLabelBackground && (label >> kSynthCodeBits) != m)
                truth->occluded = 1;
        }
    }
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 4; c++) truth->pose[r][c] = marker.pose[r][c];
    truth->facing = prep.facing && inFront;
    truth->inFrame = truth->facing && inFrame;
}

// Camera centre in camera coordinates: the null vector of P, -P3^-1 p4.
bool synthCameraCentre(const CameraParam& cam, double centre[3])
{
    double left[3][3], inv[3][3];
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) left[r][c] = cam.projection[r][c];
    if (!synthInvert3(left, inv)) return false;
    for (int r = 0; r < 3; r++)
        centre[r] = -(inv[r][0] * cam.projection[0][3] + inv[r][1] * cam.projection[1][3] +
                      inv[r][2] * cam.projection[2][3]);
    return true;
}

}  // namespace

int synthRender(const SynthScene* scene, SynthImage* frame, SynthTruth* truth)
{
    if (scene == nullptr || frame == nullptr || !synthSceneValid(scene)) return -1;
    double camCentre[3];
    if (!synthCameraCentre(scene->camera, camCentre)) return -1;

    // 1. Per marker: homography, facing test, bounding box.
    SynthPrep preps[kSynthMaxMarkers];
    for (int m = 0; m < scene->markerCount; m++)
        synthPrepareMarker(scene, scene->markers[m], camCentre, &preps[m]);

    // 2. Backdrop and pixel-corner labels. The working buffers (about 50 bytes per
    // pixel) are kept per thread between calls: allocating them afresh for every frame
    // cost more in page faults than the rendering itself.
    thread_local SynthScratch scratch;
    const int width = scene->camera.width, height = scene->camera.height;
    std::vector<std::uint8_t>& backdrop = scratch.backdrop;
    synthDrawBackdrop(scene, &backdrop);
    SynthCornerGrid& grid = scratch.grid;
    synthLabelCorners(scene, preps, &grid);

    // 3. Shade every pixel, supersampling those on region boundaries.
    std::vector<double>& work = scratch.work;
    work.resize(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            const std::size_t i = static_cast<std::size_t>(y) * width + x;
            synthShadePixel(scene, preps, &grid, &backdrop[i * 3], x, y, &work[i * 3]);
        }

    // 4. Light, blur, noise, bytes.
    if (synthImageMake(width, height, 0, 0, 0, frame) != 0) return -1;
    synthFinish(scene, &work, frame);
    if (scene->jpegQuality > 0 && synthApplyJpeg(scene, frame) < 0) return -1;

    // 5. Ground truth.
    if (truth != nullptr) {
        truth->markerCount = scene->markerCount;
        for (int m = 0; m < scene->markerCount; m++)
            synthMarkerTruth(scene, preps, m, &truth->markers[m]);
    }
    return 0;
}
