// The machine's registry on POSIX: the export file that VERDELIN_REGISTRY
// names, read afresh for every question (a missing file is an empty registry).
#include <string>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace platform {
namespace {

ExportedRegistry current() {
  bool present = false;
  const std::string path = getEnv("VERDELIN_REGISTRY", &present);
  std::string text;
  if (present && !path.empty()) SystemFileSystem().readWholeFile(path, &text);
  return ExportedRegistry(text);
}

}  // namespace

bool SystemRegistry::keyExists(std::uint32_t rootKey, const std::string& key) {
  return current().keyExists(rootKey, key);
}

bool SystemRegistry::readValue(std::uint32_t rootKey, const std::string& key, const std::string& value,
                               std::string* data) {
  return current().readValue(rootKey, key, value, data);
}

}  // namespace platform
