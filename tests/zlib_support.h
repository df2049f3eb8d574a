// Raw deflate and inflate (the patch body's compression) for tests.
#pragma once

#include <zlib.h>

#include <string>

namespace testing_support {

// With Z_FULL_FLUSH instead of Z_FINISH the output has no final block and
// ends byte-aligned, referring to nothing before it, so that such pieces
// join into one stream.
inline std::string deflateRaw(const std::string& in, int flush = Z_FINISH) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, in.size()) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, flush);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Inflates `in` as zlib's inflateInit2 takes `windowBits`: -15 raw deflate,
// 16 + 15 a gzip file.
inline bool inflateWithWindowBits(const std::string& in, std::string* out, int windowBits) {
  z_stream z{};
  if (inflateInit2(&z, windowBits) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  char buffer[65536];
  int r;
  do {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    r = inflate(&z, Z_NO_FLUSH);
    out->append(buffer, sizeof buffer - z.avail_out);
  } while (r == Z_OK);
  inflateEnd(&z);
  return r == Z_STREAM_END;
}

inline bool inflateRaw(const std::string& in, std::string* out) { return inflateWithWindowBits(in, out, -15); }

}  // namespace testing_support
