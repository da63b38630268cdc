#include "Capture/CameraSourceFactory.hpp"

#include "Capture/CameraFeed.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>

namespace veltrano {

namespace {

constexpr const char* kOwnVirtualCamera = "VeltranoCam";

int rank(CameraCandidate::Api api) {
  switch (api) {
    case CameraCandidate::Api::pipewire: return 0;
    case CameraCandidate::Api::v4l2: return 1;
    case CameraCandidate::Api::other: return 2;
  }
  return 3;
}

bool isCameraNode(const std::string& name) {
  if (name.rfind("video", 0) != 0 || name.size() == 5) return false;
  return std::all_of(name.begin() + 5, name.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

int openForReadingReal(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

std::string structureString(const GstStructure* structure, const char* key) {
  if (!structure) return {};
  const gchar* value = gst_structure_get_string(structure, key);
  return value ? value : "";
}

CameraCandidate describe(GstDevice* device) {
  CameraCandidate candidate;
  gchar* name = gst_device_get_display_name(device);
  candidate.displayName = name ? name : "";
  g_free(name);
  GstStructure* properties = gst_device_get_properties(device);
  const std::string api = structureString(properties, "device.api");
  const std::string typeName = G_OBJECT_TYPE_NAME(device);
  if (typeName.find("PipeWire") != std::string::npos || api == "pipewire")
    candidate.api = CameraCandidate::Api::pipewire;
  else if (typeName.find("V4l2") != std::string::npos || api == "v4l2")
    candidate.api = CameraCandidate::Api::v4l2;
  candidate.nodeName = structureString(properties, "node.name");
  if (properties) gst_structure_free(properties);
  return candidate;
}

// The cameras as one device monitor sees them. The monitor is started once
// and never stopped: Debian 12's PipeWire device provider frees a proxy
// twice when it stops (a free from its protocol thread racing the stop), and
// a start and stop per lookup corrupted the heap within a few answers.
GList* listVideoSources() {
  static std::mutex mutex;
  static GstDeviceMonitor* monitor = nullptr;
  std::lock_guard lock(mutex);
  if (!monitor) {
    std::unique_ptr<GstDeviceMonitor, GstObjectUnref> started(gst_device_monitor_new());
    gst_device_monitor_add_filter(started.get(), "Video/Source", nullptr);
    // Nobody pops the monitor's bus; dropping its hot-plug messages keeps it
    // from growing. The list is read afresh at every lookup instead.
    GstBus* bus = gst_device_monitor_get_bus(started.get());
    gst_bus_set_sync_handler(
        bus,
        [](GstBus*, GstMessage* message, gpointer) {
          gst_message_unref(message);
          return GST_BUS_DROP;
        },
        nullptr, nullptr);
    gst_object_unref(bus);
    if (!gst_device_monitor_start(started.get())) return nullptr;
    monitor = started.release();
  }
  return gst_device_monitor_get_devices(monitor);
}

}  // namespace

std::optional<std::size_t> chooseCamera(const std::vector<CameraCandidate>& candidates) {
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const auto& candidate = candidates[i];
    if (candidate.nodeName == kOwnVirtualCamera || candidate.displayName == kOwnVirtualCamera) continue;
    if (!best || rank(candidate.api) < rank(candidates[*best].api)) best = i;
  }
  return best;
}

CameraAccess probeCameraAccess(const std::filesystem::path& deviceDirectory,
                               const std::function<int(const std::filesystem::path&)>& openForReading) {
  std::error_code ec;
  bool refused = false;
  for (std::filesystem::directory_iterator it(deviceDirectory, ec), end; !ec && it != end; it.increment(ec)) {
    if (!isCameraNode(it->path().filename().string())) continue;
    const int error = openForReading(it->path());
    if (error == 0) return CameraAccess::authorized;
    if (error == EACCES || error == EPERM) refused = true;
  }
  return refused ? CameraAccess::denied : CameraAccess::authorized;
}

CameraAccess probeCameraAccess(const std::filesystem::path& deviceDirectory) {
  return probeCameraAccess(deviceDirectory, openForReadingReal);
}

std::shared_ptr<CameraFeed> CameraSourceFactory::feed() {
  std::lock_guard lock(feedMutex_);
  if (!feed_) feed_ = CameraFeed::create();
  return feed_;
}

SystemCameraSourceFactory::SystemCameraSourceFactory(std::filesystem::path deviceDirectory)
    : deviceDirectory_(std::move(deviceDirectory)) {}

CameraAccess SystemCameraSourceFactory::cameraAccess() {
  return probeCameraAccess(deviceDirectory_);
}

ElementPtr SystemCameraSourceFactory::makeSource() {
  // Not at construction: a program builds its factory at start-up, long
  // before (and often without) recording anything.
  ensureGStreamer();
  GList* devices = listVideoSources();
  std::vector<GstDevice*> listed;
  std::vector<CameraCandidate> candidates;
  for (GList* item = devices; item; item = item->next) {
    listed.push_back(GST_DEVICE(item->data));
    candidates.push_back(describe(GST_DEVICE(item->data)));
  }
  const auto chosen = chooseCamera(candidates);
  ElementPtr camera;
  if (chosen) camera = adoptElement(gst_device_create_element(listed[*chosen], nullptr));
  g_list_free_full(devices, gst_object_unref);
  if (!chosen) return nullptr;
  if (!camera) throw GStreamerError("Could not open the camera.");
  return convertCameraOutput(std::move(camera));
}

ElementPtr convertCameraOutput(ElementPtr camera) {
  // The camera may send raw video in any format or MJPEG: decode and convert
  // to what the recorder asks for. The raw-or-JPEG filter also keeps
  // pipewiresrc from stalling on ANY caps. Built by hand: a parsed
  // "capsfilter ! decodebin ! videoconvert" bin would put its sink on
  // videoconvert (decodebin has no output pad yet), bypassing the decoder.
  ElementPtr filter = adoptElement(gst_element_factory_make("capsfilter", nullptr));
  ElementPtr decode = adoptElement(gst_element_factory_make("decodebin", nullptr));
  ElementPtr convert = adoptElement(gst_element_factory_make("videoconvert", nullptr));
  if (!filter || !decode || !convert) throw GStreamerError("Could not build the camera converter.");
  CapsPtr rawOrJpeg(gst_caps_from_string("video/x-raw;image/jpeg"));
  g_object_set(filter.get(), "caps", rawOrJpeg.get(), nullptr);

  ElementPtr bin = adoptElement(gst_bin_new("camera"));
  // The bin takes references of its own; ours go with the pointers here.
  gst_bin_add_many(GST_BIN(bin.get()), camera.get(), filter.get(), decode.get(), convert.get(), nullptr);
  if (!gst_element_link_many(camera.get(), filter.get(), decode.get(), nullptr))
    throw GStreamerError("Could not link the camera.");
  // decodebin adds its output pad once it knows what the camera sends.
  g_signal_connect_object(decode.get(), "pad-added", G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer convert) {
                            GstPad* sink = gst_element_get_static_pad(GST_ELEMENT(convert), "sink");
                            if (!gst_pad_is_linked(sink)) gst_pad_link(pad, sink);
                            gst_object_unref(sink);
                          }),
                          convert.get(), GConnectFlags(0));
  GstPad* pad = gst_element_get_static_pad(convert.get(), "src");
  gst_element_add_pad(bin.get(), gst_ghost_pad_new("src", pad));
  gst_object_unref(pad);
  return bin;
}

}  // namespace veltrano
