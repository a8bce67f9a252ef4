// Camera parameter files (136-byte big-endian records), rescaling to the capture size
// and the process-wide current parameters.
#include "camera/camera.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

CameraParam camCurrentParam;
int camImageWidth;
int camImageHeight;

namespace {

// Record layout: width, height, 12 projection values, 4 distortion values.
constexpr int kCamProjectionOffset = 8;
constexpr int kCamDistortionOffset = kCamProjectionOffset + 12 * 8;
static_assert(kCamDistortionOffset + 4 * 8 == kCamParamRecordSize, "record layout");

// The file is big-endian whatever the host is, so every field is assembled from its
// bytes rather than copied over the record.
int32_t camGetInt32(const unsigned char* p)
{
    const uint32_t u =
        (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
    return static_cast<int32_t>(u);
}

double camGetDouble(const unsigned char* p)
{
    uint64_t u = 0;
    for (int i = 0; i < 8; i++) u = (u << 8) | p[i];
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}

void camPutInt32(unsigned char* p, int32_t value)
{
    const uint32_t u = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(u >> (24 - 8 * i));
}

void camPutDouble(unsigned char* p, double value)
{
    uint64_t u;
    std::memcpy(&u, &value, sizeof u);
    for (int i = 0; i < 8; i++) p[i] = static_cast<unsigned char>(u >> (56 - 8 * i));
}

void camDecodeRecord(const unsigned char* buf, CameraParam* param)
{
    param->width = camGetInt32(buf);
    param->height = camGetInt32(buf + 4);
    for (int i = 0; i < 12; i++)
        param->projection[i / 4][i % 4] = camGetDouble(buf + kCamProjectionOffset + 8 * i);
    for (int i = 0; i < 4; i++)
        param->distortion[i] = camGetDouble(buf + kCamDistortionOffset + 8 * i);
}

void camEncodeRecord(const CameraParam* param, unsigned char* buf)
{
    camPutInt32(buf, param->width);
    camPutInt32(buf + 4, param->height);
    for (int i = 0; i < 12; i++)
        camPutDouble(buf + kCamProjectionOffset + 8 * i, param->projection[i / 4][i % 4]);
    for (int i = 0; i < 4; i++)
        camPutDouble(buf + kCamDistortionOffset + 8 * i, param->distortion[i]);
}

// A record is usable when its size is positive (the rescale divides by the width) and
// plausible (a wrong byte order gives 65536 or more), and every number is finite.
bool camRecordValid(const CameraParam* param)
{
    if (param->width <= 0 || param->height <= 0) return false;
    if (param->width > kCamParamSizeMax || param->height > kCamParamSizeMax) return false;
    for (const auto& row : param->projection) {
        for (double v : row) {
            if (!std::isfinite(v)) return false;
        }
    }
    for (double v : param->distortion) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

}  // namespace

// ---- Files -----------------------------------------------------------------------

int camParamLoad(const char* path, int count, ...)
{
    if (count < 1) return -1;
    FILE* fp = std::fopen(path, "rb");
    if (fp == nullptr) return -1;

    va_list args;
    va_start(args, count);
    int result = 0;
    for (int i = 0; i < count; i++) {
        CameraParam* dest = va_arg(args, CameraParam*);
        unsigned char buf[kCamParamRecordSize];
        if (std::fread(buf, 1, sizeof buf, fp) != sizeof buf) {
            result = -1;
            break;
        }
        // Decode into a local first: a rejected record leaves its destination as it was.
        CameraParam param;
        camDecodeRecord(buf, &param);
        if (!camRecordValid(&param)) {
            result = -1;
            break;
        }
        *dest = param;
    }
    va_end(args);
    std::fclose(fp);
    return result;
}

int camParamSave(const char* path, int count, const CameraParam* params)
{
    if (count < 1) return -1;
    // Never write a file that camParamLoad would refuse.
    for (int i = 0; i < count; i++) {
        if (!camRecordValid(&params[i])) return -1;
    }
    FILE* fp = std::fopen(path, "wb");
    if (fp == nullptr) return -1;
    int result = 0;
    for (int i = 0; i < count && result == 0; i++) {
        unsigned char buf[kCamParamRecordSize];
        camEncodeRecord(&params[i], buf);
        if (std::fwrite(buf, 1, sizeof buf, fp) != sizeof buf) result = -1;
    }
    // fclose flushes: a full disk may only show here.
    if (std::fclose(fp) != 0) result = -1;
    return result;
}

// ---- Current parameters ---------------------------------------------------------------

int camParamChangeSize(const CameraParam* source, int newWidth, int newHeight, CameraParam* dest)
{
    // Only the width ratio scales: a change of aspect ratio is not compensated.
    const double r = static_cast<double>(newWidth) / source->width;
    CameraParam out;  // built aside so that source and dest may be the same record
    out.width = newWidth;
    out.height = newHeight;
    for (int i = 0; i < 4; i++) {
        out.projection[0][i] = source->projection[0][i] * r;
        out.projection[1][i] = source->projection[1][i] * r;
        out.projection[2][i] = source->projection[2][i];
    }
    out.distortion[0] = source->distortion[0] * r;
    out.distortion[1] = source->distortion[1] * r;
    // Model distances scale with r, so f * 1e-8 * d^2 keeps its value when f / r^2.
    out.distortion[2] = source->distortion[2] / (r * r);
    out.distortion[3] = source->distortion[3];
    *dest = out;
    return 0;
}

int camParamInit(const CameraParam* param)
{
    camCurrentParam = *param;
    camImageWidth = param->width;
    camImageHeight = param->height;
    return 0;
}
