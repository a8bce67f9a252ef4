// Pattern recognition: pattern files, sampling through the corner homography, and
// matching by normalised correlation.
//
// The pattern table is global and slots are never freed, so the cases run in file
// order: the "nothing loaded" case first, the table-full case last.
#include "pattern/pattern.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "camera/camera.h"

namespace {

using Orientation = std::vector<int>;  // 768 file values, file order (channel, row, column)

// Slots in use: patternCount is -1 before the first load initialises the table, and
// CTest runs every case in a process of its own.
int loadedSlots()
{
    return patternCount < 0 ? 0 : patternCount;
}

std::string tempPath(const std::string& name)
{
    return std::string(TARLIM_BINARY_DIR) + "/test_pattern_" + std::to_string(getpid()) + "_" +
           name;
}

// Writes the four orientations in the file's order: orientation, channel, row, column.
std::string writePattern(const std::string& name, const Orientation o[4])
{
    const std::string path = tempPath(name);
    std::ofstream out(path);
    for (int h = 0; h < 4; h++) {
        for (int c = 0; c < 3; c++) {
            for (int r = 0; r < 16; r++) {
                for (int k = 0; k < 16; k++)
                    out << o[h][(c * 16 + r) * 16 + k] << (k == 15 ? "\n" : " ");
            }
        }
    }
    return path;
}

std::string writeText(const std::string& name, const std::string& text)
{
    const std::string path = tempPath(name);
    std::ofstream(path) << text;
    return path;
}

Orientation randomOrientation(unsigned seed)
{
    std::mt19937 rng(seed);
    Orientation o(768);
    for (int& v : o) v = static_cast<int>(rng() % 256);
    return o;
}

// The sample a camera would produce of a picture whose file values are `o`: the same
// bytes in sample layout (row, column, channel).
std::vector<uint8_t> sampleOf(const Orientation& o, int add = 0)
{
    std::vector<uint8_t> s(768);
    for (int c = 0; c < 3; c++) {
        for (int r = 0; r < 16; r++) {
            for (int k = 0; k < 16; k++)
                s[(r * 16 + k) * 3 + c] = static_cast<uint8_t>(o[(c * 16 + r) * 16 + k] + add);
        }
    }
    return s;
}

struct Match {
    int result;
    int32_t id, dir;
    double conf;
};

Match match(const std::vector<uint8_t>& sample)
{
    Match m{};
    m.result = patternMatch(sample.data(), &m.id, &m.dir, &m.conf);
    return m;
}

std::string captured(const std::function<int()>& call, int* result)
{
    testing::internal::CaptureStdout();
    *result = call();
    return testing::internal::GetCapturedStdout();
}

// Four distinct orientations with values in 0 ... 250 (room to brighten by 5).
struct PatternSet {
    Orientation o[4];
    explicit PatternSet(unsigned seed)
    {
        for (int h = 0; h < 4; h++) {
            o[h] = randomOrientation(seed * 10 + h);
            for (int& v : o[h]) v = v * 250 / 255;
        }
    }
};

// ---- Matching before anything is loaded --------------------------------------------------

TEST(PatternEmpty, NothingLoadedReportsNoPattern)
{
    ASSERT_EQ(patternCount, -1) << "this case must run before any load";
    const Match m = match(sampleOf(randomOrientation(1)));
    EXPECT_EQ(m.result, 0);
    EXPECT_EQ(m.id, -1);
    EXPECT_EQ(m.dir, -1);
    EXPECT_EQ(m.conf, 0.0);
}

// ---- Loading --------------------------------------------------------------------------------

TEST(PatternLoad, StoresInvertedMeanFreeValuesAndTheirNorm)
{
    // Orientation 0: blue all 0 (black), green all 255, red all 51: inverted 255, 0, 204,
    // mean (255 + 0 + 204) * 256 / 768 = 153, mean-free 102, -153, 51.
    Orientation o[4];
    o[0].assign(768, 0);
    for (int i = 256; i < 512; i++) o[0][i] = 255;
    for (int i = 512; i < 768; i++) o[0][i] = 51;
    o[1].assign(768, 77);  // flat: power falls back to 1e-7
    o[2] = randomOrientation(2);
    o[3] = randomOrientation(3);
    const int slot = patternLoad(writePattern("values.pat", o).c_str());
    ASSERT_EQ(slot, 0);
    EXPECT_EQ(patternCount, 1);
    const PatternSlot& p = patternSlots[slot];
    EXPECT_EQ(p.used, 1);
    for (int px = 0; px < 256; px++) {
        ASSERT_EQ(p.values[0][px * 3 + 0], 102) << "pixel " << px;
        ASSERT_EQ(p.values[0][px * 3 + 1], -153) << "pixel " << px;
        ASSERT_EQ(p.values[0][px * 3 + 2], 51) << "pixel " << px;
        ASSERT_EQ(p.values[1][px * 3], 0);
    }
    EXPECT_DOUBLE_EQ(p.power[0], std::sqrt(256.0 * (102 * 102 + 153 * 153 + 51 * 51)));
    EXPECT_EQ(p.power[1], 0.0000001);
}

TEST(PatternLoad, SameFileTwiceGivesTwoSlots)
{
    const PatternSet set(5);
    const std::string path = writePattern("twice.pat", set.o);
    const int a = patternLoad(path.c_str());
    const int b = patternLoad(path.c_str());
    EXPECT_GE(a, 0);
    EXPECT_EQ(b, a + 1);
}

TEST(PatternLoad, ReportsMissingAndShortFilesWithoutTakingASlot)
{
    const int before = loadedSlots();
    int result = 0;
    std::string out = captured([] { return patternLoad("/nonexistent/x.pat"); }, &result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "\"/nonexistent/x.pat\" not found!!\n");

    std::ostringstream text;
    for (int i = 0; i < 3071; i++) text << 128 << ' ';
    const std::string shortPath = writeText("short.pat", text.str());
    out = captured([&] { return patternLoad(shortPath.c_str()); }, &result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "Pattern Data read error!!\n");

    // 3072 numbers, then trailing text: the text is ignored.
    const std::string longPath = writeText("trailing.pat", text.str() + "7\nanything after\n");
    out = captured([&] { return patternLoad(longPath.c_str()); }, &result);
    EXPECT_GE(result, 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(loadedSlots(), before + 1);
}

TEST(PatternLoad, RejectsJunkTokensAndClampsOutOfRangeNumbers)
{
    const int before = loadedSlots();
    int result = 0;
    for (const char* junk : {"12 x 4", "12 - 4", "1.5", "abc"}) {
        std::ostringstream text;
        text << junk << ' ';
        for (int i = 0; i < 3072; i++) text << 1 << ' ';
        const std::string path = writeText("junk.pat", text.str());
        // "1.5" reads 1, then ".5" is not a number.
        const std::string out = captured([&] { return patternLoad(path.c_str()); }, &result);
        EXPECT_EQ(result, -1) << junk;
        EXPECT_EQ(out, "Pattern Data read error!!\n") << junk;
    }
    EXPECT_EQ(loadedSlots(), before);

    // Huge, negative and far out-of-int numbers behave as 255 and 0.
    std::ostringstream text;
    for (int i = 0; i < 3072; i++) {
        const char* v = (i % 4 == 0)   ? "99999999999999999999999"
                        : (i % 4 == 1) ? "-2147483648"
                        : (i % 4 == 2) ? "+300"
                                       : "-5";
        text << v << (i % 16 == 15 ? '\n' : '\t');
    }
    const int slot = patternLoad(writeText("huge.pat", text.str()).c_str());
    ASSERT_GE(slot, 0);
    // Inverted: 0, 255, 0, 255 repeating in file order; mean 127 removes to -127 / 128.
    const PatternSlot& p = patternSlots[slot];
    for (int i = 0; i < 768; i++) {
        const int c = i / 256, rk = i % 256;
        const int expected = (i % 2 == 0) ? -127 : 128;
        ASSERT_EQ(p.values[0][rk * 3 + c], expected) << "file value " << i;
    }
}

// ---- Matching ------------------------------------------------------------------------------

TEST(PatternMatch, ExactOrientationBrightnessAndNegative)
{
    const PatternSet set(11);
    const int slot = patternLoad(writePattern("match.pat", set.o).c_str());
    ASSERT_GE(slot, 0);
    for (int h = 0; h < 4; h++) {
        for (int add : {0, 5}) {
            const Match m = match(sampleOf(set.o[h], add));
            EXPECT_EQ(m.result, 0);
            EXPECT_EQ(m.id, slot) << "orientation " << h << " brightened by " << add;
            EXPECT_EQ(m.dir, h) << "brightened by " << add;
            EXPECT_NEAR(m.conf, 1.0, 1e-12) << "orientation " << h;
        }
    }
    // The photographic negative of a picture anti-correlates with it; it must never be
    // reported as that picture.
    Orientation negative = set.o[2];
    for (int& v : negative) v = 250 - v;
    const Match n = match(sampleOf(negative));
    EXPECT_NE(n.id * 4 + n.dir, slot * 4 + 2);
    EXPECT_LT(n.conf, 0.3) << "negative matched " << n.id << "/" << n.dir;
}

// Smoothing: a constant stays that constant (scaled by 16) to the grid's edges, a
// single bright cell spreads symmetrically, and adding a constant adds 16 times it.
TEST(PatternSoft, SmoothingKeepsConstantsAndSpreadsEvenly)
{
    std::vector<int32_t> in(kPatternValues, 100), out(kPatternValues, -1);
    patternSoften(in.data(), out.data());
    for (int32_t v : out) ASSERT_EQ(v, 1600);
    std::fill(in.begin(), in.end(), 0);
    in[(7 * 16 + 7) * 3 + 1] = 255;  // green of cell (7, 7)
    patternSoften(in.data(), out.data());
    auto at = [&](int x, int y, int c) { return out[(y * 16 + x) * 3 + c]; };
    EXPECT_GT(at(7, 7, 1), at(6, 7, 1));
    EXPECT_GT(at(6, 7, 1), at(5, 7, 1));
    EXPECT_GT(at(5, 7, 1), 0);
    EXPECT_EQ(at(6, 7, 1), at(8, 7, 1));
    EXPECT_EQ(at(7, 6, 1), at(7, 8, 1));
    EXPECT_EQ(at(6, 7, 1), at(7, 6, 1));
    EXPECT_EQ(at(4, 7, 1), 0) << "the kernel reaches two cells";
    EXPECT_EQ(at(7, 7, 0), 0) << "channels stay apart";
    std::vector<int32_t> brighter(kPatternValues), shifted(kPatternValues);
    const Orientation o = randomOrientation(5);
    for (int k = 0; k < kPatternValues; k++) {
        in[k] = o[k] % 200;
        brighter[k] = in[k] + 37;
    }
    patternSoften(in.data(), out.data());
    patternSoften(brighter.data(), shifted.data());
    for (int k = 0; k < kPatternValues; k++) ASSERT_EQ(shifted[k], out[k] + 16 * 37) << k;
}

// Soft matching finds a pattern's own picture in every orientation, at any brightness,
// with the same confidence as a picture identical to it; a blurred copy correlates
// better with the smoothed patterns than with the sharp ones; a uniform sample is
// reported as such.
TEST(PatternSoft, MatchFindsThePictureAndForgivesBlur)
{
    const PatternSet set(31);
    const PatternSet other(32);
    // A set of its own, so that patterns other cases load cannot interfere.
    std::unique_ptr<::PatternSet, void (*)(::PatternSet*)> own(patternSetCreate(),
                                                               patternSetRelease);
    ASSERT_NE(own, nullptr);
    ASSERT_GE(patternSetLoad(own.get(), writePattern("soft-other.pat", other.o).c_str()), 0);
    const int slot = patternSetLoad(own.get(), writePattern("soft.pat", set.o).c_str());
    ASSERT_GE(slot, 0);
    for (int h = 0; h < 4; h++) {
        for (int add : {0, 5}) {
            Match m{};
            m.result = patternSetMatchSoft(own.get(), sampleOf(set.o[h], add).data(), &m.id, &m.dir,
                                           &m.conf);
            EXPECT_EQ(m.result, 0);
            EXPECT_EQ(m.id, slot) << "orientation " << h;
            EXPECT_EQ(m.dir, h);
            EXPECT_NEAR(m.conf, 1.0, 1e-12);
        }
    }
    // A 3 x 3 box blur of orientation 1, as a small marker seen through a soft lens.
    std::vector<uint8_t> sharp = sampleOf(set.o[1]), blurred(kPatternValues);
    for (int y = 0; y < 16; y++)
        for (int x = 0; x < 16; x++)
            for (int c = 0; c < 3; c++) {
                int sum = 0, n = 0;
                for (int dy = -1; dy <= 1; dy++)
                    for (int dx = -1; dx <= 1; dx++)
                        if (x + dx >= 0 && x + dx < 16 && y + dy >= 0 && y + dy < 16) {
                            sum += sharp[((y + dy) * 16 + x + dx) * 3 + c];
                            n++;
                        }
                blurred[(y * 16 + x) * 3 + c] = static_cast<uint8_t>(sum / n);
            }
    Match plain{}, soft{};
    patternSetMatch(own.get(), blurred.data(), &plain.id, &plain.dir, &plain.conf);
    patternSetMatchSoft(own.get(), blurred.data(), &soft.id, &soft.dir, &soft.conf);
    EXPECT_EQ(plain.id, slot);
    EXPECT_EQ(soft.id, slot);
    EXPECT_EQ(soft.dir, 1);
    EXPECT_GT(soft.conf, plain.conf + 0.1) << "plain " << plain.conf << ", soft " << soft.conf;
    const std::vector<uint8_t> flat(kPatternValues, 90);
    Match u{};
    EXPECT_EQ(patternSetMatchSoft(own.get(), flat.data(), &u.id, &u.dir, &u.conf), -1);
    EXPECT_EQ(u.conf, -1.0);
}

TEST(PatternMatch, DuplicateSlotsReportTheLowerOne)
{
    const PatternSet set(21);
    const std::string path = writePattern("dup.pat", set.o);
    const int a = patternLoad(path.c_str());
    const int b = patternLoad(path.c_str());
    ASSERT_GE(a, 0);
    ASSERT_GT(b, a);
    const Match m = match(sampleOf(set.o[3]));
    EXPECT_EQ(m.id, a);
    EXPECT_EQ(m.dir, 3);
}

TEST(PatternMatch, UniformSampleIsReportedAsSuch)
{
    for (int v : {0, 128, 255}) {
        const Match m = match(std::vector<uint8_t>(768, static_cast<uint8_t>(v)));
        EXPECT_EQ(m.result, -1);
        EXPECT_EQ(m.id, 0);
        EXPECT_EQ(m.dir, 0);
        EXPECT_EQ(m.conf, -1.0) << "value " << v;
    }
}

TEST(PatternMatch, WeakCorrelationIsStillReported)
{
    // Half of the sample from a loaded orientation, half flat: correlation well below 1
    // but positive, and matching itself applies no floor.
    const PatternSet set(31);
    const int slot = patternLoad(writePattern("weak.pat", set.o).c_str());
    ASSERT_GE(slot, 0);
    std::vector<uint8_t> s = sampleOf(set.o[1]);
    for (int i = 0; i < 768; i += 2) s[i] = 100;
    const Match m = match(s);
    EXPECT_EQ(m.id, slot);
    EXPECT_EQ(m.dir, 1);
    EXPECT_GT(m.conf, 0.0);
    EXPECT_LT(m.conf, 0.9);
}

TEST(PatternMatch, DotProductsAreTheSameOnEveryInstructionSet)
{
    // Grids of the plain range, the smoothed range and values far beyond both, signs
    // mixed: any lane, pairing or carry slip in the wide code changes a sum.
    std::mt19937 random(17);
    const int32_t ranges[3] = {255, 4080, 1 << 26};
    for (int32_t range : ranges) {
        std::uniform_int_distribution<int32_t> value(-range, range);
        for (int round = 0; round < 20; round++) {
            std::vector<int32_t> v(kPatternValues);
            std::vector<std::array<int32_t, kPatternValues>> grids(kPatternOrientations);
            for (int32_t& x : v) x = value(random);
            for (auto& g : grids)
                for (int32_t& x : g) x = value(random);
            int64_t expected[kPatternOrientations];
            for (int h = 0; h < kPatternOrientations; h++) {
                expected[h] = 0;
                for (int k = 0; k < kPatternValues; k++)
                    expected[h] += static_cast<int64_t>(v[k]) * grids[h][k];
            }
            int32_t table[kPatternOrientations][kPatternValues];
            for (int h = 0; h < kPatternOrientations; h++)
                std::copy(grids[h].begin(), grids[h].end(), table[h]);
            for (int level : {0, 2}) {
                int64_t dots[kPatternOrientations];
                patternDotsUsing(v.data(), table, dots, level);
                for (int h = 0; h < kPatternOrientations; h++)
                    EXPECT_EQ(dots[h], expected[h]) << "range " << range << " level " << level;
            }
        }
    }
}

// ---- Sampling --------------------------------------------------------------------------------

// A frame whose pixel (x, y) has blue = x, green = y, red = 200: a sample's blue and
// green then tell which pixels were averaged.
struct CoordinateFrame {
    int w, h;
    std::vector<uint8_t> px;
    CoordinateFrame(int width, int height)
        : w(width), h(height), px(static_cast<size_t>(width) * height * 4)
    {
        CameraParam p{};
        p.width = w;
        p.height = h;
        p.distortion[3] = 1.0;
        camParamInit(&p);
        for (int y = 0; y < h; y++) {
            for (int x = 0; x < w; x++) {
                uint8_t* q = &px[(static_cast<size_t>(y) * w + x) * 4];
                q[0] = static_cast<uint8_t>(x);
                q[1] = static_cast<uint8_t>(y);
                q[2] = 200;
                q[3] = 0;
            }
        }
    }
};

// Sample of an axis-aligned square with top-left corner (x0, y0) and corner distance L,
// corners in the order top-left, top-right, bottom-right, bottom-left.
std::vector<uint8_t> sampleSquare(const CoordinateFrame& f, int x0, int y0, int L, int* result)
{
    const int32_t xs[4] = {x0, x0 + L, x0 + L, x0};
    const int32_t ys[4] = {y0, y0, y0 + L, y0 + L};
    const int32_t corners[5] = {0, 1, 2, 3, 4};
    std::vector<uint8_t> s(768);
    *result = patternSample(f.px.data(), xs, ys, corners, s.data());
    return s;
}

// Expected cell value along one axis from the documented grid: n sample points per side
// at reference positions 102.5 + (i + 0.5) * 5 / n, mapped linearly onto the square.
int expectedCell(int origin, int L, int n, int cell)
{
    const int per = n / 16;
    int sum = 0;
    for (int i = cell * per; i < (cell + 1) * per; i++) {
        sum += static_cast<int>(origin + L * (0.25 + (i + 0.5) / (2.0 * n)));
    }
    return sum / per;  // the frame values grow with the coordinate; < 256 here
}

TEST(PatternSample, GridSizeFollowsEdgeLength)
{
    CoordinateFrame f(256, 256);
    // Squared side L^2: 1024 / 4 = 256 keeps 16; 1600 / 4 = 400 gives 32; 200 px gives
    // 64 (capped); 31 px stays 16.
    for (int L : {31, 32, 40, 100, 200}) {
        const int n = (L * L / 4 > 256) ? ((L * L / 4 > 1024) ? 64 : 32) : 16;
        int result = 0;
        const std::vector<uint8_t> s = sampleSquare(f, 20, 30, L, &result);
        ASSERT_EQ(result, 0);
        for (int cell = 0; cell < 16; cell++) {
            // Row 0 is the top edge (P0 -> P1), column 0 its left side.
            EXPECT_EQ(s[(0 * 16 + cell) * 3 + 0], expectedCell(20, L, n, cell))
                << "L " << L << " column " << cell;
            EXPECT_EQ(s[(cell * 16 + 0) * 3 + 1], expectedCell(30, L, n, cell))
                << "L " << L << " row " << cell;
            EXPECT_EQ(s[(cell * 16 + cell) * 3 + 2], 200);
        }
    }
}

TEST(PatternSample, PointsOutsideTheFrameDarkenButStayInside)
{
    CoordinateFrame f(64, 64);
    int result = 0;
    // The square's right half lies beyond the frame: those sample points add nothing.
    const std::vector<uint8_t> s = sampleSquare(f, 30, 10, 60, &result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(s[(5 * 16 + 0) * 3 + 2], 200);
    EXPECT_EQ(s[(5 * 16 + 15) * 3 + 2], 0);
    // A square wholly outside, even far beyond any int, samples nothing and never reads.
    const int32_t xs[4] = {-2000000000, 2000000000, 2000000000, -2000000000};
    const int32_t ys[4] = {-2000000000, -2000000000, 2000000000, 2000000000};
    const int32_t corners[5] = {0, 1, 2, 3, 4};
    std::vector<uint8_t> far(768, 7);
    EXPECT_EQ(patternSample(f.px.data(), xs, ys, corners, far.data()), 0);
    EXPECT_EQ(far, std::vector<uint8_t>(768, 0));
    // Degenerate corners (all equal): the homography is meaningless; whatever it gives,
    // nothing is read outside the frame and matching gets a defined answer.
    const int32_t same[4] = {10, 10, 10, 10};
    std::vector<uint8_t> d(768);
    patternSample(f.px.data(), same, same, corners, d.data());
    int32_t id = 0, dir = 0;
    double conf = 0.0;
    patternMatch(d.data(), &id, &dir, &conf);
    EXPECT_LE(conf, 1.0);
}

// Last: fills the table.
TEST(PatternTableFull, LastLoadFailsSilently)
{
    const PatternSet set(41);
    const std::string path = writePattern("fill.pat", set.o);
    while (patternCount < kPatternSlotMax) ASSERT_GE(patternLoad(path.c_str()), 0);
    int result = 0;
    const std::string out = captured([&] { return patternLoad(path.c_str()); }, &result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(patternCount, kPatternSlotMax);
}

}  // namespace
