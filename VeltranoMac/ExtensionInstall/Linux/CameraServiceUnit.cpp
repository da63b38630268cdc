#include "ExtensionInstall/Linux/CameraServiceUnit.hpp"

#include <cstdio>

namespace veltrano {

std::string quoteSystemdExecPath(std::string_view path, bool asArgument) {
  std::string out = "\"";
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '%') {
      out += "%%";
    } else if (c == '$' && asArgument) {
      out += "$$";
    } else if (byte < 0x20 || byte >= 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string systemdExecStart(const std::filesystem::path& program) {
  const auto& path = program.native();
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\'' || c == '\\' || byte < 0x20 || byte == 0x7f)
      return "/usr/bin/env " + quoteSystemdExecPath(path, true);
  }
  return quoteSystemdExecPath(path);
}

std::string renderCameraServiceUnit(const std::filesystem::path& program, const std::string& version) {
  std::string text;
  text += "[Unit]\n";
  text += "Description=VeltranoCam virtual camera\n";
  text += "\n";
  text += "[Service]\n";
  text += "Type=notify\n";
  text += "ExecStart=" + systemdExecStart(program) + "\n";
  text += "Restart=on-failure\n";
  // A version with a line break would end the line early; keep it on one.
  std::string oneLine;
  for (const char c : version) oneLine += (c == '\n' || c == '\r') ? ' ' : c;
  text += "Environment=" + quoteSystemdExecPath(std::string(kCameraVersionVariable) + "=" + oneLine) + "\n";
  text += "X-Veltrano-Version=" + oneLine + "\n";
  text += "\n";
  text += "[Install]\n";
  text += "WantedBy=default.target\n";
  return text;
}

std::optional<std::string> cameraServiceUnitVersion(std::string_view unitText) {
  constexpr std::string_view key = "X-Veltrano-Version=";
  std::size_t start = 0;
  while (start < unitText.size()) {
    auto end = unitText.find('\n', start);
    if (end == std::string_view::npos) end = unitText.size();
    const auto line = unitText.substr(start, end - start);
    if (line.substr(0, key.size()) == key) return std::string(line.substr(key.size()));
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace veltrano

namespace veltrano {

std::optional<std::string> cameraVersionInEnvironment(std::string_view environ) {
  const std::string prefix = std::string(kCameraVersionVariable) + "=";
  std::size_t start = 0;
  while (start < environ.size()) {
    auto end = environ.find('\0', start);
    if (end == std::string_view::npos) end = environ.size();
    const auto entry = environ.substr(start, end - start);
    if (entry.substr(0, prefix.size()) == prefix) return std::string(entry.substr(prefix.size()));
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace veltrano
