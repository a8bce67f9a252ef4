#!/usr/bin/env bash
# Calibrates chessboard photographs with tarlim-calibrate and with OpenCV's own
# calibration (one radial coefficient), and prints both side by side. Not part of the
# test suite: the photographs are OpenCV's samples from Debian's opencv-doc package
# (apt-get install opencv-doc), 9x6 inner corners, 640x480.
#
#   scripts/bench-calibrate.sh [DIR]     DIR: where left01.jpg ... are
#                                        (default /usr/share/doc/opencv-doc/examples/data)
set -euo pipefail
dir=${1:-/usr/share/doc/opencv-doc/examples/data}
build=${BUILD:-build}
shopt -s nullglob
pictures=("$dir"/left[0-9][0-9].jpg)
if [[ ${#pictures[@]} -eq 0 ]]; then
  echo "bench-calibrate: no left??.jpg in $dir (apt-get install opencv-doc)" >&2
  exit 1
fi
cmake --build "$build" -j2 --target tarlim-calibrate calibrate_opencv >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

for mode in default free-centre; do
  extra=()
  [[ $mode == free-centre ]] && extra=(--free-centre)
  echo "== tarlim-calibrate ($mode) on ${#pictures[@]} pictures"
  "$build"/tools/tarlim-calibrate --board 9x6 --square-mm 25 "${extra[@]}" "${pictures[@]}" \
    -o "$out/$mode.cam" >"$out/$mode.txt"
  grep -E '^(fitted|  |dropped|warning)' "$out/$mode.txt" | grep -v '\.jpg' || true
  rms=$(sed -n 's/.*RMS reprojection error \([0-9.]*\).*/\1/p' "$out/$mode.txt")
  "$build"/bench/calibrate_opencv --board 9x6 --camera "$out/$mode.cam" --rms "$rms" "${pictures[@]}"
  echo
done
