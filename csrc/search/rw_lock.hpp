#pragma once
// The index's two locks. RwLock is a readers-writer lock that lets a
// waiting writer in before new readers: with searches arriving back to
// back, a reader-preferring lock (the default of std::shared_mutex on
// glibc) could keep an update out forever. Mutex is a plain one.
//
// Both can be made afresh in a process forked while they were held (see
// LiveIndex::after_fork_child): the copy is then held by a thread that does
// not exist in the child, and neither unlocking it (glibc's rwlock checks
// the writer's thread id, another number in the child) nor destroying it
// is defined, so it is left as it is and never touched again.

#include <pthread.h>

#include <memory>
#include <mutex>
#include <system_error>

namespace vorn::typing::text::search {

class RwLock {
 public:
  RwLock() : lock_(made()) {}
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;
  ~RwLock() {
    if (lock_) pthread_rwlock_destroy(lock_.get());
  }

  void lock() noexcept { pthread_rwlock_wrlock(lock_.get()); }
  void unlock() noexcept { pthread_rwlock_unlock(lock_.get()); }
  void lock_shared() noexcept { pthread_rwlock_rdlock(lock_.get()); }
  void unlock_shared() noexcept { pthread_rwlock_unlock(lock_.get()); }

  // In a forked child only: an unlocked lock in place of the copy.
  void renew_in_child() {
    std::unique_ptr<pthread_rwlock_t> fresh = made();
    (void)lock_.release();  // the copy, deliberately leaked
    lock_ = std::move(fresh);
  }

 private:
  static std::unique_ptr<pthread_rwlock_t> made() {
    auto lock = std::make_unique<pthread_rwlock_t>();
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    const int error = pthread_rwlock_init(lock.get(), &attributes);
    pthread_rwlockattr_destroy(&attributes);
    if (error != 0) throw std::system_error(error, std::generic_category(), "pthread_rwlock_init");
    return lock;
  }

  std::unique_ptr<pthread_rwlock_t> lock_;
};

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() { mutex_->lock(); }
  bool try_lock() noexcept { return mutex_->try_lock(); }
  void unlock() noexcept { mutex_->unlock(); }

  // In a forked child only: an unlocked mutex in place of the copy.
  void renew_in_child() {
    auto fresh = std::make_unique<std::mutex>();
    (void)mutex_.release();  // the copy, deliberately leaked
    mutex_ = std::move(fresh);
  }

 private:
  std::unique_ptr<std::mutex> mutex_ = std::make_unique<std::mutex>();
};

}  // namespace vorn::typing::text::search
