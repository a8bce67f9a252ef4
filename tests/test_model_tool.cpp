// tarlim-model and tarlim-modelgen run as commands: what show says about the shipped
// house and about a model with a missing texture, what preview draws, and how both
// tools answer a mistake on the command line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/support.h"
#include "util/util.h"

namespace {

namespace fs = std::filesystem;

const std::string kTool = std::string(TARLIM_BINARY_DIR) + "/tools/tarlim-model";
const std::string kModelgen = std::string(TARLIM_BINARY_DIR) + "/tools/tarlim-modelgen";
const std::string kHouse = std::string(TARLIM_SOURCE_DIR) + "/data/models/house/house0.mqo";

class ModelTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() /
              ("tarlim_model_tool_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    fs::path dir;
};

TEST_F(ModelTool, ShowListsObjectsTexturesBoundsAndTheScaleForAMarker)
{
    const support::CommandRun r = support::run(kTool + " show " + kHouse + " --marker-mm 70");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* line : {"object \"bdef:walls\": visible, 8 vertices, 6 faces\n",
                             "object \"roof_half\": visible, 10 vertices, 3 faces, mirrored in x\n",
                             "material 1 \"roof\": colour 0.620 0.160 0.120 1.000\n",
                             "  texture brick.jpg: loaded 96x64 jpeg\n",
                             "  texture fence.png: loaded 64x32 png with alpha\n",
                             // the roof's mirrored half reaches x = -28, the fence -35
                             "bounds min -35.000 0.000 -21.000 max 35.000 48.000 30.000\n",
                             "scale 1 makes the footprint (70.000 x 51.000) as wide as a 70 mm "
                             "marker\n"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << "missing: " << line << "in:\n" << r.out;
    }

    support::spit(
        dir / "m.mqo",
        "Format Text Ver 1.0\nMaterial 1 {\n\t\"eye\" col(1 1 1 0.5) tex(\"eye.bmp\")\n}\n"
        "Object \"hidden\" {\n\tvisible 0\n\tvertex 3 {\n\t\t0 0 0\n\t\t1 0 0\n"
        "\t\t0 1 0\n\t}\n\tface 1 {\n\t\t3 V(0 1 2)\n\t}\n}\nEof\n");
    const support::CommandRun missing = support::run(kTool + " show " + (dir / "m.mqo").string());
    ASSERT_EQ(missing.status, 0) << missing.err;
    EXPECT_NE(missing.out.find("  texture eye.bmp: not loaded: no such file\n"), std::string::npos)
        << missing.out;
    EXPECT_NE(missing.out.find("object \"hidden\": hidden, 3 vertices, 1 faces\n"),
              std::string::npos)
        << missing.out;
    EXPECT_NE(missing.out.find("bounds none"), std::string::npos)
        << "a hidden object draws nothing";
}

TEST_F(ModelTool, PreviewDrawsTheModelWithoutADisplay)
{
    const fs::path png = dir / "house.png";
    const support::CommandRun r = support::run("env -u DISPLAY " + kTool + " preview " + kHouse +
                                               " -o " + png.string() + " --size 128");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "every texture of the house loads";
    UtilImage image;
    char reason[128];
    ASSERT_EQ(
        utilImageRead(png.string().c_str(), kUtilRgba, 1 << 20, &image, reason, sizeof reason), 0)
        << reason;
    ASSERT_EQ(image.width, 128);
    ASSERT_EQ(image.height, 128);
    auto px = [&image](int x, int y) {
        return &image.pixels[(static_cast<size_t>(y) * 128 + x) * 4];
    };
    const uint8_t* corner = px(0, 0);
    int brick = 0, roof = 0, fence = 0, background = 0;
    for (int y = 0; y < 128; ++y) {
        for (int x = 0; x < 128; ++x) {
            const uint8_t* p = px(x, y);
            if (p[0] == corner[0] && p[1] == corner[1] && p[2] == corner[2]) ++background;
            if (p[0] > 150 && p[1] > 60 && p[1] < 130 && p[2] < 90) ++brick;  // lit bricks
            if (p[0] > 90 && p[0] < 200 && p[1] < 50 && p[2] < 45) ++roof;
            if (p[0] > 225 && p[1] > 225 && p[2] > 210) ++fence;
        }
    }
    EXPECT_GT(brick, 300) << "the JPEG walls show";
    EXPECT_GT(roof, 800) << "the roof shows, both halves";
    EXPECT_GT(fence, 100) << "the fence's pickets show";
    EXPECT_GT(background, 128 * 128 / 4) << "the model fits, with room around it";
    EXPECT_EQ(px(127, 127)[0], corner[0]) << "nothing in the far corner";
}

TEST_F(ModelTool, MistakesOnTheCommandLineAreUsageErrors)
{
    const std::string house = " " + kHouse;
    for (const std::string& args :
         {std::string(""), std::string(" show"), std::string(" draw") + house,
          " show" + house + " --marker-mm", " show" + house + " --marker-mm -80",
          " show" + house + " --marker-mm 8x", " show" + house + " --size 64", " preview" + house,
          " preview" + house + " -o x.png --size 8", " preview" + house + " -o x.png --size 100.5",
          " show" + house + house}) {
        const support::CommandRun r = support::run(kTool + args);
        EXPECT_EQ(r.status, 2) << "tarlim-model" << args;
        EXPECT_NE(r.err.find("usage: tarlim-model show"), std::string::npos) << args;
    }
    const support::CommandRun help = support::run(kTool + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage:"), std::string::npos);
    const support::CommandRun gone = support::run(kTool + " show " + (dir / "none.mqo").string());
    EXPECT_EQ(gone.status, 1);
    EXPECT_NE(gone.err.find("cannot open"), std::string::npos) << gone.err;
}

TEST_F(ModelTool, ModelgenPrintsHelpAndRefusesOptionsAsDirectories)
{
    const support::CommandRun help =
        support::run("cd " + dir.string() + " && " + kModelgen + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage:"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "--help")) << "no models written into a folder named --help";
    for (const std::string& args : {std::string(""), std::string(" -x"), std::string(" a b")}) {
        const support::CommandRun r =
            support::run("cd " + dir.string() + " && " + kModelgen + args);
        EXPECT_EQ(r.status, 2) << "tarlim-modelgen" << args;
        EXPECT_NE(r.err.find("usage:"), std::string::npos) << args;
    }
    EXPECT_TRUE(fs::is_empty(dir)) << "nothing written after a usage error";
}

}  // namespace
