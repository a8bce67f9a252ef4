// The overlays drawn over a finished frame: the list of keys (F1) and the diagnostic
// overlay (F2) with what detection found and how fast the viewer runs.
#include <GL/gl.h>
#include <GL/glut.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/app.h"
#include "display/display.h"

namespace {

// Text in window pixels: GLUT's 8 x 13 bitmap font, lines kAppTextLine apart.
void* const kAppFont = GLUT_BITMAP_8_BY_13;
constexpr int kAppTextLine = 15;
constexpr int kAppCharWidth = 8;
constexpr int kAppTextMargin = 6;
// Half the side of the square that marks corner 0, in pixels.
constexpr double kAppCornerMark = 4.0;

const char* const kAppHelpLines[] = {
    "Keys",
    "Escape   quit",
    "F1       show or hide this list",
    "F2       diagnostic overlay: squares, patterns, axes, speed",
    "F3       screenshot (PNG in the working directory)",
    "F5 / F6  threshold down / up by 5",
    "F7       robust detection preset on / off",
};

// Window pixel of an ideal image point: the background draws image pixel (u, v) over
// window x u..u+1 and y (height - v - 1)..(height - v), so a pixel centre at integer
// image coordinates lies half a pixel in.
void appVertexAt(const double point[2])
{
    glVertex2d(point[0] + 0.5, dispWindowHeight - point[1] - 0.5);
}

// Text with its baseline at window (x, y), clamped so that it stays inside the window.
void appText(double x, double y, const std::string& text)
{
    const double width = static_cast<double>(text.size()) * kAppCharWidth;
    x = std::clamp(x, 2.0, std::max(2.0, dispWindowWidth - width - 2.0));
    y = std::clamp(y, 4.0, std::max(4.0, dispWindowHeight - kAppTextLine + 2.0));
    glRasterPos2d(x, y);
    for (const char c : text) glutBitmapCharacter(kAppFont, c);
}

// A dark, half-transparent panel behind lines of text whose first baseline is at y.
void appPanel(double x, double y, int lineCount, size_t longest)
{
    const double w = static_cast<double>(longest) * kAppCharWidth + 2 * kAppTextMargin;
    const double top = y + kAppTextLine - 2 + kAppTextMargin / 2.0;
    const double bottom = y - (lineCount - 1) * kAppTextLine - kAppTextMargin;
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glColor4f(0.0f, 0.0f, 0.0f, 0.6f);
    glRectd(x - kAppTextMargin, bottom, x - kAppTextMargin + w, top);
    glDisable(GL_BLEND);
}

void appTextBlock(double x, double y, const std::string* lines, int count)
{
    size_t longest = 0;
    for (int i = 0; i < count; i++) longest = std::max(longest, lines[i].size());
    appPanel(x, y, count, longest);
    glColor3f(1.0f, 1.0f, 1.0f);
    for (int i = 0; i < count; i++) appText(x, y - i * kAppTextLine, lines[i]);
}

// The configured marker that carries pattern id `id` (the first one), or -1.
int appMarkerOfPattern(int id)
{
    for (int k = 0; k < appConfig.markerCount; k++) {
        if (appConfig.markers[k].patternId == id) return k;
    }
    return -1;
}

const char* appBaseName(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// Outline, corner 0 and label of every detected square, in window pixels.
void appDrawSquares(const DetectedMarker* list, int count)
{
    glLineWidth(2.0f);
    for (int i = 0; i < count; i++) {
        const DetectedMarker& d = list[i];
        const bool known = d.patternId >= 0;
        if (known) {
            glColor3f(0.1f, 1.0f, 0.1f);
        } else {
            glColor3f(0.6f, 0.6f, 0.6f);
        }
        glBegin(GL_LINE_LOOP);
        for (int c = 0; c < 4; c++) appVertexAt(d.cornerPoints[c]);
        glEnd();
        glColor3f(1.0f, 1.0f, 0.0f);
        const double x = d.cornerPoints[0][0] + 0.5,
                     y = dispWindowHeight - d.cornerPoints[0][1] - 0.5;
        glRectd(x - kAppCornerMark, y - kAppCornerMark, x + kAppCornerMark, y + kAppCornerMark);
        if (!known) continue;
        const int k = appMarkerOfPattern(d.patternId);
        char label[kCfgLineSize + 32];
        std::snprintf(label, sizeof label, "%s %.2f",
                      k >= 0 ? appBaseName(appConfig.markers[k].patternFile) : "?", d.confidence);
        const double cx = d.centroid[0], cy = dispWindowHeight - d.centroid[1];
        const double half = std::strlen(label) * kAppCharWidth / 2.0;
        glColor3f(0.0f, 0.0f, 0.0f);
        appText(cx - half + 1, cy - 1, label);
        glColor3f(0.1f, 1.0f, 0.1f);
        appText(cx - half, cy, label);
    }
}

// The marker's x (red), y (green) and z (blue) axes, half its width long, drawn with
// the camera projection from its transformation.
void appDrawAxes()
{
    dispDrawMode3D();
    dispDraw3DCamera(0, 0);
    glMatrixMode(GL_MODELVIEW);
    glLineWidth(3.0f);
    for (int k = 0; k < appConfig.markerCount; k++) {
        const MarkerSlot& m = appConfig.markers[k];
        if (!m.visible) continue;
        double matrix[16];
        dispConvGLMatrix(m.transform, matrix);
        glLoadMatrixd(matrix);
        const double a = m.width / 2.0;
        glBegin(GL_LINES);
        glColor3f(1.0f, 0.2f, 0.2f);
        glVertex3d(0, 0, 0);
        glVertex3d(a, 0, 0);
        glColor3f(0.2f, 1.0f, 0.2f);
        glVertex3d(0, 0, 0);
        glVertex3d(0, a, 0);
        glColor3f(0.3f, 0.5f, 1.0f);
        glVertex3d(0, 0, 0);
        glVertex3d(0, 0, a);
        glEnd();
    }
}

}  // namespace

void appDrawOverlays(int showDiagnostics, int showHelp, const DetectedMarker* list, int count,
                     const AppFrameStats& stats)
{
    if (!showDiagnostics && !showHelp) return;
    // Everything set here goes back as it was: the next frame draws as without overlay.
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glDisable(GL_LIGHTING);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_CULL_FACE);
    if (showDiagnostics) {
        appDrawAxes();
        dispDrawMode2D();
        appDrawSquares(list, count);
        char line[128];
        std::snprintf(line, sizeof line, "%.1f fps  detection %.2f ms  threshold %d",
                      stats.framesPerSecond, stats.detectionMs, appConfig.threshold);
        const std::string text = line;
        appTextBlock(kAppTextMargin + 2, dispWindowHeight - kAppTextLine, &text, 1);
    }
    if (showHelp) {
        dispDrawMode2D();
        constexpr int n = sizeof kAppHelpLines / sizeof kAppHelpLines[0];
        std::string lines[n];
        for (int i = 0; i < n; i++) lines[i] = kAppHelpLines[i];
        const double y = dispWindowHeight / 2.0 + (n * kAppTextLine) / 2.0;
        appTextBlock(dispWindowWidth / 2.0 - 30 * kAppCharWidth, y, lines, n);
    }
    glPopAttrib();
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
}
