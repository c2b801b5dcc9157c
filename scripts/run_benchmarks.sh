#!/usr/bin/env bash
# Reproduces the figures of docs/PERFORMANCE.md: builds the benchmark harness,
# generates the benchmark models when missing, runs every case of the demo and
# 640 models with its baseline in one run, and prints the table of medians and
# ratios. Extra arguments go to the harness (e.g. --benchmark_repetitions=3).
#
# Environment: KORVA_BENCH_BUILD (build dir, default build-bench),
# KORVA_BENCH_JSON (raw results, default <build>/bench.json).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVA_BENCH_BUILD:-$repo/build-bench}
json=${KORVA_BENCH_JSON:-$build/bench.json}
cd "$repo"

if [[ ! -f bench/models/yolov8n_640/model.onnx || ! -f bench/models/standin_416/model.onnx ]]; then
  /usr/bin/python3 tools/testmodels/make_bench_model.py
fi

ort=$(scripts/setup_onnxruntime.sh | tail -n 1) || ort=""
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVA_BUILD_BENCHMARKS=ON -DKORVA_BUILD_TESTS=OFF \
  -DKORVA_ONNXRUNTIME_LIBRARY="$ort" >/dev/null
cmake --build "$build" -j2 --target korva_bench KorvaCustomWeaponDetection >/dev/null
# The harness links the engines itself too; it finds the runtime here.
export KORVA_ONNXRUNTIME=$ort

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/korva_bench" --benchmark_filter='/(demo|v8n640)' \
  --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_min_time=0.5 \
  --benchmark_out="$json" --benchmark_out_format=json "$@" >/dev/null
# For comparison: the same camera threads in a host that chose one OpenCV
# thread (OPENCV_FOR_THREADS_NUM is OpenCV's own default-thread setting).
OPENCV_FOR_THREADS_NUM=1 "$build/bench/korva_bench" --benchmark_filter='Throughput/(demo|v8n640)' \
  --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_min_time=0.5 \
  --benchmark_out="${json%.json}-1thread.json" --benchmark_out_format=json "$@" >/dev/null
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

/usr/bin/python3 - "$json" "${json%.json}-1thread.json" <<'EOF'
import json, sys

data = json.load(open(sys.argv[1]))
single = {b["run_name"]: b for b in json.load(open(sys.argv[2]))["benchmarks"]
          if b.get("aggregate_name") == "median"}
ctx = data["context"]
med = {}
for b in data["benchmarks"]:
    if b.get("aggregate_name") == "median":
        med[b["run_name"]] = b

def ms(name):
    b = med.get(name)
    if b is None:
        return None
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
    return b["real_time"] * scale

def fmt(v, digits=1):
    if v is None:
        return "-"
    return "%.*f" % (digits, v) if abs(v) >= 1 or digits > 1 else "%.3f" % v

rows = []
def row(model, case, frame, threads, value, unit, base_name, ratio, target):
    ok = "" if target is None or ratio is None else ("met" if target(ratio) else "missed")
    rows.append("| %s | %s | %s | %s | %s %s | %s | %s | %s |" % (
        model, case, frame, threads, fmt(value), unit, base_name, fmt(ratio, 3), ok))

PEAK_GFLOPS = float(__import__("os").environ.get("KORVA_PEAK_GFLOPS", "430"))

def div(a, b):
    return None if a is None or b is None else a / b

for model in ("demo", "v8n640"):
    if ("Forward/%s" % model) not in med:
        continue
    fwd, stock = ms("Forward/%s" % model), ms("StockForward/%s" % model)
    hd, uhd = ms("RunInference/%s/1080p" % model), ms("RunInference/%s/4K" % model)
    first = ms("FirstCall/%s/manual_time" % model)
    paired = med.get("Paired/%s/iterations:12" % model)
    ortb = med.get("OrtRun/%s" % model)
    ort = ms("OrtRun/%s" % model)
    row(model, "StockForward (baseline)", "blob", "-", stock, "ms", "-", None, None)
    row(model, "Forward (fused net)", "blob", "-", fwd, "ms", "StockForward", fwd / stock, None)
    swish = ms("SwishForward/%s" % model)
    if swish is not None:
        row(model, "Forward, SiLU as OpenCV Swish", "blob", "-", swish, "ms", "StockForward", swish / stock, None)
    if ort is not None:
        gflop = ortb.get("gflop", 0)
        row(model, "ONNX Runtime bare Run (%d intra-op threads)" % ortb.get("intra_op_threads", 0), "blob", "-",
            ort, "ms", "StockForward", ort / stock, None)
        rows.append("| %s | share of peak (%.0f GFLOP/s): StockForward, Forward, OrtRun | blob | - | %.0f%%, %.0f%%, %.0f%% | - | - | |"
                    % (model, PEAK_GFLOPS, 100 * gflop / (stock * 1e-3) / PEAK_GFLOPS,
                       100 * gflop / (fwd * 1e-3) / PEAK_GFLOPS, 100 * gflop / (ort * 1e-3) / PEAK_GFLOPS))
        row(model, "RunInference (ONNX Runtime)", "1080p", "-", hd, "ms", "OrtRun", hd / ort, lambda r: r <= 1.05)
        row(model, "RunInference (ONNX Runtime)", "4K", "-", uhd, "ms", "OrtRun", div(uhd, ort), None)
    else:
        row(model, "RunInference", "1080p", "-", hd, "ms", "Forward", hd / fwd, lambda r: r <= 1.03)
        row(model, "RunInference", "4K", "-", uhd, "ms", "Forward", div(uhd, fwd), None)
    for fr in ("1080p", "4K"):
        lb = ms("Letterbox/%s/%s" % (model, fr))
        if lb is not None:
            row(model, "Letterbox alone (pre-processing)", fr, "-", lb, "ms", "Forward", lb / fwd, None)
    row(model, "RunInference", "1080p", "-", hd, "ms", "StockForward", hd / stock,
        (lambda r: r <= 0.40) if ort is not None else (lambda r: r <= 0.85))
    row(model, "FirstCall after Initialize", "1080p", "-", first, "ms", "RunInference 1080p",
        div(first, hd), lambda r: r <= 1.1)
    if paired:
        for key, case, base, target in (
                ("run_over_stock", "RunInference, paired per iteration", "StockForward",
                 (lambda r: r <= 0.40) if "run_over_ort" in paired else (lambda r: r <= 0.85)),
                ("run_over_ort", "RunInference, paired per iteration", "OrtRun", lambda r: r <= 1.05),
                ("ort_over_stock", "OrtRun, paired per iteration", "StockForward", None),
                ("forward_over_stock", "Forward (SiLU fused), paired per iteration", "StockForward", None),
                ("cv_run_over_forward", "RunInference on OpenCV, paired per iteration", "Forward", lambda r: r <= 1.03),
                ("cv_run_over_stock", "RunInference on OpenCV, paired per iteration", "StockForward", None)):
            if key in paired:
                row(model, case, "1080p", "-", None, "", base, paired[key], target)
    fc = med.get("FirstCall/%s/manual_time" % model)
    if fc and "first_over_second" in fc:
        row(model, "FirstCall, paired with the call after it", "1080p", "-", None, "", "second call",
            fc["first_over_second"], lambda r: r <= 1.1)
    t = {n: med.get("Throughput/%s/real_time/threads:%d" % (model, n)) for n in (1, 2, 4)}
    for n in (1, 2, 4):
        if t[n] is None:
            continue
        ips = t[n]["items_per_second"]
        row(model, "Throughput (mismatches %d)" % t[n].get("mismatches", -1), "1080p", n, ips, "frames/s",
            "threads 1" if n > 1 else "-", ips / t[1]["items_per_second"] if n > 1 else None,
            None)
    i1 = med.get("ThroughputIntra1/%s/real_time/threads:1" % model)
    for n in (1, 2):
        b = med.get("ThroughputIntra1/%s/real_time/threads:%d" % (model, n))
        if b is None or i1 is None:
            continue
        ips = b["items_per_second"]
        row(model, "Throughput, intra_op_threads 1 (mismatches %d)" % b.get("mismatches", -1), "1080p", n, ips,
            "frames/s", "threads 1" if n > 1 else "-", ips / i1["items_per_second"] if n > 1 else None,
            (lambda r: r >= 1.8) if n == 2 else None)
    s1 = single.get("Throughput/%s/real_time/threads:1" % model)
    for n in (1, 2, 4):
        b = single.get("Throughput/%s/real_time/threads:%d" % (model, n))
        if b is None or s1 is None:
            continue
        ips = b["items_per_second"]
        row(model, "Throughput, host set 1 OpenCV thread (mismatches %d)" % b.get("mismatches", -1), "1080p",
            n, ips, "frames/s", "threads 1 (default threads)", ips / t[1]["items_per_second"], None)
    init = med.get("Initialize/%s/iterations:3/manual_time" % model)
    if init:
        row(model, "Initialize", "-", "-", ms("Initialize/%s/iterations:3/manual_time" % model), "ms", "-", None, None)
        rows.append("| %s | memory per loaded detector (heap; resident) | - | - | %.1f MiB; %.1f MiB | - | - | |"
                    % (model, init.get("heap_mib_per_detector", float("nan")),
                       init.get("rss_mib_per_detector", float("nan"))))
    f = med.get("Forward/%s" % model, {})
    if "max_rel_diff_vs_stock" in f:
        rows.append("| %s | fused vs stock outputs | blob | - | max abs %.2g, rel %.2g, scores %.2g | - | - | |"
                    % (model, f["max_abs_diff_vs_stock"], f["max_rel_diff_vs_stock"],
                       f.get("score_max_abs_diff_vs_stock", float("nan"))))

print()
print("OpenCV %s, ONNX Runtime %s, %s CPUs, %s MHz, OpenCV threads %s, SiLU fusion %s, %s"
      % (ctx.get("opencv"), ctx.get("onnxruntime"), ctx.get("num_cpus"), ctx.get("mhz_per_cpu"),
         ctx.get("opencv_threads"), ctx.get("silu_fusion"), ctx.get("date")))
for k in ("model_demo", "model_v8n640", "demo_model"):
    if k in ctx:
        print("%s: %s" % (k, ctx[k]))
print()
print("| model | case | frame | camera threads | median | baseline | ratio | target |")
print("|---|---|---|---|---|---|---|---|")
print("\n".join(rows))
EOF
