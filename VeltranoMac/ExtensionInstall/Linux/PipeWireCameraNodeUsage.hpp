// The camera-in-use check read straight from the PipeWire registry.
#pragma once

#include "ExtensionInstall/CameraNodeUsage.hpp"

#include <chrono>
#include <memory>

// NOLINTBEGIN(bugprone-reserved-identifier): the toolkit's own struct tags, declared without its headers
typedef struct _GMainContext GMainContext;
// NOLINTEND(bugprone-reserved-identifier)

namespace veltrano {

// Connects to the PipeWire daemon (PIPEWIRE_REMOTE, else the default
// socket) on a thread of its own, lists the registry's nodes and reads the
// state of every node named "VeltranoCam": `inUse` when one is running,
// `idle` when none is (or there is none), `unknown` when the daemon cannot
// be reached, breaks the protocol or has not answered within `timeout`.
// The answer is delivered on `context` (nullptr: the global default).
class PipeWireCameraNodeUsage final : public CameraNodeUsage {
 public:
  static std::shared_ptr<PipeWireCameraNodeUsage> create(GMainContext* context = nullptr,
                                                         std::chrono::milliseconds timeout = std::chrono::seconds(5));
  PipeWireCameraNodeUsage(GMainContext* context, std::chrono::milliseconds timeout);

  void checkInUse(std::function<void(CameraNodeState)> done) override;

 private:
  GMainContext* context_;
  std::chrono::milliseconds timeout_;
};

}  // namespace veltrano
