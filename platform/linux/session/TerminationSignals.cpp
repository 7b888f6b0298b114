#include "platform/linux/session/TerminationSignals.h"

#include <glib-unix.h>
#include <signal.h>
#include <unistd.h>

#include <utility>

namespace nuvlet::linux_platform {
namespace {

class GlibTerminationSignals final : public TerminationSignals {
 public:
  explicit GlibTerminationSignals(std::function<void()> terminate)
      : terminate_(std::move(terminate)) {
    sources_[0] = g_unix_signal_add(SIGINT, &GlibTerminationSignals::received, this);
    sources_[1] = g_unix_signal_add(SIGTERM, &GlibTerminationSignals::received, this);
  }

  ~GlibTerminationSignals() override {
    for (guint id : sources_) g_source_remove(id);
  }

 private:
  static gboolean received(gpointer self) {
    auto* signals = static_cast<GlibTerminationSignals*>(self);
    if (++signals->count_ >= 3) _exit(1);
    if (signals->count_ == 1 && signals->terminate_) signals->terminate_();
    return G_SOURCE_CONTINUE;
  }

  std::function<void()> terminate_;
  guint sources_[2] = {0, 0};
  int count_ = 0;
};

}  // namespace

std::unique_ptr<TerminationSignals> watchTerminationSignals(std::function<void()> terminate) {
  return std::make_unique<GlibTerminationSignals>(std::move(terminate));
}

}  // namespace nuvlet::linux_platform
