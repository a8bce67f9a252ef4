#!/usr/bin/env bash
# Runs the viewer of a sanitizer build (-DTARLIM_SANITIZE=ON) over the demo clip with
# LeakSanitizer on, lets it play for a while, ends it with Escape and fails on any
# leak report. scripts/lsan.supp lists the only leaks accepted: those of the system
# libraries the viewer runs on (GL, X, GStreamer, GLib), never our own code.
#   scripts/leak-check.sh BUILD_DIR [SECONDS]
# The shipped data/tarlim.conf is played from a temporary directory that holds the
# shipped data/ and a clip of its own in build/demo/: three seconds of the demo scene,
# rendered here by the build's tarlim-democlip and looped by the configuration. The
# sanitizer build does not render the ten-second demo clip, and a short loop exercises
# the same frame path, the video source's rewind included.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [[ ${1:-} != --inside-xvfb ]]; then
    build=$(cd "${1:?usage: scripts/leak-check.sh BUILD_DIR [SECONDS]}" && pwd)
    export LEAK_BUILD=$build LEAK_SECONDS=${2:-5}
    exec "$root/tests/xvfb-run.sh" "$0" --inside-xvfb
fi

build=$LEAK_BUILD
viewer=$build/app/tarlim
democlip=$build/tools/tarlim-democlip
for needed in "$viewer" "$democlip"; do
    [[ -x $needed ]] || { echo "leak-check: $needed is missing (build $build first)" >&2; exit 1; }
done
dir=$(mktemp -d /tmp/tarlim-leak-XXXXXX)
trap 'rm -rf "$dir"' EXIT
ln -s "$root/data" "$dir/data"
# The demo's pictures and camera, as app/CMakeLists.txt renders the full clip.
pictures=()
for marker in arrow moon bars key; do pictures+=("$root/data/markers/$marker.png"); done
if ! "$democlip" --camera "$root/data/camera.cam" \
    --out "$dir/build/demo" --frames 90 --fps 30 "${pictures[@]}" >"$dir/democlip.txt" 2>&1; then
    cat "$dir/democlip.txt" >&2
    echo "leak-check: rendering the clip failed" >&2
    exit 1
fi

# Leaks are reported at exit (status 23). The GL driver is unloaded during exit, before
# the check, and its blocks would then show an unknown module that no suppression can
# name; preloading it keeps it mapped (the sanitizer runtime need not come first for
# that).
driver=$(ls /usr/lib/*/dri/swrast_dri.so 2>/dev/null | head -1)
(cd "$dir" && ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1:exitcode=23:verify_asan_link_order=0 \
    LSAN_OPTIONS=suppressions=$root/scripts/lsan.supp:print_suppressions=1 \
    LD_PRELOAD=$driver exec "$viewer" >stdout.txt 2>stderr.txt) &
pid=$!

# The clip is playing once two screenshots a second apart differ (start-up, model
# loading included, takes a while in a sanitizer build).
playing=0
previous=
for _ in $(seq 240); do
    kill -0 "$pid" 2>/dev/null || break
    shot=$(xwd -root -silent 2>/dev/null | md5sum)
    if [[ -n $previous && $shot != "$previous" ]]; then playing=1; break; fi
    previous=$shot
    sleep 1
done
status=0
if [[ $playing -eq 1 ]]; then
    sleep "$LEAK_SECONDS"
    # No window manager: keys go to the window under the pointer, the full-size viewer.
    xdotool mousemove 320 240 key Escape
    for _ in $(seq 600); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "leak-check: the viewer did not end on Escape" >&2
        kill -9 "$pid"
    fi
else
    echo "leak-check: the viewer never showed the playing clip" >&2
    kill -9 "$pid" 2>/dev/null || true
    status=1
fi
wait "$pid" || status=$?
cat "$dir/stdout.txt"
if [[ $status -ne 0 ]] || grep -q "ERROR: LeakSanitizer" "$dir/stderr.txt"; then
    cat "$dir/stderr.txt" >&2
    echo "leak-check: FAILED (viewer exit status $status)" >&2
    exit 1
fi
# What the suppressions matched, for the record.
sed -n '/Suppressions used:/,$p' "$dir/stderr.txt"
echo "leak-check: no leak from tarlim's own code (exit status 0)"
