#include "CameraWorkQueue.hpp"
#include "Identity.hpp"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <vector>

namespace veltranocam {
namespace {

TEST(CameraWorkQueue, RunsTasksInOrderOnOneNamedThreadAndFinishesThemOnDestruction) {
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  std::string name;
  {
    CameraWorkQueue queue(kCaptureQueueLabel);
    EXPECT_EQ(queue.label(), "com.brackwood.veltranoMac.camera.capture");
    queue.dispatch([&] {
      char buffer[16] = {};
      pthread_getname_np(pthread_self(), buffer, sizeof buffer);
      name = buffer;
    });
    for (int i = 0; i < 100; ++i)
      queue.dispatch([&, i] {
        order.push_back(i);
        threads.push_back(std::this_thread::get_id());
      });
    queue.drain();
    EXPECT_EQ(order.size(), 100u);
    for (int i = 0; i < 50; ++i) queue.dispatch([&, i] { order.push_back(100 + i); });
  }
  ASSERT_EQ(order.size(), 150u);
  for (int i = 0; i < 150; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(name, "camera.capture");
  for (auto id : threads) EXPECT_EQ(id, threads.front());
  EXPECT_NE(threads.front(), std::this_thread::get_id());
}

}  // namespace
}  // namespace veltranocam
