#pragma once

#include "Runtime/MainExecutor.hpp"
#include "Runtime/Task.hpp"

#include <glib.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace veltrano::testing {

// A fresh folder under the system's temporary folder, removed afterwards.
struct TempDir {
  TempDir() { std::filesystem::create_directories(path); }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir&) = delete;
  std::filesystem::path operator/(const std::string& name) const { return path / name; }

  const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("veltrano-upload-test-" + std::to_string(std::random_device()()) +
                                      std::to_string(std::random_device()()));
};

inline void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Bytes that differ from position to position, so a shifted or truncated
// copy never compares equal.
inline std::string patternBytes(std::size_t size, std::uint32_t seed = 1) {
  std::string out(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& c : out) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  return out;
}

// Polls `done` from this thread (the service and driver work on their own).
inline bool waitFor(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Every regular file below `dir`: objects and temporary files alike.
inline std::vector<std::filesystem::path> filesUnder(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> out;
  if (!std::filesystem::exists(dir)) return out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
    if (entry.is_regular_file()) out.push_back(entry.path());
  return out;
}

// The test thread acts as the main thread: a private GLib context it
// iterates itself.
class MainThread {
 public:
  MainThread() : glib_(g_main_context_new()), main_(glib_) { g_main_context_push_thread_default(glib_); }
  ~MainThread() {
    g_main_context_pop_thread_default(glib_);
    g_main_context_unref(glib_);
  }

  MainContext& context() noexcept { return main_; }

  // Iterates without ever blocking until `done` holds or `limit` passes;
  // `tick` runs between iterations (the test's own checks).
  bool iterateUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(60),
                    const std::function<void()>& tick = {}) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (!g_main_context_iteration(glib_, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (tick) tick();
    }
    return true;
  }

  // Runs `work` on the main actor to its end and returns what it threw.
  std::exception_ptr run(Awaitable<void> work, std::chrono::seconds limit = std::chrono::seconds(60),
                         const std::function<void(Task&)>& tick = {}) {
    Task task = Task::spawn(main_.get_executor(), std::move(work));
    std::exception_ptr error;
    bool finished = false;
    auto joinAndKeep = [](Task t, std::exception_ptr* out, bool* done) -> Awaitable<void> {
      try {
        co_await t.join();
      } catch (...) {
        *out = std::current_exception();
      }
      *done = true;
    };
    auto joiner = joinAndKeep(task, &error, &finished);
    Task::spawn(main_.get_executor(), std::move(joiner));
    const bool ended = iterateUntil([&] { return finished; }, limit, [&] {
      if (tick) tick(task);
    });
    if (!ended) throw std::runtime_error("the operation did not end in time");
    return error;
  }

 private:
  GMainContext* glib_;
  MainContext main_;
};

}  // namespace veltrano::testing
