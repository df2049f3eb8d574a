#include "diffengine/memory.h"

#include <cstdio>
#include <cstdlib>

namespace diffengine {

const char* const kAllocationMessage = "Error, can't allocate %ld Bytes (%s)!\n";

namespace {
std::int64_t g_budget = -1;
}

void setAllocationBudget(std::int64_t bytes) { g_budget = bytes; }

void* allocateFor(std::size_t size, const char* purpose) {
  if (size == 0) size = 1;
  void* block = nullptr;
  if (g_budget < 0 || static_cast<std::uint64_t>(g_budget) >= size) {
    block = std::malloc(size);
    if (block != nullptr && g_budget >= 0) g_budget -= static_cast<std::int64_t>(size);
  }
  if (block == nullptr) {
    char text[1500];
    std::snprintf(text, sizeof text, kAllocationMessage, static_cast<long>(size), purpose);
    throw AllocationFailure(text);
  }
  return block;
}

void releaseBlock(void* block) { std::free(block); }

}  // namespace diffengine
