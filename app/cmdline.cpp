// The command line: the configuration to read and where poses and recordings go.
#include "app/app.h"

#include <cstdio>
#include <cstring>

namespace {

// GLUT's own options; those with a value take the next argument. glutInit removes
// them later, so here they are only stepped over.
const char* const kAppGlutWithValue[] = {"-display", "-geometry"};
const char* const kAppGlutFlags[] = {"-direct", "-indirect", "-iconic", "-gldebug", "-sync"};

void appPrintUsage(FILE* out)
{
    std::fprintf(out,
                 "usage: tarlim [CONFIG] [--poses FILE|-] [--record PATH] [--help] [--version]\n");
}

void appPrintHelp()
{
    appPrintUsage(stdout);
    std::printf(
        "Shows the video source named in CONFIG (default %s) with an animated model\n"
        "on every configured marker in view. Paths inside CONFIG are relative to the\n"
        "working directory, not to CONFIG's own folder.\n"
        "\n"
        "  --poses FILE   one JSON object per processed frame with the pose of every\n"
        "                 visible configured marker; \"-\" writes them to standard output\n"
        "                 (the start-up lines then go to standard error)\n"
        "  --record PATH  save every drawn frame: numbered PNG files in the directory\n"
        "                 PATH, or a video if PATH ends in .webm (VP8) or .mkv (Motion JPEG)\n"
        "  --help         this text;  --version  the version\n"
        "GLUT's own options (-display NAME, -geometry ...) may come first.\n"
        "\n"
        "Keys in the window:\n"
        "  Escape  quit\n"
        "  F1      show or hide the list of keys\n"
        "  F2      show or hide the diagnostic overlay: outlines of the detected squares,\n"
        "          pattern and confidence, corner 0, the axes of each posed marker, frames\n"
        "          per second, detection time and threshold\n"
        "  F3      save a screenshot PNG in the working directory\n"
        "  F5, F6  lower, raise the threshold by 5\n"
        "  F7      switch the robust detection preset on or off\n"
        "\n"
        "Option lines (NAME VALUE) may follow the last marker's five lines in CONFIG:\n",
        kCfgPath);
    appPrintOptions(stdout);
    std::printf("The command line wins over an option line.\n");
}

bool appIsOneOf(const char* arg, const char* const* list, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        if (std::strcmp(arg, list[i]) == 0) return true;
    }
    return false;
}

int appUsageError(const char* format, const char* argument)
{
    std::fputs("tarlim: ", stderr);
    std::fprintf(stderr, format, argument);
    std::fputc('\n', stderr);
    appPrintUsage(stderr);
    std::fputs("Try 'tarlim --help' for the keys and the option lines.\n", stderr);
    return 2;
}

// "--name VALUE" or "--name=VALUE": the value, stepping i past it; null when absent.
const char* appValueOf(const char* name, int argc, char** argv, int* i)
{
    const size_t length = std::strlen(name);
    const char* arg = argv[*i];
    if (std::strncmp(arg, name, length) != 0) return nullptr;
    if (arg[length] == '=') return arg + length + 1;
    if (arg[length] != '\0') return nullptr;
    if (*i + 1 >= argc) return "";
    return argv[++*i];
}

}  // namespace

int appParseArgs(int argc, char** argv, AppArgs* args)
{
    *args = AppArgs{kCfgPath, nullptr, nullptr};
    bool haveConfig = false;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            appPrintHelp();
            return 1;
        }
        if (std::strcmp(arg, "--version") == 0) {
            std::printf("tarlim %s\n", kAppVersion);
            return 1;
        }
        if (appIsOneOf(arg, kAppGlutWithValue, 2)) {
            i++;
            continue;
        }
        if (appIsOneOf(arg, kAppGlutFlags, 5)) continue;
        const char* value = nullptr;
        if ((value = appValueOf("--poses", argc, argv, &i)) != nullptr) {
            if (value[0] == '\0')
                return appUsageError("%s needs a file name (or - for standard output)", "--poses");
            args->posesPath = value;
        } else if ((value = appValueOf("--record", argc, argv, &i)) != nullptr) {
            if (value[0] == '\0')
                return appUsageError("%s needs a directory or a .webm or .mkv file", "--record");
            args->recordPath = value;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return appUsageError("unknown option %s", arg);
        } else if (arg[0] == '\0' || std::strcmp(arg, "-") == 0) {
            return appUsageError("\"%s\" is not a configuration file", arg);
        } else if (haveConfig) {
            return appUsageError("one configuration file only; \"%s\" is one too many", arg);
        } else {
            args->configPath = arg;
            haveConfig = true;
        }
    }
    return 0;
}
