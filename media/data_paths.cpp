#include "media/data_paths.h"

#include <filesystem>
#include <system_error>

namespace orlenta {

std::vector<std::string> installedDataDirectories() {
    std::vector<std::string> folders;
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error && self.has_parent_path())
        folders.push_back(
            (self.parent_path().parent_path() / "share" / "orlenta-camera").lexically_normal());
    folders.emplace_back(ORLENTA_DATA_INSTALL_DIR);
    return folders;
}

} // namespace orlenta
