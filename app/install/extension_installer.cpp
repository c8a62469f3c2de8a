#include "app/install/extension_installer.h"

#include <algorithm>
#include <utility>

#include "media/thread_check.h"

namespace orlenta {

std::shared_ptr<ExtensionRequest> ExtensionRequest::create(Kind kind, std::string identifier,
                                                           Executor& executor) {
    return std::shared_ptr<ExtensionRequest>(
        new ExtensionRequest(kind, std::move(identifier), executor));
}

std::shared_ptr<ExtensionInstaller>
ExtensionInstaller::create(std::shared_ptr<ExtensionService> service, Executor& mainExecutor,
                           std::shared_ptr<SettingsLauncher> launcher,
                           std::function<bool()> moduleMissing) {
    if (!service)
        return nullptr;
    ORLENTA_ASSERT_ON_EXECUTOR(mainExecutor);
    if (!launcher)
        launcher = createDesktopSettingsLauncher();
    return std::shared_ptr<ExtensionInstaller>(new ExtensionInstaller(
        std::move(service), mainExecutor, std::move(launcher), std::move(moduleMissing)));
}

ExtensionInstaller::ExtensionInstaller(std::shared_ptr<ExtensionService> service,
                                       Executor& mainExecutor,
                                       std::shared_ptr<SettingsLauncher> launcher,
                                       std::function<bool()> moduleMissing)
    : service_(std::move(service)), main_(mainExecutor), launcher_(std::move(launcher)),
      moduleMissing_(std::move(moduleMissing)) {}

void ExtensionInstaller::checkLoopbackModule() {
    loopbackModuleMissing.set(moduleMissing_ && moduleMissing_());
}

void ExtensionInstaller::checkStatus() {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    checkLoopbackModule();
    auto request = ExtensionRequest::create(ExtensionRequest::Kind::properties,
                                            std::string(kExtensionIdentifier), main_);
    request->setDelegate(weak_from_this());
    statusRequest_ = request;
    service_->submitRequest(std::move(request));
}

void ExtensionInstaller::install() {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    message.set(std::string(installer_text::installing));
    removing_ = false;
    finishing.set(false);
    needsRestart.set(false);
    submit(ExtensionRequest::Kind::activation);
}

void ExtensionInstaller::uninstall() {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    message.set(std::string(installer_text::removing));
    removing_ = true;
    submit(ExtensionRequest::Kind::deactivation);
}

void ExtensionInstaller::submit(ExtensionRequest::Kind kind) {
    auto request = ExtensionRequest::create(kind, std::string(kExtensionIdentifier), main_);
    request->setDelegate(weak_from_this());
    service_->submitRequest(std::move(request));
}

void ExtensionInstaller::openSystemSettings() {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    if (!launcher_)
        return;
    if (!launcher_->openPreferred())
        launcher_->openFallback();
}

void ExtensionInstaller::virtualCameraDidConnect() {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    finishing.set(false);
    needsRestart.set(false);
}

bool ExtensionInstaller::isStatusRequest(const ExtensionRequest& request) const {
    return statusRequest_ && statusRequest_.get() == &request;
}

ExtensionReplacementAction ExtensionInstaller::actionForReplacing(const ExtensionRequest&,
                                                                  const ExtensionProperties&,
                                                                  const ExtensionProperties&) {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    // A newer or different build always replaces the installed one: the app and the daemon it
    // starts must come from the same installation.
    return ExtensionReplacementAction::replace;
}

void ExtensionInstaller::requestNeedsUserApproval(const ExtensionRequest&) {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    needsApproval.set(true);
    message.set(std::string());
}

void ExtensionInstaller::requestFoundProperties(
    const ExtensionRequest& request, const std::vector<ExtensionProperties>& properties) {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    if (!isStatusRequest(request))
        return;
    const bool awaiting =
        std::any_of(properties.begin(), properties.end(), [](const ExtensionProperties& entry) {
            return entry.isAwaitingUserApproval && !entry.isUninstalling;
        });
    needsApproval.set(awaiting);
    if (awaiting)
        message.set(std::string());
}

void ExtensionInstaller::requestDidFinish(const ExtensionRequest& request, int result) {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    if (isStatusRequest(request))
        return;
    needsApproval.set(false);
    checkLoopbackModule();
    if (result == kExtensionResultCompleted) {
        if (removing_) {
            message.set(std::string());
        } else {
            message.set(std::string(installer_text::installed));
            finishing.set(true);
            startConnectWait();
        }
    } else {
        message.set(std::string(installer_text::done));
    }
}

void ExtensionInstaller::requestDidFail(const ExtensionRequest& request,
                                        const ExtensionError& error) {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    if (isStatusRequest(request))
        return;
    needsApproval.set(false);
    checkLoopbackModule();
    std::string text(installer_text::couldNot);
    text += removing_ ? "remove" : "install";
    text += ": ";
    text += error.description;
    text += ".";
    if (error.code == kExtensionErrorWrongLocation)
        text += installer_text::reinstallProgram;
    message.set(std::move(text));
}

void ExtensionInstaller::startConnectWait() {
    std::erase_if(connectWaits_,
                  [](const std::unique_ptr<Timer>& timer) { return !timer || !timer->isValid(); });
    std::weak_ptr<ExtensionInstaller> weak = weak_from_this();
    connectWaits_.push_back(main_.scheduleTimer(kConnectWaitSeconds, false, [weak] {
        const std::shared_ptr<ExtensionInstaller> self = weak.lock();
        if (self && self->finishing.get())
            self->needsRestart.set(true);
    }));
}

} // namespace orlenta
