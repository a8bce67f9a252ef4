// The frame loop: one captured frame in, the video and the animated models out.
#include "app/app.h"

#include <GL/gl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "detect/detect.h"
#include "display/display.h"
#include "pose/pose.h"
#include "util/util.h"
#include "video/video.h"

namespace {

// How long an idle call waits when no new frame has arrived: keeps the idle callback
// from spinning a core.
constexpr int kAppIdleSleepMs = 2;

// The one light, given in each marker's own frame right after its matrix is loaded,
// so it turns with the marker: directional (w = 0), from the marker's (100, -200, 200).
constexpr GLfloat kAppLightPosition[4] = {100.0f, -200.0f, 200.0f, 0.0f};
constexpr GLfloat kAppLightAmbient[4] = {0.1f, 0.1f, 0.1f, 0.1f};
constexpr GLfloat kAppLightDiffuse[4] = {0.9f, 0.9f, 0.9f, 0.1f};

using AppClock = std::chrono::steady_clock;
// Processed frames so far, and when the first one arrived (poses count time from it).
long long appFrameIndex = 0;
AppClock::time_point appFirstFrameTime;

// Speed over spans of about kAppStatsSpanMs: frames and detection time summed, then
// shown as rates when the span is over.
constexpr double kAppStatsSpanMs = 1000.0;
AppFrameStats appStats = {0.0, 0.0};
AppClock::time_point appStatsStart;
int appStatsFrames = 0;
double appStatsDetectionMs = 0.0;

void appUpdateStats(AppClock::time_point now, double detectionMs)
{
    if (appStatsFrames == 0 && appStatsDetectionMs == 0.0) appStatsStart = now;
    appStatsFrames++;
    appStatsDetectionMs += detectionMs;
    const double span = std::chrono::duration<double, std::milli>(now - appStatsStart).count();
    if (span < kAppStatsSpanMs) return;
    // The frames after the first of the span over its length.
    appStats.framesPerSecond = (appStatsFrames - 1) * 1000.0 / span;
    appStats.detectionMs = appStatsDetectionMs / appStatsFrames;
    appStatsFrames = 1;
    appStatsDetectionMs = detectionMs;
    appStatsStart = now;
}

// Pose of every assigned marker; the others become invisible and keep their last
// transform (and their animation position).
void appUpdatePoses(const DetectedMarker* list, const int assignment[kAppMaxMarkers])
{
    for (int k = 0; k < appConfig.markerCount; k++) {
        MarkerSlot* marker = &appConfig.markers[k];
        if (assignment[k] < 0) {
            marker->visible = 0;
            continue;
        }
        marker->visible = 1;
        // A failed estimate leaves transform as it was; the marker is drawn with it.
        poseGetTransform(&list[assignment[k]], marker->center, marker->width, marker->transform);
    }
}

// One visible marker: its matrix, its light, the model turned upright (model +y along
// the marker normal), then one step of its animation.
void appDrawMarker(const MarkerSlot* marker, ModelSequence* sequence)
{
    double matrix[16];
    dispConvGLMatrix(marker->transform, matrix);
    glMatrixMode(GL_MODELVIEW);
    glLoadMatrixd(matrix);
    glLightfv(GL_LIGHT0, GL_POSITION, kAppLightPosition);
    glLightfv(GL_LIGHT0, GL_AMBIENT, kAppLightAmbient);
    glLightfv(GL_LIGHT0, GL_DIFFUSE, kAppLightDiffuse);
    glMatrixMode(GL_MODELVIEW);
    glRotatef(90.0f, 1.0f, 0.0f, 0.0f);
    const int c = sequence->currentFrame;
    if (c >= 0 && c < sequence->loadedCount) glCallList(sequence->listBase + c);
    // frameCount is the period; a failed sequence (loadedCount 0) still cycles.
    sequence->currentFrame++;
    if (sequence->currentFrame >= sequence->frameCount) sequence->currentFrame = 0;
}

double appMs(AppClock::time_point from, AppClock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// F3: the frame about to be shown, saved, and its path printed.
void appScreenshot()
{
    appScreenshotWanted = 0;
    std::string path;
    if (appSaveScreenshot(&path) == 0) {
        std::printf("screenshot: %s\n", path.c_str());
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "cannot save a screenshot in the working directory\n");
    }
}

}  // namespace

int appShowDiagnostics = 0;
int appShowHelp = 0;
int appScreenshotWanted = 0;

void appAssignDetections(const DetectedMarker* list, int count, int assignment[kAppMaxMarkers])
{
    for (int k = 0; k < appConfig.markerCount; k++) assignment[k] = -1;
    for (int i = 0; i < count; i++) {
        for (int k = 0; k < appConfig.markerCount; k++) {
            if (list[i].patternId != appConfig.markers[k].patternId) continue;
            // Strictly better only: on equal confidence the earlier detection stays.
            if (assignment[k] == -1 || list[assignment[k]].confidence < list[i].confidence) {
                assignment[k] = i;
            }
        }
    }
}

void appFrame()
{
    appCheckStop();
    // 1. The newest frame, if one has arrived; else keep showing the last one.
    unsigned char* frame = videoGetImage();
    if (frame == nullptr) {
        utilSleep(kAppIdleSleepMs);
        return;
    }
    const AppClock::time_point now = AppClock::now();
    if (appFrameIndex == 0) appFirstFrameTime = now;
    // 2. Clear the back buffer.
    glDrawBuffer(GL_BACK);
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClearDepth(1.0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    // 3. The frame as undistorted background; 4. let capture go on.
    dispDrawMode2D();
    dispImage(frame, 0, 0);
    videoCapNext();
    // 5. Detection.
    DetectedMarker* list = nullptr;
    int32_t count = 0;
    const AppClock::time_point detectionStart = AppClock::now();
    if (markDetect(frame, appConfig.threshold, &list, &count) < 0) {
        std::fprintf(stderr, "failed to detect marker\n");
        appCleanup();
        std::exit(0);
    }
    appUpdateStats(now, appMs(detectionStart, AppClock::now()));
    // 6. Each configured marker takes its most confident detection.
    int assignment[kAppMaxMarkers];
    appAssignDetections(list, count, assignment);
    // 7. Poses and visibility.
    appUpdatePoses(list, assignment);
    // 8. Models; 9. show the frame.
    appDrawMarkers();
    // Additions for the user and for other programs, each only when asked for.
    appDrawOverlays(appShowDiagnostics, appShowHelp, list, count, appStats);
    const double timeMs = appMs(appFirstFrameTime, now);
    appPosesWrite(appFrameIndex, timeMs, list, assignment);
    appRecordFrame(timeMs);
    if (appScreenshotWanted) appScreenshot();
    dispSwapBuffers();
    appFrameIndex++;
}

void appDrawMarkers()
{
    dispDrawMode3D();
    dispDraw3DCamera(0, 0);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    for (int k = 0; k < appConfig.markerCount; k++) {
        if (appConfig.markers[k].visible == 0) continue;
        appDrawMarker(&appConfig.markers[k], &appConfig.sequences[k]);
    }
    // GL_LIGHT0 stays enabled; the background drawing does not light.
    glDisable(GL_LIGHTING);
    glDisable(GL_DEPTH_TEST);
}
