#include "app/ScreenCaptureSection.h"

#include "platform/linux/X11ScreenCapture.h"

namespace nuvlet::cli {

DeviceSection screenCaptureSection() {
  return {"Screen capture", [] { return linux_platform::describeScreenCapture(); }};
}

}  // namespace nuvlet::cli
