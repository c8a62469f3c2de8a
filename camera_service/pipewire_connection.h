// The PipeWire connection that both sides of the camera service stand on: a thread loop with a
// context and a core, a listener on the registry, and (for the app's side) a connection that comes
// back after PipeWire went away. Internal to camera_service/.
//
// Threads: each connection runs a PipeWire thread loop of its own. PipeWire calls back on that
// loop thread with the loop lock held; any other thread holds the lock (Connection::Guard) for a
// PipeWire call, never per frame.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <pipewire/pipewire.h>

namespace orlenta::pipewire {

// A started thread loop, a context and a core connected to the PipeWire of this session
// (XDG_RUNTIME_DIR / PIPEWIRE_RUNTIME_DIR). Destroying it stops the loop and disconnects.
class Connection {
public:
    // Null, with the reason in errorMessage, when PipeWire cannot be reached.
    static std::unique_ptr<Connection> open(const std::string& applicationName,
                                            std::string* errorMessage);
    ~Connection();
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

// The registry of one connection with a listener on it. Every member is called under the loop
// lock of that connection; the events run on its loop thread.
class RegistryListener {
public:
    RegistryListener() = default;
    RegistryListener(const RegistryListener&) = delete;
    RegistryListener& operator=(const RegistryListener&) = delete;

    // Binds the registry and listens to it with events, which get data. False when there is no
    // registry to be had.
    bool listen(Connection& connection, const pw_registry_events& events, void* data);
    // Stops listening and lets the registry go; nothing when not listening.
    void stop();
    // Null when not listening.
    pw_registry* registry() const { return registry_; }

private:
    pw_registry* registry_ = nullptr;
    spa_hook listener_{};
};

// A connection that comes back. When PipeWire goes away (stops or restarts), onLost runs on the
// lost connection's loop thread; then a thread of its own lets that connection go (whoever holds
// it keeps it: streams made on it stay on it) and connects again every quarter of a second until
// PipeWire answers. Every connection it makes gets the same registry listener.
class ReconnectingConnection {
public:
    // Connects and listens to the registry with events (which get data). Null, with the reason,
    // when PipeWire cannot be reached.
    static std::unique_ptr<ReconnectingConnection> open(std::string applicationName,
                                                        const pw_registry_events& events,
                                                        void* data, std::function<void()> onLost,
                                                        std::string* errorMessage);
    // Stops reconnecting and stops listening; neither the events nor onLost run once it returns.
    ~ReconnectingConnection();
    ReconnectingConnection(const ReconnectingConnection&) = delete;
    ReconnectingConnection& operator=(const ReconnectingConnection&) = delete;

    // The connection in use; null while PipeWire is away. Any thread.
    std::shared_ptr<Connection> current() const;

private:
    ReconnectingConnection(std::string applicationName, const pw_registry_events& events,
                           void* data, std::function<void()> onLost);
    // Under the connection's loop lock.
    bool attach(Connection& connection);
    void onLost();
    void reconnect();

    const std::string applicationName_;
    const pw_registry_events& events_;
    void* const data_;
    const std::function<void()> onLost_;
    // Under the current connection's loop lock.
    RegistryListener registry_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    // Replaced after a loss; empty while PipeWire is away.
    std::shared_ptr<Connection> connection_;
    bool lost_ = false;
    bool closing_ = false;
    std::thread reconnector_;
};

// Sets a timer made with pw_loop_add_timer to fire once, `nanoseconds` (under a second) from
// now; 0 disarms it. A null timer is left alone. On the loop's thread or under its lock.
void armOnce(pw_loop* loop, spa_source* timer, long nanoseconds);

} // namespace orlenta::pipewire
