#include "ExtensionInstall/CameraNodeUsage.hpp"

#include "Runtime/Logger.hpp"

#include <gio/gio.h>
#include <nlohmann/json.hpp>

#include <string>
#include <utility>

namespace veltrano {

namespace {

const Logger& logger() {
  static const Logger instance("SystemExtension");
  return instance;
}

struct Check {
  std::function<void(bool)> done;
  GCancellable* cancellable = nullptr;
  GSource* timeout = nullptr;
  ~Check() {
    if (timeout) {
      g_source_destroy(timeout);
      g_source_unref(timeout);
    }
    if (cancellable) g_object_unref(cancellable);
  }
};

}  // namespace

bool cameraNodeRunningInRegistryDump(std::string_view json) {
  const auto dump = nlohmann::json::parse(json, nullptr, false);
  if (dump.is_discarded() || !dump.is_array()) return false;
  for (const auto& object : dump) {
    if (!object.is_object()) continue;
    const auto type = object.find("type");
    if (type == object.end() || *type != "PipeWire:Interface:Node") continue;
    const auto info = object.find("info");
    if (info == object.end() || !info->is_object()) continue;
    const auto props = info->find("props");
    const auto state = info->find("state");
    if (props == info->end() || !props->is_object() || state == info->end()) continue;
    const auto name = props->find("node.name");
    if (name != props->end() && *name == "VeltranoCam" && *state == "running") return true;
  }
  return false;
}

std::shared_ptr<PipeWireCameraNodeUsage> PipeWireCameraNodeUsage::create(GMainContext* context, std::string program,
                                                                         std::chrono::milliseconds timeout) {
  return std::make_shared<PipeWireCameraNodeUsage>(context, std::move(program), timeout);
}

PipeWireCameraNodeUsage::PipeWireCameraNodeUsage(GMainContext* context, std::string program,
                                                 std::chrono::milliseconds timeout)
    : context_(context), program_(std::move(program)), timeout_(timeout) {}

void PipeWireCameraNodeUsage::checkInUse(std::function<void(bool)> done) {
  // The subprocess's completion arrives on the thread-default context.
  if (context_) g_main_context_push_thread_default(context_);
  const char* argv[] = {program_.c_str(), nullptr};
  GError* error = nullptr;
  GSubprocess* process = g_subprocess_newv(
      argv, GSubprocessFlags(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_SILENCE), &error);
  if (!process) {
    logger().error(std::string("Cannot read the PipeWire registry: ") + error->message);
    g_error_free(error);
    if (context_) g_main_context_pop_thread_default(context_);
    done(false);
    return;
  }
  auto* check = new Check{std::move(done)};
  check->cancellable = g_cancellable_new();
  // A registry that never answers must not hold the activation forever.
  check->timeout = g_timeout_source_new(static_cast<guint>(timeout_.count()));
  g_source_set_callback(
      check->timeout,
      [](gpointer data) -> gboolean {
        g_cancellable_cancel(static_cast<GCancellable*>(data));
        return G_SOURCE_REMOVE;
      },
      check->cancellable, nullptr);
  g_source_attach(check->timeout, context_ ? context_ : g_main_context_get_thread_default());
  g_subprocess_communicate_utf8_async(
      process, nullptr, check->cancellable,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Check> check(static_cast<Check*>(data));
        auto* process = G_SUBPROCESS(source);
        char* out = nullptr;
        GError* error = nullptr;
        bool inUse = false;
        if (g_subprocess_communicate_utf8_finish(process, result, &out, nullptr, &error)) {
          inUse = out && cameraNodeRunningInRegistryDump(out);
        } else {
          logger().error(std::string("Cannot read the PipeWire registry: ") + error->message);
          g_error_free(error);
          g_subprocess_force_exit(process);
        }
        g_free(out);
        g_object_unref(process);
        check->done(inUse);
      },
      check);
  if (context_) g_main_context_pop_thread_default(context_);
}

}  // namespace veltrano
