#include "platform/linux/tray/StatusNotifierItem.h"

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <utility>

#include "nuvlet/platform/Log.h"

namespace nuvlet::linux_platform {
namespace {

constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr int kRegisterTimeoutMs = 10000;
// Larger pixmaps than any tray shows are dropped rather than sent.
constexpr int kMaxPixmapSide = 256;

constexpr const char* kIntrospection = R"xml(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="ContextMenu">
      <arg name="x" type="i" direction="in"/>
      <arg name="y" type="i" direction="in"/>
    </method>
    <method name="Activate">
      <arg name="x" type="i" direction="in"/>
      <arg name="y" type="i" direction="in"/>
    </method>
    <method name="SecondaryActivate">
      <arg name="x" type="i" direction="in"/>
      <arg name="y" type="i" direction="in"/>
    </method>
    <method name="XAyatanaSecondaryActivate">
      <arg name="timestamp" type="u" direction="in"/>
    </method>
    <method name="Scroll">
      <arg name="delta" type="i" direction="in"/>
      <arg name="orientation" type="s" direction="in"/>
    </method>
    <method name="ProvideXdgActivationToken">
      <arg name="token" type="s" direction="in"/>
    </method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus">
      <arg name="status" type="s"/>
    </signal>
  </interface>
</node>)xml";

GDBusInterfaceInfo* interfaceInfo() {
  static GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  return node->interfaces[0];
}

bool usable(const Pixmap& p) {
  return p.width > 0 && p.height > 0 && p.width <= kMaxPixmapSide && p.height <= kMaxPixmapSide &&
         p.argb.size() == static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height);
}

bool same(const std::vector<Pixmap>& a, const std::vector<Pixmap>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].width != b[i].width || a[i].height != b[i].height || a[i].argb != b[i].argb) {
      return false;
    }
  }
  return true;
}

// a(iiay): the words as bytes in network order, which puts A, R, G, B in memory.
GVariant* pixmapsVariant(const std::vector<Pixmap>& sizes) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
  for (const Pixmap& p : sizes) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(p.argb.size() * 4);
    for (std::uint32_t word : p.argb) {
      bytes.push_back(static_cast<std::uint8_t>(word >> 24));
      bytes.push_back(static_cast<std::uint8_t>(word >> 16));
      bytes.push_back(static_cast<std::uint8_t>(word >> 8));
      bytes.push_back(static_cast<std::uint8_t>(word));
    }
    GVariant* data = g_variant_new_fixed_array(G_VARIANT_TYPE("y"), bytes.data(), bytes.size(), 1);
    g_variant_builder_add(&builder, "(ii@ay)", p.width, p.height, data);
  }
  return g_variant_ref_sink(g_variant_builder_end(&builder));
}

struct PendingRegister {
  StatusNotifierItem* item;
  unsigned generation;
};

}  // namespace

StatusNotifierItem::StatusNotifierItem(RunLoop& loop, Options options)
    : loop_(loop),
      options_(std::move(options)),
      iconVariant_(pixmapsVariant({})),
      menu_([this] { return buildMenu(); }),
      scroll_(loop,
              [this](double units) {
                if (!callbacks_.onScroll) return;
                std::function<void(double)> onScroll = callbacks_.onScroll;
                onScroll(units);
              }),
      calls_(g_cancellable_new()) {
  link_ = std::make_unique<SessionBusLink>(
      loop_, options_.busAddress, [this](GDBusConnection* c) { up(c); }, [this] { down(); });
  link_->start();
}

StatusNotifierItem::~StatusNotifierItem() {
  down();
  link_.reset();  // closes the connection: the watcher sees the name go and drops the item
  g_cancellable_cancel(calls_);
  g_object_unref(calls_);
  g_variant_unref(iconVariant_);
}

void StatusNotifierItem::up(GDBusConnection* connection) {
  static const GDBusInterfaceVTable vtable = {
      &StatusNotifierItem::methodCall, &StatusNotifierItem::getProperty, nullptr, {}};
  GError* error = nullptr;
  itemRegistration_ = g_dbus_connection_register_object(connection, kItemPath, interfaceInfo(),
                                                        &vtable, this, nullptr, &error);
  if (itemRegistration_ == 0) {
    log::debug(std::string("tray item export: ") + error->message);
    g_error_free(error);
    return;
  }
  if (!menu_.attach(connection)) return;
  connection_ = connection;
  ownerId_ = g_bus_own_name_on_connection(connection, options_.busName.c_str(),
                                          G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE, &nameAcquired,
                                          &nameLost, this, nullptr);
  watcherWatch_ =
      g_bus_watch_name_on_connection(connection, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                     &watcherAppeared, &watcherVanished, this, nullptr);
}

void StatusNotifierItem::down() {
  if (watcherWatch_ != 0) g_bus_unwatch_name(watcherWatch_);
  if (ownerId_ != 0) g_bus_unown_name(ownerId_);
  menu_.detach();
  if (itemRegistration_ != 0 && link_ && link_->connection()) {
    g_dbus_connection_unregister_object(link_->connection(), itemRegistration_);
  }
  watcherWatch_ = ownerId_ = itemRegistration_ = 0;
  connection_ = nullptr;
  nameOwned_ = watcherPresent_ = registered_ = false;
  ++registerGeneration_;
}

void StatusNotifierItem::nameAcquired(GDBusConnection*, const gchar*, gpointer self) {
  auto* item = static_cast<StatusNotifierItem*>(self);
  item->nameOwned_ = true;
  if (item->watcherPresent_) item->registerWithWatcher();
}

void StatusNotifierItem::nameLost(GDBusConnection*, const gchar* name, gpointer self) {
  auto* item = static_cast<StatusNotifierItem*>(self);
  // Also called when the connection could not ask for the name at all.
  if (item->connection_) log::debug(std::string("tray item: bus name lost: ") + name);
  item->nameOwned_ = false;
  item->registered_ = false;
}

void StatusNotifierItem::watcherAppeared(GDBusConnection* connection, const gchar*,
                                         const gchar* owner, gpointer self) {
  auto* item = static_cast<StatusNotifierItem*>(self);
  item->watcherPresent_ = true;
  // The host that keeps the watcher decides between the named icon and the pixmap.
  const KnownTrayHost* host = nullptr;
  if (auto pid = busPeerPid(connection, owner)) host = knownTrayHost(processName(*pid));
  item->hostRecolours_ = host == nullptr || host->recoloursSymbolicIcons;
  if (item->nameOwned_) item->registerWithWatcher();
}

void StatusNotifierItem::watcherVanished(GDBusConnection*, const gchar*, gpointer self) {
  auto* item = static_cast<StatusNotifierItem*>(self);
  item->watcherPresent_ = false;
  item->registered_ = false;
  ++item->registerGeneration_;  // a reply still on its way is about the old watcher
}

void StatusNotifierItem::registerWithWatcher() {
  registered_ = false;
  auto* pending = new PendingRegister{this, ++registerGeneration_};
  // Registered by the connection's unique name (the item still owns its well-known one):
  // a host's proxy for a well-known name looks its owner up while it reads the
  // properties, and GNOME's tray extension then drops the item in one start of five.
  const gchar* unique = g_dbus_connection_get_unique_name(connection_);
  g_dbus_connection_call(
      connection_, kWatcherName, kWatcherPath, kWatcherName, "RegisterStatusNotifierItem",
      g_variant_new("(s)", unique != nullptr ? unique : options_.busName.c_str()), nullptr,
      G_DBUS_CALL_FLAGS_NO_AUTO_START, kRegisterTimeoutMs, calls_, &registerDone, pending);
}

void StatusNotifierItem::registerDone(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<PendingRegister> pending(static_cast<PendingRegister*>(data));
  GError* error = nullptr;
  GVariant* reply =
      g_dbus_connection_call_finish(reinterpret_cast<GDBusConnection*>(source), result, &error);
  if (reply) g_variant_unref(reply);
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    g_error_free(error);
    return;  // the item is gone
  }
  StatusNotifierItem* item = pending->item;
  if (error) {
    log::debug(std::string("tray item: registration failed: ") + error->message);
    g_error_free(error);
    return;  // the watcher's next appearance tries again
  }
  if (pending->generation == item->registerGeneration_) item->registered_ = true;
}

void StatusNotifierItem::emit(const char* signal, GVariant* parameters) {
  if (!connection_) {
    if (parameters) g_variant_unref(g_variant_ref_sink(parameters));
    return;
  }
  g_dbus_connection_emit_signal(connection_, nullptr, kItemPath, kItemInterface, signal, parameters,
                                nullptr);
}

void StatusNotifierItem::setCallbacks(Callbacks callbacks) { callbacks_ = std::move(callbacks); }

void StatusNotifierItem::setIcon(std::vector<Pixmap> sizes) {
  std::erase_if(sizes, [](const Pixmap& p) { return !usable(p); });
  if (same(sizes, icon_)) return;  // redraws of the same glyph cost the host nothing
  icon_ = std::move(sizes);
  g_variant_unref(iconVariant_);
  iconVariant_ = pixmapsVariant(icon_);
  emit("NewIcon", nullptr);
}

void StatusNotifierItem::setIconName(const std::string& name) {
  std::string installed;
  if (!options_.iconThemePath.empty() && !name.empty() && name.find('/') == std::string::npos) {
    std::error_code error;
    const auto file =
        std::filesystem::path(options_.iconThemePath) / "hicolor/scalable/status" / (name + ".svg");
    if (std::filesystem::is_regular_file(file, error)) installed = name;
  }
  if (installed == iconName_) return;
  iconName_ = std::move(installed);
  emit("NewIcon", nullptr);
}

std::string StatusNotifierItem::shownIconName() const {
  if (iconName_.empty() || !hostRecolours_) return {};
  // The set may have gone since the name was chosen (removed, unreadable): the host is
  // then given the pixmap, not a name it would draw as nothing.
  std::error_code error;
  const auto file = std::filesystem::path(options_.iconThemePath) / "hicolor/scalable/status" /
                    (iconName_ + ".svg");
  if (!std::filesystem::is_regular_file(file, error) || ::access(file.c_str(), R_OK) != 0)
    return {};
  return iconName_;
}

void StatusNotifierItem::setTitle(const std::string& title) {
  if (title == title_) return;
  title_ = title;
  emit("NewTitle", nullptr);
}

void StatusNotifierItem::setToolTip(const std::string& title, const std::string& text) {
  if (title == toolTipTitle_ && text == toolTipText_) return;
  toolTipTitle_ = title;
  toolTipText_ = text;
  emit("NewToolTip", nullptr);
}

Menu StatusNotifierItem::buildMenu() {
  if (!callbacks_.menu) return {};
  bool alternate = options_.alternateHeld && options_.alternateHeld();
  std::function<Menu(bool)> menu = callbacks_.menu;  // the builder may replace the callbacks
  return menu(alternate);
}

GVariant* StatusNotifierItem::property(const std::string& name) const {
  if (name == "Category") return g_variant_new_string("Hardware");
  if (name == "Id") return g_variant_new_string(options_.id.c_str());
  if (name == "Title") return g_variant_new_string(title_.c_str());
  if (name == "Status") return g_variant_new_string("Active");
  if (name == "WindowId") return g_variant_new_int32(0);
  if (name == "IconPixmap") return g_variant_ref(iconVariant_);
  if (name == "OverlayIconPixmap" || name == "AttentionIconPixmap") return pixmapsVariant({});
  if (name == "OverlayIconName" || name == "AttentionIconName" || name == "AttentionMovieName") {
    return g_variant_new_string("");
  }
  // Hosts that recolour symbolic icons draw the named one in the panel's colour; the
  // others, and every host when the set is not installed, show IconPixmap.
  if (name == "IconName") return g_variant_new_string(shownIconName().c_str());
  if (name == "IconThemePath") {
    return g_variant_new_string(shownIconName().empty() ? "" : options_.iconThemePath.c_str());
  }
  if (name == "ToolTip") {
    GVariant* noIcon = pixmapsVariant({});
    GVariant* tip =
        g_variant_new("(s@a(iiay)ss)", "", noIcon, toolTipTitle_.c_str(), toolTipText_.c_str());
    g_variant_unref(noIcon);
    return tip;
  }
  if (name == "ItemIsMenu") return g_variant_new_boolean(TRUE);
  if (name == "Menu") return g_variant_new_object_path(DbusMenuExporter::kPath);
  return nullptr;
}

void StatusNotifierItem::handle(const gchar* method, GVariant* parameters,
                                GDBusMethodInvocation* invocation) {
  const std::string name = method;
  if (name == "Scroll") {
    gint32 delta = 0;
    const gchar* orientation = nullptr;
    g_variant_get(parameters, "(i&s)", &delta, &orientation);
    std::string direction = orientation;
    const KnownTrayHost* host = scrollHost(g_dbus_method_invocation_get_sender(invocation));
    g_dbus_method_invocation_return_value(invocation, nullptr);
    scroll_.scroll(delta, direction, host);
    return;
  }
  if (name == "Activate") {
    // Hosts that honour ItemIsMenu open the menu themselves; Plasma calls Activate
    // anyway, and opens the menu when the item answers that it cannot. The answer
    // depends on the callback, so here it runs first; the invocation outlives the item.
    std::function<bool()> activate = callbacks_.onActivate;
    if (activate && activate()) {
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else {
      g_dbus_method_invocation_return_dbus_error(invocation,
                                                 "org.freedesktop.DBus.Error.NotSupported",
                                                 "the item's menu is its left-click action");
    }
    return;
  }
  std::function<void()> callback;
  if (name == "SecondaryActivate" || name == "XAyatanaSecondaryActivate") {
    callback = callbacks_.onSecondaryActivate;
  } else if (name == "ContextMenu") {
    callback = callbacks_.onContextMenu;
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
  if (callback) callback();  // last: it may destroy this item
}

const KnownTrayHost* StatusNotifierItem::scrollHost(const char* sender) {
  if (!sender || !connection_) return nullptr;
  auto found = scrollHosts_.find(sender);
  if (found != scrollHosts_.end()) return found->second;
  // Unique names are never reused, so only hosts that come and go grow the cache.
  if (scrollHosts_.size() >= 16) scrollHosts_.clear();
  const KnownTrayHost* host = nullptr;
  if (auto pid = busPeerPid(connection_, sender)) host = knownTrayHost(processName(*pid));
  scrollHosts_.emplace(sender, host);
  return host;
}

void StatusNotifierItem::methodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                    const gchar* method, GVariant* parameters,
                                    GDBusMethodInvocation* invocation, gpointer self) {
  static_cast<StatusNotifierItem*>(self)->handle(method, parameters, invocation);
}

GVariant* StatusNotifierItem::getProperty(GDBusConnection*, const gchar*, const gchar*,
                                          const gchar*, const gchar* name, GError** error,
                                          gpointer self) {
  GVariant* value = static_cast<StatusNotifierItem*>(self)->property(name);
  if (!value)
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", name);
  return value;
}

}  // namespace nuvlet::linux_platform
