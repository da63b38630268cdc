// Writes the page-side bridge script exactly as the app injects it, for the
// node tests of its behaviour.
#include "Bridge/PageBridgeScript.hpp"

#include <fstream>

int main(int argc, char** argv) {
  std::ofstream out(argc == 2 ? argv[1] : "", std::ios::binary);
  return (out << veltrano::pageBridgeScript()) ? 0 : 1;
}
