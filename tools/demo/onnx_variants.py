"""Rewrites that turn a float32 YOLO ONNX export into the variants users ship: float16 weights and
input/output, and the metadata_props YOLO exporters write (imgsz, names, stride, ...)."""

import numpy as np


def _tensor_to_float16(t):
    """A FLOAT TensorProto converted in place to FLOAT16 (values rounded to nearest)."""
    from onnx import TensorProto, numpy_helper
    if t.data_type != TensorProto.FLOAT:
        return False
    arr = numpy_helper.to_array(t).astype(np.float16)
    name = t.name
    t.CopyFrom(numpy_helper.from_array(arr, name))
    return True


def to_float16(model_proto):
    """Converts a float32 graph to float16 in place: initializers, Constant/ConstantOfShape values
    (not Resize/Upsample scales, float32 by definition), Cast targets and every float32 graph
    input, output and value_info. Returns the model."""
    from onnx import TensorProto
    g = model_proto.graph
    # Inputs that stay float32 whatever the data type: Resize and Upsample scales.
    keep = set()
    for node in g.node:
        if node.op_type == "Resize" and len(node.input) > 2:
            keep.add(node.input[2])
        if node.op_type == "Upsample" and len(node.input) > 1:
            keep.add(node.input[1])
    for t in g.initializer:
        if t.name not in keep:
            _tensor_to_float16(t)
    for node in g.node:
        for a in node.attribute:
            if a.name == "value" and node.op_type in ("Constant", "ConstantOfShape") and \
                    not (node.output and node.output[0] in keep):
                _tensor_to_float16(a.t)
            if a.name == "to" and node.op_type == "Cast" and a.i == TensorProto.FLOAT:
                a.i = TensorProto.FLOAT16
    for vi in list(g.input) + list(g.output) + list(g.value_info):
        tt = vi.type.tensor_type
        if tt.elem_type == TensorProto.FLOAT:
            tt.elem_type = TensorProto.FLOAT16
    return model_proto


def names_text(labels):
    """The Python dict text YOLO exporters store as `names`: {0: 'a', 1: 'b'}."""
    return str({i: n for i, n in enumerate(labels)})


def add_metadata(model_proto, entries):
    """Appends (key, value) string pairs to metadata_props, in order."""
    for k, v in entries:
        p = model_proto.metadata_props.add()
        p.key, p.value = str(k), str(v)
    return model_proto


def yolo_metadata(labels, h, w, stride, task="detect"):
    """The usual keys of a YOLO export, values as its exporter writes them."""
    return [("description", "Korva test model"), ("author", "Korva"), ("stride", str(stride)),
            ("task", task), ("batch", "1"), ("imgsz", str([h, w])), ("names", names_text(labels))]


def to_end_to_end(model_proto, topk=None):
    """Appends to a [1, 4+nc, N] (cx, cy, w, h, scores) graph what NMS-free exports end in, in place:
    per anchor the best score and its class, boxes as corners, output [1, N, 6] = x1, y1, x2, y2,
    score, class; with `topk`, the `topk` best rows only (TopK + Gather), best first. Opset 12-style
    attributes (axes on ReduceMax/Squeeze/Unsqueeze), as in our exports."""
    from onnx import TensorProto, helper
    g = model_proto.graph
    src = g.output[0].name
    old = g.output[0]
    n = old.type.tensor_type.shape.dim[2].dim_value
    p = "e2e_"

    def const(name, values, dtype=TensorProto.INT64):
        g.initializer.append(helper.make_tensor(p + name, dtype, [len(values)], values))
        return p + name

    def node(op, ins, outs, **attrs):
        g.node.append(helper.make_node(op, ins, [p + o for o in outs], name=p + outs[0], **attrs))
        return p + outs[0]

    big = 1 << 30
    box = node("Slice", [src, const("s0", [0]), const("s4", [4]), const("ax1", [1])], ["box"])
    cls = node("Slice", [src, const("s4b", [4]), const("big", [big]), const("ax1b", [1])], ["cls"])
    score = node("ReduceMax", [cls], ["score"], axes=[1], keepdims=1)
    cid = node("ArgMax", [cls], ["cid"], axis=1, keepdims=1)
    cidf = node("Cast", [cid], ["cidf"], to=TensorProto.FLOAT)
    xy = node("Slice", [box, const("z", [0]), const("two", [2]), const("ax1c", [1])], ["xy"])
    wh = node("Slice", [box, const("two_b", [2]), const("four", [4]), const("ax1d", [1])], ["wh"])
    half = node("Mul", [wh, const("half", [0.5], TensorProto.FLOAT)], ["halfwh"])
    lo = node("Sub", [xy, half], ["x1y1"])
    hi = node("Add", [xy, half], ["x2y2"])
    rows = node("Concat", [lo, hi, score, cidf], ["rows_cf"], axis=1)
    rows = node("Transpose", [rows], ["rows"], perm=[0, 2, 1])
    out_n = n
    if topk is not None:
        flat = node("Squeeze", [score], ["score_flat"], axes=[1])
        node("TopK", [flat, const("k", [topk])], ["topv", "topi"], axis=1)
        idx = p + "topi"
        rows2 = node("Squeeze", [rows], ["rows2d"], axes=[0])
        idx1 = node("Squeeze", [idx], ["idx1d"], axes=[0])
        picked = node("Gather", [rows2, idx1], ["picked"], axis=0)
        rows = node("Unsqueeze", [picked], ["rows_k"], axes=[0])
        out_n = topk
    g.node.append(helper.make_node("Identity", [rows], ["output_e2e"], name=p + "out"))
    del g.output[:]
    g.output.append(helper.make_tensor_value_info("output_e2e", TensorProto.FLOAT, [1, out_n, 6]))
    # Keep the usual output name.
    for nd in g.node:
        for i, name in enumerate(nd.input):
            if name == old.name:
                nd.input[i] = p + "src"
        for i, name in enumerate(nd.output):
            if name == old.name:
                nd.output[i] = p + "src"
            if name == "output_e2e":
                nd.output[i] = old.name
    g.output[0].name = old.name
    return model_proto


def with_dynamic_input(model_proto, h_name="height", w_name="width"):
    """Declares the input's height and width symbolic, in place (the graph itself is unchanged, so a
    model with a fixed anchor grid still runs only at its export size: pair it with imgsz)."""
    dims = model_proto.graph.input[0].type.tensor_type.shape.dim
    for d, name in ((dims[2], h_name), (dims[3], w_name)):
        d.ClearField("dim_value")
        d.dim_param = name
    return model_proto
