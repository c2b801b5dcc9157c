#!/usr/bin/env bash
# Installs the build tree <build> to a scratch prefix and builds and runs the
# consumer project of tests/consumer against it, as a host would after
# `cmake --install`. Usage: scripts/check_install.sh [build-dir] (default build/).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
prefix=$build/install-check/prefix
consumer=$build/install-check/consumer

rm -rf "$build/install-check"
cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -S "$root/tests/consumer" -B "$consumer" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" >"$build/install-check-configure.log" 2>&1 ||
  { cat "$build/install-check-configure.log"; exit 1; }
cmake --build "$consumer" -j2 >/dev/null
"$consumer/korva_consumer"
"$consumer/korva_consumer" "$root/tests/unit/data/models/v8_nc3"
echo "installed package: consumer built and ran"
