// The shipping camera lookup (SystemCameraSourceFactory) against a private
// PipeWire graph with a stand-in camera, as consecutive answers use it: one
// factory, a lookup and a capture per answer.

#include "Capture/CameraSourceFactory.hpp"
#include "PipeWireStandInCamera.hpp"
#include "TestCameraSources.hpp"

#include <gtest/gtest.h>

#include <gst/app/gstappsink.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>

using namespace veltrano;
using veltrano::testing::pullOneFrame;

namespace {

std::size_t threadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

// One frame through the factory's source, converted as the recorder asks.
void captureOneFrame(ElementPtr source, int cycle) {
  SamplePtr sample = pullOneFrame(std::move(source));
  ASSERT_TRUE(sample) << "no frame in cycle " << cycle;
  const GstStructure* format = gst_caps_get_structure(gst_sample_get_caps(sample.get()), 0);
  int width = 0, height = 0;
  gst_structure_get_int(format, "width", &width);
  gst_structure_get_int(format, "height", &height);
  EXPECT_EQ(width, 320) << "cycle " << cycle;
  EXPECT_EQ(height, 240) << "cycle " << cycle;
  EXPECT_EQ(gst_buffer_get_size(gst_sample_get_buffer(sample.get())), 320U * 240U * 3U / 2U);
}

}  // namespace

// Starting and stopping a device monitor per lookup tore a PipeWire core and
// its thread down beside the camera's stream; glibc then aborted the process
// ("unaligned tcache chunk detected") in about half of all answer starts.
TEST(SystemCamera, EveryLookupOfOneFactoryFindsTheCameraAndCaptures) {
  veltrano::testing::PipeWireStandInCamera camera("StandInCamera", 320, 240, 30);
  SystemCameraSourceFactory factory;
  std::size_t threadsAfterFirstCycles = 0;
  for (int cycle = 0; cycle < 80; ++cycle) {
    ElementPtr source = factory.makeSource();
    ASSERT_TRUE(source) << "no camera found in cycle " << cycle;
    captureOneFrame(std::move(source), cycle);
    if (HasFatalFailure()) return;
    if (cycle == 1) threadsAfterFirstCycles = threadCount();
    // As between answers, the graph settles before the next capture: the
    // stand-in stops sending once its last link is gone. (Debian 12's
    // pipewiresrc can stall on a stream that links while the previous link
    // is still being taken down.)
    for (std::uint64_t sent = camera.framesSent(), checks = 0; checks < 100; ++checks) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (camera.framesSent() == std::exchange(sent, camera.framesSent())) break;
    }
  }
  EXPECT_LE(threadCount(), threadsAfterFirstCycles) << "each lookup left a thread behind";
}
