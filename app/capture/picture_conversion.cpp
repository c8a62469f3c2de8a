#include "app/capture/picture_conversion.h"

#include <array>
#include <cstring>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace orlenta {

namespace {

cv::Mat plane(const CameraPicture& p, int index, int rows, int columns, int type) {
    return cv::Mat(rows, columns, type, const_cast<uint8_t*>(p.planes[index]), p.strides[index]);
}

} // namespace

bool convertCameraPicture(const CameraPicture& p, PixelBuffer& destination) {
    if (p.width <= 0 || p.height <= 0 || p.width != destination.width() ||
        p.height != destination.height() || !p.planes[0])
        return false;
    const bool packed422 =
        p.format == CameraPixelFormat::yuy2 || p.format == CameraPixelFormat::uyvy;
    const bool planar420 =
        p.format == CameraPixelFormat::nv12 || p.format == CameraPixelFormat::i420;
    if ((packed422 || planar420) && p.width % 2 != 0)
        return false;
    if (planar420 && (p.height % 2 != 0 || !p.planes[1]))
        return false;
    if (p.format == CameraPixelFormat::i420 && !p.planes[2])
        return false;
    // Each plane's rows must hold at least the bytes a row of the picture needs.
    const size_t w = static_cast<size_t>(p.width);
    std::array<size_t, 3> minimum{};
    switch (p.format) {
    case CameraPixelFormat::bgra:
        minimum = {w * 4, 0, 0};
        break;
    case CameraPixelFormat::yuy2:
    case CameraPixelFormat::uyvy:
        minimum = {w * 2, 0, 0};
        break;
    case CameraPixelFormat::nv12:
        minimum = {w, w, 0};
        break;
    case CameraPixelFormat::i420:
        minimum = {w, w / 2, w / 2};
        break;
    }
    for (size_t i = 0; i < 3; ++i)
        if (minimum[i] > 0 && p.strides[i] < minimum[i])
            return false;

    PixelBufferLock lock(destination);
    if (!lock)
        return false;
    cv::Mat out(p.height, p.width, CV_8UC4, lock.data(), destination.bytesPerRow());
    try {
        switch (p.format) {
        case CameraPixelFormat::bgra:
            plane(p, 0, p.height, p.width, CV_8UC4).copyTo(out);
            break;
        case CameraPixelFormat::yuy2:
            cv::cvtColor(plane(p, 0, p.height, p.width, CV_8UC2), out, cv::COLOR_YUV2BGRA_YUY2);
            break;
        case CameraPixelFormat::uyvy:
            cv::cvtColor(plane(p, 0, p.height, p.width, CV_8UC2), out, cv::COLOR_YUV2BGRA_UYVY);
            break;
        case CameraPixelFormat::nv12:
            cv::cvtColorTwoPlane(plane(p, 0, p.height, p.width, CV_8UC1),
                                 plane(p, 1, p.height / 2, p.width / 2, CV_8UC2), out,
                                 cv::COLOR_YUV2BGRA_NV12);
            break;
        case CameraPixelFormat::i420: {
            // OpenCV takes the three planes as one block: Y rows, then U and V, each packed two
            // half rows to a full row. Planes laid out that way already are used in place;
            // others (padded rows, separate memory) are packed first.
            const size_t h = static_cast<size_t>(p.height);
            if (p.strides[0] == w && p.strides[1] == w / 2 && p.strides[2] == w / 2 &&
                p.planes[1] == p.planes[0] + w * h && p.planes[2] == p.planes[1] + w * h / 4) {
                cv::cvtColor(plane(p, 0, p.height * 3 / 2, p.width, CV_8UC1), out,
                             cv::COLOR_YUV2BGRA_I420);
                break;
            }
            thread_local std::vector<uint8_t> block;
            block.resize(w * h * 3 / 2);
            for (size_t y = 0; y < h; ++y)
                std::memcpy(block.data() + y * w, p.planes[0] + y * p.strides[0], w);
            uint8_t* chroma = block.data() + w * h;
            for (size_t c = 1; c <= 2; ++c)
                for (size_t y = 0; y < h / 2; ++y, chroma += w / 2)
                    std::memcpy(chroma, p.planes[c] + y * p.strides[c], w / 2);
            cv::cvtColor(cv::Mat(p.height * 3 / 2, p.width, CV_8UC1, block.data()), out,
                         cv::COLOR_YUV2BGRA_I420);
            break;
        }
        }
    } catch (const cv::Exception&) {
        return false;
    }
    return true;
}

} // namespace orlenta
