#include "camera_service/pipewire_connection.h"

#include <cerrno>
#include <chrono>
#include <utility>

#include <spa/utils/result.h>

namespace orlenta::pipewire {

namespace {

// Pause between attempts to reach PipeWire again after it went away.
constexpr auto kReconnectPause = std::chrono::milliseconds(250);

void initialisePipeWire() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

} // namespace

// --- Connection --------------------------------------------------------------------------------

std::unique_ptr<Connection> Connection::open(const std::string& applicationName,
                                             std::string* errorMessage) {
    initialisePipeWire();
    std::unique_ptr<Connection> connection(new Connection);
    connection->loop_ = pw_thread_loop_new("orlenta-pipewire", nullptr);
    if (!connection->loop_) {
        if (errorMessage)
            *errorMessage = "Could not make the PipeWire loop.";
        return nullptr;
    }
    connection->context_ = pw_context_new(pw_thread_loop_get_loop(connection->loop_), nullptr, 0);
    if (!connection->context_ || pw_thread_loop_start(connection->loop_) < 0) {
        if (errorMessage)
            *errorMessage = "Could not start the PipeWire loop.";
        return nullptr;
    }
    Guard guard(*connection);
    pw_properties* properties =
        pw_properties_new(PW_KEY_APP_NAME, applicationName.c_str(), nullptr);
    connection->core_ = pw_context_connect(connection->context_, properties, 0);
    if (!connection->core_) {
        const int error = errno;
        if (errorMessage)
            *errorMessage = std::string("Could not connect to PipeWire: ") + spa_strerror(-error);
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
    pw_core_add_listener(connection->core_, &connection->coreListener_, &events, connection.get());
    return connection;
}

Connection::~Connection() {
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

// --- RegistryListener --------------------------------------------------------------------------

bool RegistryListener::listen(Connection& connection, const pw_registry_events& events,
                              void* data) {
    registry_ = pw_core_get_registry(connection.core(), PW_VERSION_REGISTRY, 0);
    if (!registry_)
        return false;
    pw_registry_add_listener(registry_, &listener_, &events, data);
    return true;
}

void RegistryListener::stop() {
    if (!registry_)
        return;
    spa_hook_remove(&listener_);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    registry_ = nullptr;
}

// --- ReconnectingConnection --------------------------------------------------------------------

ReconnectingConnection::ReconnectingConnection(std::string applicationName,
                                               const pw_registry_events& events, void* data,
                                               std::function<void()> onLost)
    : applicationName_(std::move(applicationName)), events_(events), data_(data),
      onLost_(std::move(onLost)) {}

std::unique_ptr<ReconnectingConnection>
ReconnectingConnection::open(std::string applicationName, const pw_registry_events& events,
                             void* data, std::function<void()> onLost, std::string* errorMessage) {
    std::unique_ptr<ReconnectingConnection> self(
        new ReconnectingConnection(std::move(applicationName), events, data, std::move(onLost)));
    std::shared_ptr<Connection> connection = Connection::open(self->applicationName_, errorMessage);
    if (!connection)
        return nullptr;
    {
        Connection::Guard guard(*connection);
        if (!self->attach(*connection)) {
            connection->setOnLost(nullptr);
            if (errorMessage)
                *errorMessage = "Could not read the PipeWire registry.";
            return nullptr;
        }
    }
    {
        std::lock_guard lock(self->mutex_);
        self->connection_ = std::move(connection);
    }
    ReconnectingConnection* raw = self.get();
    self->reconnector_ = std::thread([raw] { raw->reconnect(); });
    return self;
}

ReconnectingConnection::~ReconnectingConnection() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        wake_.notify_all();
    }
    if (reconnector_.joinable())
        reconnector_.join();
    // Holders of the connection keep it; only the registry listener and the loss callback go.
    if (std::shared_ptr<Connection> connection = current()) {
        Connection::Guard guard(*connection);
        connection->setOnLost(nullptr);
        registry_.stop();
    }
}

std::shared_ptr<Connection> ReconnectingConnection::current() const {
    std::lock_guard lock(mutex_);
    return connection_;
}

bool ReconnectingConnection::attach(Connection& connection) {
    // The loss callback is cleared under the loop lock before this object goes, so it never
    // outlives it.
    connection.setOnLost([this](const std::string&) { onLost(); });
    return registry_.listen(connection, events_, data_);
}

// The connection's loop thread: PipeWire went away; the reconnecting thread takes over.
void ReconnectingConnection::onLost() {
    if (onLost_)
        onLost_();
    std::lock_guard lock(mutex_);
    lost_ = true;
    wake_.notify_all();
}

// The reconnecting thread: after a loss, lets the old connection go (its holders keep it) and
// connects again every kReconnectPause until PipeWire answers.
void ReconnectingConnection::reconnect() {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [&] { return closing_ || lost_; });
        if (closing_)
            return;
        std::shared_ptr<Connection> old = std::move(connection_);
        connection_.reset();
        lost_ = false;
        lock.unlock();
        if (old) {
            Connection::Guard guard(*old);
            registry_.stop();
        }
        old.reset();
        std::shared_ptr<Connection> fresh;
        while (!fresh) {
            lock.lock();
            if (wake_.wait_for(lock, kReconnectPause, [&] { return closing_; }))
                return;
            lock.unlock();
            fresh = Connection::open(applicationName_, nullptr);
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
        connection_ = std::move(fresh);
    }
}

void armOnce(pw_loop* loop, spa_source* timer, long nanoseconds) {
    if (!timer)
        return;
    timespec value{0, nanoseconds};
    timespec interval{0, 0};
    pw_loop_update_timer(loop, timer, &value, &interval, false);
}

} // namespace orlenta::pipewire
