#include "app/install/loopback_setup.h"

#include <sys/stat.h>
#include <sys/utsname.h>

#include "app/install/detached_process.h"
#include "app/install/service_support.h"

namespace orlenta {

namespace {

// Run as root by pkexec, with the configuration folder as $1 and the loaded modules' folder as
// $2. Writes both files or neither: a module that fails to load (for instance one Secure Boot
// refuses) takes them away again.
constexpr const char* kAddScript = R"(set -u
conf=$1
loaded=$2
options=$conf/modprobe.d/orlenta-camera.conf
load=$conf/modules-load.d/orlenta-camera.conf
header='# Written by Orlenta Camera; removed when it is uninstalled.'
mkdir -p "$conf/modprobe.d" "$conf/modules-load.d" || exit 1
printf '%s\n%s\n' "$header" 'options v4l2loopback devices=1 card_label="Orlenta Camera" exclusive_caps=1' >"$options" || exit 1
printf '%s\n%s\n' "$header" v4l2loopback >"$load" || { rm -f "$options"; exit 1; }
if [ ! -d "$loaded/v4l2loopback" ]; then
    if ! modprobe v4l2loopback; then rm -f "$options" "$load"; exit 1; fi
    echo '# loaded by Orlenta Camera' >>"$options"
fi
)";

// Run as root by pkexec, with the configuration folder as $1.
constexpr const char* kRemoveScript = R"(set -u
conf=$1
options=$conf/modprobe.d/orlenta-camera.conf
if grep -q '^# loaded by Orlenta Camera' "$options" 2>/dev/null; then
    modprobe -r v4l2loopback || echo 'v4l2loopback stays loaded until the computer restarts'
fi
rm -f "$options" "$conf/modules-load.d/orlenta-camera.conf"
)";

// pkexec's exit statuses when the password dialog was dismissed, or no one could be asked.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;

std::string lastLine(const std::string& text) {
    const size_t end = text.find_last_not_of("\n ");
    if (end == std::string::npos)
        return {};
    const size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1) + 1);
}

// Runs one pkexec step; the reason it failed, or nothing.
std::optional<ExtensionError> runAsAdministrator(const std::vector<std::string>& command,
                                                 const std::string& what,
                                                 const std::atomic<bool>& stopping) {
    std::string output;
    std::string error;
    const std::optional<int> status = runProgram(command, &output, &error, &stopping);
    if (!status)
        return ExtensionError{1, error.find("No such file") != std::string::npos
                                     ? "pkexec is not installed, so " + what +
                                           " cannot be asked for (install the pkexec package)"
                                     : "cannot run pkexec: " + error};
    if (*status == 0)
        return std::nullopt;
    if (*status == kPkexecDismissed || *status == kPkexecNotAuthorized)
        return ExtensionError{1, "no administrator\u2019s password was given, so " + what +
                                     " did not happen; apps that read PipeWire cameras still "
                                     "see Orlenta Camera"};
    const std::string reason = lastLine(output);
    return ExtensionError{1, what + " failed" + (reason.empty() ? "" : ": " + reason)};
}

// The password dialog is this platform's approval step: the delegate hears of it as it opens.
void announcePasswordDialog(const std::shared_ptr<ExtensionRequest>& request) {
    request->executor().post([request] {
        if (auto delegate = request->delegate())
            delegate->requestNeedsUserApproval(*request);
    });
}

} // namespace

bool loopbackModuleAvailable(const LoopbackSetupOptions& options) {
    struct stat info {};
    if (::stat((options.loadedModuleRoot + "/v4l2loopback").c_str(), &info) == 0)
        return true;
    utsname system{};
    if (::uname(&system) != 0)
        return false;
    // One read of the whole list (a few hundred kilobytes) and one search: this runs on the
    // main thread.
    const std::optional<std::string> dependencies =
        install_support::readWholeFile(options.moduleRoot + "/" + system.release + "/modules.dep");
    return dependencies && dependencies->find("v4l2loopback.ko") != std::string::npos;
}

bool loopbackConfigured(const LoopbackSetupOptions& options) {
    struct stat info {};
    return ::stat((options.configRoot + "/modprobe.d/" + std::string(kLoopbackConfigName)).c_str(),
                  &info) == 0;
}

std::vector<std::string> loopbackAddCommand(const LoopbackSetupOptions& options) {
    return {"pkexec",
            "/bin/sh",
            "-c",
            kAddScript,
            "orlenta-camera",
            options.configRoot,
            options.loadedModuleRoot};
}

std::vector<std::string> loopbackRemoveCommand(const LoopbackSetupOptions& options) {
    return {"pkexec", "/bin/sh", "-c", kRemoveScript, "orlenta-camera", options.configRoot};
}

namespace install_support {

void finishActivation(const std::shared_ptr<ExtensionRequest>& request,
                      const std::optional<LoopbackSetupOptions>& loopback,
                      const std::atomic<bool>& stopping) {
    if (loopback && loopbackModuleAvailable(*loopback) && !loopbackConfigured(*loopback)) {
        announcePasswordDialog(request);
        if (auto error = runAsAdministrator(loopbackAddCommand(*loopback), "adding the V4L2 camera",
                                            stopping)) {
            if (!stopping)
                postFail(request, std::move(*error));
            return;
        }
    }
    if (!stopping)
        postFinish(request, kExtensionResultCompleted);
}

void finishDeactivation(const std::shared_ptr<ExtensionRequest>& request,
                        const std::optional<LoopbackSetupOptions>& loopback,
                        const std::atomic<bool>& stopping) {
    if (loopback && loopbackConfigured(*loopback)) {
        announcePasswordDialog(request);
        if (auto error = runAsAdministrator(loopbackRemoveCommand(*loopback),
                                            "removing the V4L2 camera", stopping)) {
            if (!stopping)
                postFail(request, std::move(*error));
            return;
        }
    }
    if (!stopping)
        postFinish(request, kExtensionResultCompleted);
}

} // namespace install_support

} // namespace orlenta
