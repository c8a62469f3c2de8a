// The V4L2 loopback output: finding the device in a stand-in sysfs tree, the YUYV conversion,
// the writer's V4L2 calls against a stand-in device, and the output's pick-up / let-go logic.
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <thread>
#include <unistd.h>

#include "extension/loopback_output.h"
#include "media/log.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;

std::shared_ptr<PixelBuffer> solid(uint8_t b, uint8_t g, uint8_t r) {
    auto buffer = PixelBuffer::create(1280, 720);
    PixelBufferLock lock(*buffer);
    for (size_t i = 0; i < buffer->dataSize(); i += 4) {
        lock.data()[i] = b;
        lock.data()[i + 1] = g;
        lock.data()[i + 2] = r;
    }
    return buffer;
}

TEST(LoopbackDevice, FoundByItsLabelAsItComesAndGoes) {
    const fs::path root = fs::temp_directory_path() / ("orlenta-sysfs-" + std::to_string(getpid()));
    fs::remove_all(root);
    auto add = [&](const std::string& node, const std::string& name) {
        fs::create_directories(root / node);
        std::ofstream(root / node / "name") << name << "\n";
    };
    add("video0", "Integrated Camera");
    EXPECT_EQ(loopback::findDevice("Orlenta Camera", root.string(), "/dev"), std::nullopt);
    add("video12", "Orlenta Camera");
    add("video3", "Orlenta Camera 2");
    EXPECT_EQ(loopback::findDevice("Orlenta Camera", root.string(), "/dev"), "/dev/video12");
    add("video9", "Orlenta Camera");
    EXPECT_EQ(loopback::findDevice("Orlenta Camera", root.string(), "/dev"), "/dev/video9")
        << "the lowest number, compared as a number";
    fs::remove_all(root / "video9");
    fs::remove_all(root / "video12");
    EXPECT_EQ(loopback::findDevice("Orlenta Camera", root.string(), "/dev"), std::nullopt);
    fs::remove_all(root);
    EXPECT_EQ(loopback::findDevice("Orlenta Camera", root.string(), "/dev"), std::nullopt);
}

TEST(LoopbackDevice, Bt601LimitedRangeYuyv) {
    // Pairs of BGRA pixels, the second row padded; expected values from the BT.601 definition
    // (Y = 16 + 65.481 R' + 128.553 G' + 24.966 B', U and V from the pair's mean), rounded.
    const uint8_t bgra[2][20] = {
        {255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 255, 0, 9, 9, 9, 9},
        {0, 255, 0, 0, 255, 0, 0, 0, 128, 128, 128, 0, 128, 128, 128, 0, 9, 9, 9, 9}};
    uint8_t yuyv[2][8] = {};
    loopback::convertBgraToYuyv(&bgra[0][0], 20, 4, 2, &yuyv[0][0], 8);
    const uint8_t expected[2][8] = {{235, 128, 16, 128, 81, 90, 81, 240},
                                    {145, 147, 41, 72, 126, 128, 126, 128}};
    for (int row = 0; row < 2; ++row)
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(yuyv[row][i], expected[row][i]) << "row " << row << " byte " << i;
}

// A stand-in V4L2 output device: answers QUERYCAP and S_FMT as told, records what it is asked
// (the size and the first two bytes, Y and U, of each frame written).
struct StandInDevice {
    uint32_t caps = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_DEVICE_CAPS;
    int formatError = 0;
    uint32_t keptWidth = 0; // a device whose format is fixed answers with its own
    int writeError = 0;
    v4l2_format format{};
    int closes = 0;
    std::vector<std::tuple<size_t, uint8_t, uint8_t>> writes;
    std::atomic<int> written{0};

    loopback::DeviceCalls calls() {
        loopback::DeviceCalls c;
        c.open = [](const char*, int flags) { return (flags & O_NONBLOCK) ? 7 : -1; };
        c.close = [this](int) { return ++closes, 0; };
        c.write = [this](int, const void* data, size_t size) -> long {
            if (writeError)
                return errno = writeError, -1;
            const auto* bytes = static_cast<const uint8_t*>(data);
            writes.emplace_back(size, bytes[0], bytes[1]);
            ++written;
            return static_cast<long>(size);
        };
        c.ioctl = [this](int, unsigned long request, void* argument) {
            if (request == VIDIOC_QUERYCAP) {
                static_cast<v4l2_capability*>(argument)->capabilities = caps;
                static_cast<v4l2_capability*>(argument)->device_caps = caps;
            } else if (request == VIDIOC_S_FMT) {
                if (formatError)
                    return errno = formatError, -1;
                format = *static_cast<v4l2_format*>(argument);
                if (keptWidth)
                    static_cast<v4l2_format*>(argument)->fmt.pix.width = keptWidth;
            }
            return 0;
        };
        return c;
    }
};

TEST(LoopbackDevice, WriterSetsTheFormatWritesAndExplainsRefusals) {
    StandInDevice device;
    auto writer = loopback::makeV4l2Writer(device.calls());
    std::string error;
    ASSERT_TRUE(writer->open("/dev/video5", &error)) << error;
    const v4l2_pix_format& pix = device.format.fmt.pix;
    EXPECT_EQ(
        std::tuple(device.format.type, pix.width, pix.height, pix.pixelformat, pix.bytesperline,
                   pix.sizeimage),
        std::tuple(V4L2_BUF_TYPE_VIDEO_OUTPUT, 1280u, 720u, V4L2_PIX_FMT_YUYV, 2560u, 1843200u));
    std::vector<uint8_t> frame(loopback::kFrameBytes);
    EXPECT_EQ(writer->write(frame.data(), frame.size(), &error), loopback::Writer::Written::frame);
    EXPECT_EQ(device.writes, (std::vector<std::tuple<size_t, uint8_t, uint8_t>>{{1843200, 0, 0}}));
    device.writeError = EAGAIN;
    EXPECT_EQ(writer->write(frame.data(), frame.size(), &error),
              loopback::Writer::Written::dropped);
    device.writeError = ENODEV;
    EXPECT_EQ(writer->write(frame.data(), frame.size(), &error), loopback::Writer::Written::failed);
    EXPECT_EQ(error, "V4L2 output: /dev/video5 cannot be written: No such device");
    writer.reset();
    EXPECT_EQ(device.closes, 1);

    auto refusal = [](uint32_t caps, int formatError, uint32_t keptWidth) {
        StandInDevice stub;
        stub.caps = caps;
        stub.formatError = formatError;
        stub.keptWidth = keptWidth;
        std::string text;
        EXPECT_FALSE(loopback::makeV4l2Writer(stub.calls())->open("/dev/video5", &text));
        EXPECT_EQ(stub.closes, 1);
        return text;
    };
    const uint32_t output = V4L2_CAP_VIDEO_OUTPUT;
    EXPECT_EQ(refusal(V4L2_CAP_VIDEO_CAPTURE, 0, 0),
              "V4L2 output: /dev/video5 takes no video output now (another program may be "
              "writing to it)");
    EXPECT_EQ(refusal(output, EBUSY, 0),
              "V4L2 output: /dev/video5 is busy (another program is writing to it or has fixed "
              "its format)");
    EXPECT_EQ(refusal(output, 0, 640),
              "V4L2 output: /dev/video5 refused the format 1280x720 YUYV (it keeps 640x720 YUYV)");

    // The real calls on files that are no V4L2 devices.
    const std::string plain =
        fs::temp_directory_path() / ("orlenta-plain-" + std::to_string(getpid()));
    std::ofstream(plain) << "not a device";
    for (const std::string& path : {std::string("/dev/null"), plain}) {
        EXPECT_FALSE(loopback::makeV4l2Writer()->open(path, &error));
        EXPECT_EQ(error, "V4L2 output: " + path + " is not a V4L2 device");
    }
    fs::remove(plain);
}

TEST(LoopbackOutput, PicksUpWritesAndLetsGoLoggingEachFailureOnce) {
    LogCapture log;
    StandInDevice device;
    std::optional<std::string> path;
    const auto environment = [&]() -> LoopbackOutput::Environment {
        return {[&] { return path; }, [&] { return loopback::makeV4l2Writer(device.calls()); }};
    };
    const auto firstBytes = [&] {
        std::vector<std::pair<uint8_t, uint8_t>> all;
        for (const auto& [size, y, u] : std::exchange(device.writes, {}))
            all.emplace_back(y, u);
        return all;
    };
    int handlerCalls = 0;
    LoopbackOutput output(environment());
    output.setWantsFramesHandler([&] { ++handlerCalls; });
    const auto white = solid(255, 255, 255);
    output.poll();
    output.offer(white);
    output.writePending();
    EXPECT_FALSE(output.wantsFrames());
    EXPECT_TRUE(device.writes.empty()) << "no device, no frames";

    path = "/dev/video4";
    output.poll();
    EXPECT_TRUE(output.wantsFrames());
    output.offer(solid(0, 0, 0));
    output.offer(white); // only the newest waiting frame is written
    output.writePending();
    output.writePending();
    EXPECT_EQ(firstBytes(), (std::vector<std::pair<uint8_t, uint8_t>>{{235, 128}}));

    // Writes that fail let the device go; opened again at each poll, one line in the log.
    device.writeError = ENODEV;
    for (int i = 0; i < 3; ++i) {
        output.poll();
        output.offer(white);
        output.writePending();
        EXPECT_FALSE(output.wantsFrames());
    }
    device.writeError = 0;
    device.formatError = EBUSY;
    for (int i = 0; i < 3; ++i)
        output.poll();
    const std::string busy = "V4L2 output: /dev/video4 is busy (another program is writing to "
                             "it or has fixed its format)";
    EXPECT_EQ(
        log.messages(),
        (std::vector<std::string>{
            "V4L2 output: /dev/video4 cannot be written: No such device; letting it go", busy}));
    device.formatError = 0;
    output.poll();
    output.offer(solid(0, 0, 0));
    output.writePending();
    EXPECT_EQ(firstBytes(), (std::vector<std::pair<uint8_t, uint8_t>>{{16, 128}}));
    path.reset();
    output.poll();
    EXPECT_FALSE(output.wantsFrames());
    EXPECT_EQ(handlerCalls, 8) << "each pick-up and each let-go";

    // On its own thread: picked up at once, then every offer written.
    path = "/dev/video4";
    device.written = 0;
    LoopbackOutput threaded(environment());
    threaded.start();
    for (int i = 0; i < 2000 && device.written < 3; ++i) {
        threaded.offer(white);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(device.written.load(), 3);
}

} // namespace
} // namespace orlenta
