// Frame memory: BGRA pixel buffers and the pool that recycles them.
//
// A PixelBuffer is one picture of 32-bit BGRA pixels (blue, green, red, alpha; one byte each) in
// shared memory from a memfd, so the very same bytes can be handed to another process (the
// virtual camera daemon, through PipeWire) without a copy. Rows may be padded: always step by
// bytesPerRow(), never by width * 4.
//
// Ownership: buffers are reference-counted through std::shared_ptr<PixelBuffer>. A buffer that
// came from a PixelBufferPool goes back to that pool when the last reference is dropped (or is
// freed if the pool is gone); nobody frees pool buffers by hand.
//
// Threads: a buffer may be used from any thread; lock/unlock keep a count that is safe to touch
// from several threads, but the pixels themselves are not synchronised: the pipeline writes a
// buffer on one queue before it hands the buffer on, and readers only read. The pool is
// thread-safe: buffers may be requested on one thread and released on another.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace orlenta {

// Four-character pixel format codes, as the camera service spells them.
constexpr uint32_t fourCC(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<unsigned char>(a)) << 24 |
           static_cast<uint32_t>(static_cast<unsigned char>(b)) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(c)) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(d));
}
constexpr uint32_t kPixelFormatBGRA = fourCC('B', 'G', 'R', 'A');

class PixelBufferPool;

class PixelBuffer {
public:
    // Makes a buffer of width x height BGRA pixels in a new memfd, filled with zeros. Absent when
    // a size is not positive, the size would overflow, or the memory cannot be had.
    static std::shared_ptr<PixelBuffer> create(int width, int height);

    ~PixelBuffer();
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    uint32_t pixelFormat() const { return kPixelFormatBGRA; }
    size_t bytesPerRow() const { return bytesPerRow_; }
    // Total bytes of pixel memory: bytesPerRow() * height().
    size_t dataSize() const { return bytesPerRow_ * static_cast<size_t>(height_); }

    // The base address is only to be used between lockBaseAddress() and the matching
    // unlockBaseAddress(). Locks nest. lockBaseAddress() answers false if the memory is gone. An
    // unlock without a lock is ignored.
    bool lockBaseAddress();
    void unlockBaseAddress();
    // The first byte of the top row while locked; nullptr while not locked.
    uint8_t* baseAddress() const;
    int lockCount() const { return lockCount_.load(); }

    // The memfd that holds the pixels (owned by the buffer; dup() it to keep it). Offset 0,
    // dataSize() bytes, sealed against shrinking and growing so that no holder can pull the
    // memory from under another's mapping. Close-on-exec. Used to share the buffer with another
    // process.
    int fd() const { return fd_; }
    // An id that no other buffer of this process has had; useful to recognise a buffer that
    // comes back from a pool or across a process boundary.
    uint64_t serial() const { return serial_; }

private:
    PixelBuffer(int width, int height, size_t bytesPerRow, int fd, uint8_t* data);

    int width_;
    int height_;
    size_t bytesPerRow_;
    int fd_;
    uint8_t* data_;
    uint64_t serial_;
    std::atomic<int> lockCount_{0};
};

// RAII lock of a buffer's base address for the length of a scope.
class PixelBufferLock {
public:
    explicit PixelBufferLock(PixelBuffer& buffer)
        : buffer_(buffer), locked_(buffer.lockBaseAddress()) {}
    ~PixelBufferLock() {
        if (locked_)
            buffer_.unlockBaseAddress();
    }
    PixelBufferLock(const PixelBufferLock&) = delete;
    PixelBufferLock& operator=(const PixelBufferLock&) = delete;
    explicit operator bool() const { return locked_; }
    uint8_t* data() const { return locked_ ? buffer_.baseAddress() : nullptr; }

private:
    PixelBuffer& buffer_;
    bool locked_;
};

// Hands out buffers of one fixed size, recycling released ones. The number of buffers that exist
// at once (handed out plus waiting for reuse) never exceeds maxBuffers: when all are out, a
// request fails instead of growing the pool, so a consumer that holds on to buffers makes the
// producer drop frames rather than exhaust memory.
class PixelBufferPool {
public:
    struct Attributes {
        int width = 1280;
        int height = 720;
        uint32_t pixelFormat = kPixelFormatBGRA;
        size_t maxBuffers = 12;
    };

    // Absent when the attributes are not usable (non-positive size, a format other than BGRA,
    // a maximum of zero).
    static std::shared_ptr<PixelBufferPool> create(const Attributes& attributes);

    const Attributes& attributes() const;

    // A buffer with the pool's attributes, or nullptr when maxBuffers are all handed out or the
    // memory cannot be had. The contents of a recycled buffer are whatever its last user left.
    std::shared_ptr<PixelBuffer> createPixelBuffer();

    // Buffers handed out and not yet released; buffers that exist (out plus free).
    size_t outstandingCount() const;
    size_t allocatedCount() const;

    ~PixelBufferPool();
    PixelBufferPool(const PixelBufferPool&) = delete;
    PixelBufferPool& operator=(const PixelBufferPool&) = delete;

private:
    struct State;
    explicit PixelBufferPool(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

} // namespace orlenta
