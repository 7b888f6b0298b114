#pragma once

#include <memory>
#include <optional>
#include <string>

#include "nuvlet/platform/RunLoop.h"
#include "platform/linux/display/LinuxWorkspace.h"

namespace nuvlet::linux_platform {

// Sleep and wake from logind's PrepareForSleep signal. While awake it holds a "delay"
// sleep inhibitor, released once the will-sleep callback has run on the main thread,
// so the system waits for us (up to logind's limit) before it sleeps.
//
// The bus is spoken to from a thread of its own. bus: an address, or nothing for the
// system bus; without a bus nothing is ever reported. The loop must outlive it.
std::unique_ptr<SleepMonitor> makeLogindSleepMonitor(RunLoop& loop,
                                                     std::optional<std::string> bus = std::nullopt);

}  // namespace nuvlet::linux_platform
