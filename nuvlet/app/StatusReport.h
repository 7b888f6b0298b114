#pragma once

#include <string>

#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Defaults.h"
#include "nuvlet/platform/Paths.h"

namespace nuvlet {

// What `nuvlet status` prints: the calibration summary from the files on disk and
// where those files are, and how the loop treats corrections (from the settings).
// Reads only; creates and writes nothing.
std::string statusReport(const Paths& paths, const Clock& clock, const Defaults& settings);

}  // namespace nuvlet
