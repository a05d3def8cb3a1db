#pragma once
// BM25 sparse encoder: learns corpus statistics from tokenised documents (one
// per `train` call) and turns documents and queries into sparse vectors whose
// inner product is a BM25-style relevance score. Knows nothing of Python.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "count_map.hpp"
#include "token_table.hpp"

namespace vorn::typing::text {

class BM25 {
 public:
  using StringVector = std::map<std::string, double>;
  using IntegerVector = std::map<std::int64_t, double>;

  BM25(double b, double k1) noexcept : _b(b), _k1(k1) {}

  double b() const noexcept { return _b; }
  void b(double value) noexcept { _b = value; }
  double k1() const noexcept { return _k1; }
  void k1(double value) noexcept { _k1 = value; }

  // Adds one document to the statistics. Throws std::runtime_error on an empty list.
  void train(const std::vector<std::string>& tokens);
  void train(const std::vector<std::int64_t>& tokens);

  // Saturated, length-normalised term frequency of each distinct token.
  StringVector encode_document(const std::vector<std::string>& tokens) const;
  IntegerVector encode_document(const std::vector<std::int64_t>& tokens) const;

  // Inverse document frequency of each distinct token, scaled to sum to 1.
  StringVector encode_query(const std::vector<std::string>& tokens) const;
  IntegerVector encode_query(const std::vector<std::int64_t>& tokens) const;

  // Writes the model document (JSON) to the file at `path`. A failure leaves
  // the previous file as it was. `interrupted` runs whenever a signal
  // interrupts a system call, before it is retried, and may throw to stop.
  void dump(const std::string& path, const std::function<void()>& interrupted = {}) const {
    write_document(path, document_text(), interrupted);
  }
  // The two halves of dump: the text, which reads the model, and its writing,
  // which does not (so that a caller may let other threads on in between).
  std::string document_text() const;
  // The model document of these parameters and statistics (token keys in
  // any order), as dump writes it.
  static std::string document_text(double b, double k1, std::int32_t doc_count, double average,
                                   const std::vector<std::pair<std::string_view, std::int32_t>>& frequencies);
  static void write_document(const std::string& path, const std::string& text,
                             const std::function<void()>& interrupted = {});
  // Copies the members of a model document, given as text, into this model.
  // Token entries are merged. A document that fails a check, or a load that
  // runs out of memory, leaves the model as it was.
  void load(const std::string& json_text);

  // The statistics key of an integer token: its signed decimal text, so 42
  // and "42" share one entry (a string token is its own key).
  static std::string token_key(std::int64_t token);

  // Occurrences of each distinct token of a list, hashed with the model table's key.
  TokenCounts<std::string_view> count_tokens(const std::vector<std::string>& tokens) const;
  TokenCounts<std::int64_t> count_tokens(const std::vector<std::int64_t>& tokens) const;

  std::int32_t doc_count() const noexcept { return _doc_count; }
  std::int64_t doc_length_total() const noexcept { return _doc_length_total; }
  double doc_length_average() const noexcept { return _doc_length_average; }
  const TokenTable& doc_token_frequency() const noexcept { return _doc_token_frequency; }

  // Throws std::runtime_error unless the model holds statistics.
  void check_initialized() const;
  // ln((N + 1) / (f + 0.5)), with f taken as 1 for a key never seen.
  double token_idf(std::string_view key) const noexcept;

 private:
  template <class Key>
  void add_document(TokenCounts<Key>&& counts);
  double length_factor(std::size_t length) const noexcept;

  double _b;
  double _k1;
  std::int32_t _doc_count = 0;
  std::int64_t _doc_length_total = 0;
  double _doc_length_average = 0.0;
  TokenTable _doc_token_frequency;
};

}  // namespace vorn::typing::text
