#include "bm25.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <type_traits>

#include "saturating.hpp"
#include "weights.hpp"

namespace vorn::typing::text {

namespace {

// Decimal text of an integer token without allocating (the longest, INT64_MIN, has 20 characters).
struct IntegerKey {
  std::array<char, 24> buffer;
  std::string_view text;
  explicit IntegerKey(std::int64_t value) noexcept {
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    text = std::string_view(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
  }
  IntegerKey(const IntegerKey&) = delete;  // `text` points into this object's own buffer
  IntegerKey& operator=(const IntegerKey&) = delete;
};

template <class Vector, class Counts>
Vector document_vector(const Counts& counts, double factor) {
  Vector out;
  for (const auto& entry : counts.sorted()) {
    // Tokens arrive in ascending order, so every insertion lands at the end.
    out.emplace_hint(out.end(), typename Vector::key_type(entry.key), 0.0)->second +=
        term_weight(static_cast<double>(entry.count), factor);
  }
  return out;
}

// Arena bytes that the key of a token may need in the model's table: the
// text of an integer beyond eight characters has at most 20.
std::size_t long_key_bytes(std::string_view token) { return TokenTable::arena_bytes(token); }
std::size_t long_key_bytes(std::int64_t token) noexcept {
  return token >= 100'000'000 || token <= -10'000'000 ? 20 : 0;
}

}  // namespace

std::string BM25::token_key(std::int64_t token) { return std::string(IntegerKey(token).text); }

TokenCounts<std::string_view> BM25::count_tokens(const std::vector<std::string>& tokens) const {
  TokenCounts<std::string_view> counts(tokens.size(), _doc_token_frequency.hash_key());
  for (const std::string& token : tokens) counts.add(token);
  return counts;
}

TokenCounts<std::int64_t> BM25::count_tokens(const std::vector<std::int64_t>& tokens) const {
  TokenCounts<std::int64_t> counts(tokens.size(), _doc_token_frequency.hash_key());
  for (const std::int64_t token : tokens) counts.add(token);
  return counts;
}

template <class Key>
void BM25::add_document(TokenCounts<Key>&& counts) {
  std::int64_t length = 0;
  std::size_t distinct = 0;
  const auto* tokens = counts.compact(distinct);
  // Every allocation comes first: once the table has room for all of the
  // document's tokens, nothing below can fail, so a document is either
  // trained whole or, when memory runs out, not at all.
  std::size_t fresh = distinct;
  std::size_t arena_bytes = 0;
  for (std::size_t i = 0; i < distinct; ++i) arena_bytes += long_key_bytes(tokens[i].key);
  if (!_doc_token_frequency.has_room(fresh, arena_bytes)) {
    // Only keys the table lacks need room. Counting them costs a lookup
    // each, so it is done only when the table would otherwise grow: a
    // document of known tokens must never double a nearly full table.
    fresh = arena_bytes = 0;
    const auto count_if_new = [&](std::string_view key, std::uint32_t hash) {
      if (_doc_token_frequency.find(key, hash) != nullptr) return;
      ++fresh;
      arena_bytes += long_key_bytes(key);
    };
    for (std::size_t i = 0; i < distinct; ++i) {
      if constexpr (std::is_same_v<Key, std::int64_t>) {
        const IntegerKey key(tokens[i].key);
        count_if_new(key.text, _doc_token_frequency.hash(key.text));
      } else {
        count_if_new(tokens[i].key, tokens[i].hash);
      }
    }
  }
  _doc_token_frequency.reserve(fresh, arena_bytes);
  // The model's table is large and its slots are visited in random order:
  // fetching a few slots ahead hides most of the cache misses.
  constexpr std::size_t kAhead = 8;
  for (std::size_t i = 0; i < distinct; ++i) {
    const auto& token = tokens[i];
    std::int32_t* entry = nullptr;
    if constexpr (std::is_same_v<Key, std::int64_t>) {
      entry = &_doc_token_frequency[IntegerKey(token.key).text];
    } else {
      if (i + kAhead < distinct) _doc_token_frequency.prefetch(tokens[i + kAhead].hash);
      entry = &_doc_token_frequency.find_or_insert(token.key, token.hash);
    }
    *entry = saturating_add(*entry, token.count);
    length += token.count;
  }
  _doc_count = saturating_add(_doc_count, std::int32_t{1});
  _doc_length_total = saturating_add(_doc_length_total, length);
  _doc_length_average = static_cast<double>(_doc_length_total) / static_cast<double>(_doc_count);
}

void BM25::train(const std::vector<std::string>& tokens) {
  if (tokens.empty()) throw std::runtime_error("trainning tokens_vec should not be empty");
  add_document(count_tokens(tokens));
}

void BM25::train(const std::vector<std::int64_t>& tokens) {
  if (tokens.empty()) throw std::runtime_error("trainning tokens_vec should not be empty");
  add_document(count_tokens(tokens));
}

void BM25::check_initialized() const {
  if (_doc_count == 0 || std::fabs(_doc_length_average - 0.0) < 1e-9) {
    throw std::runtime_error("BM25 has not been initialized");
  }
}

double BM25::token_idf(std::string_view key) const noexcept {
  return inverse_frequency(_doc_count, _doc_token_frequency.find(key));
}

double BM25::length_factor(std::size_t length) const noexcept {
  return text::length_factor(static_cast<double>(length), _doc_length_average, _b, _k1);
}

BM25::StringVector BM25::encode_document(const std::vector<std::string>& tokens) const {
  if (tokens.empty()) return {};
  check_initialized();
  return document_vector<StringVector>(count_tokens(tokens), length_factor(tokens.size()));
}

BM25::IntegerVector BM25::encode_document(const std::vector<std::int64_t>& tokens) const {
  if (tokens.empty()) return {};
  check_initialized();
  return document_vector<IntegerVector>(count_tokens(tokens), length_factor(tokens.size()));
}

BM25::StringVector BM25::encode_query(const std::vector<std::string>& tokens) const {
  if (tokens.empty()) return {};
  check_initialized();
  StringVector weights;
  for (const std::string& token : tokens) {
    double& weight = weights.try_emplace(token, 0.0).first->second;
    // A repeated token keeps the weight of its first occurrence.
    if (std::fabs(weight) < 1e-9) weight = token_idf(token);
  }
  normalise(weights);
  return weights;
}

BM25::IntegerVector BM25::encode_query(const std::vector<std::int64_t>& tokens) const {
  if (tokens.empty()) return {};
  check_initialized();
  IntegerVector weights;
  for (const std::int64_t token : tokens) {
    double& weight = weights.try_emplace(token, 0.0).first->second;
    if (std::fabs(weight) < 1e-9) weight = token_idf(IntegerKey(token).text);
  }
  normalise(weights);
  return weights;
}

}  // namespace vorn::typing::text
