// Pattern files: reading, inverting and normalising the four orientations of a marker
// picture into the global pattern table.
#include "pattern/pattern.h"

#include <cmath>
#include <cstdio>

int32_t patternCount = -1;
PatternSlot patternSlots[kPatternSlotMax];

namespace {

// Largest magnitude kept while reading digits: anything beyond is clamped to 0 ... 255
// anyway, and saturating here keeps a 40-digit number from overflowing.
constexpr int kPatternReadSaturate = 1000000;

// Reads one decimal integer the way "%d" does (leading white space, optional sign, at
// least one digit), stopping at the first non-digit. Returns 0, or -1 at end of file or
// on a token that does not start a number.
int patternReadInt(FILE* file, int* value)
{
    int ch = std::fgetc(file);
    while (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f') {
        ch = std::fgetc(file);
    }
    bool negative = false;
    if (ch == '+' || ch == '-') {
        negative = (ch == '-');
        ch = std::fgetc(file);
    }
    if (ch < '0' || ch > '9') return -1;
    int magnitude = 0;
    while (ch >= '0' && ch <= '9') {
        if (magnitude < kPatternReadSaturate) magnitude = magnitude * 10 + (ch - '0');
        ch = std::fgetc(file);
    }
    if (ch != EOF) std::ungetc(ch, file);
    *value = negative ? -magnitude : magnitude;
    return 0;
}

// Reads one orientation (blue, green, red blocks of 16 x 16) into `values`, inverted
// so that dark is large. Returns 0, or -1 on a read error.
int patternReadOrientation(FILE* file, int32_t values[kPatternValues])
{
    for (int c = 0; c < 3; c++) {
        for (int r = 0; r < kPatternSide; r++) {
            for (int k = 0; k < kPatternSide; k++) {
                int v = 0;
                if (patternReadInt(file, &v) < 0) return -1;
                // Intensities outside 0 ... 255 are file damage; clamping keeps the
                // integer correlation sums far from overflow.
                if (v < 0) v = 0;
                if (v > 255) v = 255;
                values[(r * kPatternSide + k) * 3 + c] = 255 - v;
            }
        }
    }
    return 0;
}

// Removes the integer mean from one orientation and returns its Euclidean norm, with
// a tiny stand-in for 0 so that matching never divides by zero.
double patternNormalise(int32_t values[kPatternValues])
{
    int32_t sum = 0;  // at most 768 * 255
    for (int k = 0; k < kPatternValues; k++) sum += values[k];
    const int32_t mean = sum / kPatternValues;
    int32_t squares = 0;  // at most 768 * 255^2 < 2^31
    for (int k = 0; k < kPatternValues; k++) {
        values[k] -= mean;
        squares += values[k] * values[k];
    }
    const double power = std::sqrt(static_cast<double>(squares));
    return power == 0.0 ? 0.0000001 : power;
}

}  // namespace

int patternLoad(const char* path)
{
    if (patternCount == -1) {
        for (PatternSlot& slot : patternSlots) slot.used = 0;
        patternCount = 0;
    }
    int slot = 0;
    while (slot < kPatternSlotMax && patternSlots[slot].used != 0) slot++;
    if (slot == kPatternSlotMax) return -1;

    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        std::printf("\"%s\" not found!!\n", path);
        return -1;
    }
    PatternSlot& p = patternSlots[slot];
    for (int h = 0; h < kPatternOrientations; h++) {
        if (patternReadOrientation(file, p.values[h]) < 0) {
            std::printf("Pattern Data read error!!\n");
            std::fclose(file);
            return -1;
        }
        p.power[h] = patternNormalise(p.values[h]);
    }
    std::fclose(file);
    p.used = 1;
    patternCount++;
    return slot;
}
