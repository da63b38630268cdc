// Entry of the container app. The window, web view and recording arrive in
// later steps; until then the program starts the runtime the app is built
// on, proves the actor hops work on this machine, and says what is missing.

#include "Runtime/Bundle.hpp"
#include "Runtime/Logger.hpp"
#include "Runtime/MainExecutor.hpp"
#include "Runtime/Task.hpp"
#include "Runtime/WorkerThread.hpp"

#include <glib.h>

#include <cstdio>
#include <thread>

namespace {

using namespace veltrano;

Awaitable<std::thread::id> mainThreadId() { co_return std::this_thread::get_id(); }

Awaitable<void> selfCheck(GMainLoop* loop, Logger log) {
  auto worker = std::this_thread::get_id();
  auto main = co_await asio::co_spawn(MainContext::shared().get_executor(), mainThreadId(), asio::use_awaitable);
  log.info(main != worker ? "Runtime ready: worker strand and main actor run on separate threads"
                          : "Runtime hop failed: main actor ran on the worker thread");
  g_main_loop_quit(loop);
}

}  // namespace

int main() {
  Logger log("App");
  const auto bundle = Bundle::ofRunningProgram();
  log.info("VeltranoMac starting from bundle " + bundle.root.string());

  GMainLoop* loop = g_main_loop_new(g_main_context_default(), FALSE);
  auto strand = WorkerThread::shared().makeStrand();
  Task::spawn(strand, selfCheck(loop, log));
  g_main_loop_run(loop);
  g_main_loop_unref(loop);

  std::printf(
      "VeltranoMac: the runtime works, but the application window, web view and recording are not "
      "built yet; they come in later steps. Nothing else to run.\n");
  WorkerThread::shared().stop();
  return 0;
}
