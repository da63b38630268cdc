// An sd-bus connection driven from a GLib main context, so no bus call blocks
// the main loop.
#pragma once

#include <systemd/sd-bus.h>

// NOLINTBEGIN(bugprone-reserved-identifier): the toolkit's own struct tags, declared without its headers
typedef struct _GMainContext GMainContext;
typedef struct _GSource GSource;
// NOLINTEND(bugprone-reserved-identifier)

namespace veltrano {

// Drives an sd-bus connection from a GLib main context: the source polls
// the bus's fd for the events sd-bus asks for, wakes at its timeout, and
// processes every queued message in one dispatch. Replies and signals
// therefore run on the context's thread and nothing ever waits on the bus.
class SdBusGLibSource {
 public:
  SdBusGLibSource(sd_bus* bus, GMainContext* context);
  ~SdBusGLibSource();
  SdBusGLibSource(const SdBusGLibSource&) = delete;
  SdBusGLibSource& operator=(const SdBusGLibSource&) = delete;

 private:
  GSource* source_;
};

}  // namespace veltrano
