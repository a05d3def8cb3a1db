// The model document: one JSON object with "_b", "_doc_count",
// "_doc_length_average", "_doc_token_frequency" (token key -> occurrence
// count) and "_k1". Token keys are written with the JSON escapes and decoded
// when read, so that every token survives a dump and load byte for byte.

#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "bm25.hpp"
#include "file_replace.hpp"
#include "json/json_value.hpp"

namespace vorn::typing::text {

namespace {

// The running length total that a loaded model continues from: the document
// count times the average length, rounded, kept within 64 bits.
std::int64_t length_total_of(std::int32_t doc_count, double average) {
  const double total = std::round(static_cast<double>(doc_count) * average);
  if (!(total > 0.0)) return 0;  // also NaN
  if (total >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(total);
}

}  // namespace

std::string BM25::document_text() const {
  return document_text(_b, _k1, _doc_count, _doc_length_average, _doc_token_frequency.sorted_entries());
}

std::string BM25::document_text(double b, double k1, std::int32_t doc_count, double average,
                                const std::vector<std::pair<std::string_view, std::int32_t>>& frequencies) {
  JsonValue root;
  JsonValue& members = root["_doc_token_frequency"];
  members = JsonValue(JsonKind::Object);
  for (const auto& [key, count] : frequencies) members[escape_json_text(key)] = count;
  root["_doc_count"] = doc_count;
  root["_doc_length_average"] = average;
  root["_b"] = b;
  root["_k1"] = k1;
  return root.serialize(1, "  ");
}

void BM25::write_document(const std::string& path, const std::string& text, const std::function<void()>& interrupted) {
  WriteHooks hooks;
  hooks.interrupted = interrupted;
  switch (replace_file_contents(path, text, hooks)) {
    case WriteOutcome::Written: return;
    case WriteOutcome::OpenFailed: throw std::runtime_error("Failed to dump: Unable to open file");
    case WriteOutcome::WriteFailed: throw std::runtime_error("Failed to dump: Unable to write file");
  }
}

void BM25::load(const std::string& json_text) {
  if (json_text.empty()) throw std::runtime_error("json data should not be empty");
  JsonValue root = JsonValue::parse(json_text);

  // Every member is read and checked, in the order and with the messages of
  // the file's members, before anything is applied: a document that fails
  // leaves the model as it was. Values that no dump writes (negative counts
  // or a negative or NaN average) would only give NaN weights later.
  bool ok = false;
  std::vector<std::pair<std::string, std::int32_t>> entries;
  std::size_t arena_bytes = 0;
  const JsonValue& frequencies = root["_doc_token_frequency"];
  if (frequencies.kind() == JsonKind::Object) {
    entries.reserve(frequencies.object_entries().size());
    for (const auto& [name, value] : frequencies.object_entries()) {
      const std::int32_t count = value.integer_value(ok);
      if (!ok || count < 0) throw std::runtime_error("load doc_token_frequency failed");
      entries.emplace_back(unescape_json_text(name), count);
      TokenTable::arena_bytes(entries.back().first);  // refuses a key the table cannot hold
    }
  }
  const std::int32_t doc_count = root["_doc_count"].integer_value(ok);
  if (!ok || doc_count < 0) throw std::runtime_error("load doc_count failed");
  const double average = root["_doc_length_average"].real_value(ok);
  if (!ok || !(average >= 0.0)) throw std::runtime_error("load doc_length_average failed");
  const double loaded_b = root["_b"].real_value(ok);
  if (!ok) throw std::runtime_error("load b failed");
  const double loaded_k1 = root["_k1"].real_value(ok);
  if (!ok) throw std::runtime_error("load k1 failed");

  // The last step that can fail; the updates after it cannot. Room is made
  // for the keys the table lacks, not for those a load overwrites.
  std::size_t fresh = 0;
  for (const auto& entry : entries) {
    if (_doc_token_frequency.find(entry.first) != nullptr) continue;
    ++fresh;
    arena_bytes += TokenTable::arena_bytes(entry.first);
  }
  _doc_token_frequency.reserve(fresh, arena_bytes);
  for (const auto& [key, count] : entries) _doc_token_frequency[key] = count;
  _doc_count = doc_count;
  _doc_length_average = average;
  _b = loaded_b;
  _k1 = loaded_k1;
  // Training after a load continues from the loaded documents' total length,
  // so that the average stays the average of all documents.
  _doc_length_total = length_total_of(_doc_count, _doc_length_average);
}

}  // namespace vorn::typing::text
