// Start-up and shutdown: the entry point, the fixed loading order with its console
// progress lines, the keyboard handler and the release of what the frame loop used.
#include "app/app.h"

#include <GL/glut.h>

#include <cstdio>
#include <cstdlib>

#include "display/display.h"
#include "model/model.h"
#include "pattern/pattern.h"
#include "video/video.h"

namespace {

constexpr unsigned char kAppKeyEscape = 27;

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

}  // namespace

int appMain(int argc, char** argv)
{
    // freeglut ends the process through exit() on its own fatal errors.
    glutInit(&argc, argv);
    appInit();
    videoCapStart();
    dispMainLoop(nullptr, appKeyEvent, appFrame);
    return 0;
}

void appInit()
{
    appAnnounce("Reading config file...");
    if (cfgRead() == 0) appFail("failed to read conf file: %s\n", kCfgPath);
    std::fputs("done\n", stdout);

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
    camParamChangeSize(&loaded, appConfig.videoWidth, appConfig.videoHeight, &appConfig.camera);
    camParamInit(&appConfig.camera);

    appAnnounce("Loading pattern file...");
    appLoadPatterns();
    std::fputs("done\n", stdout);

    // The window and its graphics context exist from here on; the model sequences
    // need the context for their display lists and textures.
    dispInit(&appConfig.camera, 1.0, 0, 0, 0, 0);

    appAnnounce("Loading model files...");
    modelLoadAllSequences(appConfig.sequences, appConfig.markerCount);
    std::fputs("done\n", stdout);
    // Textures that did not load leave their faces untextured; say which and why, once.
    const ModelWarnings* warnings = modelTextureWarnings();
    for (int i = 0; i < warnings->count; i++) {
        std::fprintf(stderr, "warning: texture %s: not loaded: %s\n", warnings->entries[i].path,
                     warnings->entries[i].reason);
    }
    if (warnings->lost > 0)
        std::fprintf(stderr, "warning: %d more textures not loaded\n", warnings->lost);
}

void appKeyEvent(unsigned char key, int /*x*/, int /*y*/)
{
    if (key != kAppKeyEscape) return;
    appCleanup();
    std::exit(0);
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
}
