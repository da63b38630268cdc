#include "PendingUploads/ReferenceDate.hpp"

#include <cmath>
#include <limits>

namespace veltrano {

std::optional<ReferenceDate> ReferenceDate::fromSecondsSinceReferenceDate(double seconds) noexcept {
  if (!std::isfinite(seconds)) return std::nullopt;
  return ReferenceDate(seconds);
}

ReferenceDate ReferenceDate::fromTimePoint(std::chrono::system_clock::time_point time) noexcept {
  using namespace std::chrono;
  // Subtract in integer ticks first so the fraction keeps full precision.
  const auto sinceReference = time.time_since_epoch() - duration_cast<system_clock::duration>(unixOffset);
  return ReferenceDate(duration<double>(sinceReference).count());
}

std::chrono::system_clock::time_point ReferenceDate::timePoint() const noexcept {
  using namespace std::chrono;
  using Rep = system_clock::rep;
  const double ticks =
      std::round((seconds_ + static_cast<double>(unixOffset.count())) * static_cast<double>(system_clock::period::den) /
                 static_cast<double>(system_clock::period::num));
  // 2^63 as a double; anything at or beyond it does not fit the tick count.
  constexpr double limit = 9223372036854775808.0;
  if (ticks >= limit) return system_clock::time_point::max();
  if (ticks < -limit) return system_clock::time_point::min();
  return system_clock::time_point(system_clock::duration(static_cast<Rep>(ticks)));
}

}  // namespace veltrano
