#include "Capture/GStreamer.hpp"

#include <mutex>

namespace veltrano {

void ensureGStreamer() {
  static std::once_flag once;
  std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

__attribute__((noinline, no_sanitize_thread)) GstClockTime bufferPresentationTime(const GstBuffer* buffer) {
  return GST_BUFFER_PTS(buffer);
}

__attribute__((noinline, no_sanitize_thread)) void setBufferTimestamps(GstBuffer* buffer, GstClockTime time) {
  GST_BUFFER_PTS(buffer) = time;
  GST_BUFFER_DTS(buffer) = time;
}

GStreamerError GStreamerError::fromMessage(GstMessage* message) {
  GError* error = nullptr;
  gchar* debug = nullptr;
  gst_message_parse_error(message, &error, &debug);
  GStreamerError result(error && error->message ? error->message : "Unknown media error.", error ? error->domain : 0,
                        error ? error->code : 0, debug ? debug : "");
  if (error) g_error_free(error);
  g_free(debug);
  return result;
}

}  // namespace veltrano
