#pragma once
// A live index kept in a folder, durable and shared between processes: an
// immutable snapshot, a write-ahead log of the writes since, and a CURRENT
// file naming the generation of the two that holds. One writer, holding the
// folder's lock, logs each write as it applies it and makes the log durable
// at each commit; any number of readers, in any process, replay what was
// committed after their snapshot and follow the log as it grows.
//
//   CURRENT           "durevarare-cur" 0 1 | generation u64 | XXH3 u64
//   snapshot-<gen>    the index file of the documents live at the checkpoint
//   log-<gen>         the writes committed after it
//
// A checkpoint writes the next generation's snapshot and empty log, then
// CURRENT, each made durable before the next step, so that a crash at any
// step opens to exactly the committed documents. No file is changed once
// CURRENT names it, except that its log grows.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "folder.hpp"
#include "search/live_index.hpp"
#include "writer_lock.hpp"

namespace vorn::typing::text::search::storage {

enum class Durability {
  Commit,  // writes are durable once a commit() after them returns
  Write,   // each write is durable when it returns
};

struct StoreOptions {
  bool writable = true;
  double lock_timeout = 0;  // seconds a writer waits for another to close
  Durability durability = Durability::Commit;
  // A checkpoint runs by itself after a commit once the log holds more than
  // this share of the snapshot's bytes (and at least `checkpoint_least`).
  double checkpoint_share = 1.0;
  std::uint64_t checkpoint_least = 64u << 20;
  FaultSeam seam;
};

struct StoreStatistics {
  std::uint64_t generation = 0;
  std::uint64_t sequence = 0;        // of the last commit read or made
  std::uint64_t snapshot_bytes = 0;
  std::uint64_t log_bytes = 0;       // committed bytes of the log, its header included
  std::uint64_t pending_writes = 0;  // writes not yet committed
  std::uint64_t torn_bytes = 0;      // cut from the log's tail when the writer opened it
  std::uint64_t replayed = 0;        // commits replayed on opening and refreshing
  std::uint64_t checkpoints = 0;     // made by this writer
  std::uint64_t checkpoint_failures = 0;  // automatic ones that failed (the commits stayed)
};

class Store {
 public:
  // Opens the index in `path`; a writer creates it, with these parameters
  // and settings, where the folder holds none. std::invalid_argument for
  // damaged files (naming the file, and the offset in a log),
  // std::system_error for files that cannot be read or written,
  // WriterBusy when another writer holds the folder.
  Store(const std::string& path, StoreOptions options, Parameters parameters, std::string settings);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // The index searched now; a reader's refresh may put another in its place.
  std::shared_ptr<LiveIndex> index() const;
  const std::string& settings() const noexcept { return settings_; }
  bool writable() const noexcept { return options_.writable; }
  Durability durability() const noexcept { return options_.durability; }

  // Applies the changes as one write and logs it; all or nothing, in the
  // index and in the log. With Durability::Write it is committed too.
  void write(const std::vector<Change>& changes);
  // One write handed over in pieces, as LiveIndex::Session, logged as one
  // write when committed.
  class Session {
   public:
    explicit Session(Store& store);
    ~Session() { abandon(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    void apply(const std::vector<Change>& changes, std::size_t piece = 0);
    void commit();
    void abandon() noexcept;

   private:
    void let_go() noexcept;

    Store& store_;
    std::unique_lock<std::mutex> writing_;
    std::unique_ptr<LiveIndex::Session> index_;
    std::string records_;
  };

  // Makes every write before it durable. Calls from several threads share
  // one flush. On failure the writes stay pending and the log as it was.
  void commit();
  // A reader applies the commits made since it last looked, whole; true
  // when the index changed. A writer has nothing to do.
  bool refresh();
  // Folds the log into a new snapshot (committing first). Searches go on;
  // writes wait for it.
  void checkpoint();
  // Commits a writer's pending writes and lets the folder go; later calls
  // other than statistics are refused.
  void close();
  bool closed() const;

  StoreStatistics statistics() const;

  // Around fork(): the parent takes every lock so that the child's copy is
  // whole, then both let go; the child's locks are new, since the threads
  // that held the old ones are not in it. A writer's child cannot write.
  // try_prepare_fork holds nothing and says false while another thread
  // writes; wait_for_writer waits for that write, without holding it.
  bool try_prepare_fork();
  void wait_for_writer();
  void after_fork_parent() noexcept;
  void after_fork_child();

 private:
  struct Snapshot;
  // `readable`: the length of its log to read at most.
  Snapshot load_generation(std::uint64_t generation, std::uint64_t readable) const;
  void take(Snapshot snapshot, std::uint64_t generation);  // makes it the index searched
  void create(Parameters parameters);
  void open_existing(bool repair);
  void remove_stale_files() const;
  void check_writer(const char* what) const;
  void commit_locked(std::unique_lock<std::mutex>& commits);
  void checkpoint_locked();
  bool catch_up();
  void publish() noexcept;
  bool open_mark();  // a reader's descriptor of the mark, opened once it exists

  StoreOptions options_;
  Folder folder_;
  std::unique_ptr<WriterLock> lock_;
  std::string settings_;
  int owner_;  // the process that opened it

  // The index, swapped whole when a reader moves to a newer snapshot.
  mutable std::unique_ptr<std::mutex> index_mutex_;
  std::shared_ptr<LiveIndex> index_;

  // One write at a time, so that the log holds them in the order applied.
  std::unique_ptr<std::mutex> write_mutex_;
  std::atomic<std::thread::id> session_thread_{};  // the thread of the write in progress
  // The writes applied and not yet in the file, and their count.
  std::unique_ptr<std::mutex> pending_mutex_;
  std::string pending_;
  std::uint64_t written_ = 0;

  // Group commit: one thread flushes, the others wait for it.
  std::unique_ptr<std::mutex> commit_mutex_;
  std::unique_ptr<std::condition_variable> flushed_;
  bool flushing_ = false;
  std::uint64_t durable_ = 0;  // writes made durable

  // The log of the current generation.
  std::unique_ptr<std::mutex> refresh_mutex_;
  Descriptor log_;
  std::uint64_t generation_ = 0;
  Descriptor committed_;  // how far readers may read: written by the writer, read by readers
  std::uint64_t log_end_ = 0;        // the committed end of the log
  std::uint64_t sequence_ = 0;
  std::atomic<bool> closed_{false};
  std::string failed_;  // why the writer stopped, when a failure left the disk unknown
  StoreStatistics counts_;
};

}  // namespace vorn::typing::text::search::storage
