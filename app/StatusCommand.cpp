#include <cstdio>

#include "app/Commands.h"
#include "nuvlet/app/StatusReport.h"
#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Paths.h"
#include "platform/linux/desktop/JsonFileDefaults.h"

namespace nuvlet::cli {

int runStatus() {
  SystemClock clock;
  const Paths paths = Paths::fromEnvironment();
  // Only read: a settings file is written (or moved aside) on a change, never here.
  const auto settings = linux_platform::makeJsonFileDefaults(paths.settingsFile(), clock);
  const std::string report = statusReport(paths, clock, *settings);
  std::fwrite(report.data(), 1, report.size(), stdout);
  return 0;
}

void addStatusCommand(CommandLine& cl) {
  auto* sub =
      cl.app.add_subcommand("status", "Show what Nuvlet has learned and where its files are");
  sub->callback([&cl] { cl.chosen = runStatus; });
}

}  // namespace nuvlet::cli
