// Well-known places of the system: the Windows and system directories and
// the drives.
//
// On POSIX the machine's own come from the environment, so that patches for
// those places can be applied and tested: VERDELIN_WINDIR (default
// "/windows"), VERDELIN_SYSDIR (default the Windows directory +
// "/system32"), and VERDELIN_DRIVES, a ';'-separated list of "L=path"
// entries, where the path may be preceded by "cdrom:" or "remote:" to give
// the drive that type (default "C=/": the root as the only, fixed, drive).
#pragma once

#include <map>
#include <string>

namespace platform {

// Drive types in the system's values.
constexpr unsigned kDriveNoRoot = 1;
constexpr unsigned kDriveRemovable = 2;
constexpr unsigned kDriveFixed = 3;
constexpr unsigned kDriveRemote = 4;
constexpr unsigned kDriveCdRom = 5;
constexpr unsigned kDriveRamDisk = 6;

// Where the system keeps its Windows directory when nothing says otherwise:
// "c:\windows" on Windows; empty on POSIX, which has no drive C:.
std::string usualWindowsDirectory();

class Locations {
 public:
  virtual ~Locations() = default;
  // Without a trailing separator except for a root; empty when unknown.
  virtual std::string windowsDirectory() = 0;
  virtual std::string systemDirectory() = 0;
  // The type of drive `letter` ('A' to 'Z', either case).
  virtual unsigned driveType(char letter) = 0;
  // The root directory of drive `letter`, ending in a separator (system
  // form): "C:\" on Windows; empty when there is no such drive.
  virtual std::string driveRoot(char letter) = 0;
};

class SystemLocations final : public Locations {
 public:
  std::string windowsDirectory() override;
  std::string systemDirectory() override;
  unsigned driveType(char letter) override;
  std::string driveRoot(char letter) override;
};

// Places given in memory, for tests: drives not listed have no root.
class FixedLocations final : public Locations {
 public:
  struct Drive {
    unsigned type = kDriveFixed;
    std::string root;  // ending in a separator
  };
  std::string windowsDirectory() override { return windows; }
  std::string systemDirectory() override { return system; }
  unsigned driveType(char letter) override;
  std::string driveRoot(char letter) override;

  std::string windows;
  std::string system;
  std::map<char, Drive> drives;  // by upper-case letter
};

}  // namespace platform
