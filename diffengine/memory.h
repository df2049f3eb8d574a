// Failures of the builder side, and the difference engine's allocations.
//
// A fatal error is one call, fail(text): it throws FatalError carrying the
// final message text, which `main` prints after the error clean-up (exit
// code 1). An allocation failure is its own kind of FatalError, so that the
// difference search can catch it and retry with a more frugal strategy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

namespace diffengine {

// "Error, can't allocate %ld Bytes (%s)!\n"
extern const char* const kAllocationMessage;

class FatalError : public std::exception {
 public:
  explicit FatalError(std::string text) : text_(std::move(text)) {}
  const std::string& text() const { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

class AllocationFailure : public FatalError {
 public:
  using FatalError::FatalError;
};

// Ends the run with `text` (a line feed is added when it is printed).
[[noreturn]] void fail(std::string text);

// Every allocation of the engine names its purpose; a failure raises
// AllocationFailure with kAllocationMessage. Tests limit the bytes handed
// out, or make allocations of one purpose fail.
class Memory {
 public:
  // `size` bytes (one when size is 0), never null. Sizes beyond the address
  // space fail like any other allocation.
  void* allocate(std::uint64_t size, const char* purpose);
  void release(void* block);

  // At most `bytes` more bytes are handed out; -1 = no limit.
  void setBudget(std::int64_t bytes) { budget_ = bytes; }
  // The next `times` allocations with this purpose fail (null purpose: none).
  void failFor(const char* purpose, int times) {
    faultPurpose_ = purpose;
    faults_ = times;
  }

 private:
  bool injectedFault(const char* purpose);

  std::int64_t budget_ = -1;
  const char* faultPurpose_ = nullptr;
  int faults_ = 0;
};

}  // namespace diffengine
