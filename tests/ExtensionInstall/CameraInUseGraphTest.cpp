// The in-use check against a real private PipeWire graph (run under
// tests/support/private-pipewire.sh with a stand-in camera): the camera
// program publishes "VeltranoCam"; it is in use exactly while a consumer
// reads it.
#include "ExtensionInstall/CameraNodeUsage.hpp"

#include <glib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

extern char** environ;

using namespace veltrano;
using namespace std::chrono_literals;

namespace {

class Program {
 public:
  explicit Program(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0) pid_ = -1;
  }
  ~Program() { stop(); }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  bool running() const { return pid_ > 0; }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

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
  Program camera({program});
  ASSERT_TRUE(camera.running());
  std::this_thread::sleep_for(1s);  // the node appears, idle
  EXPECT_TRUE(becomes(context, false));

  {
    Program consumer(
        {"gst-launch-1.0", "-q", "pipewiresrc", "target-object=VeltranoCam", "!", "video/x-raw", "!", "fakesink"});
    ASSERT_TRUE(consumer.running());
    EXPECT_TRUE(becomes(context, true)) << "a reading consumer makes the node run";
  }
  EXPECT_TRUE(becomes(context, false)) << "the node goes idle after the last consumer";
  camera.stop();
  g_main_context_unref(context);
}
