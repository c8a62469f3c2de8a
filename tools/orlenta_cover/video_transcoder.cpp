#include "tools/orlenta_cover/video_transcoder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/pbutils/pbutils.h>
#include <gst/video/video.h>

namespace orlenta {

namespace {

namespace fs = std::filesystem;

// How long one wait for a frame or a message lasts before the stop condition is read again.
constexpr GstClockTime kPollInterval = 50 * GST_MSECOND;
// Covered frames waiting in front of the encoder before push() waits.
constexpr guint64 kFramesAheadOfEncoder = 2;
// Decoded frames waiting for the caller.
constexpr guint kDecodedFramesWaiting = 2;
// Encoded packets of the other tracks held while the video catches up (the encoder's look-ahead
// delays the video by up to a second or two); a limit only against runaway memory.
constexpr guint kCopiedTrackBytes = 256u << 20;

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

void ensureGStreamer() {
    static const bool ready = [] { return gst_init_check(nullptr, nullptr, nullptr) == TRUE; }();
    (void)ready;
}

bool haveElement(const char* name) {
    GstElementFactory* factory = gst_element_factory_find(name);
    if (!factory)
        return false;
    gst_object_unref(factory);
    return true;
}

// The Debian package that brings a GStreamer element this tool may use.
const char* packageOf(const std::string& element) {
    if (element == "x264enc")
        return "gstreamer1.0-plugins-ugly";
    if (element == "avenc_aac")
        return "gstreamer1.0-libav";
    if (element == "opusenc" || element == "videoconvert" || element == "audioconvert" ||
        element == "appsrc" || element == "appsink" || element == "parsebin")
        return "gstreamer1.0-plugins-base";
    return "gstreamer1.0-plugins-good";
}

struct Container {
    const char* muxer;
    const char* videoEncoder;
    const char* videoCodec;
    const char* audioEncoder; // for sound the container cannot hold as it is
    const char* audioCodec;
};

std::optional<Container> containerFor(const std::string& extension) {
    if (extension == ".webm")
        return Container{"webmmux", "vp8enc", "VP8", "opusenc", "Opus"};
    if (extension == ".mp4")
        return Container{"mp4mux", "x264enc", "H.264", "avenc_aac", "AAC"};
    if (extension == ".mkv")
        return haveElement("x264enc")
                   ? Container{"matroskamux", "x264enc", "H.264", "opusenc", "Opus"}
                   : Container{"matroskamux", "vp8enc", "VP8", "opusenc", "Opus"};
    return std::nullopt;
}

// Encoder settings for speed at good quality: real-time VP8 with a bit rate that follows the
// picture's size and rate (0.1 bit a pixel: about 2.8 Mbit/s at 720p30), H.264 at constant
// quality with a fast preset. Set before the encoder starts, which is when it reads them.
void configureEncoder(GstElement* encoder, const std::string& name) {
    if (name == "vp8enc") {
        // One encoder thread: the stages already keep both cores busy, and libvpx's own
        // threads wait for each other by spinning, which costs several times the work itself on
        // a busy machine.
        g_object_set(encoder, "deadline", static_cast<gint64>(1), "cpu-used", 8, "threads", 1,
                     "target-bitrate", 0, "bits-per-pixel", 0.1f, nullptr);
        gst_util_set_object_arg(G_OBJECT(encoder), "token-partitions", "2");
        gst_util_set_object_arg(G_OBJECT(encoder), "end-usage", "vbr");
    } else if (name == "x264enc") {
        gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "veryfast");
        gst_util_set_object_arg(G_OBJECT(encoder), "pass", "qual");
        g_object_set(encoder, "quantizer", 21u, nullptr);
    }
}

void setThreads(GstElement* convert) {
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(convert), "n-threads"))
        g_object_set(convert, "n-threads", 2u, nullptr);
}

std::string capsName(GstCaps* caps) {
    if (!caps || gst_caps_is_empty(caps) || gst_caps_is_any(caps))
        return {};
    return gst_structure_get_name(gst_caps_get_structure(caps, 0));
}

std::string codecDescription(GstCaps* caps) {
    if (!caps)
        return "unknown";
    gchar* text = gst_pb_utils_get_codec_description(caps);
    std::string description = text ? text : capsName(caps);
    g_free(text);
    return description;
}

GstElement* make(const char* factory, const char* name = nullptr) {
    return gst_element_factory_make(factory, name);
}

std::string errorText(GstMessage* message) {
    GError* error = nullptr;
    gchar* debug = nullptr;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR)
        gst_message_parse_error(message, &error, &debug);
    else
        gst_message_parse_warning(message, &error, &debug);
    std::string text = error && error->message ? error->message : "unknown error";
    if (error)
        g_error_free(error);
    g_free(debug);
    while (!text.empty() && (text.back() == '.' || text.back() == '\n'))
        text.pop_back();
    return text;
}

} // namespace

// --- DecodedFrame ---------------------------------------------------------------------------

DecodedFrame::~DecodedFrame() {
    release();
}

DecodedFrame::DecodedFrame(DecodedFrame&& other) noexcept {
    *this = std::move(other);
}

DecodedFrame& DecodedFrame::operator=(DecodedFrame&& other) noexcept {
    if (this != &other) {
        release();
        sample_ = std::exchange(other.sample_, nullptr);
        mapped_ = std::exchange(other.mapped_, nullptr);
        mapInfo_ = std::exchange(other.mapInfo_, nullptr);
        bgra_ = std::move(other.bgra_);
        other.bgra_ = cv::Mat();
        runningTime_ = other.runningTime_;
        duration_ = other.duration_;
        seconds_ = other.seconds_;
    }
    return *this;
}

DecodedFrame DecodedFrame::detach() {
    DecodedFrame copy;
    copy.bgra_ = bgra_.clone();
    copy.runningTime_ = runningTime_;
    copy.duration_ = duration_;
    copy.seconds_ = seconds_;
    release();
    return copy;
}

void DecodedFrame::release() {
    bgra_ = cv::Mat();
    if (mapped_ && mapInfo_)
        gst_buffer_unmap(mapped_, static_cast<GstMapInfo*>(mapInfo_));
    delete static_cast<GstMapInfo*>(mapInfo_);
    mapInfo_ = nullptr;
    mapped_ = nullptr;
    if (sample_)
        gst_sample_unref(sample_);
    sample_ = nullptr;
}

// --- VideoTranscoder ------------------------------------------------------------------------

struct VideoTranscoder::Parts {
    Container container{};
    GstElement* parsebin = nullptr;
    GstElement* decodeQueue = nullptr;
    GstElement* decodebin = nullptr;
    GstElement* convertIn = nullptr;
    GstElement* appsink = nullptr;
    GstElement* appsrc = nullptr;
    GstElement* encoder = nullptr;
    GstElement* muxer = nullptr;
    GstBus* bus = nullptr;
};

std::unique_ptr<VideoTranscoder>
VideoTranscoder::open(const fs::path& input, const fs::path& outputPath, const fs::path& target,
                      const std::function<bool()>& stop, std::string* error) {
    ensureGStreamer();
    std::unique_ptr<VideoTranscoder> transcoder(new VideoTranscoder());
    transcoder->input_ = input;
    transcoder->target_ = target;
    if (!transcoder->build(input, outputPath, error))
        return nullptr;
    DecodedFrame first;
    switch (transcoder->pull(first, stop)) {
    case Pulled::frame:
        transcoder->first_ = std::move(first);
        return transcoder;
    case Pulled::end:
        *error = "no video frame can be decoded from " + quoted(input);
        return nullptr;
    case Pulled::failed:
        *error = transcoder->problem();
        return nullptr;
    }
    return nullptr;
}

VideoTranscoder::~VideoTranscoder() {
    first_.reset();
    if (pipeline_) {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
    }
    if (parts_ && parts_->bus)
        gst_object_unref(parts_->bus);
}

bool VideoTranscoder::build(const fs::path& input, const fs::path& outputPath, std::string* error) {
    std::string extension = outputPath.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    extension_ = extension;
    const std::optional<Container> container = containerFor(extension);
    if (!container) {
        *error = "cannot write " + quoted(target_) + ": OUTPUT must end in .webm, .mp4 or .mkv";
        return false;
    }
    for (const char* element : {"parsebin", "decodebin", "videoconvert", "appsink", "appsrc",
                                container->muxer, container->videoEncoder}) {
        if (!haveElement(element)) {
            const std::string name = element;
            *error = "cannot write " + quoted(target_) + ": GStreamer's " + name +
                     " is missing (install the Debian package " + packageOf(name) + ")";
            if (name == "x264enc")
                *error += "; .webm needs only gstreamer1.0-plugins-good";
            return false;
        }
    }

    parts_ = std::make_unique<Parts>();
    Parts& p = *parts_;
    p.container = *container;
    pipeline_ = gst_pipeline_new("orlenta-cover");
    GstElement* source = make("filesrc");
    p.parsebin = make("parsebin");
    p.decodeQueue = make("queue", "decode");
    p.decodebin = make("decodebin");
    p.convertIn = make("videoconvert");
    p.appsink = make("appsink");
    p.appsrc = make("appsrc");
    GstElement* encodeQueue = make("queue", "encode");
    GstElement* convertOut = make("videoconvert");
    GstElement* encoderCaps = make("capsfilter");
    p.encoder = make(container->videoEncoder);
    p.muxer = make(container->muxer);
    GstElement* sink = make("filesink");
    GstElement* all[] = {source,    p.parsebin, p.decodeQueue, p.decodebin, p.convertIn,
                         p.appsink, p.appsrc,   encodeQueue,   convertOut,  encoderCaps,
                         p.encoder, p.muxer,    sink};
    if (std::find(std::begin(all), std::end(all), nullptr) != std::end(all)) {
        for (GstElement* made : all)
            if (made)
                gst_object_unref(gst_object_ref_sink(made));
        *error = "cannot set up GStreamer to write " + quoted(target_);
        return false;
    }
    for (GstElement* element : all)
        gst_bin_add(GST_BIN(pipeline_), element);
    p.bus = gst_element_get_bus(pipeline_);

    g_object_set(source, "location", input.c_str(), nullptr);
    g_object_set(sink, "location", outputPath.c_str(), "sync", FALSE, "async", FALSE, nullptr);
    setThreads(p.convertIn);
    setThreads(convertOut);
    GstCaps* bgra = gst_caps_from_string("video/x-raw,format=BGRA");
    g_object_set(p.appsink, "caps", bgra, "sync", FALSE, "async", FALSE, "max-buffers",
                 kDecodedFramesWaiting, "drop", FALSE, nullptr);
    gst_caps_unref(bgra);
    g_object_set(p.appsrc, "format", GST_FORMAT_TIME, "block", FALSE, "is-live", FALSE, nullptr);
    g_object_set(encodeQueue, "max-size-buffers", 3u, "max-size-bytes", 0u, "max-size-time",
                 static_cast<guint64>(0), nullptr);
    g_object_set(p.decodeQueue, "max-size-buffers", 8u, "max-size-bytes", 0u, "max-size-time",
                 static_cast<guint64>(0), nullptr);
    configureEncoder(p.encoder, container->videoEncoder);
    GstCaps* i420 = gst_caps_from_string("video/x-raw,format=I420");
    g_object_set(encoderCaps, "caps", i420, nullptr);
    gst_caps_unref(i420);

    bool linked =
        gst_element_link(source, p.parsebin) && gst_element_link(p.decodeQueue, p.decodebin) &&
        gst_element_link(p.convertIn, p.appsink) &&
        gst_element_link_many(p.appsrc, encodeQueue, convertOut, encoderCaps, p.encoder, nullptr) &&
        gst_element_link(p.muxer, sink);
    if (linked) {
        GstPad* encoded = gst_element_get_static_pad(p.encoder, "src");
        GstPad* muxPad = gst_element_get_compatible_pad(p.muxer, encoded, nullptr);
        linked = muxPad && gst_pad_link(encoded, muxPad) == GST_PAD_LINK_OK;
        if (muxPad)
            gst_object_unref(muxPad);
        gst_object_unref(encoded);
    }
    if (!linked) {
        *error = "cannot set up GStreamer to write " + quoted(target_);
        return false;
    }

    g_signal_connect(p.parsebin, "pad-added",
                     G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer self) {
                         static_cast<VideoTranscoder*>(self)->onParsedPad(pad);
                     }),
                     this);
    g_signal_connect(p.decodebin, "pad-added",
                     G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer self) {
                         static_cast<VideoTranscoder*>(self)->onDecodedPad(pad);
                     }),
                     this);

    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        checkBus();
        const std::string reason = problem();
        *error = reason.empty() ? "cannot read " + quoted(input) : reason;
        return false;
    }
    return true;
}

void VideoTranscoder::onParsedPad(void* padPointer) {
    GstPad* pad = static_cast<GstPad*>(padPointer);
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps)
        caps = gst_pad_query_caps(pad, nullptr);
    const std::string name = capsName(caps);
    const std::string codec = codecDescription(caps);
    gst_caps_unref(caps);
    bool isVideo = name.starts_with("video/") || name.starts_with("image/");
    {
        std::lock_guard lock(mutex_);
        ++tracks_;
        if (isVideo && videoFound_) {
            // A second picture would leave uncovered.
            notes_.push_back("a further video track (" + codec +
                             ") is left out: only the first one is covered");
            isVideo = false;
            GstElement* drop = make("fakesink");
            g_object_set(drop, "sync", FALSE, "async", FALSE, nullptr);
            gst_bin_add(GST_BIN(pipeline_), drop);
            GstPad* sinkPad = gst_element_get_static_pad(drop, "sink");
            gst_pad_link(pad, sinkPad);
            gst_object_unref(sinkPad);
            gst_element_sync_state_with_parent(drop);
            return;
        }
        if (isVideo)
            videoFound_ = true;
    }
    if (isVideo) {
        GstPad* sinkPad = gst_element_get_static_pad(parts_->decodeQueue, "sink");
        if (gst_pad_link(pad, sinkPad) != GST_PAD_LINK_OK)
            fail("cannot decode the video of " + quoted(input_) + " (" + codec + ")");
        gst_object_unref(sinkPad);
        return;
    }
    addTrack(pad, codec);
}

void VideoTranscoder::addTrack(void* padPointer, const std::string& codec) {
    GstPad* pad = static_cast<GstPad*>(padPointer);
    Parts& p = *parts_;
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps)
        caps = gst_pad_query_caps(pad, nullptr);
    const std::string name = capsName(caps);
    const bool audio = name.starts_with("audio/");
    const std::string what =
        std::string(audio ? "the audio track" : "a track") + " (" + codec + ")";
    const std::string container = extension_ == ".webm"  ? "WebM"
                                  : extension_ == ".mp4" ? "MP4"
                                                         : "Matroska";

    GstElement* queue = make("queue");
    g_object_set(queue, "max-size-buffers", 0u, "max-size-bytes", kCopiedTrackBytes,
                 "max-size-time", static_cast<guint64>(0), nullptr);
    gst_bin_add(GST_BIN(pipeline_), queue);
    GstPad* queueSink = gst_element_get_static_pad(queue, "sink");
    gst_pad_add_probe(
        queueSink, GST_PAD_PROBE_TYPE_BUFFER,
        +[](GstPad*, GstPadProbeInfo* info, gpointer self) {
            auto* transcoder = static_cast<VideoTranscoder*>(self);
            // The demuxer's tracks are all announced before data flows on any of them: data
            // without a picture means the file has none, and nothing would reach the reader.
            if (!transcoder->videoFound_) {
                transcoder->fail(quoted(transcoder->input_) + " has no video track");
                return GST_PAD_PROBE_DROP;
            }
            GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
            if (buffer && GST_BUFFER_PTS_IS_VALID(buffer)) {
                const auto end = static_cast<int64_t>(
                    GST_BUFFER_PTS(buffer) +
                    (GST_BUFFER_DURATION_IS_VALID(buffer) ? GST_BUFFER_DURATION(buffer) : 0));
                auto& tracksEnd = transcoder->otherTracksEnd_;
                int64_t seen = tracksEnd.load();
                while (end > seen && !tracksEnd.compare_exchange_weak(seen, end)) {
                }
            }
            return GST_PAD_PROBE_OK;
        },
        this, nullptr);
    gst_pad_link(pad, queueSink);
    gst_object_unref(queueSink);
    GstPad* queueSrc = gst_element_get_static_pad(queue, "src");

    std::string note;
    GstPad* muxPad = gst_element_get_compatible_pad(p.muxer, queueSrc, caps);
    if (muxPad && gst_pad_link(queueSrc, muxPad) == GST_PAD_LINK_OK) {
        note = what + " is copied as it is";
    } else if (audio && haveElement(p.container.audioEncoder)) {
        if (muxPad) {
            gst_element_release_request_pad(p.muxer, muxPad);
            gst_object_unref(muxPad);
            muxPad = nullptr;
        }
        // The container cannot hold this sound as it is: decode it and encode it again.
        GstElement* decoder = make("decodebin");
        GstElement* convert = make("audioconvert");
        GstElement* resample = make("audioresample");
        GstElement* encoder = make(p.container.audioEncoder);
        gst_bin_add_many(GST_BIN(pipeline_), decoder, convert, resample, encoder, nullptr);
        gst_element_link_many(convert, resample, encoder, nullptr);
        GstPad* encoded = gst_element_get_static_pad(encoder, "src");
        muxPad = gst_element_get_compatible_pad(p.muxer, encoded, nullptr);
        const bool linked = muxPad && gst_pad_link(encoded, muxPad) == GST_PAD_LINK_OK &&
                            gst_element_link(queue, decoder);
        gst_object_unref(encoded);
        g_signal_connect(decoder, "pad-added",
                         G_CALLBACK(+[](GstElement*, GstPad* decoded, gpointer next) {
                             GstPad* sinkPad =
                                 gst_element_get_static_pad(static_cast<GstElement*>(next), "sink");
                             if (!gst_pad_is_linked(sinkPad))
                                 gst_pad_link(decoded, sinkPad);
                             gst_object_unref(sinkPad);
                         }),
                         convert);
        for (GstElement* element : {encoder, resample, convert, decoder})
            gst_element_sync_state_with_parent(element);
        note = linked ? what + " is re-encoded as " + p.container.audioCodec + ": " + container +
                            " cannot hold it as it is"
                      : what + " is left out: it cannot be re-encoded for " + container;
    } else {
        if (muxPad) {
            gst_element_release_request_pad(p.muxer, muxPad);
            gst_object_unref(muxPad);
            muxPad = nullptr;
        }
        GstElement* drop = make("fakesink");
        g_object_set(drop, "sync", FALSE, "async", FALSE, nullptr);
        gst_bin_add(GST_BIN(pipeline_), drop);
        gst_element_link(queue, drop);
        gst_element_sync_state_with_parent(drop);
        note =
            what + " is left out: " + container + " cannot hold it" +
            (audio ? std::string(" and GStreamer's ") + p.container.audioEncoder +
                         " is missing (Debian package " + packageOf(p.container.audioEncoder) + ")"
                   : std::string(" (.mkv can)"));
    }
    if (muxPad)
        gst_object_unref(muxPad);
    gst_object_unref(queueSrc);
    gst_caps_unref(caps);
    gst_element_sync_state_with_parent(queue);
    std::lock_guard lock(mutex_);
    notes_.push_back(note);
}

void VideoTranscoder::onDecodedPad(void* padPointer) {
    GstPad* pad = static_cast<GstPad*>(padPointer);
    GstPad* sinkPad = gst_element_get_static_pad(parts_->convertIn, "sink");
    if (!gst_pad_is_linked(sinkPad) && gst_pad_link(pad, sinkPad) != GST_PAD_LINK_OK)
        fail("cannot convert the decoded video of " + quoted(input_));
    gst_object_unref(sinkPad);
}

void VideoTranscoder::fail(const std::string& message) {
    std::lock_guard lock(mutex_);
    if (problem_.empty())
        problem_ = message;
}

std::string VideoTranscoder::problem() const {
    std::lock_guard lock(mutex_);
    return problem_;
}

std::vector<std::string> VideoTranscoder::notes() const {
    std::lock_guard lock(mutex_);
    return notes_;
}

bool VideoTranscoder::checkBus() {
    while (GstMessage* message = gst_bus_pop_filtered(
               parts_->bus, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_WARNING))) {
        const bool isError = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
        GError* gerror = nullptr;
        gchar* debug = nullptr;
        std::string text = errorText(message);
        if (isError) {
            gst_message_parse_error(message, &gerror, &debug);
        }
        const bool typeUnknown = gerror && gerror->domain == GST_STREAM_ERROR &&
                                 (gerror->code == GST_STREAM_ERROR_TYPE_NOT_FOUND ||
                                  gerror->code == GST_STREAM_ERROR_WRONG_TYPE);
        const bool missingCodec =
            gerror &&
            ((gerror->domain == GST_CORE_ERROR && gerror->code == GST_CORE_ERROR_MISSING_PLUGIN) ||
             (gerror->domain == GST_STREAM_ERROR &&
              gerror->code == GST_STREAM_ERROR_CODEC_NOT_FOUND));
        const bool writing =
            gerror && gerror->domain == GST_RESOURCE_ERROR && GST_MESSAGE_SRC(message) &&
            std::string(GST_OBJECT_NAME(GST_MESSAGE_SRC(message))).starts_with("filesink");
        if (gerror)
            g_error_free(gerror);
        g_free(debug);
        gst_message_unref(message);
        if (!isError) {
            // Demuxers and decoders warn about what they had to skip: part of the picture is
            // missing, so the file counts as damaged.
            fail(quoted(input_) + " is truncated or damaged: " + text);
            continue;
        }
        if (typeUnknown)
            fail(quoted(input_) + " is not a video or image that can be decoded here");
        else if (missingCodec)
            fail("cannot decode " + quoted(input_) +
                 ": a decoder is missing (H.264 and most camera formats need the Debian package "
                 "gstreamer1.0-libav)");
        else if (writing)
            fail("cannot write " + quoted(target_) + ": " + text);
        else
            fail("cannot process " + quoted(input_) + ": " + text);
    }
    return problem().empty();
}

VideoTranscoder::Pulled VideoTranscoder::pull(DecodedFrame& frame,
                                              const std::function<bool()>& stop) {
    if (first_) {
        frame = std::move(*first_);
        first_.reset();
        return Pulled::frame;
    }
    GstAppSink* sink = GST_APP_SINK(parts_->appsink);
    GstSample* sample = nullptr;
    while (!sample) {
        if (!checkBus())
            return Pulled::failed;
        if (stop && stop()) {
            fail("interrupted");
            return Pulled::failed;
        }
        sample = gst_app_sink_try_pull_sample(sink, kPollInterval);
        if (!sample && gst_app_sink_is_eos(sink)) {
            if (!checkBus())
                return Pulled::failed;
            if (const std::string cut = endProblem(); !cut.empty()) {
                fail(cut);
                return Pulled::failed;
            }
            return Pulled::end;
        }
    }
    GstVideoInfo info;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (!buffer || !gst_video_info_from_caps(&info, gst_sample_get_caps(sample))) {
        gst_sample_unref(sample);
        fail("cannot read a decoded frame of " + quoted(input_));
        return Pulled::failed;
    }
    const int width = GST_VIDEO_INFO_WIDTH(&info);
    const int height = GST_VIDEO_INFO_HEIGHT(&info);
    if (width_ == 0) {
        width_ = width;
        height_ = height;
        rateNumerator_ = GST_VIDEO_INFO_FPS_N(&info);
        rateDenominator_ = std::max(1, GST_VIDEO_INFO_FPS_D(&info));
        gint64 length = 0;
        if (rateNumerator_ > 0 && gst_element_query_duration(pipeline_, GST_FORMAT_TIME, &length) &&
            length > 0)
            estimatedFrames_ = static_cast<int64_t>(std::llround(
                static_cast<double>(length) / GST_SECOND * rateNumerator_ / rateDenominator_));
    } else if (width != width_ || height != height_) {
        gst_sample_unref(sample);
        fail(quoted(input_) + " changes its picture size part way; such videos are not supported");
        return Pulled::failed;
    }

    DecodedFrame decoded;
    decoded.sample_ = sample;
    auto* map = new GstMapInfo;
    if (!gst_buffer_map(buffer, map, GST_MAP_READ)) {
        delete map;
        fail("cannot read a decoded frame of " + quoted(input_));
        return Pulled::failed;
    }
    decoded.mapped_ = buffer;
    decoded.mapInfo_ = map;
    decoded.bgra_ = cv::Mat(height, width, CV_8UC4, map->data,
                            static_cast<size_t>(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0)));

    // Timing: the frame's own timestamp, on the running time the other tracks use too.
    const GstSegment* segment = gst_sample_get_segment(sample);
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    const GstClockTime duration = GST_BUFFER_DURATION(buffer);
    const GstClockTime nominal =
        rateNumerator_ > 0 ? gst_util_uint64_scale_int(GST_SECOND, rateDenominator_, rateNumerator_)
                           : GST_SECOND / 30;
    int64_t running = -1;
    if (GST_CLOCK_TIME_IS_VALID(pts)) {
        const GstClockTime value =
            segment ? gst_segment_to_running_time(segment, GST_FORMAT_TIME, pts) : pts;
        if (GST_CLOCK_TIME_IS_VALID(value))
            running = static_cast<int64_t>(value);
        decoded.seconds_ = static_cast<double>(pts) / GST_SECOND;
    }
    if (running < 0)
        running =
            lastRunningTime_ < 0
                ? 0
                : lastRunningTime_ +
                      static_cast<int64_t>(GST_CLOCK_TIME_IS_VALID(duration) ? duration : nominal);
    // Muxers need rising timestamps; a decoder's repeat of a time moves on by a nanosecond.
    if (running <= lastRunningTime_)
        running = lastRunningTime_ + 1;
    if (!GST_CLOCK_TIME_IS_VALID(pts))
        decoded.seconds_ = static_cast<double>(running) / GST_SECOND;
    lastRunningTime_ = running;
    nominalFrame_ = static_cast<int64_t>(nominal);
    if (GST_CLOCK_TIME_IS_VALID(pts))
        videoEnd_ = std::max(
            videoEnd_,
            static_cast<int64_t>(pts + (GST_CLOCK_TIME_IS_VALID(duration) ? duration : nominal)));
    decoded.runningTime_ = running;
    if (GST_CLOCK_TIME_IS_VALID(duration))
        decoded.duration_ = static_cast<int64_t>(duration);
    frame = std::move(decoded);
    return Pulled::frame;
}

std::string VideoTranscoder::endProblem() {
    gint64 length = 0;
    if (!gst_element_query_duration(pipeline_, GST_FORMAT_TIME, &length) || length <= 0)
        return {}; // a file that does not say how long it is
    // A file is cut off when none of its tracks reaches the length its container gives, so a
    // sound track that runs on after the picture is no reason. Half a frame allows for lengths
    // rounded to the millisecond.
    const int64_t reached = std::max(videoEnd_, otherTracksEnd_.load());
    const int64_t slack = std::max<int64_t>(nominalFrame_ / 2, 5 * GST_MSECOND);
    if (reached + slack >= length)
        return {};
    char text[96];
    std::snprintf(text, sizeof text, "its tracks end at %.3f s of %.3f s",
                  static_cast<double>(reached) / GST_SECOND,
                  static_cast<double>(length) / GST_SECOND);
    return quoted(input_) + " is truncated or damaged: " + text;
}

GstBuffer* VideoTranscoder::makeOutputBuffer(const DecodedFrame& frame, cv::Mat& view,
                                             void** mapOut) {
    const size_t stride = static_cast<size_t>(width_) * 4;
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, stride * height_, nullptr);
    if (!buffer)
        return nullptr;
    auto* map = new GstMapInfo;
    if (!gst_buffer_map(buffer, map, GST_MAP_WRITE)) {
        delete map;
        gst_buffer_unref(buffer);
        return nullptr;
    }
    GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(frame.runningTime());
    if (frame.duration())
        GST_BUFFER_DURATION(buffer) = static_cast<GstClockTime>(*frame.duration());
    view = cv::Mat(height_, width_, CV_8UC4, map->data, stride);
    *mapOut = map;
    return buffer;
}

bool VideoTranscoder::push(GstBuffer* buffer, void* mapPointer, const std::function<bool()>& stop) {
    auto* map = static_cast<GstMapInfo*>(mapPointer);
    gst_buffer_unmap(buffer, map);
    delete map;
    GstAppSrc* source = GST_APP_SRC(parts_->appsrc);
    if (!capsSet_) {
        GstCaps* caps =
            gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRA", "width", G_TYPE_INT,
                                width_, "height", G_TYPE_INT, height_, "framerate",
                                GST_TYPE_FRACTION, rateNumerator_, rateDenominator_, nullptr);
        gst_app_src_set_caps(source, caps);
        gst_caps_unref(caps);
        capsSet_ = true;
    }
    const guint64 frameBytes = static_cast<guint64>(width_) * height_ * 4;
    while (gst_app_src_get_current_level_bytes(source) >= kFramesAheadOfEncoder * frameBytes) {
        if (!checkBus()) {
            gst_buffer_unref(buffer);
            return false;
        }
        if (stop && stop()) {
            gst_buffer_unref(buffer);
            fail("interrupted");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (gst_app_src_push_buffer(source, buffer) != GST_FLOW_OK) {
        checkBus();
        fail("cannot encode " + quoted(target_));
        return false;
    }
    return checkBus();
}

bool VideoTranscoder::finish(const std::function<bool()>& stop) {
    if (!checkBus())
        return false;
    gst_app_src_end_of_stream(GST_APP_SRC(parts_->appsrc));
    for (;;) {
        GstMessage* message = gst_bus_timed_pop_filtered(
            parts_->bus, kPollInterval,
            static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_WARNING));
        if (message) {
            if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
                gst_message_unref(message);
                break;
            }
            // Errors and warnings go back for checkBus() to word them.
            gst_bus_post(parts_->bus, message);
            if (!checkBus())
                return false;
        }
        if (stop && stop()) {
            fail("interrupted");
            return false;
        }
    }
    return checkBus();
}

} // namespace orlenta
