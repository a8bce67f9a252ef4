// Camera parameter file: camParamLoad, then what start-up and every frame do with the
// record: rescale to the capture size, install it, detect and pose a marker in a
// fixed frame, and decompose the camera matrix as the display does.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "camera/camera.h"
#include "detect/detect.h"
#include "fuzz_scratch.h"
#include "pose/pose.h"

namespace {

constexpr int kFrameWidth = 48;
constexpr int kFrameHeight = 40;

// A black square of side 30 with a white inner quarter and one dark cell, so the
// detector finds a candidate, fits its edges through the camera's distortion and
// samples its inside.
std::vector<uint8_t> fuzzMarkerFrame()
{
    std::vector<uint8_t> frame(kFrameWidth * kFrameHeight * 4, 255);
    for (int y = 5; y < 35; y++) {
        for (int x = 9; x < 39; x++) {
            const bool inner = x >= 17 && x < 31 && y >= 13 && y < 27;
            const bool cell = x >= 17 && x < 21 && y >= 13 && y < 17;
            if (!inner || cell) std::memset(&frame[(y * kFrameWidth + x) * 4], 0, 3);
        }
    }
    return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::vector<uint8_t> frame = fuzzMarkerFrame();
    const char* path = fuzzWriteScratch(data, size);
    CameraParam file[2];
    // Two records when the input holds them, so the multi-record path runs too.
    const int count = size >= 2 * kCamParamRecordSize ? 2 : 1;
    if (camParamLoad(path, count, &file[0], &file[1]) != 0) return 0;
    // What a successful load promises: sizes a frame can have, finite numbers.
    for (int r = 0; r < count; r++) {
        if (file[r].width < 1 || file[r].width > kCamParamSizeMax || file[r].height < 1 ||
            file[r].height > kCamParamSizeMax) {
            std::abort();
        }
        for (const auto& row : file[r].projection) {
            for (double v : row) {
                if (!std::isfinite(v)) std::abort();
            }
        }
        for (double v : file[r].distortion) {
            if (!std::isfinite(v)) std::abort();
        }
    }

    CameraParam param;
    camParamChangeSize(&file[0], kFrameWidth, kFrameHeight, &param);
    camParamInit(&param);
    double intrinsic[3][4], rigid[3][4];
    camDecomposeProjection(param.projection, intrinsic, rigid);

    markHistoryCount = 0;
    DetectedMarker* list = nullptr;
    int32_t n = 0;
    if (markDetect(frame.data(), 100, &list, &n) != 0) return 0;
    for (int32_t i = 0; i < n; i++) {
        DetectedMarker m = list[i];
        if (m.direction < 0) m.direction = 0;  // no pattern is loaded; pose it anyway
        const double center[2] = {0.0, 0.0};
        double transform[3][4] = {};
        poseGetTransform(&m, center, 80.0, transform);
    }
    return 0;
}
