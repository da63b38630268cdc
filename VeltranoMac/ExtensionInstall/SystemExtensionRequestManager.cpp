#include "ExtensionInstall/SystemExtensionRequestManager.hpp"

#include <nlohmann/json.hpp>

#include <dirent.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

namespace veltrano {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const noexcept { closedir(dir); }
};

// Entries in the order the file system lists them (not sorted), hidden
// ones skipped. An error names what went wrong.
std::vector<std::string> listDirectory(const std::filesystem::path& directory, std::error_code& error) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
  if (!dir) {
    error = std::error_code(errno, std::system_category());
    return names;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (!entry) {
      if (errno != 0) error = std::error_code(errno, std::system_category());
      break;
    }
    if (entry->d_name[0] == '.') continue;
    names.emplace_back(entry->d_name);
  }
  return names;
}

// A bundle opens when its Info.json parses as a JSON object.
std::optional<nlohmann::json> openBundle(const std::filesystem::path& bundle) {
  std::ifstream in(bundle / "Info.json", std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  auto info = nlohmann::json::parse(text, nullptr, false);
  if (info.is_discarded() || !info.is_object()) return std::nullopt;
  return info;
}

}  // namespace

std::string systemExtensionErrorText(long code) {
  switch (code) {
    case 1: return "unknown error";
    case 2: return "missing entitlement";
    case 3: return "Container App for Extension has to be installed to install Extension.";
    case 4: return "extension not found";
    case 5: return "extension missing identifier";
    case 6: return "duplicate extension identifer";
    case 7: return "unknown extension category";
    case 8: return "code signature invalid";
    case 9: return "validation failed";
    case 10: return "forbidden by system policy";
    case 11: return "request canceled";
    case 12: return "request superseded";
    case 13: return "authorization required";
    default: return "unknown code";
  }
}

std::shared_ptr<SystemExtensionRequestManager> SystemExtensionRequestManager::create(
    std::string logText, std::filesystem::path extensionsDirectory,
    std::shared_ptr<SystemExtensionActivator> activator) {
  return std::make_shared<SystemExtensionRequestManager>(
      std::move(logText), std::move(extensionsDirectory), std::move(activator));
}

SystemExtensionRequestManager::SystemExtensionRequestManager(std::string logText,
                                                             std::filesystem::path extensionsDirectory,
                                                             std::shared_ptr<SystemExtensionActivator> activator)
    : extensionsDirectory_(std::move(extensionsDirectory)), activator_(std::move(activator)) {
  // Nobody can observe yet, so the initial "Installation results here" is
  // replaced without announcements.
  logText_ = std::move(logText);
}

std::size_t SystemExtensionRequestManager::addObserver(Observer observer) {
  const auto token = nextObserver_++;
  observers_.emplace(token, std::move(observer));
  return token;
}

void SystemExtensionRequestManager::removeObserver(std::size_t token) {
  observers_.erase(token);
}

void SystemExtensionRequestManager::announce(Property property, Phase phase) {
  // A copy: an observer may add or remove observers while it runs.
  auto observers = observers_;
  for (auto& [token, observer] : observers)
    if (observers_.count(token)) observer(property, phase);
}

void SystemExtensionRequestManager::setLogText(std::string text) {
  announce(Property::logText, Phase::willChange);
  logText_ = std::move(text);
  announce(Property::logText, Phase::didChange);
}

void SystemExtensionRequestManager::setExtensionBanner(std::optional<SystemExtensionBannerState> banner) {
  announce(Property::extensionBanner, Phase::willChange);
  extensionBanner_ = std::move(banner);
  announce(Property::extensionBanner, Phase::didChange);
}

void SystemExtensionRequestManager::report(const std::string& message) {
  setLogText(message);
  setExtensionBanner(SystemExtensionBannerState::failed(message));
}

void SystemExtensionRequestManager::activateExtension() {
  setLogText("Looking for extension bundle...");
  auto found = findExtensionBundle();
  if (!found) return;
  setLogText("Submitting request for: " + found->identifier + " in " + found->bundle.filename().string());
  SystemExtensionRequest request{found->identifier, found->bundle};
  activator_->submit(std::move(request), weak_from_this());
}

std::optional<SystemExtensionRequestManager::FoundExtension> SystemExtensionRequestManager::findExtensionBundle() {
  std::error_code error;
  const auto names = listDirectory(extensionsDirectory_, error);
  if (error) {
    report("Error: can't read SystemExtensions dir at " + extensionsDirectory_.string() + ": " + error.message());
    return std::nullopt;
  }
  for (const auto& name : names) {
    const auto entry = extensionsDirectory_ / name;
    if (entry.extension() != ".systemextension") continue;
    // Only the first bundle counts, whatever becomes of it.
    const auto info = openBundle(entry);
    if (!info) {
      report("Error: failed to load bundle at " + entry.string());
      return std::nullopt;
    }
    const auto identifier = info->find("CFBundleIdentifier");
    if (identifier == info->end() || !identifier->is_string() || identifier->get_ref<const std::string&>().empty()) {
      report("Error: extension bundle has no CFBundleIdentifier at " + entry.string());
      return std::nullopt;
    }
    return FoundExtension{entry, identifier->get<std::string>()};
  }
  report("Error: no extensions found in " + extensionsDirectory_.string());
  return std::nullopt;
}

void SystemExtensionRequestManager::approveExtension() {
  activator_->approve();
}

SystemExtensionReplacementAction SystemExtensionRequestManager::actionForReplacingExtension(
    const SystemExtensionRequest&, const SystemExtensionProperties& existing,
    const SystemExtensionProperties& extension) {
  setLogText("Replacing extension version " + existing.bundleShortVersion + " with " + extension.bundleShortVersion);
  return SystemExtensionReplacementAction::replace;
}

void SystemExtensionRequestManager::requestNeedsUserApproval(const SystemExtensionRequest&) {
  setLogText("Extension needs user approval");
  setExtensionBanner(SystemExtensionBannerState::needsUserApproval());
}

void SystemExtensionRequestManager::requestDidFinishWithResult(const SystemExtensionRequest& request, long result) {
  if (result == kSystemExtensionRequestCompleted) {
    setLogText(request.description() + " did finish with success");
    setExtensionBanner(std::nullopt);
  } else if (result == kSystemExtensionRequestWillCompleteAfterReboot) {
    setLogText(request.description() + " Extension did finish with result success but requires reboot");
    setExtensionBanner(SystemExtensionBannerState::willCompleteAfterReboot());
  } else {
    const auto text = request.description() + " Extension did finish with result " + std::to_string(result);
    setLogText(text);
    setExtensionBanner(SystemExtensionBannerState::failed(text));
  }
}

void SystemExtensionRequestManager::requestDidFailWithError(const SystemExtensionRequest&, long code) {
  const auto text = "Extension failed with error: " + systemExtensionErrorText(code);
  setLogText(text);
  if (code == static_cast<long>(SystemExtensionErrorCode::authorizationRequired))
    setExtensionBanner(SystemExtensionBannerState::needsUserApproval());
  else
    setExtensionBanner(SystemExtensionBannerState::failed(text));
}

}  // namespace veltrano
