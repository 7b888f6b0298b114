#include "platform/linux/display/XConnection.h"

#include <xcb/xcbext.h>

#include <cstdlib>
#include <cstring>

#include "nuvlet/platform/Log.h"

namespace nuvlet::linux_platform {

std::shared_ptr<XConnection> XConnection::open(RunLoop& loop, const char* displayName) {
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(displayName, &screenNumber);
  if (xcb_connection_has_error(c) != 0) {
    xcb_disconnect(c);
    return nullptr;
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
  if (it.rem == 0) {
    xcb_disconnect(c);
    return nullptr;
  }
  std::shared_ptr<XConnection> x(new XConnection(loop, c, it.data->root));
  x->screenNumber_ = screenNumber;
  // Property changes (active window, work areas) and root reconfiguration (monitors
  // defined or removed) are what the users of this connection follow.
  const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, x->root_, XCB_CW_EVENT_MASK, &mask);
  std::weak_ptr<XConnection> weak = x;
  x->watch_ = loop.watchReadable(xcb_get_file_descriptor(c), [weak] {
    if (auto self = weak.lock()) self->dispatch();
  });
  xcb_flush(c);
  return x;
}

XConnection::XConnection(RunLoop& loop, xcb_connection_t* connection, xcb_window_t root)
    : loop_(loop), connection_(connection), root_(root) {}

XConnection::~XConnection() {
  if (watch_) loop_.cancel(*watch_);
  // Pending replies must be taken off the connection before it goes.
  for (auto& pending : replies_) xcb_discard_reply(connection_, pending.sequence);
  xcb_disconnect(connection_);
}

bool XConnection::broken() const { return lost_ || xcb_connection_has_error(connection_) != 0; }

void XConnection::checkBroken() {
  if (lost_ || xcb_connection_has_error(connection_) == 0) return;
  lost_ = true;
  if (watch_) {
    loop_.cancel(*watch_);
    watch_.reset();
  }
  log::debug("X connection lost");
  replies_.clear();
  lostHandlers_.notify();
}

void XConnection::internAll(const std::vector<std::string_view>& names) {
  std::vector<std::pair<std::string, xcb_intern_atom_cookie_t>> cookies;
  for (auto name : names) {
    if (atoms_.count(std::string(name)) != 0) continue;
    cookies.emplace_back(
        std::string(name),
        xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.data()));
  }
  for (auto& [name, cookie] : cookies) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection_, cookie, nullptr);
    xcb_atom_t a = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    if (a != XCB_ATOM_NONE) {
      atoms_[name] = a;
      names_[a] = name;
    }
  }
  flushSoon();
}

xcb_atom_t XConnection::atom(std::string_view name) {
  auto it = atoms_.find(std::string(name));
  if (it != atoms_.end()) return it->second;
  internAll({name});
  it = atoms_.find(std::string(name));
  return it == atoms_.end() ? xcb_atom_t{XCB_ATOM_NONE} : it->second;
}

std::string XConnection::atomName(xcb_atom_t a) {
  if (a == XCB_ATOM_NONE) return {};
  if (auto it = names_.find(a); it != names_.end()) return it->second;
  xcb_get_atom_name_reply_t* reply =
      xcb_get_atom_name_reply(connection_, xcb_get_atom_name(connection_, a), nullptr);
  std::string name;
  if (reply != nullptr) {
    name.assign(xcb_get_atom_name_name(reply),
                static_cast<std::size_t>(xcb_get_atom_name_name_length(reply)));
    std::free(reply);
    names_[a] = name;
    atoms_[name] = a;
  }
  flushSoon();
  return name;
}

std::optional<XConnection::Property> XConnection::property(xcb_window_t window, xcb_atom_t name,
                                                           std::uint32_t maxBytes) {
  if (name == XCB_ATOM_NONE || broken()) return std::nullopt;
  auto cookie = xcb_get_property(connection_, 0, window, name, XCB_GET_PROPERTY_TYPE_ANY, 0,
                                 (maxBytes + 3) / 4);
  xcb_get_property_reply_t* reply = xcb_get_property_reply(connection_, cookie, nullptr);
  flushSoon();
  if (reply == nullptr) return std::nullopt;
  std::optional<Property> result;
  if (reply->type != XCB_ATOM_NONE &&
      (reply->format == 8 || reply->format == 16 || reply->format == 32)) {
    int length = xcb_get_property_value_length(reply);
    result = Property{reply->type, reply->format,
                      std::string(static_cast<const char*>(xcb_get_property_value(reply)),
                                  static_cast<std::size_t>(length > 0 ? length : 0))};
  }
  std::free(reply);
  return result;
}

std::vector<std::uint32_t> XConnection::cardinals(xcb_window_t window, xcb_atom_t name) {
  std::vector<std::uint32_t> values;
  auto p = property(window, name);
  if (!p || p->format != 32) return values;
  values.resize(p->bytes.size() / 4);
  std::memcpy(values.data(), p->bytes.data(), values.size() * 4);
  return values;
}

ListenerId XConnection::addEventHandler(std::function<void(const xcb_generic_event_t&)> fn) {
  return events_.add(std::move(fn));
}

ListenerId XConnection::addLostHandler(std::function<void()> fn) {
  return lostHandlers_.add(std::move(fn));
}

void XConnection::removeHandler(ListenerId id) {
  events_.remove(id);
  lostHandlers_.remove(id);
}

void XConnection::onReply(unsigned int sequence, std::function<void(void*)> fn) {
  if (broken()) return;
  replies_.push_back({sequence, std::move(fn)});
  flushSoon();
}

void XConnection::flushSoon() {
  xcb_flush(connection_);
  if (flushPosted_) return;
  flushPosted_ = true;
  std::weak_ptr<XConnection> weak = weak_from_this();
  loop_.post([weak] {
    if (auto self = weak.lock()) {
      self->flushPosted_ = false;
      self->dispatch();
    }
  });
}

void XConnection::dispatch() {
  if (lost_) return;
  // Events first: reading them also pulls the replies that follow them off the socket.
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
    // Errors of requests whose replies nobody waits for arrive here; they only mean a
    // window went away between an event and our query.
    if (event->response_type != 0) events_.notify(*event);
    std::free(event);
  }
  for (std::size_t i = 0; i < replies_.size();) {
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(connection_, replies_[i].sequence, &reply, &error) == 0) {
      ++i;
      continue;
    }
    auto fn = std::move(replies_[i].fn);
    replies_.erase(replies_.begin() + static_cast<std::ptrdiff_t>(i));
    std::free(error);
    fn(reply);
    std::free(reply);
  }
  xcb_flush(connection_);
  checkBroken();
}

}  // namespace nuvlet::linux_platform
