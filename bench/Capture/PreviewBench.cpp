// What the preview costs the process, without a page: a 1280x720 30 fps
// live test pattern through the camera feed, watched by nothing but a bare
// attachment, against the same with the preview answering a page that asks
// for the next frame as soon as it has one, side by side, alternating.
//
//   preview_bench [--rounds N] [--seconds S] [--width W]
//
// Prints CPU seconds per second for both, their difference per shown
// frame, and the frames shown per second.

#include "Capture/CameraFeed.hpp"
#include "Capture/CameraPreview.hpp"
#include "Runtime/Sleep.hpp"
#include "TestCameraSources.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

using namespace veltrano;
using namespace std::chrono_literals;

namespace {

double cpuNow() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3, width = 640;
  double seconds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
    if (!std::strcmp(argv[i], "--width")) width = std::atoi(argv[i + 1]);
  }
  asio::io_context io;
  auto guard = asio::make_work_guard(io);
  std::thread timers([&] { io.run(); });
  auto sources = std::make_shared<testing::PipelineSourceFactory>(testing::testPattern(1280, 720));
  auto preview = CameraPreview::create(sources, {io.get_executor(), makeTimerSleep(io)});
  // The camera stays open throughout: a bare attachment that takes nothing.
  auto keepOpen = sources->feed()->prepare(
      *sources, [](SamplePtr, GstClockTime, bool) {}, {io.get_executor(), makeTimerSleep(io)},
      CameraFeed::Role::watcher);
  keepOpen->startRunning();
  std::this_thread::sleep_for(1s);

  std::vector<double> bare, shown, fps;
  for (int round = 0; round < rounds; ++round) {
    for (const bool withPreview : {round % 2 == 1, round % 2 == 0}) {
      std::atomic<bool> done{false};
      std::atomic<std::uint64_t> frames{0};
      std::thread page;
      if (withPreview) {
        std::atomic<bool> started{false};
        preview->start(width, [&](std::exception_ptr error, CameraPreview::Size) {
          if (error) std::abort();
          started = true;
        });
        while (!started) std::this_thread::sleep_for(1ms);
        page = std::thread([&] {
          std::uint64_t last = 0;
          while (!done) {
            std::mutex mutex;
            std::condition_variable answered;
            bool got = false;
            preview->nextFrame(last, [&](std::optional<CameraPreview::Frame> frame) {
              std::lock_guard lock(mutex);
              if (frame) last = frame->number;
              got = true;
              answered.notify_one();
            });
            std::unique_lock lock(mutex);
            answered.wait(lock, [&] { return got; });
            ++frames;
          }
        });
      }
      const double cpu0 = cpuNow();
      const auto t0 = std::chrono::steady_clock::now();
      std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
      const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      const double cpu = (cpuNow() - cpu0) / wall;
      done = true;
      if (page.joinable()) page.join();
      if (withPreview) {
        preview->stop();
        shown.push_back(cpu);
        fps.push_back(double(frames) / wall);
      } else {
        bare.push_back(cpu);
      }
      std::printf("round %d %s: %.3f CPU s/s%s\n", round, withPreview ? "preview" : "camera ", cpu,
                  withPreview ? (" at " + std::to_string(fps.back()) + " frames/s").c_str() : "");
    }
  }
  const double extra = median(shown) - median(bare);
  std::printf(
      "summary (median of %d): camera alone %.3f s/s, with the preview at %d px %.3f s/s (ratio %.3f), "
      "%.1f frames/s shown, %.2f ms CPU per shown frame\n",
      rounds, median(bare), width, median(shown), median(shown) / median(bare), median(fps),
      1000 * extra / median(fps));
  keepOpen.reset();
  guard.reset();
  io.stop();
  timers.join();
  return 0;
}
