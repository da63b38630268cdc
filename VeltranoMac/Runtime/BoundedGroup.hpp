// forEachBounded: one coroutine per item, at most a given number at a time.
#pragma once

#include "Runtime/Asio.hpp"

#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cstddef>
#include <exception>
#include <memory>
#include <vector>

namespace veltrano {

namespace detail {

template <typename T, typename Body>
struct BoundedGroupState {
  std::vector<T> items;
  Body body;
  std::size_t next = 0;
  std::exception_ptr firstError;  // in completion order
};

template <typename T, typename Body>
Awaitable<void> boundedGroupWorker(std::shared_ptr<BoundedGroupState<T, Body>> state) {
  auto executor = co_await asio::this_coro::executor;
  while (state->next < state->items.size()) {
    // A child that swallowed the cancellation must still stop the group.
    auto cancellation = co_await asio::this_coro::cancellation_state;
    if (cancellation.cancelled() != asio::cancellation_type::none)
      throw boost::system::system_error(asio::error::operation_aborted);
    const std::size_t index = state->next++;
    // Each child runs as a coroutine of its own: the worker's cancellation
    // still reaches it, but whatever the child does with its own
    // cancellation state (clearing it to finish clean-up) stays its own, and
    // a failing child frees its slot for the next item instead of ending the
    // worker.
    try {
      co_await asio::co_spawn(executor, state->body(state->items[index]), asio::use_awaitable);
    } catch (...) {
      if (!state->firstError) state->firstError = std::current_exception();
    }
  }
}

}  // namespace detail

// Runs `body(item)` for every item with at most `limit` children at a time,
// all on the caller's executor, and returns when every started child has
// ended. Whenever a child ends, whatever its outcome, the next item starts;
// only cancelling the caller stops the group: it cancels the running
// children and starts no new one. The first child error (in completion
// order) is rethrown after all children have ended.
template <typename T, typename Body>
Awaitable<void> forEachBounded(std::vector<T> items, std::size_t limit, Body body) {
  if (items.empty() || limit == 0) co_return;
  auto executor = co_await asio::this_coro::executor;
  const std::size_t workers = std::min(limit, items.size());
  auto state = std::make_shared<detail::BoundedGroupState<T, Body>>(
      detail::BoundedGroupState<T, Body>{std::move(items), std::move(body), 0, nullptr});

  using Operation = decltype(asio::co_spawn(executor, detail::boundedGroupWorker(state), asio::deferred));
  std::vector<Operation> operations;
  operations.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i)
    operations.push_back(asio::co_spawn(executor, detail::boundedGroupWorker(state), asio::deferred));

  auto [order, errors] = co_await asio::experimental::make_parallel_group(std::move(operations))
                             .async_wait(asio::experimental::wait_for_all(), asio::use_awaitable);
  if (state->firstError) std::rethrow_exception(state->firstError);
  for (std::size_t index : order)
    if (errors[index]) std::rethrow_exception(errors[index]);
}

}  // namespace veltrano
