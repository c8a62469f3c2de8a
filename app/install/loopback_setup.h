// The administrator's part of the virtual camera for apps that read cameras only through V4L2:
// a v4l2loopback device labelled "Orlenta Camera" (the daemon writes into it whenever it exists).
//
// Install adds it for good, in one step run through pkexec, so that the desktop asks for an
// administrator's password once: it writes the module's options
// (<config>/modprobe.d/orlenta-camera.conf: one device, the label, exclusive caps so that browsers
// list it as a camera) and has it loaded at every start (<config>/modules-load.d/
// orlenta-camera.conf), then loads the module if it is not loaded yet. The v4l2loopback shipped
// with Debian 12 (0.12.7) cannot add devices to a loaded module, so a module that was already
// loaded (by another program) gets the device at the next start of the computer. Uninstall
// removes exactly those two files and unloads the module only if Install loaded it.
//
// The services run these steps at the end of an activation or deactivation, on their own
// threads: while the password is asked for, the request's delegate hears requestNeedsUserApproval.
// Where the module is not installed at all, Install leaves V4L2 alone and the panel says which
// package is missing.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/install/extension_installer.h"

namespace orlenta {

inline constexpr std::string_view kLoopbackPackage = "v4l2loopback-dkms";
inline constexpr std::string_view kLoopbackConfigName = "orlenta-camera.conf";

// Whether the v4l2loopback module is loaded or can be (listed in modules.dep of the running
// kernel).
bool loopbackModuleAvailable(const LoopbackSetupOptions& options);
// Whether Install's options file is there.
bool loopbackConfigured(const LoopbackSetupOptions& options);

// The commands, each one pkexec call with a fixed script (the folder is its one argument).
std::vector<std::string> loopbackAddCommand(const LoopbackSetupOptions& options);
std::vector<std::string> loopbackRemoveCommand(const LoopbackSetupOptions& options);

namespace install_support {

// The end of an activation whose daemon runs: adds the device when the module is there and
// Install's files are not, then answers the request (completed, or the failure). Nothing is
// answered when `stopping` is set meanwhile.
void finishActivation(const std::shared_ptr<ExtensionRequest>& request,
                      const std::optional<LoopbackSetupOptions>& loopback,
                      const std::atomic<bool>& stopping);
// The end of a deactivation whose daemon is stopped: removes what Install added, then answers.
void finishDeactivation(const std::shared_ptr<ExtensionRequest>& request,
                        const std::optional<LoopbackSetupOptions>& loopback,
                        const std::atomic<bool>& stopping);

} // namespace install_support

} // namespace orlenta
