#include "Capture/CameraPreview.hpp"

#include "Capture/CameraSourceFactory.hpp"
#include "Capture/RecorderError.hpp"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace veltrano {

// The newest frame of the feed while the page waits for one; written on the
// streaming thread, taken on the preview's queue.
struct CameraPreview::Slot {
  std::atomic<bool> wanted{false};
  std::atomic<std::uint64_t> seen{0}, paced{0};
  std::atomic<std::int64_t> lastTakenUs{0};  // monotonic arrival of the last frame taken
  std::mutex mutex;
  SamplePtr sample;
  GstClockTime baseTime = GST_CLOCK_TIME_NONE;
  std::int64_t arrivedRealUs = 0, arrivedMonotonicUs = 0;
  bool encodePosted = false;
};

namespace {

// One output row of a 2x2 mean over rows `top` and `bottom`.
template <int Channels>
void halve(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* line, int columns) {
  for (int x = 0; x < columns; ++x)
    for (int c = 0; c < Channels; ++c) {
      const int at = 2 * Channels * x + c;
      line[Channels * x + c] =
          static_cast<std::uint8_t>((top[at] + top[at + Channels] + bottom[at] + bottom[at + Channels] + 2) >> 2);
    }
}

// An NV12 frame shrunk by a whole factor, each output pixel the mean of a
// factor x factor block: a third of what a general scaler costs here, and a
// sharper picture than skipping pixels.
void boxShrinkNV12(const GstVideoFrame& in, GstVideoFrame& out, int factor) {
  const int width = GST_VIDEO_FRAME_WIDTH(&out), height = GST_VIDEO_FRAME_HEIGHT(&out);
  const int area = factor * factor;
  auto shrink = [&](int plane, int columns, int rows, int channels) {
    const auto* source = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&in, plane));
    auto* target = static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&out, plane));
    const int sourceStride = GST_VIDEO_FRAME_PLANE_STRIDE(&in, plane);
    const int targetStride = GST_VIDEO_FRAME_PLANE_STRIDE(&out, plane);
    if (factor == 2) {
      // The common case (1280 wide to 640), in loops the compiler vectorises.
      for (int y = 0; y < rows; ++y) {
        const std::uint8_t* top = source + static_cast<std::ptrdiff_t>(2 * y) * sourceStride;
        std::uint8_t* line = target + static_cast<std::ptrdiff_t>(y) * targetStride;
        if (channels == 1)
          halve<1>(top, top + sourceStride, line, columns);
        else
          halve<2>(top, top + sourceStride, line, columns);
      }
      return;
    }
    std::vector<unsigned> sums(static_cast<std::size_t>(columns) * channels);
    for (int y = 0; y < rows; ++y) {
      std::fill(sums.begin(), sums.end(), 0u);
      for (int dy = 0; dy < factor; ++dy) {
        const std::uint8_t* row = source + static_cast<std::ptrdiff_t>(y * factor + dy) * sourceStride;
        for (int x = 0; x < columns; ++x)
          for (int c = 0; c < channels; ++c) {
            unsigned sum = 0;
            for (int dx = 0; dx < factor; ++dx) sum += row[(x * factor + dx) * channels + c];
            sums[static_cast<std::size_t>(x) * channels + c] += sum;
          }
      }
      std::uint8_t* line = target + static_cast<std::ptrdiff_t>(y) * targetStride;
      for (std::size_t i = 0; i < sums.size(); ++i) line[i] = static_cast<std::uint8_t>((sums[i] + area / 2) / area);
    }
  };
  shrink(0, width, height, 1);          // luma
  shrink(1, width / 2, height / 2, 2);  // interleaved chroma, half size each way
}

}  // namespace

// Shrinks to the preview's width and encodes JPEG, one frame in, one frame
// out, on the preview's queue. NV12 (what the feed delivers) is shrunk by a
// whole factor by hand and goes appsrc ! jpegenc ! appsink; anything else
// goes through videoscale first. Rebuilt when the camera's format or the
// width changes.
class CameraPreview::Encoder {
 public:
  Encoder(GstCaps* input, int maxWidth) : input_(gst_caps_ref(input)), maxWidth_(maxWidth) {
    if (!gst_video_info_from_caps(&in_, input) || in_.width <= 0 || in_.height <= 0)
      throw GStreamerError("The camera sent frames without a size.");
    const bool nv12 = GST_VIDEO_INFO_FORMAT(&in_) == GST_VIDEO_FORMAT_NV12;
    if (nv12) {
      factor_ = std::max(1, (in_.width + maxWidth - 1) / maxWidth);
      width_ = std::max(4, (in_.width / factor_) & ~3);
      height_ = std::max(2, (in_.height / factor_) & ~1);
      gst_video_info_set_format(&out_, GST_VIDEO_FORMAT_NV12, width_, height_);
    } else {
      // Never scaled up; even sizes keep 4:2:0 chroma whole.
      width_ = std::max(2, std::min(in_.width, maxWidth) & ~1);
      height_ = std::max(2, static_cast<int>(static_cast<long long>(in_.height) * width_ / in_.width) & ~1);
    }
    const std::string scale = nv12 ? ""
                                   : "videoscale ! video/x-raw,width=" + std::to_string(width_) +
                                         ",height=" + std::to_string(height_) + ",pixel-aspect-ratio=1/1 ! ";
    const std::string description = "appsrc name=src format=time is-live=false block=false ! " + scale +
                                    "jpegenc quality=80 ! appsink name=sink sync=false max-buffers=1";
    GError* error = nullptr;
    pipeline_ = adoptElement(gst_parse_launch(description.c_str(), &error));
    if (error) {
      std::string message = error->message;
      g_error_free(error);
      throw GStreamerError("Could not build the preview encoder: " + message);
    }
    source_.reset(gst_bin_get_by_name(GST_BIN(pipeline_.get()), "src"));
    sink_.reset(gst_bin_get_by_name(GST_BIN(pipeline_.get()), "sink"));
    CapsPtr caps(nv12 ? gst_video_info_to_caps(&out_) : gst_caps_ref(input));
    g_object_set(source_.get(), "caps", caps.get(), nullptr);
    if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
      throw GStreamerError("Could not start the preview encoder.");
  }
  ~Encoder() {
    if (pipeline_) gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    gst_caps_unref(input_);
  }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  bool fits(GstCaps* input, int maxWidth) const { return maxWidth == maxWidth_ && gst_caps_is_equal(input, input_); }
  int width() const { return width_; }
  int height() const { return height_; }

  // The frame as JPEG, or nullptr when the encoder failed.
  std::shared_ptr<const std::string> encode(GstSample* sample) {
    GstBuffer* buffer = shrink(gst_sample_get_buffer(sample));
    if (!buffer) return nullptr;
    if (gst_app_src_push_buffer(GST_APP_SRC(source_.get()), buffer) != GST_FLOW_OK) return nullptr;
    SamplePtr encoded(gst_app_sink_try_pull_sample(GST_APP_SINK(sink_.get()), GST_SECOND));
    if (!encoded) return nullptr;
    GstMapInfo map;
    GstBuffer* jpeg = gst_sample_get_buffer(encoded.get());
    if (!gst_buffer_map(jpeg, &map, GST_MAP_READ)) return nullptr;
    auto bytes = std::make_shared<const std::string>(reinterpret_cast<const char*>(map.data), map.size);
    gst_buffer_unmap(jpeg, &map);
    return bytes;
  }

 private:
  // A new buffer of the shrunk frame, or the frame itself for videoscale.
  GstBuffer* shrink(GstBuffer* frame) {
    if (factor_ == 0) return gst_buffer_ref(frame);
    GstBuffer* out = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&out_), nullptr);
    GstVideoFrame source, target;
    if (!gst_video_frame_map(&source, &in_, frame, GST_MAP_READ)) {
      gst_buffer_unref(out);
      return nullptr;
    }
    if (!gst_video_frame_map(&target, &out_, out, GST_MAP_WRITE)) {
      gst_video_frame_unmap(&source);
      gst_buffer_unref(out);
      return nullptr;
    }
    boxShrinkNV12(source, target, factor_);
    gst_video_frame_unmap(&target);
    gst_video_frame_unmap(&source);
    GST_BUFFER_PTS(out) = bufferPresentationTime(frame);
    return out;
  }

  GstCaps* input_;
  GstVideoInfo in_{}, out_{};
  int factor_ = 0;  // 0: videoscale does it
  int width_ = 0, height_ = 0, maxWidth_ = 0;
  ElementPtr pipeline_;
  std::unique_ptr<GstElement, GstObjectUnref> source_, sink_;
};

std::shared_ptr<CameraPreview> CameraPreview::create(std::shared_ptr<CameraSourceFactory> sources,
                                                     CameraFeed::Timers timers) {
  return std::shared_ptr<CameraPreview>(new CameraPreview(std::move(sources), std::move(timers)));
}

CameraPreview::CameraPreview(std::shared_ptr<CameraSourceFactory> sources, CameraFeed::Timers timers)
    : sources_(std::move(sources)),
      timers_(std::move(timers)),
      queue_(std::make_shared<SerialQueue>("com.brackwood.veltranoMac.preview")),
      slot_(std::make_shared<Slot>()) {
  if (!sources_) throw std::invalid_argument("CameraPreview needs a camera source factory");
  ensureGStreamer();
}

CameraPreview::~CameraPreview() {
  firstFrameTask_.cancel();
  for (auto& observer : observers_) observer.remove();
  attachment_.reset();
  encoder_.reset();
}

CameraPreview::Statistics CameraPreview::statistics() const {
  return {starts_.load(), stops_.load(), slot_->seen.load(), slot_->paced.load(), encoded_.load()};
}

void CameraPreview::start(int maxWidth, StartDone done) {
  maxWidth = std::clamp(maxWidth, kMinWidth, kMaxWidth);
  queue_->async([weak = weak_from_this(), maxWidth, done = std::move(done)]() mutable {
    if (auto self = weak.lock()) self->startOnQueue(maxWidth, std::move(done));
  });
}

void CameraPreview::stop() {
  queue_->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->stopOnQueue(nullptr);
  });
}

void CameraPreview::restartCamera() {
  queue_->async([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->stopOnQueue(nullptr);
    self->sources_->feed()->closeIfUnattached();
  });
}

void CameraPreview::nextFrame(std::uint64_t after, FrameReady ready) {
  queue_->async([weak = weak_from_this(), after, ready = std::move(ready)]() mutable {
    auto self = weak.lock();
    if (!self || !self->attachment_) {
      ready(std::nullopt);
      return;
    }
    if (self->latest_ && self->latest_->number > after) {
      ready(self->latest_);
      return;
    }
    self->waiting_.emplace_back(after, std::move(ready));
    self->updateWanted();
  });
}

void CameraPreview::startOnQueue(int maxWidth, StartDone done) {
  maxWidth_ = maxWidth;
  starting_.push_back(std::move(done));
  if (attachment_) {
    // Running: the next frame, at the new width, answers.
    updateWanted();
    return;
  }
  if (sources_->cameraAccess() == CameraAccess::denied) {
    stopOnQueue(std::make_exception_ptr(RecorderError(RecorderError::Case::cameraPermissionDenied)));
    return;
  }
  std::weak_ptr<CameraPreview> weak = weak_from_this();
  auto onFrame = [slot = slot_, queue = queue_, weak](SamplePtr sample, GstClockTime baseTime, bool) {
    slot->seen.fetch_add(1);
    if (!slot->wanted.load()) return;
    const std::int64_t now = g_get_monotonic_time();
    if (now - slot->lastTakenUs.load() < std::chrono::microseconds(kMinFrameInterval).count()) {
      slot->paced.fetch_add(1);
      return;
    }
    slot->lastTakenUs.store(now);
    std::lock_guard lock(slot->mutex);
    slot->sample = std::move(sample);
    slot->baseTime = baseTime;
    slot->arrivedRealUs = g_get_real_time();
    slot->arrivedMonotonicUs = now;
    if (std::exchange(slot->encodePosted, true)) return;
    queue->async([weak] {
      if (auto self = weak.lock()) self->encodeLatest();
    });
  };
  try {
    attachment_ = sources_->feed()->prepare(*sources_, std::move(onFrame), timers_, CameraFeed::Role::watcher);
  } catch (...) {
    stopOnQueue(std::current_exception());
    return;
  }
  const auto generation = ++generation_;
  auto onEnded = [weak, queue = queue_, generation](std::exception_ptr error) {
    if (!error) error = std::make_exception_ptr(RecorderError(RecorderError::Case::cameraStopped));
    queue->async([weak, generation, error] {
      auto self = weak.lock();
      if (self && self->generation_ == generation) self->stopOnQueue(error);
    });
  };
  observers_.push_back(attachment_->observe(SessionNotifications::Kind::runtimeError, onEnded));
  observers_.push_back(attachment_->observe(SessionNotifications::Kind::didStop, onEnded));
  running_.store(true);
  starts_.fetch_add(1);
  updateWanted();
  if (timers_.executor && timers_.sleep)
    firstFrameTask_ = Task::spawn(timers_.executor, firstFrameWatch(weak, timers_.sleep, generation));
  attachment_->startRunning();
}

Awaitable<void> CameraPreview::firstFrameWatch(std::weak_ptr<CameraPreview> weak, SleepFunction sleep,
                                               std::uint64_t generation) {
  co_await sleep(kFirstFrameTimeout);
  if (auto self = weak.lock()) {
    self->queue_->async([weak, generation] {
      auto preview = weak.lock();
      if (preview && preview->generation_ == generation && !preview->starting_.empty() && !preview->latest_)
        preview->stopOnQueue(std::make_exception_ptr(FirstFrameTimeout()));
    });
  }
}

void CameraPreview::stopOnQueue(std::exception_ptr error) {
  ++generation_;
  firstFrameTask_.cancel();
  for (auto& observer : observers_) observer.remove();
  observers_.clear();
  slot_->wanted.store(false);
  {
    std::lock_guard lock(slot_->mutex);
    slot_->sample.reset();
  }
  if (std::exchange(attachment_, nullptr)) stops_.fetch_add(1);
  running_.store(false);
  latest_.reset();
  // The camera's error answers the starts; a stop asked for answers them
  // as a camera that stopped.
  const auto startError = error ? error : std::make_exception_ptr(RecorderError(RecorderError::Case::cameraStopped));
  for (auto& done : std::exchange(starting_, {})) done(startError, {});
  for (auto& [after, ready] : std::exchange(waiting_, {})) ready(std::nullopt);
}

void CameraPreview::updateWanted() {
  slot_->wanted.store(attachment_ && (!starting_.empty() || !waiting_.empty()));
}

void CameraPreview::encodeLatest() {
  SamplePtr sample;
  GstClockTime baseTime = GST_CLOCK_TIME_NONE;
  std::int64_t arrivedRealUs = 0, arrivedMonotonicUs = 0;
  {
    std::lock_guard lock(slot_->mutex);
    slot_->encodePosted = false;
    sample = std::move(slot_->sample);
    baseTime = slot_->baseTime;
    arrivedRealUs = slot_->arrivedRealUs;
    arrivedMonotonicUs = slot_->arrivedMonotonicUs;
  }
  if (!sample || !attachment_) return;
  GstCaps* caps = gst_sample_get_caps(sample.get());
  if (!caps) return;
  try {
    if (!encoder_ || !encoder_->fits(caps, maxWidth_)) {
      encoder_.reset();
      encoder_ = std::make_unique<Encoder>(caps, maxWidth_);
    }
  } catch (...) {
    encoder_.reset();
    stopOnQueue(std::current_exception());
    return;
  }
  auto jpeg = encoder_->encode(sample.get());
  if (!jpeg) {
    encoder_.reset();
    stopOnQueue(std::make_exception_ptr(GStreamerError("The preview encoder failed.")));
    return;
  }
  // The capture time on the camera pipeline's clock (GStreamer's monotonic
  // system clock) as wall-clock time: the page compares it with its own.
  double capturedAtMs = static_cast<double>(arrivedRealUs) / 1000.0;
  const GstClockTime pts = bufferPresentationTime(gst_sample_get_buffer(sample.get()));
  if (GST_CLOCK_TIME_IS_VALID(pts) && GST_CLOCK_TIME_IS_VALID(baseTime)) {
    const auto capturedNs = static_cast<std::int64_t>(baseTime + pts);
    const std::int64_t ageUs = arrivedMonotonicUs - capturedNs / 1000;
    // A clock of another kind would give a nonsense age; arrival stands in.
    if (ageUs >= 0 && ageUs < 10'000'000) capturedAtMs -= static_cast<double>(ageUs) / 1000.0;
  }
  Frame frame{++lastNumber_, capturedAtMs, encoder_->width(), encoder_->height(), std::move(jpeg)};
  encoded_.fetch_add(1);
  latest_ = frame;
  firstFrameTask_.cancel();
  for (auto& done : std::exchange(starting_, {})) done(nullptr, Size{frame.width, frame.height});
  answerWaiting();
}

void CameraPreview::answerWaiting() {
  std::vector<std::pair<std::uint64_t, FrameReady>> still;
  for (auto& [after, ready] : std::exchange(waiting_, {})) {
    if (latest_->number > after)
      ready(latest_);
    else
      still.emplace_back(after, std::move(ready));
  }
  waiting_ = std::move(still);
  updateWanted();
}

}  // namespace veltrano
