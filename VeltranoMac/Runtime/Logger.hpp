// Logging: a logger per component, writing records to the process's one sink.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace veltrano {

enum class LogLevel { debug, info, error };

std::string_view toString(LogLevel level) noexcept;

struct LogRecord {
  LogLevel level;
  std::string subsystem;
  std::string category;
  std::string message;
};

// Where log records go. The process has one current sink; tests swap in a
// capturing one.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(const LogRecord& record) = 0;
};

inline constexpr std::string_view kLogSubsystem = "com.brackwood.VeltranoMac";

// One logger per component, named by its category ("AnswerRecording",
// "AnswerVideoUpload", "PendingUploads", "EnterAnswerPayload", ...).
// Cheap to copy; safe from any thread.
class Logger {
 public:
  explicit Logger(std::string category, std::string subsystem = std::string(kLogSubsystem));

  void debug(std::string_view message) const { log(LogLevel::debug, message); }
  void info(std::string_view message) const { log(LogLevel::info, message); }
  void error(std::string_view message) const { log(LogLevel::error, message); }
  void log(LogLevel level, std::string_view message) const;

  const std::string& category() const noexcept { return category_; }

  // Replaces the process's sink; nullptr restores the system's (the
  // journal, JournalLogSink). Returns the previous one.
  static std::shared_ptr<LogSink> setSink(std::shared_ptr<LogSink> sink);

 private:
  std::string subsystem_;
  std::string category_;
};

}  // namespace veltrano
