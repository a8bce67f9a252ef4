// Thresholding into bit masks: one bit per pixel; 32 pixels per step on processors with
// AVX2 (checked at run time), 16 with SSE2 (every x86-64 processor), one at a time
// elsewhere. Integer sums and comparisons only, so every way gives the same bits.
#include "detect/runs.h"

#ifdef __SSE2__
#include <immintrin.h>
#endif

namespace {

// Clears bit 0, the bits from width - 1 on and the extra word.
void markMaskClearEdges(uint64_t* mask, int width)
{
    const int words = markMaskWords(width);
    mask[0] &= ~uint64_t{1};
    const int last = width - 1;  // >= 0
    int w = last >> 6;
    mask[w] &= (uint64_t{1} << (last & 63)) - 1;
    for (w++; w < words; w++) mask[w] = 0;
}

#ifdef __SSE2__
// Sixteen pixels from p on: bit i set where pixel i's blue + green + red <= limit.
inline uint32_t markDark16(const uint8_t* p, __m128i below)
{
    const __m128i low = _mm_set1_epi32(0xFF);
    __m128i sums[4];
    for (int i = 0; i < 4; i++) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        sums[i] = _mm_add_epi32(
            _mm_add_epi32(_mm_and_si128(v, low), _mm_and_si128(_mm_srli_epi32(v, 8), low)),
            _mm_and_si128(_mm_srli_epi32(v, 16), low));
    }
    // Sums are 0 ... 765: packing to 16 bits keeps them.
    const __m128i lo = _mm_packs_epi32(sums[0], sums[1]);
    const __m128i hi = _mm_packs_epi32(sums[2], sums[3]);
    const __m128i dark = _mm_packs_epi16(_mm_cmpgt_epi16(below, lo), _mm_cmpgt_epi16(below, hi));
    return static_cast<uint32_t>(_mm_movemask_epi8(dark));
}

#if defined(__GNUC__) && defined(__x86_64__)
#define MARK_MASK_AVX2 1
// Pixels x ... until fewer than 32 remain, 32 at a time; returns where it stopped.
__attribute__((target("avx2"))) int markMaskAvx2(const uint8_t* row, int width, int limit,
                                                 uint64_t* mask)
{
    // Byte weights 1, 1, 1, 0 give blue + green and red in two 16-bit lanes per pixel.
    const __m256i weights = _mm256_set1_epi32(0x00010101);
    const __m256i below = _mm256_set1_epi16(static_cast<int16_t>(limit + 1));
    // hadd and packs work within 128-bit halves; this puts the 4-pixel groups in order.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        const __m256i* p = reinterpret_cast<const __m256i*>(row + 4 * x);
        const __m256i m0 = _mm256_maddubs_epi16(_mm256_loadu_si256(p), weights);
        const __m256i m1 = _mm256_maddubs_epi16(_mm256_loadu_si256(p + 1), weights);
        const __m256i m2 = _mm256_maddubs_epi16(_mm256_loadu_si256(p + 2), weights);
        const __m256i m3 = _mm256_maddubs_epi16(_mm256_loadu_si256(p + 3), weights);
        const __m256i s01 = _mm256_hadd_epi16(m0, m1);
        const __m256i s23 = _mm256_hadd_epi16(m2, m3);
        const __m256i dark =
            _mm256_packs_epi16(_mm256_cmpgt_epi16(below, s01), _mm256_cmpgt_epi16(below, s23));
        const __m256i ordered = _mm256_permutevar8x32_epi32(dark, order);
        mask[x >> 6] |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(ordered)))
                        << (x & 63);
    }
    return x;
}
#endif
#endif

}  // namespace

bool markHaveAvx2()
{
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
#else
    return false;
#endif
}

void markMaskGlobalUsing(const uint8_t* row, int width, int limit, uint64_t* mask, int level)
{
    const int words = markMaskWords(width);
    for (int w = 0; w < words; w++) mask[w] = 0;
    // limit is -3 ... 765; dark when sum < limit + 1.
    int x = 0;
#ifdef __SSE2__
#ifdef MARK_MASK_AVX2
    if (level >= 2 && markHaveAvx2()) x = markMaskAvx2(row, width, limit, mask);
#endif
    const __m128i below = _mm_set1_epi16(static_cast<int16_t>(limit + 1));
    for (; level >= 1 && x + 16 <= width; x += 16)
        mask[x >> 6] |= static_cast<uint64_t>(markDark16(row + 4 * x, below)) << (x & 63);
#endif
    for (; x < width; x++) {
        const uint8_t* p = row + 4 * x;
        if (p[0] + p[1] + p[2] <= limit) mask[x >> 6] |= uint64_t{1} << (x & 63);
    }
    markMaskClearEdges(mask, width);
}

void markMaskGlobal(const uint8_t* row, int width, int limit, uint64_t* mask)
{
    markMaskGlobalUsing(row, width, limit, mask, 2);
}
