#!/usr/bin/env bash
# End-to-end speed of the viewer: the demo clip (640x480, four markers with models)
# played every frame once, as fast as the viewer takes frames (no pacing), on a
# private Xvfb server with Mesa's software OpenGL. Prints the frames processed per
# second and the time from start to the first drawn frame without the display's
# fixed 500 ms start-up pause.
#   bench/viewer-speed.sh [BUILD_DIR]      (default: build; needs its demo clip)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
frames=$(ls "$build/demo" | grep -c '^[0-9]*\.png$' || true)
if [[ $frames -lt 2 ]]; then
    echo "viewer-speed: no demo clip in $build/demo (build the demo-clip target)" >&2
    exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data"
ln -s "$root/data/camera.cam" "$root/data/markers" "$root/data/models" "$work/data/"
# The demo configuration with the clip played once, unpaced, every frame handed over.
awk -v clip="$build/demo" 'BEGIN { n = 0 }
    /^#/ || /^$/ { next }
    { n++ }
    n == 1 { print "multifilesrc location=" clip "/%04d.png index=0 caps=image/png,framerate=30/1 ! pngdec ! videoconvert ! appsink sync=false"; next }
    { print }' "$root/data/tarlim.conf" > "$work/data/tarlim.conf"

export LIBGL_ALWAYS_SOFTWARE=1
xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" bash -c '
    cd "$1"
    LD_PRELOAD="$2/bench/libtarlim_swaplog.so" TARLIM_SWAPLOG=swaps.txt "$2/app/tarlim" > /dev/null &
    pid=$!
    want=$(( $3 + 2 ))
    for _ in $(seq 1200); do
        [[ -f swaps.txt && $(wc -l < swaps.txt) -ge $want ]] && break
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    xdotool mousemove 10 10 key Escape
    wait $pid' _ "$work" "$build" "$frames"

awk -v frames="$frames" '
    { t[NR] = $1 }
    END {
        if (NR < frames + 2) { printf "viewer-speed: only %d of %d frames drawn\n", NR - 2, frames; exit 1 }
        printf "frames: %d (640x480, four markers with models)\n", frames
        printf "first drawn frame: %.0f ms after start, %.0f ms without the 500 ms pause\n", t[3], t[3] - 500
        printf "unpaced: %.1f frames per second (%.1f ms per frame)\n", (frames - 1) * 1000 / (t[frames + 2] - t[3]), (t[frames + 2] - t[3]) / (frames - 1)
    }' "$work/swaps.txt"
