#pragma once

#include "app/DeviceReport.h"

namespace nuvlet::cli {

// "Screen capture": the route and why, the main output and its state after one timed
// capture.
DeviceSection screenCaptureSection();

}  // namespace nuvlet::cli
