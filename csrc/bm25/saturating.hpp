#pragma once
// Saturating arithmetic for the model's 32-bit counts. A count that would
// leave the 32-bit range sticks at its limit instead of wrapping (signed
// overflow is undefined behaviour, and a wrapped count would silently turn a
// frequent token into a negative one).

#include <cstdint>
#include <limits>

namespace vorn::typing::text {

constexpr std::int32_t saturating_add(std::int32_t a, std::int32_t b) noexcept {
  const std::int64_t sum = static_cast<std::int64_t>(a) + b;
  if (sum > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (sum < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(sum);
}

constexpr std::int64_t saturating_add(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  }
  return sum;
}

}  // namespace vorn::typing::text
