#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "nuvlet/platform/ListenerList.h"
#include "nuvlet/platform/RunLoop.h"

namespace nuvlet::linux_platform {

// The one xcb connection the display topology and the workspace share, driven by
// the main loop: events and asynchronous replies are read when the socket is
// readable and handed to the handlers on the main thread.
//
// Thread: main thread only. Synchronous queries (atom(), property reads) are round
// trips to the X server; they are made at start and after change events, never from
// the ports' queries. A connection that breaks stays broken: the handlers of lost are
// told once and the queries of its users answer nothing from then on.
class XConnection : public std::enable_shared_from_this<XConnection> {
 public:
  // Nothing when there is no X server (display name as for xcb_connect; nullptr reads
  // $DISPLAY). The loop must outlive the connection.
  static std::shared_ptr<XConnection> open(RunLoop& loop, const char* displayName = nullptr);
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  xcb_window_t root() const { return root_; }
  int screenNumber() const { return screenNumber_; }
  RunLoop& loop() const { return loop_; }
  bool broken() const;

  // The interned atom, cached; XCB_ATOM_NONE on failure.
  xcb_atom_t atom(std::string_view name);
  // Interns several names with one round trip.
  void internAll(const std::vector<std::string_view>& names);
  // The name of an atom, cached; empty on failure.
  std::string atomName(xcb_atom_t atom);

  // A window property as raw bytes; nothing when it is missing, of another format,
  // or the window is gone. `format` is 8, 16 or 32.
  struct Property {
    xcb_atom_t type = XCB_ATOM_NONE;
    std::uint8_t format = 0;
    std::string bytes;
  };
  std::optional<Property> property(xcb_window_t window, xcb_atom_t name,
                                   std::uint32_t maxBytes = 1 << 16);
  // A 32-bit CARDINAL/WINDOW/ATOM list property.
  std::vector<std::uint32_t> cardinals(xcb_window_t window, xcb_atom_t name);

  // Handlers see every event, in order. They may issue requests.
  ListenerId addEventHandler(std::function<void(const xcb_generic_event_t&)> fn);
  ListenerId addLostHandler(std::function<void()> fn);
  void removeHandler(ListenerId id);

  // Calls fn with the reply (or nullptr on an error) to a request already sent, when
  // it arrives. The reply is freed after fn returns.
  void onReply(unsigned int sequence, std::function<void(void* reply)> fn);

  // Sends what is buffered and reads anything a synchronous call left queued; handlers
  // run on a later turn of the loop.
  void flushSoon();

 private:
  XConnection(RunLoop& loop, xcb_connection_t* connection, xcb_window_t root);
  void dispatch();
  void checkBroken();

  RunLoop& loop_;
  xcb_connection_t* connection_;
  xcb_window_t root_;
  int screenNumber_ = 0;
  std::optional<RunLoop::TimerId> watch_;
  bool lost_ = false;
  bool flushPosted_ = false;
  ListenerList<const xcb_generic_event_t&> events_;
  ListenerList<> lostHandlers_;
  struct PendingReply {
    unsigned int sequence;
    std::function<void(void*)> fn;
  };
  std::vector<PendingReply> replies_;
  std::unordered_map<std::string, xcb_atom_t> atoms_;
  std::unordered_map<xcb_atom_t, std::string> names_;
};

}  // namespace nuvlet::linux_platform
