#include "Capture/CameraSourceFactory.hpp"

#include <gtest/gtest.h>

#include <gst/gst.h>

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

// A device as a provider would list it, with the properties it would carry.
struct FakeDevice {
  GstDevice parent;
};
struct FakeDeviceClass {
  GstDeviceClass parent;
};
G_DEFINE_TYPE(FakeDevice, fake_device, GST_TYPE_DEVICE)
void fake_device_class_init(FakeDeviceClass*) {}
void fake_device_init(FakeDevice*) {}

CameraCandidate listed(const std::string& displayName, const std::map<std::string, std::string>& properties) {
  ensureGStreamer();
  GstStructure* structure = gst_structure_new_empty("fake-device");
  for (const auto& [key, value] : properties)
    gst_structure_set(structure, key.c_str(), G_TYPE_STRING, value.c_str(), nullptr);
  auto* device = GST_DEVICE(g_object_new(fake_device_get_type(), "display-name", displayName.c_str(), "device-class",
                                         "Video/Source", "properties", structure, nullptr));
  gst_structure_free(structure);
  gst_object_ref_sink(device);
  CameraCandidate candidate = describeCamera(device);
  gst_object_unref(device);
  return candidate;
}

}  // namespace

// The ids survive a restart and a re-plug: a V4L2 camera is known by the
// port it is plugged into (udev's path, else the driver's bus info), never
// by its /dev node (renumbered in plugging order) or its serial number
// (often missing or shared by a model); a PipeWire camera by node.name,
// never by its serial (new for every node).
TEST(CameraChoice, IdsNameWhereACameraIsPluggedInNotItsDeviceNodeOrSerial) {
  const std::map<std::string, std::string> usbCamera{{"device.api", "v4l2"},
                                                     {"device.path", "/dev/video2"},
                                                     {"device.serial", "Maker_HD_Cam_0001"},
                                                     {"device.bus_path", "pci-0000:00:14.0-usb-0:2:1.0"},
                                                     {"v4l2.device.bus_info", "usb-0000:00:14.0-2"}};
  auto replugged = usbCamera;
  replugged["device.path"] = "/dev/video7";
  auto withoutUdev = usbCamera;
  withoutUdev.erase("device.bus_path");
  withoutUdev.erase("device.serial");
  auto infrared = withoutUdev;  // the same port's second capture node
  infrared["device.path"] = "/dev/video4";
  const std::map<std::string, std::string> pipewireCamera{
      {"device.api", "pipewire"}, {"node.name", "v4l2_input.pci-0000_00_14.0-usb-0_2_1.0"}, {"object.serial", "57"}};
  auto pipewireAgain = pipewireCamera;
  pipewireAgain["object.serial"] = "112";

  struct Row {
    std::vector<CameraCandidate> candidates;
    std::vector<std::string> ids;
  };
  for (const auto& [candidates, ids] : std::vector<Row>{
           {{listed("HD Cam", usbCamera)}, {"v4l2:pci-0000:00:14.0-usb-0:2:1.0"}},
           {{listed("HD Cam", replugged)}, {"v4l2:pci-0000:00:14.0-usb-0:2:1.0"}},
           {{listed("HD Cam", withoutUdev), listed("HD Cam IR", infrared)},
            {"v4l2:usb-0000:00:14.0-2", "v4l2:usb-0000:00:14.0-2#2"}},
           {{listed("HD Cam", pipewireCamera)}, {"pipewire:v4l2_input.pci-0000_00_14.0-usb-0_2_1.0"}},
           {{listed("HD Cam", pipewireAgain)}, {"pipewire:v4l2_input.pci-0000_00_14.0-usb-0_2_1.0"}},
           {{listed("Network Camera", {})}, {"other:Network Camera"}},
       }) {
    SCOPED_TRACE(ids.front());
    EXPECT_EQ(cameraIds(candidates), ids);
  }
}

TEST(CameraChoice, ListsEveryCameraButOursAndOpensTheSelectedOneOrFallsBackToTheDefault) {
  const CameraCandidate own{Api::pipewire, "VeltranoCam", "VeltranoCam", ""};
  const CameraCandidate webcam{Api::v4l2, "Integrated Webcam", "", "pci-0000:00:14.0-usb-0:5:1.0"};
  const CameraCandidate desk{Api::pipewire, "Desk Camera", "v4l2_input.desk", ""};
  const std::vector<CameraCandidate> candidates{own, webcam, desk};
  const std::string webcamId = "v4l2:pci-0000:00:14.0-usb-0:5:1.0";
  const std::string deskId = "pipewire:v4l2_input.desk";
  struct Row {
    std::optional<std::string> selected;
    std::vector<bool> isSelected;  // webcam, desk
    std::size_t opened;            // index into candidates
    bool fellBack;
  };
  for (const auto& [selected, isSelected, opened, fellBack] : std::vector<Row>{
           {std::nullopt, {false, false}, 2, false},
           {webcamId, {true, false}, 1, false},
           {deskId, {false, true}, 2, false},  // the default, chosen on purpose
           {"pipewire:unplugged", {false, false}, 2, true},
           {"pipewire:VeltranoCam", {false, false}, 2, true},  // ours is never opened, not even by id
       }) {
    SCOPED_TRACE(selected.value_or("default"));
    const auto cameras = describeCameras(candidates, selected);
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras[0].id, webcamId);
    EXPECT_EQ(cameras[0].name, "Integrated Webcam");
    EXPECT_EQ(cameras[1].id, deskId);
    EXPECT_FALSE(cameras[0].isDefault);
    EXPECT_TRUE(cameras[1].isDefault);
    EXPECT_EQ((std::vector<bool>{cameras[0].isSelected, cameras[1].isSelected}), isSelected);
    const auto pick = pickCamera(candidates, selected);
    ASSERT_TRUE(pick);
    EXPECT_EQ(pick->index, opened);
    EXPECT_EQ(pick->fellBack, fellBack);
  }
  EXPECT_FALSE(pickCamera({own}, deskId));
  EXPECT_TRUE(describeCameras({own}, std::nullopt).empty());

  EXPECT_EQ(camerasJson(describeCameras(candidates, webcamId)), nlohmann::json::parse(R"([
    {"id": "v4l2:pci-0000:00:14.0-usb-0:5:1.0", "name": "Integrated Webcam", "isDefault": false, "isSelected": true},
    {"id": "pipewire:v4l2_input.desk", "name": "Desk Camera", "isDefault": true, "isSelected": false}])"));
  EXPECT_EQ(camerasJson({}), nlohmann::json::array());
}

TEST(CameraChoice, SkipsTheAppsOwnCameraAndPrefersPipeWireThenV4l2ThenListingOrder) {
  const CameraCandidate own{Api::pipewire, "VeltranoCam", "VeltranoCam", ""};
  const CameraCandidate webcam{Api::v4l2, "Integrated Webcam", "", "pci-0000:00:14.0-usb-0:5:1.0"};
  struct Row {
    std::vector<CameraCandidate> listed;
    std::optional<std::size_t> chosen;
  };
  for (const auto& [listed, chosen] : std::vector<Row>{
           {{webcam, own, {Api::pipewire, "Integrated Webcam (V4L2)", "v4l2_input.pci-0000_00_14.0", ""}}, 2},
           {{webcam, own}, 0},
           {{{Api::v4l2, "VeltranoCam", "", ""}}, std::nullopt},  // known by its display name too
           {{}, std::nullopt},
           {{{Api::other, "Some Camera", "", ""}, {Api::v4l2, "USB A", "", "a"}, {Api::v4l2, "USB B", "", "b"}}, 1},
           {{{Api::other, "Only One", "", ""}}, 0},
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
