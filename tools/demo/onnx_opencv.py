"""Graph clean-ups that OpenCV 4.6's ONNX importer needs after torch.onnx.export."""


def inline_identities(model_proto):
    """The exporter shares equal constants through Identity nodes over initializers, which OpenCV 4.6
    cannot import (the Identity has no layer input). Replaces each by a copy of the constant, in place;
    chains of them too. Returns how many were replaced."""
    import onnx
    g = model_proto.graph
    inits = {t.name: t for t in g.initializer}
    keep = []
    for node in g.node:
        if node.op_type == "Identity" and node.input[0] in inits:
            copy = onnx.TensorProto()
            copy.CopyFrom(inits[node.input[0]])
            copy.name = node.output[0]
            g.initializer.append(copy)
            inits[copy.name] = copy
        else:
            keep.append(node)
    replaced = len(g.node) - len(keep)
    if replaced:
        del g.node[:]
        g.node.extend(keep)
    return replaced
