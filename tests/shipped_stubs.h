// The stubs that this build lays out beside its builder (the Windows
// appliers, built with their resources), for tests that need real programs.
#pragma once

#include <string>
#include <vector>

#include "platform/files.h"

namespace testing_support {

// The stub tree's path of each of the three stub programs: pelmora (the
// console stub), pelmostub and pelmofilestub (the windowed ones).
inline const std::vector<std::string>& stubVariants() {
  static const std::vector<std::string> variants = {"cl/Win32/comp/dirpat", "gui/Win32/comp/dirpat",
                                                    "gui/Win32/comp/filepat"};
  return variants;
}

inline std::string shippedStubPath(const std::string& variant) {
  return std::string(VERDELIN_DIST_DIR) + "/stubs/" + variant + "/nolocal/pelmora.stb";
}

// The bytes of the shipped stub of `variant`; false when this build ships
// none (a native build without the cross compiler).
inline bool readShippedStub(const std::string& variant, std::string* bytes) {
  platform::SystemFileSystem files;
  return files.readWholeFile(shippedStubPath(variant), bytes);
}

}  // namespace testing_support
