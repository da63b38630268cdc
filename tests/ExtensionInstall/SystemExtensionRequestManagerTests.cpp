#include "ExtensionInstall/SystemExtensionRequestManager.hpp"
#include "ExtensionTestSupport.hpp"
#include "support/FakeSystemExtensionActivator.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace veltrano {
namespace {

using testing::FakeSystemExtensionActivator;
using testing::makeExtensionBundle;
using testing::TempDir;
using testing::writeFile;
using Banner = std::optional<SystemExtensionBannerState>;
using Manager = SystemExtensionRequestManager;

// Every announcement with what an observer could read at that moment.
struct Announcement {
  Manager::Property property;
  Manager::Phase phase;
  std::string logText;
  Banner banner;
};

struct Harness {
  explicit Harness(std::filesystem::path extensions)
      : activator(std::make_shared<FakeSystemExtensionActivator>()),
        manager(Manager::create("Starting container app", std::move(extensions), activator)) {
    manager->addObserver([this](Manager::Property property, Manager::Phase phase) {
      announcements.push_back({property, phase, manager->logText(), manager->extensionBanner()});
    });
  }

  // The status lines in the order they were published.
  std::vector<std::string> logLines() const {
    std::vector<std::string> lines;
    for (const auto& a : announcements)
      if (a.property == Manager::Property::logText && a.phase == Manager::Phase::didChange) lines.push_back(a.logText);
    return lines;
  }

  std::shared_ptr<FakeSystemExtensionActivator> activator;
  std::shared_ptr<Manager> manager;
  std::vector<Announcement> announcements;
};

const std::string kDescription = "Activation request for com.brackwood.VeltranoMac.Camera";

// A first installation end to end: the constructor's text, search,
// submission, approval, success; the request carries the bundle found,
// dismissing clears the banner, and once the manager is gone the
// activator's callbacks reach nobody (it is held weakly).
TEST(SystemExtensionRequestManager, FirstInstallationPublishesEveryStepInOrder) {
  TempDir dir;
  const auto bundle = makeExtensionBundle(dir.path);
  writeFile(dir / "README.txt", "not an extension");
  Harness h(dir.path);
  EXPECT_EQ(h.manager->logText(), "Starting container app");
  EXPECT_FALSE(h.manager->extensionBanner());

  h.manager->activateExtension();
  ASSERT_EQ(h.activator->submitted.size(), 1u);
  EXPECT_EQ(h.activator->submitted[0].identifier, "com.brackwood.VeltranoMac.Camera");
  EXPECT_EQ(h.activator->submitted[0].extensionBundle, bundle);
  EXPECT_EQ(h.activator->submitted[0].description(), kDescription);

  using F = FakeSystemExtensionActivator;
  ASSERT_TRUE(h.activator->replay({F::NeedsApproval{}}));
  EXPECT_EQ(h.manager->extensionBanner(), SystemExtensionBannerState::needsUserApproval());
  h.manager->approveExtension();
  EXPECT_EQ(h.activator->approvals, 1);
  ASSERT_TRUE(h.activator->replay({F::Finish{0}}));

  EXPECT_EQ(h.logLines(), (std::vector<std::string>{
                              "Looking for extension bundle...",
                              "Submitting request for: com.brackwood.VeltranoMac.Camera in "
                              "com.brackwood.VeltranoMac.Camera.systemextension",
                              "Extension needs user approval",
                              kDescription + " did finish with success",
                          }));
  EXPECT_FALSE(h.manager->extensionBanner());

  ASSERT_TRUE(h.activator->replay({F::Fail{4}}));
  ASSERT_TRUE(h.manager->extensionBanner());
  h.manager->setExtensionBanner(std::nullopt);
  EXPECT_FALSE(h.manager->extensionBanner());
  EXPECT_EQ(h.manager->logText(), "Extension failed with error: extension not found");
  h.manager.reset();
  EXPECT_FALSE(h.activator->replay({F::Finish{0}}));
}

struct CallbackCase {
  const char* name;
  Banner before;
  FakeSystemExtensionActivator::Event event;
  std::string logText;
  Banner after;
};

// Rows print as their names, so the test names CTest discovers stay the
// same from run to run.
void PrintTo(const CallbackCase& c, std::ostream* os) {
  *os << c.name;
}

class ManagerCallbacks : public ::testing::TestWithParam<CallbackCase> {};

// Every callback sets the status line first, then the banner (or leaves it
// alone); observers hear each change before and after it takes effect.
TEST_P(ManagerCallbacks, SetTheStatusLineThenTheBanner) {
  const auto& c = GetParam();
  TempDir dir;
  makeExtensionBundle(dir.path);
  Harness h(dir.path);
  h.manager->activateExtension();
  h.manager->setExtensionBanner(c.before);
  const auto logBefore = h.manager->logText();
  h.announcements.clear();

  ASSERT_TRUE(h.activator->replay({c.event}));
  EXPECT_EQ(h.manager->logText(), c.logText);
  EXPECT_EQ(h.manager->extensionBanner(), c.after);

  // The replacement question answers "replace" and leaves the banner alone.
  const bool bannerSet = !std::holds_alternative<FakeSystemExtensionActivator::Replacement>(c.event);
  EXPECT_EQ(h.activator->replacementAnswers.size(), bannerSet ? 0u : 1u);
  for (const auto answer : h.activator->replacementAnswers)
    EXPECT_EQ(answer, SystemExtensionReplacementAction::replace);
  ASSERT_EQ(h.announcements.size(), bannerSet ? 4u : 2u);
  const auto& a = h.announcements;
  using P = Manager::Property;
  using Ph = Manager::Phase;
  EXPECT_TRUE(a[0].property == P::logText && a[0].phase == Ph::willChange && a[0].logText == logBefore);
  EXPECT_TRUE(a[1].property == P::logText && a[1].phase == Ph::didChange && a[1].logText == c.logText &&
              a[1].banner == c.before);
  if (bannerSet) {
    EXPECT_TRUE(a[2].property == P::extensionBanner && a[2].phase == Ph::willChange && a[2].banner == c.before);
    EXPECT_TRUE(a[3].property == P::extensionBanner && a[3].phase == Ph::didChange && a[3].banner == c.after);
  }
}

using F = FakeSystemExtensionActivator;
const auto kFailedBefore = SystemExtensionBannerState::failed("earlier failure");
const auto kApproval = SystemExtensionBannerState::needsUserApproval();
const auto kReboot = SystemExtensionBannerState::willCompleteAfterReboot();

INSTANTIATE_TEST_SUITE_P(
    Table, ManagerCallbacks,
    ::testing::Values(
        CallbackCase{"ReplacementKeepsApproval", kApproval, F::Replacement{"1.0", "2.0"},
                     "Replacing extension version 1.0 with 2.0", kApproval},
        CallbackCase{"ReplacementOfEqualVersionsStillReplaces", kFailedBefore, F::Replacement{"2.0", "2.0"},
                     "Replacing extension version 2.0 with 2.0", kFailedBefore},
        CallbackCase{"ReplacementWithoutBanner", std::nullopt, F::Replacement{"", "1.1"},
                     "Replacing extension version  with 1.1", std::nullopt},
        CallbackCase{"NeedsApproval", kFailedBefore, F::NeedsApproval{}, "Extension needs user approval", kApproval},
        CallbackCase{"CompletedClearsApproval", kApproval, F::Finish{0}, kDescription + " did finish with success",
                     std::nullopt},
        CallbackCase{"RebootReplacesFailure", kFailedBefore, F::Finish{1},
                     kDescription + " Extension did finish with result success but requires reboot", kReboot},
        CallbackCase{"OtherResultShowsItsNumber", kReboot, F::Finish{2},
                     kDescription + " Extension did finish with result 2",
                     SystemExtensionBannerState::failed(kDescription + " Extension did finish with result 2")},
        CallbackCase{"NegativeResult", std::nullopt, F::Finish{-7},
                     kDescription + " Extension did finish with result -7",
                     SystemExtensionBannerState::failed(kDescription + " Extension did finish with result -7")},
        CallbackCase{"AuthorizationRequiredIsApproval", kReboot, F::Fail{13},
                     "Extension failed with error: authorization required", kApproval},
        CallbackCase{"FailureReplacesApproval", kApproval, F::Fail{1}, "Extension failed with error: unknown error",
                     SystemExtensionBannerState::failed("Extension failed with error: unknown error")}),
    [](const auto& info) { return std::string(info.param.name); });

// Error codes and their texts; a failed banner always repeats the line.
TEST(SystemExtensionRequestManager, ErrorCodesMapToTheirTexts) {
  const std::vector<std::pair<long, std::string>> table = {
      {0, "unknown code"},
      {1, "unknown error"},
      {2, "missing entitlement"},
      {3, "Container App for Extension has to be installed to install Extension."},
      {4, "extension not found"},
      {5, "extension missing identifier"},
      {6, "duplicate extension identifer"},
      {7, "unknown extension category"},
      {8, "code signature invalid"},
      {9, "validation failed"},
      {10, "forbidden by system policy"},
      {11, "request canceled"},
      {12, "request superseded"},
      {14, "unknown code"},
      {99, "unknown code"},
      {-1, "unknown code"},
  };
  TempDir dir;
  makeExtensionBundle(dir.path);
  Harness h(dir.path);
  h.manager->activateExtension();
  for (const auto& [code, text] : table) {
    SCOPED_TRACE(code);
    ASSERT_TRUE(h.activator->replay({F::Fail{code}}));
    EXPECT_EQ(h.manager->logText(), "Extension failed with error: " + text);
    EXPECT_EQ(h.manager->extensionBanner(), SystemExtensionBannerState::failed("Extension failed with error: " + text));
  }
}

struct SearchCase {
  const char* name;
  std::function<void(const std::filesystem::path& extensions)> prepare;
  // Built from the folder searched; {dir} and {bundle} are filled in.
  std::string message;
};

void PrintTo(const SearchCase& c, std::ostream* os) {
  *os << c.name;
}

class ManagerSearch : public ::testing::TestWithParam<SearchCase> {};

std::string fill(std::string text, const std::filesystem::path& dir) {
  for (auto [key, value] : {std::pair<std::string, std::string>{"{dir}", dir.string()},
                            {"{bundle}", (dir / "Camera.systemextension").string()}}) {
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key)) text.replace(at, key.size(), value);
  }
  return text;
}

// Each search failure publishes its message as status line and failed
// banner, and submits nothing.
TEST_P(ManagerSearch, ReportsTheFailureAndSubmitsNothing) {
  const auto& c = GetParam();
  TempDir root;
  const auto extensions = root / "lib/VeltranoMac/SystemExtensions";
  c.prepare(extensions);
  Harness h(extensions);
  h.manager->activateExtension();
  const auto message = fill(c.message, extensions);
  EXPECT_EQ(h.logLines(), (std::vector<std::string>{"Looking for extension bundle...", message}));
  EXPECT_EQ(h.manager->extensionBanner(), SystemExtensionBannerState::failed(message));
  EXPECT_TRUE(h.activator->submitted.empty());
}

void bundleWithInfo(const std::filesystem::path& extensions, const std::string& info) {
  writeFile(extensions / "Camera.systemextension/Info.json", info);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ManagerSearch,
    ::testing::Values(
        SearchCase{"MissingFolder", [](const auto&) {},
                   "Error: can't read SystemExtensions dir at {dir}: No such file or directory"},
        SearchCase{"FolderIsAFile", [](const auto& d) { writeFile(d, "x"); },
                   "Error: can't read SystemExtensions dir at {dir}: Not a directory"},
        SearchCase{"EmptyFolder", [](const auto& d) { std::filesystem::create_directories(d); },
                   "Error: no extensions found in {dir}"},
        SearchCase{"OnlyATextFile", [](const auto& d) { writeFile(d / "notes.txt", "hello"); },
                   "Error: no extensions found in {dir}"},
        SearchCase{"HiddenBundleIsSkipped", [](const auto& d) { makeExtensionBundle(d, ".Camera.systemextension"); },
                   "Error: no extensions found in {dir}"},
        SearchCase{"ExtensionMatchesExactly",
                   [](const auto& d) {
                     makeExtensionBundle(d, "Camera.SystemExtension");
                     makeExtensionBundle(d, "Camera.systemextension.bak");
                   },
                   "Error: no extensions found in {dir}"},
        SearchCase{"NoInfoJson",
                   [](const auto& d) { std::filesystem::create_directories(d / "Camera.systemextension"); },
                   "Error: failed to load bundle at {bundle}"},
        SearchCase{"BundleIsAPlainFile", [](const auto& d) { writeFile(d / "Camera.systemextension", "{}"); },
                   "Error: failed to load bundle at {bundle}"},
        SearchCase{"InfoJsonNotJson", [](const auto& d) { bundleWithInfo(d, "CFBundleIdentifier = x"); },
                   "Error: failed to load bundle at {bundle}"},
        SearchCase{"InfoJsonTruncated", [](const auto& d) { bundleWithInfo(d, "{\"CFBundleIdentifier\": \"a\""); },
                   "Error: failed to load bundle at {bundle}"},
        SearchCase{"InfoJsonArray", [](const auto& d) { bundleWithInfo(d, "[{\"CFBundleIdentifier\": \"a\"}]"); },
                   "Error: failed to load bundle at {bundle}"},
        SearchCase{"NoIdentifier", [](const auto& d) { bundleWithInfo(d, "{\"CFBundleShortVersionString\": \"1\"}"); },
                   "Error: extension bundle has no CFBundleIdentifier at {bundle}"},
        SearchCase{"EmptyIdentifier", [](const auto& d) { bundleWithInfo(d, "{\"CFBundleIdentifier\": \"\"}"); },
                   "Error: extension bundle has no CFBundleIdentifier at {bundle}"},
        SearchCase{"NumericIdentifier", [](const auto& d) { bundleWithInfo(d, "{\"CFBundleIdentifier\": 7}"); },
                   "Error: extension bundle has no CFBundleIdentifier at {bundle}"}),
    [](const auto& info) { return std::string(info.param.name); });

// Of two bundles only the first in listing order counts, valid or not.
TEST(SystemExtensionRequestManager, OnlyTheFirstListedBundleCounts) {
  for (const bool firstValid : {false, true}) {
    SCOPED_TRACE(firstValid);
    TempDir dir;
    makeExtensionBundle(dir.path, "A.systemextension", "1.0", "com.example.a");
    makeExtensionBundle(dir.path, "B.systemextension", "1.0", "com.example.b");
    const auto order = testing::listingOrder(dir.path);
    ASSERT_EQ(order.size(), 2u);
    const auto invalid = dir.path / order[firstValid ? 1 : 0];
    writeFile(invalid / "Info.json", "{}");

    Harness h(dir.path);
    h.manager->activateExtension();
    if (firstValid) {
      ASSERT_EQ(h.activator->submitted.size(), 1u);
      EXPECT_EQ(h.activator->submitted[0].extensionBundle, dir.path / order[0]);
      EXPECT_FALSE(h.manager->extensionBanner());
    } else {
      EXPECT_TRUE(h.activator->submitted.empty());
      EXPECT_EQ(h.manager->logText(), "Error: extension bundle has no CFBundleIdentifier at " + invalid.string());
    }
  }
}

// An observer that removes itself or adds another while being told does
// not disturb the others.
TEST(SystemExtensionRequestManager, ObserversMayChangeTheListWhileNotified) {
  TempDir dir;
  auto manager = Manager::create("x", dir.path, std::make_shared<FakeSystemExtensionActivator>());
  int first = 0, second = 0, added = 0;
  std::size_t firstToken = 0;
  firstToken = manager->addObserver([&](auto, auto) {
    ++first;
    manager->removeObserver(firstToken);
    manager->addObserver([&](auto, auto) { ++added; });
  });
  manager->addObserver([&](auto, auto) { ++second; });
  manager->setExtensionBanner(SystemExtensionBannerState::needsUserApproval());
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  EXPECT_EQ(added, 1);
}

}  // namespace
}  // namespace veltrano
