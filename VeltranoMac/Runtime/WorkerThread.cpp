#include "Runtime/WorkerThread.hpp"

namespace veltrano {

WorkerThread::WorkerThread() : guard_(io_.get_executor()), thread_([this] { io_.run(); }) {}

WorkerThread::~WorkerThread() {
  stop();
}

void WorkerThread::stop() {
  guard_.reset();
  if (thread_.joinable()) thread_.join();
}

}  // namespace veltrano
