#include "applier/location.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/machine_support.h"

namespace applier {
namespace {

// Answers questions from a script ('y' is yes; anything else or nothing left is no).
class ScriptedFrontEnd : public FrontEnd {
 public:
  void show(const std::string& text) override { shown += text; }
  bool ask(const std::string& message, const std::string&) override {
    questions.push_back(message);
    const bool yes = !answers.empty() && answers[0] == 'y';
    if (!answers.empty()) answers.erase(0, 1);
    return yes;
  }
  void pump() override {}
  bool abortRequested() override { return false; }
  bool mayScanDisks() override { return scan; }

  std::string shown;
  std::string answers;
  std::vector<std::string> questions;
  bool scan = false;
};

class TargetLocatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
  }
  void TearDown() override { std::filesystem::remove_all(root); }

  std::string at(const std::string& name) const { return root + "/" + name; }
  void put(const std::string& name) {
    std::filesystem::create_directories(std::filesystem::path(at(name)).parent_path());
    ASSERT_TRUE(machine.files.writeWholeFile(at(name), "data"));
  }
  // A locator whose probe records every candidate and accepts those in
  // `fits`; candidates the user declines are recorded too.
  TargetLocator locator(const ApplyRequest& request) {
    return TargetLocator(
        request, Numbering::kConsole, machine.machine, front,
        [this](const TargetPaths& candidate) {
          probed.push_back(candidate.oldPath);
          return fits.count(candidate.oldPath) > 0;
        },
        [this](const TargetPaths& candidate) { declined.push_back(candidate.oldPath); });
  }
  static ApplyRequest searching(const std::string& path) {
    ApplyRequest r;
    r.oldPath = r.newPath = path;
    r.searchAllowed = true;
    return r;
  }
  static std::string confirmation(const std::string& path) {
    return "\r\nThe patch file can be applied to \"" + path + "\".\r\nDo you want to apply it?";
  }

  const std::string root = ::testing::TempDir() + "locator_test";
  testing_support::TestMachine machine;
  ScriptedFrontEnd front;
  std::set<std::string> fits;
  std::vector<std::string> probed;
  std::vector<std::string> declined;
};

TEST_F(TargetLocatorTest, EachSeriesRulePlacesTheTarget) {
  put("inst/tool.txt");
  std::string escaped;
  for (char c : at("inst")) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  machine.registry = platform::ExportedRegistry("[HKEY_LOCAL_MACHINE\\Software\\Acme]\r\n\"Path\"=\"" + escaped +
                                                "\"\r\n\"Blank\"=\"\"\r\n");
  machine.locations.windows = at("win");
  ApplyRequest request;
  request.oldPath = request.newPath = at("inst/tool.txt");
  TargetLocator l = locator(request);
  l.begin(true);
  patchformat::SeriesHeader series;
  ASSERT_TRUE(l.place(series));
  EXPECT_EQ(l.target().oldPath, at("inst/")) << "a directory patch given a file takes the file's directory";
  EXPECT_EQ(l.target().newPath, at("inst/"));
  series.locator = patchformat::kLocateRegistry;
  series.rootKey = platform::kHkeyLocalMachine;
  series.subKey = "Software\\Acme";
  series.valueName = "Path";
  ASSERT_TRUE(l.place(series));
  EXPECT_EQ(l.target().oldPath, at("inst"));
  series.valueName = "Blank";
  EXPECT_FALSE(l.place(series));
  series.valueName = "Missing";
  EXPECT_FALSE(l.place(series));
  series.locator = patchformat::kLocateWindowsDir;
  ASSERT_TRUE(l.place(series));
  series.locator = patchformat::kLocateKeep;
  ASSERT_TRUE(l.place(series));
  EXPECT_EQ(l.target().oldPath, at("win")) << "kept from the series before";
  EXPECT_EQ(l.target().newPath, at("win"));
  EXPECT_EQ(l.settle(0, Pass::kCheck), TargetLocator::Settled::kPlaced);
  EXPECT_TRUE(probed.empty());
  l.begin(true);
  EXPECT_EQ(l.target().oldPath, request.oldPath) << "every pass starts at the request";

  // Two different paths are taken as they are, never searched.
  ApplyRequest split = searching(at("a"));
  split.newPath = at("b");
  TargetLocator two = locator(split);
  two.begin(true);
  ASSERT_TRUE(two.place(patchformat::SeriesHeader()));
  EXPECT_EQ(two.target().oldPath, at("a"));
  EXPECT_EQ(two.target().newPath, at("b"));
  EXPECT_EQ(two.settle(0, Pass::kCheck), TargetLocator::Settled::kPlaced);
}

// The search probes the given path, then the directory and its entries
// (only directories for a directory patch), and asks about each that fits;
// the apply pass takes the check pass's find without probing again.
TEST_F(TargetLocatorTest, SearchAsksForEachFitAndTheApplyPassKeepsTheAnswer) {
  put("area/a/x");
  put("area/b/y");
  put("area/note.txt");
  const std::string dir = at("area") + "\\";
  fits = {dir + "a", dir + "b"};
  front.answers = "ny";
  TargetLocator l = locator(searching(at("area")));
  l.begin(true);
  ASSERT_TRUE(l.place(patchformat::SeriesHeader()));
  ASSERT_EQ(l.settle(0, Pass::kCheck), TargetLocator::Settled::kSearched);
  ASSERT_EQ(front.questions.size(), 2u);
  const std::string found = l.target().oldPath;
  EXPECT_TRUE(found == dir + "a" || found == dir + "b") << found;
  EXPECT_EQ(front.questions[1], confirmation(found)) << "the second fit was accepted";
  EXPECT_EQ(l.target().newPath, found);
  ASSERT_GE(probed.size(), 3u);
  EXPECT_EQ(probed[0], at("area"));
  EXPECT_EQ(probed[1], dir);
  EXPECT_EQ(std::count(probed.begin(), probed.end(), dir + "note.txt"), 0) << "a file is no directory target";

  probed.clear();
  l.begin(true);
  ASSERT_TRUE(l.place(patchformat::SeriesHeader()));
  EXPECT_EQ(l.settle(0, Pass::kApply), TargetLocator::Settled::kSearched);
  EXPECT_EQ(l.target().oldPath, found);
  EXPECT_TRUE(probed.empty());
}

// The search from a given path looks at the directory and its entries,
// one level deep; only the scan of the disks goes further down.
TEST_F(TargetLocatorTest, TheSearchLooksOneLevelDeepTheDiskScanEveryLevel) {
  put("area/group/app/x");
  const std::string dir = at("area") + "\\";
  fits = {dir + "group\\app"};
  front.answers = "n";  // to the offer of a disk scan
  front.scan = true;
  TargetLocator l = locator(searching(at("area")));
  l.begin(true);
  ASSERT_TRUE(l.place(patchformat::SeriesHeader()));
  EXPECT_EQ(l.settle(0, Pass::kCheck), TargetLocator::Settled::kNotFound);
  EXPECT_EQ(std::count(probed.begin(), probed.end(), dir + "group"), 1);
  for (const std::string& p : probed) EXPECT_EQ(p.find("group\\"), std::string::npos) << p;

  machine.locations.drives['C'] = {platform::kDriveFixed, dir};
  front = ScriptedFrontEnd();
  front.scan = true;
  front.answers = "yy";  // the disk scan, then the target it finds
  TargetLocator scan = locator(searching(at("area")));
  scan.begin(true);
  ASSERT_TRUE(scan.place(patchformat::SeriesHeader()));
  EXPECT_EQ(scan.settle(0, Pass::kCheck), TargetLocator::Settled::kSearched);
  EXPECT_EQ(scan.target().oldPath, dir + "group\\app");
}

TEST_F(TargetLocatorTest, DecliningEveryCandidateEndsNotFound) {
  put("area/a/x");
  put("area/b/y");
  const std::string dir = at("area") + "\\";
  fits = {dir + "a", dir + "b"};
  for (bool scan : {false, true}) {
    front = ScriptedFrontEnd();
    front.scan = scan;
    front.answers = "nnn";
    declined.clear();
    TargetLocator l = locator(searching(at("area")));
    l.begin(true);
    ASSERT_TRUE(l.place(patchformat::SeriesHeader()));
    EXPECT_EQ(l.settle(0, Pass::kCheck), TargetLocator::Settled::kNotFound);
    std::sort(declined.begin(), declined.end());  // in the order the file system lists them
    EXPECT_EQ(declined, (std::vector<std::string>{dir + "a", dir + "b"})) << "each fitting candidate, once declined";
    ASSERT_EQ(front.questions.size(), scan ? 3u : 2u);
    EXPECT_NE(front.questions[0], front.questions[1]);
    if (scan) {
      EXPECT_EQ(front.questions[2].rfind("\r\nThe patch could not be applied to \"" + at("area") + "\".", 0), 0u)
          << "the offer of a disk scan names the given path: " << front.questions[2];
      EXPECT_EQ(front.shown, "") << "declined: no disk is scanned";
    }
  }
}

#ifndef _WIN32
// A link is a candidate like any directory, but the search never goes
// through one: it may lead out of the disk or in a circle.
TEST_F(TargetLocatorTest, TheDiskScanNeverFollowsALink) {
  put("disk/real/file");
  put("outside/app/file");
  std::filesystem::create_directory_symlink(at("outside"), at("disk/link"));
  std::filesystem::create_directory_symlink(at("disk"), at("disk/real/loop"));
  const std::string disk = at("disk") + "\\";
  machine.locations.drives['C'] = {platform::kDriveFixed, disk};
  fits = {disk + "link\\app"};
  front.scan = true;
  front.answers = "y";  // to the offer of a disk scan
  TargetLocator l = locator(searching(at("elsewhere")));
  l.begin(true);
  ASSERT_TRUE(l.place(patchformat::SeriesHeader()));
  EXPECT_EQ(l.settle(0, Pass::kCheck), TargetLocator::Settled::kNotFound);
  EXPECT_NE(front.shown.find("Scanning all your local hard disks"), std::string::npos);
  const auto probedAt = [&](const std::string& p) { return std::count(probed.begin(), probed.end(), p); };
  EXPECT_EQ(probedAt(disk + "link"), 1);
  EXPECT_EQ(probedAt(disk + "real\\loop"), 1) << "real directories are searched";
  for (const std::string& p : probed) {
    EXPECT_EQ(p.find("link\\"), std::string::npos) << p;
    EXPECT_EQ(p.find("loop\\"), std::string::npos) << p;
  }
}
#endif

}  // namespace
}  // namespace applier
