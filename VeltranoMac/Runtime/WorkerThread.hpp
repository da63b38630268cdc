// The worker thread: the io_context every actor but the main one runs on.
#pragma once

#include "Runtime/Asio.hpp"

#include <boost/asio/executor_work_guard.hpp>

#include <optional>
#include <thread>

namespace veltrano {

// The worker io_context on which every actor but the main one lives (each
// as a strand), run by one thread until stop().
class WorkerThread {
 public:
  WorkerThread();
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  asio::io_context& context() noexcept { return io_; }
  Strand makeStrand() { return asio::make_strand(io_.get_executor()); }

  // Lets queued work finish, then joins the thread. Idempotent.
  void stop();

 private:
  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard_;
  std::thread thread_;
};

}  // namespace veltrano
