#!/usr/bin/env bash
# Renders a fresh held-out video at SEED and scores the detector on it.
#   scripts/evaluate_heldout.sh SEED [FRAMES] [MODEL_DIR] [THRESHOLD]
# Prints precision, recall and per-class figures (IoU >= 0.5, right class).
# Needs the offline tooling (/usr/bin/python3 with python3-opencv, ffmpeg) and a
# build in build/ (scripts/run_tests.sh or scripts/run_demo.sh make one).
set -euo pipefail
cd "$(dirname "$0")/.."
seed=${1:?usage: scripts/evaluate_heldout.sh SEED [FRAMES] [MODEL_DIR] [THRESHOLD]}
frames=${2:-150}
model=${3:-"assets/models/Korva_WeaponDetection(GPU)_1.0"}
threshold=${4:-0.6}

if [[ ! -x build/tests/quality/korva_evaluate ]]; then
  echo "== building korva_evaluate"
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build --target korva_evaluate -j "$(nproc)"
fi
out=build/heldout/seed${seed}.mp4
mkdir -p build/heldout
echo "== rendering $frames frames at seed $seed into $out"
/usr/bin/python3 tools/demo/make_video.py --seed "$seed" --frames "$frames" --out "$out"
echo "== scoring $model at threshold $threshold"
build/tests/quality/korva_evaluate --model "$model" --video "$out" --threshold "$threshold"
