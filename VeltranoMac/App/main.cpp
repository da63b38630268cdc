// Entry of the container app: the application in its own installed tree.

#include "App/ApplicationMain.hpp"

int main(int argc, char** argv) {
  return veltrano::runApplicationMain(argc, argv, veltrano::Bundle::ofRunningProgram());
}
