#include "applier/changes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "platform/fault_injection.h"

namespace applier {
namespace {

namespace fs = std::filesystem;

// Every file below `dir` with its bytes, and every directory (as "name/").
std::map<std::string, std::string> treeOf(const std::string& dir) {
  std::map<std::string, std::string> tree;
  platform::SystemFileSystem files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string name = fs::relative(e.path(), dir).generic_string();
    std::string bytes;
    if (e.is_directory()) {
      tree[name + "/"] = "";
    } else if (files.readWholeFile(e.path().string(), &bytes)) {
      tree[name] = bytes;
    }
  }
  return tree;
}

class TargetChangesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(root);
    for (const char* name : {"app/program.exe", "app/old/retired.dll", "app/Backup/program.exe"}) {
      fs::create_directories(fs::path(root + name).parent_path());
      ASSERT_TRUE(system.writeWholeFile(root + name, std::string("was ") + name));
    }
  }
  void TearDown() override { fs::remove_all(root); }

  // A new file staged beside `target` with `bytes`, as the apply pass
  // writes one before it takes the target's place.
  std::string stage(TempFiles& temps, TargetChanges& changes, const std::string& target, const std::string& bytes) {
    changes.makeDirectories(target);
    std::unique_ptr<platform::File> file;
    std::string path;
    if (!temps.create(directoryPart(target), &file, &path)) throw PartFailure(kMsgReplaceDenied);
    if (!file->write(bytes.data(), bytes.size()) || !file->close()) throw PartFailure(kMsgWriteFailed);
    return path;
  }
  // The steps of a directory patch's apply pass: a file replaced (its
  // earlier version to the backup, an older backup aside), a new file in a
  // new directory, an obsolete file whose directory empties.
  void applySteps(TempFiles& temps, TargetChanges& changes) {
    const std::string app = root + "app";
    changes.setTarget(true, app, "Backup");
    changes.noteTemporaryPlaces("program.exe");
    changes.noteTemporaryPlaces("new\\added.txt");
    changes.startJournal({});
    changes.putInPlace(stage(temps, changes, app + "\\program.exe", "new program"), app + "\\program.exe",
                       "program.exe", 0x5A210000, true);
    changes.putInPlace(stage(temps, changes, app + "\\new\\added.txt", "added"), app + "\\new\\added.txt",
                       "new\\added.txt", 0x5A210000, true);
    changes.backupFile(app + "\\old\\retired.dll", "old\\retired.dll");
    changes.removeEmptiedDirectories(app + "\\old\\retired.dll");
  }

  const std::string root = ::testing::TempDir() + "target_changes_test/";
  platform::SystemFileSystem system;
  platform::FaultInjectingFileSystem files{system};
};

TEST_F(TargetChangesTest, TheStepsAndTheirCommit) {
  TempFiles temps(files);
  TargetChanges changes(files, temps);
  applySteps(temps, changes);
  changes.commit();
  const std::map<std::string, std::string> tree = treeOf(root + "app");
  EXPECT_EQ(tree.at("program.exe"), "new program");
  EXPECT_EQ(tree.at("Backup/program.exe"), "was app/program.exe") << "the older backup replaced";
  EXPECT_EQ(tree.at("new/added.txt"), "added");
  EXPECT_EQ(tree.at("Backup/old/retired.dll"), "was app/old/retired.dll");
  EXPECT_EQ(tree.count("old/"), 0u) << "the emptied directory went";
  for (const auto& entry : tree) EXPECT_EQ(entry.first.find("VDX"), std::string::npos) << entry.first;
}

// Whichever call fails, the steps made so far are undone: the tree is
// exactly as before, the journal and every temporary gone.
TEST_F(TargetChangesTest, AFailureAtAnyCallIsUndoneToTheTreeBefore) {
  const std::map<std::string, std::string> before = treeOf(root + "app");
  int calls = 0;
  {
    TempFiles temps(files);
    TargetChanges changes(files, temps);
    files.reset();
    applySteps(temps, changes);
    calls = files.allCalls();
    changes.undo();
  }
  EXPECT_EQ(treeOf(root + "app"), before) << "undone after a whole run too";
  int failed = 0;
  for (int n = 1; n <= calls; ++n) {
    TempFiles temps(files);
    TargetChanges changes(files, temps);
    files.reset();
    files.failAnyAt(n);
    try {
      applySteps(temps, changes);
    } catch (const PartFailure&) {
      ++failed;
    }
    const int kind = files.anyFailed() ? static_cast<int>(*files.anyFailed()) : -1;
    files.reset();
    changes.undo();  // while the temporaries are there, as the engine does
    temps.deleteAll();
    changes.removeLeftDirectories();
    EXPECT_EQ(treeOf(root + "app"), before) << "a failure at call " << n << " (a call of kind " << kind << ")";
    if (HasFailure()) return;
  }
  // Every rename, every file made and every write of a new file fails the
  // steps (the status calls along the test directory's path, whose number
  // depends on where it lies, do not).
  EXPECT_GE(failed, 15) << calls << " calls";
}

}  // namespace
}  // namespace applier
