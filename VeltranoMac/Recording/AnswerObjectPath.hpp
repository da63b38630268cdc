// The object path a clip is stored under, and the issuer that keeps them
// unique per answer.
#pragma once

#include "Upload/ClipUpload.hpp"

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace veltrano {

// "2026-12-05T16-07-47Z": the UTC time in whole seconds, colons as hyphens.
std::string answerObjectPathStamp(std::chrono::system_clock::time_point time);

// "user/session/answer/<stamp>.mp4".
std::string answerObjectPath(const AnswerIds& answer, std::chrono::system_clock::time_point time);

// Hands out object paths that are unique per answer within the process. The
// stamp has whole seconds, so two hand-offs of one answer in one second
// (a leave right after a cut) would name the same object and the second PUT
// would replace the first clip; a stamp that equals or precedes the last
// one issued for the answer becomes that one plus a second, which keeps the
// clips in order. Safe from any thread; remembers one stamp per answer.
class AnswerObjectPathIssuer {
 public:
  std::string issue(const AnswerIds& answer, std::chrono::system_clock::time_point now);

 private:
  std::mutex mutex_;
  std::map<AnswerIds, std::chrono::sys_seconds> last_;
};

}  // namespace veltrano
