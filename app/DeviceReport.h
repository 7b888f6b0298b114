#pragma once

#include <functional>
#include <string>
#include <vector>

namespace nuvlet::cli {

// One part of `nuvlet devices`: a title and the lines that say what was found, or
// why nothing was. Each adapter family contributes one section.
struct DeviceSection {
  std::string title;
  std::function<std::vector<std::string>()> report;
};

// The sections in the order they are printed (DeviceReport.cpp lists them).
std::vector<DeviceSection> deviceSections();

DeviceSection desktopServicesSection();

}  // namespace nuvlet::cli
