#include <windows.h>

#include <string>

#include "platform/locations.h"

namespace platform {
namespace {

// A directory from one of the Get...Directory calls; empty when it does not
// fit the buffer or the call fails.
std::string directory(UINT (WINAPI *get)(LPSTR, UINT)) {
  char buffer[1001];
  const UINT n = get(buffer, sizeof buffer);
  return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

}  // namespace

std::string usualWindowsDirectory() { return "c:\\windows"; }

std::string SystemLocations::windowsDirectory() { return directory(GetWindowsDirectoryA); }
std::string SystemLocations::systemDirectory() { return directory(GetSystemDirectoryA); }

unsigned SystemLocations::driveType(char letter) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') return kDriveNoRoot;
  return GetDriveTypeA(driveRoot(letter).c_str());
}

std::string SystemLocations::driveRoot(char letter) { return std::string(1, letter) + ":\\"; }

}  // namespace platform
