#pragma once

#include "Capture/CameraSourceFactory.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace veltrano::testing {

// A camera made of a GStreamer pipeline description (a bin with one src
// pad), e.g. a live test pattern. Keeps the sources it made so a test can
// check that none is left running.
class PipelineSourceFactory final : public CameraSourceFactory {
 public:
  explicit PipelineSourceFactory(std::string description, CameraAccess access = CameraAccess::authorized);
  ~PipelineSourceFactory() override;

  CameraAccess cameraAccess() override;
  ElementPtr makeSource() override;

  int accessChecks() const;
  int sourcesMade() const;
  // The current state of the last source made (GST_STATE_VOID_PENDING if none).
  GstState lastSourceState() const;

 private:
  std::string description_;
  CameraAccess access_;
  mutable std::mutex mutex_;
  int accessChecks_ = 0;
  int sourcesMade_ = 0;
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
std::string testPattern(int width, int height, const std::string& options = "pattern=smpte");

}  // namespace veltrano::testing
