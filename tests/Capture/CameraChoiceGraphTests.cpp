// The camera choice against real cameras: stand-ins of different brightness
// in a private PipeWire graph, plugged and unplugged while a factory listens.

#include "Capture/CameraSourceFactory.hpp"
#include "PipeWireStandInCamera.hpp"
#include "TestCameraSources.hpp"
#include "support/TempDir.hpp"

#include <gtest/gtest.h>

#include <gst/app/gstappsink.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace veltrano;
using veltrano::testing::pullOneFrame;
using veltrano::testing::readFile;
using veltrano::testing::TempDir;
using veltrano::testing::writeFile;
using StandIn = veltrano::testing::PipeWireStandInCamera;
using namespace std::chrono_literals;

namespace {

constexpr std::uint8_t kDark = 40;
constexpr std::uint8_t kBright = 200;

std::unique_ptr<StandIn> plugIn(const std::string& name, std::uint8_t grey) {
  return std::make_unique<StandIn>(name, 320, 240, 30, true, grey);
}

// The mean luma of one frame from `source`, as the recorder would get it.
double meanLuma(ElementPtr source) {
  SamplePtr sample = pullOneFrame(std::move(source));
  if (!sample) return -1;
  GstMapInfo map;
  gst_buffer_map(gst_sample_get_buffer(sample.get()), &map, GST_MAP_READ);
  // Past the first row, which carries the frame number.
  const std::size_t begin = 320, end = std::size_t{320} * 240;
  double sum = 0;
  for (std::size_t i = begin; i < end && i < map.size; ++i) sum += map.data[i];
  gst_buffer_unmap(gst_sample_get_buffer(sample.get()), &map);
  return sum / static_cast<double>(end - begin);
}

// BT.601 limited range, as videoconvert writes it for grey BGRA.
double lumaOf(std::uint8_t grey) {
  return 16 + 219.0 * grey / 255.0;
}

// Debian 12's pipewiresrc can stall on a stream that links while the
// previous link is still being taken down: let the stand-in stop sending.
void settle(const StandIn& camera) {
  for (std::uint64_t sent = camera.framesSent(), checks = 0; checks < 100; ++checks) {
    std::this_thread::sleep_for(50ms);
    if (camera.framesSent() == std::exchange(sent, camera.framesSent())) break;
  }
}

std::vector<std::string> idsOf(const std::vector<CameraDescription>& cameras) {
  std::vector<std::string> ids;
  for (const auto& camera : cameras) ids.push_back(camera.id);
  return ids;
}

bool lists(const std::vector<CameraDescription>& cameras, const std::string& id) {
  const auto ids = idsOf(cameras);
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// What the listener heard, from whichever thread it was called on.
class Heard {
 public:
  CameraChoice::CamerasChanged listener() {
    return [this](std::vector<CameraDescription> cameras) {
      std::lock_guard lock(mutex_);
      lists_.push_back(std::move(cameras));
      changed_.notify_all();
    };
  }
  // Waits for a list heard after the `after`th that `matches`.
  template <typename Matches>
  bool waitFor(std::size_t after, Matches matches) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] {
      for (std::size_t i = after; i < lists_.size(); ++i)
        if (matches(lists_[i])) return true;
      return false;
    });
  }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return lists_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<CameraDescription>> lists_;
};

}  // namespace

// One session of a person choosing a camera: the list, the choice kept
// across a restart, recording from it, unplugging it (the default records
// and the choice stays), plugging it back (it records again), an unknown
// choice refused, and the default chosen again.
TEST(CameraChoiceGraph, TheSelectedCameraRecordsFallsBackWhileUnpluggedAndReturnsWhenPluggedBack) {
  TempDir data;
  const auto settings = data / "settings.json";
  writeFile(settings, R"({"theme": "dark"})");

  auto dark = plugIn("StandInDark", kDark);
  auto bright = plugIn("StandInBright", kBright);
  StandIn own("VeltranoCam", 320, 240, 30, true, 120);

  SystemCameraSourceFactory factory(settings);
  std::vector<CameraDescription> cameras;
  for (int i = 0; i < 100 && cameras.size() < 2; ++i, std::this_thread::sleep_for(100ms)) cameras = factory.cameras();
  // The provider lists in no fixed order.
  std::sort(cameras.begin(), cameras.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
  ASSERT_EQ(idsOf(cameras), (std::vector<std::string>{"pipewire:StandInBright", "pipewire:StandInDark"}))
      << "ours is never listed";
  EXPECT_EQ(std::count_if(cameras.begin(), cameras.end(), [](const auto& c) { return c.isDefault; }), 1);
  EXPECT_TRUE(std::none_of(cameras.begin(), cameras.end(), [](const auto& c) { return c.isSelected; }));
  EXPECT_EQ(cameras[1].name, "StandInDark");
  auto again = idsOf(SystemCameraSourceFactory().cameras());
  std::sort(again.begin(), again.end());
  EXPECT_EQ(again, idsOf(cameras)) << "ids differ between factories";

  // The camera to choose is the one that is not the default, so that
  // recording from it proves the choice.
  const auto& chosen = cameras[0].isDefault ? cameras[1] : cameras[0];
  const auto& fallback = cameras[0].isDefault ? cameras[0] : cameras[1];
  const std::uint8_t chosenGrey = chosen.id == "pipewire:StandInDark" ? kDark : kBright;
  const std::uint8_t fallbackGrey = chosenGrey == kDark ? kBright : kDark;
  auto& chosenCamera = chosenGrey == kDark ? dark : bright;
  StandIn& fallbackCamera = chosenGrey == kDark ? *bright : *dark;
  const std::string chosenName = chosen.name, chosenId = chosen.id, fallbackId = fallback.id;

  Heard heard;
  factory.setCamerasChanged(heard.listener());

  ASSERT_TRUE(factory.selectCamera(chosenId));
  EXPECT_EQ(factory.selectedCamera(), chosenId);
  EXPECT_EQ(nlohmann::json::parse(readFile(settings)), (nlohmann::json{{"theme", "dark"}, {"camera", chosenId}}));
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(data.path)) files.push_back(entry.path().filename());
  EXPECT_EQ(files, std::vector<std::string>{"settings.json"}) << "a temporary file was left behind";
  for (const auto& camera : factory.cameras()) EXPECT_EQ(camera.isSelected, camera.id == chosenId) << camera.id;
  EXPECT_EQ(SystemCameraSourceFactory(settings).selectedCamera(), chosenId) << "the choice did not survive a restart";

  EXPECT_NEAR(meanLuma(factory.makeSource()), lumaOf(chosenGrey), 8) << "not the chosen camera's frames";
  ASSERT_TRUE(factory.lastOpened());
  EXPECT_EQ(factory.lastOpened()->id, chosenId);
  EXPECT_EQ(factory.lastOpened()->name, chosenName);
  EXPECT_FALSE(factory.lastOpened()->fellBack);
  settle(*chosenCamera);

  // Unplugged: the listener hears it, the default records, the choice stays.
  std::size_t before = heard.count();
  chosenCamera.reset();
  EXPECT_TRUE(heard.waitFor(before, [&](const auto& list) {
    return !lists(list, chosenId) && lists(list, fallbackId) && !lists(list, "pipewire:VeltranoCam");
  })) << "the listener never heard the camera go";
  EXPECT_NEAR(meanLuma(factory.makeSource()), lumaOf(fallbackGrey), 8) << "not the default camera's frames";
  ASSERT_TRUE(factory.lastOpened());
  EXPECT_EQ(factory.lastOpened()->id, fallbackId);
  EXPECT_TRUE(factory.lastOpened()->fellBack);
  EXPECT_EQ(factory.selectedCamera(), chosenId);
  settle(fallbackCamera);

  // Plugged back in: it records again.
  before = heard.count();
  chosenCamera = plugIn(chosenName, chosenGrey);
  EXPECT_TRUE(heard.waitFor(before, [&](const auto& list) {
    return std::any_of(list.begin(), list.end(), [&](const auto& c) { return c.id == chosenId && c.isSelected; });
  })) << "the listener never heard the camera come back";
  EXPECT_NEAR(meanLuma(factory.makeSource()), lumaOf(chosenGrey), 8);
  ASSERT_TRUE(factory.lastOpened());
  EXPECT_EQ(factory.lastOpened()->id, chosenId);
  EXPECT_FALSE(factory.lastOpened()->fellBack);
  settle(*chosenCamera);

  // A camera that is not connected cannot be chosen, and the file stays.
  const std::string kept = readFile(settings);
  const auto keptTime = std::filesystem::last_write_time(settings);
  EXPECT_FALSE(factory.selectCamera("pipewire:NoSuchCamera"));
  EXPECT_FALSE(factory.selectCamera("pipewire:VeltranoCam"));
  EXPECT_EQ(factory.selectedCamera(), chosenId);
  EXPECT_EQ(readFile(settings), kept);
  EXPECT_EQ(std::filesystem::last_write_time(settings), keptTime);

  // Back to the default.
  ASSERT_TRUE(factory.selectCamera(std::nullopt));
  EXPECT_EQ(nlohmann::json::parse(readFile(settings)), (nlohmann::json{{"theme", "dark"}}));
  EXPECT_NEAR(meanLuma(factory.makeSource()), lumaOf(fallbackGrey), 8);
  ASSERT_TRUE(factory.lastOpened());
  EXPECT_EQ(factory.lastOpened()->id, fallbackId);
  EXPECT_FALSE(factory.lastOpened()->fellBack);
  settle(fallbackCamera);

  // Removed, the listener hears nothing more.
  factory.setCamerasChanged({});
  before = heard.count();
  chosenCamera.reset();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(heard.count(), before);
}
