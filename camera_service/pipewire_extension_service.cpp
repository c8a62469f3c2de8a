#include "camera_service/pipewire_extension_service.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <sys/mman.h>
#include <utility>
#include <vector>

#include <pipewire/pipewire.h>
#include <spa/utils/result.h>
#include <spa/utils/string.h>

#include "camera_service/pipewire_connection.h"
#include "camera_service/pipewire_video.h"
#include "camera_service/virtual_camera.h"
#include "media/pixel_buffer.h"
#include "media/sample_buffer.h"

namespace orlenta {

using namespace pipewire;
using virtual_camera::kBytesPerPixel;

namespace {

// Frames older than this many frame periods when a sink request takes them are dropped.
constexpr int64_t kStaleAfterFramePeriods = 2;
// A writer of the sink node that has sent nothing for this long (or since it linked) counts as
// silent: the same time after which readers get the placeholder. Only a silent writer gives the
// node up to another.
constexpr int64_t kWriterSilentAfterNanoseconds = 500'000'000;
// How long a sink node may stream without buffers while a writer holds it (see onBufferCheck).
constexpr long kSinkWithoutBuffersNanoseconds = 250'000'000;

// What a source node's buffer holds: the pixel buffer (the very hand-out of it) last copied in.
// Pixel buffers are not written once handed on, so while that hand-out is alive the copy is
// still exact and need not be made again; this keeps the placeholder, sent 30 times a second,
// from being copied once the node's few buffers all hold it. A sink node's buffer holds its own
// read-only mapping of the writer's memory instead, so that letting the buffer go never reads
// PipeWire's description of it, which may have been freed (see bufferLink_).
struct BufferContent {
    std::weak_ptr<PixelBuffer> picture;
    void* mapping = MAP_FAILED;
    size_t mappingSize = 0;
    const uint8_t* pixels = nullptr;

    ~BufferContent() {
        if (mapping != MAP_FAILED)
            ::munmap(mapping, mappingSize);
    }
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
    void appWriterAppeared();
    void shutdown();

    std::unique_ptr<Connection> connection;
    SerialQueue serviceQueue;
    std::atomic<Executor*> clientQueue{nullptr};
    std::weak_ptr<CameraExtensionProviderSource> providerSource;
    std::atomic<bool> stopped{false};
    std::atomic<uint64_t> nextClientId{1};

    // Loop thread (or under the loop lock).
    pipewire::RegistryListener registry;
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
    // Loop thread: the app's writer made a node. The session manager links that node only to a
    // sink that no other writer holds, so a holder that has been silent for longer than
    // kWriterSilentAfterNanoseconds gives way now: its node is removed, and the app is linked.
    void appWriterAppeared();

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
    void onAddBuffer(pw_buffer* buffer);
    void onRemoveBuffer(pw_buffer* buffer);
    void remakeSinkNodeLocked();
    void armBufferCheck();
    void onBufferCheck();
    void destroyNodeLocked();
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
    // Sink: PipeWire 0.3 gives the node's input the buffers of the link that was negotiated
    // while it was the only one (bufferLink_, or SPA_ID_INVALID when that is not known) and
    // keeps them when that link goes while another link (even a half-made one) stays. Its
    // buffers are freed then and the node would go on reading them. The node's buffers, and
    // whether they may be freed ones (nothing reads them then).
    int liveBuffers_ = 0;
    uint32_t bufferLink_ = SPA_ID_INVALID;
    bool buffersStale_ = false;
    // Sink: a one-shot timer, from publish() to unpublish(), that looks again at a node left
    // without buffers.
    spa_source* bufferCheck_ = nullptr;

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
        e.add_buffer = [](void* data, pw_buffer* buffer) {
            static_cast<PwStream*>(data)->onAddBuffer(buffer);
        };
        e.remove_buffer = [](void* data, pw_buffer* buffer) {
            static_cast<PwStream*>(data)->onRemoveBuffer(buffer);
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
    // The node offers the first format of the stream's source (the virtual camera's if none).
    shape_ = VideoShape{virtual_camera::kFrameWidth, virtual_camera::kFrameHeight,
                        virtual_camera::kFramesPerSecond, 1};
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
    if (direction_ == CameraStreamDirection::sink)
        bufferCheck_ = pw_loop_add_timer(
            service_->connection->loop(),
            [](void* data, uint64_t) { static_cast<PwStream*>(data)->onBufferCheck(); }, this);
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
    const std::string nodeName = virtual_camera::nodeName(deviceId, id_);
    pw_properties* properties = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CLASS,
        isSource ? virtual_camera::kSourceMediaClass : virtual_camera::kSinkMediaClass,
        PW_KEY_NODE_NAME, nodeName.c_str(), PW_KEY_NODE_NICK, deviceName.c_str(),
        PW_KEY_NODE_DESCRIPTION, isSource ? deviceName.c_str() : name_.c_str(), PW_KEY_MEDIA_NAME,
        name_.c_str(), virtual_camera::kDeviceIdProperty, deviceId.toString().c_str(),
        virtual_camera::kStreamIdProperty, id_.toString().c_str(), nullptr);
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
    // A sink maps its buffers itself (onAddBuffer): PipeWire's own mapping is undone through
    // the buffer's description, which may be freed memory by then.
    const auto flags = static_cast<pw_stream_flags>(
        isSource ? PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_DRIVER : PW_STREAM_FLAG_NONE);
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
    if (bufferCheck_)
        pw_loop_destroy_source(service_->connection->loop(), bufferCheck_);
    bufferCheck_ = nullptr;
    if (stream_)
        destroyNodeLocked();
}

void PwStream::destroyNodeLocked() {
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
    // Every link seen is a session or refused: one of them that went may have taken the node's
    // buffers with it.
    if (direction_ == CameraStreamDirection::sink && liveBuffers_ > 0) {
        const auto tookBuffers = [&](uint32_t link) {
            return current.count(link) == 0 &&
                   (link == bufferLink_ || bufferLink_ == SPA_ID_INVALID);
        };
        for (const auto& [link, session] : sessions_)
            buffersStale_ = buffersStale_ || tookBuffers(link);
        for (const uint32_t link : refused_)
            buffersStale_ = buffersStale_ || tookBuffers(link);
    }
    if (buffersStale_) {
        remakeSinkNodeLocked();
        return;
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
    if (buffersStale_)
        remakeSinkNodeLocked();
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
        // The node's buffers are the holder's and go with its link, while the newcomer's frames
        // would be read from them: the node is made again instead, and the newcomer links anew.
        if (liveBuffers_ > 0 && bufferLink_ != link) {
            buffersStale_ = true;
            return false;
        }
        dropLink(holderLink_);
    }
    holderLink_ = link;
    holderSince_ = now;
    return true;
}

void PwStream::appWriterAppeared() {
    const auto holder = sessions_.find(holderLink_);
    if (direction_ != CameraStreamDirection::sink || holder == sessions_.end())
        return;
    const int64_t now = nanosecondsOf(hostClockTime());
    if (now - std::max(holderSince_, lastSinkFrame_) <= kWriterSilentAfterNanoseconds)
        return;
    const auto ends = service_->links.find(holderLink_);
    if (ends == service_->links.end())
        return;
    holder->second->superseded = true;
    stopSession(holder->second, "Another client writes this stream.");
    // The writer's node goes, not only its link: the session manager keeps a writer whose link
    // alone was removed as the sink's holder and would not link the app's node.
    if (pw_registry* registry = service_->registry.registry())
        pw_registry_destroy(registry, ends->second.outputNode);
    holderLink_ = SPA_ID_INVALID;
}

void PwStream::onAddBuffer(pw_buffer* buffer) {
    auto* content = new BufferContent;
    buffer->user_data = content;
    if (direction_ != CameraStreamDirection::sink)
        return;
    if (liveBuffers_++ == 0) {
        bufferLink_ = SPA_ID_INVALID;
        int links = 0;
        for (const auto& [link, ends] : service_->links)
            if (ends.inputNode == nodeId_ && ++links == 1)
                bufferLink_ = link;
        if (links != 1)
            bufferLink_ = SPA_ID_INVALID;
    }
    const spa_buffer* b = buffer->buffer;
    if (b->n_datas < 1 || b->datas[0].type != SPA_DATA_MemFd || b->datas[0].fd < 0)
        return;
    const spa_data& data = b->datas[0];
    const auto page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    const uint64_t start = data.mapoffset - data.mapoffset % page;
    const size_t lead = static_cast<size_t>(data.mapoffset - start);
    // Populated at once: faulting the pages in during a frame's copy made the first frames in new
    // buffers slow enough (seen under ThreadSanitizer) for the writer to renegotiate its buffers.
    void* mapping = ::mmap(nullptr, lead + data.maxsize, PROT_READ, MAP_SHARED | MAP_POPULATE,
                           static_cast<int>(data.fd), static_cast<off_t>(start));
    if (mapping == MAP_FAILED)
        return;
    content->mapping = mapping;
    content->mappingSize = lead + data.maxsize;
    content->pixels = static_cast<const uint8_t*>(mapping) + lead;
}

void PwStream::onRemoveBuffer(pw_buffer* buffer) {
    delete static_cast<BufferContent*>(buffer->user_data);
    buffer->user_data = nullptr;
    if (direction_ == CameraStreamDirection::sink && liveBuffers_ > 0 && --liveBuffers_ == 0) {
        bufferLink_ = SPA_ID_INVALID;
        armBufferCheck();
    }
}

// Sink: when a second link into the node goes (a refused writer's, or a half-made one), PipeWire
// 0.3 may clear the node's input and start it again on the link that stays without giving it
// buffers; the holder's frames then reach nothing, and nothing changes until the writer
// renegotiates, which a writer whose set of buffers is settled never does. Buffers normally come
// back within a cycle, before the node streams again. A node that still streams without any a
// moment after losing them, while a writer holds it, is made again, and the writer links anew.
void PwStream::armBufferCheck() {
    armOnce(service_->connection->loop(), bufferCheck_, kSinkWithoutBuffersNanoseconds);
}

void PwStream::onBufferCheck() {
    if (!stream_ || !streaming_ || liveBuffers_ > 0 || sessions_.count(holderLink_) == 0)
        return;
    remakeSinkNodeLocked();
}

// Sink: the node's buffers may be freed ones. A new node with the same name and format replaces
// it; destroying the old one removes every link into it, so its writers end as if they had
// left, and the app's writer links again to the new node.
void PwStream::remakeSinkNodeLocked() {
    destroyNodeLocked();
    holderLink_ = SPA_ID_INVALID;
    refused_.clear();
    {
        std::lock_guard lock(sinkMutex_);
        arrived_.reset();
    }
    negotiated_.reset();
    liveBuffers_ = 0;
    bufferLink_ = SPA_ID_INVALID;
    buffersStale_ = false;
    makeNodeLocked(nullptr);
}

void PwStream::dropLink(uint32_t link) {
    if (pw_registry* registry = service_->registry.registry())
        pw_registry_destroy(registry, link);
}

void PwStream::onStateChanged(pw_stream_state state) {
    streaming_ = state == PW_STREAM_STATE_STREAMING;
    if (streaming_ && direction_ == CameraStreamDirection::sink && liveBuffers_ == 0)
        armBufferCheck();
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
    if (direction_ != CameraStreamDirection::sink || !stream_ || buffersStale_)
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
    const auto* content = static_cast<const BufferContent*>(newest->user_data);
    if (negotiated_ && content && content->pixels && buffer->n_datas >= 1 &&
        buffer->datas[0].chunk) {
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
                    const uint8_t* source = content->pixels + offset;
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

void ServiceImpl::appWriterAppeared() {
    for (const auto& weak : published)
        if (auto stream = weak.lock())
            stream->appWriterAppeared();
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
        registry.stop();
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
        static const pw_registry_events events = [] {
            pw_registry_events e{};
            e.version = PW_VERSION_REGISTRY_EVENTS;
            e.global = [](void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                          const spa_dict* props) {
                auto* self = static_cast<Impl*>(data);
                if (props && std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
                    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
                    if (name && std::strcmp(name, virtual_camera::kWriterNodeName) == 0)
                        self->appWriterAppeared();
                    return;
                }
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
        if (!impl->registry.listen(*impl->connection, events, impl.get())) {
            if (errorMessage)
                *errorMessage = "Could not read the PipeWire registry.";
            return nullptr;
        }
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
    return {c.framesSent,      c.framesNotSent,       c.sinkFramesReceived,    c.sinkFramesDropped,
            c.sinkFramesStale, c.sinkFramesMalformed, c.lastScheduledSequence, c.copiesSaved};
}

} // namespace orlenta
