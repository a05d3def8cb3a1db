#include "live_index.hpp"

#include <algorithm>
#include <limits>
#include <shared_mutex>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "bm25/bm25.hpp"
#include "growth.hpp"
#include "state.hpp"

namespace vorn::typing::text::search {

std::vector<std::pair<std::string_view, std::uint32_t>> counted(const std::vector<std::string>& words) {
  std::vector<std::string_view> sorted(words.begin(), words.end());
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::pair<std::string_view, std::uint32_t>> out;
  for (const std::string_view word : sorted) {
    if (!out.empty() && out.back().first == word) {
      ++out.back().second;
    } else {
      out.emplace_back(word, 1);
    }
  }
  return out;
}

double LiveIndex::State::idf(std::uint32_t word, Idf kind) const noexcept {
  // A word no live document holds weighs as a model that never saw it.
  if (word == KeyTable::kNone || statistics[word].documents == 0) return inverse_frequency(doc_count(), nullptr);
  const std::uint32_t count = kind == Idf::Occurrences ? statistics[word].occurrences : statistics[word].documents;
  const auto frequency = static_cast<std::int32_t>(std::min<std::uint32_t>(count, std::numeric_limits<std::int32_t>::max()));
  return inverse_frequency(doc_count(), &frequency);
}

std::uint32_t LiveIndex::State::add(const Document& document) {
  if (document.words.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("a document of more than 4,294,967,295 words");
  }
  return add(document.id, counted(document.words), static_cast<std::uint32_t>(document.words.size()));
}

std::uint32_t LiveIndex::State::add(std::string_view id, const std::vector<std::pair<std::string_view, std::uint32_t>>& distinct,
                                    std::uint32_t length) {
  if (ids.numbered() >= kMaxNumbered) throw std::length_error("more documents than an index can number");
  // Word numbers, those of new words as they will be given.
  std::vector<WordCount> entries;
  entries.reserve(distinct.size());
  std::vector<std::string_view> fresh;
  std::size_t fresh_bytes = 0;
  for (const auto& [word, count] : distinct) {
    std::uint32_t number = words.find(word);
    if (number == KeyTable::kNone) {
      number = words.numbered() + static_cast<std::uint32_t>(fresh.size());
      fresh.push_back(word);
      fresh_bytes += word.size();
    } else if (statistics[number].occurrences > std::numeric_limits<std::uint32_t>::max() - count) {
      throw std::overflow_error("a word occurs more than 4,294,967,295 times");
    }
    entries.push_back({number, count});
  }
  std::sort(entries.begin(), entries.end(), [](const WordCount& a, const WordCount& b) { return a.word < b.word; });

  // Room for everything first; then the forward entry, the last step before
  // the document has a number that may fail.
  words.reserve(fresh.size(), fresh_bytes);
  const std::size_t word_count = std::size_t{words.numbered()} + fresh.size();
  make_room(statistics, word_count);
  postings.reserve(static_cast<std::uint32_t>(word_count));
  ids.reserve(1, id.size());
  make_room(lengths, lengths.size() + 1);
  make_room(alive, lengths.size() / 64 + 1);
  forward.append(entries);

  for (const std::string_view word : fresh) words.add(word);
  unused_words += fresh.size();
  statistics.resize(word_count);
  postings.resize(static_cast<std::uint32_t>(word_count));
  const std::uint32_t number = ids.add(id);
  lengths.push_back(length);
  if (alive.size() <= number / 64) alive.push_back(0);
  try {
    for (const WordCount& entry : entries) postings.append(entry.word, number, entry.count, lengths);
  } catch (...) {
    // The number stays taken, by a document that is not live; its postings
    // so far are skipped like those of any removed document.
    ids.remove(number);
    throw;
  }
  count_in(number);
  return number;
}

void LiveIndex::State::remove(std::uint32_t document) noexcept {
  forward.for_each(document, [&](std::uint32_t word, std::uint32_t count) {
    WordStatistics& entry = statistics[word];
    entry.occurrences -= count;
    if (--entry.documents == 0) ++unused_words;
  });
  alive[document >> 6] &= ~(std::uint64_t{1} << (document & 63));
  --live;
  if (lengths[document] > 0) {
    --with_words;
    total_length -= lengths[document];
  }
  ids.remove(document);
}

void LiveIndex::State::revive(std::uint32_t document) noexcept {
  count_in(document);
  ids.restore(document);
}

void LiveIndex::State::count_in(std::uint32_t document) noexcept {
  forward.for_each(document, [&](std::uint32_t word, std::uint32_t count) {
    WordStatistics& entry = statistics[word];
    entry.occurrences += count;
    if (entry.documents++ == 0) --unused_words;
  });
  alive[document >> 6] |= std::uint64_t{1} << (document & 63);
  ++live;
  if (lengths[document] > 0) {
    ++with_words;
    total_length += lengths[document];
  }
}

// --- LiveIndex -------------------------------------------------------------------------------------

LiveIndex::LiveIndex(Parameters parameters) : LiveIndex(parameters, std::make_unique<State>()) {}

LiveIndex::LiveIndex(Parameters parameters, std::unique_ptr<State> state)
    : parameters_(parameters), state_(std::move(state)) {
  if (!(parameters_.b >= 0.0 && parameters_.b <= 1.0)) throw std::domain_error("b must lie in [0, 1]");
  if (!(parameters_.k1 >= 0.0 && parameters_.k1 <= std::numeric_limits<double>::max())) {
    throw std::domain_error("k1 must be a finite number of at least 0");
  }
}

LiveIndex::~LiveIndex() = default;

void LiveIndex::add(const std::vector<Document>& documents) { apply({Change{Change::Kind::Add, documents, {}}}); }

void LiveIndex::update(const std::vector<Document>& documents) { apply({Change{Change::Kind::Update, documents, {}}}); }

void LiveIndex::remove(const std::vector<std::string>& ids) { apply({Change{Change::Kind::Remove, {}, ids}}); }

namespace {

// A run of a change's documents.
struct Documents {
  const Document* first;
  const Document* last;
  const Document* begin() const noexcept { return first; }
  const Document* end() const noexcept { return last; }
  std::size_t size() const noexcept { return static_cast<std::size_t>(last - first); }
};

void add_new(LiveIndex::State& state, WriteJournal& journal, Documents documents) {
  std::vector<std::string_view> seen;
  seen.reserve(documents.size());
  for (const Document& document : documents) {
    if (state.ids.find(document.id) != KeyTable::kNone) throw IdError(document.id, true);
    seen.push_back(document.id);
  }
  std::sort(seen.begin(), seen.end());
  const auto twice = std::adjacent_find(seen.begin(), seen.end());
  if (twice != seen.end()) throw IdError(std::string(*twice), true);
  journal.reserve(documents.size());
  for (const Document& document : documents) journal.added(state.add(document));
}

void add_or_replace(LiveIndex::State& state, WriteJournal& journal, Documents documents) {
  journal.reserve(2 * documents.size());
  for (const Document& document : documents) {
    const std::uint32_t old = state.ids.find(document.id);
    if (old != KeyTable::kNone) {
      state.remove(old);
      journal.removed(old);
    }
    journal.added(state.add(document));
  }
}

void remove_ids(LiveIndex::State& state, WriteJournal& journal, const std::vector<std::string>& ids) {
  std::vector<std::uint32_t> numbers;
  numbers.reserve(ids.size());
  for (const std::string& id : ids) {
    const std::uint32_t number = state.ids.find(id);
    if (number == KeyTable::kNone) throw IdError(id, false);
    numbers.push_back(number);
  }
  // An id given twice is removed once.
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  journal.reserve(numbers.size());
  for (const std::uint32_t number : numbers) {
    state.remove(number);
    journal.removed(number);
  }
}

}  // namespace

void LiveIndex::apply(const std::vector<Change>& changes) {
  Session session(*this);
  session.apply(changes);
  session.commit();
}

LiveIndex::Session::Session(LiveIndex& index) : index_(index) {
  // A write from the thread that holds a session (a progress callback of
  // its caller, say) would wait for itself.
  if (index.session_thread_.load() == std::this_thread::get_id()) {
    throw std::logic_error("a write of this index while the same thread's longer write is under way");
  }
  writer_ = std::unique_lock<Mutex>(index.writing_);
  index.session_thread_.store(std::this_thread::get_id());
  journal_ = std::make_unique<WriteJournal>(*index.state_);
}

LiveIndex::Session::~Session() { end(false); }

void LiveIndex::Session::apply(const std::vector<Change>& changes, std::size_t piece) {
  if (!journal_) throw std::logic_error("the write is over");
  State& state = *index_.state_;
  const std::size_t mark = journal_->size();
  try {
    std::unique_lock<RwLock> exclusive(index_.lock_);
    for (const Change& change : changes) {
      if (change.kind == Change::Kind::Remove) {
        remove_ids(state, *journal_, change.ids);
        continue;
      }
      const Document* const first = change.documents.data();
      const std::size_t size = change.documents.size();
      const std::size_t step = piece == 0 ? std::max<std::size_t>(size, 1) : piece;
      for (std::size_t at = 0; at < size; at += step) {
        if (at > 0) {
          // Searches waiting for this write get in between its pieces.
          exclusive.unlock();
          exclusive.lock();
        }
        const Documents run{first + at, first + std::min(size, at + step)};
        if (change.kind == Change::Kind::Add) {
          add_new(state, *journal_, run);
        } else {
          add_or_replace(state, *journal_, run);
        }
      }
    }
  } catch (...) {
    std::unique_lock<RwLock> exclusive(index_.lock_);
    journal_->undo_to(mark);
    throw;
  }
}

void LiveIndex::Session::commit() { end(true); }

void LiveIndex::Session::abandon() noexcept { end(false); }

void LiveIndex::Session::end(bool keep) noexcept {
  if (!journal_) return;
  if (keep) {
    journal_->commit();
    journal_.reset();
  } else {
    std::unique_lock<RwLock> exclusive(index_.lock_);
    journal_.reset();  // takes back every step
  }
  index_.session_thread_.store(std::thread::id());
  writer_.unlock();
  try {
    index_.compact_if_worth_it();
  } catch (...) {
    // The rebuild is only worth having: the index is whole without it, and
    // the next write tries again.
  }
}

std::size_t LiveIndex::size() const {
  std::shared_lock<RwLock> shared(lock_);
  return state_->live;
}

bool LiveIndex::contains(std::string_view id) const {
  std::shared_lock<RwLock> shared(lock_);
  return state_->ids.find(id) != KeyTable::kNone;
}

Statistics LiveIndex::statistics() const {
  std::shared_lock<RwLock> shared(lock_);
  const State& state = *state_;
  Statistics out;
  out.documents = state.live;
  out.with_words = state.with_words;
  out.total_length = state.total_length;
  out.words = state.words.numbered() - state.unused_words;
  out.numbered = state.ids.numbered();
  out.memory = state.words.memory() + state.statistics.capacity() * sizeof(WordStatistics) + state.postings.memory() +
               state.ids.memory() + state.lengths.capacity() * 4 + state.alive.capacity() * 8 + state.forward.memory();
  return out;
}

std::string LiveIndex::model_document() const {
  std::shared_lock<RwLock> shared(lock_);
  const State& state = *state_;
  std::vector<std::pair<std::string_view, std::int32_t>> frequencies;
  frequencies.reserve(state.words.numbered() - state.unused_words);
  for (std::uint32_t word = 0; word < state.words.numbered(); ++word) {
    const std::uint32_t occurrences = state.statistics[word].occurrences;
    if (state.statistics[word].documents == 0) continue;
    frequencies.emplace_back(state.words.key(word), static_cast<std::int32_t>(std::min<std::uint32_t>(
                                                        occurrences, std::numeric_limits<std::int32_t>::max())));
  }
  const double average = state.with_words == 0 ? 0.0 : state.average_length();
  return BM25::document_text(parameters_.b, parameters_.k1, state.doc_count(), average, frequencies);
}

std::pair<std::vector<Document>, LiveIndex::Place> LiveIndex::documents(Place from, std::size_t count) const {
  std::shared_lock<RwLock> shared(lock_);
  if (from.number != 0 && from.rebuilds != rebuilds_) throw Rebuilt();
  const State& state = *state_;
  std::vector<Document> out;
  std::uint32_t number = from.number;
  for (; number < state.ids.numbered() && out.size() < count; ++number) {
    if (!state.is_alive(number)) continue;
    Document document{std::string(state.ids.key(number)), {}};
    document.words.reserve(state.lengths[number]);
    state.forward.for_each(number, [&](std::uint32_t word, std::uint32_t occurrences) {
      document.words.insert(document.words.end(), occurrences, std::string(state.words.key(word)));
    });
    out.push_back(std::move(document));
  }
  return {std::move(out), Place{number, rebuilds_}};
}

// --- Rebuilding ------------------------------------------------------------------------------------

void LiveIndex::compact_if_worth_it() {
  bool worth_it = false;
  {
    std::shared_lock<RwLock> shared(lock_);
    const State& state = *state_;
    const std::uint64_t removed = state.ids.numbered() - state.live;
    worth_it = (removed >= 16384 && removed > state.live) ||
               (state.unused_words >= 65536 && state.unused_words * 2 > state.words.numbered()) ||
               (removed > 0 && state.ids.numbered() >= kMaxNumbered - 65536);
  }
  if (worth_it) compact();
}

void LiveIndex::compact() {
  std::lock_guard<Mutex> writer(writing_);
  std::unique_ptr<State> fresh = std::make_unique<State>();
  {
    // No other write runs meanwhile, so reading beside the searches is safe.
    std::shared_lock<RwLock> shared(lock_);
    const State& old = *state_;
    std::vector<std::pair<std::string_view, std::uint32_t>> distinct;
    for (std::uint32_t number = 0; number < old.ids.numbered(); ++number) {
      if (!old.is_alive(number)) continue;
      distinct.clear();
      old.forward.for_each(number, [&](std::uint32_t word, std::uint32_t count) {
        distinct.emplace_back(old.words.key(word), count);
      });
      fresh->add(old.ids.key(number), distinct, old.lengths[number]);
    }
  }
  std::unique_lock<RwLock> exclusive(lock_);
  state_.swap(fresh);
  ++rebuilds_;
}

// --- Forking ---------------------------------------------------------------------------------------

void LiveIndex::prepare_fork() {
  while (!try_prepare_fork()) wait_for_writer();
}

bool LiveIndex::try_prepare_fork() {
  if (session_thread_.load() != std::this_thread::get_id() && !writing_.try_lock()) return false;
  lock_.lock();
  return true;
}

void LiveIndex::wait_for_writer() { std::lock_guard<Mutex> writer(writing_); }

void LiveIndex::after_fork_parent() noexcept {
  lock_.unlock();
  if (session_thread_.load() != std::this_thread::get_id()) writing_.unlock();
}

// The child's only thread is the one that forked, holding both locks as
// copies that cannot be unlocked here (see rw_lock.hpp); the writer's mutex
// stays when it is this thread's own session's, which unlocks it.
void LiveIndex::after_fork_child() {
  lock_.renew_in_child();
  if (session_thread_.load() != std::this_thread::get_id()) writing_.renew_in_child();
}

}  // namespace vorn::typing::text::search
