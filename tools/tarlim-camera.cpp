// tarlim-camera: writes and inspects camera parameter files.
//
//   tarlim-camera make --size WxH --fx F --fy F --cx X --cy Y [--skew S]
//                      [--distortion x0,y0,f,s] -o FILE
//   tarlim-camera show FILE
//
// Exit status: 0 success, 1 a file could not be read or written, 2 bad arguments.
#include "camera/camera.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

constexpr int kExitFile = 1;
constexpr int kExitUsage = 2;
// show prints at most this many records of a longer file (a camera file normally
// holds one).
constexpr int kShowMaxRecords = 8;
constexpr double kPi = 3.14159265358979323846;

const char* const kUsage =
    "usage: tarlim-camera make --size WxH --fx F --fy F --cx X --cy Y [--skew S]\n"
    "                          [--distortion x0,y0,f,s] -o FILE\n"
    "       tarlim-camera show FILE\n"
    "       tarlim-camera --help\n"
    "\n"
    "make  writes a camera parameter file with one record: an image of W x H pixels, the\n"
    "      camera matrix [[F_x, S, X, 0], [0, F_y, Y, 0], [0, 0, 1, 0]] (focal lengths and\n"
    "      principal point in pixels, S the skew, default 0) and the radial distortion\n"
    "      x0, y0 (centre, pixels), f (factor, used times 1e-8; positive is barrel),\n"
    "      s (scale, > 0). Without --distortion: centre (X, Y), f = 0, s = 1.\n"
    "show  prints the records of FILE (the first 8): size, matrix, distortion, the\n"
    "      intrinsics derived from the matrix, the field of view and how far the\n"
    "      distortion moves the top-left image corner.\n"
    "\n"
    "exit status: 0 success, 1 file error, 2 bad arguments\n";

int usageError(const char* fmt, const char* arg)
{
    std::fprintf(stderr, "tarlim-camera: ");
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

bool parsePositiveInt(const char* text, long max, int* out)
{
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v <= 0 || v > max) return false;
    *out = static_cast<int>(v);
    return true;
}

// "640x480": two positive integers, each at most what a camera file may hold.
bool parseSize(const char* text, int* width, int* height)
{
    const char* x = std::strchr(text, 'x');
    if (x == nullptr) return false;
    const std::string w(text, x);
    return parsePositiveInt(w.c_str(), kCamParamSizeMax, width) &&
           parsePositiveInt(x + 1, kCamParamSizeMax, height);
}

// "x0,y0,f,s": four finite numbers.
bool parseDistortion(const char* text, double out[4])
{
    std::string rest(text);
    for (int i = 0; i < 4; i++) {
        const size_t comma = rest.find(',');
        if ((i < 3) != (comma != std::string::npos)) return false;
        const std::string field = rest.substr(0, comma);
        if (!parseNumber(field.c_str(), &out[i])) return false;
        rest = (i < 3) ? rest.substr(comma + 1) : std::string();
    }
    return true;
}

int runMake(int argc, char** argv)
{
    int width = 0, height = 0;
    double fx = 0, fy = 0, cx = 0, cy = 0, skew = 0;
    double distortion[4];
    bool haveSize = false, haveFx = false, haveFy = false, haveCx = false, haveCy = false,
         haveDist = false;
    const char* outPath = nullptr;

    for (int i = 0; i < argc; i++) {
        const char* opt = argv[i];
        if (std::strcmp(opt, "--help") == 0 || std::strcmp(opt, "-h") == 0) {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) return usageError("option %s needs a value", opt);
        const char* val = argv[++i];
        bool ok = true;
        const char* expected = "a finite number";
        if (std::strcmp(opt, "--size") == 0) {
            ok = haveSize = parseSize(val, &width, &height);
            expected = "WxH, two positive integers";
        } else if (std::strcmp(opt, "--fx") == 0) {
            ok = haveFx = parseNumber(val, &fx) && fx > 0;
            expected = "a positive number";
        } else if (std::strcmp(opt, "--fy") == 0) {
            ok = haveFy = parseNumber(val, &fy) && fy > 0;
            expected = "a positive number";
        } else if (std::strcmp(opt, "--cx") == 0) {
            ok = haveCx = parseNumber(val, &cx);
        } else if (std::strcmp(opt, "--cy") == 0) {
            ok = haveCy = parseNumber(val, &cy);
        } else if (std::strcmp(opt, "--skew") == 0) {
            ok = parseNumber(val, &skew);
        } else if (std::strcmp(opt, "--distortion") == 0) {
            ok = haveDist = parseDistortion(val, distortion) && distortion[3] > 0;
            expected = "x0,y0,f,s, four numbers with s positive";
        } else if (std::strcmp(opt, "-o") == 0) {
            outPath = val;
        } else {
            return usageError("unknown option %s", opt);
        }
        if (!ok) {
            std::fprintf(stderr, "tarlim-camera: bad value for %s: \"%s\" (expected %s)\n%s", opt,
                         val, expected, kUsage);
            return kExitUsage;
        }
    }
    if (!haveSize) return usageError("%s", "missing --size");
    if (!haveFx || !haveFy) return usageError("%s", "missing --fx or --fy");
    if (!haveCx || !haveCy) return usageError("%s", "missing --cx or --cy");
    if (outPath == nullptr) return usageError("%s", "missing -o FILE");

    CameraParam param{};
    param.width = width;
    param.height = height;
    const double projection[3][4] = {{fx, skew, cx, 0}, {0, fy, cy, 0}, {0, 0, 1, 0}};
    std::memcpy(param.projection, projection, sizeof projection);
    if (haveDist) {
        std::memcpy(param.distortion, distortion, sizeof distortion);
    } else {
        param.distortion[0] = cx;
        param.distortion[1] = cy;
        param.distortion[2] = 0.0;
        param.distortion[3] = 1.0;
    }
    if (camParamSave(outPath, 1, &param) != 0) {
        std::fprintf(stderr, "tarlim-camera: cannot write \"%s\": %s\n", outPath,
                     std::strerror(errno));
        return kExitFile;
    }
    return 0;
}

double degrees(double radians)
{
    return radians * 180.0 / kPi;
}

void printRecord(int index, const CameraParam& p)
{
    std::printf("record %d\n", index);
    std::printf("  size        %d x %d pixels\n", p.width, p.height);
    for (int i = 0; i < 3; i++) {
        std::printf("  %s  [ %12.6f %12.6f %12.6f %12.6f ]\n", i == 0 ? "projection" : "          ",
                    p.projection[i][0], p.projection[i][1], p.projection[i][2], p.projection[i][3]);
    }
    std::printf("  distortion  x0 = %.6f  y0 = %.6f  f = %.6f  s = %.6f\n", p.distortion[0],
                p.distortion[1], p.distortion[2], p.distortion[3]);

    double a[3][4], t[3][4];
    camDecomposeProjection(p.projection, a, t);
    const double fx = a[0][0], fy = a[1][1], cx = a[0][2], cy = a[1][2];
    std::printf("  intrinsics  fx = %.6f  fy = %.6f  cx = %.6f  cy = %.6f  skew = %.6f\n", fx, fy,
                cx, cy, a[0][1]);
    // Angles from the principal point to the image edges at 0 and width (height).
    const double hfov = degrees(std::atan(cx / fx) + std::atan((p.width - cx) / fx));
    const double vfov = degrees(std::atan(cy / fy) + std::atan((p.height - cy) / fy));
    std::printf("  field of view  horizontal %.2f degrees  vertical %.2f degrees\n", hfov, vfov);
    double ox, oy;
    camIdealToObserv(p.distortion, 0.0, 0.0, &ox, &oy);
    // How strong the lens is where it matters most: at the image corner.
    std::printf("  corner      ideal (0, 0) is observed at (%.3f, %.3f), moved by %.3f pixels\n",
                ox, oy, std::hypot(ox, oy));
}

int runShow(int argc, char** argv)
{
    if (argc == 1 && (std::strcmp(argv[0], "--help") == 0 || std::strcmp(argv[0], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc != 1) return usageError("%s", "show takes exactly one FILE");
    const char* path = argv[0];

    struct stat st;
    if (stat(path, &st) != 0) {
        std::fprintf(stderr, "tarlim-camera: cannot read \"%s\": %s\n", path, std::strerror(errno));
        return kExitFile;
    }
    if (!S_ISREG(st.st_mode) || st.st_size == 0 || st.st_size % kCamParamRecordSize != 0) {
        std::fprintf(
            stderr,
            "tarlim-camera: \"%s\" is not a camera parameter file: its size (%lld bytes) is not a "
            "positive multiple of %d\n",
            path, static_cast<long long>(st.st_size), kCamParamRecordSize);
        return kExitFile;
    }
    const long long total = st.st_size / kCamParamRecordSize;
    const int count = total < kShowMaxRecords ? static_cast<int>(total) : kShowMaxRecords;

    CameraParam r[kShowMaxRecords];
    static_assert(kShowMaxRecords == 8, "the load call below passes 8 destinations");
    // Load 1, 2, ... records so that a failure names the record at fault.
    for (int n = 1; n <= count; n++) {
        if (camParamLoad(path, n, &r[0], &r[1], &r[2], &r[3], &r[4], &r[5], &r[6], &r[7]) != 0) {
            std::fprintf(stderr,
                         "tarlim-camera: \"%s\": record %d is not valid camera parameters (width "
                         "and height must "
                         "be positive, every number finite; the file is big-endian)\n",
                         path, n - 1);
            return kExitFile;
        }
    }
    std::printf("%s: %lld record%s\n", path, total, total == 1 ? "" : "s");
    for (int i = 0; i < count; i++) printRecord(i, r[i]);
    if (total > count) std::printf("(%lld more records not shown)\n", total - count);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const char* command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (std::strcmp(command, "make") == 0) return runMake(argc - 2, argv + 2);
    if (std::strcmp(command, "show") == 0) return runShow(argc - 2, argv + 2);
    return usageError("unknown command \"%s\"", command);
}
