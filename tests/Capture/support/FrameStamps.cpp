#include "FrameStamps.hpp"

#include <gst/app/gstappsink.h>

#include <algorithm>
#include <cstddef>
#include <functional>

namespace veltrano::testing {

namespace {

int strideOf(int width) {
  return (width + 3) & ~3;
}

int intField(GstCaps* caps, const char* name) {
  int value = 0;
  if (caps && gst_caps_get_size(caps) > 0) gst_structure_get_int(gst_caps_get_structure(caps, 0), name, &value);
  return value;
}

// Bit i of `value` as block i of the top row of the luma plane: bright for
// one, dark for zero; blocks this large survive the encoder.
void writeStamp(guint8* luma, int stride, std::uint64_t value) {
  for (int bit = 0; bit < FrameStamper::kBits; ++bit) {
    const guint8 level = (value >> bit) & 1 ? 235 : 16;
    for (int y = 0; y < FrameStamper::kBlock; ++y)
      std::fill_n(
          luma + static_cast<std::ptrdiff_t>(y) * stride + static_cast<std::ptrdiff_t>(bit) * FrameStamper::kBlock,
          FrameStamper::kBlock, level);
  }
}

std::uint64_t readStamp(const guint8* luma, int stride) {
  std::uint64_t value = 0;
  for (int bit = 0; bit < FrameStamper::kBits; ++bit) {
    int sum = 0;
    const int x0 = bit * FrameStamper::kBlock + FrameStamper::kBlock / 2 - 2, y0 = FrameStamper::kBlock / 2 - 2;
    for (int y = y0; y < y0 + 4; ++y)
      for (int x = x0; x < x0 + 4; ++x) sum += luma[y * stride + x];
    if (sum / 16 > 128) value |= std::uint64_t(1) << bit;
  }
  return value;
}

}  // namespace

FrameStamper::FrameStamper(int width, int height) : width_(width), height_(height) {
  ensureGStreamer();
  g_weak_ref_init(&last_, nullptr);
}

FrameStamper::~FrameStamper() {
  g_weak_ref_clear(&last_);
}

std::string FrameStamper::capsFor(int width, int height) const {
  return "video/x-raw,format=NV12,width=" + std::to_string(width) + ",height=" + std::to_string(height) +
         ",framerate=30/1";
}

std::string FrameStamper::description() const {
  return "videotestsrc is-live=true pattern=smpte ! capsfilter name=size caps=\"" + capsFor(width_, height_) +
         "\" ! identity name=stamp";
}

ElementPtr FrameStamper::attach(ElementPtr source) {
  ElementPtr stamp(gst_bin_get_by_name(GST_BIN(source.get()), "stamp"));
  ElementPtr size(gst_bin_get_by_name(GST_BIN(source.get()), "size"));
  if (!stamp || !size) return source;
  CapsPtr caps(gst_caps_from_string(capsFor(width_, height_).c_str()));
  g_object_set(size.get(), "caps", caps.get(), nullptr);
  GstPad* pad = gst_element_get_static_pad(stamp.get(), "src");
  gst_pad_add_probe(
      pad, GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad* pad, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
        auto& produced = CallbackData<std::shared_ptr<std::atomic<std::uint64_t>>>::from(data);
        CapsPtr caps(gst_pad_get_current_caps(pad));
        const int width = intField(caps.get(), "width");
        if (width < kBits * kBlock || intField(caps.get(), "height") < kBlock) return GST_PAD_PROBE_OK;
        GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
        GST_PAD_PROBE_INFO_DATA(info) = buffer;
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) return GST_PAD_PROBE_OK;
        writeStamp(map.data, strideOf(width), produced->fetch_add(1));
        gst_buffer_unmap(buffer, &map);
        return GST_PAD_PROBE_OK;
      },
      new CallbackData<std::shared_ptr<std::atomic<std::uint64_t>>>(produced_),
      &CallbackData<std::shared_ptr<std::atomic<std::uint64_t>>>::destroy);
  gst_object_unref(pad);
  g_weak_ref_set(&last_, source.get());
  return source;
}

void FrameStamper::setSize(int width, int height) {
  width_ = width;
  height_ = height;
  if (ElementPtr last{GST_ELEMENT(g_weak_ref_get(&last_))}) {
    ElementPtr size(gst_bin_get_by_name(GST_BIN(last.get()), "size"));
    CapsPtr caps(gst_caps_from_string(capsFor(width, height).c_str()));
    if (size) g_object_set(size.get(), "caps", caps.get(), nullptr);
  }
}

void FrameStamper::fail() {
  if (ElementPtr last{GST_ELEMENT(g_weak_ref_get(&last_))}) {
    GError* error = g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ, "The camera went away.");
    gst_element_post_message(last.get(), gst_message_new_error(GST_OBJECT(last.get()), error, "test"));
    g_error_free(error);
  }
}

std::optional<StampedClip> readFrameStamps(const std::filesystem::path& file, std::string* error) {
  ensureGStreamer();
  ElementPtr pipeline = adoptElement(
      gst_parse_launch("filesrc name=in ! qtdemux ! h264parse ! openh264dec ! videoconvert ! video/x-raw,format=I420 ! "
                       "appsink name=out sync=false",
                       nullptr));
  if (!pipeline) {
    if (error) *error = "no decoder";
    return std::nullopt;
  }
  ElementPtr in(gst_bin_get_by_name(GST_BIN(pipeline.get()), "in"));
  ElementPtr out(gst_bin_get_by_name(GST_BIN(pipeline.get()), "out"));
  g_object_set(in.get(), "location", file.c_str(), nullptr);
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  StampedClip clip;
  std::string why;
  while (!gst_app_sink_is_eos(GST_APP_SINK(out.get()))) {
    SamplePtr sample(gst_app_sink_try_pull_sample(GST_APP_SINK(out.get()), 10 * GST_SECOND));
    if (!sample) {
      if (gst_app_sink_is_eos(GST_APP_SINK(out.get()))) break;
      GstBus* bus = gst_element_get_bus(pipeline.get());
      GstMessage* failure = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
      gst_object_unref(bus);
      why = failure ? GStreamerError::fromMessage(failure).what() : "timed out decoding";
      if (failure) gst_message_unref(failure);
      break;
    }
    GstCaps* caps = gst_sample_get_caps(sample.get());
    clip.width = intField(caps, "width");
    clip.height = intField(caps, "height");
    GstMapInfo map;
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) continue;
    clip.stamps.push_back(readStamp(map.data, strideOf(clip.width)));
    gst_buffer_unmap(buffer, &map);
  }
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  if (!why.empty()) {
    if (error) *error = why;
    return std::nullopt;
  }
  return clip;
}

bool consecutive(const std::vector<std::uint64_t>& stamps) {
  for (std::size_t i = 1; i < stamps.size(); ++i)
    if (stamps[i] != stamps[i - 1] + 1) return false;
  return true;
}

bool increasing(const std::vector<std::uint64_t>& stamps) {
  return std::adjacent_find(stamps.begin(), stamps.end(), std::greater_equal<>()) == stamps.end();
}

std::uint64_t missing(const std::vector<std::uint64_t>& stamps) {
  return stamps.empty() ? 0 : stamps.back() - stamps.front() + 1 - stamps.size();
}

std::string firstBreak(const std::vector<std::uint64_t>& stamps) {
  for (std::size_t i = 1; i < stamps.size(); ++i) {
    if (stamps[i] == stamps[i - 1] + 1) continue;
    std::string text = "at " + std::to_string(i) + " of " + std::to_string(stamps.size()) + ":";
    for (std::size_t j = i > 3 ? i - 3 : 0; j < std::min(stamps.size(), i + 3); ++j)
      text += " " + std::to_string(stamps[j]);
    return text;
  }
  return "none";
}

}  // namespace veltrano::testing
