// Model compilation, textures and sequences in a real GL context (GLUT window on a
// private Xvfb with Mesa's software renderer). Models are drawn under an orthographic
// projection that maps model x, y in [-1, 1] onto the 64 x 64 window, and the pixels
// are read back: faces must appear where, and in the colour, their file says.
#include "model/model.h"

#include <GL/glut.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/support.h"
#include "util/util.h"

namespace fs = std::filesystem;

// In the sanitizer build: Mesa's driver keeps its context allocations until exit and
// is unloaded before the leak check can name them, so leak checking is off here. The
// model's own tables are leak-checked by test_model, which needs no GL.
extern "C" const char* __asan_default_options()
{
    return "detect_leaks=0";
}

namespace {

constexpr int kSize = 64;

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb& o) const
    {
        return std::abs(r - o.r) <= 2 && std::abs(g - o.g) <= 2 && std::abs(b - o.b) <= 2;
    }
};
std::ostream& operator<<(std::ostream& os, const Rgb& c)
{
    return os << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}
constexpr Rgb kBlack{0, 0, 0}, kWhite{255, 255, 255}, kRed{255, 0, 0}, kGreen{0, 255, 0},
    kBlue{0, 0, 255}, kYellow{255, 255, 0};

// ---- Fixture files -----------------------------------------------------------------------

// A w x w bitmap file; colour(row, col) as 0xRRGGBB with row 0 at the top.
void writeBitmap(const fs::path& path, int w, const std::function<uint32_t(int, int)>& colour)
{
    std::vector<uint32_t> rgb;
    for (int row = 0; row < w; ++row)
        for (int col = 0; col < w; ++col) rgb.push_back(colour(row, col));
    support::spit(path, support::bitmapBytes(w, w, rgb));
}

// Four-quadrant picture: top-left red, top-right green, bottom-left blue,
// bottom-right yellow.
uint32_t quadrants(int row, int col, int w)
{
    const bool top = row < w / 2, left = col < w / 2;
    if (top) return left ? 0xff0000 : 0x00ff00;
    return left ? 0x0000ff : 0xffff00;
}

std::string materialLine(const std::string& colour, const std::string& texture = "")
{
    std::string s =
        "\t\"m\" col(" + colour + ") dif(1.000) amb(0.000) emi(0.000) spc(0.000) power(5.00)";
    if (!texture.empty()) s += " tex(\"" + texture + "\")";
    return s + "\n";
}

std::string materials(const std::vector<std::string>& lines)
{
    std::string s = "Material " + std::to_string(lines.size()) + " {\n";
    for (const std::string& l : lines) s += l;
    return s + "}\n";
}

// An object with the given vertices ("x y z" lines) and face lines.
std::string object(const std::vector<std::string>& vertices, const std::vector<std::string>& faces,
                   int visible = 15)
{
    std::ostringstream s;
    s << "Object \"o\" {\n\tvisible " << visible << "\n\tvertex " << vertices.size() << " {\n";
    for (const std::string& v : vertices) s << "\t\t" << v << "\n";
    s << "\t}\n\tface " << faces.size() << " {\n";
    for (const std::string& f : faces) s << "\t\t" << f << "\n";
    s << "\t}\n}\n";
    return s.str();
}

// The square [x0, x1] x [y0, y1] at z = 0, corners ordered so that its normal is +z
// (towards the viewer): bottom-right, bottom-left, top-left, top-right.
std::vector<std::string> square(float x0, float y0, float x1, float y1)
{
    auto v = [](float x, float y) { return std::to_string(x) + " " + std::to_string(y) + " 0"; };
    return {v(x1, y0), v(x0, y0), v(x0, y1), v(x1, y1)};
}

// UVs for square(): v = 0 at the top edge of the image.
const char* kSquareUv = "UV(1 1 0 1 0 0 1 0)";

std::string document(const std::string& body)
{
    return "Format Text Ver 1.0\n\n" + body + "Eof\n";
}

// ---- Fixture -------------------------------------------------------------------------------

class ModelGl : public ::testing::Test {
protected:
    static void SetUpTestSuite() { support::glOpenWindow("test_model_gl", kSize, kSize); }

    void SetUp() override
    {
        dir = fs::temp_directory_path() /
              ("tarlim_model_gl_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
        // The viewer's texture mode: a textured face shows its texels unlit.
        support::glUnlitOrthoView(kSize);
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    // One directional light straight along the view axis, no ambient: a face lit
    // head-on shows exactly its diffuse colour, one facing away shows black.
    static void lightHeadOn()
    {
        const GLfloat position[] = {0, 0, 1, 0}, white[] = {1, 1, 1, 1}, none[] = {0, 0, 0, 1};
        glEnable(GL_LIGHTING);
        glEnable(GL_LIGHT0);
        glLightfv(GL_LIGHT0, GL_POSITION, position);
        glLightfv(GL_LIGHT0, GL_DIFFUSE, white);
        glLightfv(GL_LIGHT0, GL_AMBIENT, none);
        glLightfv(GL_LIGHT0, GL_SPECULAR, none);
        glLightModelfv(GL_LIGHT_MODEL_AMBIENT, none);
    }

    std::string path(const std::string& file) const { return (dir / file).string(); }
    std::string prefix(const std::string& name) const { return path(name); }

    // Loads one file as a one-frame sequence; fails the test when it does not load.
    GLuint loadOne(const std::string& name, const std::string& text, double scale = 1.0)
    {
        support::spit(dir / (name + "0.mqo"), text);
        GLuint base = 0;
        EXPECT_EQ(modelLoadSequence(prefix(name).c_str(), 1, scale, &base), 1) << name;
        return base;
    }

    // Clears to black, calls the list with a fresh model-view matrix and keeps the
    // frame for reading.
    void draw(GLuint list)
    {
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glCallList(list);
        glFinish();
        frame.assign(kSize * kSize * 3, 0);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadBuffer(GL_BACK);
        glReadPixels(0, 0, kSize, kSize, GL_RGB, GL_UNSIGNED_BYTE, frame.data());
        ASSERT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    }

    // The pixel under model point (x, y).
    Rgb at(float x, float y) const
    {
        const int px = static_cast<int>((x + 1) * kSize / 2),
                  py = static_cast<int>((y + 1) * kSize / 2);
        const unsigned char* p = &frame[(static_cast<size_t>(py) * kSize + px) * 3];
        return {p[0], p[1], p[2]};
    }

    int litPixels() const
    {
        int n = 0;
        for (size_t i = 0; i < frame.size(); i += 3)
            n += (frame[i] | frame[i + 1] | frame[i + 2]) != 0;
        return n;
    }

    fs::path dir;
    std::vector<unsigned char> frame;
};

// ---- Faces and materials ------------------------------------------------------------------

TEST_F(ModelGl, LitFacesShowTheirMaterialOnTheSideTheirCornersFace)
{
    // Left square faces the viewer (red); the right one has its corners reversed, so
    // its normal points away and the head-on light leaves it black.
    std::vector<std::string> right = square(0.2f, -0.5f, 0.8f, 0.5f);
    std::swap(right[0], right[2]);
    std::vector<std::string> vertices = square(-0.8f, -0.5f, -0.2f, 0.5f);
    vertices.insert(vertices.end(), right.begin(), right.end());
    const GLuint list =
        loadOne("lit", document(materials({materialLine("1 0 0 1"), materialLine("0 1 0 1")}) +
                                object(vertices, {"4 V(0 1 2 3) M(0)", "4 V(4 5 6 7) M(1)"})));
    lightHeadOn();
    draw(list);
    EXPECT_EQ(at(-0.5f, 0), kRed);
    EXPECT_EQ(at(0.5f, 0), kBlack);
    EXPECT_EQ(at(0, 0.8f), kBlack) << "nothing outside the faces";
    // The same pair under a light from behind swaps the roles.
    const GLfloat behind[] = {0, 0, -1, 0};
    glLightfv(GL_LIGHT0, GL_POSITION, behind);
    draw(list);
    EXPECT_EQ(at(-0.5f, 0), kBlack);
    EXPECT_EQ(at(0.5f, 0), kGreen);
}

TEST_F(ModelGl, NeighbouringFacesKeepTheirOwnNormalMaterialAndTexture)
{
    // Five squares in a row: two of the same red material facing opposite ways, a
    // textured one, a blue triangle, and the textured material again.
    writeBitmap(dir / "quad.bmp", 8, [](int r, int c) { return quadrants(r, c, 8); });
    std::vector<std::string> vertices, faces;
    const char* material[5] = {"M(0)", "M(0)", "M(1)", "M(2)", "M(1)"};
    for (int k = 0; k < 5; ++k) {
        const float x0 = -1.0f + 0.4f * k + 0.05f;
        std::vector<std::string> sq = square(x0, -0.3f, x0 + 0.3f, 0.3f);
        if (k == 1) std::swap(sq[0], sq[2]);
        vertices.insert(vertices.end(), sq.begin(), sq.end());
        const int b = 4 * k;
        std::string f = k == 3 ? "3 V(" + std::to_string(b) + " " + std::to_string(b + 1) + " " +
                                     std::to_string(b + 2) + ") "
                               : "4 V(" + std::to_string(b) + " " + std::to_string(b + 1) + " " +
                                     std::to_string(b + 2) + " " + std::to_string(b + 3) + ") ";
        f += material[k];
        if (k == 2 || k == 4) f += std::string(" ") + kSquareUv;
        faces.push_back(f);
    }
    const std::string text =
        document(materials({materialLine("1 0 0 1"), materialLine("0 0 0 1", "quad.bmp"),
                            materialLine("0 0 1 1")}) +
                 object(vertices, faces));
    const GLuint list = loadOne("row", text);
    lightHeadOn();
    draw(list);
    const std::vector<unsigned char> compiled = frame;
    // The same faces issued one at a time with modelDrawFace give the same picture.
    ModelFile file{};
    FILE* fp = std::fopen(path("row0.mqo").c_str(), "r");
    ASSERT_NE(fp, nullptr);
    modelLoadFile(fp, &file);
    std::fclose(fp);
    modelCreateTextures(&file, path("row0.mqo").c_str());
    const GLuint single = glGenLists(1);
    glNewList(single, GL_COMPILE);
    const ModelObject& o = file.objects[0];
    for (int j = 0; j < o.faceCount; ++j) {
        modelDrawFace(&o.faces[j], o.vertices, o.vertexCount, file.materials, file.materialCount);
    }
    glEndList();
    modelReleaseFile(&file);
    draw(single);
    EXPECT_TRUE(frame == compiled) << "face by face and batched lists draw differently";
    frame = compiled;
    auto centre = [](int k, float dy) { return std::make_pair(-1.0f + 0.4f * k + 0.2f, dy); };
    EXPECT_EQ(at(centre(0, 0).first, 0), kRed) << "faces the light";
    EXPECT_EQ(at(centre(1, 0).first, 0), kBlack) << "same material, faces away";
    EXPECT_EQ(at(centre(2, 0).first - 0.07f, 0.2f), kRed) << "texture, top left";
    EXPECT_EQ(at(centre(2, 0).first + 0.07f, -0.2f), kYellow) << "texture, bottom right";
    // The triangle covers the lower-left half of its square (corners bottom-right,
    // bottom-left, top-left).
    EXPECT_EQ(at(centre(3, 0).first - 0.07f, -0.2f), kBlue) << "untextured after a textured face";
    EXPECT_EQ(at(centre(3, 0).first + 0.1f, 0.2f), kBlack) << "outside the triangle";
    EXPECT_EQ(at(centre(4, 0).first + 0.07f, 0.2f), kGreen) << "texture again, top right";
}

TEST_F(ModelGl, TexturedQuadShowsItsTexelsTheRightWayUp)
{
    writeBitmap(dir / "quad.bmp", 8, [](int r, int c) { return quadrants(r, c, 8); });
    const GLuint list =
        loadOne("tex", document(materials({materialLine("0.2 0.2 0.2 1", "quad.bmp")}) +
                                object(square(-0.8f, -0.8f, 0.8f, 0.8f),
                                       {std::string("4 V(0 1 2 3) M(0) ") + kSquareUv})));
    lightHeadOn();
    draw(list);
    EXPECT_EQ(at(-0.4f, 0.4f), kRed) << "top left";
    EXPECT_EQ(at(0.4f, 0.4f), kGreen) << "top right";
    EXPECT_EQ(at(-0.4f, -0.4f), kBlue) << "bottom left";
    EXPECT_EQ(at(0.4f, -0.4f), kYellow) << "bottom right";
    EXPECT_EQ(at(0.9f, 0.9f), kBlack);
}

TEST_F(ModelGl, HiddenObjectsAndUndrawableFacesIssueNothing)
{
    const std::vector<std::string> big = square(-0.9f, -0.9f, 0.9f, 0.9f);
    std::vector<std::string> vertices = big;
    vertices.push_back("-0.9 0.9 0");
    const std::string text =
        document(object(big, {"4 V(0 1 2 3)"}, 0) +
                 object(vertices, {"5 V(0 1 2 3 4)", "2 V(0 1)", "3 V(0 1 9)", "3 V(0 -1 2)",
                                   "4 V(0 1 2 5)", "6 V(0 1 2 3 4 0)"}));
    const GLuint list = loadOne("none", text);
    draw(list);
    EXPECT_EQ(litPixels(), 0)
        << "hidden object, 5/2/6 corners and out-of-range corners draw nothing";
    // The same vertices with one drawable face: the object itself is drawn.
    const GLuint control =
        loadOne("some", document(object(vertices, {"5 V(0 1 2 3 4)", "4 V(0 1 2 3)"})));
    draw(control);
    EXPECT_EQ(at(0, 0), kWhite);
}

TEST_F(ModelGl, ScaleAppliesToTheWholeModelAndStaysOnTheMatrix)
{
    const std::string text = document(object(square(0.1f, 0.1f, 0.4f, 0.4f), {"4 V(0 1 2 3)"}));
    const GLuint one = loadOne("one", text, 1.0);
    const GLuint two = loadOne("two", text, 2.0);
    draw(one);
    EXPECT_EQ(at(0.3f, 0.3f), kWhite);
    EXPECT_EQ(at(0.6f, 0.6f), kBlack);
    draw(two);
    EXPECT_EQ(at(0.3f, 0.3f), kWhite);
    EXPECT_EQ(at(0.6f, 0.6f), kWhite);
    EXPECT_EQ(at(0.15f, 0.15f), kBlack) << "the corner moved from 0.1 to 0.2";
    GLdouble m[16];
    glGetDoublev(GL_MODELVIEW_MATRIX, m);
    EXPECT_DOUBLE_EQ(m[0], 2.0) << "the list leaves the model-view matrix scaled";
}

TEST_F(ModelGl, FacesWithoutAValidMaterialAreWhite)
{
    // Lighting off: a face shows its glColor, which is the material colour or white.
    const std::vector<std::string> left = square(-0.8f, -0.5f, -0.2f, 0.5f),
                                   right = square(0.2f, -0.5f, 0.8f, 0.5f);
    std::vector<std::string> vertices = left;
    vertices.insert(vertices.end(), right.begin(), right.end());
    const GLuint list =
        loadOne("mat", document(materials({materialLine("0 0 1 1")}) +
                                object(vertices, {"4 V(0 1 2 3) M(0)", "4 V(4 5 6 7) M(7)"})));
    draw(list);
    EXPECT_EQ(at(-0.5f, 0), kBlue);
    EXPECT_EQ(at(0.5f, 0), kWhite) << "material 7 of 1";
    const GLuint plain = loadOne("plain", document(object(left, {"4 V(0 1 2 3) M(0)"})));
    draw(plain);
    EXPECT_EQ(at(-0.5f, 0), kWhite) << "no material table";
}

TEST_F(ModelGl, UnreadableTextureLeavesTheFaceLitWithItsMaterial)
{
    support::spit(dir / "bad.bmp", std::string(60, '\x07'));  // width field 0x07070707
    const std::vector<std::string> left = square(-0.8f, -0.5f, -0.2f, 0.5f),
                                   right = square(0.2f, -0.5f, 0.8f, 0.5f);
    std::vector<std::string> vertices = left;
    vertices.insert(vertices.end(), right.begin(), right.end());
    const std::string face0 = std::string("4 V(0 1 2 3) M(0) ") + kSquareUv;
    const std::string face1 = std::string("4 V(4 5 6 7) M(1) ") + kSquareUv;
    const GLuint list = loadOne("bad", document(materials({materialLine("0 1 0 1", "missing.bmp"),
                                                           materialLine("0 0 1 1", "bad.bmp")}) +
                                                object(vertices, {face0, face1})));
    lightHeadOn();
    draw(list);
    EXPECT_EQ(at(-0.5f, 0), kGreen);
    EXPECT_EQ(at(0.5f, 0), kBlue);
}

// ---- PNG, JPEG, alpha and mirrors ------------------------------------------------------

// w x h RGBA texels from colour(row, col) = 0xAARRGGBB, row 0 at the top.
std::vector<uint8_t> texels(int w, int h, const std::function<uint32_t(int, int)>& colour)
{
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    for (int r = 0; r < h; ++r) {
        for (int c = 0; c < w; ++c) {
            const uint32_t v = colour(r, c);
            uint8_t* p = &px[(static_cast<size_t>(r) * w + c) * 4];
            p[0] = (v >> 16) & 0xff;
            p[1] = (v >> 8) & 0xff;
            p[2] = v & 0xff;
            p[3] = (v >> 24) & 0xff;
        }
    }
    return px;
}

// Quadrants of a w x h picture, opaque.
uint32_t quadrantsOf(int row, int col, int w, int h)
{
    const bool top = row < h / 2, left = col < w / 2;
    return 0xff000000u | (top ? (left ? 0xff0000u : 0x00ff00u) : (left ? 0x0000ffu : 0xffff00u));
}

bool near(const Rgb& a, const Rgb& b, int tolerance)
{
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

// The width and height GL holds for a texture object.
std::pair<int, int> textureSize(GLuint id)
{
    GLint w = 0, h = 0;
    glBindTexture(GL_TEXTURE_2D, id);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &w);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &h);
    return {w, h};
}

// What this GL is expected to take: any size from GL 2.0 or with the extension. The
// test is also registered with Mesa told to offer GL 1.4 without the extension, so
// both branches run.
bool glTakesAnySize()
{
    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    const char* extensions = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
    return std::atoi(version) >= 2 ||
           (extensions != nullptr &&
            std::strstr(extensions, "GL_ARB_texture_non_power_of_two ") != nullptr);
}

TEST_F(ModelGl, PngJpegAndBitmapTexturesOfAnySizeShowTheirTexels)
{
    const std::vector<uint8_t> png =
        texels(12, 6, [](int r, int c) { return quadrantsOf(r, c, 12, 6); });
    ASSERT_EQ(utilPngWrite(path("q.png").c_str(), 12, 6, png.data(), kUtilRgba, 0, 0), 0);
    const std::vector<uint8_t> jpg =
        texels(40, 24, [](int r, int c) { return quadrantsOf(r, c, 40, 24); });
    ASSERT_EQ(utilJpegWrite(path("q.jpg").c_str(), 40, 24, jpg.data(), kUtilRgba, 95), 0);
    writeBitmap(dir / "q.bmp", 8, [](int r, int c) { return quadrants(r, c, 8); });
    // A PNG named .bmp is still read as a PNG: the content decides.
    fs::copy_file(dir / "q.png", dir / "png-named.bmp");
    std::vector<std::string> vertices, faces;
    for (int k = 0; k < 4; ++k) {
        const float x0 = -1.0f + 0.5f * k + 0.04f;
        const std::vector<std::string> sq = square(x0, -0.4f, x0 + 0.42f, 0.4f);
        vertices.insert(vertices.end(), sq.begin(), sq.end());
        faces.push_back("4 V(" + std::to_string(4 * k) + " " + std::to_string(4 * k + 1) + " " +
                        std::to_string(4 * k + 2) + " " + std::to_string(4 * k + 3) + ") M(" +
                        std::to_string(k) + ") " + kSquareUv);
    }
    const std::string text = document(
        materials({materialLine("0 0 0 1", "q.png"), materialLine("0 0 0 1", "q.jpg"),
                   materialLine("0 0 0 1", "q.bmp"), materialLine("0 0 0 1", "png-named.bmp")}) +
        object(vertices, faces));
    const GLuint list = loadOne("kinds", text);
    lightHeadOn();
    draw(list);
    const char* names[4] = {"png", "jpeg", "bmp", "png named .bmp"};
    for (int k = 0; k < 4; ++k) {
        const float cx = -1.0f + 0.5f * k + 0.25f;
        const int tolerance = k == 1 ? 24 : 2;  // JPEG is lossy
        EXPECT_PRED3(near, at(cx - 0.1f, 0.2f), kRed, tolerance)
            << names[k] << " top left " << at(cx - 0.1f, 0.2f);
        EXPECT_PRED3(near, at(cx + 0.1f, 0.2f), kGreen, tolerance) << names[k] << " top right";
        EXPECT_PRED3(near, at(cx - 0.1f, -0.2f), kBlue, tolerance) << names[k] << " bottom left";
        EXPECT_PRED3(near, at(cx + 0.1f, -0.2f), kYellow, tolerance) << names[k] << " bottom right";
    }
    // The texture GL holds: as the file is where GL takes any size, else the powers of
    // two at or above.
    ModelFile file{};
    FILE* fp = std::fopen(path("kinds0.mqo").c_str(), "r");
    ASSERT_NE(fp, nullptr);
    modelLoadFile(fp, &file);
    std::fclose(fp);
    modelCreateTextures(&file, path("kinds0.mqo").c_str());
    const bool any = glTakesAnySize();
    EXPECT_EQ(textureSize(file.materials[0].textureId),
              any ? std::make_pair(12, 6) : std::make_pair(16, 8));
    EXPECT_EQ(textureSize(file.materials[1].textureId),
              any ? std::make_pair(40, 24) : std::make_pair(64, 32));
    EXPECT_EQ(textureSize(file.materials[2].textureId), std::make_pair(8, 8));
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(file.materials[k].textureLoaded, 1) << names[k];
        EXPECT_EQ(file.materials[k].textureTransparent, 0) << names[k];
    }
    modelReleaseFile(&file);
}

TEST_F(ModelGl, TransparentTexelsAndColoursBlendOverWhatIsBehind)
{
    // Left half of the picture fully transparent, right half red at alpha 128.
    const std::vector<uint8_t> px =
        texels(10, 10, [](int, int c) { return c < 5 ? 0x00ff0000u : 0x80ff0000u; });
    ASSERT_EQ(utilPngWrite(path("glass.png").c_str(), 10, 10, px.data(), kUtilRgba, 1, 0), 0);
    // File order: the see-through faces first, the opaque blue square behind them last;
    // the see-through ones must still blend over it.
    std::vector<std::string> vertices;
    for (const auto& sq : {square(-0.9f, 0.1f, 0.9f, 0.9f), square(-0.9f, -0.9f, 0.9f, -0.1f),
                           square(-0.95f, -0.95f, 0.95f, 0.95f)})
        vertices.insert(vertices.end(), sq.begin(), sq.end());
    const std::string text =
        document(materials({materialLine("1 1 1 1", "glass.png"),
                            "\t\"half\" col(1 0 0 0.5) dif(0.8) amb(0) emi(0) spc(0) power(5)\n",
                            materialLine("0 0 0.8 1")}) +
                 object(vertices, {std::string("4 V(0 1 2 3) M(0) ") + kSquareUv,
                                   "4 V(4 5 6 7) M(1)", "4 V(8 9 10 11) M(2)"}));
    const GLuint list = loadOne("glass", text);
    lightHeadOn();
    draw(list);
    const Rgb blue{0, 0, 204};
    EXPECT_PRED3(near, at(-0.5f, 0.5f), blue, 2) << "transparent texels show what is behind";
    EXPECT_PRED3(near, at(0.5f, 0.5f), (Rgb{128, 0, 102}), 3)
        << "texel alpha 128 over blue: " << at(0.5f, 0.5f);
    EXPECT_PRED3(near, at(0, -0.5f), (Rgb{102, 0, 102}), 3)
        << "colour alpha 0.5 over blue, lit: " << at(0, -0.5f);
    GLboolean blend = GL_TRUE;
    glGetBooleanv(GL_BLEND, &blend);
    EXPECT_EQ(blend, GL_FALSE) << "blending is off again after the list";
    GLint mode = 0;
    glGetTexEnviv(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, &mode);
    EXPECT_EQ(mode, GL_DECAL) << "the texture mode is restored";
}

TEST_F(ModelGl, MirroredObjectsShowTheirOtherHalvesLitOnTheOutside)
{
    const std::string body = materials({materialLine("1 0 0 1")}) +
                             object(square(0.2f, 0.2f, 0.8f, 0.8f), {"4 V(0 1 2 3) M(0)"});
    auto mirrored = [&body](const std::string& lines) {
        std::string text = body;
        text.insert(text.find("\tvisible"), lines);
        return document(text);
    };
    lightHeadOn();
    draw(loadOne("plainhalf", document(body)));
    EXPECT_EQ(at(0.5f, 0.5f), kRed);
    EXPECT_EQ(at(-0.5f, 0.5f), kBlack) << "no mirror line: one half";
    draw(loadOne("xhalf", mirrored("\tmirror 1\n\tmirror_axis 1\n")));
    EXPECT_EQ(at(0.5f, 0.5f), kRed);
    EXPECT_EQ(at(-0.5f, 0.5f), kRed) << "x mirror, lit on the same side";
    EXPECT_EQ(at(-0.5f, -0.5f), kBlack);
    draw(loadOne("xyhalf", mirrored("\tmirror 2\n\tmirror_axis 3\n")));
    for (float x : {-0.5f, 0.5f}) {
        for (float y : {-0.5f, 0.5f})
            EXPECT_EQ(at(x, y), kRed) << "x and y mirror at " << x << ", " << y;
    }
    draw(loadOne("offhalf", mirrored("\tmirror 0\n\tmirror_axis 1\n")));
    EXPECT_EQ(at(-0.5f, 0.5f), kBlack) << "mirror 0: the axis alone draws no copy";
}

TEST_F(ModelGl, TexturesThatCannotLoadAreWarnedOncePerPath)
{
    support::spit(dir / "junk.png", std::string(100, 'j'));
    const std::string text = document(
        materials({materialLine("0 1 0 1", "missing.png"), materialLine("0 1 0 1", "junk.png"),
                   materialLine("0 1 0 1", "missing.png")}) +
        object(square(-0.5f, -0.5f, 0.5f, 0.5f), {std::string("4 V(0 1 2 3) M(0) ") + kSquareUv}));
    for (const char* name : {"warnA", "warnB"}) {
        for (int i = 0; i < 2; ++i)
            support::spit(dir / (std::string(name) + std::to_string(i) + ".mqo"), text);
    }
    GLuint base = 0;
    ASSERT_EQ(modelLoadSequence(prefix("warnA").c_str(), 2, 1.0, &base), 2);
    ASSERT_EQ(modelLoadSequence(prefix("warnB").c_str(), 2, 1.0, &base), 2);
    const ModelWarnings* w = modelTextureWarnings();
    std::vector<std::string> mine;
    for (int i = 0; i < w->count; ++i) {
        const std::string p = w->entries[i].path;
        if (p.rfind(dir.string(), 0) == 0)
            mine.push_back(p.substr(dir.string().size() + 1) + ": " + w->entries[i].reason);
    }
    ASSERT_EQ(mine.size(), 2u) << "one warning per file for two sequences of two frames";
    EXPECT_EQ(mine[0], "missing.png: no such file");
    EXPECT_NE(mine[1].find("junk.png: not a PNG or JPEG file"), std::string::npos) << mine[1];
    lightHeadOn();
    draw(base);
    EXPECT_EQ(at(0, 0), kGreen) << "the face is drawn lit with its material";
}

// ---- Sequences ------------------------------------------------------------------------------

// Frame i of a sequence: a square whose grey level is 20 * i, drawn unlit.
std::string greyFrame(int i)
{
    const std::string level = std::to_string(20 * i / 255.0);
    return document(materials({materialLine(level + " " + level + " " + level + " 1")}) +
                    object(square(-0.5f, -0.5f, 0.5f, 0.5f), {"4 V(0 1 2 3) M(0)"}));
}

TEST_F(ModelGl, SequenceFilesAreNumberedInPlainDecimal)
{
    for (int i = 0; i < 12; ++i)
        support::spit(dir / ("box" + std::to_string(i) + ".mqo"), greyFrame(i));
    GLuint base = 0;
    ASSERT_EQ(modelLoadSequence(prefix("box").c_str(), 12, 1.0, &base), 12);
    ASSERT_NE(base, 0u);
    for (int i = 0; i < 12; ++i) {
        draw(base + i);
        EXPECT_EQ(at(0, 0), (Rgb{20 * i, 20 * i, 20 * i})) << "list base + " << i;
    }
}

TEST_F(ModelGl, AMissingFileLoadsNothingAndLaterFilesAreNotTried)
{
    support::spit(dir / "gap0.mqo", greyFrame(1));
    support::spit(dir / "gap2.mqo", greyFrame(2));
    GLuint base = 0;
    EXPECT_EQ(modelLoadSequence(prefix("gap").c_str(), 3, 1.0, &base), 0);
    EXPECT_NE(base, 0u) << "the block stays reserved";
    draw(base + 0);
    EXPECT_EQ(at(0, 0), (Rgb{20, 20, 20})) << "file 0 was compiled";
    draw(base + 2);
    EXPECT_EQ(litPixels(), 0) << "file 2 was not tried";

    for (int count : {0, -3}) {
        base = 99;
        EXPECT_EQ(modelLoadSequence(prefix("gap").c_str(), count, 1.0, &base), count)
            << "the loaded count is the configured one";
        EXPECT_EQ(base, 0u) << "count " << count << " reserves nothing";
    }
    const std::string longPrefix = prefix(std::string(300, 'p'));
    EXPECT_EQ(modelLoadSequence(longPrefix.c_str(), 1, 1.0, &base), 0);
}

TEST_F(ModelGl, EveryFrameShowsItsTextureWhenEachFileBringsItsMaterials)
{
    writeBitmap(dir / "quad.bmp", 8, [](int r, int c) { return quadrants(r, c, 8); });
    writeBitmap(dir / "other.bmp", 4, [](int, int) { return 0xffffffu; });
    const std::string face = std::string("4 V(0 1 2 3) M(0) ") + kSquareUv;
    const std::string geometry = object(square(-0.8f, -0.8f, 0.8f, 0.8f), {face});
    const std::string own = materials({materialLine("0.5 0.5 0.5 1", "quad.bmp")});
    // Frames 0-2 carry their own material chunk (what modelling programs write),
    // frame 3 has none and inherits frame 2's, frame 4 names another image.
    for (int i = 0; i < 3; ++i)
        support::spit(dir / ("spin" + std::to_string(i) + ".mqo"), document(own + geometry));
    support::spit(dir / "spin3.mqo", document(geometry));
    support::spit(dir / "spin4.mqo",
                  document(materials({materialLine("0.5 0.5 0.5 1", "other.bmp")}) + geometry));
    GLuint base = 0;
    ASSERT_EQ(modelLoadSequence(prefix("spin").c_str(), 5, 1.0, &base), 5);
    lightHeadOn();
    for (int i = 0; i < 4; ++i) {
        draw(base + i);
        EXPECT_EQ(at(-0.4f, 0.4f), kRed) << "frame " << i;
        EXPECT_EQ(at(0.4f, -0.4f), kYellow) << "frame " << i;
    }
    draw(base + 4);
    EXPECT_EQ(at(-0.4f, 0.4f), kWhite) << "frame 4 shows its own image";
}

TEST_F(ModelGl, ATexturePathIsLoadedOncePerSequence)
{
    writeBitmap(dir / "a.bmp", 4, [](int, int) { return 0xff0000u; });
    writeBitmap(dir / "b.bmp", 4, [](int, int) { return 0x0000ffu; });
    const std::string modelPath = path("m0.mqo");
    const std::string text =
        materials({materialLine("1 1 1 1", "a.bmp"), materialLine("1 1 1 1", "b.bmp"),
                   materialLine("1 1 1 1", "a.bmp"), materialLine("1 1 1 1")});
    ModelFile file{};
    auto load = [&file, &text]() {
        FILE* fp = std::tmpfile();
        std::fputs(text.c_str(), fp);
        std::rewind(fp);
        modelLoadFile(fp, &file);
        std::fclose(fp);
    };
    load();
    modelCreateTextures(&file, modelPath.c_str());
    const GLuint a = file.materials[0].textureId, b = file.materials[1].textureId;
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(file.materials[2].textureId, a) << "same path, same texture object";
    EXPECT_EQ(file.materials[3].textureId, 0u) << "untextured material";
    EXPECT_EQ(file.textureCount, 2);
    load();  // the next frame's own material chunk
    modelCreateTextures(&file, modelPath.c_str());
    EXPECT_EQ(file.materials[0].textureId, a);
    EXPECT_EQ(file.materials[1].textureId, b);
    EXPECT_EQ(file.textureCount, 2);
    modelReleaseFile(&file);
}

TEST_F(ModelGl, AllSequencesAreLoadedInOrderIntoTheirOwnBlocks)
{
    for (int i = 0; i < 2; ++i)
        support::spit(dir / ("a" + std::to_string(i) + ".mqo"), greyFrame(i + 1));
    support::spit(dir / "b0.mqo", greyFrame(5));
    ModelSequence sequences[3] = {};
    const char* names[3] = {"a", "missing", "b"};
    const int counts[3] = {2, 1, 1};
    for (int k = 0; k < 3; ++k) {
        std::snprintf(sequences[k].pathPrefix, kModelPrefixSize, "%s", prefix(names[k]).c_str());
        sequences[k].frameCount = counts[k];
        sequences[k].scale = 1.0;
        sequences[k].currentFrame = 7;
    }
    modelLoadAllSequences(sequences, 3);
    EXPECT_EQ(sequences[0].loadedCount, 2);
    EXPECT_EQ(sequences[1].loadedCount, 0);
    EXPECT_EQ(sequences[2].loadedCount, 1);
    for (const ModelSequence& s : sequences) EXPECT_EQ(s.currentFrame, 0);
    EXPECT_LT(sequences[0].listBase + 1, sequences[2].listBase) << "blocks are separate, in order";
    draw(sequences[0].listBase + 1);
    EXPECT_EQ(at(0, 0), (Rgb{40, 40, 40}));
    draw(sequences[2].listBase);
    EXPECT_EQ(at(0, 0), (Rgb{100, 100, 100}));
}

}  // namespace
