#!/usr/bin/python3
"""The model table: each export variant users ship, whether the detector accepts it, and how its
detections agree with the static float32 export of the same weights.

Usage:
    /usr/bin/python3 tools/testmodels/model_table.py [--build build] [--frames 40] [--work DIR]

Needs the korva_compare tool (built with the tests: build/tests/quality/korva_compare). Variants of
the demo model are made from its committed ONNX in a scratch folder (float16, names in metadata,
names disagreeing with labels.txt, symbolic height/width with imgsz, end-to-end with and without
TopK 300, one label too many) and run on frames of the demo video; the committed unit-test variants
are run against their twins on seeded noise. The detector picks its engine as it does for a host;
run the script once per engine (with whatever selects it set in the environment) for both columns.
Prints a Markdown table; writes nothing outside --work.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tools", "demo"))
import onnx_variants  # noqa: E402

DEMO = os.path.join(REPO, "assets", "models", "Korva_WeaponDetection(GPU)_1.0")
VIDEO = os.path.join(REPO, "assets", "videos", "AK47 Glock.mp4")
TEST_MODELS = os.path.join(REPO, "tests", "unit", "data", "models")


def write_folder(folder, proto=None, model_file=None, labels=None):
    os.makedirs(folder, exist_ok=True)
    if proto is not None:
        import onnx
        onnx.save(proto, os.path.join(folder, "model.onnx"))
    else:
        shutil.copyfile(model_file, os.path.join(folder, "model.onnx"))
    if labels is not None:
        with open(os.path.join(folder, "labels.txt"), "w") as f:
            f.write("\n".join(labels) + "\n")
    return folder


def demo_variants(work):
    """[(variant name, folder, reference folder)] for the demo model."""
    import onnx
    src = os.path.join(DEMO, "model.onnx")
    with open(os.path.join(DEMO, "labels.txt")) as f:
        labels = f.read().split()
    h, w = [d.dim_value for d in onnx.load(src).graph.input[0].type.tensor_type.shape.dim][2:]
    meta = onnx_variants.yolo_metadata(labels, h, w, 32)
    ref = write_folder(os.path.join(work, "demo_fp32"), model_file=src, labels=labels)

    def variant(name, edit=None, labels_out=labels):
        proto = onnx.load(src)
        if edit:
            edit(proto)
        onnx.checker.check_model(proto)
        slug = re.sub("[^a-z0-9]+", "_", name.lower()).strip("_")
        return (name, write_folder(os.path.join(work, "demo_" + slug), proto=proto, labels=labels_out), ref)

    return [
        ("static float32 (itself)", ref, ref),
        variant("float16", onnx_variants.to_float16),
        variant("names in metadata, no labels.txt", lambda p: onnx_variants.add_metadata(p, meta), None),
        variant("metadata names disagree with labels.txt", lambda p: onnx_variants.add_metadata(p, meta),
                labels[:-1] + ["blade"]),
        variant("dynamic height/width + imgsz", lambda p: onnx_variants.add_metadata(
            onnx_variants.with_dynamic_input(p), [("imgsz", str([h, w]))])),
        variant("dynamic height/width, no imgsz", onnx_variants.with_dynamic_input),
        variant("end-to-end [1,N,6]", onnx_variants.to_end_to_end),
        variant("end-to-end, TopK 300", lambda p: onnx_variants.to_end_to_end(p, 300)),
        variant("float16 end-to-end, TopK 300",
                lambda p: onnx_variants.to_float16(onnx_variants.to_end_to_end(p, 300))),
        variant("one label too many", None, labels + ["axe"]),
    ]


def test_variants(work):
    def m(name):
        return os.path.join(TEST_MODELS, name)
    two = write_folder(os.path.join(work, "bad_layout_nc2"),
                       model_file=os.path.join(m("bad_layout"), "model.onnx"), labels=["class0", "class1"])
    return [
        ("v8_nc3_fp16", m("v8_nc3_fp16"), m("v8_nc3")),
        ("names_only_nc3", m("names_only_nc3"), m("v8_nc3")),
        ("names_mismatch_nc3", m("names_mismatch_nc3"), m("v8_nc3")),
        ("dynamic_imgsz_nc3", m("dynamic_imgsz_nc3"), m("grid_v8_nc3")),
        ("e2e_nc1", m("e2e_nc1"), m("v8_nc1")),
        ("e2e_topk_nc2", m("e2e_topk_nc2"), two),
        ("v5_nc3_extra_label", m("v5_nc3_extra_label"), m("v5_nc3")),
    ]


def compare(tool, model, reference, frames, threshold, video=None):
    cmd = [tool, "--model", model, "--reference", reference, "--frames", str(frames),
           "--threshold", str(threshold)]
    if video:
        cmd += ["--video", video]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        return {"accepted": False, "reason": "korva_compare: " + (r.stderr.strip() or "exit %d" % r.returncode)}
    return json.loads(r.stdout)


def row(group, name, res):
    if not res.get("accepted"):
        return "| %s | %s | refused | | | | | %s |" % (group, name, res.get("reason", "").replace("|", "/"))
    agree = "%d/%d/%d" % (res["paired"], res["detections"], res["reference_detections"])
    return "| %s | %s | accepted | %s | %s | %.3g | %.3g | |" % (
        group, name, res["engine"], agree, res["max_confidence_diff"], res["max_corner_px"])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(REPO, "build"))
    ap.add_argument("--frames", type=int, default=40)
    ap.add_argument("--threshold", type=float, default=0.3)
    ap.add_argument("--work", help="scratch folder (default: a temporary one)")
    args = ap.parse_args()
    tool = os.path.join(args.build, "tests", "quality", "korva_compare")
    if not os.path.exists(tool):
        sys.exit("build korva_compare first: cmake --build %s --target korva_compare" % args.build)
    work = args.work or tempfile.mkdtemp(prefix="korva_model_table_")
    print("| model | variant | loads | engine | paired/detections/reference | max confidence diff "
          "| max corner px | reason refused |")
    print("|---|---|---|---|---|---|---|---|")
    if os.path.exists(os.path.join(DEMO, "model.onnx")):
        video = VIDEO if os.path.exists(VIDEO) else None
        for name, folder, ref in demo_variants(work):
            print(row("demo 416", name, compare(tool, folder, ref, args.frames, args.threshold, video)),
                  flush=True)
    for name, folder, ref in test_variants(work):
        print(row("unit-test", name, compare(tool, folder, ref, args.frames, args.threshold)), flush=True)
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
