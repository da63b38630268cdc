#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace veltrano::testing {

// What an MP4 file holds, as GStreamer's MP4 demuxer (not the muxer that
// wrote it) reads it, without decoding.
struct Mp4Summary {
  std::string codec;   // media type of the stream, e.g. "video/x-h264"
  int profileIdc = 0;  // from the avcC record; 100 = High
  int width = 0, height = 0;
  std::uint64_t sampleCount = 0;
  double durationSeconds = 0;
  std::vector<std::uint32_t> syncSamples;  // 1-based keyframe numbers
  bool hasReordering = false;              // a frame shown before one decoded earlier: B-frames
  std::uint64_t mediaBytes = 0;            // sum of the sample sizes

  // Largest distance between consecutive keyframes, counting the tail.
  std::uint32_t maxKeyFrameInterval() const;
};

// nullopt (with `error` set) when the file is missing or cannot be played
// (e.g. no index: never finished).
std::optional<Mp4Summary> inspectMp4(const std::filesystem::path& file, std::string* error = nullptr);

}  // namespace veltrano::testing
