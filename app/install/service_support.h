// Helpers the extension services share: where the daemon's files are, which process is the
// daemon, and handing answers to a request's delegate on its executor.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "app/install/extension_installer.h"

namespace orlenta::install_support {

// The folder of the running program (from /proc/self/exe); absent when unknown.
std::optional<std::string> ownProgramFolder();
// options.programPath, or orlenta-camera-extension beside the running program.
std::optional<std::string> daemonProgramPath(const ExtensionServiceOptions& options);
// Empty when the program is there and can be run; otherwise the error for the installer
// (code kExtensionErrorWrongLocation).
std::optional<ExtensionError> checkDaemonProgram(const std::optional<std::string>& path);

// $XDG_RUNTIME_DIR, else /run/user/<uid> when it exists.
std::optional<std::string> runtimeDirectory();

// The program a live process of this user runs (/proc/<pid>/exe, without a " (deleted)"
// suffix); absent when the process is gone or not ours.
std::optional<std::string> processProgram(pid_t pid);
// True when pid is a live process of this user running a program named
// orlenta-camera-extension.
bool isDaemonProcess(pid_t pid);
// True when process pid holds an exclusive flock() on the file (from /proc/locks, without
// touching the lock); absent when that cannot be told.
std::optional<bool> holdsLock(pid_t pid, const std::string& lockFile);
// The process id written in a file (first line, decimal); absent when missing or malformed.
std::optional<pid_t> readPidFile(const std::string& path);
// Replaces the file's content atomically (write a temporary file beside it, rename); on failure
// the file is as it was and no temporary file is left.
bool writeFileAtomically(const std::string& path, const std::string& text, mode_t mode,
                         std::string* error);
bool writePidFile(const std::string& path, pid_t pid, std::string* error);

// The systemd user unit that runs `program`: the installed unit's text with ExecStart naming it
// (quoted, so that any path works), marked as written by the app.
std::string unitFileText(const std::string& program);
// Whether a unit file's text is one that unitFileText wrote.
bool isWrittenUnitFile(const std::string& text);
// The folder where the user's own systemd units go: $XDG_CONFIG_HOME/systemd/user, else
// ~/.config/systemd/user; absent when neither is known.
std::optional<std::string> userUnitDirectory();
// The file's whole content; absent when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);
// The canonical path of an existing file; the path itself when it cannot be resolved.
std::string canonicalPath(const std::string& path);

// Sends SIGTERM, waits up to graceSeconds for the process to go, then SIGKILL and waits again.
// True once it is gone. A set `cancel` ends the waiting early (false, with *error saying so).
bool stopProcess(pid_t pid, double graceSeconds, std::string* error,
                 const std::atomic<bool>* cancel = nullptr);

// Posting answers: the delegate gets them on the request's executor, if it still exists.
void postFinish(const std::shared_ptr<ExtensionRequest>& request, int result);
void postFail(const std::shared_ptr<ExtensionRequest>& request, ExtensionError error);
void postProperties(const std::shared_ptr<ExtensionRequest>& request,
                    std::vector<ExtensionProperties> properties);
// Asks the delegate on its executor and waits for the answer; cancel when it is gone, or as soon
// as `stopping` is set (the service is being destroyed: the main thread that would answer may be
// the one waiting for the service). Only from a service's own thread.
ExtensionReplacementAction askReplacement(const std::shared_ptr<ExtensionRequest>& request,
                                          const ExtensionProperties& existing,
                                          const ExtensionProperties& replacement,
                                          const std::atomic<bool>& stopping);

double monotonicNow();
void sleepSeconds(double seconds);
// Sleeps up to `seconds` in short steps; false when `stopping` was set meanwhile.
bool sleepUnlessStopping(double seconds, const std::atomic<bool>& stopping);

} // namespace orlenta::install_support
