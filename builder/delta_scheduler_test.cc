#include "builder/delta_scheduler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "builder/options.h"
#include "builder/scanning.h"
#include "platform/files.h"
#include "tests/machine_support.h"

namespace builder {
namespace {

TEST(DeltaSchedulerTest, ThreadsFollowTheOptionsAndTheCores) {
  Options o;
  EXPECT_EQ(jobThreads(o, 8), 8) << "one per core";
  EXPECT_EQ(jobThreads(o, 0), 1) << "cores unknown";
  o.workers = 3;
  EXPECT_EQ(jobThreads(o, 8), 3);
  o.workers = 1000;
  EXPECT_EQ(jobThreads(o, 8), kMaxWorkers);
  o.workers = 0;
  EXPECT_EQ(searchWorkers(o, 8, 1), 1) << "one file: no pool";
  EXPECT_EQ(searchWorkers(o, 8, 3), 3) << "no more workers than files";
  EXPECT_EQ(searchWorkers(o, 2, 30), 2);
  // A memory limit holds for the whole job: one search at a time.
  o.memoryLimit = 1 << 20;
  EXPECT_EQ(searchWorkers(o, 8, 30), 1);
  o.memoryLimit = 0;
  o.engineHint = 2;
  EXPECT_EQ(searchWorkers(o, 8, 30), 8) << "the frugal search depends on its own files alone";
}

TEST(DeltaSchedulerTest, SearchesStartInWritingOrderTheLargestChainsFirst) {
  // A chain is large beyond half the work per worker.
  EXPECT_EQ(searchOrder({10, 20, 30, 40}, 1), (std::vector<std::size_t>{0, 1, 2, 3})) << "none large";
  EXPECT_EQ(searchOrder({10, 10, 10, 10}, 2), (std::vector<std::size_t>{0, 1, 2, 3})) << "none above the line";
  // Of 1000 bytes with 2 workers, chains above 250 would end alone.
  EXPECT_EQ(searchOrder({100, 300, 50, 500, 50}, 2), (std::vector<std::size_t>{3, 1, 0, 2, 4}));
  EXPECT_EQ(searchOrder({}, 4), (std::vector<std::size_t>{}));
}

class DeltaSchedulerRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = ::testing::TempDir() + "delta_scheduler";
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
  }
  void TearDown() override { std::filesystem::remove_all(root); }

  const FileEntry& file(const std::string& name, const std::string& bytes) {
    const std::string path = root + "/" + name;
    EXPECT_TRUE(files.writeWholeFile(path, bytes));
    ScanContext c(files, out);
    entries.push_back(scanFile(path, name, c));
    return *entries.back();
  }
  static std::string text(int from, int to) {
    std::string s;
    for (int i = from; i <= to; ++i) s += "line " + std::to_string(i) + "\n";
    return s;
  }

  std::string root;
  platform::SystemFileSystem files;
  testing_support::CapturingConsole console;
  Output out{console};
  std::vector<std::unique_ptr<FileEntry>> entries;
};

// A chain whose states are, state for state, an earlier chain's bytes takes
// that chain's deltas; they and their temporaries go with their last taker.
// Workers change neither that nor the transcript.
TEST_F(DeltaSchedulerRunTest, CopiesTakeTheDeltasOfTheFirstCopy) {
  const std::string old = text(1, 3000);
  const std::string changed = text(1, 1000) + "changed\n" + text(1001, 3000);
  const std::vector<StateName> a = {stateName(file("a.old", old)), stateName(file("a.new", changed))};
  const std::vector<StateName> c = {stateName(file("c.old", text(5000, 6000))),
                                    stateName(file("c.new", text(5000, 6100)))};
  const std::vector<StateName> b = {stateName(file("b.old", old)), stateName(file("b.new", changed))};
  std::string transcript;
  for (const int workers : {1, 2}) {
    console.clear();
    Options o;
    setDefaults(&o);
    completeSettings(&o);
    o.quiet = true;
    o.workers = workers;
    diffengine::Memory memory;
    DeltaSearch search(o, files, out, memory);
    std::vector<std::string> temporaries;
    {
      DeltaScheduler scheduler(search, {{"a.txt", a}, {"c.txt", c}, {"b.txt", b}});
      std::shared_ptr<ChainDeltas> first = scheduler.take(0);
      const std::shared_ptr<ChainDeltas> other = scheduler.take(1);
      const std::shared_ptr<ChainDeltas> copy = scheduler.take(2);
      EXPECT_EQ(copy, first) << workers << " workers";
      EXPECT_NE(other, first);
      ASSERT_EQ(first->temporaries.size(), 1u);
      temporaries = first->temporaries;
      EXPECT_TRUE(files.fileExists(temporaries[0]));
      first.reset();
      EXPECT_TRUE(files.fileExists(temporaries[0])) << "still the copy's";
    }
    EXPECT_FALSE(files.fileExists(temporaries[0])) << "gone with its last taker";
    EXPECT_NE(console.out.find("Examining \"b.old\" to \"b.txt\": identical to \"a.txt\", its deltas used again.\n"),
              std::string::npos)
        << console.out;
    if (workers == 1) transcript = console.out;
    EXPECT_EQ(console.out, transcript) << "the same with " << workers << " workers";
  }
}

}  // namespace
}  // namespace builder
