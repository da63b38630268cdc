#include "TestCameraSources.hpp"

#include <stdexcept>

namespace veltrano::testing {

PipelineSourceFactory::PipelineSourceFactory(std::string description, CameraAccess access)
    : description_(std::move(description)), access_(access) {
  ensureGStreamer();
}

PipelineSourceFactory::~PipelineSourceFactory() = default;

CameraAccess PipelineSourceFactory::cameraAccess() {
  std::lock_guard lock(mutex_);
  ++accessChecks_;
  return access_;
}

ElementPtr PipelineSourceFactory::makeSource() {
  GError* error = nullptr;
  ElementPtr bin = adoptElement(gst_parse_bin_from_description(description_.c_str(), TRUE, &error));
  if (!bin) {
    std::string message = error ? error->message : "parse failed";
    if (error) g_error_free(error);
    throw std::runtime_error("bad test source description: " + message);
  }
  std::lock_guard lock(mutex_);
  ++sourcesMade_;
  last_.reset(GST_ELEMENT(gst_object_ref(bin.get())));
  return bin;
}

int PipelineSourceFactory::accessChecks() const {
  std::lock_guard lock(mutex_);
  return accessChecks_;
}

int PipelineSourceFactory::sourcesMade() const {
  std::lock_guard lock(mutex_);
  return sourcesMade_;
}

GstState PipelineSourceFactory::lastSourceState() const {
  std::lock_guard lock(mutex_);
  if (!last_) return GST_STATE_VOID_PENDING;
  GstState state = GST_STATE_VOID_PENDING;
  gst_element_get_state(last_.get(), &state, nullptr, 0);
  return state;
}

std::string testPattern(int width, int height, const std::string& options) {
  return "videotestsrc is-live=true " + options + " ! capsfilter caps=\"video/x-raw,format=NV12,width=" +
         std::to_string(width) + ",height=" + std::to_string(height) + ",framerate=30/1\"";
}

}  // namespace veltrano::testing
