#!/usr/bin/env bash
# Starts the bundled demo from the repository root (make run calls it after the build,
# which also renders the demo clip into build/demo/). With an X display the viewer
# opens its window there until Escape. Without one it runs for a few seconds on a
# private Xvfb server with Mesa's software OpenGL, saves a screenshot of its window to
# build/demo.png, ends it with Escape and says where the picture is.
set -euo pipefail
cd "$(dirname "$0")/.."

# data/tarlim.conf plays build/demo/, so the demo wants the default build directory.
build=${BUILD:-build}
if [[ $build != build ]]; then
    echo "run-demo: note: data/tarlim.conf plays the clip in build/demo, not $build/demo" >&2
fi
viewer=$build/app/tarlim
if [[ ! -x $viewer ]]; then
    echo "run-demo: $viewer is missing; run 'make build' first" >&2
    exit 1
fi
# The clip is part of the default build; this catches a build made without it.
if [[ ! -f $build/demo/0000.png ]]; then
    cmake --build "$build" --target demo-clip
fi

mode=${1:-}
if [[ $mode != --inside-xvfb && $mode != --headless && -n ${DISPLAY:-} ]] &&
    xdotool getdisplaygeometry >/dev/null 2>&1; then
    echo "run-demo: starting the viewer on $DISPLAY; Escape in its window ends it."
    exec "$viewer"
fi

# Headless: the part below runs inside xvfb-run, on a display of its own.
if [[ $mode != --inside-xvfb ]]; then
    if [[ $mode == --headless ]]; then
        echo "run-demo: running the viewer on Xvfb for about five seconds."
    else
        echo "run-demo: no X display; running the viewer on Xvfb for about five seconds."
    fi
    export LIBGL_ALWAYS_SOFTWARE=1
    exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$0" --inside-xvfb
fi

"$viewer" &
pid=$!
sleep 5
if ! kill -0 "$pid" 2>/dev/null; then
    wait "$pid" || true
    echo "run-demo: the viewer ended early" >&2
    exit 1
fi
# The viewer's window is the one visible top-level window titled tarlim that is not the
# root (there is no window manager, so it sits at the top left of the screen).
screen=$(xdotool getdisplaygeometry | tr ' ' x)
window=
for w in $(xdotool search --onlyvisible --name '^tarlim'); do
    geometry=$(xdotool getwindowgeometry "$w" | sed -n 's/.*Geometry: //p')
    if [[ $geometry != "$screen" ]]; then window=$w; fi
done
status=0
if [[ -n $window ]]; then
    xwd -silent -id "$window" -out "$build/demo.xwd"
    "$build/tools/tarlim-xwd2png" "$build/demo.xwd" "$build/demo.png" || status=1
    rm -f "$build/demo.xwd"
else
    echo "run-demo: the viewer's window was not found" >&2
    status=1
fi
# Escape goes to the window under the pointer (no window manager, no focus changes).
if [[ -n $window ]]; then xdotool mousemove --window "$window" 10 10; fi
xdotool key Escape
for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
    echo "run-demo: the viewer did not end on Escape; stopping it" >&2
    kill "$pid"
    status=1
fi
if ! wait "$pid"; then
    echo "run-demo: the viewer did not end with status 0" >&2
    status=1
fi
if [[ $status -eq 0 ]]; then
    echo "run-demo: screenshot of the viewer's window saved to $(pwd)/$build/demo.png"
fi
exit $status
