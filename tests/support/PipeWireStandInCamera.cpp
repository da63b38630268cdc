#include "PipeWireStandInCamera.hpp"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <time.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

namespace veltrano::testing {

namespace {

std::uint64_t monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace

struct PipeWireStandInCamera::Impl {
  int width = 0;
  int height = 0;
  int rate = 30;
  std::uint32_t stride = 0;
  pw_thread_loop* loop = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  pw_stream_events events{};
  spa_source* timer = nullptr;
  bool streaming = false;
  bool hashFrames = true;
  std::optional<std::uint8_t> flatGrey;
  std::uint64_t frame = 0;

  mutable std::mutex mutex;
  std::unordered_map<std::uint64_t, std::uint64_t> sentAt;
  std::unordered_map<std::uint64_t, std::uint64_t> frameSentAt;
  std::uint64_t framesSent = 0;

  static void onState(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* self = static_cast<Impl*>(data);
    self->streaming = state == PW_STREAM_STATE_STREAMING;
    timespec period{0, 1'000'000'000 / self->rate};
    timespec off{0, 0};
    pw_loop_update_timer(pw_thread_loop_get_loop(self->loop), self->timer, self->streaming ? &period : &off,
                         self->streaming ? &period : &off, false);
  }

  static void onParam(void* data, std::uint32_t id, const spa_pod* param) {
    auto* self = static_cast<Impl*>(data);
    if (id != SPA_PARAM_Format || !param) return;
    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
        SPA_POD_Int(static_cast<int>(self->stride) * self->height), SPA_PARAM_BUFFERS_stride,
        SPA_POD_Int(static_cast<int>(self->stride)), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    pw_stream_update_params(self->stream, params, 2);
  }

  static void onTimer(void* data, std::uint64_t) {
    auto* self = static_cast<Impl*>(data);
    if (self->streaming) pw_stream_trigger_process(self->stream);
  }

  static void onProcess(void* data) {
    auto* self = static_cast<Impl*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream);
    if (!buffer) return;
    spa_data& plane = buffer->buffer->datas[0];
    const std::size_t size = std::size_t{self->stride} * self->height;
    if (!plane.data || plane.maxsize < size) {
      plane.chunk->size = 0;
      pw_stream_queue_buffer(self->stream, buffer);
      return;
    }
    auto* pixels = static_cast<std::uint8_t*>(plane.data);
    const std::uint64_t n = self->frame++;
    const int bar = static_cast<int>(n % static_cast<std::uint64_t>(self->width));
    for (int y = 0; self->flatGrey && y < self->height; ++y)
      std::memset(pixels + std::size_t{self->stride} * y, *self->flatGrey, std::size_t{self->stride});
    for (int y = 0; !self->flatGrey && y < self->height; ++y) {
      std::uint8_t* row = pixels + std::size_t{self->stride} * y;
      for (int x = 0; x < self->width; ++x) {
        std::uint8_t* p = row + 4 * std::ptrdiff_t{x};
        const bool onBar = x >= bar && x < bar + 8;
        p[0] = static_cast<std::uint8_t>(onBar ? 255 : x);
        p[1] = static_cast<std::uint8_t>(onBar ? 255 : y);
        p[2] = static_cast<std::uint8_t>(x ^ y);
        p[3] = 255;
      }
    }
    std::memcpy(pixels, &n, sizeof n);  // every frame unique
    const auto hash = self->hashFrames ? PipeWireStandInCamera::hash(pixels, size) : 0;
    const auto now = monotonicNow();
    {
      std::lock_guard lock(self->mutex);
      if (self->hashFrames) self->sentAt[hash] = now;
      self->frameSentAt[n] = now;
      ++self->framesSent;
    }
    plane.chunk->offset = 0;
    plane.chunk->stride = static_cast<std::int32_t>(self->stride);
    plane.chunk->size = static_cast<std::uint32_t>(size);
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(buffer->buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
      header->pts = static_cast<std::int64_t>(now);
      header->flags = 0;
      header->seq = n;
      header->dts_offset = 0;
    }
    pw_stream_queue_buffer(self->stream, buffer);
  }
};

PipeWireStandInCamera::PipeWireStandInCamera(std::string nodeName, int width, int height, int framesPerSecond,
                                             bool hashFrames, std::optional<std::uint8_t> flatGrey)
    : impl_(std::make_unique<Impl>()) {
  pw_init(nullptr, nullptr);
  auto& s = *impl_;
  s.width = width;
  s.hashFrames = hashFrames;
  s.flatGrey = flatGrey;
  s.height = height;
  s.rate = framesPerSecond;
  s.stride = static_cast<std::uint32_t>(width) * 4;
  s.loop = pw_thread_loop_new("standin-camera", nullptr);
  s.events.version = PW_VERSION_STREAM_EVENTS;
  s.events.state_changed = &Impl::onState;
  s.events.param_changed = &Impl::onParam;
  s.events.process = &Impl::onProcess;
  s.timer = pw_loop_add_timer(pw_thread_loop_get_loop(s.loop), &Impl::onTimer, &s);
  pw_thread_loop_lock(s.loop);
  s.stream = pw_stream_new_simple(
      pw_thread_loop_get_loop(s.loop), nodeName.c_str(),
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS,
                        "Video/Source", PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_NODE_NAME, nodeName.c_str(),
                        PW_KEY_NODE_DESCRIPTION, nodeName.c_str(), nullptr),
      &s.events, &s);
  std::uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
  spa_rectangle size{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
  spa_fraction rate{static_cast<std::uint32_t>(framesPerSecond), 1};
  const spa_pod* params[1];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_Id(SPA_VIDEO_FORMAT_BGRA), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
      SPA_POD_Fraction(&rate)));
  const int result =
      s.stream ? pw_stream_connect(s.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                   static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                                   params, 1)
               : -1;
  pw_thread_loop_unlock(s.loop);
  if (result < 0) throw std::runtime_error("the stand-in camera could not connect to PipeWire");
  pw_thread_loop_start(s.loop);
}

PipeWireStandInCamera::~PipeWireStandInCamera() {
  auto& s = *impl_;
  pw_thread_loop_stop(s.loop);
  if (s.stream) pw_stream_destroy(s.stream);
  pw_loop_destroy_source(pw_thread_loop_get_loop(s.loop), s.timer);
  pw_thread_loop_destroy(s.loop);
}

bool PipeWireStandInCamera::sent(std::uint64_t hash) const {
  return sentAt(hash) != 0;
}

std::uint64_t PipeWireStandInCamera::sentAt(std::uint64_t hash) const {
  std::lock_guard lock(impl_->mutex);
  const auto found = impl_->sentAt.find(hash);
  return found == impl_->sentAt.end() ? 0 : found->second;
}

std::uint64_t PipeWireStandInCamera::sentAtFrame(std::uint64_t frameNumber) const {
  std::lock_guard lock(impl_->mutex);
  const auto found = impl_->frameSentAt.find(frameNumber);
  return found == impl_->frameSentAt.end() ? 0 : found->second;
}

std::uint64_t PipeWireStandInCamera::framesSent() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->framesSent;
}

std::uint64_t PipeWireStandInCamera::hash(const std::uint8_t* data, std::size_t size) {
  std::uint64_t h = 1469598103934665603ull;
  for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ull;
  return h;
}

}  // namespace veltrano::testing
