#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/linux/session/GlibThread.h"

namespace nuvlet::test {

// The desktop portal's ScreenCast as a desktop offers it, on a private bus, served from a
// thread of its own. Its "user" answers every dialog the same way; a restore token it
// issued restores without a dialog, once (each session gets a new token).
class StandInPortal {
 public:
  struct Options {
    std::uint32_t version = 4;  // of ScreenCast; 0 offers no ScreenCast at all
    std::uint32_t cursorModes = 1 | 2 | 4;
    // Keeps the grants in a permission store of its own, as GNOME and KDE do: its
    // Lookup and Delete see exactly the grants that restore without asking.
    bool permissionStore = false;
  };
  // `node` names the PipeWire node a started session streams; `connect` gives the
  // socket OpenPipeWireRemote hands out.
  StandInPortal(const std::string& busAddress, Options options, std::function<std::uint32_t()> node,
                std::function<int()> connect);
  ~StandInPortal();
  StandInPortal(const StandInPortal&) = delete;
  StandInPortal& operator=(const StandInPortal&) = delete;

  // Takes org.freedesktop.portal.Desktop; false when the bus refused.
  bool own();

  // 0 shares, 1 cancels, 2 fails: what the user (or the desktop) answers a dialog.
  void setDialogAnswer(std::uint32_t answer);
  // Forgets every permission given (the user revoking them in the desktop's settings).
  void revokeAll();
  // Ends every open session from the desktop's side (its "stop sharing" button).
  void closeSessions();

  struct Seen {
    int dialogs = 0;                                   // dialogs shown
    int starts = 0;                                    // sessions started and streaming
    int openSessions = 0;                              // created and not closed
    std::map<std::string, std::uint32_t> lastOptions;  // of SelectSources, numbers only
    bool lastHadToken = false;
    std::string issuedToken;  // the newest restore token handed out
  };
  Seen seen() const;

 private:
  struct Session {
    guint registration = 0;
    std::string restoreToken;  // offered in SelectSources
    std::uint32_t persistMode = 0;
  };

  void onMethod(const std::string& object, const std::string& method, GVariant* parameters,
                GDBusMethodInvocation* invocation);
  void respond(GDBusMethodInvocation* invocation, const std::string& requestPath,
               std::uint32_t code, GVariant* results);
  std::string requestPath(GDBusMethodInvocation* invocation, GVariant* options) const;
  void closeSession(const std::string& path, bool announce);
  void onStoreMethod(const std::string& method, GVariant* parameters,
                     GDBusMethodInvocation* invocation);
  void sync(std::function<void()> fn);

  Options options_;
  std::function<std::uint32_t()> node_;
  std::function<int()> connect_;
  GDBusConnection* connection_ = nullptr;
  GDBusNodeInfo* info_ = nullptr;
  guint registration_ = 0;
  guint storeRegistration_ = 0;
  mutable std::mutex mutex_;
  std::uint32_t dialogAnswer_ = 0;
  std::set<std::string> grants_;  // restore tokens that restore without asking
  std::map<std::string, Session> sessions_;
  Seen seen_;
  unsigned counter_ = 0;
  linux_platform::GlibThread thread_;
};

}  // namespace nuvlet::test
