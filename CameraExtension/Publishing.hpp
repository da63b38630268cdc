// The interfaces to the publishing side (backend, published stream, stream
// events) and the frame that travels through them.
#pragma once

#include "MediaTime.hpp"
#include "StreamFormat.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace veltranocam {

// One camera frame in BGRA rows; `storage` keeps the pixels alive while the
// frame is passed on, so nothing is copied before the publisher's one copy.
struct VideoFrame {
  std::shared_ptr<const void> storage;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::size_t stride = 0;
  MediaTime presentationTime;
};

// What a publisher calls when clients start and stop the stream; the
// stream source implements it. startStream may throw CameraError.
class StreamEvents {
 public:
  virtual ~StreamEvents() = default;
  virtual void startStream() = 0;
  virtual void stopStream() = 0;
};

// A published stream: frames sent on it reach every client that started it.
// send may be called from any thread.
class PublishedStream {
 public:
  virtual ~PublishedStream() = default;
  virtual void send(const VideoFrame& frame, std::uint64_t hostTimeNanoseconds) = 0;
  // Lets go of every frame kept for a client that has not taken it yet, and
  // returns only when none is in use. The capture calls it before its
  // pipeline stops: a frame's pixels may belong to that pipeline's buffer
  // pool, and returning a buffer to a pool that is gone corrupts the heap.
  virtual void releaseFrames() = 0;
};

struct StreamDescription {
  std::string localizedName;
  std::string identifier;
  StreamFormat format;
  MediaTime frameDuration;
};

struct DeviceDescription {
  std::string localizedName;
  std::string identifier;
  std::string manufacturer;
  std::string model;
  std::uint32_t transportType = 0;
};

// The publishing side of the platform: makes stream objects and publishes a
// device with its stream. Implemented by the PipeWire backend and by fakes.
class PublishingBackend {
 public:
  virtual ~PublishingBackend() = default;
  // The stream calls `events` (held weakly) when clients start and stop it.
  virtual std::shared_ptr<PublishedStream> makeStream(const StreamDescription& description,
                                                      std::weak_ptr<StreamEvents> events) = 0;
  // Publishes `stream` as part of the device; throws std::exception on
  // failure.
  virtual void addStream(const DeviceDescription& device, const std::shared_ptr<PublishedStream>& stream) = 0;
};

}  // namespace veltranocam
