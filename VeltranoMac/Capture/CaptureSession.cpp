#include "Capture/CaptureSession.hpp"

#include <vector>

namespace veltrano {

std::uint64_t SessionNotifications::add(Kind kind, Handler handler) {
  std::lock_guard lock(mutex_);
  const auto token = next_++;
  handlers_.emplace(token, std::make_pair(kind, std::move(handler)));
  return token;
}

void SessionNotifications::remove(std::uint64_t token) {
  std::lock_guard lock(mutex_);
  handlers_.erase(token);
}

void SessionNotifications::post(Kind kind, std::exception_ptr error) {
  // Handlers run under the lock so that remove() really is the end of them;
  // they only post to queues and never call back in here.
  std::lock_guard lock(mutex_);
  for (auto& [token, entry] : handlers_)
    if (entry.first == kind) entry.second(error);
}

namespace {

struct BusContext {
  std::weak_ptr<SessionNotifications> notifications;
  std::atomic<bool>* running;
};
using BusData = CallbackData<BusContext>;
using FrameData = CallbackData<CaptureSession::FrameHandler>;

}  // namespace

CaptureSession::CaptureSession() : notifications_(std::make_shared<SessionNotifications>()) {
  ensureGStreamer();
  pipeline_ = adoptElement(gst_pipeline_new("capture"));
  GstBus* bus = gst_element_get_bus(pipeline_.get());
  // The sync handler runs on the posting thread, like a notification
  // observer without a queue.
  gst_bus_set_sync_handler(
      bus, &CaptureSession::onBusMessage, new BusData(BusContext{notifications_, &running_}), &BusData::destroy);
  gst_object_unref(bus);
}

CaptureSession::~CaptureSession() {
  gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
  GstBus* bus = gst_element_get_bus(pipeline_.get());
  gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
  gst_object_unref(bus);
}

GstBusSyncReply CaptureSession::onBusMessage(GstBus*, GstMessage* message, gpointer data) {
  auto* context = &BusData::from(data);
  auto notifications = context->notifications.lock();
  switch (notifications ? GST_MESSAGE_TYPE(message) : GST_MESSAGE_UNKNOWN) {
    case GST_MESSAGE_ERROR:
      context->running->store(false);
      notifications->post(
          SessionNotifications::Kind::runtimeError, std::make_exception_ptr(GStreamerError::fromMessage(message)));
      break;
    case GST_MESSAGE_EOS:
      // The camera ended the stream on its own.
      context->running->store(false);
      notifications->post(SessionNotifications::Kind::didStop, nullptr);
      break;
    default: break;
  }
  // Nobody pops this bus; keeping messages would only pile them up. A
  // dropped message is ours to release: it holds its source element, and
  // with it the whole pipeline.
  gst_message_unref(message);
  return GST_BUS_DROP;
}

bool CaptureSession::addInput(ElementPtr source) {
  if (!source || source_) return false;
  // The pipeline takes a reference of its own; ours goes with `source`.
  if (!gst_bin_add(GST_BIN(pipeline_.get()), source.get())) return false;
  source_ = source.get();
  return true;
}

bool CaptureSession::addOutput(FrameHandler onFrame) {
  if (!source_ || output_) return false;
  GstElement* sink = gst_element_factory_make("appsink", "video-data-output");
  if (!sink) return false;
  CapsPtr caps(gst_caps_from_string("video/x-raw,format=NV12"));
  g_object_set(
      sink, "caps", caps.get(), "drop", TRUE, "max-buffers", 1u, "sync", FALSE, "emit-signals", FALSE, nullptr);
  if (!gst_bin_add(GST_BIN(pipeline_.get()), sink)) return false;
  if (!gst_element_link(source_, sink)) {
    gst_bin_remove(GST_BIN(pipeline_.get()), sink);
    return false;
  }
  GstAppSinkCallbacks callbacks{};
  callbacks.new_sample = [](GstAppSink* appsink, gpointer data) -> GstFlowReturn {
    FrameData::from(data)(appsink);
    return GST_FLOW_OK;
  };
  gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, new FrameData(std::move(onFrame)), &FrameData::destroy);
  output_ = GST_APP_SINK(sink);
  return true;
}

ObserverRegistration CaptureSession::observe(SessionNotifications::Kind kind, SessionNotifications::Handler handler) {
  return ObserverRegistration{notifications_, notifications_->add(kind, std::move(handler))};
}

void CaptureSession::startRunning() {
  running_.store(true);
  if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    running_.store(false);
    notifications_->post(SessionNotifications::Kind::runtimeError,
                         std::make_exception_ptr(GStreamerError("The camera could not be started.")));
  }
}

void CaptureSession::stopRunning() {
  gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
  running_.store(false);
  notifications_->post(SessionNotifications::Kind::didStop, nullptr);
}

}  // namespace veltrano
