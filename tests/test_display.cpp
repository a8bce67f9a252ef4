// Display: the background shown pixel for pixel and undistorted where the lens model
// puts each pixel, its cached grid, points projected where the camera matrix says,
// the window layout, and the start-up of the main loop. Read back from the window.
#include "display/display.h"

#include <GL/freeglut.h>
#include <GL/gl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include "tests/support/support.h"

// Mesa's software driver keeps its window buffers to process exit and is unloaded
// before the leak check runs, so even a bare window reports leaks in the sanitizer
// build. The display code itself allocates only its two staging buffers, kept for the
// life of the process by design.
extern "C" const char* __asan_default_options()
{
    return "detect_leaks=0";
}

namespace {

// A camera K [I | 0] with K = ((f, 0, cx), (0, f, cy), (0, 0, 1)).
CameraParam simpleCamera(int width, int height, const double distortion[4])
{
    CameraParam p = {};
    p.width = width;
    p.height = height;
    const double f = 1.2 * width;
    const double k[3][4] = {
        {f, 0.0, width / 2.0, 0.0}, {0.0, f, height / 2.0, 0.0}, {0.0, 0.0, 1.0, 0.0}};
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 4; j++) p.projection[i][j] = k[i][j];
    }
    for (int i = 0; i < 4; i++) p.distortion[i] = distortion[i];
    return p;
}

void noDisplay() {}

// Lets the toolkit map the window before anything is drawn.
void settleWindow()
{
    glutDisplayFunc(noDisplay);
    for (int i = 0; i < 5; i++) glutMainLoopEvent();
}

void openWindow(const CameraParam& camera)
{
    support::glInitOnce("test_display");
    dispInit(&camera, 1.0, 0, 0, 0, 0);
    settleWindow();
}

// BGRA frame whose every pixel of a 640 x 480 image is distinct; `seed` tells frames
// apart. Colour of pixel (x, y) in bytes blue, green, red.
struct Bgr {
    unsigned char b, g, r;
};
Bgr pixelColour(int x, int y, int seed)
{
    return Bgr{static_cast<unsigned char>(x & 255), static_cast<unsigned char>(y & 255),
               static_cast<unsigned char>((((x >> 8) << 2) | (y >> 8)) * 16 + seed)};
}

std::vector<unsigned char> makeFrame(int width, int height, int seed, int block = 1)
{
    std::vector<unsigned char> frame(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            const Bgr c = pixelColour(x / block, y / block, seed);
            unsigned char* p = &frame[(static_cast<size_t>(y) * width + x) * 4];
            p[0] = c.b;
            p[1] = c.g;
            p[2] = c.r;
            p[3] = 17;  // the fourth byte is never shown
        }
    }
    return frame;
}

void drawBackground(const std::vector<unsigned char>& frame, int column = 0, int row = 0)
{
    glDrawBuffer(GL_BACK);
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    dispDrawMode2D();
    dispImage(frame.data(), column, row);
    glFinish();
}

// The back buffer as BGRA, rows top to bottom like a frame.
std::vector<unsigned char> readWindow()
{
    const int w = dispWindowWidth;
    const int h = dispWindowHeight;
    std::vector<unsigned char> bottomUp(static_cast<size_t>(w) * h * 4);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, w, h, GL_BGRA, GL_UNSIGNED_BYTE, bottomUp.data());
    std::vector<unsigned char> topDown(bottomUp.size());
    for (int y = 0; y < h; y++) {
        std::copy_n(&bottomUp[static_cast<size_t>(h - 1 - y) * w * 4], w * 4,
                    &topDown[static_cast<size_t>(y) * w * 4]);
    }
    return topDown;
}

// Counts window pixels (top-down) that differ from the frame in blue, green or red
// and describes the first one.
int countMismatches(const std::vector<unsigned char>& window,
                    const std::vector<unsigned char>& frame, int width, int height,
                    std::string* first)
{
    int wrong = 0;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            const unsigned char* a = &window[(static_cast<size_t>(y) * dispWindowWidth + x) * 4];
            const unsigned char* b = &frame[(static_cast<size_t>(y) * width + x) * 4];
            if (a[0] == b[0] && a[1] == b[1] && a[2] == b[2]) continue;
            if (wrong++ == 0) {
                *first = "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") shows " +
                         std::to_string(a[0]) + "," + std::to_string(a[1]) + "," +
                         std::to_string(a[2]) + " for " + std::to_string(b[0]) + "," +
                         std::to_string(b[1]) + "," + std::to_string(b[2]);
            }
        }
    }
    return wrong;
}

#define EXPECT_SHOWS_FRAME(frame, width, height)                                                   \
    do {                                                                                           \
        std::string mismatch;                                                                      \
        const int wrong = countMismatches(readWindow(), frame, width, height, &mismatch);          \
        EXPECT_EQ(wrong, 0) << width << "x" << height << ": " << mismatch;                         \
    } while (0)

// ---- Background without distortion ------------------------------------------------

// With f = 0 and s = 1 the frame appears pixel for pixel, row 0 at the top; a second
// frame replaces the pixels through the cached grid, which is not rebuilt even when
// the distortion it was built for changes.
void checkUndistorted(int width, int height)
{
    const double none[4] = {width / 2.0, height / 2.0, 0.0, 1.0};
    openWindow(simpleCamera(width, height, none));
    ASSERT_EQ(dispWindowWidth, width);
    ASSERT_EQ(dispWindowHeight, height);

    const std::vector<unsigned char> first = makeFrame(width, height, 1);
    drawBackground(first);
    EXPECT_SHOWS_FRAME(first, width, height);

    const bool wide = width > 512;
    const DispGridSlot grid = wide ? dispGridWide[0] : dispGridNarrow[0];
    EXPECT_EQ(grid.needsBuilding, 0);
    dispCameraParam.distortion[2] = 400.0;  // would bend a rebuilt grid visibly
    const std::vector<unsigned char> second = makeFrame(width, height, 2);
    drawBackground(second);
    EXPECT_SHOWS_FRAME(second, width, height);
    const DispGridSlot again = wide ? dispGridWide[0] : dispGridNarrow[0];
    EXPECT_EQ(again.listBase, grid.listBase);
}

TEST(DisplayBackground, SingleTextureShowsFramePixelForPixel)
{
    checkUndistorted(320, 240);
    EXPECT_EQ(dispTexWidthLeft, 512);
    EXPECT_EQ(dispTexWidthRight, 1);
    EXPECT_EQ(dispTexHeight, 256);
    EXPECT_EQ(dispTexDefinedNarrow, 1);
    EXPECT_EQ(dispTexDefinedWide, 0);
}

TEST(DisplayBackground, TwoTexturesShowFramePixelForPixel)
{
    checkUndistorted(640, 480);
    EXPECT_EQ(dispTexWidthLeft, 512);
    EXPECT_EQ(dispTexWidthRight, 128);
    EXPECT_EQ(dispTexHeight, 512);
    EXPECT_EQ(dispTexDefinedWide, 1);
}

// Pixel copy ignores the distortion: the captured frame as it is, in both sizes.
TEST(DisplayBackground, PixelCopyShowsFramePixelForPixel)
{
    const double strong[4] = {150.0, 100.0, 300.0, 1.0};
    for (int width : {320, 640}) {
        const int height = width * 3 / 4;
        openWindow(simpleCamera(width, height, strong));
        dispDrawMode = 0;
        const std::vector<unsigned char> frame = makeFrame(width, height, 3);
        drawBackground(frame);
        dispDrawMode = 1;
        EXPECT_SHOWS_FRAME(frame, width, height);
        EXPECT_EQ(dispStagingNarrow, nullptr) << "pixel copy needs no staging";
        EXPECT_EQ(dispStagingWide, nullptr);
    }
}

// ---- Background with distortion ------------------------------------------------------

// A single marked pixel appears where camObservToIdeal puts its centre (to within
// the grid's piecewise-linear approximation), well away from where it was captured.
void checkMarkedPixel(int width, int height, const double distortion[4], int u, int v)
{
    openWindow(simpleCamera(width, height, distortion));
    std::vector<unsigned char> frame(static_cast<size_t>(width) * height * 4, 0);
    unsigned char* mark = &frame[(static_cast<size_t>(v) * width + u) * 4];
    mark[0] = 40;
    mark[1] = 220;
    mark[2] = 250;
    drawBackground(frame);
    const std::vector<unsigned char> window = readWindow();

    double ix = 0.0;
    double iy = 0.0;
    camObservToIdeal(distortion, u + 0.5, v + 0.5, &ix, &iy);
    ASSERT_TRUE(ix > 1 && ix < width - 1 && iy > 1 && iy < height - 1)
        << "test mark (" << u << ", " << v << ") leaves the window: " << ix << ", " << iy;
    double sumX = 0.0;
    double sumY = 0.0;
    int count = 0;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            const unsigned char* p = &window[(static_cast<size_t>(y) * width + x) * 4];
            if (p[0] == 40 && p[1] == 220 && p[2] == 250) {
                sumX += x + 0.5;
                sumY += y + 0.5;
                count++;
            }
        }
    }
    ASSERT_GT(count, 0) << "mark (" << u << ", " << v << ") not shown";
    EXPECT_LT(count, 6) << "mark spread over too many pixels";
    const double cx = sumX / count;
    const double cy = sumY / count;
    EXPECT_NEAR(cx, ix, 1.0) << width << "x" << height << " mark (" << u << ", " << v << ")";
    EXPECT_NEAR(cy, iy, 1.0) << width << "x" << height << " mark (" << u << ", " << v << ")";
    EXPECT_GT(std::hypot(ix - (u + 0.5), iy - (v + 0.5)), 4.0) << "test distortion too weak";
}

TEST(DisplayBackground, DistortedMarkAppearsAtItsIdealPosition)
{
    const double narrow[4] = {150.0, 110.0, 300.0, 1.0};
    checkMarkedPixel(320, 240, narrow, 290, 205);
    checkMarkedPixel(320, 240, narrow, 20, 30);
    const double wide[4] = {318.0, 242.0, 100.0, 0.98};
    checkMarkedPixel(640, 480, wide, 560, 390);  // right texture
    checkMarkedPixel(640, 480, wide, 530, 100);
    checkMarkedPixel(640, 480, wide, 60, 50);  // left texture
}

// ---- Sub-views -------------------------------------------------------------------

// A sub-view shows the frame at half zoom inside its own rectangle, which is also the
// viewport of 3D drawing in that view. The frame has 2x2 blocks so each window pixel
// falls well inside one block.
TEST(DisplayBackground, SubViewShowsHalfSizeFrameInItsRectangle)
{
    support::glInitOnce("test_display");
    const double none[4] = {160.0, 120.0, 0.0, 1.0};
    const CameraParam camera = simpleCamera(320, 240, none);
    dispInit(&camera, 1.0, 0, 2, 1, 0);
    settleWindow();
    ASSERT_EQ(dispWindowWidth, 320);
    ASSERT_EQ(dispWindowHeight, 360);

    const std::vector<unsigned char> frame = makeFrame(320, 240, 4, 2);
    drawBackground(frame, 2, 1);
    const std::vector<unsigned char> window = readWindow();
    int wrong = 0;
    int stray = 0;
    for (int y = 0; y < 360; y++) {
        for (int x = 0; x < 320; x++) {
            const unsigned char* p = &window[(static_cast<size_t>(y) * 320 + x) * 4];
            if (x >= 160 && y >= 240) {
                const Bgr c = pixelColour(x - 160, y - 240, 4);
                if (p[0] != c.b || p[1] != c.g || p[2] != c.r) wrong++;
            } else if (p[0] != 0 || p[1] != 0 || p[2] != 0) {
                stray++;
            }
        }
    }
    EXPECT_EQ(wrong, 0) << "sub-view (2, 1) content";
    EXPECT_EQ(stray, 0) << "pixels drawn outside sub-view (2, 1)";
    EXPECT_EQ(dispGridNarrow[0].needsBuilding, 1) << "main view untouched";

    dispDraw3DCamera(2, 1);
    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[0], 160);
    EXPECT_EQ(viewport[1], 0);
    EXPECT_EQ(viewport[2], 160);
    EXPECT_EQ(viewport[3], 120);
}

// ---- Projection ------------------------------------------------------------------

// The identity example, by hand: with T = I the result is p itself.
TEST(DisplayProjection, IdentityCameraGivesTheIntrinsicProjection)
{
    const double f = 800.0;
    const double cx = 300.0;
    const double cy = 250.0;
    const double camera[3][4] = {{f, 0, cx, 0}, {0, f, cy, 0}, {0, 0, 1, 0}};
    double m[16];
    dispConvGLProjection(camera, 640, 480, 50.0, 5000.0, m);
    const double expected[16] = {2 * f / 640,
                                 0,
                                 0,
                                 0,
                                 0,
                                 2 * f / 480,
                                 0,
                                 0,
                                 2 * cx / 640 - 1,
                                 2 * cy / 480 - 1,
                                 5050.0 / 4950.0,
                                 1,
                                 0,
                                 0,
                                 -2 * 50.0 * 5000.0 / 4950.0,
                                 0};
    for (int i = 0; i < 16; i++) EXPECT_NEAR(m[i], expected[i], 1e-12) << "element " << i;
    // Depth: camera z 50 to -1, 5000 to +1.
    for (double z : {50.0, 5000.0}) {
        const double clipZ = m[10] * z + m[14];
        const double clipW = m[11] * z + m[15];
        EXPECT_NEAR(clipZ / clipW, z == 50.0 ? -1.0 : 1.0, 1e-12) << "z " << z;
    }
}

// Rotation about an axis by an angle, as 3x3 row-major.
void rotation(double ax, double ay, double az, double angle, double r[3][3])
{
    const double n = std::sqrt(ax * ax + ay * ay + az * az);
    const double x = ax / n, y = ay / n, z = az / n;
    const double c = std::cos(angle), s = std::sin(angle), t = 1 - c;
    const double m[3][3] = {{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
                            {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
                            {t * x * z - s * y, t * y * z + s * x, t * z * z + c}};
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) r[i][j] = m[i][j];
    }
}

// Points given in marker coordinates, drawn through the marker matrix and the camera
// projection, land where the camera matrix (scaled, with skew and a rotation of its
// own) puts them: window x = u, y = (height - 1) - v, checked both in the feedback
// positions and on the pixel that lights up; depth maps through the near and far
// planes.
TEST(DisplayProjection, PointsLandWhereTheCameraMatrixPredicts)
{
    const int width = 640;
    const int height = 480;
    const double k[3][3] = {{710.0, 0.7, 305.3}, {0.0, 695.0, 251.9}, {0.0, 0.0, 1.0}};
    double r[3][3];
    rotation(0.2, -0.4, 1.0, 0.15, r);
    const double t[3] = {12.0, -7.5, 20.0};
    CameraParam camera = {};
    camera.width = width;
    camera.height = height;
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 4; j++) {
            double sum = 0.0;
            for (int l = 0; l < 3; l++) sum += k[i][l] * (j < 3 ? r[l][j] : t[l]);
            camera.projection[i][j] = 2.5 * sum;  // the matrix may carry a scale
        }
    }
    const double none[4] = {320.0, 240.0, 0.0, 1.0};
    for (int i = 0; i < 4; i++) camera.distortion[i] = none[i];
    openWindow(camera);

    double marker[3][4];
    double rm[3][3];
    rotation(1.0, 0.3, -0.2, 0.6, rm);
    const double tm[3] = {-30.0, 25.0, 600.0};
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) marker[i][j] = rm[i][j];
        marker[i][3] = tm[i];
    }
    const double points[][3] = {
        {0, 0, 0}, {40.3, -31.7, 0}, {-55.1, 62.2, 20.4}, {90.6, 70.1, -35.0}};

    double gl[16];
    dispConvGLMatrix(marker, gl);
    for (const auto& pt : points) {
        // Prediction: camera matrix times the marker transformation times the point.
        double c[3];
        for (int i = 0; i < 3; i++) {
            c[i] =
                marker[i][0] * pt[0] + marker[i][1] * pt[1] + marker[i][2] * pt[2] + marker[i][3];
        }
        double img[3];
        for (int i = 0; i < 3; i++) {
            img[i] = camera.projection[i][0] * c[0] + camera.projection[i][1] * c[1] +
                     camera.projection[i][2] * c[2] + camera.projection[i][3];
        }
        const double u = img[0] / img[2];
        const double v = img[1] / img[2];
        const double depth = img[2] / (2.5 * k[2][2]);  // row 2 of K R is a unit vector
        const double ndcZ = 5050.0 / 4950.0 - 2.0 * 50.0 * 5000.0 / (4950.0 * depth);

        glDrawBuffer(GL_BACK);
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT);
        dispDrawMode3D();
        dispDraw3DCamera(0, 0);
        glMatrixMode(GL_MODELVIEW);
        glLoadMatrixd(gl);
        GLfloat feedback[8];
        glFeedbackBuffer(8, GL_3D, feedback);
        glRenderMode(GL_FEEDBACK);
        glBegin(GL_POINTS);
        glVertex3dv(pt);
        glEnd();
        ASSERT_EQ(glRenderMode(GL_RENDER), 4) << "point clipped";
        EXPECT_NEAR(feedback[1], u, 2e-3) << "point " << pt[0] << "," << pt[1] << "," << pt[2];
        EXPECT_NEAR(feedback[2], (height - 1) - v, 2e-3) << "point " << pt[0] << "," << pt[1];
        EXPECT_NEAR(feedback[3], (ndcZ + 1.0) / 2.0, 1e-5) << "depth of " << pt[0] << "," << pt[1];

        glColor3f(1, 1, 1);
        glPointSize(1.0f);
        glBegin(GL_POINTS);
        glVertex3dv(pt);
        glEnd();
        glFinish();
        const std::vector<unsigned char> window = readWindow();
        int lit = 0;
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                if (window[(static_cast<size_t>(y) * width + x) * 4 + 1] == 0) continue;
                lit++;
                // Top-down row y is window row height - 1 - y.
                EXPECT_LE(std::fabs(x + 0.5 - u), 0.5 + 1e-3) << "x " << x << " u " << u;
                EXPECT_LE(std::fabs(height - 1 - y + 0.5 - ((height - 1) - v)), 0.5 + 1e-3)
                    << "row " << y << " v " << v;
            }
        }
        EXPECT_EQ(lit, 1) << "point " << pt[0] << "," << pt[1] << "," << pt[2];
    }
}

// ---- Window layout -----------------------------------------------------------------

struct Layout {
    int width, height;
    double zoom;
    int fullScreen, columns, rows, interlaced;
    int mainW, mainH, subW, subH, subColumns, subRows, windowW, windowH;
};

TEST(DisplayWindow, LayoutFollowsZoomSubViewsAndInterlacing)
{
    const Layout cases[] = {
        {640, 480, 1.0, 0, 0, 0, 0, 640, 480, 320, 240, 0, 0, 640, 480},
        {320, 240, 1.0, 0, 0, 0, 0, 320, 240, 160, 120, 0, 0, 320, 240},
        {321, 241, 1.5, 0, 0, 0, 0, 481, 361, 240, 180, 0, 0, 481, 361},
        {321, 241, 1.5, 0, 3, 4, 0, 481, 361, 240, 180, 3, 2, 720, 721},
        {160, 120, 1.5, 0, 9, 1, 0, 240, 180, 120, 90, 8, 1, 960, 270},
        {160, 120, 1.0, 0, 2, 4, 0, 160, 120, 80, 60, 2, 4, 160, 360},
        {160, 120, 1.0, 0, 0, 0, 1, 640, 480, 80, 60, 0, 0, 640, 480},
        {160, 120, 1.0, 0, -2, 3, 0, 160, 120, 80, 60, 0, 3, 160, 300},
    };
    const double none[4] = {0.0, 0.0, 0.0, 1.0};
    support::glInitOnce("test_display");
    for (const Layout& c : cases) {
        const CameraParam camera = simpleCamera(c.width, c.height, none);
        dispInit(&camera, c.zoom, c.fullScreen, c.columns, c.rows, c.interlaced);
        const std::string name = std::to_string(c.width) + "x" + std::to_string(c.height) +
                                 " zoom " + std::to_string(c.zoom) + " sub " +
                                 std::to_string(c.columns) + "x" + std::to_string(c.rows) +
                                 " interlaced " + std::to_string(c.interlaced);
        EXPECT_EQ(dispMainWidth, c.mainW) << name;
        EXPECT_EQ(dispMainHeight, c.mainH) << name;
        EXPECT_EQ(dispSubWidth, c.subW) << name;
        EXPECT_EQ(dispSubHeight, c.subH) << name;
        EXPECT_EQ(dispSubColumns, c.subColumns) << name;
        EXPECT_EQ(dispSubRows, c.subRows) << name;
        EXPECT_EQ(dispWindowWidth, c.windowW) << name;
        EXPECT_EQ(dispWindowHeight, c.windowH) << name;
        EXPECT_EQ(glutGet(GLUT_INIT_WINDOW_WIDTH), c.windowW) << name;
        EXPECT_EQ(glutGet(GLUT_INIT_WINDOW_HEIGHT), c.windowH) << name;
        glutDestroyWindow(glutGetWindow());
    }

    // Full screen: the window takes the screen, the main view keeps its size.
    const CameraParam camera = simpleCamera(320, 240, none);
    dispInit(&camera, 1.0, 1, 0, 0, 0);
    EXPECT_EQ(dispWindowWidth, glutGet(GLUT_SCREEN_WIDTH));
    EXPECT_EQ(dispWindowHeight, glutGet(GLUT_SCREEN_HEIGHT));
    EXPECT_EQ(dispMainWidth, 320);
    EXPECT_EQ(dispMainHeight, 240);
}

// ---- Main loop start-up -------------------------------------------------------------

// The child process below runs the main loop; its exit status tells the parent what
// it saw. The window starts red so that black proves the start-up clear.
constexpr const char* kChildVariable = "TARLIM_TEST_DISPLAY_MAINLOOP";
std::chrono::steady_clock::time_point childStart;
int childCalls = 0;

bool bufferIsBlack(GLenum buffer)
{
    std::vector<unsigned char> pixels(static_cast<size_t>(dispWindowWidth) * dispWindowHeight * 4);
    glReadBuffer(buffer);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, dispWindowWidth, dispWindowHeight, GL_BGRA, GL_UNSIGNED_BYTE, pixels.data());
    for (size_t i = 0; i < pixels.size(); i += 4) {
        if (pixels[i] != 0 || pixels[i + 1] != 0 || pixels[i + 2] != 0) return false;
    }
    return true;
}

void childFrame()
{
    if (childCalls++ == 0) {
        const double waited =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - childStart).count();
        if (waited < 0.5) std::_Exit(2);
        if (!bufferIsBlack(GL_FRONT) || !bufferIsBlack(GL_BACK)) std::_Exit(3);
        return;
    }
    // Called again without any redisplay request: it is the idle function too.
    if (childCalls == 5) std::_Exit(0);
}

void childKey(unsigned char, int, int) {}

[[maybe_unused]] const bool childRan = [] {
    if (std::getenv(kChildVariable) == nullptr) return false;
    support::glInitOnce("test_display");
    const double none[4] = {80.0, 60.0, 0.0, 1.0};
    const CameraParam camera = simpleCamera(160, 120, none);
    dispInit(&camera, 1.0, 0, 0, 0, 0);
    for (int i = 0; i < 2; i++) {
        glClearColor(1, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT);
        glutSwapBuffers();
    }
    childStart = std::chrono::steady_clock::now();
    dispMainLoop(nullptr, childKey, childFrame);
    std::_Exit(4);  // the main loop never returns
}();

TEST(DisplayMainLoop, FrameFunctionRunsOnlyAfterPauseOnBlackBuffers)
{
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv(kChildVariable, "1", 1);
        execl("/proc/self/exe", "test_display", "--gtest_list_tests", static_cast<char*>(nullptr));
        std::_Exit(5);
    }
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 1000 && done == 0; i++) {
        done = waitpid(pid, &status, WNOHANG);
        if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "main loop child did not finish in 10 s";
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "2: frame function before the 500 ms pause, 3: buffers not black, "
           "4: main loop returned, 5: exec failed";
}

}  // namespace
