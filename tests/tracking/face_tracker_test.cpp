// The face tracker through its public calls only: cover boxes, and scenarios of faces coming,
// going, being clicked and coming back, each written as a table of steps.
#include <algorithm>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "app/tracking/face_tracker.h"
#include "app/tracking/face_tracker_testing.h"

namespace orlenta {
namespace {

constexpr double kFrame = 1.0 / 30;
const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

Detection face(double x, double y, double w, double h, double yaw = 0) {
    return {{x, y, w, h}, yaw};
}

// The central 92 % of a detection's cover box: what a matched face's rect must always contain.
Rect core(const Detection& d) {
    const Rect box = FaceTrackerTesting::coverBox(d);
    return box.insetBy(0.04 * box.width, 0.04 * box.height);
}

// The rect of a face seen once: its cover box grown by the slack.
Rect firstRect(const Detection& d) {
    const Rect box = FaceTrackerTesting::coverBox(d);
    return box.insetBy(-FaceTracker::slack * box.width / 2, -FaceTracker::slack * box.height / 2);
}

Point centre(const Detection& d) {
    return FaceTrackerTesting::coverBox(d).center();
}

TEST(FaceTrackerTest, CoverBoxWidensWithTheYawUpToAProfile) {
    const Rect frontal{82, 188, 116, 160};
    const Rect halfway{65, 188, 150, 165};
    const Rect profile{48, 188, 184, 170}; // 2.3 widths by 1.7 heights
    const std::pair<double, Rect> cases[] = {{nan, frontal},
                                             {-std::numbers::pi / 8, halfway},
                                             {std::numbers::pi / 4, profile},
                                             {3.0, profile}};
    for (const auto& [yaw, e] : cases) {
        const Rect box = FaceTrackerTesting::coverBox(face(100, 200, 80, 100, yaw));
        EXPECT_LT(std::max({std::fabs(box.x - e.x), std::fabs(box.y - e.y),
                            std::fabs(box.width - e.width), std::fabs(box.height - e.height)}),
                  1e-9)
            << "yaw " << yaw << ": " << box.x << ", " << box.y << ", " << box.width << " x "
            << box.height;
    }
}

// One step of a scenario: an update at a time with detections, a click at a point (output pixels),
// Hide All, or a reset; `act` answers whether a click flipped a face. `expect` lists the faces
// afterwards: "1 2s" is face 1 hidden and face 2 shown; when it holds an '@', each face is
// followed by the indices of this step's detections whose core its rect contains ("1@01 2@1").
struct Step {
    std::function<bool(FaceTracker&)> act;
    std::string expect;
    std::vector<Detection> seen = {};
    bool click = false;
};
Step at(double t, std::vector<Detection> seen, std::string expect) {
    return {[=](FaceTracker& f) { return f.update(seen, t), true; }, std::move(expect), seen};
}
Step click(Point p, std::string expect) {
    return {[=](FaceTracker& f) { return f.toggle(p); }, std::move(expect), {}, true};
}
Step hideAll(std::string expect) {
    return {[](FaceTracker& f) { return f.hideAll(), true; }, std::move(expect)};
}
Step reset() {
    return {[](FaceTracker& f) { return f.reset(), true; }, ""};
}

std::string describe(const std::vector<TrackedFace>& faces, const std::vector<Detection>& seen,
                     bool covers) {
    std::string out;
    for (const TrackedFace& f : faces) {
        out += (out.empty() ? "" : " ") + std::to_string(f.id) + (f.shown ? "s" : "");
        if (covers) {
            out += "@";
            for (std::size_t i = 0; i < seen.size(); ++i)
                if (f.rect.contains(core(seen[i])))
                    out += std::to_string(i);
        }
    }
    return out;
}

TEST(FaceTrackerTest, ScenariosOfIdentityLifetimeMemoryAndClicks) {
    const Detection a = face(100, 200, 80, 100);
    const Detection nearA = face(110, 195, 84, 104);
    const Detection b = face(600, 200, 80, 100);
    const Detection far = face(1000, 200, 80, 100);
    const Detection p = face(400, 200, 80, 100);
    // Wide, short faces: the outer two are too far apart to match each other's detection, yet
    // both close enough to the middle one to pass on their memory.
    const Detection left = face(200, 300, 200, 50);
    const Detection right = face(540, 300, 200, 50);
    const Detection middle = face(370, 300, 200, 50);
    // Two overlapping faces, clicked each away from the other.
    const Detection kept = face(400, 200, 80, 100);
    const Detection fading = face(430, 210, 80, 100);
    const Point keptCorner{firstRect(kept).minX() + 1, firstRect(kept).minY() + 1};
    const Point fadingCorner{firstRect(fading).maxX() - 1, firstRect(fading).maxY() - 1};
    // Three faces, the second inside the first; the third as wide as the second, overlapping it.
    const Detection wide = face(300, 200, 300, 300);
    const Detection narrow = face(400, 250, 80, 100);
    const Rect n = firstRect(narrow);
    const Rect w = firstRect(wide);
    const Detection twin = face(420, 280, 80, 100);
    const Point overlap = n.intersection(firstRect(twin)).center();

    struct Scenario {
        const char* name;
        std::vector<Step> steps;
    };
    const Scenario scenarios[] = {
        {"new faces are hidden, numbered in order, and live exactly hold seconds unseen",
         {at(0, {a, b, far}, "1@0 2@1 3@2"), at(FaceTracker::hold, {}, "1 2 3"),
          at(std::nextafter(FaceTracker::hold, 1.0), {}, ""), at(1, {a}, "4")}},
        {"a shown face keeps its track within hold",
         {at(0, {a}, "1"), click(centre(a), "1s"), at(0.7, {nearA}, "1s")}},
        {"a lost shown face comes back shown within showMemory, once",
         {at(1, {a}, "1"), click(centre(a), "1s"), at(2, {}, ""),
          at(2 + FaceTracker::showMemory, {}, ""), at(2 + FaceTracker::showMemory, {nearA}, "2s"),
          at(6, {nearA, a}, "2s 3")}},
        {"a memory is forgotten once showMemory has passed",
         {at(1, {a}, "1"), click(centre(a), "1s"), at(2, {}, ""),
          at(std::nextafter(2 + FaceTracker::showMemory, 10.0), {}, ""), at(6.1, {nearA}, "2")}},
        {"a face elsewhere does not take the memory, which stays for the right one",
         {at(1, {a}, "1"), click(centre(a), "1s"), at(2, {}, ""), at(2.5, {far}, "2"),
          at(2.5, {far, nearA}, "2 3s")}},
        {"the older of two nearby memories is taken first",
         {at(0, {left, right}, "1 2"), click(centre(left), "1s 2"), click(centre(right), "1s 2s"),
          at(0.5, {right}, "1s 2s"), at(1, {}, "2s"), at(1.5, {}, ""), at(1.6, {middle}, "3s"),
          at(1.7, {middle, left, middle}, "3s 4 5s")}},
        {"hiding a face forgets the memories near it only; showing it forgets none",
         {at(0, {kept, fading, far}, "1 2 3"), click(keptCorner, "1s 2 3"),
          click(fadingCorner, "1s 2s 3"), click(centre(far), "1s 2s 3s"), at(1, {kept}, "1s"),
          click(centre(kept), "1"), click(centre(kept), "1s"),
          at(1.5, {kept, fading, far}, "1s 4 5s")}},
        {"Hide All hides every face and forgets every memory",
         {at(0, {a, b}, "1 2"), click(centre(a), "1s 2"), click(centre(b), "1s 2s"),
          at(1, {b}, "2s"), hideAll("2"), at(2, {}, ""), at(2.1, {a, b}, "3 4")}},
        {"reset forgets faces and memories, and ids keep counting",
         {at(3, {a, b, far}, "1 2 3"), click(centre(a), "1s 2 3"), at(4, {}, ""), reset(),
          at(0.5, {a}, "4")}},
        {"detections take the nearest free track in detection order",
         {at(0, {p}, "1@0"), at(0, {face(440, 200, 80, 100), p}, "1@01 2@1")}},
        {"a click flips the narrowest face under it; left and bottom edges belong to a face",
         {at(0, {wide, narrow}, "1 2"), click({10, 10}, "1 2"), click({nan, 300}, "1 2"),
          click(n.center(), "1 2s"), click({n.minX(), n.midY()}, "1 2"),
          click({n.midX(), n.minY()}, "1 2s"), click({n.maxX(), n.midY()}, "1s 2s"),
          click({n.midX(), n.maxY()}, "1 2s"), click({w.maxX(), w.midY()}, "1 2s")}},
        {"of two faces as wide, a click flips the older",
         {at(0, {narrow, twin}, "1 2"), click(overlap, "1s 2")}},
        {"broken detections are ignored, a broken yaw counts as frontal",
         {at(0,
             {face(nan, 200, 80, 100), face(100, inf, 80, 100), face(100, 200, -80, 100),
              face(100, 200, 80, nan), face(1e300, 200, 80, 100), face(100, 200, 1e300, 100),
              face(nan, nan, nan, nan)},
             ""),
          at(0, {face(nan, nan, nan, nan), face(100, 200, 80, 100, nan)}, "1@1"), at(0, {}, "1")}},
        {"a clock that is not finite or goes backwards keeps the face and its rect finite",
         {at(nan, {a}, "1@0"), at(100, {a}, "1@0"), at(nan, {nearA}, "1@0"), at(50, {a}, "1@0"),
          at(50.2, {nearA}, "1@0")}},
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        FaceTracker tracker;
        for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
            const Step& step = scenario.steps[i];
            const auto before = tracker.faces();
            const bool hit = step.act(tracker);
            const auto faces = tracker.faces();
            EXPECT_EQ(describe(faces, step.seen, step.expect.find('@') != std::string::npos),
                      step.expect)
                << "step " << i;
            // A click says whether it flipped a face.
            if (step.click) {
                EXPECT_EQ(hit, faces != before) << "step " << i;
            }
            for (const TrackedFace& f : faces)
                EXPECT_TRUE(f.rect.isFinite()) << "step " << i;
        }
    }
}

TEST(FaceTrackerTest, EveryDetectedFaceIsInsideSomeReportedRect) {
    // Faces wander, jump, grow, shrink, turn and come and go; after every update the core of every
    // cover box of that frame must lie inside the rect of some reported face, or it would be left
    // uncovered.
    std::mt19937 random(20240611);
    std::uniform_real_distribution<double> unit(0, 1);
    struct Walker {
        double x, y, w, h;
        bool present;
    };
    std::vector<Walker> walkers(6);
    for (Walker& walker : walkers)
        walker = {unit(random) * 1100, unit(random) * 500, 40 + unit(random) * 160,
                  50 + unit(random) * 180, true};

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
            const double yaw = (unit(random) - 0.5) * 2.4;
            if (walker.present)
                detections.push_back(face(walker.x, walker.y, walker.w, walker.h, yaw));
        }
        if (unit(random) < 0.01)
            tracker.toggle({unit(random) * 1280, unit(random) * 720});

        const auto faces = tracker.update(detections, now);
        for (const Detection& detection : detections) {
            const Rect needed = core(detection).insetBy(1e-9, 1e-9);
            const bool covered = std::any_of(faces.begin(), faces.end(), [&](const TrackedFace& f) {
                return f.rect.isFinite() && f.rect.contains(needed);
            });
            ASSERT_TRUE(covered) << "frame " << frame << " face at " << detection.rect.x << ", "
                                 << detection.rect.y;
        }
    }
}

} // namespace
} // namespace orlenta
