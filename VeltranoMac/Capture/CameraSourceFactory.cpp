#include "Capture/CameraSourceFactory.hpp"

#include "Capture/CameraFeed.hpp"
#include "Capture/CameraSettings.hpp"
#include "Runtime/Logger.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>

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

using DevicePtr = std::unique_ptr<GstDevice, GstObjectUnref>;

// The video sources listed at one moment, each with its description.
struct Listing {
  std::vector<DevicePtr> devices;
  std::vector<CameraCandidate> candidates;
};

// Hears that the list of video sources changed.
class DevicesListener {
 public:
  virtual ~DevicesListener() = default;
  virtual void devicesChanged(const std::vector<CameraCandidate>& candidates) = 0;
};

// The cameras as one device monitor sees them, for the whole process. The
// monitor is started once and never stopped: Debian 12's PipeWire device
// provider frees a proxy twice when it stops (a free from its protocol
// thread racing the stop), and a start and stop per lookup corrupted the
// heap within a few answers. Hot-plug messages go straight from the
// provider's thread to the listeners; nobody pops the monitor's bus.
class DeviceWatch {
 public:
  static DeviceWatch& instance() {
    // Never destroyed: the monitor outlives every factory and static.
    static auto* watch = new DeviceWatch;
    return *watch;
  }

  Listing list() {
    Listing listing;
    GstDeviceMonitor* monitor = started();
    if (!monitor) return listing;
    GList* devices = gst_device_monitor_get_devices(monitor);
    for (GList* item = devices; item; item = item->next) {
      // The list's references move into the listing.
      listing.devices.emplace_back(GST_DEVICE(item->data));
      listing.candidates.push_back(describeCamera(GST_DEVICE(item->data)));
    }
    g_list_free(devices);
    return listing;
  }

  // Starts the monitor if needed, so that hot-plug reaches `listener`.
  void subscribe(const std::shared_ptr<DevicesListener>& listener) {
    {
      std::lock_guard lock(listenersMutex_);
      std::erase_if(listeners_, [](const auto& weak) { return weak.expired(); });
      const bool known =
          std::any_of(listeners_.begin(), listeners_.end(), [&](const auto& weak) { return weak.lock() == listener; });
      if (!known) listeners_.push_back(listener);
    }
    started();
  }

 private:
  DeviceWatch() = default;

  GstDeviceMonitor* started() {
    // Without the lock once started: hot-plug lists from the provider's thread.
    if (GstDeviceMonitor* monitor = monitor_.load()) return monitor;
    std::lock_guard lock(startMutex_);
    if (GstDeviceMonitor* monitor = monitor_.load()) return monitor;
    std::unique_ptr<GstDeviceMonitor, GstObjectUnref> starting(gst_device_monitor_new());
    gst_device_monitor_add_filter(starting.get(), "Video/Source", nullptr);
    GstBus* bus = gst_device_monitor_get_bus(starting.get());
    gst_bus_set_sync_handler(bus, &DeviceWatch::onMessage, this, nullptr);
    gst_object_unref(bus);
    if (!gst_device_monitor_start(starting.get())) return nullptr;
    monitor_ = starting.release();
    return monitor_.load();
  }

  static GstBusSyncReply onMessage(GstBus*, GstMessage* message, gpointer data) {
    auto* self = static_cast<DeviceWatch*>(data);
    const GstMessageType type = GST_MESSAGE_TYPE(message);
    gst_message_unref(message);
    // Devices found while the monitor starts are no change, and listing
    // them then would wait for the provider that is busy starting (its
    // start lock), on the very thread that start waits for.
    if (self->monitor_.load() &&
        (type == GST_MESSAGE_DEVICE_ADDED || type == GST_MESSAGE_DEVICE_REMOVED || type == GST_MESSAGE_DEVICE_CHANGED))
      self->notify();
    return GST_BUS_DROP;
  }

  void notify() {
    std::vector<std::shared_ptr<DevicesListener>> listeners;
    {
      std::lock_guard lock(listenersMutex_);
      for (const auto& weak : listeners_)
        if (auto listener = weak.lock()) listeners.push_back(std::move(listener));
    }
    if (listeners.empty()) return;
    const Listing listing = list();
    for (const auto& listener : listeners) listener->devicesChanged(listing.candidates);
  }

  std::mutex startMutex_;
  std::atomic<GstDeviceMonitor*> monitor_{nullptr};
  std::mutex listenersMutex_;
  std::vector<std::weak_ptr<DevicesListener>> listeners_;
};

std::string apiPrefix(CameraCandidate::Api api) {
  switch (api) {
    case CameraCandidate::Api::pipewire: return "pipewire:";
    case CameraCandidate::Api::v4l2: return "v4l2:";
    case CameraCandidate::Api::other: return "other:";
  }
  return "other:";
}

}  // namespace

CameraCandidate describeCamera(GstDevice* device) {
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
  if (candidate.api == CameraCandidate::Api::v4l2) {
    // ID_PATH names the port and the interface, so a camera's colour and
    // infrared nodes differ; the bus info is all there is without udev.
    candidate.busPath = structureString(properties, "device.bus_path");
    if (candidate.busPath.empty()) candidate.busPath = structureString(properties, "v4l2.device.bus_info");
  }
  if (properties) gst_structure_free(properties);
  return candidate;
}

bool isOwnVirtualCamera(const CameraCandidate& candidate) {
  return candidate.nodeName == kOwnVirtualCamera || candidate.displayName == kOwnVirtualCamera;
}

std::vector<std::string> cameraIds(const std::vector<CameraCandidate>& candidates) {
  std::vector<std::string> ids;
  std::map<std::string, int> seen;
  for (const auto& candidate : candidates) {
    std::string key;
    switch (candidate.api) {
      case CameraCandidate::Api::pipewire: key = candidate.nodeName; break;
      case CameraCandidate::Api::v4l2: key = candidate.busPath; break;
      case CameraCandidate::Api::other: break;
    }
    if (key.empty()) key = candidate.displayName;
    std::string id = apiPrefix(candidate.api) + key;
    const int count = ++seen[id];
    if (count > 1) id += "#" + std::to_string(count);
    ids.push_back(std::move(id));
  }
  return ids;
}

std::optional<std::size_t> chooseCamera(const std::vector<CameraCandidate>& candidates) {
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const auto& candidate = candidates[i];
    if (isOwnVirtualCamera(candidate)) continue;
    if (!best || rank(candidate.api) < rank(candidates[*best].api)) best = i;
  }
  return best;
}

std::vector<CameraDescription> describeCameras(const std::vector<CameraCandidate>& candidates,
                                               const std::optional<std::string>& selected) {
  const auto ids = cameraIds(candidates);
  const auto chosen = chooseCamera(candidates);
  std::vector<CameraDescription> cameras;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (isOwnVirtualCamera(candidates[i])) continue;
    cameras.push_back({ids[i], candidates[i].displayName, chosen == i, selected == ids[i]});
  }
  return cameras;
}

std::optional<CameraPick> pickCamera(const std::vector<CameraCandidate>& candidates,
                                     const std::optional<std::string>& selected) {
  if (selected) {
    const auto ids = cameraIds(candidates);
    for (std::size_t i = 0; i < candidates.size(); ++i)
      if (ids[i] == *selected && !isOwnVirtualCamera(candidates[i])) return CameraPick{i, false};
  }
  const auto chosen = chooseCamera(candidates);
  if (!chosen) return std::nullopt;
  return CameraPick{*chosen, selected.has_value()};
}

nlohmann::json camerasJson(const std::vector<CameraDescription>& cameras) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& camera : cameras)
    list.push_back(
        {{"id", camera.id}, {"name", camera.name}, {"isDefault", camera.isDefault}, {"isSelected", camera.isSelected}});
  return list;
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

// What a factory shares with the device monitor's thread: the choice, the
// last camera opened and the listener.
struct SystemCameraSourceFactory::State final : DevicesListener {
  std::optional<std::filesystem::path> settingsFile;

  mutable std::mutex mutex;  // selected, opened
  std::optional<std::string> selected;
  std::optional<CameraOpened> opened;

  std::mutex settingsMutex;  // one read-modify-write of the file at a time

  // Held while the listener runs, so replacing it waits for a running call;
  // recursive so that the listener may replace itself.
  std::recursive_mutex listenerMutex;
  CamerasChanged listener;

  std::optional<std::string> selection() const {
    std::lock_guard lock(mutex);
    return selected;
  }

  void devicesChanged(const std::vector<CameraCandidate>& candidates) override {
    std::lock_guard lock(listenerMutex);
    if (!listener) return;
    // A copy: the listener may replace itself while it runs.
    const CamerasChanged call = listener;
    call(describeCameras(candidates, selection()));
  }
};

SystemCameraSourceFactory::SystemCameraSourceFactory(std::optional<std::filesystem::path> settingsFile,
                                                     std::filesystem::path deviceDirectory)
    : deviceDirectory_(std::move(deviceDirectory)), state_(std::make_shared<State>()) {
  state_->settingsFile = std::move(settingsFile);
  if (state_->settingsFile) {
    removeStaleCameraSettingFiles(*state_->settingsFile);
    state_->selected = readCameraSetting(*state_->settingsFile);
  }
}

SystemCameraSourceFactory::~SystemCameraSourceFactory() {
  // The monitor's thread may be calling the listener right now.
  setCamerasChanged({});
}

CameraAccess SystemCameraSourceFactory::cameraAccess() {
  return probeCameraAccess(deviceDirectory_);
}

ElementPtr SystemCameraSourceFactory::makeSource() {
  // Not at construction: a program builds its factory at start-up, long
  // before (and often without) recording anything.
  ensureGStreamer();
  const Listing listing = DeviceWatch::instance().list();
  const auto pick = pickCamera(listing.candidates, state_->selection());
  if (!pick) {
    std::lock_guard lock(state_->mutex);
    state_->opened.reset();
    return nullptr;
  }
  ElementPtr camera = adoptElement(gst_device_create_element(listing.devices[pick->index].get(), nullptr));
  if (!camera) {
    std::lock_guard lock(state_->mutex);
    state_->opened.reset();
    throw GStreamerError("Could not open the camera.");
  }
  ElementPtr source = convertCameraOutput(std::move(camera));
  std::lock_guard lock(state_->mutex);
  state_->opened = CameraOpened{
      cameraIds(listing.candidates)[pick->index], listing.candidates[pick->index].displayName, pick->fellBack};
  return source;
}

std::vector<CameraDescription> SystemCameraSourceFactory::cameras() {
  ensureGStreamer();
  return describeCameras(DeviceWatch::instance().list().candidates, state_->selection());
}

bool SystemCameraSourceFactory::selectCamera(const std::optional<std::string>& id) {
  if (id) {
    const auto listed = cameras();
    if (std::none_of(listed.begin(), listed.end(), [&](const auto& camera) { return camera.id == *id; })) return false;
  }
  std::lock_guard settingsLock(state_->settingsMutex);
  if (state_->settingsFile) {
    try {
      writeCameraSetting(*state_->settingsFile, id);
    } catch (const std::exception& e) {
      Logger("CameraChoice").error(std::string("Could not keep the camera choice: ") + e.what());
    }
  }
  std::lock_guard lock(state_->mutex);
  state_->selected = id;
  return true;
}

std::optional<std::string> SystemCameraSourceFactory::selectedCamera() const {
  return state_->selection();
}

void SystemCameraSourceFactory::setCamerasChanged(CamerasChanged listener) {
  const bool listening = static_cast<bool>(listener);
  {
    std::lock_guard lock(state_->listenerMutex);
    state_->listener = std::move(listener);
  }
  if (listening) {
    ensureGStreamer();
    DeviceWatch::instance().subscribe(state_);
  }
}

std::optional<CameraOpened> SystemCameraSourceFactory::lastOpened() const {
  std::lock_guard lock(state_->mutex);
  return state_->opened;
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
