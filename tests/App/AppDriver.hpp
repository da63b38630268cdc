#pragma once

// Drives the end-to-end host (AppEndToEndHost.cpp) and the reference upload
// service from another process: spawning, page scripts over the host's
// stdin/stdout, signals and exit. Shared by the end-to-end test and the
// application benchmark.

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace veltrano::testing {

inline long long monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

inline long long wallMs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A child with its stdin and stdout on pipes and its stderr in a file;
// killed if still running when this goes.
class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> args, const std::filesystem::path& stderrFile) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Under LeakSanitizer the child's exit check stays off: a module GTK
    // loads for the display leaves blocks with no frames to name or
    // suppress. Address and undefined-behaviour checks stay on.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      env.emplace_back(*e);
      if (env.back().rfind("ASAN_OPTIONS=", 0) == 0) env.back() += ":detect_leaks=0";
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    startedMs_ = monotonicMs();
  }
  ~ChildProcess() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (stdin_ >= 0) ::close(stdin_);
    if (stdout_ >= 0) ::close(stdout_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  long long startedMs() const { return startedMs_; }
  void signal(int number) const { ::kill(pid_, number); }

  // The next line of its stdout, or nothing once `timeout` passed or the
  // pipe closed.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
    const long long until = monotonicMs() + timeout.count();
    for (;;) {
      if (const auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      const long long left = until - monotonicMs();
      if (left <= 0) return std::nullopt;
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(stdout_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  void writeLine(const std::string& line) const {
    const std::string text = line + "\n";
    if (::write(stdin_, text.data(), text.size()) < 0) return;
  }

  // The exit status (128 + signal for a signal), or nothing if it is still
  // running after `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
    const long long until = monotonicMs() + timeout.count();
    while (!status_ && monotonicMs() < until) {
      int raw = 0;
      if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        exitMs_ = monotonicMs();
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    return status_;
  }
  long long exitMs() const { return exitMs_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
  std::string buffer_;
  std::optional<int> status_;
  long long startedMs_ = 0, exitMs_ = 0;
};

// The end-to-end host: the app with a test camera, test folders and a page
// it runs scripts in.
class AppDriver : public ChildProcess {
 public:
  struct Options {
    std::filesystem::path bundle, data, log, stderrFile;
    std::string camera = "320x240";
  };
  AppDriver(const std::string& host, const Options& o)
      : ChildProcess({host, "--bundle", o.bundle.string(), "--data", o.data.string(), "--camera", o.camera, "--log",
                      o.log.string()},
                     o.stderrFile) {}

  // The value of `script` (the body of an async function) in the page, or
  // nothing when the call failed, there is no page yet, or no reply came.
  std::optional<nlohmann::json> run(const std::string& script,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const long long id = ++lastId_;
    writeLine(nlohmann::json{{"id", id}, {"script", script}}.dump());
    const long long until = monotonicMs() + timeout.count();
    while (monotonicMs() < until) {
      const auto line = readLine(std::chrono::milliseconds(until - monotonicMs()));
      if (!line) break;
      if (line->rfind("reply ", 0) != 0) continue;
      auto reply = nlohmann::json::parse(line->substr(6), nullptr, false);
      if (!reply.is_object() || reply.value("id", -1LL) != id) continue;
      if (reply["value"].is_null()) return std::nullopt;
      return reply["value"];
    }
    return std::nullopt;
  }

  // Polls until `condition` (a script returning a boolean) holds.
  bool waitUntil(const std::string& condition, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const long long until = monotonicMs() + timeout.count();
    while (monotonicMs() < until) {
      const auto value = run("return !!(" + condition + ");", std::chrono::seconds(5));
      if (value && value->is_boolean() && value->get<bool>()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // A bridge call from the page: {"ok": true, "data": …} or {"ok": false,
  // "code": …, "message": …}.
  nlohmann::json call(const std::string& method, const nlohmann::json& payload,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    auto value =
        run("return await window.__call(" + nlohmann::json(method).dump() + ", " + payload.dump() + ");", timeout);
    return value ? *value : nlohmann::json{{"ok", false}, {"code", "no_reply"}};
  }

 private:
  long long lastId_ = 0;
};

// The reference upload service on a free loopback port.
class UploadServiceProcess : public ChildProcess {
 public:
  UploadServiceProcess(const std::string& program, const std::filesystem::path& storage,
                       const std::vector<std::string>& tokens, const std::filesystem::path& stderrFile)
      : ChildProcess(arguments(program, storage, tokens), stderrFile) {
    endpoint = readLine(std::chrono::seconds(10)).value_or("");
    const auto path = endpoint.find('/', endpoint.find("//") + 2);
    base = endpoint.substr(0, path);
  }
  std::string endpoint;  // the signed-URL endpoint, as Info.json takes it
  std::string base;      // scheme, host and port

 private:
  static std::vector<std::string> arguments(const std::string& program, const std::filesystem::path& storage,
                                            const std::vector<std::string>& tokens) {
    std::vector<std::string> args{program, "--listen", "127.0.0.1:0", "--storage", storage.string(), "--test-controls"};
    for (const auto& token : tokens) args.insert(args.end(), {"--token", token});
    return args;
  }
};

}  // namespace veltrano::testing
