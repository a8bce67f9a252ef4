// tarlim-pattern and tarlim-marker, run as a user runs them: pattern files against
// hand-derived values and quarter turns, previews, comparisons, printable markers, and
// the shipped markers against their generator.
#include "synth/synth.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/support.h"

namespace {

const std::string kTools = std::string(TARLIM_BINARY_DIR) + "/tools/";
const std::string kMarkers = std::string(TARLIM_SOURCE_DIR) + "/data/markers/";
const char* const kNames[4] = {"arrow", "moon", "bars", "key"};

std::string temp(const std::string& name)
{
    return "/tmp/tarlim_test_tools_" + std::to_string(getpid()) + "_" + name;
}

// Runs a tool with arguments; returns its exit status, its standard output in *out.
int run(const std::string& tool, const std::string& args, std::string* out = nullptr)
{
    const support::CommandRun r = support::run(kTools + tool + " " + args);
    if (out != nullptr) *out = r.out;
    return r.status;
}

// The print resolution a PNG stores: its pHYs chunk's 9 bytes (pixels per unit in x and
// y, unit), or an empty string when it has none.
std::string pngResolution(const std::string& path)
{
    const std::string bytes = support::slurp(path);
    const size_t at = bytes.find("pHYs");
    return at == std::string::npos || at + 13 > bytes.size() ? std::string()
                                                             : bytes.substr(at + 4, 9);
}

// The 3072 numbers of a pattern file: [orientation][channel][row][column].
std::vector<int> readNumbers(const std::string& path)
{
    std::ifstream in(path);
    std::vector<int> values;
    int v;
    while (in >> v) values.push_back(v);
    return values;
}

int at(const std::vector<int>& p, int h, int c, int r, int k)
{
    return p[((h * 3 + c) * 16 + r) * 16 + k];
}

void setPixel(SynthImage* image, int x, int y, int b, int g, int r, int a = 255)
{
    std::uint8_t* p = &image->pixels[(static_cast<size_t>(y) * image->width + x) * 4];
    p[0] = static_cast<std::uint8_t>(b);
    p[1] = static_cast<std::uint8_t>(g);
    p[2] = static_cast<std::uint8_t>(r);
    p[3] = static_cast<std::uint8_t>(a);
}

// 32 x 32 picture whose 2 x 2 blocks carry cell-specific colours: cell (r, k) is
// blue r * 16 + k, green 100 + r, red 200 - 3k.
SynthImage cellPicture()
{
    SynthImage pic;
    synthImageMake(32, 32, 0, 0, 0, &pic);
    for (int y = 0; y < 32; y++)
        for (int x = 0; x < 32; x++)
            setPixel(&pic, x, y, (y / 2) * 16 + x / 2, 100 + y / 2, 200 - 3 * (x / 2));
    return pic;
}

// Quarter turn counterclockwise of a picture (the new top row is the old right column).
SynthImage turned(const SynthImage& pic)
{
    SynthImage out;
    synthImageMake(pic.height, pic.width, 0, 0, 0, &out);
    for (int y = 0; y < out.height; y++)
        for (int x = 0; x < out.width; x++) {
            const std::uint8_t* p =
                &pic.pixels[(static_cast<size_t>(x) * pic.width + (pic.width - 1 - y)) * 4];
            setPixel(&out, x, y, p[0], p[1], p[2], p[3]);
        }
    return out;
}

}  // namespace

TEST(ToolsCommandLine, HelpAndBadArguments)
{
    std::string out;
    EXPECT_EQ(run("tarlim-pattern", "--help", &out), 0);
    EXPECT_NE(out.find("usage: tarlim-pattern make"), std::string::npos) << out;
    EXPECT_EQ(run("tarlim-marker", "--help", &out), 0);
    EXPECT_NE(out.find("usage: tarlim-marker"), std::string::npos) << out;
    // Usage errors exit 2, files that cannot be read 1.
    EXPECT_EQ(run("tarlim-pattern", ""), 2);
    EXPECT_EQ(run("tarlim-pattern", "frobnicate x"), 2);
    EXPECT_EQ(run("tarlim-pattern", "make /nonexistent.png -o " + temp("x.pat")), 1);
    EXPECT_EQ(run("tarlim-pattern", "make " + kMarkers + "arrow.png"), 2) << "no -o";
    EXPECT_EQ(run("tarlim-pattern", "compare " + kMarkers + "arrow.pat"), 2)
        << "one file is no pair";
    EXPECT_EQ(run("tarlim-pattern", "compare " + kMarkers + "arrow.pat /nonexistent.pat"), 1);
    EXPECT_EQ(run("tarlim-pattern", "show /nonexistent.pat"), 1);
    EXPECT_EQ(run("tarlim-pattern", "show"), 2);
    EXPECT_EQ(run("tarlim-pattern", "grab " + kMarkers + "arrow-print.png"), 2) << "no -o";
    EXPECT_EQ(run("tarlim-pattern", "grab -o " + temp("g.pat")), 2) << "no source";
    EXPECT_EQ(run("tarlim-pattern",
                  "grab " + kMarkers + "arrow-print.png --frames 3 -o " + temp("g.pat")),
              2)
        << "--frames without --video";
    EXPECT_EQ(run("tarlim-pattern",
                  "grab " + kMarkers + "arrow-print.png --threshold 300 -o " + temp("g.pat")),
              2);
    EXPECT_EQ(run("tarlim-pattern", "grab /nonexistent.png -o " + temp("g.pat")), 1);
    EXPECT_EQ(run("tarlim-marker", kMarkers + "arrow.png -o " + temp("m.png")), 2)
        << "no --side-mm";
    EXPECT_EQ(run("tarlim-marker", kMarkers + "arrow.png --side-mm -5 -o " + temp("m.png")), 2);
    EXPECT_EQ(
        run("tarlim-marker", kMarkers + "arrow.png --side-mm 80 --dpi abc -o " + temp("m.png")), 2);
    EXPECT_EQ(run("tarlim-marker", "--design nosuch -o " + temp("m.png")), 2);
    EXPECT_EQ(run("tarlim-marker", "/nonexistent.png --side-mm 80 -o " + temp("m.png")), 1);
    EXPECT_EQ(run("tarlim-marker", "family --count 0 -o " + temp("fam")), 2);
    EXPECT_EQ(run("tarlim-marker", "family --count 49 -o " + temp("fam")), 2);
    EXPECT_EQ(run("tarlim-marker", "family --count 4 --seed -1 -o " + temp("fam")), 2);
    EXPECT_EQ(run("tarlim-marker", "family --count 4"), 2) << "no -o";
    EXPECT_EQ(run("tarlim-marker",
                  "sheet --paper a5 --side-mm 50 " + kMarkers + "arrow.png -o " + temp("s.png")),
              2);
    EXPECT_EQ(
        run("tarlim-marker", "sheet --paper a4 " + kMarkers + "arrow.png -o " + temp("s.png")), 2)
        << "no --side-mm";
    EXPECT_EQ(run("tarlim-marker", "sheet --paper a4 --side-mm 50 -o " + temp("s.png")), 2)
        << "no picture";
    EXPECT_EQ(run("tarlim-marker",
                  "sheet --paper a4 --side-mm 250 " + kMarkers + "arrow.png -o " + temp("s.png")),
              1)
        << "larger than the page";
}

// Orientation 0 is the picture's 16 x 16 cell averages, upright, blue plane first;
// orientation h is it turned h quarter turns counterclockwise.
TEST(ToolsPattern, MakeWritesTheCellsInFourQuarterTurns)
{
    const SynthImage pic = cellPicture();
    const std::string png = temp("cells.png"), pat = temp("cells.pat");
    ASSERT_EQ(synthPngWrite(png.c_str(), &pic, 0), 0);
    ASSERT_EQ(run("tarlim-pattern", "make " + png + " -o " + pat), 0);
    const std::vector<int> p = readNumbers(pat);
    ASSERT_EQ(p.size(), 3072u);
    for (int r = 0; r < 16; r++)
        for (int k = 0; k < 16; k++) {
            ASSERT_EQ(at(p, 0, 0, r, k), r * 16 + k) << r << "," << k;
            ASSERT_EQ(at(p, 0, 1, r, k), 100 + r) << r << "," << k;
            ASSERT_EQ(at(p, 0, 2, r, k), 200 - 3 * k) << r << "," << k;
            for (int c = 0; c < 3; c++) {
                ASSERT_EQ(at(p, 1, c, r, k), at(p, 0, c, k, 15 - r))
                    << "quarter turn, cell " << r << "," << k;
                ASSERT_EQ(at(p, 2, c, r, k), at(p, 0, c, 15 - r, 15 - k))
                    << "half turn, cell " << r << "," << k;
                ASSERT_EQ(at(p, 3, c, r, k), at(p, 0, c, 15 - k, r))
                    << "three quarters, cell " << r << "," << k;
            }
        }
    std::remove(png.c_str());
    std::remove(pat.c_str());
}

TEST(ToolsPattern, MakeAveragesCellsAndTreatsTransparencyAsPaper)
{
    // 64 x 64: each cell 4 x 4 pixels; cell (0, 0) half black, half white -> 128 (rounded);
    // the right half fully transparent black -> white paper.
    SynthImage pic;
    synthImageMake(64, 64, 255, 255, 255, &pic);
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 2; x++) setPixel(&pic, x, y, 0, 0, 0);
    for (int y = 0; y < 64; y++)
        for (int x = 32; x < 64; x++) setPixel(&pic, x, y, 0, 0, 0, 0);
    const std::string png = temp("avg.png"), pat = temp("avg.pat");
    ASSERT_EQ(synthPngWrite(png.c_str(), &pic, 1), 0);
    ASSERT_EQ(run("tarlim-pattern", "make " + png + " -o " + pat), 0);
    const std::vector<int> p = readNumbers(pat);
    ASSERT_EQ(p.size(), 3072u);
    EXPECT_EQ(at(p, 0, 0, 0, 0), 128);
    EXPECT_EQ(at(p, 0, 2, 0, 1), 255);
    EXPECT_EQ(at(p, 0, 1, 5, 12), 255) << "transparent is paper";
    std::remove(png.c_str());
    std::remove(pat.c_str());
}

TEST(ToolsPattern, ShowPrintsEachOrientation)
{
    std::string out;
    ASSERT_EQ(run("tarlim-pattern", "show " + kMarkers + "bars.pat", &out), 0);
    for (int h = 0; h < 4; h++)
        EXPECT_NE(out.find("orientation " + std::to_string(h)), std::string::npos) << out;
    // bars, orientation 0: a full-width bar in rows 2 to 3, a gap, a left-half bar in
    // rows 7 to 8.
    std::istringstream lines(out);
    std::string line;
    std::vector<std::string> rows;
    while (std::getline(lines, line)) rows.push_back(line);
    ASSERT_EQ(rows.size(), 18u) << out;  // file name, headers, 16 rows
    EXPECT_EQ(rows[2 + 2].substr(2, 12), std::string(12, '@')) << rows[4];
    EXPECT_EQ(rows[2 + 5].substr(0, 16).find_first_not_of(' '), std::string::npos)
        << "gap: " << rows[7];
    EXPECT_EQ(rows[2 + 8].substr(2, 5), std::string(5, '@'))
        << "middle bar, left half: " << rows[10];
    EXPECT_EQ(rows[2 + 8].substr(9, 7).find_first_not_of(' '), std::string::npos)
        << "right of it: " << rows[10];
}

// A picture and its quarter turn have the same pattern up to orientation: correlation
// 1.0. The shipped markers stay below 0.5 with each other and with their own turns.
TEST(ToolsPattern, CompareFindsTurnedCopiesAndSeparatesShippedMarkers)
{
    const SynthImage pic = cellPicture();
    const SynthImage turn = turned(pic);
    const std::string a = temp("a.png"), b = temp("b.png"), pa = temp("a.pat"), pb = temp("b.pat");
    ASSERT_EQ(synthPngWrite(a.c_str(), &pic, 0), 0);
    ASSERT_EQ(synthPngWrite(b.c_str(), &turn, 0), 0);
    ASSERT_EQ(run("tarlim-pattern", "make " + a + " -o " + pa), 0);
    ASSERT_EQ(run("tarlim-pattern", "make " + b + " -o " + pb), 0);
    std::string out;
    ASSERT_EQ(run("tarlim-pattern", "compare " + pa + " " + pb, &out), 3) << "may be confused";
    EXPECT_NE(out.find(" 1.000\n"), std::string::npos) << out;
    EXPECT_NE(out.find("0.5 or more"), std::string::npos) << out;

    std::string args = "compare";
    for (const char* name : kNames) args += " " + kMarkers + name + ".pat";
    ASSERT_EQ(run("tarlim-pattern", args, &out), 0);
    std::istringstream lines(out);
    std::string line;
    int pairs = 0, selves = 0;
    bool inSelf = false;
    while (std::getline(lines, line)) {
        if (line.find("resemblance") != std::string::npos) inSelf = true;
        if (line.rfind("  ", 0) != 0) continue;
        std::istringstream fields(line);
        std::string first, second;
        double value;
        if (!inSelf) {
            fields >> first >> second >> value;
            EXPECT_LT(value, 0.5) << line;
            pairs++;
        } else {
            fields >> first;
            for (int h = 1; h < 4; h++) {
                fields >> value;
                EXPECT_LT(value, 0.5) << line;
            }
            selves++;
        }
    }
    EXPECT_EQ(pairs, 6) << out;
    EXPECT_EQ(selves, 4) << out;
    EXPECT_NE(out.find("below 0.5: distinct"), std::string::npos) << out;
    for (const std::string& f : {a, b, pa, pb}) std::remove(f.c_str());
}

// 80 mm at 300 dpi: a 945-pixel square, border 236 pixels, a 59-pixel white margin,
// the picture in the middle, the size written under it.
TEST(ToolsMarker, PrintableMarkerLayout)
{
    SynthImage pic;
    synthImageMake(2, 2, 255, 255, 255, &pic);
    setPixel(&pic, 0, 0, 0, 0, 255);  // red top-left
    const std::string png = temp("pic.png"), out = temp("print.png");
    ASSERT_EQ(synthPngWrite(png.c_str(), &pic, 0), 0);
    ASSERT_EQ(run("tarlim-marker", png + " --side-mm 80 --dpi 300 -o " + out), 0);
    SynthImage m;
    ASSERT_EQ(synthPngRead(out.c_str(), &m), 0);
    const int side = 945, margin = 59, left = (m.width - side) / 2, top = margin;
    EXPECT_EQ(m.width, side + 2 * margin);
    EXPECT_GT(m.height, side + 2 * margin);
    auto px = [&](int x, int y, int c) {
        return m.pixels[(static_cast<size_t>(y) * m.width + x) * 4 + c];
    };
    EXPECT_EQ(px(left - 1, top + 100, 0), 255) << "margin";
    EXPECT_EQ(px(left, top, 0), 0) << "border top-left";
    EXPECT_EQ(px(left + side - 1, top + side - 1, 0), 0) << "border bottom-right";
    EXPECT_EQ(px(left + 235, top + 300, 0), 0) << "border, inner edge";
    EXPECT_EQ(px(left + 240, top + 240, 2), 255) << "picture top-left is red";
    EXPECT_EQ(px(left + 240, top + 240, 0), 0) << "picture top-left is red";
    EXPECT_EQ(px(left + side - 240, top + 240, 0), 255) << "picture top-right is white";
    int ink = 0;
    for (int y = top + side; y < m.height; y++)
        for (int x = 0; x < m.width; x++) ink += px(x, y, 0) == 0;
    EXPECT_GT(ink, 500) << "the side length under the marker";
    ASSERT_EQ(run("tarlim-marker", png + " --side-mm 50 --dpi 100 -o " + out), 0);
    ASSERT_EQ(synthPngRead(out.c_str(), &m), 0);
    EXPECT_EQ(m.width, 197 + 2 * 12);
    std::remove(png.c_str());
    std::remove(out.c_str());
}

// The shipped pictures, printable markers and pattern files are exactly what the
// tools make today (regenerate with data/markers/make-markers.sh).
TEST(ToolsMarker, ShippedMarkersMatchTheirGenerator)
{
    for (const char* name : kNames) {
        const std::string pic = temp(std::string(name) + ".png"),
                          print = temp(std::string(name) + "-print.png"),
                          pat = temp(std::string(name) + ".pat");
        ASSERT_EQ(run("tarlim-marker", std::string("--design ") + name + " --size 128 -o " + pic),
                  0)
            << name;
        ASSERT_EQ(run("tarlim-marker", pic + " --side-mm 80 --dpi 300 -o " + print), 0) << name;
        ASSERT_EQ(run("tarlim-pattern", "make " + pic + " -o " + pat), 0) << name;
        SynthImage made, shipped;
        ASSERT_EQ(synthPngRead(pic.c_str(), &made), 0);
        ASSERT_EQ(synthPngRead((kMarkers + name + ".png").c_str(), &shipped), 0) << name;
        EXPECT_TRUE(made.pixels == shipped.pixels) << name << ".png differs from its design";
        ASSERT_EQ(synthPngRead(print.c_str(), &made), 0);
        ASSERT_EQ(synthPngRead((kMarkers + name + "-print.png").c_str(), &shipped), 0) << name;
        EXPECT_TRUE(made.pixels == shipped.pixels) << name << "-print.png differs";
        // Printing at "actual size" gives the stated side only with the resolution stored.
        EXPECT_FALSE(pngResolution(print).empty()) << name;
        EXPECT_EQ(pngResolution(print), pngResolution(kMarkers + name + "-print.png"))
            << name << "-print.png does not store the print resolution the tool writes";
        EXPECT_EQ(support::slurp(pat), support::slurp(kMarkers + name + ".pat"))
            << name << ".pat differs";
        for (const std::string& f : {pic, print, pat}) std::remove(f.c_str());
    }
}
