#pragma once
// Work on a second thread beside the caller's, for the two halves of a load.

#include <exception>
#include <system_error>
#include <thread>
#include <utility>

namespace vorn::typing::text::search {

// Work on a second thread, beside the caller's: join() waits and passes on
// its exception. Where no thread can be started it runs at once instead.
class Background {
 public:
  template <class Work>
  explicit Background(Work&& work) {
    auto guarded = [this, work = std::forward<Work>(work)]() mutable {
      try {
        work();
      } catch (...) {
        error_ = std::current_exception();
      }
    };
    try {
      thread_ = std::thread(std::move(guarded));
    } catch (const std::system_error&) {
      guarded();
    }
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  ~Background() {
    if (thread_.joinable()) thread_.join();
  }
  void join() {
    if (thread_.joinable()) thread_.join();
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::exception_ptr error_;
  std::thread thread_;
};

}  // namespace vorn::typing::text::search
