// Shared pieces of the marker and pattern tools.
#include "tools/toolkit.h"

#include "util/util.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>

namespace {

constexpr int kSide = kPatternSide;
// Sub-samples per cell along each axis when averaging a picture into the grid: enough
// to average pictures of up to 128 texels a side exactly and larger ones closely.
constexpr int kCellSamples = 8;

// ---- Built-in font: 5 x 7 glyphs, one string row per line, '#' = ink. ------------------

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
    {'#', {" # # ", " # # ", "#####", " # # ", "#####", " # # ", " # # "}},
    {' ', {"     ", "     ", "     ", "     ", "     ", "     ", "     "}},
};

const Glyph* findGlyph(char c)
{
    for (const Glyph& g : kGlyphs)
        if (g.c == c) return &g;
    return nullptr;
}

void setGrey(SynthImage* image, int x, int y, int grey)
{
    if (x < 0 || y < 0 || x >= image->width || y >= image->height) return;
    std::uint8_t* p = &image->pixels[(static_cast<size_t>(y) * image->width + x) * 4];
    p[0] = p[1] = p[2] = static_cast<std::uint8_t>(grey);
    p[3] = 255;
}

// The picture's colour at a point of the marker's inner square, transparent = paper.
void copyTexel(const SynthImage& pic, double u, double v, std::uint8_t out[4])
{
    const int x = std::min(pic.width - 1, static_cast<int>(u * pic.width));
    const int y = std::min(pic.height - 1, static_cast<int>(v * pic.height));
    const std::uint8_t* p = &pic.pixels[(static_cast<size_t>(y) * pic.width + x) * 4];
    for (int c = 0; c < 3; c++)
        out[c] = static_cast<std::uint8_t>((p[c] * p[3] + 255 * (255 - p[3]) + 127) / 255);
    out[3] = 255;
}

}  // namespace

void toolPatternFromPicture(const SynthImage& pic, ToolPattern* pattern)
{
    const int n = kSide * kCellSamples;
    for (int row = 0; row < kSide; row++) {
        for (int col = 0; col < kSide; col++) {
            long sum[3] = {0, 0, 0};
            for (int j = 0; j < kCellSamples; j++) {
                for (int i = 0; i < kCellSamples; i++) {
                    const long x =
                        (static_cast<long>(col * kCellSamples + i) * 2 + 1) * pic.width / (2L * n);
                    const long y =
                        (static_cast<long>(row * kCellSamples + j) * 2 + 1) * pic.height / (2L * n);
                    const std::uint8_t* p = &pic.pixels[static_cast<size_t>(y * pic.width + x) * 4];
                    for (int c = 0; c < 3; c++)
                        sum[c] += (p[c] * p[3] + 255 * (255 - p[3]) + 127) / 255;
                }
            }
            const long count = kCellSamples * kCellSamples;
            for (int c = 0; c < 3; c++)
                pattern->values[0][toolGridIndex(c, row, col)] =
                    static_cast<int>((sum[c] + count / 2) / count);
        }
    }
    toolPatternTurnAll(pattern);
}

void toolPatternTurnAll(ToolPattern* pattern)
{
    // A quarter turn counterclockwise: the new top-left is the old top-right, so new
    // (r, k) = old (k, 15 - r).
    for (int h = 1; h < kPatternOrientations; h++)
        for (int c = 0; c < 3; c++)
            for (int r = 0; r < kSide; r++)
                for (int k = 0; k < kSide; k++)
                    pattern->values[h][toolGridIndex(c, r, k)] =
                        pattern->values[h - 1][toolGridIndex(c, k, kSide - 1 - r)];
}

int toolPatternWrite(const char* path, const ToolPattern& pattern)
{
    std::string text;
    for (int h = 0; h < kPatternOrientations; h++) {
        for (int c = 0; c < 3; c++)
            for (int r = 0; r < kSide; r++) {
                for (int k = 0; k < kSide; k++) {
                    char number[16];
                    std::snprintf(number, sizeof number, "%4d",
                                  pattern.values[h][toolGridIndex(c, r, k)]);
                    text += number;
                }
                text += '\n';
            }
        text += '\n';
    }
    std::FILE* f = std::fopen(path, "w");
    if (f == nullptr) return -1;
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && written ? 0 : -1;
}

int toolPatternRead(const char* path, ToolPattern* pattern)
{
    std::ifstream in(path);
    if (!in) return -1;
    for (int h = 0; h < kPatternOrientations; h++)
        for (int& v : pattern->values[h])
            if (!(in >> v)) return -1;
    return 0;
}

void toolNormalise(const ToolPattern& pattern, ToolNormalised* out)
{
    for (int h = 0; h < kPatternOrientations; h++) {
        long sum = 0;
        for (int c = 0; c < 3; c++)
            for (int r = 0; r < kSide; r++)
                for (int k = 0; k < kSide; k++) {
                    const int v =
                        std::min(255, std::max(0, pattern.values[h][toolGridIndex(c, r, k)]));
                    out->values[h][(r * kSide + k) * 3 + c] = 255 - v;
                    sum += 255 - v;
                }
        const int mean = static_cast<int>(sum / kPatternValues);
        long long squares = 0;
        for (int& v : out->values[h]) {
            v -= mean;
            squares += static_cast<long long>(v) * v;
        }
        out->power[h] = squares == 0 ? 0.0000001 : std::sqrt(static_cast<double>(squares));
    }
}

double toolCorrelation(const ToolNormalised& a, int ha, const ToolNormalised& b, int hb)
{
    long long dot = 0;
    for (int k = 0; k < kPatternValues; k++)
        dot += static_cast<long long>(a.values[ha][k]) * b.values[hb][k];
    return static_cast<double>(dot) / a.power[ha] / b.power[hb];
}

double toolBestCorrelation(const ToolNormalised& a, const ToolNormalised& b)
{
    double best = -1.0;
    for (int ha = 0; ha < kPatternOrientations; ha++)
        for (int hb = 0; hb < kPatternOrientations; hb++)
            best = std::max(best, toolCorrelation(a, ha, b, hb));
    return best;
}

double toolSelfTurn(const ToolNormalised& a)
{
    double best = -1.0;
    for (int h = 1; h < kPatternOrientations; h++)
        best = std::max(best, toolCorrelation(a, 0, a, h));
    return best;
}

std::string toolCompareTable(const std::vector<ToolNormalised>& patterns,
                             const std::vector<std::string>& names, double* highestPair,
                             double* highestSelf)
{
    size_t width = 0;
    for (const std::string& name : names) width = std::max(width, name.size());
    const int w = static_cast<int>(width);
    const size_t count = patterns.size();
    std::string text =
        "best correlation over all orientations (1.0 = identical; the detector accepts 0.5):\n";
    char line[512];
    double pairMax = -1.0, selfMax = -1.0;
    for (size_t i = 0; i < count; i++)
        for (size_t j = i + 1; j < count; j++) {
            const double best = toolBestCorrelation(patterns[i], patterns[j]);
            pairMax = std::max(pairMax, best);
            std::snprintf(line, sizeof line, "  %-*s  %-*s  %6.3f\n", w, names[i].c_str(), w,
                          names[j].c_str(), best);
            text += line;
        }
    text += "resemblance to itself turned (orientation 0 against 1, 2, 3):\n";
    for (size_t i = 0; i < count; i++) {
        std::snprintf(line, sizeof line, "  %-*s ", w, names[i].c_str());
        text += line;
        for (int h = 1; h < kPatternOrientations; h++) {
            const double c = toolCorrelation(patterns[i], 0, patterns[i], h);
            selfMax = std::max(selfMax, c);
            std::snprintf(line, sizeof line, " %6.3f", c);
            text += line;
        }
        text += "\n";
    }
    const double worst = std::max(pairMax, selfMax);
    std::snprintf(line, sizeof line, "highest: %.3f (%s)\n", worst,
                  worst < kToolAcceptCorrelation ? "below 0.5: distinct"
                                                 : "0.5 or more: may be confused");
    text += line;
    if (highestPair != nullptr) *highestPair = pairMax;
    if (highestSelf != nullptr) *highestSelf = selfMax;
    return text;
}

void toolMatchSample(const uint8_t sample[kPatternValues],
                     const std::vector<ToolNormalised>& patterns, int* index, int* direction,
                     double* confidence)
{
    int sum = 0;
    for (int k = 0; k < kPatternValues; k++) sum += 255 - sample[k];
    const int mean = sum / kPatternValues;
    int v[kPatternValues];
    long long squares = 0;
    for (int k = 0; k < kPatternValues; k++) {
        v[k] = 255 - sample[k] - mean;
        squares += static_cast<long long>(v[k]) * v[k];
    }
    const double norm = std::sqrt(static_cast<double>(squares));
    if (norm == 0.0) {
        *index = 0;
        *direction = 0;
        *confidence = -1.0;
        return;
    }
    double best = 0.0;
    *index = -1;
    *direction = -1;
    for (size_t p = 0; p < patterns.size(); p++)
        for (int h = 0; h < kPatternOrientations; h++) {
            long long dot = 0;
            for (int k = 0; k < kPatternValues; k++)
                dot += static_cast<long long>(v[k]) * patterns[p].values[h][k];
            const double c = (static_cast<double>(dot) / patterns[p].power[h]) * (1.0 / norm);
            if (c > best) {
                best = c;
                *index = static_cast<int>(p);
                *direction = h;
            }
        }
    *confidence = best;
}

int toolTextWidth(const std::string& text, int scale)
{
    return static_cast<int>(text.size()) * 6 * scale - scale;
}

void toolDrawText(SynthImage* image, const std::string& text, int left, int top, int scale)
{
    for (size_t i = 0; i < text.size(); i++) {
        const Glyph* g = findGlyph(text[i]);
        if (g == nullptr) continue;
        for (int r = 0; r < 7; r++)
            for (int c = 0; c < 5; c++)
                if (g->rows[r][c] == '#')
                    for (int dy = 0; dy < scale; dy++)
                        for (int dx = 0; dx < scale; dx++)
                            setGrey(image, left + (static_cast<int>(i) * 6 + c) * scale + dx,
                                    top + r * scale + dy, 0);
    }
}

std::string toolSideLabel(double sideMm)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g mm", sideMm);
    return text;
}

int toolPrintableMarker(const SynthImage& pic, int side, const std::string& label, SynthImage* out)
{
    if (side < 16) return -1;
    const int margin = std::max(2, side / 16);
    const int scale = std::max(1, side / 160);
    const int width = std::max(side + 2 * margin, toolTextWidth(label, scale) + 2 * margin);
    const int height = side + 3 * margin + 7 * scale;
    if (synthImageMake(width, height, 255, 255, 255, out) != 0) return -1;
    const int left = (width - side) / 2, top = margin;
    const int border = static_cast<int>(std::lround(side / 4.0)), inner = side - 2 * border;
    for (int y = 0; y < side; y++)
        for (int x = 0; x < side; x++) {
            std::uint8_t* p = &out->pixels[(static_cast<size_t>(top + y) * width + left + x) * 4];
            const bool inside =
                x >= border && x < border + inner && y >= border && y < border + inner;
            if (inside)
                copyTexel(pic, (x - border + 0.5) / inner, (y - border + 0.5) / inner, p);
            else
                p[0] = p[1] = p[2] = 0;
        }
    toolDrawText(out, label, (width - toolTextWidth(label, scale)) / 2, top + side + margin, scale);
    return 0;
}

int toolPngWritePrintable(const char* path, const SynthImage& image, double dpi)
{
    return utilPngWrite(path, image.width, image.height, image.pixels.data(), kUtilBgra, 0,
                        dpi / 0.0254);
}
