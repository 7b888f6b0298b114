#include <memory>
#include <string>
#include <vector>

#include "app/DeviceReport.h"
#include "nuvlet/control/ExternalBrightnessController.h"
#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Paths.h"
#include "nuvlet/platform/Subprocess.h"
#include "platform/linux/desktop/JsonFileDefaults.h"
#include "platform/linux/devices/I2cAccess.h"

namespace nuvlet::cli {

// The external monitors nuvlet-ddc reaches and their brightness, or why none; and
// whether DDC/CI can reach them at all.
std::vector<std::string> externalMonitorLines() {
  SystemClock clock;
  auto defaults =
      linux_platform::makeJsonFileDefaults(Paths::fromEnvironment().settingsFile(), clock);
  auto tool = ExternalBrightnessController::locateTool(*defaults);
  if (!tool) {
    return {
        "nuvlet-ddc not found beside the nuvlet executable (../libexec/nuvlet/) and "
        "\"monitorToolPath\" names no executable"};
  }
  std::vector<std::string> lines{"tool: " + tool->string()};
  // The tool finds monitors without touching their buses; whether it may talk to them is
  // told here, with what to run when it may not.
  const auto i2c = linux_platform::checkI2cAccess();
  if (!i2c.problem.empty()) {
    lines.push_back(i2c.problem);
  } else {
    std::string buses;
    for (const auto& bus : i2c.usableBuses) buses += (buses.empty() ? "" : ", ") + bus;
    lines.push_back("I2C buses of the graphics card readable and writable: " + buses);
  }
  // Listing detects every display, which can take seconds; a run of the controller
  // is held to one second, this report is not.
  auto run = Subprocess::runAndWait({tool->string(), "list"}, {10.0, 0.5, 64 << 10});
  if (!run.succeeded()) {
    std::string why = run.err.empty() ? "nuvlet-ddc list failed" : run.err;
    while (!why.empty() && why.back() == '\n') why.pop_back();
    lines.push_back(why);
    return lines;
  }
  std::string line;
  for (char c : run.out) {
    if (c != '\n') {
      line += c;
      continue;
    }
    lines.push_back(line);
    line.clear();
  }
  return lines;
}

}  // namespace nuvlet::cli
