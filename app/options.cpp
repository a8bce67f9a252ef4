// Option lines: one table of names, each with the text --help shows and its setter.
#include "app/app.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

AppOptions appOptions;

namespace {

// Sets one option from its value; returns 0, or -1 with the reason.
using AppOptionSetter = int (*)(AppOptions* options, const char* value, std::string* reason);

struct AppOption {
    const char* name;
    const char* value;  // what the value looks like, for --help
    const char* help;
    AppOptionSetter set;  // null: a detection option, the fields below
    int32_t MarkOptions::*intField = nullptr;
    double MarkOptions::*doubleField = nullptr;
    double low = 0.0;  // accepted values (on|off: 0 and 1)
    double high = 0.0;
};

int appSetOnOff(const char* value, int* field, std::string* reason)
{
    if (std::strcmp(value, "on") == 0 || std::strcmp(value, "off") == 0) {
        *field = value[1] == 'n';
        return 0;
    }
    *reason = std::string("expected on or off, got \"") + value + "\"";
    return -1;
}

int appSetPath(const char* value, char* field, std::string* reason)
{
    if (value[0] == '\0') {
        *reason = "expected a path";
        return -1;
    }
    std::snprintf(field, kCfgLineSize, "%s", value);
    return 0;
}

int appSetOverlay(AppOptions* o, const char* value, std::string* reason)
{
    return appSetOnOff(value, &o->overlay, reason);
}

int appSetPoses(AppOptions* o, const char* value, std::string* reason)
{
    // By the time the file is read its first line is on standard output already.
    if (std::strcmp(value, "-") == 0) {
        *reason = "standard output (\"-\") only from the command line: --poses -";
        return -1;
    }
    return appSetPath(value, o->posesPath, reason);
}

int appSetRecord(AppOptions* o, const char* value, std::string* reason)
{
    return appSetPath(value, o->recordPath, reason);
}

int appSetRobust(AppOptions* o, const char* value, std::string* reason)
{
    return appSetOnOff(value, &o->robust, reason);
}

const AppOption kAppOptions[] = {
    {"overlay", "on|off", "the diagnostic overlay (F2) from the start", appSetOverlay},
    {"poses", "FILE", "one JSON line of marker poses per frame into FILE (as --poses)",
     appSetPoses},
    {"record", "PATH", "save every drawn frame: PNGs into a directory, or a .webm or .mkv video",
     appSetRecord},
    // Detection, named as tarlim-detect's flags; defaults as without the lines.
    {"robust", "on|off", "the robust detection preset (F7): the options below on but local-cells",
     appSetRobust},
    {"frame-sized", "on|off", "overlaps removed among all squares, labels as many as needed",
     nullptr, &MarkOptions::frameSized, nullptr, 0, 1},
    {"local-threshold", "on|off", "dark relative to the neighbourhood (shade, uneven light)",
     nullptr, &MarkOptions::localThreshold, nullptr, 0, 1},
    {"local-window", "N", "its window side in pixels, odd 3..1023 (0: from the frame size)",
     nullptr, &MarkOptions::localWindow, nullptr, 0, 1023},
    {"local-offset", "N", "its offset in grey levels, 0..255 (default 2)", nullptr,
     &MarkOptions::localOffset, nullptr, 0, 255},
    {"local-percent", "N", "its share of the local mean, 0..99 (default 15)", nullptr,
     &MarkOptions::localPercent, nullptr, 0, 99},
    {"local-cells", "on|off", "its mean read from 4 x 4 cells (faster; off in the preset)", nullptr,
     &MarkOptions::localCells, nullptr, 0, 1},
    {"local-ceiling", "N", "never dark above this grey level, 0..255 (0: none; preset 100)",
     nullptr, &MarkOptions::localCeiling, nullptr, 0, 255},
    {"enclosed-tolerance", "on|off", "square test tolerance from the enclosed area (thin borders)",
     nullptr, &MarkOptions::enclosedTolerance, nullptr, 0, 1},
    {"edge-refinement", "on|off", "edges moved to the strongest dark-to-light step", nullptr,
     &MarkOptions::edgeRefinement, nullptr, 0, 1},
    {"bilinear-sampling", "on|off", "the picture sampled at the fitted corners", nullptr,
     &MarkOptions::bilinearSampling, nullptr, 0, 1},
    {"soft-matching", "on|off", "sample and patterns smoothed before matching (small markers)",
     nullptr, &MarkOptions::softMatching, nullptr, 0, 1},
    {"pixel-matching", "on|off", "small markers' best pattern drawn into the pixels and checked",
     nullptr, &MarkOptions::pixelMatching, nullptr, 0, 1},
    {"second-look", "on|off", "small windows thresholded again on their own (deep shade)", nullptr,
     &MarkOptions::secondLook, nullptr, 0, 1},
    {"shade-matching", "on|off", "weak matches matched again with the light evened out (shadows)",
     nullptr, &MarkOptions::shadeMatching, nullptr, 0, 1},
    {"shade-search", "on|off", "tiles in shade thresholded again on their own (hard light)",
     nullptr, &MarkOptions::shadeSearch, nullptr, 0, 1},
    {"min-area", "N", "smallest dark region that may be a marker, pixels (default 70)", nullptr,
     &MarkOptions::minArea, nullptr, 1, INT32_MAX},
    {"max-area", "N", "largest, pixels (default 100000)", nullptr, &MarkOptions::maxArea, nullptr,
     1, INT32_MAX},
    {"square-factor", "X", "tolerance of the square test (default 1.0; larger: rounder)", nullptr,
     nullptr, &MarkOptions::squareFactor, 0, 100},
    {"confidence-min", "X", "weakest match taken as a recognised pattern, 0..1 (default 0.5)",
     nullptr, nullptr, &MarkOptions::confidenceMin, 0, 1},
};
constexpr int kAppOptionCount = sizeof kAppOptions / sizeof kAppOptions[0];

// A detection line: on|off or a number within the entry's range, kept for later.
int appSetDetection(AppOptions* o, int index, const char* value, std::string* reason)
{
    const AppOption& option = kAppOptions[index];
    double v = 0.0;
    if (std::strcmp(option.value, "on|off") == 0) {
        int on = 0;
        if (appSetOnOff(value, &on, reason) != 0) return -1;
        v = on;
    } else {
        char* end = nullptr;
        v = std::strtod(value, &end);
        const bool whole = option.intField == nullptr || v == std::floor(v);
        if (end == value || *end != '\0' || !(v >= option.low && v <= option.high) || !whole) {
            char range[96];
            std::snprintf(range, sizeof range, "expected %s within %g..%g, got \"",
                          option.intField != nullptr ? "a whole number" : "a number", option.low,
                          option.high);
            *reason = range + std::string(value) + "\"";
            return -1;
        }
    }
    if (o->detectionCount == kAppMaxDetectionLines) {
        *reason = "more than " + std::to_string(kAppMaxDetectionLines) + " detection lines";
        return -1;
    }
    o->detection[o->detectionCount].option = index;
    o->detection[o->detectionCount].value = v;
    o->detectionCount++;
    return 0;
}

}  // namespace

int appOptionSet(AppOptions* options, const char* name, const char* value, char* reason,
                 size_t reasonSize)
{
    for (int index = 0; index < kAppOptionCount; index++) {
        const AppOption& option = kAppOptions[index];
        if (std::strcmp(option.name, name) != 0) continue;
        std::string why;
        AppOptions changed = *options;
        const int result = option.set != nullptr ? option.set(&changed, value, &why)
                                                 : appSetDetection(&changed, index, value, &why);
        if (result != 0) {
            std::snprintf(reason, reasonSize, "%s: %s", name, why.c_str());
            return -1;
        }
        *options = changed;
        return 0;
    }
    std::string known;
    for (const AppOption& option : kAppOptions) {
        if (option.set == nullptr) continue;  // the detection options: see --help
        known += std::string(known.empty() ? "" : ", ") + option.name;
    }
    known += ", detection options (tarlim --help)";
    std::snprintf(reason, reasonSize, "unknown option \"%s\" (options: %s)", name, known.c_str());
    return -1;
}

int appDetectionOptions(const AppOptions* options, int robust, MarkOptions* out)
{
    const MarkOptions defaults = markDefaultOptions();
    *out = robust ? markRobustOptions() : defaults;
    out->candidateMax = defaults.candidateMax;
    for (int i = 0; i < options->detectionCount; i++) {
        const AppOption& option = kAppOptions[options->detection[i].option];
        const double v = options->detection[i].value;
        if (option.intField != nullptr) out->*option.intField = static_cast<int32_t>(v);
        if (option.doubleField != nullptr) out->*option.doubleField = v;
    }
    return robust != 0 || options->detectionCount > 0;
}

void appPrintOptions(FILE* out)
{
    for (const AppOption& option : kAppOptions) {
        const std::string head = std::string(option.name) + " " + option.value;
        std::fprintf(out, "  %-22s %s\n", head.c_str(), option.help);
    }
}
