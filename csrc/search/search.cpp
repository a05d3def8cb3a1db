// Queries: the query vector, and exact top-k by MaxScore with block bounds.
//
// A document's score is the sum, in the byte order of the query's words, of
// query weight times document weight over the words it holds: the inner
// product a fresh index (or the module's vectors) gives, to the last bit.
// Pruning only decides which documents are scored; every score that counts
// is computed that one way. Bounds come from a block's largest count and
// shortest document, which bound its weights at any average length (a
// weight grows with the count and shrinks with the length, for b in [0, 1]
// and k1 >= 0), and are compared with room for the rounding of sums taken
// in another order.

#include <algorithm>
#include <cmath>
#include <limits>
#include <shared_mutex>
#include <string_view>

#include "live_index.hpp"
#include "state.hpp"

namespace vorn::typing::text::search {

namespace {

struct QueryWord {
  std::string_view text;
  std::uint32_t number;  // KeyTable::kNone for a word no document ever held
  double weight;
};

// The module's encode_query over the live documents' statistics: each
// distinct word's idf, divided by their sum, in byte order.
std::vector<QueryWord> query_of(const LiveIndex::State& state, const std::vector<std::string>& words, Idf idf) {
  std::vector<std::string_view> distinct(words.begin(), words.end());
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::vector<std::pair<std::string_view, double>> weights;
  std::vector<QueryWord> out;
  weights.reserve(distinct.size());
  out.reserve(distinct.size());
  for (const std::string_view word : distinct) {
    const std::uint32_t number = state.words.find(word);
    weights.emplace_back(word, state.idf(number, idf));
    out.push_back({word, number, 0.0});
  }
  normalise(weights);
  for (std::size_t i = 0; i < out.size(); ++i) out[i].weight = weights[i].second;
  return out;
}

class Weigher {
 public:
  Weigher(const LiveIndex::State& state, const Parameters& parameters)
      : lengths_(state.lengths), average_(state.average_length()), b_(parameters.b), k1_(parameters.k1) {}
  double factor(std::uint32_t length) const noexcept {
    return length_factor(static_cast<double>(length), average_, b_, k1_);
  }
  double factor_of(std::uint32_t document) const noexcept { return factor(lengths_[document]); }
  static double weight(std::uint32_t count, double factor) noexcept {
    return term_weight(static_cast<double>(count), factor);
  }
  // The most a run of postings with these bounds can add for a query weight.
  double most(double query_weight, const Bounds& bounds) const noexcept {
    return query_weight > 0.0 ? query_weight * weight(bounds.max_count, factor(bounds.min_length)) : 0.0;
  }

 private:
  const std::vector<std::uint32_t>& lengths_;
  double average_, b_, k1_;
};

struct Term {
  PostingStore::Reader reader;
  double weight;
  std::size_t order;  // place in the sum
  double bound;       // the most it adds to any score
};

struct Candidate {
  double key;  // the score, with NaN below everything
  std::uint32_t document;
  double score;
};

// Higher score first, then the document numbered first.
bool better(const Candidate& a, const Candidate& b) noexcept {
  return a.key > b.key || (a.key == b.key && a.document < b.document);
}

std::vector<Candidate> top_k(const LiveIndex::State& state, const Parameters& parameters,
                             const std::vector<QueryWord>& query, std::size_t k) {
  const Weigher weigher(state, parameters);
  std::vector<Term> terms;
  terms.reserve(query.size());
  double magnitude = 1.0;
  bool finite = true;
  for (std::size_t order = 0; order < query.size(); ++order) {
    const QueryWord& word = query[order];
    magnitude += std::fabs(word.weight);
    finite = finite && std::isfinite(word.weight);
    if (word.number == KeyTable::kNone || state.postings.size(word.number) == 0) continue;
    PostingStore::Reader reader(state.postings, word.number, state.lengths);
    const double bound = weigher.most(word.weight, reader.list_bounds());
    terms.push_back({std::move(reader), word.weight, order, bound});
  }
  // The words that can add least come first: the first of them are left out
  // of the search for candidates once they cannot lift a document above the
  // k-th score (MaxScore).
  std::sort(terms.begin(), terms.end(), [](const Term& a, const Term& b) { return a.bound < b.bound; });
  std::vector<double> prefix(terms.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < terms.size(); ++i) prefix[i] = sum += terms[i].bound;
  // Sums of the same contributions in another order differ by far less; a
  // query weight that is not finite turns pruning off.
  const double slack = finite ? 1e-9 * magnitude : std::numeric_limits<double>::infinity();

  std::vector<Candidate> best;  // a heap, the worst on top
  best.reserve(k + 1);
  const auto worst_first = [](const Candidate& a, const Candidate& b) { return better(a, b); };
  double threshold = -std::numeric_limits<double>::infinity();
  std::size_t essential = 0;
  std::vector<double> contribution(query.size());
  std::vector<char> holds(query.size(), 0);

  for (;;) {
    std::uint32_t document = kEndDocument;
    for (std::size_t i = essential; i < terms.size(); ++i) document = std::min(document, terms[i].reader.document());
    if (document == kEndDocument) break;
    const auto advance = [&] {
      for (std::size_t i = essential; i < terms.size(); ++i) {
        if (terms[i].reader.document() == document) terms[i].reader.next();
      }
    };
    if (!state.is_alive(document)) {
      advance();
      continue;
    }
    const double factor = weigher.factor_of(document);
    std::fill(holds.begin(), holds.end(), 0);
    double partial = 0.0;
    for (std::size_t i = essential; i < terms.size(); ++i) {
      Term& term = terms[i];
      if (term.reader.document() != document) continue;
      const double value = term.weight * Weigher::weight(term.reader.count(), factor);
      contribution[term.order] = value;
      holds[term.order] = 1;
      partial += value;
    }
    bool pruned = false;
    if (essential > 0) {
      pruned = partial + prefix[essential - 1] + slack < threshold;
      if (!pruned) {
        // Tighter: the bounds of the blocks that would hold the document.
        double blocks = 0.0;
        for (std::size_t i = 0; i < essential; ++i) {
          PostingStore::Reader& reader = terms[i].reader;
          const std::size_t block = reader.block_for(document);
          if (block < reader.blocks()) blocks += weigher.most(terms[i].weight, reader.bounds(block));
        }
        pruned = partial + blocks + slack < threshold;
      }
      for (std::size_t i = essential; i-- > 0 && !pruned;) {
        Term& term = terms[i];
        term.reader.seek(document);
        if (term.reader.document() == document) {
          const double value = term.weight * Weigher::weight(term.reader.count(), factor);
          contribution[term.order] = value;
          holds[term.order] = 1;
          partial += value;
        }
        pruned = partial + (i > 0 ? prefix[i - 1] : 0.0) + slack < threshold;
      }
    }
    if (!pruned) {
      double score = 0.0;
      bool first = true;
      for (std::size_t order = 0; order < query.size(); ++order) {
        if (!holds[order]) continue;
        score = first ? contribution[order] : score + contribution[order];
        first = false;
      }
      const Candidate candidate{std::isnan(score) ? -std::numeric_limits<double>::infinity() : score, document, score};
      if (best.size() < k) {
        best.push_back(candidate);
        std::push_heap(best.begin(), best.end(), worst_first);
      } else if (better(candidate, best.front())) {
        std::pop_heap(best.begin(), best.end(), worst_first);
        best.back() = candidate;
        std::push_heap(best.begin(), best.end(), worst_first);
      }
      if (best.size() == k) {
        threshold = best.front().key;
        while (essential < terms.size() && prefix[essential] + slack < threshold) ++essential;
      }
    }
    advance();
  }
  std::sort(best.begin(), best.end(), better);
  return best;
}

}  // namespace

std::vector<Hit> LiveIndex::search(const std::vector<std::string>& words, std::size_t k) const {
  std::shared_lock<RwLock> shared(lock_);
  const State& state = *state_;
  if (k == 0 || words.empty() || !state.weighs()) return {};
  const std::vector<Candidate> found = top_k(state, parameters_, query_of(state, words, parameters_.idf), k);
  std::vector<Hit> hits;
  hits.reserve(found.size());
  for (const Candidate& candidate : found) hits.push_back({std::string(state.ids.key(candidate.document)), candidate.score});
  return hits;
}

std::size_t LiveIndex::matches(const std::vector<std::string>& words) const {
  std::shared_lock<RwLock> shared(lock_);
  const State& state = *state_;
  std::vector<PostingStore::Reader> readers;
  for (const QueryWord& word : query_of(state, words, parameters_.idf)) {
    if (word.number != KeyTable::kNone) readers.emplace_back(state.postings, word.number, state.lengths);
  }
  std::size_t count = 0;
  for (;;) {
    std::uint32_t document = kEndDocument;
    for (const auto& reader : readers) document = std::min(document, reader.document());
    if (document == kEndDocument) return count;
    count += state.is_alive(document) ? 1 : 0;
    for (auto& reader : readers) {
      if (reader.document() == document) reader.next();
    }
  }
}

std::vector<std::pair<std::string, double>> LiveIndex::query_vector(const std::vector<std::string>& words) const {
  std::shared_lock<RwLock> shared(lock_);
  const State& state = *state_;
  std::vector<std::pair<std::string, double>> out;
  if (words.empty() || !state.weighs()) return out;
  for (const QueryWord& word : query_of(state, words, parameters_.idf)) out.emplace_back(word.text, word.weight);
  return out;
}

std::vector<std::pair<std::string, double>> LiveIndex::document_vector(const std::vector<std::string>& words) const {
  std::shared_lock<RwLock> shared(lock_);
  const State& state = *state_;
  std::vector<std::pair<std::string, double>> out;
  if (words.empty() || !state.weighs()) return out;
  std::vector<std::string_view> sorted(words.begin(), words.end());
  std::sort(sorted.begin(), sorted.end());
  const double factor = Weigher(state, parameters_).factor(static_cast<std::uint32_t>(words.size()));
  for (std::size_t i = 0; i < sorted.size();) {
    std::size_t j = i;
    while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
    out.emplace_back(std::string(sorted[i]), Weigher::weight(static_cast<std::uint32_t>(j - i), factor));
    i = j;
  }
  return out;
}

}  // namespace vorn::typing::text::search
