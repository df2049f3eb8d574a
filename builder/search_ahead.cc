#include "builder/search_ahead.h"

#include <system_error>

namespace builder {

SearchAhead::SearchAhead(std::vector<std::size_t> start, int workers, Task task)
    : start_(std::move(start)), task_(std::move(task)), done_(start_.size(), 0) {
  for (int w = 0; w < workers; ++w) {
    try {
      threads_.emplace_back([this, w] { work(w); });
    } catch (const std::system_error&) {
      break;  // the system gives no more threads: the ones started do the work
    }
  }
}

SearchAhead::~SearchAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  for (std::thread& t : threads_) t.join();
}

void SearchAhead::work(int w) {
  for (;;) {
    std::size_t i;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_ || next_ >= start_.size()) return;
      i = start_[next_++];
    }
    task_(i, w);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_[i] = 1;
    }
    ended_.notify_all();
  }
}

void SearchAhead::waitFor(std::size_t i) {
  // Without any thread the consumer runs the tasks itself, in their order.
  if (threads_.empty()) {
    while (done_[i] == 0) {
      const std::size_t next = start_[next_++];
      task_(next, 0);
      done_[next] = 1;
    }
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  ended_.wait(lock, [this, i] { return done_[i] != 0; });
}

}  // namespace builder
