// Video frames: markDetect with the shipped camera rescaled to the frame size and the
// shipped patterns loaded, then poseGetTransform on every detection; then a detector
// with the robust preset (local threshold, second look, shade matching and the rest) on
// the same frame, and one with the preset's local mean read from cells.
//
// Input: bytes 0-3 the threshold (int32, little-endian, any value the configuration
// can hold); byte 4 width - 1 and byte 5 height - 1 (each taken modulo 64); byte 6 the
// direction (modulo 4) given to unrecognised squares so that pose runs on them too;
// then one grey byte per pixel, rows top to bottom. Pixels the input does not reach
// are white.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "detect/detect.h"
#include "pattern/pattern.h"
#include "pose/pose.h"

namespace {

constexpr int kFrameSideMax = 64;
constexpr size_t kHeaderSize = 7;

// data/camera.cam, 640 x 480.
CameraParam fuzzShippedCamera()
{
    CameraParam p{};
    p.width = 640;
    p.height = 480;
    p.projection[0][0] = 668.0;
    p.projection[0][2] = 321.4;
    p.projection[1][1] = 666.5;
    p.projection[1][2] = 238.7;
    p.projection[2][2] = 1.0;
    p.distortion[0] = 322.0;
    p.distortion[1] = 240.5;
    p.distortion[2] = 6.0;
    p.distortion[3] = 1.0;
    return p;
}

// A detector with the robust preset (and cells, when asked), matching the shipped
// patterns; made once per kind.
MarkDetector* fuzzRobustDetector(bool cells)
{
    PatternSet* set = patternSetCreate();
    if (set == nullptr) return nullptr;
    for (const char* name : {"arrow", "bars", "key", "moon"}) {
        const std::string path = std::string(TARLIM_SOURCE_DIR) + "/data/markers/" + name + ".pat";
        if (patternSetLoad(set, path.c_str()) < 0) return nullptr;
    }
    MarkOptions options = markRobustOptions();
    options.localCells = cells ? 1 : 0;
    return markDetectorCreate(&options, set);
}

bool fuzzLoadPatterns()
{
    for (const char* name : {"arrow", "bars", "key", "moon"}) {
        const std::string path = std::string(TARLIM_SOURCE_DIR) + "/data/markers/" + name + ".pat";
        if (patternLoad(path.c_str()) < 0) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool patterns = fuzzLoadPatterns();
    static const CameraParam shipped = fuzzShippedCamera();
    static MarkDetector* const detectors[2] = {fuzzRobustDetector(false), fuzzRobustDetector(true)};
    if (!patterns || detectors[0] == nullptr || detectors[1] == nullptr) std::abort();
    if (size < kHeaderSize) return 0;

    const int threshold = static_cast<int32_t>(uint32_t{data[0]} | uint32_t{data[1]} << 8 |
                                               uint32_t{data[2]} << 16 | uint32_t{data[3]} << 24);
    const int width = 1 + data[4] % kFrameSideMax;
    const int height = 1 + data[5] % kFrameSideMax;
    const int32_t direction = data[6] % 4;
    std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 4, 255);
    for (size_t i = 0; i + kHeaderSize < size && i < static_cast<size_t>(width) * height; i++) {
        for (int c = 0; c < 3; c++) frame[i * 4 + c] = data[kHeaderSize + i];
    }

    CameraParam param;
    camParamChangeSize(&shipped, width, height, &param);
    camParamInit(&param);
    // A fresh history per input keeps runs reproducible; the second call of the pair
    // exercises carry-over and recall against the first.
    markHistoryCount = 0;
    for (int call = 0; call < 2; call++) {
        DetectedMarker* list = nullptr;
        int32_t n = 0;
        if (markDetect(frame.data(), threshold, &list, &n) != 0) return 0;
        if (n < 0 || n > kMarkOutputMax) std::abort();
        for (int32_t i = 0; i < n; i++) {
            DetectedMarker m = list[i];
            if (m.direction < 0) m.direction = direction;
            const double center[2] = {0.0, 0.0};
            double transform[3][4] = {};
            poseGetTransform(&m, center, 80.0, transform);
        }
    }

    for (MarkDetector* robust : detectors) {
        if (markDetectorSetCamera(robust, &param) != 0) std::abort();
        markDetectorResetHistory(robust);
        for (int call = 0; call < 2; call++) {
            DetectedMarker* list = nullptr;
            int32_t n = 0;
            if (markDetectorRun(robust, frame.data(), &list, &n) != 0) return 0;
            if (n < 0 || n > robust->markerCapacity) std::abort();
            for (int32_t i = 0; i < n; i++) {
                const DetectedMarker& m = list[i];
                if (m.patternId >= 0 && !(m.confidence >= robust->options.confidenceMin))
                    std::abort();
            }
        }
    }
    return 0;
}
