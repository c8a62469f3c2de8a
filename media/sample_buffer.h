// Sample buffers: one pixel buffer with its format, timing and attachments, as frames travel
// between the pipeline, the preview and the virtual camera.
//
// A SampleBuffer wraps its pixel buffer without copying it and is shared by reference
// (std::shared_ptr<SampleBuffer>); it is passed on unchanged. The buffer, format and timing are
// fixed at creation; the attachments may be set by the one owner that creates the sample, before
// it hands the sample on.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "media/media_time.h"
#include "media/pixel_buffer.h"

namespace orlenta {

struct VideoFormatDescription {
    uint32_t codecType = kPixelFormatBGRA;
    int width = 0;
    int height = 0;

    // Absent when a dimension is not positive or the codec is not BGRA (the only one used).
    static std::optional<VideoFormatDescription> create(uint32_t codecType, int width, int height);
    static std::optional<VideoFormatDescription> forImageBuffer(const PixelBuffer& buffer);

    bool matches(const PixelBuffer& buffer) const;
    friend bool operator==(const VideoFormatDescription&, const VideoFormatDescription&) = default;
};

struct SampleTiming {
    Time duration = Time::invalid();
    Time presentationTime = Time::invalid();
    Time decodeTime = Time::invalid();
};

// Per-sample attachments. Only the flags this system uses exist.
struct SampleAttachments {
    // Show the frame as soon as it arrives instead of at its presentation time.
    bool displayImmediately = false;
};

class SampleBuffer {
public:
    // A ready sample wrapping the buffer. Absent when the buffer is missing or does not match the
    // format description.
    static std::shared_ptr<SampleBuffer> createReady(std::shared_ptr<PixelBuffer> imageBuffer,
                                                     const VideoFormatDescription& format,
                                                     const SampleTiming& timing);

    // The frame's pixel buffer; may be null only for samples made by tests or by a peer that
    // sent no picture.
    const std::shared_ptr<PixelBuffer>& imageBuffer() const { return imageBuffer_; }
    const VideoFormatDescription& formatDescription() const { return format_; }
    const SampleTiming& timing() const { return timing_; }
    Time presentationTime() const { return timing_.presentationTime; }

    // The attachments of the one sample; with create = false an empty list is returned when none
    // were made yet, with create = true a list of one default entry is made first.
    std::vector<SampleAttachments>& sampleAttachments(bool create);

private:
    SampleBuffer(std::shared_ptr<PixelBuffer> imageBuffer, const VideoFormatDescription& format,
                 const SampleTiming& timing);

    std::shared_ptr<PixelBuffer> imageBuffer_;
    VideoFormatDescription format_;
    SampleTiming timing_;
    std::vector<SampleAttachments> attachments_;
};

} // namespace orlenta
