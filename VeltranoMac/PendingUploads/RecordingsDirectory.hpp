// Where the app keeps its data: the data folder that holds
// "pending-uploads.json" and the "recordings" folder of clip files.
#pragma once

#include <filesystem>
#include <string_view>

namespace veltrano {

// The folder under the user's data folder that holds "pending-uploads.json"
// and the "recordings" folder.
inline constexpr std::string_view kApplicationDataFolderName = "com.brackwood.VeltranoMac";

// The base of the app's data: `userDataDirectory` (what g_get_user_data_dir
// gave), or `temporaryDirectory` when that is missing, empty or relative, in
// which case `fallbackMessage` is logged at error level.
std::filesystem::path applicationSupportBase(const char* userDataDirectory, const char* temporaryDirectory,
                                             std::string_view fallbackMessage);

// <base>/com.brackwood.VeltranoMac over applicationSupportBase. A fallback
// is logged twice, once for the store and once for the recordings, as each
// used to find its own place.
std::filesystem::path applicationDataFolder(const char* userDataDirectory, const char* temporaryDirectory);

// <dataFolder>/recordings, created with its parents if needed; a failure to
// create it is left for later file operations to meet. Safe from any thread.
std::filesystem::path recordingsDirectoryURL(const std::filesystem::path& dataFolder);

}  // namespace veltrano
