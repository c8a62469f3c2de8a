// The virtual camera device and its two streams, as the daemon describes them to the camera
// service, and the relay that moves the app's frames from the sink stream to the readers of the
// source stream, with a placeholder picture while the app sends nothing.
//
// Ownership: ExtensionDeviceSource owns the framework device, both stream roles (each owning its
// framework stream), the placeholder timer and the placeholder picture. The stream roles, the
// timer's ticks, the sink completions and the retries refer back to the device source weakly and
// do nothing once it is gone. The timer queue is shared with whoever made the device source, who
// keeps it until the device source is gone (see ExtensionProviderSource).
//
// Threads:
//   - the service's client queue calls the role members (properties, admission, start and stop),
//     and so startSource(), stopSource() and the first consumeNextBuffer();
//   - the service's completion queue calls handleConsumedBuffer() and the immediate re-requests;
//   - the timer queue runs the ticks (sendPlaceholderIfIdle) and the 5 ms retries;
//   - the second output's thread calls secondOutputChanged().
// Every field shared between them (reader count, sink client, time of the last sink frame,
// timer) sits behind one mutex; no call into the service is made that could call back under it.
//
// The second output (the V4L2 loopback device, when the environment has one) gets the same
// pictures as the readers: every relayed frame and, while the app is silent, the placeholder. The
// placeholder timer runs while there are readers or the second output wants frames.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camera_service/camera_service.h"
#include "extension/loopback_output.h"
#include "extension/timer_queue.h"
#include "media/pixel_buffer.h"
#include "media/sample_buffer.h"

namespace orlenta {

class ExtensionDeviceSource;

// The source stream's role: the stream every video app reads.
class ExtensionStreamSource final : public CameraExtensionStreamSource {
public:
    ExtensionStreamSource(std::weak_ptr<ExtensionDeviceSource> device, CameraStreamFormat format);

    // The framework stream; set once while the device source is being made.
    const std::shared_ptr<CameraExtensionStream>& stream() const { return stream_; }
    void setStream(std::shared_ptr<CameraExtensionStream> stream) { stream_ = std::move(stream); }

    std::vector<CameraStreamFormat> formats() const override { return {format_}; }
    CameraExtensionPropertySet availableProperties() const override;
    CameraExtensionStreamProperties
    streamProperties(const CameraExtensionPropertySet& properties) const override;
    bool setStreamProperties(const CameraExtensionStreamProperties& properties) override;
    bool authorizedToStartStream(const CameraExtensionClientPtr& client) override;
    // One more reader, or one less; both report success, also when the device source is gone.
    bool startStream() override;
    bool stopStream() override;

private:
    friend class ExtensionDeviceSourceTesting;

    std::shared_ptr<CameraExtensionStream> stream_;
    const CameraStreamFormat format_;
    std::weak_ptr<ExtensionDeviceSource> device_;
    // The index a set request stored last (answers always say 0: there is one format).
    std::atomic<int64_t> activeFormatIndex_{0};
};

// The sink stream's role: the stream only our app writes covered frames into.
class ExtensionStreamSink final : public CameraExtensionStreamSource {
public:
    ExtensionStreamSink(std::weak_ptr<ExtensionDeviceSource> device, CameraStreamFormat format);

    const std::shared_ptr<CameraExtensionStream>& stream() const { return stream_; }
    void setStream(std::shared_ptr<CameraExtensionStream> stream) { stream_ = std::move(stream); }

    std::vector<CameraStreamFormat> formats() const override { return {format_}; }
    CameraExtensionPropertySet availableProperties() const override;
    CameraExtensionStreamProperties
    streamProperties(const CameraExtensionPropertySet& properties) const override;
    bool setStreamProperties(const CameraExtensionStreamProperties& properties) override;
    // Admits every client, remembering it as the one to consume from.
    bool authorizedToStartStream(const CameraExtensionClientPtr& client) override;
    // Makes the admitted client the device's sink client and starts pulling its buffers.
    bool startStream() override;
    // Clears the device's sink client; the pull loop ends at its next completion.
    bool stopStream() override;

private:
    friend class ExtensionDeviceSourceTesting;

    // The client admitted last; it stays after a stop, so a new start without a new admission
    // consumes from it again.
    CameraExtensionClientPtr client() const;

    std::shared_ptr<CameraExtensionStream> stream_;
    const CameraStreamFormat format_;
    std::weak_ptr<ExtensionDeviceSource> device_;
    std::atomic<int64_t> activeFormatIndex_{0};
    mutable std::mutex mutex_;
    CameraExtensionClientPtr client_;
};

class ExtensionDeviceSource final : public CameraExtensionDeviceSource,
                                    public std::enable_shared_from_this<ExtensionDeviceSource> {
public:
    // While no sink frame has come for longer than this, readers get the placeholder.
    static constexpr double kIdleThresholdSeconds = 0.5;
    // Pause before asking again after a failed sink request.
    static constexpr double kRetryDelaySeconds = 0.005;

    struct Environment {
        std::shared_ptr<CameraExtensionService> service; // required
        // Required; a serial queue labelled kTimerQueueLabel in the daemon. Its clock also
        // measures the time since the last sink frame.
        std::shared_ptr<TimerQueue> timerQueue;
        // The host clock that stamps placeholder frames and output times; hostClockTime when
        // empty.
        std::function<Time()> hostClock;
        // Draws the placeholder; makePlaceholder when empty.
        std::function<std::shared_ptr<PixelBuffer>()> placeholderMaker;
        // Gets the readers' pictures as well; optional. Kept by whoever made the environment.
        std::shared_ptr<FrameOutput> secondOutput;
    };

    // Makes the device and both streams with the service, adds the streams to the device
    // (logging "Could not add streams: ..." if the device refuses one) and draws the placeholder.
    // Null only when the environment lacks the service or the timer queue.
    static std::shared_ptr<ExtensionDeviceSource> create(const std::string& localizedName,
                                                         Environment environment);
    ~ExtensionDeviceSource() override;
    ExtensionDeviceSource(const ExtensionDeviceSource&) = delete;
    ExtensionDeviceSource& operator=(const ExtensionDeviceSource&) = delete;

    // --- The device role (client queue) -------------------------------------------------------
    CameraExtensionPropertySet availableProperties() const override;
    CameraExtensionDeviceProperties
    deviceProperties(const CameraExtensionPropertySet& properties) const override;
    bool setDeviceProperties(const CameraExtensionDeviceProperties& properties) override;

    // Made once in create() and never replaced; safe to read from any thread afterwards.
    const std::shared_ptr<CameraExtensionDevice>& device() const { return device_; }
    const std::shared_ptr<ExtensionStreamSource>& sourceStream() const { return sourceStream_; }
    const std::shared_ptr<ExtensionStreamSink>& sinkStream() const { return sinkStream_; }

    // --- Relay and placeholder ----------------------------------------------------------------
    // One more reader of the source stream: the first one starts the 30 Hz placeholder timer
    // (unless the second output already runs it), whose first tick comes at once.
    void startSource();
    // One reader less (never below zero); the last one stops the timer unless the second output
    // wants frames.
    void stopSource();
    // The second output began or stopped wanting frames: starts or stops the timer likewise.
    void secondOutputChanged();
    // A timer tick: when no sink frame has come for more than kIdleThresholdSeconds, sends the
    // placeholder to the readers (if any) and offers it to the second output (if it wants it).
    void sendPlaceholderIfIdle();
    // Asks the sink stream for the client's next buffer, if the client is the sink client.
    void consumeNextBuffer(const CameraExtensionClientPtr& client);
    // A sink request's completion: relays the buffer unchanged to the readers (if any),
    // acknowledges it, and asks for the next one (at once, or after kRetryDelaySeconds when the
    // request failed).
    void handleConsumedBuffer(ConsumedSampleBuffer consumed,
                              const CameraExtensionClientPtr& client);

    // The sink stream's start and stop.
    void setSinkClient(CameraExtensionClientPtr client);
    void clearSinkClient();

private:
    friend class ExtensionDeviceSourceTesting;

    // Snapshots of the state behind the mutex.
    int64_t sourceClients() const;
    CameraExtensionClientPtr sinkClient() const;
    bool hasPlaceholderTimer() const;

    explicit ExtensionDeviceSource(Environment environment);
    void build(const std::string& localizedName);
    void requestBuffer(const CameraExtensionClientPtr& client);
    uint64_t hostTimeNowNanoseconds(Time* hostTime) const;
    bool secondOutputWantsFrames() const;
    // Starts or stops the placeholder timer as readers and the second output need; under mutex_.
    void updatePlaceholderTimerLocked();

    const Environment environment_;
    std::shared_ptr<CameraExtensionDevice> device_;
    std::shared_ptr<ExtensionStreamSource> sourceStream_;
    std::shared_ptr<ExtensionStreamSink> sinkStream_;
    std::shared_ptr<PixelBuffer> placeholder_;
    VideoFormatDescription formatDescription_;

    mutable std::mutex mutex_;
    int64_t sourceClients_ = 0;
    CameraExtensionClientPtr sinkClient_;
    // Timer-queue clock time of the last sink frame; absent = the distant past.
    std::optional<double> lastSinkFrame_;
    std::unique_ptr<Timer> placeholderTimer_;
};

// Host time in nanoseconds, truncated; 0 for an invalid or negative time.
uint64_t hostTimeInNanoseconds(const Time& time);

} // namespace orlenta
