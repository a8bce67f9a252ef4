// Background video image: the frame drawn undistorted as a textured grid whose
// corners are moved by the inverse lens distortion, or copied pixel for pixel.
#include "display/display.h"

#include <GL/gl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

unsigned char* dispStagingNarrow = nullptr;
unsigned char* dispStagingWide = nullptr;
DispGridSlot dispGridNarrow[kDispViewSlots] = {{0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1},
                                               {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}};
DispGridSlot dispGridWide[kDispViewSlots] = {{0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1},
                                             {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}};
int dispTexDefinedNarrow = 0;
int dispTexDefinedWide = 0;

namespace {

// Frames wider than this are split: the left texture carries columns 0 to 511.
constexpr int kDispSplitColumn = 512;
// Grid resolution. 20 rows everywhere; the narrow grid has 20 columns, the wide
// grid 16 over the left texture (32 pixels each) and 4 over the right one.
constexpr int kDispGridRows = 20;
constexpr int kDispNarrowColumns = 20;
constexpr int kDispWideLeftColumns = 16;
constexpr int kDispWideRightColumns = 4;

// Where a view sits in the window: image (u, v) goes to (left + scale u, top - scale v).
struct DispView {
    double left;
    double top;
    double scale;
    int scissor[4];  // x, y, w, h in window pixels
    int slot;        // index into the grid caches
};

// Returns 0 and fills *view, or -1 for a view that does not exist in the layout.
int dispGetView(int column, int row, DispView* view)
{
    if (column == 0 && row == 0) {
        const int w = static_cast<int>(dispImageWidth * dispZoom);
        const int h = static_cast<int>(dispImageHeight * dispZoom);
        *view = DispView{0.0,
                         static_cast<double>(dispWindowHeight),
                         dispZoom,
                         {0, dispWindowHeight - h, w, h},
                         0};
        return 0;
    }
    if (column < 1 || column > dispSubColumns || row < 1 || row > dispSubRows) return -1;
    const int x = (column - 1) * dispSubWidth;
    *view = DispView{
        static_cast<double>(x),
        static_cast<double>(dispWindowHeight - (row - 1) * dispSubHeight - dispMainHeight),
        dispZoom * 0.5,
        {x, dispWindowHeight - row * dispSubHeight - dispMainHeight, dispSubWidth, dispSubHeight},
        (row - 1) * dispSubColumns + column + 1};
    return 0;
}

// Pixel copy: no undistortion, the frame as captured.
void dispCopyPixels(const unsigned char* frame, const DispView& view)
{
    glDisable(GL_TEXTURE_2D);
    glPixelZoom(static_cast<GLfloat>(view.scale), static_cast<GLfloat>(-view.scale));
    glRasterPos3f(static_cast<GLfloat>(view.left), static_cast<GLfloat>(view.top - 0.5), -1.0f);
    glDrawPixels(dispImageWidth, dispImageHeight, GL_BGRA, GL_UNSIGNED_BYTE, frame);
}

// Allocates the staging buffer on first use and copies the frame into it. The
// slack of one texture row at the end keeps the uploads, which read whole texture
// rows of dispTexHeight rows, inside the buffer.
unsigned char* dispStage(unsigned char** staging, const unsigned char* frame)
{
    const size_t rowBytes = static_cast<size_t>(dispImageWidth) * 4;
    if (*staging == nullptr) {
        const size_t bytes = static_cast<size_t>(dispTexHeight) * rowBytes +
                             static_cast<size_t>(dispTexWidthLeft + dispTexWidthRight) * 4;
        *staging = static_cast<unsigned char*>(std::calloc(bytes, 1));
        if (*staging == nullptr) {
            std::printf("malloc error!!\n");
            std::exit(1);
        }
    }
    std::memcpy(*staging, frame, static_cast<size_t>(dispImageHeight) * rowBytes);

    glEnable(GL_TEXTURE_2D);
    glMatrixMode(GL_TEXTURE);
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    // Each texture row is read from one frame row.
    glPixelStorei(GL_UNPACK_ROW_LENGTH, dispImageWidth);
    return *staging;
}

// Uploads texture `name` of width `texWidth` from staging column `firstColumn`:
// the first time defines the storage (RGB: the fourth byte is dropped).
void dispUpload(GLuint name, int texWidth, const unsigned char* staging, int firstColumn,
                int defined)
{
    const unsigned char* pixels = staging + static_cast<size_t>(firstColumn) * 4;
    glBindTexture(GL_TEXTURE_2D, name);
    if (!defined) {
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, texWidth, dispTexHeight, 0, GL_BGRA,
                     GL_UNSIGNED_BYTE, pixels);
    } else {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, texWidth, dispTexHeight, GL_BGRA, GL_UNSIGNED_BYTE,
                        pixels);
    }
}

void dispFinishTextured()
{
    glBindTexture(GL_TEXTURE_2D, 0);
    glDisable(GL_TEXTURE_2D);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
}

// One grid cell between observed image positions (xa, ya) and (xb, yb) with
// texture coordinates (sa, ta) to (sb, tb), its corners moved to their ideal
// positions. With `cull` set, a cell folded over by the distortion model or lying
// wholly beyond one border of the image is left out.
void dispEmitCell(const DispView& view, double xa, double xb, double ya, double yb, double sa,
                  double sb, double ta, double tb, bool cull)
{
    const double* dist = dispCameraParam.distortion;
    double x[4];
    double y[4];  // TL, TR, BR, BL
    camObservToIdeal(dist, xa, ya, &x[0], &y[0]);
    camObservToIdeal(dist, xb, ya, &x[1], &y[1]);
    camObservToIdeal(dist, xb, yb, &x[2], &y[2]);
    camObservToIdeal(dist, xa, yb, &x[3], &y[3]);

    if (cull) {
        // Kept only when every test holds, so a corner the lens model cannot place
        // (not a number) drops its cell rather than drawing it anywhere.
        const double w = dispImageWidth;
        const double h = dispImageHeight;
        const bool unfolded = x[1] >= x[0] && x[3] <= x[2] && y[3] >= y[0] && y[2] >= y[1];
        const bool inside = x[1] >= 0 && x[2] >= 0 && x[0] <= w && x[3] <= w && y[3] >= 0 &&
                            y[2] >= 0 && y[0] <= h && y[1] <= h;
        if (!unfolded || !inside) return;
    }

    const double s[4] = {sa, sb, sb, sa};
    const double t[4] = {ta, ta, tb, tb};
    glBegin(GL_QUADS);
    for (int k = 0; k < 4; k++) {
        glTexCoord2d(s[k], t[k]);
        glVertex3d(view.left + view.scale * x[k], view.top - view.scale * y[k], -1.0);
    }
    glEnd();
}

// Grid row j spans image rows y(j-1) to y(j) and texture t(j-1) to t(j).
double dispGridY(int j)
{
    return (dispImageHeight * j) * 0.05;
}
double dispGridT(int j)
{
    return static_cast<double>(dispImageHeight) / dispTexHeight * j * 0.05;
}

void dispEmitNarrowCells(const DispView& view)
{
    const double sStep = static_cast<double>(dispImageWidth) / dispTexWidthLeft;
    for (int j = 1; j <= kDispGridRows; j++) {
        for (int i = 1; i <= kDispNarrowColumns; i++) {
            dispEmitCell(view, (dispImageWidth * (i - 1)) * 0.05, (dispImageWidth * i) * 0.05,
                         dispGridY(j - 1), dispGridY(j), sStep * (i - 1) * 0.05, sStep * i * 0.05,
                         dispGridT(j - 1), dispGridT(j), false);
        }
    }
}

void dispEmitWideLeftCells(const DispView& view)
{
    for (int j = 1; j <= kDispGridRows; j++) {
        for (int i = 1; i <= kDispWideLeftColumns; i++) {
            dispEmitCell(view, (dispTexWidthLeft * (i - 1)) * 0.0625,
                         (dispTexWidthLeft * i) * 0.0625, dispGridY(j - 1), dispGridY(j),
                         (i - 1) * 0.0625, i * 0.0625, dispGridT(j - 1), dispGridT(j), true);
        }
    }
}

void dispEmitWideRightCells(const DispView& view)
{
    const int rest = dispImageWidth - kDispSplitColumn;
    const double sStep = static_cast<double>(rest) / dispTexWidthRight;
    for (int j = 1; j <= kDispGridRows; j++) {
        for (int i = 1; i <= kDispWideRightColumns; i++) {
            dispEmitCell(view, kDispSplitColumn + (rest * (i - 1)) * 0.25,
                         kDispSplitColumn + (rest * i) * 0.25, dispGridY(j - 1), dispGridY(j),
                         sStep * (i - 1) * 0.25, sStep * i * 0.25, dispGridT(j - 1), dispGridT(j),
                         true);
        }
    }
}

// Frames up to 512 wide: one texture, one cached list per view.
void dispDrawNarrow(const unsigned char* frame, const DispView& view)
{
    const unsigned char* staging = dispStage(&dispStagingNarrow, frame);
    dispUpload(dispTexture[0], dispTexWidthLeft, staging, 0, dispTexDefinedNarrow);
    dispTexDefinedNarrow = 1;

    DispGridSlot& grid = dispGridNarrow[view.slot];
    if (grid.needsBuilding) {
        grid.listBase = glGenLists(1);
        glNewList(grid.listBase, GL_COMPILE_AND_EXECUTE);
        dispEmitNarrowCells(view);
        glEndList();
        grid.needsBuilding = 0;
    } else {
        glCallList(grid.listBase);
    }
    dispFinishTextured();
}

// Wider frames: columns 0 to 511 in the left texture, the rest in the right one,
// each with its own cached list.
void dispDrawWide(const unsigned char* frame, const DispView& view)
{
    const unsigned char* staging = dispStage(&dispStagingWide, frame);
    DispGridSlot& grid = dispGridWide[view.slot];

    dispUpload(dispTexture[0], dispTexWidthLeft, staging, 0, dispTexDefinedWide);
    if (grid.needsBuilding) {
        grid.listBase = glGenLists(2);
        glNewList(grid.listBase, GL_COMPILE_AND_EXECUTE);
        dispEmitWideLeftCells(view);
        glEndList();
    } else {
        glCallList(grid.listBase);
    }

    dispUpload(dispTexture[1], dispTexWidthRight, staging, kDispSplitColumn, dispTexDefinedWide);
    dispTexDefinedWide = 1;
    if (grid.needsBuilding) {
        glNewList(grid.listBase + 1, GL_COMPILE_AND_EXECUTE);
        dispEmitWideRightCells(view);
        glEndList();
        grid.needsBuilding = 0;
    } else {
        glCallList(grid.listBase + 1);
    }
    dispFinishTextured();
}

}  // namespace

void dispImage(const unsigned char* frame, int column, int row)
{
    DispView view;
    if (dispGetView(column, row, &view) < 0) return;  // no such view: nothing to draw

    if (dispDrawMode == 0) {
        dispCopyPixels(frame, view);
        return;
    }
    glScissor(view.scissor[0], view.scissor[1], view.scissor[2], view.scissor[3]);
    glEnable(GL_SCISSOR_TEST);
    if (dispImageWidth <= dispTexWidthLeft) {
        dispDrawNarrow(frame, view);
    } else {
        dispDrawWide(frame, view);
    }
    glDisable(GL_SCISSOR_TEST);
}
