// Pattern file: patternLoad, then a match of a sample taken from the input against
// the loaded pattern. The slot is freed again through the table's own state, so the
// 50-slot table never fills however many inputs a process runs.
#include <cstdint>
#include <cstdlib>

#include "fuzz_scratch.h"
#include "pattern/pattern.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const int slot = patternLoad(fuzzWriteScratch(data, size));
    if (slot < 0) return 0;
    if (slot >= kPatternSlotMax || patternCount != 1) std::abort();

    // Normalised orientations: mean-free values bounded by the clamped intensities,
    // and a norm that matching can divide by.
    for (int h = 0; h < kPatternOrientations; h++) {
        if (!(patternSlots[slot].power[h] > 0.0)) std::abort();
        for (int32_t v : patternSlots[slot].values[h]) {
            if (v < -255 || v > 255) std::abort();
        }
    }
    uint8_t sample[kPatternValues];
    for (int k = 0; k < kPatternValues; k++) sample[k] = size > 0 ? data[k % size] : 0;
    int32_t id = 0, direction = 0;
    double confidence = 0.0;
    patternMatch(sample, &id, &direction, &confidence);
    if (confidence > 1.0 + 1e-9) std::abort();

    patternSlots[slot].used = 0;
    patternCount--;
    return 0;
}
