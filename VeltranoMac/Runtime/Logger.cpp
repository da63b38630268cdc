#include "Runtime/Logger.hpp"

#include "Runtime/Linux/JournalLogSink.hpp"

#include <mutex>
#include <utility>

namespace veltrano {

namespace {

std::mutex sinkMutex;

std::shared_ptr<LogSink>& currentSink() {
  static std::shared_ptr<LogSink> sink = std::make_shared<JournalLogSink>();
  return sink;
}

std::shared_ptr<LogSink> loadSink() {
  std::lock_guard lock(sinkMutex);
  return currentSink();
}

}  // namespace

std::string_view toString(LogLevel level) noexcept {
  switch (level) {
    case LogLevel::debug: return "debug";
    case LogLevel::info: return "info";
    case LogLevel::error: return "error";
  }
  return "info";
}

Logger::Logger(std::string category, std::string subsystem)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::log(LogLevel level, std::string_view message) const {
  auto sink = loadSink();
  if (!sink) return;
  sink->write(LogRecord{level, subsystem_, category_, std::string(message)});
}

std::shared_ptr<LogSink> Logger::setSink(std::shared_ptr<LogSink> sink) {
  if (!sink) sink = std::make_shared<JournalLogSink>();
  std::lock_guard lock(sinkMutex);
  return std::exchange(currentSink(), std::move(sink));
}

}  // namespace veltrano
