// What orlenta-cover tells the user: the face log (one JSON line per frame), the progress bar on
// a terminal, and the closing summary.
//
// Face log line, one per frame, in frame order:
//   {"frame": 0, "time": 0.033, "faces": [{"id": 1, "rect": [x, y, w, h],
//    "pixels": [x, y, w, h], "shown": false}]}
// "time" is the frame's media time in seconds; "rect" is the face's covering rectangle as a share
// of the frame (0..1, origin top-left, y down) and "pixels" the same rectangle in the frame's
// pixels (rounded outwards to whole pixels, not clipped to the frame).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/tracking/face_tracker.h"

namespace orlenta {

// One face-log line, without the line break. Faces are in the pixels of a frame of the given
// size, origin bottom-left, y up.
std::string faceLogLine(int64_t frameIndex, double seconds, const std::vector<TrackedFace>& faces,
                        int frameWidth, int frameHeight);

// "orlenta-cover: 240 frames, 2 faces seen, 31.4 fps" (faces = distinct face ids).
std::string summaryLine(int64_t frames, size_t facesSeen, double elapsedSeconds);

// A one-line progress bar redrawn in place with "\r". Drawn only when enabled (standard error
// is a terminal); at most about ten redraws a second. Called from one thread at a time.
// In a run over several files the one bar covers the whole run: file `index` of `count` fills
// its share of it.
struct BatchPosition {
    size_t index = 0;
    size_t count = 1;
};

class ProgressLine {
public:
    ProgressLine(std::FILE* stream, bool enabled, std::optional<int64_t> totalFrames,
                 BatchPosition batch = {});
    void update(int64_t framesDone, double elapsedSeconds);
    // Erases the bar so that the next line starts clean.
    void clear();

private:
    std::FILE* stream_;
    bool enabled_;
    std::optional<int64_t> total_;
    BatchPosition batch_;
    double lastDrawn_ = -1;
    bool drawn_ = false;
};

} // namespace orlenta
