#pragma once

#include <string>

namespace veltranocam {

// The program's one log channel: every message is an error-level line.
class Logger {
 public:
  virtual ~Logger() = default;
  virtual void error(const std::string& message) = 0;
};

// Writes to the journal (SYSLOG_IDENTIFIER=com_brackwood_VeltranoMac_Camera,
// PRIORITY=3) and, unless stderr is itself connected to the journal (as under
// the user unit), to stderr as "error <message>".
class JournalLogger final : public Logger {
 public:
  void error(const std::string& message) override;
};

}  // namespace veltranocam
