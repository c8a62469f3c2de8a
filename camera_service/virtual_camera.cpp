#include "camera_service/virtual_camera.h"

#include <cassert>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "camera_service/camera_service.h"

namespace orlenta::virtual_camera {

namespace {

constexpr size_t kUuidTextLength = 36;

Uuid parseFixed(std::string_view text) {
    const std::optional<Uuid> uuid = Uuid::parse(text);
    assert(uuid && "the compiled-in identifiers are well-formed");
    return uuid.value_or(Uuid{});
}

bool isOwnDirectory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::getuid();
}

} // namespace

const Uuid& deviceUuid() {
    static const Uuid uuid = parseFixed(kDeviceId);
    return uuid;
}

const Uuid& sourceStreamUuid() {
    static const Uuid uuid = parseFixed(kSourceStreamId);
    return uuid;
}

const Uuid& sinkStreamUuid() {
    static const Uuid uuid = parseFixed(kSinkStreamId);
    return uuid;
}

std::string nodeName(const Uuid& device, const Uuid& stream) {
    return std::string(kNodeNamePrefix) + device.toString() + "." + stream.toString();
}

std::optional<std::pair<std::string, std::string>> parseNodeName(std::string_view name) {
    if (name.size() != kNodeNamePrefix.size() + 2 * kUuidTextLength + 1 ||
        name.substr(0, kNodeNamePrefix.size()) != kNodeNamePrefix)
        return std::nullopt;
    const std::string_view rest = name.substr(kNodeNamePrefix.size());
    const auto device = Uuid::parse(rest.substr(0, kUuidTextLength));
    const auto stream = Uuid::parse(rest.substr(kUuidTextLength + 1));
    if (rest[kUuidTextLength] != '.' || !device || !stream)
        return std::nullopt;
    return std::pair{device->toString(), stream->toString()};
}

std::string sourceNodeName() {
    return nodeName(deviceUuid(), sourceStreamUuid());
}

std::string sinkNodeName() {
    return nodeName(deviceUuid(), sinkStreamUuid());
}

std::optional<std::string> lockFilePath() {
    // Someone else's directory must not decide whether the daemon runs, nor where the app looks.
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        if (isOwnDirectory(runtime))
            return std::string(runtime) + "/" + std::string(kLockFileName);
        return std::nullopt;
    }
    const std::string fallback = "/run/user/" + std::to_string(::getuid());
    if (isOwnDirectory(fallback))
        return fallback + "/" + std::string(kLockFileName);
    return std::nullopt;
}

} // namespace orlenta::virtual_camera
