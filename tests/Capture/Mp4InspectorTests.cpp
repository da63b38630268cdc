// The MP4 reader is the oracle of the recorder tests. Here it reads a clip
// unlike any the recorder makes (Main profile, another size, B-frames, one
// keyframe), so each of its checks is seen to be able to fail.

#include "Capture/GStreamer.hpp"
#include "Mp4Inspector.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

using veltrano::testing::inspectMp4;

TEST(Mp4Inspector, ReadsWhatAClipHoldsAndRejectsMissingAndUnfinishedFiles) {
  veltrano::ensureGStreamer();
  const auto file =
      std::filesystem::temp_directory_path() / ("inspect-" + std::to_string(std::random_device()()) + ".mp4");
  const std::string description =
      "videotestsrc pattern=ball num-buffers=60 ! video/x-raw,format=NV12,width=176,height=144,framerate=30/1"
      " ! x264enc speed-preset=veryfast bframes=2 b-adapt=false key-int-max=250 ! video/x-h264,profile=main"
      " ! h264parse ! mp4mux ! filesink location=" +
      file.string();
  veltrano::ElementPtr pipeline = veltrano::adoptElement(gst_parse_launch(description.c_str(), nullptr));
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline.get());
  GstMessage* end =
      gst_bus_timed_pop_filtered(bus, 30 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  ASSERT_TRUE(end && GST_MESSAGE_TYPE(end) == GST_MESSAGE_EOS);
  gst_message_unref(end);
  gst_object_unref(bus);
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);

  std::string error;
  auto summary = inspectMp4(file, &error);
  ASSERT_TRUE(summary) << error;
  EXPECT_EQ(summary->codec, "video/x-h264");
  EXPECT_EQ(summary->profileIdc, 77);  // Main
  EXPECT_EQ(summary->width, 176);
  EXPECT_EQ(summary->height, 144);
  EXPECT_EQ(summary->sampleCount, 60u);
  EXPECT_NEAR(summary->durationSeconds, 2.0, 0.001);
  EXPECT_TRUE(summary->hasReordering);
  EXPECT_EQ(summary->syncSamples, std::vector<std::uint32_t>{1});
  EXPECT_EQ(summary->maxKeyFrameInterval(), 60u);

  std::ifstream in(file, std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove(file);
  EXPECT_FALSE(inspectMp4(file));
  // Everything but the index at the end, as a writer stopped without finishing leaves it.
  const auto moov = content.rfind("moov");
  ASSERT_NE(moov, std::string::npos);
  std::ofstream(file, std::ios::binary) << content.substr(0, moov - 4);
  EXPECT_FALSE(inspectMp4(file));
  std::filesystem::remove(file);
}
