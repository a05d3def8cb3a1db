// Queries: the query vector, and exact top-k by block-max WAND.
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
#include <functional>
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
  const Array<std::uint32_t>& lengths_;
  double average_, b_, k1_;
};

struct Term {
  PostingStore::Reader reader;
  double weight;
  std::size_t order;  // place in the sum
  double bound;       // the most it adds to any score
  std::size_t block = kNoBlock;  // the block whose bound is at hand
  double block_bound = 0.0;

  static constexpr std::size_t kNoBlock = ~std::size_t{0};
  // The bound of the block that would hold `document` (0 past the list's end),
  // and that block's last document.
  double bound_at(std::uint32_t document, const Weigher& weigher, std::uint32_t& last) {
    const std::size_t at = reader.block_for(document);
    if (at >= reader.blocks()) return 0.0;
    if (at != block) {
      block = at;
      block_bound = weigher.most(weight, reader.bounds(at));
    }
    last = std::min(last, reader.bounds(at).last_document);
    return block_bound;
  }
};

struct Candidate {
  double key;  // the score, with NaN below everything
  std::uint32_t document;
  double score;
};

// A document's score from the (place in the sum, contribution) pairs of the
// query words it holds, added up in the query's order as the vectors' inner
// product adds them. Empties `held`.
double ordered_sum(std::vector<std::pair<std::size_t, double>>& held) {
  std::sort(held.begin(), held.end());
  double score = held.front().second;
  for (std::size_t i = 1; i < held.size(); ++i) score += held[i].second;
  held.clear();
  return score;
}

// Higher score first, then the document numbered first.
bool better(const Candidate& a, const Candidate& b) noexcept {
  return a.key > b.key || (a.key == b.key && a.document < b.document);
}

// A score that at least k documents reach, found before the walk: the
// walk goes through documents in the order they were numbered, and where
// the best come last (long documents added after many short ones) it would
// otherwise score nearly all of the long lists before its threshold rose.
// The documents of the rarest words are scored first, a few dozen of them,
// and the k-th best of those scores is where the walk's threshold starts.
double warm_threshold(const LiveIndex::State& state, const Weigher& weigher, const std::vector<QueryWord>& query,
                      std::size_t k) {
  constexpr std::size_t kCandidates = 64;
  constexpr std::uint32_t kLongList = 4096;  // below it a walk is short anyway
  std::vector<std::size_t> rarest;
  std::uint32_t longest = 0;
  for (std::size_t order = 0; order < query.size(); ++order) {
    if (query[order].number == KeyTable::kNone || state.postings.size(query[order].number) == 0) continue;
    rarest.push_back(order);
    longest = std::max(longest, state.postings.size(query[order].number));
  }
  const double none = -std::numeric_limits<double>::infinity();
  if (k > kCandidates / 2 || longest < kLongList) return none;
  std::sort(rarest.begin(), rarest.end(), [&](std::size_t a, std::size_t b) { return query[a].weight > query[b].weight; });
  std::vector<std::uint32_t> candidates;
  for (const std::size_t order : rarest) {
    if (candidates.size() >= kCandidates || !(query[order].weight > 0.0)) break;
    for (PostingStore::Reader reader(state.postings, query[order].number, state.lengths);
         reader.document() != kEndDocument && candidates.size() < kCandidates; reader.next()) {
      if (state.is_alive(reader.document())) candidates.push_back(reader.document());
    }
  }
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  if (candidates.size() < k) return none;
  std::vector<PostingStore::Reader> readers;
  for (const std::size_t order : rarest) readers.emplace_back(state.postings, query[order].number, state.lengths);
  std::vector<double> scores;
  std::vector<std::pair<std::size_t, double>> held;
  for (const std::uint32_t document : candidates) {
    const double factor = weigher.factor_of(document);
    for (std::size_t i = 0; i < readers.size(); ++i) {
      readers[i].seek(document);
      if (readers[i].document() == document) {
        held.emplace_back(rarest[i], query[rarest[i]].weight * Weigher::weight(readers[i].count(), factor));
      }
    }
    // Every candidate comes from one of the lists read here.
    const double score = ordered_sum(held);
    if (!std::isnan(score)) scores.push_back(score);
  }
  if (scores.size() < k) return none;
  std::nth_element(scores.begin(), scores.begin() + static_cast<long>(k - 1), scores.end(), std::greater<double>());
  return scores[k - 1];
}

// Block-max WAND: the terms in the order of their current documents; the
// pivot is the first term at which their bounds, added up in that order,
// reach the threshold (the k-th best score so far), since no document
// before the pivot's can reach it. Block bounds then let whole runs of
// documents go unscored.
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
    // The list's bound is that of its best block, often far below the
    // largest count with the shortest document of the list as one pair.
    double bound = 0.0;
    for (std::size_t block = 0; block < reader.blocks(); ++block) {
      bound = std::max(bound, weigher.most(word.weight, reader.bounds(block)));
    }
    terms.push_back({std::move(reader), word.weight, order, bound});
  }
  // Sums of the same contributions in another order differ by far less; a
  // query weight that is not finite turns pruning off.
  const double slack = finite ? 1e-9 * magnitude : std::numeric_limits<double>::infinity();
  // At least k documents score this much, so a document below it is out
  // even before k have been found.
  double threshold = finite ? warm_threshold(state, weigher, query, k) : -std::numeric_limits<double>::infinity();
  // The terms in the order of their current documents (a Term holds a
  // block's worth of postings: it is cheaper to sort pointers).
  std::vector<Term*> order;
  for (Term& term : terms) order.push_back(&term);
  const auto by_document = [](const Term* a, const Term* b) { return a->reader.document() < b->reader.document(); };
  const auto reorder = [&] { std::sort(order.begin(), order.end(), by_document); };
  reorder();

  std::vector<Candidate> best;  // a heap, the worst on top
  best.reserve(k + 1);
  const auto worst_first = [](const Candidate& a, const Candidate& b) { return better(a, b); };
  std::vector<std::pair<std::size_t, double>> held;  // (order, contribution) of the document at hand
  for (;;) {
    double reach = 0.0;
    std::size_t pivot = order.size();
    for (std::size_t p = 0; p < order.size(); ++p) {
      reach += order[p]->bound;
      if (!(reach + slack < threshold)) {
        pivot = p;
        break;
      }
    }
    if (pivot == order.size()) break;
    const std::uint32_t document = order[pivot]->reader.document();
    if (document == kEndDocument) break;
    // The pivot's terms and those at its document.
    std::size_t group = pivot + 1;
    while (group < order.size() && order[group]->reader.document() == document) ++group;
    if (threshold > -std::numeric_limits<double>::infinity()) {
      // They cannot lift any document beyond their blocks' bounds until the
      // first of those blocks ends, nor can the others before their next
      // document: when that is below the threshold, they all jump there.
      std::uint32_t last = kEndDocument - 1;
      double blocks = 0.0;
      for (std::size_t p = 0; p < group; ++p) blocks += order[p]->bound_at(document, weigher, last);
      if (blocks + slack < threshold) {
        std::uint32_t next = last + 1;
        if (group < order.size()) next = std::min(next, order[group]->reader.document());
        for (std::size_t p = 0; p < group; ++p) order[p]->reader.seek(next);
        reorder();
        continue;
      }
    }
    if (order[0]->reader.document() != document) {
      for (std::size_t p = 0; p < pivot; ++p) order[p]->reader.seek(document);
      reorder();
      continue;
    }
    if (state.is_alive(document)) {
      const double factor = weigher.factor_of(document);
      for (std::size_t p = 0; p < group; ++p) {
        held.emplace_back(order[p]->order, order[p]->weight * Weigher::weight(order[p]->reader.count(), factor));
      }
      const double score = ordered_sum(held);
      const Candidate candidate{std::isnan(score) ? -std::numeric_limits<double>::infinity() : score, document, score};
      if (best.size() < k) {
        best.push_back(candidate);
        std::push_heap(best.begin(), best.end(), worst_first);
      } else if (better(candidate, best.front())) {
        std::pop_heap(best.begin(), best.end(), worst_first);
        best.back() = candidate;
        std::push_heap(best.begin(), best.end(), worst_first);
      }
      if (best.size() == k) threshold = std::max(threshold, best.front().key);
    }
    for (std::size_t p = 0; p < group; ++p) order[p]->reader.next();
    reorder();
  }
  std::sort(best.begin(), best.end(), better);
  return best;
}

}  // namespace

std::vector<Hit> LiveIndex::search(const std::vector<std::string>& words, std::size_t k) const {
  std::shared_lock<RwLock> shared(lock_);
  const State& state = *state_;
  if (k == 0 || words.empty() || !state.weighs()) return {};
  // No more can be found than there are documents, and k sizes the heap.
  k = static_cast<std::size_t>(std::min<std::uint64_t>(k, state.live));
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
  const double factor = Weigher(state, parameters_).factor(static_cast<std::uint32_t>(words.size()));
  for (const auto& [word, count] : counted(words)) out.emplace_back(std::string(word), Weigher::weight(count, factor));
  return out;
}

}  // namespace vorn::typing::text::search
