#include <string>

#include "platform/files.h"

namespace platform {

bool File::readAt(std::uint64_t offset, void* buffer, std::size_t n) {
  if (!seek(offset)) return false;
  char* p = static_cast<char*>(buffer);
  while (n > 0) {
    const long got = read(p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool readWholeFile(const std::string& path, std::string* data) {
  File file;
  if (!file.open(path, File::Mode::kRead)) return false;
  data->clear();
  char buffer[65536];
  for (;;) {
    const long got = file.read(buffer, sizeof buffer);
    if (got < 0) return false;
    if (got == 0) return true;
    data->append(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace platform
