// A scratch directory with generated file trees and the builder run on
// them in-process, for tests that build real patches.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "builder/messages.h"
#include "builder/startup.h"
#include "platform/fault_injection.h"
#include "platform/files.h"
#include "platform/process.h"
#include "tests/machine_support.h"

namespace testing_support {

class TreeFixture : public ::testing::Test {
 protected:
  explicit TreeFixture(const std::string& name) {
    static const std::string base = ::testing::TempDir();  // taken before a test moves TMPDIR
    root = base + name;
  }
  void SetUp() override {
    removeTree(root);
    std::filesystem::create_directories(root);
  }
  void TearDown() override {
    for (const auto& [name, value] : savedEnvironment_) platform::setEnv(name, value);
    removeTree(root);
  }

  // Removes `dir` with everything in it; Windows refuses to delete read-only files.
  static void removeTree(const std::string& dir) {
    std::error_code ec;
    platform::SystemFileSystem files;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_regular_file()) files.setAttributes(it->path().string(), 0);
    }
    std::filesystem::remove_all(dir, ec);
  }

  std::string at(const std::string& name) const { return root + "/" + name; }
  // Makes root/tmp the system's temporary directory for this process (the
  // programs' temporary files land there) and returns it.
  // The variables are restored when the test ends (an empty one removed).
  std::string useTemporaryDirectory() {
    const std::string temp = at("tmp");
    std::filesystem::create_directories(temp);
    for (const char* name : {"TMPDIR", "TMP", "TEMP"}) {
      savedEnvironment_.emplace_back(name, platform::getEnv(name));
      platform::setEnv(name, temp);
    }
    return temp;
  }
  void put(const std::string& name, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(at(name)).parent_path());
    ASSERT_TRUE(files.writeWholeFile(at(name), bytes));
  }
  std::string read(const std::string& name) const {
    std::string s;
    files.readWholeFile(at(name), &s);
    return s;
  }
  // Text-like bytes, the same for the same seed.
  static std::string text(unsigned seed, std::size_t n) {
    std::mt19937 rng(seed);
    std::string s;
    static const char* const kWords[] = {"alpha ", "beta ", "gamma ", "delta\n", "omega ", "rocket "};
    while (s.size() < n) {
      // Two draws in two statements: the operands of one expression may be
      // evaluated in either order, and compilers differ. The number is
      // drawn first, as the reference patches were made.
      const std::string number = std::to_string(rng() % 100);
      s += kWords[rng() % 6] + number;
    }
    s.resize(n);
    return s;
  }
  // Runs kestmain on `machine` with these words, as given.
  int runWords(std::vector<std::string> args) {
    builderMachine.console.clear();
    args.insert(args.begin(), "kestmain");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    return builder::runKestmain(static_cast<int>(argv.size()), argv.data(), builderMachine.machine);
  }
  // Runs kestmain; words not starting with '-' name something below root.
  int run(std::vector<std::string> words, bool quiet = true) {
    std::vector<std::string> args;
    if (quiet) args.push_back("-q");
    for (std::string& w : words) args.push_back(w[0] == '-' ? w : root + "/" + w);
    return runWords(std::move(args));
  }

  // Two versions of a small program tree: changed, added (embedded),
  // removed and unchanged files.
  void makeTrees() {
    const std::string program = text(1, 30000);
    put("old/program.exe", program);
    put("old/readme.txt", text(2, 800));
    put("old/sub/data.bin", text(3, 5000));
    put("old/obsolete.dll", text(4, 3000));
    put("old/same.cfg", text(5, 1500));
    std::string changed = program;
    changed.insert(12000, "a few new bytes in the middle of the program");
    put("new/program.exe", changed);
    put("new/readme.txt", text(2, 790) + "version 2");
    put("new/sub/data.bin", text(3, 5000) + text(6, 300));
    put("new/same.cfg", text(5, 1500));
    // The file no patch touches keeps its date: one date on both sides, so
    // that trees made across a tick of the clock still compare equal.
    for (const char* same : {"old/same.cfg", "new/same.cfg"}) files.setLastWriteTime(at(same), 0x5A210000);
    put("new/tiny.txt", "new and small");
    std::mt19937 rng(7);
    std::string noise(2000, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    put("new/sub/added.dat", noise);  // like no file of the old tree
  }

  // What the builder wrote to standard output and to the error stream.
  std::string& out() { return builderMachine.console.out; }
  std::string& err() { return builderMachine.console.err; }

  mutable platform::SystemFileSystem files;  // stateless: const helpers use it too
  // The builder's machine: real files (faults injected where a test asks),
  // a console that keeps the output.
  platform::FaultInjectingFileSystem builderFiles{files};
  TestMachine builderMachine{builderFiles};
  std::string root;

 private:
  std::vector<std::pair<const char*, std::string>> savedEnvironment_;
};

}  // namespace testing_support
