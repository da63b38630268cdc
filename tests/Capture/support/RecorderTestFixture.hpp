#pragma once

// The recorder tests' main actor, virtual clock and request helpers.

#include "Capture/WebcamRecorder.hpp"
#include "Runtime/Linux/MainExecutor.hpp"
#include "Runtime/Task.hpp"
#include "support/VirtualClock.hpp"

#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>

namespace veltrano::testing {

using namespace std::chrono_literals;

struct Outcome {
  bool done = false;
  std::exception_ptr error;
  std::filesystem::path file;
};

// Awaits a request and keeps its outcome.
template <typename T>
Awaitable<void> await(Awaitable<T> request, std::shared_ptr<Outcome> out) {
  try {
    if constexpr (std::is_same_v<T, std::filesystem::path>)
      out->file = co_await std::move(request);
    else
      co_await std::move(request);
  } catch (...) {
    out->error = std::current_exception();
  }
  out->done = true;
}

// The error as an E (the very object thrown), or nullptr.
template <typename E>
const E* errorAs(const std::exception_ptr& error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const E& e) {
    return &e;
  } catch (...) {
  }
  return nullptr;
}

inline std::string fileContent(const std::filesystem::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::optional<RecorderError::Case> recorderCase(const std::exception_ptr& error) {
  auto* e = errorAs<RecorderError>(error);
  return e ? std::optional(e->kind()) : std::nullopt;
}

inline std::string describe(const std::exception_ptr& error) {
  auto* e = errorAs<std::exception>(error);
  return e ? e->what() : "(success)";
}

// What a process holds, for resource tests: descriptors, threads and
// resident memory.
struct ProcessResources {
  long fds = 0;
  long threads = 0;
  long rssKiB = 0;
};

inline long entriesIn(const char* folder) {
  long count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
  return count;
}

// Freed memory is handed back first, so that resident memory is what is
// still in use rather than what malloc's per-thread arenas keep at hand.
inline ProcessResources processResources() {
  malloc_trim(0);
  ProcessResources now{entriesIn("/proc/self/fd"), entriesIn("/proc/self/task"), 0};
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  now.rssKiB = resident * (sysconf(_SC_PAGESIZE) / 1024);
  return now;
}

// The test thread is the main actor: a private GLib context it iterates.
// Sleeps of the recorder (the first-frame wait) run on a virtual clock.
class RecorderTest : public ::testing::Test {
 protected:
  RecorderTest() : glib_(g_main_context_new()), main_(glib_), clock_([this] { drainMain(); }) {
    g_main_context_push_thread_default(glib_);
    ensureGStreamer();
    dir_ = std::filesystem::temp_directory_path() / ("veltrano-recorder-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(dir_);
  }
  ~RecorderTest() override {
    drainMain();
    g_main_context_pop_thread_default(glib_);
    g_main_context_unref(glib_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void drainMain() {
    while (g_main_context_iteration(glib_, FALSE)) {
    }
  }
  // Iterates the main actor until `done`, or for `limit` (which, for a
  // request, only keeps a broken build from hanging).
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (!g_main_context_iteration(glib_, FALSE)) std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  // Keeps the main actor running while the camera records.
  void record(std::chrono::milliseconds duration) {
    runUntil([] { return false; }, duration);
  }

  std::shared_ptr<WebcamRecorder> makeRecorder(std::shared_ptr<CameraSourceFactory> sources) {
    return WebcamRecorder::create(std::move(sources), clock_.sleepFunction());
  }
  // Runs a request on the main actor; `wait` runs it to its completion.
  template <typename T>
  std::shared_ptr<Outcome> run(Awaitable<T> request, bool wait = true) {
    auto out = std::make_shared<Outcome>();
    Task::spawn(main_.get_executor(), await(std::move(request), out));
    EXPECT_TRUE(!wait || runUntil([&] { return out->done; })) << "request never completed";
    return out;
  }

  // Lets the shared camera's linger run out; true once the camera is closed.
  bool lingerOut(CameraSourceFactory& sources) {
    drainMain();
    clock_.advance(CameraFeed::kLinger);
    return runUntil([&] { return !sources.feed()->isOpen(); }, 10s);
  }

  std::filesystem::path clip(const std::string& name = "clip") const { return dir_ / (name + ".mp4"); }

  GMainContext* glib_;
  MainContext main_;
  VirtualClock clock_;
  std::filesystem::path dir_;
};

}  // namespace veltrano::testing
