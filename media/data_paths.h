// Where the programs find the data they install (the face model, the demo clip).
//
// An installed tree may sit under any prefix (a package's /usr, `cmake --install`'s /usr/local,
// a folder of the user's), so the data folder beside the running program's own bin folder counts
// first; the folder the build was configured to install into comes next.
#pragma once

#include <string>
#include <vector>

namespace orlenta {

// <folder of the running program>/../share/orlenta-camera (when the program's folder is known),
// then the configured data folder; no check that either exists.
std::vector<std::string> installedDataDirectories();

} // namespace orlenta
