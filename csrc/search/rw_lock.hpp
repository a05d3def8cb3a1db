#pragma once
// A readers-writer lock that lets a waiting writer in before new readers:
// with searches arriving back to back, a reader-preferring lock (the
// default of std::shared_mutex on glibc) could keep an update out forever.

#include <pthread.h>

#include <system_error>

namespace vorn::typing::text::search {

class RwLock {
 public:
  RwLock() {
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    const int error = pthread_rwlock_init(&lock_, &attributes);
    pthread_rwlockattr_destroy(&attributes);
    if (error != 0) throw std::system_error(error, std::generic_category(), "pthread_rwlock_init");
  }
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;
  ~RwLock() { pthread_rwlock_destroy(&lock_); }

  void lock() noexcept { pthread_rwlock_wrlock(&lock_); }
  void unlock() noexcept { pthread_rwlock_unlock(&lock_); }
  void lock_shared() noexcept { pthread_rwlock_rdlock(&lock_); }
  void unlock_shared() noexcept { pthread_rwlock_unlock(&lock_); }

 private:
  pthread_rwlock_t lock_;
};

}  // namespace vorn::typing::text::search
