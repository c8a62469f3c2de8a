// A PipeWire camera for tests and benchmarks: a small Video/Source node that produces raw YUY2 or
// MJPEG frames at a fixed size and rate, like a webcam behind PipeWire. It may offer further modes
// (format, size, rate); it then sends in whichever mode its reader negotiated.
//
// Each frame shows a picture whose lower half is pure red (or a scene the caller draws), and in
// its top-left corner a row of 64 x 64 blocks that spell the frame's tag (0..kTagCount-1) in
// binary, white for 1. The camera remembers the monotonic time at which each tag was last handed
// to PipeWire, so a reader can tell how long a frame took to reach it.
//
// Threads: the camera runs on a PipeWire thread loop of its own; every member may be called from
// any thread. Destroying the camera removes its node (a camera unplugged).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

namespace orlenta::testing {

class TestCamera {
public:
    enum class Format { yuy2, mjpeg };
    static constexpr int kTagCount = 32;
    static constexpr int kTagBlock = 64;

    struct Mode {
        Format format = Format::yuy2;
        int width = 640;
        int height = 480;
        int framesPerSecond = 30;
        bool operator==(const Mode&) const = default;
    };

    struct Options {
        std::string nodeName = "orlenta-test-camera";
        std::string description = "Test Camera";
        Format format = Format::yuy2;
        int width = 640;
        int height = 480;
        int framesPerSecond = 30;
        // Further node properties (say, a form factor).
        std::map<std::string, std::string> properties{};
        // A camera that is read but sends nothing until setSending(true).
        bool sending = true;
        // When set, the picture for each tag (BGR, the camera's size) in place of the gradient
        // and red; the tag's blocks are drawn over it. Called kTagCount times at start, and again
        // when a reader negotiates another mode (a picture not of that mode's size is left black).
        std::function<cv::Mat(int tag)> scene{};
        // Modes offered after the one above.
        std::vector<Mode> otherModes{};
    };

    // Connects to the PipeWire of the environment; started() tells whether it worked.
    explicit TestCamera(Options options);
    ~TestCamera();
    TestCamera(const TestCamera&) = delete;
    TestCamera& operator=(const TestCamera&) = delete;

    bool started() const;
    const Options& options() const;
    // Frames handed to PipeWire so far.
    uint64_t framesSent() const;
    void setSending(bool sending);
    // The mode the reader negotiated (the first one until a reader has).
    Mode negotiatedMode() const;
    // How many times a reader has started streaming from the camera.
    int streamingStarts() const;
    // Monotonic seconds at which the frame with this tag was last handed to PipeWire.
    std::optional<double> sendTime(int tag) const;

    // Reads the tag back from a BGRA picture of the camera's size; absent when the blocks are
    // not there.
    static std::optional<int> readTag(const uint8_t* bgra, int width, int height, size_t stride);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace orlenta::testing
