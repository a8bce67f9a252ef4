// tarlim-calibrate: measures a camera from pictures of a printed chessboard and writes
// its camera parameter file; prints the chessboard to use.
//
//   tarlim-calibrate --board CxR --square-mm S [--size WxH] [--free-centre] [--keep-all]
//                    (IMAGE... | --video "SRC" --views N) -o FILE [--check DIR]
//   tarlim-calibrate --print-board [--board CxR] [--square-mm S] [--dpi D] -o FILE.png
//
// Exit status: 0 success, 1 failure (a picture unreadable, too few views, a file not
// written), 2 bad arguments.
#include "tools/calibrate.h"

#include "camera/camera.h"
#include "synth/synth.h"
#include "util/util.h"
#include "video/video.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Video: a view is taken when the board's corners have moved on average this fraction
// of the frame width since the last view taken (tunable: 5% is a clear change of
// position or angle, so the views differ).
constexpr double kMoveFraction = 0.05;
// Video: the source has ended when no frame has come for this long.
constexpr int kVideoIdleMs = 5000;
// Video: while no view is taken, a line saying why every this many milliseconds.
constexpr int kVideoNoteMs = 3000;
constexpr int kMaxVideoViews = kCalibMaxViews;
// Printed board: resolution and white margin (the printer's margin adds more).
constexpr double kDefaultDpi = 300.0;
constexpr double kMaxDpi = 1200.0;
constexpr double kPrintMarginMm = 5.0;
constexpr double kMmPerInch = 25.4;
// Largest printed side in pixels: a poster at 1200 dpi.
constexpr int kMaxPrintSide = 20000;
// Paper sizes (mm) for the fit note: A4 and US letter, less 5 mm printer margins.
constexpr double kA4[2] = {297.0 - 10.0, 210.0 - 10.0};
constexpr double kLetter[2] = {279.4 - 10.0, 215.9 - 10.0};

const char* const kUsage =
    "usage: tarlim-calibrate --board CxR --square-mm S [--size WxH] [--free-centre]\n"
    "                        [--keep-all] (IMAGE... | --video \"SRC\" --views N) -o FILE\n"
    "                        [--check DIR]\n"
    "       tarlim-calibrate --print-board [--board CxR] [--square-mm S] [--dpi D] -o FILE.png\n"
    "       tarlim-calibrate --help\n"
    "\n"
    "Measures a camera from pictures of a printed chessboard and writes its camera file.\n"
    "  --board CxR     inner corners of the board (where four squares meet), e.g. 9x6\n"
    "  --square-mm S   side of one printed square in millimetres (sets only the distances\n"
    "                  of the poses; the camera file does not depend on it)\n"
    "  IMAGE...        PNG or JPEG pictures of the board, all of one size\n"
    "  --video SRC     take the views from a video source (a GStreamer description, as\n"
    "                  in tarlim.conf): a view whenever the board is found and has moved\n"
    "  --views N       with --video: stop after N views (15 to 25 is good)\n"
    "  --size WxH      write the camera file for frames of W x H (same aspect ratio as\n"
    "                  the pictures); default: the pictures' size\n"
    "  --free-centre   fit the distortion centre apart from the principal point (only for\n"
    "                  strongly distorting lenses; by default they coincide)\n"
    "  --keep-all      keep every view, even those whose error is far above the rest\n"
    "  -o FILE         the camera parameter file to write\n"
    "  --check DIR     write every view as DIR/view-NN.png with the corners found\n"
    "                  (green circles) and where the fitted camera puts them (red crosses)\n"
    "  --print-board   write a printable board (default 9x6 inner corners, 25 mm squares,\n"
    "                  300 dpi, resolution stored in the PNG); print it at 100%\n"
    "\n"
    "exit status: 0 success, 1 failure, 2 bad arguments\n";

int usageError(const char* fmt, const char* arg)
{
    std::fprintf(stderr, "tarlim-calibrate: ");
    std::fprintf(stderr, fmt, arg);
    std::fprintf(stderr, "\n%s", kUsage);
    return kExitUsage;
}

bool parseNumber(const char* text, double* out)
{
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

bool parseInt(const char* text, long min, long max, int* out)
{
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v < min || v > max) return false;
    *out = static_cast<int>(v);
    return true;
}

// "9x6": two integers within [min, max].
bool parsePair(const char* text, long min, long max, int* a, int* b)
{
    const char* x = std::strchr(text, 'x');
    if (x == nullptr) return false;
    const std::string first(text, x);
    return parseInt(first.c_str(), min, max, a) && parseInt(x + 1, min, max, b);
}

struct Args {
    CalibBoard board;
    bool boardGiven = false;
    bool squareGiven = false;
    int sizeW = 0, sizeH = 0;
    bool freeCentre = false;
    bool keepAll = false;
    std::vector<std::string> images;
    std::string video;
    bool videoGiven = false;
    int views = 0;
    std::string output;
    std::string checkDir;
    bool printBoard = false;
    double dpi = kDefaultDpi;
    bool dpiGiven = false;
};

// Parses argv into *args; returns 0, or the usage exit status after printing why.
int parseArgs(int argc, char** argv, Args* args)
{
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        auto value = [&](const char* name) -> const char* {
            if (!hasValue) return nullptr;
            (void)name;
            return argv[++i];
        };
        if (a == "--board") {
            const char* v = value("--board");
            if (v == nullptr) return usageError("%s needs a value", "--board");
            if (!parsePair(v, kCalibMinCorners, kCalibMaxCorners, &args->board.cols,
                           &args->board.rows))
                return usageError("--board takes inner corners as CxR, each 2 to 64: \"%s\"", v);
            args->boardGiven = true;
        } else if (a == "--square-mm") {
            const char* v = value("--square-mm");
            if (v == nullptr) return usageError("%s needs a value", "--square-mm");
            if (!parseNumber(v, &args->board.square) || !(args->board.square > 0.0) ||
                args->board.square > 1000.0)
                return usageError("--square-mm takes millimetres above 0, at most 1000: \"%s\"", v);
            args->squareGiven = true;
        } else if (a == "--size") {
            const char* v = value("--size");
            if (v == nullptr) return usageError("%s needs a value", "--size");
            if (!parsePair(v, 1, kCamParamSizeMax, &args->sizeW, &args->sizeH))
                return usageError("--size takes WxH, each 1 to 32767: \"%s\"", v);
        } else if (a == "--video") {
            const char* v = value("--video");
            if (v == nullptr) return usageError("%s needs a value", "--video");
            args->video = v;
            args->videoGiven = true;
        } else if (a == "--views") {
            const char* v = value("--views");
            if (v == nullptr) return usageError("%s needs a value", "--views");
            if (!parseInt(v, kCalibMinViews, kMaxVideoViews, &args->views))
                return usageError("--views takes a count from 3 to 400: \"%s\"", v);
        } else if (a == "-o") {
            const char* v = value("-o");
            if (v == nullptr) return usageError("%s needs a value", "-o");
            args->output = v;
        } else if (a == "--check") {
            const char* v = value("--check");
            if (v == nullptr) return usageError("%s needs a value", "--check");
            args->checkDir = v;
        } else if (a == "--dpi") {
            const char* v = value("--dpi");
            if (v == nullptr) return usageError("%s needs a value", "--dpi");
            if (!parseNumber(v, &args->dpi) || !(args->dpi >= 50.0) || args->dpi > kMaxDpi)
                return usageError("--dpi takes 50 to 1200: \"%s\"", v);
            args->dpiGiven = true;
        } else if (a == "--free-centre") {
            args->freeCentre = true;
        } else if (a == "--keep-all") {
            args->keepAll = true;
        } else if (a == "--print-board") {
            args->printBoard = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError("unknown option \"%s\"", a.c_str());
        } else {
            args->images.push_back(a);
        }
    }
    if (args->output.empty()) return usageError("%s", "-o FILE is required");
    if (args->printBoard) {
        if (!args->images.empty() || args->videoGiven || args->views != 0 ||
            !args->checkDir.empty() || args->sizeW != 0 || args->freeCentre || args->keepAll)
            return usageError("%s", "--print-board takes only --board, --square-mm, --dpi and -o");
        return 0;
    }
    if (args->dpiGiven) return usageError("%s", "--dpi belongs to --print-board");
    if (!args->boardGiven) return usageError("%s", "--board CxR is required");
    if (!args->squareGiven) return usageError("%s", "--square-mm S is required");
    if (args->videoGiven) {
        if (!args->images.empty())
            return usageError("%s", "give either pictures or --video, not both");
        if (args->views == 0) return usageError("%s", "--video needs --views N");
    } else {
        if (args->views != 0) return usageError("%s", "--views belongs to --video");
        if (args->images.empty()) return usageError("%s", "no pictures given (or --video)");
    }
    return 0;
}

// ---- Printable board ---------------------------------------------------------------

bool fits(const double paper[2], double w, double h)
{
    return (w <= paper[0] && h <= paper[1]) || (w <= paper[1] && h <= paper[0]);
}

int printBoard(const Args& args)
{
    const CalibBoard& b = args.board;
    const double pxPerMm = args.dpi / kMmPerInch;
    const int squarePx = static_cast<int>(std::lround(b.square * pxPerMm));
    const int marginPx = static_cast<int>(std::lround(kPrintMarginMm * pxPerMm));
    if (squarePx < 4) {
        std::fprintf(stderr, "tarlim-calibrate: squares of %g mm are under 4 pixels at %g dpi\n",
                     b.square, args.dpi);
        return kExitFailure;
    }
    const long width = static_cast<long>(b.cols + 1) * squarePx + 2L * marginPx;
    const long height = static_cast<long>(b.rows + 1) * squarePx + 2L * marginPx;
    if (width > kMaxPrintSide || height > kMaxPrintSide) {
        std::fprintf(stderr,
                     "tarlim-calibrate: the board would be %ldx%ld pixels, more than %d a "
                     "side: use fewer dpi or smaller squares\n",
                     width, height, kMaxPrintSide);
        return kExitFailure;
    }
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4, 255);
    for (long y = marginPx; y < height - marginPx; y++) {
        const long row = (y - marginPx) / squarePx;
        for (long x = marginPx; x < width - marginPx; x++) {
            const long col = (x - marginPx) / squarePx;
            if ((row + col) % 2 == 0) std::fill_n(&pixels[(y * width + x) * 4], 3, 0);
        }
    }
    // Rounding the square to whole pixels changes its printed size a little: report
    // the size it really has.
    const double squareMm = squarePx / pxPerMm;
    // The resolution goes into the file, so that printing at actual size gives the
    // squares their size.
    if (utilPngWrite(args.output.c_str(), static_cast<int>(width), static_cast<int>(height),
                     pixels.data(), kUtilBgra, 0, pxPerMm * 1000.0) != 0) {
        std::fprintf(stderr, "tarlim-calibrate: cannot write %s\n", args.output.c_str());
        return kExitFailure;
    }
    const double wMm = width / pxPerMm, hMm = height / pxPerMm;
    std::printf("wrote %s: %dx%d inner corners, %dx%d squares of %.2f mm, %ldx%ld pixels at %g "
                "dpi (%.0f x %.0f mm)\n",
                args.output.c_str(), b.cols, b.rows, b.cols + 1, b.rows + 1, squareMm, width,
                height, args.dpi, wMm, hMm);
    const bool a4 = fits(kA4, wMm, hMm), letter = fits(kLetter, wMm, hMm);
    if (a4 || letter)
        std::printf("print it at 100%% (no fitting to the page) on %s; then measure a square "
                    "and give that to --square-mm\n",
                    a4 && letter ? "A4 or letter" : (a4 ? "A4" : "letter"));
    else
        std::printf("it is larger than A4 and letter: print it on larger paper, or ask for "
                    "smaller squares with --square-mm\n");
    std::printf("then: tarlim-calibrate --board %dx%d --square-mm %.2f PICTURE... -o camera.cam\n",
                b.cols, b.rows, squareMm);
    return 0;
}

// ---- Views -------------------------------------------------------------------------

struct View {
    std::string name;           // the picture's path, or "frame N" of a video
    std::vector<double> found;  // corners, or empty when the board was not found
};

// Reads a picture into *image (B, G, R, A). Returns false with a reason printed.
bool readPicture(const std::string& path, SynthImage* image)
{
    UtilImage picture;
    char reason[256] = "";
    // A picture of 64 megapixels is far beyond any camera a board is filmed with.
    if (utilImageRead(path.c_str(), kUtilBgra, 64LL << 20, &picture, reason, sizeof reason) != 0) {
        std::fprintf(stderr, "tarlim-calibrate: %s: %s\n", path.c_str(), reason);
        return false;
    }
    image->width = picture.width;
    image->height = picture.height;
    image->pixels = std::move(picture.pixels);
    return true;
}

int collectImages(const Args& args, std::vector<View>* views, int* width, int* height)
{
    for (const std::string& path : args.images) {
        SynthImage image;
        if (!readPicture(path, &image)) return kExitFailure;
        if (views->empty()) {
            *width = image.width;
            *height = image.height;
        } else if (image.width != *width || image.height != *height) {
            std::fprintf(stderr, "tarlim-calibrate: %s is %dx%d, the pictures before it %dx%d\n",
                         path.c_str(), image.width, image.height, *width, *height);
            return kExitFailure;
        }
        View view;
        view.name = path;
        std::vector<double> corners(static_cast<std::size_t>(args.board.cols) * args.board.rows *
                                    2);
        if (calibFindCorners(image.pixels.data(), image.width, image.height, args.board.cols,
                             args.board.rows, 0, corners.data()) == 0) {
            view.found = corners;
            std::printf("  %-28s board found\n", path.c_str());
        } else {
            std::printf("  %-28s board not found: skipped\n", path.c_str());
        }
        std::fflush(stdout);
        views->push_back(view);
    }
    return 0;
}

// Mean distance between the corners of two sightings of the board, in whichever
// order fits: the board looks alike turned half a turn, and the finder may start at
// either end.
double boardMoved(const std::vector<double>& a, const std::vector<double>& b)
{
    const std::size_t n = a.size() / 2;
    double direct = 0.0, reversed = 0.0;
    for (std::size_t k = 0; k < n; k++) {
        direct += std::hypot(a[2 * k] - b[2 * k], a[2 * k + 1] - b[2 * k + 1]);
        const std::size_t r = n - 1 - k;
        reversed += std::hypot(a[2 * k] - b[2 * r], a[2 * k + 1] - b[2 * r + 1]);
    }
    return std::min(direct, reversed) / n;
}

// Ctrl-C during --video ends the collection; the views taken so far are calibrated.
volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

int collectVideo(const Args& args, std::vector<View>* views, int* width, int* height,
                 std::vector<SynthImage>* frames)
{
    if (videoOpen(args.video.c_str()) != 0) {
        std::fprintf(stderr, "tarlim-calibrate: cannot open the video source \"%s\"\n",
                     args.video.c_str());
        return kExitFailure;
    }
    videoInqSize(width, height);
    if (videoCapStart() != 0) {
        videoClose();
        std::fprintf(stderr, "tarlim-calibrate: the video source does not start\n");
        return kExitFailure;
    }
    std::printf("video %dx%d: hold the board in view and move it between views "
                "(near, far, tilted, in every part of the picture); Ctrl-C stops early and "
                "calibrates with the views taken\n",
                *width, *height);
    std::fflush(stdout);
    const std::size_t frameBytes = static_cast<std::size_t>(*width) * *height * 4;
    std::vector<double> corners(static_cast<std::size_t>(args.board.cols) * args.board.rows * 2);
    std::vector<double> last;
    int frameCount = 0, seen = 0;
    auto idleSince = std::chrono::steady_clock::now();
    auto lastNote = idleSince;
    stopRequested = 0;
    std::signal(SIGINT, requestStop);
    while (static_cast<int>(views->size()) < args.views && !stopRequested) {
        unsigned char* pixels = videoGetImage();
        if (pixels == nullptr) {
            const auto idle = std::chrono::steady_clock::now() - idleSince;
            if (std::chrono::duration_cast<std::chrono::milliseconds>(idle).count() > kVideoIdleMs)
                break;
            utilSleep(2);
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        idleSince = now;
        frameCount++;
        videoCapNext();
        const bool found = calibFindCorners(pixels, *width, *height, args.board.cols,
                                            args.board.rows, 1, corners.data()) == 0;
        const double moved = !found ? 0.0 : (last.empty() ? 1e300 : boardMoved(corners, last));
        const bool take = found && moved >= kMoveFraction * *width;
        // A live user waiting for the next view learns why none comes.
        if (!take && now - lastNote > std::chrono::milliseconds(kVideoNoteMs)) {
            std::printf("  frame %d: %s\n", frameCount,
                        found ? "board found, move it to a new place" : "no whole board in view");
            std::fflush(stdout);
            lastNote = now;
        }
        if (!found) continue;
        seen++;
        if (!take) continue;
        lastNote = now;
        last = corners;
        View view;
        view.name = "frame " + std::to_string(frameCount);
        view.found = corners;
        views->push_back(view);
        if (!args.checkDir.empty()) {
            SynthImage copy;
            copy.width = *width;
            copy.height = *height;
            copy.pixels.assign(pixels, pixels + frameBytes);
            frames->push_back(std::move(copy));
        }
        std::printf("  view %d of %d: frame %d\n", static_cast<int>(views->size()), args.views,
                    frameCount);
        std::fflush(stdout);
    }
    std::signal(SIGINT, SIG_DFL);
    videoCapStop();
    videoClose();
    const bool shortOfViews = static_cast<int>(views->size()) < args.views;
    std::printf("%d frames read, the board found in %d, %d views taken%s\n", frameCount, seen,
                static_cast<int>(views->size()),
                !shortOfViews ? "" : (stopRequested ? " (stopped)" : " (the source ended first)"));
    return 0;
}

// ---- Check pictures ------------------------------------------------------------------

void drawDot(SynthImage* image, int x, int y, const std::uint8_t bgr[3])
{
    if (x < 0 || y < 0 || x >= image->width || y >= image->height) return;
    std::uint8_t* p = &image->pixels[(static_cast<std::size_t>(y) * image->width + x) * 4];
    p[0] = bgr[0];
    p[1] = bgr[1];
    p[2] = bgr[2];
}

// A circle of radius 4 around the corner found.
void drawCircle(SynthImage* image, double cx, double cy, const std::uint8_t bgr[3])
{
    for (int a = 0; a < 64; a++) {
        const double t = a * (2.0 * 3.14159265358979323846 / 64);
        drawDot(image, static_cast<int>(std::lround(cx + 4.0 * std::cos(t))),
                static_cast<int>(std::lround(cy + 4.0 * std::sin(t))), bgr);
    }
}

// A cross of arm 3 on the reprojected corner.
void drawCross(SynthImage* image, double cx, double cy, const std::uint8_t bgr[3])
{
    const int x = static_cast<int>(std::lround(cx)), y = static_cast<int>(std::lround(cy));
    for (int d = -3; d <= 3; d++) {
        drawDot(image, x + d, y, bgr);
        drawDot(image, x, y + d, bgr);
    }
}

bool writeCheck(const Args& args, int index, const SynthImage& picture, const View& view,
                const std::vector<double>& reprojected)
{
    static const std::uint8_t kGreen[3] = {0, 220, 0};
    static const std::uint8_t kRed[3] = {0, 0, 255};
    SynthImage image = picture;
    for (std::size_t k = 0; k + 1 < view.found.size(); k += 2)
        drawCircle(&image, view.found[k], view.found[k + 1], kGreen);
    for (std::size_t k = 0; k + 1 < reprojected.size(); k += 2)
        drawCross(&image, reprojected[k], reprojected[k + 1], kRed);
    char name[32];
    std::snprintf(name, sizeof name, "/view-%02d.png", index + 1);
    const std::string path = args.checkDir + name;
    if (synthPngWrite(path.c_str(), &image, 0) != 0) {
        std::fprintf(stderr, "tarlim-calibrate: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

// ---- Calibration -----------------------------------------------------------------------

// With barrel distortion the model's observed radius r (1 - k r^2) s is largest at
// r = 1 / sqrt(3 k), 2 / (3 sqrt(3 k)) s from the centre: observed points beyond it have no
// ideal position, and the viewer cannot undistort them. Says so when a frame corner lies
// beyond.
void warnFold(const CameraParam& cam)
{
    const double k = cam.distortion[2] * 1e-8;
    if (!(k > 0.0)) return;
    const double limit = 2.0 / (3.0 * std::sqrt(3.0 * k)) * cam.distortion[3];
    double farthest = 0.0;
    for (int cy : {0, cam.height - 1})
        for (int cx : {0, cam.width - 1})
            farthest =
                std::max(farthest, std::hypot(cx - cam.distortion[0], cy - cam.distortion[1]));
    if (farthest > limit)
        std::printf("warning: the lens model folds back %.0f pixels from the distortion centre, "
                    "inside the frame (its farthest corner is %.0f pixels away): the frame's "
                    "rim beyond cannot be undistorted; one radial factor is too little for "
                    "this lens\n",
                    limit, farthest);
}

int calibrate(const Args& args)
{
    if (!args.checkDir.empty() && mkdir(args.checkDir.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "tarlim-calibrate: cannot make the folder %s\n",
                     args.checkDir.c_str());
        return kExitFailure;
    }
    std::vector<View> views;
    std::vector<SynthImage> frames;
    int width = 0, height = 0;
    const int rc = args.videoGiven ? collectVideo(args, &views, &width, &height, &frames)
                                   : collectImages(args, &views, &width, &height);
    if (rc != 0) return rc;

    std::vector<std::vector<double>> found;
    std::vector<int> viewOf;  // index into views of each found board
    for (std::size_t v = 0; v < views.size(); v++)
        if (!views[v].found.empty()) {
            found.push_back(views[v].found);
            viewOf.push_back(static_cast<int>(v));
        }
    if (args.sizeW != 0 &&
        std::fabs(static_cast<double>(args.sizeW) * height -
                  static_cast<double>(args.sizeH) * width) > 0.5 * std::max(width, height)) {
        std::fprintf(stderr,
                     "tarlim-calibrate: --size %dx%d has another aspect ratio than the "
                     "pictures (%dx%d); a camera file scales by the width only\n",
                     args.sizeW, args.sizeH, width, height);
        return kExitFailure;
    }

    if (found.empty() && !views.empty()) {
        std::fprintf(stderr,
                     "tarlim-calibrate: no board of %dx%d inner corners in any picture; "
                     "--board counts the corners where four squares meet (a board of %dx%d "
                     "squares has %dx%d), and the whole board must be in view\n",
                     args.board.cols, args.board.rows, args.board.cols + 1, args.board.rows + 1,
                     args.board.cols, args.board.rows);
        return kExitFailure;
    }
    CalibOptions options;
    options.freeCentre = args.freeCentre ? 1 : 0;
    options.dropOutliers = args.keepAll ? 0 : 1;
    CalibResult result;
    char reason[256] = "";
    if (calibFit(args.board, width, height, found, options, &result, reason, sizeof reason) != 0) {
        std::fprintf(stderr, "tarlim-calibrate: %s\n", reason);
        return kExitFailure;
    }

    const CalibStart& s = result.start;
    std::printf("OpenCV's calibration, one radial coefficient (the start, %d views): fx %.2f "
                "fy %.2f cx %.2f cy %.2f k1 %.5f, RMS %.4f px\n",
                s.views, s.fx, s.fy, s.cx, s.cy, s.k1, s.rms);
    const CameraParam& cam = result.camera;
    std::printf("fitted camera (%dx%d, %d of %zu views, %d iterations):\n", cam.width, cam.height,
                result.keptViews, found.size(), result.iterations);
    std::printf("  focal lengths    fx %.2f  fy %.2f pixels\n", cam.projection[0][0],
                cam.projection[1][1]);
    std::printf("  principal point  cx %.2f  cy %.2f\n", cam.projection[0][2],
                cam.projection[1][2]);
    // How far the lens moves the frame's corner: the distortion in a number one can see.
    double ox = 0.0, oy = 0.0;
    camIdealToObserv(cam.distortion, 0.0, 0.0, &ox, &oy);
    std::printf("  distortion       x0 %.2f  y0 %.2f  f %.4f  s %.1f%s (moves the top-left "
                "corner %.2f pixels)\n",
                cam.distortion[0], cam.distortion[1], cam.distortion[2], cam.distortion[3],
                args.freeCentre ? "" : " (centre = principal point)", std::hypot(ox, oy));
    std::printf("  RMS reprojection error %.4f pixels\n", result.rms);
    warnFold(cam);
    std::printf("per view RMS (pixels):\n");
    std::vector<double> keptRms;
    for (std::size_t f = 0; f < found.size(); f++)
        if (!result.dropped[f]) keptRms.push_back(result.viewRms[f]);
    std::sort(keptRms.begin(), keptRms.end());
    for (std::size_t f = 0; f < found.size(); f++)
        std::printf("  %3zu  %-28s %.4f%s\n", f + 1, views[viewOf[f]].name.c_str(),
                    result.viewRms[f], result.dropped[f] ? "  dropped" : "");
    int dropped = 0;
    for (int d : result.dropped) dropped += d;
    if (dropped > 0) {
        std::printf("dropped %d view%s with an error far above the rest (median %.4f px):", dropped,
                    dropped == 1 ? "" : "s", keptRms[keptRms.size() / 2]);
        for (std::size_t f = 0; f < found.size(); f++)
            if (result.dropped[f]) std::printf(" %s", views[viewOf[f]].name.c_str());
        std::printf("\n");
    }
    if (static_cast<int>(found.size()) < 10)
        std::printf("note: %zu views; 10 or more, at different angles, give a surer result\n",
                    found.size());

    CameraParam out = cam;
    if (args.sizeW != 0) {
        camParamChangeSize(&cam, args.sizeW, args.sizeH, &out);
        std::printf("scaled to %dx%d\n", out.width, out.height);
    }
    if (camParamSave(args.output.c_str(), 1, &out) != 0) {
        std::fprintf(stderr, "tarlim-calibrate: cannot write %s\n", args.output.c_str());
        return kExitFailure;
    }
    std::printf("wrote %s\n", args.output.c_str());

    if (!args.checkDir.empty()) {
        int written = 0;
        for (std::size_t f = 0; f < found.size(); f++) {
            SynthImage picture;
            if (args.videoGiven) {
                picture = frames[viewOf[f]];
            } else if (!readPicture(views[viewOf[f]].name, &picture)) {
                return kExitFailure;
            }
            if (!writeCheck(args, static_cast<int>(f), picture, views[viewOf[f]],
                            result.reprojected[f]))
                return kExitFailure;
            written++;
        }
        std::printf("wrote %d check pictures to %s (green: corners found, red: the fitted "
                    "camera)\n",
                    written, args.checkDir.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; i++)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    Args args;
    const int rc = parseArgs(argc, argv, &args);
    if (rc != 0) return rc;
    return args.printBoard ? printBoard(args) : calibrate(args);
}
