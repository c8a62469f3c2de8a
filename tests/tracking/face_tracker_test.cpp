#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/tracking/face_tracker.h"
#include "app/tracking/face_tracker_testing.h"

namespace orlenta {
namespace {

constexpr double kTol = 1e-9;
constexpr double kFrame = 1.0 / 30;
// The first rect of a track made from face(100, 200, 80, 100).
const Rect kFrontalTrack{77.36, 181.6, 125.28, 172.8};

Detection face(double x, double y, double w, double h, double yaw = 0) {
    return {{x, y, w, h}, yaw};
}

std::string describe(const Rect& r) {
    std::ostringstream out;
    out.precision(17);
    out << "(" << r.x << ", " << r.y << ", " << r.width << " x " << r.height << ")";
    return out.str();
}

::testing::AssertionResult rectNear(const Rect& actual, const Rect& expected,
                                    double tolerance = kTol) {
    if (std::fabs(actual.x - expected.x) <= tolerance &&
        std::fabs(actual.y - expected.y) <= tolerance &&
        std::fabs(actual.width - expected.width) <= tolerance &&
        std::fabs(actual.height - expected.height) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << describe(actual) << " is not within " << tolerance << " of " << describe(expected);
}

bool allFinite(const std::vector<TrackedFace>& faces) {
    return std::all_of(faces.begin(), faces.end(),
                       [](const TrackedFace& f) { return f.rect.isFinite(); });
}

// The central 92 % of a rectangle: what a matched face's reported rect must always contain.
Rect core(const Rect& r) {
    return r.insetBy(0.04 * r.width, 0.04 * r.height);
}

// Runs empty frames every 0.1 s from `from` (exclusive) up to `to` (inclusive).
void emptyFrames(FaceTracker& tracker, double from, double to) {
    for (int i = 1; from + i * 0.1 <= to + 1e-9; ++i)
        tracker.update({}, from + i * 0.1);
}

TEST(FaceTrackerTest, WorkedExampleCoverBoxesAndNewTrack) {
    const Detection frontal = face(100, 200, 80, 100);
    EXPECT_TRUE(rectNear(FaceTrackerTesting::coverBox(frontal), {82, 188, 116, 160}));

    // Yaw pi/8 is halfway to a profile; the sign of the yaw does not matter.
    EXPECT_TRUE(
        rectNear(FaceTrackerTesting::coverBox(face(100, 200, 80, 100, std::numbers::pi / 8)),
                 {65, 188, 150, 165}));
    EXPECT_TRUE(
        rectNear(FaceTrackerTesting::coverBox(face(100, 200, 80, 100, -std::numbers::pi / 8)),
                 {65, 188, 150, 165}));
    // From 45 degrees on a face is a profile: 2.3 widths by 1.7 heights.
    for (double yaw : {std::numbers::pi / 4, -std::numbers::pi / 2, 3.0}) {
        const Rect profile = FaceTrackerTesting::coverBox(face(100, 200, 80, 100, yaw));
        EXPECT_NEAR(profile.width, 184, kTol) << yaw;
        EXPECT_NEAR(profile.height, 170, kTol) << yaw;
        EXPECT_NEAR(profile.midX(), 140, kTol) << yaw;
        EXPECT_NEAR(profile.minY(), 188, kTol) << yaw;
    }

    FaceTracker tracker;
    const auto faces = tracker.update({frontal}, 10);
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_EQ(faces[0].id, 1);
    EXPECT_FALSE(faces[0].shown);
    EXPECT_TRUE(rectNear(faces[0].rect, kFrontalTrack));
    EXPECT_TRUE(rectNear(FaceTrackerTesting::tracks(tracker)[0].target, kFrontalTrack));
    EXPECT_EQ(FaceTrackerTesting::tracks(tracker)[0].lastSeen, 10);
    EXPECT_EQ(FaceTrackerTesting::lastUpdate(tracker), 10);
    EXPECT_EQ(FaceTrackerTesting::nextID(tracker), 2);
    EXPECT_EQ(tracker.faces(), faces);

    // The face jumps 30 px right and grows: the reported rect takes in the new central 92 % in
    // the same update, while the target is re-centred on the new cover box with the slack.
    const Detection moved = face(130, 205, 90, 110);
    const Rect movedBox = FaceTrackerTesting::coverBox(moved);
    const auto after = tracker.update({moved}, 10 + kFrame);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].id, 1);
    EXPECT_TRUE(after[0].rect.contains(core(movedBox)));
    EXPECT_TRUE(rectNear(FaceTrackerTesting::tracks(tracker)[0].target,
                         movedBox.insetBy(-0.04 * movedBox.width, -0.04 * movedBox.height)));
}

TEST(FaceTrackerTest, FirstUpdateCreatesHiddenTracksInOrderAndZeroStepSnapsOnlyNearTargets) {
    FaceTracker tracker;
    EXPECT_FALSE(FaceTrackerTesting::lastUpdate(tracker).has_value());
    const auto faces = tracker.update(
        {face(100, 100, 80, 100), face(500, 100, 80, 100), face(900, 100, 80, 100)}, 5);
    ASSERT_EQ(faces.size(), 3u);
    for (std::size_t i = 0; i < faces.size(); ++i) {
        EXPECT_EQ(faces[i].id, static_cast<int64_t>(i + 1));
        EXPECT_FALSE(faces[i].shown);
        EXPECT_EQ(faces[i].rect, FaceTrackerTesting::tracks(tracker)[i].target);
    }

    // Open a gap between rect and target: the face moves right far enough to re-centre the target.
    FaceTracker gliding;
    gliding.update({face(100, 200, 80, 100)}, 0);
    gliding.update({face(120, 200, 80, 100)}, 0);
    const Rect target = FaceTrackerTesting::tracks(gliding)[0].target;
    Rect rect = FaceTrackerTesting::tracks(gliding)[0].rect;
    ASSERT_GT(std::fabs(rect.x - target.x), 0.5);

    // With no time passing the rect stays where it is.
    gliding.update({}, 0);
    EXPECT_EQ(FaceTrackerTesting::tracks(gliding)[0].rect, rect);

    // Glide at 30 fps until every edge value is within half a pixel, but not yet equal.
    double now = 0;
    for (int i = 0; i < 100; ++i) {
        rect = FaceTrackerTesting::tracks(gliding)[0].rect;
        if (std::fabs(rect.x - target.x) < 0.5 && std::fabs(rect.width - target.width) < 0.5)
            break;
        now += kFrame;
        gliding.update({}, now);
    }
    rect = FaceTrackerTesting::tracks(gliding)[0].rect;
    ASSERT_NE(rect, target);
    ASSERT_LT(std::fabs(rect.x - target.x), 0.5);
    ASSERT_LT(std::fabs(rect.width - target.width), 0.5);

    // Even without any time passing (alpha 0), a rect that close snaps exactly onto its target.
    gliding.update({}, now);
    EXPECT_EQ(FaceTrackerTesting::tracks(gliding)[0].rect, target);
}

TEST(FaceTrackerTest, GlideMovesByTheClampedTimeStepFraction) {
    // Only minX and width differ between rect and target.
    const auto start = [] {
        FaceTracker tracker;
        tracker.update({face(100, 200, 80, 100)}, 0);
        tracker.update({face(120, 200, 80, 100)}, 0);
        return tracker;
    };
    {
        const FaceTracker tracker = start();
        ASSERT_TRUE(
            rectNear(FaceTrackerTesting::tracks(tracker)[0].rect, {77.36, 181.6, 136, 172.8}));
        ASSERT_TRUE(
            rectNear(FaceTrackerTesting::tracks(tracker)[0].target, {97.36, 181.6, 125.28, 172.8}));
    }

    struct Step {
        double dt;
        double alpha;
    };
    // 30 fps, 60 fps, exactly the clamp, and one- and five-second gaps that must not glide
    // further than a quarter of a second would.
    for (const Step step : {Step{1.0 / 30, 0.39347}, Step{1.0 / 60, 0.22120}, Step{0.25, 0.97648},
                            Step{1.0, 0.97648}, Step{5.0, 0.97648}}) {
        FaceTracker tracker = start();
        // Detected again where it was, so it survives the gap and its target stays put.
        const auto faces = tracker.update({face(120, 200, 80, 100)}, step.dt);
        ASSERT_EQ(faces.size(), 1u);
        const Rect expected{77.36 + step.alpha * 20, 181.6, 136 - step.alpha * 10.72, 172.8};
        EXPECT_TRUE(rectNear(faces[0].rect, expected, 1e-3)) << "dt " << step.dt;
        EXPECT_TRUE(
            rectNear(FaceTrackerTesting::tracks(tracker)[0].target, {97.36, 181.6, 125.28, 172.8}));
    }
    // Without a detection the glide is the same.
    FaceTracker tracker = start();
    EXPECT_TRUE(rectNear(tracker.update({}, kFrame)[0].rect,
                         {77.36 + 0.39347 * 20, 181.6, 136 - 0.39347 * 10.72, 172.8}, 1e-3));
}

TEST(FaceTrackerTest, TracksLiveExactlyHoldSecondsWithoutDetections) {
    FaceTracker tracker;
    tracker.update({face(100, 200, 80, 100), face(600, 200, 80, 100)}, 0);
    ASSERT_TRUE(tracker.toggle(tracker.faces()[1].rect.center()));

    EXPECT_EQ(tracker.update({}, 0.5).size(), 2u);
    EXPECT_EQ(tracker.update({}, FaceTracker::hold).size(), 2u);
    EXPECT_TRUE(FaceTrackerTesting::lostShown(tracker).empty());

    const double later = std::nextafter(FaceTracker::hold, 1.0);
    const Rect shownRect = FaceTrackerTesting::tracks(tracker)[1].rect;
    EXPECT_TRUE(tracker.update({}, later).empty());
    // Only the shown face leaves a memory, with its last rect and the time of the drop.
    ASSERT_EQ(FaceTrackerTesting::lostShown(tracker).size(), 1u);
    EXPECT_EQ(FaceTrackerTesting::lostShown(tracker)[0].rect, shownRect);
    EXPECT_EQ(FaceTrackerTesting::lostShown(tracker)[0].time, later);

    // A memory lives exactly showMemory seconds after the drop, and not a hair longer.
    FaceTracker memory;
    memory.update({face(100, 200, 80, 100)}, 0);
    ASSERT_TRUE(memory.toggle(memory.faces()[0].rect.center()));
    memory.update({}, 1.0);
    ASSERT_EQ(FaceTrackerTesting::lostShown(memory).size(), 1u);
    memory.update({}, 1.0 + FaceTracker::showMemory);
    EXPECT_EQ(FaceTrackerTesting::lostShown(memory).size(), 1u);
    memory.update({}, std::nextafter(1.0 + FaceTracker::showMemory, 10.0));
    EXPECT_TRUE(FaceTrackerTesting::lostShown(memory).empty());
}

TEST(FaceTrackerTest, AssignmentIsGreedyInDetectionOrderAndTiesGoToTheOlderTrack) {
    {
        // Both detections are nearest the one track; the first in the list takes it even though
        // the second sits right on it, and the second becomes a new hidden face.
        FaceTracker tracker;
        tracker.update({face(400, 200, 80, 100)}, 0);
        const auto faces = tracker.update({face(440, 200, 80, 100), face(400, 200, 80, 100)}, 0);
        ASSERT_EQ(faces.size(), 2u);
        EXPECT_EQ(faces[0].id, 1);
        EXPECT_TRUE(
            faces[0].rect.contains(core(FaceTrackerTesting::coverBox(face(440, 200, 80, 100)))));
        EXPECT_EQ(faces[1].id, 2);
        EXPECT_FALSE(faces[1].shown);
    }
    {
        // With a second, farther track within reach, the second detection takes that one.
        FaceTracker tracker;
        tracker.update({face(400, 200, 80, 100), face(560, 200, 80, 100)}, 0);
        const auto faces = tracker.update({face(450, 200, 80, 100), face(420, 200, 80, 100)}, 0);
        ASSERT_EQ(faces.size(), 2u);
        EXPECT_EQ(FaceTrackerTesting::nextID(tracker), 3);
        EXPECT_TRUE(
            faces[0].rect.contains(core(FaceTrackerTesting::coverBox(face(450, 200, 80, 100)))));
        EXPECT_TRUE(
            faces[1].rect.contains(core(FaceTrackerTesting::coverBox(face(420, 200, 80, 100)))));
    }
    {
        // A detection exactly between two equal tracks goes to the older one; a detection a
        // little nearer the younger one goes there.
        FaceTracker tracker;
        tracker.update({face(100, 200, 80, 100), face(300, 200, 80, 100)}, 0);
        ASSERT_EQ(FaceTrackerTesting::tracks(tracker).size(), 2u);
        const Rect before = FaceTrackerTesting::tracks(tracker)[1].rect;
        const Point between = FaceTrackerTesting::coverBox(face(200, 200, 80, 100)).center();
        ASSERT_EQ(distance(between, FaceTrackerTesting::tracks(tracker)[0].rect.center()),
                  distance(between, before.center()));
        tracker.update({face(200, 200, 80, 100)}, 0);
        EXPECT_TRUE(FaceTrackerTesting::tracks(tracker)[0].rect.contains(
            core(FaceTrackerTesting::coverBox(face(200, 200, 80, 100)))));
        EXPECT_EQ(FaceTrackerTesting::tracks(tracker)[1].rect, before);

        FaceTracker other;
        other.update({face(100, 200, 80, 100), face(300, 200, 80, 100)}, 0);
        const Rect older = FaceTrackerTesting::tracks(other)[0].rect;
        other.update({face(201, 200, 80, 100)}, 0);
        EXPECT_EQ(FaceTrackerTesting::tracks(other)[0].rect, older);
        EXPECT_TRUE(FaceTrackerTesting::tracks(other)[1].rect.contains(
            core(FaceTrackerTesting::coverBox(face(201, 200, 80, 100)))));
    }
}

TEST(FaceTrackerTest, MatchRequiresDistanceStrictlyBelowTheLimit) {
    // A face 80 x 125 has a 116 x 200 cover box and a 125.28 x 216 track rect: the limit is 216,
    // and a purely horizontal shift of the face moves the cover box centre by the same amount.
    const Detection original = face(400, 200, 80, 125);
    const auto detectedAt = [&](double x) {
        FaceTracker tracker;
        tracker.update({original}, 0);
        tracker.update({face(x, 200, 80, 125)}, kFrame);
        return tracker.faces();
    };
    const auto distanceAt = [&](double x) {
        const Rect rect = FaceTrackerTesting::coverBox(original).insetBy(-0.04 * 116, -0.04 * 200);
        return distance(FaceTrackerTesting::coverBox(face(x, 200, 80, 125)).center(),
                        rect.center());
    };

    ASSERT_EQ(distanceAt(616), 216);
    const auto atLimit = detectedAt(616);
    ASSERT_EQ(atLimit.size(), 2u);
    EXPECT_EQ(atLimit[1].id, 2);

    const double closer = std::nextafter(616.0, 0.0);
    ASSERT_LT(distanceAt(closer), 216);
    const auto justInside = detectedAt(closer);
    ASSERT_EQ(justInside.size(), 1u);
    EXPECT_EQ(justInside[0].id, 1);
}

TEST(FaceTrackerTest, LostShownFacesComeBackShownWithinMemoryOnly) {
    const Detection person = face(400, 200, 80, 100);
    const Detection nearby = face(410, 195, 84, 104);
    const auto shownThenLost = [&] {
        FaceTracker tracker;
        tracker.update({person}, 0);
        EXPECT_TRUE(tracker.toggle(tracker.faces()[0].rect.center()));
        EXPECT_TRUE(tracker.faces()[0].shown);
        emptyFrames(tracker, 0, 1.0);
        EXPECT_TRUE(tracker.faces().empty());
        EXPECT_EQ(FaceTrackerTesting::lostShown(tracker).size(), 1u);
        return tracker;
    };
    {
        // Within hold the face keeps its own track and id.
        FaceTracker tracker;
        tracker.update({person}, 0);
        tracker.toggle(tracker.faces()[0].rect.center());
        const auto faces = tracker.update({nearby}, 0.7);
        ASSERT_EQ(faces.size(), 1u);
        EXPECT_EQ(faces[0].id, 1);
        EXPECT_TRUE(faces[0].shown);
    }
    {
        // Back 2 s after its last detection: a new id, still shown, and the memory is used up.
        FaceTracker tracker = shownThenLost();
        emptyFrames(tracker, 1.0, 1.9);
        const auto faces = tracker.update({nearby}, 2.0);
        ASSERT_EQ(faces.size(), 1u);
        EXPECT_EQ(faces[0].id, 2);
        EXPECT_TRUE(faces[0].shown);
        EXPECT_TRUE(FaceTrackerTesting::lostShown(tracker).empty());
    }
    {
        // A smaller face comes back: the reach is measured by the wider of the two, here the
        // memory's 125 px rect, not the new 58 px cover box.
        FaceTracker tracker = shownThenLost();
        const auto faces = tracker.update({face(470, 200, 40, 50)}, 1.1);
        ASSERT_EQ(faces.size(), 1u);
        EXPECT_TRUE(faces[0].shown);
    }
    {
        // A face elsewhere does not inherit the memory.
        FaceTracker tracker = shownThenLost();
        const auto faces = tracker.update({face(900, 200, 80, 100)}, 1.1);
        ASSERT_EQ(faces.size(), 1u);
        EXPECT_FALSE(faces[0].shown);
        EXPECT_EQ(FaceTrackerTesting::lostShown(tracker).size(), 1u);
    }
    {
        // Dropped at 0.9 s, forgotten once more than showMemory has passed since then.
        FaceTracker tracker = shownThenLost();
        emptyFrames(tracker, 1.0, 4.8);
        EXPECT_EQ(FaceTrackerTesting::lostShown(tracker).size(), 1u);
        emptyFrames(tracker, 4.8, 5.0);
        EXPECT_TRUE(FaceTrackerTesting::lostShown(tracker).empty());
        const auto faces = tracker.update({nearby}, 5.1);
        ASSERT_EQ(faces.size(), 1u);
        EXPECT_FALSE(faces[0].shown);
    }
}

TEST(FaceTrackerTest, OlderOfTwoNearbyMemoriesIsConsumedFirst) {
    // Wide, short faces so that two tracks can be too far apart to match each other's detection
    // and yet both be close enough to a face between them to pass on their memory.
    const Detection left = face(200, 300, 200, 50);
    const Detection right = face(540, 300, 200, 50);
    const Detection middle = face(370, 300, 200, 50);

    FaceTracker tracker;
    tracker.update({left, right}, 0);
    ASSERT_EQ(FaceTrackerTesting::tracks(tracker).size(), 2u);
    ASSERT_TRUE(tracker.toggle(tracker.faces()[0].rect.center()));
    ASSERT_TRUE(tracker.toggle(tracker.faces()[1].rect.center()));
    const Rect leftRect = FaceTrackerTesting::tracks(tracker)[0].rect;
    // The right face stays in view half a second longer, so its memory is the younger one.
    for (int i = 1; i <= 5; ++i)
        tracker.update({right}, i * 0.1);
    const Rect rightRect = FaceTrackerTesting::tracks(tracker)[1].rect;
    emptyFrames(tracker, 0.5, 1.5);
    ASSERT_TRUE(tracker.faces().empty());
    ASSERT_EQ(FaceTrackerTesting::lostShown(tracker).size(), 2u);
    EXPECT_TRUE(rectNear(FaceTrackerTesting::lostShown(tracker)[0].rect, leftRect));
    EXPECT_TRUE(rectNear(FaceTrackerTesting::lostShown(tracker)[1].rect, rightRect));

    auto faces = tracker.update({middle}, 1.6);
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_TRUE(faces[0].shown);
    ASSERT_EQ(FaceTrackerTesting::lostShown(tracker).size(), 1u);
    EXPECT_TRUE(rectNear(FaceTrackerTesting::lostShown(tracker)[0].rect, rightRect));

    // The younger memory is still there for the next new face near it, even in the same spot.
    faces = tracker.update({middle, middle}, 1.7);
    ASSERT_EQ(faces.size(), 2u);
    EXPECT_TRUE(faces[1].shown);
    EXPECT_EQ(faces[1].id, 4);
    EXPECT_TRUE(FaceTrackerTesting::lostShown(tracker).empty());
}

TEST(FaceTrackerTest, ToggleFlipsTheNarrowestFaceUnderThePoint) {
    FaceTracker tracker;
    // Created in one update so that they stay separate tracks although they overlap.
    tracker.update({face(300, 200, 300, 300), face(400, 250, 80, 100)}, 0);
    const Rect wide = FaceTrackerTesting::tracks(tracker)[0].rect;
    const Rect narrow = FaceTrackerTesting::tracks(tracker)[1].rect;
    ASSERT_TRUE(wide.contains(narrow));

    const auto before = tracker.faces();
    EXPECT_FALSE(tracker.toggle({10, 10}));
    EXPECT_FALSE(tracker.toggle({std::numeric_limits<double>::quiet_NaN(), 300}));
    EXPECT_EQ(tracker.faces(), before);

    EXPECT_TRUE(tracker.toggle(narrow.center()));
    EXPECT_FALSE(tracker.faces()[0].shown);
    EXPECT_TRUE(tracker.faces()[1].shown);

    // The left and bottom edges belong to a rect, the right and top edges do not.
    EXPECT_TRUE(tracker.toggle({narrow.minX(), narrow.midY()}));
    EXPECT_FALSE(tracker.faces()[1].shown);
    EXPECT_TRUE(tracker.toggle({narrow.midX(), narrow.minY()}));
    EXPECT_TRUE(tracker.faces()[1].shown);
    EXPECT_TRUE(tracker.toggle({narrow.maxX(), narrow.midY()}));
    EXPECT_TRUE(tracker.faces()[0].shown);
    EXPECT_TRUE(tracker.faces()[1].shown);
    EXPECT_TRUE(tracker.toggle({narrow.midX(), narrow.maxY()}));
    EXPECT_FALSE(tracker.faces()[0].shown);
    EXPECT_FALSE(tracker.toggle({wide.maxX(), wide.midY()}));

    // Equal widths: the older face is flipped.
    FaceTracker twins;
    twins.update({face(400, 200, 80, 100), face(420, 230, 80, 100)}, 0);
    ASSERT_EQ(FaceTrackerTesting::tracks(twins).size(), 2u);
    const Rect overlap = FaceTrackerTesting::tracks(twins)[0].rect.intersection(
        FaceTrackerTesting::tracks(twins)[1].rect);
    ASSERT_FALSE(overlap.isEmpty());
    EXPECT_TRUE(twins.toggle(overlap.center()));
    EXPECT_TRUE(twins.faces()[0].shown);
    EXPECT_FALSE(twins.faces()[1].shown);
}

TEST(FaceTrackerTest, HidingAFaceForgetsOnlyTheMemoriesNearIt) {
    const Detection kept = face(400, 200, 80, 100);
    const Detection fading = face(430, 210, 80, 100);
    const Detection far = face(1000, 200, 80, 100);

    FaceTracker tracker;
    tracker.update({kept, fading, far}, 0);
    ASSERT_EQ(FaceTrackerTesting::tracks(tracker).size(), 3u);
    // Show all three; clicking where the first two overlap would pick the older one, so click
    // each one away from the other.
    ASSERT_TRUE(tracker.toggle({FaceTrackerTesting::tracks(tracker)[0].rect.minX() + 1,
                                FaceTrackerTesting::tracks(tracker)[0].rect.minY() + 1}));
    ASSERT_TRUE(tracker.toggle({FaceTrackerTesting::tracks(tracker)[1].rect.maxX() - 1,
                                FaceTrackerTesting::tracks(tracker)[1].rect.maxY() - 1}));
    ASSERT_TRUE(tracker.toggle(FaceTrackerTesting::tracks(tracker)[2].rect.center()));
    for (const TrackedFace& f : tracker.faces())
        ASSERT_TRUE(f.shown);

    // Only the first face stays in view; the other two leave memories.
    for (int i = 1; i <= 10; ++i)
        tracker.update({kept}, i * 0.1);
    ASSERT_EQ(FaceTrackerTesting::tracks(tracker).size(), 1u);
    ASSERT_EQ(FaceTrackerTesting::lostShown(tracker).size(), 2u);
    const Rect farMemory = FaceTrackerTesting::lostShown(tracker)[1].rect;

    ASSERT_TRUE(tracker.toggle(FaceTrackerTesting::tracks(tracker)[0].rect.center()));
    EXPECT_FALSE(tracker.faces()[0].shown);
    ASSERT_EQ(FaceTrackerTesting::lostShown(tracker).size(), 1u);
    EXPECT_EQ(FaceTrackerTesting::lostShown(tracker)[0].rect, farMemory);

    // Showing it again leaves the memories alone.
    ASSERT_TRUE(tracker.toggle(FaceTrackerTesting::tracks(tracker)[0].rect.center()));
    EXPECT_EQ(FaceTrackerTesting::lostShown(tracker).size(), 1u);
}

TEST(FaceTrackerTest, HideAllHidesEverythingAndForgetsMemories) {
    FaceTracker tracker;
    tracker.update({face(100, 200, 80, 100), face(600, 200, 80, 100)}, 0);
    tracker.toggle(tracker.faces()[0].rect.center());
    tracker.toggle(tracker.faces()[1].rect.center());
    // The first face leaves while shown; the second stays.
    for (int i = 1; i <= 10; ++i)
        tracker.update({face(600, 200, 80, 100)}, i * 0.1);
    ASSERT_EQ(FaceTrackerTesting::lostShown(tracker).size(), 1u);
    const auto before = tracker.faces();

    tracker.hideAll();
    const auto after = tracker.faces();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_FALSE(after[0].shown);
    EXPECT_EQ(after[0].id, before[0].id);
    EXPECT_EQ(after[0].rect, before[0].rect);
    EXPECT_TRUE(FaceTrackerTesting::lostShown(tracker).empty());
    EXPECT_EQ(FaceTrackerTesting::nextID(tracker), 3);
    EXPECT_EQ(FaceTrackerTesting::lastUpdate(tracker), 1.0);

    // Neither face comes back shown: not the one lost before, nor the one lost after.
    emptyFrames(tracker, 1.0, 2.0);
    EXPECT_TRUE(FaceTrackerTesting::lostShown(tracker).empty());
    const auto back = tracker.update({face(100, 200, 80, 100), face(600, 200, 80, 100)}, 2.1);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_FALSE(back[0].shown);
    EXPECT_FALSE(back[1].shown);
}

TEST(FaceTrackerTest, ResetForgetsEverythingButKeepsIdsCounting) {
    FaceTracker tracker;
    tracker.update({face(100, 200, 80, 100), face(500, 200, 80, 100), face(900, 200, 80, 100)}, 3);
    tracker.toggle(tracker.faces()[0].rect.center());
    emptyFrames(tracker, 3, 4);
    ASSERT_EQ(FaceTrackerTesting::lostShown(tracker).size(), 1u);

    tracker.reset();
    EXPECT_TRUE(tracker.faces().empty());
    EXPECT_TRUE(FaceTrackerTesting::lostShown(tracker).empty());
    EXPECT_FALSE(FaceTrackerTesting::lastUpdate(tracker).has_value());
    EXPECT_EQ(FaceTrackerTesting::nextID(tracker), 4);

    // A new face where the shown one was is hidden, gets the next id, and starts without glide.
    const Detection again = face(100, 200, 80, 100);
    const auto faces = tracker.update({again}, 0.5);
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_EQ(faces[0].id, 4);
    EXPECT_FALSE(faces[0].shown);
    EXPECT_TRUE(rectNear(faces[0].rect, kFrontalTrack));
}

TEST(FaceTrackerTest, BadInputNeverPoisonsTheState) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();

    FaceTracker tracker;
    auto faces = tracker.update({face(nan, 200, 80, 100), face(100, inf, 80, 100),
                                 face(100, 200, -80, 100), face(100, 200, 80, nan),
                                 face(1e300, 200, 80, 100), face(100, 200, 1e300, 100)},
                                0);
    EXPECT_TRUE(faces.empty());
    EXPECT_EQ(FaceTrackerTesting::nextID(tracker), 1);

    // A broken detection next to a good one does not disturb it; a NaN yaw counts as frontal.
    faces = tracker.update({face(nan, nan, nan, nan), face(100, 200, 80, 100, nan)}, 0);
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_TRUE(rectNear(faces[0].rect, kFrontalTrack));

    // Open a gap between rect and target, then feed a NaN time and a time that goes backwards.
    tracker.update({face(120, 200, 80, 100)}, 0);
    const Rect rect = FaceTrackerTesting::tracks(tracker)[0].rect;
    faces = tracker.update({}, nan);
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_EQ(faces[0].rect, rect);
    ASSERT_TRUE(FaceTrackerTesting::lastUpdate(tracker).has_value());
    EXPECT_TRUE(std::isfinite(*FaceTrackerTesting::lastUpdate(tracker)));

    tracker.update({}, 0.1);
    const Rect glided = FaceTrackerTesting::tracks(tracker)[0].rect;
    faces = tracker.update({face(120, 200, 80, 100)}, 0.05);
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_TRUE(rectNear(faces[0].rect, glided));
    EXPECT_TRUE(allFinite(faces));

    // A NaN time on the very first update still creates a track for the face.
    FaceTracker fresh;
    faces = fresh.update({face(100, 200, 80, 100)}, nan);
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_TRUE(allFinite(faces));
    faces = fresh.update({face(100, 200, 80, 100)}, 100);
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_TRUE(allFinite(faces));
}

TEST(FaceTrackerTest, EveryDetectedFaceIsInsideSomeReportedRect) {
    // Faces wander, jump, grow, shrink, turn and come and go; after every update the core of every
    // cover box of that frame must lie inside the rect of some reported face, or it would be left
    // uncovered.
    std::mt19937 random(20240611);
    std::uniform_real_distribution<double> unit(0, 1);
    struct Walker {
        double x, y, w, h, yaw;
        bool present;
    };
    std::vector<Walker> walkers(6);
    for (Walker& walker : walkers)
        walker = {unit(random) * 1100,
                  unit(random) * 500,
                  40 + unit(random) * 160,
                  50 + unit(random) * 180,
                  0,
                  true};

    FaceTracker tracker;
    double now = 0;
    for (int frame = 0; frame < 3000; ++frame) {
        now += unit(random) < 0.05 ? unit(random) * 1.5 : kFrame;
        std::vector<Detection> detections;
        for (Walker& walker : walkers) {
            if (unit(random) < 0.02)
                walker.present = !walker.present;
            const double jump = unit(random) < 0.03 ? 200 : 15;
            walker.x = std::clamp(walker.x + (unit(random) - 0.5) * jump, -100.0, 1300.0);
            walker.y = std::clamp(walker.y + (unit(random) - 0.5) * jump, -100.0, 700.0);
            walker.w = std::clamp(walker.w * (0.9 + unit(random) * 0.2), 20.0, 400.0);
            walker.h = std::clamp(walker.h * (0.9 + unit(random) * 0.2), 25.0, 450.0);
            walker.yaw = (unit(random) - 0.5) * 2.4;
            if (walker.present)
                detections.push_back(face(walker.x, walker.y, walker.w, walker.h, walker.yaw));
        }
        if (unit(random) < 0.01)
            tracker.toggle({unit(random) * 1280, unit(random) * 720});

        const auto faces = tracker.update(detections, now);
        ASSERT_TRUE(allFinite(faces));
        for (const Detection& detection : detections) {
            const Rect needed = core(FaceTrackerTesting::coverBox(detection));
            const bool covered = std::any_of(faces.begin(), faces.end(), [&](const TrackedFace& f) {
                return f.rect.contains(needed.insetBy(1e-9, 1e-9));
            });
            ASSERT_TRUE(covered) << "frame " << frame << " face " << describe(detection.rect);
        }
    }
}

} // namespace
} // namespace orlenta
