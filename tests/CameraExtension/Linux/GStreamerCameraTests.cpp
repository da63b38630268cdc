#include "Linux/GStreamerCamera.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <ostream>

namespace veltranocam {
namespace {

using Api = PhysicalCameraCandidate::Api;

struct ChoiceCase {
  const char* name;
  std::vector<PhysicalCameraCandidate> candidates;
  std::optional<std::size_t> chosen;
};

void PrintTo(const ChoiceCase& c, std::ostream* os) {
  *os << c.name;
}

class PhysicalCameraChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(PhysicalCameraChoice, SkipsOurOwnNodeAndPrefersPipeWireThenV4L2) {
  EXPECT_EQ(choosePhysicalCamera(GetParam().candidates), GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, PhysicalCameraChoice,
    ::testing::Values(ChoiceCase{"none", {}, std::nullopt},
                      ChoiceCase{"onlyOurs", {{"VeltranoCam", "VeltranoCam", Api::pipewire}}, std::nullopt},
                      ChoiceCase{"oursByDisplayName", {{"VeltranoCam", "", Api::pipewire}, {"Cam", "", Api::other}}, 1},
                      ChoiceCase{"pipewireOverV4L2",
                                 {{"USB", "", Api::v4l2},
                                  {"VeltranoCam", "VeltranoCam", Api::pipewire},
                                  {"USB", "usb", Api::pipewire}},
                                 2},
                      ChoiceCase{"v4l2OverOther", {{"A", "", Api::other}, {"B", "", Api::v4l2}}, 1},
                      ChoiceCase{"firstAmongEquals", {{"A", "a", Api::pipewire}, {"B", "b", Api::pipewire}}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct ModeCase {
  const char* name;
  const char* caps;
  std::int32_t width;
  std::int32_t height;
  MediaTime min;
  MediaTime max;
};

void PrintTo(const ModeCase& c, std::ostream* os) {
  *os << c.caps;
}

class CameraMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(CameraMode, TakesTheLargestSizeAndItsFrameDurations) {
  gst_init(nullptr, nullptr);
  const auto& c = GetParam();
  GstCaps* caps = gst_caps_from_string(c.caps);
  ASSERT_NE(caps, nullptr);
  const auto mode = bestCameraMode(caps);
  gst_caps_unref(caps);
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->width, c.width);
  EXPECT_EQ(mode->height, c.height);
  EXPECT_EQ(mode->activeMinFrameDuration, c.min);
  EXPECT_EQ(mode->activeMaxFrameDuration, c.max);
  // And what the device then advertises from it.
  const auto chosen = makeStreamFormat(*mode);
  EXPECT_EQ(chosen.formatDescription.width, c.width);
  EXPECT_EQ(chosen.frameDuration, c.min.isValidPositive()   ? c.min
                                  : c.max.isValidPositive() ? c.max
                                                            : MediaTime::make(1, 30));
}

INSTANTIATE_TEST_SUITE_P(
    Caps, CameraMode,
    ::testing::Values(
        ModeCase{"fixed", "video/x-raw,format=YUY2,width=640,height=480,framerate=30/1", 640, 480,
                 MediaTime::make(1, 30), MediaTime::make(1, 30)},
        ModeCase{"largestWinsThenFastest",
                 "video/x-raw,width=640,height=480,framerate=60/1; image/jpeg,width=1280,height=720,framerate=15/1; "
                 "image/jpeg,width=1280,height=720,framerate=30/1",
                 1280, 720, MediaTime::make(1, 30), MediaTime::make(1, 30)},
        ModeCase{"rateList", "video/x-raw,width=800,height=600,framerate={ 5/1, 30/1, 10/1 }", 800, 600,
                 MediaTime::make(1, 30), MediaTime::make(1, 5)},
        ModeCase{"rateRangeAndSizeRange", "video/x-raw,width=[ 1, 1920 ],height=[ 1, 1080 ],framerate=[ 1/1, 25/1 ]",
                 1920, 1080, MediaTime::make(1, 25), MediaTime::make(1, 1)},
        // A zero minimum rate makes the longest duration invalid; a zero
        // maximum leaves no valid minimum and the longest one is used.
        ModeCase{"zeroInList", "video/x-raw,width=320,height=240,framerate={ 0/1, 60/1 }", 320, 240,
                 MediaTime::make(1, 60), MediaTime::invalid()},
        ModeCase{"noRate", "video/x-raw,width=320,height=240", 320, 240, MediaTime::invalid(), MediaTime::invalid()},
        ModeCase{"otherMediaIgnored", "video/x-bayer,width=4000,height=3000; video/x-raw,width=2,height=2", 2, 2,
                 MediaTime::invalid(), MediaTime::invalid()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CameraMode, NothingUsableGivesNothing) {
  gst_init(nullptr, nullptr);
  GstCaps* caps = gst_caps_from_string("audio/x-raw; video/x-raw,format=BGRA");
  EXPECT_FALSE(bestCameraMode(caps));
  gst_caps_unref(caps);
  EXPECT_FALSE(bestCameraMode(nullptr));
}

TEST(CameraAccessProbe, NoCameraNodeIsNotAPermissionProblem) {
  const auto folder = std::filesystem::temp_directory_path() / ("camera-probe-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "video-config") << "x";  // not a camera node
  std::ofstream(folder / "videoX") << "x";
  EXPECT_EQ(probePhysicalCameraAccess(folder), CameraAuthorizationStatus::authorized);
  EXPECT_EQ(probePhysicalCameraAccess(folder / "missing"), CameraAuthorizationStatus::authorized);
  std::ofstream(folder / "video0") << "x";
  EXPECT_EQ(probePhysicalCameraAccess(folder), CameraAuthorizationStatus::authorized);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace veltranocam
