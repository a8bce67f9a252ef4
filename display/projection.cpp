// Camera projection for 3D drawing, marker matrices and the 2D/3D drawing modes.
#include "display/display.h"

#include <GL/gl.h>

int dispConvGLProjection(const double cameraMatrix[3][4], int width, int height, double gnear,
                         double gfar, double m[16])
{
    double a[3][4];
    double t[3][4];
    if (camDecomposeProjection(cameraMatrix, a, t) < 0) return -1;

    double q[3][3];
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) q[i][j] = a[i][j] / a[2][2];
    }

    // Intrinsics to normalised device coordinates: image column u to 2u/width - 1,
    // row to 2v/height - 1; depth gnear to -1 and gfar to +1, w = camera z.
    const double w = width;
    const double h = height;
    const double p[4][4] = {
        {2.0 * q[0][0] / w, 2.0 * q[0][1] / w, 2.0 * q[0][2] / w - 1.0, 0.0},
        {0.0, 2.0 * q[1][1] / h, 2.0 * q[1][2] / h - 1.0, 0.0},
        {0.0, 0.0, (gnear + gfar) / (gfar - gnear), -2.0 * gnear * gfar / (gfar - gnear)},
        {0.0, 0.0, 1.0, 0.0},
    };

    // m = p * [T; 0 0 0 1], stored column-major.
    for (int i = 0; i < 4; i++) {
        for (int j = 0; j < 4; j++) {
            double sum = p[i][0] * t[0][j] + p[i][1] * t[1][j] + p[i][2] * t[2][j];
            if (j == 3) sum += p[i][3];
            m[4 * j + i] = sum;
        }
    }
    return 0;
}

void dispConvGLMatrix(const double transform[3][4], double m[16])
{
    for (int j = 0; j < 4; j++) {
        for (int i = 0; i < 3; i++) m[4 * j + i] = transform[i][j];
    }
    m[3] = m[7] = m[11] = 0.0;
    m[15] = 1.0;
}

void dispDrawMode2D()
{
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0.0, dispWindowWidth, 0.0, dispWindowHeight, -1.0, 1.0);
    glViewport(0, 0, dispWindowWidth, dispWindowHeight);
    glDisable(GL_STENCIL_TEST);
    glStencilFunc(GL_ALWAYS, 0, 0);
    glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
}

void dispDrawMode3D()
{
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
}

void dispDraw3DCamera(int column, int row)
{
    // The same rectangles as the background's scissor, so models and video coincide.
    if (column == 0 && row == 0) {
        const int w = static_cast<int>(dispImageWidth * dispZoom);
        const int h = static_cast<int>(dispImageHeight * dispZoom);
        glViewport(0, dispWindowHeight - h, w, h);
    } else {
        glViewport((column - 1) * dispSubWidth,
                   dispWindowHeight - row * dispSubHeight - dispMainHeight, dispSubWidth,
                   dispSubHeight);
    }
    glDisable(GL_STENCIL_TEST);
    glStencilFunc(GL_ALWAYS, 0, 0);
    glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
    glMatrixMode(GL_PROJECTION);
    glLoadMatrixd(dispProjectionMatrix);
}
