// The installed tree: cmake --install into a temporary prefix gives every
// file of the bundle, the same as the build's bundle, a desktop entry that
// validates and starts the installed program, and lookups that find the web
// app from bin/. The prefix holds a space and a dollar sign, which the Exec
// line must quote; quotes and backslashes break CMake's own install script,
// and GLib looks for a program whose path holds "%" without undoubling it.

#include <gio/gdesktopappinfo.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/TempDir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using veltrano::testing::TempDir;

std::string quote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

struct Run {
  int status;
  std::string output;
};

// Runs a shell command line, stdout and stderr together.
Run run(const std::string& command) {
  struct PipeCloser {
    void operator()(FILE* pipe) const noexcept {
      if (pipe) ::pclose(pipe);
    }
  };
  std::unique_ptr<FILE, PipeCloser> pipe(::popen((command + " 2>&1").c_str(), "r"));
  Run result{-1, {}};
  if (!pipe) return result;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) result.output.append(buffer, n);
  const int status = ::pclose(pipe.release());
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Relative path → content of every regular file under root.
std::map<std::string, std::string> filesUnder(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), root).string()] = readFile(entry.path());
  }
  return files;
}

// Reads the desktop entry the way a desktop starts it: GLib loads it
// (refusing an entry whose program does not exist), replaces the field
// codes ("%%" is a percent sign, "%u" the URL) and splits the rest as a
// shell would.
void expectDesktopEntryStarts(const fs::path& entry, const fs::path& program) {
  const auto validation = run("desktop-file-validate " + quote(entry.string()));
  EXPECT_EQ(validation.status, 0) << validation.output;
  EXPECT_EQ(validation.output, "") << entry;

  g_autoptr(GDesktopAppInfo) info = g_desktop_app_info_new_from_filename(entry.c_str());
  ASSERT_NE(info, nullptr) << entry;
  g_autofree char* exec = g_desktop_app_info_get_string(info, "Exec");
  ASSERT_NE(exec, nullptr);
  std::string command;
  int urlArguments = 0;
  for (const char* c = exec; *c; ++c) {
    if (c[0] == '%' && c[1] == '%') {
      command += '%';
      ++c;
    } else if (c[0] == '%' && c[1] == 'u') {
      command += "veltrano://auth/callback";
      ++urlArguments;
      ++c;
    } else {
      command += *c;
    }
  }
  EXPECT_EQ(urlArguments, 1) << exec;
  g_auto(GStrv) argv = nullptr;
  ASSERT_TRUE(g_shell_parse_argv(command.c_str(), nullptr, &argv, nullptr)) << exec;
  ASSERT_EQ(g_strv_length(argv), 2u) << exec;
  EXPECT_EQ(fs::path(argv[0]), program);
  EXPECT_STREQ(argv[1], "veltrano://auth/callback");

  const char* const* types = g_app_info_get_supported_types(G_APP_INFO(info));
  ASSERT_NE(types, nullptr);
  EXPECT_STREQ(types[0], "x-scheme-handler/veltrano");
  EXPECT_EQ(types[1], nullptr);
  g_autofree char* icon = g_desktop_app_info_get_string(info, "Icon");
  EXPECT_STREQ(icon, "com.brackwood.VeltranoMac");
}

TEST(InstalledBundle, CmakeInstallWritesTheBundleTreeUnderAnyPrefix) {
  TempDir temp;
  const auto prefix = temp.path / "pre fix$HOME";
  const auto install =
      run(quote(VELTRANO_CMAKE) + " --install " + quote(VELTRANO_BUILD_DIR) + " --prefix " + quote(prefix.string()));
  ASSERT_EQ(install.status, 0) << install.output;

  const std::string extension = VELTRANO_CAMERA_EXTENSION_DIR;
  EXPECT_EQ(extension, "lib/VeltranoMac/SystemExtensions/com.brackwood.VeltranoMac.Camera.systemextension");
  const std::vector<std::string> expected{
      "bin/VeltranoMac",
      "share/VeltranoMac/Info.json",
      "share/VeltranoMac/WebApp/index.html",
      extension + "/Info.json",
      "share/applications/com.brackwood.VeltranoMac.desktop",
      "share/icons/hicolor/scalable/apps/com.brackwood.VeltranoMac.svg",
  };
  const auto installed = filesUnder(prefix);
  for (const auto& file : expected) EXPECT_TRUE(installed.contains(file)) << file;
  EXPECT_NE(fs::status(prefix / "bin/VeltranoMac").permissions() & fs::perms::owner_exec, fs::perms::none);

  const auto info = nlohmann::json::parse(readFile(prefix / "share/VeltranoMac/Info.json"));
  EXPECT_EQ(info.at("CFBundleIdentifier"), "com.brackwood.VeltranoMac");
  EXPECT_EQ(info.at("CFBundleShortVersionString"), VELTRANO_PROJECT_VERSION);
  const auto extensionInfo = nlohmann::json::parse(readFile(prefix / extension / "Info.json"));
  EXPECT_EQ(extensionInfo.at("CFBundleIdentifier"), "com.brackwood.VeltranoMac.Camera");
  EXPECT_EQ(extensionInfo.at("CFBundleShortVersionString"), VELTRANO_PROJECT_VERSION);
  const auto icon = readFile(prefix / "share/icons/hicolor/scalable/apps/com.brackwood.VeltranoMac.svg");
  EXPECT_NE(icon.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);

  // The build's bundle is the same tree: every installed file is there with
  // the same bytes, except that each desktop entry starts its own program.
  const fs::path bundle = VELTRANO_BUNDLE_DIR;
  const auto built = filesUnder(bundle);
  const std::string desktop = "share/applications/com.brackwood.VeltranoMac.desktop";
  for (const auto& [file, content] : installed) {
    ASSERT_TRUE(built.contains(file)) << file << " is installed but not in " << bundle;
    if (file != desktop) {
      EXPECT_EQ(built.at(file), content) << file;
    }
  }
  expectDesktopEntryStarts(prefix / desktop, prefix / "bin/VeltranoMac");
  expectDesktopEntryStarts(bundle / desktop, bundle / "bin/VeltranoMac");

  // A program in the installed bin/ finds the resources of its own tree.
  fs::copy_file(VELTRANO_BUNDLE_PROBE, prefix / "bin/veltrano-bundle-probe");
  const auto probe = run(quote((prefix / "bin/veltrano-bundle-probe").string()));
  ASSERT_EQ(probe.status, 0) << probe.output;
  EXPECT_EQ(probe.output, "root=" + prefix.string() + "\ninfo=" + (prefix / "share/VeltranoMac/Info.json").string() +
                              "\nwebapp=" + (prefix / "share/VeltranoMac/WebApp").string() +
                              "\nextensions=" + (prefix / "lib/VeltranoMac/SystemExtensions").string() + "\n");

  // Without the web app the lookup says so instead of pointing at nothing.
  fs::remove(prefix / "share/VeltranoMac/WebApp/index.html");
  const auto without = run(quote((prefix / "bin/veltrano-bundle-probe").string()));
  EXPECT_NE(without.output.find("\nwebapp=absent\n"), std::string::npos) << without.output;
}

}  // namespace

// Install prefixes are the user's choice: the Exec line keeps a program
// path with any of the characters its grammar reserves as one argument.
TEST(DesktopEntry, ExecKeepsAnyProgramPathWhole) {
  TempDir temp;
  const std::vector<std::string> folders{"plain",  "a b",         "dollar$HOME", "back\\slash",    "quote\"d",
                                         "tick`s", "apo'strophe", "paren(s)",    "semi;colon&amp", "star*?#~<>|"};
  std::string script = "include(\"" VELTRANO_SOURCE_DIR "/packaging/DesktopEntry.cmake\")\n";
  for (std::size_t i = 0; i < folders.size(); ++i) {
    const auto program = temp.path / folders[i] / "VeltranoMac";
    fs::create_directories(program.parent_path());
    std::ofstream(program) << "#!/bin/sh\n";
    fs::permissions(program, fs::perms::owner_all);
    // CMake's bracket arguments take the path without any escaping.
    script += "veltrano_write_desktop_entry(\"" VELTRANO_SOURCE_DIR
              "/packaging/com.brackwood.VeltranoMac.desktop.in\" [==[" +
              (temp.path / (std::to_string(i) + ".desktop")).string() + "]==] [==[" + program.string() + "]==])\n";
  }
  std::ofstream(temp.path / "write.cmake") << script;
  const auto written = run(quote(VELTRANO_CMAKE) + " -P " + quote((temp.path / "write.cmake").string()));
  ASSERT_EQ(written.status, 0) << written.output;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    SCOPED_TRACE(folders[i]);
    expectDesktopEntryStarts(temp.path / (std::to_string(i) + ".desktop"), temp.path / folders[i] / "VeltranoMac");
  }
  EXPECT_NE(readFile(temp.path / "0.desktop").find("\nExec=" + (temp.path / "plain/VeltranoMac").string() + " %u\n"),
            std::string::npos)
      << "a plain path stays bare";
}
