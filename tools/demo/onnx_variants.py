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
    """Converts a float32 graph to float16 in place: initializers, Constant/ConstantOfShape values,
    Cast targets and every float32 graph input, output and value_info. Returns the model."""
    from onnx import TensorProto
    g = model_proto.graph
    for t in g.initializer:
        _tensor_to_float16(t)
    for node in g.node:
        for a in node.attribute:
            if a.name == "value" and node.op_type in ("Constant", "ConstantOfShape"):
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
