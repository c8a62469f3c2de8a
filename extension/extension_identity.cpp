#include "extension/extension_identity.h"

#include <cassert>

namespace orlenta {

namespace {

Uuid parseFixed(std::string_view text) {
    const std::optional<Uuid> uuid = Uuid::parse(text);
    assert(uuid && "the compiled-in identifiers are well-formed");
    return uuid.value_or(Uuid{});
}

} // namespace

const Uuid& deviceUuid() {
    static const Uuid uuid = parseFixed(kDeviceIdText);
    return uuid;
}

const Uuid& sourceStreamUuid() {
    static const Uuid uuid = parseFixed(kSourceStreamIdText);
    return uuid;
}

const Uuid& sinkStreamUuid() {
    static const Uuid uuid = parseFixed(kSinkStreamIdText);
    return uuid;
}

} // namespace orlenta
