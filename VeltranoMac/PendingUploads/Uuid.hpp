// 128-bit identifiers (pending record ids, clip file names) in their
// canonical text form.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace veltrano {

// A 128-bit identifier in its canonical text form: 36 characters in
// 8-4-4-4-12 groups. Written in upper-case hexadecimal; read in either case.
class Uuid {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  constexpr Uuid() noexcept = default;
  constexpr explicit Uuid(const Bytes& bytes) noexcept : bytes_(bytes) {}

  // A random (version 4) identifier from the system's entropy source.
  static Uuid random();

  // nullopt unless `text` is exactly the canonical form (any case).
  static std::optional<Uuid> parse(std::string_view text) noexcept;

  // Upper-case canonical form.
  std::string string() const;

  const Bytes& bytes() const noexcept { return bytes_; }

  friend bool operator==(const Uuid&, const Uuid&) noexcept = default;
  friend auto operator<=>(const Uuid&, const Uuid&) noexcept = default;

 private:
  Bytes bytes_{};
};

}  // namespace veltrano

template <>
struct std::hash<veltrano::Uuid> {
  std::size_t operator()(const veltrano::Uuid& id) const noexcept {
    // The bytes are random already; folding them is enough.
    std::size_t h = 0;
    for (auto b : id.bytes()) h = h * 131 + b;
    return h;
  }
};
