// The camera program's systemd user unit: its text, and what a unit file or
// a running service says about the version it runs.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace veltrano {

// The systemd user unit that runs the camera program.
inline constexpr std::string_view kCameraServiceUnitName = "com.brackwood.VeltranoMac.Camera.service";
inline constexpr std::string_view kCameraProgramName = "com_brackwood_VeltranoMac_Camera";

// The environment variable the unit gives the camera program: the version
// a running service was started as, whatever its unit file says later.
inline constexpr std::string_view kCameraVersionVariable = "VELTRANO_VERSION";

// The unit file's full text for `program` at `version`. The program tells
// systemd when it is ready (Type=notify), so a start job ends "done" only
// once the camera is really published.
std::string renderCameraServiceUnit(const std::filesystem::path& program, const std::string& version);

// The value of VELTRANO_VERSION in a process environment block as
// /proc/<pid>/environ holds it (NUL-separated NAME=value entries).
std::optional<std::string> cameraVersionInEnvironment(std::string_view environ);

// The version recorded in a unit file ("X-Veltrano-Version=" line), or
// nothing when the text holds no such line.
std::optional<std::string> cameraServiceUnitVersion(std::string_view unitText);

// A path as one word of a systemd command line: double-quoted, with
// backslash, quote, control and non-ASCII bytes C-escaped and the
// specifier sign doubled. As an argument (not the program itself) "$" is
// doubled too, since systemd expands variables in arguments only.
std::string quoteSystemdExecPath(std::string_view path, bool asArgument = false);

// The ExecStart= value that runs `program`. systemd refuses a program path
// holding quotes, backslashes or control characters however they are
// escaped, so such a path is handed to /usr/bin/env as its argument.
std::string systemdExecStart(const std::filesystem::path& program);

}  // namespace veltrano
