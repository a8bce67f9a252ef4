#!/usr/bin/env bash
# Breaks the code on purpose, one line at a time, and checks that the tests notice.
#
# Run by hand (not part of make test): scripts/mutants.sh [NAME-FILTER]
# Each `mutant` line at the end of this file names a source file, a sed expression
# that breaks one behaviour, and the test binaries (targets in tests/) that must then
# fail (each runs on a private Xvfb server, as make test runs the tests that need a
# window). The script brings a scratch copy of the tracked tree up to date once (the
# files whose content changed since the last run), then per mutant applies the expression, builds the listed binaries, runs them and restores
# the file. A mutant is "caught" when a binary fails (or times out), "MISSED" when all
# pass, "not-applied" when the expression changed nothing (the code moved: fix the
# line), "no-build" when the broken code does not compile (see $scratch/build.log). Exit status 0 when every
# applied mutant is caught.
#
# To add one: append a line `mutant FILE 'SED-EXPRESSION' BINARY...` at the end of this
# file; quote the expression for the shell. NAME-FILTER keeps the mutants whose file or expression
# contains it.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${MUTANTS_DIR:-/tmp/tarlim-mutants-$(id -u)}
filter=${1:-}
timeout_s=${MUTANTS_TIMEOUT:-300}

files=() exprs=() bins=()
mutant() {
    local file=$1 expr=$2
    shift 2
    files+=("$file") exprs+=("$expr") bins+=("$*")
}

run_all() {
    echo "scratch tree: $scratch"
    mkdir -p "$scratch/src"
    rm -rf "$scratch/fresh" && mkdir -p "$scratch/fresh"
    (cd "$root" && git ls-files -z | tar --null -T - -cf -) | tar -xf - -C "$scratch/fresh"
    # Only files whose content differs are copied (and so made newer than every object):
    # extracting all of them would give a file restored after an earlier run's last
    # mutant its old time again, and the build would keep the object of the mutant.
    local f
    while IFS= read -r -d '' f; do
        if ! cmp -s "$scratch/fresh/$f" "$scratch/src/$f"; then
            mkdir -p "$(dirname "$scratch/src/$f")"
            cp "$scratch/fresh/$f" "$scratch/src/$f"
        fi
    done < <(cd "$scratch/fresh" && find . -type f -print0)
    rm -rf "$scratch/fresh"
    cmake -S "$scratch/src" -B "$scratch/build" -DCMAKE_BUILD_TYPE=Release >/dev/null || exit 2
    local caught=0 total=0 problems=0 i
    for i in "${!files[@]}"; do
        local file=${files[$i]} expr=${exprs[$i]} binaries=${bins[$i]}
        if [ -n "$filter" ] && [[ "$file $expr" != *"$filter"* ]]; then continue; fi
        local src="$scratch/src/$file" verdict
        cp "$root/$file" "$src"
        sed -i -e "$expr" "$src"
        if cmp -s "$root/$file" "$src"; then
            verdict="not-applied"
            problems=$((problems + 1))
        else
            local targets=() b
            for b in $binaries; do targets+=(--target "$b"); done
            if ! cmake --build "$scratch/build" "${targets[@]}" -j 2 >"$scratch/build.log" 2>&1; then
                verdict="no-build"
                problems=$((problems + 1))
            else
                total=$((total + 1))
                verdict="MISSED"
                for b in $binaries; do
                    if ! (cd "$scratch/build/tests" &&
                          timeout "$timeout_s" "$scratch/src/tests/xvfb-run.sh" "./$b" \
                              --gtest_brief=1 >"$scratch/$b.log" 2>&1); then
                        verdict="caught by $b"
                        caught=$((caught + 1))
                        break
                    fi
                done
            fi
        fi
        cp "$root/$file" "$src"
        printf '%-14s %s: %s\n' "${verdict%% *}" "$file" "$expr"
        [ "$verdict" != "${verdict%% *}" ] && printf '               (%s)\n' "$verdict"
    done
    echo "caught $caught of $total applied mutants; $problems not applied or not building"
    [ "$caught" -eq "$total" ] && [ "$problems" -eq 0 ]
}

# The list below only registers mutants; they run when the script ends.
trap 'run_all; exit $?' EXIT

# ---- The list: one break per line (append new ones at the end) --------------------------------

# Edge fitting leaves out 5 % of each edge (plus half a point) at both ends.
mutant detect/edge.cpp 's/n \* 0\.05 + 0\.5/n * 0.0 + 0.5/' test_detect
mutant detect/edge.cpp 's/n \* 0\.05 + 0\.5/n * 0.04 + 0.5/' test_detect
# Overlap removal: a centroid within a quarter of the larger area (squared pixels).
mutant detect/internal.h 's/if (d < list\[i\]\.area \/ 4)/if (d < list[i].area \/ 3)/' test_detect
mutant detect/internal.h 's/if (d < list\[i\]\.area \/ 4)/if (d < list[i].area \/ 5)/' test_detect
# Pose: up to five attempts, each from the rotation the last one left.
mutant pose/transform.cpp 's/kPoseAttempts = 5/kPoseAttempts = 1/' test_pose
# Carry-over: the direction comes from the corner alignment, not the fresh match.
mutant detect/detect.cpp 's/m\.direction = markAlignDirection(old, m);/(void)markAlignDirection(old, m);/' test_detect
# The squared sine is one factor of its rotation term.
mutant pose/refine.cpp 's/cb \* (sa \* sa) \* sc/cb * sa * sa * sc/' test_pose
# A frame of another size empties the history (markDetect's path, then a set camera).
mutant detect/detect.cpp 's/^        d->historyCount = 0;$/        (void)d;/' test_detector
mutant detect/detect.cpp 's/detector->historyHeight) detector->historyCount = 0;/detector->historyHeight) (void)0;/' test_detector
# Each detector matches against its own pattern set.
mutant detect/edge.cpp 's/patternSetMatch(detector->patterns,/patternSetMatch(patternDefaultSet(),/' test_detector
# A detector's candidate capacity comes from its options.
mutant detect/square.cpp 's/const int32_t capacity = detector->options\.candidateMax;/const int32_t capacity = kMarkCandidateMax;/' test_detector
# Diagnostics go to the detector's callback; none set means none printed.
mutant detect/detect.cpp 's/if (detector->diagnostic != nullptr) detector->diagnostic(detector->diagnosticUser, message);/if (detector != nullptr) std::fputs(message, stdout);/' test_detector
# A length mismatch is a NaN, not a number that looks right.
mutant numeric/matrix.cpp 's/return std::numeric_limits<double>::quiet_NaN();/return 0.0;/' test_numeric
# tarlim-pattern grab: orientation h starts at the top-left corner plus h; the top edge
# is the one highest in the image.
mutant tools/tarlim-pattern.cpp 's/corner\[(top + h + j) % 4\]/corner[(top + j) % 4]/' test_pattern_grab
mutant tools/tarlim-pattern.cpp 's/if (mid < topY) {/if (mid > topY || topY > 1e299) {/' test_pattern_grab
# tarlim-pattern compare exits 3 when two patterns may be confused.
mutant tools/tarlim-pattern.cpp 's/kToolAcceptCorrelation ? 0 : 3;/kToolAcceptCorrelation ? 0 : 0;/' test_marker_tools
# Printable PNGs store their resolution in pixels per metre.
mutant tools/toolkit.cpp 's|dpi / 0\.0254|dpi / 0.025|' test_marker_family
# Family members keep the pair limit; sheets print the side asked for.
mutant tools/family.cpp 's/> pairMax)/> pairMax + 0.2)/' test_marker_family
mutant tools/tarlim-marker.cpp 's/const int side = pixels(sideMm);/const int side = pixels(sideMm * 1.05);/' test_marker_family

# Configuration messages count the lines an editor shows: a line's end counts once.
mutant app/config.cpp 's/if (ends) source->completeLines++;/if (ends) source->completeLines += 2;/' test_config
# The blocks of markers beyond the eighth are skipped before the option lines.
mutant app/config.cpp 's/skip > 0 && cfgNextPiece/skip > 5 \&\& cfgNextPiece/' test_config

# The busy desk: its seed changes the layout, and it is drawn only when asked for.
mutant synth/busy.cpp 's/SynthRandom random{scene->busySeed \*/SynthRandom random{1u */' test_synth_busy
mutant synth/backdrop.cpp 's/if (scene->busy) synthDrawBusy(scene, backdrop);/(void)0;/' test_synth_busy
# Printed text is a good part of the desk's dark pixels.
mutant synth/busy.cpp 's/if (row >= 7\.0) return false;/if (row >= 1.0) return false;/' test_synth_busy

# The classic call forms forward every argument to the header's own forms.
mutant pose/pose.h 's/return poseSolve(rotation, imagePoints, markerPoints, count, transform, P)/return poseSolve(rotation, imagePoints, markerPoints, count - 1, transform, P)/' test_conformance
mutant detect/detect.h 's/markGetInfo(frame, candidates, \*count, &markerList, count)/markGetInfo(frame, candidates, *count - 1, \&markerList, count)/' test_conformance
mutant model/model.h 's/modelTexturePath(modelPath, textureFile, path.data())/modelTexturePath(textureFile, modelPath, path.data())/' test_conformance
mutant app/app.h 's/^    modelLoadAllSequences(appConfig.sequences, appConfig.markerCount);/    modelLoadAllSequences(appConfig.sequences, kAppMaxMarkers);/' test_conformance
# docs/conformance.md lists every classic form.
mutant docs/conformance.md '/^| .poseSolve. /d' test_conformance
# Run labeling: the merge at the end of a light stretch above, the short-run copy, the
# run bounds, the AVX2 masks' pixel order, the local threshold's clipped windows, and
# the paired undistortion.
mutant detect/runs.h 's/            if (up\[g\] > 0)$/            if (up[g] > 0 \&\& x < 0)/' test_detect_identity
mutant detect/runs.h 's/            Lanes::copy(here + x0, up + x0, n);/            Lanes::copy(here + x0, up + x0, n - 1);/' test_detect_identity
mutant detect/runs.h 's/        carry = m >> 63;/        carry = m >> 62;/' test_detect_identity
# Labeling by runs: the diagonal neighbours at both ends, the merge of the classes a
# run meets, the later runs above a short run, the runs above a long one, the long
# runs' fill.
mutant detect/runs.h 's/            uint64_t above = markMaskBits(upMask, x0 - 1, n + 2);/            uint64_t above = markMaskBits(upMask, x0 - 1, n + 1);/' test_detect_identity
mutant detect/runs.h 's/            uint64_t above = markMaskBits(upMask, x0 - 1, n + 2);/            uint64_t above = markMaskBits(upMask, x0, n + 1);/' test_detect_identity
mutant detect/runs.h 's/\*label = \*label == 0 ? root : markRunMerge(t.table, \*label, root);/*label = *label == 0 ? root : *label;/' test_detect_identity
mutant detect/runs.h 's/uint64_t starts = above \& ~(above << 1) \& (~uint64_t{1} << first);/uint64_t starts = 0;/' test_detect_identity
mutant detect/runs.h 's/p = markNextSet(upMask, markNextClear(upMask, p, end), end))/p = end)/' test_detect_identity
mutant detect/runs.h 's/for (int i = 0; i < n - lanes; i += lanes)/for (int i = 0; i < n - 2 * lanes; i += lanes)/' test_detect_identity
mutant detect/mask.cpp 's/_mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)/_mm256_setr_epi32(0, 1, 4, 5, 2, 6, 3, 7)/' test_detect_identity
mutant detect/local.cpp 's/_mm256_max_epi32(_mm256_sub_epi32(xs, radius), _mm256_setzero_si256())/_mm256_sub_epi32(xs, radius)/' test_detect_robust
mutant camera/distortion.cpp 's/const __m128d ix = _mm_add_pd(x0, _mm_div_pd(dx, s));/const __m128d ix = _mm_add_pd(x0, _mm_mul_pd(dx, s));/' test_camera
# Soft matching: the rescue of a small marker's identity, and the smoothing itself.
mutant detect/edge.cpp 's/if (id == m.patternId \&\& direction == m.direction) m.confidence = confidence;/(void)confidence;/' test_detect_robust
mutant pattern/match.cpp 's/    patternSoften(raw, v);/    for (int k = 0; k < kPatternValues; k++) v[k] = 16 * raw[k];/' test_pattern
# Pixel matching and the second look (options pixelMatching, secondLook).
mutant detect/pixel.cpp 's/darkness(X + jxx \* dx + jxy \* dy, Y + jyx \* dx + jyy \* dy)/darkness(X + 0 * jxx * dx + jxy * dy, Y + jyx * dx + 0 * jyy * dy)/' test_detect_second
mutant detect/edge.cpp 's/kMarkPixelAccept = 0\.75/kMarkPixelAccept = 0.35/' test_detect_second
mutant detect/second.cpp 's/table\.data\[label - 1\] == r + 1) continue;/table.data[label - 1] != r + 1) continue;/' test_detect_second
mutant detect/second.cpp 's/            at >= 0 ? 1 : std::max(2,/            at >= 0 ? 6 : std::max(2,/' test_detect_second
mutant detect/second.cpp 's/out\[x\] = static_cast<uint16_t>(left + middle + right);/out[x] = static_cast<uint16_t>(3 * middle + 0 * left);/; s/const int s = a\[x\] + a\[x + bw\] + a\[x + 2 \* bw\];/const int s = 3 * a[x + bw];/' test_detect_second
# The key list: F1 shows and hides it.
mutant app/startup.cpp 's/            appShowHelp = !appShowHelp;/            appShowHelp = false;/' test_viewer_output
# The second look's windows round holes: found, and split below the shadowed paper.
mutant detect/second.cpp 's/            if (first->regionArea.data\[q - 1\] < 4 \* first->regionArea.data\[r\]) return false;/            return false;/' test_detect_second
mutant detect/second.cpp 's/    if (n < 8 || !markLargestQuad(x, y, n, quad)) return false;/    if (n < 8 || !markLargestQuad(x, y, n, quad) || n > 0) return false;/' test_detect_second
mutant detect/second.cpp 's/constexpr int kMarkHoleLevels\[\] = {20, 35, 50, 70, 100};/constexpr int kMarkHoleLevels[] = {100};/' test_detect_second
# Shade matching: only the same pattern the same way round counts, and a shadow's edge is
# modelled as an edge, not as a plane.
mutant detect/shade.cpp 's/    return id == patternId \&\& dir == direction ? confidence : 0\.0;/    return (id == patternId || true) \&\& (dir == direction || true) ? confidence : 0.0;/' test_shade
mutant detect/shade.cpp 's/        light->edge = bestError < kShadeEdgeGain \* planeError/        light->edge = false \&\& bestError < kShadeEdgeGain * planeError/' test_shade
# The second look's split of regions too large for a window: done, and at the region's own
# level (all of its pixels dark leaves the rings joined to the shadow's band).
mutant detect/second.cpp 's/    for (int32_t k = 0; k < std::min(splits, kMarkSplitMax); k++) {/    for (int32_t k = 0; k < 0; k++) {/' test_detect_second
mutant detect/second.cpp 's/ \&\& p\[0\] + p\[1\] + p\[2\] <= limit;/ \&\& p[0] + p[1] + p[2] <= limit + 765;/' test_detect_second
# The frame-sized path's single-pass trace: the area its outline encloses (the square test's
# tolerance for thin borders) and the contour's start at the point farthest from the first.
mutant detect/walk.cpp 's/ + perimeter \/ 2\.0 + 1\.0;/ + perimeter * 0.0 + 1.0;/' test_detect_robust test_detect_capacity test_detect_second test_shade
mutant detect/wide.cpp 's/    \*x = walks.traceX + far;/    *x = walks.traceX + far + 1;/' test_detect_robust test_detect_capacity
# The shade search: tiles in shade, each square tried once per frame, and the fixed levels
# after Otsu's.
mutant detect/second.cpp 's/constexpr int kMarkShadeMeanMax = 50;/constexpr int kMarkShadeMeanMax = 0;/' test_shade_search test_detect_second
mutant detect/second.cpp 's/<= kMarkShadeSame \* kMarkShadeSame \&\&/<= 1e12 * kMarkShadeSame \&\&/' test_shade_search test_detect_second
mutant detect/second.cpp 's/                done = below\[level\];/                done = below[level];\n                continue;/' test_shade_search test_detect_second
# Pixel checks with a shadow's edge evened out: each pixel from its local ink to its
# local paper level; the second look's and shade search's confirmations and pixel
# matching take them when the plain check falls short.
mutant detect/shade.cpp 's|    return 255\.0 \* (p - grey) / std::max(p - k, kShadeContrastMin);|    return 765.0 - 3.0 * grey + 0.0 * (p - k);|' test_shade
mutant detect/second.cpp 's/^    return d->options\.shadeMatching \&\&$/    return false \&\& d->options.shadeMatching \&\&/' test_detect_second
mutant detect/edge.cpp 's/kMarkShadePixelFloor = 0\.3;/kMarkShadePixelFloor = 2.0;/' test_detect_second
# Pixel matching from 11 px; a check from 0.7 is taken when it stands out by 0.25 from
# every other pattern and turn.
mutant detect/edge.cpp 's/kMarkPixelSideMin = 11\.0;/kMarkPixelSideMin = 12.0;/' test_detect_second
mutant detect/edge.cpp 's/kMarkPixelStandOut = 0\.7;/kMarkPixelStandOut = 0.75;/' test_detect_second
mutant detect/edge.cpp 's/kMarkPixelMargin = 0\.25;/kMarkPixelMargin = 0.0;/' test_detect_second
# The local ceiling on both ways of taking the mean; the cells' partial cells, their
# quotient set right, their column of cells summed a window ahead, their wide steps.
mutant detect/local.cpp 's/s.localCeiling > 0 ? 3 \* s.localCeiling + 1 : 766}/s.localCeiling > 0 ? 3 * s.localCeiling : 766}/' test_detect_robust
mutant detect/local.cpp 's/return grey\[x\] < rule.limit \&\& /return /' test_detect_robust
mutant detect/local.cpp 's/_mm256_and_si256(_mm256_cmpgt_epi32(limit, v),/_mm256_and_si256(_mm256_cmpgt_epi32(limit, _mm256_srli_epi32(v, 1)),/' test_detect_robust
mutant detect/local.cpp 's/? 3 \* int64_t{s.localCeiling} + 1 : 766;/? 3 * int64_t{s.localCeiling} : 766;/' test_detect_robust
mutant detect/local.cpp 's/return std::min((last + 1) \* kMarkCell, pixels)/return ((last + 1) * kMarkCell + 0 * pixels)/' test_detect_robust
mutant detect/local.cpp 's/if (c \* b < a) c++;/if (c * b <= a) c++;/' test_detect_robust
mutant detect/local.cpp 's/markCellSumsUpTo(w, frame, width, height, j + k, s.simdLevel);/markCellSumsUpTo(w, frame, width, height, j + k - 1, s.simdLevel);/' test_detect_robust
mutant detect/local.cpp 's/_mm256_extract_epi32(packed, 4)/_mm256_extract_epi32(packed, 1)/' test_detect_robust
mutant detect/local.cpp 's/_mm256_set1_epi64x(four\[1\])/_mm256_set1_epi64x(four[0])/' test_detect_robust
mutant detect/local.cpp 's/const int innerEnd = std::max(innerFirst, across - 1 - k);/const int innerEnd = std::max(innerFirst, across - k);/' test_detect_robust
mutant detect/refine.cpp 's/_mm256_mul_pd(_mm256_add_pd(_mm256_mul_pd(c, q.gx), _mm256_mul_pd(d, q.fx)), q.fy)/_mm256_mul_pd(_mm256_add_pd(_mm256_mul_pd(c, q.fx), _mm256_mul_pd(d, q.gx)), q.fy)/' test_detect_robust
mutant detect/refine.cpp 's/_mm256_div_pd(v, three)/_mm256_mul_pd(v, _mm256_div_pd(_mm256_set1_pd(1.0), three))/' test_detect_robust
mutant detect/refine.cpp 's/    q->in = in;/    q->in = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));/' test_detect_robust
mutant detect/refine.cpp 's/planes\[c\] + rowStart + (i >> g.shiftX)/planes[c] + rowStart + (i >> 1)/' test_detect_robust
mutant detect/refine.cpp 's/_mm256_permute4x64_pd(v, 0x0D)/_mm256_permute4x64_pd(v, 0x08)/' test_detect_robust
mutant detect/refine.cpp 's/rowY\[r\] = _mm256_set1_pd(H\[r\]\[1\] \* Y)/rowY[r] = _mm256_set1_pd(H[r][0] * Y)/' test_detect_robust
mutant detect/refine.cpp 's/_mm256_set1_epi32(0x00010101)/_mm256_set1_epi32(0x01010101)/' test_detect_robust
mutant detect/refine.cpp 's/const int used = (1 << std::min(4, kRefineSteps - s)) - 1;/const int used = 15;/' test_detect_robust
mutant detect/refine.cpp 's/outside |= ~q\[s \/ 4\].inside \& used;/outside |= ~q[s \/ 4].inside \& used \& 14;/' test_detect_robust
mutant detect/refine.cpp 's/return __builtin_ctz(at) + 1;/return 32 - __builtin_clz(at);/' test_detect_robust
mutant detect/refine.cpp 's/aboves\[i \/ 4\] = refineSplit(refinePairs(frame, quads\[i \/ 4\], 0));/aboves[i \/ 4] = refineSplit(refinePairs(frame, quads[0], 0));/' test_detect_robust
mutant detect/refine.cpp 's/below\[s \/ 4\] = refinePairs(frame, q\[s \/ 4\], width);/below[s \/ 4] = refinePairs(frame, q[0], width);/' test_detect_robust
mutant detect/refine.cpp 's/_mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7)/_mm256_setr_epi32(0, 2, 4, 6, 1, 3, 7, 5)/' test_detect_robust
mutant detect/refine.cpp 's/        if (rise\[s\] > bestRise) {/        if (rise[s] >= bestRise) {/' test_detect_robust
mutant detect/refine.cpp 's/refineMix(q, refineChannel(above, 8 \* c),/refineMix(q, refineChannel(above, 16 - 8 * c),/' test_detect_robust
mutant detect/refine.cpp 's/_mm_add_epi32(_mm_mullo_epi32(y0, _mm_set1_epi32(width)), x0)/_mm_add_epi32(_mm_mullo_epi32(y0, _mm_set1_epi32(width + 1)), x0)/' test_detect_robust
mutant detect/local.cpp 's/return std::min(height, 2 \* r + 2);/return std::min(height, 2 * r + 1);/' test_detect_robust
mutant detect/local.cpp 's/constexpr int kMarkSpanRadiusMax = 42;/constexpr int kMarkSpanRadiusMax = 43;/;/static_assert((2 \* kMarkSpanRadiusMax/d' test_detect_robust
mutant detect/local.cpp 's/const __m256i blockTotal = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(c, last), 0xFF);/const __m256i blockTotal = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(c, last), 0x55);/' test_detect_robust
mutant detect/local.cpp 's/carry = _mm256_add_epi16(carry, blockTotal);/carry = blockTotal;/' test_detect_robust
mutant detect/local.cpp 's/c = _mm256_add_epi16(c, _mm256_permute2x128_si256(halfTotals, halfTotals, 0x08));/c = _mm256_add_epi16(c, halfTotals);/' test_detect_robust
mutant detect/local.cpp 's/std::fill(p + width, p + width + r, total);/std::fill(p + width, p + width + r - 2, total);/' test_detect_robust
mutant detect/local.cpp 's/_mm256_sub_epi32(_mm256_add_epi32(_mm256_loadu_si256(s), add), sub)/_mm256_sub_epi32(_mm256_add_epi32(_mm256_loadu_si256(s), add), _mm256_srli_epi32(sub, 1))/' test_detect_robust
mutant detect/local.cpp 's/_mm256_set1_epi32(static_cast<int32_t>(100 \* rule.rows)),/_mm256_set1_epi32(static_cast<int32_t>(100 * rule.rows + 1)),/' test_detect_robust
mutant detect/local.cpp 's/return std::min(height, r + 1);/return std::min(height, r);/' test_detect_robust
mutant detect/local.cpp 's/sums\[x\] += in\[x\] - out\[x\];/sums[x] += in[x];/' test_detect_robust
mutant pattern/match.cpp 's/_mm256_srli_epi64(b, 32)/b/' test_pattern
mutant pattern/match.cpp 's/dots\[h\] = lanes\[0\] + lanes\[1\] + lanes\[2\] + lanes\[3\];/dots[h] = lanes[0] + lanes[1] + lanes[2];/' test_pattern
mutant detect/runs.h 's/    r.ymax = y;/    r.ymax = std::max(r.ymax, y - 1);/' test_detect_identity
mutant detect/square.cpp 's/best\[lane\] == q \&\& i >= 0 \&\& i < v/best[lane] == q \&\& i >= 0 \&\& i > v/' test_detect_identity
mutant detect/square.cpp 's/_CMP_GT_OQ/_CMP_GE_OQ/g' test_detect_identity
mutant detect/square.cpp 's/(bests\[lane\] == q \&\& indices\[lane\] >= 0 \&\& indices\[lane\] < v)/(bests[lane] == q \&\& indices[lane] >= 0 \&\& indices[lane] > v)/' test_detect_identity
mutant detect/square.cpp 's/const __m256i more = _mm256_cmpgt_epi32(d, best);/const __m256i more = _mm256_cmpgt_epi32(best, d);/' test_detect_identity
mutant detect/runs.h 's/                Lanes::copy(here + x, up + x, e - x);/                Lanes::copy(here + x, up + x, e - x - 1);/' test_detect_identity
mutant detect/square.cpp 's/threshold, q, \&c2, 0, c1 == 1 ? 1 : kMarkVertexMax) < 0)/threshold, q, \&c2, 0, c1 == 1 ? 0 : kMarkVertexMax) < 0)/' test_detect test_detect_rendered
mutant detect/square.cpp 's/threshold, p, \&c1, 0, second ? 1 : kMarkVertexMax) < 0)/threshold, p, \&c1, 0, second ? kMarkVertexMax : 1) < 0)/' test_detect test_detect_rendered
mutant detect/square.cpp 's/    if (markGetVertexPending(x, y, m, e, threshold, q, \&cq, 0, 1) < 0) return -1;/    if (markGetVertexPending(x, y, m, e, threshold, q, \&cq, 0, 0) < 0) return -1;/' test_detect test_detect_rendered
# 16-bit labels on the frame-sized path: the fallback to 32 bits, the tracer's image,
# the contour walks.
mutant detect/walk.cpp 's/    return l->at == l->home || l->count >= kMarkTraceFail - 1;/    return l->at == l->home || l->count >= kMarkTraceFail;/' test_detector
mutant detect/walk.cpp 's/        j.fail = 2;/        j.fail = 3;/' test_detector
mutant detect/walk.cpp 's/    const int64_t at = j.y \* g->rowBits + j.x - 1;/    const int64_t at = j.y * g->rowBits + j.x;/' test_detect_identity test_detect_capacity
mutant detect/walk.cpp 's/    g.stepBits\[8\] = 0;  \/\/ no step: a lone pixel/    g.stepBits[8] = 1;/' test_detector
mutant detect/walk.cpp 's/        twice += x \* dy - y \* dx;/        twice += x * dy + y * dx;/' test_detect_robust test_detect_second
mutant detect/square.cpp 's/    std::copy(walks->traceX, walks->traceX + far + 1, cand->pointX + tail);/    std::copy(walks->traceX, walks->traceX + far, cand->pointX + tail);/' test_detect_capacity
mutant detect/square.cpp 's/if (markTakeWalk(detector, walks, walks->jobs.data\[walked++\], cand) < 0) continue;/if (markTakeWalk(detector, walks, walks->jobs.data[walked], cand) < 0) continue;/' test_detect_capacity
mutant detect/label.cpp 's/            mask += words;/            mask += 0;/' test_detect_identity test_detect_capacity
mutant detect/runs.h 's/MarkLabelRecord{0, x0, 0, 0, x0, x0, y, y}/MarkLabelRecord{0, x0 + 1, 0, 0, x0, x0, y, y}/' test_detect_capacity test_detect_identity
mutant detect/label.cpp 's/            firstX\[r\] = rec.firstX;/            firstX[r] = rec.xmin;/' test_detect_capacity test_detect_identity
mutant detect/walk.cpp 's/        sx = _mm_add_epi8(sx, _mm_slli_si128(sx, 4));/        sx = _mm_add_epi8(sx, _mm_slli_si128(sx, 3));/' test_detect_identity
mutant detect/walk.cpp 's/        const __m256i beforeY = _mm256_sub_epi32(afterY, moveY);/        const __m256i beforeY = afterY;/' test_detect_identity
mutant detect/walk.cpp 's/        odd += __builtin_popcountll(group \& 0x0101010101010101u);/        odd += __builtin_popcountll(group \& 0x0303030303030303u);/' test_detect_identity
mutant detect/walk.cpp 's/    for (int lane = 0; lane < 8; lane++) \*twice += lanes\[lane\];/    for (int lane = 0; lane < 7; lane++) *twice += lanes[lane];/' test_detect_identity
# the second look's reads.
mutant detect/wide.cpp 's/        if (k != kMarkScanFull) return k;/        return k;/' test_detect_identity
mutant detect/label.cpp 's/        b\[3\] = std::max(b\[3\], rec.ymax);/        b[3] = std::max(b[3], rec.ymin);/' test_detect_identity test_detect_capacity
mutant detect/second.cpp 's/first->table.data\[markWideLabelAt(first, int64_t{y} \* width + x) - 1\]/first->table.data[first->labelImage.data[int64_t{y} * width + x] - 1]/' test_detect_second
mutant detect/second.cpp 's/    const int32_t label = markWideLabelAt(first, int64_t{y} \* width + x);/    const int32_t label = first->labelImage.data[int64_t{y} * width + x];/' test_detect_second
mutant detect/second.cpp 's/            if (markWideLabelAt(first, int64_t{y} \* width + x) > 0) return true;/            if (first->labelImage.data[int64_t{y} * width + x] > 0) return true;/' test_detect_second
mutant detect/second.cpp 's/            if (!light) continue;/            if (light) continue;/' test_detect_second
mutant detect/second.cpp 's/markMaskBit(first->masks.data + int64_t{words} \* y, x)/markMaskBit(first->masks.data + int64_t{words} * (y - 1), x)/' test_detect_second
