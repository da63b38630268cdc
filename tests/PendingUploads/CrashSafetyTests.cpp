#include "PendingUploads/PendingUploadsCodec.hpp"
#include "StoreTestSupport.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <iostream>
#include <random>
#include <thread>

using namespace veltrano;
using namespace veltrano::testing;

extern char** environ;

namespace {

pid_t startWriter(const std::filesystem::path& folder) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string program = VELTRANO_CRASH_WRITER, argument = folder.native();
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t pid = -1;
  const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::system_error(error, std::generic_category(), "posix_spawn");
  return pid;
}

std::size_t count(const std::filesystem::path& folder, const std::string& prefix) {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    n += entry.path().filename().native().starts_with(prefix);
  return n;
}

}  // namespace

TEST(CrashSafety, AWriterKilledAtRandomMomentsAlwaysLeavesAFileThatDecodes) {
  TemporaryFolder folder;
  const auto file = folder.path / "pending-uploads.json";
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  int midWrite = 0;
  for (int kill = 0; kill < 200; ++kill) {
    const pid_t writer = startWriter(folder.path);
    for (int waited = 0; !std::filesystem::exists(file) && waited < 10000; ++waited)  // only the first has to wait
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution(0, 30000)(random)));
    ASSERT_EQ(::kill(writer, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "writer ended by itself: " << status;

    const auto decoded = decodePendingUploads(readFile(file));
    ASSERT_FALSE(decoded.damaged) << "after kill " << kill;
    ASSERT_FALSE(decoded.records.empty()) << "after kill " << kill;
    for (const auto& record : decoded.records)  // each write carries one token throughout
      ASSERT_EQ(record.idToken, decoded.records.front().idToken) << "two writes mixed, after kill " << kill;
    ASSERT_EQ(count(folder.path, "pending-uploads.json.corrupt-"), 0u);
    midWrite += count(folder.path, ".pending-uploads.json.tmp.") > 0;
  }
  std::cout << midWrite << " of 200 kills landed mid-write (a temporary file was left)\n";
}
