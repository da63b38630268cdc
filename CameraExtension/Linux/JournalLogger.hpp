// The camera program's logger on the systemd journal.
#pragma once

#include "Log.hpp"

#include <string>

namespace veltranocam {

// Writes to the journal (SYSLOG_IDENTIFIER=com_brackwood_VeltranoMac_Camera,
// PRIORITY=3) and, unless stderr is itself connected to the journal (as under
// the user unit), to stderr as "error <message>".
class JournalLogger final : public Logger {
 public:
  void error(const std::string& message) override;
};

}  // namespace veltranocam
