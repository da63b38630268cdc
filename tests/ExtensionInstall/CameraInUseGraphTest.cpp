// The in-use check against a real private PipeWire graph (run under
// tests/support/private-pipewire.sh with a stand-in camera): the camera
// program publishes "VeltranoCam"; it is in use exactly while a consumer
// reads it.
#include "ExtensionInstall/CameraNodeUsage.hpp"
#include "SystemdTestBus.hpp"

#include <glib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

using namespace veltrano;
using namespace std::chrono_literals;
using veltrano::testing::TestChild;

namespace {

// One answer of the real check, with the main context run until it comes.
std::optional<bool> inUse(GMainContext* context) {
  std::optional<bool> answer;
  PipeWireCameraNodeUsage::create(context)->checkInUse([&](bool value) { answer = value; });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!answer && std::chrono::steady_clock::now() < deadline) g_main_context_iteration(context, TRUE);
  return answer;
}

// Asks until the answer is `expected` (the graph settles in its own time).
bool becomes(GMainContext* context, bool expected) {
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (inUse(context) == expected) return true;
    std::this_thread::sleep_for(200ms);
  }
  return false;
}

}  // namespace

TEST(CameraInUseOnARealGraph, RunningOnlyWhileAConsumerReadsTheVirtualCamera) {
  const char* program = std::getenv("VELTRANO_CAMERA_PROGRAM");
  ASSERT_NE(program, nullptr);
  GMainContext* context = g_main_context_new();

  EXPECT_EQ(inUse(context), false) << "no camera node at all";
  TestChild camera({program}, /*quiet=*/false, /*readable=*/false);
  std::this_thread::sleep_for(1s);  // the node appears, idle
  EXPECT_TRUE(becomes(context, false));

  {
    TestChild consumer(
        {"gst-launch-1.0", "-q", "pipewiresrc", "target-object=VeltranoCam", "!", "video/x-raw", "!", "fakesink"},
        /*quiet=*/false, /*readable=*/false);
    EXPECT_TRUE(becomes(context, true)) << "a reading consumer makes the node run";
  }
  EXPECT_TRUE(becomes(context, false)) << "the node goes idle after the last consumer";
  g_main_context_unref(context);
}
