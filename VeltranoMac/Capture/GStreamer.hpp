// Small RAII and error helpers around the GStreamer C API.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>

namespace veltrano {

// Loads GStreamer once per process (thread-safe, idempotent).
void ensureGStreamer();

struct GstObjectUnref {
  void operator()(gpointer object) const noexcept {
    if (object) gst_object_unref(object);
  }
};
struct GstCapsUnref {
  void operator()(GstCaps* caps) const noexcept {
    if (caps) gst_caps_unref(caps);
  }
};
struct GstSampleUnref {
  void operator()(GstSample* sample) const noexcept {
    if (sample) gst_sample_unref(sample);
  }
};

using ElementPtr = std::unique_ptr<GstElement, GstObjectUnref>;
using CapsPtr = std::unique_ptr<GstCaps, GstCapsUnref>;
using SamplePtr = std::unique_ptr<GstSample, GstSampleUnref>;

// Takes ownership of a (possibly floating) element reference.
inline ElementPtr adoptElement(GstElement* element) {
  if (element && g_object_is_floating(element)) gst_object_ref_sink(element);
  return ElementPtr(element);
}

// Time stamps of a buffer header. GStreamer recycles buffer headers inside
// the library, whose frees ThreadSanitizer cannot see; touching these
// fields outside its view keeps that stale history from posing as races.
GstClockTime bufferPresentationTime(const GstBuffer* buffer);
void setBufferTimestamps(GstBuffer* buffer, GstClockTime time);

// User data of a GStreamer callback that runs on a streaming thread. The
// library hands the pointer over under its own locks, which ThreadSanitizer
// cannot see; the release/acquire pair states the hand-off.
template <typename T>
class CallbackData {
 public:
  explicit CallbackData(T value) : value_(std::move(value)) { published_.store(true, std::memory_order_release); }

  static T& from(gpointer data) {
    auto* self = static_cast<CallbackData*>(data);
    (void)self->published_.load(std::memory_order_acquire);
    return self->value_;
  }
  static void destroy(gpointer data) {
    auto* self = static_cast<CallbackData*>(data);
    (void)self->published_.load(std::memory_order_acquire);
    delete self;
  }

 private:
  std::atomic<bool> published_{false};
  T value_;
};

// An error of the media stack, passed on unchanged: the GError's domain,
// code and message, with the debug text kept for the logs.
class GStreamerError final : public std::runtime_error {
 public:
  GStreamerError(std::string message, GQuark domain = 0, int code = 0, std::string debug = {})
      : std::runtime_error(message), domain_(domain), code_(code), debug_(std::move(debug)) {}

  // From an ERROR bus message.
  static GStreamerError fromMessage(GstMessage* message);

  GQuark domain() const noexcept { return domain_; }
  int code() const noexcept { return code_; }
  const std::string& debug() const noexcept { return debug_; }

 private:
  GQuark domain_;
  int code_;
  std::string debug_;
};

}  // namespace veltrano
