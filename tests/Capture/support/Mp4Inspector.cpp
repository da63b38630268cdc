#include "Mp4Inspector.hpp"

#include "Capture/GStreamer.hpp"

#include <gst/app/gstappsink.h>

namespace veltrano::testing {

std::uint32_t Mp4Summary::maxKeyFrameInterval() const {
  if (syncSamples.empty()) return std::uint32_t(sampleCount);
  std::uint32_t largest = std::uint32_t(sampleCount + 1 - syncSamples.back());
  for (std::size_t i = 1; i < syncSamples.size(); ++i) largest = std::max(largest, syncSamples[i] - syncSamples[i - 1]);
  return largest;
}

std::optional<Mp4Summary> inspectMp4(const std::filesystem::path& file, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<Mp4Summary> {
    if (error) *error = why;
    return std::nullopt;
  };
  ensureGStreamer();
  // The sink keeps every sample, so the demuxer runs to the end before they are read.
  ElementPtr pipeline = adoptElement(
      gst_parse_launch("filesrc name=in ! qtdemux ! appsink name=out sync=false wait-on-eos=false", nullptr));
  ElementPtr in(gst_bin_get_by_name(GST_BIN(pipeline.get()), "in"));
  ElementPtr out(gst_bin_get_by_name(GST_BIN(pipeline.get()), "out"));
  g_object_set(in.get(), "location", file.c_str(), nullptr);
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline.get());
  GstMessage* end =
      gst_bus_timed_pop_filtered(bus, 30 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  gst_object_unref(bus);
  std::string why = end ? "" : "timed out reading";
  if (end && GST_MESSAGE_TYPE(end) == GST_MESSAGE_ERROR) why = GStreamerError::fromMessage(end).what();
  if (end) gst_message_unref(end);

  Mp4Summary summary;
  gint64 duration = 0;
  if (why.empty() && gst_element_query_duration(pipeline.get(), GST_FORMAT_TIME, &duration))
    summary.durationSeconds = double(duration) / GST_SECOND;
  GstClockTime lastShown = GST_CLOCK_TIME_NONE;
  while (GstSample* sample = why.empty() ? gst_app_sink_try_pull_sample(GST_APP_SINK(out.get()), 0) : nullptr) {
    if (summary.sampleCount == 0) {
      const GstStructure* format = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
      summary.codec = gst_structure_get_name(format);
      gst_structure_get_int(format, "width", &summary.width);
      gst_structure_get_int(format, "height", &summary.height);
      const GValue* avcC = gst_structure_get_value(format, "codec_data");
      guint8 head[2] = {};
      if (avcC && GST_VALUE_HOLDS_BUFFER(avcC) && gst_buffer_extract(gst_value_get_buffer(avcC), 0, head, 2) == 2)
        summary.profileIdc = head[1];
    }
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    ++summary.sampleCount;
    summary.mediaBytes += gst_buffer_get_size(buffer);
    if (!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT))
      summary.syncSamples.push_back(std::uint32_t(summary.sampleCount));
    if (GST_CLOCK_TIME_IS_VALID(lastShown) && GST_BUFFER_PTS(buffer) < lastShown) summary.hasReordering = true;
    lastShown = GST_BUFFER_PTS(buffer);
    gst_sample_unref(sample);
  }
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  if (!why.empty()) return fail(why);
  return summary;
}

}  // namespace veltrano::testing
