#include "StoredClips.hpp"

#include "Confinement.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <ctime>
#include <system_error>

namespace veltrano::uploadservice {

bool isClipName(std::string_view name) {
  return name.size() == 24 && isAnswerStamp(name.substr(0, 20)) && name.substr(20) == ".mp4";
}

std::string utcTimestamp(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  std::array<char, 32> text{};
  std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text.data();
}

std::vector<StoredClip> listStoredFiles(const std::filesystem::path& storage, const std::string& prefix) {
  std::vector<StoredClip> clips;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(storage / prefix, error)) {
    const std::string name = entry.path().filename().string();
    // Only clip names: an upload under way is "<name>.part.<random>".
    if (!isClipName(name) || !entry.is_regular_file(error)) continue;
    const auto size = entry.file_size(error);
    const auto modified = entry.last_write_time(error);
    if (error) continue;  // gone since it was listed
    clips.push_back({prefix + name, size, utcTimestamp(std::chrono::file_clock::to_sys(modified))});
  }
  return clips;
}

nlohmann::json clipsJson(std::vector<StoredClip> clips) {
  std::sort(clips.begin(), clips.end(), [](const auto& a, const auto& b) { return a.objectPath < b.objectPath; });
  nlohmann::json list = nlohmann::json::array();
  for (const auto& clip : clips)
    list.push_back({{"objectPath", clip.objectPath}, {"bytes", clip.bytes}, {"storedAt", clip.storedAt}});
  return {{"clips", std::move(list)}};
}

}  // namespace veltrano::uploadservice
