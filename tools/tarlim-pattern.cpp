// tarlim-pattern: makes, previews and compares pattern files.
//
//   tarlim-pattern make PICTURE.png -o FILE   pattern file of a marker picture
//   tarlim-pattern show FILE                  text preview of its four orientations
//   tarlim-pattern compare A B ...            best correlation of every pair
//
// Which orientation is which. The picture is the central half of the marker, upright:
// marker +x to its right, +y to its top, +z out of the paper, so its top-left corner
// is marker corner c0 = (-w/2, +w/2), then c1 top-right, c2 bottom-right, c3
// bottom-left. The detector samples a candidate with its corner 0 at the sample's
// top-left and the corners clockwise on the screen (corner 1 top-right, 2 bottom-
// right, 3 bottom-left), and reports the orientation h that matched as `direction`.
// Pose estimation then takes c0 = cornerPoints[(4 - d) mod 4], c1 = cornerPoints[(5 -
// d) mod 4] and so on. So orientation h must be what the sample looks like when the
// picture's top-left corner c0 lies at sample corner (4 - h) mod 4:
//   h = 0: c0 at sample corner 0 (top-left): the picture as it is;
//   h = 1: c0 at corner 3 (bottom-left), c1 at corner 0 (top-left): the picture turned
//          90 degrees counterclockwise;
//   h = 2: c0 at corner 2 (bottom-right): turned 180 degrees;
//   h = 3: c0 at corner 1 (top-right): turned 90 degrees clockwise.
// Orientation h is the picture turned h quarter turns counterclockwise. The rendered-
// frame tests check this against markers rendered at known poses.
//
// File layout: orientation 0 ... 3; in each, the blue, green and red planes; in each,
// 16 rows of 16 intensities 0 (black) ... 255, row 0 the top. One row per line.
#include "pattern/pattern.h"
#include "synth/synth.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kSide = kPatternSide;
// Sub-samples per cell along each axis when averaging a picture into the grid: enough
// to average pictures of up to 128 texels a side exactly and larger ones closely.
constexpr int kCellSamples = 8;

// One pattern orientation: intensities [channel][row][column], channel 0 = blue.
using Grid = std::vector<int>;
int& gridAt(Grid& g, int channel, int row, int col)
{
    return g[(channel * kSide + row) * kSide + col];
}
int gridAt(const Grid& g, int channel, int row, int col)
{
    return g[(channel * kSide + row) * kSide + col];
}

void usage(FILE* out)
{
    std::fputs("usage: tarlim-pattern make PICTURE.png -o FILE\n"
               "       tarlim-pattern show FILE\n"
               "       tarlim-pattern compare FILE FILE [FILE ...]\n"
               "make     writes the pattern file of a marker picture (the central half of the\n"
               "         marker, upright; transparent parts count as white paper): 16 x 16\n"
               "         colour averages in four orientations, orientation h being the\n"
               "         picture turned h quarter turns counterclockwise.\n"
               "show     prints each orientation of a pattern file as text, dark = dense.\n"
               "compare  prints, for every pair of pattern files, their best normalised\n"
               "         correlation over all orientations (1.0 = identical, the detector\n"
               "         accepts 0.5 and up), and for each file how much it resembles itself\n"
               "         turned by a quarter, half or three-quarter turn. Below 0.5 everywhere,\n"
               "         markers are neither confused with each other nor in their direction.\n",
               out);
}

// Picture averaged into the 16 x 16 grid, upright; alpha composited onto white.
Grid gridFromPicture(const SynthImage& pic)
{
    Grid g(3 * kSide * kSide, 0);
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
                gridAt(g, c, row, col) = static_cast<int>((sum[c] + count / 2) / count);
        }
    }
    return g;
}

// The grid turned a quarter turn counterclockwise: the new top-left is the old
// top-right, so new (r, c) = old (c, 15 - r).
Grid turnCounterclockwise(const Grid& g)
{
    Grid out(g.size());
    for (int c = 0; c < 3; c++)
        for (int r = 0; r < kSide; r++)
            for (int k = 0; k < kSide; k++) gridAt(out, c, r, k) = gridAt(g, c, k, kSide - 1 - r);
    return out;
}

int commandMake(int argc, char** argv)
{
    const char* picture = nullptr;
    const char* output = nullptr;
    for (int i = 2; i < argc; i++) {
        if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc)
            output = argv[++i];
        else if (picture == nullptr && argv[i][0] != '-')
            picture = argv[i];
        else {
            usage(stderr);
            return 1;
        }
    }
    if (picture == nullptr || output == nullptr) {
        usage(stderr);
        return 1;
    }
    SynthImage pic;
    if (synthPngRead(picture, &pic) != 0) {
        std::fprintf(stderr, "tarlim-pattern: cannot read PNG \"%s\"\n", picture);
        return 1;
    }
    Grid g = gridFromPicture(pic);
    std::string text;
    for (int h = 0; h < kPatternOrientations; h++) {
        for (int c = 0; c < 3; c++)
            for (int r = 0; r < kSide; r++) {
                for (int k = 0; k < kSide; k++) {
                    char number[8];
                    std::snprintf(number, sizeof number, "%4d", gridAt(g, c, r, k));
                    text += number;
                }
                text += '\n';
            }
        text += '\n';
        g = turnCounterclockwise(g);
    }
    std::FILE* f = std::fopen(output, "w");
    if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size() ||
        std::fclose(f) != 0) {
        std::fprintf(stderr, "tarlim-pattern: cannot write \"%s\"\n", output);
        if (f != nullptr) std::fclose(f);
        return 1;
    }
    return 0;
}

// Reads the 3072 intensities of a pattern file; false when there are fewer.
bool readPatternFile(const char* path, std::vector<Grid>* orientations)
{
    std::ifstream in(path);
    if (!in) return false;
    orientations->assign(kPatternOrientations, Grid(3 * kSide * kSide));
    for (Grid& g : *orientations)
        for (int& v : g)
            if (!(in >> v)) return false;
    return true;
}

int commandShow(int argc, char** argv)
{
    if (argc != 3) {
        usage(stderr);
        return 1;
    }
    std::vector<Grid> grids;
    if (!readPatternFile(argv[2], &grids)) {
        std::fprintf(stderr, "tarlim-pattern: \"%s\" is not a pattern file\n", argv[2]);
        return 1;
    }
    static const char ramp[] = " .:-=+*#%@";  // light to dark
    std::printf("%s\n", argv[2]);
    for (int h = 0; h < kPatternOrientations; h++)
        std::printf("orientation %d    %s", h, h < 3 ? "  " : "\n");
    for (int r = 0; r < kSide; r++) {
        for (int h = 0; h < kPatternOrientations; h++) {
            for (int k = 0; k < kSide; k++) {
                const int grey = (gridAt(grids[h], 0, r, k) + gridAt(grids[h], 1, r, k) +
                                  gridAt(grids[h], 2, r, k)) /
                                 3;
                const int level = std::min(9, std::max(0, (255 - grey) * 10 / 256));
                std::putchar(ramp[level]);
            }
            std::fputs(h < 3 ? "   " : "\n", stdout);
        }
    }
    return 0;
}

// Normalised correlation of two loaded orientations, as the detector computes it.
double correlation(int slotA, int orientA, int slotB, int orientB)
{
    const PatternSlot& a = patternSlots[slotA];
    const PatternSlot& b = patternSlots[slotB];
    long long dot = 0;
    for (int k = 0; k < kPatternValues; k++)
        dot += static_cast<long long>(a.values[orientA][k]) * b.values[orientB][k];
    return static_cast<double>(dot) / a.power[orientA] / b.power[orientB];
}

std::string baseName(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int commandCompare(int argc, char** argv)
{
    const int files = argc - 2;
    if (files < 2 || files > kPatternSlotMax) {
        usage(stderr);
        return 1;
    }
    std::vector<int> slots;
    size_t width = 0;
    for (int i = 0; i < files; i++) {
        const int slot = patternLoad(argv[2 + i]);
        if (slot < 0) {
            std::fprintf(stderr, "tarlim-pattern: cannot load \"%s\"\n", argv[2 + i]);
            return 1;
        }
        slots.push_back(slot);
        width = std::max(width, baseName(argv[2 + i]).size());
    }
    const int w = static_cast<int>(width);
    std::printf(
        "best correlation over all orientations (1.0 = identical; the detector accepts 0.5):\n");
    double worst = -1.0;
    for (int i = 0; i < files; i++)
        for (int j = i + 1; j < files; j++) {
            double best = -1.0;
            for (int a = 0; a < kPatternOrientations; a++)
                for (int b = 0; b < kPatternOrientations; b++)
                    best = std::max(best, correlation(slots[i], a, slots[j], b));
            worst = std::max(worst, best);
            std::printf("  %-*s  %-*s  %6.3f\n", w, baseName(argv[2 + i]).c_str(), w,
                        baseName(argv[2 + j]).c_str(), best);
        }
    std::printf("resemblance to itself turned (orientation 0 against 1, 2, 3):\n");
    for (int i = 0; i < files; i++) {
        std::printf("  %-*s ", w, baseName(argv[2 + i]).c_str());
        for (int h = 1; h < kPatternOrientations; h++) {
            const double c = correlation(slots[i], 0, slots[i], h);
            worst = std::max(worst, c);
            std::printf(" %6.3f", c);
        }
        std::printf("\n");
    }
    std::printf("highest: %.3f (%s)\n", worst,
                worst < 0.5 ? "below 0.5: distinct" : "0.5 or more: may be confused");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "make") == 0) return commandMake(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "show") == 0) return commandShow(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "compare") == 0) return commandCompare(argc, argv);
    usage(stderr);
    return 1;
}
