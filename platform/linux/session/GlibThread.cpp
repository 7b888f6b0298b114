#include "platform/linux/session/GlibThread.h"

namespace nuvlet::linux_platform {

GlibThread::GlibThread() : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
  thread_ = std::thread([this] {
    g_main_context_push_thread_default(context_);
    g_main_loop_run(loop_);
    g_main_context_pop_thread_default(context_);
  });
}

GlibThread::~GlibThread() {
  stop([] {}, [] { return true; });
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

void GlibThread::invoke(std::function<void()> fn) {
  auto* heap = new std::function<void()>(std::move(fn));
  g_main_context_invoke_full(
      context_, G_PRIORITY_DEFAULT,
      [](gpointer p) -> gboolean {
        (*static_cast<std::function<void()>*>(p))();
        return G_SOURCE_REMOVE;
      },
      heap, [](gpointer p) { delete static_cast<std::function<void()>*>(p); });
}

void GlibThread::stop(std::function<void()> finish, std::function<bool()> settled) {
  if (stopped_) return;
  stopped_ = true;
  invoke([this, finish = std::move(finish), settled = std::move(settled)] {
    finish();
    while (!settled()) g_main_context_iteration(context_, TRUE);
    g_main_loop_quit(loop_);
  });
  thread_.join();
  // Whatever was invoked after the stop is freed, not run, with the context.
}

}  // namespace nuvlet::linux_platform
