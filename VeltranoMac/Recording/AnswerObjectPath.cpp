#include "Recording/AnswerObjectPath.hpp"

#include <ctime>

namespace veltrano {

std::string answerObjectPathStamp(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H-%M-%SZ", &parts);
  return text;
}

std::string answerObjectPath(const AnswerIds& answer, std::chrono::system_clock::time_point time) {
  return answer.userId + "/" + answer.sessionId + "/" + answer.answerId + "/" + answerObjectPathStamp(time) + ".mp4";
}

std::string AnswerObjectPathIssuer::issue(const AnswerIds& answer, std::chrono::system_clock::time_point now) {
  auto stamp = std::chrono::floor<std::chrono::seconds>(now);
  {
    std::lock_guard lock(mutex_);
    auto [it, inserted] = last_.try_emplace(answer, stamp);
    if (!inserted) {
      if (stamp <= it->second) stamp = it->second + std::chrono::seconds(1);
      it->second = stamp;
    }
  }
  return answerObjectPath(answer, stamp);
}

}  // namespace veltrano
