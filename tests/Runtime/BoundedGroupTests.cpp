#include "Runtime/BoundedGroup.hpp"
#include "Runtime/Task.hpp"
#include "support/ManualExecutor.hpp"
#include "support/VirtualClock.hpp"

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

using namespace veltrano;
using namespace std::chrono_literals;
using veltrano::testing::ManualExecutor;
using veltrano::testing::VirtualClock;

namespace {

struct Tally {
  int running = 0;
  int peak = 0;
  std::vector<int> started, finished, aborted;
};

// A named, non-capturing child body: the state travels as arguments.
Awaitable<void> child(int item, SleepFunction sleep, Tally* tally) {
  tally->started.push_back(item);
  tally->peak = std::max(tally->peak, ++tally->running);
  try {
    co_await sleep(300ms);
  } catch (...) {
    --tally->running;
    tally->aborted.push_back(item);
    throw;
  }
  --tally->running;
  tally->finished.push_back(item);
  if (item < 0) throw std::runtime_error("item " + std::to_string(item));
}

Awaitable<void> runGroup(std::vector<int> items, std::size_t limit, SleepFunction sleep, Tally* tally) {
  auto body = [sleep, tally](int item) { return child(item, sleep, tally); };
  co_await forEachBounded(std::move(items), limit, std::move(body));
}

}  // namespace

TEST(BoundedGroup, NeverRunsMoreThanTheLimitAndRunsEveryItem) {
  ManualExecutor ex;
  VirtualClock clock([&] { ex.runUntilIdle(); });
  Tally tally;
  Task group = Task::spawn(ex.makeStrand(), runGroup({0, 1, 2, 3, 4}, 2, clock.sleepFunction(), &tally));
  ex.runUntilIdle();
  EXPECT_EQ(tally.started, (std::vector<int>{0, 1}));
  clock.advance(300ms);
  EXPECT_EQ(tally.started, (std::vector<int>{0, 1, 2, 3}));
  clock.advance(1s);
  EXPECT_TRUE(group.isFinished());
  EXPECT_EQ(tally.peak, 2);
  EXPECT_EQ(tally.finished, (std::vector<int>{0, 1, 2, 3, 4}));

  // An empty list or a zero limit returns at once and starts nothing.
  Tally none;
  Task empty = Task::spawn(ex.makeStrand(), runGroup({}, 2, clock.sleepFunction(), &none));
  Task zero = Task::spawn(ex.makeStrand(), runGroup({1}, 0, clock.sleepFunction(), &none));
  ex.runUntilIdle();
  EXPECT_TRUE(empty.isFinished());
  EXPECT_TRUE(zero.isFinished());
  EXPECT_TRUE(none.started.empty());
}

TEST(BoundedGroup, CancellingTheParentCancelsRunningChildrenAndStartsNoMore) {
  ManualExecutor ex;
  VirtualClock clock([&] { ex.runUntilIdle(); });
  Tally tally;
  Task group = Task::spawn(ex.makeStrand(), runGroup({0, 1, 2, 3, 4}, 2, clock.sleepFunction(), &tally));
  ex.runUntilIdle();
  clock.advance(450ms);
  group.cancel();
  ex.runUntilIdle();
  clock.advance(10s);
  EXPECT_TRUE(group.isFinished());
  EXPECT_EQ(tally.finished, (std::vector<int>{0, 1}));
  EXPECT_EQ(tally.aborted, (std::vector<int>{2, 3}));
  EXPECT_EQ(tally.started, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(clock.pendingSleeps(), 0u);
}

TEST(BoundedGroup, AChildErrorIsRethrownAfterTheOthersEnd) {
  ManualExecutor ex;
  VirtualClock clock([&] { ex.runUntilIdle(); });
  Tally tally;
  Task group = Task::spawn(ex.makeStrand(), runGroup({-1, 1, 2}, 2, clock.sleepFunction(), &tally));
  std::string error;
  auto joiner = [&]() -> Awaitable<void> {
    try {
      co_await group.join();
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
  };
  Task::spawn(ex.makeStrand(), joiner);
  ex.runUntilIdle();
  clock.advance(1s);
  EXPECT_EQ(error, "item -1");
  EXPECT_EQ(tally.finished, (std::vector<int>{-1, 1, 2}));
}
