#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace veltrano::testing {

// A stand-in physical camera on the current PipeWire graph: a Video/Source
// node (media.role Camera) of its own that sends BGRA frames at a fixed size
// and rate, each frame different (a moving bar and the frame number), and
// remembers a hash of every frame it sent. It drives its own graph cycles
// from a timer, so any number of consumers may come and go (GStreamer's
// pipewiresink 0.3.65 stops delivering after a few reconnections).
class PipeWireStandInCamera {
 public:
  // `hashFrames` false skips hashing (sent() then knows nothing), for
  // benchmarks where hashing 1080p frames would load the machine.
  // `flatGrey` replaces the moving pattern with one grey level (B = G = R),
  // so that a consumer tells two stand-ins apart after any conversion; the
  // frame number still leads every frame.
  PipeWireStandInCamera(std::string nodeName, int width, int height, int framesPerSecond, bool hashFrames = true,
                        std::optional<std::uint8_t> flatGrey = std::nullopt);
  ~PipeWireStandInCamera();
  PipeWireStandInCamera(const PipeWireStandInCamera&) = delete;
  PipeWireStandInCamera& operator=(const PipeWireStandInCamera&) = delete;

  // Whether a frame with this hash was sent.
  bool sent(std::uint64_t hash) const;
  std::uint64_t framesSent() const;
  // CLOCK_MONOTONIC nanoseconds at which the frame with this hash was sent,
  // or 0.
  std::uint64_t sentAt(std::uint64_t hash) const;

  // The same for a frame number (the first 8 bytes of every frame hold it,
  // native byte order).
  std::uint64_t sentAtFrame(std::uint64_t frameNumber) const;

  static std::uint64_t hash(const std::uint8_t* data, std::size_t size);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace veltrano::testing
