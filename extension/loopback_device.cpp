#include "extension/loopback_device.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace orlenta::loopback {

namespace {

// The node number of a sysfs entry named videoN; -1 for any other name.
int videoNumber(std::string_view name) {
    constexpr std::string_view prefix = "video";
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix)
        return -1;
    int number = 0;
    for (char c : name.substr(prefix.size())) {
        if (c < '0' || c > '9' || number > 100000)
            return -1;
        number = number * 10 + (c - '0');
    }
    return number;
}

std::string readName(const std::string& path) {
    std::ifstream file(path);
    std::string name;
    std::getline(file, name);
    return name;
}

// BT.601 limited range in 16-bit fixed point: the coefficients of R, G and B scaled by
// 65536 / 255 so that 8-bit inputs land in 16..235 (Y) and 16..240 (U, V). Each chroma row sums
// to zero, so greys have U = V = 128 exactly.
constexpr int kYr = 16829, kYg = 33039, kYb = 6416;
constexpr int kUr = -9714, kUg = -19071, kUb = 28785;
constexpr int kVr = 28785, kVg = -24103, kVb = -4682;

inline uint8_t luma(const uint8_t* p) {
    return static_cast<uint8_t>(16 + ((kYr * p[2] + kYg * p[1] + kYb * p[0] + 32768) >> 16));
}

std::string text(const std::string& path, const char* what, int code) {
    return "V4L2 output: " + path + " " + what + ": " + std::strerror(code);
}

std::string fourcc(uint32_t code) {
    std::string name;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((code >> shift) & 0xff);
        name += (c >= ' ' && c <= '~') ? c : '?';
    }
    return name;
}

class V4l2Writer final : public Writer {
public:
    explicit V4l2Writer(DeviceCalls calls) : calls_(std::move(calls)) {}
    ~V4l2Writer() override {
        if (fd_ >= 0)
            calls_.close(fd_);
    }

    bool open(const std::string& path, std::string* error) override {
        path_ = path;
        // Non-blocking: a device that cannot take a frame drops it instead of holding up the
        // daemon. Read and write, as V4L2 output programs open it.
        fd_ = calls_.open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            return fail(text(path, "cannot be opened", errno), error);

        v4l2_capability capability{};
        if (calls_.ioctl(fd_, VIDIOC_QUERYCAP, &capability) != 0)
            return fail("V4L2 output: " + path + " is not a V4L2 device", error);
        const uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS)
                                  ? capability.device_caps
                                  : capability.capabilities;
        // A loopback device in exclusive-caps mode offers no output side while another program
        // writes to it.
        if (!(caps & V4L2_CAP_VIDEO_OUTPUT))
            return fail("V4L2 output: " + path +
                            " takes no video output now (another program may be writing to it)",
                        error);

        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        format.fmt.pix.width = kFrameWidth;
        format.fmt.pix.height = kFrameHeight;
        format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
        format.fmt.pix.field = V4L2_FIELD_NONE;
        format.fmt.pix.bytesperline = kBytesPerLine;
        format.fmt.pix.sizeimage = kFrameBytes;
        format.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
        if (calls_.ioctl(fd_, VIDIOC_S_FMT, &format) != 0) {
            const int code = errno;
            if (code == EBUSY)
                return fail("V4L2 output: " + path +
                                " is busy (another program is writing to it or has fixed its "
                                "format)",
                            error);
            return fail(text(path, "refused the format 1280x720 YUYV", code), error);
        }
        const v4l2_pix_format& set = format.fmt.pix;
        if (set.width != kFrameWidth || set.height != kFrameHeight ||
            set.pixelformat != V4L2_PIX_FMT_YUYV ||
            (set.bytesperline != 0 && set.bytesperline != kBytesPerLine) ||
            set.sizeimage < kFrameBytes)
            return fail("V4L2 output: " + path + " refused the format 1280x720 YUYV (it keeps " +
                            std::to_string(set.width) + "x" + std::to_string(set.height) + " " +
                            fourcc(set.pixelformat) + ")",
                        error);

        // Readers see 30 fps; a device that has no say in its rate keeps its own.
        v4l2_streamparm rate{};
        rate.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        rate.parm.output.timeperframe = {1, 30};
        calls_.ioctl(fd_, VIDIOC_S_PARM, &rate);
        return true;
    }

    Written write(const uint8_t* frame, size_t size, std::string* error) override {
        if (fd_ < 0) {
            *error = "V4L2 output: no device is open";
            return Written::failed;
        }
        const long written = calls_.write(fd_, frame, size);
        if (written == static_cast<long>(size))
            return Written::frame;
        if (written >= 0 || errno == EAGAIN || errno == EINTR)
            return Written::dropped;
        *error = text(path_, "cannot be written", errno);
        return Written::failed;
    }

private:
    bool fail(std::string message, std::string* error) {
        if (error)
            *error = std::move(message);
        if (fd_ >= 0)
            calls_.close(fd_);
        fd_ = -1;
        return false;
    }

    DeviceCalls calls_;
    std::string path_;
    int fd_ = -1;
};

} // namespace

std::optional<std::string> findDevice(std::string_view label, const std::string& sysfsRoot,
                                      const std::string& deviceRoot) {
    DIR* dir = ::opendir(sysfsRoot.c_str());
    if (!dir)
        return std::nullopt;
    int best = -1;
    std::string bestName;
    while (const dirent* entry = ::readdir(dir)) {
        const int number = videoNumber(entry->d_name);
        if (number < 0 || (best >= 0 && number >= best))
            continue;
        if (readName(sysfsRoot + "/" + entry->d_name + "/name") == label) {
            best = number;
            bestName = entry->d_name;
        }
    }
    ::closedir(dir);
    if (best < 0)
        return std::nullopt;
    return deviceRoot + "/" + bestName;
}

namespace {

// One pair of pixels, a and b, to Y0 U Y1 V.
inline void convertPair(const uint8_t* a, const uint8_t* b, uint8_t* out) {
    // The pair's sum, so the mean's chroma is the sum's scaled by one more bit.
    const int r = a[2] + b[2], g = a[1] + b[1], bl = a[0] + b[0];
    out[0] = luma(a);
    out[1] = static_cast<uint8_t>(128 + ((kUr * r + kUg * g + kUb * bl + 65536) >> 17));
    out[2] = luma(b);
    out[3] = static_cast<uint8_t>(128 + ((kVr * r + kVg * g + kVb * bl + 65536) >> 17));
}

} // namespace

void convertBgraToYuyv(const uint8_t* bgra, size_t bgraStride, int width, int height, uint8_t* yuyv,
                       size_t yuyvStride) {
    const int pairs = width / 2;
    for (int row = 0; row < height; ++row) {
        const uint8_t* __restrict in = bgra + static_cast<size_t>(row) * bgraStride;
        uint8_t* __restrict out = yuyv + static_cast<size_t>(row) * yuyvStride;
        // A loop of whole pairs without branches, which the compiler vectorizes.
        for (int pair = 0; pair < pairs; ++pair)
            convertPair(in + pair * 8, in + pair * 8 + 4, out + pair * 4);
        if (width % 2 != 0)
            convertPair(in + pairs * 8, in + pairs * 8, out + pairs * 4);
    }
}

DeviceCalls systemDeviceCalls() {
    DeviceCalls calls;
    calls.open = [](const char* path, int flags) { return ::open(path, flags); };
    calls.ioctl = [](int fd, unsigned long request, void* argument) {
        int result;
        do
            result = ::ioctl(fd, request, argument);
        while (result != 0 && errno == EINTR);
        return result;
    };
    calls.write = [](int fd, const void* data, size_t size) {
        return static_cast<long>(::write(fd, data, size));
    };
    calls.close = [](int fd) { return ::close(fd); };
    return calls;
}

std::unique_ptr<Writer> makeV4l2Writer(DeviceCalls calls) {
    return std::make_unique<V4l2Writer>(std::move(calls));
}

} // namespace orlenta::loopback
