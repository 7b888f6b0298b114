#pragma once

#include "app/DeviceReport.h"

namespace nuvlet::cli {

// "Screen capture": the session kind, the main output and one timed capture.
DeviceSection screenCaptureSection();

}  // namespace nuvlet::cli
