#include "ExtensionInstall/CameraNodeUsage.hpp"
#include "ExtensionInstall/CameraServiceUnit.hpp"
#include "ExtensionTestSupport.hpp"

#include <gtest/gtest.h>

#include <glib.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

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
            "ExecStart=\"/opt/veltrano/lib/VeltranoMac/SystemExtensions/"
            "com.brackwood.VeltranoMac.Camera.systemextension/com_brackwood_VeltranoMac_Camera\"\n"
            "Restart=on-failure\n"
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

std::string node(const std::string& name, const std::string& state) {
  return R"({"id": 40, "type": "PipeWire:Interface:Node", "info": {"state": ")" + state +
         R"(", "props": {"node.name": ")" + name + R"(", "media.class": "Video/Source"}}})";
}

TEST(CameraNodeUsage, FindsTheRunningCameraNodeInARegistryDump) {
  const std::pair<std::string, bool> table[] = {
      {"[" + node("VeltranoCam", "running") + "]", true},
      {"[" + node("v4l2_input.usb", "running") + "," + node("VeltranoCam", "running") + "]", true},
      {"[" + node("VeltranoCam", "idle") + "]", false},
      {"[" + node("VeltranoCam", "suspended") + "]", false},
      {"[" + node("VeltranoCam2", "running") + "]", false},
      {R"([{"id": 3, "type": "PipeWire:Interface:Client", "info": {"state": "running",
           "props": {"node.name": "VeltranoCam"}}}])",
       false},
      {R"([{"type": "PipeWire:Interface:Node", "info": null}, 7, "x"])", false},
      {R"([{"type": "PipeWire:Interface:Node", "info": {"state": "running", "props": []}}])", false},
      {"[]", false},
      {"{}", false},
      {"[" + node("VeltranoCam", "running"), false},
      {"", false},
  };
  for (const auto& [dump, inUse] : table) EXPECT_EQ(cameraNodeRunningInRegistryDump(dump), inUse) << dump;
}

// The real reader: the registry listing comes from a program's output (a
// script standing in for pw-dump here); a program that cannot start or
// hangs answers "not in use" without blocking the loop.
TEST(CameraNodeUsage, ReadsTheListingProgramWithoutBlocking) {
  TempDir dir;
  const auto dump = [&](const std::string& state) {
    writeFile(dir / state, "[" + node("VeltranoCam", state) + "]\n");
    return writeScript(dir / ("dump-" + state), "cat '" + (dir / state).string() + "'");
  };
  const std::pair<std::string, bool> table[] = {
      {dump("running"), true},
      {dump("idle"), false},
      {writeScript(dir / "dump-fails", "echo 'cannot connect' >&2; exit 1"), false},
      {writeScript(dir / "dump-hangs", "exec sleep 30"), false},
      {(dir / "no-such-program").string(), false},
  };
  for (const auto& [program, inUse] : table) {
    SCOPED_TRACE(program);
    std::optional<bool> answer;
    const auto started = std::chrono::steady_clock::now();
    PipeWireCameraNodeUsage::create(nullptr, program, std::chrono::milliseconds(500))->checkInUse([&](bool value) {
      answer = value;
    });
    ASSERT_TRUE(testing::runUntil([&] { return answer.has_value(); }, std::chrono::seconds(10)));
    EXPECT_EQ(*answer, inUse);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  }
}

}  // namespace
}  // namespace veltrano
