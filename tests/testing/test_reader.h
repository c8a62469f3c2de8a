// A reader of a PipeWire video node, like a video app reading the virtual camera: it links to the
// node by name, asks for 1280 x 720 BGRA, takes every frame, and keeps what the tests look at
// (arrival times, a hash of each frame's pixels, the latest frame).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orlenta::testing {

// FNV-1a over the rows of a BGRA picture (width * 4 bytes per row, rows stride bytes apart).
uint64_t hashPicture(const uint8_t* data, int width, int height, size_t stride);

class TestReader {
public:
    struct Frame {
        double arrival = 0; // monotonic seconds
        int64_t pts = 0;    // from the buffer header, 0 if none
        uint64_t hash = 0;
    };

    explicit TestReader(const std::string& target);
    ~TestReader();
    TestReader(const TestReader&) = delete;
    TestReader& operator=(const TestReader&) = delete;

    std::vector<Frame> frames() const;
    // The latest frame, packed BGRA 1280 x 720 (empty before the first).
    std::vector<uint8_t> latestFrame() const;
    bool waitForFrames(size_t count, double timeoutSeconds) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace orlenta::testing
