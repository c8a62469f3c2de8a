#!/usr/bin/python3
"""Rewrite the fixed input size of the 256x256 BlazeFace ONNX graph.

The graph is convolutional apart from a few constants that pin it to 256x256: the input shape,
two ConstantOfShape shapes that pad channels after pooling, and the four Reshape shapes that
flatten the score and regressor grids. Scaling those lets the same weights run on one
non-square input (for example 448x256 for a 16:9 frame) in a single pass.

Usage: rewrite_blazeface.py SOURCE.onnx TARGET.onnx WIDTH HEIGHT
WIDTH and HEIGHT must be positive multiples of 32 (the coarse grid's stride).
"""

import sys

import numpy as np
import onnx
from onnx import numpy_helper

SOURCE_SIZE = 256
COARSE_STRIDE = 32


def fail(message):
    print("rewrite_blazeface: " + message, file=sys.stderr)
    sys.exit(1)


def set_dims(value_info, dims):
    shape = value_info.type.tensor_type.shape
    del shape.dim[:]
    for d in dims:
        shape.dim.add().dim_value = d


def rewrite(model, width, height):
    graph = model.graph
    initializers = {t.name: t for t in graph.initializer}

    def scaled_grid(count):
        # A flattened grid of `count` entries at 256x256 holds count * (W * H) / 256^2 at W x H.
        return count * width * height // (SOURCE_SIZE * SOURCE_SIZE)

    def replace_initializer(name, values):
        tensor = initializers[name]
        array = numpy_helper.to_array(tensor)
        tensor.CopyFrom(numpy_helper.from_array(np.array(values, dtype=array.dtype), name))

    if len(graph.input) != 1:
        fail("expected one graph input, found %d" % len(graph.input))
    input_dims = [d.dim_value for d in graph.input[0].type.tensor_type.shape.dim]
    if input_dims != [1, SOURCE_SIZE, SOURCE_SIZE, 3]:
        fail("unexpected input shape %s" % input_dims)
    set_dims(graph.input[0], [1, height, width, 3])

    pads = 0
    reshapes = {}
    for node in graph.node:
        if node.op_type == "ConstantOfShape":
            name = node.input[0]
            n, c, h, w = numpy_helper.to_array(initializers[name]).tolist()
            replace_initializer(
                name, [n, c, h * height // SOURCE_SIZE, w * width // SOURCE_SIZE]
            )
            pads += 1
        elif node.op_type == "Reshape":
            name = node.input[1]
            n, count, depth = numpy_helper.to_array(initializers[name]).tolist()
            new_shape = [n, scaled_grid(count), depth]
            replace_initializer(name, new_shape)
            reshapes[node.output[0]] = new_shape
    if pads != 2 or len(reshapes) != 4:
        fail("graph does not have the expected pad and reshape constants")

    for output in graph.output:
        if output.name not in reshapes:
            fail("output %s is not produced by a rewritten reshape" % output.name)
        set_dims(output, reshapes[output.name])

    # The intermediate shapes recorded by the converter describe the old size; drop them.
    del graph.value_info[:]


def main(argv):
    if len(argv) != 5:
        fail("usage: rewrite_blazeface.py SOURCE.onnx TARGET.onnx WIDTH HEIGHT")
    source, target = argv[1], argv[2]
    try:
        width, height = int(argv[3]), int(argv[4])
    except ValueError:
        fail("width and height must be integers")
    if width <= 0 or height <= 0 or width % COARSE_STRIDE or height % COARSE_STRIDE:
        fail("width and height must be positive multiples of %d" % COARSE_STRIDE)

    model = onnx.load(source)
    rewrite(model, width, height)
    onnx.checker.check_model(model)
    onnx.shape_inference.infer_shapes(model, check_type=True, strict_mode=True)
    onnx.save(model, target)


if __name__ == "__main__":
    main(sys.argv)
