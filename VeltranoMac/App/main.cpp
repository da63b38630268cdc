// Entry of the container app: the application in its own installed tree,
// with the user's data folder and the machine's camera.

#include "App/ApplicationMain.hpp"

int main(int argc, char** argv) {
  return veltrano::runApplicationMain(argc, argv, veltrano::ApplicationPlaces::ofThisUser());
}
