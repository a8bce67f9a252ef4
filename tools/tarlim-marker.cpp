// tarlim-marker: printable markers, and the pictures of the markers we ship.
//
//   tarlim-marker PICTURE.png --side-mm 80 [--dpi 300] -o marker.png
//       A printable marker: the black square (its border a quarter of the side on each
//       side), the picture in its central half, a thin white margin, and the side
//       length written under it, at the given resolution.
//   tarlim-marker --design NAME [--size PX] -o PICTURE.png
//       Draws one of our own marker pictures (arrow, moon, bars, key): bold black
//       shapes on white, none alike under rotation, no two alike.
#include "synth/synth.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void usage(FILE* out)
{
    std::fputs("usage: tarlim-marker PICTURE.png --side-mm MM [--dpi DPI] -o MARKER.png\n"
               "       tarlim-marker --design NAME [--size PX] -o PICTURE.png\n"
               "The first form writes a printable marker: a black square MM millimetres wide\n"
               "whose border is a quarter of the side on each side, the picture in its central\n"
               "half, a thin white margin and the side length printed under it; DPI (default\n"
               "300) sets the pixels per inch. Print it at that resolution, unscaled, and check\n"
               "the printed side against the number under it.\n"
               "The second form draws one of the built-in marker pictures as a PX x PX picture\n"
               "(default 64): arrow, moon, bars, key.\n",
               out);
}

// ---- Built-in font: 5 x 7 glyphs, one string row per line, '#' = ink. -----------------

struct Glyph {
    char c;
    const char* rows[7];
};

constexpr Glyph kGlyphs[] = {
    {'0', {" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "}},
    {'1', {"  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "}},
    {'2', {" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"}},
    {'3', {"#####", "   # ", "  #  ", "   # ", "    #", "#   #", " ### "}},
    {'4', {"   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # "}},
    {'5', {"#####", "#    ", "#### ", "    #", "    #", "#   #", " ### "}},
    {'6', {"  ## ", " #   ", "#    ", "#### ", "#   #", "#   #", " ### "}},
    {'7', {"#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   "}},
    {'8', {" ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### "}},
    {'9', {" ### ", "#   #", "#   #", " ####", "    #", "   # ", " ##  "}},
    {'.', {"     ", "     ", "     ", "     ", "     ", " ##  ", " ##  "}},
    {'m', {"     ", "     ", "## # ", "# # #", "# # #", "# # #", "# # #"}},
    {' ', {"     ", "     ", "     ", "     ", "     ", "     ", "     "}},
};

const Glyph* findGlyph(char c)
{
    for (const Glyph& g : kGlyphs)
        if (g.c == c) return &g;
    return nullptr;
}

void setPixel(SynthImage* image, int x, int y, int grey)
{
    if (x < 0 || y < 0 || x >= image->width || y >= image->height) return;
    std::uint8_t* p = &image->pixels[(static_cast<size_t>(y) * image->width + x) * 4];
    p[0] = p[1] = p[2] = static_cast<std::uint8_t>(grey);
    p[3] = 255;
}

// Text of 5 x 7 glyphs scaled by `scale`, one glyph column of space between letters.
int textWidth(const std::string& text, int scale)
{
    return static_cast<int>(text.size()) * 6 * scale - scale;
}

void drawText(SynthImage* image, const std::string& text, int left, int top, int scale)
{
    for (size_t i = 0; i < text.size(); i++) {
        const Glyph* g = findGlyph(text[i]);
        if (g == nullptr) continue;
        for (int r = 0; r < 7; r++)
            for (int c = 0; c < 5; c++)
                if (g->rows[r][c] == '#')
                    for (int dy = 0; dy < scale; dy++)
                        for (int dx = 0; dx < scale; dx++)
                            setPixel(image, left + (static_cast<int>(i) * 6 + c) * scale + dx,
                                     top + r * scale + dy, 0);
    }
}

// ---- Printable marker --------------------------------------------------------------------

// The picture's grey at a point of the marker's inner square, transparent = paper.
void copyTexel(const SynthImage& pic, double u, double v, std::uint8_t out[4])
{
    const int x = std::min(pic.width - 1, static_cast<int>(u * pic.width));
    const int y = std::min(pic.height - 1, static_cast<int>(v * pic.height));
    const std::uint8_t* p = &pic.pixels[(static_cast<size_t>(y) * pic.width + x) * 4];
    for (int c = 0; c < 3; c++)
        out[c] = static_cast<std::uint8_t>((p[c] * p[3] + 255 * (255 - p[3]) + 127) / 255);
    out[3] = 255;
}

std::string sideLabel(double sideMm)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g mm", sideMm);
    return text;
}

int makeMarker(const char* picturePath, double sideMm, double dpi, const char* output)
{
    SynthImage pic;
    if (synthPngRead(picturePath, &pic) != 0) {
        std::fprintf(stderr, "tarlim-marker: cannot read PNG \"%s\"\n", picturePath);
        return 1;
    }
    const double sidePixels = sideMm / 25.4 * dpi;
    const int side = sidePixels < kSynthMaxImageSide ? static_cast<int>(std::lround(sidePixels))
                                                     : kSynthMaxImageSide;
    const int margin = std::max(2, side / 16);
    const int scale = std::max(1, side / 160);
    const std::string label = sideLabel(sideMm);
    const int width = std::max(side + 2 * margin, textWidth(label, scale) + 2 * margin);
    const int height = side + 3 * margin + 7 * scale;
    SynthImage out;
    if (side < 16 || synthImageMake(width, height, 255, 255, 255, &out) != 0) {
        std::fprintf(
            stderr,
            "tarlim-marker: a %g mm side at %g dpi gives %.0f pixels (16 to about %d allowed)\n",
            sideMm, dpi, sidePixels, kSynthMaxImageSide * 4 / 5);
        return 1;
    }
    const int left = (width - side) / 2, top = margin;
    const int border = static_cast<int>(std::lround(side / 4.0)), inner = side - 2 * border;
    for (int y = 0; y < side; y++)
        for (int x = 0; x < side; x++) {
            std::uint8_t* p = &out.pixels[(static_cast<size_t>(top + y) * width + left + x) * 4];
            const bool inside =
                x >= border && x < border + inner && y >= border && y < border + inner;
            if (inside)
                copyTexel(pic, (x - border + 0.5) / inner, (y - border + 0.5) / inner, p);
            else
                p[0] = p[1] = p[2] = 0;
        }
    drawText(&out, label, (width - textWidth(label, scale)) / 2, top + side + margin, scale);
    if (synthPngWrite(output, &out, 0) != 0) {
        std::fprintf(stderr, "tarlim-marker: cannot write \"%s\"\n", output);
        return 1;
    }
    std::printf("%s: %d x %d pixels, marker side %d pixels = %g mm at %g dpi\n", output, width,
                height, side, sideMm, dpi);
    return 0;
}

// ---- Built-in designs ----------------------------------------------------------------------
// Each design says whether the point (u, v) of the picture is ink; u runs right and v
// down, both 0 ... 1. Bold shapes survive the 16 x 16 sampling of the detector; each
// is off-centre or pointed so that no quarter turn resembles the original.

bool inDisc(double u, double v, double cu, double cv, double r)
{
    return (u - cu) * (u - cu) + (v - cv) * (v - cv) <= r * r;
}
bool inBox(double u, double v, double u0, double u1, double v0, double v1)
{
    return u >= u0 && u <= u1 && v >= v0 && v <= v1;
}

// Upward arrow, its head a triangle, plus a square dot bottom-right.
bool designArrow(double u, double v)
{
    const bool head = v >= 0.08 && v <= 0.5 && std::fabs(u - 0.42) <= (v - 0.08) * 0.9;
    const bool shaft = inBox(u, v, 0.3, 0.54, 0.5, 0.92);
    return head || shaft || inBox(u, v, 0.72, 0.9, 0.74, 0.92);
}

// Crescent opening to the upper right, with a dot.
bool designMoon(double u, double v)
{
    return (inDisc(u, v, 0.46, 0.52, 0.4) && !inDisc(u, v, 0.64, 0.38, 0.32)) ||
           inDisc(u, v, 0.8, 0.82, 0.1);
}

// A key lying on its side, bit hanging down on the right.
bool designKey(double u, double v)
{
    const bool ring = inDisc(u, v, 0.3, 0.4, 0.22) && !inDisc(u, v, 0.3, 0.4, 0.1);
    return ring || inBox(u, v, 0.48, 0.92, 0.34, 0.46) || inBox(u, v, 0.68, 0.78, 0.46, 0.78) ||
           inBox(u, v, 0.84, 0.92, 0.46, 0.64);
}

// Three bars: full width at the top, left half in the middle, right half below.
bool designBars(double u, double v)
{
    return inBox(u, v, 0.08, 0.92, 0.08, 0.26) || inBox(u, v, 0.08, 0.5, 0.41, 0.59) ||
           inBox(u, v, 0.5, 0.92, 0.74, 0.92);
}

struct Design {
    const char* name;
    bool (*ink)(double u, double v);
};

constexpr Design kDesigns[] = {
    {"arrow", designArrow},
    {"moon", designMoon},
    {"bars", designBars},
    {"key", designKey},
};

int makeDesign(const char* name, int size, const char* output)
{
    const Design* design = nullptr;
    for (const Design& d : kDesigns)
        if (std::strcmp(d.name, name) == 0) design = &d;
    if (design == nullptr) {
        std::fprintf(stderr, "tarlim-marker: no design \"%s\" (arrow, moon, bars, key)\n", name);
        return 1;
    }
    SynthImage out;
    if (size < 16 || size > kSynthMaxPictureSide ||
        synthImageMake(size, size, 255, 255, 255, &out) != 0) {
        std::fprintf(stderr, "tarlim-marker: --size must be 16 ... %d\n", kSynthMaxPictureSide);
        return 1;
    }
    // 4 x 4 samples per pixel: smooth edges without blurring the shapes.
    for (int y = 0; y < size; y++)
        for (int x = 0; x < size; x++) {
            int inked = 0;
            for (int j = 0; j < 4; j++)
                for (int i = 0; i < 4; i++)
                    inked += design->ink((x + (i + 0.5) / 4) / size, (y + (j + 0.5) / 4) / size);
            setPixel(&out, x, y, 255 - (inked * 255 + 8) / 16);
        }
    if (synthPngWrite(output, &out, 0) != 0) {
        std::fprintf(stderr, "tarlim-marker: cannot write \"%s\"\n", output);
        return 1;
    }
    return 0;
}

bool parseNumber(const char* text, double* value)
{
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(*value);
}

}  // namespace

int main(int argc, char** argv)
{
    const char* picture = nullptr;
    const char* output = nullptr;
    const char* design = nullptr;
    double sideMm = 0.0, dpi = 300.0, size = 64.0;
    bool ok = true;
    for (int i = 1; i < argc && ok; i++) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else if (arg == "-o" && hasValue)
            output = argv[++i];
        else if (arg == "--side-mm" && hasValue)
            ok = parseNumber(argv[++i], &sideMm) && sideMm > 0.0;
        else if (arg == "--dpi" && hasValue)
            ok = parseNumber(argv[++i], &dpi) && dpi > 0.0;
        else if (arg == "--design" && hasValue)
            design = argv[++i];
        else if (arg == "--size" && hasValue)
            ok = parseNumber(argv[++i], &size) && size == std::floor(size);
        else if (arg[0] != '-' && picture == nullptr)
            picture = argv[i];
        else
            ok = false;
    }
    if (!ok || output == nullptr || (design == nullptr) == (picture == nullptr) ||
        (picture != nullptr && sideMm <= 0.0)) {
        usage(stderr);
        return 1;
    }
    if (design != nullptr)
        return makeDesign(design, size > 1e6 ? 0 : static_cast<int>(size), output);
    return makeMarker(picture, sideMm, dpi, output);
}
