#include "PendingUploads/PendingUploadsCodec.hpp"
#include "PendingUploads/PendingUploadsStore.hpp"
#include "StoreTestSupport.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <iostream>
#include <random>
#include <thread>

using namespace veltrano;
using namespace veltrano::testing;
using namespace std::chrono_literals;

extern char** environ;

namespace {

pid_t startWriter(const std::filesystem::path& folder) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The writer's log lines would only bury the test's own output.
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const std::string program = VELTRANO_CRASH_WRITER;
  const std::string argument = folder.native();
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(argument.c_str()), nullptr};
  pid_t pid = -1;
  const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::system_error(error, std::generic_category(), "posix_spawn " + program);
  return pid;
}

std::size_t countEntries(const std::filesystem::path& folder, const std::string& prefix) {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().filename().native().starts_with(prefix)) ++count;
  return count;
}

}  // namespace

TEST(CrashSafety, AWriterKilledAtRandomMomentsAlwaysLeavesAFileThatDecodes) {
  TemporaryFolder folder;
  const auto file = folder.path() / "pending-uploads.json";
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayMicroseconds(0, 30000);
  SCOPED_TRACE("seed " + std::to_string(seed));

  constexpr int kills = 200;
  int killedMidWrite = 0;
  std::size_t lastCount = 0;
  for (int round = 0; round < kills; ++round) {
    const pid_t writer = startWriter(folder.path());
    if (round == 0) {
      // Only the first writer starts without a file to fall back on.
      for (int waited = 0; !std::filesystem::exists(file) && waited < 10000; ++waited) std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
    ASSERT_EQ(::kill(writer, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer ended by itself, status " << status;

    const auto decoded = decodePendingUploads(readFile(file));
    ASSERT_FALSE(decoded.damaged) << "after kill " << round;
    ASSERT_FALSE(decoded.records.empty()) << "after kill " << round;
    for (const auto& record : decoded.records)
      ASSERT_EQ(record.idToken, decoded.records.front().idToken) << "a file mixing two writes, after kill " << round;
    ASSERT_EQ(countEntries(folder.path(), "pending-uploads.json.corrupt-"), 0u);
    if (countEntries(folder.path(), ".pending-uploads.json.tmp.") > 0) ++killedMidWrite;
    lastCount = decoded.records.size();
  }
  std::cout << killedMidWrite << " of " << kills << " kills left a temporary file behind (killed mid-write)\n";

  asio::io_context io;
  PendingUploadsStore store(asio::make_strand(io), folder.path(), folder.path() / "recordings");
  EXPECT_EQ(countEntries(folder.path(), ".pending-uploads.json.tmp."), 0u);
  std::size_t loaded = 0;
  auto count = [&]() -> Awaitable<void> { loaded = (co_await store.allRecords()).size(); };
  asio::co_spawn(io, count(), asio::detached);
  io.run();
  EXPECT_EQ(loaded, lastCount);
}
