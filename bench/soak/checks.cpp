// Soak checks: what one frame's detection and poses must satisfy, and memory.
#include "bench/soak/soak.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pose/pose.h"

#ifdef SOAK_ASAN
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

const char* const kSoakCheckNames[kCheckKinds] = {
    "markDetect failed though labeling succeeds on the frame",
    "markDetect failure broke its contract",
    "marker count out of range",
    "marker record out of range or not finite",
    "history recall breaks its contract",
    "detector statistics disagree with the list",
    "fresh marker on an all-dark or all-bright frame",
    "confident identity on a noise-only frame",
    "confident identity where no such marker is",
    "poseGetTransform result not finite, not orthonormal or touched after -1",
    "pose does not put the marker where it was rendered",
    "memory not flat"};

namespace {

// Prints one failure in full while fewer than kSoakPrintLimit of its check were printed.
void soakFail(SoakStats* stats, SoakCheck check, long frame, SoakKind kind, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void soakFail(SoakStats* stats, SoakCheck check, long frame, SoakKind kind, const char* format, ...)
{
    if (stats->failures[check]++ >= kSoakPrintLimit) return;
    std::printf("FAIL frame %ld (%s): %s: ", frame, kSoakKindNames[kind], kSoakCheckNames[check]);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
}

bool soakFinite(const double* v, int n)
{
    for (int i = 0; i < n; i++)
        if (!std::isfinite(v[i])) return false;
    return true;
}

bool soakSameMarker(const DetectedMarker& a, const DetectedMarker& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Whether (x, y) lies inside the quadrilateral q (either winding), grown by `margin` pixels.
bool soakInsideQuad(const double q[4][2], double x, double y, double margin)
{
    int sign = 0;
    for (int k = 0; k < 4; k++) {
        const double* a = q[k];
        const double* b = q[(k + 1) % 4];
        const double ex = b[0] - a[0], ey = b[1] - a[1];
        const double len = std::hypot(ex, ey);
        if (len <= 0.0) return false;
        const double cross = (ex * (y - a[1]) - ey * (x - a[0])) / len;  // signed distance
        if (std::fabs(cross) <= margin) continue;
        const int s = cross > 0 ? 1 : -1;
        if (sign != 0 && s != sign) return false;
        sign = s;
    }
    return true;
}

// The picture index of every rendered marker of pool frame `index` (none for plain frames).
void soakPicturesOf(const SoakPool& pool, int index, int picture[kSynthMaxMarkers])
{
    const int t = pool.trajectoryOf[index];
    for (int k = 0; k < kSynthMaxMarkers; k++) picture[k] = -1;
    if (t < 0) return;
    for (int k = 0; k < pool.trajectories[t].markerCount; k++)
        picture[k] = pool.trajectories[t].paths[k].picture;
}

// The rendered marker of picture `slot` whose quadrilateral holds (x, y), or -1.
int soakTruthAt(const SynthTruth& truth, const int markerPicture[kSynthMaxMarkers], int slot,
                double x, double y)
{
    for (int m = 0; m < truth.markerCount; m++) {
        if (!truth.markers[m].facing || markerPicture[m] != slot) continue;
        if (soakInsideQuad(truth.markers[m].observedCorners, x, y, 3.0)) return m;
    }
    return -1;
}

// Field ranges every DetectedMarker must respect. Returns an empty string or the fault.
std::string soakRecordFault(const DetectedMarker& m, int width, int height)
{
    char text[160] = "";
    if (m.patternId < -1 || m.patternId >= patternCount)
        std::snprintf(text, sizeof text, "patternId %d", m.patternId);
    else if (m.direction < -1 || m.direction > 3)
        std::snprintf(text, sizeof text, "direction %d", m.direction);
    else if (!(m.confidence == -1.0 || (m.confidence >= 0.0 && m.confidence <= 1.0 + 1e-9)))
        std::snprintf(text, sizeof text, "confidence %g", m.confidence);
    else if (m.patternId >= 0 && m.confidence < 0.5)
        std::snprintf(text, sizeof text, "identity %d kept at confidence %g", m.patternId,
                      m.confidence);
    else if (m.area < kMarkAreaMin || m.area > kMarkAreaMax)
        std::snprintf(text, sizeof text, "area %d", m.area);
    else if (!(m.centroid[0] >= 0 && m.centroid[0] <= width - 1 && m.centroid[1] >= 0 &&
               m.centroid[1] <= height - 1))
        std::snprintf(text, sizeof text, "centroid (%g, %g)", m.centroid[0], m.centroid[1]);
    else if (!soakFinite(&m.edgeLines[0][0], 12) || !soakFinite(&m.cornerPoints[0][0], 8))
        std::snprintf(text, sizeof text, "edge lines or corners not finite");
    else {
        for (int k = 0; k < 4 && text[0] == '\0'; k++) {
            const double n = std::hypot(m.edgeLines[k][0], m.edgeLines[k][1]);
            if (std::fabs(n - 1.0) > 1e-6)
                std::snprintf(text, sizeof text, "edge line %d normal of length %g", k, n);
        }
    }
    return text;
}

// Rotation angle of R_true^T R in degrees.
double soakRotationErrorDeg(const double T[3][4], const double truth[3][4])
{
    double trace = 0.0;
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) trace += T[r][c] * truth[r][c];
    return std::acos(std::clamp((trace - 1.0) / 2.0, -1.0, 1.0)) * 180.0 / 3.14159265358979323846;
}
// The list of one frame against the detector's history before and after the call
// (markHistory), and counts it; returns the fresh count (the list's markers before the
// recalled ones).
int soakCheckList(const DetectedMarker* list, int count, const SoakPool& pool, int index,
                  long frame, SoakFrameState* state, SoakStats* stats)
{
    const SoakKind kind = pool.kind[index];
    const HistoryEntry* before = state->historyBefore;
    const int beforeCount = state->historyCountBefore;
    auto rememberedBefore = [&](const DetectedMarker& m) {
        for (int h = 0; h < beforeCount; h++)
            if (soakSameMarker(before[h].marker, m)) return true;
        return false;
    };
    auto rememberedNow = [&](const DetectedMarker& m) {
        for (int h = 0; h < markHistoryCount; h++)
            if (soakSameMarker(markHistory[h].marker, m)) return true;
        return false;
    };
    // The detector's statistics split the list: fresh markers, then the recalled ones.
    const MarkStats& st = markDetectorDefault()->stats;
    const int fresh = count - st.recalled;
    if (st.recalled < 0 || fresh < 0 || st.markers != fresh || st.regions < st.sizedRegions ||
        st.sizedRegions < st.squares || st.squares < st.candidates || st.candidates < st.markers ||
        st.recognised < 0 || st.recognised > st.markers) {
        soakFail(stats, kCheckStats, frame, kind,
                 "%d markers; regions %d, sized %d, squares %d, candidates %d, markers %d, "
                 "recognised %d, recalled %d",
                 count, st.regions, st.sizedRegions, st.squares, st.candidates, st.markers,
                 st.recognised, st.recalled);
        return std::clamp(fresh, 0, count);
    }
    stats->regionsOfKind[kind] += st.regions;
    stats->squaresOfKind[kind] += st.squares;
    stats->candidatesOfKind[kind] += st.candidates;
    stats->candidatesFullOfKind[kind] += st.candidatesFull;
    // Recalled markers are copies of markers remembered before the call.
    for (int i = fresh; i < count; i++)
        if (!rememberedBefore(list[i]))
            soakFail(stats, kCheckRecall, frame, kind,
                     "marker %d of %d (identity %d) recalled but not remembered before", i, count,
                     list[i].patternId);
    bool recognised[kPatternSlotMax] = {};
    for (int i = 0; i < count; i++) {
        const DetectedMarker& m = list[i];
        const std::string fault = soakRecordFault(m, pool.width, pool.height);
        if (!fault.empty())
            soakFail(stats, kCheckRecord, frame, kind, "marker %d: %s", i, fault.c_str());
        if (i >= fresh) continue;
        // Carried over: the identity and the very confidence of a remembered marker.
        state->carried[i] = false;
        for (int h = 0; h < beforeCount && m.patternId >= 0; h++)
            state->carried[i] |=
                before[h].marker.patternId == m.patternId &&
                std::memcmp(&before[h].marker.confidence, &m.confidence, sizeof m.confidence) == 0;
        stats->carriedOfKind[kind] += state->carried[i];
        stats->freshOfKind[kind]++;
        if (m.patternId >= 0 && m.patternId < kPatternSlotMax) {
            stats->recognisedOfKind[kind]++;
            recognised[m.patternId] = true;
        }
    }
    stats->recalledOfKind[kind] += count - fresh;
    int known = 0;
    for (int i = 0; i < fresh; i++) known += list[i].patternId >= 0;
    if (known != st.recognised)
        soakFail(stats, kCheckStats, frame, kind, "%d fresh markers with an identity, %d counted",
                 known, st.recognised);

    // Recalled markers are still remembered, once per identity, and not found afresh.
    bool recalled[kPatternSlotMax] = {};
    for (int i = fresh; i < count; i++) {
        const DetectedMarker& m = list[i];
        if (!rememberedNow(m))
            soakFail(stats, kCheckRecall, frame, kind,
                     "identity %d recalled at (%.1f, %.1f) but no longer remembered", m.patternId,
                     m.centroid[0], m.centroid[1]);
        if (m.patternId >= kPatternSlotMax) continue;
        if (recognised[m.patternId] || recalled[m.patternId])
            soakFail(stats, kCheckRecall, frame, kind, "identity %d recalled %s", m.patternId,
                     recognised[m.patternId] ? "though found afresh" : "twice");
        recalled[m.patternId] = true;
    }
    // Every identity found afresh is remembered as its last fresh marker.
    for (int i = fresh - 1; i >= 0; i--) {
        const int p = list[i].patternId;
        if (p < 0 || p >= kPatternSlotMax || !recognised[p]) continue;
        recognised[p] = false;  // its last fresh marker is the one checked
        if (!rememberedNow(list[i]))
            soakFail(stats, kCheckRecall, frame, kind,
                     "identity %d found at (%.1f, %.1f) but not remembered", p, list[i].centroid[0],
                     list[i].centroid[1]);
    }
    // With nothing found, the remembered markers are reported (one at the place of
    // another reported one is left out, so at least one of them).
    if (fresh == 0 && markHistoryCount > 0 && count == 0)
        soakFail(stats, kCheckRecall, frame, kind,
                 "nothing found, %d markers remembered, none recalled", markHistoryCount);
    return fresh;
}

// Fresh markers against what was rendered.
void soakCheckTruth(const DetectedMarker* list, int fresh, const bool carried[],
                    const SoakPool& pool, int index, const int shift[2],
                    const int pictureOfSlot[kPatternSlotMax], long frame, SoakStats* stats)
{
    const SoakKind kind = pool.kind[index];
    if ((kind == kAllDark || kind == kAllBright) && fresh > 0) {
        soakFail(stats, kCheckEmptyFrame, frame, kind,
                 "%d fresh markers, the first of area %d at (%.1f, %.1f)", fresh, list[0].area,
                 list[0].centroid[0], list[0].centroid[1]);
    }
    for (int i = 0; i < fresh; i++) {
        const DetectedMarker& m = list[i];
        if (kind == kNoiseOnly && !carried[i])
            stats->noiseConfidence = std::max(stats->noiseConfidence, m.confidence);
        if (m.patternId < 0) continue;
        if (carried[i]) {
            // The history's carry-over keeps an identity while something is seen at the
            // same place, by design; counted, not judged.
            int picture[kSynthMaxMarkers];
            soakPicturesOf(pool, index, picture);
            if (kind >= kNoiseOnly ||
                soakTruthAt(pool.truth[index], picture, pictureOfSlot[m.patternId],
                            m.centroid[0] - shift[0], m.centroid[1] - shift[1]) < 0)
                stats->carriedElsewhere++;
            continue;
        }
        if (m.confidence < kSoakConfident) continue;
        if (kind == kNoiseOnly) {
            soakFail(stats, kCheckNoiseIdentity, frame, kind,
                     "pattern %d at confidence %.3f, area %d", m.patternId, m.confidence, m.area);
        } else if (kind < kNoiseOnly) {
            int picture[kSynthMaxMarkers];
            soakPicturesOf(pool, index, picture);
            if (soakTruthAt(pool.truth[index], picture, pictureOfSlot[m.patternId],
                            m.centroid[0] - shift[0], m.centroid[1] - shift[1]) < 0) {
                soakFail(stats, kCheckWrongIdentity, frame, kind,
                         "pattern %d (%s) at confidence %.3f, area %d at (%.1f, %.1f)", m.patternId,
                         kSoakNames[pictureOfSlot[m.patternId]], m.confidence, m.area,
                         m.centroid[0], m.centroid[1]);
            }
        }
    }
}

// Every rendered marker wholly in view and uncovered: found with its identity?
void soakCountVisible(const DetectedMarker* list, int fresh, const SoakPool& pool, int index,
                      const int shift[2], const int slotOfPicture[kSoakPictures], SoakStats* stats)
{
    const SynthTruth& truth = pool.truth[index];
    int picture[kSynthMaxMarkers];
    soakPicturesOf(pool, index, picture);
    for (int m = 0; m < truth.markerCount; m++) {
        const SynthMarkerTruth& t = truth.markers[m];
        if (!t.inFrame || t.occluded) continue;
        stats->visibleOfKind[pool.kind[index]]++;
        for (int i = 0; i < fresh; i++) {
            if (list[i].patternId != slotOfPicture[picture[m]]) continue;
            if (!soakInsideQuad(t.observedCorners, list[i].centroid[0] - shift[0],
                                list[i].centroid[1] - shift[1], 3.0))
                continue;
            stats->foundOfKind[pool.kind[index]]++;
            break;
        }
    }
}

// Checks one poseGetTransform call: its value, the transform, and for a confident fresh
// marker wholly in view the distance from the rendered pose.
void soakCheckPose(const DetectedMarker& m, bool fresh, double error, const double before[3][4],
                   const double T[3][4], const SoakPool& pool, int index, const int shift[2],
                   const int pictureOfSlot[kPatternSlotMax], long frame, SoakStats* stats)
{
    const SoakKind kind = pool.kind[index];
    if (error == -1.0) {
        stats->poseFailed++;
        if (std::memcmp(before, T, sizeof(double) * 12) != 0)
            soakFail(stats, kCheckPoseValue, frame, kind, "transform changed after -1 (pattern %d)",
                     m.patternId);
        return;
    }
    stats->posed++;
    if (!(error >= 0.0 && std::isfinite(error)) || !soakFinite(&T[0][0], 12)) {
        soakFail(stats, kCheckPoseValue, frame, kind, "error %g, t = (%g, %g, %g)", error, T[0][3],
                 T[1][3], T[2][3]);
        return;
    }
    double worst = 0.0;
    for (int a = 0; a < 3; a++)
        for (int b = 0; b < 3; b++) {
            double dot = 0.0;
            for (int r = 0; r < 3; r++) dot += T[r][a] * T[r][b];
            worst = std::max(worst, std::fabs(dot - (a == b ? 1.0 : 0.0)));
        }
    if (worst > 1e-6)
        soakFail(stats, kCheckPoseValue, frame, kind, "rotation off orthonormal by %g", worst);

    if (!fresh || kind >= kNoiseOnly || m.confidence < kSoakConfident) return;
    int picture[kSynthMaxMarkers];
    soakPicturesOf(pool, index, picture);
    const SynthTruth& truth = pool.truth[index];
    const int t = soakTruthAt(truth, picture, pictureOfSlot[m.patternId], m.centroid[0] - shift[0],
                              m.centroid[1] - shift[1]);
    if (t < 0 || !truth.markers[t].inFrame || truth.markers[t].occluded) return;
    const double(*P)[4] = truth.markers[t].pose;
    const double rotation = soakRotationErrorDeg(T, P);
    const double distance = std::sqrt(P[0][3] * P[0][3] + P[1][3] * P[1][3] + P[2][3] * P[2][3]);
    const double translation = std::sqrt((T[0][3] - P[0][3]) * (T[0][3] - P[0][3]) +
                                         (T[1][3] - P[1][3]) * (T[1][3] - P[1][3]) +
                                         (T[2][3] - P[2][3]) * (T[2][3] - P[2][3])) /
                               distance;
    double corners[4][2];
    for (int k = 0; k < 4; k++) {
        corners[k][0] = truth.markers[t].idealCorners[k][0] + shift[0];
        corners[k][1] = truth.markers[t].idealCorners[k][1] + shift[1];
    }
    const double registration =
        support::reprojectionPx(camCurrentParam.projection, T, corners, kSoakSide);
    double longest = 0.0;
    for (int k = 0; k < 4; k++)
        longest = std::max(longest, std::hypot(corners[(k + 1) % 4][0] - corners[k][0],
                                               corners[(k + 1) % 4][1] - corners[k][1]));
    const double limit = kSoakRegistrationBasePx + kSoakRegistrationPerSide * longest;
    stats->truthPosed++;
    stats->rotationOff += rotation > kSoakRotationReportDeg;
    stats->worstRotationDeg = std::max(stats->worstRotationDeg, rotation);
    stats->worstTranslation = std::max(stats->worstTranslation, translation);
    stats->worstRegistrationPx = std::max(stats->worstRegistrationPx, registration);
    for (int b = 0; b < 4; b++) stats->registrationOver[b] += registration > (1 << b);
    if (!(registration <= limit)) {
        soakFail(stats, kCheckPoseTruth, frame, kind,
                 "pattern %d at confidence %.3f: corners reprojected %.1f px (limit %.1f) from the "
                 "rendered ones (rotation off by "
                 "%.1f degrees, translation by %.1f%%, pool frame %d)",
                 m.patternId, m.confidence, registration, limit, rotation, 100.0 * translation,
                 index);
    }
}
}  // namespace

void soakBeforeFrame(SoakFrameState* state)
{
    state->historyCountBefore = markHistoryCount;
    std::copy(markHistory, markHistory + markHistoryCount, state->historyBefore);
}

void soakCheckFrame(const SoakOutcome& out, const DetectedMarker* untouched, const uint8_t* frame,
                    int threshold, const SoakPool& pool, int index, const int shift[2],
                    const SoakSetup& setup, long n, SoakFrameState* state, SoakStats* stats)
{
    const SoakKind kind = pool.kind[index];
    if (out.result < 0) {
        if (out.count != 0 || out.list != untouched)
            soakFail(stats, kCheckFailureContract, n, kind, "count %d, list %s", out.count,
                     out.list == untouched ? "untouched" : "changed");
        if (markHistoryCount != state->historyCountBefore ||
            std::memcmp(markHistory, state->historyBefore,
                        sizeof(HistoryEntry) * static_cast<size_t>(markHistoryCount)) != 0)
            soakFail(stats, kCheckFailureContract, n, kind, "history changed");
        const MarkStats& st = markDetectorDefault()->stats;
        if (st.regions != 0 || st.squares != 0 || st.candidates != 0 || st.markers != 0 ||
            st.recognised != 0 || st.recalled != 0)
            soakFail(stats, kCheckStats, n, kind,
                     "not 0 after a failed call: regions %d, markers %d", st.regions, st.markers);
        // The one failure a valid frame may meet is labeling's (out of provisional
        // labels): the labeling stage alone must fail on it too.
        int32_t regions = 0, *area = nullptr, *box = nullptr, *table = nullptr;
        double* centroid = nullptr;
        if (markLabel(frame, threshold, &regions, &area, &centroid, &box, &table) == nullptr)
            stats->labelOverflowOfKind[kind]++;
        else
            soakFail(stats, kCheckDetectFailed, n, kind, "threshold %d, pool frame %d, %d regions",
                     threshold, index, regions);
        return;
    }
    if (out.count < 0 || out.count > kMarkOutputMax) {
        soakFail(stats, kCheckCount, n, kind, "%d markers", out.count);
        return;
    }
    const int fresh = soakCheckList(out.list, out.count, pool, index, n, state, stats);
    soakCheckTruth(out.list, fresh, state->carried, pool, index, shift, setup.pictureOfSlot, n,
                   stats);
    if (kind < kNoiseOnly)
        soakCountVisible(out.list, fresh, pool, index, shift, setup.slotOfPicture, stats);
    for (int k = 0; k < kSoakPictures; k++) {
        const int i = out.posed.detection[k];
        if (i < 0) continue;
        soakCheckPose(out.list[i], i < fresh && !state->carried[i], out.posed.error[k],
                      out.posed.before[k], state->transform[k], pool, index, shift,
                      setup.pictureOfSlot, n, stats);
    }
}

// ---- Memory ----------------------------------------------------------------------------

long soakRssKiB()
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            kib = std::strtol(line + 6, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return kib;
}

long soakMemoryKiB()
{
#ifdef SOAK_ASAN
    return static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024);
#else
    return soakRssKiB();
#endif
}
