#pragma once

// The npm-installed stand-ins the end-to-end tests run against, each a node
// process of its own: the identity emulator (firebase-tools) and an S3
// server that checks Signature V4 (s3rver). The test command installs the
// packages (scripts/node-packages.sh) and names them in the environment:
//   VELTRANO_NODE_MODULES  the folder holding node_modules
//   VELTRANO_NODE          the node to run them with (default: node on PATH)

#include "support/TempDir.hpp"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace veltrano::testing {

inline std::string requiredEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) throw std::runtime_error(std::string(name) + " is not set; run through the test command");
  return value;
}

inline std::string nodeProgram() {
  const char* node = std::getenv("VELTRANO_NODE");
  return node && *node ? node : "node";
}

// A loopback port free right now (for programs that want one named).
inline int freePort() {
  const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    address.sin_port = 0;
  ::close(sock);
  return ntohs(address.sin_port);
}

// A child (a node program, or the service's own) with its stdout on a pipe
// and its stderr in a file; stopped with `stopSignal` (then SIGKILL after
// 10 s) when it goes.
class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> args, const std::filesystem::path& cwd, const std::filesystem::path& stderrFile,
               std::vector<std::string> extraEnvironment = {}, int stopSignal = SIGTERM)
      : stopSignal_(stopSignal) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env(extraEnvironment);
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int err = ::open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    // fork rather than posix_spawn for PR_SET_PDEATHSIG: a test program that
    // crashes or is killed on a timeout takes its servers with it.
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err, STDERR_FILENO);
      if (::chdir(cwd.c_str()) == 0) ::execvpe(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err);
    stdout_ = out[0];
    if (pid_ < 0) throw std::runtime_error("cannot start " + args[0]);
  }
  ~ChildProcess() {
    ::kill(pid_, stopSignal_);
    for (int i = 0; i < 1000; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(stdout_);
  }
  ChildProcess(const ChildProcess&) = delete;

  // The next line on its stdout, or nothing within `limit`.
  std::optional<std::string> readLine(std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (const auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd fd{stdout_, POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(stdout_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  int stopSignal_;
  std::string buffer_;
};

// s3rver 4.0.4 on a free loopback port with one bucket; keys S3RVER/S3RVER.
class S3Server {
 public:
  S3Server(const std::filesystem::path& dir, const std::string& bucket)
      : directory_(dir / "s3"),
        process_({nodeProgram(), VELTRANO_NODE_TOOLS_DIR "/s3-server.js", directory_.string(), bucket}, dir,
                 dir / "s3-server.err",
                 {"NODE_PATH=" + requiredEnvironment("VELTRANO_NODE_MODULES") + "/node_modules"}) {
    const auto line = process_.readLine(std::chrono::seconds(30)).value_or("");
    if (line.rfind("listening ", 0) != 0)
      throw std::runtime_error("s3rver did not start: " + readFile(dir / "s3-server.err"));
    endpoint_ = line.substr(10);
  }
  const std::string& endpoint() const { return endpoint_; }
  // Where s3rver keeps an object's bytes.
  std::filesystem::path objectFile(const std::string& bucket, const std::string& key) const {
    return directory_ / bucket / (key + "._S3rver_object");
  }

 private:
  std::filesystem::path directory_;
  ChildProcess process_;
  std::string endpoint_;
};

// The identity emulator (auth only) for a demo- project, on free ports, its
// UI off (a download), offline.
class IdentityEmulator {
 public:
  IdentityEmulator(const std::filesystem::path& dir, std::string project)
      : project_(std::move(project)), port_(freePort()), process_(start(dir, project_, port_)) {
    httplib::Client probe("127.0.0.1", port_);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < until) {
      if (auto reply = probe.Get("/"); reply && reply->status == 200) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("the identity emulator did not start: " + readFile(dir / "emulator.out"));
  }

  const std::string& project() const { return project_; }

  struct SignedIn {
    std::string idToken;
    std::string uid;
  };
  // An email-link sign-in through the emulator's REST API, as the web app's
  // SDK does it: send the link, read it back, complete it.
  SignedIn signInWithEmailLink(const std::string& email) {
    httplib::Client http("127.0.0.1", port_);
    const auto sent = http.Post("/identitytoolkit.googleapis.com/v1/accounts:sendOobCode?key=fake-api-key",
                                nlohmann::json{{"requestType", "EMAIL_SIGNIN"},
                                               {"email", email},
                                               {"continueUrl", "https://example.org/signed-in"},
                                               {"canHandleCodeInApp", true}}
                                    .dump(),
                                "application/json");
    const auto codes = http.Get("/emulator/v1/projects/" + project_ + "/oobCodes");
    if (!sent || sent->status != 200 || !codes) throw std::runtime_error("the emulator sent no sign-in link");
    std::string code;
    const auto sentCodes = nlohmann::json::parse(codes->body);
    for (const auto& entry : sentCodes["oobCodes"])
      if (entry["email"] == email) code = entry["oobCode"].get<std::string>();
    const auto done = http.Post("/identitytoolkit.googleapis.com/v1/accounts:signInWithEmailLink?key=fake-api-key",
                                nlohmann::json{{"email", email}, {"oobCode", code}}.dump(), "application/json");
    if (!done || done->status != 200)
      throw std::runtime_error("the emulator refused the sign-in link: " +
                               (done ? done->body : std::string("no answer")));
    const auto reply = nlohmann::json::parse(done->body);
    return {reply["idToken"].get<std::string>(), reply["localId"].get<std::string>()};
  }

 private:
  static ChildProcess start(const std::filesystem::path& dir, const std::string& project, int port) {
    writeFile(dir / "firebase.json", nlohmann::json{{"emulators",
                                                     {{"auth", {{"host", "127.0.0.1"}, {"port", port}}},
                                                      {"hub", {{"host", "127.0.0.1"}, {"port", freePort()}}},
                                                      {"logging", {{"host", "127.0.0.1"}, {"port", freePort()}}},
                                                      {"ui", {{"enabled", false}}},
                                                      {"singleProjectMode", true}}}}
                                         .dump());
    const std::string cli =
        requiredEnvironment("VELTRANO_NODE_MODULES") + "/node_modules/firebase-tools/lib/bin/firebase.js";
    // SIGINT is the emulator's own clean stop.
    return ChildProcess({nodeProgram(), cli, "emulators:start", "--only", "auth", "--project", project, "--config",
                         (dir / "firebase.json").string()},
                        dir, dir / "emulator.out",
                        {"FIREBASE_CLI_DISABLE_UPDATE_CHECK=1", "XDG_CONFIG_HOME=" + (dir / "config").string()},
                        SIGINT);
  }

  std::string project_;
  int port_;
  ChildProcess process_;
};

}  // namespace veltrano::testing
