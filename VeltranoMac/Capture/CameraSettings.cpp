#include "Capture/CameraSettings.hpp"

#include "Runtime/Logger.hpp"
#include "Support/AtomicFile.hpp"
#include "Support/PosixFile.hpp"

#include <nlohmann/json.hpp>

#include <cstring>
#include <system_error>

namespace veltrano {

namespace {

constexpr const char* kCameraKey = "camera";

const Logger& log() {
  static const Logger logger("CameraChoice");
  return logger;
}

// The settings object in `file`, or why there is none: a missing file is an
// empty object without a complaint.
struct ReadSettings {
  nlohmann::json object = nlohmann::json::object();
  std::string damage;  // empty when the file is missing or sound
};

ReadSettings readSettings(const std::filesystem::path& file) {
  ReadSettings read;
  const FileContents contents = readWholeFile(file);
  if (!contents.exists) return read;
  if (contents.error != 0) {
    read.damage = std::string("could not be read: ") + std::strerror(contents.error);
    return read;
  }
  nlohmann::json parsed = nlohmann::json::parse(contents.bytes, nullptr, false);
  if (parsed.is_discarded()) {
    read.damage = "is not JSON";
  } else if (!parsed.is_object()) {
    read.damage = "is not a JSON object";
  } else {
    read.object = std::move(parsed);
  }
  return read;
}

}  // namespace

std::optional<std::string> readCameraSetting(const std::filesystem::path& file) {
  const ReadSettings read = readSettings(file);
  if (!read.damage.empty()) {
    log().error("Settings file " + file.native() + " " + read.damage + "; using the default camera");
    return std::nullopt;
  }
  const auto found = read.object.find(kCameraKey);
  if (found == read.object.end() || found->is_null()) return std::nullopt;
  if (!found->is_string() || found->get_ref<const std::string&>().empty()) {
    log().error("Settings file " + file.native() +
                " has a \"camera\" that is not a camera id; using the default camera");
    return std::nullopt;
  }
  return found->get<std::string>();
}

void writeCameraSetting(const std::filesystem::path& file, const std::optional<std::string>& id) {
  // A damaged file starts over: what it held cannot be carried over anyway.
  nlohmann::json settings = readSettings(file).object;
  if (id)
    settings[kCameraKey] = *id;
  else
    settings.erase(kCameraKey);
  const std::filesystem::path directory = file.has_parent_path() ? file.parent_path() : ".";
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
  // Ids come from device properties; a stray byte must not lose the choice.
  writeFileAtomically(directory, file.filename().native(),
                      settings.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

void removeStaleCameraSettingFiles(const std::filesystem::path& file) {
  const std::filesystem::path directory = file.has_parent_path() ? file.parent_path() : ".";
  removeStaleTemporaryFiles(directory, file.filename().native());
}

}  // namespace veltrano
