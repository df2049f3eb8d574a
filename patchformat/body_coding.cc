#include "patchformat/body_coding.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "patchformat/coding.h"
#include "patchformat/lzma_sdk.h"

namespace patchformat {
namespace {

class InflateExpander : public BodyExpander {
 public:
  InflateExpander() { open_ = inflateInit2(&z_, -15) == Z_OK; }
  ~InflateExpander() override {
    if (open_) inflateEnd(&z_);
  }

  Status expand(const std::uint8_t* in, std::size_t inSize, bool inputEnds, std::size_t* used, std::uint8_t* out,
                std::size_t outSize, std::size_t* made) override {
    *used = *made = 0;
    if (!open_) return Status::kNoMemory;
    z_.next_in = const_cast<Bytef*>(in);
    z_.avail_in = static_cast<uInt>(std::min<std::size_t>(inSize, 1u << 30));
    z_.next_out = out;
    z_.avail_out = static_cast<uInt>(std::min<std::size_t>(outSize, 1u << 30));
    const uInt inBefore = z_.avail_in, outBefore = z_.avail_out;
    const int r = inflate(&z_, Z_SYNC_FLUSH);
    *used = inBefore - z_.avail_in;
    *made = outBefore - z_.avail_out;
    if (r == Z_STREAM_END) return Status::kEnd;
    if (r == Z_MEM_ERROR) return Status::kNoMemory;
    if (r != Z_OK && r != Z_BUF_ERROR) return Status::kCorrupt;
    // No progress with every stored byte given: the stream can never end.
    if (*made == 0 && inputEnds && *used == inSize && outSize > 0) return Status::kCorrupt;
    return Status::kMore;
  }

  Status restart() override {
    if (!open_) return Status::kNoMemory;
    return inflateReset(&z_) == Z_OK ? Status::kMore : Status::kNoMemory;
  }

 private:
  z_stream z_{};
  bool open_ = false;
};

void* lzmaAlloc(ISzAllocPtr, size_t size) { return std::malloc(size); }
void lzmaFree(ISzAllocPtr, void* address) { std::free(address); }

// The LZMA stream of a body of a known size, without an end marker: it
// ends when that many bytes are made, and its last stored byte must be used
// then.
class LzmaExpander : public BodyExpander {
 public:
  explicit LzmaExpander(const PatchHeader& header) : total_(header.expandedSize) {
    LzmaDec_Construct(&dec_);
    // No match reaches further back than the body's size: a dictionary of
    // that size serves, however large the header says it is.
    std::uint8_t properties[kLzmaPropertiesSize];
    std::copy(header.lzmaProperties, header.lzmaProperties + kLzmaPropertiesSize, properties);
    const std::uint32_t dictionary = std::max<std::uint32_t>(std::min(header.lzmaDictionarySize(), total_), 1u << 12);
    putU32(properties + 1, dictionary);
    allocated_ = LzmaDec_Allocate(&dec_, properties, kLzmaPropertiesSize, lzmaAllocator()) == SZ_OK;
    if (allocated_) LzmaDec_Init(&dec_);
  }
  ~LzmaExpander() override {
    if (allocated_) LzmaDec_Free(&dec_, lzmaAllocator());
  }

  Status expand(const std::uint8_t* in, std::size_t inSize, bool inputEnds, std::size_t* used, std::uint8_t* out,
                std::size_t outSize, std::size_t* made) override {
    *used = *made = 0;
    if (!allocated_) return Status::kNoMemory;
    if (ended_) return Status::kEnd;
    const std::uint64_t left = total_ - produced_;
    SizeT outLen = static_cast<SizeT>(std::min<std::uint64_t>(outSize, left));
    SizeT inLen = inSize;
    const bool last = outLen == left;
    ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
    const SRes r = LzmaDec_DecodeToBuf(&dec_, out, &outLen, in, &inLen, last ? LZMA_FINISH_END : LZMA_FINISH_ANY,
                                       &status);
    *used = inLen;
    *made = outLen;
    produced_ += outLen;
    if (r != SZ_OK) return Status::kCorrupt;
    if (produced_ == total_) {
      // The body is complete: the stream must end here, with its stored bytes.
      const bool finished = status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK || status == LZMA_STATUS_FINISHED_WITH_MARK;
      if (finished && inLen == inSize && inputEnds) return ended_ = true, Status::kEnd;
      if (finished && inLen == inSize) return Status::kMore;  // stored bytes still to come must be none
      return Status::kCorrupt;
    }
    if (status == LZMA_STATUS_FINISHED_WITH_MARK) return Status::kCorrupt;  // ended before the body did
    if (outLen == 0 && inputEnds && inLen == inSize && outSize > 0) return Status::kCorrupt;
    return Status::kMore;
  }

  Status restart() override {
    if (!allocated_) return Status::kNoMemory;
    LzmaDec_Init(&dec_);
    produced_ = 0;
    ended_ = false;
    return Status::kMore;
  }

 private:
  CLzmaDec dec_;
  bool allocated_ = false;
  const std::uint32_t total_;
  std::uint64_t produced_ = 0;
  bool ended_ = false;
};

class InvalidExpander : public BodyExpander {
 public:
  Status expand(const std::uint8_t*, std::size_t, bool, std::size_t* used, std::uint8_t*, std::size_t,
                std::size_t* made) override {
    *used = *made = 0;
    return Status::kCorrupt;
  }
  Status restart() override { return Status::kCorrupt; }
};

}  // namespace

ExpandReader::ExpandReader(ByteReader& in, std::unique_ptr<BodyExpander> expander)
    : in_(in), expander_(std::move(expander)), input_(1 << 16) {}

long ExpandReader::read(void* buffer, std::size_t n) {
  if (!expander_) return -1;
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < n && !ended_) {
    if (inputAt_ == inputEnd_ && !inputEnded_) {
      const long got = in_.read(input_.data(), input_.size());
      if (got < 0) return -1;
      if (got == 0) inputEnded_ = true;
      inputAt_ = 0;
      inputEnd_ = static_cast<std::size_t>(got);
    }
    std::size_t used = 0, made = 0;
    const BodyExpander::Status s = expander_->expand(input_.data() + inputAt_, inputEnd_ - inputAt_, inputEnded_,
                                                     &used, out + done, n - done, &made);
    inputAt_ += used;
    done += made;
    if (s == BodyExpander::Status::kEnd) {
      ended_ = true;
      // The stream ends where its data ends: anything behind it is damage.
      if (inputAt_ < inputEnd_) return -1;
      std::uint8_t more;
      if (!inputEnded_ && in_.read(&more, 1) != 0) return -1;
    } else if (s != BodyExpander::Status::kMore) {
      return -1;
    }
  }
  return static_cast<long>(done);
}

ISzAllocPtr lzmaAllocator() {
  static const ISzAlloc allocator = {lzmaAlloc, lzmaFree};
  return &allocator;
}

std::unique_ptr<BodyExpander> makeBodyExpander(const PatchHeader& header) {
  switch (header.bodyCoding()) {
    case BodyCoding::kStored:
      return nullptr;
    case BodyCoding::kDeflate:
      return std::make_unique<InflateExpander>();
    case BodyCoding::kLzma:
      return std::make_unique<LzmaExpander>(header);
    case BodyCoding::kInvalid:
      break;
  }
  return std::make_unique<InvalidExpander>();
}

}  // namespace patchformat
