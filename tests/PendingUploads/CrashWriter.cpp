// Child of the crash test: rewrites the store in <folder> until killed.
// Every file it writes gives all records one token, so a file mixing two
// writes shows.
#include "PendingUploads/PendingUploadsStore.hpp"

#include <unistd.h>

using namespace veltrano;

namespace {

Awaitable<void> rewrite(PendingUploadsStore& store, std::filesystem::path folder, long generation) {
  const std::string token =
      std::to_string(::getpid()) + "-" + std::to_string(generation) + std::string(generation % 97, 'x');
  co_await store.updateIdTokenForAnswer("user", "session", "answer", token);
  const Uuid id = Uuid::random();
  // Named first: g++ 12 mishandles a braced temporary inside co_await.
  PendingUploadRecord record{
      id,       folder / ("veltrano-answer-" + id.string() + ".mp4"), "user", "session",
      "answer", "user/session/answer/" + std::to_string(generation),  token,  ReferenceDate::now()};
  co_await store.upsert(std::move(record));
  auto all = co_await store.allRecords();
  if (all.size() > 40) co_await store.remove(all.front().id);  // keeps each write short
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  asio::io_context io;
  PendingUploadsStore store(asio::make_strand(io), argv[1], std::filesystem::path(argv[1]) / "recordings");
  for (long generation = 0;; ++generation) {
    asio::co_spawn(io, rewrite(store, argv[1], generation), asio::detached);
    io.run();
    io.restart();
  }
}
