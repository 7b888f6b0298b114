#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

namespace nuvlet {

// Identifies a listener added to a port, for its removal. Ids are unique across all
// lists, so removing an id from the wrong list does nothing.
using ListenerId = std::uint64_t;

inline ListenerId nextListenerId() {
  static std::atomic<ListenerId> next{1};
  return next++;
}

// The callbacks a port keeps for one kind of event. A listener may remove itself or
// another listener while being told; a removed listener is never called again, even
// later in the same notification.
//
// Thread: one thread (the main thread) only.
template <typename... Args>
class ListenerList {
 public:
  using Fn = std::function<void(Args...)>;

  ListenerId add(Fn fn) {
    ListenerId id = nextListenerId();
    listeners_.emplace(id, std::make_shared<Fn>(std::move(fn)));
    return id;
  }

  // False when id is not (or no longer) here.
  bool remove(ListenerId id) { return listeners_.erase(id) > 0; }

  bool empty() const { return listeners_.empty(); }

  void notify(Args... args) const {
    // Copy first: listeners may add or remove while they are told.
    auto snapshot = listeners_;
    for (auto& [id, fn] : snapshot) {
      if (listeners_.count(id) != 0) (*fn)(args...);
    }
  }

 private:
  std::map<ListenerId, std::shared_ptr<Fn>> listeners_;
};

}  // namespace nuvlet
