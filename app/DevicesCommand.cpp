#include <cstdio>
#include <string>
#include <vector>

#include "app/Commands.h"
#include "app/DeviceReport.h"

namespace nuvlet::cli {

int runDevices() {
  std::string out;
  for (const auto& section : deviceSections()) {
    out += section.title;
    out += '\n';
    for (const auto& line : section.report()) out += "  " + line + "\n";
    out += '\n';
  }
  if (out.empty()) out = "No device adapters are built in.\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

void addDevicesCommand(CommandLine& cl) {
  auto* sub = cl.app.add_subcommand(
      "devices",
      "List what Nuvlet finds and can use, or why not: displays, screen capture, backlight, "
      "external monitors, light sensor, sound, tray and updates");
  sub->callback([&cl] { cl.chosen = runDevices; });
}

}  // namespace nuvlet::cli
