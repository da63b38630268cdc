#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace veltrano {

// The systemd user unit that runs the camera program.
inline constexpr std::string_view kCameraServiceUnitName = "com.brackwood.VeltranoMac.Camera.service";
inline constexpr std::string_view kCameraProgramName = "com_brackwood_VeltranoMac_Camera";

// The unit file's full text for `program` at `version`.
std::string renderCameraServiceUnit(const std::filesystem::path& program, const std::string& version);

// The version recorded in a unit file ("X-Veltrano-Version=" line), or
// nothing when the text holds no such line.
std::optional<std::string> cameraServiceUnitVersion(std::string_view unitText);

// A path as one word of a systemd command line: double-quoted, with
// backslash, quote, control and non-ASCII bytes C-escaped and the
// specifier sign doubled. (The program path is never searched for
// variables, so "$" stays as it is.)
std::string quoteSystemdExecPath(std::string_view path);

}  // namespace veltrano
