#include "Linux/GStreamerCamera.hpp"

#include "Identity.hpp"

#include <fcntl.h>
#include <gst/app/gstappsink.h>
#include <gst/video/video.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <mutex>
#include <utility>

namespace veltranocam {

namespace {

// The device monitor, once its owner is gone (see ~GStreamerCameraSystem).
GstDeviceMonitor* keptMonitor = nullptr;

struct GstObjectUnref {
  void operator()(gpointer object) const { gst_object_unref(object); }
};
using DevicePtr = std::unique_ptr<GstDevice, GstObjectUnref>;
using ElementPtr = std::unique_ptr<GstElement, GstObjectUnref>;

int rank(PhysicalCameraCandidate::Api api) {
  switch (api) {
    case PhysicalCameraCandidate::Api::pipewire: return 0;
    case PhysicalCameraCandidate::Api::v4l2: return 1;
    case PhysicalCameraCandidate::Api::other: return 2;
  }
  return 3;
}

std::string structureString(const GstStructure* structure, const char* key) {
  const gchar* value = structure ? gst_structure_get_string(structure, key) : nullptr;
  return value ? value : "";
}

PhysicalCameraCandidate describePhysicalCamera(GstDevice* device) {
  PhysicalCameraCandidate candidate;
  gchar* name = gst_device_get_display_name(device);
  candidate.displayName = name ? name : "";
  g_free(name);
  GstStructure* properties = gst_device_get_properties(device);
  const std::string api = structureString(properties, "device.api");
  const std::string typeName = G_OBJECT_TYPE_NAME(device);
  if (typeName.find("PipeWire") != std::string::npos || api == "pipewire")
    candidate.api = PhysicalCameraCandidate::Api::pipewire;
  else if (typeName.find("V4l2") != std::string::npos || api == "v4l2")
    candidate.api = PhysicalCameraCandidate::Api::v4l2;
  candidate.nodeName = structureString(properties, "node.name");
  if (properties) gst_structure_free(properties);
  return candidate;
}

// Largest value of an int field, fixed or a range.
std::optional<int> largestInt(const GstStructure* structure, const char* field) {
  const GValue* value = gst_structure_get_value(structure, field);
  if (!value) return std::nullopt;
  if (G_VALUE_HOLDS_INT(value)) return g_value_get_int(value);
  if (GST_VALUE_HOLDS_INT_RANGE(value)) return gst_value_get_int_range_max(value);
  return std::nullopt;
}

struct Rate {
  int numerator = 0;
  int denominator = 1;
  double perSecond() const { return denominator > 0 ? static_cast<double>(numerator) / denominator : 0.0; }
};

void widen(const GValue* value, std::optional<Rate>& fastest, std::optional<Rate>& slowest) {
  auto consider = [&](Rate rate) {
    if (!fastest || rate.perSecond() > fastest->perSecond()) fastest = rate;
    if (!slowest || rate.perSecond() < slowest->perSecond()) slowest = rate;
  };
  if (GST_VALUE_HOLDS_FRACTION(value)) {
    consider({gst_value_get_fraction_numerator(value), gst_value_get_fraction_denominator(value)});
  } else if (GST_VALUE_HOLDS_FRACTION_RANGE(value)) {
    widen(gst_value_get_fraction_range_min(value), fastest, slowest);
    widen(gst_value_get_fraction_range_max(value), fastest, slowest);
  } else if (GST_VALUE_HOLDS_LIST(value)) {
    for (guint i = 0; i < gst_value_list_get_size(value); ++i)
      widen(gst_value_list_get_value(value, i), fastest, slowest);
  }
}

// The duration of one frame at `rate`; invalid for a zero rate.
MediaTime frameDuration(const std::optional<Rate>& rate) {
  if (!rate || rate->numerator <= 0 || rate->denominator <= 0) return MediaTime::invalid();
  return MediaTime::make(rate->denominator, rate->numerator);
}

int openForReading(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

bool isCameraNode(const std::string& name) {
  if (name.rfind("video", 0) != 0 || name.size() == 5) return false;
  for (std::size_t i = 5; i < name.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

// The pixels of one pulled sample, mapped for as long as the frame lives.
struct MappedSample {
  GstSample* sample = nullptr;
  GstBuffer* buffer = nullptr;
  GstMapInfo map{};
  ~MappedSample() {
    if (buffer) gst_buffer_unmap(buffer, &map);
    if (sample) gst_sample_unref(sample);
  }
};

class GStreamerSession final : public PhysicalCameraSession {
 public:
  struct State {
    State(CaptureQueue& queue, CaptureCallbacks callbacks) : queue(queue), callbacks(std::move(callbacks)) {}
    CaptureQueue& queue;
    CaptureCallbacks callbacks;
    ElementPtr pipeline;
    GstAppSink* sink = nullptr;
    std::atomic<bool> pullScheduled{false};

    void reportFailure(const std::string& description) {
      queue.dispatch([weak = std::weak_ptr<State>(self), description] {
        if (auto state = weak.lock()) state->callbacks.failure(description);
      });
    }
    void pullOne();
    std::weak_ptr<State> self;
  };

  GStreamerSession(const CameraInfo& camera, const VideoFormatDescription& format, CaptureQueue& queue,
                   CaptureCallbacks callbacks);
  ~GStreamerSession() override;
  bool isRunning() const override { return running_; }
  void startRunning() override;
  void stopRunning() override;

 private:
  static GstFlowReturn onNewSample(GstAppSink* sink, gpointer data);
  static GstBusSyncReply onBusMessage(GstBus* bus, GstMessage* message, gpointer data);
  static void forgetWeak(gpointer data) { delete static_cast<std::weak_ptr<State>*>(data); }

  std::shared_ptr<State> state_;
  bool running_ = false;
};

GStreamerSession::GStreamerSession(const CameraInfo& camera, const VideoFormatDescription& format, CaptureQueue& queue,
                                   CaptureCallbacks callbacks)
    : state_(std::make_shared<State>(queue, std::move(callbacks))) {
  state_->self = state_;
  auto* device = static_cast<GstDevice*>(camera.handle.get());
  GstElement* source = device ? gst_device_create_element(device, nullptr) : nullptr;
  if (!source) throw CaptureSetupError(CaptureSetupError::Stage::createInput, "no capture element for " + camera.name);
  ElementPtr sourceElement(GST_ELEMENT(gst_object_ref_sink(source)));

  // Raw video in any format (or JPEG for cameras that only send that),
  // converted to BGRA of the advertised size; never scaled (a camera in
  // another mode fails to negotiate instead). The explicit filter also keeps
  // pipewiresrc from stalling on ANY caps. No decodebin: inside a live
  // pipeline set straight to PLAYING it leaves the pipeline waiting in PAUSED.
  bool raw = true;
  if (GstCaps* offered = gst_device_get_caps(device)) {
    GstCaps* rawCaps = gst_caps_from_string("video/x-raw");
    raw = gst_caps_can_intersect(offered, rawCaps);
    gst_caps_unref(rawCaps);
    gst_caps_unref(offered);
  }
  const std::string description =
      std::string(raw ? "capsfilter caps=video/x-raw" : "capsfilter caps=image/jpeg ! jpegdec") +
      " ! videoconvert ! capsfilter caps=\"video/x-raw,format=BGRA,width=" + std::to_string(format.width) +
      ",height=" + std::to_string(format.height) + "\"";
  GError* error = nullptr;
  GstElement* convert = gst_parse_bin_from_description(description.c_str(), TRUE, &error);
  if (!convert) {
    std::string text = error ? error->message : "no converter";
    if (error) g_error_free(error);
    throw CaptureSetupError(CaptureSetupError::Stage::addOutput, text);
  }
  ElementPtr convertElement(GST_ELEMENT(gst_object_ref_sink(convert)));
  GstElement* sink = gst_element_factory_make("appsink", "sink");
  if (!sink) throw CaptureSetupError(CaptureSetupError::Stage::addOutput, "no appsink");
  ElementPtr sinkElement(GST_ELEMENT(gst_object_ref_sink(sink)));
  g_object_set(sink, "drop", TRUE, "max-buffers", 1u, "sync", FALSE, "emit-signals", FALSE, nullptr);

  state_->pipeline.reset(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new("camera-capture"))));
  GstBin* bin = GST_BIN(state_->pipeline.get());
  // The elements are no longer floating, so the bin takes a reference of its
  // own and ours are released below.
  gst_bin_add_many(bin, source, convert, sink, nullptr);
  if (!gst_element_link(source, convert))
    throw CaptureSetupError(CaptureSetupError::Stage::addInput, "camera does not link");
  if (!gst_element_link(convert, sink))
    throw CaptureSetupError(CaptureSetupError::Stage::addOutput, "output does not link");
  state_->sink = GST_APP_SINK(sink);

  GstAppSinkCallbacks sinkCallbacks{};
  sinkCallbacks.new_sample = &GStreamerSession::onNewSample;
  gst_app_sink_set_callbacks(state_->sink, &sinkCallbacks, new std::weak_ptr<State>(state_), &forgetWeak);
  GstBus* bus = gst_element_get_bus(state_->pipeline.get());
  gst_bus_set_sync_handler(bus, &GStreamerSession::onBusMessage, new std::weak_ptr<State>(state_), &forgetWeak);
  gst_object_unref(bus);
}

GStreamerSession::~GStreamerSession() {
  if (!state_->pipeline) return;
  gst_element_set_state(state_->pipeline.get(), GST_STATE_NULL);
  GstBus* bus = gst_element_get_bus(state_->pipeline.get());
  gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
  gst_object_unref(bus);
}

void GStreamerSession::startRunning() {
  running_ = true;
  if (gst_element_set_state(state_->pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
    state_->reportFailure("the capture pipeline did not start");
}

void GStreamerSession::stopRunning() {
  running_ = false;
  gst_element_set_state(state_->pipeline.get(), GST_STATE_NULL);
}

GstFlowReturn GStreamerSession::onNewSample(GstAppSink*, gpointer data) {
  auto state = static_cast<std::weak_ptr<State>*>(data)->lock();
  if (!state) return GST_FLOW_OK;
  // One pull task in flight at most: the appsink keeps only the newest
  // sample, so a busy queue drops late frames instead of queueing them.
  if (!state->pullScheduled.exchange(true))
    state->queue.dispatch([weak = state->self] {
      if (auto s = weak.lock()) s->pullOne();
    });
  return GST_FLOW_OK;
}

void GStreamerSession::State::pullOne() {
  pullScheduled = false;
  GstSample* sample = gst_app_sink_try_pull_sample(sink, 0);
  if (!sample) return;
  auto mapped = std::make_shared<MappedSample>();
  mapped->sample = sample;
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  GstVideoInfo info;
  if (!buffer || !gst_video_info_from_caps(&info, gst_sample_get_caps(sample))) return;
  if (!gst_buffer_map(buffer, &mapped->map, GST_MAP_READ)) return;
  mapped->buffer = buffer;

  VideoFrame frame;
  const GstVideoMeta* meta = gst_buffer_get_video_meta(buffer);
  const std::size_t offset = meta ? meta->offset[0] : GST_VIDEO_INFO_PLANE_OFFSET(&info, 0);
  frame.width = GST_VIDEO_INFO_WIDTH(&info);
  frame.height = GST_VIDEO_INFO_HEIGHT(&info);
  frame.stride = static_cast<std::size_t>(meta ? meta->stride[0] : GST_VIDEO_INFO_PLANE_STRIDE(&info, 0));
  if (offset <= mapped->map.size) {
    frame.data = mapped->map.data + offset;
    frame.size = mapped->map.size - offset;
  }
  // Presentation time on the pipeline's clock (CLOCK_MONOTONIC for both the
  // system clock and PipeWire's).
  if (GST_BUFFER_PTS_IS_VALID(buffer))
    frame.presentationTime = MediaTime::make(
        static_cast<std::int64_t>(gst_element_get_base_time(pipeline.get()) + GST_BUFFER_PTS(buffer)), 1'000'000'000);
  frame.storage = std::move(mapped);
  callbacks.frame(std::move(frame));
}

GstBusSyncReply GStreamerSession::onBusMessage(GstBus*, GstMessage* message, gpointer data) {
  auto state = static_cast<std::weak_ptr<State>*>(data)->lock();
  if (state) {
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
      GError* error = nullptr;
      gst_message_parse_error(message, &error, nullptr);
      state->reportFailure(error ? error->message : "capture error");
      if (error) g_error_free(error);
    } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
      state->reportFailure("the camera ended its stream");
    }
  }
  // Nobody pops this bus: dropping every message keeps it from growing. A
  // dropped message is the handler's to release (it holds its source).
  gst_message_unref(message);
  return GST_BUS_DROP;
}

}  // namespace

std::optional<std::size_t> choosePhysicalCamera(const std::vector<PhysicalCameraCandidate>& candidates) {
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const auto& candidate = candidates[i];
    if (candidate.nodeName == kDeviceName || candidate.displayName == kDeviceName) continue;
    if (!best || rank(candidate.api) < rank(candidates[*best].api)) best = i;
  }
  return best;
}

std::optional<CameraInfo> bestCameraMode(const GstCaps* caps) {
  std::optional<CameraInfo> best;
  std::optional<Rate> bestFastest;
  for (guint i = 0; caps && i < gst_caps_get_size(caps); ++i) {
    const GstStructure* structure = gst_caps_get_structure(caps, i);
    if (!gst_structure_has_name(structure, "video/x-raw") && !gst_structure_has_name(structure, "image/jpeg")) continue;
    const auto width = largestInt(structure, "width");
    const auto height = largestInt(structure, "height");
    if (!width || !height || *width <= 0 || *height <= 0) continue;
    std::optional<Rate> fastest, slowest;
    if (const GValue* rate = gst_structure_get_value(structure, "framerate")) widen(rate, fastest, slowest);
    const long long area = static_cast<long long>(*width) * *height;
    const long long bestArea = best ? static_cast<long long>(best->width) * best->height : -1;
    const bool faster = fastest && (!bestFastest || fastest->perSecond() > bestFastest->perSecond());
    if (area > bestArea || (area == bestArea && faster)) {
      best = CameraInfo{"", *width, *height, frameDuration(fastest), frameDuration(slowest), {}};
      bestFastest = fastest;
    }
  }
  return best;
}

CameraAuthorizationStatus probePhysicalCameraAccess(const std::filesystem::path& deviceDirectory) {
  std::error_code ec;
  bool refused = false;
  for (std::filesystem::directory_iterator it(deviceDirectory, ec), end; !ec && it != end; it.increment(ec)) {
    if (!isCameraNode(it->path().filename().string())) continue;
    const int error = openForReading(it->path());
    if (error == 0) return CameraAuthorizationStatus::authorized;
    if (error == EACCES || error == EPERM) refused = true;
  }
  return refused ? CameraAuthorizationStatus::denied : CameraAuthorizationStatus::authorized;
}

GStreamerCameraSystem::GStreamerCameraSystem(std::filesystem::path deviceDirectory)
    : deviceDirectory_(std::move(deviceDirectory)) {
  gst_init(nullptr, nullptr);
}

CameraAuthorizationStatus GStreamerCameraSystem::authorizationStatus() {
  return probePhysicalCameraAccess(deviceDirectory_);
}

void GStreamerCameraSystem::requestAccess(std::function<void(bool)> answer) {
  answer(authorizationStatus() == CameraAuthorizationStatus::authorized);
}

GStreamerCameraSystem::~GStreamerCameraSystem() {
  // Never stopped: Debian 12's PipeWire device provider frees a proxy twice
  // when it stops (its protocol thread frees it too), which can abort the
  // program on its way out. The program ends after this; the monitor is
  // kept reachable until then.
  if (monitor_) keptMonitor = std::exchange(monitor_, nullptr);
}

std::optional<CameraInfo> GStreamerCameraSystem::defaultCamera() {
  GList* devices = nullptr;
  {
    std::lock_guard lock(monitorMutex_);
    if (!monitor_) {
      GstDeviceMonitor* monitor = gst_device_monitor_new();
      gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
      // Nobody pops the monitor's bus; dropping its hot-plug messages keeps
      // it from growing. The list is read afresh at every lookup instead.
      GstBus* bus = gst_device_monitor_get_bus(monitor);
      gst_bus_set_sync_handler(
          bus,
          [](GstBus*, GstMessage* message, gpointer) {
            gst_message_unref(message);
            return GST_BUS_DROP;
          },
          nullptr, nullptr);
      gst_object_unref(bus);
      if (!gst_device_monitor_start(monitor)) {
        gst_object_unref(monitor);
        return std::nullopt;
      }
      monitor_ = monitor;
    }
    devices = gst_device_monitor_get_devices(monitor_);
  }

  std::vector<GstDevice*> listed;
  std::vector<PhysicalCameraCandidate> candidates;
  for (GList* item = devices; item; item = item->next) {
    listed.push_back(GST_DEVICE(item->data));
    candidates.push_back(describePhysicalCamera(GST_DEVICE(item->data)));
  }
  std::optional<CameraInfo> info;
  if (const auto chosen = choosePhysicalCamera(candidates)) {
    GstDevice* device = listed[*chosen];
    GstCaps* caps = gst_device_get_caps(device);
    info = bestCameraMode(caps);
    if (caps) gst_caps_unref(caps);
    // A camera without a usable mode is still the camera: it then fails to
    // build a description and the device reports why.
    if (!info) info = CameraInfo{};
    info->name = candidates[*chosen].displayName;
    info->handle = std::shared_ptr<void>(gst_object_ref(device), [](void* d) { gst_object_unref(d); });
  }
  g_list_free_full(devices, gst_object_unref);
  return info;
}

std::unique_ptr<PhysicalCameraSession> GStreamerCameraSystem::makeSession(const CameraInfo& camera,
                                                                          const VideoFormatDescription& format,
                                                                          CaptureQueue& queue,
                                                                          CaptureCallbacks callbacks) {
  return std::make_unique<GStreamerSession>(camera, format, queue, std::move(callbacks));
}

}  // namespace veltranocam
