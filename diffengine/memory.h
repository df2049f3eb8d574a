// Allocation for the difference engine. Every allocation names its purpose;
// a failure raises AllocationFailure carrying the builder's message
//   "Error, can't allocate %ld Bytes (%s)!\n"
// so that the difference search can retry with a more frugal strategy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

namespace diffengine {

extern const char* const kAllocationMessage;

// A fatal error of the engine: the program prints `text` (a line feed is
// added) to the error stream and ends with exit code 1.
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

// size bytes (one when size is 0), never null. Sizes beyond the address
// space fail like any other allocation.
void* allocateFor(std::uint64_t size, const char* purpose);
void releaseBlock(void* block);

// Tests limit how many bytes allocateFor may still hand out; -1 = no limit.
void setAllocationBudget(std::int64_t bytes);
// Tests make the next `times` allocations with this purpose fail (null
// purpose: none).
void failAllocationsFor(const char* purpose, int times);

}  // namespace diffengine
