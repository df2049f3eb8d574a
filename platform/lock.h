// A lock between the threads of one process, for std::lock_guard and
// std::unique_lock. On Windows a slim reader/writer lock of the system, so
// that the appliers need no thread library of the C++ runtime (they are
// built with its Win32 thread model, which has no std::mutex); elsewhere the
// standard mutex.
#pragma once

#ifndef _WIN32
#include <mutex>
#endif

namespace platform {

class Lock {
 public:
  constexpr Lock() = default;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

#ifdef _WIN32
  void lock();
  void unlock();

 private:
  void* state_ = nullptr;  // an SRWLOCK: one pointer, zero when free
#else
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
#endif
};

}  // namespace platform
