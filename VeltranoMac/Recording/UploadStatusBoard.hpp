// The state of every clip this process knows of, as the page sees it.
#pragma once

#include "Recording/ClipStatusObserver.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace veltrano {

// Keeps the state of every clip from its recording to its upload (or its
// end) and publishes the whole table on every change: {clips: [{clipId,
// objectPath, userId, sessionId, answerId, state, bytesSent, bytesTotal,
// attempt, error}], pending}, clips in the order they became known.
// Clips from earlier runs join as "queued" when the store reports them.
// Uploaded and given-up clips stay, the latest `keptFinished` of them.
// Progress is published at most once per `progressInterval` per clip; a
// count held back goes out with the next progress call after it.
// Never holds a token. Thread-safe.
class UploadStatusBoard final : public ClipStatusObserver {
 public:
  // Gets each snapshot, in the order of the changes, under the board's
  // lock: it must only hand the value on (post it to the main actor).
  using Publish = std::function<void(nlohmann::json snapshot)>;
  using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;

  struct Options {
    std::size_t keptFinished = 200;
    std::chrono::milliseconds progressInterval{250};
    SteadyNow now = [] { return std::chrono::steady_clock::now(); };
  };

  UploadStatusBoard(Publish publish, Options options);
  explicit UploadStatusBoard(Publish publish) : UploadStatusBoard(std::move(publish), Options{}) {}

  nlohmann::json snapshot() const;

  void clipRecording(const std::filesystem::path& clip, const AnswerIds& answer) override;
  void clipDiscarded(const std::filesystem::path& clip) override;
  void clipQueued(const std::filesystem::path& clip) override;
  void uploadStarted(const std::filesystem::path& clip) override;
  void uploadProgress(const std::filesystem::path& clip, std::uint64_t sent, std::uint64_t total) override;
  void uploadSucceeded(const std::filesystem::path& clip) override;
  void uploadFailed(const std::filesystem::path& clip, const std::string& error, bool givenUp) override;
  void storeChanged(const std::vector<PendingUploadRecord>& records) override;

 private:
  enum class State { recording, queued, uploading, uploaded, failed, gaveUp };
  struct Clip {
    std::uint64_t order = 0;
    std::optional<std::string> objectPath;
    AnswerIds answer;
    State state = State::recording;
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesTotal = 0;
    std::int64_t attempt = 0;
    std::optional<std::string> error;
    std::optional<std::chrono::steady_clock::time_point> progressPublishedAt;
    std::uint64_t publishedSent = 0;  // the counts last published
    std::uint64_t publishedTotal = 0;
    std::uint64_t finishedOrder = 0;  // when it was uploaded or given up
  };

  static bool isFinished(State state) { return state == State::uploaded || state == State::gaveUp; }
  static const char* name(State state);

  Clip* find(const std::filesystem::path& clip);
  void finish(Clip& clip, State state);
  nlohmann::json snapshotLocked() const;
  void publishLocked();

  mutable std::mutex mutex_;
  const Publish publish_;
  const Options options_;
  std::map<std::string, Clip> clips_;  // by clip id (the file name)
  std::size_t pending_ = 0;
  std::uint64_t nextOrder_ = 0;
};

}  // namespace veltrano
