// The camera choice in settings.json: what a file on disk means, and what a
// choice leaves on disk.

#include "Capture/CameraSettings.hpp"
#include "Capture/CameraSourceFactory.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/TempDir.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using namespace veltrano;
using namespace veltrano::testing;

namespace {

std::vector<std::string> filesIn(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) names.push_back(entry.path().filename());
  return names;
}

}  // namespace

// What a restart reads: the factory takes its choice from the file.
TEST(CameraSettings, AFileMeansAChoiceOnlyWhenItIsAnObjectWithACameraId) {
  struct Row {
    const char* what;
    std::optional<std::string> content;  // nullopt: no file
    std::optional<std::string> selected;
    bool warned;
  };
  for (const auto& [what, content, selected, warned] : std::vector<Row>{
           {"missing", std::nullopt, std::nullopt, false},
           {"empty", "", std::nullopt, true},
           {"not JSON", R"({"camera": "pipewire:Desk")", std::nullopt, true},
           {"not an object", R"(["pipewire:Desk"])", std::nullopt, true},
           {"a number", R"({"camera": 42})", std::nullopt, true},
           {"an empty id", R"({"camera": ""})", std::nullopt, true},
           {"null", R"({"camera": null})", std::nullopt, false},
           {"no camera key", R"({"theme": "dark"})", std::nullopt, false},
           {"valid", R"({"theme": "dark", "camera": "pipewire:Desk"})", "pipewire:Desk", false},
       }) {
    SCOPED_TRACE(what);
    TempDir data;
    if (content) writeFile(data / "settings.json", *content);
    LogCapture log;
    EXPECT_EQ(SystemCameraSourceFactory(data / "settings.json").selectedCamera(), selected);
    EXPECT_EQ(log->messages("CameraChoice", LogLevel::error).size(), warned ? 1u : 0u);
    // Reading never repairs or removes the file; only a choice rewrites it.
    EXPECT_EQ(std::filesystem::exists(data / "settings.json"), content.has_value());
    if (content) {
      EXPECT_EQ(readFile(data / "settings.json"), *content);
    }
  }
}

TEST(CameraSettings, AChoiceRewritesOnlyTheCameraAndLeavesNoTemporaryFileBehind) {
  struct Row {
    const char* what;
    std::optional<std::string> before;
    std::optional<std::string> chosen;
    nlohmann::json after;
  };
  for (const auto& [what, before, chosen, after] : std::vector<Row>{
           {"first choice", std::nullopt, "v4l2:usb-1", {{"camera", "v4l2:usb-1"}}},
           {"other keys kept",
            R"({"theme": "dark", "camera": "old", "n": [1, 2]})",
            "new",
            {{"theme", "dark"}, {"camera", "new"}, {"n", {1, 2}}}},
           {"back to the default", R"({"theme": "dark", "camera": "old"})", std::nullopt, {{"theme", "dark"}}},
           {"damaged file replaced", "{not json", "x", {{"camera", "x"}}},
           {"wrong type replaced", "[1]", "x", {{"camera", "x"}}},
       }) {
    SCOPED_TRACE(what);
    TempDir data;
    const auto file = data / "settings.json";
    if (before) writeFile(file, *before);
    writeCameraSetting(file, chosen);
    EXPECT_EQ(nlohmann::json::parse(readFile(file)), after);
    EXPECT_EQ(filesIn(data.path), std::vector<std::string>{"settings.json"});
    EXPECT_EQ(readCameraSetting(file), chosen);
  }

  // The data folder may not exist yet on a first run.
  TempDir data;
  writeCameraSetting(data / "new" / "settings.json", "x");
  EXPECT_EQ(readCameraSetting(data / "new" / "settings.json"), "x");
}

// The default needs no connected camera, so this runs without a graph; the
// choice of a camera is proven against real cameras in CameraChoiceGraphTests.
TEST(CameraSettings, ChoosingTheDefaultSurvivesARestartAndCrashLeftoversAreCleared) {
  TempDir data;
  const auto file = data / "settings.json";
  writeFile(file, R"({"camera": "pipewire:Desk", "theme": "dark"})");
  writeFile(data / ".settings.json.tmp.4242", R"({"camera": "half a)");
  SystemCameraSourceFactory factory(file);
  EXPECT_EQ(filesIn(data.path), std::vector<std::string>{"settings.json"});
  ASSERT_EQ(factory.selectedCamera(), "pipewire:Desk");
  EXPECT_TRUE(factory.selectCamera(std::nullopt));
  EXPECT_EQ(factory.selectedCamera(), std::nullopt);
  EXPECT_EQ(nlohmann::json::parse(readFile(file)), (nlohmann::json{{"theme", "dark"}}));
  EXPECT_EQ(SystemCameraSourceFactory(file).selectedCamera(), std::nullopt);
}
