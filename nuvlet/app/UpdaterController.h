#pragma once

#include "nuvlet/platform/UpdateService.h"

namespace nuvlet {

// Starts the update service at construction and stays its delegate for the life of
// the process. An update the service would hold back until quit is installed at once:
// a tray utility that runs for weeks rarely quits.
//
// Thread: main thread only. The service must outlive the controller.
class UpdaterController {
 public:
  explicit UpdaterController(UpdateService& service);
  UpdaterController(const UpdaterController&) = delete;
  UpdaterController& operator=(const UpdaterController&) = delete;

  void checkForUpdates();

  // The delegate's answer to an update ready at quit: installs it now, returns true.
  static bool willInstallUpdateOnQuit(const UpdateService::InstallNow& installNow);

 private:
  UpdateService& service_;
};

}  // namespace nuvlet
