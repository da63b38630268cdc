#include "ExtensionInstall/Linux/SdBusGLibSource.hpp"

#include <glib.h>
#include <poll.h>

#include <cstdint>

namespace veltrano {

namespace {

struct BusSource {
  GSource base;
  sd_bus* bus;
  gpointer tag;
};

GIOCondition toCondition(int events) {
  int condition = 0;
  if (events & POLLIN) condition |= G_IO_IN;
  if (events & POLLOUT) condition |= G_IO_OUT;
  return GIOCondition(condition);
}

gboolean prepare(GSource* base, gint* timeout) {
  auto* source = reinterpret_cast<BusSource*>(base);
  if (!source->tag) {
    *timeout = -1;
    return FALSE;
  }
  const int events = sd_bus_get_events(source->bus);
  // A closed bus asks for nothing; errors and hang-ups are always polled.
  g_source_modify_unix_fd(base, source->tag, toCondition(events < 0 ? 0 : events));
  std::uint64_t until = UINT64_MAX;
  if (sd_bus_get_timeout(source->bus, &until) < 0 || until == UINT64_MAX) {
    *timeout = -1;
    return FALSE;
  }
  // sd-bus's deadline is absolute on CLOCK_MONOTONIC, like GLib's clock.
  const auto now = static_cast<std::uint64_t>(g_get_monotonic_time());
  if (until <= now) {
    *timeout = 0;
    return TRUE;
  }
  *timeout = static_cast<gint>((until - now + 999) / 1000);
  return FALSE;
}

gboolean check(GSource* base) {
  auto* source = reinterpret_cast<BusSource*>(base);
  if (!source->tag) return FALSE;
  if (g_source_query_unix_fd(base, source->tag) != 0) return TRUE;
  std::uint64_t until = UINT64_MAX;
  return sd_bus_get_timeout(source->bus, &until) >= 0 && until != UINT64_MAX &&
         until <= static_cast<std::uint64_t>(g_get_monotonic_time());
}

gboolean dispatch(GSource* base, GSourceFunc, gpointer) {
  auto* source = reinterpret_cast<BusSource*>(base);
  // sd_bus_process handles one message per call; drain what is queued.
  while (sd_bus_process(source->bus, nullptr) > 0) {
  }
  // Once the connection is gone (and its pending calls have been answered
  // with errors) its fd is closed: stop polling it.
  if (source->tag && !sd_bus_is_open(source->bus)) {
    g_source_remove_unix_fd(base, source->tag);
    source->tag = nullptr;
  }
  return G_SOURCE_CONTINUE;
}

void finalize(GSource* base) {
  sd_bus_unref(reinterpret_cast<BusSource*>(base)->bus);
}

GSourceFuncs kFuncs = {prepare, check, dispatch, finalize, nullptr, nullptr};

}  // namespace

SdBusGLibSource::SdBusGLibSource(sd_bus* bus, GMainContext* context)
    : source_(g_source_new(&kFuncs, sizeof(BusSource))) {
  auto* source = reinterpret_cast<BusSource*>(source_);
  source->bus = sd_bus_ref(bus);
  source->tag = g_source_add_unix_fd(source_, sd_bus_get_fd(bus), G_IO_IN);
  g_source_set_name(source_, "sd-bus");
  g_source_attach(source_, context);
}

SdBusGLibSource::~SdBusGLibSource() {
  g_source_destroy(source_);
  g_source_unref(source_);
}

}  // namespace veltrano
