#include "Runtime/ProcessConfiguration.hpp"

#include <mutex>
#include <stdexcept>
#include <utility>

namespace veltrano {

namespace {

struct Holder {
  std::mutex mutex;
  ProcessConfiguration configuration;
  bool configured = false;
  bool read = false;
};

Holder& holder() {
  static Holder* const instance = new Holder;  // read until the very end of the process
  return *instance;
}

}  // namespace

void configureProcess(ProcessConfiguration configuration) {
  Holder& h = holder();
  std::lock_guard lock(h.mutex);
  if (h.read) throw std::logic_error("configureProcess called after a process-wide part was first used");
  if (h.configured) throw std::logic_error("configureProcess called twice");
  h.configuration = std::move(configuration);
  h.configured = true;
}

const ProcessConfiguration& processConfiguration() {
  Holder& h = holder();
  std::lock_guard lock(h.mutex);
  h.read = true;
  return h.configuration;  // never changes once read
}

}  // namespace veltrano
