// Face detection: the detector interface the pipeline uses, and the BlazeFace implementation
// on OpenCV's dnn module.
//
// A detector looks at one BGRA frame and reports each face it finds as a box normalized to the
// frame (0..1, origin BOTTOM-left, y up), with a yaw estimated from facial keypoints where the
// model gives them.
//
// Threads: a detector instance is used from one thread at a time (the pipeline's video queue);
// it keeps its network and scratch buffers between calls.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "media/geometry.h"

namespace orlenta {

struct FaceObservation {
    Rect boundingBox; // normalized, origin bottom-left
    float confidence = 0;
    std::optional<double> yaw; // radians; positive = the subject turned to its left (see .cpp)
};

class FaceDetector {
public:
    virtual ~FaceDetector() = default;
    // The faces of one BGRA (CV_8UC4) frame, or absent when detection failed for this frame.
    virtual std::optional<std::vector<FaceObservation>> detect(const cv::Mat& bgra) = 0;
};

class BlazeFaceDetector;

// Loads the detector from the model file. Absent, with a one-line reason in *error, when the file
// is missing, unreadable or not the expected network.
std::unique_ptr<FaceDetector> loadFaceDetector(const std::string& modelPath, std::string* error);

// Where the installed or in-tree model is; the first existing of: the installed data directory,
// the source tree's models folder. Empty when neither exists.
std::string defaultFaceModelPath();

} // namespace orlenta
