// The LZMA stream of a patch body: what is written to it is encoded as one
// LZMA stream without an end marker, its dictionary spanning the body up to
// kLzmaLargestDictionary. A body that fits the dictionary is gathered and
// encoded when it ends, with a dictionary of its own size; a larger one is
// encoded while it is written, on a thread of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "diffengine/streams.h"
#include "patchformat/container.h"

namespace diffengine {

class LzmaSink : public BlockSink {
 public:
  // `threads`: 2 or more puts the encoder's match finder on a thread of its
  // own (the same bytes either way). `gatherLimit`: bytes gathered before
  // the encoder starts (tests make it small).
  explicit LzmaSink(DeflateSink::Output output, int threads = 1,
                    std::size_t gatherLimit = patchformat::kLzmaLargestDictionary);
  ~LzmaSink() override;
  LzmaSink(const LzmaSink&) = delete;
  LzmaSink& operator=(const LzmaSink&) = delete;

  bool write(const void* data, std::size_t n) override;
  // Ends the stream and puts its properties and the body's size into the
  // header's LZMA fields. False when the output failed or memory ran out.
  // `progress` hears, on the calling thread, the share of the body encoded
  // (0 to 100, each value once, at least every 100 ms while it waits).
  bool finish(patchformat::PatchHeader* header, const std::function<void(int percent)>& progress = nullptr);
  // After finish: the body, when it was gathered whole (else nullptr).
  const std::vector<std::uint8_t>* gatheredBody() const { return streamed_ ? nullptr : &gathered_; }
  // After a failed write or finish: whether the output failed (else memory ran out).
  bool outputFailed() const { return !outputOk_; }

  // Called by the encoder's thread: the next input, and its output.
  std::size_t take(void* buffer, std::size_t n);
  bool put(const void* data, std::size_t n);
  // The encoder's count of body bytes it has encoded.
  void encodedUpTo(std::uint64_t bytes);

 private:
  // Runs the encoder over the gathered bytes and then what is written.
  void encode(std::uint32_t dictionary);
  void startThread();

  DeflateSink::Output output_;
  const int threads_;
  const std::size_t gatherLimit_;
  std::vector<std::uint8_t> gathered_;
  std::uint64_t total_ = 0;
  std::uint8_t properties_[patchformat::kLzmaPropertiesSize] = {};
  bool encoded_ = false;  // the encoder ran to its end without an error
  std::atomic<std::uint64_t> encodedInput_{0};
  // While finish() encodes on the calling thread: its progress.
  const std::function<void(int)>* directProgress_ = nullptr;
  int shown_ = -1;  // the percentage shown last
  bool outputOk_ = true;

  // Between write() and the encoder's thread: pieces not yet taken.
  std::thread thread_;
  bool streamed_ = false;  // the encoder's thread ran
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<std::uint8_t>> queue_;
  std::size_t queued_ = 0;
  std::size_t offset_ = 0;  // taken from the front piece
  bool ended_ = false;      // no more input comes
  bool stopped_ = false;    // the encoder stopped: nothing more is taken
};

}  // namespace diffengine
