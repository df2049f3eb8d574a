#include "diffengine/memory.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace diffengine {

const char* const kAllocationMessage = "Error, can't allocate %ld Bytes (%s)!\n";

namespace {
std::int64_t g_budget = -1;
const char* g_faultPurpose = nullptr;
int g_faults = 0;

bool injectedFault(const char* purpose) {
  if (g_faults <= 0 || g_faultPurpose == nullptr || std::strcmp(purpose, g_faultPurpose) != 0) return false;
  --g_faults;
  return true;
}
}  // namespace

void failAllocationsFor(const char* purpose, int times) {
  g_faultPurpose = purpose;
  g_faults = times;
}

void setAllocationBudget(std::int64_t bytes) { g_budget = bytes; }

void* allocateFor(std::uint64_t size, const char* purpose) {
  if (size == 0) size = 1;
  void* block = nullptr;
  if (size <= SIZE_MAX && !injectedFault(purpose) && (g_budget < 0 || static_cast<std::uint64_t>(g_budget) >= size)) {
    block = std::malloc(static_cast<std::size_t>(size));
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
