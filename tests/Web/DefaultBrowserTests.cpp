// The real launcher behind the web view's new-window seam: GIO's default
// handler for the URL's scheme, found through the XDG folders this test
// points at a handler of its own.
#include "Web/Linux/WebViewHost.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/TempDir.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace veltrano {
namespace {

namespace fs = std::filesystem;
using testing::LogCapture;
using testing::TempDir;

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A "browser" that writes the URL it was given (one line per launch).
class DefaultBrowser : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempDir;
    const fs::path applications = *folder_ / "data/applications";
    fs::create_directories(applications);
    fs::create_directories(*folder_ / "config");
    const fs::path script = *folder_ / "browser.sh";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << (*folder_ / "opened").string() << "'\n";
    fs::permissions(script, fs::perms::owner_all);
    std::ofstream(applications / "veltrano-test-browser.desktop")
        << "[Desktop Entry]\nType=Application\nName=Test browser\nExec=" << script.string()
        << " %u\nMimeType=x-scheme-handler/https;\nNoDisplay=true\n";
    std::ofstream(*folder_ / "config/mimeapps.list")
        << "[Default Applications]\nx-scheme-handler/https=veltrano-test-browser.desktop\n";
    // Before GIO first reads them; nothing of the user's own is consulted.
    setenv("XDG_DATA_HOME", (*folder_ / "data").c_str(), 1);
    setenv("XDG_DATA_DIRS", (*folder_ / "none").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (*folder_ / "config").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (*folder_ / "none").c_str(), 1);
  }
  static void TearDownTestSuite() { delete folder_; }

  static std::string opened(std::size_t lines) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string text;
    while (std::chrono::steady_clock::now() < deadline) {
      text = readFile(*folder_ / "opened");
      if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return text;
  }

  static TempDir* folder_;
};

TempDir* DefaultBrowser::folder_ = nullptr;

TEST_F(DefaultBrowser, GetsTheURLUnchangedAndAnURLNobodyHandlesIsLoggedNotLaunched) {
  LogCapture log;
  const std::string url = "https://example.com/opened?x=1&y=%20two#part";
  WebViewHost::openInDefaultBrowser(url);
  EXPECT_EQ(opened(1), url + "\n");
  EXPECT_TRUE(log->messages("WebView", LogLevel::error).empty());

  WebViewHost::openInDefaultBrowser("veltrano-no-handler://nowhere");
  const auto errors = log->messages("WebView", LogLevel::error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Could not open veltrano-no-handler://nowhere in the default browser: ", 0), 0u)
      << errors[0];
  // The second launch ran nothing: still the one line.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(readFile(*folder_ / "opened"), url + "\n");
}

}  // namespace
}  // namespace veltrano
