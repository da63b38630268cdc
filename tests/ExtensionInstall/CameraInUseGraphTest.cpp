// The in-use check against a real private PipeWire graph (run under
// tests/support/private-pipewire.sh with a stand-in camera): the camera
// program publishes "VeltranoCam"; it is in use exactly while a consumer
// reads it. The program also tells systemd it is ready once published.
#include "ExtensionInstall/Linux/PipeWireCameraNodeUsage.hpp"
#include "SystemdTestBus.hpp"

#include <glib.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

using namespace veltrano;
using namespace std::chrono_literals;
using veltrano::testing::TestChild;

namespace {

// One answer of the real check, with the main context run until it comes.
std::optional<CameraNodeState> inUse(GMainContext* context) {
  std::optional<CameraNodeState> answer;
  PipeWireCameraNodeUsage::create(context)->checkInUse([&](CameraNodeState value) { answer = value; });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!answer && std::chrono::steady_clock::now() < deadline) g_main_context_iteration(context, TRUE);
  return answer;
}

// Asks until the answer is `expected` (the graph settles in its own time).
bool becomes(GMainContext* context, CameraNodeState expected) {
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

  EXPECT_EQ(inUse(context), CameraNodeState::idle) << "no camera node at all";
  // systemd's notification socket, as a Type=notify unit gets it.
  const std::string notifyPath = "/tmp/veltrano-notify-" + std::to_string(getpid());
  const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", notifyPath.c_str());
  ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  setenv("NOTIFY_SOCKET", notifyPath.c_str(), 1);
  TestChild camera({program}, /*quiet=*/false, /*readable=*/false);
  unsetenv("NOTIFY_SOCKET");
  pollfd ready{notify, POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 15000), 1) << "the camera program never told systemd it is ready";
  char message[256] = {};
  (void)!recv(notify, message, sizeof message - 1, 0);
  EXPECT_EQ(std::string(message), "READY=1");
  close(notify);
  unlink(notifyPath.c_str());
  EXPECT_EQ(inUse(context), CameraNodeState::idle) << "ready means published: the node is there, idle";

  {
    TestChild consumer(
        {"gst-launch-1.0", "-q", "pipewiresrc", "target-object=VeltranoCam", "!", "video/x-raw", "!", "fakesink"},
        /*quiet=*/false, /*readable=*/false);
    EXPECT_TRUE(becomes(context, CameraNodeState::inUse)) << "a reading consumer makes the node run";
  }
  EXPECT_TRUE(becomes(context, CameraNodeState::idle)) << "the node goes idle after the last consumer";
  g_main_context_unref(context);
}
