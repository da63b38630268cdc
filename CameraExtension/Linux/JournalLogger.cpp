#include "Linux/JournalLogger.hpp"

#include <sys/stat.h>
#include <systemd/sd-journal.h>

#include <cstdio>
#include <cstdlib>

namespace veltranocam {

namespace {

// Whether stderr already goes to the journal (systemd names that stream in
// JOURNAL_STREAM as "device:inode"); then a second copy would double every
// line.
bool stderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat info {};
  if (fstat(2, &info) != 0) return false;
  return info.st_dev == device && info.st_ino == inode;
}

}  // namespace

void JournalLogger::error(const std::string& message) {
  sd_journal_send(
      "MESSAGE=%s", message.c_str(), "PRIORITY=3", "SYSLOG_IDENTIFIER=com_brackwood_VeltranoMac_Camera", nullptr);
  static const bool duplicate = stderrIsJournal();
  if (!duplicate) std::fprintf(stderr, "error %s\n", message.c_str());
}

}  // namespace veltranocam
