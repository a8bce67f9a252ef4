// Option lines: one table of names, each with the text --help shows and its setter.
#include "app/app.h"

#include <cstdio>
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
    AppOptionSetter set;
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

const AppOption kAppOptions[] = {
    {"overlay", "on|off", "the diagnostic overlay (F2) from the start", appSetOverlay},
    {"poses", "FILE", "one JSON line of marker poses per frame into FILE (as --poses)",
     appSetPoses},
    {"record", "PATH", "save every drawn frame: PNGs into a directory, or a .webm or .mkv video",
     appSetRecord},
};

}  // namespace

int appOptionSet(AppOptions* options, const char* name, const char* value, char* reason,
                 size_t reasonSize)
{
    for (const AppOption& option : kAppOptions) {
        if (std::strcmp(option.name, name) != 0) continue;
        std::string why;
        AppOptions changed = *options;
        if (option.set(&changed, value, &why) != 0) {
            std::snprintf(reason, reasonSize, "%s: %s", name, why.c_str());
            return -1;
        }
        *options = changed;
        return 0;
    }
    std::string known;
    for (const AppOption& option : kAppOptions)
        known += std::string(known.empty() ? "" : ", ") + option.name;
    std::snprintf(reason, reasonSize, "unknown option \"%s\" (options: %s)", name, known.c_str());
    return -1;
}

void appPrintOptions(FILE* out)
{
    for (const AppOption& option : kAppOptions) {
        const std::string head = std::string(option.name) + " " + option.value;
        std::fprintf(out, "  %-22s %s\n", head.c_str(), option.help);
    }
}
