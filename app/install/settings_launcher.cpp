#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <utility>

#include "app/install/detached_process.h"
#include "app/install/extension_installer.h"

namespace orlenta {

namespace {

struct DesktopSettings {
    const char* desktop; // as XDG_CURRENT_DESKTOP names it, lower case
    const char* program;
};

// Linux has no settings page for the virtual camera itself; the desktop's settings application
// is where the user manages cameras, privacy and startup apps.
constexpr DesktopSettings kDesktopSettings[] = {
    {"gnome", "gnome-control-center"},  {"unity", "gnome-control-center"},
    {"kde", "systemsettings"},          {"kde", "systemsettings5"},
    {"xfce", "xfce4-settings-manager"}, {"x-cinnamon", "cinnamon-settings"},
    {"cinnamon", "cinnamon-settings"},  {"mate", "mate-control-center"},
    {"budgie", "gnome-control-center"}, {"lxqt", "lxqt-config"},
};

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool launch(const std::string& program) {
    if (!findOnPath(program))
        return false;
    std::string error;
    return spawnDetached({program}, &error).has_value();
}

class DesktopSettingsLauncher final : public SettingsLauncher {
public:
    bool openPreferred() override {
        const char* value = std::getenv("XDG_CURRENT_DESKTOP");
        const std::string desktops = lowerCase(value ? value : "");
        size_t start = 0;
        while (start < desktops.size()) {
            size_t end = desktops.find(':', start);
            if (end == std::string::npos)
                end = desktops.size();
            const std::string desktop = desktops.substr(start, end - start);
            for (const DesktopSettings& entry : kDesktopSettings)
                if (desktop == entry.desktop && launch(entry.program))
                    return true;
            start = end + 1;
        }
        return false;
    }

    bool openFallback() override {
        for (const DesktopSettings& entry : kDesktopSettings)
            if (launch(entry.program))
                return true;
        return false;
    }
};

} // namespace

std::shared_ptr<SettingsLauncher> createDesktopSettingsLauncher() {
    return std::make_shared<DesktopSettingsLauncher>();
}

} // namespace orlenta
