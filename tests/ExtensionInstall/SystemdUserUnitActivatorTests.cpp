#include "ExtensionInstall/Linux/CameraServiceUnit.hpp"
#include "ExtensionInstall/Linux/SystemdUserUnitActivator.hpp"
#include "ExtensionInstall/SystemExtensionRequestManager.hpp"
#include "ExtensionTestSupport.hpp"
#include "SystemdTestBus.hpp"
#include "support/CapturingLogSink.hpp"

#include <gtest/gtest.h>

#include <glib.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using testing::readFile;
using testing::runFor;
using testing::runUntil;
using testing::TempDir;
using testing::writeFile;
using Banner = std::optional<SystemExtensionBannerState>;

const std::string kUnit(kCameraServiceUnitName);
const std::string kDescription = "Activation request for com.brackwood.VeltranoMac.Camera";
const std::string kSuccess = kDescription + " did finish with success";
const std::string kReboot = kDescription + " Extension did finish with result success but requires reboot";
const std::string kUnknownError = "Extension failed with error: unknown error";
const std::string kAuthorization = "Extension failed with error: authorization required";

// The in-use seam: answers what the test says, later, on the main context.
class FakeCameraNodeUsage final : public CameraNodeUsage {
 public:
  explicit FakeCameraNodeUsage(CameraNodeState state) : state_(state) {}
  void checkInUse(std::function<void(CameraNodeState)> done) override {
    ++checks;
    auto* job = new std::function<void()>([done = std::move(done), state = state_] { done(state); });
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
          (*static_cast<std::function<void()>*>(data))();
          return G_SOURCE_REMOVE;
        },
        job, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
  }
  int checks = 0;

 private:
  CameraNodeState state_;
};

// A camera program as the unit runs it: reports ready (Type=notify) and
// stays up until it is stopped.
constexpr const char* kReadyProgram = "systemd-notify --ready --no-block; exec sleep 300";

long openFdCount() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

class SystemdActivation : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    bus = std::make_unique<testing::PrivateSessionBus>(root / "bus");
    bundle = testing::makeExtensionBundle(extensions, testing::kCameraBundleName, "1.0");
    program = bundle / std::string(kCameraProgramName);
    testing::writeScript(program, kReadyProgram);
  }
  void TearDown() override {
    manager.reset();
    activator.reset();
    standIn.reset();
    bus.reset();
  }

  void startStandIn(std::vector<std::string> options = {}) {
    std::vector<std::string> argv = {"/usr/bin/python3", VELTRANO_SYSTEMD_STANDIN, "--log", callLog.string()};
    argv.insert(argv.end(), options.begin(), options.end());
    standIn = std::make_unique<testing::TestChild>(argv);
    ASSERT_EQ(standIn->readLine(), "READY");
  }

  // systemctl --user mask [--runtime]
  std::filesystem::path mask(bool runtime = false) {
    const auto folder = (runtime ? this->runtime : config) / "systemd/user";
    std::filesystem::create_directories(folder);
    std::filesystem::create_symlink("/dev/null", folder / kUnit);
    return folder / kUnit;
  }

  void activate(CameraNodeState camera = CameraNodeState::idle, std::chrono::microseconds callTimeout = 25s,
                std::chrono::milliseconds startBound = 10s) {
    usage = std::make_shared<FakeCameraNodeUsage>(camera);
    activator = SystemdUserUnitActivator::create(unitDirectory, usage, nullptr, callTimeout, startBound);
    manager = SystemExtensionRequestManager::create("Starting container app", extensions, activator);
    manager->addObserver([this](auto property, auto phase) {
      if (property == SystemExtensionRequestManager::Property::logText &&
          phase == SystemExtensionRequestManager::Phase::didChange)
        lines.push_back(manager->logText());
    });
    manager->activateExtension();
  }

  bool runUntilFinished(std::chrono::milliseconds limit = 20s) {
    return runUntil([this] { return finished(); }, limit);
  }

  // The status lines after the submission line.
  std::vector<std::string> outcomeLines() const {
    auto at = std::find_if(lines.begin(), lines.end(), [](const auto& l) { return l.rfind("Submitting", 0) == 0; });
    return at == lines.end() ? lines : std::vector<std::string>(at + 1, lines.end());
  }

  bool finished() const {
    const auto& last = lines.empty() ? std::string() : lines.back();
    return last == kSuccess || last == kReboot || last.rfind("Extension failed with error: ", 0) == 0;
  }

  std::vector<std::string> calls() const {
    std::vector<std::string> out;
    std::istringstream text(readFile(callLog));
    for (std::string line; std::getline(text, line);) out.push_back(line);
    return out;
  }

  TempDir root;
  const std::filesystem::path data = root / "data";
  const std::filesystem::path config = root / "config";
  const std::filesystem::path runtime = root / "runtime";
  const std::filesystem::path extensions = root / "bundle/lib/VeltranoMac/SystemExtensions";
  const std::filesystem::path unitDirectory = data / "systemd/user";
  const std::filesystem::path unitFile = unitDirectory / kUnit;
  const std::filesystem::path callLog = root / "calls.log";
  std::filesystem::path bundle;
  std::filesystem::path program;
  std::unique_ptr<testing::PrivateSessionBus> bus;
  std::unique_ptr<testing::TestChild> standIn;
  std::shared_ptr<FakeCameraNodeUsage> usage;
  std::shared_ptr<SystemdUserUnitActivator> activator;
  std::shared_ptr<SystemExtensionRequestManager> manager;
  std::vector<std::string> lines;
};

enum class Installed { none, sameVersion, olderVersion, garbage };
enum class Bus { standIn, noSystemd, noBus };

struct OutcomeCase {
  const char* name;
  Installed installed = Installed::none;
  bool running = false;
  // The version the running service was started as, when its unit file has
  // been replaced since (empty: the installed file's own).
  std::string runningVersion = {};
  CameraNodeState camera = CameraNodeState::idle;
  bool programPresent = true;
  std::string programBody = kReadyProgram;
  Bus bus = Bus::standIn;
  std::vector<std::string> standInOptions = {};
  std::vector<std::string> lines;
  Banner banner = std::nullopt;
  std::vector<std::string> calls = {};
  std::string journal = {};  // an error line the outcome must log, if any
};

void PrintTo(const OutcomeCase& c, std::ostream* os) {
  *os << c.name;
}

class ActivationOutcomes : public SystemdActivation, public ::testing::WithParamInterface<OutcomeCase> {};

const std::string kEnable = "EnableUnitFiles " + kUnit;
const std::string kStart = "StartUnit " + kUnit + " replace";
const std::string kRestart = "RestartUnit " + kUnit + " replace";
const std::string kMainPID = "Get MainPID";
const std::vector<std::string> kUpToEnable = {
    "Reload", "GetUnitFileState " + kUnit, "ListUnitsByNames " + kUnit, kEnable};
std::vector<std::string> upToEnableThen(std::vector<std::string> more) {
  auto all = kUpToEnable;
  all.insert(all.end(), more.begin(), more.end());
  return all;
}

// Every outcome through the real manager, the real activator and the
// stand-in systemd: status lines, banner, the calls systemd received (in
// order) and the unit file left behind.
TEST_P(ActivationOutcomes, EndAsSystemdAnswers) {
  const auto& c = GetParam();
  testing::LogCapture log;
  const auto wanted = renderCameraServiceUnit(program, "1.0");
  if (c.installed == Installed::sameVersion) writeFile(unitFile, wanted);
  if (c.installed == Installed::olderVersion) writeFile(unitFile, renderCameraServiceUnit(program, "0.9"));
  if (c.installed == Installed::garbage) writeFile(unitFile, "[Service\nExecStart=/bin/sleep 300\n\x01\x02");
  if (!c.programPresent) std::filesystem::remove(program);
  if (c.programPresent) testing::writeScript(program, c.programBody);
  auto options = c.standInOptions;
  if (c.running) options.insert(options.end(), {"--active", kUnit});
  const auto installedText = readFile(unitFile);
  if (!c.runningVersion.empty()) writeFile(unitFile, renderCameraServiceUnit(program, c.runningVersion));
  if (c.bus == Bus::standIn) startStandIn(options);
  if (!c.runningVersion.empty()) writeFile(unitFile, installedText);
  if (c.bus == Bus::noBus) setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (root / "no-bus").string()).c_str(), 1);

  activate(c.camera, 25s, 2s);
  ASSERT_TRUE(runUntilFinished()) << ::testing::PrintToString(lines);
  runFor(200ms);  // nothing more arrives after the outcome

  EXPECT_EQ(outcomeLines(), c.lines);
  EXPECT_EQ(manager->extensionBanner(), c.banner);
  EXPECT_EQ(calls(), c.calls);
  if (c.programPresent)
    EXPECT_EQ(readFile(unitFile), wanted);
  else
    EXPECT_FALSE(std::filesystem::exists(unitFile));
  EXPECT_TRUE(c.journal.empty() || log->contains("SystemExtension", LogLevel::error, c.journal)) << c.journal;
  // Only a running service of another version asks whether the camera is
  // in use.
  const bool otherVersionRunning = c.running && (c.installed == Installed::olderVersion ||
                                                 c.installed == Installed::garbage || !c.runningVersion.empty());
  EXPECT_EQ(usage->checks, otherVersionRunning ? 1 : 0);
}

const auto kReplacing = "Replacing extension version 0.9 with 1.0";
const Banner kApproval = SystemExtensionBannerState::needsUserApproval();
const Banner kUnknownBanner = SystemExtensionBannerState::failed(kUnknownError);

INSTANTIATE_TEST_SUITE_P(
    Table, ActivationOutcomes,
    ::testing::Values(
        OutcomeCase{.name = "FreshInstall", .lines = {kSuccess}, .calls = upToEnableThen({"Subscribe", kStart})},
        OutcomeCase{.name = "SameVersionActive",
                    .installed = Installed::sameVersion,
                    .running = true,
                    .camera = CameraNodeState::inUse,
                    .lines = {kSuccess},
                    .calls = upToEnableThen({kMainPID})},
        OutcomeCase{.name = "SameVersionStopped",
                    .installed = Installed::sameVersion,
                    .lines = {kSuccess},
                    .calls = upToEnableThen({"Subscribe", kStart})},
        OutcomeCase{.name = "OlderVersionRestarts",
                    .installed = Installed::olderVersion,
                    .running = true,
                    .lines = {kReplacing, kSuccess},
                    .calls = upToEnableThen({"Subscribe", kRestart})},
        OutcomeCase{.name = "OlderVersionInUseKeepsRunning",
                    .installed = Installed::olderVersion,
                    .running = true,
                    .camera = CameraNodeState::inUse,
                    .lines = {kReplacing, kReboot},
                    .banner = SystemExtensionBannerState::willCompleteAfterReboot(),
                    .calls = kUpToEnable},
        // A registry that cannot be read is no proof that nobody reads the camera.
        OutcomeCase{.name = "OlderVersionCameraUseUnknownKeepsRunning",
                    .installed = Installed::olderVersion,
                    .running = true,
                    .camera = CameraNodeState::unknown,
                    .lines = {kReplacing, kReboot},
                    .banner = SystemExtensionBannerState::willCompleteAfterReboot(),
                    .calls = kUpToEnable},
        OutcomeCase{.name = "OlderVersionStoppedStarts",
                    .installed = Installed::olderVersion,
                    .camera = CameraNodeState::inUse,
                    .lines = {kReplacing, kSuccess},
                    .calls = upToEnableThen({"Subscribe", kStart})},
        OutcomeCase{.name = "GarbageUnitIsReplacedAndRestarted",
                    .installed = Installed::garbage,
                    .running = true,
                    .lines = {kSuccess},
                    .calls = upToEnableThen({"Subscribe", kRestart})},
        // The unit file was updated while the camera was busy; systemd still
        // runs the old program: restarted once idle, else still pending.
        OutcomeCase{.name = "OldProgramStillRunningRestartsWhenIdle",
                    .installed = Installed::sameVersion,
                    .running = true,
                    .runningVersion = "0.9",
                    .lines = {kSuccess},
                    .calls = upToEnableThen({kMainPID, "Subscribe", kRestart})},
        OutcomeCase{.name = "OldProgramStillRunningInUseStaysPending",
                    .installed = Installed::sameVersion,
                    .running = true,
                    .runningVersion = "0.9",
                    .camera = CameraNodeState::inUse,
                    .lines = {kReboot},
                    .banner = SystemExtensionBannerState::willCompleteAfterReboot(),
                    .calls = upToEnableThen({kMainPID})},
        // Success means the program is up, not that systemd queued its start.
        OutcomeCase{.name = "ProgramExitsAtStart",
                    .programBody = "exit 3",
                    .lines = {kUnknownError},
                    .banner = kUnknownBanner,
                    .calls = upToEnableThen({"Subscribe", kStart, "Get Result"}),
                    .journal = kUnit + " failed with service result \"exit-code\""},
        OutcomeCase{.name = "ProgramNeverReady",
                    .programBody = "exec sleep 300",
                    .lines = {kUnknownError},
                    .banner = kUnknownBanner,
                    .calls = upToEnableThen({"Subscribe", kStart}),
                    .journal = kUnit + " did not report ready within 2000 ms"},
        OutcomeCase{
            .name = "AccessDenied",
            .standInOptions = {"--fail", "Reload=org.freedesktop.DBus.Error.AccessDenied"},
            .lines = {kAuthorization},
            .banner = kApproval,
            .calls = {"Reload"},
            .journal = "Reload failed: org.freedesktop.DBus.Error.AccessDenied: Reload refused by the stand-in"},
        OutcomeCase{
            .name = "InteractiveAuthorizationRequired",
            .standInOptions = {"--fail", "StartUnit=org.freedesktop.DBus.Error.InteractiveAuthorizationRequired"},
            .lines = {kAuthorization},
            .banner = kApproval,
            .calls = upToEnableThen({"Subscribe", kStart})},
        OutcomeCase{
            .name = "OtherBusError",
            .standInOptions = {"--fail", "EnableUnitFiles=org.freedesktop.DBus.Error.Failed"},
            .lines = {kUnknownError},
            .banner = kUnknownBanner,
            .calls = kUpToEnable,
            .journal =
                "EnableUnitFiles failed: org.freedesktop.DBus.Error.Failed: EnableUnitFiles refused by the stand-in"},
        OutcomeCase{.name = "UnexpectedReplyType",
                    .standInOptions = {"--garbage", "GetUnitFileState"},
                    .lines = {kUnknownError},
                    .banner = kUnknownBanner,
                    .calls = {"Reload", "GetUnitFileState " + kUnit},
                    .journal = "GetUnitFileState answered with the unexpected signature \"i\""},
        OutcomeCase{
            .name = "SystemdUnreachable", .bus = Bus::noSystemd, .lines = {kUnknownError}, .banner = kUnknownBanner},
        OutcomeCase{.name = "BusUnreachable", .bus = Bus::noBus, .lines = {kUnknownError}, .banner = kUnknownBanner},
        OutcomeCase{.name = "ProgramMissing",
                    .programPresent = false,
                    .lines = {"Extension failed with error: extension not found"},
                    .banner = SystemExtensionBannerState::failed("Extension failed with error: extension not found")}),
    [](const auto& info) { return std::string(info.param.name); });

// A masked unit waits for approval, then finishes once it is unmasked:
// through the banner's approve() or by hand (systemctl --user unmask calls
// UnmaskUnitFiles and Reload, as the test does here).
struct MaskRow {
  const char* name;
  bool runtime;  // masked with --runtime, which only a runtime unmask lifts
  bool byHand;
};
void PrintTo(const MaskRow& row, std::ostream* os) {
  *os << row.name;
}

class MaskedUnit : public SystemdActivation, public ::testing::WithParamInterface<MaskRow> {};

TEST_P(MaskedUnit, WaitsForApprovalThenStarts) {
  const auto link = mask(GetParam().runtime);
  startStandIn();
  activate();
  ASSERT_TRUE(runUntil([&] { return !lines.empty() && lines.back() == "Extension needs user approval"; }, 20s));
  ASSERT_TRUE(runUntil([&] { return calls().size() >= 4; }, 20s));
  runFor(300ms);
  EXPECT_EQ(manager->extensionBanner(), SystemExtensionBannerState::needsUserApproval());
  EXPECT_EQ(calls(), (std::vector<std::string>{
                         "Reload", "GetUnitFileState " + kUnit, "Subscribe", "GetUnitFileState " + kUnit}));

  if (GetParam().byHand) {
    sd_bus* hand = nullptr;
    ASSERT_GE(sd_bus_open_user(&hand), 0);
    const auto callManager = [hand](const char* member, const char* types, auto... arguments) {
      sd_bus_error error = SD_BUS_ERROR_NULL;
      EXPECT_GE(sd_bus_call_method(hand, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                   "org.freedesktop.systemd1.Manager", member, &error, nullptr, types, arguments...),
                0)
          << member << ": " << (error.message ? error.message : "");
      sd_bus_error_free(&error);
    };
    callManager("UnmaskUnitFiles", "asb", 1, kUnit.c_str(), static_cast<int>(GetParam().runtime));
    callManager("Reload", "");
    sd_bus_flush_close_unref(hand);
  } else {
    manager->approveExtension();
  }
  ASSERT_TRUE(runUntilFinished()) << ::testing::PrintToString(lines);
  EXPECT_EQ(outcomeLines(), (std::vector<std::string>{"Extension needs user approval", kSuccess}));
  EXPECT_FALSE(manager->extensionBanner());
  EXPECT_FALSE(std::filesystem::is_symlink(link));
  const auto all = calls();
  const auto at = [&](const std::string& call) { return std::find(all.begin(), all.end(), call) - all.begin(); };
  ASSERT_LT(at(kStart), static_cast<long>(all.size()));
  EXPECT_LT(at("UnmaskUnitFiles " + kUnit), at(kEnable));
  EXPECT_LT(at(kEnable), at(kStart));
  EXPECT_EQ(std::count(all.begin(), all.end(), "UnmaskUnitFiles " + kUnit), 1);
  EXPECT_EQ(std::count(all.begin(), all.end(), kStart), 1);
}

INSTANTIATE_TEST_SUITE_P(Table, MaskedUnit,
                         ::testing::Values(MaskRow{"Approved", false, false}, MaskRow{"UnmaskedByHand", false, true},
                                           MaskRow{"RuntimeMaskApproved", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Refused access shows the approval banner; the user's click on it runs
// the activation again, which now succeeds.
TEST_F(SystemdActivation, RefusedAccessIsTriedAgainWhenTheUserAllowsIt) {
  startStandIn({"--fail", "Reload=org.freedesktop.DBus.Error.AccessDenied", "--fail-times", "1"});
  activate();
  ASSERT_TRUE(runUntilFinished());
  EXPECT_EQ(manager->extensionBanner(), SystemExtensionBannerState::needsUserApproval());
  manager->approveExtension();
  ASSERT_TRUE(runUntil([&] { return lines.back() == kSuccess; }, 20s));
  EXPECT_EQ(outcomeLines(), (std::vector<std::string>{kAuthorization, kSuccess}));
  EXPECT_FALSE(manager->extensionBanner());
  auto expected = upToEnableThen({"Subscribe", kStart});
  expected.insert(expected.begin(), "Reload");
  EXPECT_EQ(calls(), expected);
  // Once finished, a further click changes nothing.
  manager->approveExtension();
  runFor(200ms);
  EXPECT_EQ(calls(), expected);
}

// The stand-in delays every reply by a second: the main loop keeps
// ticking all along, and the activation still ends in order.
TEST_F(SystemdActivation, MainLoopKeepsTickingWhileSystemdIsSlow) {
  startStandIn({"--delay", "1"});
  struct Ticks {
    std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration longestGap{};
    int count = 0;
  } ticks;
  const guint ticker = g_timeout_add(
      10,
      [](gpointer data) -> gboolean {
        auto* t = static_cast<Ticks*>(data);
        const auto now = std::chrono::steady_clock::now();
        t->longestGap = std::max(t->longestGap, now - t->last);
        t->last = now;
        ++t->count;
        return G_SOURCE_CONTINUE;
      },
      &ticks);
  const auto started = std::chrono::steady_clock::now();
  activate();
  ASSERT_TRUE(runUntilFinished(30s));
  const auto elapsed = std::chrono::steady_clock::now() - started;
  g_source_remove(ticker);

  EXPECT_EQ(outcomeLines(), std::vector<std::string>{kSuccess});
  EXPECT_GE(elapsed, 5s);  // five calls, a second each
  EXPECT_LT(ticks.longestGap, 200ms);
  EXPECT_GT(ticks.count, 200);
}

// A systemd that never answers in time fails the request through sd-bus's
// own call timeout, which only fires when the loop honours the bus's
// deadline.
TEST_F(SystemdActivation, UnansweredCallsTimeOut) {
  testing::LogCapture log;
  startStandIn({"--delay", "5"});
  const auto started = std::chrono::steady_clock::now();
  activate(CameraNodeState::idle, 300ms);
  ASSERT_TRUE(runUntilFinished(10s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  EXPECT_EQ(outcomeLines(), std::vector<std::string>{kUnknownError});
  const auto errors = log->messages("SystemExtension", LogLevel::error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Reload failed: org.freedesktop.DBus.Error.NoReply: Method call timed out");
}

// Each activation closes its bus connection when it is over and leaves no
// descriptor, source or process behind.
TEST_F(SystemdActivation, ActivationsLeaveNoDescriptorsBehind) {
  startStandIn();
  std::optional<long> baseline;
  for (int round = 0; round < 6; ++round) {
    lines.clear();
    activate();
    ASSERT_TRUE(runUntilFinished());
    EXPECT_EQ(lines.back(), kSuccess);
    runFor(50ms);
    manager.reset();
    activator.reset();
    usage.reset();
    runFor(20ms);
    // The first round also sets up what GLib and sd-bus keep per process.
    if (!baseline)
      baseline = openFdCount();
    else
      EXPECT_EQ(openFdCount(), *baseline) << "round " << round;
  }
}

}  // namespace
}  // namespace veltrano
