// The builder and the console applier end to end: patches made by
// kestmain from generated trees are applied by pelmora's front end with a
// scripted console, and every file must end exactly as the new version.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "applier/console.h"
#include "applier/journal.h"
#include "patchformat/coding.h"
#include "patchformat/crc.h"
#include "platform/fault_injection.h"
#include "platform/files.h"
#include "platform/process.h"
#include "tests/crafted_patch.h"
#include "tests/delta_writer.h"
#include "tests/tree_fixture.h"

namespace {

namespace fs = std::filesystem;

// A console whose keys come from a script and whose output is kept.
class ScriptedConsole : public applier::ConsoleFrontEnd {
 public:
  ScriptedConsole() : ConsoleFrontEnd(platform::systemMachine().console) {}
  void reset(const std::string& script) {
    out.clear();
    keys = script;
    waits.clear();
  }
  void write(const std::string& text) override { out += text; }
  int key(int timeoutMs) override {
    waits.push_back(timeoutMs);
    if (onKey) onKey();
    if (keys.empty()) return -1;
    const char c = keys[0];
    keys.erase(0, 1);
    return static_cast<unsigned char>(c);
  }
  bool ownsWindow() override { return ownWindow; }
  std::string out;
  std::string keys;
  std::vector<int> waits;
  bool ownWindow = false;  // as a program started by a double click
  std::function<void()> onKey;  // at every key wait, before the key
};

struct FileState {
  std::string bytes;
  std::uint32_t dosDateTime = 0;
  std::uint32_t attributes = 0;
  bool operator==(const FileState& o) const {
    return bytes == o.bytes && dosDateTime == o.dosDateTime && attributes == o.attributes;
  }
};
// Failures show a file's size, checksum, date and attributes, not its bytes.
void PrintTo(const FileState& s, std::ostream* out) {
  *out << s.bytes.size() << " bytes, crc " << std::hex << patchformat::crc32_noinv(s.bytes.data(), s.bytes.size()) << ", date "
       << s.dosDateTime << ", attributes " << s.attributes << std::dec;
}
using Tree = std::map<std::string, FileState>;

class ApplyTest : public testing_support::TreeFixture {
 protected:
  ApplyTest() : TreeFixture("apply_test") {}
  void SetUp() override {
    TreeFixture::SetUp();
    temp = useTemporaryDirectory();
  }

  // Files below `dir` with content, date and attributes; `skip` names a subdirectory left out.
  Tree snapshot(const std::string& dir, const std::string& skip = "") const {
    Tree t;
    if (!fs::exists(at(dir))) return t;
    for (const auto& e : fs::recursive_directory_iterator(at(dir))) {
      if (!e.is_regular_file()) continue;
      const std::string rel = fs::relative(e.path(), at(dir)).generic_string();
      if (!skip.empty() && rel.rfind(skip + "/", 0) == 0) continue;
      FileState s;
      files.readWholeFile(e.path().string(), &s.bytes);
      platform::FileStatus st;
      files.fileStatus(e.path().string(), &st);
      s.dosDateTime = st.dosDateTime;
      s.attributes = st.attributes;
      t[rel] = s;
    }
    return t;
  }
  void copyTree(const std::string& from, const std::string& to) {
    removeTree(at(to));
    fs::create_directories(fs::path(at(to)).parent_path());
    fs::copy(at(from), at(to), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    // Copies keep their times only where the library does; set them from the source.
    for (const auto& e : fs::recursive_directory_iterator(at(from))) {
      if (!e.is_regular_file()) continue;
      fs::last_write_time(at(to) / fs::relative(e.path(), at(from)), fs::last_write_time(e.path()));
    }
  }
  int kest(std::vector<std::string> words) { return run(std::move(words)); }
  // Runs pelmora; words that name something below root are made absolute.
  // With `slashSwitches`, words that begin with '/' are switches, as on
  // Windows (the paths below root then never begin with one).
  int pel(const std::vector<std::string>& words, const std::string& keys = "", const std::string& program = "",
          bool slashSwitches = platform::slashWordsAreSwitches()) {
    console.reset(keys);
    std::vector<std::string> args{"pelmora"};
    for (const std::string& w : words) args.push_back(w[0] == '-' || w[0] == '/' || w == "." ? w : at(w));
    return applier::runPelmora(args, program, console, applierMachine.machine, slashSwitches);
  }
  // pelmora with the Windows switches, in root, the words as they are:
  // names relative to root (an absolute POSIX path would be a switch).
  int pelWindows(const std::vector<std::string>& words) {
    console.reset("");
    std::vector<std::string> args{"pelmora"};
    args.insert(args.end(), words.begin(), words.end());
    const fs::path saved = fs::current_path();
    fs::current_path(root);
    const int code = applier::runPelmora(args, "", console, applierMachine.machine, true);
    fs::current_path(saved);
    return code;
  }
  std::size_t count(const std::string& what) const {
    std::size_t n = 0;
    for (std::size_t p = console.out.find(what); p != std::string::npos; p = console.out.find(what, p + 1)) ++n;
    return n;
  }
  // No temporary file of the applier is left anywhere below `dir` (root).
  void expectNoTemporaries(const std::string& dir = "") const {
    for (const auto& e : fs::recursive_directory_iterator(dir.empty() ? root : at(dir))) {
      const std::string name = e.path().filename().string();
      EXPECT_FALSE(name.rfind("VDX", 0) == 0 && e.path().extension() == ".tmp") << e.path();
    }
  }

  // The header of the patch file `name` (below root).
  patchformat::PatchHeader headerOf(const std::string& name) const {
    const std::string bytes = read(name);
    patchformat::MemoryRandomReader in(bytes);
    return patchformat::locatePatch(in).header;
  }

  // An engine of the console front end for `patch` applied to `target`
  // (both below root), loaded and through its check pass, which keeps its
  // verified results for the apply pass unless told not to: for tests that
  // act between the passes.
  std::unique_ptr<applier::PatchEngine> checkedEngine(const std::string& patch, const std::string& target,
                                                      bool keepResults = true) {
    applier::ApplyRequest request;
    request.patchName = at(patch);
    request.oldPath = request.newPath = at(target);
    auto engine =
        std::make_unique<applier::PatchEngine>(console, applier::Numbering::kConsole, applierMachine.machine, request);
    if (!keepResults) engine->rebuilder().setKeepBudget(0);
    engine->load_patch();
    engine->locate_and_process(applier::Pass::kCheck);
    return engine;
  }
  // The error that ends the apply pass of `engine`.
  applier::ApplierError applyFails(applier::PatchEngine& engine) {
    try {
      engine.locate_and_process(applier::Pass::kApply);
    } catch (const applier::ApplierError& e) {
      return e;
    }
    ADD_FAILURE() << "applied" << console.out;
    return applier::ApplierError(-1, "");
  }

  // The fixture's trees, and a file added under a new name that is made
  // from a similar old one.
  void makeTrees() {
    TreeFixture::makeTrees();
    put("new/sub/data-copy.bin", read("new/sub/data.bin") + "with a tail");
  }

  std::string temp;
  ScriptedConsole console;
  // The applier's machine: the real files (faults only where a test asks),
  // the places and the registry in memory.
  platform::FaultInjectingFileSystem applierFiles{files};
  testing_support::TestMachine applierMachine{applierFiles};
};

TEST_F(ApplyTest, DirectoryPatchUpdatesTheTreeKeepsBackupsAndRunsAgainHarmlessly) {
  makeTrees();
  files.setAttributes(at("new/readme.txt"), platform::kAttributeReadOnly);
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0) << err();
  copyTree("old", "app");
  const Tree oldTree = snapshot("old");

  ASSERT_EQ(pel({"p.utp", "app"}), 0) << console.out;
  EXPECT_EQ(snapshot("app", "Backup"), snapshot("new")) << console.out;
  const Tree backup = snapshot("app/Backup");
  ASSERT_EQ(backup.count("program.exe"), 1u);
  EXPECT_EQ(backup.at("program.exe").bytes, oldTree.at("program.exe").bytes);
  EXPECT_EQ(backup.at("sub/data.bin").bytes, oldTree.at("sub/data.bin").bytes);
  EXPECT_EQ(backup.at("obsolete.dll").bytes, oldTree.at("obsolete.dll").bytes) << "obsolete files are moved away";
  EXPECT_EQ(backup.count("same.cfg"), 0u);
  EXPECT_NE(console.out.find("Removing obsolete file \"obsolete.dll\".\r\n"), std::string::npos);
  EXPECT_NE(console.out.find("\r\nOk, patch file applied with SUCCESS!\r\n"), std::string::npos);
  EXPECT_EQ(console.waits, std::vector<int>{10000}) << "no comment: the key wait of ten seconds";
  expectNoTemporaries();

  ASSERT_EQ(pel({"p.utp", "app"}), 0) << console.out;
  EXPECT_EQ(count("(ok, already updated)"), 2 * count("Updating file")) << console.out;
  EXPECT_EQ(snapshot("app/Backup"), backup) << "a second run moves nothing into the backup";
  EXPECT_EQ(snapshot("app", "Backup"), snapshot("new"));
}

// Removing obsolete files leaves no emptied directory behind; a directory
// that still holds something stays, and so does the target's own.
TEST_F(ApplyTest, ObsoleteFilesTakeTheirEmptiedDirectoriesWithThem) {
  put("old/plugins/legacy/a.dll", "a");
  put("old/plugins/legacy/deeper/b.dll", "b");
  put("old/plugins/keep.txt", "kept");
  put("old/only/c.dll", "c");
  put("old/main.txt", "main");
  put("new/plugins/keep.txt", "kept");
  put("new/main.txt", "main, new");
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0) << err();
  copyTree("old", "app");
  ASSERT_EQ(pel({"p.utp", "app"}), 0) << console.out;
  EXPECT_FALSE(fs::exists(at("app/plugins/legacy")));
  EXPECT_FALSE(fs::exists(at("app/only")));
  EXPECT_TRUE(fs::exists(at("app/plugins/keep.txt")));
  EXPECT_EQ(read("app/Backup/plugins/legacy/deeper/b.dll"), "b");
  EXPECT_EQ(read("app/Backup/only/c.dll"), "c");
  EXPECT_EQ(snapshot("app", "Backup"), snapshot("new"));
}

// The compact encoder (-o, also with -r) writes the same delta format: the
// console applier rebuilds the new tree from its directory patch.
TEST_F(ApplyTest, CompactDirectoryPatchApplies) {
  makeTrees();
  for (const char* extra : {"-o", "-r"}) {
    std::vector<std::string> words{"-o", "-d=*", "old", "new", "p"};
    if (std::string(extra) == "-r") words.insert(words.begin(), "-r");
    ASSERT_EQ(kest(words), 0) << err();
    fs::remove_all(at("app"));
    copyTree("old", "app");
    ASSERT_EQ(pel({"p.utp", "app"}), 0) << console.out;
    EXPECT_EQ(snapshot("app", "Backup"), snapshot("new")) << console.out;
    expectNoTemporaries();
  }
}

// The same trees as a stored body (-j), deflated (by default, and by the
// compact encoder, -o) and as one LZMA stream (-o=lzma): each patch's
// header and listing (-i, -i=json) say how its body is stored, and each
// applies to the new tree.
TEST_F(ApplyTest, EveryBodyCodingAppliesTheSameTrees) {
  makeTrees();
  struct Case {
    std::vector<std::string> options;
    patchformat::BodyCoding coding;
    std::string listed;  // what -i says of the body
    std::string json;    // what -i=json says
  };
  const Case cases[] = {
      {{"-j"}, patchformat::BodyCoding::kStored, "), body stored, format version 220",
       "\"compressed\": false, \"bodyCoding\": \"stored\", \"formatVersion\": 220,"},
      {{}, patchformat::BodyCoding::kDeflate, "), body compressed (deflate), format version 220",
       "\"compressed\": true, \"bodyCoding\": \"deflate\", \"formatVersion\": 220,"},
      {{"-o"}, patchformat::BodyCoding::kDeflate, "), body compressed (deflate), format version 220",
       "\"compressed\": true, \"bodyCoding\": \"deflate\", \"formatVersion\": 220,"},
      {{"-o=lzma"}, patchformat::BodyCoding::kLzma, "), body compressed (LZMA), format version 221",
       "\"compressed\": true, \"bodyCoding\": \"lzma\", \"formatVersion\": 221,"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options.empty() ? "deflate" : c.options[0]);
    std::vector<std::string> words = c.options;
    words.insert(words.end(), {"-d=*", "old", "new", "p"});
    ASSERT_EQ(kest(words), 0) << err();
    EXPECT_EQ(headerOf("p.utp").bodyCoding(), c.coding);
    fs::remove_all(at("app"));
    copyTree("old", "app");
    ASSERT_EQ(pel({"p.utp", "app"}), 0) << console.out;
    EXPECT_EQ(snapshot("app", "Backup"), snapshot("new"));
    expectNoTemporaries();
    ASSERT_EQ(pel({"-i", "p.utp"}), 0) << console.out;
    EXPECT_NE(console.out.find(c.listed), std::string::npos) << console.out;
    ASSERT_EQ(pel({"-i=json", "p.utp"}), 0) << console.out;
    EXPECT_NE(console.out.find(c.json), std::string::npos) << console.out;
  }
}

TEST_F(ApplyTest, SourcesComeFromTheBackupDirectoryAndOptionalFilesMayLack) {
  makeTrees();
  ASSERT_EQ(kest({"-u=sub\\*", "old", "new", "p"}), 0) << err();
  // An earlier run that stopped after moving program.exe into the backup.
  copyTree("old", "app");
  fs::create_directories(at("app/Backup"));
  fs::rename(at("app/program.exe"), at("app/Backup/program.exe"));
  ASSERT_EQ(pel({"p.utp", "app"}), 0) << console.out;
  EXPECT_EQ(read("app/program.exe"), read("new/program.exe"));

  // sub\data.bin may be missing (-u); readme.txt may not.
  copyTree("old", "app");
  fs::remove(at("app/sub/data.bin"));
  ASSERT_EQ(pel({"p.utp", "app"}), 0) << console.out;
  EXPECT_NE(console.out.find("Checking patchinfo for file \"sub\\data.bin\": (no matching source)\r\n"
                             "Warning, cannot create new file, but patched software will work without it.\r\n"),
            std::string::npos)
      << console.out;
  EXPECT_FALSE(fs::exists(at("app/sub/data.bin")));
  EXPECT_EQ(read("app/program.exe"), read("new/program.exe"));
  copyTree("old", "app");
  fs::remove(at("app/readme.txt"));
  const Tree before = snapshot("app");
  EXPECT_EQ(pel({"p.utp", "app"}), 1);
  EXPECT_NE(console.out.find("(no matching source)\r\nError, cannot create new file, but patched software won't "
                             "work without it.\r\n\r\nError, patch is not applicable to"),
            std::string::npos)
      << console.out;
  EXPECT_EQ(snapshot("app"), before);
}

#ifndef _WIN32
TEST_F(ApplyTest, ReplacedFilesKeepTheirPermissions) {
  makeTrees();
  ASSERT_EQ(kest({"old", "new", "p"}), 0);
  copyTree("old", "app");
  fs::permissions(at("app/program.exe"), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  ASSERT_EQ(pel({"p.utp", "app"}), 0) << console.out;
  EXPECT_EQ(read("app/program.exe"), read("new/program.exe"));
  EXPECT_EQ(fs::status(at("app/program.exe")).permissions() & fs::perms::all,
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec)
      << "a program stays executable";
}
#endif

TEST_F(ApplyTest, TestModeChangesNothing) {
  makeTrees();
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0);
  copyTree("old", "app");
  const Tree before = snapshot("app");
  ASSERT_EQ(pel({"-t", "p.utp", "app"}), 0) << console.out;
  EXPECT_EQ(console.out.find("Testmode enabled, no files will be changed.\r\n\r\n"),
            std::string("Pelmora 2.2d patching technology\r\n").size());
  const std::string tail = "\r\nOk. Patch file applicable to \"" + at("app") +
                           "\".\r\n\r\nOk, the check succeeded; in test mode no file was changed.\r\n";
  EXPECT_EQ(console.out.substr(console.out.size() - tail.size()), tail);
  EXPECT_EQ(console.out.find("applied with SUCCESS"), std::string::npos) << "nothing was applied";
  EXPECT_NE(console.out.find("File \"obsolete.dll\" is now obsolet"), std::string::npos);
  EXPECT_EQ(snapshot("app"), before);
  expectNoTemporaries();
}

TEST_F(ApplyTest, FilePatchRebuildsFromEveryVersionOfItsChain) {
  const std::string v1 = text(10, 30000);
  std::string v2 = v1, v3, v4;
  v2.insert(5000, "second version");
  v3 = v2;
  v3.erase(20000, 300);
  v4 = v3 + "fourth";
  put("v1.bin", v1);
  put("v2.bin", v2);
  put("v3.bin", v3);
  put("v4.bin", v4);
  ASSERT_EQ(kest({"v1.bin", "v2.bin", "v3.bin", "v4.bin", "p"}), 0) << err();
  for (const std::string v : {"v1.bin", "v2.bin", "v3.bin", "v4.bin"}) {
    put("t/app.bin", read(v));
    ASSERT_EQ(pel({"p.utp", "t/app.bin"}), 0) << v << console.out;
    EXPECT_EQ(read("t/app.bin"), v4) << v;
    const std::string expected = v == std::string("v4.bin") ? "(ok, already updated)" : "(ok)";
    EXPECT_NE(console.out.find("Updating file \"" + at("t/app.bin") + "\": " + expected), std::string::npos)
        << console.out;
    EXPECT_FALSE(fs::exists(at("t/Backup"))) << "a single-file patch keeps no backup";
    expectNoTemporaries();
  }
  put("t/app.bin", v1.substr(0, 29999) + "!");  // right size, wrong checksum
  EXPECT_EQ(pel({"p.utp", "t/app.bin"}), 1);
  EXPECT_NE(console.out.find("\r\nError, patch is not applicable to \"" + at("t/app.bin") + "\"."), std::string::npos)
      << console.out;
  EXPECT_EQ(read("t/app.bin"), v1.substr(0, 29999) + "!");
}

// Old versions that share nothing with the new file: their deltas would
// cost more than the file, which the patch stores whole. Every old version
// is still recognised, and only they are.
TEST_F(ApplyTest, AFileWhoseDeltasCostMoreIsStoredWholeAndEveryVersionStillChecked) {
  std::mt19937 rng(7);
  const auto noise = [&rng](std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
  };
  // Sizes on both sides of the 1000 bytes that a step of zeros inserts,
  // and of a number's 16-bit range.
  const std::vector<std::string> old{noise(3000), noise(700), noise(70000)};
  const std::string v4 = text(3, 40000);
  for (std::size_t k = 0; k < old.size(); ++k) put("v" + std::to_string(k + 1) + ".bin", old[k]);
  put("v4.bin", v4);
  // -f: files this unlike would otherwise be refused as unrelated.
  ASSERT_EQ(run({"-f", "v1.bin", "v2.bin", "v3.bin", "v4.bin", "p"}, false), 0) << err();
  EXPECT_NE(out().find("would cost more than the file (about "), std::string::npos) << out();
  EXPECT_LT(read("p.utp").size(), v4.size() / 2) << "stored whole, compressed with the body";
  for (const std::string& v : old) {
    put("t/app.bin", v);
    ASSERT_EQ(pel({"p.utp", "t/app.bin"}), 0) << console.out;
    EXPECT_EQ(read("t/app.bin"), v4);
    expectNoTemporaries();
  }
  put("t/app.bin", noise(3000));
  EXPECT_EQ(pel({"p.utp", "t/app.bin"}), 1) << "a file of no old version is refused";
  EXPECT_NE(console.out.find("Error, patch is not applicable"), std::string::npos) << console.out;
}

TEST_F(ApplyTest, OldAndNewPathsSplitSourcesAndResults) {
  makeTrees();
  ASSERT_EQ(kest({"old", "new", "p"}), 0);
  const Tree before = snapshot("old");
  fs::create_directories(at("out"));
  ASSERT_EQ(pel({"-auto", "p.utp", "old", "out"}), 0) << console.out;
  EXPECT_EQ(snapshot("old"), before) << "sources are only read";
  const Tree result = snapshot("out");
  const Tree expected = snapshot("new");
  for (const char* name : {"program.exe", "readme.txt", "sub/data.bin", "tiny.txt", "sub/added.dat", "sub/data-copy.bin"}) {
    ASSERT_EQ(result.count(name), 1u) << name;
    EXPECT_EQ(result.at(name), expected.at(name)) << name;
  }
  EXPECT_FALSE(fs::exists(at("out/Backup")));
}

TEST_F(ApplyTest, StoredBodiesAndSeveralTargetsApply) {
  makeTrees();
  ASSERT_EQ(kest({"-j", "-d=*", "old", "new", "p"}), 0) << err();
  copyTree("old", "app");
  ASSERT_EQ(pel({"p.utp", "app"}), 0) << console.out;
  EXPECT_EQ(snapshot("app", "Backup"), snapshot("new"));
  // The second target lies in the Windows directory.
  put("o2/w.ini", text(20, 4000));
  put("n2/w.ini", text(20, 3990) + "windows");
  ASSERT_EQ(kest({"-d=*", "old", "new", "-n=win", "o2", "n2", "p2"}), 0) << err();
  copyTree("old", "app");
  copyTree("o2", "windows");
  applierMachine.locations.windows = at("windows");
  ASSERT_EQ(pel({"p2.utp", "app"}), 0) << console.out;
  EXPECT_EQ(snapshot("app", "Backup"), snapshot("new"));
  EXPECT_EQ(read("windows/w.ini"), read("n2/w.ini"));
}

TEST_F(ApplyTest, CommentsAreShownAndConfirmed) {
  makeTrees();
  ASSERT_EQ(kest({"-c=First line\\nsecond line", "-d=*", "old", "new", "p"}), 0) << err();
  copyTree("old", "app");
  const Tree before = snapshot("app");
  EXPECT_EQ(pel({"p.utp", "app"}, "n"), 1);
  EXPECT_NE(console.out.find("Comment for you from the creating people this patch file:\r\n"
                             "First line\r\nsecond line\r\n\r\nDo you want to apply this patch file? (y/n) n\r\n"
                             "\r\nYou denied to apply the patch file."),
            std::string::npos)
      << console.out;
  EXPECT_EQ(snapshot("app"), before);
  EXPECT_EQ(pel({"p.utp", "app"}, "Y"), 1) << "only a lower-case y is yes";
  EXPECT_EQ(pel({"p.utp", "app"}, "y"), 0) << console.out;
  EXPECT_EQ(snapshot("app", "Backup"), snapshot("new"));

  // Header flag 2: the comment is shown without a question.
  std::string bytes = read("p.utp");
  bytes[9] = static_cast<char>(bytes[9] | patchformat::kHeaderNoConfirmation);  // the header's flags
  put("p.utp", bytes);
  copyTree("old", "app");
  EXPECT_EQ(pel({"p.utp", "app"}), 0) << console.out;
  EXPECT_EQ(console.out.find("(y/n)"), std::string::npos);
  EXPECT_TRUE(console.waits.empty());
}

TEST_F(ApplyTest, SearchFindsTheTargetAndAsks) {
  makeTrees();
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0);
  copyTree("old", "area/app");
  put("area/unrelated/x.txt", "nothing to patch");
  // Declining every candidate and the disk scan ends with "cannot be found".
  const Tree before = snapshot("area");
  // The first key ends the wait after the creator text.
  EXPECT_EQ(pel({"-auto", "p.utp", "area"}, " nn"), 1);
  EXPECT_NE(console.out.find("\r\nThe patch file can be applied to \"" + at("area") + "\\app\".\r\nDo you want to apply it? (y/n) n"),
            std::string::npos)
      << console.out;
  EXPECT_NE(console.out.find("This takes a few minutes; would you like to start it now? (y/n) n"), std::string::npos);
  EXPECT_NE(console.out.find("\r\nThe target software for this patch cannot be found."), std::string::npos);
  EXPECT_EQ(snapshot("area"), before);
  const std::size_t shown = at("area").size() + 1;
  EXPECT_NE(console.out.find("Checking if the patch file can be applied.\r\n\r\n" + at("area") + "\\"),
            std::string::npos)
      << "the searched directory is shown";
  EXPECT_NE(console.out.find(std::string(shown, '\b') + std::string(shown, ' ') + std::string(shown, '\b')),
            std::string::npos)
      << "and erased again";

  ASSERT_EQ(pel({"-auto", "p.utp", "area"}, " y"), 0) << console.out;
  EXPECT_EQ(snapshot("area/app", "Backup"), snapshot("new"));

  // Without -auto the given path must fit.
  EXPECT_EQ(pel({"p.utp", "area"}), 1);
  EXPECT_NE(console.out.find("\r\nError, patch is not applicable to \"" + at("area") + "\"."), std::string::npos);

  // The given path is the software with a file changed by hand, and the
  // search finds nothing else: that file is named, as without -auto.
  copyTree("old", "edited");
  put("edited/readme.txt", read("old/readme.txt") + "edited");
  EXPECT_EQ(pel({"-auto", "-y", "p.utp", "edited"}), 1);
  EXPECT_NE(console.out.find("\r\nFile \"readme.txt\" matches none of the versions this patch updates"),
            std::string::npos)
      << console.out;
  EXPECT_NE(console.out.find("\r\nError, patch is not applicable to \"" + at("edited") + "\"."), std::string::npos);
  EXPECT_EQ(console.out.find("cannot be found"), std::string::npos);
}

TEST_F(ApplyTest, SingleFilePatchProbesTheEntriesOfTheGivenDirectory) {
  put("a.txt", text(30, 3000));
  put("b.txt", text(30, 2990) + "new ending");
  ASSERT_EQ(kest({"a.txt", "b.txt", "p"}), 0);
  put("dir/other.txt", "not it");
  put("dir/tool.txt", read("a.txt"));
  ASSERT_EQ(pel({"p.utp", "dir"}, " y"), 0) << console.out;
  EXPECT_NE(console.out.find("The patch file can be applied to \"" + at("dir") + "\\tool.txt\""), std::string::npos)
      << console.out;
  EXPECT_EQ(read("dir/tool.txt"), read("b.txt"));
  EXPECT_EQ(read("dir/other.txt"), "not it");
}

TEST_F(ApplyTest, DiskScanSkipsCdRomAndNetworkDrives) {
  makeTrees();
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0);
  copyTree("old", "cd/app");
  copyTree("old", "net/app");
  copyTree("old", "disk/x/y/app");
  fs::create_directories(at("elsewhere"));
  auto& drives = applierMachine.locations.drives;
  drives['C'] = {platform::kDriveFixed, at("cd") + "\\"};
  drives['D'] = {platform::kDriveCdRom, at("cd") + "\\"};
  drives['E'] = {platform::kDriveRemote, at("net") + "\\"};
  drives['F'] = {platform::kDriveFixed, at("disk") + "\\"};
  // C holds one candidate (declined); D and E are never searched; F has the target.
  ASSERT_EQ(pel({"-auto", "p.utp", "elsewhere"}, " yny"), 0) << console.out;
  EXPECT_NE(console.out.find("\r\nScanning all your local hard disks for target files...\r\n"), std::string::npos);
  EXPECT_EQ(count("Do you want to apply it?"), 2u) << console.out;
  EXPECT_EQ(snapshot("disk/x/y/app", "Backup"), snapshot("new"));
  EXPECT_EQ(snapshot("net/app"), snapshot("old"));
}

TEST_F(ApplyTest, RegistryLocatesTheTarget) {
  put("a.txt", text(30, 3000));
  put("b.txt", text(30, 2990) + "new ending");
  put("inst/tool.txt", read("a.txt"));
  std::string dir = at("inst/tool.txt");
  std::string escaped;
  for (char c : dir) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  applierMachine.registry = platform::ExportedRegistry("[HKEY_LOCAL_MACHINE\\Software\\Acme\\Tool]\r\n\"Path\"=\"" +
                                                       escaped + "\"\r\n\"Blank\"=\"\"\r\n");
  ASSERT_EQ(kest({"-k=Software\\Acme\\Tool\\Path", "a.txt", "b.txt", "p"}), 0) << err();
  ASSERT_EQ(pel({"p.utp"}), 0) << console.out;
  EXPECT_EQ(read("inst/tool.txt"), read("b.txt"));
  ASSERT_EQ(kest({"-k=Software\\Acme\\Tool\\Blank", "a.txt", "b.txt", "p"}), 0);
  EXPECT_EQ(pel({"p.utp"}), 1);
  EXPECT_NE(console.out.find("Registry lookup of patch target failed!"), std::string::npos) << console.out;
}

// A target path that names nothing is named as such, before any file is
// checked: given to a directory patch, as the old path of a single-file
// patch, and read from the registry.
TEST_F(ApplyTest, ATargetPathThatDoesNotExistIsNamed) {
  makeTrees();
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0);
  const auto namesMissing = [&](const std::string& path) {
    EXPECT_NE(console.out.find("\r\nError, the target path \"" + path + "\" does not exist.\r\n"), std::string::npos)
        << console.out;
    EXPECT_EQ(console.out.find("Checking patchinfo"), std::string::npos) << "no file is checked";
    EXPECT_EQ(console.out.find("cannot create new file"), std::string::npos);
  };
  EXPECT_EQ(pel({"p.utp", "nowhere"}), 1);
  namesMissing(at("nowhere"));
  EXPECT_EQ(pelWindows({"/quiet", "p.utp", "nowhere"}), 1642) << "the target is not there";
  ASSERT_EQ(kest({"old/program.exe", "new/program.exe", "f"}), 0);
  EXPECT_EQ(pel({"f.utp", "gone.exe", "made.exe"}), 1);
  namesMissing(at("gone.exe"));
  std::string escaped;
  for (char c : at("removed")) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  applierMachine.registry =
      platform::ExportedRegistry("[HKEY_LOCAL_MACHINE\\Software\\Acme]\r\n\"Path\"=\"" + escaped + "\"\r\n");
  ASSERT_EQ(kest({"-d=*", "-k=Software\\Acme\\Path", "old", "new", "r"}), 0) << err();
  EXPECT_EQ(pel({"r.utp"}), 1);
  namesMissing(at("removed"));
}

TEST_F(ApplyTest, CommandLineMistakesShowTheUsage) {
  const std::string usage =
      "Usage: Pelmora [-t] [-auto] [-y] patchname [oldpath [newpath]]\r\n       Pelmora -i[=json] patchname\r\n";
  const std::string banner = "Pelmora 2.2d patching technology\r\n";
  EXPECT_EQ(pel({}), 1);
  EXPECT_EQ(console.out, banner + usage);
  EXPECT_EQ(pel({"-x"}), 1);
  EXPECT_EQ(console.out, banner + "Illegal option \"-x\" used!" + usage);
  EXPECT_EQ(pel({"a", "b", "c", "d"}), 1);
  EXPECT_EQ(console.out, banner + "Too many parameters!" + usage);
  EXPECT_EQ(pel({"a", "-h"}), 0);
  EXPECT_EQ(console.out.rfind(banner + usage, 0), 0u) << "-h adds the options after the usage";
  EXPECT_NE(console.out.find("\r\n  -y       batch mode"), std::string::npos) << console.out;
  EXPECT_EQ(pel({"missing.utp"}), 1);
  EXPECT_NE(console.out.find("Error, cannot open patch file"), std::string::npos);
}

// The Windows switches: /quiet shows nothing and asks nothing, /passive
// shows and asks nothing, /log keeps what would be shown, /? is the help;
// an unknown word with '/' is refused, never a path. In those modes the
// exit code tells the outcome; outside them it stays 0 or 1.
TEST_F(ApplyTest, UnattendedSwitchesAndTheirExitCodes) {
  makeTrees();
  ASSERT_EQ(kest({"-d=*", "-c=Read me", "old", "new", "p"}), 0);
  copyTree("old", "app");
  EXPECT_EQ(pelWindows({"/quiet", "/log", "run.log", "p.utp", "app"}), 0);
  EXPECT_EQ(console.out, "") << "nothing shown";
  EXPECT_TRUE(console.waits.empty()) << "nothing asked";
  EXPECT_EQ(snapshot("app", "Backup"), snapshot("new"));
  const std::string logged = read("run.log");
  EXPECT_EQ(logged.rfind("--- ", 0), 0u) << logged;
  EXPECT_NE(logged.find("\r\nPelmora 2.2d patching technology\r\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find("Do you want to apply this patch file? (y/n) y\r\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find("\r\nOk, patch file applied with SUCCESS!\r\nExit code 0.\r\n"), std::string::npos)
      << logged;
  EXPECT_EQ(logged.find('\b'), std::string::npos);
  // Appended: a second run's lines follow the first's.
  EXPECT_EQ(pelWindows({"/passive", "/log", "run.log", "p.utp", "app"}), 0);
  EXPECT_NE(console.out.find("Ok, patch file applied with SUCCESS!"), std::string::npos) << "/passive shows";
  EXPECT_TRUE(console.waits.empty());
  EXPECT_EQ(read("run.log").rfind(logged, 0), 0u);
  EXPECT_GT(read("run.log").size(), logged.size() + 100);

  fs::create_directories(at("elsewhere"));
  EXPECT_EQ(pelWindows({"/quiet", "p.utp", "elsewhere"}), 1642);
  EXPECT_EQ(pelWindows({"-y", "p.utp", "elsewhere"}), 1) << "outside the unattended modes";
  EXPECT_EQ(pelWindows({"/passive", "-t", "p.utp", "app"}), 0);
  EXPECT_EQ(pelWindows({"/quiet", "missing.utp"}), 1603);
  applierFiles.diskFullAfter(3000);
  copyTree("old", "app");
  EXPECT_EQ(pelWindows({"/quiet", "p.utp", "app"}), 112) << "a write that found the disk full";
  applierFiles.reset();

  // The command line.
  EXPECT_EQ(pelWindows({"/quiet", "/x", "p.utp"}), 1639);
  EXPECT_EQ(console.out, "");
  EXPECT_EQ(pelWindows({"/x", "p.utp"}), 1);
  EXPECT_NE(console.out.find("Illegal option \"/x\" used!Usage: Pelmora"), std::string::npos) << console.out;
  EXPECT_EQ(pelWindows({"/passive", "p.utp", "app", "more", "words"}), 1639);
  EXPECT_EQ(pelWindows({"p.utp", "/log"}), 1) << "/log without its file";
  EXPECT_EQ(pelWindows({"/passive", "/log", "no/such/dir/run.log", "p.utp", "app"}), 1622);
  EXPECT_NE(console.out.find("Error, cannot write the log file"), std::string::npos) << console.out;
  EXPECT_EQ(pelWindows({"/?"}), 0);
  EXPECT_NE(console.out.find("  /log FILE   append everything shown to FILE\r\n"), std::string::npos) << console.out;
  EXPECT_EQ(pelWindows({"/QUIET", "/?"}), 0) << "names in any case; asked for, the help shows";
  EXPECT_NE(console.out.find("Usage: Pelmora"), std::string::npos);
  // Where paths begin with '/', such words are paths.
  EXPECT_EQ(pel({"-y", "p.utp", "/quiet"}, "", "", false), 1);
  EXPECT_NE(console.out.find("Error, the target path \"/quiet\" does not exist."), std::string::npos) << console.out;
  EXPECT_EQ(pel({"-h"}, "", "", false), 0);
  EXPECT_EQ(console.out.find("/quiet"), std::string::npos) << "no switches in the help";
}

// Files in use, missing rights and another run at work on the target end
// the unattended modes with codes of their own.
TEST_F(ApplyTest, UnattendedCodesOfFilesInUseRightsAndOtherRuns) {
  makeTrees();
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0);
  copyTree("old", "app");
  const Tree before = snapshot("app");
  applierMachine.programs.holdersOf = [](const std::string&) {
    return std::vector<platform::FileHolder>{{"rocket.exe", 1234}};
  };
  applierFiles.failAt(platform::FileOp::kLockTest, 1);
  EXPECT_EQ(pelWindows({"/passive", "p.utp", "app"}), 32);
  EXPECT_NE(console.out.find("is in use: close rocket.exe (1234), then apply the patch again."), std::string::npos)
      << console.out;
  applierFiles.reset();
  applierFiles.failWith(platform::FileOp::kLockTest, 1, platform::Failure::kAccessDenied);
  EXPECT_EQ(pelWindows({"/quiet", "p.utp", "app"}), 5);
  applierFiles.reset();
  applierFiles.failWith(platform::FileOp::kLockTest, 1, platform::Failure::kAccessDenied);
  EXPECT_EQ(pel({"-y", "p.utp", "app"}), 1) << "outside the unattended modes: 1";
  EXPECT_NE(console.out.find("Apply it again as an administrator"), std::string::npos) << console.out;
  applierFiles.reset();
  EXPECT_EQ(snapshot("app"), before);

  applierMachine.programs.claimed.clear();
  const std::string target = platform::absolutePath(at("app"));
  applierMachine.programs.busy.insert(target);
  EXPECT_EQ(pelWindows({"/quiet", "p.utp", "app"}), 1618);
  EXPECT_EQ(pelWindows({"-y", "p.utp", "app"}), 1);
  EXPECT_NE(console.out.find("\r\nError, another patch is being applied to \"app\" right now. Wait until it has\r\n"),
            std::string::npos)
      << console.out;
  EXPECT_EQ(snapshot("app"), before);
  EXPECT_TRUE(applierMachine.programs.claimed.empty());
  EXPECT_EQ(pel({"-t", "-y", "p.utp", "app"}), 0) << "a check changes nothing: it runs beside another run";
  applierMachine.programs.busy.clear();
  EXPECT_EQ(pel({"-y", "p.utp", "app"}), 0);
  EXPECT_EQ(applierMachine.programs.claimed, std::vector<std::string>{target}) << "claimed once for both passes";
}

// A search claims each candidate before it asks about it, so that no other
// run takes it meanwhile, and lets it go when the user declines it.
TEST_F(ApplyTest, ACandidateIsClaimedWhileTheUserIsAsked) {
  makeTrees();
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0);
  copyTree("old", "area/one");
  copyTree("old", "area/two");
  const platform::FakeOtherPrograms& programs = applierMachine.programs;
  std::vector<std::set<std::string>> heldWhenAsked;
  console.onKey = [&] { heldWhenAsked.push_back(programs.held); };
  // Any key after the patch's texts, no to the first candidate, yes to the second.
  EXPECT_EQ(pel({"-auto", "p.utp", "area"}, " ny"), 0) << console.out;
  ASSERT_EQ(programs.claimed.size(), 2u);
  ASSERT_EQ(heldWhenAsked.size(), 3u);
  EXPECT_TRUE(heldWhenAsked[0].empty()) << "no target yet";
  EXPECT_EQ(heldWhenAsked[1], std::set<std::string>{programs.claimed[0]}) << "the first candidate";
  EXPECT_EQ(heldWhenAsked[2], std::set<std::string>{programs.claimed[1]}) << "the declined one let go";
  EXPECT_TRUE(programs.held.empty()) << "the run has ended";
  const std::string declined = "area/" + fs::path(programs.claimed[0]).filename().string();
  const std::string accepted = "area/" + fs::path(programs.claimed[1]).filename().string();
  EXPECT_EQ(snapshot(declined), snapshot("old"));
  EXPECT_EQ(snapshot(accepted, "Backup"), snapshot("new"));
}

// A self-applying console patch started by a double click: its window
// closes with it, so its last words wait for a key, unless in batch mode.
TEST_F(ApplyTest, AConsoleWindowOfItsOwnWaitsForAKeyAtTheEnd) {
  makeTrees();
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0);
  put("selfpatch", "program code standing in front\n" + read("p.utp"));
  copyTree("old", "here/app");
  console.ownWindow = true;
  ASSERT_EQ(pel({"here/app"}, " y", at("selfpatch")), 0) << console.out;
  EXPECT_EQ(console.waits.back(), -1) << "the last wait has no end";
  EXPECT_NE(console.out.find("Ok, patch file applied with SUCCESS!\r\n\r\nPress any key to close this window ... "),
            std::string::npos)
      << console.out;
  fs::create_directories(at("nothing"));
  EXPECT_EQ(pel({"nothing"}, " n", at("selfpatch")), 1);
  EXPECT_EQ(console.waits.back(), -1) << "an error's words too";
  copyTree("old", "here/app");
  ASSERT_EQ(pel({"-y", "here/app"}, "", at("selfpatch")), 0);
  EXPECT_TRUE(console.waits.empty()) << "batch mode waits for nothing";
  console.ownWindow = false;
  copyTree("old", "here/app");
  ASSERT_EQ(pel({"here/app"}, " y", at("selfpatch")), 0);
  EXPECT_EQ(console.out.find("Press any key to close"), std::string::npos) << "a console of a shell stays open";
  console.ownWindow = true;
  ASSERT_EQ(pel({"p.utp", "here/app"}, " y"), 0);
  EXPECT_EQ(console.out.find("Press any key to close"), std::string::npos) << "pelmora is run from a console";
}

TEST_F(ApplyTest, AProgramWithAPatchBehindItAppliesItself) {
  makeTrees();
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0);
  put("selfpatch", "program code standing in front\n" + read("p.utp"));
  copyTree("old", "here/app");
  // Positional arguments are paths in this mode; searching is on.
  ASSERT_EQ(pel({"here"}, " y", at("selfpatch")), 0) << console.out;
  EXPECT_EQ(snapshot("here/app", "Backup"), snapshot("new"));
  EXPECT_FALSE(applier::carriesPatch(at("old/readme.txt"), files));
}

// A real program in front (this test's own file: an ELF program natively,
// a PE one under Wine), cut short as a download that stopped leaves it:
// just behind the program, inside the header, in the middle of the body,
// just before the end. Each time the program says that it is cut short,
// never its usage or another file's name, and nothing changes.
TEST_F(ApplyTest, ASelfApplyingPatchCutShortSaysSo) {
  makeTrees();
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0);
  std::string program;
  ASSERT_TRUE(files.readWholeFile(files.programPath(), &program));
  const std::string whole = program + read("p.utp");
  copyTree("old", "here/app");
  const Tree before = snapshot("here/app");
  const std::size_t patchSize = whole.size() - program.size();
  for (std::size_t cut : {program.size() + 1, program.size() + 40, program.size() + patchSize / 2, whole.size() - 3}) {
    put("update.exe", whole.substr(0, cut));
    EXPECT_TRUE(applier::carriesPatch(at("update.exe"), files)) << cut;
    for (const std::vector<std::string>& words : {std::vector<std::string>{}, {"here/app"}, {"-t", "here/app"}}) {
      EXPECT_EQ(pel(words, " y", at("update.exe")), 1) << cut;
      EXPECT_NE(console.out.find("update.exe\" is cut short: the file ends before its patch data does."),
                std::string::npos)
          << cut << console.out;
      EXPECT_NE(console.out.find("download the patch again."), std::string::npos) << cut;
      EXPECT_EQ(console.out.find("Usage:"), std::string::npos) << cut << console.out;
    }
  }
  EXPECT_EQ(snapshot("here/app"), before);
  EXPECT_FALSE(applier::carriesPatch(files.programPath(), files)) << "the program alone carries none";
}

// A file that the check pass rebuilt reads differently when the apply pass
// rebuilds it again (its result was not kept): the apply pass ends with the
// numbered message and every change of the run undone, whichever series
// holds the file.
TEST_F(ApplyTest, ASourceThatChangesBetweenThePassesEndsTheRunUndone) {
  const std::string names[] = {"first.txt", "middle.txt", "last.txt"};
  for (int i = 0; i < 3; ++i) {
    const std::string n = std::to_string(i);
    put("o" + n + "/" + names[i], text(40 + i, 6000));
    put("n" + n + "/" + names[i], text(40 + i, 5900) + "new ending");
    put("pristine/" + names[i], read("o" + n + "/" + names[i]));
  }
  ASSERT_EQ(kest({"o0", "n0", "-n", "o1", "n1", "-n", "o2", "n2", "p"}), 0) << err();
  const Tree before = snapshot("pristine");
  for (const std::string& changed : names) {
    copyTree("pristine", "app");
    console.reset("");
    const auto engine = checkedEngine("p.utp", "app", false);
    applierFiles.changeAfterReads(at("app") + "\\" + changed, 0, 3000);
    const applier::ApplierError e = applyFails(*engine);
    applierFiles.reset();
    EXPECT_EQ(e.number(), applier::kMsgNotApplicable) << changed;
    EXPECT_EQ(e.text(), "\r\nError, patch is not applicable to \"" + at("app") + "\".");
    EXPECT_NE(console.out.find("Updating file \"" + changed + "\": \r\nFile \"" + changed + "\" matches none"),
              std::string::npos)
        << console.out;
    EXPECT_EQ(snapshot("app"), before) << changed << console.out;
    expectNoTemporaries();
  }
  // Unchanged, the same run applies all three.
  copyTree("pristine", "app");
  ASSERT_EQ(pel({"p.utp", "app"}), 0) << console.out;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(read("app/" + names[i]), read("n" + std::to_string(i) + "/" + names[i]));
}

// The check pass keeps a verified result in the temporary directory; one
// that is cut short before the apply pass puts it in place is refused.
TEST_F(ApplyTest, AKeptResultCutShortBetweenThePassesIsRefused) {
  put("a.txt", text(30, 30000));
  put("b.txt", text(30, 29000) + "new ending");
  ASSERT_EQ(kest({"a.txt", "b.txt", "p"}), 0);
  put("tool.txt", read("a.txt"));
  const auto engine = checkedEngine("p.utp", "tool.txt");
  int cut = 0;
  for (const auto& e : fs::directory_iterator(temp)) {
    if (e.path().extension() != ".tmp" || e.file_size() != read("b.txt").size()) continue;
    fs::resize_file(e.path(), e.file_size() - 1);
    ++cut;
  }
  ASSERT_EQ(cut, 1) << "the kept result";
  EXPECT_EQ(applyFails(*engine).text(), "Error, writing patched file failed!");
  EXPECT_EQ(read("tool.txt"), read("a.txt"));
  expectNoTemporaries();
}

// --- hostile and damaged patches ---------------------------------------------

class HostilePatchTest : public ApplyTest {
 protected:
  void SetUp() override {
    ApplyTest::SetUp();
    put("app/keep.txt", "original");
    put("app/sub/obsolete.txt", "old");
    put("victim.txt", "outside the target");
  }
  // Applies `bytes` to app/ and expects a refusal that changed nothing.
  void expectRefused(const std::string& bytes, const std::string& message, const std::string& what) {
    put("h.utp", bytes);
    const Tree app = snapshot("app");
    const std::string outside = read("victim.txt");
    EXPECT_EQ(pel({"h.utp", "app"}), 1) << what << console.out;
    EXPECT_NE(console.out.find(message), std::string::npos) << what << console.out;
    EXPECT_EQ(snapshot("app"), app) << what;
    EXPECT_EQ(read("victim.txt"), outside) << what;
    EXPECT_FALSE(fs::exists(at("evil.txt"))) << what;
    expectNoTemporaries();
  }
  // A writer of a delta from `sourceSize` bytes to `targetSize` (raw
  // mismatch bytes, the builder's usual group and chunk sizes).
  static testing_support::DeltaWriter deltaWriter(std::size_t sourceSize, std::uint32_t targetSize) {
    testing_support::DeltaWriter w;
    w.params.sourceSize = static_cast<std::uint32_t>(sourceSize);
    w.params.targetSize = targetSize;
    w.params.mismatchGroup = 190;
    w.params.literalBlockSize = 20;
    w.params.flags = patchformat::kDeltaRawMismatch;
    return w;
  }
  // The record of `source` for the delta in `w`, whose streams go to `streams`.
  static patchformat::SourceRecord sourceRecord(const std::string& source, testing_support::DeltaWriter& w,
                                                std::string* streams) {
    patchformat::SourceRecord record;
    *streams = w.allStreams(record.streamLength);
    record.size = static_cast<std::uint32_t>(source.size());
    record.checksum = patchformat::crc32_noinv(source.data(), source.size());
    record.deltaFlags = w.params.flags;
    record.mismatchGroup = w.params.mismatchGroup;
    record.literalBlockSize = w.params.literalBlockSize;
    return record;
  }
};

TEST_F(HostilePatchTest, NamesLeavingTheTargetAreRefusedBeforeAnyChange) {
  for (const std::string name : {"..\\evil.txt", "../evil.txt", "sub\\..\\..\\evil.txt", "\\evil.txt", "/evil.txt",
                                 "C:\\evil.txt", "c:evil.txt", "sub\\x:stream", ""}) {
    testing_support::CraftedPatch p;
    p.series();
    p.embedded("keep.txt", "changed first");  // would be written in the apply pass
    p.embedded(name, "evil");
    p.end();
    expectRefused(p.file(), "Error, patch is corrupted!", "embedded " + name);

    testing_support::CraftedPatch q;
    q.series();
    q.obsolete(name);
    q.end();
    expectRefused(q.file(), "Error, patch is corrupted!", "obsolete " + name);
  }
  testing_support::CraftedPatch backup;
  backup.series(patchformat::kLocateGivenPath, false, "..\\..");
  backup.obsolete("sub\\obsolete.txt");
  backup.end();
  expectRefused(backup.file(), "Error, patch is corrupted!", "backup directory");

  // A source name that climbs out of the target.
  put("victim.txt", "outside the target");
  testing_support::CraftedPatch source;
  source.series();
  patchformat::FinalInfo info;
  info.size = 3;
  info.sourceCount = 1;
  patchformat::SourceRecord record;
  record.size = 18;
  source.patched("keep.txt", info, "..\\victim.txt", record, "");
  source.end();
  expectRefused(source.file(), "Error, patch is corrupted!", "source name");
}

TEST_F(HostilePatchTest, OddCountsAndDamagedDataEndInMessages) {
  testing_support::CraftedPatch many;
  for (int i = 0; i < 12; ++i) {
    many.series(patchformat::kLocateKeep, i < 11);
    many.end();
  }
  expectRefused(many.file(), "Error, patch is corrupted!", "twelve series");

  testing_support::CraftedPatch sources;
  sources.series();
  patchformat::FinalInfo info;
  info.sourceCount = 21;
  sources.patched("new.txt", info, "", patchformat::SourceRecord(), "");
  expectRefused(sources.file(), "Error, patch is corrupted!", "21 sources");

  testing_support::CraftedPatch cut;
  cut.series();
  cut.embedded("new.txt", std::string(5000, 'x'));
  cut.body.resize(cut.body.size() - 100);
  expectRefused(cut.file(), "Error, patch is corrupted!", "embedded data running short");

  std::string damaged = cut.file();
  for (std::size_t i = 90; i < damaged.size() - 8; i += 7) damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
  put("h.utp", damaged);
  EXPECT_EQ(pel({"h.utp", "app"}), 1) << "a damaged deflate stream";
  EXPECT_TRUE(console.out.find("Error, patch is corrupted!") != std::string::npos ||
              console.out.find("Error, reading patch file failed!") != std::string::npos)
      << console.out;

  // A delta whose copy reaches past the end of its source.
  const std::string source = "The quick brown fox jumps";
  put("app/fox.txt", source);
  testing_support::DeltaWriter w = deltaWriter(source.size(), 40);
  w.copy(40, 0, 0);
  std::string streams;
  patchformat::SourceRecord record = sourceRecord(source, w, &streams);
  testing_support::CraftedPatch delta;
  delta.series();
  patchformat::FinalInfo final;
  final.size = 40;
  final.sourceCount = 1;
  delta.patched("fox.txt", final, "", record, streams);
  delta.end();
  expectRefused(delta.file(), "Error, writing patched file failed!", "copy out of range");

  // A delta that rebuilds something else than its final checksum says.
  testing_support::DeltaWriter good;
  good.params = w.params;
  good.params.targetSize = 10;
  good.copy(10, 0, 0);
  const std::string goodStreams = good.allStreams(record.streamLength);
  testing_support::CraftedPatch wrong;
  wrong.series();
  final.size = 10;
  final.checksum = 12345;
  wrong.patched("fox.txt", final, "", record, goodStreams);
  wrong.end();
  expectRefused(wrong.file(), "Error, internal file checksum mismatch", "wrong final checksum");
}

// Records whose sizes disagree with the bytes that come with them: a delta
// that ends before the size its record gives (with a final checksum that
// fits what it made, or in the middle of a chain), an embedded file cut
// short in a stored body, and one whose size runs over the records after
// it. Each is refused before anything changes, never written short.
TEST_F(HostilePatchTest, SizesThatDisagreeWithTheDataAreRefused) {
  const std::string source = "The quick brown fox jumps over the lazy dog";
  put("app/fox.txt", source);
  testing_support::DeltaWriter w = deltaWriter(source.size(), 30);
  w.copy(10, 0, 0);  // ten bytes of the thirty the record promises
  std::string streams;
  const patchformat::SourceRecord record = sourceRecord(source, w, &streams);
  patchformat::FinalInfo final;
  final.size = 30;
  final.checksum = patchformat::crc32_noinv(source.data(), 10);  // what the short delta makes
  final.sourceCount = 1;
  testing_support::CraftedPatch shortDelta;
  shortDelta.series();
  shortDelta.patched("fox.txt", final, "", record, streams);
  shortDelta.end();
  expectRefused(shortDelta.file(), "Error, patch is corrupted!", "a delta shorter than its final size");

  // Two steps: the first makes 10 bytes where the second source has 30.
  testing_support::DeltaWriter second = deltaWriter(30, 10);
  second.copy(10, 0, 0);
  std::string nextStreams;
  const patchformat::SourceRecord next = sourceRecord(source.substr(0, 30), second, &nextStreams);
  final.size = 10;
  final.sourceCount = 2;
  testing_support::CraftedPatch chain;
  chain.series();
  {
    patchformat::BodyWriter records(&chain.body);
    const patchformat::ExclusionWindow whole;
    ASSERT_TRUE(records.writePatchedFile(true, final, whole, "fox.txt"));
    ASSERT_TRUE(records.writeSource(true, final, "", record, whole));
    chain.body += streams;
    ASSERT_TRUE(records.writeSource(true, final, "", next, whole));
    chain.body += nextStreams;
  }
  chain.end();
  expectRefused(chain.file(), "Error, patch is corrupted!", "a step shorter than the next source");

  testing_support::CraftedPatch cut;
  cut.series();
  cut.embedded("keep.txt", "changed first");
  cut.embedded("new.txt", std::string(5000, 'x'));
  cut.body.resize(cut.body.size() - 100);
  expectRefused(cut.file(false), "Error, patch is corrupted!", "stored embedded data running short");

  testing_support::CraftedPatch over;
  over.series();
  over.embedded("keep.txt", "changed first");
  {
    patchformat::BodyWriter records(&over.body);
    ASSERT_TRUE(records.writeEmbeddedHeader("long.txt", 4000, 0x5A210000u, 0x20));
  }
  over.body += "only a few bytes";
  over.embedded("after.txt", "the record after it");
  over.end();
  for (const bool compress : {true, false}) {
    expectRefused(over.file(compress), "Error, patch is corrupted!", "an embedded size beyond the body");
  }
}

// A real LZMA patch (-o=lzma) damaged: cut short inside its stream (its
// trailer made to fit, so that it is no download cut short), its last
// stored byte changed, a byte after its stream, its body's size in the
// header one less than the stream's. Each ends with the corrupt message
// before anything changed. (A size one more is found only by a read past
// the last record, which the walk never makes: what it reads is the
// body.)
TEST_F(HostilePatchTest, DamagedLzmaPatchesAreRefusedBeforeAnyChange) {
  makeTrees();
  ASSERT_EQ(kest({"-o=lzma", "-d=*", "old", "new", "p"}), 0) << err();
  ASSERT_EQ(headerOf("p.utp").bodyCoding(), patchformat::BodyCoding::kLzma) << "smaller than the deflate body";
  const std::string good = read("p.utp");
  const std::string header = good.substr(0, patchformat::kHeaderSize);
  const std::string stored =
      good.substr(patchformat::kHeaderSize, good.size() - patchformat::kHeaderSize - patchformat::kTrailerSize);
  const auto patch = [](std::string head, const std::string& body) {
    patchformat::PatchTrailer t;
    t.length = static_cast<std::uint32_t>(head.size() + body.size() + patchformat::kTrailerSize);
    return head + body + t.encode();
  };
  std::string smaller = header;  // the body's size one less
  auto* size = reinterpret_cast<std::uint8_t*>(&smaller[15]);
  patchformat::putU32(size, patchformat::getU32(size) - 1);
  ASSERT_EQ(patch(header, stored), good);
  std::string lastChanged = stored;
  lastChanged.back() = static_cast<char>(lastChanged.back() ^ 0x01);
  const std::pair<std::string, std::string> damaged[] = {
      {"cut after one byte", patch(header, stored.substr(0, 1))},
      {"cut in the middle", patch(header, stored.substr(0, stored.size() / 2))},
      {"cut before the last byte", patch(header, stored.substr(0, stored.size() - 1))},
      {"last byte changed", patch(header, lastChanged)},
      {"a byte after the stream", patch(header, stored + "x")},
      {"body size one less", patch(smaller, stored)},
  };
  for (const auto& [what, bytes] : damaged) {
    copyTree("old", "app");
    expectRefused(bytes, "Error, patch is corrupted!", what);
  }
  copyTree("old", "app");
  EXPECT_EQ(pel({"p.utp", "app"}), 0) << "undamaged, it applies" << console.out;
  EXPECT_EQ(snapshot("app", "Backup"), snapshot("new"));
}

TEST_F(HostilePatchTest, DataAfterTheLastSeriesIsNeverExpanded) {
  testing_support::CraftedPatch p;
  p.series();
  p.embedded("keep.txt", "new content");
  p.end();
  p.body += std::string(64 << 20, '\0');  // 64 MiB that inflate from a few KiB
  put("h.utp", p.file());
  const auto engine = checkedEngine("h.utp", "app");
  engine->locate_and_process(applier::Pass::kApply);
  EXPECT_LT(engine->body()->expanded(), 1u << 20);
  engine->cleanup();
  EXPECT_EQ(read("app/keep.txt"), "new content");
}

// Every truncation and many flipped bytes of real patches: a message and
// exit code 1, or success; never a crash, a hang, a change outside the
// target, a temporary left behind, or a failed run that changed the target.
TEST_F(HostilePatchTest, MutatedRealPatchesNeverHarmTheTree) {
  makeTrees();
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0);
  ASSERT_EQ(kest({"-j", "-d=*", "old", "new", "pj"}), 0);
  ASSERT_EQ(kest({"-o=lzma", "-d=*", "old", "new", "pl"}), 0);
  ASSERT_EQ(headerOf("pl.utp").bodyCoding(), patchformat::BodyCoding::kLzma);
  std::mt19937 rng(20261208);
  int failures = 0, successes = 0;
  for (const std::string name : {"p.utp", "pj.utp", "pl.utp"}) {
    const std::string original = read(name);
    std::vector<std::string> mutants;
    for (std::size_t n = 0; n < original.size(); n += 1 + original.size() / 40) mutants.push_back(original.substr(0, n));
    for (int i = 0; i < 120; ++i) {
      std::string m = original;
      const std::size_t at = 78 + rng() % (m.size() - 86);
      m[at] = static_cast<char>(m[at] ^ (1 << (rng() % 8)));
      mutants.push_back(m);
    }
    for (const std::string& m : mutants) {
      copyTree("old", "app");
      put("m.utp", m);
      const Tree before = snapshot("app");
      const Tree outside = snapshot("new");
      const int rc = pel({"m.utp", "app"});
      ASSERT_TRUE(rc == 0 || rc == 1);
      if (rc == 1) {
        ++failures;
        ASSERT_EQ(snapshot("app"), before) << console.out;
        ASSERT_NE(console.out.find("Error"), std::string::npos) << console.out;
      } else {
        ++successes;
      }
      ASSERT_EQ(snapshot("new"), outside);
      expectNoTemporaries();
    }
  }
  EXPECT_GT(failures, 100);
  EXPECT_GT(successes, 0) << "some flips land in bytes that do not matter";
}

// A file that the apply pass would move away but cannot, for every file
// from the second on: the check pass ends with a message of the reason
// before anything changed. Held open by another program (Windows), it
// names the programs the system knows; without the right to move it (a
// directory the user may not write), it says that rights are missing.
TEST_F(HostilePatchTest, AFileThatCannotBeMovedStopsTheCheckPass) {
  makeTrees();
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0);
  copyTree("old", "app");
  const Tree before = snapshot("app");
  std::vector<std::string> asked;
  applierMachine.programs.holdersOf = [&](const std::string& path) {
    asked.push_back(path);
    return std::vector<platform::FileHolder>{{"rocket.exe", 1234}};
  };
  struct Case {
    platform::Failure cause;
    const char* message;
  };
  for (const Case& c :
       {Case{platform::Failure::kInUse, "\r\nError, \"readme.txt\" is in use: close rocket.exe (1234), then apply the "
                                        "patch again.\r\n"},
        Case{platform::Failure::kAccessDenied, "\r\nError, you may not change \"readme.txt\": applying this patch "
                                               "needs rights that you\r\ndo not have. Apply it again as an "
                                               "administrator, or as the owner of the files.\r\n"},
        Case{platform::Failure::kOther, "access denied for moving this file to backup dir"}}) {
    applierFiles.reset();
    applierFiles.failWith(platform::FileOp::kLockTest, 2, c.cause, -1);
    EXPECT_EQ(pel({"p.utp", "app"}), 1);
    EXPECT_NE(console.out.find(c.message), std::string::npos) << console.out;
    EXPECT_EQ(console.out.find("Tests Ok"), std::string::npos);
    EXPECT_EQ(snapshot("app"), before);
  }
  ASSERT_EQ(asked.size(), 1u) << "only a file in use has holders";
  EXPECT_EQ(asked[0], at("app") + "\\readme.txt");
  applierMachine.programs.holdersOf = nullptr;
  applierFiles.reset();
  applierFiles.failAt(platform::FileOp::kLockTest, 1);
  EXPECT_EQ(pel({"p.utp", "app"}), 1);
  EXPECT_NE(console.out.find("\r\nError, \"program.exe\" is in use by another program. Close the programs that may "
                             "use it (or\r\nrestart the computer), then apply the patch again.\r\n"),
            std::string::npos)
      << "no holder known: " << console.out;
  applierFiles.reset();
  applierFiles.failAt(platform::FileOp::kLockTest, 1, -1);
  EXPECT_EQ(pel({"-t", "p.utp", "app"}), 0) << "test mode changes nothing, so it checks no locks";
}

// A target directory that may not be written: the check pass's probe file
// beside a replaced file is refused, and the run ends with the message of
// missing rights before anything changed (single-file patches too).
TEST_F(HostilePatchTest, ADirectoryThatMayNotBeWrittenNeedsRights) {
  put("a.txt", text(30, 3000));
  put("b.txt", text(30, 2990) + "new ending");
  ASSERT_EQ(kest({"a.txt", "b.txt", "p"}), 0);
  put("dir/tool.txt", read("a.txt"));
  // The creates: the expanded body, the check pass's result, its probe beside the target.
  applierFiles.failWith(platform::FileOp::kCreate, 3, platform::Failure::kAccessDenied);
  EXPECT_EQ(pel({"p.utp", "dir/tool.txt"}), 1);
  EXPECT_NE(console.out.find("Error, you may not change \"" + at("dir/tool.txt") + "\""), std::string::npos)
      << console.out;
  EXPECT_EQ(console.out.find("Tests Ok"), std::string::npos);
  EXPECT_EQ(read("dir/tool.txt"), read("a.txt"));
  expectNoTemporaries();
}

// A new file whose directory cannot be made (a file of that name stands
// there) is refused by the check pass, before anything changes.
TEST_F(HostilePatchTest, AFileThatCannotBeCreatedStopsTheCheckPass) {
  makeTrees();
  put("new/fresh/only.txt", "a new file in a new directory");
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0);
  copyTree("old", "app");
  put("app/fresh", "a file where the patch needs a directory");
  const Tree before = snapshot("app");
  EXPECT_EQ(pel({"p.utp", "app"}), 1);
  EXPECT_NE(console.out.find("Error, writing file \"fresh\\only.txt\" failed!"), std::string::npos) << console.out;
  EXPECT_EQ(console.out.find("Tests Ok"), std::string::npos);
  EXPECT_EQ(snapshot("app"), before);
  expectNoTemporaries();
}

// A target that was searched for (or accepted where -auto was given it)
// gets the check of the places where its files will be made too, once it
// is accepted: a directory that may not be written ends the check pass.
TEST_F(HostilePatchTest, AnAcceptedCandidateIsCheckedForTheRightToWrite) {
  makeTrees();
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0);
  copyTree("old", "app");
  const Tree before = snapshot("app");
  int creates = 0, firstInTarget = 0;
  applierFiles.after(platform::FileOp::kCreate, [&](const std::string& path) {
    ++creates;
    if (firstInTarget == 0 && path.rfind(at("app"), 0) == 0) firstInTarget = creates;
  });
  ASSERT_EQ(pel({"-auto", "-y", "p.utp", "app"}), 0) << console.out;
  ASSERT_GT(firstInTarget, 0);
  copyTree("old", "app");
  applierFiles.reset();
  applierFiles.failWith(platform::FileOp::kCreate, firstInTarget, platform::Failure::kAccessDenied);
  EXPECT_EQ(pel({"-auto", "-y", "p.utp", "app"}), 1);
  EXPECT_NE(console.out.find("Error, you may not change"), std::string::npos) << console.out;
  EXPECT_EQ(console.out.find("Tests Ok"), std::string::npos) << console.out;
  EXPECT_EQ(snapshot("app"), before);
}

// A small patch whose body expands to far more than the disk holds ends
// with the room message before the expansion fills the disk.
TEST_F(HostilePatchTest, ABodyLargerThanTheDiskEndsBeforeFillingIt) {
  makeTrees();
  put("new/zeros.bin", std::string(40 << 20, '\0'));
  ASSERT_EQ(kest({"old", "new", "p"}), 0);
  EXPECT_LT(fs::file_size(at("p.utp")), 200000u);
  copyTree("old", "app");
  const Tree before = snapshot("app");
  applierFiles.diskFullAfter(8 << 20);
  EXPECT_EQ(pel({"p.utp", "app"}), 1);
  EXPECT_NE(console.out.find("Error, not enough free disk space: "), std::string::npos) << console.out;
  EXPECT_EQ(console.out.find("Tests Ok"), std::string::npos);
  EXPECT_EQ(snapshot("app"), before);
  expectNoTemporaries();
  applierFiles.reset();
  EXPECT_EQ(pel({"p.utp", "app"}), 0) << "with room the same patch applies" << console.out;
  EXPECT_EQ(read("app/zeros.bin").size(), 40u << 20);
}

// Decompression bombs: a patch of a few MiB whose body expands to 4 GiB.
// The run writes less than 64 MiB (the disk is full after that) and ends
// with success where nothing needs the bytes, else with the room message
// before anything changed. Embedded contents are never stored in the
// temporary directory: a 40 MiB file applies with 42 MiB free, and one
// already in place is compared without costing any disk. An LZMA body is
// the exception (a second decoder to expand them again would double the
// memory): with 42 MiB free the same file does not fit twice, and the
// check pass ends with the room message before anything changed; with
// room for both it applies; one in place costs its size while it is
// compared, and the room for that is asked for first.
TEST_F(HostilePatchTest, ExpandedBytesThatNothingNeedsCostNoDisk) {
  testing_support::CraftedPatch trailing;
  trailing.series();
  trailing.embedded("small.txt", "written");
  trailing.end();
  trailing.zeros(std::uint64_t{4} << 30);
  put("trailing.utp", trailing.file());
  EXPECT_LT(fs::file_size(at("trailing.utp")), 8u << 20);
  applierFiles.diskFullAfter(64 << 20);
  EXPECT_EQ(pel({"trailing.utp", "app"}), 0) << console.out;
  EXPECT_EQ(read("app/small.txt"), "written");
  expectNoTemporaries();

  testing_support::CraftedPatch huge;
  huge.series();
  huge.embeddedZeros("huge.bin", 0xFFFFFFFFu);
  huge.embedded("after.txt", "after");
  huge.end();
  put("huge.utp", huge.file());
  const Tree before = snapshot("app");
  applierFiles.reset();
  applierFiles.diskFullAfter(64 << 20);
  EXPECT_EQ(pel({"huge.utp", "app"}), 1);
  EXPECT_NE(console.out.find("Error, not enough free disk space: 4294967295 more bytes are needed"),
            std::string::npos)
      << console.out;
  EXPECT_EQ(snapshot("app"), before);
  expectNoTemporaries();

  // pelmora on `patch` with `room` bytes free on the volume.
  const auto applyWithRoom = [&](const char* patch, std::uint64_t room) {
    applierFiles.reset();
    applierFiles.diskFullAfter(room);
    return pel({patch, "app"});
  };
  testing_support::CraftedPatch large;
  large.series();
  large.embedded("first.txt", "first");
  large.embeddedZeros("zeros.bin", 40u << 20);
  large.embedded("last.txt", "last");
  large.end();
  put("large.utp", large.file());
  EXPECT_EQ(applyWithRoom("large.utp", 42 << 20), 0) << console.out;
  EXPECT_EQ(read("app/zeros.bin"), std::string(40u << 20, '\0'));
  EXPECT_EQ(read("app/last.txt"), "last");
  EXPECT_EQ(applyWithRoom("large.utp", 1 << 20), 0) << "compared in place" << console.out;
  expectNoTemporaries();

  large.lzmaDictionary = 1 << 20;
  put("large-lzma.utp", large.file(patchformat::BodyCoding::kLzma));
  for (const char* name : {"app/first.txt", "app/zeros.bin", "app/last.txt"}) fs::remove(at(name));
  const Tree without = snapshot("app");
  EXPECT_EQ(applyWithRoom("large-lzma.utp", 42 << 20), 1);
  EXPECT_NE(console.out.find("Error, not enough free disk space: "), std::string::npos) << console.out;
  EXPECT_EQ(console.out.find("Tests Ok"), std::string::npos) << console.out;
  EXPECT_EQ(snapshot("app"), without);
  expectNoTemporaries();
  EXPECT_EQ(applyWithRoom("large-lzma.utp", 90 << 20), 0) << console.out;
  EXPECT_EQ(read("app/zeros.bin"), std::string(40u << 20, '\0'));
  EXPECT_EQ(read("app/last.txt"), "last");
  EXPECT_EQ(applyWithRoom("large-lzma.utp", 20 << 20), 1) << "an LZMA body keeps even a file compared in place";
  EXPECT_NE(console.out.find("Error, not enough free disk space: "), std::string::npos) << console.out;
  expectNoTemporaries();
}

// New files each too small for a room check of their own are counted
// together: the check pass ends with the room message when all of them
// will not fit, before anything changed.
TEST_F(HostilePatchTest, TheNewFilesOfASeriesMustFitTogether) {
  testing_support::CraftedPatch patch;
  patch.series();
  for (const char* name : {"one.bin", "two.bin", "three.bin"}) patch.embeddedZeros(name, 800000);
  patch.end();
  put("three.utp", patch.file());
  const Tree before = snapshot("app");
  applierFiles.diskFullAfter(2 << 20);
  EXPECT_EQ(pel({"three.utp", "app"}), 1);
  EXPECT_NE(console.out.find("Error, not enough free disk space: 2400000 more bytes"), std::string::npos)
      << console.out;
  EXPECT_EQ(console.out.find("Tests Ok"), std::string::npos);
  EXPECT_EQ(snapshot("app"), before);
  applierFiles.reset();
  applierFiles.diskFullAfter(4 << 20);
  EXPECT_EQ(pel({"three.utp", "app"}), 0) << console.out;
}

// The rename that puts a finished file in place fails in the apply pass:
// the run ends with its numbered message and leaves no temporary file.
TEST_F(HostilePatchTest, ARenameRefusedInTheApplyPassEndsWithItsMessage) {
  put("a.txt", text(30, 3000));
  put("b.txt", text(30, 2990) + "new ending");
  ASSERT_EQ(kest({"a.txt", "b.txt", "p"}), 0);
  put("tool.txt", read("a.txt"));
  applierFiles.failAt(platform::FileOp::kRename, 1, -1);
  EXPECT_EQ(pel({"p.utp", "tool.txt"}), 1);
  EXPECT_NE(console.out.find("Tests Ok"), std::string::npos) << "the check pass passed" << console.out;
  EXPECT_NE(console.out.find("\r\nError, access denied for replacing this file with temporary created update."),
            std::string::npos)
      << console.out;
  EXPECT_EQ(read("tool.txt"), read("a.txt")) << "the target stays as it was";
  expectNoTemporaries();
  applierFiles.reset();
  EXPECT_EQ(pel({"p.utp", "tool.txt"}), 0) << "a rerun finishes the job" << console.out;
  EXPECT_EQ(read("tool.txt"), read("b.txt"));
}

// A temporary that cannot be made ends the run with the message of the step
// that needed it and leaves the target and the disk as they were. A
// verified result that cannot be renamed beside its target (another
// volume) is copied there instead.
TEST_F(HostilePatchTest, TemporariesThatCannotBeMadeOrMovedBesideTheTarget) {
  put("a.txt", text(30, 3000));
  put("b.txt", text(30, 2990) + "new ending");
  ASSERT_EQ(kest({"a.txt", "b.txt", "p"}), 0);
  struct Case {
    // 1 the expanded body, 2 the check pass's result, 3 the check pass's
    // probe beside the target, 4 the copy beside the target
    int create;
    const char* message;
  };
  for (const Case& c : {Case{1, "Error, buffering patchdata in temp files failed!"},
                        Case{2, "Error, opening temp file failed!"},
                        Case{3, "\r\nError, access denied for replacing this file with temporary created update."},
                        Case{4, "\r\nError, access denied for replacing this file with temporary created update."}}) {
    put("tool.txt", read("a.txt"));
    applierFiles.reset();
    applierFiles.failAt(platform::FileOp::kRename, 2);  // the first renames the run's journal into place
    applierFiles.failAt(platform::FileOp::kCreate, c.create);
    EXPECT_EQ(pel({"p.utp", "tool.txt"}), 1) << c.message;
    EXPECT_NE(console.out.find(c.message), std::string::npos) << console.out;
    EXPECT_EQ(read("tool.txt"), read("a.txt"));
    expectNoTemporaries();
  }
  applierFiles.reset();
  applierFiles.failAt(platform::FileOp::kRename, 2);
  EXPECT_EQ(pel({"p.utp", "tool.txt"}), 0) << console.out;
  EXPECT_EQ(read("tool.txt"), read("b.txt"));
  EXPECT_EQ(applierFiles.calls(platform::FileOp::kRename), 3)
      << "the journal's, the refused move, then the copy's rename into place";
  expectNoTemporaries();
}

// Every file-system call of a run fails in turn, from the first to the
// last. A run that fails leaves the target exactly as it was (contents,
// names, dates, attributes, directories, the backup directory included)
// and no temporary; one that succeeds despite the fault made the new
// version; a rerun without faults always finishes the job.
class FaultLoopTest : public ApplyTest {
 protected:
  // p.utp, a directory patch from old to new (one obsolete file alone in
  // its directory), and the tree each run starts from: the old one with a
  // backup of an earlier run.
  void directoryPatchAndPristineTree() {
    makeTrees();
    put("old/retired/tool.dll", "obsolete, alone in its directory");
    ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0);
    copyTree("old", "pristine");
    put("pristine/Backup/readme.txt", "the backup of an earlier run");
  }
  std::vector<std::string> directories(const std::string& dir) const {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(at(dir))) {
      if (e.is_directory()) found.push_back(fs::relative(e.path(), at(dir)).generic_string());
    }
    std::sort(found.begin(), found.end());
    return found;
  }
  // Runs `words` once per call of a clean run, the call failing; `app` is
  // made from `pristine` before each run, `target` (a file or app itself)
  // must end as `wanted`. With `throwing` the call throws std::bad_alloc
  // instead, as an allocation that fails anywhere would: every such run
  // ends with the message of an unexpected error and exit code 1.
  void failEveryCall(const std::vector<std::string>& words, const std::string& target, const std::string& wanted,
                     bool throwing = false) {
    const Tree before = snapshot("pristine");
    const std::vector<std::string> beforeDirs = directories("pristine");
    copyTree("pristine", "app");
    applierFiles.reset();
    ASSERT_EQ(pel(words), 0) << console.out;
    const int calls = applierFiles.allCalls();
    const Tree finished = snapshot("app");
    int failures = 0;
    for (int n = 1; n <= calls; ++n) {
      copyTree("pristine", "app");
      applierFiles.reset();
      if (throwing) {
        applierFiles.throwAnyAt(n);
      } else {
        applierFiles.failAnyAt(n);
      }
      const int rc = pel(words);
      applierFiles.reset();
      // Once the apply pass is complete, what is left (tidying up) may fail
      // and still the patch is applied.
      const bool complete = console.out.find("applied with SUCCESS") != std::string::npos;
      if (throwing && !complete) {
        EXPECT_EQ(rc, 1) << "call " << n;
        EXPECT_NE(console.out.find("\r\nError, patching stopped on an unexpected error (not enough memory).\r\n"),
                  std::string::npos)
            << "call " << n << console.out;
      }
      if (rc != 0 && !complete) {
        ++failures;
        // An exception can also come after the last change that cannot be
        // undone (a single-file patch's one rename): the target is then
        // finished, never a mixture.
        const Tree after = snapshot("app");
        if (!throwing || after != finished) {
          EXPECT_EQ(after, before) << "call " << n << console.out;
          EXPECT_EQ(directories("app"), beforeDirs) << "call " << n;
        }
        expectNoTemporaries();
      } else {
        EXPECT_EQ(read(target), read(wanted)) << "call " << n;
      }
      ASSERT_EQ(pel(words), 0) << "the rerun after call " << n << console.out;
      EXPECT_EQ(read(target), read(wanted));
      if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GT(failures, throwing ? calls * 3 / 4 : calls / 4) << calls << " calls";
    std::printf("%d calls failed in turn, %d runs ended with a message\n", calls, failures);
  }
};

// The machine stops at every file-system call of a run in turn, from the
// first to the last: nothing after that call reaches the disk, no clean-up
// included. The next run (the same patch, or `rerun`) must then finish the
// job: the target as a clean run leaves it, no temporary or half-written
// file anywhere in it (nor in the temporary directory, after a stop in the
// apply pass), and a word about the stopped run where it had begun to
// change the target.
class CrashLoopTest : public FaultLoopTest {
 protected:
  static Tree withoutTemporaries(Tree tree) {
    for (auto it = tree.begin(); it != tree.end();) {
      const std::string name = fs::path(it->first).filename().string();
      it = name.rfind("VDX", 0) == 0 ? tree.erase(it) : std::next(it);
    }
    return tree;
  }
  bool journalLeft() const {
    for (const auto& e : fs::recursive_directory_iterator(at("app"))) {
      if (e.path().filename() == applier::RunJournal::kFileName) return true;
    }
    return false;
  }
  // With `rerun`, only stops that left a journal are followed by it (the
  // others are the same patch's, and crashAtEveryCall(words) covers them).
  void crashAtEveryCall(const std::vector<std::string>& words, std::vector<std::string> rerun = {}) {
    const bool journalsOnly = !rerun.empty();
    if (rerun.empty()) rerun = words;
    copyTree("pristine", "app");
    applierFiles.reset();
    ASSERT_EQ(pel(words), 0) << console.out;
    const int calls = applierFiles.allCalls();
    const Tree firstFinished = withoutTemporaries(snapshot("app"));
    ASSERT_EQ(pel(rerun), 0) << console.out;
    const Tree finishedAfterBoth = snapshot("app");  // the stopped run was complete
    copyTree("pristine", "app");
    ASSERT_EQ(pel(rerun), 0) << console.out;
    const Tree finished = snapshot("app");
    const Tree pristine = snapshot("pristine");
    int journals = 0;
    for (int n = 1; n <= calls; ++n) {
      copyTree("pristine", "app");
      applierFiles.reset();
      applierFiles.endAt(n);
      pel(words);
      ASSERT_TRUE(applierFiles.ended()) << "call " << n;
      applierFiles.reset();
      const bool journal = journalLeft();
      journals += journal;
      if (!journal) {
        // A run stopped before its apply pass leaves its temporaries in the
        // temporary directory to the system; one stopped in it names them in
        // its journal, and the rerun removes them.
        removeTree(temp);
        fs::create_directories(temp);
      }
      if (journalsOnly && !journal) continue;
      const Tree stopped = withoutTemporaries(snapshot("app"));
      const int rc = pel(rerun);
      ASSERT_EQ(rc, 0) << "the rerun after a stop at call " << n << console.out;
      // A run stopped before it changed anything, or one undone, leaves the
      // rerun the files it began with; one stopped in its tidy-up had
      // applied its patch.
      const bool completed = console.out.find("this run completed the tidy-up") != std::string::npos ||
                             (!journal && stopped != pristine);
      if (completed) EXPECT_EQ(stopped, firstFinished) << "after a stop at call " << n << console.out;
      EXPECT_EQ(snapshot("app"), completed ? finishedAfterBoth : finished)
          << "after a stop at call " << n << console.out;
      EXPECT_EQ(console.out.find("An earlier run of a patch on") != std::string::npos, journal)
          << "after a stop at call " << n << console.out;
      expectNoTemporaries();
      if (::testing::Test::HasFailure()) return;
    }
    crashPoints += calls;
    std::printf("%d crash points, %d of them in the apply pass (a journal left)\n", calls, journals);
  }
  int crashPoints = 0;
};

TEST_F(CrashLoopTest, DirectoryPatchAndSingleFilePatch) {
  ASSERT_NO_FATAL_FAILURE(directoryPatchAndPristineTree());
  crashAtEveryCall({"p.utp", "app"});

  put("a.txt", text(30, 30000));
  put("b.txt", text(30, 29000) + "new ending");
  ASSERT_EQ(kest({"a.txt", "b.txt", "q"}), 0);
  removeTree(at("pristine"));
  put("pristine/tool.txt", read("a.txt"));
  crashAtEveryCall({"q.utp", "app/tool.txt"});
  EXPECT_GT(crashPoints, 300);
}

// After a stop, another patch for the same old version applies: the
// stopped run was undone to the very files it began with.
TEST_F(CrashLoopTest, AnotherPatchAppliesAfterAStop) {
  makeTrees();
  copyTree("new", "other");
  put("other/program.exe", read("new/program.exe") + "another build");
  put("other/sub/deeper/extra.txt", "only in the other release");
  ASSERT_EQ(kest({"-d=*", "old", "new", "p"}), 0);
  ASSERT_EQ(kest({"-d=*", "old", "other", "o"}), 0);
  copyTree("old", "pristine");
  crashAtEveryCall({"p.utp", "app"}, {"o.utp", "app"});
}

#ifndef _WIN32
// An interrupt (here SIGINT, SIGTERM or SIGHUP raised right after each
// rename of the apply pass in turn) lets the file operation under way
// finish, then the run ends as a failing one does: every change undone,
// no temporary left, the message that says so, exit code 1. Each run is a
// child process, whose interrupt handler is the program's own.
TEST_F(FaultLoopTest, AnInterruptAtEveryStepOfTheApplyPassPutsEverythingBack) {
  ASSERT_NO_FATAL_FAILURE(directoryPatchAndPristineTree());
  const Tree before = snapshot("pristine");
  const std::vector<std::string> beforeDirs = directories("pristine");
  copyTree("pristine", "app");
  applierFiles.reset();
  ASSERT_EQ(pel({"p.utp", "app"}), 0) << console.out;
  const int renames = applierFiles.calls(platform::FileOp::kRename);
  ASSERT_GT(renames, 5);
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int k = 1; k <= renames; ++k) {
    copyTree("pristine", "app");
    applierFiles.reset();
    const int signal = signals[k % 3];
    int seen = 0;
    applierFiles.after(platform::FileOp::kRename, [&](const std::string&) {
      if (++seen == k) std::raise(signal);
    });
    const auto run = [&] {
      platform::installInterruptHandler(applier::TempFiles::deleteAfterInterrupt);
      const int rc = pel({"p.utp", "app"});
      const bool told = console.out.find("\r\n\r\nInterrupted: the patch was not applied. Every file it had changed is "
                                         "back as it\r\nwas, so the software is as before.") != std::string::npos;
      if (rc != 1 || !told) std::fputs(console.out.c_str(), stderr);
      std::_Exit(rc == 1 && told ? 1 : 3);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(1), "") << "signal " << signal << " after rename " << k;
    applierFiles.reset();
    EXPECT_EQ(snapshot("app"), before) << "signal " << signal << " after rename " << k;
    EXPECT_EQ(directories("app"), beforeDirs) << "signal " << signal << " after rename " << k;
    expectNoTemporaries();
    if (::testing::Test::HasFailure()) return;
  }
  std::printf("%d interrupts, each after a rename of the apply pass\n", renames);
}
#endif

TEST_F(FaultLoopTest, DirectoryPatch) {
  ASSERT_NO_FATAL_FAILURE(directoryPatchAndPristineTree());
  failEveryCall({"p.utp", "app"}, "app/sub/added.dat", "new/sub/added.dat");
}

TEST_F(FaultLoopTest, SingleFilePatch) {
  put("a.txt", text(30, 30000));
  put("b.txt", text(30, 29000) + "new ending");
  ASSERT_EQ(kest({"a.txt", "b.txt", "p"}), 0);
  put("pristine/tool.txt", read("a.txt"));
  failEveryCall({"p.utp", "app/tool.txt"}, "app/tool.txt", "b.txt");
}

TEST_F(FaultLoopTest, AnExceptionAtEveryCallEndsTheRunUndone) {
  ASSERT_NO_FATAL_FAILURE(directoryPatchAndPristineTree());
  failEveryCall({"p.utp", "app"}, "app/sub/added.dat", "new/sub/added.dat", true);

  put("a.txt", text(30, 30000));
  put("b.txt", text(30, 29000) + "new ending");
  ASSERT_EQ(kest({"a.txt", "b.txt", "q"}), 0);
  removeTree(at("pristine"));
  put("pristine/tool.txt", read("a.txt"));
  failEveryCall({"q.utp", "app/tool.txt"}, "app/tool.txt", "b.txt", true);

  // pelmora -i, and a self-applying patch that looks at its own file first.
  put("selfpatch", "program code standing in front\n" + read("q.utp"));
  for (int n = 1; n <= 3; ++n) {
    applierFiles.reset();
    applierFiles.throwAnyAt(n);
    EXPECT_EQ(pel({"-i", "q.utp"}), 1) << n;
    EXPECT_NE(console.out.find("unexpected error (not enough memory)"), std::string::npos) << n << console.out;
    applierFiles.reset();
    applierFiles.throwAnyAt(n);
    EXPECT_EQ(pel({"app"}, "", at("selfpatch")), 1) << n;
    EXPECT_NE(console.out.find("unexpected error (not enough memory)"), std::string::npos) << n << console.out;
  }
  applierFiles.reset();
}

}  // namespace
