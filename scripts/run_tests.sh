#!/usr/bin/env bash
# Builds everything (Release, into build/), runs every test with ctest, then
# installs to a scratch prefix and builds a consumer project against it.
# Arguments go to ctest (e.g. -R WeaponDetectionTest). JOBS sets the build
# parallelism (default: the number of CPUs).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build

"$root/scripts/install_missing.sh" cmake make g++ libopencv-dev libgtest-dev libgmock-dev \
  libbenchmark-dev

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVA_BUILD_BENCHMARKS=ON
cmake --build "$build" -j "${JOBS:-$(nproc)}"
(cd "$build" && ctest --output-on-failure "$@")
"$root/scripts/check_install.sh" "$build"
