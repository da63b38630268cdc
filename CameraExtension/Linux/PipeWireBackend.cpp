#include "Linux/PipeWireBackend.hpp"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

namespace veltranocam {

namespace {

constexpr int kMaxBackoffSeconds = 30;

std::string fourCharacterCode(std::uint32_t code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[i] = static_cast<char>((code >> (24 - 8 * i)) & 0xff);
  return text;
}

}  // namespace

struct PipeWireBackend::Impl : std::enable_shared_from_this<Impl> {
  explicit Impl(Logger& logger) : logger(logger) {}
  ~Impl();

  void connect();
  void disconnect();
  void armTimer(int seconds, long nanoseconds = 0);
  static void onTimer(void* data, std::uint64_t expirations);
  static void onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);

  Logger& logger;
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  spa_hook coreListener{};
  spa_source* timer = nullptr;
  pw_core_events coreEvents{};
  int backoffSeconds = 1;
  int failedAttempts = 0;
  bool running = false;
  bool loopStarted = false;
  std::shared_ptr<Stream> published;
  // Told once, the first time the node is in the graph.
  std::function<void()> onFirstPublished;
  bool announced = false;
};

class PipeWireBackend::Stream final : public PublishedStream {
 public:
  Stream(std::weak_ptr<Impl> impl, StreamDescription description, std::weak_ptr<StreamEvents> events)
      : impl_(std::move(impl)), description_(std::move(description)), events_(std::move(events)) {
    streamEvents_.version = PW_VERSION_STREAM_EVENTS;
    streamEvents_.state_changed = &Stream::onStateChanged;
    streamEvents_.param_changed = &Stream::onParamChanged;
    streamEvents_.process = &Stream::onProcess;
  }

  void send(const VideoFrame& frame, std::uint64_t hostTimeNanoseconds) override;
  void releaseFrames() override;

  // Loop thread (or loop lock held) from here on.
  void create(pw_core* core, const DeviceDescription& device);
  void destroy();
  bool owns(const Impl* impl) const { return impl_.lock().get() == impl; }

  DeviceDescription device;

 private:
  struct Pending {
    VideoFrame frame;
    std::uint64_t hostTime = 0;
  };

  void beginIfNeeded();
  void endIfNeeded();
  static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error);
  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
  static void onProcess(void* data);

  std::weak_ptr<Impl> impl_;
  StreamDescription description_;
  std::weak_ptr<StreamEvents> events_;
  pw_stream_events streamEvents_{};
  pw_stream* stream_ = nullptr;
  spa_hook listener_{};
  bool streaming_ = false;
  bool haveFormat_ = false;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::uint32_t stride_ = 0;
  std::uint64_t sequence_ = 0;
  bool misfitLogged_ = false;

  std::mutex pendingMutex_;
  std::optional<Pending> pending_;
};

// ---- Stream -----------------------------------------------------------------

void PipeWireBackend::Stream::send(const VideoFrame& frame, std::uint64_t hostTimeNanoseconds) {
  auto impl = impl_.lock();
  if (!impl) return;
  {
    std::lock_guard lock(pendingMutex_);
    pending_ = Pending{frame, hostTimeNanoseconds};
  }
  pw_thread_loop_lock(impl->loop);
  if (stream_ && streaming_) pw_stream_trigger_process(stream_);
  pw_thread_loop_unlock(impl->loop);
}

void PipeWireBackend::Stream::releaseFrames() {
  auto impl = impl_.lock();
  if (!impl) return;
  // The loop lock waits out a process callback that is copying a frame.
  pw_thread_loop_lock(impl->loop);
  {
    std::lock_guard lock(pendingMutex_);
    pending_.reset();
  }
  pw_thread_loop_unlock(impl->loop);
}

void PipeWireBackend::Stream::create(pw_core* core, const DeviceDescription& device) {
  const auto& format = description_.format.formatDescription;
  pw_properties* props = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS, "Video/Source",
      PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_NODE_NAME, device.localizedName.c_str(), PW_KEY_NODE_DESCRIPTION,
      device.localizedName.c_str(), PW_KEY_MEDIA_NAME, description_.localizedName.c_str(), PW_KEY_DEVICE_VENDOR_NAME,
      device.manufacturer.c_str(), PW_KEY_DEVICE_PRODUCT_NAME, device.model.c_str(), "veltrano.device.identifier",
      device.identifier.c_str(), "veltrano.device.manufacturer", device.manufacturer.c_str(), "veltrano.device.model",
      device.model.c_str(), "veltrano.device.transport", fourCharacterCode(device.transportType).c_str(),
      "veltrano.stream.name", description_.localizedName.c_str(), "veltrano.stream.identifier",
      description_.identifier.c_str(), nullptr);
  stream_ = pw_stream_new(core, device.localizedName.c_str(), props);
  if (!stream_) throw std::runtime_error(std::string("pw_stream_new: ") + std::strerror(errno));
  pw_stream_add_listener(stream_, &listener_, &streamEvents_, this);

  // One format: BGRA at the advertised size, at the rate the frame duration
  // gives (duration value/timescale seconds = timescale/value frames a second).
  std::uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
  spa_rectangle size{static_cast<std::uint32_t>(format.width), static_cast<std::uint32_t>(format.height)};
  const auto duration = description_.frameDuration;
  spa_fraction rate{static_cast<std::uint32_t>(duration.timescale), static_cast<std::uint32_t>(duration.value)};
  const spa_pod* params[1];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_Id(SPA_VIDEO_FORMAT_BGRA), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
      SPA_POD_Fraction(&rate)));
  const int result =
      pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
  if (result < 0) {
    destroy();
    throw std::runtime_error(std::string("pw_stream_connect: ") + std::strerror(-result));
  }
}

void PipeWireBackend::Stream::destroy() {
  endIfNeeded();
  if (stream_) {
    spa_hook_remove(&listener_);
    pw_stream_destroy(stream_);
    stream_ = nullptr;
  }
  haveFormat_ = false;
  std::lock_guard lock(pendingMutex_);
  pending_.reset();
}

void PipeWireBackend::Stream::beginIfNeeded() {
  if (streaming_) return;
  streaming_ = true;
  auto events = events_.lock();
  if (!events) return;
  try {
    events->startStream();
  } catch (const std::exception& error) {
    // Not counted as started, so no stop may follow for it.
    streaming_ = false;
    if (auto impl = impl_.lock()) impl->logger.error(std::string("Stream start failed: ") + error.what());
  }
}

void PipeWireBackend::Stream::endIfNeeded() {
  if (!streaming_) return;
  streaming_ = false;
  if (auto events = events_.lock()) {
    try {
      events->stopStream();
    } catch (const std::exception& error) {
      if (auto impl = impl_.lock()) impl->logger.error(std::string("Stream stop failed: ") + error.what());
    }
  }
  std::lock_guard lock(pendingMutex_);
  pending_.reset();
}

void PipeWireBackend::Stream::onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  auto* self = static_cast<Stream*>(data);
  if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING)
    if (auto impl = self->impl_.lock(); impl && !impl->announced) {
      impl->announced = true;
      if (impl->onFirstPublished) impl->onFirstPublished();
    }
  if (state == PW_STREAM_STATE_STREAMING) {
    self->beginIfNeeded();
    return;
  }
  self->endIfNeeded();
  if (state == PW_STREAM_STATE_ERROR)
    if (auto impl = self->impl_.lock())
      impl->logger.error(std::string("PipeWire stream error: ") + (error ? error : ""));
}

void PipeWireBackend::Stream::onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
  auto* self = static_cast<Stream*>(data);
  if (id != SPA_PARAM_Format) return;
  if (!param) {
    // The node was suspended: no consumer is left.
    self->haveFormat_ = false;
    self->endIfNeeded();
    return;
  }
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(param, &info) < 0) return;
  self->width_ = info.size.width;
  self->height_ = info.size.height;
  self->stride_ = SPA_ROUND_UP_N(self->width_ * 4, 4);
  self->haveFormat_ = true;

  std::uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
  const spa_pod* params[2];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
      SPA_POD_Int(static_cast<int>(self->stride_ * self->height_)), SPA_PARAM_BUFFERS_stride,
      SPA_POD_Int(static_cast<int>(self->stride_)), SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  pw_stream_update_params(self->stream_, params, 2);
}

void PipeWireBackend::Stream::onProcess(void* data) {
  auto* self = static_cast<Stream*>(data);
  std::optional<Pending> pending;
  {
    std::lock_guard lock(self->pendingMutex_);
    pending.swap(self->pending_);
  }
  if (!pending || !self->haveFormat_) return;
  pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
  if (!buffer) return;  // every buffer is with a consumer: this frame is dropped
  spa_buffer* spa = buffer->buffer;
  spa_data& plane = spa->datas[0];
  const auto& frame = pending->frame;
  const std::size_t rowBytes = std::size_t{self->width_} * 4;
  const std::size_t needed = std::size_t{self->stride_} * self->height_;
  const bool fits = plane.data && static_cast<std::uint32_t>(frame.width) == self->width_ &&
                    static_cast<std::uint32_t>(frame.height) == self->height_ && needed <= plane.maxsize &&
                    frame.stride >= rowBytes && frame.size >= frame.stride * (self->height_ - 1) + rowBytes;
  if (!fits) {
    if (!self->misfitLogged_)
      if (auto impl = self->impl_.lock())
        impl->logger.error("Dropping frames that do not fit the negotiated " + std::to_string(self->width_) + "x" +
                           std::to_string(self->height_) + " buffers");
    self->misfitLogged_ = true;
    plane.chunk->size = 0;
    pw_stream_queue_buffer(self->stream_, buffer);
    return;
  }
  self->misfitLogged_ = false;
  auto* target = static_cast<std::uint8_t*>(plane.data);
  if (frame.stride == self->stride_) {
    std::memcpy(target, frame.data, needed);
  } else {
    for (std::uint32_t row = 0; row < self->height_; ++row)
      std::memcpy(target + row * std::size_t{self->stride_}, frame.data + row * frame.stride, rowBytes);
  }
  plane.chunk->offset = 0;
  plane.chunk->stride = static_cast<std::int32_t>(self->stride_);
  plane.chunk->size = static_cast<std::uint32_t>(needed);
  if (auto* header =
          static_cast<spa_meta_header*>(spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)))) {
    header->flags = 0;
    header->offset = 0;
    header->pts = static_cast<std::int64_t>(std::min<std::uint64_t>(pending->hostTime, INT64_MAX));
    header->dts_offset = 0;
    header->seq = self->sequence_++;
  }
  pw_stream_queue_buffer(self->stream_, buffer);
}

// ---- Impl -------------------------------------------------------------------

PipeWireBackend::Impl::~Impl() {
  if (loop) {
    if (loopStarted) pw_thread_loop_stop(loop);
    if (timer) pw_loop_destroy_source(pw_thread_loop_get_loop(loop), timer);
    if (context) pw_context_destroy(context);
    pw_thread_loop_destroy(loop);
  }
}

void PipeWireBackend::Impl::armTimer(int seconds, long nanoseconds) {
  timespec value{seconds, nanoseconds};
  pw_loop_update_timer(pw_thread_loop_get_loop(loop), timer, &value, nullptr, false);
}

void PipeWireBackend::Impl::connect() {
  core = pw_context_connect(context, nullptr, 0);
  if (!core) {
    const int error = errno;
    ++failedAttempts;
    logger.error(std::string("Cannot connect to PipeWire (") + std::strerror(error) + "); retrying in " +
                 std::to_string(backoffSeconds) + " s");
    armTimer(backoffSeconds);
    backoffSeconds = std::min(backoffSeconds * 2, kMaxBackoffSeconds);
    return;
  }
  coreEvents.version = PW_VERSION_CORE_EVENTS;
  coreEvents.error = &Impl::onCoreError;
  pw_core_add_listener(core, &coreListener, &coreEvents, this);
  if (published) {
    try {
      published->create(core, published->device);
    } catch (const std::exception& error) {
      logger.error(std::string("Cannot publish the camera node: ") + error.what() + "; retrying in " +
                   std::to_string(backoffSeconds) + " s");
      disconnect();
      armTimer(backoffSeconds);
      backoffSeconds = std::min(backoffSeconds * 2, kMaxBackoffSeconds);
      return;
    }
  }
  if (failedAttempts > 0)
    logger.error("Connected to PipeWire after " + std::to_string(failedAttempts) + " failed attempts");
  failedAttempts = 0;
  backoffSeconds = 1;
}

void PipeWireBackend::Impl::disconnect() {
  if (published) published->destroy();
  if (core) {
    spa_hook_remove(&coreListener);
    pw_core_disconnect(core);
    core = nullptr;
  }
}

void PipeWireBackend::Impl::onTimer(void* data, std::uint64_t) {
  auto* self = static_cast<Impl*>(data);
  if (!self->running) return;
  self->disconnect();
  self->connect();
}

void PipeWireBackend::Impl::onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
  auto* self = static_cast<Impl*>(data);
  if (id != PW_ID_CORE || res != -EPIPE) return;
  self->logger.error(std::string("Lost the PipeWire connection (") + (message ? message : "") + "); reconnecting");
  // Not from inside the core's own callback: on the next loop turn.
  self->armTimer(0, 1'000'000);
}

// ---- PipeWireBackend --------------------------------------------------------

PipeWireBackend::PipeWireBackend(Logger& logger) : impl_(std::make_shared<Impl>(logger)) {
  pw_init(nullptr, nullptr);
  impl_->loop = pw_thread_loop_new("veltranocam-pw", nullptr);
  if (!impl_->loop) throw std::runtime_error("pw_thread_loop_new failed");
  impl_->context = pw_context_new(pw_thread_loop_get_loop(impl_->loop), nullptr, 0);
  if (!impl_->context) throw std::runtime_error("pw_context_new failed");
  impl_->timer = pw_loop_add_timer(pw_thread_loop_get_loop(impl_->loop), &Impl::onTimer, impl_.get());
}

PipeWireBackend::~PipeWireBackend() {
  stop();
}

std::shared_ptr<PublishedStream> PipeWireBackend::makeStream(const StreamDescription& description,
                                                             std::weak_ptr<StreamEvents> events) {
  return std::make_shared<Stream>(impl_, description, std::move(events));
}

void PipeWireBackend::addStream(const DeviceDescription& device, const std::shared_ptr<PublishedStream>& stream) {
  auto ours = std::dynamic_pointer_cast<Stream>(stream);
  if (!ours || !ours->owns(impl_.get())) throw std::logic_error("the stream was not made by this PipeWire backend");
  pw_thread_loop_lock(impl_->loop);
  const bool taken = impl_->published != nullptr;
  if (!taken) {
    ours->device = device;
    impl_->published = ours;
    if (impl_->core) {
      // Already connected: publish now, or retry through the backoff.
      impl_->disconnect();
      impl_->connect();
    }
  }
  pw_thread_loop_unlock(impl_->loop);
  if (taken) throw std::logic_error("this PipeWire backend already publishes a stream");
}

void PipeWireBackend::whenFirstPublished(std::function<void()> handler) {
  pw_thread_loop_lock(impl_->loop);
  impl_->onFirstPublished = std::move(handler);
  pw_thread_loop_unlock(impl_->loop);
}

void PipeWireBackend::start() {
  if (!impl_->loopStarted) {
    if (pw_thread_loop_start(impl_->loop) < 0) throw std::runtime_error("pw_thread_loop_start failed");
    impl_->loopStarted = true;
  }
  pw_thread_loop_lock(impl_->loop);
  if (!impl_->running) {
    impl_->running = true;
    impl_->connect();
  }
  pw_thread_loop_unlock(impl_->loop);
}

void PipeWireBackend::stop() {
  if (!impl_->loopStarted) return;
  pw_thread_loop_lock(impl_->loop);
  impl_->running = false;
  impl_->disconnect();
  pw_thread_loop_unlock(impl_->loop);
  pw_thread_loop_stop(impl_->loop);
  impl_->loopStarted = false;
}

}  // namespace veltranocam
