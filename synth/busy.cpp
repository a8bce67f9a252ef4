// A busy desk behind the markers: papers with printed text, ruled lines and printed
// codes, dark things on the desk (a keyboard partly out of the picture, a phone, a
// notebook, a mug, a mouse, a pen), cables, and the soft shadows the things cast. A
// webcam above a desk sees about a third of its pixels dark, most of them in regions
// that are not markers: the frames where labeling dominates a detector's time.
//
// The layout is given in fractions of the frame (positions) and of its height (sizes),
// so every frame size shows the same desk; the seed only jitters it. Directions are
// slopes normalised with a square root, never angles, so the bytes do not depend on
// the platform's trigonometry.
#include "synth/internal.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

// 5 x 7 capitals A ... Z, one row per byte from the top, bit 4 the leftmost column.
const std::uint8_t kBusyFont[26][7] = {
    {0x0e, 0x11, 0x11, 0x1f, 0x11, 0x11, 0x11}, {0x1e, 0x11, 0x11, 0x1e, 0x11, 0x11, 0x1e},
    {0x0e, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0e}, {0x1e, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1e},
    {0x1f, 0x10, 0x10, 0x1e, 0x10, 0x10, 0x1f}, {0x1f, 0x10, 0x10, 0x1e, 0x10, 0x10, 0x10},
    {0x0e, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0f}, {0x11, 0x11, 0x11, 0x1f, 0x11, 0x11, 0x11},
    {0x0e, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0e}, {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0c},
    {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}, {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1f},
    {0x11, 0x1b, 0x15, 0x15, 0x11, 0x11, 0x11}, {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11},
    {0x0e, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0e}, {0x1e, 0x11, 0x11, 0x1e, 0x10, 0x10, 0x10},
    {0x0e, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0d}, {0x1e, 0x11, 0x11, 0x1e, 0x14, 0x12, 0x11},
    {0x0f, 0x10, 0x10, 0x0e, 0x01, 0x01, 0x1e}, {0x1f, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04},
    {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0e}, {0x11, 0x11, 0x11, 0x11, 0x11, 0x0a, 0x04},
    {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0a}, {0x11, 0x11, 0x0a, 0x04, 0x0a, 0x11, 0x11},
    {0x11, 0x11, 0x11, 0x0a, 0x04, 0x04, 0x04}, {0x1f, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1f},
};

// A turned rectangle: centre, unit vector of its own x axis, half sizes, pixels.
struct BusyRect {
    double cx, cy, ux, uy, hx, hy;
};

// A block of text lines on a paper, in paper coordinates (pixels from its top-left
// corner along its axes).
struct BusyText {
    double u0, u1, v0, v1;  // the block's box
    double glyph;           // glyph height, pixels (7 rows of the font)
    std::uint64_t key;      // picks the letters
};

// A printed code on a paper: a square of modules x modules cells from (u0, v0).
// Matrix codes have square modules and three finder squares; dot codes round dots.
struct BusyCode {
    double u0, v0, module;
    int modules;
    int dots;
    std::uint64_t key;
};

struct BusyPaper {
    BusyRect rect;
    std::uint8_t colour[3];
    std::uint8_t ink[3];
    double rule;  // spacing of ruled lines, pixels; 0: none
    double ruleWidth;
    int texts;
    BusyText text[3];
    int codes;
    BusyCode code[2];
};

// A solid thing on the desk: a rounded rectangle or an ellipse, optionally with an
// inset face (a phone's screen) or a grid of keys, and a soft shadow.
struct BusyThing {
    BusyRect rect;
    int ellipse;
    double radius;  // corner radius, pixels
    std::uint8_t colour[3];
    double inset;  // > 0: a face of `face` colour inset by this many pixels
    std::uint8_t face[3];
    double keyPitch;  // > 0: keys of `face` colour on this pitch, pixels
};

// A cable or a pen: a quadratic curve from a through b's pull to c, `width` pixels.
struct BusyCable {
    double ax, ay, bx, by, cx, cy, width;
    std::uint8_t colour[3];
};

constexpr int kBusyCableSegments = 12;

std::uint64_t busyHash(std::uint64_t key, long a, long b)
{
    SynthRandom random{key ^ (static_cast<std::uint64_t>(a) * 0x9e3779b97f4a7c15ull) ^
                       (static_cast<std::uint64_t>(b) * 0xc2b2ae3d27d4eb4full)};
    return synthRandomNext(&random);
}

void busyDirection(double slope, double* ux, double* uy)
{
    const double len = std::sqrt(1.0 + slope * slope);
    *ux = 1.0 / len;
    *uy = slope / len;
}

BusyRect busyRect(double cx, double cy, double hx, double hy, double slope)
{
    BusyRect r{cx, cy, 1.0, 0.0, hx, hy};
    busyDirection(slope, &r.ux, &r.uy);
    return r;
}

void busyLocal(const BusyRect& r, double x, double y, double* u, double* v)
{
    const double dx = x - r.cx, dy = y - r.cy;
    *u = dx * r.ux + dy * r.uy;
    *v = -dx * r.uy + dy * r.ux;
}

// Pixel range covered by a rectangle, clipped to the frame; false when empty.
bool busyBounds(const BusyRect& r, double grow, int width, int height, int box[4])
{
    const double reach = std::sqrt(r.hx * r.hx + r.hy * r.hy) + grow + 1.0;
    box[0] = std::max(0, static_cast<int>(std::floor(r.cx - reach)));
    box[1] = std::min(width - 1, static_cast<int>(std::ceil(r.cx + reach)));
    box[2] = std::max(0, static_cast<int>(std::floor(r.cy - reach)));
    box[3] = std::min(height - 1, static_cast<int>(std::ceil(r.cy + reach)));
    return box[0] <= box[1] && box[2] <= box[3];
}

void busySet(std::uint8_t* out, const std::uint8_t colour[3])
{
    out[0] = colour[0];
    out[1] = colour[1];
    out[2] = colour[2];
}

bool busyTextInk(const BusyText& t, double pu, double pv)
{
    if (pu < t.u0 || pu >= t.u1 || pv < t.v0 || pv >= t.v1) return false;
    const double cell = t.glyph / 7.0, step = t.glyph * 1.7, advance = 6.0 * cell;
    const long line = static_cast<long>((pv - t.v0) / step);
    const double row = (pv - t.v0 - static_cast<double>(line) * step) / cell;
    if (row >= 7.0) return false;
    const std::uint64_t lineHash = busyHash(t.key, line, -1);
    if (lineHash % 7 == 0) return false;  // a paragraph's end
    const long room = static_cast<long>((t.u1 - t.u0) / advance);
    const long length =
        room - static_cast<long>((lineHash >> 8) % static_cast<std::uint64_t>(room / 3 + 1));
    const long index = static_cast<long>((pu - t.u0) / advance);
    if (index >= length) return false;
    const double col = (pu - t.u0 - static_cast<double>(index) * advance) / cell;
    if (col >= 5.0) return false;
    const std::uint64_t charHash = busyHash(t.key, line, index);
    if (charHash % 6 == 0) return false;  // a space between words
    const int letter = static_cast<int>((charHash >> 8) % 26);
    return ((kBusyFont[letter][static_cast<int>(row)] >> (4 - static_cast<int>(col))) & 1) != 0;
}

bool busyCodeInk(const BusyCode& c, double pu, double pv)
{
    const double mu = (pu - c.u0) / c.module, mv = (pv - c.v0) / c.module;
    if (mu < 0.0 || mv < 0.0 || mu >= c.modules || mv >= c.modules) return false;
    const int i = static_cast<int>(mu), j = static_cast<int>(mv);
    if (c.dots) {
        const double du = mu - i - 0.5, dv = mv - j - 0.5;
        if (du * du + dv * dv > 0.36 * 0.36) return false;
        return ((busyHash(c.key, i, j) >> 20) & 1) != 0;
    }
    // Three finder squares (7 x 7: ring, gap, 3 x 3 core) with a blank separator.
    const int n = c.modules;
    const int corners[3][2] = {{0, 0}, {n - 7, 0}, {0, n - 7}};
    for (const auto& corner : corners) {
        const int fi = i - corner[0], fj = j - corner[1];
        if (fi >= -1 && fi <= 7 && fj >= -1 && fj <= 7) {
            if (fi < 0 || fi > 6 || fj < 0 || fj > 6) return false;
            const int d = std::max(std::abs(fi - 3), std::abs(fj - 3));
            return d == 3 || d <= 1;
        }
    }
    return ((busyHash(c.key, i, j) >> 20) & 1) != 0;
}

void busyDrawPaper(const BusyPaper& p, int width, int height, std::vector<std::uint8_t>* backdrop)
{
    int box[4];
    if (!busyBounds(p.rect, 0.0, width, height, box)) return;
    for (int y = box[2]; y <= box[3]; y++) {
        for (int x = box[0]; x <= box[1]; x++) {
            double u = 0.0, v = 0.0;
            busyLocal(p.rect, x, y, &u, &v);
            if (std::fabs(u) > p.rect.hx || std::fabs(v) > p.rect.hy) continue;
            const double pu = u + p.rect.hx, pv = v + p.rect.hy;
            bool ink = p.rule > 0.0 && pv > p.rule && std::fmod(pv, p.rule) < p.ruleWidth;
            for (int t = 0; t < p.texts && !ink; t++) ink = busyTextInk(p.text[t], pu, pv);
            for (int c = 0; c < p.codes && !ink; c++) ink = busyCodeInk(p.code[c], pu, pv);
            busySet(&(*backdrop)[(static_cast<std::size_t>(y) * width + x) * 3],
                    ink ? p.ink : p.colour);
        }
    }
}

// Signed-free distance test of a point in a thing's own axes: inside its outline.
bool busyThingInside(const BusyThing& t, double u, double v, double shrink)
{
    const double hx = t.rect.hx - shrink, hy = t.rect.hy - shrink;
    if (hx <= 0.0 || hy <= 0.0) return false;
    if (t.ellipse) {
        const double eu = u / hx, ev = v / hy;
        return eu * eu + ev * ev <= 1.0;
    }
    const double r = std::max(0.0, std::min(t.radius - shrink, std::min(hx, hy)));
    const double qx = std::max(0.0, std::fabs(u) - (hx - r)),
                 qy = std::max(0.0, std::fabs(v) - (hy - r));
    return qx * qx + qy * qy <= r * r;
}

// The soft shadow a thing casts down and to the right: the light it takes away falls
// linearly over `soft` pixels at the outline, up to `depth`.
void busyDrawShadow(const BusyThing& t, double offset, double soft, double depth, int width,
                    int height, std::vector<std::uint8_t>* backdrop)
{
    BusyRect r = t.rect;
    r.cx += offset;
    r.cy += offset * 1.5;
    int box[4];
    if (!busyBounds(r, soft, width, height, box)) return;
    BusyThing grown = t;
    grown.rect = r;
    grown.rect.hx += soft / 2.0;
    grown.rect.hy += soft / 2.0;
    grown.radius += soft / 2.0;
    const int steps = 4;
    for (int y = box[2]; y <= box[3]; y++) {
        for (int x = box[0]; x <= box[1]; x++) {
            double u = 0.0, v = 0.0;
            busyLocal(r, x, y, &u, &v);
            int inside = 0;
            for (int s = 0; s < steps; s++)
                inside += busyThingInside(grown, u, v, soft * (s + 0.5) / steps);
            if (inside == 0) continue;
            const double keep = 1.0 - depth * inside / steps;
            std::uint8_t* out = &(*backdrop)[(static_cast<std::size_t>(y) * width + x) * 3];
            for (int c = 0; c < 3; c++) out[c] = static_cast<std::uint8_t>(out[c] * keep + 0.5);
        }
    }
}

void busyDrawThing(const BusyThing& t, int width, int height, std::vector<std::uint8_t>* backdrop)
{
    int box[4];
    if (!busyBounds(t.rect, 0.0, width, height, box)) return;
    for (int y = box[2]; y <= box[3]; y++) {
        for (int x = box[0]; x <= box[1]; x++) {
            double u = 0.0, v = 0.0;
            busyLocal(t.rect, x, y, &u, &v);
            if (!busyThingInside(t, u, v, 0.0)) continue;
            const std::uint8_t* colour = t.colour;
            if (t.inset > 0.0 && busyThingInside(t, u, v, t.inset)) {
                colour = t.face;
                if (t.keyPitch > 0.0) {
                    // Keys: square caps with a gap of a fifth of the pitch between them.
                    const double ku = std::fmod(u + t.rect.hx, t.keyPitch),
                                 kv = std::fmod(v + t.rect.hy, t.keyPitch);
                    if (ku < t.keyPitch * 0.2 || kv < t.keyPitch * 0.2) colour = t.colour;
                }
            }
            busySet(&(*backdrop)[(static_cast<std::size_t>(y) * width + x) * 3], colour);
        }
    }
}

void busyDrawCable(const BusyCable& c, int width, int height, std::vector<std::uint8_t>* backdrop)
{
    double px[kBusyCableSegments + 1], py[kBusyCableSegments + 1];
    for (int k = 0; k <= kBusyCableSegments; k++) {
        const double t = static_cast<double>(k) / kBusyCableSegments, s = 1.0 - t;
        px[k] = s * s * c.ax + 2.0 * s * t * c.bx + t * t * c.cx;
        py[k] = s * s * c.ay + 2.0 * s * t * c.by + t * t * c.cy;
    }
    const double half = c.width / 2.0;
    for (int k = 0; k < kBusyCableSegments; k++) {
        const double x0 = px[k], y0 = py[k], dx = px[k + 1] - x0, dy = py[k + 1] - y0;
        const double len2 = dx * dx + dy * dy;
        const int bx0 = std::max(0, static_cast<int>(std::floor(std::min(x0, x0 + dx) - half)));
        const int bx1 =
            std::min(width - 1, static_cast<int>(std::ceil(std::max(x0, x0 + dx) + half)));
        const int by0 = std::max(0, static_cast<int>(std::floor(std::min(y0, y0 + dy) - half)));
        const int by1 =
            std::min(height - 1, static_cast<int>(std::ceil(std::max(y0, y0 + dy) + half)));
        for (int y = by0; y <= by1; y++) {
            for (int x = bx0; x <= bx1; x++) {
                double t = len2 > 0.0 ? ((x - x0) * dx + (y - y0) * dy) / len2 : 0.0;
                t = std::min(1.0, std::max(0.0, t));
                const double ex = x - (x0 + t * dx), ey = y - (y0 + t * dy);
                if (ex * ex + ey * ey <= half * half)
                    busySet(&(*backdrop)[(static_cast<std::size_t>(y) * width + x) * 3], c.colour);
            }
        }
    }
}

void busyGrey(std::uint8_t out[3], int b, int g, int r)
{
    out[0] = static_cast<std::uint8_t>(b);
    out[1] = static_cast<std::uint8_t>(g);
    out[2] = static_cast<std::uint8_t>(r);
}

}  // namespace

void synthDrawBusy(const SynthScene* scene, std::vector<std::uint8_t>* backdrop)
{
    const int width = scene->camera.width, height = scene->camera.height;
    const double W = width, H = height, s = H / 480.0;
    // Papers are drawn wider on frames wider than 4:3, so those show as much print.
    const double wide = std::max(1.0, W / H * 0.75);
    SynthRandom random{scene->busySeed * 0x8cb92ba72f3d8dd7ull + 13};
    // Jitter of +-a.
    auto jitter = [&random](double a) { return (synthRandomUniform(&random) * 2.0 - 1.0) * a; };
    auto key = [&random]() { return synthRandomNext(&random); };

    // Papers, from the bottom of the pile up.
    BusyPaper papers[5];
    const int paperCount = 5;
    for (BusyPaper& p : papers) {
        p = BusyPaper{};
        busyGrey(p.ink, 34, 32, 30);
    }
    {  // a letter: a heading and a page of body text
        BusyPaper& p = papers[0];
        p.rect = busyRect(W * (0.27 + jitter(0.02)), H * (0.46 + jitter(0.02)), 0.34 * H * wide,
                          0.44 * H, -0.12 + jitter(0.04));
        busyGrey(p.colour, 226, 230, 234);
        const double m = 0.12 * p.rect.hx;
        p.text[0] = {m, 2.0 * p.rect.hx - m, m, m + 1.7 * 18.0 * s * 1.9, 18.0 * s, key()};
        p.text[1] = {
            m, 2.0 * p.rect.hx - m, m + 1.7 * 18.0 * s * 2.0, 2.0 * p.rect.hy - m, 7.0 * s, key()};
        p.texts = 2;
    }
    {  // a report: larger body text and a matrix code
        BusyPaper& p = papers[1];
        p.rect = busyRect(W * (0.70 + jitter(0.02)), H * (0.28 + jitter(0.02)), 0.31 * H * wide,
                          0.40 * H, 0.2 + jitter(0.05));
        busyGrey(p.colour, 232, 236, 236);
        const double m = 0.12 * p.rect.hx;
        p.text[0] = {m, 2.0 * p.rect.hx - m, m, 2.0 * p.rect.hy * 0.62, 10.0 * s, key()};
        const double module = 2.6 * s;
        p.code[0] = {2.0 * p.rect.hx - m - 25 * module,
                     2.0 * p.rect.hy - m - 25 * module,
                     module,
                     25,
                     0,
                     key()};
        p.text[1] = {m,
                     2.0 * p.rect.hx - m - 28 * module,
                     2.0 * p.rect.hy * 0.66,
                     2.0 * p.rect.hy - m,
                     8.0 * s,
                     key()};
        p.texts = 2;
        p.codes = 1;
    }
    {  // a magazine page half out of the picture: two columns of small print, a dot code
        BusyPaper& p = papers[2];
        p.rect = busyRect(W * (0.06 + jitter(0.02)), H * (0.80 + jitter(0.02)), 0.30 * H * wide,
                          0.38 * H, 0.35 + jitter(0.05));
        busyGrey(p.colour, 222, 228, 230);
        const double m = 0.08 * p.rect.hx, mid = p.rect.hx;
        p.text[0] = {m, mid - m / 2, m, 2.0 * p.rect.hy - m, 6.0 * s, key()};
        p.text[1] = {mid + m / 2, 2.0 * p.rect.hx - m, m, 2.0 * p.rect.hy * 0.6, 6.0 * s, key()};
        const double module = 3.2 * s;
        p.code[0] = {mid + m / 2, 2.0 * p.rect.hy * 0.64, module, 16, 1, key()};
        p.texts = 2;
        p.codes = 1;
    }
    {  // a ruled yellow pad with large writing
        BusyPaper& p = papers[3];
        p.rect = busyRect(W * (0.56 + jitter(0.02)), H * (0.76 + jitter(0.02)), 0.26 * H * wide,
                          0.20 * H, -0.05 + jitter(0.04));
        busyGrey(p.colour, 150, 228, 240);
        busyGrey(p.ink, 70, 40, 30);
        p.rule = 14.0 * s * 1.7;
        p.ruleWidth = std::max(1.0, s);
        p.text[0] = {0.08 * p.rect.hx, 2.0 * p.rect.hx * 0.95,
                     p.rule * 1.25,    2.0 * p.rect.hy - 0.05 * p.rect.hy,
                     14.0 * s,         key()};
        p.texts = 1;
    }
    {  // a card with a title and a dot code
        BusyPaper& p = papers[4];
        p.rect = busyRect(W * (0.88 + jitter(0.02)), H * (0.90 + jitter(0.01)), 0.17 * H, 0.11 * H,
                          0.1 + jitter(0.04));
        busyGrey(p.colour, 238, 238, 238);
        const double m = 0.1 * p.rect.hy;
        p.text[0] = {m, 2.0 * p.rect.hx - m, m, m + 20.0 * s, 20.0 * s, key()};
        p.code[0] = {m, m + 30.0 * s, 2.4 * s, 14, 1, key()};
        p.texts = 1;
        p.codes = 1;
    }
    for (int i = 0; i < paperCount; i++) busyDrawPaper(papers[i], width, height, backdrop);

    // Things on the desk, with their shadows first.
    BusyThing things[6];
    for (BusyThing& t : things) t = BusyThing{};
    // keyboard, its lower half out of the picture
    things[0].rect = busyRect(W * (0.42 + jitter(0.02)), H * (1.01 + jitter(0.01)), 0.46 * W,
                              0.13 * H, 0.04 + jitter(0.02));
    things[0].radius = 0.02 * H;
    busyGrey(things[0].colour, 30, 30, 34);
    things[0].inset = 0.025 * H;
    busyGrey(things[0].face, 58, 58, 62);
    things[0].keyPitch = 0.058 * H;
    // phone
    things[1].rect = busyRect(W * (0.90 + jitter(0.01)), H * (0.52 + jitter(0.02)), 0.09 * H,
                              0.18 * H, -0.3 + jitter(0.05));
    things[1].radius = 0.025 * H;
    busyGrey(things[1].colour, 20, 20, 22);
    things[1].inset = 0.012 * H;
    busyGrey(things[1].face, 40, 34, 30);
    // notebook in the top-left corner
    things[2].rect = busyRect(W * (0.02 + jitter(0.01)), H * (0.04 + jitter(0.01)), 0.22 * H,
                              0.17 * H, 0.5 + jitter(0.05));
    things[2].radius = 0.01 * H;
    busyGrey(things[2].colour, 72, 46, 36);
    // mug: the rim and the coffee
    things[3].rect =
        busyRect(W * (0.47 + jitter(0.02)), H * (0.10 + jitter(0.01)), 0.095 * H, 0.09 * H, 0.0);
    things[3].ellipse = 1;
    busyGrey(things[3].colour, 44, 44, 140);
    things[3].inset = 0.015 * H;
    busyGrey(things[3].face, 24, 34, 52);
    // mouse
    things[4].rect = busyRect(W * (0.80 + jitter(0.01)), H * (0.90 + jitter(0.01)), 0.055 * H,
                              0.085 * H, 0.25 + jitter(0.05));
    things[4].ellipse = 1;
    busyGrey(things[4].colour, 36, 36, 38);
    // pen
    things[5].rect = busyRect(W * (0.30 + jitter(0.02)), H * (0.10 + jitter(0.01)), 0.16 * H,
                              0.008 * H, -0.45 + jitter(0.05));
    things[5].radius = 0.004 * H;
    busyGrey(things[5].colour, 120, 40, 24);
    const int thingCount = 6;
    for (int i = 0; i < thingCount; i++)
        busyDrawShadow(things[i], 0.02 * H, 0.03 * H, 0.15, width, height, backdrop);
    for (int i = 0; i < thingCount; i++) busyDrawThing(things[i], width, height, backdrop);

    // Cables over everything: the mouse's, the phone's charger, earphones, a lamp's.
    BusyCable cables[4];
    const BusyRect& mouse = things[4].rect;
    cables[0] = {mouse.cx + mouse.uy * mouse.hy,
                 mouse.cy - mouse.ux * mouse.hy,
                 W * (0.70 + jitter(0.03)),
                 H * (0.45 + jitter(0.03)),
                 W * 1.02,
                 H * (0.05 + jitter(0.03)),
                 3.0 * s,
                 {30, 30, 30}};
    const BusyRect& phone = things[1].rect;
    cables[1] = {phone.cx - phone.uy * phone.hy,
                 phone.cy + phone.ux * phone.hy,
                 W * (0.82 + jitter(0.02)),
                 H * 1.05,
                 W * (0.66 + jitter(0.02)),
                 H * 1.02,
                 2.0 * s,
                 {220, 220, 225}};  // a white charger cable: light, never dark
    cables[2] = {W * (0.03 + jitter(0.02)),
                 H * (0.33 + jitter(0.03)),
                 W * (0.20 + jitter(0.03)),
                 H * (0.75 + jitter(0.03)),
                 W * (0.48 + jitter(0.02)),
                 H * (0.58 + jitter(0.03)),
                 1.0 * s,
                 {24, 24, 24}};
    cables[3] = {W * (0.36 + jitter(0.02)),
                 H * -0.02,
                 W * (0.52 + jitter(0.03)),
                 H * (0.40 + jitter(0.03)),
                 W * (0.98 + jitter(0.01)),
                 H * (0.30 + jitter(0.03)),
                 2.0 * s,
                 {40, 36, 34}};
    for (const BusyCable& c : cables) busyDrawCable(c, width, height, backdrop);
}

int synthBusyScene(int width, int height, int degrade, const SynthImage* const* pictures,
                   int pictureCount, SynthScene* scene)
{
    if (width < 160 || width > kSynthMaxImageSide || height < 120 || height > kSynthMaxImageSide ||
        pictures == nullptr || pictureCount < 1 || scene == nullptr)
        return -1;
    for (int i = 0; i < pictureCount; i++)
        if (pictures[i] == nullptr || pictures[i]->width < 1) return -1;
    const double focal = 0.9 * width;
    CameraParam camera;
    if (synthCameraMake(width, height, focal, 20.0 * (640.0 / width) * (640.0 / width), &camera) <
        0)
        return -1;
    synthSceneInit(&camera, scene);
    // A light wooden desk, lit from the top left.
    scene->background[0] = 150;
    scene->background[1] = 182;
    scene->background[2] = 210;
    scene->busy = 1;
    scene->busySeed = 1;
    scene->lightGradient = 0.2;
    scene->lightAngleDeg = 30.0;
    if (degrade) {
        scene->blurSigma = 0.8;
        scene->noiseSigma = 6.0;
        scene->noiseSeed = 29;
    }
    // Four markers a fifth of the frame height across, lying on the papers and the
    // desk, turned and tilted.
    const double place[4][2] = {{0.22, 0.36}, {0.63, 0.30}, {0.40, 0.64}, {0.76, 0.66}};
    const double spin[4] = {12.0, -25.0, 40.0, 75.0}, tilt[4] = {15.0, 25.0, 10.0, 30.0};
    const double side = 80.0, z = focal * side / (0.2 * height);
    for (int i = 0; i < 4; i++) {
        SynthMarker& m = scene->markers[i];
        m.picture = pictures[i % pictureCount];
        m.side = side;
        const double px = width * place[i][0] - (width - 1) / 2.0;
        const double py = height * place[i][1] - (height - 1) / 2.0;
        synthPoseMake(spin[i], tilt[i], 40.0 * i + 20.0, px * z / focal, py * z / focal, z, m.pose);
    }
    scene->markerCount = 4;
    return 0;
}
