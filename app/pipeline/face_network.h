// The face network as an inference engine runs it: one fixed input size, a float NHWC RGB input
// in [-1, 1], and the named output grids the detector decodes.
//
// Two engines run the same BlazeFace weights:
//   - XNNPACK: the graph is rebuilt, operator by operator, as an XNNPACK subgraph in NHWC for any
//     input size whose sides are multiples of 32 (the layout transposes and the head reshapes
//     vanish, a ReLU after a convolution or an addition becomes that operator's output clamp, and
//     the channel padding built from ConstantOfShape and Concat becomes one constant pad). It has
//     its own thread pool.
//   - OpenCV dnn: the ONNX file as it is, for the one input size the file was made for. It is
//     the fallback where XNNPACK cannot be used, and the reference the XNNPACK path is tested
//     against. It runs on OpenCV's global thread count.
//
// Threads: a network is used from one thread at a time; it owns its input and output buffers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/pipeline/onnx_graph.h"

namespace orlenta {

enum class FaceEngine { xnnpack, opencv };

const char* faceEngineName(FaceEngine engine);

class FaceNetwork {
public:
    virtual ~FaceNetwork() = default;
    virtual FaceEngine engine() const = 0;
    int inputWidth() const { return inputWidth_; }
    int inputHeight() const { return inputHeight_; }
    // The input tensor to fill before run(): inputHeight x inputWidth x 3 floats, NHWC.
    float* input() { return input_.data(); }
    // Runs the network on input(). False when the engine fails; the outputs are then undefined.
    virtual bool run() = 0;
    // The output with the given position in the names passed at creation, row-major, valid
    // until the next run().
    virtual const float* output(size_t index) const = 0;
    // The element count of that output.
    virtual size_t outputSize(size_t index) const = 0;

protected:
    FaceNetwork(int width, int height)
        : inputWidth_(width), inputHeight_(height),
          input_(static_cast<size_t>(width) * static_cast<size_t>(height) * 3, 0.0f) {}

private:
    int inputWidth_;
    int inputHeight_;
    std::vector<float> input_;
};

// The weights and operators of the network, read once and shared by every XNNPACK network made
// from them.
struct XnnpackFaceModel;

// Checks that the graph is the expected kind of network (one NHWC input of 3 channels; only
// the operators above, with the shapes XNNPACK takes) and keeps its weights in XNNPACK's
// layout. Null, with a one-line reason in *error, otherwise, or when XNNPACK cannot start on this
// processor.
std::shared_ptr<const XnnpackFaceModel> prepareXnnpackFaceModel(const OnnxGraph& graph,
                                                                std::string* error);

// An XNNPACK network for one input size (multiples of 32), reporting the named graph outputs
// in NHWC order, on `threads` threads (1: the calling thread only). Null, with a reason in
// *error, when the subgraph cannot be built.
std::unique_ptr<FaceNetwork> makeXnnpackFaceNetwork(std::shared_ptr<const XnnpackFaceModel> model,
                                                    int width, int height,
                                                    const std::vector<std::string>& outputs,
                                                    int threads, std::string* error);

// An OpenCV dnn network from the bytes of an ONNX file made for width x height. Null, with a
// reason in *error, when OpenCV cannot read it.
std::unique_ptr<FaceNetwork> makeOpenCvFaceNetwork(const std::vector<char>& modelBytes, int width,
                                                   int height,
                                                   const std::vector<std::string>& outputs,
                                                   std::string* error);

} // namespace orlenta
