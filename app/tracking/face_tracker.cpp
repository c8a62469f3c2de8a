#include "app/tracking/face_tracker.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace orlenta {

namespace {

// The glide never uses a step longer than this, so a stalled camera does not make faces jump
// further than a quarter of a second of motion would.
constexpr double kMaxGlideStep = 0.25;
// Below this difference in every edge value the glide stops and the rect takes the target exactly.
constexpr double kSnapDistance = 0.5;
// Fraction of a cover box trimmed from each side to get the core that a matched rect must contain.
constexpr double kCoreInset = 0.04;
// How much larger than the cover box (with slack) a target may be before it is re-centred.
constexpr double kTargetOversize = 1.3;
// A lost shown face and a new cover box belong together when their centres are closer than this
// fraction of the wider of the two.
constexpr double kMemoryReach = 0.6;
// Detections are expected inside a 1280 x 720 frame. Anything this far out is garbage, and
// refusing it keeps every sum and difference of coordinates finite.
constexpr double kMaxCoordinate = 1e9;

Rect grownBySlack(const Rect& r) {
    return r.insetBy(-FaceTracker::slack * r.width / 2, -FaceTracker::slack * r.height / 2);
}

Rect core(const Rect& r) {
    return r.insetBy(kCoreInset * r.width, kCoreInset * r.height);
}

bool isNear(const Rect& memory, const Rect& face) {
    return distance(memory.center(), face.center()) <
           kMemoryReach * std::max(face.width, memory.width);
}

bool withinBounds(const Rect& r) {
    return r.isFinite() && std::fabs(r.x) <= kMaxCoordinate && std::fabs(r.y) <= kMaxCoordinate &&
           r.width <= kMaxCoordinate && r.height <= kMaxCoordinate;
}

Rect glided(const Rect& rect, const Rect& target, double alpha) {
    if (std::fabs(rect.minX() - target.minX()) < kSnapDistance &&
        std::fabs(rect.minY() - target.minY()) < kSnapDistance &&
        std::fabs(rect.width - target.width) < kSnapDistance &&
        std::fabs(rect.height - target.height) < kSnapDistance)
        return target;
    const auto step = [alpha](double value, double goal) { return value + alpha * (goal - value); };
    return {step(rect.minX(), target.minX()), step(rect.minY(), target.minY()),
            step(rect.width, target.width), step(rect.height, target.height)};
}

} // namespace

Rect FaceTracker::coverBox(const Detection& detection) {
    const Rect& b = detection.rect;
    // A yaw the detector could not make sense of counts as "no yaw", like a missing one.
    const double yaw = std::isfinite(detection.yaw) ? detection.yaw : 0.0;
    const double t = std::min(std::fabs(yaw) / (std::numbers::pi / 4), 1.0);
    const double w = b.width * (1.45 + 0.85 * t);
    const double h = b.height * (1.6 + 0.1 * t);
    return {b.midX() - w / 2, b.minY() - 0.12 * b.height, w, h};
}

std::vector<TrackedFace> FaceTracker::update(const std::vector<Detection>& detections, double now) {
    // The caller promises a finite, non-decreasing clock. If it breaks that promise the tracker
    // still assigns this frame's detections (so the faces stay covered) but keeps NaN out of its
    // stored times and rects: a non-finite time counts as no time passing.
    if (!std::isfinite(now))
        now = lastUpdate_.value_or(0.0);
    const double previous = lastUpdate_.value_or(now);
    const double dt = std::clamp(now - previous, 0.0, kMaxGlideStep);
    lastUpdate_ = now;
    const double alpha = 1 - std::exp(-3 * dt / moveTime);

    for (Track& track : tracks_)
        track.rect = glided(track.rect, track.target, alpha);

    std::vector<bool> claimed(tracks_.size(), false);
    for (const Detection& detection : detections) {
        // The pipeline filters out broken detections before they get here; this check is a second
        // line of defence so that one bad rect cannot spread NaN or infinity into every track.
        if (!withinBounds(detection.rect))
            continue;
        const Rect box = coverBox(detection);
        if (!withinBounds(box) || !withinBounds(grownBySlack(box)))
            continue;

        if (const auto position = bestTrack(box, claimed)) {
            claimed[*position] = true;
            Track& track = tracks_[*position];
            if (!targetStillFits(track.target, box))
                track.target = grownBySlack(box);
            track.rect = track.rect.unionWith(core(box));
            track.lastSeen = now;
            continue;
        }

        Track track;
        track.id = nextID_++;
        track.rect = grownBySlack(box);
        track.target = track.rect;
        track.lastSeen = now;
        const auto memory = std::find_if(lostShown_.begin(), lostShown_.end(),
                                         [&](const LostShown& m) { return isNear(m.rect, box); });
        if (memory != lostShown_.end()) {
            lostShown_.erase(memory);
            track.shown = true;
        }
        tracks_.push_back(track);
        claimed.push_back(true);
    }

    const auto expired = [&](const Track& track) { return now - track.lastSeen > hold; };
    for (const Track& track : tracks_) {
        if (track.shown && expired(track))
            lostShown_.push_back({track.rect, now});
    }
    std::erase_if(tracks_, expired);
    std::erase_if(lostShown_, [&](const LostShown& m) { return now - m.time > showMemory; });

    return faces();
}

std::optional<std::size_t> FaceTracker::bestTrack(const Rect& coverBox,
                                                  const std::vector<bool>& claimed) const {
    std::optional<std::size_t> best;
    double bestScore = 0;
    for (std::size_t i = 0; i < tracks_.size(); ++i) {
        if (i < claimed.size() && claimed[i])
            continue;
        const Rect& rect = tracks_[i].rect;
        const double d = distance(coverBox.center(), rect.center());
        const double limit = std::max({coverBox.width, coverBox.height, rect.width, rect.height});
        if (!(d < limit))
            continue;
        const double score = 1 - d / limit;
        if (!best || score > bestScore) {
            best = i;
            bestScore = score;
        }
    }
    return best;
}

bool FaceTracker::targetStillFits(const Rect& target, const Rect& coverBox) {
    const double maxScale = (slack + 1) * kTargetOversize;
    return target.contains(core(coverBox)) && target.width <= coverBox.width * maxScale &&
           target.height <= coverBox.height * maxScale;
}

bool FaceTracker::toggle(Point at) {
    std::optional<std::size_t> chosen;
    for (std::size_t i = 0; i < tracks_.size(); ++i) {
        if (!tracks_[i].rect.containsHalfOpen(at))
            continue;
        if (!chosen || tracks_[i].rect.width < tracks_[*chosen].rect.width)
            chosen = i;
    }
    if (!chosen)
        return false;

    Track& track = tracks_[*chosen];
    track.shown = !track.shown;
    // A face the user has just hidden must not come back shown from an older memory of it.
    if (!track.shown)
        std::erase_if(lostShown_, [&](const LostShown& m) { return isNear(m.rect, track.rect); });
    return true;
}

std::vector<TrackedFace> FaceTracker::faces() const {
    std::vector<TrackedFace> result;
    result.reserve(tracks_.size());
    for (const Track& track : tracks_)
        result.push_back({track.id, track.rect, track.shown});
    return result;
}

void FaceTracker::hideAll() {
    for (Track& track : tracks_)
        track.shown = false;
    lostShown_.clear();
}

void FaceTracker::reset() {
    tracks_.clear();
    lostShown_.clear();
    lastUpdate_.reset();
}

} // namespace orlenta
