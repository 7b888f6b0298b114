#include "nuvlet/app/UpdaterController.h"

namespace nuvlet {

UpdaterController::UpdaterController(UpdateService& service) : service_(service) {
  service_.start(&UpdaterController::willInstallUpdateOnQuit);
}

void UpdaterController::checkForUpdates() { service_.checkForUpdates(); }

bool UpdaterController::willInstallUpdateOnQuit(const UpdateService::InstallNow& installNow) {
  if (installNow) installNow();
  return true;
}

}  // namespace nuvlet
