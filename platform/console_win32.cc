#include <cstdio>

#include "platform/console.h"

namespace platform {

// The messages are already in the console's OEM code page: write them as
// they are. Text mode turns line feeds into CR LF, as console programs do.
void consoleWrite(Stream stream, const std::string& text) {
  if (stream == Stream::kErr) std::fflush(stdout);
  std::fwrite(text.data(), 1, text.size(), stream == Stream::kOut ? stdout : stderr);
}

void consoleFlush(Stream stream) { std::fflush(stream == Stream::kOut ? stdout : stderr); }

}  // namespace platform
