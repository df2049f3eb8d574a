// The builder's log templates: the input is the template text, expanded
// for a small fixed job (two patched files, one with two sources, one
// embedded and one skipped file) as a directory patch and as a file patch.
// A template it cannot expand ends in a LogFailure.
#include <cstddef>
#include <cstdint>
#include <string>

#include "packaging/log_template.h"

namespace {

packaging::LogFacts facts() {
  packaging::LogFacts f;
  f.skipped.push_back({"C:\\new\\readme.bak", "readme.bak", 12});
  f.embedded.push_back({"C:\\new\\data\\level3.dat", "data\\level3.dat", 4096});
  packaging::PatchSerieInfo rocket;
  rocket.sources.push_back({"C:\\old-1.0\\rocket.exe", "rocket.exe", 30000});
  rocket.sources.push_back({"C:\\old-1.0a\\rocket.exe", "rocket.exe", 30100});
  rocket.finalFile = {"C:\\new\\rocket.exe", "rocket.exe", 31000};
  f.patched.push_back(rocket);
  packaging::PatchSerieInfo ini;
  ini.sources.push_back({"C:\\old-1.0\\rocket.ini", "rocket.ini", 200});
  ini.finalFile = {"C:\\new\\rocket.ini", "rocket.ini", 210};
  f.patched.push_back(ini);
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const packaging::LogFacts job = facts();
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (bool directoryPatch : {true, false}) {
    std::string out;
    try {
      packaging::expandLog(text, job, directoryPatch, &out);
    } catch (const packaging::LogFailure&) {
    }
  }
  return 0;
}
