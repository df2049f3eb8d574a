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

// The root key of every registry locator a patch can hold.
constexpr std::uint32_t kHkeyLocalMachine = 0x80000002u;

class Registry {
 public:
  virtual ~Registry() = default;
  // Whether `key` (below `rootKey`, "\"-separated) exists.
  virtual bool keyExists(std::uint32_t rootKey, const std::string& key) = 0;
  // The string data of `value` (empty name: the default value). False when
  // the key or the value is missing.
  virtual bool readValue(std::uint32_t rootKey, const std::string& key, const std::string& value,
                         std::string* data) = 0;
};

class SystemRegistry final : public Registry {
 public:
  bool keyExists(std::uint32_t rootKey, const std::string& key) override;
  bool readValue(std::uint32_t rootKey, const std::string& key, const std::string& value, std::string* data) override;
};

// A registry given as the text of an export file; names compare without
// regard to case.
class ExportedRegistry final : public Registry {
 public:
  explicit ExportedRegistry(std::string text) : text_(std::move(text)) {}
  bool keyExists(std::uint32_t rootKey, const std::string& key) override;
  bool readValue(std::uint32_t rootKey, const std::string& key, const std::string& value, std::string* data) override;

 private:
  bool lookUp(std::uint32_t rootKey, const std::string& key, const std::string* value, std::string* data) const;

  std::string text_;
};

}  // namespace platform
