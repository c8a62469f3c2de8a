#include "media/sample_buffer.h"

#include <utility>

namespace orlenta {

std::optional<VideoFormatDescription> VideoFormatDescription::create(uint32_t codecType, int width,
                                                                     int height) {
    if (codecType != kPixelFormatBGRA || width <= 0 || height <= 0)
        return std::nullopt;
    return VideoFormatDescription{codecType, width, height};
}

std::optional<VideoFormatDescription>
VideoFormatDescription::forImageBuffer(const PixelBuffer& buffer) {
    return create(buffer.pixelFormat(), buffer.width(), buffer.height());
}

bool VideoFormatDescription::matches(const PixelBuffer& buffer) const {
    return codecType == buffer.pixelFormat() && width == buffer.width() &&
           height == buffer.height();
}

std::shared_ptr<SampleBuffer> SampleBuffer::createReady(std::shared_ptr<PixelBuffer> imageBuffer,
                                                        const VideoFormatDescription& format,
                                                        const SampleTiming& timing) {
    if (!imageBuffer || !format.matches(*imageBuffer))
        return nullptr;
    return std::shared_ptr<SampleBuffer>(new SampleBuffer(std::move(imageBuffer), format, timing));
}

SampleBuffer::SampleBuffer(std::shared_ptr<PixelBuffer> imageBuffer,
                           const VideoFormatDescription& format, const SampleTiming& timing)
    : imageBuffer_(std::move(imageBuffer)), format_(format), timing_(timing) {}

std::vector<SampleAttachments>& SampleBuffer::sampleAttachments(bool create) {
    if (create && attachments_.empty())
        attachments_.emplace_back();
    return attachments_;
}

} // namespace orlenta
