// Camera calibration against rendered chessboards: views rendered through known cameras
// with lens distortion, corners found with the calibration library, the camera fitted
// and compared with the truth; then tarlim-calibrate run as a command on rendered
// pictures and video.
#include "tools/calibrate.h"

#include "camera/camera.h"
#include "synth/synth.h"
#include "util/util.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

struct ViewSetup {
    double spin, tilt, axis, x, y, z;
};

// Fifteen views as a person would hold a board: near and far, turned, tilted up to 45
// degrees about different axes, reaching into every part of the frame.
const ViewSetup kViews[] = {
    {0, 0, 0, 0, 0, 520},        {5, 30, 0, -40, 20, 520},      {-5, 30, 90, 40, -20, 520},
    {10, 40, 45, 60, 40, 560},   {-10, 40, 135, -60, -40, 560}, {0, 25, 180, -90, -70, 600},
    {0, 25, 270, 90, 70, 600},   {20, 35, 30, -80, 60, 620},    {-20, 35, 210, 80, -60, 620},
    {3, 15, 60, 0, 90, 700},     {-3, 15, 300, 0, -90, 700},    {8, 45, 100, 100, 0, 650},
    {-8, 45, 280, -100, 0, 650}, {0, 20, 10, 20, 10, 420},      {0, 20, 190, -20, -10, 440},
};

CameraParam makeCamera(double fx, double fy, double cx, double cy, double x0, double y0, double f)
{
    CameraParam cam{};
    cam.width = 640;
    cam.height = 480;
    cam.projection[0][0] = fx;
    cam.projection[0][2] = cx;
    cam.projection[1][1] = fy;
    cam.projection[1][2] = cy;
    cam.projection[2][2] = 1.0;
    cam.distortion[0] = x0;
    cam.distortion[1] = y0;
    cam.distortion[2] = f;
    cam.distortion[3] = 1.0;
    return cam;
}

struct Rendered {
    std::vector<SynthImage> frames;
    std::vector<std::vector<double>> truth;  // observed corners, board order
};

Rendered renderViews(const CameraParam& cam, const CalibBoard& board, double blur = 0.0,
                     double noise = 0.0)
{
    Rendered out;
    SynthScene scene;
    synthSceneInit(&cam, &scene);
    scene.blurSigma = blur;
    scene.noiseSigma = noise;
    SynthBoard sb;
    sb.cols = board.cols;
    sb.rows = board.rows;
    sb.square = board.square;
    for (const ViewSetup& v : kViews) {
        synthPoseMake(v.spin, v.tilt, v.axis, v.x, v.y, v.z, sb.pose);
        SynthImage frame;
        std::vector<double> corners(board.cols * board.rows * 2);
        EXPECT_EQ(synthRenderBoard(&scene, &sb, &frame, corners.data()), 0);
        scene.noiseSeed++;
        out.frames.push_back(frame);
        out.truth.push_back(corners);
    }
    return out;
}

std::vector<std::vector<double>> findAll(const Rendered& r, const CalibBoard& board)
{
    std::vector<std::vector<double>> views;
    for (const SynthImage& f : r.frames) {
        std::vector<double> c(board.cols * board.rows * 2);
        if (calibFindCorners(f.pixels.data(), f.width, f.height, board.cols, board.rows, 0,
                             c.data()) == 0)
            views.push_back(c);
    }
    return views;
}

void expectClose(double truth, double got, double fraction, const char* what)
{
    EXPECT_LE(std::fabs(got - truth), fraction * std::fabs(truth))
        << what << ": truth " << truth << ", recovered " << got;
}

// Worst and RMS distance of found corners from the renderer's truth, in whichever of
// the two orders fits (the board looks the same turned by half a turn, so the finder
// may start at either end).
void cornerErrors(const std::vector<double>& found, const std::vector<double>& truth, double* worst,
                  double* sumSquares)
{
    const std::size_t n = found.size() / 2;
    double best[2] = {0.0, 0.0}, sums[2] = {0.0, 0.0};
    for (int order = 0; order < 2; order++)
        for (std::size_t k = 0; k < n; k++) {
            const std::size_t t = order == 0 ? k : n - 1 - k;
            const double d =
                std::hypot(found[2 * k] - truth[2 * t], found[2 * k + 1] - truth[2 * t + 1]);
            best[order] = std::max(best[order], d);
            sums[order] += d * d;
        }
    const int o = best[0] < best[1] ? 0 : 1;
    *worst = std::max(*worst, best[o]);
    *sumSquares += sums[o];
}

int fit(const std::vector<std::vector<double>>& views, const CalibOptions& options,
        CalibResult* result, std::string* reason)
{
    char text[256] = "";
    const int rc = calibFit(CalibBoard{}, 640, 480, views, options, result, text, sizeof text);
    *reason = text;
    return rc;
}

// A board facing the camera squarely, 50 px squares, no distortion: the truth's first
// corner is the top-left inner corner, the top-left square is black, its neighbours
// white, then the paper margin and the scene's background.
TEST(CalibRender, BoardLayoutAsDocumented)
{
    const CameraParam cam = makeCamera(500, 500, 319.5, 239.5, 319.5, 239.5, 0);
    SynthScene scene;
    synthSceneInit(&cam, &scene);
    SynthBoard sb;  // 9x6, 25 mm squares, margin one square
    synthPoseMake(0, 0, 0, 0, 0, 250, sb.pose);
    SynthImage frame;
    std::vector<double> corners(9 * 6 * 2);
    ASSERT_EQ(synthRenderBoard(&scene, &sb, &frame, corners.data()), 0);
    // Corner (0, 0) at (-4 * 25, +2.5 * 25) mm on the board: 200 px left, 125 px up.
    EXPECT_NEAR(corners[0], 319.5 - 200, 1e-9);
    EXPECT_NEAR(corners[1], 239.5 - 125, 1e-9);
    EXPECT_NEAR(corners[2], 319.5 - 150, 1e-9) << "corner (1, 0) is to the right";
    EXPECT_NEAR(corners[9 * 2 + 1], 239.5 - 75, 1e-9) << "corner (0, 1) is below";
    const auto grey = [&](int x, int y) { return frame.pixels[(y * 640 + x) * 4 + 1]; };
    EXPECT_EQ(grey(95, 90), 24) << "top-left square: ink";
    EXPECT_EQ(grey(145, 90), 236) << "its right neighbour: paper";
    EXPECT_EQ(grey(95, 140), 236) << "the one below: paper";
    EXPECT_EQ(grey(145, 140), 24);
    EXPECT_EQ(grey(45, 40), 236) << "margin";
    EXPECT_EQ(grey(10, 10), 160) << "background";
    sb.pose[2][3] = -250;
    EXPECT_EQ(synthRenderBoard(&scene, &sb, &frame, corners.data()), -1) << "behind the camera";
}

TEST(CalibCorners, FoundWithinATenthOfAPixelOfTheTruth)
{
    const CalibBoard board;
    const CameraParam cam = makeCamera(660, 655, 322.5, 236, 322.5, 236, 12);
    for (double blur : {0.0, 1.0}) {
        const Rendered r = renderViews(cam, board, blur, blur > 0.0 ? 2.0 : 0.0);
        double worst = 0.0, sumSquares = 0.0;
        int found = 0;
        for (std::size_t v = 0; v < r.frames.size(); v++) {
            std::vector<double> c(board.cols * board.rows * 2);
            if (calibFindCorners(r.frames[v].pixels.data(), 640, 480, 9, 6, 0, c.data()) != 0)
                continue;
            found++;
            cornerErrors(c, r.truth[v], &worst, &sumSquares);
        }
        EXPECT_EQ(found, static_cast<int>(r.frames.size())) << "blur " << blur;
        EXPECT_LT(std::sqrt(sumSquares / (found * 54)), 0.1) << "blur " << blur;
        EXPECT_LT(worst, 0.3) << "blur " << blur;
    }
}

TEST(CalibCorners, BoardPartlyOutOfFrameOrAbsentIsNotFound)
{
    const CameraParam cam = makeCamera(660, 655, 322.5, 236, 322.5, 236, 12);
    SynthScene scene;
    synthSceneInit(&cam, &scene);
    SynthBoard sb;
    std::vector<double> c(9 * 6 * 2, -1.0);
    SynthImage frame;
    // Half the board beyond the right edge.
    synthPoseMake(0, 10, 0, 260, 0, 520, sb.pose);
    ASSERT_EQ(synthRenderBoard(&scene, &sb, &frame, nullptr), 0);
    EXPECT_EQ(calibFindCorners(frame.pixels.data(), 640, 480, 9, 6, 0, c.data()), -1);
    EXPECT_EQ(c[0], -1.0) << "corners written on failure";
    // A board of another size is not taken for this one.
    synthPoseMake(0, 10, 0, 0, 0, 520, sb.pose);
    ASSERT_EQ(synthRenderBoard(&scene, &sb, &frame, nullptr), 0);
    EXPECT_EQ(calibFindCorners(frame.pixels.data(), 640, 480, 9, 6, 1, c.data()), 0);
    EXPECT_EQ(calibFindCorners(frame.pixels.data(), 640, 480, 8, 6, 1, c.data()), -1);
    // Nothing but background.
    synthImageMake(640, 480, 160, 160, 160, &frame);
    EXPECT_EQ(calibFindCorners(frame.pixels.data(), 640, 480, 9, 6, 1, c.data()), -1);
}

struct Truth {
    const char* name;
    CameraParam camera;
};

void expectRecovered(const CameraParam& truth, const CalibResult& result, double centrePx)
{
    const CameraParam& c = result.camera;
    expectClose(truth.projection[0][0], c.projection[0][0], 0.005, "fx");
    expectClose(truth.projection[1][1], c.projection[1][1], 0.005, "fy");
    expectClose(truth.projection[0][2], c.projection[0][2], 0.005, "cx");
    expectClose(truth.projection[1][2], c.projection[1][2], 0.005, "cy");
    // The radial factor is known as well as the displacement k r^3 it gives the frame's
    // corners (r = 400 pixels from the centre): to a fraction of a pixel.
    EXPECT_LT(std::fabs(c.distortion[2] - truth.distortion[2]) * 1e-8 * std::pow(400.0, 3), 0.3)
        << "f: truth " << truth.distortion[2] << ", recovered " << c.distortion[2];
    EXPECT_NEAR(c.distortion[0], truth.distortion[0], centrePx) << "x0";
    EXPECT_NEAR(c.distortion[1], truth.distortion[1], centrePx) << "y0";
    EXPECT_EQ(c.distortion[3], 1.0);
    EXPECT_EQ(c.projection[0][1], 0.0) << "skew";
    EXPECT_LT(result.rms, 0.1);
}

// Clean renderings through cameras with barrel and pincushion distortion: the fit gives
// the camera back, with the distortion centre on the principal point.
TEST(CalibFit, RecoversTheCameraFromCleanRenderings)
{
    const Truth truths[] = {
        {"barrel", makeCamera(660, 655, 322.5, 236, 322.5, 236, 12)},
        {"strong barrel", makeCamera(600, 603, 326, 231, 326, 231, 20)},
        {"pincushion", makeCamera(820, 826, 310, 245, 310, 245, -6)},
    };
    const CalibBoard board;
    for (const Truth& t : truths) {
        SCOPED_TRACE(t.name);
        const Rendered r = renderViews(t.camera, board);
        const auto views = findAll(r, board);
        ASSERT_EQ(views.size(), r.frames.size());
        CalibResult result;
        std::string reason;
        ASSERT_EQ(fit(views, CalibOptions{}, &result, &reason), 0) << reason;
        expectRecovered(t.camera, result, 1.5);
        EXPECT_EQ(result.camera.distortion[0], result.camera.projection[0][2]);
        EXPECT_EQ(result.camera.distortion[1], result.camera.projection[1][2]);
        EXPECT_EQ(result.keptViews, static_cast<int>(views.size()));
        ASSERT_EQ(result.viewRms.size(), views.size());
        for (double v : result.viewRms) EXPECT_LT(v, 0.15);
        // The start is OpenCV's fit of a near-identical model (its radius is normalised
        // per axis, ours in pixels): the refinement ends as good.
        EXPECT_LE(result.rms, result.start.rms * 1.01);
    }
}

// A distortion centre 28 pixels from the principal point under strong distortion: tied
// to the principal point it drags that off, fitted apart it is found.
TEST(CalibFit, FreeCentreFindsAnOffsetDistortionCentre)
{
    const CameraParam truth = makeCamera(500, 500, 326, 231, 306, 251, 40);
    const CalibBoard board;
    const auto views = findAll(renderViews(truth, board), board);
    ASSERT_EQ(views.size(), std::size(kViews));
    CalibOptions options;
    options.freeCentre = 1;
    CalibResult free, tied;
    std::string reason;
    ASSERT_EQ(fit(views, options, &free, &reason), 0) << reason;
    expectRecovered(truth, free, 3.0);
    ASSERT_EQ(fit(views, CalibOptions{}, &tied, &reason), 0) << reason;
    EXPECT_GT(tied.rms, free.rms * 1.1);
}

// Blur and sensor noise as a real webcam adds them: still within half a percent.
TEST(CalibFit, RecoversTheCameraFromBlurredNoisyRenderings)
{
    const CameraParam truth = makeCamera(660, 655, 322.5, 236, 322.5, 236, 12);
    const CalibBoard board;
    const auto views = findAll(renderViews(truth, board, 1.0, 3.0), board);
    ASSERT_EQ(views.size(), std::size(kViews));
    CalibResult result;
    std::string reason;
    ASSERT_EQ(fit(views, CalibOptions{}, &result, &reason), 0) << reason;
    const CameraParam& c = result.camera;
    expectClose(truth.projection[0][0], c.projection[0][0], 0.005, "fx");
    expectClose(truth.projection[1][1], c.projection[1][1], 0.005, "fy");
    expectClose(truth.projection[0][2], c.projection[0][2], 0.005, "cx");
    expectClose(truth.projection[1][2], c.projection[1][2], 0.005, "cy");
    EXPECT_LT(std::fabs(c.distortion[2] - truth.distortion[2]) * 1e-8 * std::pow(400.0, 3), 0.5)
        << "f: truth " << truth.distortion[2] << ", recovered " << c.distortion[2];
    EXPECT_LT(result.rms, 0.2);
}

// Forty-five views: OpenCV's start takes twenty of them (its time grows with the cube
// of the views), the others start from their own pose through that camera, and the fit
// uses all.
TEST(CalibFit, ManyViewsStartFromTwentyAndFitAll)
{
    const CameraParam truth = makeCamera(660, 655, 322.5, 236, 322.5, 236, 12);
    const CalibBoard board;
    const auto once = findAll(renderViews(truth, board), board);
    ASSERT_EQ(once.size(), std::size(kViews));
    std::vector<std::vector<double>> views;
    for (int copy = 0; copy < 3; copy++)
        for (const auto& v : once) {
            views.push_back(v);
            // Each copy moved by a different hundredth of a pixel, a view of its own.
            for (std::size_t k = 0; k < v.size(); k++)
                views.back()[k] += 0.01 * copy * ((k * 7 + views.size()) % 3 - 1.0);
        }
    CalibResult result;
    std::string reason;
    ASSERT_EQ(fit(views, CalibOptions{}, &result, &reason), 0) << reason;
    EXPECT_EQ(result.start.views, 20);
    EXPECT_EQ(result.keptViews, 45);
    expectRecovered(truth, result, 1.5);
    for (double v : result.viewRms) EXPECT_LT(v, 0.15);
}

// One view whose corners are a pixel off, alternately left and right (a board that
// moved during the exposure): dropped, and the camera is as good as without it.
TEST(CalibFit, DropsAViewFarAboveTheRest)
{
    const CameraParam truth = makeCamera(660, 655, 322.5, 236, 322.5, 236, 12);
    const CalibBoard board;
    auto views = findAll(renderViews(truth, board), board);
    ASSERT_EQ(views.size(), std::size(kViews));
    for (std::size_t k = 0; k < views[4].size(); k += 2) views[4][k] += k % 4 == 0 ? 1.0 : -1.0;
    CalibResult result;
    std::string reason;
    ASSERT_EQ(fit(views, CalibOptions{}, &result, &reason), 0) << reason;
    for (std::size_t v = 0; v < views.size(); v++)
        EXPECT_EQ(result.dropped[v], v == 4 ? 1 : 0) << "view " << v;
    EXPECT_GT(result.viewRms[4], 0.5);
    EXPECT_EQ(result.keptViews, static_cast<int>(views.size()) - 1);
    expectRecovered(truth, result, 1.5);

    CalibOptions keep;
    keep.dropOutliers = 0;
    ASSERT_EQ(fit(views, keep, &result, &reason), 0) << reason;
    EXPECT_EQ(result.keptViews, static_cast<int>(views.size()));
    EXPECT_GT(result.rms, 0.1);
}

TEST(CalibFit, RefusesTooFewViewsAndMalformedInput)
{
    const CameraParam truth = makeCamera(660, 655, 322.5, 236, 322.5, 236, 12);
    const CalibBoard board;
    auto views = findAll(renderViews(truth, board), board);
    CalibResult result;
    std::string reason;
    const std::vector<std::vector<double>> two(views.begin(), views.begin() + 2);
    EXPECT_EQ(fit(two, CalibOptions{}, &result, &reason), -1);
    EXPECT_NE(reason.find("2 views with the board found; at least 3 are needed"), std::string::npos)
        << reason;
    EXPECT_EQ(fit({}, CalibOptions{}, &result, &reason), -1);

    auto shortView = views;
    shortView[1].pop_back();
    EXPECT_EQ(fit(shortView, CalibOptions{}, &result, &reason), -1);
    EXPECT_NE(reason.find("view 1 has 107 numbers, not 108"), std::string::npos) << reason;

    auto notFinite = views;
    notFinite[2][7] = std::nan("");
    EXPECT_EQ(fit(notFinite, CalibOptions{}, &result, &reason), -1);
    EXPECT_NE(reason.find("view 2"), std::string::npos) << reason;

    char text[64];
    CalibBoard tiny;
    tiny.cols = 1;
    EXPECT_EQ(calibFit(tiny, 640, 480, views, CalibOptions{}, &result, text, sizeof text), -1);
    EXPECT_EQ(calibFit(board, 0, 480, views, CalibOptions{}, &result, text, sizeof text), -1);

    // Three copies of one view: nothing fixes the focal length.
    const std::vector<std::vector<double>> same(3, views[0]);
    EXPECT_EQ(fit(same, CalibOptions{}, &result, &reason), -1)
        << "fx " << result.camera.projection[0][0];
}

// ---- tarlim-calibrate as a command ----------------------------------------------------

const std::string kTool = std::string(TARLIM_BINARY_DIR) + "/tools/tarlim-calibrate";

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A folder of its own per test process (CTest runs cases side by side), removed after.
class CalibTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = std::string(TARLIM_BINARY_DIR) + "/tests/calibrate_" + std::to_string(getpid()) +
               "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        support::fs::remove_all(dir_);
        support::fs::create_directories(dir_);
    }
    void TearDown() override { support::fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    support::CommandRun run(const std::string& args) const
    {
        return support::run("'" + kTool + "' " + args);
    }

    // Writes the rendered views as view-00.png ... and returns their names, quoted.
    std::string writeViews(const Rendered& r, std::size_t count, const char* prefix = "view")
    {
        std::string names;
        for (std::size_t v = 0; v < count && v < r.frames.size(); v++) {
            char name[64];
            std::snprintf(name, sizeof name, "%s-%02zu.png", prefix, v);
            EXPECT_EQ(synthPngWrite(path(name).c_str(), &r.frames[v], 0), 0);
            names += " '" + path(name) + "'";
        }
        return names;
    }

    std::string dir_;
};

TEST_F(CalibTool, CalibratesFromPicturesSkippingOneWithoutTheBoard)
{
    const CameraParam truth = makeCamera(660, 655, 322.5, 236, 322.5, 236, 12);
    const Rendered r = renderViews(truth, CalibBoard{});
    std::string names = writeViews(r, r.frames.size());
    SynthImage empty;
    synthImageMake(640, 480, 150, 150, 150, &empty);
    ASSERT_EQ(synthPngWrite(path("empty.png").c_str(), &empty, 0), 0);
    names += " '" + path("empty.png") + "'";

    const support::CommandRun t = run("--board 9x6 --square-mm 25" + names + " -o '" +
                                      path("cam.cam") + "' --check '" + path("check") + "'");
    ASSERT_EQ(t.status, 0) << t.out << t.err;
    EXPECT_TRUE(contains(t.out, "empty.png") && contains(t.out, "board not found: skipped"))
        << t.out;
    EXPECT_TRUE(contains(t.out, "15 of 15 views")) << t.out;
    EXPECT_TRUE(contains(t.out, "RMS reprojection error")) << t.out;
    CameraParam cam{};
    ASSERT_EQ(camParamLoad(path("cam.cam").c_str(), 1, &cam), 0);
    EXPECT_EQ(cam.width, 640);
    EXPECT_EQ(cam.height, 480);
    EXPECT_NEAR(cam.projection[0][0], 660, 3.3);
    EXPECT_NEAR(cam.projection[1][1], 655, 3.3);
    EXPECT_NEAR(cam.projection[0][2], 322.5, 1.6);
    EXPECT_NEAR(cam.projection[1][2], 236, 1.2);
    EXPECT_NEAR(cam.distortion[2], 12, 0.5);

    // One check picture per view, the frame with marks drawn on it.
    for (int v = 1; v <= 15; v++) {
        char name[32];
        std::snprintf(name, sizeof name, "check/view-%02d.png", v);
        SynthImage check;
        ASSERT_EQ(synthPngRead(path(name).c_str(), &check), 0) << name;
        EXPECT_EQ(check.width, 640);
        EXPECT_NE(check.pixels, r.frames[v - 1].pixels) << name << " has nothing drawn";
    }
    SynthImage none;
    EXPECT_NE(synthPngRead(path("check/view-16.png").c_str(), &none), 0);

    // The same views for frames twice the size.
    const support::CommandRun big =
        run("--board 9x6 --square-mm 25 --size 1280x960" + names + " -o '" + path("big.cam") + "'");
    ASSERT_EQ(big.status, 0) << big.out << big.err;
    CameraParam large{};
    ASSERT_EQ(camParamLoad(path("big.cam").c_str(), 1, &large), 0);
    EXPECT_EQ(large.width, 1280);
    EXPECT_EQ(large.height, 960);
    EXPECT_NEAR(large.projection[0][0], 2 * cam.projection[0][0], 1e-6);
    EXPECT_NEAR(large.distortion[2], cam.distortion[2] / 4, 1e-9);
}

TEST_F(CalibTool, FailuresSayWhyWithStatusOne)
{
    const Rendered r = renderViews(makeCamera(660, 655, 322.5, 236, 322.5, 236, 12), CalibBoard{});
    const std::string two = writeViews(r, 2);
    support::CommandRun t = run("--board 9x6 --square-mm 25" + two + " -o '" + path("c.cam") + "'");
    EXPECT_EQ(t.status, 1);
    EXPECT_TRUE(contains(t.err, "2 views with the board found; at least 3 are needed")) << t.err;
    EXPECT_FALSE(support::fs::exists(path("c.cam"))) << "a camera file written after a failure";

    std::ofstream(path("text.png")) << "not a picture";
    t = run("--board 9x6 --square-mm 25" + two + " '" + path("text.png") + "' -o '" +
            path("c.cam") + "'");
    EXPECT_EQ(t.status, 1);
    EXPECT_TRUE(contains(t.err, "text.png: not a PNG or JPEG file")) << t.err;

    SynthImage small;
    synthImageMake(320, 240, 150, 150, 150, &small);
    synthPngWrite(path("small.png").c_str(), &small, 0);
    t = run("--board 9x6 --square-mm 25" + two + " '" + path("small.png") + "' -o '" +
            path("c.cam") + "'");
    EXPECT_EQ(t.status, 1);
    EXPECT_TRUE(contains(t.err, "small.png is 320x240, the pictures before it 640x480")) << t.err;

    // A board of other proportions is found in none of them.
    const std::string five = writeViews(r, 5);
    t = run("--board 7x6 --square-mm 25" + five + " -o '" + path("c.cam") + "'");
    EXPECT_EQ(t.status, 1);
    EXPECT_TRUE(contains(t.err, "no board of 7x6 inner corners in any picture")) << t.err;

    t = run("--board 9x6 --square-mm 25 --size 640x640" + five + " -o '" + path("c.cam") + "'");
    EXPECT_EQ(t.status, 1);
    EXPECT_TRUE(contains(t.err, "another aspect ratio")) << t.err;
}

TEST_F(CalibTool, BadArgumentsAreUsageErrors)
{
    const char* const cases[] = {
        "",
        "--board 9x6 --square-mm 25 a.png",
        "--board 9x6 a.png -o c.cam",
        "--square-mm 25 a.png -o c.cam",
        "--board 9 --square-mm 25 a.png -o c.cam",
        "--board 1x6 --square-mm 25 a.png -o c.cam",
        "--board 9x6 --square-mm 0 a.png -o c.cam",
        "--board 9x6 --square-mm 25 -o c.cam",
        "--board 9x6 --square-mm 25 --video videotestsrc -o c.cam",
        "--board 9x6 --square-mm 25 --views 10 a.png -o c.cam",
        "--board 9x6 --square-mm 25 --video videotestsrc --views 2 -o c.cam",
        "--board 9x6 --square-mm 25 --video videotestsrc --views 10 a.png -o c.cam",
        "--board 9x6 --square-mm 25 --size 0x480 a.png -o c.cam",
        "--board 9x6 --square-mm 25 --frobnicate a.png -o c.cam",
        "--print-board --dpi 20 -o b.png",
        "--print-board a.png -o b.png",
        "--board 9x6 --square-mm 25 --dpi 300 a.png -o c.cam",
    };
    for (const char* args : cases) {
        const support::CommandRun t = run(args);
        EXPECT_EQ(t.status, 2) << args;
        EXPECT_TRUE(contains(t.err, "usage: tarlim-calibrate")) << args << "\n" << t.err;
    }
    const support::CommandRun help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "--print-board"));
}

// The printed board at 50 dpi: squares of 25 mm are 49 pixels, the resolution is in the
// file, and the board is found in it.
TEST_F(CalibTool, PrintsABoardThatIsFoundWithItsResolution)
{
    const support::CommandRun t =
        run("--print-board --board 7x5 --square-mm 25 --dpi 50 -o '" + path("board.png") + "'");
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_TRUE(contains(t.out, "7x5 inner corners, 8x6 squares of 24.89 mm")) << t.out;
    UtilImage board;
    char reason[128];
    ASSERT_EQ(
        utilImageRead(path("board.png").c_str(), kUtilBgra, 1 << 24, &board, reason, sizeof reason),
        0)
        << reason;
    // 8 x 49 pixels of squares and 5 mm (10 pixels) of paper each side.
    EXPECT_EQ(board.width, 8 * 49 + 2 * 10);
    EXPECT_EQ(board.height, 6 * 49 + 2 * 10);
    std::vector<double> corners(7 * 5 * 2);
    ASSERT_EQ(
        calibFindCorners(board.pixels.data(), board.width, board.height, 7, 5, 0, corners.data()),
        0);
    // 50 dpi = 1968.5 pixels per metre, stored rounded in the pHYs chunk.
    const std::string bytes = support::slurp(path("board.png"));
    const std::size_t at = bytes.find("pHYs");
    ASSERT_NE(at, std::string::npos);
    const auto u = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + 4 + i]); };
    EXPECT_EQ((u(0) << 24) | (u(1) << 16) | (u(2) << 8) | u(3), 1969);
    EXPECT_EQ(u(8), 1) << "unit: metre";
}

// Video: a view when the board is found and has moved. Each pose is held for three
// frames, so three frames in a row show it; only the first of them is taken.
TEST_F(CalibTool, TakesAViewFromVideoOnlyWhenTheBoardHasMoved)
{
    const CameraParam truth = makeCamera(660, 655, 322.5, 236, 322.5, 236, 12);
    const Rendered r = renderViews(truth, CalibBoard{});
    int n = 0;
    for (std::size_t v = 0; v < 12; v++)
        for (int repeat = 0; repeat < 3; repeat++) {
            char name[32];
            std::snprintf(name, sizeof name, "%04d.png", n++);
            ASSERT_EQ(synthPngWrite(path(name).c_str(), &r.frames[v], 0), 0);
        }
    const std::string src = "multifilesrc location=" + path("%04d.png") +
                            " caps=image/png,framerate=30/1 ! pngdec ! videoconvert ! appsink "
                            "sync=false";
    const support::CommandRun t =
        run("--board 9x6 --square-mm 25 --video \"" + src + "\" --views 10 -o '" + path("v.cam") +
            "' --check '" + path("check") + "'");
    ASSERT_EQ(t.status, 0) << t.out << t.err;
    // Views at frames 1, 4, 7, ...: the first frame of each pose.
    EXPECT_TRUE(contains(t.out, "view 1 of 10: frame 1\n")) << t.out;
    EXPECT_TRUE(contains(t.out, "view 2 of 10: frame 4\n")) << t.out;
    EXPECT_TRUE(contains(t.out, "view 10 of 10: frame 28\n")) << t.out;
    CameraParam cam{};
    ASSERT_EQ(camParamLoad(path("v.cam").c_str(), 1, &cam), 0);
    EXPECT_NEAR(cam.projection[0][0], 660, 6.6);
    EXPECT_NEAR(cam.projection[1][1], 655, 6.6);
    SynthImage check;
    EXPECT_EQ(synthPngRead(path("check/view-10.png").c_str(), &check), 0);
}

}  // namespace
