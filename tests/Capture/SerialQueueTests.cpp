#include "Capture/SerialQueue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <vector>

using veltrano::SerialQueue;

TEST(SerialQueue, RunsBlocksOneAtATimeInOrderOnItsOwnThread) {
  SerialQueue queue("com.example.test.queue");
  std::promise<void> gate;
  auto opened = gate.get_future().share();
  std::vector<int> order;  // touched only on the queue
  for (int i = 0; i < 50; ++i) {
    queue.async([&, i, opened] {
      // Everything else piles up behind the first block; a block run beside
      // it would come first.
      if (i == 0) opened.wait();
      order.push_back(i);
    });
  }
  gate.set_value();
  bool onQueue = false;
  queue.sync([&] { onQueue = queue.isCurrent(); });
  EXPECT_TRUE(onQueue);
  EXPECT_FALSE(queue.isCurrent());
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
}

TEST(SerialQueue, WaitsAcrossQueuesRunsQueuedWorkBeforeDestructionAndMayBeReleasedFromItsOwnBlock) {
  auto inner = std::make_unique<SerialQueue>("inner");
  SerialQueue outer("outer");
  int value = 0;
  outer.sync([&] { inner->sync([&] { value = 42; }); });
  EXPECT_EQ(value, 42);

  // Work still queued when the queue goes away runs first (it may hold a
  // caller's completion).
  std::promise<void> gate;
  auto opened = gate.get_future().share();
  std::atomic<int> ran{0};
  inner->async([opened] { opened.wait(); });
  for (int i = 0; i < 10; ++i) inner->async([&] { ran.fetch_add(1); });
  gate.set_value();
  inner.reset();
  EXPECT_EQ(ran.load(), 10);

  // The last owner released on the queue's own thread: no deadlock.
  auto shared = std::make_shared<SerialQueue>("self-release");
  std::promise<void> done;
  auto finished = done.get_future();
  auto* raw = shared.get();
  raw->async([queue = std::move(shared), &done]() mutable {
    queue.reset();
    done.set_value();
  });
  EXPECT_EQ(finished.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}
