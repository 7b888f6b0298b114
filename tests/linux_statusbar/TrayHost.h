#pragma once

#include <string>
#include <vector>

#include "tests/linux_statusbar/BusPeer.h"

namespace nuvlet::test {

// Plays a panel's tray: owns org.kde.StatusNotifierWatcher, accepts items the way
// hosts do, and calls them the way hosts do.
class TrayHost {
 public:
  explicit TrayHost(const std::string& address, bool hostRegistered = true);
  ~TrayHost();

  bool start();  // owns the watcher name
  void stop() { peer_.close(); }

  // RegisterStatusNotifierItem calls are kept unanswered while this is set.
  bool holdRegistrations = false;
  std::vector<GDBusMethodInvocation*> held;

  // Bus names the items registered with, in order.
  std::vector<std::string> registered;
  bool waitForRegistrations(std::size_t count, double timeoutSeconds = 5);

  BusPeer::Reply item(const std::string& busName, const std::string& method,
                      GVariant* parameters = nullptr);
  BusPeer::Reply menu(const std::string& busName, const std::string& method,
                      GVariant* parameters = nullptr);
  VariantPtr properties(const std::string& busName);  // GetAll, the a{sv}

  BusPeer& peer() { return peer_; }

 private:
  BusPeer peer_;
  bool hostRegistered_;
};

// A desktop notification server that remembers what it was asked to show.
class NotificationServer {
 public:
  explicit NotificationServer(const std::string& address);
  bool start();
  std::vector<std::string> summaries;

 private:
  BusPeer peer_;
};

}  // namespace nuvlet::test
