#include <windows.h>

#include "platform/registry.h"

namespace platform {

bool SystemRegistry::keyExists(std::uint32_t rootKey, const std::string& key) {
  HKEY h;
  // Full access, as the check asks: a key the vendor cannot open that way
  // counts as missing.
  if (RegOpenKeyExA(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(rootKey)), key.c_str(), 0, 0xF003F, &h) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(h);
  return true;
}

bool SystemRegistry::readValue(std::uint32_t rootKey, const std::string& key, const std::string& value, std::string* data) {
  HKEY h;
  if (RegOpenKeyExA(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(rootKey)), key.c_str(), 0, KEY_READ, &h) !=
      ERROR_SUCCESS) {
    return false;
  }
  char buffer[1001] = {};
  DWORD size = sizeof buffer - 1;
  const LONG r = RegQueryValueExA(h, value.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(h);
  if (r != ERROR_SUCCESS) return false;
  *data = buffer;
  return true;
}

}  // namespace platform
