// Whether some application reads the virtual camera right now: the question
// the activator asks before it restarts the camera service.
#pragma once

#include <functional>

namespace veltrano {

// What is known about the virtual camera's PipeWire node "VeltranoCam".
// `unknown` (the registry could not be read, or not in time) must be
// treated like `inUse`: a restart on a guess could cut off somebody's call.
enum class CameraNodeState { idle, inUse, unknown };

class CameraNodeUsage {
 public:
  virtual ~CameraNodeUsage() = default;
  // Answers once, on the main context, without blocking it.
  virtual void checkInUse(std::function<void(CameraNodeState)> done) = 0;
};

}  // namespace veltrano
