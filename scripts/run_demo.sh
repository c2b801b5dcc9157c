#!/usr/bin/env bash
# Builds the weapon detector, WeaponDetectionTest and korva-detect (Release, into build/),
# stages the demo model and video under the names the executable looks for,
# and runs it there. Arguments go to the executable:
#   scripts/run_demo.sh --gtest_filter='WeaponIntegrationTest.*'
#   scripts/run_demo.sh --gtest_output=xml:report.xml   # report.xml lands here
# JOBS sets the build parallelism (default: the number of CPUs).
set -euo pipefail

caller_dir=$PWD
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build
run_dir=$build/demo-run
model="$root/assets/models/Korva_WeaponDetection(GPU)_1.0"
video="$root/assets/videos/AK47 Glock.mp4"

"$root/scripts/install_missing.sh" cmake make g++ libopencv-dev libgtest-dev libgmock-dev
# The detector runs on ONNX Runtime where it is beside it, else on OpenCV.
ort=$("$root/scripts/setup_onnxruntime.sh" | tail -n 1) || ort=""

# The benchmark harness is built only where Google Benchmark is installed.
benchmarks=OFF
if dpkg -s libbenchmark-dev >/dev/null 2>&1; then
  benchmarks=ON
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVA_BUILD_BENCHMARKS=$benchmarks \
  -DKORVA_ONNXRUNTIME_LIBRARY="$ort"
cmake --build "$build" --target WeaponDetectionTest korva_stage_assets korva-detect -j "${JOBS:-$(nproc)}"

for asset in "$model" "$video"; do
  if [[ ! -e $asset ]]; then
    echo "run_demo: demo asset missing: $asset" >&2
    exit 1
  fi
done
# GStreamer cannot open the staged names and only logs errors trying.
export OPENCV_VIDEOIO_PRIORITY_GSTREAMER=${OPENCV_VIDEOIO_PRIORITY_GSTREAMER:-0}
"$build/tests/korva_stage_assets" "$run_dir" --model "$model" --video "$video"

# The executable runs in the staging directory; report paths that are
# relative (or absent) are resolved against the caller's directory instead.
absolute_output() {
  local output_arg=$1 format path
  format=${output_arg%%:*}
  if [[ $output_arg == *:* ]]; then
    path=${output_arg#*:}
  else
    path=test_detail.$format
  fi
  [[ $path == /* ]] || path=$caller_dir/$path
  printf '%s:%s' "$format" "$path"
}
args=()
for arg in "$@"; do
  if [[ $arg == --gtest_output=* ]]; then
    arg=--gtest_output=$(absolute_output "${arg#--gtest_output=}")
  fi
  args+=("$arg")
done
if [[ -n ${GTEST_OUTPUT:-} ]]; then
  GTEST_OUTPUT=$(absolute_output "$GTEST_OUTPUT")
  export GTEST_OUTPUT
fi

cd "$run_dir"
exec "$build/tests/WeaponDetectionTest" "${args[@]}"
