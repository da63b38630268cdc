// Rewrites the store in <folder> in an endless loop until it is killed.
// Every file it writes holds records that all carry the same token, which
// is what the crash test checks after each kill.
#include "PendingUploads/PendingUploadsStore.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

using namespace veltrano;

namespace {

void runToEnd(asio::io_context& io, Awaitable<void> operation) {
  asio::co_spawn(io, std::move(operation), asio::detached);
  io.run();
  io.restart();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  asio::io_context io;
  PendingUploadsStore store(asio::make_strand(io), folder, folder / "recordings");

  const std::string generationPrefix = "generation-" + std::to_string(::getpid()) + "-";
  for (long generation = 0;; ++generation) {
    // Tokens of varying length make every file a different size.
    const std::string token = generationPrefix + std::to_string(generation) + std::string(generation % 97, 'x');
    runToEnd(io, store.updateIdTokenForAnswer("user", "session", "answer", token));

    PendingUploadRecord record;
    record.id = Uuid::random();
    record.fileURL = folder / "recordings" / ("veltrano-answer-" + record.id.string() + ".mp4");
    record.userId = "user";
    record.sessionId = "session";
    record.answerId = "answer";
    record.objectPath = "user/session/answer/" + std::to_string(generation) + ".mp4";
    record.idToken = token;
    record.enqueuedAt = ReferenceDate::now();
    runToEnd(io, store.upsert(record));

    std::vector<PendingUploadRecord> all;
    auto snapshot = [&]() -> Awaitable<void> { all = co_await store.allRecords(); };
    runToEnd(io, snapshot());
    if (all.size() > 40) {
      const auto oldest = std::min_element(all.begin(), all.end(), [](const auto& a, const auto& b) {
        return a.enqueuedAt < b.enqueuedAt;
      });
      runToEnd(io, store.remove(oldest->id));
    }
  }
}
