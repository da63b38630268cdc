#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// NOLINTBEGIN(bugprone-reserved-identifier): the toolkit's own struct tags, declared without its headers
typedef struct _GMainContext GMainContext;
// NOLINTEND(bugprone-reserved-identifier)

namespace veltrano {

// Whether some application is reading the virtual camera right now: its
// PipeWire node "VeltranoCam" is in the running state.
class CameraNodeUsage {
 public:
  virtual ~CameraNodeUsage() = default;
  // Answers once, on the main context, without blocking it.
  virtual void checkInUse(std::function<void(bool inUse)> done) = 0;
};

// True when a registry listing in pw-dump's JSON form holds a node named
// "VeltranoCam" whose state is "running". Anything that does not parse
// counts as not in use.
bool cameraNodeRunningInRegistryDump(std::string_view json);

// Reads the PipeWire registry by running `pw-dump` (which lists every
// global object with its properties and state, then exits) and looks for
// the running node. When PipeWire cannot be asked (no daemon, no pw-dump,
// no answer within the timeout) nobody can be using the camera through it,
// so the answer is "not in use".
class PipeWireCameraNodeUsage final : public CameraNodeUsage {
 public:
  static std::shared_ptr<PipeWireCameraNodeUsage> create(GMainContext* context = nullptr,
                                                         std::string program = "pw-dump",
                                                         std::chrono::milliseconds timeout = std::chrono::seconds(5));
  void checkInUse(std::function<void(bool inUse)> done) override;

  PipeWireCameraNodeUsage(GMainContext* context, std::string program, std::chrono::milliseconds timeout);

 private:
  GMainContext* context_;
  std::string program_;
  std::chrono::milliseconds timeout_;
};

}  // namespace veltrano
