#include "Runtime/Cancellation.hpp"
#include "Runtime/Sleep.hpp"
#include "Runtime/Task.hpp"
#include "Runtime/WorkerThread.hpp"
#include "support/ManualExecutor.hpp"
#include "support/VirtualClock.hpp"

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

using namespace veltrano;
using namespace std::chrono_literals;
using veltrano::testing::ManualExecutor;
using veltrano::testing::VirtualClock;

namespace {

bool isAborted(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    return e.code() == asio::error::operation_aborted;
  } catch (...) {
  }
  return false;
}

struct Outcome {
  bool done = false;
  std::exception_ptr error;
};

Awaitable<void> joinInto(Task task, Outcome* outcome) {
  try {
    co_await task.join();
  } catch (...) {
    outcome->error = std::current_exception();
  }
  outcome->done = true;
}

Awaitable<void> sleepThenRecord(SleepFunction sleep, Duration d, std::vector<std::string>* trace) {
  trace->push_back("sleeping");
  try {
    co_await sleep(d);
    trace->push_back("woke");
  } catch (const boost::system::system_error& e) {
    trace->push_back(e.code() == asio::error::operation_aborted ? "sleep aborted" : "sleep failed");
    throw;
  }
}

}  // namespace

TEST(Task, CancelAndJoinOfASleepingTaskFailsTheSleepAndWakesEveryJoiner) {
  ManualExecutor ex;
  VirtualClock clock([&] { ex.runUntilIdle(); });
  auto strand = ex.makeStrand();
  std::vector<std::string> trace;

  Task sleeper = Task::spawn(strand, sleepThenRecord(clock.sleepFunction(), 60s, &trace));
  Outcome first, second;
  Task::spawn(ex.makeStrand(), joinInto(sleeper, &first));
  Task::spawn(ex.makeStrand(), joinInto(sleeper, &second));
  ex.runUntilIdle();
  ASSERT_EQ(trace, (std::vector<std::string>{"sleeping"}));
  ASSERT_EQ(clock.pendingSleeps(), 1u);
  EXPECT_FALSE(first.done);

  sleeper.cancel();
  EXPECT_TRUE(sleeper.isCancelled());
  ex.runUntilIdle();

  EXPECT_EQ(trace, (std::vector<std::string>{"sleeping", "sleep aborted"}));
  EXPECT_EQ(clock.pendingSleeps(), 0u);
  EXPECT_TRUE(sleeper.isFinished());
  ASSERT_TRUE(first.done);
  ASSERT_TRUE(second.done);
  EXPECT_TRUE(isAborted(first.error));
  EXPECT_TRUE(isAborted(second.error));

  // Time passing afterwards wakes nothing.
  clock.advance(120s);
  EXPECT_EQ(trace.size(), 2u);

  // A cancel that lands before the task first runs aborts its first await.
  std::vector<std::string> early;
  Task notStarted = Task::spawn(strand, sleepThenRecord(clock.sleepFunction(), 1s, &early));
  notStarted.cancel();
  ex.runUntilIdle();
  EXPECT_EQ(early, (std::vector<std::string>{"sleeping", "sleep aborted"}));
  EXPECT_EQ(clock.pendingSleeps(), 0u);
}

TEST(Task, JoinAfterCompletionReturnsTheResultAtOnce) {
  ManualExecutor ex;
  auto strand = ex.makeStrand();
  auto ok = []() -> Awaitable<void> { co_return; };
  auto fails = []() -> Awaitable<void> {
    throw std::runtime_error("boom");
    co_return;
  };
  Task good = Task::spawn(strand, ok);
  Task bad = Task::spawn(strand, fails);
  ex.runUntilIdle();
  ASSERT_TRUE(good.isFinished());
  ASSERT_TRUE(bad.isFinished());

  Outcome goodJoin, badJoin, again;
  Task::spawn(strand, joinInto(good, &goodJoin));
  Task::spawn(strand, joinInto(bad, &badJoin));
  Task::spawn(strand, joinInto(bad, &again));
  ex.runUntilIdle();
  ASSERT_TRUE(goodJoin.done);
  EXPECT_FALSE(goodJoin.error);
  for (auto* outcome : {&badJoin, &again}) {
    ASSERT_TRUE(outcome->done);
    try {
      std::rethrow_exception(outcome->error);
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "boom");
    }
  }
  // Cancelling a finished task changes nothing.
  bad.cancel();
  EXPECT_FALSE(bad.isCancelled());
}

namespace {

// Clean-up that must still await after a cancellation (a store write, here
// an actor call on another strand) takes the cancellation back first.
Awaitable<void> storeWrite(std::vector<std::string>* trace, std::string what) {
  trace->push_back(what);
  co_return;
}

Awaitable<void> sleepWithCleanup(SleepFunction sleep, Strand store, std::vector<std::string>* trace) {
  try {
    co_await sleep(60s);
  } catch (const boost::system::system_error&) {
    trace->push_back("sleep aborted");
  }
  try {
    co_await asio::co_spawn(store, storeWrite(trace, "write without taking"), asio::use_awaitable);
  } catch (const boost::system::system_error& e) {
    trace->push_back(e.code() == asio::error::operation_aborted ? "aborted before it ran" : e.what());
  }
  const bool cancelled = takeCancellation(co_await asio::this_coro::cancellation_state);
  trace->push_back(cancelled ? "was cancelled" : "was not cancelled");
  co_await asio::co_spawn(store, storeWrite(trace, "write after taking"), asio::use_awaitable);
  // A shielded step runs to its end although the task is cancelled while it
  // runs; the cancellation then shows at the next await.
  co_await runShielded(store, sleepThenRecord(sleep, 5s, trace));
  trace->push_back(isCancelled(co_await asio::this_coro::cancellation_state) ? "cancelled again" : "not cancelled");
  co_await sleep(1s);  // throws at once
  trace->push_back("not reached");
}

}  // namespace

TEST(Task, CleanUpAfterACancellationTakesItBackThenAwaitsAndShieldedStepsRunToTheirEnd) {
  ManualExecutor ex;
  VirtualClock clock([&] { ex.runUntilIdle(); });
  std::vector<std::string> trace;
  asio::cancellation_signal signal;  // emitted twice, as a parent group may
  bool finished = false;
  auto done = [&](std::exception_ptr) { finished = true; };
  asio::co_spawn(ex.makeStrand(), sleepWithCleanup(clock.sleepFunction(), ex.makeStrand(), &trace),
                 asio::bind_cancellation_slot(signal.slot(), done));
  ex.runUntilIdle();
  signal.emit(asio::cancellation_type::terminal);
  ex.runUntilIdle();
  EXPECT_EQ(trace, (std::vector<std::string>{
                       "sleep aborted", "aborted before it ran", "was cancelled", "write after taking", "sleeping"}));
  signal.emit(asio::cancellation_type::terminal);
  ex.runUntilIdle();
  EXPECT_EQ(trace.back(), "sleeping");
  clock.advance(5s);
  EXPECT_EQ(trace.back(), "cancelled again");
  EXPECT_EQ(trace[trace.size() - 2], "woke");
  EXPECT_TRUE(finished);
  EXPECT_EQ(clock.pendingSleeps(), 0u);
}

// The same guarantees with real threads and a real timer.
TEST(Task, RealTimerSleepWakesAfterItsDurationAndIsCancelledFromAnotherThread) {
  WorkerThread worker;
  std::vector<std::string> trace;
  auto start = std::chrono::steady_clock::now();
  Task shortSleep = Task::spawn(worker.makeStrand(), sleepThenRecord(makeTimerSleep(worker.context()), 30ms, &trace));
  while (!shortSleep.isFinished()) std::this_thread::sleep_for(1ms);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  EXPECT_EQ(trace, (std::vector<std::string>{"sleeping", "woke"}));
  trace.clear();

  Task task = Task::spawn(worker.makeStrand(), sleepThenRecord(makeTimerSleep(worker.context()), 1h, &trace));

  std::promise<std::exception_ptr> joined;
  auto joiner = [&]() -> Awaitable<void> {
    std::exception_ptr error;
    try {
      co_await task.join();
    } catch (...) {
      error = std::current_exception();
    }
    joined.set_value(error);
  };
  Task::spawn(worker.makeStrand(), joiner);

  std::this_thread::sleep_for(20ms);  // lets the sleep begin; correctness does not depend on it
  task.cancel();
  auto future = joined.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(isAborted(future.get()));
  worker.stop();
  EXPECT_EQ(trace, (std::vector<std::string>{"sleeping", "sleep aborted"}));
}

namespace {

Awaitable<void> section(std::string name, SleepFunction sleep, std::vector<std::string>* trace, Strand strand,
                        std::atomic<int>* inside, std::atomic<int>* overlaps) {
  for (int step = 0; step < 3; ++step) {
    if (inside->fetch_add(1) != 0) ++*overlaps;
    trace->push_back(name + std::to_string(step));
    if (!strand.running_in_this_thread()) ++*overlaps;
    inside->fetch_sub(1);
    co_await sleep(0ms);
  }
}

}  // namespace

TEST(Strand, CoroutinesOnOneStrandInterleaveOnlyAtAwaits) {
  ManualExecutor ex;
  VirtualClock clock([&] { ex.runUntilIdle(); });
  auto strand = ex.makeStrand();
  std::vector<std::string> trace;
  std::atomic<int> inside{0}, overlaps{0};
  Task::spawn(strand, section("a", clock.sleepFunction(), &trace, strand, &inside, &overlaps));
  Task::spawn(strand, section("b", clock.sleepFunction(), &trace, strand, &inside, &overlaps));
  ex.runUntilIdle();
  EXPECT_EQ(trace, (std::vector<std::string>{"a0", "b0", "a1", "b1", "a2", "b2"}));
  EXPECT_EQ(overlaps.load(), 0);
}

TEST(Strand, SectionsNeverOverlapAcrossWorkerThreads) {
  asio::io_context io;
  auto strand = asio::make_strand(io.get_executor());
  auto sleep = makeTimerSleep(io);
  std::vector<std::string> trace;
  std::atomic<int> inside{0}, overlaps{0};
  for (int i = 0; i < 8; ++i)
    Task::spawn(strand, section(std::to_string(i), sleep, &trace, strand, &inside, &overlaps));
  std::thread second([&] { io.run(); });
  io.run();
  second.join();
  EXPECT_EQ(trace.size(), 24u);
  EXPECT_EQ(overlaps.load(), 0);
}
