// The main actor: an Asio executor whose work runs on the GLib main context.
#pragma once

#include "Runtime/Asio.hpp"

#include <boost/asio/execution.hpp>
#include <boost/asio/execution_context.hpp>

#include <atomic>
#include <memory>
#include <type_traits>
#include <utility>

// GLib's own tag name, declared here so this header needs no glib.h.
typedef struct _GMainContext GMainContext;  // NOLINT(bugprone-reserved-identifier)

namespace veltrano {

class MainExecutor;

// The main actor: work posted here runs on whichever thread iterates the
// GLib main context (the GTK thread in the app, the test thread in tests).
class MainContext : public asio::execution_context {
 public:
  // Takes a reference to `context`; nullptr means the global default context.
  explicit MainContext(GMainContext* context = nullptr);
  ~MainContext();
  MainContext(const MainContext&) = delete;
  MainContext& operator=(const MainContext&) = delete;

  // The process-wide main actor over the default GLib context.
  static MainContext& shared();

  GMainContext* native() const noexcept { return context_; }
  MainExecutor get_executor() noexcept;

  // True on the thread that currently owns (iterates) the context.
  bool isCurrentThread() const;

 private:
  GMainContext* context_;
};

class MainExecutor {
 public:
  explicit MainExecutor(MainContext& context) noexcept : context_(&context) {}

  MainContext& query(asio::execution::context_t) const noexcept { return *context_; }
  static constexpr asio::execution::blocking_t query(asio::execution::blocking_t) noexcept {
    return asio::execution::blocking.never;
  }
  MainExecutor require(asio::execution::blocking_t::never_t) const noexcept { return *this; }

  template <typename F>
  void execute(F&& f) const {
    using Fn = std::decay_t<F>;
    struct Holder final : Work {
      explicit Holder(F&& fn) : fn(std::forward<F>(fn)) {}
      void run() override { std::move(fn)(); }
      Fn fn;
    };
    post(std::make_unique<Holder>(std::forward<F>(f)));
  }

  friend bool operator==(const MainExecutor& a, const MainExecutor& b) noexcept { return a.context_ == b.context_; }
  friend bool operator!=(const MainExecutor& a, const MainExecutor& b) noexcept { return !(a == b); }

 private:
  struct Work {
    virtual ~Work() = default;
    virtual void run() = 0;
    // GLib hands the work across threads with futex-based locks that
    // ThreadSanitizer cannot see; this release/acquire pair states the
    // hand-off it would otherwise miss. Costs one atomic per post.
    std::atomic<bool> published{false};
  };
  // Always through an idle source: g_main_context_invoke may run the work
  // inline on the calling thread, which would break the actor's isolation.
  void post(std::unique_ptr<Work> work) const;

  MainContext* context_;
};

inline MainExecutor MainContext::get_executor() noexcept {
  return MainExecutor(*this);
}

static_assert(asio::execution::is_executor<MainExecutor>::value);

}  // namespace veltrano
