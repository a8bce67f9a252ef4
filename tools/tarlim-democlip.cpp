// tarlim-democlip: renders the bundled demo clip, a numbered PNG sequence of the
// shipped markers moving, turning and tilting over a desk, seen through a camera
// file's lens distortion. The build runs it; data/tarlim.conf plays the result.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <png.h>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera.h"
#include "synth/synth.h"

namespace {

constexpr double kDemoPi = 3.14159265358979323846;
constexpr int kDemoWidth = 640;
constexpr int kDemoHeight = 480;
constexpr int kDemoMaxPictures = 4;
// Marker side in the camera file's length unit (millimetres for the shipped one) and
// its apparent size on screen, which fixes the viewing distance for any focal length.
constexpr double kDemoMarkerSide = 80.0;
constexpr double kDemoMarkerPixels = 105.0;

struct DemoOptions {
    std::string camera;
    std::string outDir;
    int frames = 300;
    int fps = 30;
    int width = kDemoWidth;  // frame size; the scene is laid out for 640x480 and scaled
    int height = kDemoHeight;
    std::vector<std::string> pictures;
};

void demoUsage(FILE* out)
{
    std::fputs("usage: tarlim-democlip --camera FILE.cam --out DIR [--frames N] [--fps F]\n"
               "                       [--size WxH] PICTURE.png [PICTURE.png ...]\n"
               "Renders the demo clip DIR/0000.png, DIR/0001.png, ... (640x480): up to four\n"
               "markers with the given inner pictures move, turn and tilt over a desk, seen\n"
               "through the lens distortion of the camera file (rescaled to the frame size).\n"
               "  --frames N   number of frames (default 300: ten seconds at 30 per second)\n"
               "  --fps F      frames per second the motion is timed for (default 30)\n"
               "  --size WxH   frame size (default 640x480); the scene is scaled with the width\n"
               "exit status: 0 success, 1 unreadable input or unwritable output, 2 bad arguments\n",
               out);
}

bool demoParse(int argc, char** argv, DemoOptions* o)
{
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--camera" && hasValue) {
            o->camera = argv[++i];
        } else if (a == "--out" && hasValue) {
            o->outDir = argv[++i];
        } else if (a == "--frames" && hasValue) {
            o->frames = std::atoi(argv[++i]);
        } else if (a == "--fps" && hasValue) {
            o->fps = std::atoi(argv[++i]);
        } else if (a == "--size" && hasValue) {
            char tail = '\0';
            if (std::sscanf(argv[++i], "%dx%d%c", &o->width, &o->height, &tail) != 2) return false;
        } else if (!a.empty() && a[0] == '-') {
            return false;
        } else {
            o->pictures.push_back(a);
        }
    }
    return !o->camera.empty() && !o->outDir.empty() && o->frames >= 1 && o->frames <= 100000 &&
           o->fps >= 1 && !o->pictures.empty() && o->pictures.size() <= kDemoMaxPictures &&
           o->width >= 64 && o->height >= 48 && o->width <= 4096 && o->height <= 4096;
}

// Integer hash for the desk's wood grain: the same bytes on every machine.
uint32_t demoHash(uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

void demoFill(SynthImage* img, int x0, int y0, int x1, int y1, int b, int g, int r)
{
    for (int y = std::max(y0, 0); y < std::min(y1, img->height); y++) {
        for (int x = std::max(x0, 0); x < std::min(x1, img->width); x++) {
            uint8_t* p = &img->pixels[(size_t(y) * img->width + x) * 4];
            p[0] = uint8_t(b), p[1] = uint8_t(g), p[2] = uint8_t(r);
        }
    }
}

void demoDisc(SynthImage* img, double cx, double cy, double radius, int b, int g, int r)
{
    const double r2 = radius * radius;
    for (int y = int(cy - radius); y <= int(cy + radius); y++) {
        for (int x = int(cx - radius); x <= int(cx + radius); x++) {
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r2)
                demoFill(img, x, y, x + 1, y + 1, b, g, r);
        }
    }
}

// A wooden desk top with a few things on it, seen from above: planks with grain, a
// notebook, a mug, a pencil. Kept light enough that nothing on it reads as a marker.
SynthImage demoDesk()
{
    SynthImage desk;
    synthImageMake(kDemoWidth, kDemoHeight, 70, 120, 165, &desk);
    for (int y = 0; y < kDemoHeight; y++) {
        const int plank = y / 96;
        for (int x = 0; x < kDemoWidth; x++) {
            const double grain =
                std::sin((x + 37.0 * plank) * 0.045 + 3.0 * std::sin(y * 0.07 + plank));
            // Coarse knots every 8 x 4 pixels: texture without per-pixel noise, which
            // would triple the clip's size on disk.
            const int jitter = int(demoHash(uint32_t((y / 4) * kDemoWidth + x / 8)) % 7) - 3;
            const int shade = int(14.0 * grain) + jitter - (y % 96 == 0 ? 40 : 0);
            uint8_t* p = &desk.pixels[(size_t(y) * kDemoWidth + x) * 4];
            p[0] = uint8_t(std::clamp(70 + shade / 2, 0, 255));
            p[1] = uint8_t(std::clamp(118 + shade, 0, 255));
            p[2] = uint8_t(std::clamp(168 + shade, 0, 255));
        }
    }
    demoFill(&desk, 470, 300, 630, 470, 215, 225, 230);  // notebook
    for (int y = 320; y < 460; y += 14) demoFill(&desk, 480, y, 620, y + 1, 200, 170, 150);
    demoDisc(&desk, 60, 400, 45, 160, 160, 210);        // mug, seen from above
    demoDisc(&desk, 60, 400, 34, 90, 110, 130);         // coffee
    demoFill(&desk, 250, 455, 420, 463, 40, 190, 230);  // pencil
    return desk;
}

// Pose of marker m at time t seconds. The markers lie on a desk seen obliquely (tilted
// back about 50 degrees, top edge away from the camera, so the models stand up
// towards the top of the view); each
// keeps to its own quarter of the view, drifts on a slow loop, turns on the desk and
// rocks a little. The motion repeats after ten seconds, so the looped clip is seamless.
void demoPose(const CameraParam& cam, int m, double t, double pose[3][4])
{
    const double focal = cam.projection[0][0];
    const double z = focal * kDemoMarkerSide / (kDemoMarkerPixels * cam.width / double(kDemoWidth));
    const double cx = cam.projection[0][2], cy = cam.projection[1][2];
    const double quarterX = (m % 2 == 0) ? -1.0 : 1.0, quarterY = (m / 2 == 0) ? -1.0 : 1.0;
    const double w = 2 * kDemoPi * t / 10.0 + m * 1.7;
    // Offsets in pixels of the 640-wide layout, scaled to the frame.
    const double s = cam.width / double(kDemoWidth);
    const double u = cx + s * quarterX * 150.0 + s * 35.0 * std::cos(w);
    const double v = cy + s * quarterY * 105.0 + s * 25.0 * std::sin(2 * w);
    const double spin = (m % 2 ? 20.0 : -20.0) + 35.0 * std::sin(w);
    const double tilt = -(50.0 + 12.0 * std::sin(3 * w));
    const double axis = 15.0 * std::sin(2 * w + 1.0);
    synthPoseMake(spin, tilt, axis, (u - cx) * z / focal, (v - cy) * z / focal, z, pose);
}

// Writes a frame as an RGB PNG. Its own writer rather than synthPngWrite: light
// compression without row filters is four times faster here and the files are no
// larger, which is most of the clip's build time.
int demoPngWrite(const char* path, const SynthImage& frame)
{
    FILE* fp = std::fopen(path, "wb");
    if (fp == nullptr) return -1;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        std::fclose(fp);
        return -1;
    }
    png_init_io(png, fp);
    png_set_compression_level(png, 3);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_IHDR(png, info, frame.width, frame.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_write_info(png, info);
    png_set_bgr(png);                          // frames are B, G, R, A in memory
    png_set_filler(png, 0, PNG_FILLER_AFTER);  // and the fourth byte is dropped
    for (int y = 0; y < frame.height; y++) {
        png_write_row(png, const_cast<png_bytep>(&frame.pixels[size_t(y) * frame.width * 4]));
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return std::fclose(fp) == 0 ? 0 : -1;
}

int demoRender(const DemoOptions& o, const CameraParam& cam,
               const std::vector<SynthImage>& pictures, const SynthImage& desk, int first, int step)
{
    SynthScene scene;
    synthSceneInit(&cam, &scene);
    scene.backgroundImage = &desk;
    scene.supersample = 2;
    scene.markerCount = int(pictures.size());
    SynthImage frame;
    for (int f = first; f < o.frames; f += step) {
        const double t = double(f) / o.fps;
        for (int m = 0; m < scene.markerCount; m++) {
            scene.markers[m].picture = &pictures[m];
            scene.markers[m].side = kDemoMarkerSide;
            demoPose(cam, m, t, scene.markers[m].pose);
        }
        char path[4096];
        std::snprintf(path, sizeof path, "%s/%04d.png", o.outDir.c_str(), f);
        if (synthRender(&scene, &frame, nullptr) < 0 || demoPngWrite(path, frame) < 0) {
            std::fprintf(stderr, "tarlim-democlip: cannot render or write %s\n", path);
            return -1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    DemoOptions o;
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        demoUsage(stdout);
        return 0;
    }
    if (!demoParse(argc, argv, &o)) {
        demoUsage(stderr);
        return 2;
    }
    CameraParam file, cam;
    if (camParamLoad(o.camera.c_str(), 1, &file) < 0) {
        std::fprintf(stderr, "tarlim-democlip: cannot load camera file %s\n", o.camera.c_str());
        return 1;
    }
    camParamChangeSize(&file, o.width, o.height, &cam);
    std::error_code error;
    std::filesystem::create_directories(o.outDir, error);
    std::vector<SynthImage> pictures(o.pictures.size());
    for (size_t i = 0; i < o.pictures.size(); i++) {
        if (synthPngRead(o.pictures[i].c_str(), &pictures[i]) < 0) {
            std::fprintf(stderr, "tarlim-democlip: cannot read picture %s\n",
                         o.pictures[i].c_str());
            return 1;
        }
    }
    const SynthImage desk = demoDesk();
    // Two workers, interleaved frames: the build machine has two cores.
    int results[2] = {0, 0};
    std::thread worker([&] { results[1] = demoRender(o, cam, pictures, desk, 1, 2); });
    results[0] = demoRender(o, cam, pictures, desk, 0, 2);
    worker.join();
    return (results[0] < 0 || results[1] < 0) ? 1 : 0;
}
