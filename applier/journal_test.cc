#include "applier/journal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace applier {
namespace {

using Kind = RunJournal::Kind;

bool sameSteps(const std::vector<RunJournal::Step>& a, const std::vector<RunJournal::Step>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].kind != b[i].kind || a[i].a != b[i].a || a[i].b != b[i].b) return false;
  }
  return true;
}

std::vector<RunJournal::Step> decodeAll(const std::string& text) {
  std::vector<RunJournal::Step> steps;
  RunJournal::Step step;
  for (std::size_t at = 0; RunJournal::decode(text, &at, &step);) steps.push_back(step);
  return steps;
}

// Names may hold any byte a file system allows, separators and line ends
// included; a journal cut anywhere (the process ended in the middle of a
// write) gives back exactly the steps written whole before the cut.
TEST(RunJournalTest, StepsComeBackWholeOrNotAtAll) {
  const std::vector<RunJournal::Step> steps = {
      {Kind::kTemporaries, "C:\\app\\", ""},
      {Kind::kMadeDirectory, "C:\\app\\Backup", ""},
      {Kind::kMove, "C:\\app\\line\nbreak 12:34.exe", "C:\\app\\Backup\\line\nbreak 12:34.exe"},
      {Kind::kAside, "/opt/app/x", "/opt/app/VDX7.tmp"},
      {Kind::kPlace, "/opt/app/VDX8.tmp", std::string("nul\0byte", 8)},
      {Kind::kRemovedDirectory, "C:\\app\\gone", ""},
      {Kind::kComplete, "", ""},
  };
  std::string text;
  std::vector<std::size_t> ends;
  for (const RunJournal::Step& s : steps) {
    text += RunJournal::encode(s);
    ends.push_back(text.size());
  }
  EXPECT_TRUE(sameSteps(decodeAll(text), steps));
  for (std::size_t cut = 0; cut < text.size(); ++cut) {
    std::size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= cut) ++whole;
    const std::vector<RunJournal::Step> expected(steps.begin(), steps.begin() + static_cast<long>(whole));
    EXPECT_TRUE(sameSteps(decodeAll(text.substr(0, cut)), expected)) << "cut at " << cut;
  }
  EXPECT_TRUE(decodeAll("X3:abc0:\n").empty()) << "an unknown kind";
  EXPECT_TRUE(decodeAll("M99:abc0:\n").empty()) << "a length beyond the text";
}

}  // namespace
}  // namespace applier
