// tarlim-xwd2png: turns an X window dump into a PNG, optionally cropped and shrunk.
// make run uses it for the demo screenshot (xwd from x11-apps writes the dump).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "synth/synth.h"
#include "tools/xwd.h"

namespace {

void xwdUsage(FILE* out)
{
    std::fputs("usage: tarlim-xwd2png [--crop X Y W H] [--shrink N] IN.xwd OUT.png\n"
               "Converts an X window dump (made by xwd) of a 24- or 32-bit true-colour\n"
               "screen or window into an RGB PNG.\n"
               "  --crop X Y W H  keep only the rectangle at (X, Y) of W x H pixels\n"
               "  --shrink N      then shrink by the integer factor N (block average)\n",
               out);
}

bool xwdParseInt(const char* text, int* value)
{
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < -100000 || v > 100000) return false;
    *value = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    int crop[4] = {0, 0, 0, 0};
    bool cropping = false;
    int shrink = 1;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; i++) {
        if (std::strcmp(argv[i], "--help") == 0) {
            xwdUsage(stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--crop") == 0 && i + 4 < argc) {
            for (int k = 0; k < 4; k++) {
                if (!xwdParseInt(argv[++i], &crop[k])) {
                    xwdUsage(stderr);
                    return 2;
                }
            }
            cropping = true;
        } else if (std::strcmp(argv[i], "--shrink") == 0 && i + 1 < argc &&
                   xwdParseInt(argv[i + 1], &shrink) && shrink >= 1) {
            i++;
        } else {
            xwdUsage(stderr);
            return 2;
        }
    }
    if (argc - i != 2) {
        xwdUsage(stderr);
        return 2;
    }
    SynthImage image;
    std::string error;
    if (xwdRead(argv[i], &image, &error) < 0) {
        std::fprintf(stderr, "tarlim-xwd2png: %s\n", error.c_str());
        return 1;
    }
    if (cropping) image = xwdCrop(image, crop[0], crop[1], crop[2], crop[3]);
    image = xwdShrink(image, shrink);
    if (image.width < 1 || synthPngWrite(argv[i + 1], &image, 0) < 0) {
        std::fprintf(stderr, "tarlim-xwd2png: cannot write %s\n", argv[i + 1]);
        return 1;
    }
    return 0;
}
