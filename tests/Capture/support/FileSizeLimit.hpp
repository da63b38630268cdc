#pragma once

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

namespace veltrano::testing {

// A file-size limit makes every write past it fail, as a full disk would;
// with SIGXFSZ ignored the write fails instead of killing the process.
struct FileSizeLimit {
  rlimit original{};
  void (*handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
  FileSizeLimit() { getrlimit(RLIMIT_FSIZE, &original); }
  ~FileSizeLimit() {
    set(original.rlim_cur);
    std::signal(SIGXFSZ, handler);
  }
  void set(rlim_t bytes) {
    rlimit limit{bytes, original.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  }
};

}  // namespace veltrano::testing
