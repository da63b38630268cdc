#include "Capture/Mp4Writer.hpp"

#include <optional>
#include <string>
#include <vector>

namespace veltrano {

namespace {

// Set while a writer callback runs on a GStreamer streaming thread: the
// pipeline cannot be stopped from there.
thread_local bool insideWriterCallback = false;

struct CallbackScope {
  CallbackScope() { insideWriterCallback = true; }
  ~CallbackScope() { insideWriterCallback = false; }
};

}  // namespace

struct Mp4Writer::Shared {
  using Completion = std::function<void(std::exception_ptr)>;

  std::mutex mutex;
  std::exception_ptr failure;
  bool finishing = false;                   // finish() was called
  std::optional<std::exception_ptr> ended;  // how finishing ended, once it has
  std::vector<Completion> waiting;          // finish() calls not answered yet
  std::function<void(std::uint64_t)> onSampleWritten;
  std::function<void()> onInputSpace;
  std::atomic<std::uint64_t> framesWritten{0};

  // Ends finishing, once: every finish() waiting gets the same outcome.
  // Outside finishing, an error is only kept for failure().
  void end(std::exception_ptr error) {
    std::vector<Completion> done;
    {
      std::lock_guard lock(mutex);
      if (!error && failure) error = failure;
      if (error && !failure) failure = error;
      if (!finishing || ended) return;
      ended = error;
      done.swap(waiting);
    }
    for (auto& completion : done) completion(error);
  }
};

void Mp4Writer::preload() {
  static std::once_flag once;
  std::call_once(once, [] {
    ensureGStreamer();
    for (const char* name : {"appsrc", "x264enc", "h264parse", "mp4mux", "filesink"}) {
      if (GstElementFactory* factory = gst_element_factory_find(name)) {
        if (GstPluginFeature* loaded = gst_plugin_feature_load(GST_PLUGIN_FEATURE(factory))) gst_object_unref(loaded);
        gst_object_unref(factory);
      }
    }
  });
}

std::shared_ptr<Mp4Writer> Mp4Writer::create(const std::filesystem::path& file, GstCaps* caps,
                                             std::function<void(std::uint64_t)> onSampleWritten,
                                             std::function<void()> onInputSpace) {
  ensureGStreamer();
  if (!caps) return nullptr;
  std::shared_ptr<Mp4Writer> writer(new Mp4Writer());
  writer->caps_.reset(gst_caps_ref(caps));
  writer->shared_ = std::make_shared<Shared>();
  writer->shared_->onSampleWritten = std::move(onSampleWritten);
  writer->shared_->onInputSpace = std::move(onInputSpace);

  writer->pipeline_ = adoptElement(gst_pipeline_new("writer"));
  GstElement* source = gst_element_factory_make("appsrc", "input");
  GstElement* encoder = gst_element_factory_make("x264enc", "encoder");
  GstElement* profile = gst_element_factory_make("capsfilter", "profile");
  GstElement* parser = gst_element_factory_make("h264parse", "parser");
  GstElement* muxer = gst_element_factory_make("mp4mux", "muxer");
  GstElement* sink = gst_element_factory_make("filesink", "file");
  if (!source || !encoder || !profile || !parser || !muxer || !sink) {
    for (GstElement* e : {source, encoder, profile, parser, muxer, sink})
      if (e) gst_object_unref(gst_object_ref_sink(e));
    return nullptr;
  }
  gst_bin_add_many(GST_BIN(writer->pipeline_.get()), source, encoder, profile, parser, muxer, sink, nullptr);

  // Real-time input: a full queue drops the incoming frame rather than
  // growing (max-bytes 0: the default byte limit is smaller than one 1080p
  // frame).
  g_object_set(source, "caps", caps, "is-live", TRUE, "format", GST_FORMAT_TIME, "do-timestamp", FALSE, "max-buffers",
               static_cast<guint64>(kInputQueueFrames), "max-bytes", static_cast<guint64>(0), "block", FALSE, nullptr);
  gst_util_set_object_arg(G_OBJECT(source), "leaky-type", "upstream");
  // superfast is the fastest preset that still writes High profile;
  // zerolatency puts the first frame in the file at once and rules out
  // B-frames; vbv-buf-capacity 0 makes the bit rate an average, not a cap.
  g_object_set(encoder, "bitrate", static_cast<guint>(kAverageBitRateKbit), "vbv-buf-capacity", 0u, "key-int-max",
               static_cast<guint>(kMaxKeyFrameInterval), "bframes", 0u, nullptr);
  gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "superfast");
  gst_util_set_object_arg(G_OBJECT(encoder), "tune", "zerolatency");
  CapsPtr high(gst_caps_from_string("video/x-h264,profile=high"));
  g_object_set(profile, "caps", high.get(), nullptr);
  // Unbuffered: every sample goes to the file as it comes, so a write error
  // shows at once (a full disk fails the start rather than a later stop),
  // and the header is on disk before the first sample reaches the sink.
  g_object_set(sink, "location", file.c_str(), nullptr);
  gst_util_set_object_arg(G_OBJECT(sink), "buffer-mode", "unbuffered");

  if (!gst_element_link_many(source, encoder, profile, parser, muxer, sink, nullptr)) return nullptr;

  // Samples reach the file as timestamped buffers; mp4mux's headers carry
  // no time stamp.
  GstPad* sinkPad = gst_element_get_static_pad(sink, "sink");
  gst_pad_add_probe(
      sinkPad, GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad*, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
        auto* shared = &CallbackData<std::weak_ptr<Shared>>::from(data);
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        if (!buffer || !GST_CLOCK_TIME_IS_VALID(bufferPresentationTime(buffer))) return GST_PAD_PROBE_OK;
        if (auto strong = shared->lock()) {
          const auto index = strong->framesWritten.fetch_add(1);
          if (strong->onSampleWritten) {
            CallbackScope scope;
            strong->onSampleWritten(index);
          }
        }
        return GST_PAD_PROBE_OK;
      },
      new CallbackData<std::weak_ptr<Shared>>(writer->shared_), &CallbackData<std::weak_ptr<Shared>>::destroy);
  gst_object_unref(sinkPad);

  if (writer->shared_->onInputSpace) {
    GstPad* inputPad = gst_element_get_static_pad(source, "src");
    gst_pad_add_probe(
        inputPad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer data) -> GstPadProbeReturn {
          if (auto strong = CallbackData<std::weak_ptr<Shared>>::from(data).lock()) {
            CallbackScope scope;
            strong->onInputSpace();
          }
          return GST_PAD_PROBE_OK;
        },
        new CallbackData<std::weak_ptr<Shared>>(writer->shared_), &CallbackData<std::weak_ptr<Shared>>::destroy);
    gst_object_unref(inputPad);
  }

  GstBus* bus = gst_element_get_bus(writer->pipeline_.get());
  gst_bus_set_sync_handler(
      bus,
      [](GstBus*, GstMessage* message, gpointer data) -> GstBusSyncReply {
        if (auto strong = CallbackData<std::weak_ptr<Shared>>::from(data).lock()) {
          CallbackScope scope;
          if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR)
            strong->end(std::make_exception_ptr(GStreamerError::fromMessage(message)));
          else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS)
            strong->end(nullptr);
        }
        // A dropped message is ours to release (it holds its source element).
        gst_message_unref(message);
        return GST_BUS_DROP;
      },
      new CallbackData<std::weak_ptr<Shared>>(writer->shared_), &CallbackData<std::weak_ptr<Shared>>::destroy);
  gst_object_unref(bus);

  writer->input_ = GST_APP_SRC(source);
  if (gst_element_set_state(writer->pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    writer->close();
    return nullptr;
  }
  return writer;
}

Mp4Writer::~Mp4Writer() {
  if (!pipeline_ || closed_.exchange(true)) return;
  if (insideWriterCallback) {
    // Stopping a pipeline from its own streaming thread deadlocks; let
    // GStreamer's helper thread do it.
    gst_element_call_async(
        pipeline_.release(),
        [](GstElement* element, gpointer) {
          gst_element_set_state(element, GST_STATE_NULL);
          gst_object_unref(element);
        },
        nullptr, nullptr);
    return;
  }
  gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
}

bool Mp4Writer::isReadyForMoreMediaData() const {
  if (closed_.load()) return false;
  return gst_app_src_get_current_level_buffers(input_) < kInputQueueFrames;
}

bool Mp4Writer::append(GstBuffer* buffer) {
  if (closed_.load()) {
    gst_buffer_unref(buffer);
    return false;
  }
  return gst_app_src_push_buffer(input_, buffer) == GST_FLOW_OK;
}

bool Mp4Writer::appendBeyondLimit(GstBuffer* buffer) {
  if (closed_.load()) {
    gst_buffer_unref(buffer);
    return false;
  }
  // The input drops what exceeds its limit: widen it for this one frame.
  gst_app_src_set_max_buffers(input_, gst_app_src_get_current_level_buffers(input_) + 1);
  const bool taken = gst_app_src_push_buffer(input_, buffer) == GST_FLOW_OK;
  gst_app_src_set_max_buffers(input_, kInputQueueFrames);
  return taken;
}

std::exception_ptr Mp4Writer::failure() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->failure;
}

std::uint64_t Mp4Writer::framesWritten() const noexcept {
  return shared_->framesWritten.load();
}

void Mp4Writer::finish(std::function<void(std::exception_ptr)> completion) {
  std::optional<std::exception_ptr> outcome;
  bool failedAlready = false;
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->ended) {
      outcome = shared_->ended;
    } else {
      // A second finish() shares the first one's outcome; dropping it would
      // leave a stop waiting for ever.
      shared_->waiting.push_back(std::move(completion));
      if (shared_->finishing) return;
      shared_->finishing = true;
      failedAlready = shared_->failure != nullptr;
    }
  }
  if (outcome) {
    completion(*outcome);  // NOLINT(bugprone-use-after-move): moved only on the path that leaves outcome empty
    return;
  }
  if (failedAlready) {
    shared_->end(nullptr);
    return;
  }
  if (gst_app_src_end_of_stream(input_) != GST_FLOW_OK)
    shared_->end(std::make_exception_ptr(GStreamerError("The video encoder did not accept the end of the stream.")));
}

void Mp4Writer::close() {
  if (!pipeline_ || closed_.exchange(true)) return;
  gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
  // No end of stream can come any more: a finish still waiting fails now.
  bool stranded = false;
  {
    std::lock_guard lock(shared_->mutex);
    stranded = shared_->finishing && !shared_->ended;
  }
  if (stranded)
    shared_->end(std::make_exception_ptr(GStreamerError("The video file was closed before it was finished.")));
}

}  // namespace veltrano
