#!/usr/bin/env bash
# Fetches the pinned ONNX Runtime build (linux-x64 CPU) once and keeps it in a
# cache; prints the path of libonnxruntime.so.1 on its last line of stdout.
#   KORVA_CACHE  cache folder (default: ~/.cache/korva)
# The library ships inside the npm package onnxruntime-node; `npm pack` fetches
# the package without running its install scripts. Both the package and the
# extracted library are checked against pinned SHA-256 sums, so a second run
# downloads nothing and a tampered file is refused.
set -euo pipefail

version=1.31.1
package_sha256=d7a3de2b1bba92614abc74af909cc0ba4f4dd5347735418794edeb58cfef2d22
library_sha256=f19a4da48c4c65e0cdccff82354482f657fa91a3455b66174195b94ca55b0e6f
member=package/bin/napi-v6/linux/x64/libonnxruntime.so.1

say() { echo "setup_onnxruntime: $*" >&2; }

if [[ $(uname -s) != Linux || $(uname -m) != x86_64 ]]; then
  say "only linux x86_64 is provided for; the detector will use OpenCV"
  exit 1
fi

cache=${KORVA_CACHE:-$HOME/.cache/korva}/onnxruntime-$version
tgz=$cache/onnxruntime-node-$version.tgz
lib=$cache/libonnxruntime.so.1
mkdir -p "$cache"

sha_ok() { [[ -f $1 ]] && [[ $(sha256sum "$1" | cut -d' ' -f1) == "$2" ]]; }

if sha_ok "$lib" "$library_sha256"; then
  say "onnxruntime $version already in $cache"
  echo "$lib"
  exit 0
fi

if ! sha_ok "$tgz" "$package_sha256"; then
  rm -f "$tgz"
  if ! command -v npm >/dev/null 2>&1; then
    "$(dirname "${BASH_SOURCE[0]}")/install_missing.sh" npm >&2 || true
  fi
  if ! command -v npm >/dev/null 2>&1; then
    say "npm is needed to fetch onnxruntime-node@$version (apt-get install npm)"
    exit 1
  fi
  say "fetching onnxruntime-node@$version with npm pack"
  (cd "$cache" && npm pack --silent "onnxruntime-node@$version" >/dev/null)
  if ! sha_ok "$tgz" "$package_sha256"; then
    say "onnxruntime-node-$version.tgz does not have the pinned SHA-256; refused"
    rm -f "$tgz"
    exit 1
  fi
fi

say "extracting libonnxruntime.so.1"
tmp=$(mktemp -d "$cache/extract.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
tar -xzf "$tgz" -C "$tmp" "$member"
if ! sha_ok "$tmp/$member" "$library_sha256"; then
  say "extracted library does not have the pinned SHA-256; refused"
  exit 1
fi
mv -f "$tmp/$member" "$lib"
say "onnxruntime $version ready in $cache"
echo "$lib"
