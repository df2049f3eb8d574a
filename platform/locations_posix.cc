// The system's places come from the environment (see locations.h), so that
// a directory tree can stand in for a Windows installation and its drives.
#include <cctype>
#include <string>

#include "platform/locations.h"
#include "platform/process.h"

namespace platform {
namespace {

// The variable's value, or `fallback` when it is unset or empty.
std::string setting(const char* name, const std::string& fallback) {
  bool present = false;
  const std::string value = getEnv(name, &present);
  return present && !value.empty() ? value : fallback;
}

// A host path in system form: '\' separators.
std::string systemForm(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// A directory as GetWindowsDirectory gives it: no trailing separator
// except for a root.
std::string directoryForm(const std::string& path) {
  std::string out = systemForm(path);
  while (out.size() > 1 && out.back() == '\\') out.pop_back();
  return out;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Looks drive `letter` up in VERDELIN_DRIVES ("L=path;...", the first entry
// for a letter counts). False when it is not listed.
bool findDrive(char letter, unsigned* type, std::string* root) {
  const int wanted = std::toupper(static_cast<unsigned char>(letter));
  if (wanted < 'A' || wanted > 'Z') return false;
  const std::string drives = setting("VERDELIN_DRIVES", "C=/");
  std::string::size_type start = 0;
  while (start <= drives.size()) {
    std::string::size_type end = drives.find(';', start);
    if (end == std::string::npos) end = drives.size();
    const std::string entry = drives.substr(start, end - start);
    start = end + 1;
    if (entry.size() < 3 || entry[1] != '=' || std::toupper(static_cast<unsigned char>(entry[0])) != wanted) continue;
    std::string path = entry.substr(2);
    *type = kDriveFixed;
    if (startsWith(path, "cdrom:")) {
      *type = kDriveCdRom;
      path.erase(0, 6);
    } else if (startsWith(path, "remote:")) {
      *type = kDriveRemote;
      path.erase(0, 7);
    }
    if (path.empty()) continue;
    *root = systemForm(path);
    if (root->back() != '\\') *root += '\\';
    return true;
  }
  return false;
}

}  // namespace

std::string usualWindowsDirectory() { return std::string(); }

std::string SystemLocations::windowsDirectory() { return directoryForm(setting("VERDELIN_WINDIR", "/windows")); }

std::string SystemLocations::systemDirectory() {
  bool present = false;
  const std::string value = getEnv("VERDELIN_SYSDIR", &present);
  if (present && !value.empty()) return directoryForm(value);
  const std::string windows = windowsDirectory();
  return windows + (windows.back() == '\\' ? "" : "\\") + "system32";
}

unsigned SystemLocations::driveType(char letter) {
  unsigned type = kDriveNoRoot;
  std::string root;
  return findDrive(letter, &type, &root) ? type : kDriveNoRoot;
}

std::string SystemLocations::driveRoot(char letter) {
  unsigned type = kDriveNoRoot;
  std::string root;
  return findDrive(letter, &type, &root) ? root : std::string();
}

}  // namespace platform
