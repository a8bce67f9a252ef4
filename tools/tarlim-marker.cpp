// tarlim-marker: printable markers, sheets of them, families of distinct designs, and
// the pictures of the markers we ship.
//
//   tarlim-marker PICTURE.png --side-mm 80 [--dpi 300] -o marker.png
//       A printable marker: the black square (its border a quarter of the side on each
//       side), the picture in its central half, a thin white margin, and the side
//       length written under it, at the given resolution.
//   tarlim-marker --design NAME [--size PX] -o PICTURE.png
//       Draws one of our own marker pictures (arrow, moon, bars, key): bold black
//       shapes on white, none alike under rotation, no two alike.
//   tarlim-marker family --count N [--seed S] [--side-mm 80] [--dpi 300] -o DIR
//       Designs N markers that the detector tells apart (tools/family.h) and writes
//       their pictures, pattern files, printable markers and the comparison table.
//   tarlim-marker sheet --paper a4|letter --side-mm S [--dpi 300] PICTURE... -o sheet.png
//       As many printable markers per page as fit, with cut marks; more pages when
//       needed (sheet-2.png, ...).
// Exit status: 0 done, 1 a file could not be read or written or the request cannot be
// met, 2 a usage error.
#include "synth/synth.h"
#include "tools/family.h"
#include "tools/toolkit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <cctype>
#include <cerrno>
#include <sys/stat.h>

namespace {

void usage(FILE* out)
{
    std::fputs(
        "usage: tarlim-marker PICTURE.png --side-mm MM [--dpi DPI] -o MARKER.png\n"
        "       tarlim-marker --design NAME [--size PX] -o PICTURE.png\n"
        "       tarlim-marker family --count N [--seed S] [--side-mm MM] [--dpi DPI] -o DIR\n"
        "       tarlim-marker sheet --paper a4|letter --side-mm MM [--dpi DPI] PICTURE... -o "
        "SHEET.png\n"
        "The first form writes a printable marker: a black square MM millimetres wide\n"
        "whose border is a quarter of the side on each side, the picture in its central\n"
        "half, a thin white margin and the side length printed under it; DPI (default\n"
        "300) sets the pixels per inch and is stored in the PNG. Print it at actual size\n"
        "and check the printed side against the number under it.\n"
        "The second form draws one of the built-in marker pictures as a PX x PX picture\n"
        "(default 64): arrow, moon, bars, key.\n"
        "family designs N (1 ... 48) markers of 5 x 5 black and white blocks that the\n"
        "detector tells apart: any two correlate at most 0.35 (N <= 16) or 0.40, each\n"
        "resembles itself turned at most 0.35, and each is recognised as itself on\n"
        "rendered views 24 and 48 pixels across, blurred and noisy, in 8 turns. Writes\n"
        "DIR/family-00.png (picture), family-00.pat, family-00-print.png (MM, default\n"
        "80), ... and DIR/family.txt (the comparison table and the view check). The same\n"
        "seed (default 1) always gives the same family.\n"
        "sheet lays out printable markers of MM millimetres on A4 or US letter pages at\n"
        "DPI (default 300), as many per page as fit, with cut marks; further pages go to\n"
        "SHEET-2.png, SHEET-3.png, ...\n"
        "Exit status: 0 done, 1 a file could not be read or written or the request cannot\n"
        "be met, 2 a usage error.\n",
        out);
}

// ---- Printable marker --------------------------------------------------------------------

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
    SynthImage out;
    if (toolPrintableMarker(pic, side, toolSideLabel(sideMm), &out) != 0) {
        std::fprintf(
            stderr,
            "tarlim-marker: a %g mm side at %g dpi gives %.0f pixels (16 to about %d allowed)\n",
            sideMm, dpi, sidePixels, kSynthMaxImageSide * 4 / 5);
        return 1;
    }
    if (toolPngWritePrintable(output, out, dpi) != 0) {
        std::fprintf(stderr, "tarlim-marker: cannot write \"%s\"\n", output);
        return 1;
    }
    std::printf("%s: %d x %d pixels, marker side %d pixels = %g mm at %g dpi\n", output, out.width,
                out.height, side, sideMm, dpi);
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
        return 2;
    }
    SynthImage out;
    if (size < 16 || size > kSynthMaxPictureSide ||
        synthImageMake(size, size, 255, 255, 255, &out) != 0) {
        std::fprintf(stderr, "tarlim-marker: --size must be 16 ... %d\n", kSynthMaxPictureSide);
        return 2;
    }
    // 4 x 4 samples per pixel: smooth edges without blurring the shapes.
    for (int y = 0; y < size; y++)
        for (int x = 0; x < size; x++) {
            int inked = 0;
            for (int j = 0; j < 4; j++)
                for (int i = 0; i < 4; i++)
                    inked += design->ink((x + (i + 0.5) / 4) / size, (y + (j + 0.5) / 4) / size);
            std::uint8_t* p = &out.pixels[(static_cast<size_t>(y) * size + x) * 4];
            p[0] = p[1] = p[2] = static_cast<std::uint8_t>(255 - (inked * 255 + 8) / 16);
        }
    if (synthPngWrite(output, &out, 0) != 0) {
        std::fprintf(stderr, "tarlim-marker: cannot write \"%s\"\n", output);
        return 1;
    }
    return 0;
}

// ---- Sheets ---------------------------------------------------------------------------------

// Page sizes in millimetres and the margin a printer cannot reach.
struct Paper {
    const char* name;
    double widthMm, heightMm;
};
constexpr Paper kPapers[] = {{"a4", 210.0, 297.0}, {"letter", 215.9, 279.4}};
constexpr double kPageMarginMm = 6.0;
// Cut marks: lines kCutMarkMm long starting kCutGapMm outside each corner of a marker's
// cut rectangle, so none of them ends up on the cut-out piece.
constexpr double kCutMarkMm = 3.0;
constexpr double kCutGapMm = 1.0;

void fillRect(SynthImage* image, int x0, int y0, int x1, int y1)
{
    for (int y = std::max(0, y0); y < std::min(image->height, y1); y++)
        for (int x = std::max(0, x0); x < std::min(image->width, x1); x++) {
            std::uint8_t* p = &image->pixels[(static_cast<size_t>(y) * image->width + x) * 4];
            p[0] = p[1] = p[2] = 0;
        }
}

// Output name of page `page` (1-based): the name itself for page 1, else "-N" before
// the extension.
std::string pageName(const std::string& output, int page)
{
    if (page == 1) return output;
    const size_t slash = output.find_last_of('/');
    const size_t dot = output.find_last_of('.');
    const std::string suffix = "-" + std::to_string(page);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return output + suffix;
    return output.substr(0, dot) + suffix + output.substr(dot);
}

// "#03 " for a picture named like "family-03.png" (the trailing number of its name), so
// cut-out markers can be told by number; "" for other names.
std::string numberLabel(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    std::string stem = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = stem.find_last_of('.');
    if (dot != std::string::npos) stem = stem.substr(0, dot);
    size_t digits = 0;
    while (digits < stem.size() && digits < 4 &&
           std::isdigit(static_cast<unsigned char>(stem[stem.size() - 1 - digits])))
        digits++;
    return digits == 0 ? "" : "#" + stem.substr(stem.size() - digits) + " ";
}

int makeSheet(const char* paperName, double sideMm, double dpi,
              const std::vector<const char*>& pictures, const std::string& output)
{
    const Paper* paper = std::strcmp(paperName, "a4") == 0 ? &kPapers[0] : &kPapers[1];
    auto pixels = [dpi](double mm) { return static_cast<int>(std::lround(mm / 25.4 * dpi)); };
    const int pageW = pixels(paper->widthMm), pageH = pixels(paper->heightMm);
    const int side = pixels(sideMm);
    if (pageW > kSynthMaxImageSide || pageH > kSynthMaxImageSide) {
        std::fprintf(stderr, "tarlim-marker: at %g dpi a page exceeds %d pixels a side\n", dpi,
                     kSynthMaxImageSide);
        return 1;
    }
    std::vector<SynthImage> tiles(pictures.size());
    for (size_t i = 0; i < pictures.size(); i++) {
        SynthImage pic;
        if (synthPngRead(pictures[i], &pic) != 0) {
            std::fprintf(stderr, "tarlim-marker: cannot read PNG \"%s\"\n", pictures[i]);
            return 1;
        }
        if (toolPrintableMarker(pic, side, numberLabel(pictures[i]) + toolSideLabel(sideMm),
                                &tiles[i]) != 0) {
            std::fprintf(stderr, "tarlim-marker: a %g mm side at %g dpi gives %d pixels\n", sideMm,
                         dpi, side);
            return 1;
        }
    }
    // Tiles differ only where a long label widens one; cells take the largest.
    int tileW = 0, tileH = 0;
    for (const SynthImage& tile : tiles) {
        tileW = std::max(tileW, tile.width);
        tileH = std::max(tileH, tile.height);
    }
    const int reach = pixels(kCutGapMm + kCutMarkMm);  // room for the marks around a tile
    const int usableW = pageW - 2 * pixels(kPageMarginMm);
    const int usableH = pageH - 2 * pixels(kPageMarginMm);
    const int columns = usableW / (tileW + 2 * reach), rows = usableH / (tileH + 2 * reach);
    if (columns < 1 || rows < 1) {
        std::fprintf(stderr,
                     "tarlim-marker: a %g mm marker with its margin and cut marks does not fit "
                     "on a %s page\n",
                     sideMm, paper->name);
        return 1;
    }
    const int perPage = columns * rows;
    const int pages = static_cast<int>((pictures.size() + perPage - 1) / perPage);
    const int line = std::max(1, static_cast<int>(std::lround(dpi / 150.0)));
    const int gap = pixels(kCutGapMm), mark = pixels(kCutMarkMm);
    for (int page = 1; page <= pages; page++) {
        const int first = (page - 1) * perPage;
        const int count = std::min(perPage, static_cast<int>(pictures.size()) - first);
        const int usedColumns = std::min(columns, count);
        const int usedRows = (count + columns - 1) / columns;
        // The block of tiles centred on the page.
        const int left = (pageW - usedColumns * (tileW + 2 * reach)) / 2 + reach;
        const int top = (pageH - usedRows * (tileH + 2 * reach)) / 2 + reach;
        SynthImage sheet;
        synthImageMake(pageW, pageH, 255, 255, 255, &sheet);
        for (int k = 0; k < count; k++) {
            const SynthImage& tile = tiles[first + k];
            const int x0 = left + (k % columns) * (tileW + 2 * reach) + (tileW - tile.width) / 2;
            const int y0 = top + (k / columns) * (tileH + 2 * reach);
            for (int y = 0; y < tile.height; y++)
                std::copy_n(&tile.pixels[static_cast<size_t>(y) * tile.width * 4], tile.width * 4,
                            &sheet.pixels[(static_cast<size_t>(y0 + y) * pageW + x0) * 4]);
            const int x1 = x0 + tile.width, y1 = y0 + tile.height;
            for (int cx : {x0, x1})
                for (int cy : {y0, y1}) {
                    const int sx = cx == x0 ? -1 : 1, sy = cy == y0 ? -1 : 1;
                    // Horizontal mark along the cut line y = cy, vertical along x = cx.
                    const int hx = sx < 0 ? cx - gap - mark : cx + gap;
                    fillRect(&sheet, hx, cy - line / 2, hx + mark, cy - line / 2 + line);
                    const int vy = sy < 0 ? cy - gap - mark : cy + gap;
                    fillRect(&sheet, cx - line / 2, vy, cx - line / 2 + line, vy + mark);
                }
        }
        const std::string name = pageName(output, page);
        if (toolPngWritePrintable(name.c_str(), sheet, dpi) != 0) {
            std::fprintf(stderr, "tarlim-marker: cannot write \"%s\"\n", name.c_str());
            return 1;
        }
        std::printf("%s: %s page %d of %d, %d marker%s of %g mm (%d per page, %d x %d) at %g dpi\n",
                    name.c_str(), paper->name, page, pages, count, count == 1 ? "" : "s", sideMm,
                    perPage, columns, rows, dpi);
        for (int k = 0; k < count; k++)
            std::printf("  row %d, column %d: %s\n", k / columns + 1, k % columns + 1,
                        pictures[first + k]);
    }
    return 0;
}

// ---- Families -------------------------------------------------------------------------------

std::string memberName(int index)
{
    char name[32];
    std::snprintf(name, sizeof name, "family-%02d", index);
    return name;
}

int makeFamily(int count, uint32_t seed, double sideMm, double dpi, const std::string& dir)
{
    std::vector<FamilyMember> members;
    std::vector<FamilyViewStats> stats;
    std::string why;
    if (familyDesign(count, seed, &members, &stats, &why) != 0) {
        std::fprintf(stderr, "tarlim-marker: no family of %d from seed %u: %s\n", count, seed,
                     why.c_str());
        return 1;
    }
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "tarlim-marker: cannot make the directory \"%s\"\n", dir.c_str());
        return 1;
    }
    const double sidePixels = sideMm / 25.4 * dpi;
    const int side = sidePixels < kSynthMaxImageSide ? static_cast<int>(std::lround(sidePixels))
                                                     : kSynthMaxImageSide;
    std::vector<ToolNormalised> normalised;
    std::vector<std::string> names;
    for (int i = 0; i < count; i++) {
        const FamilyMember& m = members[i];
        const std::string base = dir + "/" + memberName(i);
        SynthImage print;
        char number[16];
        std::snprintf(number, sizeof number, "#%02d ", i);
        if (toolPrintableMarker(m.picture, side, number + toolSideLabel(sideMm), &print) != 0) {
            std::fprintf(stderr, "tarlim-marker: a %g mm side at %g dpi gives %.0f pixels\n",
                         sideMm, dpi, sidePixels);
            return 1;
        }
        if (synthPngWrite((base + ".png").c_str(), &m.picture, 0) != 0 ||
            toolPatternWrite((base + ".pat").c_str(), m.pattern) != 0 ||
            toolPngWritePrintable((base + "-print.png").c_str(), print, dpi) != 0) {
            std::fprintf(stderr, "tarlim-marker: cannot write the files of \"%s\"\n", base.c_str());
            return 1;
        }
        normalised.push_back(m.normalised);
        names.push_back(memberName(i) + ".pat");
    }
    double pairMax = -1.0, selfMax = -1.0;
    std::string text;
    char line[256];
    std::snprintf(line, sizeof line,
                  "tarlim-marker family --count %d --seed %u: %d markers of %d x %d blocks\n"
                  "limits: any two at most %.2f, each against itself turned at most %.2f\n\n",
                  count, seed, count, kFamilyGrid, kFamilyGrid,
                  count <= 16 ? kFamilyPairMaxSmall : kFamilyPairMaxLarge, kFamilySelfMax);
    text += line;
    text += toolCompareTable(normalised, names, &pairMax, &selfMax);
    std::snprintf(line, sizeof line, "highest pair: %.3f; highest self-turn: %.3f\n\n", pairMax,
                  selfMax);
    text += line;
    std::snprintf(line, sizeof line,
                  "rendered views: markers %d and %d pixels across, blur %.1f px, noise %.0f grey "
                  "levels, %d turns x %d offsets, threshold %d\n",
                  kFamilyViewSizes[0], kFamilyViewSizes[1], kFamilyViewBlur, kFamilyViewNoise,
                  kFamilyViewTurns, kFamilyViewPlaces, kFamilyViewThreshold);
    text += line;
    text += "  marker     views  own  wrong-turn  other  none  lowest-own  highest-other\n";
    int views = 0, own = 0, other = 0;
    for (int i = 0; i < count; i++) {
        const FamilyViewStats& s = stats[i];
        std::snprintf(line, sizeof line, "  %-9s  %5d  %3d  %10d  %5d  %4d  %10.3f  %13.3f\n",
                      memberName(i).c_str(), s.views, s.own, s.wrongTurn, s.other, s.unrecognised,
                      s.own > 0 ? s.lowestOwn : 0.0, s.highestOther);
        text += line;
        views += s.views;
        own += s.own;
        other += s.other;
    }
    std::snprintf(line, sizeof line,
                  "identified as itself in %d of %d views (%.2f%%), as another in %d\n", own, views,
                  100.0 * own / views, other);
    text += line;
    std::FILE* f = std::fopen((dir + "/family.txt").c_str(), "w");
    if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size() ||
        std::fclose(f) != 0) {
        std::fprintf(stderr, "tarlim-marker: cannot write \"%s/family.txt\"\n", dir.c_str());
        return 1;
    }
    std::printf("%s: %d markers; highest pair %.3f, highest self-turn %.3f; own id in %d of %d "
                "rendered views, another's in %d\n",
                dir.c_str(), count, pairMax, selfMax, own, views, other);
    return 0;
}

bool parseNumber(const char* text, double* value)
{
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(*value);
}

bool parseWhole(const char* text, long min, long max, long* value)
{
    char* end = nullptr;
    errno = 0;
    *value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && errno == 0 && *value >= min && *value <= max;
}

int usageError(const char* what)
{
    std::fprintf(stderr, "tarlim-marker: %s\n", what);
    usage(stderr);
    return 2;
}

int commandFamily(int argc, char** argv)
{
    long count = 0, seed = 1;
    double sideMm = 80.0, dpi = 300.0;
    const char* dir = nullptr;
    for (int i = 2; i < argc; i++) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--count" && hasValue) {
            if (!parseWhole(argv[++i], 1, kFamilyCountMax, &count))
                return usageError("--count takes 1 ... 48");
        } else if (arg == "--seed" && hasValue) {
            if (!parseWhole(argv[++i], 0, 4294967295L, &seed))
                return usageError("--seed takes 0 ... 4294967295");
        } else if (arg == "--side-mm" && hasValue) {
            if (!parseNumber(argv[++i], &sideMm) || sideMm <= 0.0)
                return usageError("--side-mm takes a positive number");
        } else if (arg == "--dpi" && hasValue) {
            if (!parseNumber(argv[++i], &dpi) || dpi <= 0.0)
                return usageError("--dpi takes a positive number");
        } else if (arg == "-o" && hasValue) {
            dir = argv[++i];
        } else {
            return usageError(("unexpected \"" + arg + "\"").c_str());
        }
    }
    if (count == 0 || dir == nullptr) return usageError("family needs --count and -o");
    return makeFamily(static_cast<int>(count), static_cast<uint32_t>(seed), sideMm, dpi, dir);
}

int commandSheet(int argc, char** argv)
{
    const char* paper = nullptr;
    const char* output = nullptr;
    double sideMm = 0.0, dpi = 300.0;
    std::vector<const char*> pictures;
    for (int i = 2; i < argc; i++) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--paper" && hasValue) {
            paper = argv[++i];
            if (std::strcmp(paper, "a4") != 0 && std::strcmp(paper, "letter") != 0)
                return usageError("--paper takes a4 or letter");
        } else if (arg == "--side-mm" && hasValue) {
            if (!parseNumber(argv[++i], &sideMm) || sideMm <= 0.0)
                return usageError("--side-mm takes a positive number");
        } else if (arg == "--dpi" && hasValue) {
            if (!parseNumber(argv[++i], &dpi) || dpi <= 0.0)
                return usageError("--dpi takes a positive number");
        } else if (arg == "-o" && hasValue) {
            output = argv[++i];
        } else if (arg[0] != '-') {
            pictures.push_back(argv[i]);
        } else {
            return usageError(("unexpected \"" + arg + "\"").c_str());
        }
    }
    if (paper == nullptr || sideMm <= 0.0 || output == nullptr || pictures.empty())
        return usageError("sheet needs --paper, --side-mm, -o and at least one picture");
    return makeSheet(paper, sideMm, dpi, pictures, output);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "family") == 0) return commandFamily(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "sheet") == 0) return commandSheet(argc, argv);
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
        return 2;
    }
    if (design != nullptr)
        return makeDesign(design, size > 1e6 ? 0 : static_cast<int>(size), output);
    return makeMarker(picture, sideMm, dpi, output);
}
