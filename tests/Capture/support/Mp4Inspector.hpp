#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace veltrano::testing {

// What an MP4 file holds, read from its boxes (moov/trak/mdia/minf/stbl and
// the avcC record), independently of the GStreamer elements that wrote it.
struct Mp4Summary {
  std::string sampleEntry;         // "avc1"
  int profileIdc = 0;              // 100 = High
  int width = 0, height = 0;       // from the sample entry
  std::uint64_t sampleCount = 0;
  double durationSeconds = 0;      // media duration of the video track
  std::vector<std::uint32_t> syncSamples;  // 1-based; empty box = all sync
  bool hasReordering = false;      // a ctts box with any non-zero offset
  std::uint64_t mediaBytes = 0;    // mdat payload

  // Largest distance between consecutive keyframes, counting the tail.
  std::uint32_t maxKeyFrameInterval() const;
};

// nullopt (with `error` set) when the file is missing, truncated or not an
// MP4 with one video track (e.g. no moov: never finished).
std::optional<Mp4Summary> inspectMp4(const std::filesystem::path& file, std::string* error = nullptr);

}  // namespace veltrano::testing
