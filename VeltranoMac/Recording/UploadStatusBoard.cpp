#include "Recording/UploadStatusBoard.hpp"

#include <algorithm>
#include <system_error>
#include <utility>
#include <vector>

namespace veltrano {

namespace {

std::string clipIdOf(const std::filesystem::path& clip) {
  return clip.filename().string();
}

std::uint64_t sizeOf(const std::filesystem::path& clip) {
  std::error_code error;
  const auto size = std::filesystem::file_size(clip, error);
  return error ? 0 : static_cast<std::uint64_t>(size);
}

}  // namespace

UploadStatusBoard::UploadStatusBoard(Publish publish, Options options)
    : publish_(std::move(publish)), options_(std::move(options)) {}

const char* UploadStatusBoard::name(State state) {
  switch (state) {
    case State::recording: return "recording";
    case State::queued: return "queued";
    case State::uploading: return "uploading";
    case State::uploaded: return "uploaded";
    case State::failed: return "failed";
    case State::gaveUp: return "gaveUp";
  }
  return "queued";
}

nlohmann::json UploadStatusBoard::snapshot() const {
  std::lock_guard lock(mutex_);
  return snapshotLocked();
}

nlohmann::json UploadStatusBoard::snapshotLocked() const {
  std::vector<std::pair<const std::string*, const Clip*>> ordered;
  ordered.reserve(clips_.size());
  for (const auto& [id, clip] : clips_) ordered.emplace_back(&id, &clip);
  std::sort(
      ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.second->order < b.second->order; });
  nlohmann::json clips = nlohmann::json::array();
  for (const auto& [id, clip] : ordered) {
    clips.push_back({{"clipId", *id},
                     {"objectPath", clip->objectPath ? nlohmann::json(*clip->objectPath) : nullptr},
                     {"userId", clip->answer.userId},
                     {"sessionId", clip->answer.sessionId},
                     {"answerId", clip->answer.answerId},
                     {"state", name(clip->state)},
                     {"bytesSent", clip->bytesSent},
                     {"bytesTotal", clip->bytesTotal},
                     {"attempt", clip->attempt},
                     {"error", clip->error ? nlohmann::json(*clip->error) : nullptr}});
  }
  return {{"clips", std::move(clips)}, {"pending", pending_}};
}

void UploadStatusBoard::publishLocked() {
  if (!publish_) return;
  try {
    publish_(snapshotLocked());
  } catch (...) {
    // Only memory running out gets here; the change is not undone for it,
    // and the next one sends the whole table again.
  }
}

UploadStatusBoard::Clip* UploadStatusBoard::find(const std::filesystem::path& clip) {
  auto it = clips_.find(clipIdOf(clip));
  return it == clips_.end() ? nullptr : &it->second;
}

void UploadStatusBoard::finish(Clip& clip, State state) {
  clip.state = state;
  clip.finishedOrder = ++nextOrder_;
  std::size_t finished = 0;
  for (const auto& [id, entry] : clips_) finished += isFinished(entry.state) ? 1 : 0;
  while (finished > options_.keptFinished) {
    auto oldest = clips_.end();
    for (auto it = clips_.begin(); it != clips_.end(); ++it)
      if (isFinished(it->second.state) &&
          (oldest == clips_.end() || it->second.finishedOrder < oldest->second.finishedOrder))
        oldest = it;
    clips_.erase(oldest);
    --finished;
  }
}

void UploadStatusBoard::clipRecording(const std::filesystem::path& clip, const AnswerIds& answer) {
  std::lock_guard lock(mutex_);
  Clip& entry = clips_[clipIdOf(clip)];
  entry = Clip{};
  entry.order = ++nextOrder_;
  entry.answer = answer;
  publishLocked();
}

void UploadStatusBoard::clipDiscarded(const std::filesystem::path& clip) {
  std::lock_guard lock(mutex_);
  if (clips_.erase(clipIdOf(clip)) > 0) publishLocked();
}

void UploadStatusBoard::clipQueued(const std::filesystem::path& clip) {
  std::lock_guard lock(mutex_);
  Clip* entry = find(clip);
  if (!entry || entry->state == State::uploading || isFinished(entry->state)) return;
  entry->state = State::queued;
  publishLocked();
}

void UploadStatusBoard::uploadStarted(const std::filesystem::path& clip) {
  std::lock_guard lock(mutex_);
  Clip* entry = find(clip);
  if (!entry) return;
  entry->state = State::uploading;
  ++entry->attempt;
  entry->bytesSent = 0;
  entry->publishedSent = 0;
  entry->publishedTotal = entry->bytesTotal;
  entry->error.reset();
  entry->progressPublishedAt = options_.now();
  publishLocked();
}

void UploadStatusBoard::uploadProgress(const std::filesystem::path& clip, std::uint64_t sent, std::uint64_t total) {
  std::lock_guard lock(mutex_);
  Clip* entry = find(clip);
  if (!entry || entry->state != State::uploading) return;
  entry->bytesSent = sent;
  entry->bytesTotal = total;
  // A count held back by the interval goes out with a later call, also
  // one that brings no new count.
  if (entry->publishedSent == sent && entry->publishedTotal == total) return;
  const auto now = options_.now();
  if (entry->progressPublishedAt && now - *entry->progressPublishedAt < options_.progressInterval) return;
  entry->progressPublishedAt = now;
  entry->publishedSent = sent;
  entry->publishedTotal = total;
  publishLocked();
}

void UploadStatusBoard::uploadSucceeded(const std::filesystem::path& clip) {
  std::lock_guard lock(mutex_);
  Clip* entry = find(clip);
  if (!entry) return;
  entry->bytesSent = entry->bytesTotal;
  entry->error.reset();
  finish(*entry, State::uploaded);
  publishLocked();
}

void UploadStatusBoard::uploadFailed(const std::filesystem::path& clip, const std::string& error, bool givenUp) {
  std::lock_guard lock(mutex_);
  Clip* entry = find(clip);
  if (!entry) return;
  entry->error = error;
  if (givenUp)
    finish(*entry, State::gaveUp);
  else
    entry->state = State::failed;
  publishLocked();
}

void UploadStatusBoard::storeChanged(const std::vector<PendingUploadRecord>& records) {
  std::lock_guard lock(mutex_);
  bool changed = pending_ != records.size();
  pending_ = records.size();
  // Clips the board has not seen (left by an earlier run) join in the order
  // they were enqueued.
  std::vector<const PendingUploadRecord*> joining;
  for (const auto& record : records) {
    Clip* entry = find(record.fileURL);
    if (!entry) {
      joining.push_back(&record);
      continue;
    }
    if (!entry->objectPath || *entry->objectPath != record.objectPath) {
      entry->objectPath = record.objectPath;
      changed = true;
    }
    if (entry->state == State::recording) {
      entry->state = State::queued;
      entry->bytesTotal = sizeOf(record.fileURL);
      changed = true;
    }
  }
  std::sort(joining.begin(), joining.end(), [](const auto* a, const auto* b) {
    return a->enqueuedAt.secondsSinceReferenceDate() < b->enqueuedAt.secondsSinceReferenceDate();
  });
  for (const auto* record : joining) {
    Clip& entry = clips_[clipIdOf(record->fileURL)];
    entry.order = ++nextOrder_;
    entry.objectPath = record->objectPath;
    entry.answer = {record->userId, record->sessionId, record->answerId};
    entry.state = State::queued;
    entry.bytesTotal = sizeOf(record->fileURL);
    changed = true;
  }
  if (changed) publishLocked();
}

}  // namespace veltrano
