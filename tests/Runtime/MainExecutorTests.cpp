#include "Runtime/Linux/MainExecutor.hpp"
#include "Runtime/Task.hpp"
#include "Runtime/WorkerThread.hpp"
#include "support/ManualExecutor.hpp"

#include <gtest/gtest.h>

#include <glib.h>

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace veltrano;
using veltrano::testing::ManualExecutor;

namespace {

// A private GLib context per test, iterated by the test thread: the test is
// the main thread.
class MainActorTest : public ::testing::Test {
 protected:
  MainActorTest() : glib_(g_main_context_new()), main_(glib_) { g_main_context_push_thread_default(glib_); }
  ~MainActorTest() override {
    g_main_context_pop_thread_default(glib_);
    g_main_context_unref(glib_);
  }
  bool iterateMain() { return g_main_context_iteration(glib_, FALSE) != FALSE; }
  void iterateMainUntil(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline) g_main_context_iteration(glib_, FALSE);
  }

  GMainContext* glib_;
  MainContext main_;
};

Awaitable<std::string> onMain(std::vector<std::string>* trace, MainContext* main) {
  trace->push_back(main->isCurrentThread() ? "ran on main" : "ran off main");
  co_return "from main";
}

Awaitable<void> hop(MainContext* main, Strand strand, std::vector<std::string>* trace) {
  trace->push_back("hop queued");
  std::string value = co_await asio::co_spawn(main->get_executor(), onMain(trace, main), asio::use_awaitable);
  trace->push_back(value + (strand.running_in_this_thread() ? ", back on strand" : ", lost the strand"));
}

}  // namespace

TEST_F(MainActorTest, HopToMainAndBackIsDrivenStepByStep) {
  ManualExecutor ex;
  auto strand = ex.makeStrand();
  std::vector<std::string> trace;
  Task::spawn(strand, hop(&main_, strand, &trace));

  ex.runUntilIdle();
  EXPECT_EQ(trace, (std::vector<std::string>{"hop queued"}));
  while (iterateMain()) {
  }
  EXPECT_EQ(trace, (std::vector<std::string>{"hop queued", "ran on main"}));
  ex.runUntilIdle();
  EXPECT_EQ(trace, (std::vector<std::string>{"hop queued", "ran on main", "from main, back on strand"}));
}

namespace {

Awaitable<std::thread::id> throwOnMain() {
  throw std::runtime_error("thrown on main");
  co_return std::this_thread::get_id();
}
Awaitable<std::thread::id> idOnMain() {
  co_return std::this_thread::get_id();
}

struct Threads {
  std::thread::id before, main, after;
  std::string error;
  bool done = false;
};

Awaitable<void> hopAcrossThreads(MainContext* main, Threads* out) {
  out->before = std::this_thread::get_id();
  out->main = co_await asio::co_spawn(main->get_executor(), idOnMain(), asio::use_awaitable);
  out->after = std::this_thread::get_id();
  try {
    co_await asio::co_spawn(main->get_executor(), throwOnMain(), asio::use_awaitable);
  } catch (const std::runtime_error& e) {
    out->error = e.what();
  }
  out->done = true;
}

}  // namespace

TEST_F(MainActorTest, WorkerThreadHopsToTheMainThreadAndBackAndSeesItsExceptions) {
  WorkerThread worker;
  Threads threads;
  Task task = Task::spawn(worker.makeStrand(), hopAcrossThreads(&main_, &threads));
  iterateMainUntil([&] { return task.isFinished(); });
  worker.stop();
  ASSERT_TRUE(threads.done);
  EXPECT_EQ(threads.main, std::this_thread::get_id());
  EXPECT_NE(threads.before, std::this_thread::get_id());
  EXPECT_NE(threads.after, std::this_thread::get_id());
  EXPECT_EQ(threads.error, "thrown on main");
}

TEST_F(MainActorTest, PostedWorkNeverRunsInlineAndKeepsItsOrder) {
  std::vector<int> order;
  auto executor = main_.get_executor();
  asio::post(executor, [&] { order.push_back(1); });
  asio::dispatch(executor, [&] { order.push_back(2); });  // this thread is not iterating: queued too
  asio::post(executor, [&] { order.push_back(3); });
  EXPECT_TRUE(order.empty());
  while (iterateMain()) {
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

namespace {

Awaitable<void> sleepOnMain(asio::io_context* io, MainContext* main, bool* resumedOnMain) {
  asio::steady_timer timer(*io, std::chrono::milliseconds(5));
  co_await timer.async_wait(asio::use_awaitable);
  *resumedOnMain = main->isCurrentThread();
}

}  // namespace

TEST_F(MainActorTest, ATimerAwaitedOnTheMainActorResumesOnTheMainThread) {
  WorkerThread worker;
  bool resumedOnMain = false;
  Task task = Task::spawn(main_.get_executor(), sleepOnMain(&worker.context(), &main_, &resumedOnMain));
  iterateMainUntil([&] { return task.isFinished(); });
  EXPECT_TRUE(resumedOnMain);
}

namespace {

// Queues `then` on its executor when destroyed without having been moved
// from, as an awaitable's handler queues the destruction of its frame.
struct QueuesOnDestruction {
  QueuesOnDestruction(MainExecutor executor, std::shared_ptr<int> then) : executor(executor), then(std::move(then)) {}
  QueuesOnDestruction(QueuesOnDestruction&& other) noexcept : executor(other.executor), then(std::move(other.then)) {}
  QueuesOnDestruction& operator=(QueuesOnDestruction&&) = delete;
  ~QueuesOnDestruction() {
    if (then) executor.execute([then = std::move(then)] {});
  }
  MainExecutor executor;
  std::shared_ptr<int> then;
};

}  // namespace

// Work still queued when its context goes is destroyed without running, and
// so is the work its destruction queues: nothing is attached to a context
// that is being freed (a test's main thread ending mid-coroutine leaked
// them).
TEST(MainContextTeardown, QueuedWorkAndWhatItsDestructionQueuesAreDestroyedNotRun) {
  GMainContext* glib = g_main_context_new();
  auto main = std::make_unique<MainContext>(glib);
  g_main_context_unref(glib);  // the MainContext holds the last reference
  auto token = std::make_shared<int>(0);
  bool ran = false;
  main->get_executor().execute([queues = QueuesOnDestruction(main->get_executor(), token), &ran] { ran = true; });
  ASSERT_EQ(token.use_count(), 2);
  main.reset();
  EXPECT_FALSE(ran);
  EXPECT_EQ(token.use_count(), 1) << "the work queued while the context closed was leaked";
}
