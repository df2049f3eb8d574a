// Option -R: a self-applying patch made from the shipped stubs carries the
// vendor's names in its version resource, read back here with the
// builder's reader and, on Windows, with the system's own; the check of the
// finished patch compares the program with the stub as -R changed it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "packaging/version_resource.h"
#include "patchformat/coding.h"
#include "tests/shipped_stubs.h"
#include "tests/tree_fixture.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;
using packaging::VersionInfo;
using platform::FileOp;

std::string valueOf(const VersionInfo& info, const std::string& key) {
  for (const packaging::VersionString& s : info.strings) {
    if (s.key == key) return s.value;
  }
  return "(missing)";
}

#ifdef _WIN32
// A value as the system's version API reads it from the file: a string of
// the table Explorer shows, or (for the key "Translation") the language and
// code page by which Explorer picks that table.
std::wstring systemValue(const std::string& path, const std::wstring& key) {
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
  std::vector<char> data(size);
  if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, data.data())) return L"(unreadable)";
  void* value = nullptr;
  UINT length = 0;
  if (key == L"Translation") {
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &value, &length) || length < 4) return L"(missing)";
    return std::to_wstring(*static_cast<const DWORD*>(value));
  }
  const std::wstring query = L"\\StringFileInfo\\040904B0\\" + key;
  if (!VerQueryValueW(data.data(), query.c_str(), &value, &length)) return L"(missing)";
  return static_cast<const wchar_t*>(value);
}
#endif

class VendorFieldsTest : public testing_support::TreeFixture {
 protected:
  VendorFieldsTest() : TreeFixture("vendor_fields_test") {}
  void SetUp() override {
    TreeFixture::SetUp();
    if (!testing_support::readShippedStub("cl/Win32/comp/dirpat", &consoleStub) ||
        !testing_support::readShippedStub("gui/Win32/comp/dirpat", &windowedStub)) {
      GTEST_SKIP() << "this build ships no stubs";
    }
    makeTrees();
    useTemporaryDirectory();
    for (const char* variant : {"comp/dirpat", "comp/filepat"}) {
      put(std::string("dist/stubs/cl/Win32/") + variant + "/nolocal/pelmora.stb", consoleStub);
    }
    put("dist/stubs/gui/Win32/comp/dirpat/nolocal/pelmora.stb", windowedStub);
    builderFiles.placeProgramAt(at("dist/kestmain"));
  }
  bool leftNothing(const std::string& output) const {
    return !files.fileExists(at(output)) && fs::is_empty(at("tmp"));
  }

  std::string consoleStub, windowedStub;
};

TEST_F(VendorFieldsTest, TheJoinedProgramCarriesTheVendorsNames) {
  ASSERT_EQ(run({"-d=*.dll", "old", "new", "plain"}), 0) << err();
  for (const auto& [option, stub] : {std::pair{"-s", &consoleStub}, std::pair{"-s=gui", &windowedStub}}) {
    SCOPED_TRACE(option);
    ASSERT_EQ(run({option, "-R=ProductName=Rocket Café", "-R=companyname=Rocket Works", "-R=FileVersion=5.2.1.7",
                   "-R=ProductVersion=5.2 beta", "-R=ProductName=Rocket € Editor", "-d=*.dll", "old", "new",
                   "update"}),
              0)
        << err();
    const std::string program = read("update.exe");
    ASSERT_EQ(program.size(), stub->size() + read("plain.utp").size()) << "the stub keeps its size";
    EXPECT_EQ(program.substr(stub->size()), read("plain.utp")) << "the patch data is the plain patch";
    VersionInfo info, stubInfo;
    ASSERT_EQ(packaging::readVersionInfo(program.substr(0, stub->size()), &info), packaging::VersionError::kNone);
    ASSERT_EQ(packaging::readVersionInfo(*stub, &stubInfo), packaging::VersionError::kNone);
    EXPECT_EQ(valueOf(info, "ProductName"), "Rocket \x80 Editor") << "the later value of a key counts";
    EXPECT_EQ(valueOf(info, "CompanyName"), "Rocket Works") << "keys in any letter case";
    EXPECT_EQ(valueOf(info, "FileVersion"), "5.2.1.7");
    EXPECT_EQ(valueOf(info, "ProductVersion"), "5.2 beta");
    EXPECT_EQ(valueOf(info, "OriginalFilename"), "update.exe") << "the program's own name";
    EXPECT_EQ(valueOf(info, "FileDescription"), valueOf(stubInfo, "FileDescription")) << "not given: the stub's";
    EXPECT_EQ(info.fileVersion, 0x0005000200010007u);
    EXPECT_EQ(info.productVersion, stubInfo.productVersion) << "5.2 beta is no a.b.c.d";
#ifdef _WIN32
    const std::wstring usEnglishUnicode = std::to_wstring(0x04B00409);
    EXPECT_EQ(systemValue(at("dist/stubs/cl/Win32/comp/dirpat/nolocal/pelmora.stb"), L"Translation"),
              usEnglishUnicode) << "the stub's reserve does not hide its translation";
    EXPECT_EQ(systemValue(at("update.exe"), L"Translation"), usEnglishUnicode);
    EXPECT_EQ(systemValue(at("update.exe"), L"ProductName"), L"Rocket \u20ac Editor");
    EXPECT_EQ(systemValue(at("update.exe"), L"OriginalFilename"), L"update.exe");
    EXPECT_EQ(systemValue(at("update.exe"), L"LegalCopyright"), L"Copyright \u00a9 the Verdelin developers");
#endif
    fs::remove(at("update.exe"));
  }
}

TEST_F(VendorFieldsTest, OnlyAProgramWithRoomTakesThem) {
  // A plain patch has no version resource: the values are left out (with
  // a notice, tests/kestmain_transcripts.sh).
  ASSERT_EQ(run({"-d=*.dll", "old", "new", "plain"}), 0) << err();
  ASSERT_EQ(run({"-R=ProductName=Rocket", "-d=*.dll", "old", "new", "with"}), 0) << err();
  EXPECT_EQ(read("with.utp"), read("plain.utp"));

  // A stub without a version resource is named; nothing is left behind.
  put("dist/stubs/cl/Win32/comp/filepat/nolocal/pelmora.stb", "MZ stub " + std::string(3000, 'S'));
  EXPECT_EQ(run({"-s", "-R=ProductName=Rocket", "old/program.exe", "new/program.exe", "p"}), 1);
  EXPECT_NE(err().find("has no version resource that option \"-R\" could change."), std::string::npos) << err();
  EXPECT_TRUE(leftNothing("p.exe"));

  // The program's own name must fit the room for it, checked before any work.
  const std::string longest(packaging::kMaxOriginalFilename - 4, 'u');
  EXPECT_EQ(run({"-s", "-R=ProductName=Rocket", "old", "new", longest + "u"}), 1);
  EXPECT_NE(err().find("is longer than 100 characters, too long for the version resource"), std::string::npos)
      << err();
  EXPECT_EQ(out().find("embedding"), std::string::npos) << "refused before any work\n" << out();
  EXPECT_TRUE(leftNothing(longest + "u.exe"));
  ASSERT_EQ(run({"-s", "-R=ProductName=Rocket", "old", "new", longest}), 0) << err();
  VersionInfo info;
  ASSERT_EQ(packaging::readVersionInfo(read(longest + ".exe"), &info), packaging::VersionError::kNone);
  EXPECT_EQ(valueOf(info, "OriginalFilename"), longest + ".exe");
}

// A byte damaged on its way to the disk in the part of the stub that -R
// changed, or in the header's checksum, fails the check as anywhere else.
TEST_F(VendorFieldsTest, TheCheckComparesWithTheChangedStub) {
  const std::vector<std::string> words = {"-s", "-R=ProductName=Rocket", "old/program.exe", "new/program.exe", "p"};
  int writesBefore = -1;  // the patch's writes before the join creates the program
  builderFiles.after(FileOp::kCreate, [&](const std::string& path) {
    if (path == at("p.exe")) writesBefore = builderFiles.calls(FileOp::kWrite);
  });
  ASSERT_EQ(run(words), 0) << err();
  ASSERT_GE(writesBefore, 0);
  std::string key;
  for (char c : std::string("VS_VERSION_INFO")) key += std::string(1, c) + '\0';
  const std::size_t block = consoleStub.find(key) - 6;
  const std::size_t checksum =
      patchformat::getU32(reinterpret_cast<const std::uint8_t*>(consoleStub.data()) + 0x3C) + 24 + 64;
  // The join writes the program in pieces of 1000 bytes.
  for (const std::size_t offset : {checksum, block + 100, block + 1500}) {
    SCOPED_TRACE(offset);
    fs::remove(at("p.exe"));
    builderFiles.reset();
    builderFiles.corruptWriteAt(writesBefore + static_cast<int>(offset / 1000) + 1, offset % 1000);
    EXPECT_EQ(run(words), 1);
    EXPECT_NE(err().find("the program in front of the patch data is not the stub"), std::string::npos) << err();
    EXPECT_NE(err().find("with the values of option \"-R\""), std::string::npos) << err();
    EXPECT_TRUE(leftNothing("p.exe"));
  }
}

}  // namespace
