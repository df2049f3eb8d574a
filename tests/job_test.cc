// Whole builder runs on made-up states; every patch is read back with the
// format's reader and must rebuild the end state.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "builder/messages.h"
#include "builder/startup.h"
#include "patchformat/coding.h"
#include "tests/patch_check.h"
#include "tests/tree_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::checkPatch;
using testing_support::PatchSummary;

class JobTest : public testing_support::TreeFixture {
 protected:
  JobTest() : TreeFixture("job_test") {}
};

TEST_F(JobTest, DirectoryPatchRebuildsTheEndTree) {
  makeTrees();
  ASSERT_EQ(run({"-d=*.dll", "old", "new", "p"}), 0) << err();
  const PatchSummary s = checkPatch(at("p.utp"), {at("old")}, at("new"));
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.header.kind, patchformat::kKindDirectory);
  EXPECT_EQ(s.patched, 3u);
  EXPECT_EQ(s.embedded, 2u) << "tiny.txt and the unrelated added file";
  EXPECT_EQ(s.removed, 1u);
  EXPECT_NE(std::find(s.names.begin(), s.names.end(), "-obsolete.dll"), s.names.end());
  EXPECT_EQ(std::find(s.names.begin(), s.names.end(), "same.cfg"), s.names.end()) << "unchanged files need no record";
  // The trailer's length is the file's.
  const std::string patch = read("p.utp");
  EXPECT_EQ(patchformat::getU32(reinterpret_cast<const std::uint8_t*>(patch.data()) + patch.size() - 8), patch.size());
  // The same inputs give the same bytes.
  ASSERT_EQ(run({"-d=*.dll", "old", "new", "q"}), 0);
  EXPECT_EQ(read("q.utp"), patch);
}

TEST_F(JobTest, StoredBodyIsThePlainRecordStream) {
  makeTrees();
  ASSERT_EQ(run({"old", "new", "packed"}), 0);
  ASSERT_EQ(run({"-j", "old", "new", "stored"}), 0);
  const PatchSummary packed = checkPatch(at("packed.utp"), {at("old")}, at("new"));
  const PatchSummary stored = checkPatch(at("stored.utp"), {at("old")}, at("new"));
  ASSERT_EQ(stored.error, "");
  EXPECT_EQ(stored.header.flags & patchformat::kHeaderCompressed, 0);
  EXPECT_EQ(packed.header.flags & patchformat::kHeaderCompressed, 1);
  EXPECT_EQ(packed.body, stored.body);
}

// -o=lzma: the body is one LZMA stream, marked by version 221 and flag bit
// 2, with the body's size and a dictionary no larger than the body in the
// header; every delta in it rebuilds its file. Without internal compression
// (-j) the body is stored under version 220 as ever.
TEST_F(JobTest, LzmaBodyIsMarkedAndRebuildsTheEndTree) {
  makeTrees();
  ASSERT_EQ(run({"-o=lzma", "-d=*.dll", "old", "new", "lzma"}), 0) << err();
  ASSERT_EQ(run({"-o", "-d=*.dll", "old", "new", "deflate"}), 0) << err();
  ASSERT_EQ(run({"-o=lzma", "-j", "-d=*.dll", "old", "new", "stored"}), 0) << err();
  const PatchSummary lzma = checkPatch(at("lzma.utp"), {at("old")}, at("new"));
  ASSERT_EQ(lzma.error, "");
  EXPECT_EQ(lzma.header.version, patchformat::kFormatVersionLzma);
  EXPECT_EQ(lzma.header.flags, patchformat::kHeaderLzma);
  EXPECT_EQ(lzma.header.bodyCoding(), patchformat::BodyCoding::kLzma);
  EXPECT_EQ(lzma.header.expandedSize, lzma.body.size());
  EXPECT_EQ(lzma.header.lzmaDictionarySize(), std::max<std::size_t>(lzma.body.size(), 4096));
  EXPECT_EQ(lzma.patched, 3u);
  const PatchSummary deflate = checkPatch(at("deflate.utp"), {at("old")}, at("new"));
  ASSERT_EQ(deflate.error, "");
  EXPECT_EQ(deflate.header.version, patchformat::kFormatVersion);
  EXPECT_EQ(deflate.header.flags, patchformat::kHeaderCompressed);
  const PatchSummary stored = checkPatch(at("stored.utp"), {at("old")}, at("new"));
  ASSERT_EQ(stored.error, "");
  EXPECT_EQ(stored.header.version, patchformat::kFormatVersion);
  EXPECT_EQ(stored.header.flags, 0);
  EXPECT_EQ(stored.body, lzma.body) << "the same records, only stored";
}

// Where the LZMA stream is not the smaller (random bytes that neither
// compresses), -o=lzma keeps -o's deflate body: version 220, the deflate
// flag, no LZMA fields, the very patch of -o.
TEST_F(JobTest, LzmaBodyGivesWayToASmallerDeflateBody) {
  std::mt19937 rng(20261210);
  std::string random(200000, '\0');
  for (char& c : random) c = static_cast<char>(rng());
  put("old.bin", random.substr(0, 1000));
  put("new.bin", random);
  ASSERT_EQ(runWords({"-o=lzma", at("old.bin"), at("new.bin"), at("lzma")}), 0) << err();
  ASSERT_EQ(runWords({"-o", at("old.bin"), at("new.bin"), at("deflate")}), 0) << err();
  const PatchSummary kept = checkPatch(at("lzma.utp"), {at("old.bin")}, at("new.bin"));
  ASSERT_EQ(kept.error, "");
  EXPECT_EQ(kept.header.version, patchformat::kFormatVersion);
  EXPECT_EQ(kept.header.flags, patchformat::kHeaderCompressed);
  EXPECT_EQ(kept.header.expandedSize, 0u);
  EXPECT_EQ(read("lzma.utp"), read("deflate.utp"));
}

TEST_F(JobTest, FilePatchesChainSeveralStartStatesLastPairFirst) {
  const std::string v1 = text(10, 20000);
  std::string v2 = v1;
  v2.replace(5000, 20, "second version here!");
  std::string v3 = v2;
  v3.replace(9000, 20, "third version of it!");
  std::string v4 = v3;
  v4.append("the end state");
  put("v1.txt", v1);
  put("v2.txt", v2);
  put("v3.txt", v3);
  put("v4.txt", v4);
  ASSERT_EQ(runWords({at("v1.txt"), at("v2.txt"), at("v3.txt"), at("v4.txt"), at("p")}), 0) << err();
  const PatchSummary s = checkPatch(at("p.utp"), {at("v1.txt"), at("v2.txt"), at("v3.txt")}, at("v4.txt"));
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.header.kind, patchformat::kKindFile);
  const std::size_t step3 = out().find("Step \"" + at("v3.txt") + "\" to \"" + at("v4.txt") + "\": ");
  const std::size_t step2 = out().find("Step \"" + at("v2.txt") + "\" to \"" + at("v3.txt") + "\": ");
  const std::size_t step1 = out().find("Step \"" + at("v1.txt") + "\" to \"" + at("v2.txt") + "\": ");
  ASSERT_NE(step1, std::string::npos) << out();
  EXPECT_LT(step3, step2);
  EXPECT_LT(step2, step1);
  EXPECT_NE(out().find("Examining \"" + at("v4.txt") + "\": \n"), std::string::npos);
}

TEST_F(JobTest, IdenticalAndUnrelatedFilesAreRefusedUnlessForced) {
  put("a.txt", text(20, 3000));
  put("b.txt", text(20, 3000));
  EXPECT_EQ(run({"a.txt", "b.txt", "p"}), 1);
  EXPECT_NE(err().find("identical to all sources"), std::string::npos) << err();
  EXPECT_FALSE(files.fileExists(at("p.utp"))) << "the incomplete patch is deleted";
  EXPECT_EQ(run({"-f", "a.txt", "b.txt", "p"}), 0) << err();
  EXPECT_EQ(checkPatch(at("p.utp"), {at("a.txt")}, at("b.txt")).error, "");
  put("z.bin", std::string(3000, '\0'));
  EXPECT_EQ(run({"z.bin", "b.txt", "p2"}), 1);
  EXPECT_NE(err().find("seem not to match"), std::string::npos) << err();
}

TEST_F(JobTest, StatesOfTheWrongKindAreRefusedBeforeAnyOutput) {
  makeTrees();
  put("file.txt", "x");
  EXPECT_EQ(run({"old", "file.txt", "new", "p"}), 1);
  EXPECT_NE(err().find("\"" + at("file.txt") + "\" does not exist or is not a directory"), std::string::npos);
  EXPECT_EQ(run({"old", "missing", "p"}), 1);
  EXPECT_NE(err().find("\"" + at("missing") + "\" does not exist or is not a directory"), std::string::npos);
  EXPECT_EQ(run({"file.txt", "missing.txt", "p"}), 1);
  EXPECT_NE(err().find("can't find file \"" + at("missing.txt") + "\""), std::string::npos);
  EXPECT_FALSE(files.fileExists(at("p.utp")));
}

TEST_F(JobTest, SeveralTargetsGetOneSeriesEach) {
  makeTrees();
  ASSERT_EQ(run({"old", "new", "-n=win", "old", "new", "p"}), 0) << err();
  const PatchSummary s = checkPatch(at("p.utp"), {at("old")}, at("new"));
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.header.kind, patchformat::kKindSeveralTargets);
  EXPECT_EQ(s.series, 1u) << "two series, counted from 0";
  EXPECT_EQ(run({"old", "new", "-n=ext", "old", "new", "p2"}), 1);
  EXPECT_NE(err().find("a maximum of one target per patch file"), std::string::npos) << err();
}

// Four versions, the library the same in the first two: it costs one step,
// and each start state is told what it takes of the patch.
TEST_F(JobTest, EachStartStateIsToldItsPartOfAMultiVersionPatch) {
  const std::string program = text(50, 20000), library = text(51, 8000);
  std::string p2 = program, p3 = program, lib3 = library;
  p2.insert(5000, "version 2");
  p3 = p2 + text(52, 300);
  lib3.insert(100, "changed in version 3");
  put("v1/prog.exe", program);
  put("v2/prog.exe", p2);
  put("v3/prog.exe", p3);
  put("v4/prog.exe", p3 + "4");
  put("v1/lib.dll", library);
  put("v2/lib.dll", library);
  put("v3/lib.dll", lib3);
  put("v4/lib.dll", lib3 + "4");
  ASSERT_EQ(run({"v1", "v2", "v3", "v4", "p"}, false), 0) << err();
  const std::string o = out();
  const std::size_t lib = o.find("Examining \"lib.dll\"");
  ASSERT_NE(lib, std::string::npos) << o;
  const std::string libSteps = o.substr(lib, o.find("Examining", lib + 1) - lib);
  std::size_t steps = 0;
  for (std::size_t at = libSteps.find("Step "); at != std::string::npos; at = libSteps.find("Step ", at + 1)) ++steps;
  EXPECT_EQ(steps, 2u) << "v1 and v2 share one step\n" << libSteps;
  // The parts: v1 and v2 take the same library steps, v1 one more
  // program step than v2, v3 the least.
  const auto part = [&o, this](const std::string& state) {
    const std::string line = "  \"" + at(state) + "\": ";
    const std::size_t at = o.find(line);
    return at == std::string::npos ? -1 : std::stol(o.substr(at + line.size()));
  };
  ASSERT_NE(o.find("Each start state's part of the patch"), std::string::npos) << o;
  EXPECT_GT(part("v1"), part("v2"));
  EXPECT_GT(part("v2"), part("v3"));
  EXPECT_GT(part("v3"), 0);
  const PatchSummary s = checkPatch(at("p.utp"), {at("v1"), at("v2"), at("v3")}, at("v4"));
  EXPECT_EQ(s.error, "");
  EXPECT_EQ(s.rebuilt, 2u);
}

TEST_F(JobTest, RemovesExactNamesAndHiddenFiles) {
  const std::string doc = text(40, 6000);
  put("old1/obsolete.dll", text(41, 500));
  put("old2/obsolete.dll", text(42, 500));
  put("old1/a.txt", doc);
  put("old2/a.txt", doc);
  std::string renamed = doc;
  renamed.replace(100, 10, "0123456789");
  put("new/b.txt", renamed);
  ASSERT_EQ(run({"-d=*.dll", "old1", "old2", "new", "p"}), 0) << err();
  PatchSummary s = checkPatch(at("p.utp"), {at("old1"), at("old2")}, at("new"));
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.removed, 1u) << "one remove record for the file, which both start states have";
  EXPECT_EQ(s.patched, 1u) << "b.txt is made from a.txt";
  ASSERT_EQ(run({"-e=b.txt", "old1", "new", "p2"}), 0) << err();
  s = checkPatch(at("p2.utp"), {at("old1")}, at("new"));
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.embedded, 1u) << "-e allows only a source of the same name";
#ifndef _WIN32
  put("new/.hidden", "secret");
  ASSERT_EQ(run({"old1", "new", "p3"}), 0);
  EXPECT_EQ(checkPatch(at("p3.utp"), {at("old1")}, at("new")).embedded, 0u);
  ASSERT_EQ(run({"-a", "old1", "new", "p4"}), 0);
  s = checkPatch(at("p4.utp"), {at("old1")}, at("new"));
  EXPECT_EQ(s.error, "");
  EXPECT_EQ(s.embedded, 1u) << "-a shows hidden files";
#endif
}

TEST_F(JobTest, MoreTargetsThanAppliersHandleAreRefused) {
  makeTrees();
  std::vector<std::string> words{"old", "new"};
  for (int i = 0; i < 11; ++i) {
    words.push_back("-n=win");
    words.push_back("old");
    words.push_back("new");
  }
  words.push_back("p");
  EXPECT_EQ(run(words), 1);
  EXPECT_NE(err().find("at most 11 targets"), std::string::npos) << err();
  EXPECT_FALSE(files.fileExists(at("p.utp")));
}

TEST_F(JobTest, RegistryTargetsReportTheKeyOnThisMachine) {
  put("a.txt", text(30, 3000));
  put("b.txt", text(30, 2990) + "new ending");
  builderMachine.registry = platform::ExportedRegistry(
      "[HKEY_LOCAL_MACHINE\\Software\\Acme\\Tool]\r\n\"Dir\"=\"C:\\\\Tool\"\r\n\"Blank\"=\"\"\r\n");
  ASSERT_EQ(run({"-k=Software\\Acme\\Tool\\Dir", "a.txt", "b.txt", "p"}, false), 0) << err();
  EXPECT_NE(out().find("Autofind key \"Software\\Acme\\Tool\" and value \"Dir\":\r\n"
                       "Ok, registry key \"Software\\Acme\\Tool\" exists\r\n"
                       "Ok, value \"Dir\" can be read and is: \"C:\\Tool\"\r\n"),
            std::string::npos)
      << out();
  EXPECT_EQ(checkPatch(at("p.utp"), {at("a.txt")}, at("b.txt")).error, "");
  ASSERT_EQ(run({"-k=Software\\Acme\\Tool\\Blank", "a.txt", "b.txt", "p"}), 0);
  EXPECT_EQ(out().find("Ok,"), std::string::npos) << "-q drops the informational lines";
  EXPECT_NE(out().find("Registry Check: Warning, value \"Blank\" is EMPTY on this machine!\r\n"), std::string::npos);
  ASSERT_EQ(run({"-k=Software\\Acme\\Tool\\Gone", "a.txt", "b.txt", "p"}), 0);
  EXPECT_NE(out().find("Registry Check: Warning, value \"Gone\" does NOT exist on this machine!\r\n"), std::string::npos);
  ASSERT_EQ(run({"-k=Software\\Nobody\\X", "a.txt", "b.txt", "p"}), 0);
  EXPECT_NE(out().find("Registry Check: Warning, using registry key \"Software\\Nobody\" which is NOT installed"),
            std::string::npos);
}

#ifndef _WIN32  // the paths run past what Windows programs can open
// A relative name longer than the 255 bytes a record can hold ends the run
// with message 19, whichever record it falls in, and leaves no patch behind.
TEST_F(JobTest, NamesLongerThan255BytesEndTheRun) {
  const std::string deep = std::string(120, 'd') + "/" + std::string(120, 'e') + "/" + std::string(20, 'f');
  const std::string program = text(50, 4000);
  std::string changed = program;
  changed.replace(2000, 10, "0123456789");
  put("embedded/old/x.txt", text(51, 3000));
  put("embedded/new/" + deep, program);
  put("patched/old/" + deep, program);
  put("patched/new/" + deep, changed);
  put("source/old/" + deep, program);
  put("source/new/short.txt", changed);
  put("removed/old/" + deep, program);
  put("removed/old/x.txt", program);
  put("removed/new/x.txt", changed);
  const std::string message = "Error, Filenames longer than 255 characters not supported!";
  for (const std::string kind : {"embedded", "patched", "source", "removed"}) {
    std::vector<std::string> words{kind + "/old", kind + "/new", kind + "/p"};
    if (kind == "removed") words.insert(words.begin(), "-d=*");
    EXPECT_EQ(run(words), 1) << kind;
    EXPECT_NE(err().find(message), std::string::npos) << kind << ": " << err();
    EXPECT_FALSE(files.fileExists(at(kind + "/p.utp"))) << kind;
  }
}
#endif

// A tree of many files of mixed sizes in three versions, searched on
// several threads: the patch and everything printed are those of a run in
// turn, and a file that cannot be read ends both runs alike.
class ParallelJobTest : public JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    temp = useTemporaryDirectory();
  }
  void makeManyFiles() {
    std::mt19937 rng(20261208);
    for (int i = 0; i < 40; ++i) {
      const std::string name = (i % 3 == 0 ? "sub/f" : "f") + std::to_string(i) + ".bin";
      std::string v1 = text(100 + i, 200 + rng() % (i % 7 == 0 ? 200000 : 20000));
      std::string v2 = v1, v3;
      for (int edit = 0; edit < 5; ++edit) v2.insert(rng() % v2.size(), "edit " + std::to_string(rng()));
      v3 = i % 5 == 0 ? v2 : v2.substr(0, v2.size() / 2) + "changed in 3" + v2.substr(v2.size() / 2);
      put("v1/" + name, v1);
      put("v2/" + name, v2);
      put("v3/" + name, v3);
    }
    std::string added(5000, '\0');
    for (char& c : added) c = static_cast<char>(rng());
    put("v3/added.bin", added);  // like nothing: embedded
    for (const char* state : {"v1", "v2", "v3"}) put(std::string(state) + "/left-out.skip", state);  // notices
  }
  std::string temp;
};

TEST_F(ParallelJobTest, SeveralWorkersWriteTheSamePatchAndTranscript) {
  makeManyFiles();
  ASSERT_EQ(run({"-w=1", "-i=*.skip", "v1", "v2", "v3", "p"}, false), 0) << err();
  const std::string transcript = out() + err();
  EXPECT_NE(transcript.find("v1\\left-out.skip\" ignored"), std::string::npos) << "the states' notices";
  const std::string patch = read("p.utp");
  for (const char* workers : {"-w=2", "-w=5"}) {
    fs::remove(at("p.utp"));
    ASSERT_EQ(run({workers, "-i=*.skip", "v1", "v2", "v3", "p"}, false), 0) << err();
    EXPECT_TRUE(read("p.utp") == patch) << workers;
    EXPECT_TRUE(out() + err() == transcript) << workers;
  }
  const PatchSummary s = checkPatch(at("p.utp"), {at("v1"), at("v2")}, at("v3"));
  EXPECT_EQ(s.error, "");
  EXPECT_EQ(s.embedded, 1u);
}

TEST_F(ParallelJobTest, CopiesOfAFileAreSearchedOnce) {
  // a, b and c hold the same library in both versions; d has its new
  // version but another old one.
  const std::string old = text(1, 40000);
  std::string changed = old;
  changed.insert(20000, "a change in the middle");
  for (const char* dir : {"a", "b", "c"}) {
    put(std::string("v1/") + dir + "/lib.bin", old);
    put(std::string("v2/") + dir + "/lib.bin", changed);
  }
  put("v1/d/lib.bin", old.substr(0, 30000));
  put("v2/d/lib.bin", changed);
  put("v1/other.txt", text(2, 5000));
  put("v2/other.txt", text(2, 4000) + "end");
  const std::string reused = "identical to \"a\\lib.bin\", its deltas used again.\n";
  for (const char* workers : {"-w=1", "-w=3"}) {
    fs::remove(at("p.utp"));
    ASSERT_EQ(run({workers, "v1", "v2", "p"}, false), 0) << err();
    EXPECT_NE(out().find("Examining \"b\\lib.bin\" to \"b\\lib.bin\": " + reused), std::string::npos) << out();
    EXPECT_NE(out().find("Examining \"c\\lib.bin\" to \"c\\lib.bin\": " + reused), std::string::npos);
    EXPECT_EQ(out().find("Examining \"d\\lib.bin\" to \"d\\lib.bin\": identical"), std::string::npos);
    const PatchSummary s = checkPatch(at("p.utp"), {at("v1")}, at("v2"));
    EXPECT_EQ(s.error, "") << workers;
    EXPECT_TRUE(fs::is_empty(temp)) << "the kept deltas are removed";
  }
  const std::string patch = read("p.utp");
  ASSERT_EQ(run({"-w=3", "v1", "v2", "p"}, false), 0) << err();
  EXPECT_TRUE(read("p.utp") == patch);

  // The frugal search depends on its own files alone too: its deltas are
  // used again, on any number of threads the same patch.
  ASSERT_EQ(run({"-y=2", "-w=1", "v1", "v2", "p"}, false), 0) << err();
  EXPECT_NE(out().find("its deltas used again"), std::string::npos);
  EXPECT_EQ(checkPatch(at("p.utp"), {at("v1")}, at("v2")).error, "");
  const std::string frugal = read("p.utp");
  ASSERT_EQ(run({"-y=2", "-w=3", "v1", "v2", "p"}, false), 0) << err();
  EXPECT_TRUE(read("p.utp") == frugal);
}

TEST_F(ParallelJobTest, AnUnreadableFileEndsTheRunAsInTurn) {
  makeManyFiles();
  builderFiles.failOpening(root + "/v2\\f20.bin", 1);  // the scan reads it, the search cannot
  ASSERT_EQ(run({"-w=1", "v1", "v2", "p"}, false), 1);
  const std::string transcript = out() + err();
  EXPECT_NE(transcript.find("f20.bin"), std::string::npos) << transcript;
  EXPECT_EQ(transcript.find("f21.bin"), std::string::npos) << "nothing after the failed file is shown";
  builderFiles.reset();
  builderFiles.failOpening(root + "/v2\\f20.bin", 1);
  ASSERT_EQ(run({"-w=3", "v1", "v2", "p"}, false), 1);
  EXPECT_EQ(out() + err(), transcript);
  EXPECT_FALSE(fs::exists(at("p.utp")));
  EXPECT_TRUE(fs::is_empty(temp)) << "no temporary of any worker is left";
}

}  // namespace
