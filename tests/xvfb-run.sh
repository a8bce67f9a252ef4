#!/usr/bin/env bash
# Runs a command on a private Xvfb server with Mesa's software OpenGL, so tests that
# open a window work on machines without a display. A random starting server number
# keeps parallel test processes from racing for the same display.
set -euo pipefail
export LIBGL_ALWAYS_SOFTWARE=1
exec xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 1280x1024x24 -nolisten tcp" "$@"
