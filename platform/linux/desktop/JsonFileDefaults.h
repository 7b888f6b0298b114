#pragma once

#include <filesystem>
#include <memory>

#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Defaults.h"

namespace nuvlet::linux_platform {

// Settings kept in a JSON object file (normally $XDG_CONFIG_HOME/nuvlet/settings.json).
// The file is read once here; every change rewrites it atomically with mode 0600.
// A file that is not a JSON object is moved aside to "settings.json.corrupt-<time>"
// before the first save replaces it, and the defaults apply meanwhile.
std::unique_ptr<Defaults> makeJsonFileDefaults(std::filesystem::path file, const Clock& clock);

}  // namespace nuvlet::linux_platform
