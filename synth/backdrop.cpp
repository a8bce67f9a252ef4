// The background behind the markers: a plain colour or a stretched image, optionally
// covered with seeded clutter: rotated rectangles, ellipses, bars, checker patches and
// dark squares, the kinds of shape that give a detector regions to reject.
#include "synth/internal.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

enum SynthShapeKind {
    kShapeRect,
    kShapeEllipse,
    kShapeBar,
    kShapeChecker,
    kShapeDarkSquare,
    kShapeKinds
};

struct SynthShape {
    int kind;
    double cx, cy;  // centre, pixels
    double ux, uy;  // unit vector of the shape's own x axis
    double hx, hy;  // half sizes along its own axes, pixels
    double cell;    // checker cell size, pixels
    std::uint8_t colour[3];
    std::uint8_t colour2[3];
};

void synthRandomColour(SynthRandom* random, int lo, int hi, std::uint8_t colour[3])
{
    for (int c = 0; c < 3; c++)
        colour[c] = static_cast<std::uint8_t>(
            lo + static_cast<int>(synthRandomUniform(random) * (hi - lo + 1)));
}

void synthRandomGrey(SynthRandom* random, int lo, int hi, std::uint8_t colour[3])
{
    const auto grey = static_cast<std::uint8_t>(
        lo + static_cast<int>(synthRandomUniform(random) * (hi - lo + 1)));
    colour[0] = colour[1] = colour[2] = grey;
}

SynthShape synthRandomShape(SynthRandom* random, int width, int height)
{
    SynthShape s{};
    const double scale = std::min(width, height);
    s.kind = static_cast<int>(synthRandomUniform(random) * kShapeKinds);
    s.cx = synthRandomUniform(random) * width;
    s.cy = synthRandomUniform(random) * height;
    // A random direction without trigonometry, so the clutter is the same everywhere.
    double ax = 0.0, ay = 0.0, len = 0.0;
    while (len < 0.01 || len > 1.0) {
        ax = synthRandomUniform(random) * 2.0 - 1.0;
        ay = synthRandomUniform(random) * 2.0 - 1.0;
        len = ax * ax + ay * ay;
    }
    len = std::sqrt(len);
    s.ux = ax / len;
    s.uy = ay / len;
    s.hx = scale * (0.02 + 0.12 * synthRandomUniform(random));
    s.hy = scale * (0.02 + 0.12 * synthRandomUniform(random));
    s.cell = std::max(3.0, scale * (0.01 + 0.02 * synthRandomUniform(random)));
    if (s.kind == kShapeBar)
        s.hy = std::max(1.0, scale * 0.008 * (1.0 + 2.0 * synthRandomUniform(random)));
    if (s.kind == kShapeDarkSquare) s.hy = s.hx;
    if (s.kind == kShapeDarkSquare)
        synthRandomGrey(random, 5, 70, s.colour);
    else if (synthRandomUniform(random) < 0.5)
        synthRandomGrey(random, 0, 255, s.colour);
    else
        synthRandomColour(random, 0, 255, s.colour);
    synthRandomGrey(random, 0, 255, s.colour2);
    return s;
}

// Colour of the shape at pixel centre (x, y), or null when the pixel is outside it.
const std::uint8_t* synthShapeAt(const SynthShape& s, double x, double y)
{
    const double dx = x - s.cx, dy = y - s.cy;
    const double u = dx * s.ux + dy * s.uy, v = -dx * s.uy + dy * s.ux;
    if (s.kind == kShapeEllipse) {
        const double eu = u / s.hx, ev = v / s.hy;
        return eu * eu + ev * ev <= 1.0 ? s.colour : nullptr;
    }
    if (std::fabs(u) > s.hx || std::fabs(v) > s.hy) return nullptr;
    if (s.kind != kShapeChecker) return s.colour;
    const long parity = static_cast<long>(std::floor((u + s.hx) / s.cell)) +
                        static_cast<long>(std::floor((v + s.hy) / s.cell));
    return (parity & 1) ? s.colour2 : s.colour;
}

void synthDrawShape(const SynthShape& s, int width, int height, std::vector<std::uint8_t>* backdrop)
{
    const double reach = std::sqrt(s.hx * s.hx + s.hy * s.hy) + 1.0;
    const int x0 = std::max(0, static_cast<int>(std::floor(s.cx - reach)));
    const int x1 = std::min(width - 1, static_cast<int>(std::ceil(s.cx + reach)));
    const int y0 = std::max(0, static_cast<int>(std::floor(s.cy - reach)));
    const int y1 = std::min(height - 1, static_cast<int>(std::ceil(s.cy + reach)));
    for (int y = y0; y <= y1; y++) {
        for (int x = x0; x <= x1; x++) {
            const std::uint8_t* colour = synthShapeAt(s, x, y);
            if (colour == nullptr) continue;
            std::uint8_t* out = &(*backdrop)[(static_cast<std::size_t>(y) * width + x) * 3];
            out[0] = colour[0];
            out[1] = colour[1];
            out[2] = colour[2];
        }
    }
}

void synthDrawBase(const SynthScene* scene, std::vector<std::uint8_t>* backdrop)
{
    const int width = scene->camera.width, height = scene->camera.height;
    const SynthImage* image = scene->backgroundImage;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            std::uint8_t* out = &(*backdrop)[(static_cast<std::size_t>(y) * width + x) * 3];
            const std::uint8_t* in = scene->background;
            if (image != nullptr) {
                const long ix = static_cast<long>(x) * image->width / width;
                const long iy = static_cast<long>(y) * image->height / height;
                in = &image->pixels[static_cast<std::size_t>(iy * image->width + ix) * 4];
            }
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
        }
    }
}

}  // namespace

std::uint64_t synthRandomNext(SynthRandom* random)
{
    std::uint64_t z = (random->state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

double synthRandomUniform(SynthRandom* random)
{
    return static_cast<double>(synthRandomNext(random) >> 11) * (1.0 / 9007199254740992.0);
}

void synthDrawBackdrop(const SynthScene* scene, std::vector<std::uint8_t>* backdrop)
{
    const int width = scene->camera.width, height = scene->camera.height;
    backdrop->assign(static_cast<std::size_t>(width) * height * 3, 0);
    synthDrawBase(scene, backdrop);
    if (scene->clutter) {
        // About one shape per 10000 pixels (30 on a 640x480 frame): busy, yet leaves room.
        const long shapes = 12 + static_cast<long>(width) * height / 15000;
        SynthRandom random{scene->clutterSeed * 0x2545f4914f6cdd1dull + 1};
        for (long i = 0; i < shapes; i++)
            synthDrawShape(synthRandomShape(&random, width, height), width, height, backdrop);
    }
    if (scene->darkSquares > 0) synthDrawDarkSquares(scene, backdrop);
    if (scene->busy) synthDrawBusy(scene, backdrop);
}
