// The bridge's camera methods over a real preview and a scripted camera
// choice: what a recording state says of its camera, what a selection does
// to a running preview, and an unplugged camera ending the feed.

#include "App/AppCameraControls.hpp"
#include "Capture/CameraFeed.hpp"
#include "Runtime/Sleep.hpp"
#include "TestCameraSources.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace veltrano;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

struct ScriptedChoice final : CameraChoice {
  std::vector<CameraDescription> list{{"pipewire:a", "A", true, false}, {"pipewire:b", "B", false, false}};
  std::optional<std::string> selected;
  std::optional<CameraOpened> opened;

  std::vector<CameraDescription> cameras() override {
    auto out = list;
    for (auto& camera : out) camera.isSelected = selected == camera.id;
    return out;
  }
  bool selectCamera(const std::optional<std::string>& id) override {
    if (id && std::none_of(list.begin(), list.end(), [&](const auto& c) { return c.id == *id; })) return false;
    selected = id;
    return true;
  }
  std::optional<std::string> selectedCamera() const override { return selected; }
  void setCamerasChanged(CamerasChanged) override {}
  std::optional<CameraOpened> lastOpened() const override { return opened; }
};

class AppCameraControlsTest : public ::testing::Test {
 protected:
  AppCameraControlsTest() {
    preview_ = CameraPreview::create(sources_, {io_.get_executor(), makeTimerSleep(io_)});
    controls_ = std::make_shared<AppCameraControls>(preview_, choice_, sources_->feed(), io_.get_executor());
  }
  bool runUntil(const std::function<bool()>& done, std::chrono::seconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      io_.restart();
      io_.run_for(5ms);
    }
    return true;
  }
  void startPreview() {
    bool started = false;
    preview_->start(320, [&](std::exception_ptr error, CameraPreview::Size) {
      EXPECT_FALSE(error);
      asio::post(io_, [&] { started = true; });
    });
    ASSERT_TRUE(runUntil([&] { return started; }));
  }

  asio::io_context io_;
  std::shared_ptr<veltrano::testing::PipelineSourceFactory> sources_ =
      std::make_shared<veltrano::testing::PipelineSourceFactory>(veltrano::testing::testPattern(320, 240));
  std::shared_ptr<ScriptedChoice> choice_ = std::make_shared<ScriptedChoice>();
  std::shared_ptr<CameraPreview> preview_;
  std::shared_ptr<AppCameraControls> controls_;
};

}  // namespace

TEST_F(AppCameraControlsTest, ARecordingStateNamesItsCameraAndAFallbackSaysSo) {
  const json recording = {{"answerId", "a"}, {"state", "recording"}, {"code", nullptr}, {"message", nullptr}};
  const json failed = {{"answerId", "a"}, {"state", "failed"}, {"code", "recording_failed"}, {"message", "x"}};
  const json stopped = {{"answerId", "a"}, {"state", "stopped"}, {"code", nullptr}, {"message", nullptr}};
  EXPECT_EQ(controls_->describeRecording(recording), recording) << "nothing opened yet";

  choice_->opened = CameraOpened{"pipewire:a", "A", false};
  json named = recording;
  named["camera"] = {{"id", "pipewire:a"}, {"name", "A"}};
  EXPECT_EQ(controls_->describeRecording(recording), named);
  EXPECT_EQ(controls_->describeRecording(stopped), stopped);
  EXPECT_EQ(controls_->describeRecording(failed), failed);

  choice_->opened->fellBack = true;
  named["code"] = "camera_fallback";
  named["message"] = "The selected camera is not connected; recording with the default camera.";
  EXPECT_EQ(controls_->describeRecording(recording), named);
  EXPECT_EQ(controls_->describeRecording(failed), failed) << "a failure keeps its own code";

  // Without a choice (a test camera) nothing is added.
  AppCameraControls bare(preview_, nullptr, sources_->feed(), io_.get_executor());
  EXPECT_EQ(bare.describeRecording(recording), recording);
  EXPECT_EQ(bare.listCameras(), json::array());
  EXPECT_THROW(bare.selectCamera(std::nullopt), BridgeFailure);
}

// A new choice reopens a running preview's camera at once; the same choice
// again, or a refused one, leaves it running.
TEST_F(AppCameraControlsTest, ANewChoiceReopensThePreviewsCameraAndARefusedOneChangesNothing) {
  startPreview();
  EXPECT_EQ(sources_->sourcesMade(), 1);
  try {
    controls_->selectCamera("pipewire:gone");
    ADD_FAILURE() << "a camera that is not connected was selected";
  } catch (const BridgeFailure& failure) {
    EXPECT_EQ(failure.code(), "camera_unavailable");
    EXPECT_STREQ(failure.what(), "No camera with the id \"pipewire:gone\" is connected.");
  }
  controls_->selectCamera(std::nullopt);  // already the default
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(preview_->isRunning());

  const json list = controls_->selectCamera("pipewire:b");
  EXPECT_EQ(list[1], (json{{"id", "pipewire:b"}, {"name", "B"}, {"isDefault", false}, {"isSelected", true}}));
  ASSERT_TRUE(runUntil([&] { return !preview_->isRunning() && !sources_->feed()->isOpen(); }))
      << "the camera was not reopened for the new choice";
  startPreview();
  EXPECT_EQ(sources_->sourcesMade(), 2);
}

// A hot-plug list without the open camera ends it: the preview stops rather
// than waiting on a camera that is gone. A list that still has it, or a
// closed camera, changes nothing.
TEST_F(AppCameraControlsTest, AnUnpluggedOpenCameraEndsTheFeed) {
  choice_->opened = CameraOpened{"pipewire:b", "B", false};
  controls_->camerasChanged({});  // closed: nothing to end
  startPreview();
  controls_->camerasChanged(choice_->list);
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(preview_->isRunning());
  controls_->camerasChanged({{"pipewire:a", "A", true, false}});
  ASSERT_TRUE(runUntil([&] { return !preview_->isRunning(); })) << "the preview waited on an unplugged camera";
  ASSERT_TRUE(runUntil([&] { return !sources_->feed()->isOpen(); }));
}
