#include "app/pipeline/face_network.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <optional>
#include <pthreadpool.h>
#include <xnnpack.h>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

namespace orlenta {

const char* faceEngineName(FaceEngine engine) {
    return engine == FaceEngine::xnnpack ? "XNNPACK" : "OpenCV dnn";
}

// --- the graph in XNNPACK's terms, independent of the input size ------------------------------

struct XnnpackFaceModel {
    enum class Kind { convolution, depthwise, add, maxPool, channelPad, clamp };
    struct Op {
        Kind kind = Kind::convolution;
        std::vector<size_t> inputs; // value indices
        size_t output = 0;          // value index
        int kernel = 1, stride = 1;
        std::array<int, 4> pads{}; // top, left, bottom, right
        size_t inChannels = 0, outChannels = 0;
        size_t padBefore = 0, padAfter = 0; // channelPad
        bool relu = false;
        std::vector<float> filter; // XNNPACK layout
        std::vector<float> bias;
    };
    std::vector<Op> ops;
    std::vector<size_t> channels;              // per value; value 0 is the graph input
    std::map<std::string, size_t> outputValue; // graph output name -> value index
};

namespace {

void setError(std::string* error, const std::string& message) {
    if (error)
        *error = message;
}

bool startXnnpack(std::string* error) {
    // Initialisation is process-wide and idempotent; XNNPACK is never shut down.
    static const xnn_status status = xnn_initialize(nullptr);
    if (status != xnn_status_success) {
        setError(error, status == xnn_status_unsupported_hardware
                            ? "XNNPACK does not support this processor"
                            : "XNNPACK could not start");
        return false;
    }
    return true;
}

// Reads the ONNX graph into XnnpackFaceModel, or says which part it does not take.
class ModelBuilder {
public:
    explicit ModelBuilder(const OnnxGraph& graph) : graph_(graph) {}

    std::shared_ptr<XnnpackFaceModel> build(std::string* error) {
        auto model = std::make_shared<XnnpackFaceModel>();
        model_ = model.get();
        if (graph_.inputs.size() != 1)
            return fail(error, "the graph does not have exactly one input");
        for (const OnnxNode& node : graph_.nodes)
            for (const std::string& input : node.inputs)
                ++consumers_[input];
        model_->channels.push_back(3);
        values_[graph_.inputs[0]] = 0;
        for (const OnnxNode& node : graph_.nodes)
            if (!add(node))
                return fail(error, "unsupported " + node.opType + " operator" +
                                       (reason_.empty() ? "" : " (" + reason_ + ")"));
        for (const std::string& name : graph_.outputs) {
            const auto it = values_.find(name);
            if (it == values_.end())
                return fail(error, "the graph output " + name + " is not computed");
            model_->outputValue[name] = it->second;
        }
        return model;
    }

private:
    std::shared_ptr<XnnpackFaceModel> fail(std::string* error, const std::string& message) {
        setError(error, message);
        return nullptr;
    }

    const OnnxTensor* constant(const std::string& name, int32_t type) const {
        const auto it = graph_.initializers.find(name);
        return it != graph_.initializers.end() && it->second.dataType == type ? &it->second
                                                                              : nullptr;
    }

    std::optional<size_t> value(const std::string& name) const {
        const auto it = values_.find(name);
        return it == values_.end() ? std::nullopt : std::optional<size_t>(it->second);
    }

    size_t newValue(size_t channels) {
        model_->channels.push_back(channels);
        return model_->channels.size() - 1;
    }

    // A ReLU that is the only reader of an operator's result becomes that operator's clamp.
    size_t emit(XnnpackFaceModel::Op op, const std::string& outputName) {
        op.output = newValue(op.outChannels);
        producer_[op.output] = model_->ops.size();
        model_->ops.push_back(std::move(op));
        values_[outputName] = model_->ops.back().output;
        return model_->ops.back().output;
    }

    bool add(const OnnxNode& node) {
        reason_.clear();
        if (node.outputs.size() != 1)
            return false;
        const std::string& out = node.outputs[0];
        if (node.opType == "Transpose" || node.opType == "Reshape") {
            // NCHW <-> NHWC at the input and before the heads, and the heads' flattening: in
            // NHWC the memory is already in the order the outputs are read in.
            const std::vector<int64_t> perm = node.ints("perm");
            if (node.opType == "Transpose" && perm != std::vector<int64_t>{0, 3, 1, 2} &&
                perm != std::vector<int64_t>{0, 2, 3, 1})
                return false;
            const auto in = value(node.inputs.at(0));
            if (!in)
                return false;
            values_[out] = *in;
            return true;
        }
        if (node.opType == "Relu") {
            const auto in = value(node.inputs.at(0));
            if (!in)
                return false;
            const auto producer = producer_.find(*in);
            if (producer != producer_.end() && consumers_[node.inputs[0]] == 1 &&
                model_->ops[producer->second].kind != XnnpackFaceModel::Kind::channelPad) {
                model_->ops[producer->second].relu = true;
                values_[out] = *in;
                return true;
            }
            XnnpackFaceModel::Op op;
            op.kind = XnnpackFaceModel::Kind::clamp;
            op.relu = true;
            op.inputs = {*in};
            op.inChannels = op.outChannels = model_->channels[*in];
            emit(std::move(op), out);
            return true;
        }
        if (node.opType == "Conv")
            return addConvolution(node);
        if (node.opType == "Add") {
            if (node.inputs.size() != 2)
                return false;
            const auto a = value(node.inputs[0]);
            const auto b = value(node.inputs[1]);
            if (!a || !b || model_->channels[*a] != model_->channels[*b]) {
                reason_ = "operands of different shapes";
                return false;
            }
            XnnpackFaceModel::Op op;
            op.kind = XnnpackFaceModel::Kind::add;
            op.inputs = {*a, *b};
            op.inChannels = op.outChannels = model_->channels[*a];
            emit(std::move(op), out);
            return true;
        }
        if (node.opType == "MaxPool") {
            const auto in = value(node.inputs.at(0));
            const std::vector<int64_t> kernel = node.ints("kernel_shape");
            const std::vector<int64_t> strides = node.ints("strides", {1, 1});
            const std::vector<int64_t> pads = node.ints("pads", {0, 0, 0, 0});
            if (!in || kernel.size() != 2 || kernel[0] != kernel[1] || strides.size() != 2 ||
                strides[0] != strides[1] || pads != std::vector<int64_t>{0, 0, 0, 0})
                return false;
            XnnpackFaceModel::Op op;
            op.kind = XnnpackFaceModel::Kind::maxPool;
            op.inputs = {*in};
            op.kernel = static_cast<int>(kernel[0]);
            op.stride = static_cast<int>(strides[0]);
            op.inChannels = op.outChannels = model_->channels[*in];
            emit(std::move(op), out);
            return true;
        }
        if (node.opType == "ConstantOfShape") {
            // Zeros to be joined to a tensor along the channels; only the channel count is kept,
            // since the spatial size follows the input.
            const OnnxTensor* shape = constant(node.inputs.at(0), 7);
            const auto valueAttribute = node.attributes.find("value");
            if (valueAttribute != node.attributes.end()) {
                const auto& t = valueAttribute->second.t;
                if (!t || t->floats.size() != 1 || t->floats[0] != 0.0f)
                    return false;
            }
            if (!shape || shape->int64s.size() != 4 || shape->int64s[1] <= 0)
                return false;
            zeros_[out] = static_cast<size_t>(shape->int64s[1]);
            return true;
        }
        if (node.opType == "Concat") {
            if (node.integer("axis").value_or(-1) != 1 || node.inputs.size() != 2)
                return false;
            const bool zerosFirst = zeros_.count(node.inputs[0]) > 0;
            const std::string& tensorName = node.inputs[zerosFirst ? 1 : 0];
            const std::string& zerosName = node.inputs[zerosFirst ? 0 : 1];
            const auto in = value(tensorName);
            if (!in || !zeros_.count(zerosName))
                return false;
            XnnpackFaceModel::Op op;
            op.kind = XnnpackFaceModel::Kind::channelPad;
            op.inputs = {*in};
            (zerosFirst ? op.padBefore : op.padAfter) = zeros_[zerosName];
            op.inChannels = model_->channels[*in];
            op.outChannels = op.inChannels + zeros_[zerosName];
            emit(std::move(op), out);
            return true;
        }
        return false;
    }

    bool addConvolution(const OnnxNode& node) {
        if (node.inputs.size() < 2 || node.inputs.size() > 3)
            return false;
        const auto in = value(node.inputs[0]);
        const OnnxTensor* weights = constant(node.inputs[1], 1);
        const OnnxTensor* bias = node.inputs.size() == 3 ? constant(node.inputs[2], 1) : nullptr;
        if (!in || !weights || weights->dims.size() != 4 || (node.inputs.size() == 3 && !bias))
            return false;
        const auto out = static_cast<size_t>(weights->dims[0]);
        const auto perGroup = static_cast<size_t>(weights->dims[1]);
        const int64_t kh = weights->dims[2], kw = weights->dims[3];
        const size_t channels = model_->channels[*in];
        const auto group = static_cast<size_t>(node.integer("group").value_or(1));
        const std::vector<int64_t> strides = node.ints("strides", {1, 1});
        const std::vector<int64_t> pads = node.ints("pads", {0, 0, 0, 0});
        const std::vector<int64_t> dilations = node.ints("dilations", {1, 1});
        if (kh != kw || kh < 1 || kh > 7 || strides.size() != 2 || strides[0] != strides[1] ||
            strides[0] < 1 || strides[0] > 2 || pads.size() != 4 ||
            dilations != std::vector<int64_t>{1, 1} ||
            std::any_of(pads.begin(), pads.end(), [](int64_t p) { return p < 0 || p > 3; })) {
            reason_ = "kernel, stride, padding or dilation";
            return false;
        }
        if (bias && bias->floats.size() != out)
            return false;

        XnnpackFaceModel::Op op;
        op.inputs = {*in};
        op.kernel = static_cast<int>(kh);
        op.stride = static_cast<int>(strides[0]);
        // ONNX pads are begin (top, left) then end (bottom, right).
        op.pads = {static_cast<int>(pads[0]), static_cast<int>(pads[1]), static_cast<int>(pads[2]),
                   static_cast<int>(pads[3])};
        op.inChannels = channels;
        op.outChannels = out;
        op.bias = bias ? bias->floats : std::vector<float>(out, 0.0f);
        const auto k = static_cast<size_t>(kh);
        op.filter.resize(weights->floats.size());
        if (group == 1 && perGroup == channels) {
            // ONNX [out][in][y][x] to XNNPACK [out][y][x][in].
            op.kind = XnnpackFaceModel::Kind::convolution;
            for (size_t o = 0; o < out; ++o)
                for (size_t i = 0; i < channels; ++i)
                    for (size_t y = 0; y < k; ++y)
                        for (size_t x = 0; x < k; ++x)
                            op.filter[((o * k + y) * k + x) * channels + i] =
                                weights->floats[((o * channels + i) * k + y) * k + x];
        } else if (group == channels && perGroup == 1 && out == channels) {
            // ONNX [channel][1][y][x] to XNNPACK [1][y][x][channel].
            op.kind = XnnpackFaceModel::Kind::depthwise;
            for (size_t c = 0; c < channels; ++c)
                for (size_t y = 0; y < k; ++y)
                    for (size_t x = 0; x < k; ++x)
                        op.filter[(y * k + x) * channels + c] =
                            weights->floats[(c * k + y) * k + x];
        } else {
            reason_ = "grouped convolution that is neither plain nor depthwise";
            return false;
        }
        emit(std::move(op), node.outputs[0]);
        return true;
    }

    const OnnxGraph& graph_;
    XnnpackFaceModel* model_ = nullptr;
    std::map<std::string, size_t> values_;
    std::map<std::string, size_t> zeros_;
    std::map<std::string, int> consumers_;
    std::map<size_t, size_t> producer_; // value index -> op index
    std::string reason_;
};

class XnnpackFaceNetwork final : public FaceNetwork {
public:
    XnnpackFaceNetwork(std::shared_ptr<const XnnpackFaceModel> model, int width, int height)
        : FaceNetwork(width, height), model_(std::move(model)) {}

    ~XnnpackFaceNetwork() override {
        if (runtime_)
            xnn_delete_runtime(runtime_);
        if (pool_)
            pthreadpool_destroy(pool_);
    }

    bool build(const std::vector<std::string>& outputs, int threads, std::string* error) {
        const XnnpackFaceModel& m = *model_;
        // Spatial size of every value at this input size.
        std::vector<std::pair<size_t, size_t>> size(m.channels.size());
        size[0] = {static_cast<size_t>(inputHeight()), static_cast<size_t>(inputWidth())};
        for (const XnnpackFaceModel::Op& op : m.ops) {
            auto [h, w] = size[op.inputs[0]];
            if (op.kind == XnnpackFaceModel::Kind::convolution ||
                op.kind == XnnpackFaceModel::Kind::depthwise ||
                op.kind == XnnpackFaceModel::Kind::maxPool) {
                const auto k = static_cast<size_t>(op.kernel);
                const auto s = static_cast<size_t>(op.stride);
                const size_t ph = static_cast<size_t>(op.pads[0] + op.pads[2]) + h;
                const size_t pw = static_cast<size_t>(op.pads[1] + op.pads[3]) + w;
                if (ph < k || pw < k) {
                    setError(error, "the input is too small for the network");
                    return false;
                }
                h = (ph - k) / s + 1;
                w = (pw - k) / s + 1;
            }
            if (op.kind == XnnpackFaceModel::Kind::add &&
                size[op.inputs[1]] != size[op.inputs[0]]) {
                setError(error, "the input size does not suit the network (its branches do not "
                                "meet at one size); use multiples of 32");
                return false;
            }
            size[op.output] = {h, w};
        }

        xnn_subgraph_t subgraph = nullptr;
        const auto externals = static_cast<uint32_t>(1 + outputs.size());
        if (xnn_create_subgraph(externals, 0, &subgraph) != xnn_status_success) {
            setError(error, "XNNPACK could not make a subgraph");
            return false;
        }
        const bool built = define(subgraph, size, outputs, error);
        if (built) {
            pool_ = threads > 1 ? pthreadpool_create(static_cast<size_t>(threads)) : nullptr;
            if (xnn_create_runtime_v2(subgraph, pool_, 0, &runtime_) != xnn_status_success) {
                runtime_ = nullptr;
                setError(error, "XNNPACK could not make a runtime for the network");
            }
        }
        xnn_delete_subgraph(subgraph);
        if (!built || !runtime_)
            return false;

        std::vector<xnn_external_value> bindings;
        bindings.push_back({0, input()});
        for (size_t i = 0; i < outputs_.size(); ++i)
            bindings.push_back({static_cast<uint32_t>(1 + i), outputs_[i].data()});
        if (xnn_setup_runtime(runtime_, bindings.size(), bindings.data()) != xnn_status_success) {
            setError(error, "XNNPACK could not bind the network's input and outputs");
            return false;
        }
        return true;
    }

    FaceEngine engine() const override { return FaceEngine::xnnpack; }
    bool run() override { return xnn_invoke_runtime(runtime_) == xnn_status_success; }
    const float* output(size_t index) const override { return outputs_.at(index).data(); }
    size_t outputSize(size_t index) const override { return outputs_.at(index).size(); }

private:
    bool define(xnn_subgraph_t subgraph, const std::vector<std::pair<size_t, size_t>>& size,
                const std::vector<std::string>& outputs, std::string* error) {
        const XnnpackFaceModel& m = *model_;
        std::map<size_t, uint32_t> externalId;
        for (size_t i = 0; i < outputs.size(); ++i) {
            const auto it = m.outputValue.find(outputs[i]);
            if (it == m.outputValue.end() || it->second == 0) {
                setError(error, "the network has no output " + outputs[i]);
                return false;
            }
            externalId[it->second] = static_cast<uint32_t>(1 + i);
            const auto [h, w] = size[it->second];
            outputs_.emplace_back(h * w * m.channels[it->second], 0.0f);
        }

        std::vector<uint32_t> ids(m.channels.size(), XNN_INVALID_VALUE_ID);
        const auto tensor = [&](size_t value) {
            const auto [h, w] = size[value];
            const size_t dims[4] = {1, h, w, m.channels[value]};
            uint32_t flags = 0;
            uint32_t external = XNN_INVALID_VALUE_ID;
            if (value == 0) {
                flags = XNN_VALUE_FLAG_EXTERNAL_INPUT;
                external = 0;
            } else if (const auto it = externalId.find(value); it != externalId.end()) {
                flags = XNN_VALUE_FLAG_EXTERNAL_OUTPUT;
                external = it->second;
            }
            return xnn_define_tensor_value(subgraph, xnn_datatype_fp32, 4, dims, nullptr, external,
                                           flags, &ids[value]) == xnn_status_success;
        };
        const auto constant = [&](const std::vector<float>& data, std::vector<size_t> dims,
                                  uint32_t& id) {
            return xnn_define_tensor_value(subgraph, xnn_datatype_fp32, dims.size(), dims.data(),
                                           data.data(), XNN_INVALID_VALUE_ID, 0,
                                           &id) == xnn_status_success;
        };
        if (!tensor(0)) {
            setError(error, "XNNPACK refused the network's input");
            return false;
        }
        constexpr float lowest = -std::numeric_limits<float>::infinity();
        constexpr float highest = std::numeric_limits<float>::infinity();
        for (const XnnpackFaceModel::Op& op : m.ops) {
            if (!tensor(op.output)) {
                setError(error, "XNNPACK refused a tensor of the network");
                return false;
            }
            const float low = op.relu ? 0.0f : lowest;
            const auto k = static_cast<uint32_t>(op.kernel);
            const auto s = static_cast<uint32_t>(op.stride);
            const auto pad = [&](size_t i) { return static_cast<uint32_t>(op.pads[i]); };
            xnn_status status = xnn_status_success;
            uint32_t filter = 0, bias = 0;
            switch (op.kind) {
            case XnnpackFaceModel::Kind::convolution:
                if (!constant(op.filter, {op.outChannels, k, k, op.inChannels}, filter) ||
                    !constant(op.bias, {op.outChannels}, bias))
                    status = xnn_status_invalid_parameter;
                else
                    status = xnn_define_convolution_2d(
                        subgraph, pad(0), pad(3), pad(2), pad(1), k, k, s, s, 1, 1, 1,
                        op.inChannels, op.outChannels, low, highest, ids[op.inputs[0]], filter,
                        bias, ids[op.output], 0);
                break;
            case XnnpackFaceModel::Kind::depthwise:
                if (!constant(op.filter, {1, k, k, op.inChannels}, filter) ||
                    !constant(op.bias, {op.inChannels}, bias))
                    status = xnn_status_invalid_parameter;
                else
                    // This XNNPACK takes the depth multiplier before the channel count.
                    status = xnn_define_depthwise_convolution_2d(
                        subgraph, pad(0), pad(3), pad(2), pad(1), k, k, s, s, 1, 1, 1,
                        op.inChannels, low, highest, ids[op.inputs[0]], filter, bias,
                        ids[op.output], 0);
                break;
            case XnnpackFaceModel::Kind::add:
                status = xnn_define_add2(subgraph, low, highest, ids[op.inputs[0]],
                                         ids[op.inputs[1]], ids[op.output], 0);
                break;
            case XnnpackFaceModel::Kind::maxPool:
                status = xnn_define_max_pooling_2d(subgraph, 0, 0, 0, 0, k, k, s, s, 1, 1, low,
                                                   highest, ids[op.inputs[0]], ids[op.output], 0);
                break;
            case XnnpackFaceModel::Kind::channelPad: {
                const size_t before[4] = {0, 0, 0, op.padBefore};
                const size_t after[4] = {0, 0, 0, op.padAfter};
                status = xnn_define_static_constant_pad(subgraph, before, after, 0.0f,
                                                        ids[op.inputs[0]], ids[op.output], 0);
                break;
            }
            case XnnpackFaceModel::Kind::clamp:
                status =
                    xnn_define_clamp(subgraph, low, highest, ids[op.inputs[0]], ids[op.output], 0);
                break;
            }
            if (status != xnn_status_success) {
                setError(error, "XNNPACK refused an operator of the network");
                return false;
            }
        }
        return true;
    }

    std::shared_ptr<const XnnpackFaceModel> model_;
    std::vector<std::vector<float>> outputs_;
    pthreadpool_t pool_ = nullptr;
    xnn_runtime_t runtime_ = nullptr;
};

class OpenCvFaceNetwork final : public FaceNetwork {
public:
    OpenCvFaceNetwork(cv::dnn::Net net, int width, int height,
                      const std::vector<std::string>& outputs)
        : FaceNetwork(width, height), net_(std::move(net)), names_(outputs.begin(), outputs.end()) {
        const int shape[] = {1, height, width, 3};
        blob_ = cv::Mat(4, shape, CV_32F, input());
    }

    FaceEngine engine() const override { return FaceEngine::opencv; }
    bool run() override {
        try {
            net_.setInput(blob_);
            net_.forward(outputs_, names_);
        } catch (const std::exception&) {
            return false;
        }
        for (const cv::Mat& m : outputs_)
            if (m.type() != CV_32F || !m.isContinuous())
                return false;
        return outputs_.size() == names_.size();
    }
    const float* output(size_t index) const override { return outputs_.at(index).ptr<float>(); }
    size_t outputSize(size_t index) const override { return outputs_.at(index).total(); }

private:
    cv::dnn::Net net_;
    std::vector<cv::String> names_;
    cv::Mat blob_;
    std::vector<cv::Mat> outputs_;
};

} // namespace

std::shared_ptr<const XnnpackFaceModel> prepareXnnpackFaceModel(const OnnxGraph& graph,
                                                                std::string* error) {
    if (!startXnnpack(error))
        return nullptr;
    return ModelBuilder(graph).build(error);
}

std::unique_ptr<FaceNetwork> makeXnnpackFaceNetwork(std::shared_ptr<const XnnpackFaceModel> model,
                                                    int width, int height,
                                                    const std::vector<std::string>& outputs,
                                                    int threads, std::string* error) {
    if (!model || width <= 0 || height <= 0 || width % 32 || height % 32) {
        setError(error, "the input size must be a positive multiple of 32 on each side");
        return nullptr;
    }
    auto network = std::make_unique<XnnpackFaceNetwork>(std::move(model), width, height);
    if (!network->build(outputs, threads, error))
        return nullptr;
    return network;
}

std::unique_ptr<FaceNetwork> makeOpenCvFaceNetwork(const std::vector<char>& modelBytes, int width,
                                                   int height,
                                                   const std::vector<std::string>& outputs,
                                                   std::string* error) {
    try {
        cv::dnn::Net net = cv::dnn::readNetFromONNX(modelBytes.data(), modelBytes.size());
        if (net.empty()) {
            setError(error, "OpenCV found no network in the model");
            return nullptr;
        }
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
        return std::make_unique<OpenCvFaceNetwork>(std::move(net), width, height, outputs);
    } catch (const cv::Exception& e) {
        std::string text = e.err;
        std::replace(text.begin(), text.end(), '\n', ' ');
        setError(error, "OpenCV cannot read the model: " + text);
        return nullptr;
    }
}

} // namespace orlenta
