#include <cstdio>

#include "platform/console.h"

namespace platform {

void consoleWrite(Stream stream, const std::string& text) {
  if (stream == Stream::kErr) std::fflush(stdout);
  const std::string utf8 = cp850ToUtf8(text);
  std::fwrite(utf8.data(), 1, utf8.size(), stream == Stream::kOut ? stdout : stderr);
}

void consoleFlush(Stream stream) { std::fflush(stream == Stream::kOut ? stdout : stderr); }

}  // namespace platform
