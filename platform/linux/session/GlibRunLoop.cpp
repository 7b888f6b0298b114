#include "platform/linux/session/GlibRunLoop.h"

#include <glib-unix.h>
#include <glib.h>

#include <atomic>
#include <cmath>
#include <unordered_map>
#include <utility>

namespace nuvlet::linux_platform {
namespace {

class GlibLoop;

struct Source {
  GlibLoop* loop;
  RunLoop::TimerId id;
  RunLoop::Callback fn;
  bool repeating;
};

class GlibLoop final : public GlibRunLoop {
 public:
  GlibLoop()
      : context_(g_main_context_ref_thread_default()), loop_(g_main_loop_new(context_, FALSE)) {}

  ~GlibLoop() override {
    // Destroying a source drops its callback data; copy the list first, since
    // forget() edits the map from the destroy notify.
    std::unordered_map<TimerId, GSource*> sources;
    sources.swap(sources_);
    for (auto& [id, source] : sources) {
      g_source_destroy(source);
      g_source_unref(source);
    }
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
  }

  void post(Callback fn) override {
    // Posts come from worker threads: attaching a source is thread-safe and wakes the
    // context; the source is not tracked because it can never be cancelled.
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    auto* data = new Callback(std::move(fn));
    g_source_set_callback(
        source,
        [](gpointer p) -> gboolean {
          (*static_cast<Callback*>(p))();
          return G_SOURCE_REMOVE;
        },
        data, [](gpointer p) { delete static_cast<Callback*>(p); });
    g_source_attach(source, context_);
    g_source_unref(source);
  }

  TimerId scheduleAfter(double seconds, Callback fn) override {
    return add(g_timeout_source_new(toMilliseconds(seconds)), std::move(fn), false);
  }

  TimerId scheduleRepeating(double interval, Callback fn) override {
    return add(g_timeout_source_new(std::max(1u, toMilliseconds(interval))), std::move(fn), true);
  }

  TimerId watchReadable(int fd, Callback fn) override {
    GSource* source =
        g_unix_fd_source_new(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
    return add(source, std::move(fn), true, /*fdSource=*/true);
  }

  void cancel(TimerId id) override {
    auto it = sources_.find(id);
    if (it == sources_.end()) return;
    GSource* source = it->second;
    sources_.erase(it);
    g_source_destroy(source);
    g_source_unref(source);
  }

  const Clock& clock() const override { return clock_; }

  void run() override {
    if (quitRequested_.exchange(false)) return;
    g_main_loop_run(loop_);
  }

  void quit() override {
    quitRequested_ = true;
    g_main_loop_quit(loop_);
    g_main_context_wakeup(context_);
  }

 private:
  static guint toMilliseconds(double seconds) {
    if (!(seconds > 0)) return 0;
    return static_cast<guint>(std::min(std::ceil(seconds * 1000.0), 4.0e9));
  }

  TimerId add(GSource* source, Callback fn, bool repeating, bool fdSource = false) {
    TimerId id = nextId_++;
    auto* data = new Source{this, id, std::move(fn), repeating};
    // A unix fd source calls its callback with (fd, condition, data); GLib's API
    // takes it as a GSourceFunc all the same.
    GSourceFunc callback =
        fdSource ? reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(
                       +[](gint, GIOCondition, gpointer p) -> gboolean {
                         return dispatch(static_cast<Source*>(p));
                       }))
                 : +[](gpointer p) -> gboolean { return dispatch(static_cast<Source*>(p)); };
    g_source_set_callback(source, callback, data,
                          [](gpointer p) { delete static_cast<Source*>(p); });
    g_source_attach(source, context_);
    sources_[id] = source;  // keeps our reference
    return id;
  }

  static gboolean dispatch(Source* s) {
    if (!s->repeating) {
      // Forget a one-shot before it runs, so cancelling it from its own callback is
      // harmless; GLib keeps the source alive until the callback returns.
      GlibLoop* loop = s->loop;
      auto it = loop->sources_.find(s->id);
      if (it != loop->sources_.end()) {
        GSource* source = it->second;
        loop->sources_.erase(it);
        auto fn = std::move(s->fn);
        g_source_unref(source);
        fn();
      }
      return G_SOURCE_REMOVE;
    }
    s->fn();
    return G_SOURCE_CONTINUE;
  }

  SystemClock clock_;
  GMainContext* context_;
  GMainLoop* loop_;
  std::unordered_map<TimerId, GSource*> sources_;
  TimerId nextId_ = 1;
  std::atomic<bool> quitRequested_{false};
};

}  // namespace

std::unique_ptr<GlibRunLoop> makeGlibRunLoop() { return std::make_unique<GlibLoop>(); }

}  // namespace nuvlet::linux_platform
