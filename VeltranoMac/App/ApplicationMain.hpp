#pragma once

#include "Runtime/Bundle.hpp"

namespace veltrano {

// The container app's whole entry: the window with the bundled web app
// served through the "app" scheme, the process-wide recording coordinator
// behind the bridge, the camera extension's activation with its banner, and
// the application delegate's launch and quit sequences. `bundle` is the
// installed tree whose resources are shown (the running program's own in
// the shipping app). Returns the exit status.
//
// The process-wide parts (store, upload client, coordinator) take their
// places from configureProcess when the caller set it before, so a test host
// runs this same code with its own folders and camera.
int runApplicationMain(int argc, char** argv, const Bundle& bundle);

}  // namespace veltrano
