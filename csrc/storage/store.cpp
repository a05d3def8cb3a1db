#include "store.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "log_format.hpp"
#include "mapping.hpp"

namespace vorn::typing::text::search::storage {

namespace {

constexpr char kCurrentMagic[16] = {'d', 'u', 'r', 'e', 'v', 'a', 'r', 'a', 'r', 'e', '-', 'c', 'u', 'r', 0, 1};
constexpr std::size_t kCurrentBytes = 32;
constexpr std::size_t kCommitRecordBytes = kRecordHeaderBytes + 8;
// Pending writes past this size are committed by themselves, so that a
// writer that never commits does not grow without bound.
constexpr std::size_t kMostPending = 64u << 20;
const std::string kCurrent = "CURRENT";

std::string snapshot_name(std::uint64_t generation) { return "snapshot-" + std::to_string(generation); }
std::string log_name(std::uint64_t generation) { return "log-" + std::to_string(generation); }

std::string current_text(std::uint64_t generation) {
  std::string out(kCurrentBytes, '\0');
  std::memcpy(&out[0], kCurrentMagic, sizeof kCurrentMagic);
  for (int i = 0; i < 8; ++i) out[16 + i] = static_cast<char>(generation >> (8 * i));
  const std::uint64_t sum = XXH3_64bits(out.data(), 24);
  for (int i = 0; i < 8; ++i) out[24 + i] = static_cast<char>(sum >> (8 * i));
  return out;
}

std::uint64_t read_current(const Folder& folder) {
  const std::string text = folder.read(kCurrent);
  std::uint64_t generation = 0, sum = 0;
  for (int i = 7; i >= 0; --i) {
    generation = (generation << 8) | static_cast<unsigned char>(text.size() == kCurrentBytes ? text[16 + i] : 0);
    sum = (sum << 8) | static_cast<unsigned char>(text.size() == kCurrentBytes ? text[24 + i] : 0);
  }
  if (text.size() != kCurrentBytes || std::memcmp(text.data(), kCurrentMagic, sizeof kCurrentMagic) != 0 ||
      XXH3_64bits(text.data(), 24) != sum) {
    throw std::invalid_argument(folder.file_name(kCurrent) + " is damaged");
  }
  return generation;
}

bool is_missing(const std::system_error& error) { return error.code() == std::errc::no_such_file_or_directory; }

// Where readers may read to: the generation, the end of its last durable
// commit and that commit's sequence, and their checksum. The writer writes
// it over in place after each flush, without a flush of its own: it only
// says how far the log is known durable, so a reader never shows a commit
// that a crash of the machine could still take back. A writer opening the
// folder writes it anew; recovery never reads it.
const std::string kCommitted = "COMMITTED";
constexpr std::size_t kMarkBytes = 32;

struct Mark {
  std::uint64_t generation = 0, end = 0, sequence = 0;
};

std::array<char, kMarkBytes> mark_bytes(const Mark& mark) {
  std::array<char, kMarkBytes> out{};
  const std::uint64_t fields[3] = {mark.generation, mark.end, mark.sequence};
  for (int field = 0; field < 3; ++field) {
    for (int i = 0; i < 8; ++i) out[8 * field + i] = static_cast<char>(fields[field] >> (8 * i));
  }
  const std::uint64_t sum = XXH3_64bits(out.data(), 24);
  for (int i = 0; i < 8; ++i) out[24 + i] = static_cast<char>(sum >> (8 * i));
  return out;
}

// None while the file is short or its checksum is wrong (a reader can see
// a write over it half done): the reader looks again next time.
std::optional<Mark> read_mark(const Descriptor& file) {
  std::array<char, kMarkBytes> bytes{};
  ssize_t got;
  do {
    got = ::pread(file.get(), bytes.data(), bytes.size(), 0);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(bytes.size())) return std::nullopt;
  std::uint64_t fields[4] = {0, 0, 0, 0};
  for (int field = 0; field < 4; ++field) {
    for (int i = 7; i >= 0; --i) fields[field] = (fields[field] << 8) | static_cast<unsigned char>(bytes[8 * field + i]);
  }
  if (XXH3_64bits(bytes.data(), 24) != fields[3]) return std::nullopt;
  return Mark{fields[0], fields[1], fields[2]};
}

// How far a reader may read the log of `generation`: to the mark, when the
// mark is of it; the whole log when no writer said (a writer that died
// between a checkpoint and its mark, say).
constexpr std::uint64_t kWholeLog = ~std::uint64_t{0};
std::uint64_t readable_end(const std::optional<Mark>& mark, std::uint64_t generation) {
  return mark && mark->generation == generation ? mark->end : kWholeLog;
}

// Applies the commits in order, many to one write of the index: a write
// costs about the same whatever it holds, so a log of small commits replays
// in a fraction of the time. Each commit is still applied whole, so that a
// search beside a reader's refresh sees whole commits; on failure none of
// the commits since the last write is kept.
void replay(LiveIndex& index, const std::vector<Commit>& commits) {
  constexpr std::size_t kCommitsPerWrite = 4096;
  for (std::size_t first = 0; first < commits.size(); first += kCommitsPerWrite) {
    LiveIndex::Session session(index);
    for (std::size_t i = first; i < std::min(commits.size(), first + kCommitsPerWrite); ++i) {
      try {
        session.apply(commits[i].changes);
      } catch (const std::invalid_argument& error) {
        throw LogDamage(std::string("a commit that does not apply to the snapshot (") + error.what() + ")", commits[i].offset);
      }
    }
    session.commit();
  }
}

}  // namespace

// A generation as opened: its index with the log's commits replayed.
struct Store::Snapshot {
  std::shared_ptr<LiveIndex> index;
  std::string settings;
  Descriptor log;
  std::uint64_t snapshot_bytes = 0;
  std::uint64_t log_end = 0;
  std::uint64_t sequence = 0;
  std::uint64_t tail_bytes = 0;
  std::uint64_t replayed = 0;
};

Store::Store(const std::string& path, StoreOptions options, Parameters parameters, std::string settings)
    : options_(std::move(options)),
      folder_(path, options_.writable, options_.seam),
      settings_(std::move(settings)),
      owner_(::getpid()),
      index_mutex_(std::make_unique<std::mutex>()),
      write_mutex_(std::make_unique<std::mutex>()),
      pending_mutex_(std::make_unique<std::mutex>()),
      commit_mutex_(std::make_unique<std::mutex>()),
      flushed_(std::make_unique<std::condition_variable>()),
      refresh_mutex_(std::make_unique<std::mutex>()) {
  if (options_.writable) lock_ = std::make_unique<WriterLock>(folder_, options_.lock_timeout);
  if (options_.writable && !folder_.exists(kCurrent)) {
    create(parameters);
  } else if (!folder_.exists(kCurrent)) {
    throw std::system_error(ENOENT, std::generic_category(), "no index in " + path);
  } else {
    open_existing(options_.writable);
  }
}

Store::~Store() {
  if (options_.writable && !closed_ && failed_.empty() && owner_ == ::getpid()) {
    try {
      commit();
    } catch (...) {
      // Nothing to report to from a destructor; close() is the call that says.
    }
  }
}

void Store::create(Parameters parameters) {
  remove_stale_files();
  index_ = std::make_shared<LiveIndex>(parameters);
  const std::string snapshot = index_->image(settings_);
  folder_.replace(snapshot_name(0), snapshot);
  folder_.replace(log_name(0), log_header(0));
  folder_.replace(kCurrent, current_text(0));
  log_ = folder_.open_for_writing(log_name(0));
  log_end_ = kLogHeaderBytes;
  counts_.snapshot_bytes = snapshot.size();
  committed_ = folder_.open_for_writing(kCommitted);
  publish();
}

void Store::publish() noexcept {
  const std::array<char, kMarkBytes> bytes = mark_bytes(Mark{generation_, log_end_, sequence_});
  ssize_t done;
  do {
    done = ::pwrite(committed_.get(), bytes.data(), bytes.size(), 0);
  } while (done < 0 && errno == EINTR);
  // A failure only keeps readers where they are; the commit is durable.
}

Store::Snapshot Store::load_generation(std::uint64_t generation, std::uint64_t readable) const {
  Snapshot out;
  const std::string snapshot_file = snapshot_name(generation), log_file = log_name(generation);
  {
    // An image is read in place, its mapping kept by the index; a snapshot
    // of the older format is built from it, and the mapping let go.
    const auto mapping = std::make_shared<Mapping>(folder_.open_for_reading(snapshot_file), folder_.file_name(snapshot_file));
    const std::string_view data(reinterpret_cast<const char*>(mapping->data()), mapping->size());
    try {
      out.index = LiveIndex::is_image(data)
                      ? std::shared_ptr<LiveIndex>(LiveIndex::open_image(mapping->data(), mapping->size(), mapping, out.settings))
                      : std::shared_ptr<LiveIndex>(LiveIndex::deserialize(data, out.settings));
    } catch (const std::invalid_argument& error) {
      throw std::invalid_argument(folder_.file_name(snapshot_file) + ": " + error.what());
    }
    out.snapshot_bytes = data.size();
  }
  if (!folder_.exists(log_file)) throw std::system_error(ENOENT, std::generic_category(), folder_.file_name(log_file));
  out.log = options_.writable ? folder_.open_for_writing(log_file) : folder_.open_for_reading(log_file);
  std::string log = read_from(out.log, folder_.file_name(log_file), 0);
  if (readable >= kLogHeaderBytes && readable < log.size()) log.resize(static_cast<std::size_t>(readable));
  try {
    if (read_log_header(log) != generation) throw LogDamage("a log of another generation", 16);
    LogScan scan = scan_log(log, kLogHeaderBytes, 0);
    replay(*out.index, scan.commits);
    out.log_end = scan.end;
    out.sequence = scan.sequence;
    out.tail_bytes = scan.tail_bytes;
    out.replayed = scan.commits.size();
  } catch (const LogDamage& error) {
    throw std::invalid_argument(folder_.file_name(log_file) + ": " + error.what());
  }
  return out;
}

void Store::open_existing(bool repair) {
  // A reader can find the files of a generation gone when a checkpoint
  // replaced it meanwhile: it looks at CURRENT again.
  for (int attempt = 0;; ++attempt) {
    const std::uint64_t generation = read_current(folder_);
    // A reader stops where the writer last said its commits were durable.
    const std::uint64_t readable = !repair && open_mark() ? readable_end(read_mark(committed_), generation) : kWholeLog;
    try {
      Snapshot snapshot = load_generation(generation, readable);
      settings_ = std::move(snapshot.settings);
      const std::uint64_t tail_bytes = snapshot.tail_bytes;
      take(std::move(snapshot), generation);
      if (repair && tail_bytes > 0) {
        // What a crash left after the last commit was never acknowledged.
        folder_.truncate(log_, log_name(generation), log_end_);
        folder_.flush(log_, log_name(generation));
        counts_.torn_bytes = tail_bytes;
      }
      break;
    } catch (const std::system_error& error) {
      if (repair || !is_missing(error) || attempt >= 100) throw;
    }
  }
  if (repair) {
    remove_stale_files();
    committed_ = folder_.open_for_writing(kCommitted);
    publish();
  }
}

void Store::take(Snapshot snapshot, std::uint64_t generation) {
  {
    std::lock_guard<std::mutex> locked(*index_mutex_);
    index_ = std::move(snapshot.index);
  }
  log_ = std::move(snapshot.log);
  generation_ = generation;
  log_end_ = snapshot.log_end;
  sequence_ = snapshot.sequence;
  counts_.snapshot_bytes = snapshot.snapshot_bytes;
  counts_.replayed += snapshot.replayed;
}

// Files of other generations and temporary files that a crash or a failed
// checkpoint left.
void Store::remove_stale_files() const {
  const std::string keep_snapshot = snapshot_name(generation_), keep_log = log_name(generation_);
  const bool current = folder_.exists(kCurrent);
  for (const std::string& name : folder_.names()) {
    const bool ours = name.rfind("snapshot-", 0) == 0 || name.rfind("log-", 0) == 0 || name.rfind(".new-", 0) == 0;
    if (!ours || (current && (name == keep_snapshot || name == keep_log))) continue;
    try {
      folder_.remove(name);
    } catch (const std::system_error&) {
      // Left for the next writer to try again.
    }
  }
}

std::shared_ptr<LiveIndex> Store::index() const {
  std::lock_guard<std::mutex> locked(*index_mutex_);
  return index_;
}

bool Store::closed() const { return closed_; }

void Store::check_writer(const char* what) const {
  if (!options_.writable) throw std::logic_error(std::string("cannot ") + what + ": the index was opened read-only");
  if (closed_) throw std::logic_error(std::string("cannot ") + what + ": the index is closed");
  if (!failed_.empty()) throw std::runtime_error(std::string("cannot ") + what + ": " + failed_);
  if (owner_ != ::getpid()) {
    throw std::logic_error(std::string("cannot ") + what +
                           ": the writer belongs to the process that opened it, not to a forked one; open the index "
                           "again in this process");
  }
}

void Store::write(const std::vector<Change>& changes) {
  Session session(*this);
  session.apply(changes);
  session.commit();
}

Store::Session::Session(Store& store) : store_(store) {
  store.check_writer("write");
  writing_ = std::unique_lock<std::mutex>(*store.write_mutex_);
  if (store.closed_) throw std::logic_error("cannot write: the index is closed");  // closed while this waited
  index_ = std::make_unique<LiveIndex::Session>(*store.index_);
  store.session_thread_ = std::this_thread::get_id();
}

void Store::Session::let_go() noexcept {
  if (!writing_.owns_lock()) return;
  store_.session_thread_ = std::thread::id();
  writing_.unlock();
}

void Store::Session::apply(const std::vector<Change>& changes, std::size_t piece) {
  if (!index_) throw std::logic_error("the write is over");
  std::string record;
  for (const Change& change : changes) append_change(record, change);
  records_.reserve(records_.size() + record.size());
  index_->apply(changes, piece);
  records_.append(record);  // room was made: cannot fail
}

void Store::Session::commit() {
  if (!index_) throw std::logic_error("the write is over");
  {
    std::lock_guard<std::mutex> pending(*store_.pending_mutex_);
    store_.pending_.reserve(store_.pending_.size() + records_.size());
  }
  index_->commit();
  index_.reset();
  bool full = false;
  if (!records_.empty()) {
    std::lock_guard<std::mutex> pending(*store_.pending_mutex_);
    store_.pending_.append(records_);  // room was made: cannot fail
    ++store_.written_;
    full = store_.pending_.size() >= kMostPending;
  }
  std::string().swap(records_);
  let_go();
  if (store_.options_.durability == Durability::Write) {
    store_.commit();
  } else if (full) {
    try {
      store_.commit();
    } catch (...) {
      // The write is applied; the writes stay pending for the next commit to report.
    }
  }
}

void Store::Session::abandon() noexcept {
  index_.reset();  // takes every piece back
  std::string().swap(records_);
  let_go();
}

void Store::commit() {
  check_writer("commit");
  bool checkpoint_due = false;
  {
    std::unique_lock<std::mutex> commits(*commit_mutex_);
    commit_locked(commits);
    checkpoint_due = log_end_ - kLogHeaderBytes >= options_.checkpoint_least &&
                     static_cast<double>(log_end_) >= options_.checkpoint_share * static_cast<double>(counts_.snapshot_bytes);
  }
  if (checkpoint_due) {
    try {
      std::lock_guard<std::mutex> writing(*write_mutex_);
      checkpoint_locked();
    } catch (...) {
      std::lock_guard<std::mutex> commits(*commit_mutex_);
      ++counts_.checkpoint_failures;  // every commit stays durable; the log just grows
    }
  }
}

void Store::commit_locked(std::unique_lock<std::mutex>& commits) {
  // Looked at again here: a close may have come since the caller's check.
  if (closed_) throw std::logic_error("cannot commit: the index is closed");
  std::uint64_t wanted = 0;
  {
    std::lock_guard<std::mutex> pending(*pending_mutex_);
    wanted = written_;
  }
  // Whoever flushes takes every write pending then; the others wait for it,
  // and flush themselves only for what came after.
  while (flushing_) flushed_->wait(commits);
  if (durable_ >= wanted) return;
  flushing_ = true;
  std::string batch;
  std::uint64_t upto = 0;
  {
    std::lock_guard<std::mutex> pending(*pending_mutex_);
    batch.swap(pending_);
    upto = written_;
  }
  const std::uint64_t sequence = sequence_ + 1;
  const std::string name = log_name(generation_);
  commits.unlock();
  try {
    append_commit(batch, sequence);
    folder_.write_at(log_, name, log_end_, batch);
    folder_.flush(log_, name);
  } catch (...) {
    // Back as it was: the log to its last commit, the writes pending again
    // ahead of any made meanwhile.
    try {
      folder_.truncate(log_, name, log_end_);
    } catch (...) {
      // What is left past the last commit is cut when the log is next opened.
    }
    if (batch.size() >= kCommitRecordBytes) batch.resize(batch.size() - kCommitRecordBytes);
    {
      std::lock_guard<std::mutex> pending(*pending_mutex_);
      batch.append(pending_);
      pending_.swap(batch);
    }
    commits.lock();
    flushing_ = false;
    flushed_->notify_all();
    throw;
  }
  commits.lock();
  log_end_ += batch.size();
  sequence_ = sequence;
  durable_ = upto;
  publish();
  flushing_ = false;
  flushed_->notify_all();
}

void Store::checkpoint() {
  check_writer("checkpoint");
  std::lock_guard<std::mutex> writing(*write_mutex_);
  checkpoint_locked();
}

void Store::checkpoint_locked() {
  std::unique_lock<std::mutex> commits(*commit_mutex_);
  commit_locked(commits);
  while (flushing_) flushed_->wait(commits);
  const std::uint64_t old = generation_, next = generation_ + 1;
  // Searches go on beside this; writes wait, so the snapshot holds exactly
  // what the log committed.
  const std::string snapshot = index_->image(settings_);
  folder_.replace(snapshot_name(next), snapshot);
  folder_.replace(log_name(next), log_header(next));
  Descriptor log = folder_.open_for_writing(log_name(next));
  try {
    folder_.replace(kCurrent, current_text(next));
  } catch (...) {
    // The rename may have been made and only the folder's flush failed:
    // then CURRENT names a generation this writer did not move to, and
    // writing on could log to a file no one reads. It stops here.
    bool moved = true;
    try {
      moved = read_current(folder_) != old;
    } catch (...) {
      // Unknown, so taken as moved.
    }
    if (moved) failed_ = "a checkpoint failed part way; open the index again";
    throw;
  }
  log_ = std::move(log);
  generation_ = next;
  log_end_ = kLogHeaderBytes;
  publish();
  counts_.snapshot_bytes = snapshot.size();
  ++counts_.checkpoints;
  for (const std::string& name : {snapshot_name(old), log_name(old)}) {
    try {
      folder_.remove(name);
    } catch (const std::system_error&) {
      // Removed by the next writer that opens the folder.
    }
  }
}

bool Store::refresh() {
  if (options_.writable) return false;
  std::unique_lock<std::mutex> refreshing(*refresh_mutex_, std::try_to_lock);
  // Another thread is at it already: this search takes the index as it is.
  if (!refreshing || closed_) return false;
  return catch_up();
}

bool Store::open_mark() {
  if (committed_) return true;
  try {
    committed_ = folder_.open_for_reading(kCommitted);
    return true;
  } catch (const std::system_error&) {
    return false;  // no writer has said anything yet
  }
}

bool Store::catch_up() {
  if (!open_mark()) return false;
  const std::optional<Mark> mark = read_mark(committed_);
  if (!mark) return false;
  if (mark->generation != generation_) {
    const std::uint64_t generation = read_current(folder_);
    if (generation == generation_) return false;
    Snapshot snapshot;
    try {
      snapshot = load_generation(generation, readable_end(mark, generation));
    } catch (const std::system_error& error) {
      if (is_missing(error)) return false;  // replaced again meanwhile: next time
      throw;
    }
    take(std::move(snapshot), generation);
    return true;
  }
  if (mark->end <= log_end_) return false;
  const std::string name = folder_.file_name(log_name(generation_));
  std::string tail = read_from(log_, name, log_end_);
  if (tail.size() > mark->end - log_end_) tail.resize(static_cast<std::size_t>(mark->end - log_end_));
  LogScan scan;
  try {
    scan = scan_log(tail, 0, sequence_);
  } catch (const LogDamage& error) {
    throw std::invalid_argument(name + ": " + LogDamage(error.reason(), log_end_ + error.offset()).what());
  }
  try {
    replay(*index_, scan.commits);
  } catch (const LogDamage& error) {
    throw std::invalid_argument(name + ": " + LogDamage(error.reason(), log_end_ + error.offset()).what());
  }
  log_end_ += scan.end;
  sequence_ = scan.sequence;
  counts_.replayed += scan.commits.size();
  return !scan.commits.empty();
}

void Store::close() {
  if (session_thread_.load() == std::this_thread::get_id()) {
    throw std::logic_error("cannot close the index from within its own write");
  }
  // The files go only once no other thread writes, flushes or refreshes
  // with them; a write that got in first is committed with the rest.
  std::lock_guard<std::mutex> writing(*write_mutex_);
  std::lock_guard<std::mutex> refreshing(*refresh_mutex_);
  std::unique_lock<std::mutex> commits(*commit_mutex_);
  if (options_.writable && !closed_ && failed_.empty() && owner_ == ::getpid()) commit_locked(commits);
  while (flushing_) flushed_->wait(commits);
  closed_ = true;
  log_ = Descriptor();
  committed_ = Descriptor();
  lock_.reset();
}

StoreStatistics Store::statistics() const {
  StoreStatistics out;
  {
    std::lock_guard<std::mutex> commits(*commit_mutex_);
    out = counts_;
    out.generation = generation_;
    out.sequence = sequence_;
    out.log_bytes = log_end_;
  }
  std::lock_guard<std::mutex> pending(*pending_mutex_);
  out.pending_writes = written_ - durable_;
  return out;
}

bool Store::try_prepare_fork() {
  // A fork from within this thread's own write holds its mutex already.
  const bool ours = session_thread_.load() == std::this_thread::get_id();
  if (!ours && !write_mutex_->try_lock()) return false;
  refresh_mutex_->lock();
  commit_mutex_->lock();
  pending_mutex_->lock();
  index_mutex_->lock();
  if (index_->try_prepare_fork()) return true;
  index_mutex_->unlock();
  pending_mutex_->unlock();
  commit_mutex_->unlock();
  refresh_mutex_->unlock();
  if (!ours) write_mutex_->unlock();
  return false;
}

void Store::wait_for_writer() {
  if (session_thread_.load() != std::this_thread::get_id()) {
    std::lock_guard<std::mutex> writing(*write_mutex_);  // taken only to know the write is over
  }
  index()->wait_for_writer();
}

void Store::after_fork_parent() noexcept {
  index_->after_fork_parent();
  index_mutex_->unlock();
  pending_mutex_->unlock();
  commit_mutex_->unlock();
  refresh_mutex_->unlock();
  if (session_thread_.load() != std::this_thread::get_id()) write_mutex_->unlock();
}

void Store::after_fork_child() {
  index_->after_fork_child();
  // The copies are held by this thread, and a thread that is not in the
  // child may have been waiting on the condition: they are left behind,
  // unfreed, for new ones. The writer's mutex of this thread's own write
  // stays, for the write to unlock.
  const bool ours = session_thread_.load() == std::this_thread::get_id();
  for (std::unique_ptr<std::mutex>* held : {&index_mutex_, &pending_mutex_, &commit_mutex_, &write_mutex_, &refresh_mutex_}) {
    if (held == &write_mutex_ && ours) continue;
    (void)held->release();
    *held = std::make_unique<std::mutex>();
  }
  (void)flushed_.release();
  flushed_ = std::make_unique<std::condition_variable>();
  flushing_ = false;
}

}  // namespace vorn::typing::text::search::storage
