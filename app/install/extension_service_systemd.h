// The extension service for desktops with a user systemd: the daemon is the user unit
// orlenta-camera-extension.service, driven through the systemd manager's D-Bus interface
// (org.freedesktop.systemd1 on the user bus).
//
// Activation makes the unit run the daemon beside the app: when the unit systemd knows runs
// another program, or there is none, the installer writes one (the installed unit's text with
// ExecStart naming that daemon) into the user's unit folder, which systemd reads before the
// system's. Then the unit is enabled (it starts with every login) and restarted, so that a daemon
// that already runs is replaced by this app's own; the request finishes once the unit is active
// and stays so for a moment. A failure on the way puts back the unit file and the enablement as
// they were. Deactivation stops and disables the unit and removes a unit file the installer
// wrote. Properties report the unit: its program, enabled, active; an unknown unit gives an empty
// list.
//
// The D-Bus connection is used on a thread of the service's own; requests run one at a time, in
// order, and answers go to each request's executor. Every wait there (for the manager's answer,
// for the unit to start or stop) looks every few tens of milliseconds whether the service is
// being destroyed, so destroying it returns at once even while a request is under way.
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
    // Cuts the request in progress short (within a few tens of milliseconds), drops the others
    // unanswered.
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
