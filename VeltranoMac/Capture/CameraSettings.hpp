// The camera choice as settings.json keeps it: a JSON object whose "camera"
// is the selected camera's id (absent or null: the system default). Other
// keys belong to other settings and are carried over untouched.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace veltrano {

// The id kept in `file`. A missing file is no choice; a damaged one (not
// JSON, not an object, "camera" neither a non-empty string nor null) is no
// choice either, logged as a warning, and is replaced by the next write.
std::optional<std::string> readCameraSetting(const std::filesystem::path& file);

// Keeps `id` (nullopt: the default) in `file`, creating its folder, and
// replaces the file atomically (writeFileAtomically). Throws
// std::system_error when it cannot be written.
void writeCameraSetting(const std::filesystem::path& file, const std::optional<std::string>& id);

// Temporary files that a write cut short by a crash left beside `file`.
void removeStaleCameraSettingFiles(const std::filesystem::path& file);

}  // namespace veltrano
