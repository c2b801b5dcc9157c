#!/usr/bin/env bash
# Builds everything (Release, into build/) and runs every test with ctest,
# then installs to a scratch prefix and builds a consumer project against it.
# The pinned ONNX Runtime is fetched once (scripts/setup_onnxruntime.sh) and
# placed beside the detector; the detector's tests are then registered twice,
# the second time on OpenCV's engine (test names containing "opencv_engine").
# Arguments go to ctest (e.g. -R WeaponDetectionTest). JOBS sets the build
# parallelism (default: the number of CPUs).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build

"$root/scripts/install_missing.sh" cmake make g++ libopencv-dev libgtest-dev libgmock-dev \
  libbenchmark-dev

ort=""
if ! ort=$("$root/scripts/setup_onnxruntime.sh" | tail -n 1); then
  echo "run_tests: no ONNX Runtime; every test runs on OpenCV's engine alone" >&2
  ort=""
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVA_BUILD_BENCHMARKS=ON \
  -DKORVA_ONNXRUNTIME_LIBRARY="$ort"
cmake --build "$build" -j "${JOBS:-$(nproc)}"
(cd "$build" && ctest --output-on-failure "$@")
"$root/scripts/check_install.sh" "$build"
