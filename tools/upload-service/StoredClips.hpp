#pragma once

// The clips stored for one answer, as the sessions API lists them:
// {"clips": [{"objectPath", "bytes", "storedAt"}]}, oldest object path first.

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace veltrano::uploadservice {

struct StoredClip {
  std::string objectPath;
  std::uint64_t bytes = 0;
  std::string storedAt;  // "2026-12-06T10:00:03Z", UTC, whole seconds

  bool operator==(const StoredClip&) const = default;
};

// "<stamp>.mp4", the last segment of a clip's object path.
bool isClipName(std::string_view name);

// "YYYY-MM-DDThh:mm:ssZ".
std::string utcTimestamp(std::chrono::system_clock::time_point time);

// The committed objects under `prefix` ("user/session/answer/") in the
// embedded store below `storage`: regular files only, never the temporary
// files of uploads still under way, nor what is not named like a clip. Empty when the folder does not exist.
std::vector<StoredClip> listStoredFiles(const std::filesystem::path& storage, const std::string& prefix);

nlohmann::json clipsJson(std::vector<StoredClip> clips);

}  // namespace veltrano::uploadservice
