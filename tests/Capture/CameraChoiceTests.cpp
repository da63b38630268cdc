#include "Capture/CameraSourceFactory.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <random>

using namespace veltrano;
using Api = CameraCandidate::Api;

namespace {

struct TempDir {
  std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("veltrano-dev-" + std::to_string(std::random_device()()));
  TempDir() { std::filesystem::create_directories(path); }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

}  // namespace

TEST(CameraChoice, SkipsTheAppsOwnCameraAndPrefersPipeWireThenV4l2ThenListingOrder) {
  const CameraCandidate own{Api::pipewire, "VeltranoCam", "VeltranoCam"};
  const CameraCandidate webcam{Api::v4l2, "Integrated Webcam", ""};
  struct Row {
    std::vector<CameraCandidate> listed;
    std::optional<std::size_t> chosen;
  };
  for (const auto& [listed, chosen] : std::vector<Row>{
           {{webcam, own, {Api::pipewire, "Integrated Webcam (V4L2)", "v4l2_input.pci-0000_00_14.0"}}, 2},
           {{webcam, own}, 0},
           {{{Api::v4l2, "VeltranoCam", ""}}, std::nullopt},  // known by its display name too
           {{}, std::nullopt},
           {{{Api::other, "Some Camera", ""}, {Api::v4l2, "USB A", ""}, {Api::v4l2, "USB B", ""}}, 1},
           {{{Api::other, "Only One", ""}}, 0},
       }) {
    SCOPED_TRACE(listed.size());
    EXPECT_EQ(chooseCamera(listed), chosen);
  }
}

TEST(CameraPermissionProbe, DeniedOnlyWhenCameraNodesExistAndNoneMayBeRead) {
  struct Row {
    std::map<std::string, int> nodes;  // file name → what opening it for reading answers
    CameraAccess expected;
  };
  for (const auto& [nodes, expected] : std::vector<Row>{
           {{}, CameraAccess::authorized},  // no camera is not a permission problem
           // "video" and "videocodec0" are no camera nodes.
           {{{"video0", EACCES}, {"video1", EPERM}, {"video", 0}, {"videocodec0", 0}}, CameraAccess::denied},
           {{{"video0", EACCES}, {"video1", 0}}, CameraAccess::authorized},      // one readable camera is enough
           {{{"video0", EBUSY}, {"video1", ENOENT}}, CameraAccess::authorized},  // busy or vanished is no refusal
       }) {
    SCOPED_TRACE(nodes.size());
    TempDir dev;
    for (const auto& node : nodes) std::ofstream(dev.path / node.first) << "x";
    auto opener = [&nodes = nodes](const std::filesystem::path& node) { return nodes.at(node.filename().string()); };
    EXPECT_EQ(probeCameraAccess(dev.path, opener), expected);
  }
}

TEST(CameraPermissionProbe, RealDeviceNodesAreOpenedForReading) {
  TempDir dev;
  std::ofstream(dev.path / "video0") << "x";
  EXPECT_EQ(probeCameraAccess(dev.path), CameraAccess::authorized);
  ASSERT_EQ(::chmod((dev.path / "video0").c_str(), 0), 0);
  if (::geteuid() == 0) GTEST_SKIP() << "root reads any file; the refusal needs an unprivileged user";
  EXPECT_EQ(probeCameraAccess(dev.path), CameraAccess::denied);
}
