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

CameraCandidate camera(Api api, std::string name, std::string node = {}) {
  return CameraCandidate{api, std::move(name), std::move(node)};
}

class TempDir {
 public:
  TempDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() / ("veltrano-dev-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  void touch(const std::string& name) const { std::ofstream(path_ / name) << "x"; }

 private:
  std::filesystem::path path_;
};

}  // namespace

TEST(CameraChoice, SkipsTheAppsOwnVirtualCameraAndPrefersPipeWireOverV4l2) {
  std::vector<CameraCandidate> listed{
      camera(Api::v4l2, "Integrated Webcam"),
      camera(Api::pipewire, "VeltranoCam", "VeltranoCam"),
      camera(Api::pipewire, "Integrated Webcam (V4L2)", "v4l2_input.pci-0000_00_14.0"),
  };
  EXPECT_EQ(chooseCamera(listed), std::optional<std::size_t>(2));

  // Only our own camera and a V4L2 device: the V4L2 device.
  listed.pop_back();
  EXPECT_EQ(chooseCamera(listed), std::optional<std::size_t>(0));

  // Recognised by its display name too, when the node name is not exposed.
  EXPECT_EQ(chooseCamera({camera(Api::v4l2, "VeltranoCam")}), std::nullopt);
  EXPECT_EQ(chooseCamera({}), std::nullopt);
}

TEST(CameraChoice, FallsBackToOtherApisAndKeepsListingOrderAmongEquals) {
  EXPECT_EQ(chooseCamera({camera(Api::other, "Some Camera"), camera(Api::v4l2, "USB A"), camera(Api::v4l2, "USB B")}),
            std::optional<std::size_t>(1));
  EXPECT_EQ(chooseCamera({camera(Api::other, "Only One")}), std::optional<std::size_t>(0));
}

TEST(CameraPermissionProbe, DeniedOnlyWhenCameraNodesExistAndNoneMayBeRead) {
  TempDir dev;
  std::map<std::string, int> results;
  auto opener = [&](const std::filesystem::path& node) {
    auto it = results.find(node.filename().string());
    return it == results.end() ? ENOENT : it->second;
  };

  // No camera at all is not a permission problem.
  EXPECT_EQ(probeCameraAccess(dev.path(), opener), CameraAccess::authorized);

  dev.touch("video0");
  dev.touch("video1");
  dev.touch("video");        // not a camera node
  dev.touch("videocodec0");  // not a camera node
  results = {{"video0", EACCES}, {"video1", EPERM}, {"video", 0}, {"videocodec0", 0}};
  EXPECT_EQ(probeCameraAccess(dev.path(), opener), CameraAccess::denied);

  // One readable camera is enough.
  results["video1"] = 0;
  EXPECT_EQ(probeCameraAccess(dev.path(), opener), CameraAccess::authorized);

  // A busy or vanished device is not a refusal.
  results = {{"video0", EBUSY}, {"video1", ENOENT}};
  EXPECT_EQ(probeCameraAccess(dev.path(), opener), CameraAccess::authorized);
}

TEST(CameraPermissionProbe, RealDeviceNodesAreOpenedForReading) {
  TempDir dev;
  dev.touch("video0");
  EXPECT_EQ(probeCameraAccess(dev.path()), CameraAccess::authorized);

  ASSERT_EQ(::chmod((dev.path() / "video0").c_str(), 0), 0);
  if (::geteuid() == 0) GTEST_SKIP() << "root reads any file; the refusal needs an unprivileged user";
  EXPECT_EQ(probeCameraAccess(dev.path()), CameraAccess::denied);
}
