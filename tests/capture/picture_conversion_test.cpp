// Camera picture layouts to BGRA.
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
    std::vector<cv::Mat> planes; // each as bytes
    cv::Mat i420, uv, chroma, packed;
    if (format == CameraPixelFormat::bgra) {
        cv::cvtColor(bgr, packed, cv::COLOR_BGR2BGRA);
        planes = {packed.reshape(1, h)};
    } else {
        cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
        const cv::Mat y = i420.rowRange(0, h);
        const cv::Mat u = i420.rowRange(h, h + h / 4).reshape(1, h / 2);
        const cv::Mat v = i420.rowRange(h + h / 4, h + h / 2).reshape(1, h / 2);
        cv::merge(std::vector<cv::Mat>{u, v}, uv);                   // U V of each 2 x 2 block
        cv::resize(uv, chroma, {w / 2, h}, 0, 0, cv::INTER_NEAREST); // ... on each of its rows
        if (format == CameraPixelFormat::nv12)
            planes = {y, uv.reshape(1, h / 2)};
        else if (format == CameraPixelFormat::i420)
            planes = {y, u, v};
        else // Y U Y V, or U Y V Y
            cv::merge(format == CameraPixelFormat::yuy2
                          ? std::vector<cv::Mat>{y, chroma.reshape(1, h)}
                          : std::vector<cv::Mat>{chroma.reshape(1, h), y},
                      packed);
        if (!packed.empty())
            planes = {packed.reshape(1, h)};
    }
    Planes out;
    out.picture = {format, w, h, {}, {}};
    out.storage.reserve(planes.size());
    for (size_t p = 0; p < planes.size(); ++p) {
        cv::Mat padded;
        cv::copyMakeBorder(planes[p], padded, 0, 0, 0, static_cast<int>(padding),
                           cv::BORDER_CONSTANT, cv::Scalar::all(0xEE));
        out.picture.planes[p] = out.storage.emplace_back(padded.datastart, padded.dataend).data();
        out.picture.strides[p] = padded.step;
    }
    return out;
}

cv::Mat bgrOf(PixelBuffer& buffer) {
    PixelBufferLock lock(buffer);
    cv::Mat view(buffer.height(), buffer.width(), CV_8UC4, lock.data(), buffer.bytesPerRow());
    cv::Mat bgr, alpha;
    cv::cvtColor(view, bgr, cv::COLOR_BGRA2BGR);
    cv::extractChannel(view, alpha, 3);
    EXPECT_EQ(cv::countNonZero(alpha != 255), 0) << "alpha is not opaque";
    return bgr;
}

TEST(PictureConversion, EveryLayoutGivesTheSamePictureAndWhatDoesNotFitIsRefused) {
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

    // Refused: what does not fit.
    Planes yuy2 = layout(blocks(96, 64), CameraPixelFormat::yuy2, 0);
    auto other = PixelBuffer::create(64, 64);
    EXPECT_FALSE(convertCameraPicture(yuy2.picture, *other)) << "size mismatch";
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
