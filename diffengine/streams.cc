#include "diffengine/streams.h"

#include <algorithm>

#include <cmath>
#include <cstdint>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <libdeflate.h>
#include <zlib.h>

namespace diffengine {

DeflateSink::DeflateSink(int level, Output output)
    : output_(std::move(output)), z_(std::make_unique<z_stream>()), buffer_(1 << 16) {
  ok_ = deflateInit2(z_.get(), level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  if (!ok_) z_.reset();
}

DeflateSink::~DeflateSink() {
  if (z_) deflateEnd(z_.get());
}

bool DeflateSink::write(const void* data, std::size_t n) {
  const Bytef* p = static_cast<const Bytef*>(data);
  while (ok_ && n > 0) {
    // avail_in is 32 bits wide: large blocks go in pieces.
    const std::size_t piece = n < (1u << 30) ? n : (1u << 30);
    z_->next_in = const_cast<Bytef*>(p);
    z_->avail_in = static_cast<uInt>(piece);
    while (ok_ && z_->avail_in > 0) pump(Z_NO_FLUSH);
    p += piece;
    n -= piece;
  }
  return ok_;
}

bool DeflateSink::prime(const void* bytes, std::size_t n) {
  const auto* p = static_cast<const Bytef*>(bytes);
  if (n > kWindow) {
    p += n - kWindow;
    n = kWindow;
  }
  if (ok_ && n > 0 && deflateSetDictionary(z_.get(), p, static_cast<uInt>(n)) != Z_OK) ok_ = false;
  return ok_;
}

bool DeflateSink::finish(bool last) {
  if (!ok_) return false;
  z_->next_in = nullptr;
  z_->avail_in = 0;
  if (!last) {
    // A sync flush is complete once deflate leaves room in the buffer.
    do {
      pump(Z_SYNC_FLUSH);
    } while (ok_ && z_->avail_out == 0);
    return ok_;
  }
  int rc = Z_OK;
  while (ok_ && rc != Z_STREAM_END) rc = pump(Z_FINISH);
  return ok_;
}

namespace {

// Makes a whole raw deflate stream one that another may follow: the final
// block's BFINAL bit cleared and, after its end, an empty stored block as a
// sync flush writes it, which ends on a byte boundary. zlib's inflate tells
// where the blocks begin and where the stream ends. False when the stream
// does not read back so.
bool continuable(std::string& s) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  std::vector<std::uint8_t> window(1 << 16);
  z.next_in = reinterpret_cast<Bytef*>(&s[0]);
  z.avail_in = static_cast<uInt>(s.size());
  std::uint64_t finalHeader = 0;  // the last block starts at the last boundary met
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = window.data();
    z.avail_out = static_cast<uInt>(window.size());
    rc = inflate(&z, Z_BLOCK);
    // At a block boundary inflate waits before the next header.
    if (rc == Z_OK && (z.data_type & 128) != 0) {
      finalHeader = std::uint64_t{z.total_in} * 8 - static_cast<std::uint64_t>(z.data_type & 7);
    }
  }
  const std::uint64_t end = std::uint64_t{z.total_in} * 8 - static_cast<std::uint64_t>(z.data_type & 7);
  inflateEnd(&z);
  if (rc != Z_STREAM_END || (end + 7) / 8 != s.size() || finalHeader >= end) return false;
  auto bit = [&s](std::uint64_t b) { return (static_cast<std::uint8_t>(s[b / 8]) >> (b % 8)) & 1; };
  if (bit(finalHeader) != 1) return false;
  s[finalHeader / 8] = static_cast<char>(s[finalHeader / 8] & ~(1 << (finalHeader % 8)));
  // Bits after the end are zero: a stored block's header (BFINAL 0, type
  // 00) in three of them, then the bytes to the boundary, LEN 0, NLEN ~0.
  if (end % 8 != 0) s.back() = static_cast<char>(s.back() & ((1 << (end % 8)) - 1));
  s.resize((end + 3 + 7) / 8, '\0');
  s.append("\x00\x00\xff\xff", 4);
  return true;
}

}  // namespace

struct PieceDeflateSink::Piece {
  std::vector<std::uint8_t> input;
  std::vector<std::uint8_t> before;
  bool last = false;
  std::string output;
  bool ok = false;
  std::thread thread;  // not joinable when compressed on the writer's thread

  void compress(int level, Coder coder) {
    if (coder == Coder::kStrongest && strongest(level)) return;
    output.clear();
    DeflateSink z(coder == Coder::kZlib ? level : 9, [this](const void* data, std::size_t n) {
      output.append(static_cast<const char*>(data), n);
      return true;
    });
    ok = z.started() && z.prime(before.data(), before.size()) && z.write(input.data(), input.size()) &&
         z.finish(last);
  }

  bool strongest(int level) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    if (c == nullptr) return false;
    output.assign(libdeflate_deflate_compress_bound(c, input.size()), '\0');
    const std::size_t n = libdeflate_deflate_compress(c, input.data(), input.size(), &output[0], output.size());
    libdeflate_free_compressor(c);
    output.resize(n);
    ok = n > 0 && (last || continuable(output));
    return ok;
  }
};

PieceDeflateSink::PieceDeflateSink(int level, int threads, DeflateSink::Output output, Coder coder,
                                   std::size_t pieceBytes)
    : level_(level), threads_(std::max(1, threads)), output_(std::move(output)), coder_(coder),
      pieceBytes_(pieceBytes) {
  if (coder == Coder::kZlib) {
    started_ = DeflateSink(level).started();
  } else if (libdeflate_compressor* c = libdeflate_alloc_compressor(level)) {
    libdeflate_free_compressor(c);
    started_ = true;
  }
}

PieceDeflateSink::~PieceDeflateSink() {
  for (const auto& piece : inFlight_) {
    if (piece->thread.joinable()) piece->thread.join();
  }
}

bool PieceDeflateSink::write(const void* data, std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (ok_ && n > 0) {
    const std::size_t take = std::min(n, pieceBytes_ - gathered_.size());
    gathered_.insert(gathered_.end(), p, p + take);
    p += take;
    n -= take;
    // A full piece waits for the next byte: only then is it known not to be the last.
    if (n > 0 && gathered_.size() == pieceBytes_) seal(false);
  }
  return ok_;
}

bool PieceDeflateSink::finish() {
  if (ok_) seal(true);
  while (!inFlight_.empty()) drainOne();
  return ok_;
}

void PieceDeflateSink::seal(bool last) {
  auto piece = std::make_unique<Piece>();
  piece->input.swap(gathered_);
  piece->before = before_;
  piece->last = last;
  const std::size_t keep = std::min(piece->input.size(), DeflateSink::kWindow);
  before_.assign(piece->input.end() - static_cast<std::ptrdiff_t>(keep), piece->input.end());
  while (static_cast<int>(inFlight_.size()) >= threads_) drainOne();
  Piece* raw = piece.get();
  inFlight_.push_back(std::move(piece));
  // The last piece is compressed here: the writer waits for it anyway.
  if (threads_ > 1 && !last) {
    try {
      raw->thread = std::thread([raw, level = level_, coder = coder_] { raw->compress(level, coder); });
      return;
    } catch (const std::system_error&) {
      // No thread to be had: this one compresses the piece.
    }
  }
  raw->compress(level_, coder_);
}

void PieceDeflateSink::drainOne() {
  Piece& piece = *inFlight_.front();
  if (piece.thread.joinable()) piece.thread.join();
  if (!piece.ok || (!piece.output.empty() && output_ && !output_(piece.output.data(), piece.output.size()))) {
    ok_ = false;
  }
  inFlight_.pop_front();
}

int DeflateSink::pump(int flush) {
  z_->next_out = buffer_.data();
  z_->avail_out = static_cast<uInt>(buffer_.size());
  const int rc = deflate(z_.get(), flush);
  if (rc == Z_STREAM_ERROR) {
    ok_ = false;
    return rc;
  }
  const std::size_t produced = buffer_.size() - z_->avail_out;
  produced_ += produced;
  if (produced > 0 && output_ && !output_(buffer_.data(), produced)) ok_ = false;
  return rc;
}
namespace {
const char* const kBytePurpose = "to entend the bytestream";
const char* const kBytesPurpose = "to entend internally used bytestream";
const char* const kBitPurpose = "to expand internally used bitstream";
}  // namespace

void ByteStream::newChunk(const char* purpose) {
  chunk_ = static_cast<std::uint8_t*>(memory_.allocate(StreamChunkSize, purpose));
  cursor_ = chunk_;
}

void ByteStream::chunkFilled(const char* purpose) {
  std::uint8_t* full = chunk_;
  chunk_ = cursor_ = nullptr;
  try {
    append(full);
  } catch (...) {
    memory_.release(full);
    throw;
  }
  newChunk(purpose);
}

void ByteStream::putByte(std::uint8_t b) {
  if (chunk_ == nullptr) newChunk(kBytePurpose);
  *cursor_++ = b;
  if (static_cast<std::size_t>(cursor_ - chunk_) == StreamChunkSize) chunkFilled(kBytePurpose);
}

void ByteStream::putBytes(const std::uint8_t* source, long n) {
  if (n < 1) return;
  if (chunk_ == nullptr) newChunk(kBytesPurpose);
  std::size_t left = static_cast<std::size_t>(n);
  while (left > 0) {
    const std::size_t room = StreamChunkSize - static_cast<std::size_t>(cursor_ - chunk_);
    const std::size_t piece = left < room ? left : room;
    std::memcpy(cursor_, source, piece);
    cursor_ += piece;
    source += piece;
    left -= piece;
    if (piece == room) chunkFilled(kBytesPurpose);
  }
}

std::uint64_t ByteStream::sizeInBytes() const {
  return std::uint64_t{StreamChunkSize} * count() + (chunk_ == nullptr ? 0 : cursor_ - chunk_);
}

std::uint8_t* ByteStream::byteAddress(std::uint64_t position) const {
  const std::uint64_t index = position / StreamChunkSize;
  const std::size_t offset = static_cast<std::size_t>(position % StreamChunkSize);
  return (index < count() ? at(static_cast<std::uint32_t>(index)) : chunk_) + offset;
}

std::uint8_t ByteStream::byteAt(std::uint64_t position) const { return *byteAddress(position); }

void ByteStream::subtractAt(std::uint64_t position, const std::uint8_t* reference, std::uint64_t n,
                            std::uint64_t* counts) {
  for (std::uint64_t k = 0; k < n; ++k) {
    std::uint8_t* p = byteAddress(position + k);
    if (counts != nullptr) --counts[*p];
    *p = static_cast<std::uint8_t>(*p - reference[k]);
    if (counts != nullptr) ++counts[*p];
  }
}

void ByteStream::addAt(std::uint64_t position, const std::uint8_t* reference, std::uint64_t n,
                       std::uint64_t* counts) {
  for (std::uint64_t k = 0; k < n; ++k) {
    std::uint8_t* p = byteAddress(position + k);
    if (counts != nullptr) --counts[*p];
    *p = static_cast<std::uint8_t>(*p + reference[k]);
    if (counts != nullptr) ++counts[*p];
  }
}

std::uint64_t* WindowCounts::to(const ByteStream& stream, std::uint64_t start, std::uint64_t end) {
  if (start < start_ || start >= end_ || end < end_) {
    stream.countBytes(start, end - start, of_);
  } else {
    for (std::uint64_t p = start_; p < start; ++p) --of_[stream.byteAt(p)];
    for (std::uint64_t p = end_; p < end; ++p) ++of_[stream.byteAt(p)];
  }
  start_ = start;
  end_ = end;
  return of_;
}

// Natural logarithm from IEEE additions, multiplications and divisions
// only, so that every platform computes the same bits (library logarithms
// differ in their last place, and entropy comparisons decide stream bits).
double portableLog(double x) {
  int exponent = 0;
  double m = std::frexp(x, &exponent);  // x = m * 2^exponent, m in [0.5, 1)
  if (m < 0.70710678118654752440) {
    m *= 2.0;
    --exponent;
  }
  // ln m = 2 atanh(s), s = (m - 1) / (m + 1), |s| < 0.172
  const double s = (m - 1.0) / (m + 1.0);
  const double s2 = s * s;
  double term = s;
  double sum = 0.0;
  for (int k = 1; k <= 41; k += 2) {
    sum += term / k;
    term *= s2;
  }
  return 2.0 * sum + exponent * 0.69314718055994530942;
}

namespace {

// p · log2(p) for p = count / length, as entropyOf adds it up: the windows
// the encoder measures mostly have one length, and the logarithm is slow.
// Each term is computed once per length by the very same expression, so
// every sum keeps its bits.

}  // namespace

double ByteStream::entropyOf(std::uint64_t start, std::uint64_t length) const {
  std::uint64_t counts[256];
  countBytes(start, length, counts);
  return entropyOfCounts(counts, length);
}

void ByteStream::countBytes(std::uint64_t start, std::uint64_t length, std::uint64_t* counts) const {
  std::fill(counts, counts + 256, 0);
  std::uint64_t position = start;
  std::uint64_t left = length;
  while (left > 0) {
    const std::uint8_t* p = byteAddress(position);
    std::uint64_t piece = StreamChunkSize - position % StreamChunkSize;
    if (piece > left) piece = left;
    for (std::uint64_t k = 0; k < piece; ++k) ++counts[p[k]];
    position += piece;
    left -= piece;
  }
}

const double* EntropyTerms::termsFor(std::uint64_t length) {
  if (length != length_) {
    length_ = length;
    std::vector<double>& t = byLength_[length % kLengths];
    if (t.size() != length + 1) {
      t.assign(length + 1, kUnknown);
      t[0] = 0.0;
    }
    terms_ = t.data();
  }
  return terms_;
}

double EntropyTerms::compute(std::uint64_t count, std::uint64_t length) {
  const double p = static_cast<double>(count) / static_cast<double>(length);
  return p * (portableLog(p) / portableLog(2.0));
}

double ByteStream::entropyOfCounts(const std::uint64_t* counts, std::uint64_t length, EntropyTerms* cache) {
  if (length == 0) return 0.0;
  double sum = 0.0;
  if (cache == nullptr || length > EntropyTerms::kMaxCached) {
    for (int v = 0; v < 256; ++v) {
      if (counts[v] != 0) sum += EntropyTerms::compute(counts[v], length);
    }
    return sum;
  }
  cache->termsFor(length);
  for (int v = 0; v < 256; ++v) sum += cache->term(counts[v]);
  return sum;
}

bool ByteStream::writeTo(BlockSink& sink) const {
  if (chunk_ == nullptr && count() == 0) return true;
  bool ok = true;
  for (std::uint32_t i = 0; i < count(); ++i) ok = sink.write(at(i), StreamChunkSize) && ok;
  const std::size_t used = chunk_ == nullptr ? 0 : static_cast<std::size_t>(cursor_ - chunk_);
  if (used > 0) ok = sink.write(chunk_, used) && ok;
  return ok;
}

void ByteStream::clear() {
  for (std::uint32_t i = 0; i < count(); ++i) memory_.release(at(i));
  DynArray::clear();
  memory_.release(chunk_);
  chunk_ = cursor_ = nullptr;
}

void BitStream::putBit(bool b) {
  if (chunk_ == nullptr) newChunk(kBitPurpose);
  if (b) partial_ = static_cast<std::uint8_t>(partial_ | (1u << bitIndex_));
  if (++bitIndex_ == 8) {
    *cursor_++ = partial_;
    bitIndex_ = 0;
    partial_ = 0;
    if (static_cast<std::size_t>(cursor_ - chunk_) == StreamChunkSize) chunkFilled(kBitPurpose);
  }
}

std::uint64_t BitStream::sizeInBytes() const { return ByteStream::sizeInBytes() + (bitIndex_ != 0 ? 1 : 0); }

bool BitStream::writeTo(BlockSink& sink) {
  if (chunk_ == nullptr) return true;
  // The cursor never stands at the chunk's end (a full chunk is replaced at
  // once), so the partial byte always has room.
  if (bitIndex_ != 0) *cursor_++ = partial_;
  const bool ok = ByteStream::writeTo(sink);
  if (bitIndex_ != 0) --cursor_;
  return ok;
}

void BitStream::clear() {
  ByteStream::clear();
  bitIndex_ = 0;
  partial_ = 0;
}

}  // namespace diffengine
