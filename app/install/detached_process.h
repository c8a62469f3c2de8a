// Running programs. spawnDetached starts a program that outlives the app: it runs in a session of
// its own, is not the app's child (so the app never has to reap it and does not take it along when
// it exits), inherits none of the app's descriptors besides standard input, output and error, and
// starts with no blocked signals.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace orlenta {

// Runs arguments[0] (searched on PATH when it has no slash) with the given arguments. Answers the
// process id once the program has been executed; absent, with *error set, when it could not be
// started (not found, not executable, no more processes).
std::optional<pid_t> spawnDetached(const std::vector<std::string>& arguments, std::string* error);

// Runs arguments[0] (searched on PATH when it has no slash) as the app's child, with standard
// input from /dev/null, and waits for it. Answers its exit status (128 + the signal's number when
// a signal ended it) with its standard output and error in *output; absent, with *error set, when
// it could not be started, or when `cancel` was set meanwhile (the program is then sent SIGTERM
// and not waited for).
std::optional<int> runProgram(const std::vector<std::string>& arguments, std::string* output,
                              std::string* error, const std::atomic<bool>* cancel = nullptr);

// The first executable file named `name` in the folders of PATH; absent when there is none.
std::optional<std::string> findOnPath(const std::string& name);

} // namespace orlenta
