#include "diffengine/lzma_sink.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "patchformat/coding.h"
#include "patchformat/lzma_sdk.h"

namespace diffengine {
namespace {

// Bytes in flight between write() and the encoder's thread.
constexpr std::size_t kQueueLimit = std::size_t{8} << 20;

// The SDK's stream interfaces, each first in a struct that leads back to the sink.
struct InStream {
  ISeqInStream vt;
  LzmaSink* sink;
  const std::uint8_t* gathered;
  std::size_t gatheredLeft;
};
struct OutStream {
  ISeqOutStream vt;
  LzmaSink* sink;
};
struct Progress {
  ICompressProgress vt;
  LzmaSink* sink;
};

SRes readInput(ISeqInStreamPtr p, void* buffer, size_t* size) {
  auto* in = reinterpret_cast<InStream*>(const_cast<ISeqInStream*>(p));
  if (in->gatheredLeft > 0) {
    const std::size_t n = std::min(*size, in->gatheredLeft);
    std::memcpy(buffer, in->gathered, n);
    in->gathered += n;
    in->gatheredLeft -= n;
    *size = n;
    return SZ_OK;
  }
  *size = in->sink->take(buffer, *size);
  return SZ_OK;
}

size_t writeOutput(ISeqOutStreamPtr p, const void* data, size_t size) {
  const auto* out = reinterpret_cast<const OutStream*>(p);
  return out->sink->put(data, size) ? size : 0;
}

SRes reportProgress(ICompressProgressPtr p, UInt64 inSize, UInt64) {
  if (inSize != static_cast<UInt64>(-1)) reinterpret_cast<const Progress*>(p)->sink->encodedUpTo(inSize);
  return SZ_OK;
}

}  // namespace

LzmaSink::LzmaSink(DeflateSink::Output output, int threads, std::size_t gatherLimit)
    : output_(std::move(output)), threads_(threads), gatherLimit_(gatherLimit) {}

LzmaSink::~LzmaSink() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = stopped_ = true;
      queue_.clear();
    }
    changed_.notify_all();
    thread_.join();
  }
}

bool LzmaSink::put(const void* data, std::size_t n) {
  if (outputOk_ && n > 0) outputOk_ = output_(data, n);
  return outputOk_;
}

std::size_t LzmaSink::take(void* buffer, std::size_t n) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return !queue_.empty() || ended_; });
  if (queue_.empty() || stopped_) return 0;
  std::vector<std::uint8_t>& front = queue_.front();
  const std::size_t k = std::min(n, front.size() - offset_);
  std::memcpy(buffer, front.data() + offset_, k);
  offset_ += k;
  if (offset_ == front.size()) {
    queued_ -= front.size();
    queue_.pop_front();
    offset_ = 0;
  }
  lock.unlock();
  changed_.notify_all();
  return k;
}

void LzmaSink::encode(std::uint32_t dictionary) {
  const ISzAllocPtr alloc = patchformat::lzmaAllocator();
  CLzmaEncHandle enc = LzmaEnc_Create(alloc);
  if (enc == nullptr) return;
  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  props.level = 9;
  props.dictSize = std::max<std::uint32_t>(dictionary, 1u << 12);
  // Patch bodies are mostly the differences of aligned bytes, inserted
  // text and numbers: two bits of literal context, no position context.
  props.lc = 2;
  props.lp = 0;
  props.pb = 0;
  props.algo = 1;
  props.fb = 273;
  props.btMode = 1;
  props.numHashBytes = 4;
  props.writeEndMark = 0;
  // The match finder on a thread of its own takes nearly half the time off
  // on two cores.
  props.numThreads = threads_ >= 2 ? 2 : 1;
  SizeT propertiesSize = sizeof properties_;
  InStream in{{readInput}, this, gathered_.data(), gathered_.size()};
  OutStream out{{writeOutput}, this};
  Progress progress{{reportProgress}, this};
  encoded_ = LzmaEnc_SetProps(enc, &props) == SZ_OK &&
             LzmaEnc_WriteProperties(enc, properties_, &propertiesSize) == SZ_OK &&
             LzmaEnc_Encode(enc, &out.vt, &in.vt, &progress.vt, alloc, alloc) == SZ_OK && outputOk_;
  LzmaEnc_Destroy(enc, alloc, alloc);
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  changed_.notify_all();
}

void LzmaSink::encodedUpTo(std::uint64_t bytes) {
  encodedInput_ = bytes;
  if (directProgress_ != nullptr && total_ > 0) {
    const int percent = static_cast<int>(std::min<std::uint64_t>(bytes * 100 / total_, 100));
    if (percent != shown_) (*directProgress_)(shown_ = percent);
  }
}

void LzmaSink::startThread() {
  streamed_ = true;
  thread_ = std::thread([this] { encode(patchformat::kLzmaLargestDictionary); });
}

bool LzmaSink::write(const void* data, std::size_t n) {
  if (n == 0) return true;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  total_ += n;
  if (!thread_.joinable()) {
    if (gathered_.size() + n <= gatherLimit_) {
      gathered_.insert(gathered_.end(), bytes, bytes + n);
      return true;
    }
    startThread();
  }
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return queued_ < kQueueLimit || stopped_; });
  if (stopped_) return false;  // the encoder failed
  queue_.emplace_back(bytes, bytes + n);
  queued_ += n;
  lock.unlock();
  changed_.notify_all();
  return true;
}

bool LzmaSink::finish(patchformat::PatchHeader* header, const std::function<void(int percent)>& progress) {
  const auto show = [&](int percent) {
    if (progress && percent != shown_) progress(shown_ = percent);
  };
  show(0);
  if (thread_.joinable()) {
    std::unique_lock<std::mutex> lock(mutex_);
    ended_ = true;
    changed_.notify_all();
    while (!changed_.wait_for(lock, std::chrono::milliseconds(100), [&] { return stopped_; })) {
      show(static_cast<int>(std::min<std::uint64_t>(encodedInput_ * 100 / std::max<std::uint64_t>(total_, 1), 99)));
    }
    lock.unlock();
    thread_.join();
  } else {
    // The whole body is here: a dictionary of its size is enough.
    ended_ = true;
    if (progress) directProgress_ = &progress;
    encode(static_cast<std::uint32_t>(gathered_.size()));
    directProgress_ = nullptr;
  }
  if (encoded_) show(100);
  if (!encoded_ || !patchformat::fitsFormat(total_)) return false;
  std::memcpy(header->lzmaProperties, properties_, sizeof properties_);
  // The decoder needs no more dictionary than the body has bytes.
  const std::uint64_t dictionary =
      std::max<std::uint64_t>(std::min<std::uint64_t>(total_, patchformat::kLzmaLargestDictionary), 1u << 12);
  patchformat::putU32(header->lzmaProperties + 1, static_cast<std::uint32_t>(dictionary));
  header->markLzmaBody(static_cast<std::uint32_t>(total_));
  return true;
}

}  // namespace diffengine
