// Start-up and shutdown: the entry point, the fixed loading order with its console
// progress lines, the keyboard handler and the release of what the frame loop used.
#include "app/app.h"

#include <GL/glut.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "display/display.h"
#include "model/model.h"
#include "pattern/pattern.h"
#include "video/video.h"

namespace {

constexpr unsigned char kAppKeyEscape = 27;
// Thresholds beyond it make every pixel dark (a pixel is dark at b + g + r <= 3 t).
constexpr int kAppThresholdMax = 255;

AppArgs appArgs = {kCfgPath, nullptr, nullptr};
// Whether the detector's options were ever changed from its defaults (F7 back to them
// must then set them again).
bool appDetectionTouched = false;

// Ctrl-C or a termination request while poses or a recording are written: the frame
// loop finishes the files first (a video without its end would be hard to play).
volatile std::sig_atomic_t appStopSignal = 0;

void appOnSignal(int signal)
{
    appStopSignal = signal;
}

// Progress on standard output without a line end, flushed so that an error message
// on (unbuffered) standard error lands right after the dots.
void appAnnounce(const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// A start-up failure: message on standard error and exit at once with status 1.
// Nothing opened so far is closed: the process ending releases it.
[[noreturn]] void appFail(const char* format, const char* argument)
{
    std::fprintf(stderr, format, argument);
    std::exit(1);
}

[[noreturn]] void appFail(const char* message)
{
    std::fputs(message, stderr);
    std::exit(1);
}

void appLoadPatterns()
{
    for (int k = 0; k < appConfig.markerCount; k++) {
        MarkerSlot* marker = &appConfig.markers[k];
        marker->patternId = patternLoad(marker->patternFile);
        // Later markers are not tried: the program ends here.
        if (marker->patternId < 0)
            appFail("failed to load pattern file: %s\n", marker->patternFile);
    }
}

// Warnings of the configuration, one line each on standard error.
void appPrintWarnings(const CfgReport& report)
{
    // After the stage's "done", also when both streams go to one file.
    if (report.warningCount > 0) std::fflush(stdout);
    for (int i = 0; i < report.warningCount; i++) std::fprintf(stderr, "%s\n", report.warnings[i]);
    if (report.warningsDropped > 0) {
        std::fprintf(stderr, "%s: %d more warnings not shown\n", appArgs.configPath,
                     report.warningsDropped);
    }
}

// The command line wins over the option lines.
void appApplyArgs()
{
    if (appArgs.posesPath != nullptr) {
        std::snprintf(appOptions.posesPath, kCfgLineSize, "%s", appArgs.posesPath);
    }
    if (appArgs.recordPath != nullptr) {
        std::snprintf(appOptions.recordPath, kCfgLineSize, "%s", appArgs.recordPath);
    }
}

// The poses file is opened before anything slow, so a wrong path fails at once.
void appOpenOutputs()
{
    const char* poses = appOptions.posesPath;
    if (poses[0] != '\0' && std::strcmp(poses, "-") != 0 && appPosesOpen(poses) < 0) {
        std::fprintf(stderr, "%s: %s\n", poses, std::strerror(errno));
        appFail("failed to open poses file: %s\n", poses);
    }
}

// The detector's options from the option lines, over the robust preset when `robust`.
// Without detection lines and preset the detector is not touched. Returns 0, or -1
// (options unchanged) after a warning.
int appSetDetection(int robust)
{
    MarkOptions o;
    if (appDetectionOptions(&appOptions, robust, &o) == 0 && !appDetectionTouched) return 0;
    if (markDetectorSetOptions(markDetectorDefault(), &o) < 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "warning: the detector refused these detection options; it keeps "
                             "the ones it had\n");
        return -1;
    }
    appDetectionTouched = true;
    return 0;
}

// The camera file is rescaled by the ratio of the widths only: made for another
// aspect ratio, it bends every pose vertically and the models lean.
void appWarnAspect(const CameraParam& loaded)
{
    const double camera = static_cast<double>(loaded.width) * appConfig.videoHeight;
    const double video = static_cast<double>(appConfig.videoWidth) * loaded.height;
    if (std::fabs(camera - video) <= 0.01 * video) return;
    std::fflush(stdout);
    std::fprintf(stderr,
                 "warning: camera file %s is for %dx%d, the video is %dx%d: a different aspect "
                 "ratio, so the models will lean (make a camera file for %dx%d)\n",
                 appConfig.cameraParamFile, loaded.width, loaded.height, appConfig.videoWidth,
                 appConfig.videoHeight, appConfig.videoWidth, appConfig.videoHeight);
}

// A sequence that loaded nothing: the first of its files that cannot be opened or
// read, which is why the marker shows no model.
void appWarnSequences()
{
    for (int k = 0; k < appConfig.markerCount; k++) {
        const ModelSequence& q = appConfig.sequences[k];
        if (q.frameCount <= 0 || q.loadedCount > 0) continue;
        std::string reason = "a file could not be read";
        for (int i = 0; i < q.frameCount; i++) {
            const std::string path = std::string(q.pathPrefix) + std::to_string(i) + ".mqo";
            FILE* fp = std::fopen(path.c_str(), "r");
            if (fp == nullptr) {
                reason = "cannot open " + path + ": " + std::strerror(errno);
                break;
            }
            std::fgetc(fp);
            const bool bad = std::ferror(fp);
            const int error = errno;
            std::fclose(fp);
            if (bad) {
                reason = "cannot read " + path + ": " + std::strerror(error);
                break;
            }
        }
        std::fflush(stdout);
        std::fprintf(stderr, "warning: marker %d (%s) shows no model: %s\n", k + 1,
                     appConfig.markers[k].patternFile, reason.c_str());
    }
}

}  // namespace

int appMain(int argc, char** argv)
{
    // Before glutInit, so that --help and mistakes need no display.
    const int parsed = appParseArgs(argc, argv, &appArgs);
    if (parsed != 0) return parsed == 1 ? 0 : 2;
    // freeglut ends the process through exit() on its own fatal errors.
    glutInit(&argc, argv);
    appInit();
    videoCapStart();
    dispMainLoop(nullptr, appKeyEvent, appFrame);
    return 0;
}

void appInit()
{
    // Poses on standard output: everything else printed there goes to standard error.
    if (appArgs.posesPath != nullptr && std::strcmp(appArgs.posesPath, "-") == 0) {
        if (appPosesToStandardOutput() < 0) appFail("failed to open poses output: %s\n", "-");
    }

    appAnnounce("Reading config file...");
    CfgReport report;
    const int read = cfgReadFile(appArgs.configPath, &report);
    if (read == 0) {
        appPrintWarnings(report);
        std::fprintf(stderr, "%s\n", report.error);
        appFail("failed to read conf file: %s\n", appArgs.configPath);
    }
    std::fputs("done\n", stdout);
    appPrintWarnings(report);
    appApplyArgs();
    appOpenOutputs();

    appAnnounce("Opening video...");
    if (videoOpen(appConfig.videoConfig) < 0) {
        appFail("failed to open video: %s\n", appConfig.videoConfig);
    }
    std::fputs("done\n", stdout);
    if (videoInqSize(&appConfig.videoWidth, &appConfig.videoHeight) < 0) {
        appFail("failed to get video size\n");
    }

    appAnnounce("Loading camera parameters...");
    CameraParam loaded;
    if (camParamLoad(appConfig.cameraParamFile, 1, &loaded) < 0) {
        appFail("failed to load camera param: %s\n", appConfig.cameraParamFile);
    }
    std::fputs("done\n", stdout);
    appWarnAspect(loaded);
    camParamChangeSize(&loaded, appConfig.videoWidth, appConfig.videoHeight, &appConfig.camera);
    camParamInit(&appConfig.camera);

    appAnnounce("Loading pattern file...");
    appLoadPatterns();
    std::fputs("done\n", stdout);
    appSetDetection(appOptions.robust);

    // The window and its graphics context exist from here on; the model sequences
    // need the context for their display lists and textures.
    dispInit(&appConfig.camera, 1.0, 0, 0, 0, 0);
    const std::string title = std::string("tarlim: ") + appArgs.configPath;
    glutSetWindowTitle(title.c_str());

    appAnnounce("Loading model files...");
    modelLoadAllSequences();
    std::fputs("done\n", stdout);
    // Textures that did not load leave their faces untextured; say which and why, once.
    const ModelWarnings* warnings = modelTextureWarnings();
    for (int i = 0; i < warnings->count; i++) {
        std::fprintf(stderr, "warning: texture %s: not loaded: %s\n", warnings->entries[i].path,
                     warnings->entries[i].reason);
    }
    if (warnings->lost > 0)
        std::fprintf(stderr, "warning: %d more textures not loaded\n", warnings->lost);
    appWarnSequences();
    appShowDiagnostics = appOptions.overlay;
    dispSetSpecialFunc(appSpecialKey);
    if (appOptions.recordPath[0] != '\0' &&
        appRecordStart(appOptions.recordPath, dispWindowWidth, dispWindowHeight) < 0) {
        appFail("failed to start recording: %s\n", appOptions.recordPath);
    }
    if (appOptions.recordPath[0] != '\0' || appOptions.posesPath[0] != '\0') {
        std::signal(SIGINT, appOnSignal);
        std::signal(SIGTERM, appOnSignal);
    }
}

void appCheckStop()
{
    if (appStopSignal == 0) return;
    appCleanup();
    std::exit(128 + appStopSignal);
}

void appKeyEvent(unsigned char key, int /*x*/, int /*y*/)
{
    if (key != kAppKeyEscape) return;
    appCleanup();
    std::exit(0);
}

void appSpecialKey(int key, int /*x*/, int /*y*/)
{
    switch (key) {
        case GLUT_KEY_F1:
            appShowHelp = !appShowHelp;
            break;
        case GLUT_KEY_F2:
            appShowDiagnostics = !appShowDiagnostics;
            break;
        case GLUT_KEY_F3:
            appScreenshotWanted = 1;
            break;
        case GLUT_KEY_F7:
            if (appSetDetection(!appOptions.robust) == 0) {
                appOptions.robust = !appOptions.robust;
                std::printf("robust %s\n", appOptions.robust ? "on" : "off");
                std::fflush(stdout);
            }
            break;
        case GLUT_KEY_F5:
        case GLUT_KEY_F6:
            appConfig.threshold = std::clamp(appConfig.threshold + (key == GLUT_KEY_F5 ? -5 : 5), 0,
                                             kAppThresholdMax);
            std::printf("threshold %d\n", appConfig.threshold);
            std::fflush(stdout);
            break;
        default:
            break;
    }
}

void appCleanup()
{
    for (int k = 0; k < appConfig.markerCount; k++) {
        const ModelSequence* sequence = &appConfig.sequences[k];
        // A failed sequence has loadedCount 0 (its reserved lists stay, never called);
        // a configured count of 0 or less has no lists, and GL refuses a negative range.
        if (sequence->loadedCount > 0) glDeleteLists(sequence->listBase, sequence->loadedCount);
    }
    videoCapStop();
    videoClose();
    dispCleanup();
    appPosesClose();
    appRecordStop();
}
