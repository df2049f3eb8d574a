#include "diffengine/representation.h"

namespace diffengine {

void Representation::append(std::int64_t n, std::uint32_t at) {
  if (size_ % kBlockRecords == 0 && size_ / kBlockRecords == blocks_.count()) {
    auto* block = static_cast<Record*>(memory_.allocate(kBlockRecords * sizeof(Record), "to buffer patch structure information"));
    try {
      blocks_.append(block);
    } catch (...) {
      memory_.release(block);
      throw;
    }
  }
  (*this)[size_++] = Record{n, at};
}

void Representation::clear() {
  for (std::uint32_t i = 0; i < blocks_.count(); ++i) memory_.release(blocks_.at(i));
  blocks_.clear();
  size_ = 0;
}

}  // namespace diffengine
