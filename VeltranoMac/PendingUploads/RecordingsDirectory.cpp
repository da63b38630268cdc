#include "PendingUploads/RecordingsDirectory.hpp"

#include "Runtime/Logger.hpp"
#include "Runtime/ProcessConfiguration.hpp"

#include <glib.h>

#include <system_error>

namespace veltrano {

std::filesystem::path applicationSupportBase(const char* userDataDirectory, const char* temporaryDirectory,
                                             std::string_view fallbackMessage) {
  if (userDataDirectory != nullptr && std::filesystem::path(userDataDirectory).is_absolute()) return userDataDirectory;
  Logger("PendingUploads").error(fallbackMessage);
  return temporaryDirectory != nullptr && *temporaryDirectory != '\0' ? temporaryDirectory : "/tmp";
}

std::filesystem::path recordingsDirectoryIn(const std::filesystem::path& base) {
  std::filesystem::path directory = base / kApplicationDataFolderName / "recordings";
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
  return directory;
}

std::filesystem::path recordingsDirectoryURL() {
  if (const auto& folder = processConfiguration().dataFolder) {
    std::error_code ignored;
    std::filesystem::create_directories(*folder / "recordings", ignored);
    return *folder / "recordings";
  }
  return recordingsDirectoryIn(applicationSupportBase(
      g_get_user_data_dir(), g_get_tmp_dir(),
      "applicationSupportDirectory unavailable; falling back to temporary directory for recordings"));
}

}  // namespace veltrano
