// The moment type of a pending record's "enqueuedAt": seconds since
// 2001-01-01 UTC, read back bit for bit.
#pragma once

#include <chrono>
#include <compare>
#include <optional>

namespace veltrano {

// A moment as seconds (with fraction) since 2001-01-01 00:00:00 UTC, the
// reference date of the stored file's "enqueuedAt"; earlier moments are
// negative. Held as that number so a stored value reads back bit for bit.
class ReferenceDate {
 public:
  // Unix time of the reference date.
  static constexpr std::chrono::seconds unixOffset{978307200};

  constexpr ReferenceDate() noexcept = default;

  // nullopt for NaN and infinities, which the file cannot hold.
  static std::optional<ReferenceDate> fromSecondsSinceReferenceDate(double seconds) noexcept;
  static ReferenceDate fromTimePoint(std::chrono::system_clock::time_point time) noexcept;
  static ReferenceDate now() noexcept { return fromTimePoint(std::chrono::system_clock::now()); }

  constexpr double secondsSinceReferenceDate() const noexcept { return seconds_; }
  // Saturates at the clock's range for moments it cannot represent.
  std::chrono::system_clock::time_point timePoint() const noexcept;

  friend bool operator==(const ReferenceDate&, const ReferenceDate&) noexcept = default;
  friend auto operator<=>(const ReferenceDate&, const ReferenceDate&) noexcept = default;

 private:
  constexpr explicit ReferenceDate(double seconds) noexcept : seconds_(seconds) {}
  double seconds_ = 0;
};

}  // namespace veltrano
