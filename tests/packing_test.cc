// Packing the builder's output into an archive (-z, -x, -Z): the internal
// zip read back, the real zip and gzip where installed, a stand-in packer
// on the search path, missing packers, and patch names that a command
// interpreter would take for commands.
#include <gtest/gtest.h>
#include <unzip.h>

#include <filesystem>
#include <string>
#include <vector>

#include "packaging/archive.h"
#include "tests/tree_fixture.h"
#include "tests/zlib_support.h"

namespace {

namespace fs = std::filesystem;

bool posixShell() { return std::string(platform::nullDevice()) == "/dev/null"; }

struct ZipEntry {
  std::string name;
  std::string data;
  unz_file_info info{};
};

// Every entry of the zip archive `path`; false when it is none.
bool readZip(const std::string& path, std::vector<ZipEntry>* entries) {
  unzFile zip = unzOpen(platform::toNative(path).c_str());
  if (zip == nullptr) return false;
  bool ok = unzGoToFirstFile(zip) == UNZ_OK;
  while (ok) {
    ZipEntry e;
    char name[1024];
    ok = unzGetCurrentFileInfo(zip, &e.info, name, sizeof name, nullptr, 0, nullptr, 0) == UNZ_OK &&
         unzOpenCurrentFile(zip) == UNZ_OK;
    if (!ok) break;
    e.name = name;
    char piece[4096];
    int got;
    while ((got = unzReadCurrentFile(zip, piece, sizeof piece)) > 0) {
      e.data.append(piece, static_cast<std::size_t>(got));
    }
    ok = got == 0 && unzCloseCurrentFile(zip) == UNZ_OK;  // UNZ_CRCERROR when the bytes do not match
    entries->push_back(e);
    const int next = unzGoToNextFile(zip);
    if (next == UNZ_END_OF_LIST_OF_FILE) break;
    ok = ok && next == UNZ_OK;
  }
  unzClose(zip);
  return ok;
}

class PackingTest : public testing_support::TreeFixture {
 protected:
  PackingTest() : TreeFixture("packing_test") {}
  void SetUp() override {
    TreeFixture::SetUp();
    makeTrees();
    useTemporaryDirectory();
    for (const char* variant : {"comp/filepat", "comp/dirpat"}) {
      put(std::string("dist/stubs/cl/Win32/") + variant + "/nolocal/pelmora.stb", "MZ stub " + std::string(900, 'S'));
    }
    builderFiles.placeProgramAt(at("dist/kestmain"));
    savedPath_ = platform::getEnv("PATH");
    savedDirectory_ = fs::current_path();
    fs::current_path(root);
  }
  void TearDown() override {
    platform::setEnv("PATH", savedPath_);
    fs::current_path(savedDirectory_);
    TreeFixture::TearDown();
  }

  // PATH = `directory` (created), then the test's own PATH when `keep`.
  void searchOnly(const std::string& directory, bool keep = false) {
    fs::create_directories(directory);
    platform::setEnv("PATH", keep ? directory + platform::pathListSeparator() + savedPath_ : directory);
  }
  bool onPath(const char* program) { return !packaging::findProgram(files, program, savedPath_).empty(); }
  // A zip.exe stand-in that lists its arguments in packer-args.txt, writes
  // "fake archive" into its *.zip argument and exits with 3: a script on
  // POSIX, the Windows build's tests/fake_packer.cc elsewhere. Its
  // directory, or empty when there is none.
  std::string fakeZip() {
    if (!posixShell()) {
      const std::string program = files.programPath();
      const std::string directory = program.substr(0, platform::lastSeparator(program)) + "\\fake-packers";
      return files.fileExists(directory + "\\zip.exe") ? directory : std::string();
    }
    put("fake/zip",
        "#!/bin/sh\n"
        "for a in \"$@\"; do printf '%s\\n' \"$a\"; done >packer-args.txt\n"
        "for a in \"$@\"; do case $a in *.zip) printf 'fake archive' >\"$a\";; esac; done\n"
        "exit 3\n");
    fs::permissions(at("fake/zip"), fs::perms::owner_all);
    return at("fake");
  }
  std::vector<std::string> packerArguments() const {
    std::vector<std::string> lines;
    std::string text = read("packer-args.txt");
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }
  // The report line for the archive `name` below root.
  std::string report(const std::string& name) {
    return "Compressed patch file into archive \"" + at(name) + "\" with " + std::to_string(read(name).size()) +
           " Bytes.\n";
  }

  std::string savedPath_;

 private:
  fs::path savedDirectory_;
};

TEST_F(PackingTest, TheInternalZipHoldsTheOutputUnderItsOwnName) {
  struct Case {
    std::vector<std::string> words;
    std::string output;
  };
  const std::vector<Case> cases = {{{"-z", "old", "new", "p"}, "p.utp"},
                                   {{"-x", "old/program.exe", "new/program.exe", "p"}, "p.utp"},
                                   {{"-s", "-z", "old", "new", "p"}, "p.exe"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words[0] + " " + c.words[1]);
    put("p.zip", "an older archive, replaced");
    ASSERT_EQ(run(c.words), 0) << err();
    std::vector<ZipEntry> entries;
    ASSERT_TRUE(readZip(at("p.zip"), &entries));
    ASSERT_EQ(entries.size(), 1u);
    const ZipEntry& e = entries[0];
    EXPECT_EQ(e.name, at(c.output)) << "the output name as the builder was given it";
    EXPECT_TRUE(e.data == read(c.output));
    EXPECT_EQ(e.info.compression_method, static_cast<uLong>(Z_DEFLATED));
    EXPECT_EQ(e.info.external_fa, 0u);
    EXPECT_EQ(e.info.internal_fa, 0u);
    // Always the same valid date, the zip format's first day, 1980-01-01
    // 00:00:00 (DOS date 0x0021: a day and a month of 0 would be invalid).
    EXPECT_EQ(e.info.dosDate, 0x00210000u);
    EXPECT_EQ(e.info.tmu_date.tm_year, 1980u);
    EXPECT_EQ(e.info.tmu_date.tm_mon, 0u) << "January, counted from 0";
    EXPECT_EQ(e.info.tmu_date.tm_mday, 1u);
    EXPECT_EQ(e.info.tmu_date.tm_hour + e.info.tmu_date.tm_min + e.info.tmu_date.tm_sec, 0u);
    const std::size_t created = out().find("Created ");
    const std::size_t packed = out().find(report("p.zip"));
    EXPECT_NE(packed, std::string::npos) << out();
    EXPECT_LT(created, packed) << "the archive is reported after the patch";
    fs::remove(at("p.zip"));
    fs::remove(at(c.output));
  }
}

TEST_F(PackingTest, InstalledZipPacksTheOutput) {
  if (!onPath("zip.exe")) GTEST_SKIP() << "no zip on PATH";
  ASSERT_EQ(run({"-z=infozip", "old", "new", "p"}), 0) << err();
  std::vector<ZipEntry> entries;
  ASSERT_TRUE(readZip(at("p.zip"), &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "p.utp") << "zip -j keeps no directory";
  EXPECT_TRUE(entries[0].data == read("p.utp"));
  EXPECT_NE(out().find(report("p.zip")), std::string::npos) << out();
}

TEST_F(PackingTest, InstalledGzipPacksTheOutputAndLeavesIt) {
  if (!onPath("gzip.exe")) GTEST_SKIP() << "no gzip on PATH";
  ASSERT_EQ(run({"-z=GZip", "old", "new", "p"}), 0) << err();
  std::string unpacked;
  ASSERT_TRUE(testing_support::inflateWithWindowBits(read("p.gz"), &unpacked, 16 + 15));
  EXPECT_FALSE(read("p.utp").empty());
  EXPECT_TRUE(unpacked == read("p.utp"));
  EXPECT_NE(out().find(report("p.gz")), std::string::npos) << out();
  EXPECT_FALSE(fs::exists(at("p.utp.gz")));
}

TEST_F(PackingTest, MissingPackersFailBeforeTheDifferenceWorkOnlyWithZ) {
  const std::string nowhere = at("nowhere");
  searchOnly(nowhere);
  for (const std::vector<std::string>& words :
       {std::vector<std::string>{"-z=arj", "old", "new", "p"}, {"-Z=ARJ", "-z", "old", "new", "p"}}) {
    EXPECT_EQ(run(words, false), 1);
    EXPECT_NE(err().find("Error, packer executable \"arj.exe\" could not be found in path, which is set to:\n" +
                         nowhere + "\n"),
              std::string::npos)
        << err();
    EXPECT_EQ(out().find("Examining"), std::string::npos) << out();
    EXPECT_FALSE(fs::exists(at("p.utp")));
  }
  // -x alone does not look: the patch is made, and then the archive is missing.
  EXPECT_EQ(run({"-x", "-Z=arj", "old", "new", "p"}), 1);
  EXPECT_NE(err().find("Error, seems that the archive could not be created?!"), std::string::npos) << err();
  EXPECT_NE(out().find("Created plain patch file"), std::string::npos) << out();
  EXPECT_TRUE(fs::exists(at("p.utp")));
  EXPECT_FALSE(fs::exists(at("p.arj")));
}

TEST_F(PackingTest, APackerThatFailsButLeavesItsArchiveSucceeds) {
  const std::string fake = fakeZip();
  if (fake.empty()) GTEST_SKIP() << "no stand-in zip.exe was built";
  searchOnly(fake, true);
  for (const std::string option : {"-q", "-s"}) {
    SCOPED_TRACE(option);
    const std::string output = option == "-s" ? "p.exe" : "p.utp";
    put("p.zip", "an older archive");
    ASSERT_EQ(run({option, "-z=InfoZip", "old", "new", "p"}), 0) << err();
    EXPECT_EQ(read("p.zip"), "fake archive");
    EXPECT_NE(out().find(report("p.zip")), std::string::npos) << out();
    EXPECT_EQ(packerArguments(), (std::vector<std::string>{"-9", "-g", "-q", "-X", "-j", at("p.zip"), at(output)}));
    EXPECT_TRUE(fs::exists(at(output)));
  }
}

// A successful injection would make a directory named marker...
TEST_F(PackingTest, PatchNamesRunNoCommands) {
  std::vector<std::string> names = {"a;mkdir marker1", "a&mkdir marker2", "a & mkdir marker3", "(mkdir marker4)",
                                    "a&&mkdir marker5"};
  if (posixShell()) {
    for (const char* n :
         {"$(mkdir marker6)", "`mkdir marker7`", "it's;mkdir marker8", "a|mkdir marker9", "a\nmkdir marker10"}) {
      names.push_back(n);
    }
  }
  const std::string fake = fakeZip();
  if (!fake.empty()) searchOnly(fake, true);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    ASSERT_EQ(runWords({"-q", "-z", "old", "new", name}), 0) << err();
    std::vector<ZipEntry> entries;
    ASSERT_TRUE(readZip(at(name + ".zip"), &entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, name + ".utp");
    fs::remove(at(name + ".zip"));
    if (fake.empty()) continue;
    ASSERT_EQ(runWords({"-q", "-z=infozip", "old", "new", name}), 0) << err();
    EXPECT_EQ(read(name + ".zip"), "fake archive");
    const std::vector<std::string> arguments = packerArguments();
    if (name.find('\n') == std::string::npos) {
      ASSERT_EQ(arguments.size(), 7u);
      EXPECT_EQ(arguments[5], name + ".zip");
      EXPECT_EQ(arguments[6], name + ".utp");
    }
  }
  for (const auto& entry : fs::directory_iterator(root)) {
    EXPECT_NE(entry.path().filename().string().rfind("marker", 0), 0u) << entry.path();
  }
  if (fake.empty()) GTEST_SKIP() << "the internal zip was checked; no stand-in zip.exe for a packer";
}

TEST_F(PackingTest, NamesThatCmdCannotTakeAreRefusedBeforeTheDifferenceWork) {
  if (posixShell()) GTEST_SKIP() << "/bin/sh takes every name in single quotes";
  const std::string fake = fakeZip();
  if (!fake.empty()) searchOnly(fake, true);
  for (const std::vector<std::string>& words :
       {std::vector<std::string>{"-x", "-Z=infozip", "old", "new", "100%"}, {"-z=infozip", "old", "new", "a!b"}}) {
    SCOPED_TRACE(words.back());
    EXPECT_EQ(runWords(words), 1);
    EXPECT_NE(err().find("Error, the name \"" + words.back() +
                         "\" cannot be handed safely to the packer through the command interpreter.\n"),
              std::string::npos)
        << err();
    EXPECT_EQ(out().find("Examining"), std::string::npos) << out();
    EXPECT_FALSE(fs::exists(at(words.back() + ".utp")));
  }
  // The internal zip runs no command: any name will do.
  ASSERT_EQ(runWords({"-q", "-z", "old", "new", "100%"}), 0) << err();
  EXPECT_TRUE(fs::exists(at("100%.zip")));
}

}  // namespace
