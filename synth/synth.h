// synth: a renderer of camera frames that show markers at known poses, with their
// ground truth, for tests, benchmarks and the demo clip; and PNG reading and writing.
//
// Use: synthCameraMake (or a loaded CameraParam) gives the camera; synthSceneInit
// fills a SynthScene with plain defaults for it; set the options and add markers
// (picture, side, pose, e.g. from synthPoseMake); synthRender writes the frame and
// the truth. The same scene always renders the same bytes: clutter and noise come from
// seeded generators of our own, not from library distributions.
//
// Geometry. A marker lies in its own plane z = 0, centred on the origin, +x to the
// right of its picture, +y towards the picture's top, +z out of the paper towards the
// viewer. It is a black square of side `side` whose border is side/4 wide on each side,
// its picture filling the central half, surrounded by a white paper margin. The pose
// [R | t] maps marker coordinates to camera coordinates in the same unit as `side`.
// The camera's `projection` maps camera points to ideal pixels; every frame pixel is
// traced back through camObservToIdeal (observed -> ideal) and the inverse of the
// marker plane's homography, so the frame shows the scene through the lens model.
// (The corners of every pixel near a marker are traced; anti-aliasing sub-samples
// inside a pixel interpolate between them, exact to far below 0.001 pixel.) The
// printed black is grey level 24 and the paper 236; picture colours are scaled into
// that range, as ink on paper.
//
// Pixel convention: pixel (x, y) covers [x - 0.5, x + 0.5] x [y - 0.5, y + 0.5] in
// image coordinates (x right, y down); its centre is the integer position. Observed
// and ideal coordinates are as in camera/camera.h.
//
// Result codes: 0 success, -1 failure; nothing here prints.
#pragma once

#include "camera/camera.h"

#include <cstdint>
#include <vector>

// ---- Images ----------------------------------------------------------------------

// An 8-bit colour image in the frame layout of the viewer: width * height pixels of
// 4 bytes in the order blue, green, red, alpha; rows top to bottom, no padding, so
// pixel (x, y) starts at byte (y * width + x) * 4. Frames, marker pictures and PNG
// files all use this record. The record owns its bytes.
struct SynthImage {
    int width = 0;                     // pixels, 0 when empty
    int height = 0;                    // pixels, 0 when empty
    std::vector<std::uint8_t> pixels;  // width * height * 4 bytes (B, G, R, A)
};

// Largest frame or picture side accepted anywhere here, in pixels.
constexpr int kSynthMaxImageSide = 8192;
// Largest marker picture, in texels per side: a texel index must fit the 22 bits that
// the renderer's region labels reserve for it (1024 * 1024 < 2^22).
constexpr int kSynthMaxPictureSide = 1024;

// Makes *image a width x height image filled with (blue, green, red, alpha 255).
// Returns 0, or -1 (image untouched) when a side is below 1 or above kSynthMaxImageSide.
int synthImageMake(int width, int height, int blue, int green, int red, SynthImage* image);

// Reads an 8-bit PNG (RGB, RGBA, grey or grey+alpha, or palette; 16-bit channels are
// reduced to 8) into *image in the B, G, R, A layout above (alpha 255 when the file has
// none). Returns 0, or -1 when the file cannot be opened, is not a PNG, is damaged, or
// has a side above kSynthMaxImageSide; *image is untouched on failure.
int synthPngRead(const char* path, SynthImage* image);

// Writes *image as an 8-bit PNG: RGBA when withAlpha is non-zero, else RGB (alpha
// dropped). Returns 0, or -1 when the image is empty or inconsistent or the file cannot
// be written (a partly written file may remain).
int synthPngWrite(const char* path, const SynthImage* image, int withAlpha);

// ---- Cameras and poses -----------------------------------------------------------

// A pinhole camera for width x height frames with focal length `focal` pixels, the
// principal point and the distortion centre at the image centre ((width - 1) / 2,
// (height - 1) / 2), radial factor `distortionF` (as in CameraParam: used times 1e-8;
// positive is barrel) and scale s = 1. projection = [[focal, 0, cx, 0], [0, focal, cy,
// 0], [0, 0, 1, 0]]. Returns 0, or -1 (camera untouched) for a side out of range or
// focal <= 0.
int synthCameraMake(int width, int height, double focal, double distortionF, CameraParam* camera);

// A marker pose built from angles, in degrees, and a position in camera coordinates
// (x right, y down, z forward, the unit of the marker side). Starting from the marker
// facing the camera squarely and upright (marker +x = camera +x, marker +y = camera
// -y, marker +z = camera -z), the marker is turned in its own plane by `spinDeg`
// (counterclockwise as the viewer sees it), then tilted by `tiltDeg` about the axis
// through its centre that lies in the fronto-parallel plane at `tiltAxisDeg` from the
// image's x axis (measured counterclockwise as the viewer sees it), then its centre is
// placed at (x, y, z). Tilt 90 puts the marker edge-on. Writes [R | t]; returns 0.
int synthPoseMake(double spinDeg, double tiltDeg, double tiltAxisDeg, double x, double y, double z,
                  double pose[3][4]);

// ---- Scenes --------------------------------------------------------------------------

// One marker of a scene.
struct SynthMarker {
    const SynthImage* picture = nullptr;  // the inner picture (central half of the
                                          // marker), not owned, 1 .. kSynthMaxPictureSide
                                          // texels a side, may be non-square; its top-
                                          // left texel is at marker corner (-side/4, +side/4)
    double side = 1.0;                    // side of the black square, > 0, pose unit
    double pose[3][4] = {{1, 0, 0, 0}, {0, -1, 0, 0}, {0, 0, -1, 10}};
    // [R | t] marker -> camera, R orthonormal
    double margin = 0.125;  // white paper around the black square, as a
                            // fraction of `side` per side, >= 0
};

// Most markers in one scene.
constexpr int kSynthMaxMarkers = 64;
// Most cast shadows and dark clutter squares in one scene.
constexpr int kSynthMaxShadows = 8;
constexpr int kSynthMaxDarkSquares = 400;

// What synthRender draws. Fill with synthSceneInit, then adjust.
struct SynthScene {
    CameraParam camera{};  // frame size (width x height), projection, distortion
    std::uint8_t background[3] = {160, 160, 160};
    // plain background colour (B, G, R), used when there
    // is no image and no clutter
    const SynthImage* backgroundImage = nullptr;
    // optional background, stretched (nearest texel) to
    // the frame; not owned; wins over `background`
    int clutter = 0;                // non-zero: draw a deterministic cluttered background
                                    // of grey and coloured shapes (including dark squares
                                    // and bars that the detector sees as regions) over
                                    // the plain background or image
    std::uint32_t clutterSeed = 1;  // seed of the clutter; equal seeds give equal clutter
    double lightGradient = 0.0;     // 0 .. 1: brightness falls linearly from 1 to
                                    // 1 - lightGradient across the frame along
                                    // `lightAngleDeg`; 0 = even light
    double lightAngleDeg = 0.0;     // direction of the fall, degrees from image +x towards
                                    // image +y
    double blurSigma = 0.0;         // Gaussian blur, standard deviation in pixels, 0 .. 10;
                                    // 0 = sharp (lens blur, applied after the lighting)
    double noiseSigma = 0.0;        // additive Gaussian sensor noise, standard deviation in
                                    // grey levels, 0 .. 100, independent per channel; 0 = none
    std::uint32_t noiseSeed = 1;    // seed of the noise
    int supersample = 4;            // 1 .. 8 samples per pixel along each axis at region
                                    // boundaries (anti-aliasing); pixels wholly inside one
                                    // region take that region's colour directly
    // Hard light (all off by default). Shadows and white balance act after the lighting
    // gradient and before blur and noise; JPEG compression acts last, on the bytes.
    int shadowCount = 0;           // 0 .. kSynthMaxShadows straight-edged shadows cast across
                                   // the frame by things outside it (half-planes or bands
                                   // of random direction, position and width)
    std::uint32_t shadowSeed = 1;  // seed of their layout
    double shadowDepth = 0.6;      // 0 .. 0.95: fraction of the light a shadow takes away
                                   // (overlapping shadows multiply)
    double shadowSoftness = 1.0;   // width of the penumbra, pixels, 0 .. 50
    double whiteBalance[3] = {1.0, 1.0, 1.0};
    // gains of blue, green, red, 0.2 .. 3 each (a
    // camera's white balance off the light's colour)
    int darkSquares = 0;               // 0 .. kSynthMaxDarkSquares dark squares of clutter in the
                                       // background (turned at random, sides 8 .. 60 px,
                                       // grey 8 .. 100), drawn after `clutter`
    std::uint32_t darkSquareSeed = 1;  // seed of their layout
    int busy = 0;                      // non-zero: draw a deterministic busy desk over the plain
                                       // background, image and clutter: papers with
                                       // printed text (glyphs 6 .. 20 px high at a frame
                                       // height of 480, scaled with the height), ruled
                                       // lines and printed codes, a keyboard partly out of
                                       // the frame, a phone, a notebook, a mug, a mouse, a
                                       // pen, cables 1 .. 3 px wide (scaled likewise) and
                                       // soft shadows; laid out in fractions of the frame,
                                       // so every size shows the same desk
    std::uint32_t busySeed = 1;        // jitters the desk's layout; equal seeds, equal desks
    int jpegQuality = 0;               // 0: none; 1 .. 100: the frame is JPEG-compressed at
                                       // that quality (4:2:0) and decoded again
    int markerCount = 0;               // 0 .. kSynthMaxMarkers
    SynthMarker markers[kSynthMaxMarkers];
    // the nearest marker wins where they overlap; a
    // marker seen from behind is not drawn
};

// Sets *scene to the defaults above with `camera` as its camera. Returns 0.
int synthSceneInit(const CameraParam* camera, SynthScene* scene);

// The fixed "hard light" set: kSynthHardLightScenes scenes of 1280 x 720 pixels (focal
// length 1000, mild barrel distortion) with 8 ... 60 markers 15 ... 40 px across
// (turned, tilted up to 40 degrees, spread over the frame without overlapping), 40 ...
// 80 dark squares and the ordinary clutter behind them, one to three hard shadows
// across the frame, a white balance off by up to 25 %, blur, sensor noise and JPEG
// compression at quality 65 ... 90. Marker i shows pictures[i % pictureCount].
// Fills *scene for scene `index`; the same index always gives the same scene.
// Returns 0, or -1 (scene untouched) for an index out of range, no pictures or an
// unusable one.
constexpr int kSynthHardLightScenes = 24;
int synthHardLightScene(int index, const SynthImage* const* pictures, int pictureCount,
                        SynthScene* scene);

// The fixed busy desk of the detection benchmark: a width x height frame (160 .. 8192
// by 120 .. 8192; the benchmark uses 640x480, 1280x720 and 1920x1080) seen by a camera of
// focal length 0.9 * width with mild barrel distortion, a light wooden desk with the
// busy clutter above, a lighting gradient of 0.2, and four markers a fifth of the
// frame height across, turned and tilted, marker i showing pictures[i % pictureCount].
// About a third of the pixels are dark at threshold 100 (blue + green + red <= 300).
// degrade non-zero adds blur (sigma 0.8 px) and noise (sigma 6 grey levels). Fills
// *scene; the same arguments always give the same scene. Returns 0, or -1 (scene
// untouched) for a size out of range, no pictures or an unusable one.
int synthBusyScene(int width, int height, int degrade, const SynthImage* const* pictures,
                   int pictureCount, SynthScene* scene);

// Ground truth of one marker, in marker corner order: corner k is c0 = (-side/2,
// +side/2) (the picture's top-left), c1 = (+side/2, +side/2), c2 = (+side/2, -side/2),
// c3 = (-side/2, -side/2). For a marker facing the camera this runs clockwise on the
// screen, the order of the detector's corners: a correct detection with `direction` d
// has cornerPoints[(k + 4 - d) % 4] close to idealCorners[k].
struct SynthMarkerTruth {
    double idealCorners[4][2];     // (x, y) ideal image coordinates, pixels
    double observedCorners[4][2];  // (x, y) observed (distorted) image coordinates, pixels
    double pose[3][4];             // copy of the marker's pose
    int facing;                    // 1 when all corners lie in front of the camera and the
                                   // marker's front faces it (it is drawn), else 0
    int inFrame;                   // 1 when facing and all four observed corners lie in
                                   // [0, width - 1] x [0, height - 1], else 0
    int occluded;                  // 1 when another marker covers any of its corners
};

// Truth of one rendered scene, markers in scene order.
struct SynthTruth {
    int markerCount;
    SynthMarkerTruth markers[kSynthMaxMarkers];
};

// Renders *scene into *frame (camera.width x camera.height, the frame layout, alpha
// 255) and, when truth is not null, its ground truth. Deterministic. Returns 0, or -1
// when the scene is invalid (frame side out of range, markerCount out of range, a
// marker without picture or with a picture out of range, side <= 0, margin < 0, an
// option out of its range, or a projection whose left 3x3 block is singular); frame
// and truth are then untouched. Also -1 when JPEG compression fails (out of memory):
// the frame then holds the uncompressed picture and truth is untouched. The frame's previous contents are replaced.
// Thread-safe for distinct outputs: each thread keeps its own working buffers (about
// 50 bytes per frame pixel) from one call to the next, released when it ends.
int synthRender(const SynthScene* scene, SynthImage* frame, SynthTruth* truth);

// ---- Chessboards -----------------------------------------------------------------------

// A printed calibration chessboard. Its plane is z = 0, +x to the right of the print,
// +y towards its top, +z out of the paper (the marker convention, so synthPoseMake
// places it). It has (cols + 1) x (rows + 1) squares of side `square`; its cols x rows
// inner corners, where four squares meet, are numbered row by row from the top-left,
// left to right: corner (i, j), i = 0 .. cols - 1, j = 0 .. rows - 1 from the top, lies
// at ((i - (cols - 1) / 2) * square, ((rows - 1) / 2 - j) * square). The top-left
// square is black. White paper of `margin` squares surrounds the squares.
struct SynthBoard {
    int cols = 9;          // inner corners along a row, 2 .. 64
    int rows = 6;          // inner corners along a column, 2 .. 64
    double square = 25.0;  // side of one square, > 0, pose unit
    double margin = 1.0;   // white paper around the squares, in squares, >= 0
    double pose[3][4] = {{1, 0, 0, 0}, {0, -1, 0, 0}, {0, 0, -1, 500}};
    // [R | t] board -> camera, R orthonormal
};

// Renders `board` through scene->camera into *frame with the scene's background colour,
// light, blur and noise (its markers, image and clutter are not drawn), both sides of
// the paper alike. Boundary pixels take 8 x 8 samples, each traced exactly through the
// lens model. When `corners` is not null it receives the cols * rows inner corners in
// board order as observed (x, y) pixel pairs, 2 * cols * rows doubles. Returns 0, or -1
// (outputs untouched) when the scene or board is invalid or the board reaches behind
// the camera.
int synthRenderBoard(const SynthScene* scene, const SynthBoard* board, SynthImage* frame,
                     double* corners);
