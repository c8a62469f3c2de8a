#include "media/log.h"

#include <atomic>
#include <cerrno>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>

// Every line would otherwise carry this file's location, which says nothing about its origin.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace orlenta {

namespace {

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

// syslog priorities, as the journal's PRIORITY field takes them.
constexpr int kPriorityError = 3;
constexpr int kPriorityInfo = 6;

struct CaptureState {
    std::mutex mutex;
    const LogCapture* active = nullptr;
    std::vector<LogRecord> records;
};

// Both states are deliberately never destroyed: a thread may still log while static objects are
// being torn down at exit.
CaptureState& captureState() {
    static CaptureState* state = new CaptureState;
    return *state;
}

enum class Sink { undecided, journal, standardError };

struct OutputState {
    std::mutex decideMutex;
    std::atomic<Sink> sink{Sink::undecided};
    std::mutex stderrMutex;
};

OutputState& outputState() {
    static OutputState* state = new OutputState;
    return *state;
}

const char* levelName(LogLevel level) {
    return level == LogLevel::error ? "error" : "info";
}

// Messages may carry text from other processes; on a terminal, control characters in them could
// forge lines or move the cursor, so they are written escaped.
void appendEscaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        } else {
            out += c;
        }
    }
}

void writeToStderr(const std::string& subsystem, const std::string& category, LogLevel level,
                   const std::string& message) {
    std::string line;
    line.reserve(subsystem.size() + category.size() + message.size() + 16);
    appendEscaped(line, subsystem);
    line += " [";
    appendEscaped(line, category);
    line += "] ";
    line += levelName(level);
    line += ": ";
    appendEscaped(line, message);
    line += '\n';

    // One write per line (under a lock) so that lines of different threads never interleave.
    std::lock_guard lock(outputState().stderrMutex);
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        left -= static_cast<size_t>(written);
    }
}

std::string field(std::string_view name, std::string_view value) {
    std::string f;
    f.reserve(name.size() + 1 + value.size());
    f += name;
    f += '=';
    f += value;
    return f;
}

bool sendToJournal(const std::string& subsystem, const std::string& category, LogLevel level,
                   const std::string& message) {
    const std::string fields[] = {
        field("MESSAGE", message),
        field("PRIORITY", level == LogLevel::error ? std::to_string(kPriorityError)
                                                   : std::to_string(kPriorityInfo)),
        field("ORLENTA_SUBSYSTEM", subsystem),
        field("ORLENTA_CATEGORY", category),
        field("SYSLOG_IDENTIFIER", program_invocation_short_name),
    };
    iovec vectors[std::size(fields)];
    for (size_t i = 0; i < std::size(fields); ++i)
        vectors[i] = {const_cast<char*>(fields[i].data()), fields[i].size()};
    return sd_journal_sendv(vectors, static_cast<int>(std::size(vectors))) == 0;
}

void emit(const std::string& subsystem, const std::string& category, LogLevel level,
          const std::string& message) {
    OutputState& out = outputState();
    Sink sink = out.sink.load(std::memory_order_acquire);
    if (sink == Sink::undecided) {
        // The first message decides for the whole process; it doubles as the probe, so a
        // reachable journal gets no test entry.
        std::lock_guard lock(out.decideMutex);
        sink = out.sink.load(std::memory_order_acquire);
        if (sink == Sink::undecided) {
            const bool reachable = ::access(kJournalSocket, F_OK) == 0 &&
                                   sendToJournal(subsystem, category, level, message);
            out.sink.store(reachable ? Sink::journal : Sink::standardError,
                           std::memory_order_release);
            if (reachable)
                return;
            sink = Sink::standardError;
        }
    }
    // A journal that goes away later (restarted, full socket buffer) must not swallow the line.
    if (sink == Sink::journal && sendToJournal(subsystem, category, level, message))
        return;
    writeToStderr(subsystem, category, level, message);
}

} // namespace

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::info(const std::string& message) const {
    log(LogLevel::info, message);
}

void Logger::error(const std::string& message) const {
    log(LogLevel::error, message);
}

void Logger::log(LogLevel level, const std::string& message) const {
    {
        CaptureState& capture = captureState();
        std::lock_guard lock(capture.mutex);
        if (capture.active != nullptr) {
            capture.records.push_back({subsystem_, category_, level, message});
            return;
        }
    }
    emit(subsystem_, category_, level, message);
}

LogCapture::LogCapture() {
    CaptureState& capture = captureState();
    std::unique_lock lock(capture.mutex);
    if (capture.active == nullptr) {
        capture.active = this;
        capture.records.clear();
        return;
    }
    lock.unlock();
    // A second capture is a mistake in a test; it records nothing, so the test's assertions on it
    // fail visibly instead of the two captures silently sharing or stealing lines.
    writeToStderr("orlenta.log", "capture", LogLevel::error,
                  "a LogCapture already exists; this one captures nothing");
}

LogCapture::~LogCapture() {
    CaptureState& capture = captureState();
    std::lock_guard lock(capture.mutex);
    if (capture.active == this) {
        capture.active = nullptr;
        capture.records.clear();
    }
}

std::vector<LogRecord> LogCapture::records() const {
    CaptureState& capture = captureState();
    std::lock_guard lock(capture.mutex);
    if (capture.active != this)
        return {};
    return capture.records;
}

std::vector<std::string> LogCapture::messages() const {
    std::vector<std::string> texts;
    for (LogRecord& record : records())
        texts.push_back(std::move(record.message));
    return texts;
}

void LogCapture::clear() {
    CaptureState& capture = captureState();
    std::lock_guard lock(capture.mutex);
    if (capture.active == this)
        capture.records.clear();
}

} // namespace orlenta
