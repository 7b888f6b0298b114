#include <memory>
#include <string>
#include <vector>

#include "app/DeviceReport.h"
#include "nuvlet/control/ExternalBrightnessController.h"
#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Paths.h"
#include "nuvlet/platform/Subprocess.h"
#include "platform/linux/desktop/JsonFileDefaults.h"

namespace nuvlet::cli {

// The external monitors nuvlet-ddc reaches and their brightness, or why none.
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
