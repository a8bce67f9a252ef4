// display: the one window, the camera projection for 3D drawing and the live video
// background, drawn undistorted so that it lines up with models drawn through the
// camera projection.
//
// Use: after the camera parameters have been rescaled and installed, dispInit opens a
// window for them; dispMainLoop hands the application's callbacks to the toolkit and
// never returns. Every frame: clear, dispDrawMode2D, dispImage(frame, 0, 0), then for
// 3D drawing dispDrawMode3D, dispDraw3DCamera(0, 0) and, per marker, the model-view
// matrix from dispConvGLMatrix; finally dispSwapBuffers.
//
// Coordinates: image x to the right, y downwards from the top-left pixel. Window
// coordinates (2D mode) have their origin at the bottom left, y upwards, one unit per
// window pixel. Graphics matrices are 16 doubles, column-major: element (row i,
// column j) at index 4*j + i. Sizes are in pixels; double-to-int conversions truncate.
//
// Frames: dispImageWidth x dispImageHeight pixels, 4 bytes each in the order blue,
// green, red, fourth byte (not shown), rows top to bottom without padding, as the
// video library delivers them. The caller owns them; the display only reads.
//
// Everything runs on the thread that calls dispInit. The state below is written by
// dispInit (and by the background drawing where stated); callers only read it.
// This header does not include OpenGL: texture and list names are GLuint-sized
// unsigned ints.
#pragma once

#include "camera/camera.h"

// ---- Display state ---------------------------------------------------------------

extern double dispZoom;     // image pixels to window pixels, > 0
extern int dispImageWidth;  // frame size from the camera record
extern int dispImageHeight;
extern int dispMainWidth;   // main view: 640 x 480 when interlaced, else
extern int dispMainHeight;  //   (int)(image size * zoom)
extern int dispSubWidth;    // one sub-view: (int)(image size * zoom * 0.5)
extern int dispSubHeight;
extern int dispSubColumns;   // sub-view grid below the main view,
extern int dispSubRows;      //   columns * rows <= kDispMaxSubViews
extern int dispWindowWidth;  // window size; the screen size in full screen
extern int dispWindowHeight;
extern int dispInterlaced;               // interlaced-display flag (0 or 1)
extern CameraParam dispCameraParam;      // copy of the camera record, projection row 1
                                         //   replaced by (height - 1) * row 2 - row 1 so
                                         //   image y (down) becomes window y (up)
extern double dispProjectionMatrix[16];  // camera projection for 3D drawing, near
                                         //   plane 50, far plane 5000 (marker units)
extern int dispDrawMode;                 // background: 1 texture mapping (initial), 0
                                         //   pixel copy
extern unsigned int dispTexture[2];      // background textures: left part (or the whole
                                         //   image) and right part
extern int dispTexWidthLeft;             // texture sizes in texels, powers of two, at
extern int dispTexWidthRight;            //   most 512 wide; each starts at 1
extern int dispTexHeight;

// Toolkit callbacks of the application, installed by the start-up display callback.
using DispMouseFunc = void (*)(int button, int state, int x, int y);
using DispKeyboardFunc = void (*)(unsigned char key, int x, int y);
using DispMainFunc = void (*)();
extern DispMouseFunc dispMouseFunc;
extern DispKeyboardFunc dispKeyboardFunc;
extern DispMainFunc dispMainFunc;
// Function and arrow keys (GLUT's special-key callback); none unless set with
// dispSetSpecialFunc before dispMainLoop. Installed with the keyboard function.
using DispSpecialFunc = void (*)(int key, int x, int y);
extern DispSpecialFunc dispSpecialFunc;

// The sub-view grid holds at most 8 views; with the main view that makes 9 view
// slots (0 main, (r - 1) * columns + c for sub-view (c, r)), kept in tables of 10.
constexpr int kDispMaxSubViews = 8;
constexpr int kDispViewSlots = 10;
static_assert(kDispViewSlots >= kDispMaxSubViews + 1, "a slot per view");

// Background grid cache of one view: the display list(s) and whether they still have
// to be built. The narrow grid (frames up to 512 wide) uses one list; the wide grid
// two consecutive lists starting at listBase.
struct DispGridSlot {
    unsigned int listBase;  // display list name (0 before it is built)
    int needsBuilding;      // 1 until the view's grid has been compiled
};

// Background state, written by dispImage: staging buffers of frame pixels (allocated
// zero-filled on first use of each path and kept), per-view grid caches and whether
// each path's texture storage has been defined.
extern unsigned char* dispStagingNarrow;
extern unsigned char* dispStagingWide;
extern DispGridSlot dispGridNarrow[kDispViewSlots];
extern DispGridSlot dispGridWide[kDispViewSlots];
extern int dispTexDefinedNarrow;
extern int dispTexDefinedWide;

// ---- Window ----------------------------------------------------------------------

// Opens the window for frames of cparam->width x cparam->height and fixes the layout:
// main view of the image size times `zoom` (640 x 480 if `interlaced`), below it a
// grid of subColumns x subRows half-zoom sub-views (limited to 8 views: columns to 8,
// rows to 8 / columns; negative counts mean none). `fullScreen` non-zero makes the
// window cover the screen (the main view stays at the top left). Builds
// dispCameraParam and dispProjectionMatrix, creates the background textures (nothing
// uploaded). glutInit must have run.
// Toolkit failures end the process (the toolkit reports them); a camera matrix that
// cannot be decomposed prints "dispConvGLProjection: Parameter error!!\n" on standard
// output and ends it with status 1. Meant to be called
// once; a second call opens another window and starts the background afresh: the
// staging buffers are freed, every grid is rebuilt and the texture storage defined
// again on its next frame, so a new frame size never outgrows what the first made.
void dispInit(const CameraParam* cparam, double zoom, int fullScreen, int subColumns, int subRows,
              int interlaced);

// Stores the callbacks (mouseFunc may be null: no mouse events) and runs the
// toolkit's main loop; does not return. The first display event waits 500 ms, clears
// both buffers to black, then installs keyboardFunc and mouseFunc, and mainFunc as
// both the display and the idle callback: mainFunc never runs before that.
void dispMainLoop(DispMouseFunc mouseFunc, DispKeyboardFunc keyboardFunc, DispMainFunc mainFunc);

// Sets the special-key function that the start-up display callback installs along
// with the keyboard function (null: special keys are ignored).
void dispSetSpecialFunc(DispSpecialFunc specialFunc);

// Shows the finished back buffer (glutSwapBuffers).
void dispSwapBuffers();

// Nothing to release: lists, textures and the window go with the process.
void dispCleanup();

// ---- Projection and drawing modes ----------------------------------------------------

// Graphics projection of the 3x4 camera matrix `cameraMatrix` for a width x height
// image: camera coordinates (x right, y as the matrix's image y, z forward) to
// normalised device coordinates, image column u to x = 2u/width - 1, depth `gnear`
// to -1 and `gfar` to +1, w = camera z. Writes 16 doubles (column-major) to `m`.
// Returns 0, or -1 (m untouched) when the matrix cannot be decomposed; nothing is
// printed.
int dispConvGLProjection(const double cameraMatrix[3][4], int width, int height, double gnear,
                         double gfar, double m[16]);

// 3x4 transformation [R | t] (row-major) to a column-major 4x4 graphics matrix with
// bottom row (0, 0, 0, 1); no scaling or axis change.
void dispConvGLMatrix(const double transform[3][4], double m[16]);

// Window-pixel drawing: identity model-view, glOrtho over the window (origin bottom
// left), full-window viewport, stencil test off. Leaves GL_PROJECTION selected.
void dispDrawMode2D();

// Selects GL_MODELVIEW and loads the identity.
void dispDrawMode3D();

// Viewport of view (column, row) ((0, 0) the main view, else sub-view (c, r) with
// 1 <= c <= dispSubColumns, 1 <= r <= dispSubRows), stencil test off, and loads
// dispProjectionMatrix as the projection. Leaves GL_PROJECTION selected.
void dispDraw3DCamera(int column, int row);

// ---- Background ------------------------------------------------------------------

// Draws `frame` (dispImageWidth x dispImageHeight, layout above) into view
// (column, row), undistorted through dispCameraParam's distortion, at depth -1 of the
// 2D projection (call dispDrawMode2D first). Frames up to 512 wide use one texture,
// wider ones two; the grid of each view is built on its first frame and cached. A
// view that the layout does not have draws nothing.
// dispDrawMode 0 copies the pixels instead (no undistortion). If a staging buffer
// cannot be allocated prints "malloc error!!\n" on standard output and ends the
// process with status 1.
void dispImage(const unsigned char* frame, int column, int row);
