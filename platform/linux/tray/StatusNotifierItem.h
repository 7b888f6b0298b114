#pragma once

#include <gio/gio.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "nuvlet/platform/RunLoop.h"
#include "nuvlet/platform/StatusBar.h"
#include "platform/linux/session/SessionBusLink.h"
#include "platform/linux/tray/DbusMenuExporter.h"
#include "platform/linux/tray/ScrollNormalizer.h"

namespace nuvlet::linux_platform {

// One tray item: an org.kde.StatusNotifierItem at /StatusNotifierItem with its menu
// at /MenuBar, on a bus connection of its own (the protocol puts every item at the same
// path), under the well-known name `busName`.
//
// The item registers with org.kde.StatusNotifierWatcher each time a watcher appears,
// which covers a watcher that starts late or restarts; a bus that goes away is
// reconnected to. The menu is built by the menu callback when the host opens it, with
// `alternateHeld()` read at that moment. Icon, title and tool tip changes are
// announced only when they differ from what the host has.
//
// Thread: main thread, like StatusItem. Callbacks may destroy the item. They run after the
// host has its reply, except Activate's, whose answer says whether the item acted.
class StatusNotifierItem final : public StatusItem {
 public:
  struct Options {
    std::string busAddress;  // empty: the session bus
    std::string busName;     // org.kde.StatusNotifierItem-<pid>-<n>
    std::string id;          // the item's Id property
    std::function<bool()> alternateHeld;
    std::string iconThemePath;  // see StatusNotifierBarOptions
  };

  StatusNotifierItem(RunLoop& loop, Options options);
  ~StatusNotifierItem() override;

  void setCallbacks(Callbacks callbacks) override;
  void setIcon(std::vector<Pixmap> sizes) override;
  void setIconName(const std::string& name) override;
  void setTitle(const std::string& title) override;
  void setToolTip(const std::string& title, const std::string& text) override;

  // Whether the watcher has accepted the item (for diagnostics and tests).
  bool registered() const { return registered_; }

 private:
  void up(GDBusConnection* connection);
  void down();
  void registerWithWatcher();
  void emit(const char* signal, GVariant* parameters);
  void handle(const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation);
  GVariant* property(const std::string& name) const;
  // The icon name the host is given: empty when it would not draw it right.
  std::string shownIconName() const;
  Menu buildMenu();

  static void methodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                         const gchar* method, GVariant* parameters,
                         GDBusMethodInvocation* invocation, gpointer self);
  static GVariant* getProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                               const gchar* name, GError**, gpointer self);
  static void nameAcquired(GDBusConnection*, const gchar*, gpointer self);
  static void nameLost(GDBusConnection*, const gchar*, gpointer self);
  static void watcherAppeared(GDBusConnection*, const gchar*, const gchar* owner, gpointer self);
  static void watcherVanished(GDBusConnection*, const gchar*, gpointer self);
  static void registerDone(GObject* source, GAsyncResult* result, gpointer pending);

  RunLoop& loop_;
  Options options_;
  Callbacks callbacks_;
  std::vector<Pixmap> icon_;
  GVariant* iconVariant_ = nullptr;
  std::string title_;
  std::string iconName_;  // empty unless the icon is installed under the theme path
  std::string toolTipTitle_;
  std::string toolTipText_;

  // The known host behind each caller of Scroll, looked up once per bus name; null for
  // a caller we do not know.
  const KnownTrayHost* scrollHost(const char* sender);

  DbusMenuExporter menu_;
  ScrollNormalizer scroll_;
  std::map<std::string, const KnownTrayHost*> scrollHosts_;
  std::unique_ptr<SessionBusLink> link_;

  GDBusConnection* connection_ = nullptr;  // borrowed from link_ while up
  GCancellable* calls_ = nullptr;
  guint itemRegistration_ = 0;
  guint ownerId_ = 0;
  guint watcherWatch_ = 0;
  bool nameOwned_ = false;
  bool watcherPresent_ = false;
  bool registered_ = false;
  bool hostRecolours_ = true;
  unsigned registerGeneration_ = 0;
};

}  // namespace nuvlet::linux_platform
