// The MP4 reader is the oracle of the recorder tests; here it is checked
// against clips of known make from a plain GStreamer pipeline.

#include "Capture/GStreamer.hpp"
#include "Mp4Inspector.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

using namespace veltrano;
using veltrano::testing::inspectMp4;

namespace {

std::filesystem::path tempFile(const std::string& stem) {
  std::random_device random;
  return std::filesystem::temp_directory_path() / (stem + "-" + std::to_string(random()) + ".mp4");
}

// Encodes `frames` frames of a moving ball at 30 fps with the given x264enc
// settings and waits for the file to be finished.
void encode(const std::filesystem::path& file, int frames, const std::string& encoder) {
  ensureGStreamer();
  const std::string description = "videotestsrc pattern=ball num-buffers=" + std::to_string(frames) +
                                  " ! video/x-raw,format=NV12,width=320,height=240,framerate=30/1 ! x264enc " +
                                  encoder + " ! h264parse ! mp4mux ! filesink location=" + file.string();
  GError* error = nullptr;
  ElementPtr pipeline = adoptElement(gst_parse_launch(description.c_str(), &error));
  ASSERT_TRUE(pipeline) << (error ? error->message : "");
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline.get());
  GstMessage* message = gst_bus_timed_pop_filtered(bus, 30 * GST_SECOND,
                                                   GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(GST_MESSAGE_TYPE(message), GST_MESSAGE_EOS);
  gst_message_unref(message);
  gst_object_unref(bus);
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
}

}  // namespace

TEST(Mp4Inspector, ReadsSizeProfileDurationKeyframesAndReordering) {
  const auto plain = tempFile("inspect-plain");
  encode(plain, 90, "tune=zerolatency speed-preset=superfast key-int-max=30 bframes=0");
  std::string error;
  auto summary = inspectMp4(plain, &error);
  ASSERT_TRUE(summary) << error;
  EXPECT_EQ(summary->sampleEntry, "avc1");
  EXPECT_EQ(summary->profileIdc, 100);
  EXPECT_EQ(summary->width, 320);
  EXPECT_EQ(summary->height, 240);
  EXPECT_EQ(summary->sampleCount, 90u);
  EXPECT_NEAR(summary->durationSeconds, 3.0, 0.001);
  EXPECT_FALSE(summary->hasReordering);
  EXPECT_LE(summary->maxKeyFrameInterval(), 30u);
  EXPECT_GE(summary->syncSamples.size(), 3u);

  const auto reordered = tempFile("inspect-bframes");
  encode(reordered, 60, "speed-preset=veryfast bframes=2 b-adapt=false key-int-max=250");
  summary = inspectMp4(reordered, &error);
  ASSERT_TRUE(summary) << error;
  EXPECT_TRUE(summary->hasReordering);
  EXPECT_EQ(summary->maxKeyFrameInterval(), 60u);  // only the first frame is a keyframe

  std::filesystem::remove(plain);
  std::filesystem::remove(reordered);
}

TEST(Mp4Inspector, RejectsMissingTruncatedAndUnfinishedFiles) {
  const auto file = tempFile("inspect-cut");
  std::string error;
  EXPECT_FALSE(inspectMp4(file, &error));

  encode(file, 30, "tune=zerolatency bframes=0");
  std::ifstream in(file, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(content.size(), 1000u);

  // Cut inside the moov at the end: the box structure no longer adds up.
  std::ofstream(file, std::ios::binary | std::ios::trunc) << content.substr(0, content.size() - 100);
  EXPECT_FALSE(inspectMp4(file, &error));

  // Only the mdat, as a writer stopped without finishing leaves it.
  const auto mdat = content.find("mdat");
  ASSERT_NE(mdat, std::string::npos);
  std::ofstream(file, std::ios::binary | std::ios::trunc) << content.substr(0, mdat + 4);
  EXPECT_FALSE(inspectMp4(file, &error));
  std::filesystem::remove(file);
}
