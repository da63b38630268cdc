// The publishing backend on PipeWire: the virtual camera as a Video/Source
// node.
#pragma once

#include "Log.hpp"
#include "Publishing.hpp"

#include <functional>
#include <memory>

namespace veltranocam {

// Publishes the camera as a PipeWire Video/Source node: one pw_stream
// producer that drives its own graph cycles, one frame per camera frame.
//
// Threads: everything PipeWire runs on the backend's thread loop. Its state
// callbacks turn the first consumer's start (PAUSED -> STREAMING) into
// startStream, and the last consumer's stop (STREAMING -> PAUSED, or the
// format cleared when the node is suspended) into stopStream, each exactly
// once per transition. send() may come from any thread: it parks the frame
// (the newest replaces an unsent older one) and asks the loop for a cycle,
// whose process callback copies it once into the dequeued PipeWire buffer.
//
// When PipeWire is not running, or the connection breaks, the backend logs
// and reconnects with a backoff of 1, 2, 4 ... 30 seconds instead of exiting.
class PipeWireBackend final : public PublishingBackend {
 public:
  explicit PipeWireBackend(Logger& logger);
  ~PipeWireBackend() override;
  PipeWireBackend(const PipeWireBackend&) = delete;
  PipeWireBackend& operator=(const PipeWireBackend&) = delete;

  std::shared_ptr<PublishedStream> makeStream(const StreamDescription& description,
                                              std::weak_ptr<StreamEvents> events) override;
  // One stream per backend; throws std::logic_error for a second one or for
  // a stream made elsewhere. The node appears once the backend is started
  // and connected.
  void addStream(const DeviceDescription& device, const std::shared_ptr<PublishedStream>& stream) override;

  // Called once, on the loop's thread, the first time the node is in the
  // graph (connected and published): the service is up. Set before start().
  void whenFirstPublished(std::function<void()> handler);

  // Starts the loop and connects (the service starts).
  void start();
  // Ends streaming (a running stream gets its stopStream), removes the node
  // and stops the loop. Safe to call twice.
  void stop();

  struct Impl;
  class Stream;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace veltranocam
