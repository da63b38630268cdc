#include "Runtime/Task.hpp"
#include "support/ManualExecutor.hpp"
#include "support/VirtualClock.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using namespace veltrano;
using namespace std::chrono_literals;
using veltrano::testing::ManualExecutor;
using veltrano::testing::VirtualClock;

namespace {

Awaitable<void> sleepAndNote(SleepFunction sleep, Duration d, std::string name, VirtualClock* clock,
                             std::vector<std::string>* fired) {
  co_await sleep(d);
  fired->push_back(name + "@" +
                   std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(clock->now()).count()));
}

Awaitable<void> backoff(SleepFunction sleep, VirtualClock* clock, std::vector<std::string>* fired) {
  for (auto wait : {250ms, 500ms, 1000ms}) {
    co_await sleep(wait);
    fired->push_back(std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(clock->now()).count()));
  }
}

}  // namespace

TEST(VirtualClock, SleepsFireInDeadlineOrderAtTheirOwnTimes) {
  ManualExecutor ex;
  VirtualClock clock([&] { ex.runUntilIdle(); });
  std::vector<std::string> fired;
  auto strand = ex.makeStrand();
  Task::spawn(strand, sleepAndNote(clock.sleepFunction(), 3s, "c", &clock, &fired));
  Task::spawn(strand, sleepAndNote(clock.sleepFunction(), 1s, "a", &clock, &fired));
  Task::spawn(strand, sleepAndNote(clock.sleepFunction(), 2s, "b1", &clock, &fired));
  Task::spawn(strand, sleepAndNote(clock.sleepFunction(), 2s, "b2", &clock, &fired));
  ex.runUntilIdle();
  clock.advance(999ms);  // a deadline is exact to the tick
  EXPECT_TRUE(fired.empty());
  clock.advance(1ms);
  EXPECT_EQ(fired, (std::vector<std::string>{"a@1000"}));
  clock.advance(9s);
  EXPECT_EQ(fired, (std::vector<std::string>{"a@1000", "b1@2000", "b2@2000", "c@3000"}));
  EXPECT_EQ(clock.now(), 10s);
}

TEST(VirtualClock, ASleepBegunByAWokenCoroutineCountsFromItsWakeTime) {
  ManualExecutor ex;
  VirtualClock clock([&] { ex.runUntilIdle(); });
  std::vector<std::string> fired;
  Task::spawn(ex.makeStrand(), backoff(clock.sleepFunction(), &clock, &fired));
  ex.runUntilIdle();
  clock.advance(1h);  // one advance covers the whole chain
  EXPECT_EQ(fired, (std::vector<std::string>{"250", "750", "1750"}));
}
