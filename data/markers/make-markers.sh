#!/bin/sh
# Regenerates the shipped markers from the built-in designs of tarlim-marker:
# picture (128 x 128), printable marker (80 mm at 300 dpi) and pattern file each.
# Usage: data/markers/make-markers.sh [BUILD_DIR]   (default: build)
set -e
here=$(cd "$(dirname "$0")" && pwd)
tools=${1:-build}/tools
for name in arrow moon bars key; do
    "$tools/tarlim-marker" --design "$name" --size 128 -o "$here/$name.png"
    "$tools/tarlim-marker" "$here/$name.png" --side-mm 80 --dpi 300 -o "$here/$name-print.png"
    "$tools/tarlim-pattern" make "$here/$name.png" -o "$here/$name.pat"
done
"$tools/tarlim-pattern" compare "$here/arrow.pat" "$here/moon.pat" "$here/bars.pat" "$here/key.pat"
