#include "ExtensionInstall/Linux/CameraServiceUnit.hpp"
#include "ExtensionInstall/Linux/PipeWireCameraNodeUsage.hpp"
#include "ExtensionTestSupport.hpp"

#include <gtest/gtest.h>

#include <glib.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

namespace veltrano {
namespace {

using testing::TempDir;
using testing::writeFile;
using testing::writeScript;

TEST(CameraServiceUnit, HoldsTheProgramVersionRestartAndInstallTarget) {
  EXPECT_EQ(renderCameraServiceUnit("/opt/veltrano/lib/VeltranoMac/SystemExtensions/"
                                    "com.brackwood.VeltranoMac.Camera.systemextension/com_brackwood_VeltranoMac_Camera",
                                    "1.2.3"),
            "[Unit]\n"
            "Description=VeltranoCam virtual camera\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=\"/opt/veltrano/lib/VeltranoMac/SystemExtensions/"
            "com.brackwood.VeltranoMac.Camera.systemextension/com_brackwood_VeltranoMac_Camera\"\n"
            "Restart=on-failure\n"
            "Environment=\"VELTRANO_VERSION=1.2.3\"\n"
            "X-Veltrano-Version=1.2.3\n"
            "\n"
            "[Install]\n"
            "WantedBy=default.target\n");
}

TEST(CameraServiceUnit, QuotesPathsAsOneSystemdWord) {
  EXPECT_EQ(quoteSystemdExecPath("/a b/c"), "\"/a b/c\"");
  EXPECT_EQ(quoteSystemdExecPath("/caf\xc3\xa9/x"), "\"/caf\\xc3\\xa9/x\"");
  EXPECT_EQ(quoteSystemdExecPath("/100%/$HOME"), "\"/100%%/$HOME\"");
  EXPECT_EQ(quoteSystemdExecPath("/100%/$HOME", true), "\"/100%%/$$HOME\"");
  EXPECT_EQ(quoteSystemdExecPath("/q\"b\\s"), "\"/q\\\"b\\\\s\"");
  EXPECT_EQ(quoteSystemdExecPath("/t\tn\n"), "\"/t\\x09n\\x0a\"");
  EXPECT_EQ(systemdExecStart("/a b/\xc3\xa9 $x;%"), "\"/a b/\\xc3\\xa9 $x;%%\"");
  EXPECT_EQ(systemdExecStart("/it's/$x"), "/usr/bin/env \"/it's/$$x\"");
}

// systemd's own parser accepts the unit and resolves its ExecStart to the
// real program for awkward bundle locations: `systemd-analyze verify`
// fails when the command it reads is not an executable file (and refuses
// program paths with quotes or backslashes, which go through env).
TEST(CameraServiceUnit, SystemdFindsTheProgramBehindAwkwardPaths) {
  const char* analyze = "/usr/bin/systemd-analyze";
  if (!g_file_test(analyze, G_FILE_TEST_IS_EXECUTABLE)) GTEST_SKIP() << "systemd-analyze is not installed";
  TempDir dir;
  for (const std::string folder : {"Veltrano \xc3\xa9t\xc3\xa9 100% $HOME;x", "it's \"q\" back\\slash"}) {
    const auto program = dir / folder / "com_brackwood_VeltranoMac_Camera";
    writeScript(program, "exit 0");
    for (const bool present : {true, false}) {
      SCOPED_TRACE(folder + (present ? " present" : " missing"));
      const auto unit = dir / "com.brackwood.VeltranoMac.Camera.service";
      writeFile(unit, renderCameraServiceUnit(present ? program : dir / "missing program", "1.0"));
      const std::string command = std::string(analyze) + " verify '" + unit.string() + "' >/dev/null 2>&1";
      EXPECT_EQ(std::system(command.c_str()) == 0, present);
    }
  }
}

TEST(CameraServiceUnit, ReadsTheRecordedVersion) {
  const std::pair<std::string, std::optional<std::string>> table[] = {
      {renderCameraServiceUnit("/p", "2.0"), "2.0"},
      {renderCameraServiceUnit("/p", ""), ""},
      {"X-Veltrano-Version=0.9", "0.9"},
      {"[Service]\n X-Veltrano-Version=1\n", std::nullopt},
      {"garbage\x01\x02", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, version] : table) EXPECT_EQ(cameraServiceUnitVersion(text), version) << text;
  // A version with a line break stays on its line.
  EXPECT_EQ(cameraServiceUnitVersion(renderCameraServiceUnit("/p", "1\n[Service]")), "1 [Service]");
}

TEST(CameraServiceUnit, TheRunningVersionComesFromTheProcessEnvironment) {
  using namespace std::string_literals;
  const std::pair<std::string, std::optional<std::string>> table[] = {
      {"HOME=/root\0VELTRANO_VERSION=1.2\0PATH=/bin\0"s, "1.2"},
      {"VELTRANO_VERSION=\0"s, ""},
      {"VELTRANO_VERSION=3.0"s, "3.0"},
      {"XVELTRANO_VERSION=1\0VELTRANO_VERSIONS=2\0"s, std::nullopt},
      {"HOME=/root\0"s, std::nullopt},
      {""s, std::nullopt},
  };
  for (const auto& [environ, version] : table) EXPECT_EQ(cameraVersionInEnvironment(environ), version) << environ;
}

// A PipeWire daemon that misbehaves: nothing listens, it accepts and never
// answers, it answers with bytes that are no protocol, or it hangs up.
enum class Daemon { absent, silent, garbage, hangsUp };

class FakeDaemon {
 public:
  FakeDaemon(const std::filesystem::path& path, Daemon kind) : kind_(kind) {
    if (kind == Daemon::absent) return;
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener_, 4), 0);
    thread_ = std::thread([this] {
      const int client = accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      char buffer[4096];
      if (kind_ == Daemon::hangsUp) {
        close(client);
        return;
      }
      (void)!read(client, buffer, sizeof buffer);
      if (kind_ == Daemon::garbage) {
        std::memset(buffer, 0xff, 256);
        (void)!write(client, buffer, 256);
      }
      pollfd p{client, POLLIN, 0};
      while (!stopping_ && poll(&p, 1, 50) >= 0)
        if ((p.revents & POLLIN) && read(client, buffer, sizeof buffer) <= 0) break;
      close(client);
    });
  }
  ~FakeDaemon() {
    stopping_ = true;
    if (listener_ >= 0) shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
  }

 private:
  Daemon kind_;
  int listener_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// The real registry reader never guesses "idle": whatever keeps it from
// reading the registry is "unknown", within its timeout and without
// blocking the main loop.
TEST(PipeWireCameraNodeUsage, AnswersUnknownWhenTheRegistryCannotBeRead) {
  TempDir dir;
  const std::pair<Daemon, const char*> table[] = {{Daemon::absent, "absent"},
                                                  {Daemon::silent, "silent"},
                                                  {Daemon::garbage, "garbage"},
                                                  {Daemon::hangsUp, "hangsUp"}};
  for (const auto& [kind, name] : table) {
    SCOPED_TRACE(name);
    const auto socketPath = dir / name;
    FakeDaemon daemon(socketPath, kind);
    setenv("PIPEWIRE_REMOTE", socketPath.c_str(), 1);
    std::optional<CameraNodeState> answer;
    int ticks = 0;
    const guint ticker = g_timeout_add(
        20,
        [](gpointer data) -> gboolean {
          ++*static_cast<int*>(data);
          return G_SOURCE_CONTINUE;
        },
        &ticks);
    const auto started = std::chrono::steady_clock::now();
    PipeWireCameraNodeUsage::create(nullptr, std::chrono::milliseconds(700))->checkInUse([&](CameraNodeState state) {
      answer = state;
    });
    ASSERT_TRUE(testing::runUntil([&] { return answer.has_value(); }, std::chrono::seconds(10)));
    g_source_remove(ticker);
    EXPECT_EQ(*answer, CameraNodeState::unknown);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::seconds(3));
    if (kind == Daemon::silent) {
      EXPECT_GE(took, std::chrono::milliseconds(650)) << "answered before its timeout";
      EXPECT_GT(ticks, 15) << "the main loop kept running meanwhile";
    }
  }
  unsetenv("PIPEWIRE_REMOTE");
}

}  // namespace
}  // namespace veltrano
