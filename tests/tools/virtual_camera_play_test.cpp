// orlenta-cover --virtual-camera for real: the built program writes into the daemon binary in the
// private PipeWire session, and a PipeWire reader of the virtual camera looks at what arrives.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>

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

std::unique_ptr<ChildProcess> startCover(std::vector<std::string> arguments,
                                         const std::string& log) {
    arguments.insert(arguments.begin(), ORLENTA_COVER_PROGRAM);
    return std::make_unique<ChildProcess>(arguments, scratch(log));
}

TEST(SinkCoverTool, PlaysAFileAtItsOwnPaceThenAStillUntilInterruptedWithItsFaceCovered) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    if (defaultFaceModelPath().empty())
        GTEST_SKIP() << "no face model installed (scripts/fetch-model)";
    // Without the virtual camera it says so and fails, as it does for a file that is not there.
    auto cover = startCover({"--virtual-camera", kStill}, "play-nowhere.log");
    EXPECT_EQ(cover->waitForExit(30), 1) << cover->output();
    EXPECT_NE(cover->output().find("the virtual camera is not there"), std::string::npos)
        << cover->output();
    EXPECT_NE(cover->output().find("the virtual camera was never reached"), std::string::npos);
    cover = startCover({"--virtual-camera", scratch("no-such-clip.webm")}, "missing.log");
    EXPECT_EQ(cover->waitForExit(30), 1) << cover->output();

    ChildProcess daemon({ORLENTA_EXTENSION_BINARY}, scratch("cover-tool-daemon.log"));
    TestReader reader(kSourceNode);
    ASSERT_TRUE(reader.waitForFrames(1, 5)) << daemon.output();

    const double start = monotonicSeconds();
    cover = startCover({"--virtual-camera", kDemoClip}, "play-clip.log");
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
    const size_t played = framesNotPlaceholder(reader);
    EXPECT_GE(played, 3u) << "the covered frames reached the reader";
    EXPECT_EQ(daemon.waitForExit(0), -1) << "the daemon is still running";

    // A still plays, looped, until interrupted.
    cover = startCover({"--virtual-camera", "--loop", "--style", "box", kStill}, "play-still.log");
    ASSERT_TRUE(waitUntil([&] { return framesNotPlaceholder(reader) >= played + 15; }, 20))
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

    // The still fills the frame (2.5 times, 280 rows cut at the top and bottom): the astronaut's
    // face, columns 185 to 270 and rows 95 to 185 of the picture, spans columns 462 to 675 and
    // rows 0 to 182. Its middle is black in that picture.
    for (const size_t column : {520, 565, 610})
        for (const size_t row : {40, 90, 140}) {
            const uint8_t* pixel = &picture[(row * 1280 + column) * 4];
            EXPECT_EQ(pixel[0] + pixel[1] + pixel[2], 0)
                << "at " << column << "," << row << ": the face shows";
        }
}

} // namespace
} // namespace orlenta
