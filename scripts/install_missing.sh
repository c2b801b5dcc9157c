#!/usr/bin/env bash
# Installs, with apt-get, those of the given Debian packages that are missing.
# Needs root or sudo only when something is missing.
#   scripts/install_missing.sh <package>...
set -euo pipefail

if ! command -v dpkg >/dev/null 2>&1; then
  echo "install_missing: no dpkg here; make sure these are installed: $*" >&2
  exit 0
fi

missing=()
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
((${#missing[@]})) || exit 0

if ((EUID == 0)); then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "install_missing: need root or sudo to install: ${missing[*]}" >&2
  exit 1
fi
echo "== installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends "${missing[@]}"
