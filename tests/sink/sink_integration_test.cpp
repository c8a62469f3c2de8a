// The sink connection for real: VirtualCameraSink over the PipeWire camera system, driven as the
// pipeline drives it (SinkLoop), writing into the daemon binary in a private PipeWire session,
// with a PipeWire reader of the virtual camera on the other end.
#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <signal.h>
#include <sstream>

#include "camera_service/pipewire_camera_system.h"
#include "camera_service/virtual_camera.h"
#include "extension/placeholder.h"
#include "media/log.h"
#include "sink_loop.h"
#include "tests/testing/pipewire_session.h"
#include "tests/testing/test_reader.h"

namespace orlenta {
namespace {

using testing::ChildProcess;
using testing::monotonicSeconds;
using testing::SinkLoop;
using testing::TestReader;
using testing::waitUntil;

[[maybe_unused]] ::testing::Environment* const session =
    ::testing::AddGlobalTestEnvironment(new testing::PipeWireSessionEnvironment);

// The placeholder is drawn here too (to tell it apart from the app's pictures).
class FontCaches final : public ::testing::Environment {
public:
    void TearDown() override { releasePlaceholderFontCaches(); }
};
[[maybe_unused]] ::testing::Environment* const fontCaches =
    ::testing::AddGlobalTestEnvironment(new FontCaches);

const std::string kSourceNode = virtual_camera::sourceNodeName();

std::unique_ptr<ChildProcess> startDaemon() {
    static int count = 0;
    const std::string log = testing::PipeWireSessionEnvironment::directory() + "/sink-daemon-" +
                            std::to_string(++count) + ".log";
    return std::make_unique<ChildProcess>(std::vector<std::string>{ORLENTA_EXTENSION_BINARY}, log);
}

std::shared_ptr<PipeWireCameraSystem> makeSystem() {
    std::string error;
    auto system = PipeWireCameraSystem::create({"sink integration test", {}}, &error);
    EXPECT_TRUE(system) << error;
    return system;
}

// The virtual camera's device with both of its streams listed.
std::optional<CameraObjectId> publishedDevice(const CameraSystem& system) {
    for (const CameraObjectId device : system.devices())
        if (system.deviceUniqueId(device) == std::string(virtual_camera::kDeviceId) &&
            system.deviceStreams(device).size() == 2)
            return device;
    return std::nullopt;
}

size_t ourFramesAfter(const TestReader& reader, double since) {
    size_t count = 0;
    for (const auto& frame : reader.frames())
        count += frame.arrival >= since && SinkLoop::isOurPicture(frame.hash) ? 1 : 0;
    return count;
}

bool waitForOurFrame(const TestReader& reader, double since, double timeoutSeconds) {
    return waitUntil([&] { return ourFramesAfter(reader, since) > 0; }, timeoutSeconds);
}

// The inodes of the memfds a process has mapped.
std::set<uint64_t> mappedMemfdInodes(pid_t pid) {
    std::set<uint64_t> inodes;
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("/memfd:") == std::string::npos)
            continue;
        std::istringstream fields(line);
        std::string address, permissions, offset, device;
        uint64_t inode = 0;
        fields >> address >> permissions >> offset >> device >> inode;
        inodes.insert(inode);
    }
    return inodes;
}

double longestSend(const std::vector<SinkLoop::SentFrame>& frames, double from, double to) {
    double longest = 0;
    for (const auto& frame : frames)
        if (frame.sentAt >= from && frame.sentAt < to)
            longest = std::max(longest, frame.sendDuration);
    return longest;
}

// Sends a stopped process on when the test ends, however it ends.
struct ResumeOnExit {
    ChildProcess& process;
    ~ResumeOnExit() { process.signal(SIGCONT); }
};

TEST(SinkIntegration, WithoutTheDaemonChecksFailAndItsArrivalConnectsAtOnce) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto system = makeSystem();
    ASSERT_TRUE(system);
    SinkLoop loop(system, {});
    loop.start();
    ASSERT_TRUE(loop.waitForCheck(false, 3)) << "no virtual camera, no link";
    EXPECT_FALSE(loop.sinkConnected());

    // The device-list change brings a check; the 2.0 s timer is not waited for.
    auto daemon = startDaemon();
    ASSERT_TRUE(waitUntil([&] { return publishedDevice(*system).has_value(); }, 5))
        << daemon->output();
    const double appeared = monotonicSeconds();
    ASSERT_TRUE(waitUntil([&] { return loop.sinkConnected(); }, 5));
    EXPECT_LT(monotonicSeconds() - appeared, 1.0);
    EXPECT_EQ(loop.deviceId(), *publishedDevice(*system));
}

TEST(SinkIntegration, FramesReachAReaderInThePoolBuffersOwnMemory) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto daemon = startDaemon();
    auto system = makeSystem();
    ASSERT_TRUE(system);
    ASSERT_TRUE(waitUntil([&] { return publishedDevice(*system).has_value(); }, 5))
        << daemon->output();
    TestReader reader(kSourceNode);
    ASSERT_TRUE(reader.waitForFrames(1, 5));

    SinkLoop loop(system, {30, true});
    loop.start();
    ASSERT_TRUE(loop.waitForCheck(true, 5)) << daemon->output();
    const double start = monotonicSeconds();
    ASSERT_TRUE(waitForOurFrame(reader, start, 5)) << daemon->output();

    // The first frames in each pool buffer are copied while the writer's stream takes the
    // buffer into its set; from then on every frame travels in its own memory.
    ::usleep(1'500'000);
    const PipeWireCameraSystem::Statistics warm = system->statistics();
    const double steady = monotonicSeconds();
    ::usleep(2'000'000);
    const PipeWireCameraSystem::Statistics later = system->statistics();
    EXPECT_GT(warm.framesShared, 0u);
    EXPECT_EQ(later.framesCopied, warm.framesCopied) << "no copies once the pool is known";
    EXPECT_GE(later.framesShared - warm.framesShared, 45u) << "about 60 frames in 2 s";

    // The daemon has mapped the very memfds the app rendered into.
    const std::set<uint64_t> mapped = mappedMemfdInodes(daemon->pid());
    const std::vector<uint64_t> sent = loop.sentInodes();
    ASSERT_FALSE(sent.empty());
    for (const uint64_t inode : sent)
        EXPECT_EQ(mapped.count(inode), 1u) << "pool buffer inode " << inode;

    // What the reader gets is bit for bit what was rendered, and most of what was sent.
    size_t ours = 0;
    for (const auto& frame : reader.frames()) {
        if (frame.arrival < steady)
            continue;
        EXPECT_TRUE(SinkLoop::isOurPicture(frame.hash)) << "a frame that is not ours";
        ++ours;
    }
    EXPECT_GE(ours, 45u);
    EXPECT_LT(longestSend(loop.sentFrames(), start, monotonicSeconds()), 0.1);
}

TEST(SinkIntegration, FramesInBuffersTheWriterDoesNotCarryAreCopiedAndNoneIsLost) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto daemon = startDaemon();
    auto system = makeSystem();
    ASSERT_TRUE(system);
    ASSERT_TRUE(waitUntil([&] { return publishedDevice(*system).has_value(); }, 5))
        << daemon->output();
    TestReader reader(kSourceNode);
    ASSERT_TRUE(reader.waitForFrames(1, 5));

    SinkLoop::Options options;
    options.keepBuffers = 40;
    SinkLoop loop(system, options);
    loop.start();
    ASSERT_TRUE(waitForOurFrame(reader, monotonicSeconds(), 5)) << daemon->output();
    ::usleep(500'000);
    const PipeWireCameraSystem::Statistics before = system->statistics();
    const double from = monotonicSeconds();
    ::usleep(2'000'000);
    const double to = monotonicSeconds();
    const PipeWireCameraSystem::Statistics after = system->statistics();
    ::usleep(200'000);

    EXPECT_EQ(after.framesShared, before.framesShared);
    EXPECT_EQ(after.renegotiations, before.renegotiations) << "no buffer came back often enough";
    const auto copied = after.framesCopied - before.framesCopied;
    EXPECT_GE(copied, 50u);
    size_t sent = 0;
    for (const auto& frame : loop.sentFrames())
        sent += frame.sentAt >= from && frame.sentAt < to ? 1 : 0;
    // Each frame the writer took reached the reader (a frame of the writer's own buffers must not
    // be lost to one queued again too soon).
    EXPECT_GE(ourFramesAfter(reader, from), sent * 9 / 10) << sent << " sent";
}

TEST(SinkIntegration, TheLinkIsBackWithinFourSecondsAfterEachOfTwentyDaemonRestarts) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto system = makeSystem();
    ASSERT_TRUE(system);
    SinkLoop loop(system, {});
    loop.start();
    const double start = monotonicSeconds();
    std::vector<double> linkTimes;
    for (int round = 0; round < 20; ++round) {
        auto daemon = startDaemon();
        const double started = monotonicSeconds();
        ASSERT_TRUE(waitUntil([&] { return publishedDevice(*system).has_value(); }, 4))
            << "round " << round << ": " << daemon->output();
        const CameraObjectId device = *publishedDevice(*system);
        ASSERT_TRUE(waitUntil([&] { return loop.deviceId() == device; }, 4)) << "round " << round;
        linkTimes.push_back(monotonicSeconds() - started);
        TestReader reader(kSourceNode);
        const double linked = monotonicSeconds();
        EXPECT_TRUE(waitForOurFrame(reader, linked, 4 - (linked - started)))
            << "round " << round << ": the reader gets the app's frames";
        EXPECT_LE(monotonicSeconds() - started, 4.0) << "round " << round;

        daemon->signal(SIGKILL);
        EXPECT_EQ(daemon->waitForExit(5), 128 + SIGKILL);
        ASSERT_TRUE(waitUntil([&] { return !publishedDevice(*system); }, 5));
    }
    const double end = monotonicSeconds();
    std::sort(linkTimes.begin(), linkTimes.end());
    ::testing::Test::RecordProperty("slowest_link_ms", static_cast<int>(linkTimes.back() * 1000));

    // The frame loop never waited for the daemon: every frame due was sent, none blocked.
    const auto frames = loop.sentFrames();
    EXPECT_LT(longestSend(frames, start, end), 0.1);
    const auto due = static_cast<size_t>((end - start) * 30);
    EXPECT_GE(frames.size(), due * 9 / 10);
}

TEST(SinkIntegration, AFrozenDaemonNeverBlocksSendAndTheLinkRecoversWhenItResumes) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto daemon = startDaemon();
    ResumeOnExit resume{*daemon};
    auto system = makeSystem();
    ASSERT_TRUE(system);
    ASSERT_TRUE(waitUntil([&] { return publishedDevice(*system).has_value(); }, 5));
    TestReader reader(kSourceNode);
    ASSERT_TRUE(reader.waitForFrames(1, 5));
    LogCapture log;
    SinkLoop loop(system, {});
    loop.start();
    ASSERT_TRUE(waitForOurFrame(reader, monotonicSeconds(), 5)) << daemon->output();

    daemon->signal(SIGSTOP);
    const double stopped = monotonicSeconds();
    ::usleep(5'000'000);
    const double resumed = monotonicSeconds();
    daemon->signal(SIGCONT);
    const auto messages = log.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "The extension does not take frames. Connecting again."),
              messages.end())
        << "a link that stays full is closed";
    EXPECT_LT(longestSend(loop.sentFrames(), stopped, resumed), 0.1) << "send() never waits";
    EXPECT_GE(loop.sentFrames().size(), static_cast<size_t>((resumed - stopped) * 30 * 0.9))
        << "the frames kept coming while the daemon was frozen";

    // Within a check period or two the daemon relays the app's frames again.
    const double back = monotonicSeconds();
    EXPECT_TRUE(waitUntil([&] { return ourFramesAfter(reader, back + 0.1) >= 10; }, 8))
        << daemon->output();
    EXPECT_TRUE(loop.connected());
}

TEST(SinkIntegration, AfterAPipeWireRestartTheLinkComesBackByItself) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto daemon = startDaemon();
    auto system = makeSystem();
    ASSERT_TRUE(system);
    ASSERT_TRUE(waitUntil([&] { return publishedDevice(*system).has_value(); }, 5));
    SinkLoop loop(system, {});
    loop.start();
    {
        TestReader reader(kSourceNode);
        ASSERT_TRUE(waitForOurFrame(reader, monotonicSeconds(), 5)) << daemon->output();
    }

    // PipeWire (with its session) goes away while frames flow, and comes back with the daemon,
    // as systemd would bring them back.
    ASSERT_TRUE(testing::PipeWireSessionEnvironment::restart());
    EXPECT_EQ(daemon->waitForExit(5), 1) << daemon->output();
    EXPECT_FALSE(publishedDevice(*system)) << "the device list emptied";
    daemon = startDaemon();
    const double back = monotonicSeconds();
    ASSERT_TRUE(waitUntil([&] { return publishedDevice(*system).has_value(); }, 5))
        << "the app's camera service connected again";
    TestReader reader(kSourceNode);
    ASSERT_TRUE(waitForOurFrame(reader, back, 8)) << daemon->output();
    const double firstFrame = monotonicSeconds() - back;
    ::testing::Test::RecordProperty("first_app_frame_ms", static_cast<int>(firstFrame * 1000));
    EXPECT_LE(firstFrame, 4.0) << "from PipeWire and the daemon back to the app's frames";
    EXPECT_TRUE(loop.waitForCheck(true, 3));
}

TEST(SinkIntegration, OtherWritersNeitherCrashTheDaemonNorTakeTheCameraFromTheApp) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    if (testing::runCommand("command -v gst-launch-1.0").empty())
        GTEST_SKIP() << "gst-launch-1.0 is not installed";
    auto daemon = startDaemon();
    auto system = makeSystem();
    ASSERT_TRUE(system);
    ASSERT_TRUE(waitUntil([&] { return publishedDevice(*system).has_value(); }, 5));
    TestReader reader(kSourceNode);
    ASSERT_TRUE(reader.waitForFrames(1, 5));
    const std::string sinkNode = virtual_camera::sinkNodeName();

    // The order that used to crash the daemon: a second writer (GStreamer's pipewiresink) comes
    // while the app writes, the app leaves, and the app links again, as a restarted app does.
    // The app is orlenta-cover, which drives the app's own sink code in a process of its own.
    const std::string log = testing::PipeWireSessionEnvironment::directory() + "/other-writer.log";
    const uint64_t placeholder = [] {
        auto picture = makePlaceholder();
        PixelBufferLock lock(*picture);
        return testing::hashPicture(lock.data(), picture->width(), picture->height(),
                                    picture->bytesPerRow());
    }();
    const uint64_t blackHash = [] {
        std::vector<uint8_t> picture(1280 * 720 * 4, 0);
        for (size_t i = 3; i < picture.size(); i += 4)
            picture[i] = 255;
        return testing::hashPicture(picture.data(), 1280, 720, 1280 * 4);
    }();
    for (int round = 0; round < 5; ++round) {
        ChildProcess app({ORLENTA_COVER_PROGRAM, "--virtual-camera", "--loop",
                          std::string(ORLENTA_SOURCE_DIR) + "/demo/orlenta-demo.webm"},
                         log + ".app");
        // Pictures come slowly under the sanitizers: wait for them rather than for a set time.
        const auto count = [&](double since, bool black) {
            size_t frames = 0;
            for (const auto& frame : reader.frames())
                if (frame.arrival >= since && frame.hash != placeholder)
                    frames += (frame.hash == blackHash) == black ? 1 : 0;
            return frames;
        };
        const double started = monotonicSeconds();
        ASSERT_TRUE(waitUntil([&] { return count(started, false) > 0; }, 20)) << app.output();
        ChildProcess other({"gst-launch-1.0", "-q", "videotestsrc", "is-live=true", "pattern=black",
                            "!", "video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1",
                            "!", "pipewiresink", "target-object=" + sinkNode},
                           log);
        ::usleep(1'500'000);
        const double since = monotonicSeconds();
        EXPECT_TRUE(waitUntil([&] { return count(since, false) >= 3; }, 10))
            << "round " << round << ": the app's pictures reach the reader";
        EXPECT_EQ(count(started, true), 0u)
            << "round " << round << ": the other writer never gets through";
        app.signal(SIGINT);
        EXPECT_NE(app.waitForExit(5), -1) << "the app ends on an interrupt";
        EXPECT_EQ(daemon->waitForExit(0), -1) << "round " << round << ": " << daemon->output();
    }
    EXPECT_EQ(daemon->stop(), 0) << "a clean exit after other writers came and went";
}

} // namespace
} // namespace orlenta
