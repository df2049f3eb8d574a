// Well-known places of the system: the Windows and system directories and
// the drives.
//
// On POSIX they come from the environment, so that patches for those places
// can be applied and tested: VERDELIN_WINDIR (default "/windows"),
// VERDELIN_SYSDIR (default the Windows directory + "/system32"), and
// VERDELIN_DRIVES, a ';'-separated list of "L=path" entries, where the path
// may be preceded by "cdrom:" or "remote:" to give the drive that type
// (default "C=/": the root as the only, fixed, drive).
#pragma once

#include <string>

namespace platform {

std::string windowsDirectory();
std::string systemDirectory();

// Drive types in the system's values.
constexpr unsigned kDriveNoRoot = 1;
constexpr unsigned kDriveRemovable = 2;
constexpr unsigned kDriveFixed = 3;
constexpr unsigned kDriveRemote = 4;
constexpr unsigned kDriveCdRom = 5;
constexpr unsigned kDriveRamDisk = 6;

// The type of drive `letter` ('A' to 'Z').
unsigned driveType(char letter);
// The root directory of drive `letter`, ending in a separator (system form):
// "C:\" on Windows.
std::string driveRoot(char letter);

}  // namespace platform
