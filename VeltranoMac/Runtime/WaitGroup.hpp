// A count of pieces of work still to finish and a way to await the moment
// none is left, from any executor.
#pragma once

#include "Runtime/Asio.hpp"

#include <boost/asio/any_completion_handler.hpp>

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace veltrano {

// Each `add()` hands out a ticket; the work it stands for is finished when
// the ticket is released (explicitly or by its destruction, whichever comes
// first). `wait()` resumes once no ticket is outstanding. Safe from any
// thread; waiters resume on their own executors.
class WaitGroup {
 public:
  class Ticket {
   public:
    Ticket() = default;
    Ticket(Ticket&& other) noexcept = default;
    Ticket& operator=(Ticket&& other) noexcept;
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    ~Ticket() { release(); }

    // Finishes this ticket's work; later calls do nothing.
    void release() noexcept;
    explicit operator bool() const noexcept { return state_ != nullptr; }

   private:
    friend class WaitGroup;
    struct State;
    explicit Ticket(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
  };

  WaitGroup();

  Ticket add();
  // Resumes once every ticket handed out so far and meanwhile is released.
  Awaitable<void> wait() const;
  std::size_t outstanding() const;

 private:
  std::shared_ptr<Ticket::State> state_;
};

}  // namespace veltrano
