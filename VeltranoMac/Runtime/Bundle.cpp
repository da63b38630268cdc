#include "Runtime/Bundle.hpp"

namespace veltrano {

Bundle Bundle::ofRunningProgram() {
  const auto executable = std::filesystem::read_symlink("/proc/self/exe");
  return Bundle{executable.parent_path().parent_path()};
}

}  // namespace veltrano
