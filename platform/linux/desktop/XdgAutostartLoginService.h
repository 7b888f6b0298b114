#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "nuvlet/platform/LoginService.h"
#include "nuvlet/platform/Paths.h"

namespace nuvlet::linux_platform {

// Launch at login through an XDG autostart entry (normally
// $XDG_CONFIG_HOME/autostart/nuvlet.desktop). Registering writes the entry atomically
// with an absolute Exec of `executable`; unregistering deletes it.
//
// Status: Enabled while the entry exists and is not switched off (Hidden=true or
// X-GNOME-Autostart-enabled=false, as desktop settings tools write them);
// otherwise NotFound when `executable` is not an absolute path to an executable
// file, else NotRegistered.
std::unique_ptr<LoginService> makeXdgAutostartLoginService(std::filesystem::path entryFile,
                                                           std::filesystem::path executable);

// The entry at Paths::autostartFile() for the running executable.
std::unique_ptr<LoginService> makeXdgAutostartLoginService(const Paths& paths);

// The running program's executable. A binary replaced since it started (a package
// upgrade) still counts when a new one is in its place. Nothing when unknown.
std::optional<std::filesystem::path> currentExecutable();

}  // namespace nuvlet::linux_platform
