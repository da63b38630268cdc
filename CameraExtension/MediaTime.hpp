// Rational media time and its conversion to host-time nanoseconds.
#pragma once

#include <cstdint>

namespace veltranocam {

// A rational time (value / timescale seconds); invalid when it was never set
// or its timescale is not positive.
struct MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;
  bool valid = false;

  static constexpr MediaTime make(std::int64_t value, std::int32_t timescale) {
    return MediaTime{value, timescale, timescale > 0};
  }
  static constexpr MediaTime invalid() { return MediaTime{}; }

  // Valid and longer than zero seconds.
  constexpr bool isValidPositive() const { return valid && timescale > 0 && value > 0; }
  friend constexpr bool operator==(const MediaTime&, const MediaTime&) = default;
};

// Nanoseconds of `time`, rounded half away from zero; negative or invalid
// times become 0, and times past the 64-bit range saturate.
std::uint64_t hostTimeNanoseconds(MediaTime time);

}  // namespace veltranocam
