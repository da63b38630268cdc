#include "Runtime/Linux/MainExecutor.hpp"

#include <glib.h>

#include <cstdio>
#include <exception>

namespace veltrano {

namespace {
// The context this thread is tearing down. Dropping its last reference makes
// GLib destroy the work still queued on it, and destroying an awaitable's
// handler queues more work (its frame's clean-up) on the same thread, inside
// that call: such work is destroyed at once instead of being attached to a
// context that is being freed, where it would never run nor be freed.
thread_local const MainContext* closingOnThisThread = nullptr;
}  // namespace

MainContext::MainContext(GMainContext* context)
    : context_(g_main_context_ref(context ? context : g_main_context_default())) {}

MainContext::~MainContext() {
  // Handlers still queued belong to asio objects; destroy them before the
  // context they were posted through goes away.
  shutdown();
  destroy();
  closingOnThisThread = this;
  g_main_context_unref(context_);
  closingOnThisThread = nullptr;
}

MainContext& MainContext::shared() {
  static auto* instance = new MainContext(nullptr);  // lives for the whole process
  return *instance;
}

bool MainContext::isCurrentThread() const {
  return g_main_context_is_owner(context_) != FALSE;
}

void MainExecutor::post(std::unique_ptr<Work> work) const {
  if (closingOnThisThread == context_) return;  // destroys the work unrun
  work->published.store(true, std::memory_order_release);
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(
      source,
      [](gpointer data) -> gboolean {
        auto* work = static_cast<Work*>(data);
        (void)work->published.load(std::memory_order_acquire);
        try {
          work->run();
        } catch (const std::exception& e) {
          std::fprintf(stderr, "error [Runtime] a main-actor handler threw: %s\n", e.what());
          std::terminate();
        }
        return G_SOURCE_REMOVE;
      },
      work.release(),
      [](gpointer data) {
        auto* work = static_cast<Work*>(data);
        (void)work->published.load(std::memory_order_acquire);
        delete work;
      });
  g_source_attach(source, context_->native());
  g_source_unref(source);
}

}  // namespace veltrano
