// The protobuf wire format in brief: a message is a run of fields, each a varint key (field
// number << 3 | wire type) followed by a varint (type 0), 8 bytes (1), a varint length and that
// many bytes (2: strings, bytes, sub-messages and packed repeated numbers) or 4 bytes (5).
// Unknown fields are skipped by their wire type.
#include "app/pipeline/onnx_graph.h"

#include <cstring>
#include <string_view>

namespace orlenta {

namespace {

// Field numbers of the ONNX messages this reader looks at.
namespace field {
constexpr uint32_t modelGraph = 7;
constexpr uint32_t graphNode = 1, graphInitializer = 5, graphInput = 11, graphOutput = 12;
constexpr uint32_t nodeInput = 1, nodeOutput = 2, nodeOpType = 4, nodeAttribute = 5;
constexpr uint32_t attributeName = 1, attributeF = 2, attributeI = 3, attributeT = 5,
                   attributeInts = 8;
constexpr uint32_t tensorDims = 1, tensorDataType = 2, tensorFloatData = 4, tensorInt64Data = 7,
                   tensorName = 8, tensorRawData = 9;
constexpr uint32_t valueInfoName = 1;
} // namespace field

constexpr int32_t onnxFloat = 1;
constexpr int32_t onnxInt64 = 7;

enum WireType : uint32_t { varint = 0, fixed64 = 1, lengthDelimited = 2, fixed32 = 5 };

struct Field {
    uint32_t number = 0;
    uint32_t type = 0;
    uint64_t value = 0;    // varint and fixed values
    std::string_view data; // length-delimited payload
};

// Walks the fields of one message; every read is checked against the end.
class Reader {
public:
    explicit Reader(std::string_view bytes) : rest_(bytes) {}

    // False at the end of the message or on malformed input (then failed() is true).
    bool next(Field& f) {
        if (rest_.empty() || failed_)
            return false;
        uint64_t key = 0;
        if (!readVarint(key))
            return fail();
        f.number = static_cast<uint32_t>(key >> 3);
        f.type = static_cast<uint32_t>(key & 7);
        f.data = {};
        f.value = 0;
        switch (f.type) {
        case varint:
            return readVarint(f.value) || fail();
        case fixed64:
            return readFixed(f.value, 8) || fail();
        case fixed32:
            return readFixed(f.value, 4) || fail();
        case lengthDelimited: {
            uint64_t length = 0;
            if (!readVarint(length) || length > rest_.size())
                return fail();
            f.data = rest_.substr(0, static_cast<size_t>(length));
            rest_.remove_prefix(static_cast<size_t>(length));
            return true;
        }
        default:
            return fail();
        }
    }
    bool failed() const { return failed_; }

private:
    bool fail() {
        failed_ = true;
        return false;
    }
    bool readVarint(uint64_t& out) {
        out = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (rest_.empty())
                return false;
            const auto byte = static_cast<uint8_t>(rest_.front());
            rest_.remove_prefix(1);
            out |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return true;
        }
        return false;
    }
    bool readFixed(uint64_t& out, size_t size) {
        if (rest_.size() < size)
            return false;
        out = 0;
        for (size_t i = 0; i < size; ++i)
            out |= static_cast<uint64_t>(static_cast<uint8_t>(rest_[i])) << (8 * i);
        rest_.remove_prefix(size);
        return true;
    }

    std::string_view rest_;
    bool failed_ = false;
};

float floatFromBits(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A repeated int64 field, packed (one length-delimited run of varints) or not.
bool appendInt64s(const Field& f, std::vector<int64_t>& out) {
    if (f.type == varint) {
        out.push_back(static_cast<int64_t>(f.value));
        return true;
    }
    if (f.type != lengthDelimited)
        return false;
    std::string_view rest = f.data;
    while (!rest.empty()) {
        uint64_t value = 0;
        int shift = 0;
        for (;; shift += 7) {
            if (rest.empty() || shift >= 64)
                return false;
            const auto byte = static_cast<uint8_t>(rest.front());
            rest.remove_prefix(1);
            value |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                break;
        }
        out.push_back(static_cast<int64_t>(value));
    }
    return true;
}

// A repeated float field, packed or not.
bool appendFloats(const Field& f, std::vector<float>& out) {
    if (f.type == fixed32) {
        out.push_back(floatFromBits(static_cast<uint32_t>(f.value)));
        return true;
    }
    if (f.type != lengthDelimited || f.data.size() % 4 != 0)
        return false;
    for (size_t i = 0; i < f.data.size(); i += 4) {
        uint32_t bits = 0;
        for (size_t b = 0; b < 4; ++b)
            bits |= static_cast<uint32_t>(static_cast<uint8_t>(f.data[i + b])) << (8 * b);
        out.push_back(floatFromBits(bits));
    }
    return true;
}

bool parseTensor(std::string_view bytes, OnnxTensor& tensor, std::string* name) {
    Reader reader(bytes);
    Field f;
    std::string_view raw;
    bool hasRaw = false;
    while (reader.next(f)) {
        bool ok = true;
        switch (f.number) {
        case field::tensorDims:
            ok = appendInt64s(f, tensor.dims);
            break;
        case field::tensorDataType:
            tensor.dataType = static_cast<int32_t>(f.value);
            break;
        case field::tensorFloatData:
            ok = appendFloats(f, tensor.floats);
            break;
        case field::tensorInt64Data:
            ok = appendInt64s(f, tensor.int64s);
            break;
        case field::tensorName:
            if (name)
                *name = std::string(f.data);
            break;
        case field::tensorRawData:
            raw = f.data;
            hasRaw = true;
            break;
        default:
            break;
        }
        if (!ok)
            return false;
    }
    if (reader.failed())
        return false;
    for (int64_t d : tensor.dims)
        if (d < 0 || d > (int64_t{1} << 31))
            return false;
    const int64_t count = tensor.elementCount();
    if (tensor.dataType == onnxFloat) {
        if (hasRaw) {
            if (raw.size() != static_cast<size_t>(count) * 4)
                return false;
            tensor.floats.resize(static_cast<size_t>(count));
            std::memcpy(tensor.floats.data(), raw.data(), raw.size());
        }
        return tensor.floats.size() == static_cast<size_t>(count);
    }
    if (tensor.dataType == onnxInt64) {
        if (hasRaw) {
            if (raw.size() != static_cast<size_t>(count) * 8)
                return false;
            tensor.int64s.resize(static_cast<size_t>(count));
            std::memcpy(tensor.int64s.data(), raw.data(), raw.size());
        }
        return tensor.int64s.size() == static_cast<size_t>(count);
    }
    return false;
}

bool parseAttribute(std::string_view bytes, std::string& name, OnnxAttribute& attribute) {
    Reader reader(bytes);
    Field f;
    while (reader.next(f)) {
        bool ok = true;
        switch (f.number) {
        case field::attributeName:
            name = std::string(f.data);
            break;
        case field::attributeF:
            ok = f.type == fixed32;
            attribute.f = floatFromBits(static_cast<uint32_t>(f.value));
            break;
        case field::attributeI:
            ok = f.type == varint;
            attribute.i = static_cast<int64_t>(f.value);
            break;
        case field::attributeT: {
            OnnxTensor tensor;
            ok = f.type == lengthDelimited && parseTensor(f.data, tensor, nullptr);
            attribute.t = std::move(tensor);
            break;
        }
        case field::attributeInts:
            ok = appendInt64s(f, attribute.ints);
            break;
        default:
            break;
        }
        if (!ok)
            return false;
    }
    return !reader.failed();
}

bool parseNode(std::string_view bytes, OnnxNode& node) {
    Reader reader(bytes);
    Field f;
    while (reader.next(f)) {
        if (f.type != lengthDelimited)
            continue;
        switch (f.number) {
        case field::nodeInput:
            node.inputs.emplace_back(f.data);
            break;
        case field::nodeOutput:
            node.outputs.emplace_back(f.data);
            break;
        case field::nodeOpType:
            node.opType = std::string(f.data);
            break;
        case field::nodeAttribute: {
            std::string name;
            OnnxAttribute attribute;
            if (!parseAttribute(f.data, name, attribute))
                return false;
            node.attributes[name] = std::move(attribute);
            break;
        }
        default:
            break;
        }
    }
    return !reader.failed();
}

std::optional<std::string> valueInfoName(std::string_view bytes) {
    Reader reader(bytes);
    Field f;
    while (reader.next(f))
        if (f.number == field::valueInfoName && f.type == lengthDelimited)
            return std::string(f.data);
    return std::nullopt;
}

bool parseGraph(std::string_view bytes, OnnxGraph& graph, std::string* error) {
    Reader reader(bytes);
    Field f;
    std::vector<std::string> declaredInputs;
    while (reader.next(f)) {
        if (f.type != lengthDelimited)
            continue;
        switch (f.number) {
        case field::graphNode: {
            OnnxNode node;
            if (!parseNode(f.data, node)) {
                *error = "a node of the graph is damaged";
                return false;
            }
            graph.nodes.push_back(std::move(node));
            break;
        }
        case field::graphInitializer: {
            OnnxTensor tensor;
            std::string name;
            if (!parseTensor(f.data, tensor, &name)) {
                *error = "a constant tensor of the graph is damaged or of an unsupported type";
                return false;
            }
            graph.initializers[name] = std::move(tensor);
            break;
        }
        case field::graphInput:
        case field::graphOutput: {
            std::optional<std::string> name = valueInfoName(f.data);
            if (!name) {
                *error = "a graph input or output has no name";
                return false;
            }
            (f.number == field::graphInput ? declaredInputs : graph.outputs).push_back(*name);
            break;
        }
        default:
            break;
        }
    }
    if (reader.failed()) {
        *error = "the graph is damaged";
        return false;
    }
    for (const std::string& name : declaredInputs)
        if (!graph.initializers.count(name))
            graph.inputs.push_back(name);
    return true;
}

} // namespace

int64_t OnnxTensor::elementCount() const {
    int64_t count = 1;
    for (int64_t d : dims)
        count *= d;
    return count;
}

std::vector<int64_t> OnnxNode::ints(const std::string& name, std::vector<int64_t> fallback) const {
    const auto it = attributes.find(name);
    return it == attributes.end() ? fallback : it->second.ints;
}

std::optional<int64_t> OnnxNode::integer(const std::string& name) const {
    const auto it = attributes.find(name);
    return it == attributes.end() ? std::nullopt : it->second.i;
}

std::optional<OnnxGraph> parseOnnxModel(const std::vector<char>& bytes, std::string* error) {
    std::string reason;
    Reader reader(std::string_view(bytes.data(), bytes.size()));
    Field f;
    std::optional<OnnxGraph> graph;
    while (reader.next(f)) {
        if (f.number != field::modelGraph || f.type != lengthDelimited)
            continue;
        OnnxGraph parsed;
        if (!parseGraph(f.data, parsed, &reason)) {
            if (error)
                *error = reason;
            return std::nullopt;
        }
        graph = std::move(parsed);
    }
    if (reader.failed() || !graph) {
        if (error)
            *error = reader.failed() ? "not an ONNX model (damaged protobuf)"
                                     : "not an ONNX model (no graph)";
        return std::nullopt;
    }
    return graph;
}

} // namespace orlenta
