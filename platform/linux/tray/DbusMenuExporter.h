#pragma once

#include <gio/gio.h>

#include <functional>

#include "nuvlet/platform/StatusBar.h"
#include "platform/linux/tray/MenuLayout.h"

namespace nuvlet::linux_platform {

// Exports a menu at /MenuBar with interface com.canonical.dbusmenu (version 3).
//
// The menu is built afresh by `build` whenever a host is about to show it
// (AboutToShow or AboutToShowGroup for the root), or on the first request of any
// kind; if it changed, the revision moves on and LayoutUpdated (and, for entries that
// only changed their properties, ItemsPropertiesUpdated) is emitted. Both the plain
// and the group methods are served: some hosts use only the group ones. A click on
// an entry (Event or EventGroup, "clicked") runs its action after the host has its
// reply; clicks on ids that no longer exist, disabled entries, separators and
// submenus do nothing.
//
// Thread: main thread. The action may destroy the exporter.
class DbusMenuExporter {
 public:
  static constexpr const char* kPath = "/MenuBar";

  explicit DbusMenuExporter(std::function<Menu()> build);
  ~DbusMenuExporter();
  DbusMenuExporter(const DbusMenuExporter&) = delete;
  DbusMenuExporter& operator=(const DbusMenuExporter&) = delete;

  // Exports the menu on a connection (once at a time); false when that fails.
  bool attach(GDBusConnection* connection);
  void detach();

  const MenuLayout& layout() const { return layout_; }

 private:
  bool rebuild();
  void ensureBuilt();
  void emitChange(const MenuLayout::Change& change);
  GVariant* node(std::int32_t id, int depth, const std::vector<std::string>& names) const;
  GVariant* properties(const MenuLayout::Entry& entry, const std::vector<std::string>& names) const;
  // The action to run for a "clicked" event on id, or an empty one.
  std::function<void()> clickAction(std::int32_t id, const char* eventId) const;

  void handle(const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation);
  GVariant* property(const gchar* name) const;

  static void methodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                         const gchar* method, GVariant* parameters,
                         GDBusMethodInvocation* invocation, gpointer self);
  static GVariant* getProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                               const gchar* name, GError**, gpointer self);

  std::function<Menu()> build_;
  MenuLayout layout_;
  GDBusConnection* connection_ = nullptr;
  guint registration_ = 0;
};

}  // namespace nuvlet::linux_platform
