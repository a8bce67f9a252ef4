#!/usr/bin/env bash
# Unpaced frames per second of the real viewer at several frame sizes, plain, with the
# diagnostic overlay and while recording (PNG folder, .webm, .mkv). The demo scene (the
# four shipped markers with their models) is rendered at each size with a camera made
# for it, played every frame once as fast as the viewer takes frames, on a private Xvfb
# server with Mesa's software OpenGL; every swap is stamped by the swap-log preload.
#   bench/viewer-figures.sh [BUILD_DIR] [FRAMES] [SIZES...]
#   (defaults: build, 150, 640x480 1280x720 1920x1080)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
frames=${2:-150}
shift $(( $# > 2 ? 2 : $# ))
sizes=("$@")
[[ ${#sizes[@]} -gt 0 ]] || sizes=(640x480 1280x720 1920x1080)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pictures=()
for m in arrow moon bars key; do pictures+=("$root/data/markers/$m.png"); done

# One run: prints frames per second between the first and the last drawn frame.
measure() {  # dir config [viewer arguments...]
    local dir=$1 conf=$2
    shift 2
    rm -f "$dir/swaps.txt"
    xvfb-run -a -s "-screen 0 1920x1200x24 -nolisten tcp" bash -c '
        cd "$1"; shift
        swaplog=$1 frames=$2 conf=$3; shift 3
        LD_PRELOAD="$swaplog" TARLIM_SWAPLOG=swaps.txt "$@" "$conf" > /dev/null 2> err.txt &
        pid=$!
        for _ in $(seq 3000); do
            [[ -f swaps.txt && $(wc -l < swaps.txt) -ge $((frames + 2)) ]] && break
            kill -0 $pid 2>/dev/null || break
            sleep 0.1
        done
        xdotool mousemove 10 10 key Escape
        wait $pid' _ "$dir" "$build/bench/libtarlim_swaplog.so" "$frames" "$conf" "$build/app/tarlim" "$@"
    awk -v frames="$frames" '{ t[NR] = $1 }
        END {
            if (NR < frames + 2) { printf "only %d of %d frames", NR - 2, frames; exit }
            printf "%.1f", (frames - 1) * 1000 / (t[frames + 2] - t[3])
        }' "$dir/swaps.txt"
}

printf '| frame size | plain | overlay (F2) | recording PNGs | recording .webm | recording .mkv |\n'
printf '|---|---|---|---|---|---|\n'
for size in "${sizes[@]}"; do
    w=${size%x*} h=${size#*x}
    dir=$work/$size
    mkdir -p "$dir/data"
    ln -s "$root/data/markers" "$root/data/models" "$dir/data/"
    # The shipped 640x480 camera, scaled to the size, principal point at the centre.
    s=$(awk -v w="$w" 'BEGIN { print w / 640 }')
    fx=$(awk -v s="$s" 'BEGIN { print 668 * s }') fy=$(awk -v s="$s" 'BEGIN { print 666.5 * s }')
    "$build/tools/tarlim-camera" make --size "$size" --fx "$fx" --fy "$fy" \
        --cx "$(awk -v w="$w" 'BEGIN { print (w - 1) / 2 }')" \
        --cy "$(awk -v h="$h" 'BEGIN { print (h - 1) / 2 }')" -o "$dir/data/camera.cam" > /dev/null
    "$build/tools/tarlim-democlip" --camera "$dir/data/camera.cam" --out "$dir/clip" \
        --frames "$frames" --size "$size" "${pictures[@]}"
    awk 'BEGIN { n = 0 }
        /^#/ || /^$/ { next }
        { n++ }
        n == 1 { print "multifilesrc location=clip/%04d.png index=0 caps=image/png,framerate=30/1 ! pngdec ! videoconvert ! appsink sync=false"; next }
        { print }' "$root/data/tarlim.conf" > "$dir/plain.conf"
    { cat "$dir/plain.conf"; echo "overlay on"; } > "$dir/overlay.conf"
    plain=$(measure "$dir" plain.conf)
    overlay=$(measure "$dir" overlay.conf)
    pngs=$(measure "$dir" plain.conf --record rec)
    rm -rf "$dir/rec"
    webm=$(measure "$dir" plain.conf --record rec.webm)
    mkv=$(measure "$dir" plain.conf --record rec.mkv)
    rm -f "$dir/rec.webm" "$dir/rec.mkv"
    printf '| %s | %s | %s | %s | %s | %s |\n' "$size" "$plain" "$overlay" "$pngs" "$webm" "$mkv"
done
