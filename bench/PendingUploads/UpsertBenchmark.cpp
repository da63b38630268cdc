// Time of one upsert (encode the whole table, write, fsync, rename, fsync
// the folder) on tables of 10, 100 and 1,000 records. Runs in a folder
// under $VELTRANO_BENCH_DIR (default /var/tmp), which must be on a real
// disk: on tmpfs fsync costs nothing and the figures mean nothing.
#include "PendingUploads/PendingUploadsCodec.hpp"
#include "PendingUploads/PendingUploadsStore.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

using namespace veltrano;

namespace {

std::filesystem::path makeFolder() {
  const char* base = std::getenv("VELTRANO_BENCH_DIR");
  std::string pattern = (std::filesystem::path(base ? base : "/var/tmp") / "pending-uploads-bench-XXXXXX").native();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

PendingUploadRecord makeRecord(const std::filesystem::path& recordings, int n, std::size_t tokenBytes) {
  PendingUploadRecord record;
  record.id = Uuid::random();
  record.fileURL = recordings / ("veltrano-answer-" + record.id.string() + ".mp4");
  record.userId = "Xq3Lk2pW9sRtY7uV1bN4mC8dE6fG";
  record.sessionId = "session-" + std::to_string(n / 10);
  record.answerId = "answer-" + std::to_string(n);
  record.objectPath = record.userId + "/" + record.sessionId + "/" + record.answerId + "/2026-12-06T18-00-00Z.mp4";
  record.idToken = std::string(tokenBytes, 't');
  record.enqueuedAt = ReferenceDate::now();
  return record;
}

std::vector<PendingUploadRecord> makeTable(const std::filesystem::path& recordings, int size, std::size_t tokenBytes) {
  std::vector<PendingUploadRecord> records;
  for (int n = 0; n < size; ++n) records.push_back(makeRecord(recordings, n, tokenBytes));
  return records;
}

void runToEnd(asio::io_context& io, Awaitable<void> operation) {
  asio::co_spawn(io, std::move(operation), asio::detached);
  io.run();
  io.restart();
}

void BM_UpsertWithFsync(benchmark::State& state) {
  const auto folder = makeFolder();
  auto table =
      makeTable(folder / "recordings", static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  {
    std::ofstream out(folder / "pending-uploads.json");
    out << encodePendingUploads(table);
  }
  asio::io_context io;
  PendingUploadsStore store(asio::make_strand(io), folder, folder / "recordings");
  std::size_t next = 0;
  for (auto _ : state) {
    // Replace an existing record, so the table keeps its size.
    auto record = table[next++ % table.size()];
    record.idToken.back() = static_cast<char>('a' + next % 26);
    runToEnd(io, store.upsert(std::move(record)));
  }
  state.counters["fileBytes"] = static_cast<double>(std::filesystem::file_size(folder / "pending-uploads.json"));
  std::filesystem::remove_all(folder);
}
// Records, bytes per ID token: real ID tokens are about 900 bytes; 64 shows
// the cost of the table without them.
BENCHMARK(BM_UpsertWithFsync)
    ->ArgNames({"records", "tokenBytes"})
    ->ArgsProduct({{10, 100, 1000}, {900, 64}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// The share of the encoding alone.
void BM_EncodeTable(benchmark::State& state) {
  const auto table = makeTable("/var/tmp/recordings", static_cast<int>(state.range(0)), 900);
  for (auto _ : state) benchmark::DoNotOptimize(encodePendingUploads(table));
}
BENCHMARK(BM_EncodeTable)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
