// Pattern matching: normalised cross-correlation of a sampled marker interior with
// every orientation of every loaded pattern.
#include "pattern/pattern.h"

#include <cmath>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

int patternMatch(const uint8_t sample[kPatternValues], int32_t* patternId, int32_t* direction,
                 double* confidence)
{
    return patternSetMatch(patternDefaultSet(), sample, patternId, direction, confidence);
}

namespace {

#if defined(__GNUC__) && defined(__x86_64__)
#define PATTERN_DOT_AVX2 1
// The four orientations' dot products with v, eight values at a time: signed 32 x 32
// -> 64-bit products of the even and the odd lanes, summed in 64 bits (integer sums
// in any order, so the same values as one at a time).
__attribute__((target("avx2"))) void patternDotsAvx2(const int32_t* v,
                                                     const int32_t (*values)[kPatternValues],
                                                     int64_t dots[kPatternOrientations])
{
    __m256i sums[kPatternOrientations];
    for (int h = 0; h < kPatternOrientations; h++) sums[h] = _mm256_setzero_si256();
    for (int k = 0; k < kPatternValues; k += 8) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + k));
        const __m256i aOdd = _mm256_srli_epi64(a, 32);
        for (int h = 0; h < kPatternOrientations; h++) {
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values[h] + k));
            const __m256i even = _mm256_mul_epi32(a, b);
            const __m256i odd = _mm256_mul_epi32(aOdd, _mm256_srli_epi64(b, 32));
            sums[h] = _mm256_add_epi64(sums[h], _mm256_add_epi64(even, odd));
        }
    }
    for (int h = 0; h < kPatternOrientations; h++) {
        alignas(32) int64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums[h]);
        dots[h] = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    }
}
#endif

bool patternHaveAvx2()
{
#ifdef PATTERN_DOT_AVX2
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
#else
    return false;
#endif
}

}  // namespace

void patternDotsUsing(const int32_t v[kPatternValues], const int32_t (*values)[kPatternValues],
                      int64_t dots[kPatternOrientations], int level)
{
#ifdef PATTERN_DOT_AVX2
    if (level >= 2 && patternHaveAvx2()) {
        patternDotsAvx2(v, values, dots);
        return;
    }
#endif
    for (int h = 0; h < kPatternOrientations; h++) {
        int64_t dot = 0;
        for (int k = 0; k < kPatternValues; k++) dot += static_cast<int64_t>(v[k]) * values[h][k];
        dots[h] = dot;
    }
}

namespace {

// The best orientation of every loaded slot for centred values v of Euclidean norm
// `norm`, against the slots' plain grids or (soft) their smoothed ones. Ties keep the
// lower slot, then the lower orientation; no positive correlation leaves -1, -1, 0.0.
void patternBest(const PatternSet* set, const int32_t v[kPatternValues], double norm, bool soft,
                 int32_t* patternId, int32_t* direction, double* confidence)
{
    double best = 0.0;
    *patternId = -1;
    *direction = -1;
    // The default set's count is -1 before its first load: no slot is visited then.
    const int32_t loaded = set == nullptr ? 0 : set->count;
    int visited = 0;
    for (int p = 0; p < kPatternSlotMax && visited < loaded; p++) {
        const PatternSlot& slot = set->slots[p];
        if (slot.used == 0) continue;
        visited++;
        // |dot| <= 768 * 4080^2 (smoothed), 768 * 255^2 (plain)
        int64_t dots[kPatternOrientations];
        patternDotsUsing(v, soft ? slot.soft : slot.values, dots, 2);
        for (int h = 0; h < kPatternOrientations; h++) {
            const double power = soft ? slot.softPower[h] : slot.power[h];
            const double c = (static_cast<double>(dots[h]) / power) * (1.0 / norm);
            if (c > best) {
                best = c;
                *patternId = p;
                *direction = h;
            }
        }
    }
    *confidence = best;
}

// What a uniform sample reports.
int patternUniform(int32_t* patternId, int32_t* direction, double* confidence)
{
    *patternId = 0;
    *direction = 0;
    *confidence = -1.0;
    return -1;
}

}  // namespace

int patternSetMatch(const PatternSet* set, const uint8_t sample[kPatternValues], int32_t* patternId,
                    int32_t* direction, double* confidence)
{
    // Invert and remove the mean exactly as the stored patterns were, so the
    // correlation ignores overall brightness.
    int32_t sum = 0;
    for (int k = 0; k < kPatternValues; k++) sum += 255 - sample[k];
    const int32_t mean = sum / kPatternValues;
    int32_t v[kPatternValues];
    int32_t squares = 0;  // at most 768 * 255^2 < 2^31
    for (int k = 0; k < kPatternValues; k++) {
        v[k] = 255 - sample[k] - mean;
        squares += v[k] * v[k];
    }
    const double norm = std::sqrt(static_cast<double>(squares));
    if (norm == 0.0) return patternUniform(patternId, direction, confidence);
    patternBest(set, v, norm, false, patternId, direction, confidence);
    return 0;
}

int patternSetMatchSoft(const PatternSet* set, const uint8_t sample[kPatternValues],
                        int32_t* patternId, int32_t* direction, double* confidence)
{
    // Equal bytes smooth to equal values; a grid that is not uniform never does.
    bool uniform = true;
    for (int k = 1; k < kPatternValues && uniform; k++) uniform = sample[k] == sample[0];
    if (uniform) return patternUniform(patternId, direction, confidence);
    int32_t raw[kPatternValues], v[kPatternValues];
    for (int k = 0; k < kPatternValues; k++) raw[k] = 255 - sample[k];
    patternSoften(raw, v);
    const double norm = patternCentre(v);
    patternBest(set, v, norm, true, patternId, direction, confidence);
    return 0;
}
