// Writes the page-side bridge script exactly as the app injects it, for the
// node tests of its behaviour.
#include "Bridge/PageBridgeScript.hpp"

#include <cstdio>
#include <fstream>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output.js>\n", argv[0]);
    return 2;
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << veltrano::pageBridgeScript();
  return out.good() ? 0 : 1;
}
