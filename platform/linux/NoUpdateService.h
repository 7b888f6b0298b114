#pragma once

#include <memory>

#include "nuvlet/platform/UpdateService.h"

namespace nuvlet::linux_platform {

// Updates come from the distribution's package manager until an update feed exists:
// this service never looks for one and says so in `nuvlet devices`.
std::unique_ptr<UpdateService> makeNoUpdateService();

}  // namespace nuvlet::linux_platform
