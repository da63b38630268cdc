// The camera program: publishes the virtual camera "VeltranoCam" as a
// PipeWire node and passes the default physical camera through, until
// SIGTERM or SIGINT.
#include "CameraProviderSource.hpp"
#include "CameraWorkQueue.hpp"
#include "Identity.hpp"
#include "Linux/GStreamerCamera.hpp"
#include "Linux/JournalLogger.hpp"
#include "Linux/PipeWireBackend.hpp"

#include <pthread.h>
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <exception>
#include <string>

int main() {
  using namespace veltranocam;
  // Signals are taken by sigwait below; block them before any thread starts
  // so that no library thread receives them instead.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  JournalLogger logger;
  try {
    CameraWorkQueue captureQueue(kCaptureQueueLabel);
    GStreamerCameraSystem cameras;
    PipeWireBackend backend(logger);
    {
      CameraProviderSource providerSource(backend, cameras, captureQueue, logger);
      // The service counts as started only once the camera is published
      // (Type=notify): a program that cannot reach PipeWire never says so.
      backend.whenFirstPublished([] { sd_notify(0, "READY=1"); });
      backend.start();
      int signal = 0;
      sigwait(&stopSignals, &signal);
      // The node goes first: a running stream gets its stop, which queues the
      // camera's release; then the queue finishes that before anything dies.
      backend.stop();
      captureQueue.drain();
    }
    captureQueue.drain();
  } catch (const std::exception& error) {
    logger.error(std::string("Camera program failed: ") + error.what());
    return 1;
  }
  return 0;
}
