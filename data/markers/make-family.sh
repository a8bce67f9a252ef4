#!/bin/sh
# Regenerates the shipped marker family: 16 markers from seed 1 (pictures, pattern
# files, printable markers of 80 mm at 300 dpi, family.txt with the comparison table and
# the rendered-view check) and family-sheet.png, all 16 at 35 mm on one A4 page.
# Usage: data/markers/make-family.sh [BUILD_DIR]   (default: build)
set -e
here=$(cd "$(dirname "$0")" && pwd)
tools=${1:-build}/tools
"$tools/tarlim-marker" family --count 16 --seed 1 --side-mm 80 --dpi 300 -o "$here/family"
"$tools/tarlim-marker" sheet --paper a4 --side-mm 35 --dpi 300 "$here"/family/family-??.png \
    -o "$here/family/family-sheet.png"
