// Camera picture layouts to BGRA.
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "app/capture/picture_conversion.h"

namespace orlenta {
namespace {

// Blocks of solid colours, 16 pixels wide, so chroma subsampling loses nothing.
cv::Mat blocks(int width, int height) {
    const cv::Vec3b colours[] = {{0, 0, 255},     {0, 255, 0}, {255, 0, 0},   {128, 128, 128},
                                 {255, 255, 255}, {0, 0, 0},   {40, 200, 220}};
    cv::Mat bgr(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            bgr.at<cv::Vec3b>(y, x) = colours[static_cast<size_t>((x / 16 + y / 16) % 7)];
    return bgr;
}

struct Planes {
    std::vector<std::vector<uint8_t>> storage;
    CameraPicture picture;
};

// The picture in the given layout, each plane's rows padded by `padding` bytes.
Planes layout(const cv::Mat& bgr, CameraPixelFormat format, size_t padding) {
    const int w = bgr.cols, h = bgr.rows;
    cv::Mat i420(h * 3 / 2, w, CV_8UC1, cv::Scalar(0));
    if (format != CameraPixelFormat::bgra)
        cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
    const uint8_t* y = i420.data;
    const uint8_t* u = y + w * h;
    const uint8_t* v = u + w * h / 4;
    Planes out;
    out.picture.format = format;
    out.picture.width = w;
    out.picture.height = h;
    auto addPlane = [&](size_t rowBytes, int rows, auto fill) {
        const size_t stride = rowBytes + padding;
        out.storage.emplace_back(stride * static_cast<size_t>(rows), 0xEE);
        for (int r = 0; r < rows; ++r)
            fill(out.storage.back().data() + stride * static_cast<size_t>(r), r);
        const size_t index = out.storage.size() - 1;
        out.picture.strides[index] = stride;
    };
    const size_t W = static_cast<size_t>(w);
    switch (format) {
    case CameraPixelFormat::bgra: {
        cv::Mat bgra;
        cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
        addPlane(W * 4, h, [&](uint8_t* row, int r) { std::memcpy(row, bgra.ptr(r), W * 4); });
        break;
    }
    case CameraPixelFormat::yuy2:
    case CameraPixelFormat::uyvy: {
        const bool yFirst = format == CameraPixelFormat::yuy2;
        addPlane(W * 2, h, [&](uint8_t* row, int r) {
            for (size_t x = 0; x < W; x += 2) {
                const size_t c = static_cast<size_t>(r / 2) * (W / 2) + x / 2;
                uint8_t* q = row + 2 * x;
                q[yFirst ? 0 : 1] = y[static_cast<size_t>(r) * W + x];
                q[yFirst ? 2 : 3] = y[static_cast<size_t>(r) * W + x + 1];
                q[yFirst ? 1 : 0] = u[c];
                q[yFirst ? 3 : 2] = v[c];
            }
        });
        break;
    }
    case CameraPixelFormat::nv12:
        addPlane(W, h, [&](uint8_t* row, int r) { std::memcpy(row, y + W * r, W); });
        addPlane(W, h / 2, [&](uint8_t* row, int r) {
            for (size_t x = 0; x < W / 2; ++x) {
                row[2 * x] = u[static_cast<size_t>(r) * (W / 2) + x];
                row[2 * x + 1] = v[static_cast<size_t>(r) * (W / 2) + x];
            }
        });
        break;
    case CameraPixelFormat::i420:
        addPlane(W, h, [&](uint8_t* row, int r) { std::memcpy(row, y + W * r, W); });
        addPlane(W / 2, h / 2,
                 [&](uint8_t* row, int r) { std::memcpy(row, u + W / 2 * r, W / 2); });
        addPlane(W / 2, h / 2,
                 [&](uint8_t* row, int r) { std::memcpy(row, v + W / 2 * r, W / 2); });
        break;
    }
    for (size_t i = 0; i < out.storage.size(); ++i)
        out.picture.planes[i] = out.storage[i].data();
    return out;
}

cv::Mat bgrOf(PixelBuffer& buffer) {
    PixelBufferLock lock(buffer);
    cv::Mat view(buffer.height(), buffer.width(), CV_8UC4, lock.data(), buffer.bytesPerRow());
    cv::Mat bgr;
    cv::cvtColor(view, bgr, cv::COLOR_BGRA2BGR);
    std::vector<cv::Mat> channels;
    cv::split(view, channels);
    EXPECT_EQ(cv::countNonZero(channels[3] != 255), 0) << "alpha is not opaque";
    return bgr;
}

TEST(PictureConversion, EveryLayoutGivesTheSamePicture) {
    const cv::Mat source = blocks(96, 64);
    for (const CameraPixelFormat format :
         {CameraPixelFormat::bgra, CameraPixelFormat::yuy2, CameraPixelFormat::uyvy,
          CameraPixelFormat::nv12, CameraPixelFormat::i420}) {
        for (const size_t padding : {size_t(0), size_t(32)}) {
            SCOPED_TRACE(testing::Message()
                         << "format " << static_cast<int>(format) << " padding " << padding);
            Planes planes = layout(source, format, padding);
            auto out = PixelBuffer::create(96, 64);
            ASSERT_TRUE(convertCameraPicture(planes.picture, *out));
            // Through YUV and back a few levels are lost, never a channel swap.
            EXPECT_LE(cv::norm(bgrOf(*out), source, cv::NORM_INF),
                      format == CameraPixelFormat::bgra ? 0 : 6);
        }
    }
    // I420 planes laid out as one block are used in place.
    cv::Mat block;
    cv::cvtColor(source, block, cv::COLOR_BGR2YUV_I420);
    CameraPicture whole;
    whole.format = CameraPixelFormat::i420;
    whole.width = 96;
    whole.height = 64;
    whole.planes = {block.data, block.data + 96 * 64, block.data + 96 * 64 * 5 / 4};
    whole.strides = {96, 48, 48};
    auto out = PixelBuffer::create(96, 64);
    ASSERT_TRUE(convertCameraPicture(whole, *out));
    EXPECT_LE(cv::norm(bgrOf(*out), source, cv::NORM_INF), 6);
}

TEST(PictureConversion, RefusesWhatDoesNotFit) {
    Planes yuy2 = layout(blocks(96, 64), CameraPixelFormat::yuy2, 0);
    auto other = PixelBuffer::create(64, 64);
    EXPECT_FALSE(convertCameraPicture(yuy2.picture, *other)) << "size mismatch";
    auto out = PixelBuffer::create(96, 64);
    CameraPicture noPlane = yuy2.picture;
    noPlane.planes[0] = nullptr;
    EXPECT_FALSE(convertCameraPicture(noPlane, *out));
    CameraPicture shortRows = yuy2.picture;
    shortRows.strides[0] = 96;
    EXPECT_FALSE(convertCameraPicture(shortRows, *out));
    Planes i420 = layout(blocks(96, 64), CameraPixelFormat::i420, 0);
    CameraPicture missingChroma = i420.picture;
    missingChroma.planes[2] = nullptr;
    EXPECT_FALSE(convertCameraPicture(missingChroma, *out));
    // Odd sizes cannot be 4:2:2 or 4:2:0.
    auto odd = PixelBuffer::create(95, 63);
    CameraPicture oddPicture = yuy2.picture;
    oddPicture.width = 95;
    oddPicture.height = 63;
    EXPECT_FALSE(convertCameraPicture(oddPicture, *odd));
    oddPicture.format = CameraPixelFormat::nv12;
    EXPECT_FALSE(convertCameraPicture(oddPicture, *odd));
    // BGRA of any size is fine.
    Planes bgra = layout(blocks(95, 63), CameraPixelFormat::bgra, 4);
    EXPECT_TRUE(convertCameraPicture(bgra.picture, *odd));
}

} // namespace
} // namespace orlenta
