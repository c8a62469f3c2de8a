// The extension service for desktops with a user systemd: the daemon is the user unit
// orlenta-camera-extension.service, driven through the systemd manager's D-Bus interface
// (org.freedesktop.systemd1 on the user bus).
//
// Activation: when the manager does not know the unit, its unit file (installed beside the app)
// is linked into the user's unit folders; then the unit is enabled (it starts with every login)
// and started, and the request finishes once the unit is active and stays so for a moment.
// Deactivation stops and disables the unit. Properties report the unit: enabled, active; an
// unknown unit gives an empty list.
//
// The D-Bus connection is used on a thread of the service's own; requests run one at a time, in
// order, and answers go to each request's executor.
#pragma once

#include <memory>
#include <string>

#include "app/install/extension_installer.h"

namespace orlenta {

class SystemdExtensionService final : public ExtensionService {
public:
    // Null, with *error saying why, when the user bus cannot be reached or no systemd manager
    // answers on it.
    static std::shared_ptr<SystemdExtensionService> connect(ExtensionServiceOptions options,
                                                            std::string* error);
    // Waits for the request in progress, drops the others unanswered.
    ~SystemdExtensionService() override;
    SystemdExtensionService(const SystemdExtensionService&) = delete;
    SystemdExtensionService& operator=(const SystemdExtensionService&) = delete;

    void submitRequest(std::shared_ptr<ExtensionRequest> request) override;
    std::string name() const override { return "systemd"; }

private:
    struct Impl;
    explicit SystemdExtensionService(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

} // namespace orlenta
