#pragma once

#include <string>

#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Paths.h"

namespace nuvlet {

// What `nuvlet status` prints: the calibration summary from the files on disk and
// where those files are. Reads only; creates and writes nothing.
std::string statusReport(const Paths& paths, const Clock& clock);

}  // namespace nuvlet
