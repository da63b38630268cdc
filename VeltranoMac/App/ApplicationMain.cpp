#include "App/ApplicationMain.hpp"

#include "App/AppCameraControls.hpp"
#include "App/AppDelegate.hpp"
#include "App/ContentView.hpp"
#include "App/VeltranoApp.hpp"
#include "ExtensionInstall/Linux/PipeWireCameraNodeUsage.hpp"
#include "ExtensionInstall/Linux/SystemExtensionFailureBanner.hpp"
#include "ExtensionInstall/Linux/SystemdUserUnitActivator.hpp"
#include "ExtensionInstall/SystemExtensionRequestManager.hpp"
#include "PendingUploads/PendingUploadsStore.hpp"
#include "PendingUploads/RecordingsDirectory.hpp"
#include "Recording/CoordinatorAssembly.hpp"
#include "Recording/UploadStatusBoard.hpp"
#include "Runtime/Linux/MainExecutor.hpp"
#include "Runtime/Logger.hpp"
#include "Runtime/WorkerThread.hpp"
#include "Upload/AnswerVideoUploadClient.hpp"
#include "Upload/CurlMultiDriver.hpp"
#include "Web/Linux/WebAppSchemeWebKit.hpp"
#include "Web/Linux/WebViewHost.hpp"
#include "Web/WebAppSchemeHandler.hpp"
#include "Web/WebHostState.hpp"

#include <glib.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veltrano {

namespace {

namespace fs = std::filesystem;

// The recording side, built in this order. Only the primary instance builds
// it, when it first needs it (the window, the launch clean-up): a second
// launch hands its URLs over and exits, and must not touch the data folder
// the first one is writing.
struct Recording {
  Recording(const ApplicationPlaces& places, asio::any_io_executor main, std::shared_ptr<WebHostState> page)
      : recordings(recordingsDirectoryURL(places.dataFolder)),
        uploads(std::make_shared<AnswerVideoUploadClient>(places.bundle.infoJson(), curl)),
        store(std::make_shared<PendingUploadsStore>(worker.makeStrand(), places.dataFolder, recordings)),
        // Both states reach the page on the main actor, in the order they
        // changed.
        uploadStatus(std::make_shared<UploadStatusBoard>([main, page](nlohmann::json snapshot) {
          asio::post(main, [page, snapshot = std::move(snapshot)]() mutable {
            page->dispatchUploadState(std::move(snapshot));
          });
        })),
        // The preview watches the recorder's own camera; its timers run on
        // the worker.
        preview(
            CameraPreview::create(places.cameras, {worker.context().get_executor(), makeTimerSleep(worker.context())})),
        cameraChoice(std::dynamic_pointer_cast<CameraChoice>(places.cameras)),
        cameraControls(std::make_shared<AppCameraControls>(preview, cameraChoice, places.cameras->feed(), main)),
        coordinator(assembleAnswerRecordingCoordinator(
            {worker, main, places.cameras, uploads, store, recordings,
             [main, page, cameras = cameraControls](const RecordingState& state) {
               asio::post(main, [page, detail = cameras->describeRecording(recordingStateJson(state))]() mutable {
                 page->dispatchRecordingState(std::move(detail));
               });
             },
             uploadStatus})) {
    if (cameraChoice) {
      // Called on the device monitor's thread.
      cameraChoice->setCamerasChanged([main, page, controls = cameraControls](std::vector<CameraDescription> cameras) {
        asio::post(main, [page, controls, cameras = std::move(cameras)] {
          controls->camerasChanged(cameras);
          page->dispatchCamerasChanged(camerasJson(cameras));
        });
      });
    }
    // Clips left by earlier runs show from the start.
    store->observeRecords(
        [board = uploadStatus](const std::vector<PendingUploadRecord>& records) { board->storeChanged(records); });
    // The instances the rest of the process may name.
    PendingUploadsStore::install(store);
    AnswerRecordingCoordinator::install(coordinator);
  }

  // The thread every actor but the main one runs on, and the thread that
  // runs every HTTP transfer.
  WorkerThread worker;
  CurlMultiDriver curl;
  // Clips are written here; the store keeps the pending table beside them;
  // uploads read the bundle's Info.json anew on every call.
  const fs::path recordings;
  const std::shared_ptr<AnswerVideoUploadClient> uploads;
  const std::shared_ptr<PendingUploadsStore> store;
  // Every clip's way to storage, for the page.
  const std::shared_ptr<UploadStatusBoard> uploadStatus;
  // The live preview from the recorder's camera feed, the choice of camera
  // (absent for a camera that offers none) and the bridge's methods on both.
  const std::shared_ptr<CameraPreview> preview;
  const std::shared_ptr<CameraChoice> cameraChoice;
  const std::shared_ptr<AppCameraControls> cameraControls;
  // The recording coordinator over the camera, the uploads and the store.
  const std::shared_ptr<AnswerRecordingCoordinator> coordinator;
};

// Every part of the app. Kept until the process ends: tasks on the worker
// and transfers on the curl driver's thread may still hold parts while exit
// runs, so nothing here is ever destroyed.
struct App {
  explicit App(ApplicationPlaces placesOfApp) : places(std::move(placesOfApp)) { WebHostState::install(webHost); }

  const ApplicationPlaces places;
  const asio::any_io_executor main = MainContext::shared().get_executor();  // the context GTK iterates
  std::unique_ptr<Recording> recordingParts;

  Recording& recording() {
    if (!recordingParts) recordingParts = std::make_unique<Recording>(places, main, webHost);
    return *recordingParts;
  }

  // What the shell asks of the page, and the camera extension's activation.
  const std::shared_ptr<WebHostState> webHost = std::make_shared<WebHostState>();
  const std::shared_ptr<SystemExtensionRequestManager> extension = SystemExtensionRequestManager::create(
      "Starting container app", places.bundle.systemExtensionsDirectory(),
      SystemdUserUnitActivator::create(
          SystemdUserUnitActivator::defaultUnitDirectory(), PipeWireCameraNodeUsage::create()));

  // The window, made on the first activation.
  std::unique_ptr<ContentView> contentView;

  // The camera extension's activation waits for the page's first load: its
  // unit file, bus calls and any banner would otherwise share the main
  // thread with WebKit's start and delay the page by a fifth. Without a page
  // it starts at once; a page that never finishes loading holds it 5 s.
  bool pageLoading = false;
  bool extensionActivated = false;

  void activateExtensionSoon() {
    if (!pageLoading) {
      activateExtensionOnce("at launch");
      return;
    }
    g_timeout_add_seconds(
        5,
        [](gpointer app) {
          static_cast<App*>(app)->activateExtensionOnce("5 s after launch, page still loading");
          return G_SOURCE_REMOVE;
        },
        this);
  }

  void activateExtensionOnce(const char* when) {
    if (std::exchange(extensionActivated, true)) return;
    Logger("App").info(std::string("Activating the camera extension ") + when);
    extension->activateExtension();
  }

  AppDelegate::Seams delegateSeams() {
    AppDelegate::Seams seams;
    AppLifecycle::Seams& lifecycle = seams.lifecycle;
    lifecycle.page.flushAnswerSave = [this] { return webHost->flushAnswerSave(); };
    lifecycle.page.dispatchFocusEvent = [this](bool focused) { webHost->dispatchFocusEvent(focused); };
    lifecycle.page.deliverDeepLink = [this](const std::string& url) {
      if (contentView) contentView->receiveDeepLink(url);
    };
    lifecycle.coordinator = [this]() -> AnswerRecordingCoordinatorProtocol& { return *recording().coordinator; };
    lifecycle.activateExtension = [this] { activateExtensionSoon(); };
    lifecycle.removeOrphanedRecordings = [this] { return recording().store->removeOrphanedRecordings(); };
    lifecycle.sleep = [this](Duration duration) { return makeTimerSleep(recording().worker.context())(duration); };
    seams.makeWindow = [this](GtkApplication* application) { return makeWindow(application); };
    return seams;
  }

  GtkWindow* makeWindow(GtkApplication* application) {
    const std::optional<fs::path> webAppRoot = webAppRootFolder(places.bundle.resourceDirectory());
    auto makeWebView = [this](const fs::path& root) {
      WebViewHost::Configuration configuration;
      auto handler = std::make_shared<const WebAppSchemeHandler>(root);
      configuration.registerAppScheme = [handler, cameras = recording().cameraControls](WebKitWebContext* context) {
        registerWebAppScheme(context, handler, [cameras](std::uint64_t after, auto done) {
          cameras->previewFrame(after, std::move(done));
        });
      };
      configuration.cameras = recording().cameraControls;
      configuration.coordinator = recording().coordinator;
      configuration.uploadStatus = [board = recording().uploadStatus] { return board->snapshot(); };
      configuration.state = webHost.get();
      configuration.main = MainContext::shared().get_executor();
      configuration.firstLoadFinished = [this] { activateExtensionOnce("after the page's first load"); };
      pageLoading = true;
      return WebViewHost::create(std::move(configuration));
    };
    contentView = std::make_unique<ContentView>(application, webAppRoot, makeWebView);
    extension->addObserver(
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
    const auto& state = extension->extensionBanner();
    if (!state) {
      contentView->setBanner(nullptr);
      return;
    }
    std::weak_ptr<SystemExtensionRequestManager> weak = extension;
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

App* theApp = nullptr;  // reachable to the end, see App

}  // namespace

ApplicationPlaces ApplicationPlaces::ofThisUser() {
  fs::path data = applicationDataFolder(g_get_user_data_dir(), g_get_tmp_dir());
  // The choice of camera is kept beside the pending uploads.
  auto cameras = std::make_shared<SystemCameraSourceFactory>(data / "settings.json");
  return {Bundle::ofRunningProgram(), std::move(data), std::move(cameras)};
}

int runApplicationMain(int argc, char** argv, ApplicationPlaces places) {
  theApp = new App(std::move(places));
  App& app = *theApp;

  VeltranoApp application(app.delegateSeams());
  // From here on a signal quits through the sequence.
  Logger("App").info("VeltranoMac starting from bundle " + app.places.bundle.root.string());
  const int status = application.run(argc, argv);
  app.contentView.reset();
  return status;
}

}  // namespace veltrano
