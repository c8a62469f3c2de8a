#include "camera_service/camera_service_pipewire.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <spa/utils/string.h>

#include "media/pixel_buffer.h"
#include "media/sample_buffer.h"

namespace orlenta {

namespace {

constexpr std::string_view kNodeNamePrefix = "orlenta-camera.";
constexpr const char* kDeviceIdKey = "orlenta.device.id";
constexpr const char* kStreamIdKey = "orlenta.stream.id";
constexpr size_t kUuidTextLength = 36;
constexpr int kBytesPerPixel = 4;
// The one frame size a sink queue takes; the registry does not tell the node's format.
constexpr int kSinkFrameWidth = 1280;
constexpr int kSinkFrameHeight = 720;
// Frames older than this many frame periods when a sink request takes them are dropped.
constexpr int64_t kStaleAfterFramePeriods = 2;
// A writer of the sink node that has sent nothing for this long (or since it linked) counts as
// silent: the same time after which readers get the placeholder. Only a silent writer gives the
// node up to another.
constexpr int64_t kWriterSilentAfterNanoseconds = 500'000'000;
// How often a writer without a free buffer asks PipeWire again.
constexpr int64_t kWriterRetryNanoseconds = 5'000'000;
// Frames a writer may have out at once (queued, or with the daemon and not yet given back). A
// frame sent without a copy holds its pixel buffer until then, so this also bounds how much of
// the app's pool a stalled daemon can hold.
constexpr size_t kWriterMaxFramesOut = 2;
// Buffers of the writer's own, for frames whose pixel buffer its stream does not carry.
constexpr size_t kWriterOwnBuffers = 2;
// Most buffers a writer's stream carries (the sink node takes up to 16).
constexpr size_t kWriterMaxBuffers = 16;
// Pixel buffers a writer remembers having copied once, to notice the ones that come back.
constexpr size_t kWriterSightings = 32;
// A shared pixel buffer not sent for this many frames is left out of the next set of buffers.
constexpr uint64_t kWriterForgetAfterFrames = 90;
// How long after it was sent a frame's pixel buffer is kept from its pool at least. PipeWire may
// hand a buffer back to the writer as soon as the next cycle runs, before the daemon has read
// it; and a pool may hand the buffer out for another picture (an uncovered one, even) at once.
// The daemon drops a frame older than two frame periods (67 ms at 30 fps) when it takes it, so a
// read cut short by a buffer let go this late can only yield a frame that is never shown.
constexpr double kSentHoldSeconds = 0.1;
// The same for a frame still out when its stream goes: the daemon may be in the middle of it.
constexpr double kRetiredHoldSeconds = 0.5;
// Longest wait for PipeWire to hand out a renegotiated set of buffers.
constexpr long kWriterRenegotiationNanoseconds = 500'000'000;

void initialisePipeWire() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

std::string nodeNameFor(const Uuid& device, const Uuid& stream) {
    return std::string(kNodeNamePrefix) + device.toString() + "." + stream.toString();
}

// Device and stream identifiers from a node name made by nodeNameFor.
std::optional<std::pair<std::string, std::string>> parseNodeName(std::string_view name) {
    if (name.size() != kNodeNamePrefix.size() + 2 * kUuidTextLength + 1 ||
        name.substr(0, kNodeNamePrefix.size()) != kNodeNamePrefix)
        return std::nullopt;
    const std::string_view rest = name.substr(kNodeNamePrefix.size());
    const auto device = Uuid::parse(rest.substr(0, kUuidTextLength));
    const auto stream = Uuid::parse(rest.substr(kUuidTextLength + 1));
    if (rest[kUuidTextLength] != '.' || !device || !stream)
        return std::nullopt;
    return std::pair{device->toString(), stream->toString()};
}

int64_t nanosecondsOf(const Time& time) {
    if (!time.isValid())
        return 0;
    if (time.timescale == 1'000'000'000)
        return time.value;
    return secondsToNanoseconds(time.seconds());
}

// --- The connection: a thread loop, a context and a core ---------------------------------------

class Connection {
public:
    static std::unique_ptr<Connection> open(const std::string& name, std::string* errorMessage) {
        initialisePipeWire();
        std::unique_ptr<Connection> connection(new Connection);
        connection->loop_ = pw_thread_loop_new("orlenta-pipewire", nullptr);
        if (!connection->loop_) {
            if (errorMessage)
                *errorMessage = "Could not make the PipeWire loop.";
            return nullptr;
        }
        connection->context_ =
            pw_context_new(pw_thread_loop_get_loop(connection->loop_), nullptr, 0);
        if (!connection->context_ || pw_thread_loop_start(connection->loop_) < 0) {
            if (errorMessage)
                *errorMessage = "Could not start the PipeWire loop.";
            return nullptr;
        }
        Guard guard(*connection);
        pw_properties* properties = pw_properties_new(PW_KEY_APP_NAME, name.c_str(), nullptr);
        connection->core_ = pw_context_connect(connection->context_, properties, 0);
        if (!connection->core_) {
            const int error = errno;
            if (errorMessage)
                *errorMessage =
                    std::string("Could not connect to PipeWire: ") + spa_strerror(-error);
            return nullptr;
        }
        static const pw_core_events events = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.error = [](void* data, uint32_t id, int, int result, const char* message) {
                auto* self = static_cast<Connection*>(data);
                if (id == PW_ID_CORE && result == -EPIPE && self->onLost_) {
                    auto onLost = std::move(self->onLost_);
                    self->onLost_ = nullptr;
                    onLost(message ? message : "connection lost");
                }
            };
            return e;
        }();
        pw_core_add_listener(connection->core_, &connection->coreListener_, &events,
                             connection.get());
        return connection;
    }

    ~Connection() {
        if (loop_)
            pw_thread_loop_stop(loop_);
        if (core_) {
            spa_hook_remove(&coreListener_);
            pw_core_disconnect(core_);
        }
        if (context_)
            pw_context_destroy(context_);
        if (loop_)
            pw_thread_loop_destroy(loop_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Holds the loop lock for a scope. Never used per frame.
    class Guard {
    public:
        explicit Guard(Connection& connection) : loop_(connection.loop_) {
            pw_thread_loop_lock(loop_);
        }
        ~Guard() { pw_thread_loop_unlock(loop_); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        pw_thread_loop* loop_;
    };

    pw_loop* loop() const { return pw_thread_loop_get_loop(loop_); }
    pw_core* core() const { return core_; }
    // Called on the loop thread, once, when PipeWire goes away. Set under the loop lock.
    void setOnLost(std::function<void(const std::string&)> onLost) { onLost_ = std::move(onLost); }

private:
    Connection() = default;

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    std::function<void(const std::string&)> onLost_;
};

// --- Parameters --------------------------------------------------------------------------------

struct PodBuffer {
    PodBuffer() { builder = SPA_POD_BUILDER_INIT(data, sizeof data); }
    uint8_t data[1024];
    spa_pod_builder builder;
};

struct VideoShape {
    int width = 0;
    int height = 0;
    // Frames per second as a fraction; a zero numerator accepts any rate up to 1000 per second.
    uint32_t rateNumerator = 30;
    uint32_t rateDenominator = 1;
};

const spa_pod* buildFormat(spa_pod_builder* b, const VideoShape& shape, spa_video_format format) {
    spa_pod_frame object;
    spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(b, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(b, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(b, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(b, SPA_MEDIA_SUBTYPE_raw);
    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_id(b, format);
    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_rectangle(b, static_cast<uint32_t>(shape.width),
                              static_cast<uint32_t>(shape.height));
    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_framerate, 0);
    if (shape.rateNumerator == 0) {
        spa_pod_frame choice;
        spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Range, 0);
        spa_pod_builder_fraction(b, 30, 1);
        spa_pod_builder_fraction(b, 0, 1);
        spa_pod_builder_fraction(b, 1000, 1);
        spa_pod_builder_pop(b, &choice);
    } else {
        spa_pod_builder_fraction(b, shape.rateNumerator, shape.rateDenominator);
    }
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &object));
}

const spa_pod* buildBuffers(spa_pod_builder* b, int width, int height, int32_t count,
                            int32_t minimum, int32_t maximum) {
    const int32_t stride = width * kBytesPerPixel;
    spa_pod_frame object;
    spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_prop(b, SPA_PARAM_BUFFERS_buffers, 0);
    spa_pod_frame choice;
    spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_int(b, count);
    spa_pod_builder_int(b, minimum);
    spa_pod_builder_int(b, maximum);
    spa_pod_builder_pop(b, &choice);
    spa_pod_builder_prop(b, SPA_PARAM_BUFFERS_blocks, 0);
    spa_pod_builder_int(b, 1);
    spa_pod_builder_prop(b, SPA_PARAM_BUFFERS_size, 0);
    spa_pod_builder_int(b, stride * height);
    spa_pod_builder_prop(b, SPA_PARAM_BUFFERS_stride, 0);
    spa_pod_builder_int(b, stride);
    // Shared memory only: the frames cross into another process.
    spa_pod_builder_prop(b, SPA_PARAM_BUFFERS_dataType, 0);
    spa_pod_frame flags;
    spa_pod_builder_push_choice(b, &flags, SPA_CHOICE_Flags, 0);
    spa_pod_builder_int(b, 1 << SPA_DATA_MemFd);
    spa_pod_builder_pop(b, &flags);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &object));
}

const spa_pod* buildHeaderMeta(spa_pod_builder* b) {
    spa_pod_frame object;
    spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_prop(b, SPA_PARAM_META_type, 0);
    spa_pod_builder_id(b, SPA_META_Header);
    spa_pod_builder_prop(b, SPA_PARAM_META_size, 0);
    spa_pod_builder_int(b, static_cast<int32_t>(sizeof(spa_meta_header)));
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &object));
}

// The negotiated size, or absent for anything but raw BGRA/BGRx of a positive size.
std::optional<std::pair<int, int>> parseFormat(const spa_pod* param) {
    if (!param)
        return std::nullopt;
    uint32_t mediaType = 0;
    uint32_t mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
        return std::nullopt;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0)
        return std::nullopt;
    if (info.format != SPA_VIDEO_FORMAT_BGRA && info.format != SPA_VIDEO_FORMAT_BGRx)
        return std::nullopt;
    if (info.size.width == 0 || info.size.height == 0 || info.size.width > 16384 ||
        info.size.height > 16384)
        return std::nullopt;
    return std::pair{static_cast<int>(info.size.width), static_cast<int>(info.size.height)};
}

// Copies a BGRA picture of width x height into a buffer of the stream. False when the buffer
// cannot hold it (the buffer is then left untouched).
bool fillBuffer(spa_buffer* buffer, const PixelBuffer& picture, int width, int height) {
    if (buffer->n_datas < 1)
        return false;
    spa_data& data = buffer->datas[0];
    const auto stride = static_cast<size_t>(width) * kBytesPerPixel;
    const size_t size = stride * static_cast<size_t>(height);
    if (!data.data || !data.chunk || data.maxsize < size)
        return false;
    PixelBufferLock lock(const_cast<PixelBuffer&>(picture));
    if (!lock)
        return false;
    auto* destination = static_cast<uint8_t*>(data.data);
    const uint8_t* source = lock.data();
    if (picture.bytesPerRow() == stride) {
        std::memcpy(destination, source, size);
    } else {
        for (int row = 0; row < height; ++row)
            std::memcpy(destination + static_cast<size_t>(row) * stride,
                        source + static_cast<size_t>(row) * picture.bytesPerRow(), stride);
    }
    data.chunk->offset = 0;
    data.chunk->size = static_cast<uint32_t>(size);
    data.chunk->stride = static_cast<int32_t>(stride);
    data.chunk->flags = SPA_CHUNK_FLAG_NONE;
    return true;
}

void stampHeader(spa_buffer* buffer, int64_t presentationNanoseconds, uint64_t sequence) {
    auto* header = static_cast<spa_meta_header*>(
        spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
    if (!header)
        return;
    header->flags = 0;
    header->offset = 0;
    header->pts = presentationNanoseconds;
    header->dts_offset = 0;
    header->seq = sequence;
}

// What a source node's buffer holds: the pixel buffer (the very hand-out of it) last copied in.
// Pixel buffers are not written once handed on, so while that hand-out is alive the copy is
// still exact and need not be made again; this keeps the placeholder, sent 30 times a second,
// from being copied once the node's few buffers all hold it.
struct BufferContent {
    std::weak_ptr<PixelBuffer> picture;
};

bool holds(const BufferContent& content, const std::shared_ptr<PixelBuffer>& picture) {
    return !content.picture.expired() && !content.picture.owner_before(picture) &&
           !picture.owner_before(content.picture);
}

struct LinkEnds {
    uint32_t outputNode = SPA_ID_INVALID;
    uint32_t inputNode = SPA_ID_INVALID;
};

class PwStream;

} // namespace

// =============================================================================================
// The daemon's side
// =============================================================================================

struct PipeWireCameraExtensionService::Impl
    : std::enable_shared_from_this<PipeWireCameraExtensionService::Impl> {
    explicit Impl(std::unique_ptr<Connection> c)
        : connection(std::move(c)), serviceQueue("camera-service") {}

    // Runs a call of the sources on the client queue.
    void dispatchToClients(Task task) {
        Executor* queue = clientQueue.load();
        if (queue)
            queue->post(std::move(task));
        else
            serviceQueue.async(std::move(task));
    }
    void dispatchCompletion(Task task) { serviceQueue.async(std::move(task)); }

    void linksChanged();
    void shutdown();

    std::unique_ptr<Connection> connection;
    SerialQueue serviceQueue;
    std::atomic<Executor*> clientQueue{nullptr};
    std::weak_ptr<CameraExtensionProviderSource> providerSource;
    std::atomic<bool> stopped{false};
    std::atomic<uint64_t> nextClientId{1};

    // Loop thread (or under the loop lock).
    pw_registry* registry = nullptr;
    spa_hook registryListener{};
    std::map<uint32_t, LinkEnds> links;
    std::vector<std::weak_ptr<PwStream>> published;

    struct Counters {
        std::atomic<uint64_t> framesSent{0};
        std::atomic<uint64_t> framesNotSent{0};
        std::atomic<uint64_t> sinkFramesReceived{0};
        std::atomic<uint64_t> sinkFramesDropped{0};
        std::atomic<uint64_t> sinkFramesStale{0};
        std::atomic<uint64_t> sinkFramesMalformed{0};
        std::atomic<uint64_t> lastScheduledSequence{0};
        std::atomic<uint64_t> copiesSaved{0};
    } counters;
};

namespace {

using ServiceImpl = PipeWireCameraExtensionService::Impl;

// One client of a stream: a PipeWire link to a reader, or from a writer. Touched only on the
// client queue once made.
struct ClientSession {
    CameraExtensionClientPtr client;
    bool started = false;
    // Sink only: another writer took over; this one was stopped then and its link is going.
    bool superseded = false;
};

class PwStream final : public CameraExtensionStream, public std::enable_shared_from_this<PwStream> {
public:
    PwStream(std::shared_ptr<ServiceImpl> service, std::string name, const Uuid& id,
             CameraStreamDirection direction, CameraStreamClockType clockType,
             std::weak_ptr<CameraExtensionStreamSource> source)
        : service_(std::move(service)), name_(std::move(name)), id_(id), direction_(direction),
          clockType_(clockType), source_(std::move(source)) {}

    ~PwStream() override { unpublish(); }

    const std::string& localizedName() const override { return name_; }
    const Uuid& streamId() const override { return id_; }
    CameraStreamDirection direction() const override { return direction_; }
    CameraStreamClockType clockType() const override { return clockType_; }

    // Records the device the stream belongs to; false if it already belongs to one.
    bool attach(const std::string& deviceName, const Uuid& deviceId) {
        std::lock_guard lock(attachMutex_);
        if (attached_)
            return false;
        attached_ = true;
        deviceName_ = deviceName;
        deviceId_ = deviceId;
        return true;
    }

    bool publish(std::string* errorMessage);
    void unpublish();
    // Loop thread: the links changed, or the node got its id.
    void updateClients();

    void consumeSampleBuffer(const CameraExtensionClientPtr& client,
                             ConsumeCompletion completion) override;
    void notifyScheduledOutputChanged(const CameraExtensionScheduledOutput& output) override {
        // PipeWire gives a writer no channel back beyond recycling its buffer, which happens as
        // soon as the frame has been copied out; the acknowledgement is kept for diagnostics.
        service_->counters.lastScheduledSequence = output.sequenceNumber;
    }
    void sendSampleBuffer(std::shared_ptr<SampleBuffer> sampleBuffer, uint32_t discontinuity,
                          uint64_t hostTimeInNanoseconds) override;

private:
    static const pw_stream_events& streamEvents();
    void onStateChanged(pw_stream_state state);
    void onParamChanged(uint32_t id, const spa_pod* param);
    void onProcess();
    void onSendEvent();
    void serveRequests();
    void endSessionsLocked();
    void stopSession(const std::shared_ptr<ClientSession>& session, const char* reason);
    void destroySendEventLocked();
    void failRequestsOf(const CameraExtensionClient* client, const char* reason);
    bool makeNodeLocked(std::string* errorMessage);
    bool admitWriter(uint32_t link);
    void dropLink(uint32_t link);

    const std::shared_ptr<ServiceImpl> service_;
    const std::string name_;
    const Uuid id_;
    const CameraStreamDirection direction_;
    const CameraStreamClockType clockType_;
    const std::weak_ptr<CameraExtensionStreamSource> source_;

    std::mutex attachMutex_;
    bool attached_ = false;
    std::atomic<bool> publishing_{false};
    std::string deviceName_;
    Uuid deviceId_;

    // Fixed by publish() before the node exists.
    VideoShape shape_{};
    int64_t framePeriodNanoseconds_ = 33'333'333;
    std::shared_ptr<PixelBufferPool> sinkPool_;

    // Loop thread, or under the loop lock.
    pw_stream* stream_ = nullptr;
    spa_hook listener_{};
    bool streaming_ = false;
    uint32_t nodeId_ = SPA_ID_INVALID;
    std::optional<std::pair<int, int>> negotiated_;
    uint64_t sequence_ = 0;
    std::map<uint32_t, std::shared_ptr<ClientSession>> sessions_;
    // Sink: the link of the one writer whose frames the node takes, when it linked and when its
    // last frame came (monotonic nanoseconds), and the links of writers turned away.
    uint32_t holderLink_ = SPA_ID_INVALID;
    int64_t holderSince_ = 0;
    int64_t lastSinkFrame_ = 0;
    std::set<uint32_t> refused_;

    // The one frame waiting to be written to the source node, and the event that wakes the loop.
    std::mutex sendMutex_;
    spa_source* sendEvent_ = nullptr;
    std::shared_ptr<SampleBuffer> pendingSend_;
    uint64_t pendingHostTime_ = 0;

    // Sink: the newest frame taken from the node, the waiting requests and the writers.
    struct Arrived {
        std::shared_ptr<SampleBuffer> sample;
        uint64_t sequence = 0;
        int64_t presentationNanoseconds = 0;
    };
    struct Request {
        CameraExtensionClientPtr client;
        ConsumeCompletion completion;
    };
    std::mutex sinkMutex_;
    std::optional<Arrived> arrived_;
    std::deque<Request> requests_;
    std::set<const CameraExtensionClient*> writers_;
};

const pw_stream_events& PwStream::streamEvents() {
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char*) {
            static_cast<PwStream*>(data)->onStateChanged(state);
        };
        e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
            static_cast<PwStream*>(data)->onParamChanged(id, param);
        };
        e.process = [](void* data) { static_cast<PwStream*>(data)->onProcess(); };
        e.add_buffer = [](void*, pw_buffer* buffer) { buffer->user_data = new BufferContent; };
        e.remove_buffer = [](void*, pw_buffer* buffer) {
            delete static_cast<BufferContent*>(buffer->user_data);
            buffer->user_data = nullptr;
        };
        return e;
    }();
    return events;
}

bool PwStream::publish(std::string* errorMessage) {
    if (publishing_.exchange(true)) {
        if (errorMessage)
            *errorMessage = "The stream " + name_ + " is published already.";
        return false;
    }
    // The node offers the first format of the stream's source (1280 x 720 at 30 fps if none).
    shape_ = VideoShape{1280, 720, 30, 1};
    if (auto source = source_.lock()) {
        const std::vector<CameraStreamFormat> formats = source->formats();
        if (!formats.empty()) {
            const CameraStreamFormat& format = formats.front();
            shape_.width = format.formatDescription.width;
            shape_.height = format.formatDescription.height;
            const Time period = format.minFrameDuration;
            if (period.isValid() && period.value > 0) {
                shape_.rateNumerator = static_cast<uint32_t>(period.timescale);
                shape_.rateDenominator = static_cast<uint32_t>(period.value);
                framePeriodNanoseconds_ = nanosecondsOf(period);
            }
        }
    }
    if (shape_.width <= 0 || shape_.height <= 0) {
        if (errorMessage)
            *errorMessage = "The stream " + name_ + " has no usable format.";
        return false;
    }
    if (direction_ == CameraStreamDirection::sink) {
        PixelBufferPool::Attributes attributes;
        attributes.width = shape_.width;
        attributes.height = shape_.height;
        attributes.maxBuffers = 6;
        sinkPool_ = PixelBufferPool::create(attributes);
    }

    Connection::Guard guard(*service_->connection);
    if (!makeNodeLocked(errorMessage))
        return false;
    service_->published.push_back(weak_from_this());
    return true;
}

bool PwStream::makeNodeLocked(std::string* errorMessage) {
    std::string deviceName;
    Uuid deviceId;
    {
        std::lock_guard lock(attachMutex_);
        deviceName = deviceName_;
        deviceId = deviceId_;
    }
    const bool isSource = direction_ == CameraStreamDirection::source;
    const std::string nodeName = nodeNameFor(deviceId, id_);
    pw_properties* properties = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CLASS, isSource ? "Video/Source" : "Video/Sink",
        PW_KEY_NODE_NAME, nodeName.c_str(), PW_KEY_NODE_NICK, deviceName.c_str(),
        PW_KEY_NODE_DESCRIPTION, isSource ? deviceName.c_str() : name_.c_str(), PW_KEY_MEDIA_NAME,
        name_.c_str(), kDeviceIdKey, deviceId.toString().c_str(), kStreamIdKey,
        id_.toString().c_str(), nullptr);
    if (isSource)
        pw_properties_set(properties, PW_KEY_MEDIA_ROLE, "Camera");

    stream_ = pw_stream_new(service_->connection->core(), name_.c_str(), properties);
    if (!stream_) {
        if (errorMessage)
            *errorMessage = "Could not make the PipeWire node for " + name_ + ".";
        return false;
    }
    pw_stream_add_listener(stream_, &listener_, &streamEvents(), this);
    if (isSource) {
        spa_source* event = pw_loop_add_event(
            service_->connection->loop(),
            [](void* data, uint64_t) { static_cast<PwStream*>(data)->onSendEvent(); }, this);
        std::lock_guard lock(sendMutex_);
        sendEvent_ = event;
    }
    // Each pixel format is an entry of its own with every field fixed: some readers (Chromium
    // through the camera portal) parse no format from an entry that offers a choice.
    const VideoShape shape = isSource ? shape_ : VideoShape{shape_.width, shape_.height, 0, 1};
    PodBuffer pod;
    const spa_pod* params[] = {buildFormat(&pod.builder, shape, SPA_VIDEO_FORMAT_BGRA),
                               buildFormat(&pod.builder, shape, SPA_VIDEO_FORMAT_BGRx)};
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_MAP_BUFFERS | (isSource ? PW_STREAM_FLAG_DRIVER : PW_STREAM_FLAG_NONE));
    const int result = pw_stream_connect(
        stream_, isSource ? PW_DIRECTION_OUTPUT : PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 2);
    if (result < 0) {
        if (errorMessage)
            *errorMessage =
                "Could not connect the PipeWire node for " + name_ + ": " + spa_strerror(result);
        destroySendEventLocked();
        pw_stream_destroy(stream_);
        stream_ = nullptr;
        return false;
    }
    return true;
}

void PwStream::unpublish() {
    if (!service_->connection)
        return;
    Connection::Guard guard(*service_->connection);
    if (!stream_)
        return;
    endSessionsLocked();
    destroySendEventLocked();
    pw_stream_destroy(stream_);
    stream_ = nullptr;
    streaming_ = false;
    nodeId_ = SPA_ID_INVALID;
}

void PwStream::destroySendEventLocked() {
    spa_source* event = nullptr;
    {
        std::lock_guard lock(sendMutex_);
        event = sendEvent_;
        sendEvent_ = nullptr;
        pendingSend_.reset();
    }
    if (event)
        pw_loop_destroy_source(service_->connection->loop(), event);
}

void PwStream::endSessionsLocked() {
    for (auto& [link, session] : sessions_)
        if (!session->superseded)
            stopSession(session, "The stream is gone.");
    sessions_.clear();
}

void PwStream::stopSession(const std::shared_ptr<ClientSession>& session, const char* reason) {
    failRequestsOf(session->client.get(), reason);
    std::weak_ptr<CameraExtensionProviderSource> provider = service_->providerSource;
    service_->dispatchToClients([source = source_, provider, session] {
        if (session->started) {
            session->started = false;
            if (auto role = source.lock())
                role->stopStream();
        }
        if (auto providerRole = provider.lock())
            providerRole->disconnectClient(session->client);
    });
}

void PwStream::updateClients() {
    if (!stream_ || nodeId_ == SPA_ID_INVALID)
        return;
    std::set<uint32_t> current;
    for (const auto& [link, ends] : service_->links) {
        const bool mine = direction_ == CameraStreamDirection::source ? ends.outputNode == nodeId_
                                                                      : ends.inputNode == nodeId_;
        if (mine)
            current.insert(link);
    }
    // Links that went away: their clients stop.
    std::erase_if(refused_, [&](uint32_t link) { return current.count(link) == 0; });
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (current.count(it->first) != 0) {
            ++it;
            continue;
        }
        if (it->first == holderLink_)
            holderLink_ = SPA_ID_INVALID;
        std::shared_ptr<ClientSession> session = it->second;
        it = sessions_.erase(it);
        if (session->superseded)
            continue;
        stopSession(session, "The client stopped writing.");
    }
    // New links: each is a client that is admitted and starts.
    for (const uint32_t link : current) {
        if (sessions_.count(link) != 0 || refused_.count(link) != 0)
            continue;
        if (direction_ == CameraStreamDirection::sink && !admitWriter(link))
            continue;
        auto session = std::make_shared<ClientSession>();
        session->client = std::make_shared<CameraExtensionClient>(
            service_->nextClientId++, "PipeWire link " + std::to_string(link));
        if (direction_ == CameraStreamDirection::sink) {
            std::lock_guard lock(sinkMutex_);
            writers_.insert(session->client.get());
        }
        sessions_.emplace(link, session);
        std::weak_ptr<CameraExtensionProviderSource> provider = service_->providerSource;
        service_->dispatchToClients([source = source_, provider, session] {
            auto providerRole = provider.lock();
            if (providerRole && !providerRole->connectClient(session->client))
                return;
            auto role = source.lock();
            if (!role || !role->authorizedToStartStream(session->client))
                return;
            session->started = true;
            role->startStream();
        });
    }
}

// Sink: the node's input takes one writer at a time (the sink role knows a single sink client,
// and PipeWire's stream keeps one set of buffers for its port). A writer that sends keeps the
// node: a newcomer's link is removed at once while the holder has sent a frame within
// kWriterSilentAfterNanoseconds (or linked that recently), so a writer that links and sends
// nothing never takes the camera from one that sends. A silent holder gives way: its client stops
// before the newcomer's starts and its link is removed, which its writer sees as a lost link.
// True when the link is the holder's now.
bool PwStream::admitWriter(uint32_t link) {
    const int64_t now = nanosecondsOf(hostClockTime());
    const auto holder = sessions_.find(holderLink_);
    if (holder != sessions_.end()) {
        if (now - std::max(holderSince_, lastSinkFrame_) <= kWriterSilentAfterNanoseconds) {
            refused_.insert(link);
            dropLink(link);
            return false;
        }
        holder->second->superseded = true;
        stopSession(holder->second, "Another client writes this stream.");
        dropLink(holderLink_);
    }
    holderLink_ = link;
    holderSince_ = now;
    return true;
}

void PwStream::dropLink(uint32_t link) {
    if (service_->registry)
        pw_registry_destroy(service_->registry, link);
}

void PwStream::onStateChanged(pw_stream_state state) {
    streaming_ = state == PW_STREAM_STATE_STREAMING;
    if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
        const uint32_t node = pw_stream_get_node_id(stream_);
        if (node != nodeId_) {
            nodeId_ = node;
            updateClients();
        }
    }
}

void PwStream::onParamChanged(uint32_t id, const spa_pod* param) {
    if (id != SPA_PARAM_Format)
        return;
    negotiated_ = parseFormat(param);
    if (!negotiated_)
        return;
    PodBuffer pod;
    const auto [width, height] = *negotiated_;
    const spa_pod* params[] = {direction_ == CameraStreamDirection::source
                                   ? buildBuffers(&pod.builder, width, height, 4, 2, 8)
                                   : buildBuffers(&pod.builder, width, height, 4, 2, 16),
                               buildHeaderMeta(&pod.builder)};
    pw_stream_update_params(stream_, params, 2);
}

// Source: the frame waiting in the slot goes into a free buffer of the node.
void PwStream::onSendEvent() {
    std::shared_ptr<SampleBuffer> sample;
    uint64_t hostTime = 0;
    {
        std::lock_guard lock(sendMutex_);
        sample = std::move(pendingSend_);
        pendingSend_.reset();
        hostTime = pendingHostTime_;
    }
    if (!sample || !stream_)
        return;
    const std::shared_ptr<PixelBuffer>& picture = sample->imageBuffer();
    // A picture that does not match the negotiated format cannot be passed on as it is; it is
    // dropped rather than cropped or read past its end.
    if (!streaming_ || !negotiated_ || !picture || picture->width() != negotiated_->first ||
        picture->height() != negotiated_->second || picture->pixelFormat() != kPixelFormatBGRA) {
        ++service_->counters.framesNotSent;
        return;
    }
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
    if (!buffer) {
        ++service_->counters.framesNotSent;
        return;
    }
    auto* content = static_cast<BufferContent*>(buffer->user_data);
    if (content && holds(*content, picture) && buffer->buffer->datas[0].chunk) {
        spa_chunk& chunk = *buffer->buffer->datas[0].chunk;
        chunk.offset = 0;
        chunk.stride = negotiated_->first * kBytesPerPixel;
        chunk.size = static_cast<uint32_t>(chunk.stride * negotiated_->second);
        chunk.flags = SPA_CHUNK_FLAG_NONE;
        ++service_->counters.copiesSaved;
    } else if (fillBuffer(buffer->buffer, *picture, negotiated_->first, negotiated_->second)) {
        if (content)
            content->picture = picture;
    } else {
        // Give the buffer back empty: nothing is shown for this frame.
        if (buffer->buffer->n_datas > 0 && buffer->buffer->datas[0].chunk)
            buffer->buffer->datas[0].chunk->size = 0;
        if (content)
            content->picture.reset();
        pw_stream_queue_buffer(stream_, buffer);
        ++service_->counters.framesNotSent;
        return;
    }
    const int64_t presentation = sample->presentationTime().isValid()
                                     ? nanosecondsOf(sample->presentationTime())
                                     : static_cast<int64_t>(hostTime);
    stampHeader(buffer->buffer, presentation, ++sequence_);
    pw_stream_queue_buffer(stream_, buffer);
    pw_stream_trigger_process(stream_);
    ++service_->counters.framesSent;
}

void PwStream::sendSampleBuffer(std::shared_ptr<SampleBuffer> sampleBuffer, uint32_t,
                                uint64_t hostTimeInNanoseconds) {
    if (direction_ != CameraStreamDirection::source || !sampleBuffer || service_->stopped)
        return;
    // The event source is created and destroyed under this lock too, so it cannot go away while
    // it is signalled; signalling only writes to an eventfd.
    std::lock_guard lock(sendMutex_);
    if (!sendEvent_)
        return;
    if (pendingSend_)
        ++service_->counters.framesNotSent;
    pendingSend_ = std::move(sampleBuffer);
    pendingHostTime_ = hostTimeInNanoseconds;
    pw_loop_signal_event(service_->connection->loop(), sendEvent_);
}

// Sink: takes the newest frame the node holds, copies it into a pixel buffer of our own, and
// gives every PipeWire buffer back at once.
void PwStream::onProcess() {
    if (direction_ != CameraStreamDirection::sink || !stream_)
        return;
    pw_buffer* newest = nullptr;
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream_)) {
        if (newest) {
            pw_stream_queue_buffer(stream_, newest);
            ++service_->counters.sinkFramesDropped;
        }
        newest = buffer;
    }
    if (!newest)
        return;

    std::optional<Arrived> arrived;
    spa_buffer* buffer = newest->buffer;
    if (negotiated_ && buffer->n_datas >= 1 && buffer->datas[0].data && buffer->datas[0].chunk) {
        const auto [width, height] = *negotiated_;
        const spa_data& data = buffer->datas[0];
        const size_t rowBytes = static_cast<size_t>(width) * kBytesPerPixel;
        const size_t stride =
            data.chunk->stride > 0 ? static_cast<size_t>(data.chunk->stride) : rowBytes;
        const size_t offset = data.chunk->offset;
        const size_t size = data.chunk->size;
        const size_t needed = stride * static_cast<size_t>(height - 1) + rowBytes;
        if (stride >= rowBytes && size >= needed && offset <= data.maxsize &&
            size <= data.maxsize - offset) {
            std::shared_ptr<PixelBuffer> picture =
                sinkPool_ ? sinkPool_->createPixelBuffer() : nullptr;
            if (picture && picture->width() == width && picture->height() == height) {
                PixelBufferLock lock(*picture);
                if (lock) {
                    const auto* source = static_cast<const uint8_t*>(data.data) + offset;
                    for (int row = 0; row < height; ++row)
                        std::memcpy(lock.data() + static_cast<size_t>(row) * picture->bytesPerRow(),
                                    source + static_cast<size_t>(row) * stride, rowBytes);
                    const auto* header =
                        static_cast<const spa_meta_header*>(spa_buffer_find_meta_data(
                            buffer, SPA_META_Header, sizeof(spa_meta_header)));
                    Arrived frame;
                    frame.sequence = header ? header->seq : 0;
                    // A frame without a time of its own counts as made now.
                    frame.presentationNanoseconds =
                        header && header->pts > 0 ? header->pts : nanosecondsOf(hostClockTime());
                    SampleTiming timing;
                    timing.presentationTime =
                        Time::make(frame.presentationNanoseconds, 1'000'000'000);
                    frame.sample = SampleBuffer::createReady(
                        picture, VideoFormatDescription{kPixelFormatBGRA, width, height}, timing);
                    if (frame.sample)
                        arrived = std::move(frame);
                }
            } else {
                ++service_->counters.sinkFramesDropped;
            }
        } else {
            ++service_->counters.sinkFramesMalformed;
        }
    } else {
        ++service_->counters.sinkFramesMalformed;
    }
    pw_stream_queue_buffer(stream_, newest);
    if (!arrived)
        return;
    lastSinkFrame_ = nanosecondsOf(hostClockTime());
    ++service_->counters.sinkFramesReceived;
    {
        std::lock_guard lock(sinkMutex_);
        if (arrived_)
            ++service_->counters.sinkFramesDropped;
        arrived_ = std::move(arrived);
    }
    std::weak_ptr<PwStream> weak = weak_from_this();
    service_->dispatchCompletion([weak] {
        if (auto self = weak.lock())
            self->serveRequests();
    });
}

void PwStream::consumeSampleBuffer(const CameraExtensionClientPtr& client,
                                   ConsumeCompletion completion) {
    if (!completion)
        return;
    const auto fail = [&](const char* reason) {
        ConsumedSampleBuffer result;
        result.error = CameraExtensionError{reason};
        service_->dispatchCompletion(
            [completion = std::move(completion), result = std::move(result)]() mutable {
                completion(std::move(result));
            });
    };
    if (direction_ != CameraStreamDirection::sink) {
        fail("Only a sink stream has buffers to take.");
        return;
    }
    {
        std::lock_guard lock(sinkMutex_);
        if (!client || writers_.count(client.get()) == 0) {
            // Unlocks before failing: fail() only posts.
        } else {
            requests_.push_back({client, std::move(completion)});
            if (arrived_) {
                std::weak_ptr<PwStream> weak = weak_from_this();
                service_->dispatchCompletion([weak] {
                    if (auto self = weak.lock())
                        self->serveRequests();
                });
            }
            return;
        }
    }
    fail("The client does not write this stream.");
}

// Service queue: hands waiting frames to waiting requests, dropping frames that are stale by now.
void PwStream::serveRequests() {
    std::vector<std::pair<ConsumeCompletion, ConsumedSampleBuffer>> ready;
    {
        std::lock_guard lock(sinkMutex_);
        while (!requests_.empty() && arrived_) {
            Arrived frame = std::move(*arrived_);
            arrived_.reset();
            const int64_t age = nanosecondsOf(hostClockTime()) - frame.presentationNanoseconds;
            const int64_t limit = kStaleAfterFramePeriods * framePeriodNanoseconds_;
            if (age > limit || age < -limit) {
                ++service_->counters.sinkFramesStale;
                continue;
            }
            Request request = std::move(requests_.front());
            requests_.pop_front();
            ConsumedSampleBuffer result;
            result.sampleBuffer = std::move(frame.sample);
            result.sequenceNumber = frame.sequence;
            ready.emplace_back(std::move(request.completion), std::move(result));
        }
    }
    for (auto& [completion, result] : ready)
        completion(std::move(result));
}

void PwStream::failRequestsOf(const CameraExtensionClient* client, const char* reason) {
    std::vector<ConsumeCompletion> failed;
    {
        std::lock_guard lock(sinkMutex_);
        writers_.erase(client);
        for (auto it = requests_.begin(); it != requests_.end();) {
            if (it->client.get() == client) {
                failed.push_back(std::move(it->completion));
                it = requests_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& completion : failed) {
        ConsumedSampleBuffer result;
        result.error = CameraExtensionError{reason};
        service_->dispatchCompletion(
            [completion = std::move(completion), result = std::move(result)]() mutable {
                completion(std::move(result));
            });
    }
}

class PwDevice final : public CameraExtensionDevice {
public:
    PwDevice(std::shared_ptr<ServiceImpl> service, std::string name, const Uuid& id,
             std::optional<std::string> legacyId)
        : service_(std::move(service)), name_(std::move(name)), id_(id),
          legacyId_(std::move(legacyId)) {}

    const std::string& localizedName() const override { return name_; }
    const Uuid& deviceId() const override { return id_; }
    const std::optional<std::string>& legacyDeviceId() const override { return legacyId_; }

    std::optional<CameraExtensionError>
    addStream(const std::shared_ptr<CameraExtensionStream>& stream) override {
        auto pwStream = std::dynamic_pointer_cast<PwStream>(stream);
        if (!pwStream)
            return CameraExtensionError{"The stream was not made by this service."};
        if (!pwStream->attach(name_, id_))
            return CameraExtensionError{"The stream already belongs to a device."};
        std::lock_guard lock(mutex_);
        streams_.push_back(std::move(pwStream));
        if (published_) {
            std::string error;
            if (!streams_.back()->publish(&error))
                return CameraExtensionError{error};
        }
        return std::nullopt;
    }

    bool publish(std::string* errorMessage) {
        std::lock_guard lock(mutex_);
        published_ = true;
        for (const auto& stream : streams_)
            if (!stream->publish(errorMessage))
                return false;
        return true;
    }

    bool attached = false; // to a provider; guarded by the provider

private:
    std::shared_ptr<ServiceImpl> service_;
    std::string name_;
    Uuid id_;
    std::optional<std::string> legacyId_;
    std::mutex mutex_;
    bool published_ = false;
    std::vector<std::shared_ptr<PwStream>> streams_;
};

class PwProvider final : public CameraExtensionProvider {
public:
    PwProvider(std::shared_ptr<ServiceImpl> service,
               std::weak_ptr<CameraExtensionProviderSource> source, Executor* clientQueue)
        : service_(std::move(service)), source_(std::move(source)), clientQueue_(clientQueue) {}

    std::optional<CameraExtensionError>
    addDevice(const std::shared_ptr<CameraExtensionDevice>& device) override {
        auto pwDevice = std::dynamic_pointer_cast<PwDevice>(device);
        if (!pwDevice)
            return CameraExtensionError{"The device was not made by this service."};
        std::lock_guard lock(mutex_);
        if (pwDevice->attached)
            return CameraExtensionError{"The device already belongs to a provider."};
        pwDevice->attached = true;
        devices_.push_back(pwDevice);
        if (started_) {
            std::string error;
            if (!pwDevice->publish(&error))
                return CameraExtensionError{error};
        }
        return std::nullopt;
    }

    bool start(std::string* errorMessage) {
        std::lock_guard lock(mutex_);
        started_ = true;
        {
            Connection::Guard guard(*service_->connection);
            service_->providerSource = source_;
        }
        service_->clientQueue = clientQueue_;
        for (const auto& device : devices_)
            if (!device->publish(errorMessage))
                return false;
        return true;
    }

private:
    std::shared_ptr<ServiceImpl> service_;
    std::weak_ptr<CameraExtensionProviderSource> source_;
    Executor* clientQueue_;
    std::mutex mutex_;
    bool started_ = false;
    std::vector<std::shared_ptr<PwDevice>> devices_;
};

} // namespace

void ServiceImpl::linksChanged() {
    for (auto it = published.begin(); it != published.end();) {
        if (auto stream = it->lock()) {
            stream->updateClients();
            ++it;
        } else {
            it = published.erase(it);
        }
    }
}

void ServiceImpl::shutdown() {
    if (stopped.exchange(true))
        return;
    std::vector<std::shared_ptr<PwStream>> streams;
    {
        Connection::Guard guard(*connection);
        for (const auto& weak : published)
            if (auto stream = weak.lock())
                streams.push_back(stream);
        if (registry) {
            spa_hook_remove(&registryListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
            registry = nullptr;
        }
        connection->setOnLost(nullptr);
    }
    for (const auto& stream : streams)
        stream->unpublish();
}

PipeWireCameraExtensionService::PipeWireCameraExtensionService(std::shared_ptr<Impl> impl)
    : impl_(std::move(impl)) {}

PipeWireCameraExtensionService::~PipeWireCameraExtensionService() {
    impl_->shutdown();
}

std::shared_ptr<PipeWireCameraExtensionService>
PipeWireCameraExtensionService::create(PipeWireConnectionOptions options,
                                       std::string* errorMessage) {
    std::unique_ptr<Connection> connection = Connection::open(
        options.applicationName.empty() ? "orlenta-camera-extension" : options.applicationName,
        errorMessage);
    if (!connection)
        return nullptr;
    auto impl = std::make_shared<Impl>(std::move(connection));
    {
        Connection::Guard guard(*impl->connection);
        std::weak_ptr<Impl> weak = impl;
        if (options.onDisconnected) {
            impl->connection->setOnLost(
                [weak, onDisconnected = std::move(options.onDisconnected)](const std::string& why) {
                    if (auto self = weak.lock())
                        self->dispatchCompletion([onDisconnected, why] { onDisconnected(why); });
                });
        }
        impl->registry = pw_core_get_registry(impl->connection->core(), PW_VERSION_REGISTRY, 0);
        static const pw_registry_events events = [] {
            pw_registry_events e{};
            e.version = PW_VERSION_REGISTRY_EVENTS;
            e.global = [](void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                          const spa_dict* props) {
                auto* self = static_cast<Impl*>(data);
                if (!props || std::strcmp(type, PW_TYPE_INTERFACE_Link) != 0)
                    return;
                LinkEnds ends;
                const char* output = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE);
                const char* input = spa_dict_lookup(props, PW_KEY_LINK_INPUT_NODE);
                if (!output || !input || !spa_atou32(output, &ends.outputNode, 10) ||
                    !spa_atou32(input, &ends.inputNode, 10))
                    return;
                self->links[id] = ends;
                self->linksChanged();
            };
            e.global_remove = [](void* data, uint32_t id) {
                auto* self = static_cast<Impl*>(data);
                if (self->links.erase(id) != 0)
                    self->linksChanged();
            };
            return e;
        }();
        if (!impl->registry) {
            if (errorMessage)
                *errorMessage = "Could not read the PipeWire registry.";
            return nullptr;
        }
        pw_registry_add_listener(impl->registry, &impl->registryListener, &events, impl.get());
    }
    return std::shared_ptr<PipeWireCameraExtensionService>(
        new PipeWireCameraExtensionService(std::move(impl)));
}

std::shared_ptr<CameraExtensionProvider>
PipeWireCameraExtensionService::makeProvider(std::weak_ptr<CameraExtensionProviderSource> source,
                                             Executor* clientQueue) {
    return std::make_shared<PwProvider>(impl_, std::move(source), clientQueue);
}

std::shared_ptr<CameraExtensionDevice>
PipeWireCameraExtensionService::makeDevice(std::string localizedName, const Uuid& deviceId,
                                           std::optional<std::string> legacyDeviceId,
                                           std::weak_ptr<CameraExtensionDeviceSource>) {
    return std::make_shared<PwDevice>(impl_, std::move(localizedName), deviceId,
                                      std::move(legacyDeviceId));
}

std::shared_ptr<CameraExtensionStream> PipeWireCameraExtensionService::makeStream(
    std::string localizedName, const Uuid& streamId, CameraStreamDirection direction,
    CameraStreamClockType clockType, std::weak_ptr<CameraExtensionStreamSource> source) {
    return std::make_shared<PwStream>(impl_, std::move(localizedName), streamId, direction,
                                      clockType, std::move(source));
}

bool PipeWireCameraExtensionService::startService(
    const std::shared_ptr<CameraExtensionProvider>& provider, std::string* errorMessage) {
    auto pwProvider = std::dynamic_pointer_cast<PwProvider>(provider);
    if (!pwProvider) {
        if (errorMessage)
            *errorMessage = "The provider was not made by this service.";
        return false;
    }
    return pwProvider->start(errorMessage);
}

PipeWireCameraExtensionService::Statistics PipeWireCameraExtensionService::statistics() const {
    const auto& c = impl_->counters;
    return {c.framesSent,      c.framesNotSent,       c.sinkFramesReceived,   c.sinkFramesDropped,
            c.sinkFramesStale, c.sinkFramesMalformed, c.lastScheduledSequence};
}

// =============================================================================================
// The app's side
// =============================================================================================

namespace {

// The app's buffer queue on a sink node: an output stream that drives its own graph.
//
// Frames travel without a copy: the stream allocates its buffers itself and gives PipeWire the
// memfds of the app's own pixel buffers, so the daemon maps the very memory the pipeline rendered
// into. PipeWire fixes a stream's set of buffers when it negotiates them, so a pixel buffer can
// only travel this way once the stream carries it: one that comes back a second time (a pool
// recycles its few buffers) joins the set, and the set is negotiated anew. Until then, and for
// buffers that are never seen again, the frame is copied into one of a few buffers of the
// writer's own. A frame sent without a copy keeps its pixel buffer until PipeWire has given the
// buffer back and kSentHoldSeconds have passed, so the pool cannot hand it out again while the
// daemon may still read it.
//
// The queue counts as full while the stream is not streaming, is renegotiating, or has
// kWriterMaxFramesOut frames out; so a daemon that stops taking frames reads as a full queue.
class PwWriter final : public SinkBufferQueue, public std::enable_shared_from_this<PwWriter> {
public:
    PwWriter(std::shared_ptr<PipeWireCameraSystem::Impl> system,
             std::shared_ptr<Connection> connection, std::string target, int width, int height)
        : system_(std::move(system)), connection_(std::move(connection)),
          target_(std::move(target)), width_(width), height_(height) {}
    ~PwWriter() override { disconnect(); }

    int32_t count() const override {
        if (!ready_)
            return 1;
        std::lock_guard lock(slotMutex_);
        return slot_ ? 1 : 0;
    }
    int32_t capacity() const override { return 1; }

    bool enqueue(std::shared_ptr<SampleBuffer> sample) override {
        if (!sample || !ready_)
            return false;
        const std::shared_ptr<PixelBuffer>& picture = sample->imageBuffer();
        if (!picture || picture->width() != width_ || picture->height() != height_ ||
            picture->pixelFormat() != kPixelFormatBGRA)
            return false;
        std::lock_guard lock(slotMutex_);
        if (slot_ || !frameEvent_)
            return false;
        slot_ = std::move(sample);
        pw_loop_signal_event(loop(), frameEvent_);
        return true;
    }

    CameraStatus connect();
    void disconnect();

private:
    // One memfd that a buffer of the stream carries: a pixel buffer of the app's (its serial
    // set) or one of the writer's own, into which frames are copied. Owns a descriptor of its
    // own (a duplicate for a pixel buffer, which may go before the stream does) and a mapping.
    struct Memory {
        Memory() = default;
        ~Memory();
        Memory(const Memory&) = delete;
        Memory& operator=(const Memory&) = delete;

        uint64_t serial = 0; // 0 for the writer's own
        int fd = -1;
        uint8_t* data = nullptr;
        size_t size = 0;
        uint64_t lastSentFrame = 0;
    };
    struct Carried {
        std::shared_ptr<Memory> memory;
        std::shared_ptr<SampleBuffer> held; // the frame out in this buffer, when shared
        bool free = false;                  // dequeued from the stream, ready for a frame
        double sentAt = -1;                 // host media time of the last send
    };

    static const pw_stream_events& streamEvents();
    static std::shared_ptr<Memory> ownMemory(size_t size);
    static std::shared_ptr<Memory> sharedMemory(const PixelBuffer& picture);
    pw_loop* loop() const;
    size_t frameBytes() const { return static_cast<size_t>(width_) * height_ * kBytesPerPixel; }
    void onStateChanged(pw_stream_state state);
    void onParamChanged(uint32_t id, const spa_pod* param);
    void onAddBuffer(pw_buffer* buffer);
    void onRemoveBuffer(pw_buffer* buffer);
    void onFrameEvent();
    void onRetryTimer();
    void onRenegotiationTimeout();
    void teardownLocked();
    void updateParams();
    void renegotiate();
    void takeBackBuffers();
    void updateReady();
    void armRetryTimer();
    void noteCopiedPicture(const PixelBuffer& picture);
    void share(const PixelBuffer& picture);
    void send(pw_buffer* buffer, Carried& carried, const SampleBuffer& sample);

    const std::shared_ptr<PipeWireCameraSystem::Impl> system_;
    // The connection the writer was made on; it stays while the writer does, also after PipeWire
    // was lost and the system connected again.
    const std::shared_ptr<Connection> connection_;
    const std::string target_;
    const int width_;
    const int height_;

    // Loop thread, or under the loop lock.
    pw_stream* stream_ = nullptr;
    spa_hook listener_{};
    spa_source* retryTimer_ = nullptr;
    spa_source* renegotiationTimer_ = nullptr;
    bool streaming_ = false;
    bool negotiated_ = false;
    bool renegotiating_ = false;
    bool sharingFailed_ = false;
    uint64_t sequence_ = 0;
    uint64_t frames_ = 0;
    // What the next allocation gives the stream, in order: the writer's own memory first.
    std::vector<std::shared_ptr<Memory>> layout_;
    std::map<pw_buffer*, Carried> carried_;
    // Serials of pixel buffers copied once, newest last.
    std::deque<uint64_t> sightings_;

    std::atomic<bool> ready_{false};
    mutable std::mutex slotMutex_;
    std::shared_ptr<SampleBuffer> slot_;
    spa_source* frameEvent_ = nullptr;
};

} // namespace

struct PipeWireCameraSystem::Impl : std::enable_shared_from_this<PipeWireCameraSystem::Impl> {
    explicit Impl(std::string name) : applicationName(std::move(name)) {}

    struct StreamRecord {
        CameraObjectId id = 0;
        uint32_t globalId = 0;
        uint64_t serial = 0;
        uint32_t direction = kSystemStreamDirectionSource;
    };
    struct DeviceRecord {
        CameraObjectId id = 0;
        std::string uniqueId;
        std::string name;
        std::vector<StreamRecord> streams; // by serial: the order the nodes were made
    };
    struct Listener {
        Executor* executor = nullptr;
        Task task;
    };

    void notifyLocked() {
        for (const auto& [id, listener] : listeners)
            listener.executor->post(listener.task);
    }
    const StreamRecord* findStreamLocked(CameraObjectId stream, CameraObjectId* device) const {
        for (const auto& [uid, record] : devices)
            for (const StreamRecord& s : record.streams)
                if (s.id == stream) {
                    if (device)
                        *device = record.id;
                    return &s;
                }
        return nullptr;
    }
    void onGlobal(uint32_t id, const char* type, const spa_dict* props);
    void onGlobalRemove(uint32_t id);
    // Under the connection's loop lock: watches the connection for its loss and lists its nodes.
    bool attach(Connection& connection);
    // The connection's loop thread: PipeWire went away. The device list empties (listeners hear
    // of it) and the reconnecting thread takes over.
    void onLost();
    // The reconnecting thread: after a loss, lets the old connection go (queues made on it keep
    // it) and connects again every kReconnectPause until PipeWire answers.
    void reconnect();
    std::shared_ptr<Connection> currentConnection() const {
        std::lock_guard lock(mutex);
        return connection;
    }

    const std::string applicationName;
    // Replaced after a loss; read and written under mutex. Empty while PipeWire is away.
    std::shared_ptr<Connection> connection;
    // The registry of the current connection, under that connection's loop lock.
    pw_registry* registry = nullptr;
    spa_hook registryListener{};
    // The reconnecting thread and its state, under mutex.
    std::thread reconnector;
    std::condition_variable wake;
    bool lost = false;
    bool closing = false;

    mutable std::mutex mutex;
    std::map<std::string, DeviceRecord> devices; // by unique identifier
    std::map<uint32_t, std::string> nodeOwners;  // node global id -> device identifier
    CameraObjectId nextObjectId = kCameraSystemObject + 1;
    std::map<CameraObjectId, std::weak_ptr<PwWriter>> latestQueues;
    std::map<ListenerId, Listener> listeners;
    ListenerId nextListenerId = 1;

    // Frames sent without a copy whose buffers PipeWire has given back, or whose stream went:
    // their pixel buffers go back to the app's pool only at the host media time given (see
    // kSentHoldSeconds).
    void retire(std::shared_ptr<SampleBuffer> sample, double releaseAt) {
        if (!sample)
            return;
        std::lock_guard lock(retiredMutex);
        retired.emplace_back(releaseAt, std::move(sample));
    }
    void releaseRetired() {
        std::vector<std::shared_ptr<SampleBuffer>> due;
        {
            std::lock_guard lock(retiredMutex);
            const double now = currentMediaTime();
            for (auto it = retired.begin(); it != retired.end();) {
                if (it->first > now) {
                    ++it;
                    continue;
                }
                due.push_back(std::move(it->second));
                it = retired.erase(it);
            }
        }
    }
    std::mutex retiredMutex;
    std::vector<std::pair<double, std::shared_ptr<SampleBuffer>>> retired;

    struct WriterCounters {
        std::atomic<uint64_t> framesShared{0};
        std::atomic<uint64_t> framesCopied{0};
        std::atomic<uint64_t> framesNotSent{0};
        std::atomic<uint64_t> renegotiations{0};
    } writerCounters;
};

void PipeWireCameraSystem::Impl::onGlobal(uint32_t id, const char* type, const spa_dict* props) {
    if (!props || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0)
        return;
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
    if (!name || !mediaClass)
        return;
    const auto identity = parseNodeName(name);
    if (!identity)
        return;
    StreamRecord stream;
    stream.globalId = id;
    if (std::strcmp(mediaClass, "Video/Sink") == 0)
        stream.direction = kSystemStreamDirectionSink;
    else if (std::strcmp(mediaClass, "Video/Source") == 0)
        stream.direction = kSystemStreamDirectionSource;
    else
        return;
    const char* serial = spa_dict_lookup(props, PW_KEY_OBJECT_SERIAL);
    if (!serial || !spa_atou64(serial, &stream.serial, 10))
        return;
    const char* nick = spa_dict_lookup(props, PW_KEY_NODE_NICK);
    const char* description = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);

    std::lock_guard lock(mutex);
    auto [it, added] = devices.try_emplace(identity->first);
    DeviceRecord& device = it->second;
    if (added) {
        device.id = nextObjectId++;
        device.uniqueId = identity->first;
    }
    if (device.name.empty())
        device.name = nick ? nick : description ? description : "";
    stream.id = nextObjectId++;
    device.streams.push_back(stream);
    std::sort(device.streams.begin(), device.streams.end(),
              [](const StreamRecord& a, const StreamRecord& b) { return a.serial < b.serial; });
    nodeOwners[id] = identity->first;
    notifyLocked();
}

void PipeWireCameraSystem::Impl::onGlobalRemove(uint32_t id) {
    std::lock_guard lock(mutex);
    const auto owner = nodeOwners.find(id);
    if (owner == nodeOwners.end())
        return;
    const auto device = devices.find(owner->second);
    nodeOwners.erase(owner);
    if (device != devices.end()) {
        auto& streams = device->second.streams;
        streams.erase(std::remove_if(streams.begin(), streams.end(),
                                     [id](const StreamRecord& s) { return s.globalId == id; }),
                      streams.end());
        if (streams.empty())
            devices.erase(device);
    }
    notifyLocked();
}

namespace {

// Pause between attempts to reach PipeWire again after it went away.
constexpr auto kReconnectPause = std::chrono::milliseconds(250);

const pw_registry_events& systemRegistryEvents() {
    static const pw_registry_events events = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = [](void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                      const spa_dict* props) {
            static_cast<PipeWireCameraSystem::Impl*>(data)->onGlobal(id, type, props);
        };
        e.global_remove = [](void* data, uint32_t id) {
            static_cast<PipeWireCameraSystem::Impl*>(data)->onGlobalRemove(id);
        };
        return e;
    }();
    return events;
}

} // namespace

bool PipeWireCameraSystem::Impl::attach(Connection& fresh) {
    std::weak_ptr<Impl> weak = weak_from_this();
    fresh.setOnLost([weak](const std::string&) {
        if (auto self = weak.lock())
            self->onLost();
    });
    registry = pw_core_get_registry(fresh.core(), PW_VERSION_REGISTRY, 0);
    if (!registry)
        return false;
    pw_registry_add_listener(registry, &registryListener, &systemRegistryEvents(), this);
    return true;
}

void PipeWireCameraSystem::Impl::onLost() {
    std::lock_guard lock(mutex);
    if (!devices.empty()) {
        devices.clear();
        nodeOwners.clear();
        notifyLocked();
    }
    lost = true;
    wake.notify_all();
}

void PipeWireCameraSystem::Impl::reconnect() {
    std::unique_lock lock(mutex);
    while (true) {
        wake.wait(lock, [&] { return closing || lost; });
        if (closing)
            return;
        std::shared_ptr<Connection> old = std::move(connection);
        connection.reset();
        lost = false;
        lock.unlock();
        if (old) {
            Connection::Guard guard(*old);
            if (registry) {
                spa_hook_remove(&registryListener);
                pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
                registry = nullptr;
            }
        }
        old.reset();
        std::shared_ptr<Connection> fresh;
        while (!fresh) {
            lock.lock();
            if (wake.wait_for(lock, kReconnectPause, [&] { return closing; }))
                return;
            lock.unlock();
            fresh = Connection::open(applicationName, nullptr);
            if (!fresh)
                continue;
            bool attached = false;
            {
                Connection::Guard guard(*fresh);
                attached = attach(*fresh);
                if (!attached)
                    fresh->setOnLost(nullptr);
            }
            if (!attached)
                fresh.reset();
        }
        lock.lock();
        connection = std::move(fresh);
    }
}

namespace {

PwWriter::Memory::~Memory() {
    if (data)
        ::munmap(data, size);
    if (fd >= 0)
        ::close(fd);
}

std::shared_ptr<PwWriter::Memory> PwWriter::ownMemory(size_t size) {
    auto memory = std::make_shared<Memory>();
    memory->fd = ::memfd_create("orlenta-writer", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (memory->fd < 0 || ::ftruncate(memory->fd, static_cast<off_t>(size)) != 0 ||
        ::fcntl(memory->fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0)
        return nullptr;
    void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, memory->fd, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    memory->data = static_cast<uint8_t*>(mapped);
    memory->size = size;
    return memory;
}

std::shared_ptr<PwWriter::Memory> PwWriter::sharedMemory(const PixelBuffer& picture) {
    auto memory = std::make_shared<Memory>();
    memory->serial = picture.serial();
    memory->fd = ::fcntl(picture.fd(), F_DUPFD_CLOEXEC, 0);
    if (memory->fd < 0)
        return nullptr;
    void* mapped = ::mmap(nullptr, picture.dataSize(), PROT_READ, MAP_SHARED, memory->fd, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    memory->data = static_cast<uint8_t*>(mapped);
    memory->size = picture.dataSize();
    return memory;
}

pw_loop* PwWriter::loop() const {
    return connection_->loop();
}

const pw_stream_events& PwWriter::streamEvents() {
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char*) {
            static_cast<PwWriter*>(data)->onStateChanged(state);
        };
        e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
            static_cast<PwWriter*>(data)->onParamChanged(id, param);
        };
        e.add_buffer = [](void* data, pw_buffer* buffer) {
            static_cast<PwWriter*>(data)->onAddBuffer(buffer);
        };
        e.remove_buffer = [](void* data, pw_buffer* buffer) {
            static_cast<PwWriter*>(data)->onRemoveBuffer(buffer);
        };
        // A cycle ran: buffers the daemon is done with may be back.
        e.process = [](void* data) { static_cast<PwWriter*>(data)->updateReady(); };
        return e;
    }();
    return events;
}

CameraStatus PwWriter::connect() {
    Connection::Guard guard(*connection_);
    if (stream_)
        return kCameraStatusOk;
    pw_properties* properties = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_CLASS,
        "Stream/Output/Video", PW_KEY_NODE_NAME, "orlenta-camera-writer", PW_KEY_TARGET_OBJECT,
        target_.c_str(), PW_KEY_NODE_DONT_RECONNECT, "true", PW_KEY_NODE_EXCLUSIVE, "true",
        nullptr);
    stream_ = pw_stream_new(connection_->core(), "Orlenta Camera writer", properties);
    if (!stream_)
        return kCameraStatusFailed;
    pw_stream_add_listener(stream_, &listener_, &streamEvents(), this);
    retryTimer_ = pw_loop_add_timer(
        loop(), [](void* data, uint64_t) { static_cast<PwWriter*>(data)->onRetryTimer(); }, this);
    renegotiationTimer_ = pw_loop_add_timer(
        loop(),
        [](void* data, uint64_t) { static_cast<PwWriter*>(data)->onRenegotiationTimeout(); }, this);
    spa_source* event = pw_loop_add_event(
        loop(), [](void* data, uint64_t) { static_cast<PwWriter*>(data)->onFrameEvent(); }, this);
    {
        std::lock_guard lock(slotMutex_);
        frameEvent_ = event;
    }
    PodBuffer pod;
    const spa_pod* params[] = {
        buildFormat(&pod.builder, VideoShape{width_, height_, 30, 1}, SPA_VIDEO_FORMAT_BGRA)};
    // The writer drives: a frame goes out when the app has one, not on a clock of the graph. It
    // brings the memory of its buffers itself.
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_DRIVER |
                                     PW_STREAM_FLAG_ALLOC_BUFFERS | PW_STREAM_FLAG_DONT_RECONNECT);
    const int result = pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1);
    if (result < 0) {
        // Tear down what was made; the caller sees the failure.
        teardownLocked();
        return kCameraStatusFailed;
    }
    return kCameraStatusOk;
}

void PwWriter::disconnect() {
    Connection::Guard guard(*connection_);
    teardownLocked();
}

void PwWriter::teardownLocked() {
    ready_ = false;
    spa_source* event = nullptr;
    {
        std::lock_guard lock(slotMutex_);
        event = frameEvent_;
        frameEvent_ = nullptr;
        slot_.reset();
    }
    if (event)
        pw_loop_destroy_source(loop(), event);
    for (spa_source** timer : {&retryTimer_, &renegotiationTimer_}) {
        if (*timer)
            pw_loop_destroy_source(loop(), *timer);
        *timer = nullptr;
    }
    if (stream_) {
        pw_stream_destroy(stream_);
        stream_ = nullptr;
    }
    // Frames still out go with the stream, but their pixel buffers only later: the daemon may be
    // reading one still.
    for (auto& [buffer, carried] : carried_)
        system_->retire(std::move(carried.held), currentMediaTime() + kRetiredHoldSeconds);
    carried_.clear();
    streaming_ = false;
    negotiated_ = false;
    renegotiating_ = false;
}

void PwWriter::onStateChanged(pw_stream_state state) {
    streaming_ = state == PW_STREAM_STATE_STREAMING;
    updateReady();
}

void PwWriter::onParamChanged(uint32_t id, const spa_pod* param) {
    if (id != SPA_PARAM_Format)
        return;
    const auto format = parseFormat(param);
    negotiated_ = format && format->first == width_ && format->second == height_;
    if (!negotiated_)
        return;
    if (layout_.empty()) {
        for (size_t i = 0; i < kWriterOwnBuffers; ++i)
            if (auto memory = ownMemory(frameBytes()))
                layout_.push_back(std::move(memory));
    }
    updateParams();
}

// Asks for exactly as many buffers as the layout holds; PipeWire then allocates them anew,
// calling onAddBuffer for each.
void PwWriter::updateParams() {
    if (!stream_ || layout_.empty())
        return;
    const auto count = static_cast<int32_t>(layout_.size());
    PodBuffer pod;
    const spa_pod* params[] = {buildBuffers(&pod.builder, width_, height_, count, count, count),
                               buildHeaderMeta(&pod.builder)};
    pw_stream_update_params(stream_, params, 2);
}

void PwWriter::renegotiate() {
    const auto count = static_cast<int32_t>(layout_.size());
    PodBuffer pod;
    const spa_pod* params[] = {
        buildFormat(&pod.builder, VideoShape{width_, height_, 30, 1}, SPA_VIDEO_FORMAT_BGRA),
        buildBuffers(&pod.builder, width_, height_, count, count, count),
        buildHeaderMeta(&pod.builder)};
    pw_stream_update_params(stream_, params, 3);
}

void PwWriter::onAddBuffer(pw_buffer* buffer) {
    const size_t index = carried_.size();
    if (index >= layout_.size()) {
        // More buffers than asked for: give them memory of their own.
        if (auto memory = ownMemory(frameBytes()))
            layout_.push_back(std::move(memory));
    }
    spa_buffer* spaBuffer = buffer->buffer;
    if (index >= layout_.size() || spaBuffer->n_datas < 1 ||
        (spaBuffer->datas[0].type & (1u << SPA_DATA_MemFd)) == 0)
        return; // left without memory: never used
    const std::shared_ptr<Memory>& memory = layout_[index];
    spa_data& data = spaBuffer->datas[0];
    data.type = SPA_DATA_MemFd;
    data.flags = SPA_DATA_FLAG_READABLE;
    data.fd = memory->fd;
    data.mapoffset = 0;
    data.maxsize = static_cast<uint32_t>(memory->size);
    data.data = memory->data;
    carried_[buffer] = Carried{memory, nullptr, false};
    if (carried_.size() == layout_.size()) {
        // The set is complete; its buffers become free once PipeWire is done handing them over,
        // which the retry timer looks for.
        renegotiating_ = false;
        timespec zero{0, 0};
        if (renegotiationTimer_)
            pw_loop_update_timer(loop(), renegotiationTimer_, &zero, &zero, false);
        armRetryTimer();
    }
}

void PwWriter::onRemoveBuffer(pw_buffer* buffer) {
    const auto it = carried_.find(buffer);
    if (it == carried_.end())
        return;
    system_->retire(std::move(it->second.held), currentMediaTime() + kRetiredHoldSeconds);
    carried_.erase(it);
    ready_ = false;
}

// Buffers the daemon has given back are free again, and the frames they carried let go.
void PwWriter::takeBackBuffers() {
    if (!stream_)
        return;
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream_)) {
        const auto it = carried_.find(buffer);
        if (it == carried_.end())
            continue;
        it->second.free = true;
        system_->retire(std::move(it->second.held), it->second.sentAt + kSentHoldSeconds);
    }
}

void PwWriter::updateReady() {
    system_->releaseRetired();
    takeBackBuffers();
    size_t out = 0;
    for (const auto& [buffer, carried] : carried_)
        out += carried.free ? 0 : 1;
    const bool room = out < kWriterMaxFramesOut;
    ready_ = stream_ && streaming_ && negotiated_ && !renegotiating_ && !carried_.empty() && room;
    // Buffers come back only when the graph runs: without room, run it again shortly.
    if (stream_ && streaming_ && !room)
        armRetryTimer();
}

void PwWriter::armRetryTimer() {
    if (!retryTimer_)
        return;
    timespec value{0, kWriterRetryNanoseconds};
    timespec interval{0, 0};
    pw_loop_update_timer(loop(), retryTimer_, &value, &interval, false);
}

void PwWriter::onRetryTimer() {
    if (!stream_)
        return;
    if (streaming_)
        pw_stream_trigger_process(stream_);
    updateReady();
}

void PwWriter::onRenegotiationTimeout() {
    if (!renegotiating_)
        return;
    renegotiating_ = false;
    sharingFailed_ = true;
    updateReady();
}

// A pixel buffer that was copied once and comes back is one the app recycles: the stream takes
// it into its set, so from the next time on it travels as it is.
void PwWriter::noteCopiedPicture(const PixelBuffer& picture) {
    if (sharingFailed_ || picture.bytesPerRow() < static_cast<size_t>(width_) * kBytesPerPixel ||
        picture.dataSize() < frameBytes())
        return;
    for (const auto& memory : layout_)
        if (memory->serial == picture.serial())
            return; // in the set already, but out when this frame came

    const auto seen = std::find(sightings_.begin(), sightings_.end(), picture.serial());
    if (seen == sightings_.end()) {
        sightings_.push_back(picture.serial());
        if (sightings_.size() > kWriterSightings)
            sightings_.pop_front();
        return;
    }
    sightings_.erase(seen);
    share(picture);
}

void PwWriter::share(const PixelBuffer& picture) {
    std::shared_ptr<Memory> memory = sharedMemory(picture);
    if (!memory)
        return;
    memory->lastSentFrame = frames_;
    // Pixel buffers not sent for a while belong to a pool that is gone or shrank.
    std::erase_if(layout_, [&](const std::shared_ptr<Memory>& m) {
        return m->serial != 0 && frames_ - m->lastSentFrame > kWriterForgetAfterFrames;
    });
    if (layout_.size() >= kWriterMaxBuffers) {
        auto oldest = layout_.end();
        for (auto it = layout_.begin(); it != layout_.end(); ++it)
            if ((*it)->serial != 0 &&
                (oldest == layout_.end() || (*it)->lastSentFrame < (*oldest)->lastSentFrame))
                oldest = it;
        if (oldest == layout_.end())
            return;
        layout_.erase(oldest);
    }
    layout_.push_back(std::move(memory));
    renegotiating_ = true;
    ready_ = false;
    ++system_->writerCounters.renegotiations;
    timespec value{0, kWriterRenegotiationNanoseconds};
    timespec interval{0, 0};
    if (renegotiationTimer_)
        pw_loop_update_timer(loop(), renegotiationTimer_, &value, &interval, false);
    renegotiate();
}

void PwWriter::send(pw_buffer* buffer, Carried& carried, const SampleBuffer& sample) {
    stampHeader(buffer->buffer, nanosecondsOf(sample.presentationTime()), ++sequence_);
    carried.free = false;
    carried.sentAt = currentMediaTime();
    carried.memory->lastSentFrame = frames_;
    pw_stream_queue_buffer(stream_, buffer);
    pw_stream_trigger_process(stream_);
}

void PwWriter::onFrameEvent() {
    std::shared_ptr<SampleBuffer> sample;
    {
        std::lock_guard lock(slotMutex_);
        sample = std::move(slot_);
        slot_.reset();
    }
    if (!sample || !stream_)
        return;
    updateReady();
    if (!ready_) {
        // The stream changed between the enqueue and now: dropped, as a full queue would have.
        ++system_->writerCounters.framesNotSent;
        return;
    }
    const PixelBuffer& picture = *sample->imageBuffer();
    ++frames_;
    const double now = currentMediaTime();
    for (auto& [buffer, carried] : carried_) {
        if (!carried.free || carried.memory->serial != picture.serial())
            continue;
        // Sent again this soon, the buffer came from a caller that kept it, not from a pool;
        // PipeWire loses a buffer queued again before the reader has handed it back.
        spa_data& data = buffer->buffer->datas[0];
        if (!data.chunk || now - carried.sentAt < kSentHoldSeconds)
            break;
        data.chunk->offset = 0;
        data.chunk->stride = static_cast<int32_t>(picture.bytesPerRow());
        data.chunk->size = static_cast<uint32_t>(picture.dataSize());
        data.chunk->flags = SPA_CHUNK_FLAG_NONE;
        carried.held = sample;
        send(buffer, carried, *sample);
        ++system_->writerCounters.framesShared;
        updateReady();
        return;
    }
    // Copied into the writer's own buffer that went out longest ago, for the same reason.
    pw_buffer* chosen = nullptr;
    for (auto& [buffer, carried] : carried_)
        if (carried.free && carried.memory->serial == 0 &&
            (!chosen || carried.sentAt < carried_[chosen].sentAt))
            chosen = buffer;
    if (chosen && fillBuffer(chosen->buffer, picture, width_, height_)) {
        send(chosen, carried_[chosen], *sample);
        ++system_->writerCounters.framesCopied;
        noteCopiedPicture(picture);
    } else {
        ++system_->writerCounters.framesNotSent;
    }
    updateReady();
}

} // namespace

PipeWireCameraSystem::PipeWireCameraSystem(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

PipeWireCameraSystem::~PipeWireCameraSystem() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->closing = true;
        impl_->wake.notify_all();
    }
    if (impl_->reconnector.joinable())
        impl_->reconnector.join();
    // Queues handed out keep their connection; only the registry and the listeners go.
    if (std::shared_ptr<Connection> connection = impl_->currentConnection()) {
        Connection::Guard guard(*connection);
        connection->setOnLost(nullptr);
        if (impl_->registry) {
            spa_hook_remove(&impl_->registryListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(impl_->registry));
            impl_->registry = nullptr;
        }
    }
    std::lock_guard lock(impl_->mutex);
    impl_->listeners.clear();
}

std::shared_ptr<PipeWireCameraSystem>
PipeWireCameraSystem::create(PipeWireConnectionOptions options, std::string* errorMessage) {
    auto impl = std::make_shared<Impl>(options.applicationName.empty() ? "orlenta-camera"
                                                                       : options.applicationName);
    std::shared_ptr<Connection> connection = Connection::open(impl->applicationName, errorMessage);
    if (!connection)
        return nullptr;
    {
        Connection::Guard guard(*connection);
        if (!impl->attach(*connection)) {
            connection->setOnLost(nullptr);
            if (errorMessage)
                *errorMessage = "Could not read the PipeWire registry.";
            return nullptr;
        }
    }
    {
        std::lock_guard lock(impl->mutex);
        impl->connection = std::move(connection);
    }
    Impl* raw = impl.get();
    impl->reconnector = std::thread([raw] { raw->reconnect(); });
    return std::shared_ptr<PipeWireCameraSystem>(new PipeWireCameraSystem(std::move(impl)));
}

std::vector<CameraObjectId> PipeWireCameraSystem::devices() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<CameraObjectId> ids;
    for (const auto& [uid, device] : impl_->devices)
        ids.push_back(device.id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::optional<std::string> PipeWireCameraSystem::deviceUniqueId(CameraObjectId device) const {
    std::lock_guard lock(impl_->mutex);
    for (const auto& [uid, record] : impl_->devices)
        if (record.id == device)
            return record.uniqueId;
    return std::nullopt;
}

std::optional<std::string> PipeWireCameraSystem::deviceName(CameraObjectId device) const {
    std::lock_guard lock(impl_->mutex);
    for (const auto& [uid, record] : impl_->devices)
        if (record.id == device)
            return record.name;
    return std::nullopt;
}

std::vector<CameraObjectId> PipeWireCameraSystem::deviceStreams(CameraObjectId device) const {
    std::lock_guard lock(impl_->mutex);
    std::vector<CameraObjectId> ids;
    for (const auto& [uid, record] : impl_->devices)
        if (record.id == device)
            for (const auto& stream : record.streams)
                ids.push_back(stream.id);
    return ids;
}

std::optional<uint32_t> PipeWireCameraSystem::streamDirection(CameraObjectId stream) const {
    std::lock_guard lock(impl_->mutex);
    const Impl::StreamRecord* record = impl_->findStreamLocked(stream, nullptr);
    if (!record)
        return std::nullopt;
    return record->direction;
}

BufferQueueResult PipeWireCameraSystem::copyBufferQueue(CameraObjectId stream) {
    std::lock_guard lock(impl_->mutex);
    const Impl::StreamRecord* record = impl_->findStreamLocked(stream, nullptr);
    if (!record)
        return {kCameraStatusUnknownObject, nullptr};
    if (record->direction != kSystemStreamDirectionSink)
        return {kCameraStatusUnsupported, nullptr};
    // The serial names this node and no later one, so a writer never lands on a node that
    // replaced it.
    if (!impl_->connection)
        return {kCameraStatusUnavailable, nullptr};
    impl_->releaseRetired();
    auto writer =
        std::make_shared<PwWriter>(impl_, impl_->connection, std::to_string(record->serial),
                                   kSinkFrameWidth, kSinkFrameHeight);
    impl_->latestQueues[stream] = writer;
    return {kCameraStatusOk, writer};
}

CameraStatus PipeWireCameraSystem::startStream(CameraObjectId device, CameraObjectId stream) {
    std::shared_ptr<PwWriter> writer;
    {
        std::lock_guard lock(impl_->mutex);
        CameraObjectId owner = 0;
        if (!impl_->findStreamLocked(stream, &owner) || owner != device)
            return kCameraStatusUnknownObject;
        const auto it = impl_->latestQueues.find(stream);
        if (it != impl_->latestQueues.end())
            writer = it->second.lock();
    }
    if (!writer)
        return kCameraStatusNotReady;
    return writer->connect();
}

CameraStatus PipeWireCameraSystem::stopStream(CameraObjectId device, CameraObjectId stream) {
    std::shared_ptr<PwWriter> writer;
    {
        std::lock_guard lock(impl_->mutex);
        const auto it = impl_->latestQueues.find(stream);
        if (it != impl_->latestQueues.end())
            writer = it->second.lock();
        CameraObjectId owner = 0;
        if (!writer && (!impl_->findStreamLocked(stream, &owner) || owner != device))
            return kCameraStatusUnknownObject;
    }
    if (writer)
        writer->disconnect();
    return kCameraStatusOk;
}

CameraSystem::ListenerId PipeWireCameraSystem::addDeviceListListener(Executor& executor,
                                                                     Task listener) {
    std::lock_guard lock(impl_->mutex);
    const ListenerId id = impl_->nextListenerId++;
    impl_->listeners.emplace(id, Impl::Listener{&executor, std::move(listener)});
    return id;
}

void PipeWireCameraSystem::removeDeviceListListener(ListenerId id) {
    std::lock_guard lock(impl_->mutex);
    impl_->listeners.erase(id);
}

PipeWireCameraSystem::Statistics PipeWireCameraSystem::statistics() const {
    Statistics statistics;
    statistics.framesShared = impl_->writerCounters.framesShared;
    statistics.framesCopied = impl_->writerCounters.framesCopied;
    statistics.framesNotSent = impl_->writerCounters.framesNotSent;
    statistics.renegotiations = impl_->writerCounters.renegotiations;
    return statistics;
}

} // namespace orlenta
