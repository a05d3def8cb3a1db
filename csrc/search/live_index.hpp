#pragma once
// An inverted index that takes new, replaced and removed documents while it
// is searched. Its statistics are those of the documents live at that
// moment, kept exactly (a removal takes back what the addition added), and
// every score is, bit for bit, the inner product of the BM25 query and
// document vectors that a model trained on just those documents would give.
// Top-k search prunes with block bounds that hold for any average length,
// and returns what scoring every document would.
//
// Documents are given as their words; ids are byte strings. Any number of
// threads may search while one writes: each call sees the index before or
// after each write, never in between. Knows nothing of Python.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "rw_lock.hpp"

namespace vorn::typing::text::search {

enum class Idf {
  Occurrences,  // the module's own: how often a word occurs in all documents
  Documents,    // how many documents hold the word: never negative
};

struct Parameters {
  double b = 0.75;
  double k1 = 1.2;
  Idf idf = Idf::Documents;
};

struct Document {
  std::string id;
  std::vector<std::string> words;
};

// One write of several: documents added (ids new), documents added or
// replaced (update), or documents removed by id.
struct Change {
  enum class Kind { Add, Update, Remove };
  Kind kind = Kind::Add;
  std::vector<Document> documents;  // Add and Update
  std::vector<std::string> ids;     // Remove
};

struct Hit {
  std::string id;
  double score;
};

struct Statistics {
  std::uint64_t documents = 0;       // live documents
  std::uint64_t with_words = 0;      // of which hold at least one word: the N of the weights
  std::uint64_t total_length = 0;    // words in those documents
  std::uint64_t words = 0;           // distinct words in them
  std::uint64_t numbered = 0;        // documents numbered since the last rebuild, removed ones included
  std::size_t memory = 0;            // bytes held by the index's structures
};

// A document id that is (or is not) in the index when the call wants the opposite.
class IdError : public std::invalid_argument {
 public:
  IdError(std::string id, bool present)
      : std::invalid_argument(present ? "document id already in the index" : "document id not in the index"),
        id_(std::move(id)), present_(present) {}
  const std::string& id() const noexcept { return id_; }
  bool present() const noexcept { return present_; }

 private:
  std::string id_;
  bool present_;
};

class WriteJournal;

// A reading of the documents page by page that a rebuild came in the middle of.
class Rebuilt : public std::runtime_error {
 public:
  Rebuilt() : std::runtime_error("the index was rebuilt while its documents were read page by page; read them again") {}
};

class LiveIndex {
 public:
  explicit LiveIndex(Parameters parameters);
  ~LiveIndex();
  LiveIndex(const LiveIndex&) = delete;
  LiveIndex& operator=(const LiveIndex&) = delete;

  const Parameters& parameters() const noexcept { return parameters_; }

  // Adds documents whose ids are new and distinct; IdError otherwise. All or
  // nothing: on any failure the index is as it was.
  void add(const std::vector<Document>& documents);
  // Adds each document, or replaces the one of its id (in order, so a later
  // one of the same id wins). All or nothing.
  void update(const std::vector<Document>& documents);
  // Removes the documents of these ids (an id given twice, once); IdError,
  // with nothing removed, when one is not in the index.
  void remove(const std::vector<std::string>& ids);
  // The changes in order, as one write: all or nothing, and searches see
  // none of them or all. Each is checked against the index as the ones
  // before it left it.
  void apply(const std::vector<Change>& changes);

  // One write handed over in pieces (add_many's chunks): other writers wait
  // until it ends, and unless committed it takes back every piece. Each
  // piece is all or nothing; searches see the pieces as they are applied.
  // It belongs to the thread that began it.
  class Session {
   public:
    explicit Session(LiveIndex& index);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    // With `piece`, searches may also get in between runs of that many
    // documents of a change, so that none waits for a long one.
    void apply(const std::vector<Change>& changes, std::size_t piece = 0);
    // Keeps the pieces, or takes them back now; either ends the session.
    void commit();
    void abandon() noexcept;
    bool open() const noexcept { return journal_ != nullptr; }

   private:
    void end(bool keep) noexcept;
    LiveIndex& index_;
    std::unique_lock<Mutex> writer_;
    std::unique_ptr<WriteJournal> journal_;
  };

  std::size_t size() const;
  bool contains(std::string_view id) const;
  Statistics statistics() const;

  // The k best documents for a query of these words, best first; ties go to
  // the document added (or last replaced) first.
  std::vector<Hit> search(const std::vector<std::string>& words, std::size_t k) const;
  // How many documents hold at least one of the words.
  std::size_t matches(const std::vector<std::string>& words) const;
  // The query vector of these words and the document vector they would have
  // as a document of this index, in byte order of the words; empty while no
  // document has words.
  std::vector<std::pair<std::string, double>> query_vector(const std::vector<std::string>& words) const;
  std::vector<std::pair<std::string, double>> document_vector(const std::vector<std::string>& words) const;
  // The BM25 model document (as BM25.dump writes it) of the live documents.
  std::string model_document() const;
  // Where a reading of the documents page by page stands: the number to go
  // on from, and how many rebuilds the index had been through when the
  // reading began. A reading begins at number 0.
  struct Place {
    std::uint32_t number = 0;
    std::uint32_t rebuilds = 0;  // counted round: 2^32 of them in one reading cannot happen
  };
  // Up to `count` live documents from `from` on, each word as many times as
  // it occurs (in no particular order), and the place the next page starts
  // at; an empty list at the end. A rebuild numbers the documents afresh, so
  // pages from before and after one would miss some documents and repeat
  // others: a place from before a rebuild gets Rebuilt.
  std::pair<std::vector<Document>, Place> documents(Place from, std::size_t count) const;

  // Rebuilds the structures from the live documents alone, dropping what
  // removed ones left. Runs by itself once half the numbered documents or
  // words are gone; searches go on meanwhile.
  void compact();

  // Around a fork of the process, so that the child copies the index whole
  // and can lock it: prepare_fork waits for the writer and then for the
  // searches, and holds both locks until after_fork_parent, in the parent,
  // or after_fork_child, in the child, which gives the child fresh ones.
  // try_prepare_fork is prepare_fork unless another thread holds the
  // writer's mutex (false, nothing held); wait_for_writer waits until none
  // does. A thread in the middle of its own session forks with the mutex
  // held by that session, which goes on in the child.
  void prepare_fork();
  bool try_prepare_fork();
  void wait_for_writer();
  void after_fork_parent() noexcept;
  void after_fork_child();

  // The index file, and the index of a file (std::invalid_argument saying
  // what is wrong). `settings` travels with it untouched.
  std::string serialize(std::string_view settings) const;
  static std::unique_ptr<LiveIndex> deserialize(std::string_view data, std::string& settings);
  // The settings of a file alone, with its header and their section checked.
  static std::string read_settings(std::string_view data);

  // The snapshot image: the structures as they lie in memory, removed
  // documents included, to be read in place from a mapping of the file. open_image checks every length, range,
  // checksum and count of `size` bytes at `bytes` (std::invalid_argument
  // saying what is wrong) and returns an index whose arrays view them; they
  // must stay writable (a private mapping) and alive while `keep` is.
  std::string image(std::string_view settings) const;
  static bool is_image(std::string_view head) noexcept;
  // An image's settings alone, with its header and their section checked.
  static std::string image_settings(std::string_view data);
  static std::unique_ptr<LiveIndex> open_image(std::uint8_t* bytes, std::size_t size, std::shared_ptr<const void> keep,
                                               std::string& settings);

  struct State;

 private:
  LiveIndex(Parameters parameters, std::unique_ptr<State> state);
  void compact_if_worth_it();

  Parameters parameters_;
  mutable RwLock lock_;   // readers share it; a write holds it alone
  Mutex writing_;         // one writer at a time, also while a rebuild reads beside the searches
  std::atomic<std::thread::id> session_thread_{};  // the thread whose write holds writing_
  std::unique_ptr<State> state_;
  std::uint32_t rebuilds_ = 0;  // rebuilds so far, counted round; changed with lock_ held alone
};

}  // namespace vorn::typing::text::search
