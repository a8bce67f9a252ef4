// The window, its layout and the toolkit's main loop with the start-up callback.
#include "display/display.h"

#include <GL/gl.h>
#include <GL/glut.h>

#include <cstdio>
#include <cstdlib>

#include "util/util.h"

static_assert(sizeof(GLuint) == sizeof(unsigned int), "texture names are GLuints");

double dispZoom = 1.0;
int dispImageWidth = 0;
int dispImageHeight = 0;
int dispMainWidth = 0;
int dispMainHeight = 0;
int dispSubWidth = 0;
int dispSubHeight = 0;
int dispSubColumns = 0;
int dispSubRows = 0;
int dispWindowWidth = 0;
int dispWindowHeight = 0;
int dispInterlaced = 0;
CameraParam dispCameraParam = {};
double dispProjectionMatrix[16] = {};
int dispDrawMode = 1;
unsigned int dispTexture[2] = {0, 0};
int dispTexWidthLeft = 1;
int dispTexWidthRight = 1;
int dispTexHeight = 1;
DispMouseFunc dispMouseFunc = nullptr;
DispKeyboardFunc dispKeyboardFunc = nullptr;
DispMainFunc dispMainFunc = nullptr;
DispSpecialFunc dispSpecialFunc = nullptr;

namespace {

// Near and far planes of the 3D projection, in the unit of the marker widths.
constexpr double kDispNear = 50.0;
constexpr double kDispFar = 5000.0;
// Textures are power-of-two sized and at most this wide; wider frames use two.
constexpr int kDispMaxTexWidth = 512;
constexpr int kDispStartupPauseMs = 500;

// Smallest power of two that is at least n (1 for n <= 1).
int dispPowerOfTwo(int n)
{
    int p = 1;
    while (p < n) p *= 2;
    return p;
}

// The background of a previous window belongs to another graphics context: start
// the staging buffers, grid caches and texture storage afresh.
void dispResetBackground()
{
    std::free(dispStagingNarrow);
    std::free(dispStagingWide);
    dispStagingNarrow = nullptr;
    dispStagingWide = nullptr;
    for (int i = 0; i < kDispViewSlots; i++) {
        dispGridNarrow[i] = DispGridSlot{0, 1};
        dispGridWide[i] = DispGridSlot{0, 1};
    }
    dispTexDefinedNarrow = 0;
    dispTexDefinedWide = 0;
}

// Draws one horizontal line per main-view row of the given parity, from the top of
// the main view down, writing `mark` into the stencil buffer.
void dispMarkRows(int firstRow, int mark)
{
    glStencilFunc(GL_ALWAYS, mark, mark);
    glStencilOp(GL_REPLACE, GL_REPLACE, GL_REPLACE);
    glBegin(GL_LINES);
    for (int i = firstRow; i < dispMainHeight; i += 2) {
        const double y = dispWindowHeight - dispMainHeight + i;
        glVertex2d(0.0, y);
        glVertex2d(dispWindowWidth, y);
    }
    glEnd();
}

// Even rows of the main view get stencil value 1, odd rows 2, so an interlaced
// display can draw each field through its own stencil test.
void dispMarkInterlaced()
{
    glEnable(GL_STENCIL_TEST);
    glClearStencil(0);
    glClear(GL_STENCIL_BUFFER_BIT);
    glLineWidth(1.0f);
    dispMarkRows(0, 1);
    dispMarkRows(1, 2);
    glStencilFunc(GL_ALWAYS, 0, 0);
    glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
    glDisable(GL_STENCIL_TEST);
}

// Runs on the first display event: lets the window settle, starts both buffers
// black, and only then hands the window to the application.
void dispStartupDisplay()
{
    utilSleep(kDispStartupPauseMs);
    dispDrawMode2D();
    if (dispInterlaced) {
        glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
        glClear(GL_COLOR_BUFFER_BIT);
        dispMarkInterlaced();
        glutSwapBuffers();
    }
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glutSwapBuffers();
    glClear(GL_COLOR_BUFFER_BIT);
    glutSwapBuffers();
    glutKeyboardFunc(dispKeyboardFunc);
    glutSpecialFunc(dispSpecialFunc);
    glutMouseFunc(dispMouseFunc);
    glutDisplayFunc(dispMainFunc);
    glutIdleFunc(dispMainFunc);
}

void dispSetupTexture(GLuint name)
{
    glBindTexture(GL_TEXTURE_2D, name);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP);
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP);
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    // Decal: the video texels replace the fragment colour unchanged.
    glTexEnvf(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_DECAL);
}

void dispOpenWindow(int fullScreen)
{
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH | GLUT_STENCIL);
    glutInitWindowPosition(0, 0);
    glutInitWindowSize(dispWindowWidth, dispWindowHeight);
    glutCreateWindow("");
    if (fullScreen) {
        // The main view keeps its size at the top left; the rest stays black.
        glutFullScreen();
        dispWindowWidth = glutGet(GLUT_SCREEN_WIDTH);
        dispWindowHeight = glutGet(GLUT_SCREEN_HEIGHT);
    }
    dispMouseFunc = nullptr;
    dispKeyboardFunc = nullptr;
    dispMainFunc = nullptr;

    GLuint names[2];
    glGenTextures(2, names);
    for (int i = 0; i < 2; i++) {
        dispTexture[i] = names[i];
        dispSetupTexture(names[i]);
    }

    if (dispImageWidth <= kDispMaxTexWidth) {
        dispTexWidthLeft = dispPowerOfTwo(dispImageWidth);
        dispTexWidthRight = 1;
    } else {
        dispTexWidthLeft = kDispMaxTexWidth;
        dispTexWidthRight = dispPowerOfTwo(dispImageWidth - kDispMaxTexWidth);
    }
    dispTexHeight = dispPowerOfTwo(dispImageHeight);
}

}  // namespace

void dispInit(const CameraParam* cparam, double zoom, int fullScreen, int subColumns, int subRows,
              int interlaced)
{
    const int width = cparam->width;
    const int height = cparam->height;
    dispZoom = zoom;
    dispImageWidth = width;
    dispImageHeight = height;
    dispInterlaced = interlaced;

    if (dispInterlaced) {
        dispMainWidth = 640;
        dispMainHeight = 480;
    } else {
        dispMainWidth = static_cast<int>(width * zoom);
        dispMainHeight = static_cast<int>(height * zoom);
    }
    dispSubWidth = static_cast<int>(width * zoom * 0.5);
    dispSubHeight = static_cast<int>(height * zoom * 0.5);

    // A negative count would give a negative window size: it means no sub-views.
    if (subColumns < 0) subColumns = 0;
    if (subRows < 0) subRows = 0;
    if (static_cast<long long>(subColumns) * subRows > kDispMaxSubViews) {
        if (subColumns > kDispMaxSubViews) subColumns = kDispMaxSubViews;
        subRows = kDispMaxSubViews / subColumns;
    }
    dispSubColumns = subColumns;
    dispSubRows = subRows;

    dispWindowWidth =
        dispSubWidth * subColumns > dispMainWidth ? dispSubWidth * subColumns : dispMainWidth;
    dispWindowHeight = dispMainHeight + dispSubHeight * subRows;

    // Window y points up, image y down: row 1 becomes (height - 1) * row 2 - row 1.
    dispCameraParam = *cparam;
    for (int j = 0; j < 4; j++) {
        dispCameraParam.projection[1][j] =
            (height - 1) * cparam->projection[2][j] - cparam->projection[1][j];
    }
    if (dispConvGLProjection(dispCameraParam.projection, width, height, kDispNear, kDispFar,
                             dispProjectionMatrix) < 0) {
        // Nothing can be drawn in place without the projection: a failed start.
        std::printf("dispConvGLProjection: Parameter error!!\n");
        std::exit(1);
    }

    dispResetBackground();
    dispOpenWindow(fullScreen);
}

void dispMainLoop(DispMouseFunc mouseFunc, DispKeyboardFunc keyboardFunc, DispMainFunc mainFunc)
{
    dispMouseFunc = mouseFunc;
    dispKeyboardFunc = keyboardFunc;
    dispMainFunc = mainFunc;
    glutDisplayFunc(dispStartupDisplay);
    glutMainLoop();
}

void dispSetSpecialFunc(DispSpecialFunc specialFunc)
{
    dispSpecialFunc = specialFunc;
}

void dispSwapBuffers()
{
    glutSwapBuffers();
}

void dispCleanup() {}
