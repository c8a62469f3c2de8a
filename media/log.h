// Logging: one Logger per subsystem and category, written to the systemd journal.
//
// Each message goes to the journal with its priority (info or error), the text as MESSAGE, and
// the subsystem and category as the fields ORLENTA_SUBSYSTEM and ORLENTA_CATEGORY, so
// `journalctl ORLENTA_SUBSYSTEM=example.orlenta.camera` finds one program's lines. Where no journal
// is reachable (no socket, e.g. in a container) the line goes to standard error instead, as
// "<subsystem> [<category>] <level>: <text>", with line breaks and other control characters
// escaped (\n, \xNN) so that a text from elsewhere cannot forge lines or drive the terminal. The
// choice is made once per process, at its first message; a line the journal refuses later goes
// to standard error too.
//
// Tests can capture what is logged with LogCapture: while one exists, messages go to it (and
// nowhere else), so a test can assert on exact texts.
//
// Thread-safe: any thread may log at any time.
#pragma once

#include <string>
#include <vector>

namespace orlenta {

enum class LogLevel { info, error };

struct LogRecord {
    std::string subsystem;
    std::string category;
    LogLevel level = LogLevel::info;
    std::string message;
};

class Logger {
public:
    Logger(std::string subsystem, std::string category);

    void info(const std::string& message) const;
    void error(const std::string& message) const;
    void log(LogLevel level, const std::string& message) const;

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

private:
    std::string subsystem_;
    std::string category_;
};

// Diverts every message of the process to itself for its lifetime. Only one may exist at a time
// (a second one is a programming error in a test: it captures nothing and says so on stderr).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const;
    // Only the message texts, in order.
    std::vector<std::string> messages() const;
    void clear();
};

} // namespace orlenta
