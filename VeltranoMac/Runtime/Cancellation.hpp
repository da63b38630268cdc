// Cancellation helpers for coroutines: taking a cancellation back for work
// that must still happen, and shielding a step from it.
#pragma once

#include "Runtime/Asio.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_state.hpp>

namespace veltrano {

// Work that must still happen after its task was cancelled.
//
// Once a task is cancelled, every later co_await of its coroutine throws
// operation_aborted before the awaited operation even starts, a store write
// or a clean-up step included. A coroutine with such work takes the
// cancellation back first, in one statement that never throws:
//
//   const bool cancelled = takeCancellation(co_await asio::this_coro::cancellation_state);
//   co_await store.remove(id);   // runs now
//   if (cancelled) co_return;    // and the coroutine stops as it was asked to
//
// The cancellation is cleared for the whole coroutine stack of the task
// (everything awaited directly, not through co_spawn), so the caller must
// act on the returned value itself. A later cancellation of the task still
// reaches the operation awaited at that time.
inline bool takeCancellation(asio::cancellation_state state) noexcept {
  const bool cancelled = state.cancelled() != asio::cancellation_type::none;
  state.clear();
  return cancelled;
}

// Whether the calling coroutine's task has been cancelled, without throwing:
//   if (isCancelled(co_await asio::this_coro::cancellation_state)) ...
inline bool isCancelled(const asio::cancellation_state& state) noexcept {
  return state.cancelled() != asio::cancellation_type::none;
}

// Runs `work` on `executor` to its end out of reach of the caller's
// cancellation (a cancellation requested meanwhile is remembered by the
// caller, whose next co_await throws as usual). For steps that must not be
// torn in half, such as a recorder's stop.
template <typename Executor, typename T>
Awaitable<T> runShielded(Executor executor, Awaitable<T> work) {
  co_return co_await asio::co_spawn(
      executor, std::move(work), asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable));
}

}  // namespace veltrano
