#pragma once

#include <filesystem>
#include <vector>

#include "tools/nuvlet-ddc/Randr.h"

namespace nuvlet::ddc {

// The connected outputs as Nuvlet numbers them in a Wayland session (a hash of the
// connector and the EDID), read from <sysfsRoot>/class/drm: no display server needed.
// An output whose EDID file is empty, truncated or unreadable has an empty edid.
std::vector<RandrOutput> drmOutputs(const std::filesystem::path& sysfsRoot);

}  // namespace nuvlet::ddc
