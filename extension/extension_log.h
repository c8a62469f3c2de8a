// The daemon's one logger: subsystem "example.orlenta.camera.extension", category "extension",
// written to the journal. The daemon logs failures of platform calls at error level only.
#pragma once

#include "media/log.h"

namespace orlenta {

// Made on first use; safe from any thread.
const Logger& extensionLogger();

} // namespace orlenta
