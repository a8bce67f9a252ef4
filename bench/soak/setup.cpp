// Soak set-up: the command line, and the camera and patterns loaded as the viewer's
// start-up loads them.
#include "bench/soak/soak.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void soakUsage(FILE* out)
{
    std::fputs("usage: soak [--frames N] [--size WxH] [--seed S] [--help]\n"
               "  Runs N rendered frames (default 100000) of W x H pixels (default 640x480)\n"
               "  through markDetect and poseGetTransform with the shipped camera and\n"
               "  patterns; S (default 1) seeds every random choice. Exit status 0 when\n"
               "  memory stayed flat and every check held, 1 otherwise, 2 on bad usage.\n",
               out);
}

}  // namespace

int soakParse(int argc, char** argv, SoakOptions* options)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            soakUsage(stdout);
            return 1;
        }
        if (i + 1 >= argc || (arg != "--frames" && arg != "--size" && arg != "--seed")) {
            std::fprintf(stderr, "soak: unknown option or missing value: %s\n", arg.c_str());
            soakUsage(stderr);
            return -1;
        }
        const char* value = argv[++i];
        char* end = nullptr;
        if (arg == "--frames") {
            const long n = std::strtol(value, &end, 10);
            if (*end != '\0' || n < 1 || n > 1000000000L) {
                std::fprintf(stderr, "soak: --frames wants a count from 1 to 1000000000: %s\n",
                             value);
                return -1;
            }
            options->frames = n;
        } else if (arg == "--size") {
            int w = 0, h = 0;
            char rest = 0;
            if (std::sscanf(value, "%dx%d%c", &w, &h, &rest) != 2 || w < 64 || h < 64 || w > 4096 ||
                h > 4096 || static_cast<long>(w) * h > kSoakMaxPixels) {
                std::fprintf(
                    stderr,
                    "soak: --size wants WxH, each side 64 ... 4096, at most %ld pixels: %s\n",
                    kSoakMaxPixels, value);
                return -1;
            }
            options->width = w;
            options->height = h;
        } else {
            const unsigned long long s = std::strtoull(value, &end, 10);
            if (*end != '\0' || value[0] == '-' || value[0] == '\0') {
                std::fprintf(stderr, "soak: --seed wants a non-negative integer: %s\n", value);
                return -1;
            }
            options->seed = s;
        }
    }
    return 0;
}

int soakSetUp(const SoakOptions& options, SoakSetup* setup)
{
    const std::string data = std::string(TARLIM_SOURCE_DIR) + "/data/";
    CameraParam loaded;
    if (camParamLoad((data + "camera.cam").c_str(), 1, &loaded) < 0) {
        std::fprintf(stderr, "soak: cannot load %scamera.cam\n", data.c_str());
        return -1;
    }
    camParamChangeSize(&loaded, options.width, options.height, &setup->cam);
    camParamInit(&setup->cam);
    std::fill(setup->pictureOfSlot, setup->pictureOfSlot + kPatternSlotMax, -1);
    for (int k = 0; k < kSoakPictures; k++) {
        const std::string base = data + "markers/" + kSoakNames[k];
        setup->slotOfPicture[k] = patternLoad((base + ".pat").c_str());
        if (setup->slotOfPicture[k] < 0 ||
            synthPngRead((base + ".png").c_str(), &setup->pictures[k]) != 0) {
            std::fprintf(stderr, "soak: cannot load %s.pat or .png\n", base.c_str());
            return -1;
        }
        setup->pictureOfSlot[setup->slotOfPicture[k]] = k;
    }
    return 0;
}
