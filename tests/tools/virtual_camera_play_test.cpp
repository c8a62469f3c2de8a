// orlenta-cover --virtual-camera for real: the built program writes into the daemon binary in the
// private PipeWire session, and a PipeWire reader of the virtual camera looks at what arrives.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <signal.h>
#include <sstream>

#include "app/pipeline/face_detector.h"
#include "camera_service/virtual_camera.h"
#include "media/pixel_buffer.h"
#include "tests/testing/pipewire_session.h"
#include "tests/testing/test_reader.h"

namespace orlenta {
namespace {

using testing::ChildProcess;
using testing::monotonicSeconds;
using testing::TestReader;
using testing::waitUntil;

namespace fs = std::filesystem;

[[maybe_unused]] ::testing::Environment* const session =
    ::testing::AddGlobalTestEnvironment(new testing::PipeWireSessionEnvironment);

const std::string kSourceNode = virtual_camera::sourceNodeName();
const std::string kDemoClip = std::string(ORLENTA_SOURCE_DIR) + "/demo/orlenta-demo.webm";
const std::string kStill = std::string(ORLENTA_SOURCE_DIR) + "/tests/data/astronaut.png";

// Frames that are not the placeholder (the first frame a reader gets before any writer).
size_t framesNotPlaceholder(const TestReader& reader) {
    const auto frames = reader.frames();
    return std::count_if(frames.begin(), frames.end(), [&](const TestReader::Frame& frame) {
        return frame.hash != frames.front().hash;
    });
}

std::string scratch(const std::string& name) {
    return testing::PipeWireSessionEnvironment::directory() + "/" + name;
}

std::unique_ptr<ChildProcess> startDaemon() {
    return std::make_unique<ChildProcess>(std::vector<std::string>{ORLENTA_EXTENSION_BINARY},
                                          scratch("cover-tool-daemon.log"));
}

std::unique_ptr<ChildProcess> startCover(std::vector<std::string> arguments,
                                         const std::string& log) {
    arguments.insert(arguments.begin(), ORLENTA_COVER_PROGRAM);
    return std::make_unique<ChildProcess>(arguments, scratch(log));
}

// The face's covering rectangle in mark space, from the face log of a file run over the still.
std::optional<std::array<double, 4>> faceOfStill() {
    const std::string output = scratch("still-covered.png");
    const std::string faces = scratch("still-faces.jsonl");
    ChildProcess cover({ORLENTA_COVER_PROGRAM, "--style", "box", "--faces", faces, kStill, output},
                       scratch("still-cover.log"));
    if (cover.waitForExit(60) != 0)
        return std::nullopt;
    std::ifstream log(faces);
    std::string line;
    std::getline(log, line);
    const size_t rect = line.find("\"rect\": [");
    if (rect == std::string::npos)
        return std::nullopt;
    std::istringstream numbers(line.substr(rect + 9));
    std::array<double, 4> values{};
    char comma = 0;
    numbers >> values[0] >> comma >> values[1] >> comma >> values[2] >> comma >> values[3];
    if (!numbers)
        return std::nullopt;
    return values;
}

#define ORLENTA_REQUIRE_FACE_MODEL()                                                               \
    do {                                                                                           \
        if (defaultFaceModelPath().empty())                                                        \
            GTEST_SKIP() << "no face model installed (scripts/fetch-model)";                       \
    } while (0)

TEST(SinkCoverTool, PlaysAFileIntoTheVirtualCameraAtItsOwnPaceAndEnds) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    ORLENTA_REQUIRE_FACE_MODEL();
    auto daemon = startDaemon();
    TestReader reader(kSourceNode);
    ASSERT_TRUE(reader.waitForFrames(1, 5)) << daemon->output();

    const double start = monotonicSeconds();
    auto cover = startCover({"--virtual-camera", kDemoClip}, "play-clip.log");
    EXPECT_EQ(cover->waitForExit(60), 0) << cover->output();
    const double took = monotonicSeconds() - start;
    // The 8 s clip plays in real time: never faster than its own clock.
    EXPECT_GE(took, 7.9) << cover->output();
    EXPECT_NE(cover->output().find("orlenta-cover: playing into the virtual camera"),
              std::string::npos)
        << cover->output();
    EXPECT_NE(cover->output().find("orlenta-cover: played "), std::string::npos);
    // The tool sends what it has covered in time; under a sanitizer on a busy machine that may be
    // only a few frames of the clip.
    EXPECT_GE(framesNotPlaceholder(reader), 3u) << "the covered frames reached the reader";
    EXPECT_EQ(daemon->waitForExit(0), -1) << "the daemon is still running";
}

TEST(SinkCoverTool, AStillPlaysAsACameraUntilInterruptedWithItsFaceCovered) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    ORLENTA_REQUIRE_FACE_MODEL();
    const auto face = faceOfStill();
    ASSERT_TRUE(face) << "the file run found the face";
    auto daemon = startDaemon();
    TestReader reader(kSourceNode);
    ASSERT_TRUE(reader.waitForFrames(1, 5)) << daemon->output();

    auto cover =
        startCover({"--virtual-camera", "--loop", "--style", "box", kStill}, "play-still.log");
    ASSERT_TRUE(waitUntil([&] { return framesNotPlaceholder(reader) >= 15; }, 20))
        << cover->output();
    // A picture the tool sent, taken while it still plays (once it stops, the placeholder
    // comes back).
    std::vector<uint8_t> picture;
    ASSERT_TRUE(waitUntil(
        [&] {
            picture = reader.latestFrame();
            return picture.size() == 1280u * 720 * 4 &&
                   testing::hashPicture(picture.data(), 1280, 720, 1280 * 4) !=
                       reader.frames().front().hash;
        },
        10))
        << cover->output();
    cover->signal(SIGINT);
    EXPECT_EQ(cover->waitForExit(10), 130) << cover->output();
    EXPECT_NE(cover->output().find("interrupted after"), std::string::npos) << cover->output();

    // The middle of the face's box, as far as it lies inside the frame (the cover reaches past
    // the top edge), is black in that picture.
    const auto [left, top, boxWidth, boxHeight] = *face;
    const double x = std::clamp(left, 0.0, 1.0);
    const double y = std::clamp(top, 0.0, 1.0);
    const double width = std::clamp(left + boxWidth, 0.0, 1.0) - x;
    const double height = std::clamp(top + boxHeight, 0.0, 1.0) - y;
    ASSERT_GT(width * height, 0.0);
    for (const double dx : {0.3, 0.5, 0.7})
        for (const double dy : {0.3, 0.5, 0.7}) {
            const auto column = static_cast<size_t>((x + width * dx) * 1280);
            const auto row = static_cast<size_t>((y + height * dy) * 720);
            const uint8_t* pixel = &picture[(row * 1280 + column) * 4];
            EXPECT_EQ(pixel[0] + pixel[1] + pixel[2], 0)
                << "at " << column << "," << row << ": the face shows";
        }
}

TEST(SinkCoverTool, WithoutTheVirtualCameraItSaysSoAndFails) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    ORLENTA_REQUIRE_FACE_MODEL();
    auto cover = startCover({"--virtual-camera", kStill}, "play-nowhere.log");
    EXPECT_EQ(cover->waitForExit(30), 1) << cover->output();
    EXPECT_NE(cover->output().find("the virtual camera is not there"), std::string::npos)
        << cover->output();
    EXPECT_NE(cover->output().find("the virtual camera was never reached"), std::string::npos);

    auto missing = startCover({"--virtual-camera", scratch("no-such-clip.webm")}, "missing.log");
    EXPECT_EQ(missing->waitForExit(30), 1) << missing->output();
}

} // namespace
} // namespace orlenta
