#include "platform/locations.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/files.h"

namespace platform {
namespace {

TEST(FixedLocationsTest, DrivesByLetterInEitherCase) {
  FixedLocations places;
  places.windows = "W:\\Win";
  places.drives['C'] = {kDriveFixed, "C:\\"};
  places.drives['D'] = {kDriveCdRom, "D:\\"};
  EXPECT_EQ(places.windowsDirectory(), "W:\\Win");
  EXPECT_EQ(places.systemDirectory(), "");
  EXPECT_EQ(places.driveType('c'), kDriveFixed);
  EXPECT_EQ(places.driveRoot('d'), "D:\\");
  EXPECT_EQ(places.driveType('E'), kDriveNoRoot);
  EXPECT_EQ(places.driveRoot('E'), "");
}

#ifdef _WIN32
TEST(LocationsTest, SystemDirectoriesAndDrives) {
  SystemLocations places;
  SystemFileSystem fs;
  const std::string windows = places.windowsDirectory();
  ASSERT_GE(windows.size(), 3u);
  EXPECT_TRUE(fs.isDirectory(windows)) << windows;
  const std::string system = places.systemDirectory();
  EXPECT_TRUE(fs.isDirectory(system)) << system;
  EXPECT_EQ(places.driveRoot('C'), "C:\\");
  EXPECT_EQ(places.driveType(windows[0]), kDriveFixed) << "the Windows directory's drive";
  EXPECT_EQ(places.driveType('?'), kDriveNoRoot);
}
#else
// Each test starts and ends without the location variables.
class LocationsTest : public ::testing::Test {
 protected:
  std::string windowsDirectory() { return places.windowsDirectory(); }
  std::string systemDirectory() { return places.systemDirectory(); }
  unsigned driveType(char letter) { return places.driveType(letter); }
  std::string driveRoot(char letter) { return places.driveRoot(letter); }
  SystemLocations places;
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }
  static void clear() {
    for (const char* name : {"VERDELIN_WINDIR", "VERDELIN_SYSDIR", "VERDELIN_DRIVES"}) ::unsetenv(name);
  }
};

TEST_F(LocationsTest, DefaultsWithoutTheEnvironment) {
  EXPECT_EQ(windowsDirectory(), "\\windows");
  EXPECT_EQ(systemDirectory(), "\\windows\\system32");
  EXPECT_EQ(driveType('C'), kDriveFixed);
  EXPECT_EQ(driveRoot('C'), "\\");
  EXPECT_EQ(driveType('D'), kDriveNoRoot);
  EXPECT_EQ(driveRoot('D'), "");
}

TEST_F(LocationsTest, DirectoriesFromTheEnvironment) {
  ::setenv("VERDELIN_WINDIR", "/srv/win/", 1);
  EXPECT_EQ(windowsDirectory(), "\\srv\\win");
  EXPECT_EQ(systemDirectory(), "\\srv\\win\\system32") << "follows the Windows directory";
  ::setenv("VERDELIN_SYSDIR", "/srv/sys", 1);
  EXPECT_EQ(systemDirectory(), "\\srv\\sys");
  ::setenv("VERDELIN_WINDIR", "/", 1);
  ::unsetenv("VERDELIN_SYSDIR");
  EXPECT_EQ(windowsDirectory(), "\\");
  EXPECT_EQ(systemDirectory(), "\\system32");
}

TEST_F(LocationsTest, DrivesFromTheEnvironment) {
  ::setenv("VERDELIN_DRIVES", "C=/;d=cdrom:/media/cd;N=remote:/net/share/;;bad;X=/mnt/x;X=/ignored", 1);
  EXPECT_EQ(driveType('C'), kDriveFixed);
  EXPECT_EQ(driveRoot('C'), "\\");
  EXPECT_EQ(driveType('D'), kDriveCdRom) << "letters ignore case";
  EXPECT_EQ(driveRoot('D'), "\\media\\cd\\");
  EXPECT_EQ(driveType('N'), kDriveRemote);
  EXPECT_EQ(driveRoot('N'), "\\net\\share\\");
  EXPECT_EQ(driveType('X'), kDriveFixed);
  EXPECT_EQ(driveRoot('X'), "\\mnt\\x\\") << "the first entry for a letter counts";
  EXPECT_EQ(driveType('E'), kDriveNoRoot);
  EXPECT_EQ(driveRoot('E'), "");
  EXPECT_EQ(driveType('b'), kDriveNoRoot) << "'bad' names no drive";
}
#endif

}  // namespace
}  // namespace platform
