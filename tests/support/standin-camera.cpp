// A stand-in physical camera for tests on a private PipeWire graph:
//   standin-camera [NODE_NAME [WIDTHxHEIGHT@FPS]]   (default StandInCamera 320x240@30)
// publishes a Video/Source node until SIGTERM or SIGINT.
#include "PipeWireStandInCamera.hpp"

#include <signal.h>

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  const std::string name = argc > 1 ? argv[1] : "StandInCamera";
  int width = 320, height = 240, fps = 30;
  if (argc > 2 && std::sscanf(argv[2], "%dx%d@%d", &width, &height, &fps) != 3) {
    std::fprintf(stderr, "usage: standin-camera [NODE_NAME [WIDTHxHEIGHT@FPS]]\n");
    return 2;
  }
  try {
    veltrano::testing::PipeWireStandInCamera camera(name, width, height, fps);
    int signal = 0;
    sigwait(&stop, &signal);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "standin-camera: %s\n", error.what());
    return 1;
  }
  return 0;
}
