// Machines for tests: the real file system (or a wrapper of it) with a
// console that keeps what is written, and places and a registry given in
// memory instead of the environment.
#pragma once

#include <string>

#include "platform/machine.h"

namespace testing_support {

// Keeps what is written to each stream; keys come from `keys`, one per
// question, then -1.
class CapturingConsole : public platform::Console {
 public:
  void write(platform::Stream stream, const std::string& text) override {
    (stream == platform::Stream::kOut ? out : err) += text;
  }
  void flush(platform::Stream) override {}
  int readKey(int) override {
    if (keys.empty()) return -1;
    const unsigned char c = static_cast<unsigned char>(keys[0]);
    keys.erase(0, 1);
    return c;
  }
  void clear() { out.clear(), err.clear(); }

  std::string out;
  std::string err;
  std::string keys;
};

// A machine of the real file system and command interpreter, a capturing
// console, the places in `locations`, the registry in `registry` and the
// other programs that `programs` makes up.
struct TestMachine {
  explicit TestMachine(platform::FileSystem& fileSystem = platform::systemMachine().files)
      : files(fileSystem),
        machine{files, locations, registry, console, platform::systemMachine().commands, programs} {}
  TestMachine(const TestMachine&) = delete;
  TestMachine& operator=(const TestMachine&) = delete;

  platform::FileSystem& files;
  CapturingConsole console;
  platform::FixedLocations locations;
  platform::ExportedRegistry registry{""};
  platform::FakeOtherPrograms programs;
  platform::Machine machine;
};

}  // namespace testing_support
