#include "platform/linux/NoUpdateService.h"

namespace nuvlet::linux_platform {
namespace {

class NoUpdateService final : public UpdateService {
 public:
  void start(ReadyAtQuit /*readyAtQuit*/) override {}
  void checkForUpdates() override {}
  std::string describe() const override {
    return "no update feed is configured; updates come with the installed package";
  }
};

}  // namespace

std::unique_ptr<UpdateService> makeNoUpdateService() { return std::make_unique<NoUpdateService>(); }

}  // namespace nuvlet::linux_platform
