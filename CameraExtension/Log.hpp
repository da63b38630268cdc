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
// PRIORITY=3) and to stderr, which the user unit also sends to the journal
// when the journal socket is missing.
class JournalLogger final : public Logger {
 public:
  void error(const std::string& message) override;
};

}  // namespace veltranocam
