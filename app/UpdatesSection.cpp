#include <string>
#include <vector>

#include "app/DeviceReport.h"
#include "platform/linux/NoUpdateService.h"

namespace nuvlet::cli {

// Where updates come from.
std::vector<std::string> updateLines() {
  return {linux_platform::makeNoUpdateService()->describe()};
}

}  // namespace nuvlet::cli
