#pragma once

#include <gst/app/gstappsink.h>

#include "Capture/CameraSourceFactory.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace veltrano::testing {

// A camera made of a GStreamer pipeline description (a bin with one src
// pad), e.g. a live test pattern, optionally passed through `wrap` (e.g.
// convertCameraOutput). Follows every source it made without keeping it
// alive, so a test can check that none is left running, or left at all.
class PipelineSourceFactory final : public CameraSourceFactory {
 public:
  using Probe = std::function<CameraAccess()>;
  using Wrap = std::function<ElementPtr(ElementPtr)>;

  explicit PipelineSourceFactory(std::string description, CameraAccess access = CameraAccess::authorized)
      : PipelineSourceFactory(std::move(description), [access] { return access; }) {}
  PipelineSourceFactory(std::string description, Probe probe, Wrap wrap = {})
      : description_(std::move(description)), probe_(std::move(probe)), wrap_(std::move(wrap)) {
    ensureGStreamer();
    g_weak_ref_init(&last_, nullptr);
  }
  ~PipelineSourceFactory() override { g_weak_ref_clear(&last_); }

  CameraAccess cameraAccess() override { return probe_(); }
  ElementPtr makeSource() override {
    ElementPtr bin = adoptElement(gst_parse_bin_from_description(description_.c_str(), TRUE, nullptr));
    if (!bin) throw std::runtime_error("bad test source description: " + description_);
    ++sourcesMade_;
    alive_->fetch_add(1);
    auto* alive = new std::shared_ptr<std::atomic<int>>(alive_);
    g_object_weak_ref(
        G_OBJECT(bin.get()),
        [](gpointer data, GObject*) {
          auto* count = static_cast<std::shared_ptr<std::atomic<int>>*>(data);
          (*count)->fetch_sub(1);
          delete count;
        },
        alive);
    g_weak_ref_set(&last_, bin.get());
    return wrap_ ? wrap_(std::move(bin)) : std::move(bin);
  }

  int sourcesMade() const { return sourcesMade_; }
  // Sources made and not yet finalised.
  int sourcesAlive() const { return alive_->load(); }
  // The current state of the last source made: GST_STATE_VOID_PENDING if
  // none was made, GST_STATE_NULL once it is gone.
  GstState lastSourceState() const {
    GstState state = sourcesMade_ ? GST_STATE_NULL : GST_STATE_VOID_PENDING;
    if (ElementPtr last{GST_ELEMENT(g_weak_ref_get(const_cast<GWeakRef*>(&last_)))})
      gst_element_get_state(last.get(), &state, nullptr, 0);
    return state;
  }

 private:
  std::string description_;
  Probe probe_;
  Wrap wrap_;
  std::atomic<int> sourcesMade_{0};
  std::shared_ptr<std::atomic<int>> alive_ = std::make_shared<std::atomic<int>>(0);
  GWeakRef last_;
};

// A factory driven by a function: no camera (returns nullptr), a camera
// that cannot be opened (throws), an element that cannot be linked...
class FunctionSourceFactory final : public CameraSourceFactory {
 public:
  explicit FunctionSourceFactory(std::function<ElementPtr()> make) : make_(std::move(make)) {}
  CameraAccess cameraAccess() override { return CameraAccess::authorized; }
  ElementPtr makeSource() override { return make_(); }

 private:
  std::function<ElementPtr()> make_;
};

// The first frame of `source` as the recorder asks for it (NV12), in a
// pipeline of its own that is torn down before this returns; nullptr when
// none came within 10 s or the source cannot be linked.
inline SamplePtr pullOneFrame(ElementPtr source) {
  ElementPtr pipeline = adoptElement(gst_pipeline_new(nullptr));
  GstElement* sink = gst_element_factory_make("appsink", nullptr);
  CapsPtr caps(gst_caps_from_string("video/x-raw,format=NV12"));
  g_object_set(sink, "caps", caps.get(), "sync", FALSE, nullptr);
  GstElement* camera = source.release();
  gst_bin_add_many(GST_BIN(pipeline.get()), camera, sink, nullptr);
  if (!gst_element_link(camera, sink)) return nullptr;
  if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) return nullptr;
  SamplePtr sample(gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND));
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return sample;
}

// A live, camera-like test pattern in NV12 at 30 fps. `options` go to
// videotestsrc (e.g. "pattern=ball").
inline std::string testPattern(int width, int height, const std::string& options = "pattern=smpte") {
  return "videotestsrc is-live=true " + options +
         " ! capsfilter caps=\"video/x-raw,format=NV12,width=" + std::to_string(width) +
         ",height=" + std::to_string(height) + ",framerate=30/1\"";
}

}  // namespace veltrano::testing
