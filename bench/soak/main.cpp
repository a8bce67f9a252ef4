// Soak: the frame loop. Each frame is a pool frame with a fresh change, detected and
// posed as the viewer does, then checked; memory is read at fixed frames; the report
// comes at the end. The parts are described in soak.h.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/soak/soak.h"
#include "pose/pose.h"

namespace {

// The viewer's steps 5 to 7 on one frame: detection, then every pattern's most
// confident detection posed. Returns markDetect's result; the timed part.
int soakDetectAndPose(const uint8_t* frame, int threshold, const int slotOfPicture[kSoakPictures],
                      SoakFrameState* state, DetectedMarker** list, int32_t* count,
                      SoakPosed* posed)
{
    const int result = markDetect(frame, threshold, list, count);
    for (int k = 0; k < kSoakPictures; k++) posed->detection[k] = -1;
    if (result < 0) return result;
    for (int i = 0; i < *count; i++) {
        for (int k = 0; k < kSoakPictures; k++) {
            if ((*list)[i].patternId != slotOfPicture[k]) continue;
            const int a = posed->detection[k];
            if (a == -1 || (*list)[a].confidence < (*list)[i].confidence) posed->detection[k] = i;
        }
    }
    const double center[2] = {0.0, 0.0};
    for (int k = 0; k < kSoakPictures; k++) {
        if (posed->detection[k] < 0) continue;
        std::memcpy(posed->before[k], state->transform[k], sizeof posed->before[k]);
        posed->error[k] =
            poseGetTransform(&(*list)[posed->detection[k]], center, kSoakSide, state->transform[k]);
    }
    return result;
}

void soakReport(const SoakOptions& options, const SoakPool& pool, const SoakStats& stats,
                long memoryAt, long memoryEnd, long rssAt, long rssEnd, long memoryFrame,
                double elapsed)
{
    const double frames = static_cast<double>(options.frames);
    std::printf("\nsoak: %ld frames of %dx%d, seed %" PRIu64 "\n", options.frames, options.width,
                options.height, options.seed);
    std::printf("pool: %d rendered frames (%zu trajectories of %d steps, %d noise-only, dark and "
                "bright) in %.1f s "
                "(%.1f ms a frame)\n",
                pool.frames, pool.trajectories.size(), pool.steps,
                kSoakNoiseFrames + kSoakDarkFrames + kSoakBrightFrames, pool.renderSeconds,
                1000.0 * pool.renderSeconds / pool.frames);
    std::printf("per-frame change of a pool frame: %.2f ms a frame (not in the speed below)\n",
                1000.0 * stats.changeSeconds / frames);
    std::printf("detect+pose: %.1f s, %.1f frames per second (%.2f ms a frame, slowest %.1f ms)\n",
                stats.detectSeconds, frames / stats.detectSeconds,
                1000.0 * stats.detectSeconds / frames, 1000.0 * stats.slowestFrame);
    std::printf("\n%-17s %7s %8s %8s %8s %8s %9s %8s %7s\n", "kind", "frames", "visible", "found",
                "fresh", "known", "carried", "recalled", "no lab.");
    long visible = 0, found = 0;
    for (int k = 0; k < kKindCount; k++) {
        std::printf("%-17s %7ld %8ld %8ld %8ld %8ld %9ld %8ld %7ld\n", kSoakKindNames[k],
                    stats.framesOfKind[k], stats.visibleOfKind[k], stats.foundOfKind[k],
                    stats.freshOfKind[k], stats.recognisedOfKind[k], stats.carriedOfKind[k],
                    stats.recalledOfKind[k], stats.labelOverflowOfKind[k]);
        visible += stats.visibleOfKind[k];
        found += stats.foundOfKind[k];
    }
    std::printf(
        "(visible: rendered markers wholly in view and uncovered, found: of those, found afresh "
        "with\n"
        " their identity; fresh: markers found in the frame itself, known: of those with an "
        "identity,\n"
        " carried: with the identity taken from the history; recalled: reported from the history\n"
        " alone; no lab.: markDetect ran out of labels)\n");
    std::printf("\n%-17s %12s %12s %12s %11s\n", "kind", "regions", "squares", "candidates",
                "full");
    for (int k = 0; k < kKindCount; k++) {
        const double n =
            stats.framesOfKind[k] > 0 ? static_cast<double>(stats.framesOfKind[k]) : 1.0;
        std::printf("%-17s %12.1f %12.2f %12.2f %11ld\n", kSoakKindNames[k],
                    stats.regionsOfKind[k] / n, stats.squaresOfKind[k] / n,
                    stats.candidatesOfKind[k] / n, stats.candidatesFullOfKind[k]);
    }
    std::printf("(the detector's statistics per frame: dark regions labelled, squares found,\n"
                " candidates kept after overlap removal; full: frames with more squares than\n"
                " the candidate list holds)\n");
    std::printf(
        "carried identities where no marker of that picture is: %ld (the history's design)\n",
        stats.carriedElsewhere);
    std::printf("highest confidence of a marker found afresh on a noise-only frame: %.3f (identity "
                "kept from 0.50, "
                "failure from %.2f)\n\n",
                stats.noiseConfidence, kSoakConfident);
    std::printf("posed: %ld, pose failed (-1): %ld\n", stats.posed, stats.poseFailed);
    std::printf("wholly visible rendered markers found with their identity: %ld of %ld (%.1f%%)\n",
                found, visible, visible ? 100.0 * found / visible : 0.0);
    std::printf("confident poses checked against the rendered pose: %ld; registration worst %.2f "
                "px (above 1, 2, 4, "
                "8 px: %ld, %ld, %ld, %ld)\n",
                stats.truthPosed, stats.worstRegistrationPx, stats.registrationOver[0],
                stats.registrationOver[1], stats.registrationOver[2], stats.registrationOver[3]);
    std::printf("  worst rotation %.2f degrees (%ld above %.0f degrees: tilt ambiguity of small "
                "markers), worst "
                "translation %.2f%%\n",
                stats.worstRotationDeg, stats.rotationOff, kSoakRotationReportDeg,
                100.0 * stats.worstTranslation);
    std::printf("resident size: %ld KiB after %ld frames, %ld KiB at the end%s\n", rssAt,
                memoryFrame, rssEnd,
                memoryFrame < kSoakRssFrame ? " (a run this short cannot show growth)" : "");
#ifdef SOAK_ASAN
    std::printf("live heap (AddressSanitizer build, checked instead of the resident size): %ld KiB "
                "after %ld frames, "
                "%ld KiB at the end\n",
                memoryAt, memoryFrame, memoryEnd);
#else
    (void)memoryAt;
    (void)memoryEnd;
#endif
    std::printf("elapsed: %.1f s\n", elapsed);
}

}  // namespace

int main(int argc, char** argv)
{
    const auto started = std::chrono::steady_clock::now();
    SoakOptions options;
    const int parsed = soakParse(argc, argv, &options);
    if (parsed != 0) return parsed > 0 ? 0 : 2;
    // Set-up: the camera and patterns, the pool, the per-frame change.
    static SoakSetup setup;
    if (soakSetUp(options, &setup) < 0) return 1;
    const CameraParam& cam = setup.cam;

    support::Random rng{options.seed};
    static SoakPool pool;
    if (soakBuildPool(cam, setup.pictures, options.frames, rng, &pool) < 0) return 1;
    static SoakChange change;
    change.init(rng);
    std::vector<uint8_t> frame(static_cast<size_t>(cam.width) * cam.height * 4);
    static SoakFrameState state;
    static SoakStats stats;
    SoakSchedule schedule;
    const long memoryFrame = std::min<long>(kSoakRssFrame, options.frames);
    long memoryAt = -1, rssAt = -1;
    // Resident size at frames 1,000, 10,000, 100,000 ... for the report: where it settles.
    long decadeRss[10] = {};
    int decades = 0;
    long nextDecade = kSoakRssFrame;
    static DetectedMarker sentinel;  // where the list points until markDetect sets it

    for (long n = 1; n <= options.frames; n++) {
        // 1. The next pool frame with a fresh change.
        const int index = schedule.next(pool, rng);
        const auto t0 = std::chrono::steady_clock::now();
        const int threshold =
            change.apply(pool.frame(index), cam.width, cam.height, rng, frame.data());
        soakBeforeFrame(&state);
        // 2. Detection and poses as the viewer runs them: the timed part.
        const auto t1 = std::chrono::steady_clock::now();
        DetectedMarker* list = &sentinel;
        SoakOutcome out;
        out.count = -1;
        out.result = soakDetectAndPose(frame.data(), threshold, setup.slotOfPicture, &state, &list,
                                       &out.count, &out.posed);
        out.list = list;
        const auto t2 = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(t2 - t1).count();
        stats.changeSeconds += std::chrono::duration<double>(t1 - t0).count();
        stats.detectSeconds += seconds;
        stats.slowestFrame = std::max(stats.slowestFrame, seconds);
        // 3. The checks.
        stats.framesOfKind[pool.kind[index]]++;
        soakCheckFrame(out, &sentinel, frame.data(), threshold, pool, index, change.shift, setup, n,
                       &state, &stats);
        // 4. Memory at the frames the report and the memory check use.
        if (n == memoryFrame) {
            memoryAt = soakMemoryKiB();
            rssAt = soakRssKiB();
        }
        if (n == nextDecade && decades < 10) {
            decadeRss[decades++] = soakRssKiB();
            nextDecade *= 10;
        }
    }

    // The memory check, the report and the verdict.
    const long memoryEnd = soakMemoryKiB(), rssEnd = soakRssKiB();
    if (memoryAt < 0 || memoryEnd < 0 || std::labs(memoryEnd - memoryAt) > kSoakRssSlackKiB) {
        stats.failures[kCheckMemory]++;
        std::printf("FAIL: %s: %ld KiB after %ld frames, %ld KiB at the end (limit %ld KiB; -1: "
                    "not readable)\n",
                    kSoakCheckNames[kCheckMemory], memoryAt, memoryFrame, memoryEnd,
                    kSoakRssSlackKiB);
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    soakReport(options, pool, stats, memoryAt, memoryEnd, rssAt, rssEnd, memoryFrame, elapsed);
    if (decades > 1) {
        std::printf("resident size by frame:");
        long at = kSoakRssFrame;
        for (int d = 0; d < decades; d++, at *= 10) std::printf(" %ld: %ld KiB;", at, decadeRss[d]);
        std::printf(" end: %ld KiB\n", rssEnd);
    }

    long failed = 0;
    for (int c = 0; c < kCheckKinds; c++) {
        if (stats.failures[c] == 0) continue;
        std::printf("FAILED: %s: %ld times\n", kSoakCheckNames[c], stats.failures[c]);
        failed += stats.failures[c];
    }
    if (failed > 0) return 1;
    std::printf("all checks held\n");
    return 0;
}
