#pragma once
// What a LiveIndex guards with its lock: the vocabulary, the postings, the
// documents and the statistics, and the operations on them that its
// methods combine. Shared by the index's source files.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "array.hpp"
#include "bm25/weights.hpp"
#include "forward.hpp"
#include "key_table.hpp"
#include "live_index.hpp"
#include "postings.hpp"

namespace vorn::typing::text::search {

// Documents numbered before a rebuild must leave room for the postings'
// size field.
constexpr std::uint32_t kMaxNumbered = (1u << 30) - 1;

// The distinct words of a list with their counts, in byte order.
std::vector<std::pair<std::string_view, std::uint32_t>> counted(const std::vector<std::string>& words);

struct WordStatistics {
  std::uint32_t occurrences = 0;  // in live documents
  std::uint32_t documents = 0;    // live documents that hold the word
};

struct LiveIndex::State {
  // What the arrays that are views read (a snapshot mapped into memory),
  // kept until they are gone.
  std::shared_ptr<const void> mapping;
  KeyTable words;                          // word -> word number
  Array<WordStatistics> statistics;        // by word number
  PostingStore postings;                   // by word number
  KeyTable ids;                            // document id -> document number
  Array<std::uint32_t> lengths;            // words in each numbered document
  Array<std::uint64_t> alive;              // a bit per numbered document
  ForwardStore forward;                    // each numbered document's words
  std::uint64_t live = 0;                  // live documents
  std::uint64_t with_words = 0;            // live documents with words
  std::uint64_t total_length = 0;          // their words
  std::uint64_t unused_words = 0;          // words no live document holds

  bool is_alive(std::uint32_t document) const noexcept { return (alive[document >> 6] >> (document & 63)) & 1; }

  // Numbers and adds one document, whose id is not in the index; its
  // number. On failure nothing a reader can see has changed.
  std::uint32_t add(const Document& document);
  // The same with the document's distinct words and their counts (in any
  // order, each once) and its length.
  std::uint32_t add(std::string_view id, const std::vector<std::pair<std::string_view, std::uint32_t>>& distinct,
                    std::uint32_t length);
  // Takes a live document out, and puts a removed one back (its id not
  // taken meanwhile by a document still in the index).
  void remove(std::uint32_t document) noexcept;
  void revive(std::uint32_t document) noexcept;
  // Counts a document (its id already found) in the statistics, as live.
  void count_in(std::uint32_t document) noexcept;

  // The model's N and average length, as a BM25 trained on the live
  // documents would hold them (its counts stop at the 32-bit limit).
  std::int32_t doc_count() const noexcept {
    return static_cast<std::int32_t>(std::min<std::uint64_t>(with_words, std::numeric_limits<std::int32_t>::max()));
  }
  double average_length() const noexcept {
    const auto total = std::min<std::uint64_t>(total_length, std::numeric_limits<std::int64_t>::max());
    return static_cast<double>(static_cast<std::int64_t>(total)) / static_cast<double>(doc_count());
  }
  // Whether the weights are defined: the model's check_initialized.
  bool weighs() const noexcept { return doc_count() != 0 && average_length() >= 1e-9; }
  double idf(std::uint32_t word, Idf kind) const noexcept;
};

// What a write did, step by step, so that a failure part way can take it
// back, all of it or from a mark on; it takes back everything it holds
// unless committed.
class WriteJournal {
 public:
  explicit WriteJournal(LiveIndex::State& state) : state_(state) {}
  WriteJournal(const WriteJournal&) = delete;
  WriteJournal& operator=(const WriteJournal&) = delete;
  ~WriteJournal() {
    if (!done_) undo_to(0);
  }
  // Room for `more` steps, growing geometrically over the changes of one write.
  void reserve(std::size_t more) {
    if (steps_.capacity() - steps_.size() < more) steps_.reserve(std::max(steps_.size() + more, 2 * steps_.capacity()));
  }
  void added(std::uint32_t document) noexcept { steps_.push_back({document, true}); }
  void removed(std::uint32_t document) noexcept { steps_.push_back({document, false}); }
  std::size_t size() const noexcept { return steps_.size(); }
  void undo_to(std::size_t mark) noexcept {
    while (steps_.size() > mark) {
      const Step step = steps_.back();
      steps_.pop_back();
      if (step.added) {
        state_.remove(step.document);
      } else {
        state_.revive(step.document);
      }
    }
  }
  void commit() noexcept { done_ = true; }

 private:
  struct Step {
    std::uint32_t document;
    bool added;
  };
  LiveIndex::State& state_;
  std::vector<Step> steps_;
  bool done_ = false;
};

}  // namespace vorn::typing::text::search
