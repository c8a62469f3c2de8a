// The tracker's internals for its own tests: the tracks behind the reported faces, the memory of
// lost shown faces, the id counter, the last update time and the cover-box rule. Not part of the
// tracker's contract; only tests include this.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "app/tracking/face_tracker.h"

namespace orlenta {

class FaceTrackerTesting {
public:
    static const auto& tracks(const FaceTracker& tracker) { return tracker.tracks_; }
    static const auto& lostShown(const FaceTracker& tracker) { return tracker.lostShown_; }
    static int64_t nextID(const FaceTracker& tracker) { return tracker.nextID_; }
    static std::optional<double> lastUpdate(const FaceTracker& tracker) {
        return tracker.lastUpdate_;
    }
    static Rect coverBox(const Detection& detection) { return FaceTracker::coverBox(detection); }
};

} // namespace orlenta
