#include "App/ApplicationMain.hpp"

#include "App/ContentView.hpp"
#include "App/VeltranoApp.hpp"
#include "ExtensionInstall/PipeWireCameraNodeUsage.hpp"
#include "ExtensionInstall/SystemExtensionFailureBanner.hpp"
#include "ExtensionInstall/SystemExtensionRequestManager.hpp"
#include "ExtensionInstall/SystemdUserUnitActivator.hpp"
#include "Recording/AnswerRecordingCoordinator.hpp"
#include "Runtime/Logger.hpp"
#include "Web/WebAppSchemeHandler.hpp"
#include "Web/WebAppSchemeWebKit.hpp"
#include "Web/WebHostState.hpp"
#include "Web/WebViewHost.hpp"

#include <gtk/gtk.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <utility>

namespace {

using namespace veltrano;
namespace fs = std::filesystem;

// The window and what it shows, for the life of the process.
struct Shell {
  explicit Shell(Bundle bundleOfApp) : bundle(std::move(bundleOfApp)) {}

  Bundle bundle;
  std::shared_ptr<SystemExtensionRequestManager> manager = SystemExtensionRequestManager::create(
      "Starting container app", bundle.systemExtensionsDirectory(),
      SystemdUserUnitActivator::create(
          SystemdUserUnitActivator::defaultUnitDirectory(), PipeWireCameraNodeUsage::create()));
  std::unique_ptr<ContentView> contentView;

  GtkWindow* makeWindow(GtkApplication* application) {
    const std::optional<fs::path> webAppRoot = webAppRootFolder(bundle.resourceDirectory());
    auto makeWebView = [](const fs::path& root) {
      WebViewHost::Configuration configuration;
      auto handler = std::make_shared<const WebAppSchemeHandler>(root);
      configuration.registerAppScheme = [handler](WebKitWebContext* context) {
        registerWebAppScheme(context, handler);
      };
      configuration.coordinator = AnswerRecordingCoordinator::shared();
      return WebViewHost::create(std::move(configuration));
    };
    contentView = std::make_unique<ContentView>(application, webAppRoot, makeWebView);
    manager->addObserver(
        [this](SystemExtensionRequestManager::Property property, SystemExtensionRequestManager::Phase phase) {
          if (property == SystemExtensionRequestManager::Property::extensionBanner &&
              phase == SystemExtensionRequestManager::Phase::didChange)
            showBanner();
        });
    showBanner();
    // The first update loads the entry page; the delegate presents the
    // window itself, so without this the web view stays blank.
    contentView->update();
    return contentView->window();
  }

  // The banner sits on top while the manager holds a state; dismissing it
  // clears the state, and a later state shows it again.
  void showBanner() {
    if (!contentView) return;
    const auto& state = manager->extensionBanner();
    if (!state) {
      contentView->setBanner(nullptr);
      return;
    }
    std::weak_ptr<SystemExtensionRequestManager> weak = manager;
    contentView->setBanner(SystemExtensionFailureBanner::create(
        *state,
        [weak] {
          if (auto manager = weak.lock()) manager->setExtensionBanner(std::nullopt);
        },
        [weak] {
          if (auto manager = weak.lock()) manager->approveExtension();
        }));
  }
};

}  // namespace

namespace veltrano {

int runApplicationMain(int argc, char** argv, const Bundle& bundle) {
  Shell shell(bundle);

  AppDelegate::Seams seams;
  seams.lifecycle = makeDefaultLifecycleSeams();
  seams.lifecycle.page.flushAnswerSave = [] { return WebHostState::shared().flushAnswerSave(); };
  seams.lifecycle.page.dispatchFocusEvent = [](bool focused) { WebHostState::shared().dispatchFocusEvent(focused); };
  seams.lifecycle.page.deliverDeepLink = [&shell](const std::string& url) {
    if (shell.contentView) shell.contentView->receiveDeepLink(url);
  };
  seams.lifecycle.coordinator = []() -> AnswerRecordingCoordinatorProtocol& {
    static const auto coordinator = AnswerRecordingCoordinator::shared();
    return *coordinator;
  };
  seams.lifecycle.activateExtension = [&shell] { shell.manager->activateExtension(); };
  seams.makeWindow = [&shell](GtkApplication* application) { return shell.makeWindow(application); };

  VeltranoApp app(std::move(seams));
  // From here on a signal quits through the sequence.
  Logger("App").info("VeltranoMac starting from bundle " + shell.bundle.root.string());
  const int status = app.run(argc, argv);
  shell.contentView.reset();
  return status;
}

}  // namespace veltrano
