#pragma once

#include "Capture/CameraSourceFactory.hpp"

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>

namespace veltrano::testing {

// A camera made of a GStreamer pipeline description (a bin with one src
// pad), e.g. a live test pattern. Keeps the last source it made so a test
// can check that none is left running.
class PipelineSourceFactory final : public CameraSourceFactory {
 public:
  explicit PipelineSourceFactory(std::string description, CameraAccess access = CameraAccess::authorized)
      : description_(std::move(description)), access_(access) {
    ensureGStreamer();
  }

  CameraAccess cameraAccess() override { return access_; }
  ElementPtr makeSource() override {
    ElementPtr bin = adoptElement(gst_parse_bin_from_description(description_.c_str(), TRUE, nullptr));
    if (!bin) throw std::runtime_error("bad test source description: " + description_);
    ++sourcesMade_;
    std::lock_guard lock(mutex_);
    last_.reset(GST_ELEMENT(gst_object_ref(bin.get())));
    return bin;
  }

  int sourcesMade() const { return sourcesMade_; }
  // The current state of the last source made (GST_STATE_VOID_PENDING if none).
  GstState lastSourceState() const {
    std::lock_guard lock(mutex_);
    GstState state = GST_STATE_VOID_PENDING;
    if (last_) gst_element_get_state(last_.get(), &state, nullptr, 0);
    return state;
  }

 private:
  std::string description_;
  CameraAccess access_;
  mutable std::mutex mutex_;
  std::atomic<int> sourcesMade_{0};
  ElementPtr last_;
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

// A live, camera-like test pattern in NV12 at 30 fps. `options` go to
// videotestsrc (e.g. "pattern=ball").
inline std::string testPattern(int width, int height, const std::string& options = "pattern=smpte") {
  return "videotestsrc is-live=true " + options + " ! capsfilter caps=\"video/x-raw,format=NV12,width=" +
         std::to_string(width) + ",height=" + std::to_string(height) + ",framerate=30/1\"";
}

}  // namespace veltrano::testing
