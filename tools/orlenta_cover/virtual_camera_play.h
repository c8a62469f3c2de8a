// orlenta-cover --virtual-camera: plays the covered frames of a file as the virtual camera.
//
// The frames go through the app's own CameraPipeline, whose frame sink is a VirtualCameraSink on
// the PipeWire camera system, driven as the app drives it: a connect check at start, every 2.0 s
// and whenever the system's device list changes, with the result reported on standard error
// when it changes. A reader thread decodes the input and hands each frame to the pipeline's video
// queue at the frame's own time, so the file plays in real time at its frame rate; a frame that
// is already late, or finds two frames still being processed, is skipped rather than delayed.
// With --loop the input starts over at its end until the run is interrupted; otherwise the run
// ends after the last frame.
//
// The tracker runs on the host clock, as in the app. Frames whose faces cannot be looked for go
// out black (the pipeline fails closed); the run says so once and goes on.
//
// Threads: the calling thread is the pipeline's main thread (an EventLoop runs on it), the reader
// thread feeds the video queue, the video queue covers and sends.
#pragma once

#include "tools/orlenta_cover/cover_options.h"

namespace orlenta {

// Runs the play and returns the exit status: kExitSuccess when the input was played to its end
// and the virtual camera was reached, kExitFailure when the input, the model or PipeWire fail or
// the virtual camera was never reached, kExitInterrupted when interrupted (the usual end with
// --loop). Errors and state changes are lines on standard error, "orlenta-cover: ...".
int playToVirtualCamera(const CoverOptions& options);

} // namespace orlenta
