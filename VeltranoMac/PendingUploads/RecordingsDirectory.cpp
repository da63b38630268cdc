#include "PendingUploads/RecordingsDirectory.hpp"

#include "Runtime/Logger.hpp"

#include <system_error>

namespace veltrano {

namespace {

bool usable(const char* userDataDirectory) {
  return userDataDirectory != nullptr && std::filesystem::path(userDataDirectory).is_absolute();
}

}  // namespace

std::filesystem::path applicationSupportBase(const char* userDataDirectory, const char* temporaryDirectory,
                                             std::string_view fallbackMessage) {
  if (usable(userDataDirectory)) return userDataDirectory;
  Logger("PendingUploads").error(fallbackMessage);
  return temporaryDirectory != nullptr && *temporaryDirectory != '\0' ? temporaryDirectory : "/tmp";
}

std::filesystem::path applicationDataFolder(const char* userDataDirectory, const char* temporaryDirectory) {
  const auto base =
      applicationSupportBase(userDataDirectory, temporaryDirectory,
                             "applicationSupportDirectory unavailable; falling back to temporary directory");
  if (!usable(userDataDirectory))
    Logger("PendingUploads")
        .error("applicationSupportDirectory unavailable; falling back to temporary directory for recordings");
  return base / kApplicationDataFolderName;
}

std::filesystem::path recordingsDirectoryURL(const std::filesystem::path& dataFolder) {
  std::filesystem::path directory = dataFolder / "recordings";
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
  return directory;
}

}  // namespace veltrano
