// Shared by the installer tests against real services: a settings launcher that opens nothing,
// waiting for an installer to finish its work, and timing its release.
#pragma once

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/install/extension_installer.h"

namespace orlenta::testing {

class NoSettings final : public SettingsLauncher {
public:
    bool openPreferred() override { return false; }
    bool openFallback() override { return false; }
};

// Installs or removes, runs the main thread until the status line leaves "Installing…" /
// "Removing…", and answers that line.
inline std::string run(ManualExecutor& main, ExtensionInstaller& installer, bool install) {
    install ? installer.install() : installer.uninstall();
    EXPECT_TRUE(main.runUntil(
        [&] {
            const std::string& text = installer.message.get();
            return text != installer_text::installing && text != installer_text::removing;
        },
        20));
    return installer.message.get();
}

inline const std::string kInstalled(installer_text::installed);

// Drops the app's hold on an installer and its service, as quitting does, and answers how many
// seconds that took (also recorded as the test's quit_ms). Only a bound that proves "does not
// hang" belongs in an assertion on it.
template <typename Service>
double secondsToRelease(std::shared_ptr<ExtensionInstaller>& installer,
                        std::shared_ptr<Service>& service) {
    const auto start = std::chrono::steady_clock::now();
    installer.reset();
    service.reset();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::testing::Test::RecordProperty("quit_ms", std::to_string(seconds * 1000));
    return seconds;
}

} // namespace orlenta::testing
