#pragma once

#include "Runtime/Asio.hpp"

#include <boost/asio/executor_work_guard.hpp>

#include <cstddef>

namespace veltrano::testing {

// A single-threaded io_context that runs only when the test says so, so a
// test decides every interleaving. Strands made here share the one thread.
class ManualExecutor {
 public:
  ManualExecutor() : guard_(io_.get_executor()) {}

  asio::io_context& context() noexcept { return io_; }
  asio::io_context::executor_type executor() noexcept { return io_.get_executor(); }
  Strand makeStrand() { return asio::make_strand(io_.get_executor()); }

  // Runs ready handlers until none is left; returns how many ran.
  std::size_t runUntilIdle() {
    std::size_t total = 0;
    while (std::size_t ran = io_.poll()) total += ran;
    return total;
  }

  // Runs at most one ready handler.
  bool runOne() { return io_.poll_one() != 0; }

 private:
  asio::io_context io_;
  // Keeps poll() from stopping the context when it finds nothing to do.
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
};

}  // namespace veltrano::testing
