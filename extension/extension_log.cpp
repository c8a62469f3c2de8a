#include "extension/extension_log.h"

#include <string>

#include "extension/extension_identity.h"

namespace orlenta {

const Logger& extensionLogger() {
    static const Logger logger{std::string(kLogSubsystem), std::string(kLogCategory)};
    return logger;
}

} // namespace orlenta
