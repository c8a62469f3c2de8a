// Camera service: where the app and the virtual-camera daemon meet.
//
// The two programs never call each other. The daemon publishes one virtual camera device with a
// source stream (read by any video app) and a sink stream (written by our app); the app finds
// the device in the system's device list and writes covered frames into the sink stream. This
// header is both sides' contract with the service:
//
//   App side:       CameraSystem (the system object: devices, their streams, a sink stream's
//                   buffer queue, start/stop, a device-list listener) and SinkBufferQueue.
//   Extension side: CameraExtensionService makes the framework objects (provider, device,
//                   stream) that publish what the daemon's role objects (the *Source interfaces
//                   below) describe; the service calls those roles back for properties, client
//                   admission and start/stop, and the daemon pulls sink buffers from a stream and
//                   sends buffers to every reader.
//
// Implementations: pipewire_service.h (the real one) and, for unit tests, in-memory halves in
// tests/testing/camera_service_memory.h: a system side of plain devices for the sink's tests and
// an extension side for the daemon's.
//
// Failures never throw: property reads answer absent or empty, calls that can fail answer a
// CameraStatus (0 = success) or a CameraExtensionError.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "media/dispatch.h"
#include "media/media_time.h"
#include "media/sample_buffer.h"

namespace orlenta {

// ---------------------------------------------------------------------------------------------
// Shared values

// A 128-bit identifier, written as 8-4-4-4-12 hexadecimal digits.
struct Uuid {
    std::array<uint8_t, 16> bytes{};

    // Absent unless the text is exactly 36 characters in the canonical grouping; hex digits of
    // either case are accepted.
    static std::optional<Uuid> parse(std::string_view text);
    // Canonical upper-case form, e.g. "6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6B".
    std::string toString() const;
    friend bool operator==(const Uuid&, const Uuid&) = default;
};

// Object ids of the system side; the system object itself is id 1, 0 is never an object.
using CameraObjectId = uint32_t;
constexpr CameraObjectId kCameraSystemObject = 1;

// Result of a service call: 0 is success, any other value a failure.
using CameraStatus = int32_t;
constexpr CameraStatus kCameraStatusOk = 0;
constexpr CameraStatus kCameraStatusUnknownObject = 1; // no such device or stream
constexpr CameraStatus kCameraStatusUnsupported = 2;   // e.g. a buffer queue of a source stream
constexpr CameraStatus kCameraStatusNotReady = 3;      // e.g. start without a buffer queue
constexpr CameraStatus kCameraStatusUnavailable = 4;   // the service cannot be reached
constexpr CameraStatus kCameraStatusFailed = 5;        // the service refused the request

// A stream's direction as the system side reports it: 0 marks the stream that accepts frames
// from the client (the daemon's sink stream), 1 the stream clients read from.
constexpr uint32_t kSystemStreamDirectionSink = 0;
constexpr uint32_t kSystemStreamDirectionSource = 1;

// ---------------------------------------------------------------------------------------------
// App side

// The bounded queue into which the app writes a sink stream's frames. Its capacity is set by the
// service. count() and capacity() are answered at the moment of asking; enqueue() never waits.
// Owned by whoever copied it from CameraSystem; it stays usable (frames are then dropped) after
// the stream stops or the device goes away. Thread-safe; meant for one producer.
class SinkBufferQueue {
public:
    virtual ~SinkBufferQueue() = default;
    virtual int32_t count() const = 0;
    virtual int32_t capacity() const = 0;
    // Hands the sample to the queue. False when it is full or no longer connected; the sample is
    // then not used.
    virtual bool enqueue(std::shared_ptr<SampleBuffer> sample) = 0;
};

struct BufferQueueResult {
    CameraStatus status = kCameraStatusFailed;
    std::shared_ptr<SinkBufferQueue> queue; // present exactly when status is 0
};

// The system object: the camera devices every app can see.
//
// Threads: every member may be called from any thread; none of them waits for frames or for the
// daemon. Property reads answer from the service's latest view of the devices. Listeners run on
// the executor given when they were added.
class CameraSystem {
public:
    virtual ~CameraSystem() = default;

    // The device list ('dev#'); empty when the service cannot be reached.
    virtual std::vector<CameraObjectId> devices() const = 0;
    // The device's unique identifier ('uid '): for a device published through
    // CameraExtensionService the device id in canonical upper-case form.
    virtual std::optional<std::string> deviceUniqueId(CameraObjectId device) const = 0;
    // The device's name ('lnam').
    virtual std::optional<std::string> deviceName(CameraObjectId device) const = 0;
    // The device's streams ('stm#'), in the order the daemon added them.
    virtual std::vector<CameraObjectId> deviceStreams(CameraObjectId device) const = 0;
    // kSystemStreamDirectionSink or kSystemStreamDirectionSource ('sdir').
    virtual std::optional<uint32_t> streamDirection(CameraObjectId stream) const = 0;

    // A new buffer queue for a sink stream; the caller owns it. A later call for the same stream
    // replaces the queue that a start would feed.
    virtual BufferQueueResult copyBufferQueue(CameraObjectId stream) = 0;
    // After a successful start, each sample enqueued on the stream's latest queue reaches the
    // daemon's sink stream, in order, unless the queue was full.
    virtual CameraStatus startStream(CameraObjectId device, CameraObjectId stream) = 0;
    virtual CameraStatus stopStream(CameraObjectId device, CameraObjectId stream) = 0;

    // Runs listener on executor after every change of the device list (also when the daemon's
    // device comes or goes). The executor must outlive the registration. Answers a token for
    // removeDeviceListListener; once that returns, no new call of the listener is posted.
    using ListenerId = uint64_t;
    virtual ListenerId addDeviceListListener(Executor& executor, Task listener) = 0;
    virtual void removeDeviceListListener(ListenerId id) = 0;
};

// ---------------------------------------------------------------------------------------------
// Extension side

// Stream directions and clock types as the extension side declares them.
enum class CameraStreamDirection : uint32_t { source = 0, sink = 1 };
enum class CameraStreamClockType : uint32_t { hostTime = 0 };

// The transport type of a virtual device, 'virt'.
constexpr uint32_t kCameraTransportTypeVirtual = 0x76697274;

// One video format a stream offers.
struct CameraStreamFormat {
    VideoFormatDescription formatDescription;
    Time maxFrameDuration;
    Time minFrameDuration;
    std::vector<Time> validFrameDurations; // empty: none given
};

enum class CameraExtensionProperty {
    providerManufacturer,
    deviceTransportType,
    deviceModel,
    streamActiveFormatIndex,
    streamFrameDuration,
    streamSinkBufferQueueSize,
    streamSinkBuffersRequiredForStartup,
    streamSinkBufferUnderrunCount,
    streamSinkEndOfData,
};
using CameraExtensionPropertySet = std::set<CameraExtensionProperty>;

// Property answers and set requests: a value is present only where one was given.
struct CameraExtensionProviderProperties {
    std::optional<std::string> manufacturer;
    friend bool operator==(const CameraExtensionProviderProperties&,
                           const CameraExtensionProviderProperties&) = default;
};
struct CameraExtensionDeviceProperties {
    std::optional<uint32_t> transportType;
    std::optional<std::string> model;
    friend bool operator==(const CameraExtensionDeviceProperties&,
                           const CameraExtensionDeviceProperties&) = default;
};
struct CameraExtensionStreamProperties {
    std::optional<int64_t> activeFormatIndex;
    std::optional<Time> frameDuration;
    std::optional<uint32_t> sinkBufferQueueSize;
    std::optional<uint32_t> sinkBuffersRequiredForStartup;
    std::optional<uint32_t> sinkBufferUnderrunCount;
    std::optional<bool> sinkEndOfData;
    friend bool operator==(const CameraExtensionStreamProperties&,
                           const CameraExtensionStreamProperties&) = default;
};

struct CameraExtensionError {
    std::string localizedDescription;
};

// A process connected to the service: an app reading the source stream or writing the sink
// stream. Identity is the object itself (compare the shared pointers).
class CameraExtensionClient {
public:
    CameraExtensionClient(uint64_t clientId, std::string description)
        : clientId_(clientId), description_(std::move(description)) {}
    CameraExtensionClient(const CameraExtensionClient&) = delete;
    CameraExtensionClient& operator=(const CameraExtensionClient&) = delete;

    uint64_t clientId() const { return clientId_; }
    // Who the client is, for messages (e.g. a process name); may be empty.
    const std::string& description() const { return description_; }

private:
    uint64_t clientId_;
    std::string description_;
};
using CameraExtensionClientPtr = std::shared_ptr<CameraExtensionClient>;

// What one request for a sink buffer brings: a sample, or an error, or (rarely) neither.
struct ConsumedSampleBuffer {
    std::shared_ptr<SampleBuffer> sampleBuffer;
    uint64_t sequenceNumber = 0;
    uint32_t discontinuity = 0;
    bool hasMoreSampleBuffers = false;
    std::optional<CameraExtensionError> error;
};
using ConsumeCompletion = std::function<void(ConsumedSampleBuffer)>;

// Tells the writing client which of its buffers went out, and when (host clock, nanoseconds).
struct CameraExtensionScheduledOutput {
    uint64_t sequenceNumber = 0;
    uint64_t hostTimeInNanoseconds = 0;
};

// The roles the daemon implements. The service calls them on its client queue (the executor given
// to makeProvider, or a serial queue of its own when none is given), one call at a time.
class CameraExtensionProviderSource {
public:
    virtual ~CameraExtensionProviderSource() = default;
    // False refuses the client.
    virtual bool connectClient(const CameraExtensionClientPtr& client) = 0;
    virtual void disconnectClient(const CameraExtensionClientPtr& client) = 0;
    virtual CameraExtensionPropertySet availableProperties() const = 0;
    virtual CameraExtensionProviderProperties
    providerProperties(const CameraExtensionPropertySet& properties) const = 0;
    // False reports a failure to the asking client.
    virtual bool setProviderProperties(const CameraExtensionProviderProperties& properties) = 0;
};

class CameraExtensionDeviceSource {
public:
    virtual ~CameraExtensionDeviceSource() = default;
    virtual CameraExtensionPropertySet availableProperties() const = 0;
    virtual CameraExtensionDeviceProperties
    deviceProperties(const CameraExtensionPropertySet& properties) const = 0;
    virtual bool setDeviceProperties(const CameraExtensionDeviceProperties& properties) = 0;
};

class CameraExtensionStreamSource {
public:
    virtual ~CameraExtensionStreamSource() = default;
    virtual std::vector<CameraStreamFormat> formats() const = 0;
    virtual CameraExtensionPropertySet availableProperties() const = 0;
    virtual CameraExtensionStreamProperties
    streamProperties(const CameraExtensionPropertySet& properties) const = 0;
    virtual bool setStreamProperties(const CameraExtensionStreamProperties& properties) = 0;
    // Asked before a client starts the stream; false refuses it.
    virtual bool authorizedToStartStream(const CameraExtensionClientPtr& client) = 0;
    // Called once for every client that starts (a reader of the source stream, the writer of the
    // sink stream) and once for every client that stops.
    virtual bool startStream() = 0;
    virtual bool stopStream() = 0;
};

// The framework's stream object. The service holds its source weakly; calls after the source is
// gone are ignored.
//
// Threads: any member may be called from any thread and returns at once.
class CameraExtensionStream {
public:
    virtual ~CameraExtensionStream() = default;
    virtual const std::string& localizedName() const = 0;
    virtual const Uuid& streamId() const = 0;
    virtual CameraStreamDirection direction() const = 0;
    virtual CameraStreamClockType clockType() const = 0;

    // Sink streams: asks for the next buffer the client has queued. The completion runs once, on
    // a service queue, with the buffer and its sequence number, or with an error (also when the
    // client is not writing this stream). It may wait for the client as long as it takes.
    virtual void consumeSampleBuffer(const CameraExtensionClientPtr& client,
                                     ConsumeCompletion completion) = 0;
    // Sink streams: tells the writer that a buffer was output.
    virtual void notifyScheduledOutputChanged(const CameraExtensionScheduledOutput& output) = 0;
    // Source streams: the buffer reaches every reader of the stream (none when there is none).
    virtual void sendSampleBuffer(std::shared_ptr<SampleBuffer> sampleBuffer,
                                  uint32_t discontinuity, uint64_t hostTimeInNanoseconds) = 0;
};

class CameraExtensionDevice {
public:
    virtual ~CameraExtensionDevice() = default;
    virtual const std::string& localizedName() const = 0;
    virtual const Uuid& deviceId() const = 0;
    virtual const std::optional<std::string>& legacyDeviceId() const = 0;
    // Absent on success. A stream can belong to one device only.
    virtual std::optional<CameraExtensionError>
    addStream(const std::shared_ptr<CameraExtensionStream>& stream) = 0;
};

class CameraExtensionProvider {
public:
    virtual ~CameraExtensionProvider() = default;
    // Absent on success. The device and its streams become visible to every client once the
    // service has been started with this provider.
    virtual std::optional<CameraExtensionError>
    addDevice(const std::shared_ptr<CameraExtensionDevice>& device) = 0;
};

// Makes the framework objects and publishes them. Objects made by one service belong to it.
//
// Threads: the make* calls and startService() are made during start-up, from one thread.
class CameraExtensionService {
public:
    virtual ~CameraExtensionService() = default;

    // clientQueue: where the sources are called; nullptr lets the service choose its own queue.
    // It must outlive the service.
    virtual std::shared_ptr<CameraExtensionProvider>
    makeProvider(std::weak_ptr<CameraExtensionProviderSource> source, Executor* clientQueue) = 0;
    virtual std::shared_ptr<CameraExtensionDevice>
    makeDevice(std::string localizedName, const Uuid& deviceId,
               std::optional<std::string> legacyDeviceId,
               std::weak_ptr<CameraExtensionDeviceSource> source) = 0;
    virtual std::shared_ptr<CameraExtensionStream>
    makeStream(std::string localizedName, const Uuid& streamId, CameraStreamDirection direction,
               CameraStreamClockType clockType,
               std::weak_ptr<CameraExtensionStreamSource> source) = 0;

    // Publishes the provider's devices and begins calling the sources. False with a message when
    // the service cannot be started.
    virtual bool startService(const std::shared_ptr<CameraExtensionProvider>& provider,
                              std::string* errorMessage) = 0;
};

} // namespace orlenta
