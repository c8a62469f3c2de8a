// A small reader for ONNX model files: just enough of the protobuf encoding to list a graph's
// operators, their attributes and its float and int64 constant tensors, so that the face network
// can be rebuilt for another inference engine from the same file that OpenCV reads.
//
// It reads only what it knows and checks every length against the bytes it was given, so a
// damaged or hostile file gives an error, never a read past the end.
//
// Pure functions and plain data; safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace orlenta {

struct OnnxTensor {
    std::vector<int64_t> dims;
    int32_t dataType = 0; // ONNX element type: 1 float, 7 int64
    std::vector<float> floats;
    std::vector<int64_t> int64s;

    int64_t elementCount() const;
};

struct OnnxAttribute {
    std::optional<int64_t> i;
    std::optional<float> f;
    std::vector<int64_t> ints;
    std::optional<OnnxTensor> t;
};

struct OnnxNode {
    std::string opType;
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    std::map<std::string, OnnxAttribute> attributes;

    // The attribute's integer list, or `fallback` when the node does not have it.
    std::vector<int64_t> ints(const std::string& name, std::vector<int64_t> fallback = {}) const;
    std::optional<int64_t> integer(const std::string& name) const;
};

struct OnnxGraph {
    std::vector<OnnxNode> nodes; // in the file's (topological) order
    std::map<std::string, OnnxTensor> initializers;
    std::vector<std::string> inputs;  // graph inputs that are not initializers
    std::vector<std::string> outputs; // graph outputs, in order
};

// Parses a serialized ModelProto. Absent, with a one-line reason in *error, when the bytes are not
// a well-formed ONNX model or hold tensors of a kind the reader does not take.
std::optional<OnnxGraph> parseOnnxModel(const std::vector<char>& bytes, std::string* error);

} // namespace orlenta
