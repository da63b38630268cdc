#include "support/VirtualClock.hpp"

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/prefer.hpp>

namespace veltrano::testing {

struct VirtualClock::Impl {
  struct Entry {
    asio::any_io_executor executor;
    asio::any_completion_handler<void(boost::system::error_code)> handler;
    asio::cancellation_slot slot;
  };
  using Key = std::pair<Duration, std::uint64_t>;

  const Duration* now = nullptr;
  std::uint64_t sequence = 0;
  std::map<Key, Entry> entries;

  static void complete(Entry entry, boost::system::error_code ec) {
    if (entry.slot.is_connected()) entry.slot.clear();
    asio::post(entry.executor, [handler = std::move(entry.handler), ec]() mutable { std::move(handler)(ec); });
  }
};

namespace {

Awaitable<void> virtualSleep(std::weak_ptr<VirtualClock::Impl> weak, Duration duration) {
  auto initiate = [weak, duration](auto handler) {
    auto executor = asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
    auto impl = weak.lock();
    if (!impl || duration <= Duration::zero()) {
      asio::post(executor, [handler = std::move(handler)]() mutable { std::move(handler)({}); });
      return;
    }
    auto slot = asio::get_associated_cancellation_slot(handler);
    VirtualClock::Impl::Key key{*impl->now + duration, impl->sequence++};
    impl->entries.emplace(key, VirtualClock::Impl::Entry{std::move(executor), std::move(handler), slot});
    if (slot.is_connected()) {
      slot.assign([weak, key](asio::cancellation_type) {
        auto impl = weak.lock();
        if (!impl) return;
        auto it = impl->entries.find(key);
        if (it == impl->entries.end()) return;
        auto entry = std::move(it->second);
        impl->entries.erase(it);
        entry.slot = {};  // the slot is running this very handler; leave it alone
        VirtualClock::Impl::complete(std::move(entry), asio::error::operation_aborted);
      });
    }
  };
  co_await asio::async_initiate<const asio::use_awaitable_t<>, void(boost::system::error_code)>(
      std::move(initiate), asio::use_awaitable);
}

}  // namespace

VirtualClock::VirtualClock(std::function<void()> drain) : impl_(std::make_shared<Impl>()), drain_(std::move(drain)) {
  impl_->now = &now_;
}

VirtualClock::~VirtualClock() {
  // Sleeps still pending are abandoned with their coroutines' executors.
  impl_->entries.clear();
}

SleepFunction VirtualClock::sleepFunction() {
  std::weak_ptr<Impl> weak = impl_;
  return [weak](Duration duration) { return virtualSleep(weak, duration); };
}

std::size_t VirtualClock::pendingSleeps() const noexcept {
  return impl_->entries.size();
}

std::vector<Duration> VirtualClock::pendingDeadlines() const {
  std::vector<Duration> deadlines;
  for (const auto& [key, entry] : impl_->entries) deadlines.push_back(key.first);
  return deadlines;
}

void VirtualClock::advance(Duration by) {
  const Duration target = now_ + by;
  while (!impl_->entries.empty() && impl_->entries.begin()->first.first <= target) {
    auto node = impl_->entries.extract(impl_->entries.begin());
    now_ = node.key().first;
    Impl::complete(std::move(node.mapped()), {});
    if (drain_) drain_();
  }
  now_ = target;
  if (drain_) drain_();
}

bool VirtualClock::advanceToNext() {
  if (impl_->entries.empty()) return false;
  advance(impl_->entries.begin()->first.first - now_);
  return true;
}

}  // namespace veltrano::testing
