// orlenta-cover's run: from a command line to a covered file.
//
// The frames go through the app's own CameraPipeline. The calling thread is the pipeline's main
// thread (an EventLoop runs on it while frames flow); a reader thread decodes frames and posts
// each to the pipeline's video queue; the pipeline's frame observer (on the video queue) hands
// each covered frame, in order, to a writer queue that encodes it and logs its faces. At most
// two frames are in flight between the reader and the writer, so the reader waits for the
// writer instead of dropping anything. The tracker runs on each frame's media time, so the result
// does not depend on the speed of the machine.
//
// Everything is written to temporary files beside the outputs and renamed over them only when
// the whole run succeeded; any failure leaves the outputs as they were and the input untouched.
// A frame the pipeline could only cover whole (face detection failing) stops the run as a
// failure.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

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
