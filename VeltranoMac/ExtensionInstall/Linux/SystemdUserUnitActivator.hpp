// Camera extension activation as a systemd user unit, over sd-bus.
#pragma once

#include "ExtensionInstall/CameraNodeUsage.hpp"
#include "ExtensionInstall/Linux/SdBusGLibSource.hpp"
#include "ExtensionInstall/SystemExtensionActivator.hpp"

#include <systemd/sd-bus.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>

// NOLINTBEGIN(bugprone-reserved-identifier): the toolkit's own struct tags, declared without its headers
typedef struct _GMainContext GMainContext;
typedef struct _GSource GSource;
// NOLINTEND(bugprone-reserved-identifier)

namespace veltrano {

// Activates the camera extension as the systemd user unit
// com.brackwood.VeltranoMac.Camera.service: writes the unit file, then asks
// the user's systemd over D-Bus to reload, enable and start it. Every call
// is asynchronous on the main context; outcomes reach the delegate there.
//
// Outcomes: a unit of another version is replaced (the delegate is asked
// first) and restarted, unless the camera is in use (or that cannot be
// established), which leaves the running service alone and finishes with
// 1; an active unit finishes with 0 once the running service is the
// bundle's version (read from VELTRANO_VERSION in its main process's
// environment), and is otherwise restarted when idle or left to finish with
// 1; a start or restart finishes with 0 only when its job ends "done" —
// the program reports ready — within the start bound, else it fails with
// 1; a masked unit needs approval and is watched until it is unmasked (by
// approve() or by hand); refused access fails with 13 (shown as a pending
// approval: approve() then tries the whole activation again), a missing
// program with 4, anything else on the bus with 1 (its error in the
// journal). A delegate that declines the replacement fails the request with
// 11, and a newer submit fails the one still running with 12.
class SystemdUserUnitActivator final : public SystemExtensionActivator,
                                       public std::enable_shared_from_this<SystemdUserUnitActivator> {
 public:
  // `unitDirectory` is $XDG_DATA_HOME/systemd/user; `context` nullptr means
  // the global default context. A call systemd leaves unanswered for
  // `callTimeout` fails the request (code 1), and so does a start job that
  // has not ended within `startBound`.
  static std::shared_ptr<SystemdUserUnitActivator> create(
      std::filesystem::path unitDirectory, std::shared_ptr<CameraNodeUsage> cameraUsage,
      GMainContext* context = nullptr, std::chrono::microseconds callTimeout = std::chrono::seconds(25),
      std::chrono::milliseconds startBound = std::chrono::seconds(10));
  // $XDG_DATA_HOME/systemd/user, or ~/.local/share/systemd/user.
  static std::filesystem::path defaultUnitDirectory();

  SystemdUserUnitActivator(std::filesystem::path unitDirectory, std::shared_ptr<CameraNodeUsage> cameraUsage,
                           GMainContext* context, std::chrono::microseconds callTimeout,
                           std::chrono::milliseconds startBound);
  ~SystemdUserUnitActivator() override;

  void submit(SystemExtensionRequest request, std::weak_ptr<SystemExtensionRequestDelegate> delegate) override;
  void approve() override;

 private:
  enum class Phase { idle, working, waitingForUnmask, done };
  using ReplyHandler = std::function<void(sd_bus_message* reply)>;
  struct PendingCall {
    SystemdUserUnitActivator* owner = nullptr;
    std::string member;
    ReplyHandler onReply;
    sd_bus_slot* slot = nullptr;
    ~PendingCall() { sd_bus_slot_unref(slot); }
  };

  void start();
  void reloadThenCheckState();
  void checkState();
  void onMasked();
  void recheckWhileWaiting();
  void proceed();
  void enableThenStart(bool active);
  // Restarts when nobody reads the camera; otherwise the new version waits
  // for the next start and the request finishes with 1.
  void restartWhenIdle();
  void checkRunningVersion();
  // Starts (or restarts) the unit and follows its job to its end.
  void startAndFollow(const char* member);
  void followJob(std::string job);
  void jobEnded(const std::string& result);
  void finish(long result);
  void fail(long code);
  void failOnBus(const std::string& member, const sd_bus_error* error);
  void failOnReply(const std::string& member, int error);
  void resetRequest();
  void stopStartTimer();
  void closeBusLater();

  // Calls a method of org.freedesktop.systemd1.Manager; `append` adds the
  // arguments. Errors end the request (13 for refused access, else 1).
  void call(const char* member, const std::function<int(sd_bus_message*)>& append, ReplyHandler onReply);
  void callOn(const char* path, const char* interface, const char* member,
              const std::function<int(sd_bus_message*)>& append, ReplyHandler onReply);
  static int onCallReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onManagerSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onJobRemoved(sd_bus_message* message, void* userdata, sd_bus_error* error);
  // Reads one property of the unit's object (org.freedesktop.DBus.Properties.Get).
  void getUnitProperty(const char* interface, const char* property, ReplyHandler onReply);

  std::shared_ptr<SystemExtensionRequestDelegate> delegate() const { return delegate_.lock(); }
  void post(std::function<void()> work);

  std::filesystem::path unitDirectory_;
  std::shared_ptr<CameraNodeUsage> cameraUsage_;
  GMainContext* context_;
  std::chrono::microseconds callTimeout_;
  std::chrono::milliseconds startBound_;

  std::optional<SystemExtensionRequest> request_;
  std::weak_ptr<SystemExtensionRequestDelegate> delegate_;
  Phase phase_ = Phase::idle;
  bool rewritten_ = false;
  bool approvalAnnounced_ = false;
  bool recheckRequested_ = false;
  bool subscribed_ = false;
  bool runtimeMask_ = false;
  long lastFailure_ = 0;
  unsigned generation_ = 0;
  std::string bundleVersion_;
  std::string unitObject_;                        // the unit's object path, from ListUnitsByNames
  std::string followedJob_;                       // the start job whose end decides the outcome
  std::map<std::string, std::string> endedJobs_;  // job -> result, seen before the job was known
  bool followingJobs_ = false;
  GSource* startTimer_ = nullptr;

  sd_bus* bus_ = nullptr;
  std::unique_ptr<SdBusGLibSource> busSource_;
  std::list<std::unique_ptr<PendingCall>> calls_;
  std::list<sd_bus_slot*> matches_;
  std::list<GSource*> posted_;
};

}  // namespace veltrano
