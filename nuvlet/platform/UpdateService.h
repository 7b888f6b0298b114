#pragma once

#include <functional>
#include <string>

namespace nuvlet {

// The software-update machinery: where updates come from, when they are looked for
// and how the user is asked are the service's own business.
//
// Thread: main thread only; callbacks run on the main thread. Nothing here blocks or
// fails visibly: a service without a feed simply never finds an update.
class UpdateService {
 public:
  // Installs the update now instead of when the application quits.
  using InstallNow = std::function<void()>;
  // The service has an update ready to be installed at quit. Returns true when the
  // receiver took care of the installation (the service then does not wait for quit).
  using ReadyAtQuit = std::function<bool(InstallNow installNow)>;

  virtual ~UpdateService() = default;

  // Starts looking for updates on the service's own schedule. Called once.
  virtual void start(ReadyAtQuit readyAtQuit) = 0;

  // Looks for an update now.
  virtual void checkForUpdates() = 0;

  // For people: the feed, or why there is none.
  virtual std::string describe() const = 0;
};

}  // namespace nuvlet
