#include "Runtime/WorkerThread.hpp"

namespace veltrano {

WorkerThread::WorkerThread() : guard_(io_.get_executor()), thread_([this] { io_.run(); }) {}

WorkerThread::~WorkerThread() {
  stop();
}

WorkerThread& WorkerThread::shared() {
  static auto* instance = new WorkerThread();  // actors outlive every static destructor
  return *instance;
}

void WorkerThread::stop() {
  guard_.reset();
  if (thread_.joinable()) thread_.join();
}

}  // namespace veltrano
