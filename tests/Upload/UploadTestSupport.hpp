#pragma once

#include "Runtime/Linux/MainExecutor.hpp"
#include "Runtime/Task.hpp"
#include "support/TempDir.hpp"

#include <arpa/inet.h>
#include <glib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace veltrano::testing {

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

// An HTTP peer on loopback whose every byte the test writes: for what the
// reference service cannot be made to do. Connections are served one at a
// time on a thread of its own; `script` gets the socket and the request
// (head and Content-Length body).
class ScriptedServer {
 public:
  using Script = std::function<void(int socket, const std::string& request)>;

  explicit ScriptedServer(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedServer() {
    ::shutdown(listener_, SHUT_RDWR);  // ends the accept
    thread_.join();
    ::close(listener_);
  }
  ScriptedServer(const ScriptedServer&) = delete;

  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

  static void send(int socket, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }

 private:
  void serve() {
    for (int connection; (connection = ::accept(listener_, nullptr, nullptr)) >= 0; ::close(connection)) {
      std::string request;
      char buffer[4096];
      std::size_t headEnd;
      while ((headEnd = request.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t n = ::read(connection, buffer, sizeof buffer);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
      if (headEnd == std::string::npos) continue;
      std::size_t length = 0;
      for (std::size_t at = request.find("\r\n"); at < headEnd; at = request.find("\r\n", at + 2)) {
        const std::string line = request.substr(at + 2, request.find("\r\n", at + 2) - at - 2);
        if (::strncasecmp(line.c_str(), "Content-Length:", 15) == 0) length = std::stoul(line.substr(15));
      }
      while (request.size() < headEnd + 4 + length) {
        const ssize_t n = ::read(connection, buffer, sizeof buffer);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
      script_(connection, request);
    }
  }

  Script script_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

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

  // Starts `work` on the main actor; `*error` holds what it threw once the
  // task has finished.
  Task spawn(Awaitable<void> work, std::exception_ptr* error) {
    auto keep = [](Awaitable<void> work, std::exception_ptr* error) -> Awaitable<void> {
      try {
        co_await std::move(work);
      } catch (...) {
        *error = std::current_exception();
      }
    };
    return Task::spawn(main_.get_executor(), keep(std::move(work), error));
  }

  // Runs `work` on the main actor to its end and returns what it threw.
  std::exception_ptr run(Awaitable<void> work, std::chrono::seconds limit = std::chrono::seconds(60),
                         const std::function<void(Task&)>& tick = {}) {
    std::exception_ptr error;
    Task task = spawn(std::move(work), &error);
    if (!iterateUntil([&] { return task.isFinished(); }, limit, [&] { tick ? tick(task) : void(); }))
      throw std::runtime_error("the operation did not end in time");
    return error;
  }

 private:
  GMainContext* glib_;
  MainContext main_;
};

}  // namespace veltrano::testing
