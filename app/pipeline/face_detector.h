// Face detection: the detector interface the pipeline uses, and the BlazeFace implementation.
//
// A detector looks at one BGRA frame and reports each face it finds as a box normalized to the
// frame (0..1, origin BOTTOM-left, y up), with a yaw estimated from facial keypoints where the
// model gives them.
//
// The BlazeFace detector looks at every frame in several passes, because one view of the frame
// cannot see every face a webcam shows:
//   - whole: the frame letterboxed into a 384 x 224 input (faces of about 30 to 400 px wide at
//     1280 x 720);
//   - large: the frame shrunk into a 320 x 192 input with a margin on every side, for faces up to
//     the frame's full height and for large faces cut by an edge;
//   - tiles: four overlapping quarters of the frame, each with a margin where it meets the
//     frame's edge, at almost twice the whole pass's resolution, for faces from 25 px up.
// Every margin holds the frame mirrored at its edge, so that a face cut by the edge keeps the
// context the network expects around a face: its mirror image completes it.
// Video takes the whole pass on every frame, the large pass on every other frame and one tile on
// each of the others, so that a tile comes round every eighth frame (the tracker holds a face
// between visits); a still picture takes every pass.
// The passes' faces are merged into one list by weighted non-maximum suppression.
//
// The network runs on XNNPACK where it can, and otherwise on OpenCV's dnn module (said once in
// the log); both give the same faces within float rounding.
//
// Threads: a detector instance is used from one thread at a time (the pipeline's video queue);
// it keeps its networks and scratch buffers between calls. XNNPACK runs on a thread pool of the
// detector's own.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "app/pipeline/face_network.h"
#include "media/geometry.h"

namespace orlenta {

// Facial keypoints the detector locates, named after the subject's own right and left.
enum class FaceKeypoint { rightEye, leftEye, noseTip, mouthCenter, rightEar, leftEar };

struct FaceObservation {
    Rect boundingBox; // normalized, origin bottom-left
    float confidence = 0;
    // Radians; positive = the subject turned to its own left, which in an unmirrored camera
    // picture is towards image-right (see .cpp). Absent when the keypoints do not allow it.
    std::optional<double> yaw;
    // Normalized like boundingBox, indexed by FaceKeypoint; may lie slightly outside 0..1 for a
    // face cut by the frame's edge.
    std::array<Point, 6> keypoints{};

    Point keypoint(FaceKeypoint k) const { return keypoints[static_cast<std::size_t>(k)]; }
};

// What one detection pass of the last detect() call cost, for benchmarks.
struct DetectionPassCost {
    std::string pass;
    double milliseconds = 0;
};

class FaceDetector {
public:
    virtual ~FaceDetector() = default;
    // The faces of one BGRA (CV_8UC4) frame of any size, most confident first, or absent when
    // the frame is empty, not BGRA, or detection failed for it. Never throws.
    virtual std::optional<std::vector<FaceObservation>> detect(const cv::Mat& bgra) = 0;
    // The passes of the last detect() call and their cost; empty where not measured.
    virtual std::vector<DetectionPassCost> lastPassCosts() const { return {}; }
};

// Faces scoring below this are not reported. Chosen low, to find as many faces as possible at the
// price of some false ones: a missed face is a privacy leak, a false one only covers background.
inline constexpr float defaultFaceScoreThreshold = 0.3f;

struct FaceDetectorOptions {
    // Strictly between 0 and 1.
    float scoreThreshold = defaultFaceScoreThreshold;
    // The engine to use. Absent: XNNPACK, or OpenCV dnn when XNNPACK cannot run the model (the
    // reason is logged once). OpenCV dnn reads one ONNX file per input size, beside the model
    // file: face_detection_back_384x224.onnx, face_detection_back_320x192.onnx and
    // face_detection_back_128x128.onnx.
    std::optional<FaceEngine> engine;
    // XNNPACK's threads (OpenCV dnn uses OpenCV's global setting).
    int threads = 2;
    // Every tile on every frame (still pictures) instead of one tile a frame in turn (video).
    bool everyTileEachFrame = false;
};

// Loads the detector from the model file and runs it once on a blank frame. Absent, with a
// one-line reason in *error, when the file is missing, unreadable or not the expected network, or
// when an option is out of range.
std::unique_ptr<FaceDetector> loadFaceDetector(const std::string& modelPath, std::string* error,
                                               const FaceDetectorOptions& options = {});

// Where the installed or in-tree model is; the first existing of: the installed data folders
// (installedDataDirectories()), the source tree's models folder. Empty when none exists.
std::string defaultFaceModelPath();

} // namespace orlenta
