// The OpenGL window of tests and benchmarks that draw.
#include "tests/support/support.h"

#include <GL/glut.h>

namespace support {

void glInitOnce(const char* name)
{
    static bool done = false;
    if (done) return;
    // GLUT keeps argv for the life of the process.
    static std::string program;
    static char* argv[2] = {nullptr, nullptr};
    static int argc = 1;
    program = name;
    argv[0] = program.data();
    glutInit(&argc, argv);
    done = true;
}

void glOpenWindow(const char* name, int width, int height)
{
    glInitOnce(name);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowSize(width, height);
    glutCreateWindow(name);
}

void glUnlitOrthoView(int size)
{
    glViewport(0, 0, size, size);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(-1, 1, -1, 1, -10, 10);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_LIGHTING);
    glTexEnvf(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_DECAL);
}

}  // namespace support
