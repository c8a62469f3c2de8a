// The extension service for sessions without a user systemd (containers, CI, minimal desktops):
// the app starts the daemon itself and stops it again.
//
// Activation starts orlenta-camera-extension detached from the app (it keeps running when the
// app quits), writes its process id to the pid file and finishes once the daemon holds its
// single-instance lock and is still running a moment later. A daemon that already runs is
// stopped first, so that Install and Reinstall always leave the app's own program running; one
// of a different build is replaced only when the delegate agrees.
// Deactivation stops the daemon (the one in the pid file, else the lock holder) and removes the
// pid file. Properties list the running daemon, or nothing.
//
// The work runs on a thread of the service's own, one request at a time, in order; answers go
// to each request's executor. Its waits look every few tens of milliseconds whether the service
// is being destroyed, so destroying it never waits for long.
#pragma once

#include <memory>

#include "app/install/extension_installer.h"

namespace orlenta {

class ProcessExtensionService final : public ExtensionService {
public:
    explicit ProcessExtensionService(ExtensionServiceOptions options = {});
    // Cuts the request in progress short (within a few tens of milliseconds), drops the others
    // unanswered.
    ~ProcessExtensionService() override;
    ProcessExtensionService(const ProcessExtensionService&) = delete;
    ProcessExtensionService& operator=(const ProcessExtensionService&) = delete;

    void submitRequest(std::shared_ptr<ExtensionRequest> request) override;
    std::string name() const override { return "process"; }

    // The pid file in use; empty when there is no runtime directory.
    std::string pidFilePath() const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace orlenta
