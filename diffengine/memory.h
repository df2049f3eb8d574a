// The difference engine's failures and its allocations.
//
// Every failure that ends the engine's work is an EngineError: a numbered
// one names an entry of the front end's message table and the file it is
// about, any other carries the engine's own text. A failed allocation is its
// own kind of EngineError, so that the difference search can catch it and
// retry with a more frugal strategy. The front end turns them into its own
// errors where it calls the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace diffengine {

// "Error, can't allocate %ld Bytes (%s)!\n"
extern const char* const kAllocationMessage;

// The front end's numbered messages that end a run from inside the engine,
// by their entry in its table.
enum EngineMessage : int {
  kEngineSourceUnreadable = 20,  // the start file cannot be opened
  kEngineEndUnreadable = 21,     // the end file cannot be opened
  kEngineReadFailed = 22,        // a state cannot be read
  kEngineSelfTestFailed = 30,    // the presorting pass found an inconsistency
};

class EngineError : public std::exception {
 public:
  // A failure told in the engine's own words, `text`.
  explicit EngineError(std::string text) : text_(std::move(text)) {}
  // Message `number` about `argument` (a file name; empty when none). Its
  // text only names the number: the wording is the front end's.
  EngineError(EngineMessage number, std::string argument);

  bool numbered() const { return numbered_; }
  EngineMessage number() const { return number_; }
  const std::string& argument() const { return argument_; }
  const std::string& text() const { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
  bool numbered_ = false;
  EngineMessage number_ = kEngineReadFailed;  // only when numbered
  std::string argument_;
};

class AllocationFailure : public EngineError {
 public:
  using EngineError::EngineError;
};

// End the engine's work with its own text, or with a numbered message.
[[noreturn]] void fail(std::string text);
[[noreturn]] void failNumbered(EngineMessage number, const std::string& argument);

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
