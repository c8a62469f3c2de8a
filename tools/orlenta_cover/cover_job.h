// orlenta-cover's run: from a command line to a covered file.
//
// A video is decoded and encoded by GStreamer (VideoTranscoder) at its own size, with its
// timestamps and its other tracks; a detecting thread finds the faces of each decoded frame on
// a scaled copy with the app's detector and tracker (FrameFaces), and a writing thread covers
// them at full size and hands the frame to the encoder. Decoding, detecting, covering and
// encoding thus overlap. The detecting thread holds the last seven frames back (copies of their
// pictures) and covers a face found for the first time in those too, since the detector may find
// a small face only when its quarter of the frame comes round. At most two frames wait between the stages, so a faster stage waits
// for a slower one instead of dropping anything. The tracker runs on each frame's media time, so
// the result does not depend on the speed of the machine. An image is covered the same way on
// the calling thread.
//
// Everything is written to temporary files beside the outputs and renamed over them only when
// the whole run succeeded; any failure leaves the outputs as they were and the input untouched.
// A frame the pipeline could only cover whole (face detection failing) stops the run as a
// failure.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/pipeline/cover_style.h"
#include "app/pipeline/face_detector.h"

namespace orlenta {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

// Runs the tool on the arguments (without the program name) and returns its exit status. Errors
// are one line on standard error, "orlenta-cover: ..."; --help prints the usage on standard output.
int runCoverTool(const std::vector<std::string>& arguments);

// Asks a running runCoverTool to stop as soon as it can and fail with kExitInterrupted. Safe from
// any thread (not from a signal handler: call it from a thread that waits for signals).
void requestCoverInterrupt();
// Whether requestCoverInterrupt() was called. Safe from any thread.
bool coverInterruptRequested();

// Covers one video file into output (.webm, .mp4 or .mkv) as the tool does, without face log or
// progress bar, for benchmarks. atEnd, when given, runs once the file is complete and before the
// working threads end.
struct VideoCoverResult {
    std::string failure; // empty on success
    int64_t frames = 0;
    double seconds = 0;
};
VideoCoverResult coverVideoFile(const std::filesystem::path& input,
                                const std::filesystem::path& output,
                                std::unique_ptr<FaceDetector> detector, CoverStyle style,
                                const std::function<void()>& atEnd);

// What the file run and the virtual-camera run share:
// Writes "orlenta-cover: MESSAGE" as one line on standard error, after anything pending on
// standard output.
void printCoverMessage(const std::string& message);
// A file name as the messages show it, in single quotes.
std::string quotedPath(const std::filesystem::path& path);
// The face model named by --model (modelPath), or the installed one when modelPath is empty. Null
// when there is none or it does not load, with the line to show in *error. A detector for a still
// picture runs every detection pass on its one frame.
std::unique_ptr<FaceDetector> loadCoverFaceModel(const std::string& modelPath, std::string* error,
                                                 bool stillPicture = false);

} // namespace orlenta
