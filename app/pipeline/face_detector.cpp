// BlazeFace (the "back camera" 256x256 network, rewritten by scripts/fetch-model to take one
// 448x256 input) run with OpenCV's dnn module.
//
// Per frame: the BGRA frame is letterboxed into the 448x256 input (a 16:9 frame fills it but for
// two rows at the top and bottom), converted to RGB in [-1, 1] with the padding at 0, and passed
// as one NHWC tensor. The network scores anchors on two grids (stride 16 with 2 anchors per cell,
// stride 32 with 6) and regresses, relative to each anchor's centre and in input pixels, a box and
// six keypoints. Anchors above the threshold are merged by weighted non-maximum suppression and
// the results mapped back through the letterbox into the frame.
//
// Yaw: the keypoints are projected on the axis from the right eye to the left eye, which removes
// the head's roll. Seen along that axis the head is a cylinder with the ears at -90 and +90
// degrees, so the nose's offset from the ears' midpoint, divided by half the ears' spread, is the
// sine over the cosine of the turn. Turning to the subject's own left moves the nose towards the
// left ear, which gives a positive yaw.
#include "app/pipeline/face_detector.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

namespace orlenta {

namespace {

constexpr int inputWidth = 448;
constexpr int inputHeight = 256;
constexpr std::size_t keypointCount = 6;
constexpr int regressorDepth = 4 + 2 * static_cast<int>(keypointCount);
constexpr float nmsIoU = 0.3f;
constexpr float logitLimit = 100.0f;
constexpr const char* modelFileName = "face_detection_back_448x256.onnx";

struct AnchorGrid {
    int stride;
    int anchorsPerCell;
    const char* scoreOutput;
    const char* regressorOutput;

    int cellsX() const { return inputWidth / stride; }
    int cellsY() const { return inputHeight / stride; }
    int anchorCount() const { return cellsX() * cellsY() * anchorsPerCell; }
};

constexpr AnchorGrid anchorGrids[] = {
    {16, 2, "Identity:0", "Identity_2:0"},
    {32, 6, "Identity_1:0", "Identity_3:0"},
};
constexpr std::size_t gridCount = std::size(anchorGrids);

// One face in input pixels (y down).
struct Candidate {
    float score = 0;
    cv::Rect2f box;
    std::array<cv::Point2f, keypointCount> keypoints{};
};

float iou(const cv::Rect2f& a, const cv::Rect2f& b) {
    const float overlap = (a & b).area();
    const float total = a.area() + b.area() - overlap;
    return total > 0 ? overlap / total : 0;
}

// The score-weighted mean of each cluster of overlapping candidates, reported with the score of
// its best member. Candidates must be sorted by descending score.
std::vector<Candidate> weightedNms(const std::vector<Candidate>& sorted) {
    std::vector<Candidate> merged;
    std::vector<bool> taken(sorted.size(), false);
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (taken[i])
            continue;
        const Candidate& best = sorted[i];
        float weight = 0;
        float x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        std::array<cv::Point2f, keypointCount> keypoints{};
        for (std::size_t j = i; j < sorted.size(); ++j) {
            if (taken[j] || (j != i && iou(best.box, sorted[j].box) <= nmsIoU))
                continue;
            taken[j] = true;
            const Candidate& c = sorted[j];
            weight += c.score;
            x0 += c.score * c.box.x;
            y0 += c.score * c.box.y;
            x1 += c.score * (c.box.x + c.box.width);
            y1 += c.score * (c.box.y + c.box.height);
            for (std::size_t k = 0; k < keypointCount; ++k)
                keypoints[k] += c.score * c.keypoints[k];
        }
        Candidate out;
        out.score = best.score;
        out.box = cv::Rect2f(x0 / weight, y0 / weight, (x1 - x0) / weight, (y1 - y0) / weight);
        for (std::size_t k = 0; k < keypointCount; ++k)
            out.keypoints[k] = keypoints[k] / weight;
        merged.push_back(out);
    }
    return merged;
}

std::optional<double> yawFromKeypoints(const std::array<cv::Point2d, keypointCount>& k) {
    const auto at = [&](FaceKeypoint which) { return k[static_cast<std::size_t>(which)]; };
    const cv::Point2d eyeAxis = at(FaceKeypoint::leftEye) - at(FaceKeypoint::rightEye);
    const double eyeDistance = std::hypot(eyeAxis.x, eyeAxis.y);
    if (!(eyeDistance > 1e-6))
        return std::nullopt;
    const cv::Point2d u = eyeAxis / eyeDistance;
    const double rightEar = u.dot(at(FaceKeypoint::rightEar));
    const double leftEar = u.dot(at(FaceKeypoint::leftEar));
    const double halfSpread = (leftEar - rightEar) / 2;
    // Ears in the wrong order along the eye axis: the keypoints are not a head seen from the front
    // or side, and no turn can be read from them.
    if (!(halfSpread > 1e-6))
        return std::nullopt;
    const double yaw =
        std::atan((u.dot(at(FaceKeypoint::noseTip)) - (rightEar + leftEar) / 2) / halfSpread);
    if (!std::isfinite(yaw))
        return std::nullopt;
    return yaw;
}

std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

void setError(std::string* error, const std::string& message) {
    if (error)
        *error = message;
}

} // namespace

class BlazeFaceDetector final : public FaceDetector {
public:
    BlazeFaceDetector(cv::dnn::Net net, float scoreThreshold)
        : net_(std::move(net)), scoreThreshold_(scoreThreshold) {
        const int blobShape[] = {1, inputHeight, inputWidth, 3};
        blob_.create(4, blobShape, CV_32F);
        blob_.setTo(0);
        // The same memory seen as an image, so that the letterboxed picture is written straight
        // into the tensor.
        blobImage_ = cv::Mat(inputHeight, inputWidth, CV_32FC3, blob_.ptr<float>());
        for (const AnchorGrid& grid : anchorGrids) {
            outputNames_.emplace_back(grid.scoreOutput);
            outputNames_.emplace_back(grid.regressorOutput);
        }
    }

    // Runs the network on the blank input and checks that every output has the expected shape.
    bool selfTest(std::string* error) {
        try {
            runNetwork();
        } catch (const cv::Exception& e) {
            setError(error, "the network does not run on a " + std::to_string(inputWidth) + "x" +
                                std::to_string(inputHeight) + " input: " + oneLine(e.err));
            return false;
        } catch (const std::exception& e) {
            setError(error, "the network does not run: " + oneLine(e.what()));
            return false;
        }
        if (outputs_.size() != 2 * gridCount) {
            setError(error, "the network does not give the expected outputs");
            return false;
        }
        for (std::size_t g = 0; g < gridCount; ++g) {
            const auto anchors = static_cast<std::size_t>(anchorGrids[g].anchorCount());
            const cv::Mat& scores = outputs_[2 * g];
            const cv::Mat& regressors = outputs_[2 * g + 1];
            if (!isFloatTensor(scores, anchors) ||
                !isFloatTensor(regressors, anchors * regressorDepth)) {
                setError(error, std::string("the network's outputs ") + anchorGrids[g].scoreOutput +
                                    " and " + anchorGrids[g].regressorOutput +
                                    " do not have the expected shapes");
                return false;
            }
            if (!cv::checkRange(scores) || !cv::checkRange(regressors)) {
                setError(error, "the network gives non-finite values on a blank frame");
                return false;
            }
        }
        return true;
    }

    std::optional<std::vector<FaceObservation>> detect(const cv::Mat& bgra) override {
        if (bgra.empty() || bgra.type() != CV_8UC4 || bgra.dims != 2)
            return std::nullopt;
        try {
            letterbox(bgra);
            runNetwork();
            return observations(bgra.size());
        } catch (const std::exception&) {
            // cv::Exception from OpenCV, or an allocation failure.
            return std::nullopt;
        }
    }

private:
    static bool isFloatTensor(const cv::Mat& m, std::size_t count) {
        return m.type() == CV_32F && m.isContinuous() && m.total() == count;
    }

    void runNetwork() {
        net_.setInput(blob_);
        net_.forward(outputs_, outputNames_);
    }

    // Scales the frame to fit the input, centred, keeping its aspect ratio. The padding around it
    // stays 0, the scaled value of the middle grey the network expects there.
    void letterbox(const cv::Mat& bgra) {
        if (bgra.size() != frameSize_) {
            const double scale = std::min(static_cast<double>(inputWidth) / bgra.cols,
                                          static_cast<double>(inputHeight) / bgra.rows);
            const int width =
                std::clamp(static_cast<int>(std::lround(bgra.cols * scale)), 1, inputWidth);
            const int height =
                std::clamp(static_cast<int>(std::lround(bgra.rows * scale)), 1, inputHeight);
            content_ =
                cv::Rect((inputWidth - width) / 2, (inputHeight - height) / 2, width, height);
            frameSize_ = bgra.size();
            blob_.setTo(0);
        }
        cv::resize(bgra, resized_, content_.size(), 0, 0, cv::INTER_LINEAR);
        cv::cvtColor(resized_, rgb_, cv::COLOR_BGRA2RGB);
        cv::Mat target = blobImage_(content_);
        rgb_.convertTo(target, CV_32F, 1.0 / 127.5, -1.0);
    }

    std::vector<FaceObservation> observations(cv::Size frame) {
        candidates_.clear();
        for (std::size_t g = 0; g < gridCount; ++g)
            collectCandidates(anchorGrids[g], outputs_[2 * g].ptr<float>(),
                              outputs_[2 * g + 1].ptr<float>());
        std::stable_sort(candidates_.begin(), candidates_.end(),
                         [](const Candidate& a, const Candidate& b) { return a.score > b.score; });

        // Input pixels to frame pixels: undo the centring, then the per-axis scale (the rounding
        // of the content size makes the two scales differ slightly).
        const double scaleX = static_cast<double>(content_.width) / frame.width;
        const double scaleY = static_cast<double>(content_.height) / frame.height;
        const auto toFrame = [&](double x, double y) {
            return cv::Point2d((x - content_.x) / scaleX, (y - content_.y) / scaleY);
        };
        const double width = frame.width;
        const double height = frame.height;

        std::vector<FaceObservation> faces;
        for (const Candidate& c : weightedNms(candidates_)) {
            const cv::Point2d topLeft = toFrame(c.box.x, c.box.y);
            const cv::Point2d bottomRight = toFrame(c.box.x + c.box.width, c.box.y + c.box.height);
            const double x0 = std::clamp(topLeft.x, 0.0, width);
            const double y0 = std::clamp(topLeft.y, 0.0, height);
            const double x1 = std::clamp(bottomRight.x, 0.0, width);
            const double y1 = std::clamp(bottomRight.y, 0.0, height);
            if (!(x1 > x0) || !(y1 > y0))
                continue;

            FaceObservation face;
            face.boundingBox = {x0 / width, 1 - y1 / height, (x1 - x0) / width, (y1 - y0) / height};
            face.confidence = c.score;
            std::array<cv::Point2d, keypointCount> keypoints;
            for (std::size_t k = 0; k < keypointCount; ++k) {
                keypoints[k] = toFrame(c.keypoints[k].x, c.keypoints[k].y);
                face.keypoints[k] = {keypoints[k].x / width, 1 - keypoints[k].y / height};
            }
            face.yaw = yawFromKeypoints(keypoints);
            faces.push_back(face);
        }
        return faces;
    }

    void collectCandidates(const AnchorGrid& grid, const float* scores, const float* regressors) {
        const int cellsX = grid.cellsX();
        const int anchors = grid.anchorCount();
        for (int i = 0; i < anchors; ++i) {
            const float logit = std::clamp(scores[i], -logitLimit, logitLimit);
            const float score = 1.0f / (1.0f + std::exp(-logit));
            // Also drops a NaN score.
            if (!(score >= scoreThreshold_))
                continue;
            const float* r = regressors + static_cast<std::ptrdiff_t>(i) * regressorDepth;
            if (!std::all_of(r, r + regressorDepth, [](float v) { return std::isfinite(v); }))
                continue;
            const int cell = i / grid.anchorsPerCell;
            const auto stride = static_cast<float>(grid.stride);
            const float ax = (static_cast<float>(cell % cellsX) + 0.5f) * stride;
            const float ay = (static_cast<float>(cell / cellsX) + 0.5f) * stride;
            if (!(r[2] > 0) || !(r[3] > 0))
                continue;
            Candidate c;
            c.score = score;
            c.box = cv::Rect2f(ax + r[0] - r[2] / 2, ay + r[1] - r[3] / 2, r[2], r[3]);
            for (std::size_t k = 0; k < keypointCount; ++k)
                c.keypoints[k] = cv::Point2f(ax + r[4 + 2 * k], ay + r[5 + 2 * k]);
            candidates_.push_back(c);
        }
    }

    cv::dnn::Net net_;
    float scoreThreshold_;
    std::vector<cv::String> outputNames_;
    cv::Mat blob_;      // NHWC input tensor, 1 x inputHeight x inputWidth x 3
    cv::Mat blobImage_; // blob_'s memory as an inputHeight x inputWidth CV_32FC3 image
    cv::Size frameSize_;
    cv::Rect content_; // where the frame lands in the input
    cv::Mat resized_;
    cv::Mat rgb_;
    std::vector<cv::Mat> outputs_;
    std::vector<Candidate> candidates_;
};

std::unique_ptr<FaceDetector> loadFaceDetector(const std::string& modelPath, std::string* error) {
    return loadFaceDetector(modelPath, error, defaultFaceScoreThreshold);
}

namespace {

std::unique_ptr<FaceDetector> loadBlazeFace(const std::string& modelPath, std::string* error,
                                            float scoreThreshold) {
    if (!(scoreThreshold > 0 && scoreThreshold < 1)) {
        setError(error, "the face score threshold must be between 0 and 1");
        return nullptr;
    }
    if (modelPath.empty()) {
        setError(error, "no face model path given (is the model installed? run scripts/setup)");
        return nullptr;
    }
    std::error_code ec;
    const auto status = std::filesystem::status(modelPath, ec);
    if (!std::filesystem::exists(status)) {
        setError(error, "face model " + modelPath + " not found (run scripts/fetch-model)");
        return nullptr;
    }
    if (!std::filesystem::is_regular_file(status)) {
        setError(error, "face model " + modelPath + " is not a regular file");
        return nullptr;
    }

    errno = 0;
    std::ifstream file(modelPath, std::ios::binary);
    std::vector<char> bytes;
    if (file)
        bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (!file && !file.eof()) {
        const int cause = errno;
        setError(error,
                 "cannot read face model " + modelPath +
                     (cause != 0 ? std::string(": ") + std::strerror(cause) : std::string()));
        return nullptr;
    }
    if (bytes.empty()) {
        setError(error, "face model " + modelPath + " is empty");
        return nullptr;
    }

    cv::dnn::Net net;
    try {
        net = cv::dnn::readNetFromONNX(bytes.data(), bytes.size());
    } catch (const cv::Exception& e) {
        setError(error,
                 "face model " + modelPath + " is not a usable ONNX network: " + oneLine(e.err));
        return nullptr;
    }
    if (net.empty()) {
        setError(error, "face model " + modelPath + " holds no network");
        return nullptr;
    }
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);

    auto detector = std::make_unique<BlazeFaceDetector>(std::move(net), scoreThreshold);
    std::string reason;
    if (!detector->selfTest(&reason)) {
        setError(error, "face model " + modelPath + ": " + reason);
        return nullptr;
    }
    return detector;
}

} // namespace

std::unique_ptr<FaceDetector> loadFaceDetector(const std::string& modelPath, std::string* error,
                                               float scoreThreshold) {
    try {
        return loadBlazeFace(modelPath, error, scoreThreshold);
    } catch (const std::exception& e) {
        // Out of memory, or an OpenCV failure outside the checks above.
        setError(error, "face model " + modelPath + " could not be loaded: " + oneLine(e.what()));
        return nullptr;
    }
}

std::string defaultFaceModelPath() {
    const std::string candidates[] = {
        std::string(ORLENTA_DATA_INSTALL_DIR) + "/models/blazeface/" + modelFileName,
        std::string(ORLENTA_MODEL_SOURCE_DIR) + "/blazeface/" + modelFileName,
    };
    for (const std::string& path : candidates) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(path, ec))
            return path;
    }
    return {};
}

} // namespace orlenta
