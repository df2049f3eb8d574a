#include "platform/other_programs.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "platform/files.h"

namespace platform {
namespace {

std::string freshDirectory(const std::string& name) {
  const std::string dir = ::testing::TempDir() + name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return absolutePath(dir);
}

// Holds a claim on `dir` on a thread of its own (as another process would:
// a Windows mutex belongs to the thread that took it) until let go.
class OtherRun {
 public:
  explicit OtherRun(const std::string& dir)
      : thread_([this, dir] {
          SystemOtherPrograms programs;
          std::unique_ptr<TargetClaim> claim = programs.claim(dir);
          std::unique_lock<std::mutex> lock(mutex_);
          claimed_ = claim != nullptr;
          started_ = true;
          changed_.notify_all();
          changed_.wait(lock, [this] { return done_; });
        }) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return started_; });
  }
  ~OtherRun() { end(); }
  bool claimed() const { return claimed_; }
  void end() {
    if (!thread_.joinable()) return;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool started_ = false, done_ = false, claimed_ = false;
  std::thread thread_;
};

TEST(OtherProgramsTest, ATargetIsClaimedByOneRunAtATime) {
  const std::string dir = freshDirectory("claims");
  const std::string other = freshDirectory("claims_other");
  SystemOtherPrograms programs;
  OtherRun run(dir);
  ASSERT_TRUE(run.claimed());
  EXPECT_FALSE(programs.claim(dir)) << "held by the other run";
#ifdef _WIN32
  std::string spelled = dir + "\\";
  for (char& c : spelled) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  EXPECT_FALSE(programs.claim(spelled)) << "the same directory, written otherwise";
#endif
  EXPECT_TRUE(programs.claim(other)) << "another target is free";
  run.end();
  std::unique_ptr<TargetClaim> mine = programs.claim(dir);
  EXPECT_TRUE(mine) << "free once the other run let go";
  OtherRun late(dir);
  EXPECT_FALSE(late.claimed()) << "and held by this one now";
  late.end();
  mine.reset();
  // A target that cannot be locked does not stop a run.
  EXPECT_TRUE(programs.claim(dir + "-missing"));
}

#ifndef _WIN32
TEST(OtherProgramsTest, NoFileHasHoldersHere) {
  SystemOtherPrograms programs;
  EXPECT_TRUE(programs.holders(::testing::TempDir()).empty()) << "open files stop no rename on POSIX";
}
#endif

}  // namespace
}  // namespace platform
