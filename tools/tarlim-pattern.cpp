// tarlim-pattern: makes, previews and compares pattern files.
//
//   tarlim-pattern make PICTURE.png -o FILE   pattern file of a marker picture
//   tarlim-pattern show FILE                  text preview of its four orientations
//   tarlim-pattern compare A B ...            best correlation of every pair
//   tarlim-pattern grab (IMAGE | --video SRC) -o FILE
//                                             pattern file of a marker as a camera sees it
//
// Exit status: 0 done, 1 a file could not be read or written (or grab found no
// marker), 2 a usage error, 3 compare found patterns that may be confused.
//
// Which orientation is which. The picture is the central half of the marker, upright:
// marker +x to its right, +y to its top, +z out of the paper, so its top-left corner
// is marker corner c0 = (-w/2, +w/2), then c1 top-right, c2 bottom-right, c3
// bottom-left. The detector samples a candidate with its corner 0 at the sample's
// top-left and the corners clockwise on the screen (corner 1 top-right, 2 bottom-
// right, 3 bottom-left), and reports the orientation h that matched as `direction`.
// Pose estimation then takes c0 = cornerPoints[(4 - d) mod 4], c1 = cornerPoints[(5 -
// d) mod 4] and so on. So orientation h must be what the sample looks like when the
// picture's top-left corner c0 lies at sample corner (4 - h) mod 4:
//   h = 0: c0 at sample corner 0 (top-left): the picture as it is;
//   h = 1: c0 at corner 3 (bottom-left), c1 at corner 0 (top-left): the picture turned
//          90 degrees counterclockwise;
//   h = 2: c0 at corner 2 (bottom-right): turned 180 degrees;
//   h = 3: c0 at corner 1 (top-right): turned 90 degrees clockwise.
// Orientation h is the picture turned h quarter turns counterclockwise. The rendered-
// frame tests check this against markers rendered at known poses.
//
// File layout: orientation 0 ... 3; in each, the blue, green and red planes; in each,
// 16 rows of 16 intensities 0 (black) ... 255, row 0 the top. One row per line.
#include "camera/camera.h"
#include "detect/detect.h"
#include "pattern/pattern.h"
#include "synth/synth.h"
#include "tools/toolkit.h"
#include "util/util.h"
#include "video/video.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kSide = kPatternSide;

void usage(FILE* out)
{
    std::fputs(
        "usage: tarlim-pattern make PICTURE.png -o FILE\n"
        "       tarlim-pattern show FILE\n"
        "       tarlim-pattern compare FILE FILE [FILE ...]\n"
        "       tarlim-pattern grab (IMAGE | --video SRC [--frames N]) [--camera FILE]\n"
        "                           [--threshold N | --robust] [--centre] [--compare FILE ...]\n"
        "                           -o FILE\n"
        "make     writes the pattern file of a marker picture (the central half of the\n"
        "         marker, upright; transparent parts count as white paper): 16 x 16\n"
        "         colour averages in four orientations, orientation h being the\n"
        "         picture turned h quarter turns counterclockwise.\n"
        "show     prints each orientation of a pattern file as text, dark = dense.\n"
        "compare  prints, for every pair of pattern files, their best normalised\n"
        "         correlation over all orientations (1.0 = identical, the detector\n"
        "         accepts 0.5 and up), and for each file how much it resembles itself\n"
        "         turned by a quarter, half or three-quarter turn. Below 0.5 everywhere,\n"
        "         markers are neither confused with each other nor in their direction;\n"
        "         otherwise the exit status is 3.\n"
        "grab     finds the marker in a photo (PNG or JPEG) or in N frames (default 10)\n"
        "         of a video source (as in the configuration file) and writes its\n"
        "         pattern as the detector samples it, averaged over the frames: the\n"
        "         largest square, or with --centre the one nearest the image centre.\n"
        "         Hold the marker upright: the side nearest the top of the image becomes\n"
        "         the pattern's top. --camera gives the camera file (default: a lens\n"
        "         without distortion), --threshold the detector's threshold (default\n"
        "         100); --robust finds the marker with the detector's robust preset\n"
        "         (local threshold, refined edges: uneven light) and samples it at its\n"
        "         fitted corners. Prints the preview and, with --compare, the resemblance to the\n"
        "         named pattern files.\n"
        "Exit status: 0 done, 1 a file could not be read or written (or no marker was\n"
        "found), 2 a usage error, 3 compare found patterns that may be confused.\n",
        out);
}

int usageError(const std::string& what)
{
    std::fprintf(stderr, "tarlim-pattern: %s\n", what.c_str());
    usage(stderr);
    return 2;
}

std::string baseName(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int commandMake(int argc, char** argv)
{
    const char* picture = nullptr;
    const char* output = nullptr;
    for (int i = 2; i < argc; i++) {
        if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc)
            output = argv[++i];
        else if (picture == nullptr && argv[i][0] != '-')
            picture = argv[i];
        else
            return usageError(std::string("unexpected \"") + argv[i] + "\"");
    }
    if (picture == nullptr || output == nullptr) return usageError("make needs a picture and -o");
    SynthImage pic;
    if (synthPngRead(picture, &pic) != 0) {
        std::fprintf(stderr, "tarlim-pattern: cannot read PNG \"%s\"\n", picture);
        return 1;
    }
    ToolPattern pattern;
    toolPatternFromPicture(pic, &pattern);
    if (toolPatternWrite(output, pattern) != 0) {
        std::fprintf(stderr, "tarlim-pattern: cannot write \"%s\"\n", output);
        return 1;
    }
    return 0;
}

// The four orientations side by side as text, dark = dense.
void printPreview(const std::string& title, const ToolPattern& pattern)
{
    static const char ramp[] = " .:-=+*#%@";  // light to dark
    std::printf("%s\n", title.c_str());
    for (int h = 0; h < kPatternOrientations; h++)
        std::printf("orientation %d    %s", h, h < 3 ? "  " : "\n");
    for (int r = 0; r < kSide; r++) {
        for (int h = 0; h < kPatternOrientations; h++) {
            for (int k = 0; k < kSide; k++) {
                const int grey = (pattern.values[h][toolGridIndex(0, r, k)] +
                                  pattern.values[h][toolGridIndex(1, r, k)] +
                                  pattern.values[h][toolGridIndex(2, r, k)]) /
                                 3;
                const int level = std::min(9, std::max(0, (255 - grey) * 10 / 256));
                std::putchar(ramp[level]);
            }
            std::fputs(h < 3 ? "   " : "\n", stdout);
        }
    }
}

int commandShow(int argc, char** argv)
{
    if (argc != 3) return usageError("show takes one pattern file");
    ToolPattern pattern;
    if (toolPatternRead(argv[2], &pattern) != 0) {
        std::fprintf(stderr, "tarlim-pattern: \"%s\" is not a pattern file\n", argv[2]);
        return 1;
    }
    printPreview(argv[2], pattern);
    return 0;
}

// Loads pattern files for comparison; false (after a message) when one cannot be read.
bool loadForCompare(const std::vector<std::string>& paths, std::vector<ToolNormalised>* patterns,
                    std::vector<std::string>* names)
{
    for (const std::string& path : paths) {
        ToolPattern pattern;
        if (toolPatternRead(path.c_str(), &pattern) != 0) {
            std::fprintf(stderr, "tarlim-pattern: cannot load \"%s\"\n", path.c_str());
            return false;
        }
        patterns->emplace_back();
        toolNormalise(pattern, &patterns->back());
        names->push_back(baseName(path));
    }
    return true;
}

int commandCompare(int argc, char** argv)
{
    const int files = argc - 2;
    if (files < 2) return usageError("compare needs at least two pattern files");
    std::vector<ToolNormalised> patterns;
    std::vector<std::string> names;
    if (!loadForCompare(std::vector<std::string>(argv + 2, argv + argc), &patterns, &names))
        return 1;
    double pairMax = -1.0, selfMax = -1.0;
    std::fputs(toolCompareTable(patterns, names, &pairMax, &selfMax).c_str(), stdout);
    return std::max(pairMax, selfMax) < kToolAcceptCorrelation ? 0 : 3;
}

// ---- grab -------------------------------------------------------------------------------

// Photos larger than this many pixels are halved until they fit: the detector's labels
// are 16-bit up to here, and a marker keeps far more pixels than its 16 x 16 pattern
// needs.
constexpr int64_t kGrabPixelMax = 1048576;
constexpr int kGrabFramesDefault = 10;
constexpr int kGrabThresholdDefault = 100;
// How long a video source may go without showing a marker before grab gives up.
constexpr int kGrabVideoPatienceMs = 20000;

struct GrabOptions {
    const char* image = nullptr;
    const char* video = nullptr;
    const char* camera = nullptr;
    const char* output = nullptr;
    int frames = kGrabFramesDefault;
    int threshold = kGrabThresholdDefault;
    bool centre = false;
    bool robust = false;
    std::vector<std::string> compare;
};

// With --robust: a detector with the robust preset, and the installed camera.
MarkDetector* grabDetector = nullptr;
CameraParam grabCamera;

// Sums of the samples of every orientation over the frames, detector layout
// (index (row * 16 + column) * 3 + channel).
struct GrabSums {
    int64_t values[kPatternOrientations][kPatternValues] = {};
    int frames = 0;
};

// 2 x 2 box average, in place.
void halve(UtilImage* image)
{
    const int w = image->width / 2, h = image->height / 2;
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            for (int c = 0; c < 4; c++) {
                int sum = 0;
                for (int dy = 0; dy < 2; dy++)
                    for (int dx = 0; dx < 2; dx++)
                        sum += image->pixels[((static_cast<size_t>(2 * y + dy)) * image->width +
                                              2 * x + dx) *
                                                 4 +
                                             c];
                out[(static_cast<size_t>(y) * w + x) * 4 + c] = static_cast<uint8_t>((sum + 2) / 4);
            }
    image->width = w;
    image->height = h;
    image->pixels.swap(out);
}

// Installs the camera for width x height frames: the camera file resized, or a lens
// without distortion. Returns false after a message.
bool installCamera(const char* cameraPath, int width, int height)
{
    CameraParam camera;
    if (cameraPath != nullptr) {
        CameraParam loaded;
        if (camParamLoad(cameraPath, 1, &loaded) < 0 ||
            camParamChangeSize(&loaded, width, height, &camera) < 0) {
            std::fprintf(stderr, "tarlim-pattern: cannot use the camera file \"%s\"\n", cameraPath);
            return false;
        }
    } else if (synthCameraMake(width, height, std::max(width, height), 0.0, &camera) != 0) {
        std::fprintf(stderr, "tarlim-pattern: a %d x %d frame is too large\n", width, height);
        return false;
    }
    if (camParamInit(&camera) < 0 ||
        (grabDetector != nullptr && markDetectorSetCamera(grabDetector, &camera) < 0)) {
        std::fprintf(stderr, "tarlim-pattern: a %d x %d frame is too large\n", width, height);
        return false;
    }
    grabCamera = camera;
    return true;
}

// Adds the four orientations of the marker with corners (x[i], y[i]) (observed pixels,
// clockwise on the screen) to *sums, its top the edge nearest the top of the image.
void addSamples(const uint8_t* frame, const int32_t* x, const int32_t* y, const int32_t corner[4],
                GrabSums* sums)
{
    // The top edge: the one whose midpoint lies highest in the image. Corners run
    // clockwise on the screen, so it starts at the top-left corner.
    int top = 0;
    double topY = 1e300;
    for (int i = 0; i < 4; i++) {
        const double mid = static_cast<double>(y[corner[i]]) + y[corner[(i + 1) % 4]];
        if (mid < topY) {
            topY = mid;
            top = i;
        }
    }
    // Orientation h is the picture turned h quarter turns counterclockwise, which the
    // detector samples when the picture's top-left corner is its sample corner
    // (4 - h) mod 4: the sample starts at corner top + h.
    for (int h = 0; h < kPatternOrientations; h++) {
        int32_t corners[5];
        for (int j = 0; j < 4; j++) corners[j] = corner[(top + h + j) % 4];
        corners[4] = corners[0];
        uint8_t sample[kPatternValues];
        patternSampleImage(frame, grabCamera.width, grabCamera.height, x, y, corners, sample);
        for (int k = 0; k < kPatternValues; k++) sums->values[h][k] += sample[k];
    }
    sums->frames++;
}

// --robust: the robust detector finds the markers (local threshold, refined edges); the
// chosen one is sampled at its fitted corners. Returns the number of markers seen.
int grabFrameRobust(const uint8_t* frame, const GrabOptions& options, GrabSums* sums,
                    int* chosenArea)
{
    DetectedMarker* list = nullptr;
    int32_t count = 0;
    if (markDetectorRun(grabDetector, frame, &list, &count) < 0) return 0;
    count = std::min(count, grabDetector->stats.markers);  // fresh ones, not recalled
    if (count == 0) return 0;
    int chosen = 0;
    auto distance = [](const DetectedMarker& m) {
        const double dx = m.centroid[0] - grabCamera.width / 2.0;
        const double dy = m.centroid[1] - grabCamera.height / 2.0;
        return dx * dx + dy * dy;
    };
    for (int i = 1; i < count; i++)
        if (options.centre ? distance(list[i]) < distance(list[chosen])
                           : list[i].area > list[chosen].area)
            chosen = i;
    const DetectedMarker& m = list[chosen];
    *chosenArea = m.area;
    int32_t x[4], y[4];
    const int32_t corner[4] = {0, 1, 2, 3};
    for (int i = 0; i < 4; i++) {
        double ox = 0.0, oy = 0.0;
        camIdealToObserv(grabCamera.distortion, m.cornerPoints[i][0], m.cornerPoints[i][1], &ox,
                         &oy);
        x[i] = static_cast<int32_t>(std::lround(ox));
        y[i] = static_cast<int32_t>(std::lround(oy));
    }
    addSamples(frame, x, y, corner, sums);
    return count;
}

// Finds the squares of one frame (installed size) and adds the chosen one's samples to
// *sums. Returns the number of squares seen; *chosenArea the chosen one's area.
int grabFrame(const uint8_t* frame, const GrabOptions& options, GrabSums* sums, int* chosenArea)
{
    if (options.robust) return grabFrameRobust(frame, options, sums, chosenArea);
    int32_t regions = 0;
    int32_t *area = nullptr, *box = nullptr, *table = nullptr;
    double* centroid = nullptr;
    int16_t* labels = markLabel(frame, options.threshold, &regions, &area, &centroid, &box, &table);
    if (labels == nullptr) return 0;
    SquareCandidate* candidates = nullptr;
    int32_t count = 0;
    // Any size up to the whole frame: a marker held close to the camera fills much of it.
    const int maxArea = camImageWidth * camImageHeight;
    markFindSquares(labels, regions, table, area, centroid, box, maxArea, kMarkAreaMin,
                    kMarkSquareFactor, &candidates, &count);
    if (count == 0) return 0;
    int chosen = 0;
    for (int i = 1; i < count; i++) {
        if (options.centre) {
            auto distance = [](const SquareCandidate& c) {
                const double dx = c.centroid[0] - camImageWidth / 2.0;
                const double dy = c.centroid[1] - camImageHeight / 2.0;
                return dx * dx + dy * dy;
            };
            if (distance(candidates[i]) < distance(candidates[chosen])) chosen = i;
        } else if (candidates[i].area > candidates[chosen].area) {
            chosen = i;
        }
    }
    const SquareCandidate& c = candidates[chosen];
    *chosenArea = c.area;
    addSamples(frame, c.pointX, c.pointY, c.corners, sums);
    return count;
}

int grabImage(const GrabOptions& options, GrabSums* sums)
{
    UtilImage image;
    char reason[160];
    if (utilImageRead(options.image, kUtilBgra, int64_t(1) << 28, &image, reason, sizeof reason) <
        0) {
        std::fprintf(stderr, "tarlim-pattern: cannot read \"%s\": %s\n", options.image, reason);
        return 1;
    }
    int halvings = 0;
    while (static_cast<int64_t>(image.width) * image.height > kGrabPixelMax) {
        halve(&image);
        halvings++;
    }
    if (halvings > 0)
        std::printf("%s: reduced to %d x %d pixels for detection\n", options.image, image.width,
                    image.height);
    if (!installCamera(options.camera, image.width, image.height)) return 1;
    int area = 0;
    const int seen = grabFrame(image.pixels.data(), options, sums, &area);
    if (seen == 0) {
        std::fprintf(stderr,
                     "tarlim-pattern: no marker found in \"%s\" (threshold %d; a darker or "
                     "lighter picture may need another --threshold)\n",
                     options.image, options.threshold);
        return 1;
    }
    std::printf("%s: %d square%s found; using the %s (area %d pixels)\n", options.image, seen,
                seen == 1 ? "" : "s", options.centre ? "one nearest the centre" : "largest", area);
    return 0;
}

int grabVideo(const GrabOptions& options, GrabSums* sums)
{
    if (videoOpen(options.video) < 0) return 1;
    int width = 0, height = 0;
    videoInqSize(&width, &height);
    // Large frames are halved like photos; the camera is installed for the halved size.
    UtilImage reduced;
    reduced.width = width;
    reduced.height = height;
    int detectWidth = width, detectHeight = height;
    while (static_cast<int64_t>(detectWidth) * detectHeight > kGrabPixelMax) {
        detectWidth /= 2;
        detectHeight /= 2;
    }
    if (!installCamera(options.camera, detectWidth, detectHeight) || videoCapStart() < 0) {
        videoClose();
        return 1;
    }
    int framesRead = 0;
    auto lastFound = std::chrono::steady_clock::now();
    while (sums->frames < options.frames) {
        unsigned char* frame = videoGetImage();
        if (frame == nullptr) {
            if (std::chrono::steady_clock::now() - lastFound >
                std::chrono::milliseconds(kGrabVideoPatienceMs))
                break;
            utilSleep(2);
            continue;
        }
        framesRead++;
        const uint8_t* detectFrame = frame;
        if (detectWidth != width) {
            reduced.width = width;
            reduced.height = height;
            reduced.pixels.assign(frame, frame + static_cast<size_t>(width) * height * 4);
            while (reduced.width > detectWidth) halve(&reduced);
            detectFrame = reduced.pixels.data();
        }
        int area = 0;
        const int seen = grabFrame(detectFrame, options, sums, &area);
        videoCapNext();
        if (seen > 0) {
            lastFound = std::chrono::steady_clock::now();
            std::printf("\rframe %d: %d square%s, using the %s (area %d); %d of %d taken",
                        framesRead, seen, seen == 1 ? "" : "s",
                        options.centre ? "one nearest the centre" : "largest", area, sums->frames,
                        options.frames);
            std::fflush(stdout);
        }
    }
    std::printf("\n");
    videoCapStop();
    videoClose();
    if (sums->frames == 0) {
        std::fprintf(stderr, "tarlim-pattern: no marker found in %d frames (threshold %d)\n",
                     framesRead, options.threshold);
        return 1;
    }
    if (sums->frames < options.frames)
        std::printf("only %d of %d frames showed a marker; the pattern averages those\n",
                    sums->frames, options.frames);
    return 0;
}

bool parseInt(const char* text, long min, long max, int* value)
{
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < min || v > max) return false;
    *value = static_cast<int>(v);
    return true;
}

int commandGrab(int argc, char** argv)
{
    GrabOptions options;
    bool framesGiven = false, thresholdGiven = false;
    for (int i = 2; i < argc; i++) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "-o" && hasValue) {
            options.output = argv[++i];
        } else if (arg == "--video" && hasValue) {
            options.video = argv[++i];
        } else if (arg == "--frames" && hasValue) {
            if (!parseInt(argv[++i], 1, 10000, &options.frames))
                return usageError("--frames takes 1 ... 10000");
            framesGiven = true;
        } else if (arg == "--camera" && hasValue) {
            options.camera = argv[++i];
        } else if (arg == "--threshold" && hasValue) {
            if (!parseInt(argv[++i], 0, 255, &options.threshold))
                return usageError("--threshold takes 0 ... 255");
            thresholdGiven = true;
        } else if (arg == "--robust") {
            options.robust = true;
        } else if (arg == "--centre" || arg == "--center") {
            options.centre = true;
        } else if (arg == "--compare") {
            while (i + 1 < argc && argv[i + 1][0] != '-') options.compare.push_back(argv[++i]);
            if (options.compare.empty()) return usageError("--compare needs pattern files");
        } else if (arg[0] != '-' && options.image == nullptr) {
            options.image = argv[i];
        } else {
            return usageError("unexpected \"" + arg + "\"");
        }
    }
    if (options.output == nullptr) return usageError("grab needs -o");
    if ((options.image == nullptr) == (options.video == nullptr))
        return usageError("grab takes either an image or --video");
    if (framesGiven && options.video == nullptr) return usageError("--frames goes with --video");
    if (thresholdGiven && options.robust)
        return usageError("--robust sets its own threshold; give --threshold or --robust");
    // Read the comparison patterns first, so a typo does not cost a capture.
    std::vector<ToolNormalised> patterns;
    std::vector<std::string> names;
    if (!loadForCompare(options.compare, &patterns, &names)) return 1;

    if (options.robust) {
        const MarkOptions robust = markRobustOptions();
        grabDetector = markDetectorCreate(&robust, nullptr);
        if (grabDetector == nullptr) {
            std::fprintf(stderr, "tarlim-pattern: no memory for the detector\n");
            return 1;
        }
    }
    GrabSums sums;
    const int status =
        options.image != nullptr ? grabImage(options, &sums) : grabVideo(options, &sums);
    markDetectorRelease(grabDetector);
    grabDetector = nullptr;
    if (status != 0) return status;
    ToolPattern pattern;
    for (int h = 0; h < kPatternOrientations; h++)
        for (int r = 0; r < kSide; r++)
            for (int k = 0; k < kSide; k++)
                for (int c = 0; c < 3; c++)
                    pattern.values[h][toolGridIndex(c, r, k)] = static_cast<int>(
                        (sums.values[h][(r * kSide + k) * 3 + c] + sums.frames / 2) / sums.frames);
    if (toolPatternWrite(options.output, pattern) != 0) {
        std::fprintf(stderr, "tarlim-pattern: cannot write \"%s\"\n", options.output);
        return 1;
    }
    printPreview(std::string(options.output) + " (" + std::to_string(sums.frames) +
                     (sums.frames == 1 ? " frame)" : " frames)"),
                 pattern);
    if (!patterns.empty()) {
        ToolNormalised grabbed;
        toolNormalise(pattern, &grabbed);
        std::printf("resemblance to the given patterns (the detector accepts 0.5):\n");
        for (size_t i = 0; i < patterns.size(); i++)
            std::printf("  %-24s %6.3f\n", names[i].c_str(),
                        toolBestCorrelation(grabbed, patterns[i]));
        std::printf("  %-24s %6.3f\n", "itself turned", toolSelfTurn(grabbed));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "make") == 0) return commandMake(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "show") == 0) return commandShow(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "compare") == 0) return commandCompare(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "grab") == 0) return commandGrab(argc, argv);
    return usageError(argc < 2 ? "no command" : std::string("no command \"") + argv[1] + "\"");
}
