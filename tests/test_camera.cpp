// Camera parameters: the file format byte by byte and through round trips, the bad-input
// rules, rescaling, the distortion model against hand-computed values, and the matrix
// decomposition against matrices built from known intrinsics and poses.
#include "camera/camera.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

// A scratch file in the build tree, removed when the test ends.
struct TempFile {
    std::string path;
    explicit TempFile(const char* name)
        : path(std::string(TARLIM_BINARY_DIR) + "/tests/camera_" + std::to_string(getpid()) + "_" +
               name + ".tmp")
    {
    }
    ~TempFile() { std::remove(path.c_str()); }
    void write(const std::vector<unsigned char>& bytes) const
    {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<unsigned char> read() const
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
};

CameraParam sampleParam(double salt = 0.0)
{
    CameraParam p{};
    p.width = 640;
    p.height = 480;
    const double proj[3][4] = {
        {700.5 + salt, 0.25, 320.125, 1.5}, {0, 698.75, 241.5, -2.0}, {0, 0, 1, 0.001}};
    std::memcpy(p.projection, proj, sizeof proj);
    p.distortion[0] = 318.5;
    p.distortion[1] = 242.0;
    p.distortion[2] = 50.0 + salt;
    p.distortion[3] = 0.98;
    return p;
}

CameraParam filledWith(double v)
{
    CameraParam p;
    p.width = -7;
    p.height = -7;
    for (auto& row : p.projection) {
        for (double& e : row) e = v;
    }
    for (double& e : p.distortion) e = v;
    return p;
}

void expectSameParam(const CameraParam& a, const CameraParam& b, const char* what)
{
    EXPECT_EQ(a.width, b.width) << what;
    EXPECT_EQ(a.height, b.height) << what;
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 4; j++)
            EXPECT_EQ(a.projection[i][j], b.projection[i][j])
                << what << " [" << i << "][" << j << "]";
    }
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(a.distortion[i], b.distortion[i]) << what << " distortion " << i;
}

// Independent big-endian encoder for hand-made files.
void putBE(std::vector<unsigned char>& out, uint64_t bits, int bytes)
{
    for (int i = bytes - 1; i >= 0; i--) out.push_back(static_cast<unsigned char>(bits >> (8 * i)));
}
void putDouble(std::vector<unsigned char>& out, double v)
{
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    putBE(out, bits, 8);
}
std::vector<unsigned char> handRecord(int32_t width, int32_t height, const double values[16])
{
    std::vector<unsigned char> out;
    putBE(out, static_cast<uint32_t>(width), 4);
    putBE(out, static_cast<uint32_t>(height), 4);
    for (int i = 0; i < 16; i++) putDouble(out, values[i]);
    return out;
}

// ---- File format ---------------------------------------------------------------------

TEST(CamParamFile, HandMadeBigEndianRecordLoads)
{
    const double values[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, -12.5, 320, 240, 1e-3, 1};
    std::vector<unsigned char> bytes = handRecord(640, 480, values);
    ASSERT_EQ(bytes.size(), static_cast<size_t>(kCamParamRecordSize));
    EXPECT_EQ(bytes[2], 0x02);  // 640 = 0x280, most significant byte first
    EXPECT_EQ(bytes[3], 0x80);
    EXPECT_EQ(bytes[8], 0x3F);  // 1.0 = 0x3FF0000000000000
    EXPECT_EQ(bytes[9], 0xF0);
    TempFile file("hand");
    file.write(bytes);

    CameraParam p = filledWith(99);
    ASSERT_EQ(camParamLoad(file.path.c_str(), 1, &p), 0);
    EXPECT_EQ(p.width, 640);
    EXPECT_EQ(p.height, 480);
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(p.projection[i / 4][i % 4], values[i]) << "projection " << i;
    for (int i = 0; i < 4; i++) EXPECT_EQ(p.distortion[i], values[12 + i]) << "distortion " << i;
}

TEST(CamParamFile, SaveWritesTheSameBytesAsHandEncoding)
{
    const CameraParam p = sampleParam();
    double values[16];
    for (int i = 0; i < 12; i++) values[i] = p.projection[i / 4][i % 4];
    for (int i = 0; i < 4; i++) values[12 + i] = p.distortion[i];
    TempFile file("save");
    ASSERT_EQ(camParamSave(file.path.c_str(), 1, &p), 0);
    EXPECT_EQ(file.read(), handRecord(640, 480, values));
}

TEST(CamParamFile, RoundTripOfSeveralRecords)
{
    const CameraParam saved[3] = {sampleParam(0), sampleParam(1.0 / 3.0), sampleParam(-1e-300)};
    TempFile file("multi");
    ASSERT_EQ(camParamSave(file.path.c_str(), 3, saved), 0);
    EXPECT_EQ(file.read().size(), 3u * kCamParamRecordSize);

    CameraParam a = filledWith(1), b = filledWith(1), c = filledWith(1);
    ASSERT_EQ(camParamLoad(file.path.c_str(), 3, &a, &b, &c), 0);
    expectSameParam(a, saved[0], "record 0");
    expectSameParam(b, saved[1], "record 1");
    expectSameParam(c, saved[2], "record 2");

    // Reading fewer records than the file holds is fine.
    CameraParam first = filledWith(1);
    ASSERT_EQ(camParamLoad(file.path.c_str(), 1, &first), 0);
    expectSameParam(first, saved[0], "first only");
}

TEST(CamParamFile, CountMissingAndShortFiles)
{
    const CameraParam p = sampleParam();
    TempFile file("short");
    ASSERT_EQ(camParamSave(file.path.c_str(), 1, &p), 0);

    CameraParam a = filledWith(5), b = filledWith(5);
    EXPECT_EQ(camParamLoad(file.path.c_str(), 0, &a), -1);
    EXPECT_EQ(camParamLoad(file.path.c_str(), -1, &a), -1);
    expectSameParam(a, filledWith(5), "count below 1");

    // One record in the file, two asked for: the first is filled, the second untouched.
    EXPECT_EQ(camParamLoad(file.path.c_str(), 2, &a, &b), -1);
    expectSameParam(a, p, "first of two");
    expectSameParam(b, filledWith(5), "second of two");

    // 135 bytes: one short of a record.
    std::vector<unsigned char> bytes = file.read();
    bytes.pop_back();
    file.write(bytes);
    CameraParam c = filledWith(5);
    EXPECT_EQ(camParamLoad(file.path.c_str(), 1, &c), -1);
    expectSameParam(c, filledWith(5), "135 bytes");

    file.write({});
    EXPECT_EQ(camParamLoad(file.path.c_str(), 1, &c), -1);
    EXPECT_EQ(camParamLoad((file.path + ".missing").c_str(), 1, &c), -1);
    expectSameParam(c, filledWith(5), "empty or missing");
}

TEST(CamParamFile, RejectsBadSizesAndNonFiniteNumbers)
{
    const double good[16] = {700, 0, 320, 0, 0, 700, 240, 0, 0, 0, 1, 0, 320, 240, 10, 1};
    struct Case {
        int32_t width, height;
        int badIndex;  // -1: none
        double badValue;
        int want;
    } cases[] = {
        {1, 1, -1, 0, 0},  // smallest valid size
        {0, 480, -1, 0, -1},
        {640, 0, -1, 0, -1},
        {-640, 480, -1, 0, -1},
        {640, -1, -1, 0, -1},
        {640, 480, 0, std::numeric_limits<double>::quiet_NaN(), -1},
        {640, 480, 11, std::numeric_limits<double>::infinity(), -1},
        {640, 480, 14, -std::numeric_limits<double>::infinity(), -1},
        {640, 480, 15, std::numeric_limits<double>::quiet_NaN(), -1},
        {640, 480, 14, std::numeric_limits<double>::max(), 0},  // huge but finite
    };
    TempFile file("bad");
    for (const Case& k : cases) {
        double values[16];
        std::memcpy(values, good, sizeof values);
        if (k.badIndex >= 0) values[k.badIndex] = k.badValue;
        file.write(handRecord(k.width, k.height, values));
        CameraParam p = filledWith(3);
        const int got = camParamLoad(file.path.c_str(), 1, &p);
        EXPECT_EQ(got, k.want) << "size " << k.width << "x" << k.height << " field " << k.badIndex
                               << " = " << k.badValue;
        if (got != 0) expectSameParam(p, filledWith(3), "rejected record");

        // Saving such a record is refused and creates no file.
        std::remove(file.path.c_str());
        CameraParam q{};
        q.width = k.width;
        q.height = k.height;
        for (int i = 0; i < 12; i++) q.projection[i / 4][i % 4] = values[i];
        for (int i = 0; i < 4; i++) q.distortion[i] = values[12 + i];
        EXPECT_EQ(camParamSave(file.path.c_str(), 1, &q), k.want)
            << "save, size " << k.width << "x" << k.height;
        if (k.want != 0) {
            EXPECT_EQ(std::fopen(file.path.c_str(), "rb"), nullptr);
        }
    }
}

TEST(CamParamFile, SaveFailures)
{
    const CameraParam p = sampleParam();
    EXPECT_EQ(camParamSave("/nonexistent-dir/camera.cam", 1, &p), -1);
    TempFile file("zero");
    EXPECT_EQ(camParamSave(file.path.c_str(), 0, &p), -1);
    EXPECT_EQ(std::fopen(file.path.c_str(), "rb"), nullptr);
}

// ---- Rescaling and installation --------------------------------------------------------

TEST(CamParamChangeSize, DoublingWidth)
{
    CameraParam src = sampleParam();
    src.width = 320;
    src.height = 240;
    const CameraParam before = src;
    CameraParam dst = filledWith(0);
    EXPECT_EQ(camParamChangeSize(&src, 640, 480, &dst), 0);
    expectSameParam(src, before, "source unchanged");
    EXPECT_EQ(dst.width, 640);
    EXPECT_EQ(dst.height, 480);
    for (int j = 0; j < 4; j++) {
        EXPECT_EQ(dst.projection[0][j], 2 * src.projection[0][j]) << j;
        EXPECT_EQ(dst.projection[1][j], 2 * src.projection[1][j]) << j;
        EXPECT_EQ(dst.projection[2][j], src.projection[2][j]) << j;
    }
    EXPECT_EQ(dst.distortion[0], 2 * src.distortion[0]);
    EXPECT_EQ(dst.distortion[1], 2 * src.distortion[1]);
    EXPECT_EQ(dst.distortion[2], src.distortion[2] / 4);
    EXPECT_EQ(dst.distortion[3], src.distortion[3]);

    // The distortion of a scaled point is the scaled distortion of the point.
    double ox1, oy1, ox2, oy2;
    camIdealToObserv(src.distortion, 300, 200, &ox1, &oy1);
    camIdealToObserv(dst.distortion, 600, 400, &ox2, &oy2);
    EXPECT_NEAR(ox2, 2 * ox1, 1e-9);
    EXPECT_NEAR(oy2, 2 * oy1, 1e-9);

    // In place.
    EXPECT_EQ(camParamChangeSize(&src, 640, 480, &src), 0);
    expectSameParam(src, dst, "in place");
}

TEST(CamParamChangeSize, SameWidthAndOtherAspect)
{
    const CameraParam src = sampleParam();
    CameraParam dst;
    camParamChangeSize(&src, 640, 480, &dst);
    expectSameParam(dst, src, "same size");
    // Only the width ratio scales: a 640x240 request keeps the vertical scaling.
    camParamChangeSize(&src, 640, 240, &dst);
    CameraParam want = src;
    want.height = 240;
    expectSameParam(dst, want, "640x240");
}

TEST(CamParamInit, InstallsCurrentParameters)
{
    CameraParam p = sampleParam();
    p.width = 800;
    p.height = 600;
    EXPECT_EQ(camParamInit(&p), 0);
    expectSameParam(camCurrentParam, p, "current");
    EXPECT_EQ(camImageWidth, 800);
    EXPECT_EQ(camImageHeight, 600);
}

// ---- Lens distortion ------------------------------------------------------------------

TEST(CamDistortion, HandComputedValues)
{
    const double d1[4] = {320, 240, 100, 1};
    double x, y;
    // r = 100, k = 1e-6: observed radius 100 * (1 - 0.01) = 99.
    camIdealToObserv(d1, 420, 240, &x, &y);
    EXPECT_NEAR(x, 419.0, 1e-12);
    EXPECT_EQ(y, 240.0);
    camObservToIdeal(d1, 419, 240, &x, &y);
    EXPECT_NEAR(x, 420.0, 1e-9);
    EXPECT_EQ(y, 240.0);

    // (600 - 318.5) * 0.98 = 275.87, (400 - 242) * 0.98 = 154.84,
    // d = 1 - (275.87^2 + 154.84^2) * 50e-8 = 0.949960158750.
    const double d2[4] = {318.5, 242, 50, 0.98};
    camIdealToObserv(d2, 600, 400, &x, &y);
    EXPECT_NEAR(x, 318.5 + 0.94996015875 * 275.87, 1e-9);
    EXPECT_NEAR(y, 242 + 0.94996015875 * 154.84, 1e-9);
    EXPECT_NEAR(x, 580.5655, 1e-4);
    EXPECT_NEAR(y, 389.0918, 1e-4);
    double bx, by;
    camObservToIdeal(d2, x, y, &bx, &by);
    EXPECT_NEAR(bx, 600.0, 1e-9);
    EXPECT_NEAR(by, 400.0, 1e-9);
}

TEST(CamDistortion, CentreAndNoDistortion)
{
    const double d[4] = {318.5, 242, 50, 0.98};
    double x, y;
    camIdealToObserv(d, 318.5, 242, &x, &y);
    EXPECT_EQ(x, 318.5);
    EXPECT_EQ(y, 242.0);
    camObservToIdeal(d, 318.5, 242, &x, &y);
    EXPECT_EQ(x, 318.5);
    EXPECT_EQ(y, 242.0);

    // f = 0: only the scale s acts, in opposite directions.
    const double flat[4] = {300, 200, 0, 0.5};
    camIdealToObserv(flat, 340, 180, &x, &y);
    EXPECT_EQ(x, 300 + 0.5 * 40);
    EXPECT_EQ(y, 200 + 0.5 * -20);
    camObservToIdeal(flat, 340, 180, &x, &y);
    EXPECT_EQ(x, 300 + 40 / 0.5);
    EXPECT_EQ(y, 200 + -20 / 0.5);
    const double identity[4] = {300, 200, 0, 1};
    camIdealToObserv(identity, 12.25, 470.5, &x, &y);
    EXPECT_EQ(x, 12.25);
    EXPECT_EQ(y, 470.5);
    camObservToIdeal(identity, 12.25, 470.5, &x, &y);
    EXPECT_EQ(x, 12.25);
    EXPECT_EQ(y, 470.5);
}

TEST(CamDistortion, RoundTripOverTheImage)
{
    // A typical webcam: three Newton steps bring every pixel back to well under 1e-9.
    const double d[4] = {322, 236, 6, 1.0};
    double worst = 0.0;
    for (int py = -10; py <= 490; py += 10) {
        for (int px = -10; px <= 650; px += 10) {
            double ox, oy, ix, iy;
            camIdealToObserv(d, px, py, &ox, &oy);
            camObservToIdeal(d, ox, oy, &ix, &iy);
            worst = std::fmax(worst, std::hypot(ix - px, iy - py));
        }
    }
    EXPECT_LT(worst, 1e-9);
}

// The many-point form gives exactly the single-point values, pairs and odd ends alike,
// including points at the distortion centre (radius 0) and next to it.
TEST(CamDistortion, ManyPointsEqualOnePointAtATime)
{
    const double cameras[3][4] = {
        {318.5, 242.0, 50.0, 0.98}, {320.0, 240.0, -30.0, 1.02}, {10.0, 10.0, 1000.0, 1.0}};
    std::vector<int32_t> x, y;
    for (int i = 0; i < 101; i++) {
        x.push_back((i * 37) % 641);
        y.push_back((i * 53) % 481);
    }
    x[4] = 320;  // the second camera's centre, in a pair with a point off it
    y[4] = 240;
    x[5] = 321;
    y[5] = 240;
    x[100] = 10;  // the third camera's centre, the odd one at the end
    y[100] = 10;
    for (const auto& d : cameras) {
        for (int32_t n : {0, 1, 2, 7, 101}) {
            std::vector<double> many(2 * n + 2, -1.0);
            ASSERT_EQ(camObservToIdealPoints(d, n, x.data(), y.data(), many.data()), 0);
            for (int32_t i = 0; i < n; i++) {
                double ix = 0.0, iy = 0.0;
                camObservToIdeal(d, x[i], y[i], &ix, &iy);
                ASSERT_EQ(std::memcmp(&many[2 * i], &ix, sizeof ix), 0) << "point " << i;
                ASSERT_EQ(std::memcmp(&many[2 * i + 1], &iy, sizeof iy), 0) << "point " << i;
            }
            EXPECT_EQ(many[2 * n], -1.0) << "nothing written past the points";
        }
    }
}

TEST(CamDistortion, ExactlyThreeNewtonSteps)
{
    // Strong distortion near the fold of the model (k = 1e-5 folds at an observed
    // radius of 121.7): three steps have not converged. The expected value is three
    // Newton steps on the scalar radius equation, run here independently.
    const double d[4] = {0, 0, 1000, 1};
    const double k = 1e-5;
    const double z0 = 115.0;
    double z = z0;
    for (int i = 0; i < 3; i++) z -= (z * (1 - k * z * z) - z0) / (1 - 3 * k * z * z);
    const double four = z - (z * (1 - k * z * z) - z0) / (1 - 3 * k * z * z);
    ASSERT_GT(std::fabs(four - z), 1e-3) << "case too mild to tell three steps from more";

    double x, y;
    camObservToIdeal(d, z0 * 0.6, z0 * 0.8, &x, &y);
    EXPECT_NEAR(x, 0.6 * z, 1e-9) << "three-step radius " << z;
    EXPECT_NEAR(y, 0.8 * z, 1e-9) << "three-step radius " << z;
}

// ---- Decomposition ----------------------------------------------------------------------

struct Pose {
    double k[3][3];
    double rt[3][4];
    double p[3][4];
};

// P = K [R | t] with R from a random unit quaternion and t_z > 0.
Pose randomPose(std::mt19937& rng)
{
    std::normal_distribution<double> g(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    double qw = g(rng), qx = g(rng), qy = g(rng), qz = g(rng);
    const double n = std::sqrt(qw * qw + qx * qx + qy * qy + qz * qz);
    qw /= n, qx /= n, qy /= n, qz /= n;
    const double r[3][3] = {
        {1 - 2 * (qy * qy + qz * qz), 2 * (qx * qy - qz * qw), 2 * (qx * qz + qy * qw)},
        {2 * (qx * qy + qz * qw), 1 - 2 * (qx * qx + qz * qz), 2 * (qy * qz - qx * qw)},
        {2 * (qx * qz - qy * qw), 2 * (qy * qz + qx * qw), 1 - 2 * (qx * qx + qy * qy)},
    };
    const double t[3] = {g(rng) * 50, g(rng) * 50, 100 + u(rng) * 500};
    Pose pose{{{400 + u(rng) * 600, g(rng), 200 + u(rng) * 200},
               {0, 400 + u(rng) * 600, 150 + u(rng) * 200},
               {0, 0, 1}},
              {},
              {}};
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) pose.rt[i][j] = r[i][j];
        pose.rt[i][3] = t[i];
    }
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 4; j++) {
            pose.p[i][j] = 0;
            for (int m = 0; m < 3; m++) pose.p[i][j] += pose.k[i][m] * pose.rt[m][j];
        }
    }
    return pose;
}

void expectDecomposes(const double p[3][4], const double k[3][3], const double rt[3][4],
                      const std::string& what)
{
    double a[3][4], t[3][4];
    EXPECT_EQ(camDecomposeProjection(p, a, t), 0);
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) {
            EXPECT_NEAR(a[i][j], k[i][j], 1e-9 * (1 + std::fabs(k[i][j])))
                << what << " A[" << i << "][" << j << "]";
        }
        EXPECT_EQ(a[i][3], 0.0) << what << " A[" << i << "][3]";
        for (int j = 0; j < 4; j++) {
            EXPECT_NEAR(t[i][j], rt[i][j], 1e-9 * (1 + std::fabs(rt[i][j])))
                << what << " T[" << i << "][" << j << "]";
        }
    }
    EXPECT_EQ(a[2][2], 1.0) << what;
}

TEST(CamDecomposeProjection, RecoversIntrinsicsAndPose)
{
    std::mt19937 rng(4242);
    for (int trial = 0; trial < 50; trial++) {
        const Pose pose = randomPose(rng);
        for (double scale : {1.0, 2.5, -1.0, -0.01}) {
            double p[3][4];
            for (int i = 0; i < 3; i++) {
                for (int j = 0; j < 4; j++) p[i][j] = pose.p[i][j] * scale;
            }
            expectDecomposes(p, pose.k, pose.rt,
                             "trial " + std::to_string(trial) + " scale " + std::to_string(scale));
        }
    }
}

TEST(CamDecomposeProjection, ZeroDepthIsNotNegated)
{
    // t = 0, so P[2][3] = 0 (also -P has 0 there, as -0): no negation either way, and
    // -P comes out as K [-R | 0].
    std::mt19937 rng(7);
    Pose pose = randomPose(rng);
    double p[3][4], neg[3][4], negRt[3][4];
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) {
            p[i][j] = pose.p[i][j];  // K R does not depend on t
            negRt[i][j] = -pose.rt[i][j];
        }
        pose.rt[i][3] = 0;
        negRt[i][3] = 0;
        p[i][3] = 0;
    }
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 4; j++) neg[i][j] = -p[i][j];
    }
    expectDecomposes(p, pose.k, pose.rt, "t = 0");
    expectDecomposes(neg, pose.k, negRt, "-P, t = 0");
}

TEST(CamDecomposeProjection, FlippedYAxis)
{
    // Replacing row 1 by (height - 1) * row 2 - row 1 mirrors y: the display does this.
    std::mt19937 rng(11);
    Pose pose = randomPose(rng);
    const double k[3][3] = {{800, 0.5, 320}, {0, 790, 240}, {0, 0, 1}};
    double p[3][4];
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 4; j++) {
            p[i][j] = 0;
            for (int m = 0; m < 3; m++) p[i][j] += k[i][m] * pose.rt[m][j];
        }
    }
    for (int j = 0; j < 4; j++) p[1][j] = 479 * p[2][j] - p[1][j];
    const double wantK[3][3] = {{800, -0.5, 320}, {0, 790, 239}, {0, 0, 1}};
    double wantRt[3][4];
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 4; j++) wantRt[i][j] = (i == 1 ? -1 : 1) * pose.rt[i][j];
    }
    expectDecomposes(p, wantK, wantRt, "y flipped");
}

}  // namespace
