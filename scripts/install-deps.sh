#!/usr/bin/env bash
# Installs the Debian packages tarlim builds, tests and runs with, if any are missing.
# As root it installs them with apt; otherwise it prints the command to run and fails.
# With --fuzz it also wants clang and its libFuzzer runtime (make fuzz).
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  freeglut3-dev libgl1-mesa-dev libgl1-mesa-dri
  # offscreen GL without a display: tarlim-model preview
  libegl-dev libegl-mesa0
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-tools
  libpng-dev libjpeg62-turbo-dev
  # chessboard corners for camera calibration
  libopencv-core-dev libopencv-imgproc-dev libopencv-calib3d-dev
  # decoders for phone clips (H.264) and MJPEG webcams
  gstreamer1.0-libav gstreamer1.0-plugins-bad
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth x11-apps xdotool
)
if [[ ${1:-} == --fuzz ]]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: missing packages; run as root:" >&2
  echo "  apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
