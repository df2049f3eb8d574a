// The search's result for one step: copy and insert records that cover the
// end file in order, kept in fixed blocks so that appending never moves one.
#pragma once

#include <cstdint>

#include "diffengine/engine.h"
#include "diffengine/streams.h"

namespace diffengine {

// n > 0: copy of n bytes from address `at`; n < 0: insert of -n end-file
// bytes from offset `at`; n == 0: removed by the encoder.
using Record = SearchRecord;

class Representation {
 public:
  static constexpr std::uint32_t kBlockRecords = 3750;

  explicit Representation(Memory& memory) : memory_(memory) {}
  ~Representation() { clear(); }
  Representation(const Representation&) = delete;
  Representation& operator=(const Representation&) = delete;

  void append(std::int64_t n, std::uint32_t at);
  std::uint64_t size() const { return size_; }
  Record& operator[](std::uint64_t i) { return blocks_.at(static_cast<std::uint32_t>(i / kBlockRecords))[i % kBlockRecords]; }
  const Record& operator[](std::uint64_t i) const {
    return blocks_.at(static_cast<std::uint32_t>(i / kBlockRecords))[i % kBlockRecords];
  }
  Record& back() { return (*this)[size_ - 1]; }
  void clear();

 private:
  Memory& memory_;
  DynArray<Record*> blocks_;
  std::uint64_t size_ = 0;
};

}  // namespace diffengine
