// Runs a list of tasks on worker threads ahead of one consumer that takes
// their results in list order: a directory patch's deltas are searched in
// parallel while the job writes the patch file, which stays the same as if
// every search had run in turn.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace builder {

class SearchAhead {
 public:
  // Task `i` (0 .. count - 1) on worker `w` (0 .. workers - 1). Each worker
  // runs its tasks one after another; a task must not throw.
  using Task = std::function<void(std::size_t i, int w)>;

  // The tasks start in the order `start` gives (each index once), so that
  // the longest can start first and the workers end together. Where the
  // system gives fewer threads, fewer workers run; with none, waitFor runs
  // the tasks on the caller's thread as worker 0.
  SearchAhead(std::vector<std::size_t> start, int workers, Task task);
  // Starts no more tasks and waits for those that run.
  ~SearchAhead();
  SearchAhead(const SearchAhead&) = delete;
  SearchAhead& operator=(const SearchAhead&) = delete;

  // Waits until task `i` has ended.
  void waitFor(std::size_t i);

 private:
  void work(int w);

  const std::vector<std::size_t> start_;
  const Task task_;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::vector<char> done_;
  std::size_t next_ = 0;  // position in start_ of the next task to start
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace builder
