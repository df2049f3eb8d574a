// The registry export form read as a registry.
#include <cctype>
#include <string>

#include "platform/registry.h"

namespace platform {
namespace {

std::string lowered(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string rootName(std::uint32_t rootKey) {
  switch (rootKey) {
    case 0x80000000u: return "HKEY_CLASSES_ROOT";
    case 0x80000001u: return "HKEY_CURRENT_USER";
    case kHkeyLocalMachine: return "HKEY_LOCAL_MACHINE";
    case 0x80000003u: return "HKEY_USERS";
    default: return "?";
  }
}

// A quoted string of the export form starting at text[*i] == '"'; escapes
// \\ and \" are undone.
bool quoted(const std::string& text, std::size_t* i, std::string* out) {
  out->clear();
  for (++*i; *i < text.size(); ++*i) {
    char c = text[*i];
    if (c == '"') {
      ++*i;
      return true;
    }
    if (c == '\\' && *i + 1 < text.size()) c = text[++*i];
    *out += c;
  }
  return false;
}

}  // namespace

// Finds `key` and, when `value` is given, its data.
bool ExportedRegistry::lookUp(std::uint32_t rootKey, const std::string& key, const std::string* value,
                              std::string* data) const {
  const std::string& text = text_;
  const std::string wanted = lowered(rootName(rootKey) + (key.empty() ? "" : "\\" + key));
  bool inKey = false;
  bool found = false;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      const std::size_t close = line.rfind(']');
      inKey = close != std::string::npos && lowered(line.substr(1, close - 1)) == wanted;
      found = found || inKey;
      continue;
    }
    if (!inKey || value == nullptr || line.empty()) continue;
    std::size_t i = 0;
    std::string name;
    if (line[0] == '@') {
      i = 1;
    } else if (line[0] != '"' || !quoted(line, &i, &name)) {
      continue;
    }
    if (lowered(name) != lowered(*value) || i >= line.size() || line[i] != '=') continue;
    ++i;
    if (i < line.size() && line[i] == '"') return quoted(line, &i, data);
    *data = line.substr(i);  // other data kinds as written
    return true;
  }
  return value == nullptr && found;
}

bool ExportedRegistry::keyExists(std::uint32_t rootKey, const std::string& key) {
  return lookUp(rootKey, key, nullptr, nullptr);
}

bool ExportedRegistry::readValue(std::uint32_t rootKey, const std::string& key, const std::string& value,
                                 std::string* data) {
  return lookUp(rootKey, key, &value, data);
}

}  // namespace platform
