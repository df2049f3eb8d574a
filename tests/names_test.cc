// Names outside ASCII: the builder stores them in code page 1252 whatever
// the host's own encoding, pelmora writes them back under the host's names,
// and a name the code page cannot hold is refused before any work, with a
// pattern that leaves it out. Patterns match names as they are written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "applier/console.h"
#include "platform/console.h"
#include "tests/machine_support.h"
#include "tests/patch_check.h"
#include "tests/tree_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::checkPatch;
using testing_support::PatchSummary;

// The same names in the system's code page 1252 and as UTF-8 for the host.
const char kResume[] = "r\xe9sum\xe9 \xdf.md";
const char kResumeUtf8[] = "résumé ß.md";
const char kOverview[] = "Dokumente\\\xdc" "bersicht.txt";
const char kOverviewUtf8[] = "Dokumente/Übersicht.txt";
const char kEuro[] = "Dokumente\\Neu \x80.txt";
const char kEuroUtf8[] = "Dokumente/Neu €.txt";

class NamesTest : public testing_support::TreeFixture {
 protected:
  NamesTest() : TreeFixture("names_test") {}
  void SetUp() override {
    TreeFixture::SetUp();
    useTemporaryDirectory();
  }

  // The host's file `utf8` below root (its own name, made from UTF-8).
  fs::path hostPath(const std::string& utf8) const { return fs::u8path(root + "/" + utf8); }
  void putHost(const std::string& utf8, const std::string& bytes) {
    fs::create_directories(hostPath(utf8).parent_path());
    std::ofstream(hostPath(utf8), std::ios::binary) << bytes;
  }
  std::string readHost(const std::string& utf8) const {
    std::ifstream in(hostPath(utf8), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // Two versions of a tree whose names need code page 1252.
  void makeNamedTrees() {
    putHost(std::string("old/") + kResumeUtf8, text(21, 4000));
    putHost(std::string("old/") + kOverviewUtf8, text(22, 3000));
    putHost(std::string("new/") + kResumeUtf8, text(21, 4000) + "a second version");
    putHost(std::string("new/") + kOverviewUtf8, "updated: " + text(22, 3000));
    putHost(std::string("new/") + kEuroUtf8, "new and small");
  }

  // Runs pelmora with these words (below root unless options).
  int pel(const std::vector<std::string>& words) {
    applierMachine.console.clear();
    applier::ConsoleFrontEnd console(applierMachine.console);
    std::vector<std::string> args{"pelmora"};
    for (const std::string& w : words) args.push_back(w[0] == '-' ? w : at(w));
    return applier::runPelmora(args, "", console, applierMachine.machine);
  }
  std::string applierOut() { return applierMachine.console.out; }

  testing_support::TestMachine applierMachine;
};

TEST_F(NamesTest, DirectoryPatchStoresCodePage1252AndAppliesUnderTheHostsNames) {
  makeNamedTrees();
  ASSERT_EQ(run({"old", "new", "p"}), 0) << err();
  const PatchSummary s = checkPatch(at("p.utp"), {at("old")}, at("new"));
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.names, (std::vector<std::string>{std::string("+") + kEuro, kOverview, kResume}));
  EXPECT_NE(s.body.find("r\xe9sum\xe9"), std::string::npos);
  EXPECT_EQ(s.body.find("r\xc3\xa9sum"), std::string::npos) << "no UTF-8 in the patch";
  // The console shows the names in its code page 850.
  EXPECT_NE(out().find("\"Dokumente\\\x9a" "bersicht.txt\""), std::string::npos) << out();

  fs::copy(at("old"), at("app"), fs::copy_options::recursive);
  ASSERT_EQ(pel({"p.utp", "app"}), 0) << applierOut();
  EXPECT_EQ(readHost(std::string("app/") + kResumeUtf8), readHost(std::string("new/") + kResumeUtf8));
  EXPECT_EQ(readHost(std::string("app/") + kOverviewUtf8), readHost(std::string("new/") + kOverviewUtf8));
  EXPECT_EQ(readHost(std::string("app/") + kEuroUtf8), "new and small");
  EXPECT_NE(applierOut().find("Updating file \"r\x82sum\x82 \xe1.md\": "), std::string::npos) << applierOut();
  EXPECT_NE(applierOut().find("Writing embedded file \"Dokumente\\Neu ?.txt\".\n"), std::string::npos)
      << "CP850 has no euro sign";
}

// The way out a refusal names: an -i pattern for the file alone, anchored at
// the root, in the characters the console shows (a Windows console shows
// "???" here, which no other file matches either).
std::string leaveOut(const std::string& written) { return "-i=\"" + platform::consoleText(written) + "\""; }

TEST_F(NamesTest, NamesCodePage1252CannotHoldAreRefusedBeforeAnyWork) {
  makeNamedTrees();
  putHost("new/Dokumente/日本語.md", "x");
  EXPECT_EQ(run({"old", "new", "p"}), 1);
  EXPECT_EQ(err(),
            "Error, the name of \"" + at("new") + "\\Dokumente\\???.md\" holds characters that Windows' ANSI code "
            "page 1252 cannot hold,\nso no patch can name it. Rename it, or leave it out with " +
                leaveOut("\\Dokumente\\日本語.md") + ".\n");
  EXPECT_EQ(out().find("Examining"), std::string::npos) << out();
  EXPECT_FALSE(files.fileExists(at("p.utp")));

  // Left out with the pattern as the console showed it, or with "?"s, which
  // match its characters as any others, it is no obstacle.
  for (const std::string& pattern : {platform::shownOnConsole("\\Dokumente\\日本語.md"), std::string("???.md")}) {
    ASSERT_EQ(run({"-i=" + pattern, "old", "new", "p"}), 0) << err();
    EXPECT_EQ(checkPatch(at("p.utp"), {at("old")}, at("new")).names.size(), 3u);
  }

  // A start state is checked the same way, unless -is leaves the name out of the sources.
  fs::remove(hostPath("new/Dokumente/日本語.md"));
  putHost("old/日本語.md", "x");
  EXPECT_EQ(run({"old", "new", "p"}), 1);
  EXPECT_NE(err().find("\"" + at("old") + "\\???.md\""), std::string::npos) << err();
  EXPECT_EQ(run({"-if=*.md", "old", "new", "p"}), 1) << "ignored in the end state only";
  EXPECT_EQ(run({"-is=*.md", "old", "new", "p"}), 0) << err();
}

TEST_F(NamesTest, TheRefusalInGerman) {
  putHost("old/a.txt", "a");
  putHost("new/日本語.md", "x");
  put("win/win.ini", "[intl]\nsLanguage=deu\n");
  const std::string windir = platform::getEnv("windir");
  platform::setEnv("windir", at("win"));
  EXPECT_EQ(run({"old", "new", "p"}), 1);
  platform::setEnv("windir", windir);
  EXPECT_EQ(err(), "Fehler, der Name von \"" + at("new") + "\\???.md\" enth\x84lt Zeichen, die Windows' "
                   "ANSI-Codepage 1252 nicht darstellen\nkann, daher kann kein Patch ihn nennen. Benennen Sie ihn "
                   "um, oder lassen Sie ihn mit " + leaveOut("\\日本語.md") + " aus.\n");
}

// "日本.txt" is listed as "??.txt" in code page 1252, which "ab.txt" matches
// as well. Patterns given with the name, with "?" or "*", in -i and -d,
// take exactly the files their written characters match.
TEST_F(NamesTest, PatternsMatchNamesAsWritten) {
  for (const std::string state : {"old", "new"}) {
    putHost(state + "/日本.txt", text(31, 2000) + state);
    putHost(state + "/ab.txt", text(32, 2000) + state);
    putHost(state + "/readme.md", text(33, 2000) + state);
  }
  putHost("old/cd.txt", "gone from the new version");
  const std::vector<std::string> kept{"ab.txt", "readme.md"};
  const struct {
    std::vector<std::string> options;
    std::vector<std::string> names;
  } cases[] = {
      {{"-i=日本.txt"}, kept},
      {{"-i=*本.txt"}, kept},
      {{"-i=\\??.txt"}, {"readme.md"}},
      {{"-i=日本.txt", "-d=日本.txt"}, kept},
      {{"-i=日本.txt", "-d=??.txt"}, {"ab.txt", "readme.md", "-cd.txt"}},
  };
  for (const auto& c : cases) {
    std::string label;
    for (const std::string& o : c.options) label += o + " ";
    SCOPED_TRACE(label);
    std::vector<std::string> words = c.options;
    for (const char* w : {"old", "new", "p"}) words.push_back(w);
    ASSERT_EQ(run(words), 0) << err();
    const PatchSummary s = checkPatch(at("p.utp"), {at("old")}, at("new"));
    ASSERT_EQ(s.error, "");
    EXPECT_EQ(s.names, c.names);
  }

  // Applied, the patch of the first case updates ab.txt and leaves 日本.txt as it was.
  ASSERT_EQ(run({"-i=日本.txt", "old", "new", "p"}), 0) << err();
  fs::copy(at("old"), at("app"), fs::copy_options::recursive);
  ASSERT_EQ(pel({"p.utp", "app"}), 0) << applierOut();
  EXPECT_EQ(readHost("app/ab.txt"), readHost("new/ab.txt"));
  EXPECT_EQ(readHost("app/日本.txt"), readHost("old/日本.txt"));
}

// The pattern a refusal names leaves out that file and no other: where no
// pattern the console can show would, the refusal says so.
TEST_F(NamesTest, TheRefusalNamesAPatternOnlyForThatFileAlone) {
  putHost("old/ab.txt", "a");
  putHost("new/ab.txt", "b");
  putHost("old/日本.txt", "x");
  const std::string other = "or leave it out with -i and a pattern that matches no other file.\n";
  EXPECT_EQ(run({"old", "new", "p"}), 1);
#ifdef _WIN32
  // The console shows "\??.txt", which ab.txt matches too.
  EXPECT_NE(err().find(other), std::string::npos) << err();
#else
  EXPECT_NE(err().find(leaveOut("\\日本.txt") + ".\n"), std::string::npos) << err();
  // A name with a '?' of its own: as a pattern it would match axb.txt too.
  fs::remove(hostPath("old/日本.txt"));
  putHost("old/a?b.txt", "x");
  putHost("old/axb.txt", "y");
  EXPECT_EQ(run({"old", "new", "p"}), 1);
  EXPECT_NE(err().find(other), std::string::npos) << err();
#endif
}

// -D writes its name into the patch: a name the code page cannot hold would
// be another file's there ("??.txt"), so it is refused before any work.
TEST_F(NamesTest, ARemoveNameTheCodePageCannotHoldIsRefused) {
  putHost("old/ab.txt", text(51, 2000));
  putHost("new/ab.txt", text(51, 2000) + "b");
  EXPECT_EQ(run({"-D=日本.txt", "old", "new", "p"}), 1);
  EXPECT_EQ(err(), "Error, the name \"" + platform::consoleText("日本.txt") + "\" given to option \"-D\" holds "
                   "characters that Windows' ANSI code page 1252 cannot hold, so no patch can name it!\n");
  EXPECT_FALSE(files.fileExists(at("p.utp")));
  ASSERT_EQ(run({"-D=résumé.md", "old", "new", "p"}), 0) << "é is in the code page: " << err();
  EXPECT_EQ(checkPatch(at("p.utp"), {at("old")}, at("new")).names,
            (std::vector<std::string>{"ab.txt", "-r\xe9sum\xe9.md"}));
}

}  // namespace
