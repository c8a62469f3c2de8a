#include "camera_service/pipewire_camera_system.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <pipewire/pipewire.h>
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
    // The lost connection's loop thread: PipeWire went away. The device list empties (listeners
    // hear of it) until the connection comes back.
    void onLost();

    const std::string applicationName;
    // Set by create() and reset by the system's destructor; the queues hold connections of their
    // own.
    std::unique_ptr<pipewire::ReconnectingConnection> connection;

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
    const auto identity = virtual_camera::parseNodeName(name);
    if (!identity)
        return;
    StreamRecord stream;
    stream.globalId = id;
    if (std::strcmp(mediaClass, virtual_camera::kSinkMediaClass) == 0)
        stream.direction = kSystemStreamDirectionSink;
    else if (std::strcmp(mediaClass, virtual_camera::kSourceMediaClass) == 0)
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

void PipeWireCameraSystem::Impl::onLost() {
    std::lock_guard lock(mutex);
    if (!devices.empty()) {
        devices.clear();
        nodeOwners.clear();
        notifyLocked();
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
        "Stream/Output/Video", PW_KEY_NODE_NAME, virtual_camera::kWriterNodeName,
        PW_KEY_TARGET_OBJECT, target_.c_str(), PW_KEY_NODE_DONT_RECONNECT, "true",
        PW_KEY_NODE_EXCLUSIVE, "true", nullptr);
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
        buildFormat(&pod.builder, VideoShape{width_, height_, virtual_camera::kFramesPerSecond, 1},
                    SPA_VIDEO_FORMAT_BGRA)};
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
        buildFormat(&pod.builder, VideoShape{width_, height_, virtual_camera::kFramesPerSecond, 1},
                    SPA_VIDEO_FORMAT_BGRA),
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
        armOnce(loop(), renegotiationTimer_, 0);
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
    armOnce(loop(), retryTimer_, kWriterRetryNanoseconds);
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
    // Pixel buffers not sent for a while belong to a pool that is gone or shrank.
    std::erase_if(layout_, [&](const std::shared_ptr<Memory>& m) {
        return m->serial != 0 && frames_ - m->lastSentFrame > kWriterForgetAfterFrames;
    });
    // A full set takes no more: pushing a buffer out to take another in is a new set of buffers
    // each time (the frames in flight are lost), over and over with a pool larger than the set.
    // The frames of the buffers left out are copied; a pool that replaced the one in the set
    // comes in once the old buffers are forgotten.
    if (layout_.size() >= kWriterMaxBuffers)
        return;
    std::shared_ptr<Memory> memory = sharedMemory(picture);
    if (!memory)
        return;
    memory->lastSentFrame = frames_;
    layout_.push_back(std::move(memory));
    renegotiating_ = true;
    ready_ = false;
    ++system_->writerCounters.renegotiations;
    armOnce(loop(), renegotiationTimer_, kWriterRenegotiationNanoseconds);
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
    // Queues handed out keep their connection; only the registry listener and the listeners go.
    impl_->connection.reset();
    std::lock_guard lock(impl_->mutex);
    impl_->listeners.clear();
}

std::shared_ptr<PipeWireCameraSystem>
PipeWireCameraSystem::create(PipeWireConnectionOptions options, std::string* errorMessage) {
    auto impl = std::make_shared<Impl>(options.applicationName.empty() ? "orlenta-camera"
                                                                       : options.applicationName);
    std::weak_ptr<Impl> weak = impl;
    impl->connection = pipewire::ReconnectingConnection::open(
        impl->applicationName, systemRegistryEvents(), impl.get(),
        [weak] {
            if (auto self = weak.lock())
                self->onLost();
        },
        errorMessage);
    if (!impl->connection)
        return nullptr;
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
    std::shared_ptr<Connection> connection = impl_->connection->current();
    if (!connection)
        return {kCameraStatusUnavailable, nullptr};
    impl_->releaseRetired();
    auto writer =
        std::make_shared<PwWriter>(impl_, std::move(connection), std::to_string(record->serial),
                                   virtual_camera::kFrameWidth, virtual_camera::kFrameHeight);
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
