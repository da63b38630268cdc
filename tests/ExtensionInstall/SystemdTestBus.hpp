#pragma once

#include "ExtensionTestSupport.hpp"

#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltrano::testing {

// A child process (its stdout on a pipe when `readable`); killed and
// reaped when it goes.
class TestChild {
 public:
  explicit TestChild(const std::vector<std::string>& arguments, bool quiet = false, bool readable = true) {
    std::vector<char*> argv;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    GError* error = nullptr;
    if (!g_spawn_async_with_pipes(
            nullptr, argv.data(), nullptr,
            GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH | (quiet ? G_SPAWN_STDERR_TO_DEV_NULL : 0)),
            nullptr, nullptr, &pid_, nullptr, readable ? &stdout_ : nullptr, nullptr, &error)) {
      std::string message = error->message;
      g_error_free(error);
      throw std::runtime_error("cannot start " + arguments[0] + ": " + message);
    }
  }
  ~TestChild() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    if (stdout_ >= 0) close(stdout_);
  }
  TestChild(const TestChild&) = delete;
  TestChild& operator=(const TestChild&) = delete;

  // The next line on the child's stdout, or throws after `timeout`.
  std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      pollfd p{stdout_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) throw std::runtime_error("no line from child");
      char c;
      if (read(stdout_, &c, 1) != 1) throw std::runtime_error("child closed its output");
      if (c == '\n') return line;
      line += c;
    }
  }

 private:
  GPid pid_ = 0;
  int stdout_ = -1;
};

// A private session bus of the test's own (dbus-daemon) whose address is
// put into DBUS_SESSION_BUS_ADDRESS, so sd_bus_open_user() and every child
// started afterwards use it.
class PrivateSessionBus {
 public:
  explicit PrivateSessionBus(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    const auto config = folder / "bus.conf";
    writeFile(config,
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig><type>session</type><listen>unix:dir=" +
                  folder.string() +
                  "</listen><auth>EXTERNAL</auth>"
                  "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                  "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    daemon_ = std::make_unique<TestChild>(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + config.string(), "--nofork", "--print-address=1"},
        /*quiet=*/true);
    address_ = daemon_->readLine();
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  }
  const std::string& address() const { return address_; }

 private:
  std::unique_ptr<TestChild> daemon_;
  std::string address_;
};

}  // namespace veltrano::testing
