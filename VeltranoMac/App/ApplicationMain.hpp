// The container app's composition root: every part of the app is built in
// ApplicationMain.cpp, once, and handed down by constructor.
#pragma once

#include "Capture/CameraSourceFactory.hpp"
#include "Runtime/Bundle.hpp"

#include <filesystem>
#include <memory>

namespace veltrano {

// What a program hands the app besides its command line. The shipping app
// passes ofThisUser(); a test host passes its own folders and camera and so
// runs the very same app.
struct ApplicationPlaces {
  Bundle bundle;                                 // the installed tree: web app, Info.json, camera extension
  std::filesystem::path dataFolder;              // holds "pending-uploads.json" and "recordings"
  std::shared_ptr<CameraSourceFactory> cameras;  // what the recorder records

  // The running program's bundle, the user's data folder (the temporary
  // folder, logged, when there is none) and the machine's camera.
  static ApplicationPlaces ofThisUser();
};

// The whole app: the window with the bundled web app served through the
// "app" scheme, the recording coordinator behind the bridge, the camera
// extension's activation with its banner, and the application delegate's
// launch and quit sequences. Once per process. Returns the exit status.
int runApplicationMain(int argc, char** argv, ApplicationPlaces places);

}  // namespace veltrano
