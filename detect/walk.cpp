// Contour walks on the row masks labeling keeps: the outer contour of a region,
// clockwise from its first pixel until that pixel comes round again (the rule of
// markTraceContour), several contours side by side.
#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

#include "detect/internal.h"
#include "detect/runs.h"

namespace {

// A contour step as a table: from the direction of the step before and the 3 x 3
// neighbourhood (bit 3 r + c dark for the pixel at column x - 1 + c of row y - 1 + r),
// the direction of the next step: turn back by three, then clockwise to the first dark
// neighbour; 8 when there is none. One lookup instead of up to eight tests whose
// outcome the processor cannot foresee.
struct MarkStepTable {
    uint8_t next[8][512];
};

constexpr MarkStepTable markMakeStepTable()
{
    MarkStepTable t{};
    for (int before = 0; before < 8; before++) {
        for (int around = 0; around < 512; around++) {
            int next = 8;
            for (int tries = 0; tries < 8 && next == 8; tries++) {
                const int d = (before + 5 + tries) & 7;
                if ((around >> (3 * (kMarkStepY[d] + 1) + kMarkStepX[d] + 1)) & 1) next = d;
            }
            t.next[before][around] = static_cast<uint8_t>(next);
        }
    }
    return t;
}

constexpr MarkStepTable kMarkSteps = markMakeStepTable();

#if defined(__GNUC__) && defined(__x86_64__)
#define MARK_WALK_AVX2 1
// The points after steps 0 ... 8 m - 1 (m whole groups of eight) into px[1 ...],
// py[1 ...], from (*x, *y), which becomes the last of them; the steps' shoelace terms
// and diagonal steps added to *twice and *diagonals. Eight steps at a time: their
// moves looked up in a byte table, summed along the group, added to the position.
// Returns the steps done.
__attribute__((target("avx2"))) int32_t markWalkPointsAvx2(const uint8_t* steps, int32_t count,
                                                           int32_t* px, int32_t* py, int32_t* x,
                                                           int32_t* y, int32_t* twice,
                                                           int32_t* diagonals)
{
    const __m128i tableX = _mm_setr_epi8(0, 1, 1, 1, 0, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m128i tableY = _mm_setr_epi8(-1, -1, 0, 1, 1, 1, 0, -1, 0, 0, 0, 0, 0, 0, 0, 0);
    __m256i sum = _mm256_setzero_si256();
    int32_t odd = 0;
    int32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        uint64_t group;
        std::memcpy(&group, steps + i, 8);
        const __m128i d = _mm_cvtsi64_si128(static_cast<int64_t>(group));
        const __m128i dx = _mm_shuffle_epi8(tableX, d), dy = _mm_shuffle_epi8(tableY, d);
        // Running sums of the moves along the group (each at most 8 in size: bytes).
        __m128i sx = _mm_add_epi8(dx, _mm_slli_si128(dx, 1));
        __m128i sy = _mm_add_epi8(dy, _mm_slli_si128(dy, 1));
        sx = _mm_add_epi8(sx, _mm_slli_si128(sx, 2));
        sy = _mm_add_epi8(sy, _mm_slli_si128(sy, 2));
        sx = _mm_add_epi8(sx, _mm_slli_si128(sx, 4));
        sy = _mm_add_epi8(sy, _mm_slli_si128(sy, 4));
        const __m256i moveX = _mm256_cvtepi8_epi32(dx), moveY = _mm256_cvtepi8_epi32(dy);
        const __m256i afterX = _mm256_add_epi32(_mm256_set1_epi32(*x), _mm256_cvtepi8_epi32(sx));
        const __m256i afterY = _mm256_add_epi32(_mm256_set1_epi32(*y), _mm256_cvtepi8_epi32(sy));
        const __m256i beforeX = _mm256_sub_epi32(afterX, moveX);
        const __m256i beforeY = _mm256_sub_epi32(afterY, moveY);
        sum = _mm256_add_epi32(sum, _mm256_sub_epi32(_mm256_mullo_epi32(beforeX, moveY),
                                                     _mm256_mullo_epi32(beforeY, moveX)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(px + i + 1), afterX);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(py + i + 1), afterY);
        *x = _mm256_extract_epi32(afterX, 7);
        *y = _mm256_extract_epi32(afterY, 7);
        odd += __builtin_popcountll(group & 0x0101010101010101u);
    }
    alignas(32) int32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sum);
    for (int lane = 0; lane < 8; lane++) *twice += lanes[lane];
    *diagonals += odd;
    return i;
}
#endif

// What the walks of one markWalkContours call share.
struct MarkWalkGround {
    MarkWalks* walks;
    int32_t n;            // jobs
    int32_t next = 0;     // the next job to take
    int32_t active = 0;   // lanes walking
    bool failed = false;  // memory for the steps ran out
    int64_t pooled = 0;   // steps kept so far
    int64_t rowBits, rowBytes;
    const uint8_t* bits;
    int64_t stepBits[9];
};

// One walk under way.
struct MarkWalkLane {
    int64_t at, home;  // bit of (x - 1, y) now and at the first pixel
    int32_t dir;       // direction of the last step
    int32_t count;     // steps so far
    int32_t job;       // -1: the lane is idle
};

// The next job not failed, as a lane (idle when there is none).
MarkWalkLane markWalkTake(MarkWalkGround* g)
{
    const MarkWalkJob* jobs = g->walks->jobs.data;
    while (g->next < g->n && jobs[g->next].fail != 0) g->next++;
    if (g->next >= g->n) return MarkWalkLane{0, 0, 0, 0, -1};
    const MarkWalkJob& j = jobs[g->next];
    const int64_t at = j.y * g->rowBits + j.x - 1;
    g->active++;
    return MarkWalkLane{at, at, 5, 0, g->next++};
}

// One step of a lane, its direction appended to steps; true when the walk has ended:
// back at the first pixel, a lone pixel, or too long.
inline __attribute__((always_inline)) bool markWalkStep(const MarkWalkGround& g, MarkWalkLane* l,
                                                        uint8_t* steps)
{
    const uint8_t* p = g.bits + (l->at >> 3);
    const int shift = static_cast<int>(l->at & 7);
    uint64_t above, row, below;
    std::memcpy(&above, p - g.rowBytes, 8);
    std::memcpy(&row, p, 8);
    std::memcpy(&below, p + g.rowBytes, 8);
    const unsigned around = static_cast<unsigned>(
        ((above >> shift) & 7) | ((row >> shift) & 7) << 3 | ((below >> shift) & 7) << 6);
    const int d = kMarkSteps.next[l->dir][around];
    l->dir = d;
    l->at += g.stepBits[d];
    steps[l->count++] = static_cast<uint8_t>(d);
    return l->at == l->home || l->count >= kMarkTraceFail - 1;
}

// Records how lane `lane`'s walk ended (its steps kept, or the job marked failed) and
// returns the lane with the next job.
MarkWalkLane markWalkEnd(MarkWalkGround* g, MarkWalkLane l, int lane)
{
    MarkWalks* walks = g->walks;
    MarkWalkJob& j = walks->jobs.data[l.job];
    if (l.dir == 8) {
        j.fail = 2;
    } else if (l.at != l.home) {
        j.fail = 3;
    } else if (walks->steps.reserve(g->pooled + l.count)) {
        std::memcpy(walks->steps.data + g->pooled, walks->laneSteps[lane], l.count);
        j.first = g->pooled;
        j.count = l.count;
        g->pooled += l.count;
    } else {
        g->failed = true;
        g->next = g->n;  // no more walks
    }
    g->active--;
    return markWalkTake(g);
}

}  // namespace

int markWalkContours(MarkWalks* walks, const uint64_t* masks, int width, int32_t n)
{
    MarkWalkGround g;
    g.walks = walks;
    g.n = n;
    // The neighbourhood of (x, y) is three bits of three rows from the bit of (x - 1, y)
    // on; the mask rows are little-endian bit strings that end with a clear word, so the
    // eight bytes from the one holding that bit exist and hold the three bits.
    g.rowBits = int64_t{markMaskWords(width)} * 64;
    g.rowBytes = g.rowBits / 8;
    g.bits = reinterpret_cast<const uint8_t*>(masks);
    for (int d = 0; d < 8; d++) g.stepBits[d] = kMarkStepY[d] * g.rowBits + kMarkStepX[d];
    g.stepBits[8] = 0;  // no step: a lone pixel
    // Four lanes in locals of their own, so that each stays in registers.
    static_assert(kMarkWalkLanes == 4, "four lanes below");
    MarkWalkLane l0 = markWalkTake(&g), l1 = markWalkTake(&g), l2 = markWalkTake(&g),
                 l3 = markWalkTake(&g);
    while (g.active > 0) {
        if (l0.job >= 0 && markWalkStep(g, &l0, walks->laneSteps[0])) l0 = markWalkEnd(&g, l0, 0);
        if (l1.job >= 0 && markWalkStep(g, &l1, walks->laneSteps[1])) l1 = markWalkEnd(&g, l1, 1);
        if (l2.job >= 0 && markWalkStep(g, &l2, walks->laneSteps[2])) l2 = markWalkEnd(&g, l2, 2);
        if (l3.job >= 0 && markWalkStep(g, &l3, walks->laneSteps[3])) l3 = markWalkEnd(&g, l3, 3);
    }
    return g.failed ? -1 : 0;
}

int32_t markWalkPoints(MarkWalks* walks, const MarkWalkJob& job, int level, double* enclosed)
{
    const uint8_t* steps = walks->steps.data + job.first;
    int32_t* px = walks->traceX;
    int32_t* py = walks->traceY;
    int32_t x = job.x, y = job.y;
    px[0] = x;
    py[0] = y;
    // Twice the signed area through the pixel centres (shoelace): each step adds at most
    // 2 * kMarkSideMax in size, and there are fewer than kMarkContourMax.
    int32_t twice = 0;
    int32_t diagonals = 0;
    int32_t i = 0;
#ifdef MARK_WALK_AVX2
    if (level >= 2 && markHaveAvx2())
        i = markWalkPointsAvx2(steps, job.count, px, py, &x, &y, &twice, &diagonals);
#else
    (void)level;
#endif
    for (; i < job.count; i++) {
        const int d = steps[i];
        const int32_t dx = kMarkStepX[d], dy = kMarkStepY[d];
        // x (y + dy) - (x + dx) y, the shoelace term of the step
        twice += x * dy - y * dx;
        diagonals += d & 1;
        x += dx;
        y += dy;
        px[i + 1] = x;  // the last one is the first pixel again
        py[i + 1] = y;
    }
    const int32_t count = job.count;  // distinct points; the steps include the closing one
    int32_t dmax = 0;
    int32_t far = markFarthestFrom(px, py, 1, count, job.x, job.y, level, &dmax);
    if (far < 0) far = 1;
    const double perimeter = (count - diagonals) + diagonals * 1.4142135623730951;
    *enclosed = std::abs(static_cast<double>(twice)) / 2.0 + perimeter / 2.0 + 1.0;
    return far;
}

const char* markWalkMessage(const MarkWalkJob& job)
{
    static const char* const messages[4] = {"", "", "??? 2\n", "??? 3\n"};
    return messages[job.fail];
}
