#pragma once
// The BM25 weights, in the one order of operations that every user of them
// follows: the model's encoders and the search index compute the same
// doubles bit for bit because both call these.

#include <cmath>
#include <cstdint>

namespace vorn::typing::text {

// ln((N + 1) / (f + 0.5)); `frequency` is null for a key never seen, which
// weighs as one seen once. N + 1 is formed in 64 bits, so that a document
// count of INT32_MAX stays finite.
inline double inverse_frequency(std::int32_t doc_count, const std::int32_t* frequency) noexcept {
  const double denominator = frequency ? static_cast<double>(*frequency) + 0.5 : 1.5;
  const double numerator = static_cast<double>(static_cast<std::int64_t>(doc_count) + 1);
  return std::log(numerator / denominator);
}

// k1 · (1 − b + b · n / avgdl) for a document of `length` tokens.
inline double length_factor(double length, double average, double b, double k1) noexcept {
  return (length / average * b + (1.0 - b)) * k1;
}

// The saturated frequency of a token that occurs `count` times in a document
// with this length factor.
inline double term_weight(double count, double factor) noexcept { return count / (count + factor); }

// Divides every weight by their sum, the sum taken in the map's order.
template <class Weights>
void normalise(Weights& weights) noexcept {
  double sum = 0.0;
  for (const auto& entry : weights) sum += entry.second;
  for (auto& entry : weights) entry.second /= sum;
}

}  // namespace vorn::typing::text
