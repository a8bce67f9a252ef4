// tarlim-detect: finds the markers in pictures (PNG, JPEG) or a video and prints one JSON
// object per marker on standard output.
//
//   tarlim-detect [--camera FILE] [--threshold N] [--robust] [option flags]
//                 --pattern P.pat [--pattern ...] [--width MM] [--all]
//                 [--overlay OUT.png] [--stats] (INPUT... | --video "SRC" --frames N)
//
// Exit status: 0 success (also when nothing is found), 1 an input could not be read,
// 2 bad arguments.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "detect/detect.h"
#include "pattern/pattern.h"
#include "pose/pose.h"
#include "util/util.h"
#include "video/video.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// A video source that delivers nothing for this long has ended.
constexpr int kVideoIdleMs = 3000;

const char* const kUsage =
    "usage: tarlim-detect [--camera FILE] [--threshold N] [--robust] [option flags]\n"
    "                     --pattern P.pat [--pattern ...] [--width MM] [--all]\n"
    "                     [--overlay OUT.png] [--stats] (INPUT... | --video \"SRC\" --frames N)\n"
    "\n"
    "Finds square markers in each INPUT (a PNG or JPEG picture) or in the first N frames of\n"
    "a video source (a GStreamer description) and prints one JSON object per marker:\n"
    "  {\"input\": \"photo.png\", \"frame\": 0, \"pattern\": 0, \"pattern_file\": \"a.pat\",\n"
    "   \"confidence\": 0.87, \"direction\": 2, \"area\": 1234, \"corners\": [[x, y], ...]}\n"
    "pattern is the index of the --pattern argument (0 first), -1 for an unrecognised\n"
    "square; corners are image pixels (pixel centres at integers) of the marker corners\n"
    "c0 (the picture's top-left) to c3, clockwise as seen in the image.\n"
    "\n"
    "  --camera FILE      camera parameter file, scaled to the picture size (default: no\n"
    "                     distortion, principal point at the centre, fx = fy = width)\n"
    "  --threshold N      dark when the mean of blue, green, red is at most N (default 100)\n"
    "  --robust           the robust preset: every option below on but --local-cells,\n"
    "                     --local-ceiling 100 (best for photographs and webcams)\n"
    "  --frame-sized      capacities that follow the frame (no marker lost to a full list)\n"
    "  --local-threshold  dark relative to the neighbourhood instead of --threshold\n"
    "  --local-window N   its neighbourhood, odd side in pixels (default: from the size)\n"
    "  --local-offset N   grey levels below the local mean (default 2)\n"
    "  --local-percent N  and percent of the local mean (default 15)\n"
    "  --local-cells      the local mean read from 4 x 4 cells (faster; a few markers\n"
    "                     fewer across sharp shadow edges)\n"
    "  --local-ceiling N  never dark above this mean of blue, green, red (0: none)\n"
    "  --enclosed-tolerance  square test tolerance from the enclosed area\n"
    "  --edge-refinement  edges moved to the printed edge (sub-pixel corners)\n"
    "  --bilinear-sampling   picture sampled at the fitted corners\n"
    "  --soft-matching    sample and patterns smoothed before matching (small markers)\n"
    "  --pixel-matching   small markers' best pattern drawn into the pixels and checked\n"
    "  --second-look      small windows thresholded again on their own (deep shade,\n"
    "                     markers on dark patches)\n"
    "  --shade-matching   weak matches matched again with the light evened out (a\n"
    "                     shadow's edge across the marker)\n"
    "  --shade-search     tiles in shade thresholded again on their own (deep shade,\n"
    "                     a shadow's dark side; costs time on dark frames)\n"
    "  --min-area N, --max-area N   region size limits, pixels (default 70, 100000)\n"
    "  --candidates N     squares examined per frame, 1 to 1024 (default 30)\n"
    "  --pattern P.pat    a pattern file; repeat for more (at most 50)\n"
    "  --width MM         marker side: adds \"transform\", 12 numbers of [R|t] row by row\n"
    "  --all              also print unrecognised squares (pattern -1)\n"
    "  --overlay OUT.png  the input with every square outlined (recognised: colour, pattern\n"
    "                     and confidence, c0 marked; unrecognised: thin grey); with several\n"
    "                     inputs or frames, -N is inserted before the extension\n"
    "  --stats            the detector's per-stage counts on standard error\n"
    "  --video SRC        read frames from a GStreamer source; --frames N: how many\n"
    "\n"
    "exit status: 0 success (also when nothing is found), 1 an input could not be read,\n"
    "2 bad arguments\n";

struct Args {
    std::string camera;
    MarkOptions options = markDefaultOptions();
    std::vector<std::string> patterns;
    double width = 0.0;
    bool all = false;
    std::string overlay;
    bool stats = false;
    std::string video;
    bool videoGiven = false;
    long frames = 0;
    std::vector<std::string> inputs;
};

int usageError(const std::string& message)
{
    std::fprintf(stderr, "tarlim-detect: %s\n%s", message.c_str(), kUsage);
    return kExitUsage;
}

bool parseLong(const char* text, long lo, long hi, long* out)
{
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// Parses the command line into *args. Returns 0, or the usage exit status after the
// message.
int parseArgs(int argc, char** argv, Args* args)
{
    bool robust = false;
    MarkOptions& o = args->options;
    struct Flag {
        const char* name;
        int32_t MarkOptions::*field;
    };
    const Flag flags[] = {{"--frame-sized", &MarkOptions::frameSized},
                          {"--local-threshold", &MarkOptions::localThreshold},
                          {"--local-cells", &MarkOptions::localCells},
                          {"--enclosed-tolerance", &MarkOptions::enclosedTolerance},
                          {"--edge-refinement", &MarkOptions::edgeRefinement},
                          {"--bilinear-sampling", &MarkOptions::bilinearSampling},
                          {"--soft-matching", &MarkOptions::softMatching},
                          {"--pixel-matching", &MarkOptions::pixelMatching},
                          {"--second-look", &MarkOptions::secondLook},
                          {"--shade-matching", &MarkOptions::shadeMatching},
                          {"--shade-search", &MarkOptions::shadeSearch}};
    struct Number {
        const char* name;
        int32_t MarkOptions::*field;
        long lo, hi;
    };
    const Number numbers[] = {{"--threshold", &MarkOptions::threshold, 0, 255},
                              {"--local-window", &MarkOptions::localWindow, 3, 1023},
                              {"--local-offset", &MarkOptions::localOffset, 0, 255},
                              {"--local-percent", &MarkOptions::localPercent, 0, 99},
                              {"--local-ceiling", &MarkOptions::localCeiling, 0, 255},
                              {"--min-area", &MarkOptions::minArea, 1, INT32_MAX},
                              {"--max-area", &MarkOptions::maxArea, 1, INT32_MAX},
                              {"--candidates", &MarkOptions::candidateMax, 1, kMarkCandidateCap}};
    // Explicit settings win over the preset, whatever their order.
    std::vector<std::pair<int32_t MarkOptions::*, int32_t>> explicitly;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        auto value = [&](const char* name, const char** out) {
            if (i + 1 >= argc) return usageError(std::string(name) + " needs a value");
            *out = argv[++i];
            return 0;
        };
        const char* v = nullptr;
        bool matched = false;
        for (const Flag& f : flags) {
            if (a != f.name) continue;
            explicitly.push_back({f.field, 1});
            matched = true;
        }
        for (const Number& n : numbers) {
            if (a != n.name) continue;
            if (int r = value(n.name, &v)) return r;
            long parsed = 0;
            if (!parseLong(v, n.lo, n.hi, &parsed) ||
                (n.field == &MarkOptions::localWindow && parsed % 2 == 0))
                return usageError(
                    std::string(n.name) + ": not " +
                    (n.field == &MarkOptions::localWindow ? "an odd number " : "a number ") +
                    "from " + std::to_string(n.lo) + " to " + std::to_string(n.hi) + ": \"" + v +
                    "\"");
            explicitly.push_back({n.field, static_cast<int32_t>(parsed)});
            matched = true;
        }
        if (matched) continue;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--robust") {
            robust = true;
        } else if (a == "--camera") {
            if (int r = value("--camera", &v)) return r;
            args->camera = v;
        } else if (a == "--pattern") {
            if (int r = value("--pattern", &v)) return r;
            args->patterns.push_back(v);
        } else if (a == "--width") {
            if (int r = value("--width", &v)) return r;
            char* end = nullptr;
            errno = 0;
            args->width = std::strtod(v, &end);
            if (end == v || *end != '\0' || errno == ERANGE || !std::isfinite(args->width) ||
                args->width <= 0.0)
                return usageError(std::string("--width: not a positive number: \"") + v + "\"");
        } else if (a == "--all") {
            args->all = true;
        } else if (a == "--overlay") {
            if (int r = value("--overlay", &v)) return r;
            args->overlay = v;
        } else if (a == "--stats") {
            args->stats = true;
        } else if (a == "--video") {
            if (int r = value("--video", &v)) return r;
            args->video = v;
            args->videoGiven = true;
        } else if (a == "--frames") {
            if (int r = value("--frames", &v)) return r;
            if (!parseLong(v, 1, LONG_MAX, &args->frames))
                return usageError(std::string("--frames: not a positive number: \"") + v + "\"");
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError("unknown option \"" + a + "\"");
        } else {
            args->inputs.push_back(a);
        }
    }
    if (robust) o = markRobustOptions();
    for (const auto& e : explicitly) o.*(e.first) = e.second;
    if (args->patterns.empty()) return usageError("no --pattern given");
    if (args->patterns.size() > static_cast<size_t>(kPatternSlotMax))
        return usageError("at most " + std::to_string(kPatternSlotMax) + " patterns");
    if (args->videoGiven) {
        if (!args->inputs.empty()) return usageError("give either pictures or --video, not both");
        if (args->frames == 0) return usageError("--video needs --frames N");
    } else {
        if (args->frames != 0) return usageError("--frames belongs to --video");
        if (args->inputs.empty()) return usageError("no input given (pictures or --video)");
    }
    if (markOptionsCheck(&o) < 0) return usageError("the detection options do not fit together");
    return 0;
}

// ---- Output ----------------------------------------------------------------------------

std::string jsonString(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Corners c0 ... c3 of a detection in observed pixels: c0 the picture's top-left, then
// clockwise. An unrecognised square keeps the detector's order.
void markerCorners(const DetectedMarker& m, const CameraParam& camera, double out[4][2])
{
    const int d = m.patternId >= 0 && m.direction >= 0 ? m.direction : 0;
    for (int k = 0; k < 4; k++) {
        const double* p = m.cornerPoints[(k + 4 - d) % 4];
        camIdealToObserv(camera.distortion, p[0], p[1], &out[k][0], &out[k][1]);
    }
}

void printMarker(const Args& args, const std::string& input, long frame, int pattern,
                 const DetectedMarker& m, const CameraParam& camera)
{
    double c[4][2];
    markerCorners(m, camera, c);
    std::string line = "{\"input\": " + jsonString(input) +
                       ", \"frame\": " + std::to_string(frame) +
                       ", \"pattern\": " + std::to_string(pattern) + ", \"pattern_file\": ";
    line += pattern >= 0 ? jsonString(args.patterns[pattern]) : std::string("null");
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  ", \"confidence\": %.4f, \"direction\": %d, \"area\": %d, \"corners\": "
                  "[[%.3f, %.3f], [%.3f, %.3f], [%.3f, %.3f], [%.3f, %.3f]]",
                  m.confidence, pattern >= 0 ? m.direction : -1, m.area, c[0][0], c[0][1], c[1][0],
                  c[1][1], c[2][0], c[2][1], c[3][0], c[3][1]);
    line += buf;
    if (args.width > 0.0 && pattern >= 0) {
        double T[3][4];
        const double centre[2] = {0.0, 0.0};
        if (poseGetTransformWith(&camera, &m, centre, args.width, T) >= 0) {
            line += ", \"transform\": [";
            for (int r = 0; r < 3; r++)
                for (int k = 0; k < 4; k++) {
                    std::snprintf(buf, sizeof buf, "%s%.6g", r + k ? ", " : "", T[r][k]);
                    line += buf;
                }
            line += "]";
        } else {
            line += ", \"transform\": null";
        }
    }
    std::printf("%s}\n", line.c_str());
}

// ---- Overlay ---------------------------------------------------------------------------

// Digits and the decimal point, 3 x 5 pixels, one row per 3 bits.
const uint8_t kGlyphs[11][5] = {{7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7},
                                {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1},
                                {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}, {0, 0, 0, 0, 2}};

struct Canvas {
    std::vector<uint8_t>* pixels;  // BGRA
    int width, height;

    void dot(int x, int y, const uint8_t bgr[3]) const
    {
        if (x < 0 || y < 0 || x >= width || y >= height) return;
        uint8_t* p = pixels->data() + (static_cast<size_t>(y) * width + x) * 4;
        p[0] = bgr[0];
        p[1] = bgr[1];
        p[2] = bgr[2];
    }
    void line(double x0, double y0, double x1, double y1, const uint8_t bgr[3], int thick) const
    {
        const int steps = static_cast<int>(std::ceil(std::hypot(x1 - x0, y1 - y0))) + 1;
        for (int s = 0; s <= steps; s++) {
            const double t = static_cast<double>(s) / steps;
            const int x = static_cast<int>(std::lround(x0 + t * (x1 - x0)));
            const int y = static_cast<int>(std::lround(y0 + t * (y1 - y0)));
            for (int dy = 0; dy < thick; dy++)
                for (int dx = 0; dx < thick; dx++) dot(x + dx, y + dy, bgr);
        }
    }
    void text(int x, int y, const std::string& s, const uint8_t bgr[3], int scale) const
    {
        for (char ch : s) {
            const int g = ch == '.' ? 10 : (ch >= '0' && ch <= '9' ? ch - '0' : -1);
            if (g >= 0)
                for (int r = 0; r < 5; r++)
                    for (int c = 0; c < 3; c++)
                        if (kGlyphs[g][r] & (4 >> c))
                            for (int sy = 0; sy < scale; sy++)
                                for (int sx = 0; sx < scale; sx++)
                                    dot(x + c * scale + sx, y + r * scale + sy, bgr);
            x += 4 * scale;
        }
    }
};

void drawMarker(const Canvas& canvas, const DetectedMarker& m, int pattern,
                const CameraParam& camera)
{
    static const uint8_t kColours[6][3] = {{0, 200, 0},   {0, 140, 255}, {255, 80, 0},
                                           {200, 0, 200}, {0, 220, 220}, {80, 80, 255}};
    static const uint8_t kGrey[3] = {150, 150, 150};
    double c[4][2];
    markerCorners(m, camera, c);
    const uint8_t* colour = pattern >= 0 ? kColours[pattern % 6] : kGrey;
    const int thick = pattern >= 0 ? 2 : 1;
    for (int k = 0; k < 4; k++)
        canvas.line(c[k][0], c[k][1], c[(k + 1) % 4][0], c[(k + 1) % 4][1], colour, thick);
    if (pattern < 0) return;
    // c0: a filled square.
    for (int dy = -3; dy <= 3; dy++)
        for (int dx = -3; dx <= 3; dx++)
            canvas.dot(static_cast<int>(std::lround(c[0][0])) + dx,
                       static_cast<int>(std::lround(c[0][1])) + dy, colour);
    char label[32];
    std::snprintf(label, sizeof label, "%d %.2f", pattern, m.confidence);
    // Below the square, centred.
    double cx = 0.0, bottom = c[0][1];
    for (int k = 0; k < 4; k++) {
        cx += c[k][0] / 4.0;
        bottom = std::max(bottom, c[k][1]);
    }
    const int scale = canvas.width >= 1280 ? 2 : 1;
    const int textWidth = static_cast<int>(std::strlen(label)) * 4 * scale;
    canvas.text(static_cast<int>(cx) - textWidth / 2, static_cast<int>(bottom) + 3, label, colour,
                scale);
}

std::string overlayPath(const Args& args, long index, bool several)
{
    if (!several) return args.overlay;
    const size_t dot = args.overlay.find_last_of('.');
    const size_t slash = args.overlay.find_last_of('/');
    const std::string suffix = "-" + std::to_string(index);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return args.overlay + suffix;
    return args.overlay.substr(0, dot) + suffix + args.overlay.substr(dot);
}

// ---- Detection -------------------------------------------------------------------------

struct Session {
    Args args;
    MarkDetector* detector = nullptr;
    PatternSet* patterns = nullptr;
    std::vector<int> argumentOfSlot;  // slot -> --pattern index
    CameraParam fileCamera{};
    bool haveFileCamera = false;
    CameraParam camera{};
};

// Installs the camera for width x height frames. Returns 0 or -1.
int setCamera(Session* s, int width, int height)
{
    if (s->camera.width == width && s->camera.height == height) return 0;
    CameraParam c{};
    if (s->haveFileCamera) {
        camParamChangeSize(&s->fileCamera, width, height, &c);
    } else {
        c.width = width;
        c.height = height;
        const double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0;
        const double P[3][4] = {{double(width), 0, cx, 0}, {0, double(width), cy, 0}, {0, 0, 1, 0}};
        std::memcpy(c.projection, P, sizeof P);
        c.distortion[0] = cx;
        c.distortion[1] = cy;
        c.distortion[2] = 0.0;
        c.distortion[3] = 1.0;
    }
    if (markDetectorSetCamera(s->detector, &c) < 0) return -1;
    s->camera = c;
    return 0;
}

// Detects and prints the markers of one frame; writes the overlay when asked.
void processFrame(Session* s, const std::string& input, long frame, uint8_t* pixels, int width,
                  int height, long overlayIndex, bool several)
{
    DetectedMarker* list = nullptr;
    int32_t count = 0;
    if (markDetectorRun(s->detector, pixels, &list, &count) < 0) {
        std::fprintf(stderr, "tarlim-detect: %s frame %ld: detection failed\n", input.c_str(),
                     frame);
        return;
    }
    std::vector<uint8_t> copy;
    if (!s->args.overlay.empty())
        copy.assign(pixels, pixels + static_cast<size_t>(width) * height * 4);
    const Canvas draw{&copy, width, height};
    for (int32_t i = 0; i < count; i++) {
        const DetectedMarker& m = list[i];
        const int pattern =
            m.patternId >= 0 && m.patternId < static_cast<int>(s->argumentOfSlot.size())
                ? s->argumentOfSlot[m.patternId]
                : -1;
        if (pattern >= 0 || s->args.all) printMarker(s->args, input, frame, pattern, m, s->camera);
        if (!s->args.overlay.empty()) drawMarker(draw, m, pattern, s->camera);
    }
    std::fflush(stdout);
    if (s->args.stats) {
        const MarkStats& st = s->detector->stats;
        std::fprintf(stderr,
                     "%s frame %ld: regions %d, sized %d, squares %d%s, candidates %d, markers %d, "
                     "recognised %d, recalled %d\n",
                     input.c_str(), frame, st.regions, st.sizedRegions, st.squares,
                     st.candidatesFull ? " (list full)" : "", st.candidates, st.markers,
                     st.recognised, st.recalled);
    }
    if (!s->args.overlay.empty()) {
        const std::string path = overlayPath(s->args, overlayIndex, several);
        if (utilPngWriteFast(path.c_str(), width, height, copy.data(), kUtilBgra) < 0)
            std::fprintf(stderr, "tarlim-detect: cannot write \"%s\"\n", path.c_str());
    }
}

int runPictures(Session* s)
{
    int status = 0;
    const bool several = s->args.inputs.size() > 1;
    for (size_t i = 0; i < s->args.inputs.size(); i++) {
        const std::string& path = s->args.inputs[i];
        UtilImage image;
        char reason[256];
        if (utilImageRead(path.c_str(), kUtilBgra, kMarkPixelMax, &image, reason, sizeof reason) <
            0) {
            std::fprintf(stderr, "tarlim-detect: %s: %s\n", path.c_str(), reason);
            status = kExitFailure;
            continue;
        }
        if (setCamera(s, image.width, image.height) < 0) {
            std::fprintf(stderr, "tarlim-detect: %s: a picture of %dx%d cannot be processed\n",
                         path.c_str(), image.width, image.height);
            status = kExitFailure;
            continue;
        }
        // Pictures are independent: nothing is remembered from one to the next.
        markDetectorResetHistory(s->detector);
        processFrame(s, path, 0, image.pixels.data(), image.width, image.height,
                     static_cast<long>(i), several);
    }
    return status;
}

int runVideo(Session* s)
{
    if (videoOpen(s->args.video.c_str()) != 0) {
        std::fprintf(stderr, "tarlim-detect: cannot open the video source \"%s\"\n",
                     s->args.video.c_str());
        return kExitFailure;
    }
    int width = 0, height = 0;
    videoInqSize(&width, &height);
    if (setCamera(s, width, height) < 0 || videoCapStart() != 0) {
        videoClose();
        std::fprintf(stderr, "tarlim-detect: the video source does not start\n");
        return kExitFailure;
    }
    long frame = 0;
    auto idleSince = std::chrono::steady_clock::now();
    while (frame < s->args.frames) {
        unsigned char* pixels = videoGetImage();
        if (pixels == nullptr) {
            const auto idle = std::chrono::steady_clock::now() - idleSince;
            if (std::chrono::duration_cast<std::chrono::milliseconds>(idle).count() > kVideoIdleMs)
                break;
            utilSleep(2);
            continue;
        }
        idleSince = std::chrono::steady_clock::now();
        processFrame(s, s->args.video, frame, pixels, width, height, frame, s->args.frames > 1);
        videoCapNext();
        frame++;
    }
    videoCapStop();
    videoClose();
    if (frame < s->args.frames)
        std::fprintf(stderr, "tarlim-detect: the video ended after %ld of %ld frames\n", frame,
                     s->args.frames);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Session s;
    if (int r = parseArgs(argc, argv, &s.args)) return r;
    if (!s.args.camera.empty()) {
        if (camParamLoad(s.args.camera.c_str(), 1, &s.fileCamera) < 0 || s.fileCamera.width < 1 ||
            s.fileCamera.height < 1) {
            std::fprintf(stderr, "tarlim-detect: cannot read the camera file \"%s\"\n",
                         s.args.camera.c_str());
            return kExitFailure;
        }
        s.haveFileCamera = true;
    }
    s.patterns = patternSetCreate();
    if (s.patterns == nullptr) {
        std::fprintf(stderr, "tarlim-detect: out of memory\n");
        return kExitFailure;
    }
    for (size_t i = 0; i < s.args.patterns.size(); i++) {
        const int slot = patternSetLoad(s.patterns, s.args.patterns[i].c_str());
        if (slot < 0) {
            std::fprintf(stderr, "tarlim-detect: %s: %s\n", s.args.patterns[i].c_str(),
                         slot == kPatternNotFound ? "cannot open the pattern file"
                                                  : "not a pattern file");
            patternSetRelease(s.patterns);
            return kExitFailure;
        }
        if (static_cast<int>(s.argumentOfSlot.size()) <= slot)
            s.argumentOfSlot.resize(slot + 1, -1);
        s.argumentOfSlot[slot] = static_cast<int>(i);
    }
    s.detector = markDetectorCreate(&s.args.options, s.patterns);
    if (s.detector == nullptr) {
        std::fprintf(stderr, "tarlim-detect: out of memory\n");
        patternSetRelease(s.patterns);
        return kExitFailure;
    }
    const int status = s.args.videoGiven ? runVideo(&s) : runPictures(&s);
    markDetectorRelease(s.detector);
    patternSetRelease(s.patterns);
    return status;
}
