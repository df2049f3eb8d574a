// What the fuzz targets share: a private directory tree under /tmp for the
// targets that reach the file system, and the input cut into lines.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fuzz_support {

// /tmp/verdelin-fuzz-PID-XXXXXX with an empty `target` directory, the
// Windows and system directories the locator may be sent to, and `temp`,
// which becomes TMPDIR so that every temporary of a run lands there. The
// PID in the name lets scripts/fuzz remove the tree of a target that
// crashed; a target that ends normally removes it itself.
class Workspace {
 public:
  Workspace() {
    std::string pattern = "/tmp/verdelin-fuzz-" + std::to_string(::getpid()) + "-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    root = pattern;
    target = root + "/target";
    temp = root + "/temp";
    windows = root + "/windows";
    system = windows + "/system32";
    for (const std::string& dir : {target, temp, windows, system}) std::filesystem::create_directory(dir);
    ::setenv("TMPDIR", temp.c_str(), 1);
  }
  ~Workspace() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  std::string file(const std::string& name) const { return root + "/" + name; }

  // A run that failed must leave nothing behind in `dir`: the applier's
  // check pass changes nothing and its clean-up deletes every temporary.
  static void requireEmpty(const std::string& dir) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
      std::fprintf(stderr, "left behind: %s\n", entry.path().c_str());
      std::abort();
    }
  }

  std::string root;
  std::string target;
  std::string temp;
  std::string windows;
  std::string system;
};

// The input's lines ('\n' ends a line, a final line needs none).
inline std::vector<std::string> lines(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> out;
  const char* text = reinterpret_cast<const char*>(data);
  std::size_t start = 0;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i == size || text[i] == '\n') {
      if (i > start || i < size) out.emplace_back(text + start, i - start);
      start = i + 1;
    }
  }
  return out;
}

}  // namespace fuzz_support
