#include "ExtensionInstall/Linux/PipeWireCameraNodeUsage.hpp"

#include "Runtime/Logger.hpp"

#include <glib.h>
#include <pipewire/pipewire.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <string>
#include <thread>
#include <utility>

namespace veltrano {

namespace {

const Logger& logger() {
  static const Logger instance("SystemExtension");
  return instance;
}

constexpr const char* kCameraNodeName = "VeltranoCam";

// One look at the registry, on its own loop: the globals first (one core
// sync), then the info of every camera node bound meanwhile (a second sync).
class RegistryLook {
 public:
  explicit RegistryLook(std::chrono::milliseconds timeout) : timeout_(timeout) {}

  CameraNodeState run() {
    pw_init(nullptr, nullptr);
    loop_ = pw_main_loop_new(nullptr);
    if (!loop_) return fail("cannot make a loop");
    context_ = pw_context_new(pw_main_loop_get_loop(loop_), nullptr, 0);
    if (!context_) return fail("cannot make a context");
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) return fail(std::string("cannot connect: ") + std::strerror(errno));

    coreEvents_.version = PW_VERSION_CORE_EVENTS;
    coreEvents_.done = &RegistryLook::onDone;
    coreEvents_.error = &RegistryLook::onError;
    pw_core_add_listener(core_, &coreListener_, &coreEvents_, this);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    registryEvents_.version = PW_VERSION_REGISTRY_EVENTS;
    registryEvents_.global = &RegistryLook::onGlobal;
    pw_registry_add_listener(registry_, &registryListener_, &registryEvents_, this);
    pending_ = pw_core_sync(core_, PW_ID_CORE, 0);

    timer_ = pw_loop_add_timer(pw_main_loop_get_loop(loop_), &RegistryLook::onTimeout, this);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout_).count();
    timespec value{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    pw_loop_update_timer(pw_main_loop_get_loop(loop_), timer_, &value, nullptr, false);
    pw_main_loop_run(loop_);
    return result_;
  }

  ~RegistryLook() {
    for (auto& node : nodes_) {
      spa_hook_remove(&node.listener);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(node.proxy));
    }
    if (registry_) {
      spa_hook_remove(&registryListener_);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
    if (core_) {
      spa_hook_remove(&coreListener_);
      pw_core_disconnect(core_);
    }
    if (timer_) pw_loop_destroy_source(pw_main_loop_get_loop(loop_), timer_);
    if (context_) pw_context_destroy(context_);
    if (loop_) pw_main_loop_destroy(loop_);
  }

  RegistryLook(const RegistryLook&) = delete;
  RegistryLook& operator=(const RegistryLook&) = delete;

 private:
  struct Node {
    RegistryLook* look = nullptr;
    pw_node* proxy = nullptr;
    spa_hook listener{};
    pw_node_events events{};
    bool seen = false;
    bool running = false;
  };

  CameraNodeState fail(const std::string& why) {
    logger().error("Cannot read the PipeWire registry: " + why);
    return CameraNodeState::unknown;
  }

  void end(CameraNodeState state, const std::string& why = {}) {
    if (ended_) return;
    ended_ = true;
    result_ = state;
    if (!why.empty()) fail(why);
    pw_main_loop_quit(loop_);
  }

  static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                       const spa_dict* props) {
    auto* self = static_cast<RegistryLook*>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0 || !props) return;
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    if (!name || std::strcmp(name, kCameraNodeName) != 0) return;
    auto* proxy = static_cast<pw_node*>(pw_registry_bind(self->registry_, id, type, PW_VERSION_NODE, 0));
    if (!proxy) return self->end(CameraNodeState::unknown, "cannot bind the camera node");
    Node& node = self->nodes_.emplace_back();
    node.look = self;
    node.proxy = proxy;
    node.events.version = PW_VERSION_NODE_EVENTS;
    node.events.info = [](void* nodeData, const pw_node_info* info) {
      auto* n = static_cast<Node*>(nodeData);
      n->seen = true;
      n->running = info && info->state == PW_NODE_STATE_RUNNING;
    };
    pw_node_add_listener(proxy, &node.listener, &node.events, &node);
  }

  static void onDone(void* data, std::uint32_t id, int seq) {
    auto* self = static_cast<RegistryLook*>(data);
    if (id != PW_ID_CORE || seq != self->pending_) return;
    if (!self->globalsListed_) {
      // Every global is listed; a second round trip brings the nodes' info.
      self->globalsListed_ = true;
      self->pending_ = pw_core_sync(self->core_, PW_ID_CORE, 0);
      return;
    }
    for (const auto& node : self->nodes_) {
      if (!node.seen) return self->end(CameraNodeState::unknown, "a camera node sent no state");
      if (node.running) return self->end(CameraNodeState::inUse);
    }
    self->end(CameraNodeState::idle);
  }

  static void onError(void* data, std::uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<RegistryLook*>(data);
    if (id != PW_ID_CORE) return;  // an error of a single object, such as a node gone meanwhile
    self->end(CameraNodeState::unknown, std::string(message ? message : "") + " (" + std::strerror(-res) + ")");
  }

  static void onTimeout(void* data, std::uint64_t) {
    auto* self = static_cast<RegistryLook*>(data);
    self->end(CameraNodeState::unknown, "no answer within " + std::to_string(self->timeout_.count()) + " ms");
  }

  std::chrono::milliseconds timeout_;
  pw_main_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  spa_source* timer_ = nullptr;
  spa_hook coreListener_{};
  spa_hook registryListener_{};
  pw_core_events coreEvents_{};
  pw_registry_events registryEvents_{};
  std::list<Node> nodes_;  // stable addresses: each is its listener's data
  int pending_ = 0;
  bool globalsListed_ = false;
  bool ended_ = false;
  CameraNodeState result_ = CameraNodeState::unknown;
};

// The answer's way back: the thread that looked is joined before `done` runs.
struct Answer {
  std::thread thread;
  CameraNodeState state = CameraNodeState::unknown;
  std::function<void(CameraNodeState)> done;
};

}  // namespace

std::shared_ptr<PipeWireCameraNodeUsage> PipeWireCameraNodeUsage::create(GMainContext* context,
                                                                         std::chrono::milliseconds timeout) {
  return std::make_shared<PipeWireCameraNodeUsage>(context, timeout);
}

PipeWireCameraNodeUsage::PipeWireCameraNodeUsage(GMainContext* context, std::chrono::milliseconds timeout)
    : context_(context), timeout_(timeout) {}

void PipeWireCameraNodeUsage::checkInUse(std::function<void(CameraNodeState)> done) {
  auto* answer = new Answer;
  answer->done = std::move(done);
  GMainContext* context = context_ ? context_ : g_main_context_default();
  g_main_context_ref(context);
  // A socket that accepts and never answers must not stall the main loop:
  // the whole conversation runs on this thread, bounded by the timer.
  answer->thread = std::thread([answer, context, timeout = timeout_] {
    {
      RegistryLook look(timeout);
      answer->state = look.run();
    }
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
          auto* a = static_cast<Answer*>(data);
          a->thread.join();
          auto done = std::move(a->done);
          const CameraNodeState state = a->state;
          delete a;
          done(state);
          return G_SOURCE_REMOVE;
        },
        answer, nullptr);
    g_source_attach(source, context);
    g_source_unref(source);
    g_main_context_unref(context);
  });
}

}  // namespace veltrano
