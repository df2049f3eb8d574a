// The registry, read-only. On Windows the system's; on POSIX a text file in
// the system's export form, named by the environment variable
// VERDELIN_REGISTRY:
//   [HKEY_LOCAL_MACHINE\Software\Acme\Tool]
//   "InstallDir"="C:\\Program Files\\Tool"
//   @="the key's default value"
#pragma once

#include <cstdint>
#include <string>

namespace platform {

constexpr std::uint32_t kHkeyLocalMachine = 0x80000002u;

// Whether `key` (below `rootKey`, "\"-separated) exists.
bool registryKeyExists(std::uint32_t rootKey, const std::string& key);
// The string data of `value` (empty name: the default value). False when
// the key or the value is missing.
bool registryReadValue(std::uint32_t rootKey, const std::string& key, const std::string& value, std::string* data);

}  // namespace platform
