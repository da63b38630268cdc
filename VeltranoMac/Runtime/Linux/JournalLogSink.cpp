#include "Runtime/Linux/JournalLogSink.hpp"

#include <systemd/sd-journal.h>

#include <cstdio>
#include <utility>

namespace veltrano {

namespace {

int journalPriority(LogLevel level) {
  switch (level) {
    case LogLevel::debug: return 7;
    case LogLevel::info: return 6;
    case LogLevel::error: return 3;
  }
  return 6;
}

}  // namespace

JournalLogSink::JournalLogSink(std::string syslogIdentifier) : syslogIdentifier_(std::move(syslogIdentifier)) {}

void JournalLogSink::write(const LogRecord& record) {
  // Without a journal (containers, CI) sd_journal_send fails quietly; stderr
  // still has the line.
  sd_journal_send("MESSAGE=%s", record.message.c_str(), "PRIORITY=%d", journalPriority(record.level),
                  "SYSLOG_IDENTIFIER=%s", syslogIdentifier_.c_str(), "VELTRANO_SUBSYSTEM=%s", record.subsystem.c_str(),
                  "VELTRANO_CATEGORY=%s", record.category.c_str(), nullptr);
  const std::string line = std::string(toString(record.level)) + " [" + record.category + "] " + record.message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace veltrano
