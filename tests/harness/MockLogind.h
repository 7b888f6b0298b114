#pragma once
// Plays logind's side of sleep on python3-dbusmock's logind template: the signal sent
// before sleep and after the wake, and the inhibitors it holds meanwhile.
#include <cstddef>
#include <optional>

#include "tests/harness/DbusMock.h"

namespace nuvlet::test {

inline bool prepareForSleep(DbusMock& logind, bool sleeping) {
  return logind.emit("org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                     g_variant_new("(b)", sleeping));
}

// The inhibitors logind holds (one leaves the list once its descriptor is closed
// everywhere); nothing when it did not answer.
inline std::optional<std::size_t> inhibitorsHeld(DbusMock& logind) {
  GVariant* reply = logind.call("ListInhibitors", nullptr, "org.freedesktop.login1.Manager");
  if (!reply) return std::nullopt;
  GVariant* list = g_variant_get_child_value(reply, 0);
  const std::size_t n = g_variant_n_children(list);
  g_variant_unref(list);
  g_variant_unref(reply);
  return n;
}

}  // namespace nuvlet::test
