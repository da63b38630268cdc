#include "Log.hpp"

#include <systemd/sd-journal.h>

#include <cstdio>

namespace veltranocam {

void JournalLogger::error(const std::string& message) {
  sd_journal_send(
      "MESSAGE=%s", message.c_str(), "PRIORITY=3", "SYSLOG_IDENTIFIER=com_brackwood_VeltranoMac_Camera", nullptr);
  std::fprintf(stderr, "error %s\n", message.c_str());
}

}  // namespace veltranocam
