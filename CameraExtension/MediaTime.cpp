#include "MediaTime.hpp"

#include <limits>

namespace veltranocam {

namespace {
// Wide enough for any 64-bit value times 10^9.
__extension__ typedef __int128 Wide;
}  // namespace

std::uint64_t hostTimeNanoseconds(MediaTime time) {
  if (!time.valid || time.timescale <= 0 || time.value <= 0) return 0;
  const Wide scaled = static_cast<Wide>(time.value) * 1'000'000'000;
  Wide quotient = scaled / time.timescale;
  const Wide remainder = scaled % time.timescale;
  if (2 * remainder >= time.timescale) ++quotient;
  if (quotient > static_cast<Wide>(std::numeric_limits<std::uint64_t>::max()))
    return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(quotient);
}

}  // namespace veltranocam
