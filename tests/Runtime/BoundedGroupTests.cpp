#include "Runtime/BoundedGroup.hpp"
#include "Runtime/Cancellation.hpp"
#include "Runtime/Task.hpp"
#include "support/ManualExecutor.hpp"
#include "support/VirtualClock.hpp"

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include <chrono>
#include <optional>
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
  std::string error = "none";
  std::optional<Duration> endedAt;
};

// A named, non-capturing child body: the state travels as arguments. Every
// child sleeps 300 ms; negative items fail afterwards. With `swallow` a
// cancelled child takes its cancellation back and ends normally, as a retry
// that finishes its clean-up does.
Awaitable<void> child(int item, SleepFunction sleep, Tally* tally, bool swallow) {
  tally->started.push_back(item);
  tally->peak = std::max(tally->peak, ++tally->running);
  try {
    co_await sleep(300ms);
  } catch (...) {
    --tally->running;
    tally->aborted.push_back(item);
    if (!swallow) throw;
  }
  auto cancellation = co_await asio::this_coro::cancellation_state;
  if (swallow && takeCancellation(cancellation)) co_return;
  --tally->running;
  tally->finished.push_back(item);
  if (item < 0) throw std::runtime_error("item " + std::to_string(item));
}

Awaitable<void> runGroup(std::vector<int> items, std::size_t limit, SleepFunction sleep, VirtualClock* clock,
                         Tally* tally, bool swallow) {
  auto body = [sleep, tally, swallow](int item) { return child(item, sleep, tally, swallow); };
  try {
    co_await forEachBounded(std::move(items), limit, std::move(body));
  } catch (const boost::system::system_error& e) {
    tally->error = e.code() == asio::error::operation_aborted ? "aborted" : e.what();
  } catch (const std::exception& e) {
    tally->error = e.what();
  }
  tally->endedAt = clock->now();
}

struct GroupCase {
  std::string name;
  std::vector<int> items;
  std::size_t limit;
  std::optional<Duration> cancelAt;
  bool swallowCancellation;
  std::vector<int> started, finished, aborted;
  int peak;
  std::string error;
  Duration endedAt;
};

void PrintTo(const GroupCase& c, std::ostream* os) {
  *os << c.name;
}

class BoundedGroupTable : public ::testing::TestWithParam<GroupCase> {};

}  // namespace

TEST_P(BoundedGroupTable, RunsAtMostTheLimitAndStartsTheNextItemWheneverAChildEnds) {
  const GroupCase& c = GetParam();
  ManualExecutor ex;
  VirtualClock clock([&] { ex.runUntilIdle(); });
  Tally tally;
  Task group = Task::spawn(
      ex.makeStrand(), runGroup(c.items, c.limit, clock.sleepFunction(), &clock, &tally, c.swallowCancellation));
  ex.runUntilIdle();
  if (c.cancelAt) {
    clock.advance(*c.cancelAt);
    group.cancel();
    ex.runUntilIdle();
  }
  clock.advance(10s);
  EXPECT_TRUE(group.isFinished());
  EXPECT_EQ(tally.started, c.started);
  EXPECT_EQ(tally.finished, c.finished);
  EXPECT_EQ(tally.aborted, c.aborted);
  EXPECT_EQ(tally.peak, c.peak);
  EXPECT_EQ(tally.error, c.error);
  ASSERT_TRUE(tally.endedAt);
  EXPECT_EQ(*tally.endedAt, c.endedAt);
  EXPECT_EQ(clock.pendingSleeps(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    BoundedGroup, BoundedGroupTable,
    ::testing::Values(
        GroupCase{"AllSucceed", {0, 1, 2, 3, 4}, 2, {}, false, {0, 1, 2, 3, 4}, {0, 1, 2, 3, 4}, {}, 2, "none", 900ms},
        // A failure frees its slot at once: 3 and 4 still run, two at a time.
        GroupCase{"TwoFailuresKeepBothSlots",
                  {-1, -2, 3, 4},
                  2,
                  {},
                  false,
                  {-1, -2, 3, 4},
                  {-1, -2, 3, 4},
                  {},
                  2,
                  "item -1",
                  600ms},
        GroupCase{"OneFailureKeepsTheLimit",
                  {-1, 1, 2, 3},
                  2,
                  {},
                  false,
                  {-1, 1, 2, 3},
                  {-1, 1, 2, 3},
                  {},
                  2,
                  "item -1",
                  600ms},
        // Cancelled at 450 ms: 2 and 3 are aborted, 4 never starts.
        GroupCase{
            "CancelStopsTheGroup", {0, 1, 2, 3, 4}, 2, 450ms, false, {0, 1, 2, 3}, {0, 1}, {2, 3}, 2, "aborted", 450ms},
        // A child that takes its cancellation back to finish its work must
        // not switch the group's own cancellation off.
        GroupCase{"ChildClearingItsCancellationStillStopsTheGroup",
                  {0, 1, 2, 3, 4},
                  2,
                  450ms,
                  true,
                  {0, 1, 2, 3},
                  {0, 1},
                  {2, 3},
                  2,
                  "aborted",
                  450ms},
        GroupCase{"EmptyList", {}, 2, {}, false, {}, {}, {}, 0, "none", 0ms},
        GroupCase{"ZeroLimit", {1}, 0, {}, false, {}, {}, {}, 0, "none", 0ms}),
    [](const auto& info) { return info.param.name; });
