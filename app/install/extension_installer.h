// Extension installation: turning the virtual-camera daemon on and off for this user, and
// telling the user interface where that stands.
//
// The daemon (orlenta-camera-extension) reaches video apps only while it runs. ExtensionInstaller
// drives an ExtensionService, which starts it for good (activation), stops it for good
// (deactivation) or reports its state (properties). Every answer becomes a few observable flags
// and one status line that the main window and the settings view show. Whether the virtual
// camera is actually reachable is not something the installer can learn: the app tells it when
// the pipeline's virtualCameraConnected turns true (virtualCameraDidConnect()).
//
// The services (see createPlatformExtensionService):
//   - systemd: the daemon as the systemd user unit orlenta-camera-extension.service, driven over
//     D-Bus (org.freedesktop.systemd1). Activation writes a unit for the daemon beside the app
//     into the user's unit folder when the unit systemd knows runs another program, enables and
//     restarts it, and finishes once the unit is active; deactivation stops and disables it;
//     properties report the unit's state.
//   - process: where no user systemd is reachable (containers, CI) the app starts the daemon
//     itself, detached from the app, and records its process id in
//     $XDG_RUNTIME_DIR/orlenta-camera-extension.pid; a daemon that already runs is stopped first,
//     so the one running is always the app's own; deactivation stops that process. The daemon's
//     own single-instance lock keeps a second one from running.
//   - memory: for tests; the test answers each submitted request by hand.
//
// Threads: an ExtensionInstaller lives on the main thread (the Executor given at creation) and
// every member is called there (with thread checks on, a call from elsewhere aborts). A request
// names the executor its delegate callbacks run on; services call delegates only there, never from
// inside submitRequest(), and never after the delegate is gone. Services may work on threads of
// their own (D-Bus calls block); destroying a service never waits for the main thread and returns
// within a few tens of milliseconds, so quitting the app while a request is under way does not
// hang.
//
// Ownership: the app holds the installer by std::shared_ptr and hands views a reference; the
// installer shares ownership of its service. A request holds its delegate weakly.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/dispatch.h"
#include "media/observable.h"

namespace orlenta {

// The identifier every request names.
inline constexpr std::string_view kExtensionIdentifier = "example.orlenta.camera.extension";
// The daemon's program name (installed beside the app's) and its systemd user unit.
inline constexpr std::string_view kExtensionProgramName = "orlenta-camera-extension";
inline constexpr std::string_view kExtensionUnitName = "orlenta-camera-extension.service";

// The texts the installer puts in `message`.
namespace installer_text {
inline constexpr std::string_view installing = "Installing\u2026";
inline constexpr std::string_view removing = "Removing\u2026";
inline constexpr std::string_view installed =
    "Installed. You may need to restart your video app to see the camera.";
inline constexpr std::string_view done = "Done.";
// A failure reads couldNot + ("remove" | "install") + ": " + the error's description + ".";
// for kExtensionErrorWrongLocation the advice below follows.
inline constexpr std::string_view couldNot = "Could not ";
inline constexpr std::string_view reinstallProgram =
    " Reinstall the orlenta-camera package (or build the project again), then try again.";
} // namespace installer_text

// How long after a completed activation the installer waits for the virtual camera before it
// sets needsRestart.
inline constexpr double kConnectWaitSeconds = 10.0;

// Result value of a finished activation or deactivation. Other values may arrive and mean
// "done, nothing more to say" (no service here finishes only after a reboot or a new login).
inline constexpr int kExtensionResultCompleted = 0;

// Error code for "the daemon's program is not where the app is installed" (the program
// orlenta-camera-extension is missing from the app's own folder, or cannot be run).
inline constexpr int kExtensionErrorWrongLocation = 3;

struct ExtensionError {
    int code = 0;
    // A sentence for the user, without a final full stop, e.g. "the systemd user manager
    // refused to start orlenta-camera-extension.service: Unit not found".
    std::string description;
};

// One installed copy of the daemon as a properties request finds it.
struct ExtensionProperties {
    std::string identifier{kExtensionIdentifier};
    // Where the daemon's program is (the unit's ExecStart or the started program), may be empty.
    std::string programPath;
    // Waiting for the user's approval: a step that needs an administrator's password (adding or
    // removing the V4L2 loopback device), which no properties request finds pending.
    bool isAwaitingUserApproval = false;
    bool isUninstalling = false;
    // Enabled to start with the user's session (systemd) or started by the app (process).
    bool isEnabled = false;
    // The daemon runs now.
    bool isActive = false;
};

// What the installer answers when an activation finds another build already installed.
enum class ExtensionReplacementAction { cancel = 0, replace = 1 };

class ExtensionRequest;

// The receiver of one request's answers. Every call arrives on the request's executor thread.
// A request that is answered gets any number of needsUserApproval / actionForReplacing calls,
// then one final answer: foundProperties or didFail for a properties request, didFinish or
// didFail for an activation or deactivation.
class ExtensionRequestDelegate {
public:
    virtual ~ExtensionRequestDelegate() = default;

    virtual ExtensionReplacementAction
    actionForReplacing(const ExtensionRequest& request, const ExtensionProperties& existing,
                       const ExtensionProperties& replacement) = 0;
    virtual void requestNeedsUserApproval(const ExtensionRequest& request) = 0;
    virtual void requestFoundProperties(const ExtensionRequest& request,
                                        const std::vector<ExtensionProperties>& properties) = 0;
    virtual void requestDidFinish(const ExtensionRequest& request, int result) = 0;
    virtual void requestDidFail(const ExtensionRequest& request, const ExtensionError& error) = 0;
};

// One activation, deactivation or properties request. Immutable once created, except for its
// delegate, which is set before submission. Services tell requests apart by object identity.
class ExtensionRequest {
public:
    enum class Kind { activation, deactivation, properties };

    // executor is where the delegate's callbacks run; it must outlive every service the request
    // is submitted to.
    static std::shared_ptr<ExtensionRequest> create(Kind kind, std::string identifier,
                                                    Executor& executor);

    Kind kind() const { return kind_; }
    const std::string& identifier() const { return identifier_; }
    Executor& executor() const { return executor_; }

    void setDelegate(std::weak_ptr<ExtensionRequestDelegate> delegate) {
        delegate_ = std::move(delegate);
    }
    // Null once the delegate is gone.
    std::shared_ptr<ExtensionRequestDelegate> delegate() const { return delegate_.lock(); }

    ExtensionRequest(const ExtensionRequest&) = delete;
    ExtensionRequest& operator=(const ExtensionRequest&) = delete;

private:
    ExtensionRequest(Kind kind, std::string identifier, Executor& executor)
        : kind_(kind), identifier_(std::move(identifier)), executor_(executor) {}

    Kind kind_;
    std::string identifier_;
    Executor& executor_;
    std::weak_ptr<ExtensionRequestDelegate> delegate_;
};

// The service that starts, stops and reports the daemon. submitRequest() returns at once (it
// may be called from the main thread); the answers arrive later, on the request's executor,
// through the request's delegate. A request whose delegate is gone is still carried out; its
// answers are dropped. Implementations are thread-safe.
class ExtensionService {
public:
    virtual ~ExtensionService() = default;
    virtual void submitRequest(std::shared_ptr<ExtensionRequest> request) = 0;
    // A short name for messages and logs: "systemd", "process" or "memory".
    virtual std::string name() const = 0;
};

// Where the V4L2 loopback step (app/install/loopback_setup.h) looks and writes.
struct LoopbackSetupOptions {
    // Holds modprobe.d and modules-load.d.
    std::string configRoot = "/etc";
    // Holds <kernel release>/modules.dep.
    std::string moduleRoot = "/lib/modules";
    // Holds the loaded modules' folders.
    std::string loadedModuleRoot = "/sys/module";
};

struct ExtensionServiceOptions {
    // The daemon's program. Empty: orlenta-camera-extension in the folder of the running
    // program (/proc/self/exe), i.e. beside the app.
    std::string programPath;
    // Where the systemd service writes the unit for the daemon when the unit systemd knows runs
    // another program. Empty: orlenta-camera-extension.service in $XDG_CONFIG_HOME/systemd/user
    // (~/.config/systemd/user).
    std::string unitFilePath;
    // The process service's pid file. Empty: $XDG_RUNTIME_DIR/orlenta-camera-extension.pid.
    std::string pidFilePath;
    // How long an activation waits for the daemon to run before it fails.
    double startTimeoutSeconds = 10.0;
    // When set, activation also adds the V4L2 loopback device and deactivation removes it, as
    // an administrator (see app/install/loopback_setup.h). The app sets it; tests of the
    // daemon's services leave it out.
    std::optional<LoopbackSetupOptions> loopback;
};

// The systemd service when the user's systemd manager answers on the user bus, otherwise the
// process service. Never null. Asks the bus once, waiting a few seconds at most: call it at start,
// not on every use.
std::shared_ptr<ExtensionService>
createPlatformExtensionService(ExtensionServiceOptions options = {});

// Opens the desktop's settings application. Returns true when a program was started.
class SettingsLauncher {
public:
    virtual ~SettingsLauncher() = default;
    // The preferred way in (the settings page closest to the camera's); false when it could not
    // be started.
    virtual bool openPreferred() = 0;
    // Any settings application of the desktop; false when there is none.
    virtual bool openFallback() = 0;
};

// Starts, detached from the app: openPreferred() = the current desktop's settings application
// (gnome-control-center, systemsettings, xfce4-settings-manager, cinnamon-settings,
// mate-control-center, chosen by XDG_CURRENT_DESKTOP); openFallback() = the first of those found
// on PATH. Nothing is run when none is installed.
std::shared_ptr<SettingsLauncher> createDesktopSettingsLauncher();

class ExtensionInstaller final : public ExtensionRequestDelegate,
                                 public std::enable_shared_from_this<ExtensionInstaller> {
public:
    // mainExecutor must outlive the installer; every member is called on its thread. launcher
    // null: createDesktopSettingsLauncher(). moduleMissing answers whether the
    // v4l2loopback module is missing (quickly: it runs on the main thread); empty: never. Null
    // when service is null.
    static std::shared_ptr<ExtensionInstaller>
    create(std::shared_ptr<ExtensionService> service, Executor& mainExecutor,
           std::shared_ptr<SettingsLauncher> launcher = nullptr,
           std::function<bool()> moduleMissing = {});

    ExtensionInstaller(const ExtensionInstaller&) = delete;
    ExtensionInstaller& operator=(const ExtensionInstaller&) = delete;

    // Observable state: read and watched by anyone, written only by the installer.
    template <typename T> using Property = Observable<T, ExtensionInstaller>;
    // Status line under the virtual camera panel; empty = nothing shown.
    Property<std::string> message{std::string()};
    // Installed but waiting for the user's approval (an administrator's step).
    Property<bool> needsApproval{false};
    // An activation completed; waiting for the virtual camera to appear. Cleared by
    // virtualCameraDidConnect().
    Property<bool> finishing{false};
    // The camera did not appear within kConnectWaitSeconds of a completed activation. Cleared by
    // virtualCameraDidConnect().
    Property<bool> needsRestart{false};
    // The v4l2loopback module is missing, so apps that read cameras only through V4L2 cannot see
    // the virtual camera. Looked at again by checkStatus() and at the end of every activation
    // and deactivation.
    Property<bool> loopbackModuleMissing{false};
    // The last activation/deactivation request was a deactivation.
    bool removing() const { return removing_; }
    // The most recent properties request; only its answers count.
    const std::shared_ptr<ExtensionRequest>& statusRequest() const { return statusRequest_; }

    // Asks for the daemon's state; replaces statusRequest.
    void checkStatus();
    // message "Installing…", removing(), finishing and needsRestart false; submits an activation.
    void install();
    // message "Removing…", removing() true; submits a deactivation.
    void uninstall();
    // Opens the desktop's settings: the preferred way, once the fallback when that fails.
    void openSystemSettings();
    // The app saw the virtual camera connect: finishing and needsRestart false (both assigned,
    // in that order, also when already false).
    void virtualCameraDidConnect();

    // ExtensionRequestDelegate: called by the service on the main thread.
    ExtensionReplacementAction actionForReplacing(const ExtensionRequest& request,
                                                  const ExtensionProperties& existing,
                                                  const ExtensionProperties& replacement) override;
    void requestNeedsUserApproval(const ExtensionRequest& request) override;
    void requestFoundProperties(const ExtensionRequest& request,
                                const std::vector<ExtensionProperties>& properties) override;
    void requestDidFinish(const ExtensionRequest& request, int result) override;
    void requestDidFail(const ExtensionRequest& request, const ExtensionError& error) override;

    const std::shared_ptr<ExtensionService>& service() const { return service_; }

private:
    ExtensionInstaller(std::shared_ptr<ExtensionService> service, Executor& mainExecutor,
                       std::shared_ptr<SettingsLauncher> launcher,
                       std::function<bool()> moduleMissing);
    void checkLoopbackModule();
    bool isStatusRequest(const ExtensionRequest& request) const;
    void submit(ExtensionRequest::Kind kind);
    void startConnectWait();

    std::shared_ptr<ExtensionService> service_;
    Executor& main_;
    bool removing_ = false;
    std::shared_ptr<ExtensionRequest> statusRequest_;
    std::shared_ptr<SettingsLauncher> launcher_;
    std::function<bool()> moduleMissing_;
    // One-shot checks still to fire; never cancelled (a later install() resets the flags they
    // look at instead). Fired ones are dropped as new ones are added.
    std::vector<std::unique_ptr<Timer>> connectWaits_;
};

} // namespace orlenta
