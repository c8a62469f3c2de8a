#include "media/pixel_buffer.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace orlenta {

namespace {

constexpr size_t kBytesPerPixel = 4;
// Rows start on a cache-line boundary, which also suits the SIMD paths of the image code.
constexpr size_t kRowAlignment = 64;

std::atomic<uint64_t> nextSerial{1};

struct Layout {
    size_t bytesPerRow;
    size_t dataSize;
};

// The row pitch and total size of a width x height BGRA picture, or absent when a dimension is
// not positive or a size does not fit the types it has to pass through (size_t for mmap, off_t
// for ftruncate).
std::optional<Layout> computeLayout(int width, int height) {
    if (width <= 0 || height <= 0)
        return std::nullopt;
    size_t rowBytes = 0;
    if (__builtin_mul_overflow(static_cast<size_t>(width), kBytesPerPixel, &rowBytes))
        return std::nullopt;
    size_t padded = 0;
    if (__builtin_add_overflow(rowBytes, kRowAlignment - 1, &padded))
        return std::nullopt;
    padded -= padded % kRowAlignment;
    size_t total = 0;
    if (__builtin_mul_overflow(padded, static_cast<size_t>(height), &total))
        return std::nullopt;
    if (total > static_cast<size_t>(std::numeric_limits<off_t>::max()))
        return std::nullopt;
    return Layout{padded, total};
}

void closeKeepingErrno(int fd) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

} // namespace

std::shared_ptr<PixelBuffer> PixelBuffer::create(int width, int height) {
    const std::optional<Layout> layout = computeLayout(width, height);
    if (!layout)
        return nullptr;

    const int fd = ::memfd_create("orlenta-frame", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return nullptr;
    // A fresh memfd reads as zeros, so the picture starts out cleared without touching it.
    if (::ftruncate(fd, static_cast<off_t>(layout->dataSize)) != 0) {
        closeKeepingErrno(fd);
        return nullptr;
    }
    // The fd goes to other processes; with the size sealed, none of them can shrink the file
    // under our mapping (which would turn our next write into SIGBUS).
    if (::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        closeKeepingErrno(fd);
        return nullptr;
    }
    void* mapped = ::mmap(nullptr, layout->dataSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        closeKeepingErrno(fd);
        return nullptr;
    }
    return std::shared_ptr<PixelBuffer>(
        new PixelBuffer(width, height, layout->bytesPerRow, fd, static_cast<uint8_t*>(mapped)));
}

PixelBuffer::PixelBuffer(int width, int height, size_t bytesPerRow, int fd, uint8_t* data)
    : width_(width), height_(height), bytesPerRow_(bytesPerRow), fd_(fd), data_(data),
      serial_(nextSerial.fetch_add(1, std::memory_order_relaxed)) {}

PixelBuffer::~PixelBuffer() {
    if (data_ != nullptr)
        ::munmap(data_, dataSize());
    if (fd_ >= 0)
        ::close(fd_);
}

bool PixelBuffer::lockBaseAddress() {
    if (data_ == nullptr)
        return false;
    lockCount_.fetch_add(1);
    return true;
}

void PixelBuffer::unlockBaseAddress() {
    // An unlock without a lock is ignored rather than letting the count go negative, which would
    // make the next lock leave the buffer unlocked.
    int count = lockCount_.load();
    while (count > 0 && !lockCount_.compare_exchange_weak(count, count - 1)) {
    }
}

uint8_t* PixelBuffer::baseAddress() const {
    return lockCount_.load() > 0 ? data_ : nullptr;
}

// ---------------------------------------------------------------------------------------------

struct PixelBufferPool::State {
    explicit State(const Attributes& a) : attributes(a) {}

    const Attributes attributes;
    std::mutex mutex;
    std::vector<std::shared_ptr<PixelBuffer>> freeBuffers;
    size_t outstanding = 0;
    size_t allocated = 0;

    // Deleter of the handed-out reference: when the last user lets go, the buffer goes back to
    // the pool's free list, or is freed with its pool already gone.
    struct ReturnToPool {
        std::weak_ptr<State> pool;
        std::shared_ptr<PixelBuffer> buffer;

        void operator()(PixelBuffer*) {
            std::shared_ptr<PixelBuffer> released = std::move(buffer);
            // A user that forgot to unlock must not hand the next user a buffer that looks
            // locked.
            while (released->lockCount() > 0)
                released->unlockBaseAddress();
            if (std::shared_ptr<State> state = pool.lock()) {
                std::lock_guard lock(state->mutex);
                --state->outstanding;
                state->freeBuffers.push_back(std::move(released));
            }
            // Otherwise `released` frees the buffer here. The State reference taken above may be
            // the last one; it goes only after the lock has been released.
        }
    };
};

std::shared_ptr<PixelBufferPool> PixelBufferPool::create(const Attributes& attributes) {
    if (attributes.pixelFormat != kPixelFormatBGRA || attributes.maxBuffers == 0 ||
        !computeLayout(attributes.width, attributes.height))
        return nullptr;
    return std::shared_ptr<PixelBufferPool>(
        new PixelBufferPool(std::make_shared<State>(attributes)));
}

PixelBufferPool::PixelBufferPool(std::shared_ptr<State> state) : state_(std::move(state)) {}

PixelBufferPool::~PixelBufferPool() = default;

const PixelBufferPool::Attributes& PixelBufferPool::attributes() const {
    return state_->attributes;
}

std::shared_ptr<PixelBuffer> PixelBufferPool::createPixelBuffer() {
    std::shared_ptr<PixelBuffer> buffer;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->freeBuffers.empty()) {
            // Most recently released first: its pages are the likeliest to still be in cache.
            buffer = std::move(state_->freeBuffers.back());
            state_->freeBuffers.pop_back();
        } else if (state_->allocated < state_->attributes.maxBuffers) {
            ++state_->allocated; // reserved now, made outside the lock
        } else {
            return nullptr;
        }
        ++state_->outstanding;
    }
    if (!buffer) {
        buffer = PixelBuffer::create(state_->attributes.width, state_->attributes.height);
        if (!buffer) {
            std::lock_guard lock(state_->mutex);
            --state_->allocated;
            --state_->outstanding;
            return nullptr;
        }
    }
    PixelBuffer* raw = buffer.get();
    return std::shared_ptr<PixelBuffer>(raw, State::ReturnToPool{state_, std::move(buffer)});
}

size_t PixelBufferPool::outstandingCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->outstanding;
}

size_t PixelBufferPool::allocatedCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->allocated;
}

} // namespace orlenta
