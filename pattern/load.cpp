// Pattern files: reading, inverting and normalising the four orientations of a marker
// picture into a pattern set; the default set behind patternLoad.
#include "pattern/pattern.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// The default set starts uninitialised (count -1) until its first load.
PatternSet patternDefault = {-1, {}};

}  // namespace

int32_t& patternCount = patternDefault.count;
PatternSlot (&patternSlots)[kPatternSlotMax] = patternDefault.slots;

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

double patternCentre(int32_t values[kPatternValues])
{
    int64_t sum = 0;
    for (int k = 0; k < kPatternValues; k++) sum += values[k];
    const int32_t mean = static_cast<int32_t>(sum / kPatternValues);
    int64_t squares = 0;  // at most 768 * 4080^2
    for (int k = 0; k < kPatternValues; k++) {
        values[k] -= mean;
        squares += static_cast<int64_t>(values[k]) * values[k];
    }
    const double power = std::sqrt(static_cast<double>(squares));
    return power == 0.0 ? 0.0000001 : power;
}

void patternSoften(const int32_t in[kPatternValues], int32_t out[kPatternValues])
{
    static constexpr int32_t kWeight[5] = {2, 26, 64, 26, 2};
    int32_t across[kPatternValues];  // along rows, with the weight sums per column
    int32_t weightX[kPatternSide];
    for (int x = 0; x < kPatternSide; x++) {
        weightX[x] = 0;
        for (int k = -2; k <= 2; k++)
            if (x + k >= 0 && x + k < kPatternSide) weightX[x] += kWeight[k + 2];
    }
    for (int y = 0; y < kPatternSide; y++)
        for (int x = 0; x < kPatternSide; x++)
            for (int c = 0; c < 3; c++) {
                int32_t sum = 0;
                for (int k = -2; k <= 2; k++)
                    if (x + k >= 0 && x + k < kPatternSide)
                        sum += kWeight[k + 2] * in[(y * kPatternSide + x + k) * 3 + c];
                across[(y * kPatternSide + x) * 3 + c] = sum;
            }
    for (int y = 0; y < kPatternSide; y++)
        for (int x = 0; x < kPatternSide; x++)
            for (int c = 0; c < 3; c++) {
                int64_t sum = 0;
                for (int k = -2; k <= 2; k++)
                    if (y + k >= 0 && y + k < kPatternSide)
                        sum += kWeight[k + 2] * across[((y + k) * kPatternSide + x) * 3 + c];
                const int64_t weight = static_cast<int64_t>(weightX[x]) * weightX[y];
                out[(y * kPatternSide + x) * 3 + c] =
                    static_cast<int32_t>((16 * sum + weight / 2) / weight);
            }
}

PatternSet* patternDefaultSet()
{
    return &patternDefault;
}

int patternSetInit(PatternSet* set)
{
    set->count = 0;
    for (PatternSlot& slot : set->slots) slot.used = 0;
    return 0;
}

PatternSet* patternSetCreate()
{
    PatternSet* set = static_cast<PatternSet*>(std::malloc(sizeof(PatternSet)));
    if (set != nullptr) patternSetInit(set);
    return set;
}

void patternSetRelease(PatternSet* set)
{
    std::free(set);
}

int patternSetLoad(PatternSet* set, const char* path)
{
    if (set->count == -1) patternSetInit(set);
    int slot = 0;
    while (slot < kPatternSlotMax && set->slots[slot].used != 0) slot++;
    if (slot == kPatternSlotMax) return kPatternSetFull;

    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return kPatternNotFound;
    PatternSlot& p = set->slots[slot];
    for (int h = 0; h < kPatternOrientations; h++) {
        if (patternReadOrientation(file, p.values[h]) < 0) {
            std::fclose(file);
            return kPatternReadError;
        }
        patternSoften(p.values[h], p.soft[h]);
        p.softPower[h] = patternCentre(p.soft[h]);
        p.power[h] = patternNormalise(p.values[h]);
    }
    std::fclose(file);
    p.used = 1;
    set->count++;
    return slot;
}

int patternSetFree(PatternSet* set, int slot)
{
    if (slot < 0 || slot >= kPatternSlotMax || set->count <= 0) return -1;
    if (set->slots[slot].used == 0) return -1;
    set->slots[slot].used = 0;
    set->count--;
    return 0;
}

int patternSetCount(const PatternSet* set)
{
    return set->count < 0 ? 0 : set->count;
}

int patternLoad(const char* path)
{
    const int slot = patternSetLoad(&patternDefault, path);
    if (slot == kPatternNotFound) std::printf("\"%s\" not found!!\n", path);
    if (slot == kPatternReadError) std::printf("Pattern Data read error!!\n");
    return slot < 0 ? -1 : slot;
}
