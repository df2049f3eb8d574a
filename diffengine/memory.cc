#include "diffengine/memory.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/process.h"

namespace diffengine {

// Blocks from this size on get large pages where the system has them.
constexpr std::uint64_t kLargeBlock = 4u << 20;
const char* const kAllocationMessage = "Error, can't allocate %ld Bytes (%s)!\n";

EngineError::EngineError(EngineMessage number, std::string argument)
    : text_("engine message " + std::to_string(number) + (argument.empty() ? "" : " (\"" + argument + "\")")),
      numbered_(true),
      number_(number),
      argument_(std::move(argument)) {}

void fail(std::string text) { throw EngineError(std::move(text)); }

void failNumbered(EngineMessage number, const std::string& argument) { throw EngineError(number, argument); }

bool Memory::injectedFault(const char* purpose) {
  if (faults_ <= 0 || faultPurpose_ == nullptr || std::strcmp(purpose, faultPurpose_) != 0) return false;
  --faults_;
  return true;
}

void* Memory::allocate(std::uint64_t size, const char* purpose) {
  if (size == 0) size = 1;
  void* block = nullptr;
  if (size <= SIZE_MAX && !injectedFault(purpose) && (budget_ < 0 || static_cast<std::uint64_t>(budget_) >= size)) {
    block = std::malloc(static_cast<std::size_t>(size));
    if (block != nullptr && budget_ >= 0) budget_ -= static_cast<std::int64_t>(size);
    // The files and the index are written once in full, page by page.
    if (block != nullptr && size >= kLargeBlock) platform::adviseLargePages(block, static_cast<std::size_t>(size));
  }
  if (block == nullptr) {
    char text[1500];
    std::snprintf(text, sizeof text, kAllocationMessage, static_cast<long>(size), purpose);
    throw AllocationFailure(text);
  }
  return block;
}

void Memory::release(void* block) { std::free(block); }

}  // namespace diffengine
