#include "ExtensionInstall/Linux/SystemdUserUnitActivator.hpp"

#include "ExtensionInstall/Linux/CameraServiceUnit.hpp"
#include "Runtime/Logger.hpp"

#include <glib.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>

namespace veltrano {

namespace {

const Logger& logger() {
  static const Logger instance("SystemExtension");
  return instance;
}

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
const std::string kUnitName(kCameraServiceUnitName);

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return text;
}

// The version a running process was started as, from its environment.
std::optional<std::string> runningVersion(std::uint32_t pid) {
  if (pid == 0) return std::nullopt;
  const auto environ = readWholeFile(std::filesystem::path("/proc") / std::to_string(pid) / "environ");
  return environ ? cameraVersionInEnvironment(*environ) : std::nullopt;
}

std::string bundleShortVersion(const std::filesystem::path& bundle) {
  const auto text = readWholeFile(bundle / "Info.json");
  if (!text) return {};
  const auto info = nlohmann::json::parse(*text, nullptr, false);
  if (!info.is_object()) return {};
  const auto version = info.find("CFBundleShortVersionString");
  return version != info.end() && version->is_string() ? version->get<std::string>() : std::string();
}

bool isExecutableFile(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error) && access(path.c_str(), X_OK) == 0;
}

// Written beside the target and renamed over it, so systemd never reads
// half a unit.
std::error_code writeFileAtomically(const std::filesystem::path& path, const std::string& text) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) return error;
  const auto temporary = path.parent_path() / ("." + path.filename().string() + ".new");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) return std::make_error_code(std::errc::io_error);
  }
  std::filesystem::rename(temporary, path, error);
  if (error) std::filesystem::remove(temporary, error);
  return error;
}

// The reply signature each method must answer with.
const char* replySignature(const std::string& member) {
  if (member == "GetUnitFileState") return "s";
  if (member == "ListUnitsByNames") return "a(ssssssouso)";
  if (member == "EnableUnitFiles") return "ba(sss)";
  if (member == "UnmaskUnitFiles") return "a(sss)";
  if (member == "StartUnit" || member == "RestartUnit") return "o";
  if (member == "Get") return "v";
  return "";
}

int appendUnitName(sd_bus_message* message) {
  return sd_bus_message_append(message, "as", 1, kUnitName.c_str());
}

}  // namespace

std::shared_ptr<SystemdUserUnitActivator> SystemdUserUnitActivator::create(std::filesystem::path unitDirectory,
                                                                           std::shared_ptr<CameraNodeUsage> cameraUsage,
                                                                           GMainContext* context,
                                                                           std::chrono::microseconds callTimeout,
                                                                           std::chrono::milliseconds startBound) {
  return std::make_shared<SystemdUserUnitActivator>(
      std::move(unitDirectory), std::move(cameraUsage), context, callTimeout, startBound);
}

std::filesystem::path SystemdUserUnitActivator::defaultUnitDirectory() {
  return std::filesystem::path(g_get_user_data_dir()) / "systemd" / "user";
}

SystemdUserUnitActivator::SystemdUserUnitActivator(std::filesystem::path unitDirectory,
                                                   std::shared_ptr<CameraNodeUsage> cameraUsage, GMainContext* context,
                                                   std::chrono::microseconds callTimeout,
                                                   std::chrono::milliseconds startBound)
    : unitDirectory_(std::move(unitDirectory)),
      cameraUsage_(std::move(cameraUsage)),
      context_(context ? context : g_main_context_default()),
      callTimeout_(callTimeout),
      startBound_(startBound) {}

SystemdUserUnitActivator::~SystemdUserUnitActivator() {
  for (auto* source : posted_) {
    g_source_destroy(source);
    g_source_unref(source);
  }
  posted_.clear();
  resetRequest();
}

void SystemdUserUnitActivator::post(std::function<void()> work) {
  struct Posted {
    SystemdUserUnitActivator* self;
    std::function<void()> work;
    GSource* source;
  };
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(
      source,
      [](gpointer data) -> gboolean {
        auto* posted = static_cast<Posted*>(data);
        auto work = std::move(posted->work);
        posted->self->posted_.remove(posted->source);
        g_source_unref(posted->source);
        work();
        return G_SOURCE_REMOVE;
      },
      new Posted{this, std::move(work), source}, [](gpointer data) { delete static_cast<Posted*>(data); });
  posted_.push_back(source);
  g_source_attach(source, context_);
}

void SystemdUserUnitActivator::stopStartTimer() {
  if (!startTimer_) return;
  g_source_destroy(startTimer_);
  g_source_unref(startTimer_);
  startTimer_ = nullptr;
}

void SystemdUserUnitActivator::resetRequest() {
  ++generation_;
  stopStartTimer();
  bundleVersion_.clear();
  unitObject_.clear();
  followedJob_.clear();
  endedJobs_.clear();
  followingJobs_ = false;
  calls_.clear();
  for (auto* slot : matches_) sd_bus_slot_unref(slot);
  matches_.clear();
  busSource_.reset();
  bus_ = sd_bus_unref(bus_);
  request_.reset();
  delegate_.reset();
  phase_ = Phase::idle;
  rewritten_ = approvalAnnounced_ = recheckRequested_ = subscribed_ = runtimeMask_ = false;
  lastFailure_ = 0;
}

void SystemdUserUnitActivator::submit(SystemExtensionRequest request,
                                      std::weak_ptr<SystemExtensionRequestDelegate> delegate) {
  if (request_ && phase_ != Phase::done) {
    // One request at a time: a newer one supersedes what is still running.
    auto previous = this->delegate();
    const auto previousRequest = *request_;
    resetRequest();
    if (previous)
      previous->requestDidFailWithError(
          previousRequest, static_cast<long>(SystemExtensionErrorCode::requestSuperseded));
  } else {
    resetRequest();
  }
  request_ = std::move(request);
  delegate_ = std::move(delegate);
  const auto generation = generation_;
  post([this, generation] {
    if (generation == generation_) start();
  });
}

void SystemdUserUnitActivator::start() {
  phase_ = Phase::working;
  const auto& request = *request_;
  const auto version = bundleShortVersion(request.extensionBundle);
  bundleVersion_ = version;
  const auto program = request.extensionBundle / kCameraProgramName;
  if (!isExecutableFile(program)) {
    logger().error("The camera program is missing or not executable: " + program.string());
    fail(static_cast<long>(SystemExtensionErrorCode::extensionNotFound));
    return;
  }

  const auto unitPath = unitDirectory_ / kUnitName;
  const auto wanted = renderCameraServiceUnit(program, version);
  const auto existing = readWholeFile(unitPath);
  rewritten_ = !existing || *existing != wanted;
  if (existing) {
    const auto installed = cameraServiceUnitVersion(*existing);
    if (installed && *installed != version) {
      auto delegate = this->delegate();
      const auto action = delegate ? delegate->actionForReplacingExtension(request, {*installed}, {version})
                                   : SystemExtensionReplacementAction::replace;
      if (phase_ != Phase::working) return;  // the delegate submitted anew
      if (action != SystemExtensionReplacementAction::replace) {
        fail(static_cast<long>(SystemExtensionErrorCode::requestCanceled));
        return;
      }
    } else if (!installed) {
      logger().info("Replacing a unit file without a recorded version: " + unitPath.string());
    }
  }
  if (rewritten_) {
    if (const auto error = writeFileAtomically(unitPath, wanted)) {
      logger().error("Cannot write " + unitPath.string() + ": " + error.message());
      fail(static_cast<long>(SystemExtensionErrorCode::unknownError));
      return;
    }
  }

  if (const int r = sd_bus_open_user(&bus_); r < 0) {
    bus_ = nullptr;
    logger().error(std::string("Cannot reach the user bus: ") + std::strerror(-r));
    fail(static_cast<long>(SystemExtensionErrorCode::unknownError));
    return;
  }
  busSource_ = std::make_unique<SdBusGLibSource>(bus_, context_);
  // Unmasking by hand shows up as UnitFilesChanged (and a reload).
  for (const char* member : {"UnitFilesChanged", "Reloading"}) {
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal_async(
            bus_, &slot, kDestination, kManagerPath, kManagerInterface, member, onManagerSignal, nullptr, this) >= 0)
      matches_.push_back(slot);
  }
  reloadThenCheckState();
}

void SystemdUserUnitActivator::call(const char* member, const std::function<int(sd_bus_message*)>& append,
                                    ReplyHandler onReply) {
  callOn(kManagerPath, kManagerInterface, member, append, std::move(onReply));
}

void SystemdUserUnitActivator::getUnitProperty(const char* interface, const char* property, ReplyHandler onReply) {
  const std::string object = unitObject_;
  callOn(
      object.c_str(), "org.freedesktop.DBus.Properties", "Get",
      [interface, property](sd_bus_message* m) { return sd_bus_message_append(m, "ss", interface, property); },
      std::move(onReply));
}

void SystemdUserUnitActivator::callOn(const char* path, const char* interface, const char* member,
                                      const std::function<int(sd_bus_message*)>& append, ReplyHandler onReply) {
  sd_bus_message* message = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &message, kDestination, path, interface, member);
  if (r >= 0 && append) r = append(message);
  auto pending = std::make_unique<PendingCall>();
  pending->owner = this;
  pending->member = member;
  pending->onReply = std::move(onReply);
  if (r >= 0)
    r = sd_bus_call_async(
        bus_, &pending->slot, message, onCallReply, pending.get(), static_cast<uint64_t>(callTimeout_.count()));
  sd_bus_message_unref(message);
  if (r < 0) {
    failOnReply(member, r);
    return;
  }
  calls_.push_back(std::move(pending));
}

int SystemdUserUnitActivator::onCallReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* self = static_cast<PendingCall*>(userdata)->owner;
  const auto keep = self->weak_from_this().lock();
  std::unique_ptr<PendingCall> call;
  for (auto it = self->calls_.begin(); it != self->calls_.end(); ++it) {
    if (it->get() == userdata) {
      call = std::move(*it);
      self->calls_.erase(it);
      break;
    }
  }
  if (!call || self->phase_ == Phase::done || self->phase_ == Phase::idle) return 0;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    self->failOnBus(call->member, sd_bus_message_get_error(reply));
    return 0;
  }
  if (sd_bus_message_has_signature(reply, replySignature(call->member)) <= 0) {
    const char* signature = sd_bus_message_get_signature(reply, true);
    logger().error(call->member + " answered with the unexpected signature \"" + (signature ? signature : "") + "\"");
    self->fail(static_cast<long>(SystemExtensionErrorCode::unknownError));
    return 0;
  }
  call->onReply(reply);
  return 0;
}

int SystemdUserUnitActivator::onManagerSignal(sd_bus_message*, void* userdata, sd_bus_error*) {
  auto* self = static_cast<SystemdUserUnitActivator*>(userdata);
  const auto keep = self->weak_from_this().lock();
  if (self->phase_ == Phase::waitingForUnmask) self->recheckWhileWaiting();
  return 0;
}

void SystemdUserUnitActivator::failOnBus(const std::string& member, const sd_bus_error* error) {
  const std::string name = error && error->name ? error->name : "";
  const std::string message = error && error->message ? error->message : "";
  logger().error(member + " failed: " + name + ": " + message);
  const bool refused = name == SD_BUS_ERROR_ACCESS_DENIED || name == SD_BUS_ERROR_INTERACTIVE_AUTHORIZATION_REQUIRED;
  fail(static_cast<long>(refused ? SystemExtensionErrorCode::authorizationRequired
                                 : SystemExtensionErrorCode::unknownError));
}

void SystemdUserUnitActivator::failOnReply(const std::string& member, int error) {
  logger().error(member + " failed: " + std::strerror(-error));
  fail(static_cast<long>(SystemExtensionErrorCode::unknownError));
}

void SystemdUserUnitActivator::reloadThenCheckState() {
  call("Reload", nullptr, [this](sd_bus_message*) { checkState(); });
}

void SystemdUserUnitActivator::checkState() {
  call(
      "GetUnitFileState", [](sd_bus_message* m) { return sd_bus_message_append(m, "s", kUnitName.c_str()); },
      [this](sd_bus_message* reply) {
        const char* state = nullptr;
        if (const int r = sd_bus_message_read(reply, "s", &state); r < 0) return failOnReply("GetUnitFileState", r);
        const std::string unitFileState = state;
        if (unitFileState == "masked" || unitFileState == "masked-runtime") {
          runtimeMask_ = unitFileState == "masked-runtime";
          onMasked();
        } else if (approvalAnnounced_) {
          // Unmasked while we waited: systemd still holds the masked unit
          // until it reloads.
          call("Reload", nullptr, [this](sd_bus_message*) { proceed(); });
        } else {
          proceed();
        }
      });
}

void SystemdUserUnitActivator::onMasked() {
  phase_ = Phase::waitingForUnmask;
  if (!approvalAnnounced_) {
    approvalAnnounced_ = true;
    logger().info(kUnitName + " is masked; waiting for it to be allowed");
    const auto generation = generation_;
    if (auto delegate = this->delegate()) delegate->requestNeedsUserApproval(*request_);
    if (generation != generation_ || phase_ != Phase::waitingForUnmask) return;
  }
  if (!subscribed_) {
    subscribed_ = true;
    phase_ = Phase::working;
    // systemd sends its signals only to subscribers; a look after
    // subscribing catches an unmask that came in between.
    call("Subscribe", nullptr, [this](sd_bus_message*) { checkState(); });
    return;
  }
  if (recheckRequested_) {
    recheckRequested_ = false;
    recheckWhileWaiting();
  }
}

void SystemdUserUnitActivator::recheckWhileWaiting() {
  if (phase_ != Phase::waitingForUnmask) {
    if (phase_ == Phase::working) recheckRequested_ = true;
    return;
  }
  phase_ = Phase::working;
  checkState();
}

void SystemdUserUnitActivator::approve() {
  if (phase_ == Phase::done && lastFailure_ == static_cast<long>(SystemExtensionErrorCode::authorizationRequired)) {
    // Refused access shows as a pending approval; the user's click asks
    // for the whole activation once more.
    logger().info("Retrying the activation the user allowed");
    auto request = *request_;
    submit(std::move(request), delegate_);
    return;
  }
  if (!approvalAnnounced_ || phase_ == Phase::done || phase_ == Phase::idle) {
    logger().info("Nothing waits for approval");
    return;
  }
  call(
      "UnmaskUnitFiles",
      [runtime = runtimeMask_](sd_bus_message* m) {
        return sd_bus_message_append(m, "asb", 1, kUnitName.c_str(), static_cast<int>(runtime));
      },
      [this](sd_bus_message*) { recheckWhileWaiting(); });
}

void SystemdUserUnitActivator::proceed() {
  call("ListUnitsByNames", appendUnitName, [this](sd_bus_message* reply) {
    bool active = false;
    int r = sd_bus_message_enter_container(reply, 'a', "(ssssssouso)");
    for (; r > 0;) {
      const char *name, *description, *load, *activeState, *sub, *following, *path, *jobType, *jobPath;
      uint32_t jobId;
      r = sd_bus_message_read(reply, "(ssssssouso)", &name, &description, &load, &activeState, &sub, &following, &path,
                              &jobId, &jobType, &jobPath);
      if (r > 0 && kUnitName == name) {
        active = std::strcmp(activeState, "active") == 0 || std::strcmp(activeState, "reloading") == 0;
        unitObject_ = path;
      }
    }
    if (r < 0) return failOnReply("ListUnitsByNames", r);
    enableThenStart(active);
  });
}

void SystemdUserUnitActivator::enableThenStart(bool active) {
  call(
      "EnableUnitFiles", [](sd_bus_message* m) { return sd_bus_message_append(m, "asbb", 1, kUnitName.c_str(), 0, 0); },
      [this, active](sd_bus_message*) {
        if (!active) return startAndFollow("StartUnit");
        if (rewritten_) return restartWhenIdle();
        checkRunningVersion();
      });
}

void SystemdUserUnitActivator::checkRunningVersion() {
  // The unit file is current, but systemd runs what it started: after an
  // update that waited for the camera to be free, that is the old program
  // until the service starts again.
  getUnitProperty("org.freedesktop.systemd1.Service", "MainPID", [this](sd_bus_message* reply) {
    std::uint32_t pid = 0;
    if (const int r = sd_bus_message_read(reply, "v", "u", &pid); r < 0) return failOnReply("Get MainPID", r);
    const auto running = runningVersion(pid);
    if (running == bundleVersion_) return finish(kSystemExtensionRequestCompleted);
    logger().info("The running camera service is version " + running.value_or("unknown") + "; the bundle holds " +
                  bundleVersion_);
    restartWhenIdle();
  });
}

void SystemdUserUnitActivator::restartWhenIdle() {
  if (!cameraUsage_) return startAndFollow("RestartUnit");
  const auto generation = generation_;
  std::weak_ptr<SystemdUserUnitActivator> weak = weak_from_this();
  cameraUsage_->checkInUse([weak, generation](CameraNodeState state) {
    auto self = weak.lock();
    if (!self || generation != self->generation_ || self->phase_ != Phase::working) return;
    if (state == CameraNodeState::idle) return self->startAndFollow("RestartUnit");
    // A restart would cut off the application reading the camera (or might:
    // a registry that cannot be read is no proof that nobody does). The new
    // unit is in place and takes over at the next start.
    logger().info(state == CameraNodeState::inUse
                      ? "The camera is in use; the new version starts with the next session"
                      : "Cannot tell whether the camera is in use; the new version starts with the next session");
    self->finish(kSystemExtensionRequestWillCompleteAfterReboot);
  });
}

void SystemdUserUnitActivator::startAndFollow(const char* member) {
  // systemd announces a job's end (JobRemoved) only to subscribers; the
  // match is in place before the job exists, so an end that overtakes the
  // call's reply is kept until the reply names the job.
  if (!followingJobs_) {
    followingJobs_ = true;
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal_async(
            bus_, &slot, kDestination, kManagerPath, kManagerInterface, "JobRemoved", onJobRemoved, nullptr, this) >= 0)
      matches_.push_back(slot);
  }
  auto send = [this, member] {
    call(
        member, [](sd_bus_message* m) { return sd_bus_message_append(m, "ss", kUnitName.c_str(), "replace"); },
        [this, member](sd_bus_message* reply) {
          const char* job = nullptr;
          if (const int r = sd_bus_message_read(reply, "o", &job); r < 0) return failOnReply(member, r);
          followJob(job);
        });
  };
  stopStartTimer();
  const auto generation = generation_;
  startTimer_ = g_timeout_source_new(static_cast<guint>(startBound_.count()));
  struct Bound {
    SystemdUserUnitActivator* self;
    unsigned generation;
  };
  g_source_set_callback(
      startTimer_,
      [](gpointer data) -> gboolean {
        const auto* bound = static_cast<Bound*>(data);
        auto* self = bound->self;
        if (bound->generation != self->generation_) return G_SOURCE_REMOVE;
        logger().error(kUnitName + " did not report ready within " + std::to_string(self->startBound_.count()) + " ms");
        self->fail(static_cast<long>(SystemExtensionErrorCode::unknownError));
        return G_SOURCE_REMOVE;
      },
      new Bound{this, generation}, [](gpointer data) { delete static_cast<Bound*>(data); });
  g_source_attach(startTimer_, context_);
  if (subscribed_) return send();
  subscribed_ = true;
  call("Subscribe", nullptr, [send](sd_bus_message*) { send(); });
}

void SystemdUserUnitActivator::followJob(std::string job) {
  followedJob_ = std::move(job);
  const auto ended = endedJobs_.find(followedJob_);
  if (ended != endedJobs_.end()) jobEnded(ended->second);
}

int SystemdUserUnitActivator::onJobRemoved(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<SystemdUserUnitActivator*>(userdata);
  const auto keep = self->weak_from_this().lock();
  std::uint32_t id = 0;
  const char *job = nullptr, *unit = nullptr, *result = nullptr;
  if (sd_bus_message_read(message, "uoss", &id, &job, &unit, &result) < 0 || kUnitName != unit) return 0;
  if (job == self->followedJob_)
    self->jobEnded(result);
  else
    self->endedJobs_[job] = result;
  return 0;
}

void SystemdUserUnitActivator::jobEnded(const std::string& result) {
  if (phase_ != Phase::working) return;
  if (result == "done") return finish(kSystemExtensionRequestCompleted);
  logger().error(kUnitName + " start job ended with result \"" + result + "\"");
  // The service's own result says why (exit-code, signal, timeout, ...).
  getUnitProperty("org.freedesktop.systemd1.Service", "Result", [this](sd_bus_message* reply) {
    const char* serviceResult = nullptr;
    if (sd_bus_message_read(reply, "v", "s", &serviceResult) >= 0)
      logger().error(kUnitName + " failed with service result \"" + serviceResult + "\"");
    fail(static_cast<long>(SystemExtensionErrorCode::unknownError));
  });
}

void SystemdUserUnitActivator::finish(long result) {
  if (phase_ == Phase::done || !request_) return;
  phase_ = Phase::done;
  stopStartTimer();
  logger().info(kUnitName + " activation finished with result " + std::to_string(result));
  closeBusLater();
  if (auto delegate = this->delegate()) delegate->requestDidFinishWithResult(*request_, result);
}

void SystemdUserUnitActivator::fail(long code) {
  if (phase_ == Phase::done || !request_) return;
  phase_ = Phase::done;
  stopStartTimer();
  lastFailure_ = code;
  closeBusLater();
  if (auto delegate = this->delegate()) delegate->requestDidFailWithError(*request_, code);
}

void SystemdUserUnitActivator::closeBusLater() {
  const auto generation = generation_;
  post([this, generation] {
    if (generation != generation_ || phase_ != Phase::done) return;
    calls_.clear();
    for (auto* slot : matches_) sd_bus_slot_unref(slot);
    matches_.clear();
    busSource_.reset();
    bus_ = sd_bus_unref(bus_);
  });
}

}  // namespace veltrano
