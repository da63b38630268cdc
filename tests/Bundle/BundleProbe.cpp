// Copied into an installed tree's bin/ by the bundle test: reports what the
// program's own lookups find from where it lies.

#include "Runtime/Bundle.hpp"
#include "Web/WebAppSchemeHandler.hpp"

#include <cstdio>

int main() {
  const auto bundle = veltrano::Bundle::ofRunningProgram();
  const auto webApp = veltrano::webAppRootFolder(bundle.resourceDirectory());
  std::printf("root=%s\n", bundle.root.c_str());
  std::printf("info=%s\n", bundle.infoJson().c_str());
  std::printf("webapp=%s\n", webApp ? webApp->c_str() : "absent");
  std::printf("extensions=%s\n", bundle.systemExtensionsDirectory().c_str());
  return 0;
}
