// The log sink of the Linux programs: the systemd journal.
#pragma once

#include "Runtime/Logger.hpp"

#include <string>

namespace veltrano {

// The systemd journal (with the subsystem and category as fields) and a
// mirror line "<level> [<category>] <message>" on stderr.
class JournalLogSink final : public LogSink {
 public:
  explicit JournalLogSink(std::string syslogIdentifier = "VeltranoMac");
  void write(const LogRecord& record) override;

 private:
  std::string syslogIdentifier_;
};

}  // namespace veltrano
