#include "Runtime/Logger.hpp"

#include <systemd/sd-journal.h>

#include <cstdio>
#include <mutex>
#include <utility>

namespace veltrano {

namespace {

std::mutex sinkMutex;

std::shared_ptr<LogSink>& currentSink() {
  static std::shared_ptr<LogSink> sink = std::make_shared<SystemLogSink>();
  return sink;
}

std::shared_ptr<LogSink> loadSink() {
  std::lock_guard lock(sinkMutex);
  return currentSink();
}

int journalPriority(LogLevel level) {
  switch (level) {
    case LogLevel::debug: return 7;
    case LogLevel::info: return 6;
    case LogLevel::error: return 3;
  }
  return 6;
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

SystemLogSink::SystemLogSink(std::string syslogIdentifier) : syslogIdentifier_(std::move(syslogIdentifier)) {}

void SystemLogSink::write(const LogRecord& record) {
  // Without a journal (containers, CI) sd_journal_send fails quietly; stderr
  // still has the line.
  sd_journal_send("MESSAGE=%s", record.message.c_str(), "PRIORITY=%d", journalPriority(record.level),
                  "SYSLOG_IDENTIFIER=%s", syslogIdentifier_.c_str(), "VELTRANO_SUBSYSTEM=%s", record.subsystem.c_str(),
                  "VELTRANO_CATEGORY=%s", record.category.c_str(), nullptr);
  const std::string line = std::string(toString(record.level)) + " [" + record.category + "] " + record.message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

Logger::Logger(std::string category, std::string subsystem)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::log(LogLevel level, std::string_view message) const {
  auto sink = loadSink();
  if (!sink) return;
  sink->write(LogRecord{level, subsystem_, category_, std::string(message)});
}

std::shared_ptr<LogSink> Logger::setSink(std::shared_ptr<LogSink> sink) {
  if (!sink) sink = std::make_shared<SystemLogSink>();
  std::lock_guard lock(sinkMutex);
  return std::exchange(currentSink(), std::move(sink));
}

}  // namespace veltrano
