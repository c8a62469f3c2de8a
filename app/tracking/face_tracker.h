// FaceTracker: stable identities, smoothed covering rectangles and the user's show/hide choice
// for the faces of a video.
//
// Each frame's detections come in through update(detections:now:); the tracker matches them to
// the faces it follows, widens each face box into the rectangle that covers the head (coverBox),
// lets each face's reported rectangle glide towards its target, keeps a face alive for `hold`
// seconds without detections, and remembers for `showMemory` seconds where a face the user chose
// to show was lost, so that it comes back shown. New faces are hidden (covered).
//
// Space: pixels of the 1280 x 720 output frame, origin bottom-left, y up.
// Time: seconds of a monotonic clock passed in by the caller; non-decreasing between calls.
//
// Threads: not thread-safe; the pipeline calls it only from its serial video queue. The lists it
// returns are copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "media/geometry.h"

namespace orlenta {

// One detected face handed to the tracker: the detector's face box and the head's yaw in radians
// (0 when the detector gives none).
struct Detection {
    Rect rect;
    double yaw = 0;
};

// One face as the tracker reports it. shown = true means the user chose to show it uncovered.
struct TrackedFace {
    int64_t id = 0;
    Rect rect;
    bool shown = false;
    friend bool operator==(const TrackedFace&, const TrackedFace&) = default;
};

class FaceTracker {
public:
    FaceTracker() = default;

    // Matches the detections to the tracks, ages and drops tracks, and returns every track.
    // Defensive about input the caller should already have filtered: a detection whose rect is not
    // finite, has a negative size or lies absurdly far outside the frame is ignored, a non-finite
    // yaw counts as frontal, and a non-finite `now` or one earlier than the previous call makes
    // nothing glide in that update.
    std::vector<TrackedFace> update(const std::vector<Detection>& detections, double now);
    // Flips the narrowest face whose rect contains the point (half-open); false if none does.
    bool toggle(Point at);
    std::vector<TrackedFace> faces() const;
    // Hides every face and forgets every lost shown face.
    void hideAll();
    // Forgets every face and memory; ids keep counting from where they were.
    void reset();

    // Tuning, fixed for the life of the tracker.
    static constexpr double moveTime = 0.2;
    static constexpr double hold = 0.8;
    static constexpr double showMemory = 4.0;
    static constexpr double slack = 0.08;

private:
    friend class FaceTrackerTesting;

    struct Track {
        int64_t id = 0;
        Rect rect;
        Rect target;
        double lastSeen = 0;
        bool shown = false;
    };
    struct LostShown {
        Rect rect;
        double time = 0;
    };

    // The covering rectangle for one detection.
    static Rect coverBox(const Detection& detection);
    // Position of the best unclaimed track for a cover box: the nearest centre, scored against the
    // larger of the two rectangles; ties go to the older track. Absent when none is close enough.
    std::optional<std::size_t> bestTrack(const Rect& coverBox,
                                         const std::vector<bool>& claimed) const;
    // True when a track's target may stay put for this cover box: the box's core lies inside it
    // and the target is not much larger than the box.
    static bool targetStillFits(const Rect& target, const Rect& coverBox);

    std::vector<Track> tracks_;
    std::vector<LostShown> lostShown_;
    int64_t nextID_ = 1;
    std::optional<double> lastUpdate_;
};

} // namespace orlenta
