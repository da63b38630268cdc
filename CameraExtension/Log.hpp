// The camera program's logging interface; Linux/JournalLogger.hpp implements
// it on the systemd journal.
#pragma once

#include <string>

namespace veltranocam {

// The program's one log channel: every message is an error-level line.
class Logger {
 public:
  virtual ~Logger() = default;
  virtual void error(const std::string& message) = 0;
};

}  // namespace veltranocam
