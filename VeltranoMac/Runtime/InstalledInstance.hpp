// The one instance of a type that a program's entry builds and installs for
// the process, reachable afterwards through the type's `shared()`.
#pragma once

#include <cerrno>  // program_invocation_short_name
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace veltrano {

// Entries install before anything asks; asking first is a wiring fault in
// that entry, so it aborts at once and names the program instead of
// handing out a default built somewhere else.
template <typename T>
class InstalledInstance {
 public:
  // The holder for T, named `name` in messages. Never destroyed: parts
  // still in use on other threads when static destructors run keep it.
  static InstalledInstance& of(const char* name) {
    static auto* const holder = new InstalledInstance(name);
    return *holder;
  }

  // Once per process; a second install is the same kind of fault.
  void install(std::shared_ptr<T> instance) {
    std::lock_guard lock(mutex_);
    if (instance_ || !instance) fail(instance_ ? "installed twice" : "installed as null");
    instance_ = std::move(instance);
  }

  const std::shared_ptr<T>& get() {
    std::lock_guard lock(mutex_);
    if (!instance_) fail("used before it was installed");
    return instance_;
  }

 private:
  explicit InstalledInstance(const char* name) : name_(name) {}

  [[noreturn]] void fail(const char* what) const {
    std::fprintf(stderr, "%s: %s::shared() %s; the program's entry (its main) must build it and call %s::install\n",
                 program_invocation_short_name, name_, what, name_);
    std::abort();
  }

  const char* name_;
  std::mutex mutex_;
  std::shared_ptr<T> instance_;
};

}  // namespace veltrano
