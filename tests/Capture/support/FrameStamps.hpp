#pragma once

#include "Capture/GStreamer.hpp"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veltrano::testing {

// A live NV12 test camera that writes each frame's own sequence number (the
// buffer offset the source gave it) into its pixels, so that the frames of a
// clip can be told apart after encoding. Counts what the source produced.
// The description has a "size" capsfilter whose size setSize() changes, on
// the running source as well as on the ones made later.
class FrameStamper {
 public:
  // Bits in one row of 16×16 blocks: at least 320 pixels wide.
  static constexpr int kBits = 20;
  static constexpr int kBlock = 16;

  FrameStamper(int width, int height);
  ~FrameStamper();
  FrameStamper(const FrameStamper&) = delete;
  FrameStamper& operator=(const FrameStamper&) = delete;

  std::string description() const;
  // For PipelineSourceFactory's wrap: hooks the stamp into a made source.
  ElementPtr attach(ElementPtr source);

  // Frames stamped so far by all sources made: the next frame's number.
  std::uint64_t produced() const { return produced_->load(); }
  // Renegotiates the running source and sizes the ones made next.
  void setSize(int width, int height);
  // Posts an error from the running source, as a camera that fails would.
  void fail();

 private:
  std::string capsFor(int width, int height) const;

  std::atomic<int> width_, height_;
  std::shared_ptr<std::atomic<std::uint64_t>> produced_ = std::make_shared<std::atomic<std::uint64_t>>(0);
  GWeakRef last_{};
};

// The frames of an MP4 clip, decoded: their stamped numbers in file order,
// with the frame size. nullopt (with `error`) when the file does not decode.
struct StampedClip {
  std::vector<std::uint64_t> stamps;
  int width = 0, height = 0;
};
std::optional<StampedClip> readFrameStamps(const std::filesystem::path& file, std::string* error = nullptr);

// Whether the stamps run on by one each: no frame missing, none twice.
bool consecutive(const std::vector<std::uint64_t>& stamps);
// Whether each stamp is above the one before: no frame twice, none out of
// order; and how many numbers are missing between the first and the last.
bool increasing(const std::vector<std::uint64_t>& stamps);
std::uint64_t missing(const std::vector<std::uint64_t>& stamps);
// The stamps around the first break, for a failure message.
std::string firstBreak(const std::vector<std::uint64_t>& stamps);

}  // namespace veltrano::testing
