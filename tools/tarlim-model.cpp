// tarlim-model: looks at a model file the way the viewer would load it.
//
//   tarlim-model show FILE.mqo [--marker-mm 80]
//   tarlim-model preview FILE.mqo -o preview.png [--size 512]
//
// show lists the objects (name, visible or hidden, vertex and face counts, mirror),
// the materials (colour, texture file and whether and how it loads), the bounding box
// of what is drawn in model units, and the model scale that makes the model's
// footprint (its x by z extent; model +y is up) as wide as a marker of the given side.
// preview draws the model offscreen (no window or display needed) with the viewer's
// light and texture mode, seen from the front right and above, into a square PNG.
//
// Exit status: 0 done, 1 the model file cannot be read or the picture cannot be made
// or written, 2 usage error.
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "model/model.h"
#include "util/util.h"

namespace {

constexpr const char* kUsage = "usage: tarlim-model show FILE.mqo [--marker-mm 80]\n"
                               "       tarlim-model preview FILE.mqo -o preview.png [--size 512]\n";

// Preview sizes: small enough for any GL's pbuffer, large enough to see a model.
constexpr int kPreviewMinSize = 16;
constexpr int kPreviewMaxSize = 4096;

int usageError(const char* message)
{
    if (message != nullptr) std::fprintf(stderr, "tarlim-model: %s\n", message);
    std::fputs(kUsage, stderr);
    return 2;
}

// A number option's value; false when it is not a finite number within [lo, hi].
bool numberArg(const char* text, double lo, double hi, double* value)
{
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v) || v < lo || v > hi)
        return false;
    *value = v;
    return true;
}

// Reads the model file into *file (no GL); prints the reason and returns false when
// it cannot be read.
bool readModel(const char* path, ModelFile* file)
{
    FILE* fp = std::fopen(path, "r");
    if (fp == nullptr) {
        std::fprintf(stderr, "tarlim-model: cannot open %s: %s\n", path, std::strerror(errno));
        return false;
    }
    modelLoadFile(fp, file);
    const bool failed = std::ferror(fp) != 0;
    std::fclose(fp);
    if (failed) std::fprintf(stderr, "tarlim-model: cannot read %s\n", path);
    return !failed;
}

// ---- show ---------------------------------------------------------------------------------

void showTexture(const char* modelPath, const ModelMaterial& m)
{
    char path[kModelPathSize];
    if (modelTexturePath(modelPath, m.textureFile, path) < 0) {
        std::printf("  texture %s: not loaded: path longer than 255 characters\n", m.textureFile);
        return;
    }
    ModelImage image;
    char reason[kModelReasonSize];
    if (modelReadImage(path, &image, reason, sizeof(reason)) < 0) {
        std::printf("  texture %s: not loaded: %s\n", m.textureFile, reason);
        return;
    }
    std::printf("  texture %s: loaded %dx%d %s%s\n", m.textureFile, image.width, image.height,
                modelImageFormatName(image.format), image.transparent ? " with alpha" : "");
}

int show(const char* path, double markerMm)
{
    static ModelFile file;  // 30 objects and the texture table: kept off the stack
    if (!readModel(path, &file)) return 1;
    std::printf("model %s\n", path);
    for (int i = 0; i < file.objectCount; ++i) {
        const ModelObject& o = file.objects[i];
        std::printf("object \"%s\": %s, %d vertices, %d faces", o.name,
                    o.visible != 0 ? "visible" : "hidden", o.vertexCount, o.faceCount);
        if (o.mirror != 0 && (o.mirrorAxis & 7) != 0) {
            std::printf(", mirrored in%s%s%s", (o.mirrorAxis & 1) ? " x" : "",
                        (o.mirrorAxis & 2) ? " y" : "", (o.mirrorAxis & 4) ? " z" : "");
        }
        std::printf("\n");
    }
    if (file.materialCount == 0) std::printf("no materials: faces are drawn white\n");
    for (int k = 0; k < file.materialCount; ++k) {
        const ModelMaterial& m = file.materials[k];
        std::printf("material %d \"%s\": colour %.3f %.3f %.3f %.3f\n", k, m.name, m.colour[0],
                    m.colour[1], m.colour[2], m.colour[3]);
        if (m.hasTexture != 0) showTexture(path, m);
    }
    float lo[3], hi[3];
    if (modelBounds(&file, lo, hi) < 0) {
        std::printf("bounds none: nothing is drawn\n");
        modelReleaseFile(&file);
        return 0;
    }
    std::printf("bounds min %.3f %.3f %.3f max %.3f %.3f %.3f\n", lo[0], lo[1], lo[2], hi[0], hi[1],
                hi[2]);
    const double width = hi[0] - lo[0], depth = hi[2] - lo[2];
    const double footprint = width > depth ? width : depth;
    if (footprint > 0) {
        std::printf("scale %.6g makes the footprint (%.3f x %.3f) as wide as a %g mm marker\n",
                    markerMm / footprint, width, depth, markerMm);
    } else {
        std::printf("scale none: the model has no footprint (flat in x and z)\n");
    }
    modelReleaseFile(&file);
    return 0;
}

// ---- preview ------------------------------------------------------------------------------

// An offscreen GL context of size x size pixels through EGL without a display server.
bool openOffscreen(int size)
{
    auto getPlatformDisplay = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
        eglGetProcAddress("eglGetPlatformDisplayEXT"));
    EGLDisplay display = EGL_NO_DISPLAY;
    if (getPlatformDisplay != nullptr)
        display = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (display == EGL_NO_DISPLAY) display = eglGetDisplay(EGL_DEFAULT_DISPLAY);
    EGLint major = 0, minor = 0;
    if (display == EGL_NO_DISPLAY || !eglInitialize(display, &major, &minor)) return false;
    const EGLint attributes[] = {EGL_SURFACE_TYPE,
                                 EGL_PBUFFER_BIT,
                                 EGL_RED_SIZE,
                                 8,
                                 EGL_GREEN_SIZE,
                                 8,
                                 EGL_BLUE_SIZE,
                                 8,
                                 EGL_DEPTH_SIZE,
                                 24,
                                 EGL_RENDERABLE_TYPE,
                                 EGL_OPENGL_BIT,
                                 EGL_NONE};
    EGLConfig config;
    EGLint count = 0;
    if (!eglChooseConfig(display, attributes, &config, 1, &count) || count < 1) return false;
    const EGLint surfaceAttributes[] = {EGL_WIDTH, size, EGL_HEIGHT, size, EGL_NONE};
    EGLSurface surface = eglCreatePbufferSurface(display, config, surfaceAttributes);
    if (surface == EGL_NO_SURFACE || !eglBindAPI(EGL_OPENGL_API)) return false;
    EGLContext context = eglCreateContext(display, config, EGL_NO_CONTEXT, nullptr);
    return context != EGL_NO_CONTEXT && eglMakeCurrent(display, surface, surface, context);
}

// The view: the model's box, turned upright as the viewer turns it (model +y along
// the marker's normal, here +z), seen from the front right and above so that three
// sides show, at a distance where the whole box fits a 30-degree view.
void setView(const float lo[3], const float hi[3])
{
    // Marker frame of a model point (x, y, z): (x, -z, y).
    const double centre[3] = {(lo[0] + hi[0]) / 2.0, -(lo[2] + hi[2]) / 2.0, (lo[1] + hi[1]) / 2.0};
    const double dx = hi[0] - lo[0], dy = hi[1] - lo[1], dz = hi[2] - lo[2];
    double radius = std::sqrt(dx * dx + dy * dy + dz * dz) / 2.0;
    if (!(radius > 0)) radius = 1.0;
    const double fovy = 30.0 * M_PI / 180.0;
    const double distance = radius / std::sin(fovy / 2.0) * 1.05;
    double eyeDir[3] = {0.55, -1.0, 0.7};  // front right, above (the model faces -y here)
    const double n =
        std::sqrt(eyeDir[0] * eyeDir[0] + eyeDir[1] * eyeDir[1] + eyeDir[2] * eyeDir[2]);
    for (double& c : eyeDir) c /= n;
    const double eye[3] = {centre[0] + eyeDir[0] * distance, centre[1] + eyeDir[1] * distance,
                           centre[2] + eyeDir[2] * distance};
    // Camera axes: forward f = -eyeDir, side s = f x up, true up u = s x f.
    const double f[3] = {-eyeDir[0], -eyeDir[1], -eyeDir[2]}, up[3] = {0, 0, 1};
    double s[3] = {f[1] * up[2] - f[2] * up[1], f[2] * up[0] - f[0] * up[2],
                   f[0] * up[1] - f[1] * up[0]};
    const double sn = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
    for (double& c : s) c /= sn;
    const double u[3] = {s[1] * f[2] - s[2] * f[1], s[2] * f[0] - s[0] * f[2],
                         s[0] * f[1] - s[1] * f[0]};
    const double nearPlane =
        distance - radius * 1.1 > distance * 0.01 ? distance - radius * 1.1 : distance * 0.01;
    const double farPlane = distance + radius * 1.1;
    const double top = nearPlane * std::tan(fovy / 2.0);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glFrustum(-top, top, -top, top, nearPlane, farPlane);
    glMatrixMode(GL_MODELVIEW);
    const double view[16] = {s[0], u[0], -f[0], 0, s[1], u[1], -f[1], 0,
                             s[2], u[2], -f[2], 0, 0,    0,    0,     1};
    glLoadMatrixd(view);
    glTranslated(-eye[0], -eye[1], -eye[2]);
}

// The viewer's light, given in the marker frame as the viewer gives it.
void setLight()
{
    const GLfloat position[4] = {100.0f, -200.0f, 200.0f, 0.0f};
    const GLfloat ambient[4] = {0.1f, 0.1f, 0.1f, 0.1f};
    const GLfloat diffuse[4] = {0.9f, 0.9f, 0.9f, 0.1f};
    glLightfv(GL_LIGHT0, GL_POSITION, position);
    glLightfv(GL_LIGHT0, GL_AMBIENT, ambient);
    glLightfv(GL_LIGHT0, GL_DIFFUSE, diffuse);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
}

void printTextureWarnings()
{
    const ModelWarnings* warnings = modelTextureWarnings();
    for (int i = 0; i < warnings->count; ++i) {
        std::fprintf(stderr, "warning: texture %s: not loaded: %s\n", warnings->entries[i].path,
                     warnings->entries[i].reason);
    }
}

int preview(const char* path, const char* output, int size)
{
    static ModelFile file;
    if (!readModel(path, &file)) return 1;
    float lo[3] = {-1, -1, -1}, hi[3] = {1, 1, 1};
    if (modelBounds(&file, lo, hi) < 0)
        std::fprintf(stderr, "tarlim-model: %s draws nothing; the picture is empty\n", path);
    if (!openOffscreen(size)) {
        std::fprintf(stderr, "tarlim-model: no offscreen OpenGL context (EGL) for the preview\n");
        return 1;
    }
    // The viewer's texture mode: opaque textured faces show their texels unlit.
    glTexEnvf(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_DECAL);
    modelCreateTextures(&file, path);
    printTextureWarnings();
    const GLuint list = glGenLists(1);
    modelCompile(&file, list, 1.0);
    modelReleaseFile(&file);
    glViewport(0, 0, size, size);
    glClearColor(0.86f, 0.88f, 0.90f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    setView(lo, hi);
    setLight();
    glRotatef(90.0f, 1.0f, 0.0f, 0.0f);  // model +y along the marker normal, as the viewer
    glCallList(list);
    glFinish();
    std::vector<std::uint8_t> rgba(static_cast<size_t>(size) * size * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, size, size, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    // GL's rows run bottom to top; a PNG's top to bottom.
    std::vector<std::uint8_t> rows(rgba.size());
    const size_t stride = static_cast<size_t>(size) * 4;
    for (int y = 0; y < size; ++y)
        std::memcpy(&rows[y * stride], &rgba[(size - 1 - y) * stride], stride);
    if (utilPngWrite(output, size, size, rows.data(), kUtilRgba, 0, 0) < 0) {
        std::fprintf(stderr, "tarlim-model: cannot write %s\n", output);
        return 1;
    }
    std::printf("wrote %s (%dx%d)\n", output, size, size);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        std::fputs("show: objects, materials, textures, bounds and the scale for a marker.\n"
                   "preview: the model drawn offscreen with the viewer's light, to a PNG.\n",
                   stdout);
        return 0;
    }
    if (argc < 3) return usageError(nullptr);
    const bool isShow = std::strcmp(argv[1], "show") == 0;
    const bool isPreview = std::strcmp(argv[1], "preview") == 0;
    if (!isShow && !isPreview) return usageError("the command is show or preview");
    const char* model = nullptr;
    const char* output = nullptr;
    double markerMm = 80.0, size = 512.0;
    for (int i = 2; i < argc; ++i) {
        const char* a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (isShow && std::strcmp(a, "--marker-mm") == 0) {
            if (!hasValue || !numberArg(argv[++i], 1e-6, 1e9, &markerMm))
                return usageError("--marker-mm takes a side in millimetres above 0");
        } else if (isPreview && std::strcmp(a, "-o") == 0) {
            if (!hasValue) return usageError("-o takes the PNG file to write");
            output = argv[++i];
        } else if (isPreview && std::strcmp(a, "--size") == 0) {
            if (!hasValue || !numberArg(argv[++i], kPreviewMinSize, kPreviewMaxSize, &size) ||
                size != std::floor(size))
                return usageError("--size takes a whole number of pixels from 16 to 4096");
        } else if (a[0] == '-' && a[1] != '\0') {
            std::fprintf(stderr, "tarlim-model: unknown option %s\n", a);
            return usageError(nullptr);
        } else if (model == nullptr) {
            model = a;
        } else {
            return usageError("one model file only");
        }
    }
    if (model == nullptr) return usageError("no model file given");
    if (isShow) return show(model, markerMm);
    if (output == nullptr) return usageError("preview needs -o preview.png");
    return preview(model, output, static_cast<int>(size));
}
