#pragma once

#include <gio/gio.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/harness/ChildProcess.h"

namespace nuvlet::sim {
class VirtualRunLoop;
}

namespace nuvlet::test {

using VariantPtr = std::shared_ptr<GVariant>;
VariantPtr adopt(GVariant* value);  // takes over the caller's reference (or a floating one)

// Iterates the default GMainContext, where the adapters and the peers below get their
// D-Bus traffic, until done() holds or timeoutSeconds pass. Looks again at least every
// 50 ms, so conditions outside this process (a panel, an X server) are seen too.
bool pumpUntil(const std::function<bool()>& done, double timeoutSeconds = 5);
// The same, turning the virtual loop too (where a tray item's timers run), `step` seconds
// a turn.
bool pumpUntil(sim::VirtualRunLoop& loop, const std::function<bool()>& done,
               double timeoutSeconds = 10, double step = 0.1);
// For a call that waits on a peer answering on this thread: it runs on a thread of its
// own while the default context turns here; what it returned.
template <typename F>
auto callPumping(F call, double timeoutSeconds = 20) {
  auto result = std::async(std::launch::async, std::move(call));
  pumpUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            timeoutSeconds);
  return result.get();
}

// The other end of a test: a connection of its own to the test's bus that can own names,
// export objects, call and record signals, all on the default GMainContext.
class BusPeer {
 public:
  using MethodHandler =
      std::function<void(const std::string& method, GVariant* parameters, GDBusMethodInvocation*)>;
  using PropertyHandler = std::function<GVariant*(const std::string& name)>;
  struct Reply {
    VariantPtr value;
    bool ok() const { return value != nullptr; }
  };

  explicit BusPeer(const std::string& address);
  ~BusPeer() { close(); }
  BusPeer(const BusPeer&) = delete;
  BusPeer& operator=(const BusPeer&) = delete;

  bool connected() const { return connection_ != nullptr; }
  bool own(const std::string& name);  // waits until the bus grants it
  void exportObject(const std::string& path, const char* introspectionXml, MethodHandler methods,
                    PropertyHandler properties = {});
  Reply call(const std::string& destination, const std::string& path, const std::string& interface,
             const std::string& method, GVariant* parameters = nullptr);
  // A property's value (Properties.Get, unboxed), or null.
  VariantPtr property(const std::string& destination, const std::string& path,
                      const std::string& interface, const std::string& name);
  // Whether `name` has an owner on the bus; nothing when the bus did not answer.
  std::optional<bool> hasOwner(const std::string& name);
  void close();  // leaves the bus, and every name it owned goes with it

 private:
  struct Exported {
    GDBusNodeInfo* node = nullptr;
    MethodHandler methods;
    PropertyHandler properties;
    guint id = 0;
  };
  GDBusConnection* connection_ = nullptr;
  std::vector<guint> owned_;
  std::vector<std::unique_ptr<Exported>> exported_;  // outlive close(): handlers may be queued
};

// Plays a panel's tray: owns org.kde.StatusNotifierWatcher, accepts items and calls them
// the way hosts do.
class TrayHost {
 public:
  explicit TrayHost(const std::string& address, bool hostRegistered = true)
      : peer_(address), hostRegistered_(hostRegistered) {}
  ~TrayHost();

  bool start();  // owns the watcher name
  void stop() { peer_.close(); }

  bool holdRegistrations = false;  // RegisterStatusNotifierItem calls are kept unanswered
  std::vector<GDBusMethodInvocation*> held;
  std::vector<std::string> registered;  // bus names of the items, in order
  bool waitForRegistrations(std::size_t count) {
    return pumpUntil([&] { return registered.size() >= count; });
  }

  BusPeer::Reply item(const std::string& busName, const std::string& method, GVariant* parameters);
  BusPeer::Reply menu(const std::string& busName, const std::string& method, GVariant* parameters);
  VariantPtr properties(const std::string& busName);  // GetAll, the a{sv}
  std::string itemTitled(const std::string& title);   // its bus name, or ""
  std::string toolTip(const std::string& busName);    // its text, or ""
  // A wheel notch as GNOME's extension and waybar send it: + is down.
  bool scroll(const std::string& busName, int notches) {
    return item(busName, "Scroll", g_variant_new("(is)", notches, "vertical")).ok();
  }
  // Opens the item's menu as a panel does: label -> id of every entry, submenus included.
  std::map<std::string, int> menuIds(const std::string& busName);
  bool click(const std::string& busName, int id);  // a menu entry
  bool click(const std::string& busName, const std::string& label) {
    auto ids = menuIds(busName);
    return ids.count(label) == 1 && click(busName, ids[label]);
  }
  BusPeer& peer() { return peer_; }

 private:
  BusPeer peer_;
  bool hostRegistered_;
};

std::string printed(GVariant* value);  // GVariant's text form without types, or "<missing>"
VariantPtr lookup(GVariant* dict, const char* name);  // from an a{sv}, or null

}  // namespace nuvlet::test
