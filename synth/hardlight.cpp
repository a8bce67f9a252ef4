// Hard light: shadows with straight edges cast across the scene, a white balance off
// the light's colour, dark squares of clutter and JPEG compression, the conditions of
// photographs taken outdoors with a phone or a webcam.
#include "synth/internal.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace {

// A random unit vector without trigonometry, so the layout is the same everywhere.
void synthRandomDirection(SynthRandom* random, double* ux, double* uy)
{
    double ax = 0.0, ay = 0.0, len = 0.0;
    while (len < 0.01 || len > 1.0) {
        ax = synthRandomUniform(random) * 2.0 - 1.0;
        ay = synthRandomUniform(random) * 2.0 - 1.0;
        len = ax * ax + ay * ay;
    }
    len = std::sqrt(len);
    *ux = ax / len;
    *uy = ay / len;
}

// One shadow: the pixels whose signed distance d = (x, y) . n - offset lies in
// [0, width] (a band, the shadow of a pole or a branch) or is >= 0 (a half-plane,
// the shadow of a wall), with a linear penumbra of `soft` pixels at each edge.
struct SynthShadow {
    double nx, ny, offset, width;  // width < 0: half-plane
};

double synthShadowCover(const SynthShadow& s, double x, double y, double soft)
{
    const double d = x * s.nx + y * s.ny - s.offset;
    auto ramp = [soft](double t) {  // 0 outside, 1 inside, across [-soft/2, soft/2]
        if (soft <= 0.0) return t >= 0.0 ? 1.0 : 0.0;
        return std::min(1.0, std::max(0.0, t / soft + 0.5));
    };
    if (s.width < 0.0) return ramp(d);
    return std::min(ramp(d), ramp(s.width - d));
}

struct SynthJpegError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void synthJpegFail(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<SynthJpegError*>(info->err)->jump, 1);
}

void synthJpegSilent(j_common_ptr, int) {}

// Compresses `rgb` (width * height * 3) into *data / *size. Returns 0 or -1.
int synthJpegEncode(const std::vector<std::uint8_t>& rgb, int width, int height, int quality,
                    unsigned char** data, unsigned long* size)
{
    jpeg_compress_struct info;
    SynthJpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = synthJpegFail;
    error.manager.emit_message = synthJpegSilent;
    if (setjmp(error.jump)) {
        jpeg_destroy_compress(&info);
        return -1;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, data, size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row =
            const_cast<JSAMPROW>(&rgb[static_cast<std::size_t>(info.next_scanline) * width * 3]);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return 0;
}

// Decompresses into `rgb` (width * height * 3). Returns 0 or -1.
int synthJpegDecode(const unsigned char* data, unsigned long size, int width, int height,
                    std::vector<std::uint8_t>* rgb)
{
    jpeg_decompress_struct info;
    SynthJpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = synthJpegFail;
    error.manager.emit_message = synthJpegSilent;
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        return -1;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, size);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    if (static_cast<int>(info.output_width) != width ||
        static_cast<int>(info.output_height) != height || info.output_components != 3) {
        jpeg_destroy_decompress(&info);
        return -1;
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = &(*rgb)[static_cast<std::size_t>(info.output_scanline) * width * 3];
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return 0;
}

}  // namespace

void synthDrawDarkSquares(const SynthScene* scene, std::vector<std::uint8_t>* backdrop)
{
    const int width = scene->camera.width, height = scene->camera.height;
    SynthRandom random{scene->darkSquareSeed * 0x632be59bd9b4e019ull + 3};
    for (int i = 0; i < scene->darkSquares; i++) {
        const double cx = synthRandomUniform(&random) * width;
        const double cy = synthRandomUniform(&random) * height;
        const double half = 4.0 + 26.0 * synthRandomUniform(&random);
        double ux = 1.0, uy = 0.0;
        synthRandomDirection(&random, &ux, &uy);
        const auto grey = static_cast<std::uint8_t>(8 + synthRandomUniform(&random) * 93);
        const double reach = half * 1.4143 + 1.0;
        const int x0 = std::max(0, static_cast<int>(std::floor(cx - reach)));
        const int x1 = std::min(width - 1, static_cast<int>(std::ceil(cx + reach)));
        const int y0 = std::max(0, static_cast<int>(std::floor(cy - reach)));
        const int y1 = std::min(height - 1, static_cast<int>(std::ceil(cy + reach)));
        for (int y = y0; y <= y1; y++) {
            for (int x = x0; x <= x1; x++) {
                const double dx = x - cx, dy = y - cy;
                if (std::fabs(dx * ux + dy * uy) > half || std::fabs(-dx * uy + dy * ux) > half)
                    continue;
                std::uint8_t* out = &(*backdrop)[(static_cast<std::size_t>(y) * width + x) * 3];
                out[0] = out[1] = out[2] = grey;
            }
        }
    }
}

void synthApplyHardLight(const SynthScene* scene, std::vector<double>* work)
{
    const double* wb = scene->whiteBalance;
    const bool balanced = wb[0] == 1.0 && wb[1] == 1.0 && wb[2] == 1.0;
    if (scene->shadowCount == 0 && balanced) return;
    const int width = scene->camera.width, height = scene->camera.height;
    SynthShadow shadows[kSynthMaxShadows];
    SynthRandom random{scene->shadowSeed * 0xd1b54a32d192ed03ull + 5};
    const double diagonal = std::hypot(width, height);
    for (int s = 0; s < scene->shadowCount; s++) {
        SynthShadow& sh = shadows[s];
        synthRandomDirection(&random, &sh.nx, &sh.ny);
        // Through a random point of the frame; bands 5 % to 40 % of the diagonal wide.
        const double px = synthRandomUniform(&random) * width;
        const double py = synthRandomUniform(&random) * height;
        sh.offset = px * sh.nx + py * sh.ny;
        sh.width = synthRandomUniform(&random) < 0.35
                       ? -1.0
                       : diagonal * (0.05 + 0.35 * synthRandomUniform(&random));
    }
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            double light = 1.0;
            for (int s = 0; s < scene->shadowCount; s++)
                light *= 1.0 - scene->shadowDepth *
                                   synthShadowCover(shadows[s], x, y, scene->shadowSoftness);
            double* p = &(*work)[(static_cast<std::size_t>(y) * width + x) * 3];
            for (int c = 0; c < 3; c++) p[c] *= light * wb[c];
        }
    }
}

int synthApplyJpeg(const SynthScene* scene, SynthImage* frame)
{
    const int width = frame->width, height = frame->height;
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    std::vector<std::uint8_t> rgb(pixels * 3);
    for (std::size_t i = 0; i < pixels; i++) {
        rgb[i * 3] = frame->pixels[i * 4 + 2];
        rgb[i * 3 + 1] = frame->pixels[i * 4 + 1];
        rgb[i * 3 + 2] = frame->pixels[i * 4];
    }
    unsigned char* data = nullptr;
    unsigned long size = 0;
    if (synthJpegEncode(rgb, width, height, scene->jpegQuality, &data, &size) < 0) {
        std::free(data);
        return -1;
    }
    const int decoded = synthJpegDecode(data, size, width, height, &rgb);
    std::free(data);
    if (decoded < 0) return -1;
    for (std::size_t i = 0; i < pixels; i++) {
        frame->pixels[i * 4 + 2] = rgb[i * 3];
        frame->pixels[i * 4 + 1] = rgb[i * 3 + 1];
        frame->pixels[i * 4] = rgb[i * 3 + 2];
    }
    return 0;
}

int synthHardLightScene(int index, const SynthImage* const* pictures, int pictureCount,
                        SynthScene* scene)
{
    if (index < 0 || index >= kSynthHardLightScenes || pictures == nullptr || pictureCount < 1)
        return -1;
    for (int i = 0; i < pictureCount; i++)
        if (pictures[i] == nullptr || pictures[i]->width < 1) return -1;
    const int width = 1280, height = 720;
    const double focal = 1000.0;
    CameraParam camera;
    if (synthCameraMake(width, height, focal, 2.0, &camera) < 0) return -1;
    synthSceneInit(&camera, scene);
    SynthRandom random{static_cast<std::uint64_t>(index) * 0x9e3779b97f4a7c15ull + 11};
    auto uniform = [&random](double lo, double hi) {
        return lo + (hi - lo) * synthRandomUniform(&random);
    };
    const std::uint8_t grey = static_cast<std::uint8_t>(uniform(120, 180));
    scene->background[0] = scene->background[1] = scene->background[2] = grey;
    scene->clutter = 1;
    scene->clutterSeed = 100u + static_cast<std::uint32_t>(index);
    scene->darkSquares = 40 + (index % 5) * 10;
    scene->darkSquareSeed = 200u + static_cast<std::uint32_t>(index);
    scene->shadowCount = 1 + index % 3;
    scene->shadowSeed = 300u + static_cast<std::uint32_t>(index);
    scene->shadowDepth = uniform(0.45, 0.75);
    scene->shadowSoftness = uniform(0.5, 2.0);
    scene->whiteBalance[0] = uniform(0.75, 1.25);
    scene->whiteBalance[1] = 1.0;
    scene->whiteBalance[2] = uniform(0.8, 1.2);
    scene->lightGradient = uniform(0.0, 0.3);
    scene->lightAngleDeg = uniform(0.0, 360.0);
    scene->blurSigma = uniform(0.5, 0.9);
    scene->noiseSigma = uniform(3.0, 6.0);
    scene->noiseSeed = 400u + static_cast<std::uint32_t>(index);
    scene->jpegQuality = 65 + static_cast<int>(uniform(0.0, 25.99));

    // Markers on a grid of cells, one per cell, each well inside its cell.
    const int count = 8 + (index * 23) % 53;
    int cols = 1;
    while (cols * (cols * height / width) < count) cols++;
    const int rows = (count + cols - 1) / cols;
    const double cellW = static_cast<double>(width - 40) / cols;
    const double cellH = static_cast<double>(height - 40) / rows;
    const double side = 80.0;
    for (int i = 0; i < count; i++) {
        SynthMarker& m = scene->markers[i];
        m.picture = pictures[i % pictureCount];
        m.side = side;
        const double room = std::min(cellW, cellH) / 1.6;  // paper and tilt need room
        const double span = std::min(uniform(15.0, 40.0), room);
        const double z = focal * side / span;
        const double slack = std::max(0.0, std::min(cellW, cellH) - 1.6 * span) / 2.0;
        const double cx = 20 + cellW * (i % cols + 0.5) + uniform(-slack, slack);
        const double cy = 20 + cellH * (i / cols + 0.5) + uniform(-slack, slack);
        synthPoseMake(uniform(0.0, 360.0), uniform(0.0, 40.0), uniform(0.0, 180.0),
                      (cx - (width - 1) / 2.0) * z / focal, (cy - (height - 1) / 2.0) * z / focal,
                      z, m.pose);
    }
    scene->markerCount = count;
    return 0;
}
