// Other programs on the machine, as far as the appliers need to know them:
// which ones hold a file open, and whether another run of an applier is at
// work on a target.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace platform {

// A program that has a file open.
struct FileHolder {
  std::string program;  // its file name ("rocket.exe"), in the system's code page
  unsigned long processId = 0;
  bool operator==(const FileHolder& o) const { return program == o.program && processId == o.processId; }
};

// A run's claim on one target, held until it is destroyed.
class TargetClaim {
 public:
  virtual ~TargetClaim() = default;
};

class OtherPrograms {
 public:
  virtual ~OtherPrograms() = default;
  // The programs that hold the file `path` open, as far as the system tells
  // (Windows: the Restart Manager; POSIX: none are known). Empty when none
  // is known, also when the system cannot be asked.
  virtual std::vector<FileHolder> holders(const std::string& path) = 0;
  // Claims the target directory `dir` (absolute, system form) for this run,
  // across processes and users of the machine. Null when another run holds
  // it. Where the system cannot lock it, the claim holds nothing and the
  // run goes on. Windows: a named mutex; POSIX: an advisory lock on the
  // directory itself. A process must not claim the same target twice.
  virtual std::unique_ptr<TargetClaim> claim(const std::string& dir) = 0;
};

class SystemOtherPrograms final : public OtherPrograms {
 public:
  std::vector<FileHolder> holders(const std::string& path) override;
  std::unique_ptr<TargetClaim> claim(const std::string& dir) override;
};

// For tests: holders as `holdersOf` says, targets in `busy` held by
// another run, a record of every claim made and the targets held now.
class FakeOtherPrograms final : public OtherPrograms {
 public:
  std::vector<FileHolder> holders(const std::string& path) override {
    return holdersOf ? holdersOf(path) : std::vector<FileHolder>();
  }
  std::unique_ptr<TargetClaim> claim(const std::string& dir) override {
    if (busy.count(dir) != 0) return nullptr;
    claimed.push_back(dir);
    held.insert(dir);
    return std::make_unique<Claim>(held, dir);
  }

  std::function<std::vector<FileHolder>(const std::string& path)> holdersOf;
  std::set<std::string> busy;
  std::vector<std::string> claimed;
  std::set<std::string> held;

 private:
  class Claim final : public TargetClaim {
   public:
    Claim(std::set<std::string>& held, std::string dir) : held_(held), dir_(std::move(dir)) {}
    ~Claim() override { held_.erase(dir_); }

   private:
    std::set<std::string>& held_;
    const std::string dir_;
  };
};

}  // namespace platform
