#pragma once

#include "Runtime/Logger.hpp"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace veltrano::testing {

// Records every log line; install it for a scope with LogCapture.
class CapturingLogSink final : public LogSink {
 public:
  void write(const LogRecord& record) override {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
  }

  std::vector<LogRecord> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }

  // Messages of one category (and level), in order.
  std::vector<std::string> messages(const std::string& category, LogLevel level) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& r : records_)
      if (r.category == category && r.level == level) out.push_back(r.message);
    return out;
  }

  bool contains(const std::string& category, LogLevel level, const std::string& message) const {
    auto all = messages(category, level);
    return std::find(all.begin(), all.end(), message) != all.end();
  }

  void clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
};

class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<CapturingLogSink>()), previous_(Logger::setSink(sink_)) {}
  ~LogCapture() { Logger::setSink(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  CapturingLogSink& sink() { return *sink_; }
  CapturingLogSink* operator->() { return sink_.get(); }

 private:
  std::shared_ptr<CapturingLogSink> sink_;
  std::shared_ptr<LogSink> previous_;
};

}  // namespace veltrano::testing
