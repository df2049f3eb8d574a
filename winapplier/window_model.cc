#include "winapplier/window_model.h"

namespace winapplier {
namespace {

constexpr std::uint32_t kHkeyClassesRoot = 0x80000000u;
// The registry values of the browser lookup are read into 301-byte buffers.
constexpr std::size_t kRegistryValueSize = 301;

bool readClassValue(platform::Registry& registry, const std::string& key, std::string* value) {
  if (!registry.readValue(kHkeyClassesRoot, key, "", value)) return false;
  *value = value->substr(0, value->find('\0')).substr(0, kRegistryValueSize - 1);
  return true;
}

}  // namespace

std::vector<std::string> tokenize(const std::string& commandLine) {
  std::vector<std::string> tokens;
  std::string token;
  bool quoted = false;
  bool inToken = false;
  for (char c : commandLine) {
    if (c == '"') {
      quoted = !quoted;
      inToken = true;  // "" is an empty token
    } else if (c == ' ' && !quoted) {
      if (inToken) tokens.push_back(token);
      token.clear();
      inToken = false;
    } else {
      token += c;
      inToken = true;
    }
  }
  if (inToken) tokens.push_back(token);
  return tokens;
}

CommandLine parseCommandLine(const std::string& commandLine, bool selfContained) {
  CommandLine result;
  int number = selfContained ? 1 : 0;
  for (const std::string& token : tokenize(commandLine)) {
    if (token == "-h") result.usage = true;
    if (number == 1 && !selfContained) result.patchName = token;
    if (number == 2) result.path = token;
    if (number > 2) result.usage = true;
    ++number;
  }
  if (result.patchName.empty() && !selfContained) result.usage = true;
  return result;
}

void MessageList::add(std::string line, ListView& view) {
  lines_.push_back(std::move(line));
  view.addLine(lines_.back());
}

void MessageList::output(const std::string& text, ListView& view) {
  std::string current;
  for (char c : text) {
    if (c == '\r') {
      add(std::move(current), view);
      current.clear();
    } else if (c == '\x01') {
      if (!lines_.empty()) {
        current = lines_.back() + current;
        lines_.pop_back();
        view.removeLastLine();
      }
    } else if (c != '\n') {
      current += c;
    }
  }
  if (!current.empty()) add(std::move(current), view);
}

std::string heldText(const std::string& text) { return text.substr(0, kTextBufferSize - 1); }

std::string panelText(const std::string& text) {
  std::string out;
  for (char c : text) {
    const std::string piece = c == '\x01' || c == '\r' ? std::string("\r\r\n") : std::string(1, c);
    if (out.size() + piece.size() > kPanelTextSize) break;
    out += piece;
  }
  return out;
}

std::string controlText(const std::string& text) {
  return text.compare(0, 2, ".\\") == 0 ? text.substr(2) : text;
}

Link linkAt(int x, int y) {
  if (y < 349 || y > 361) return Link::kNone;
  if (x >= 57 && x <= 163) return Link::kWhatIsAPatch;
  if (x >= 175 && x <= 329) return Link::kCreatePatches;
  return Link::kNone;
}

const char kVendorServer[] = "http://www.verdelin.example/";

std::string linkAddress(Link link) {
  switch (link) {
    case Link::kWhatIsAPatch: return std::string(kVendorServer) + "press/patch.htm";
    case Link::kCreatePatches: return std::string(kVendorServer) + "press/creator.htm";
    case Link::kNone: break;
  }
  return std::string();
}

bool browserCommand(platform::Registry& registry, const std::string& address, std::string* command) {
  std::string type;
  if (!readClassValue(registry, ".htm", &type) || type.empty()) return false;
  std::string open;
  if (!readClassValue(registry, type + "\\shell\\open\\command", &open)) return false;
  command->clear();
  bool replaced = false;
  for (std::size_t i = 0; i < open.size(); ++i) {
    if (open.compare(i, 2, "%1") == 0) {
      *command += address;
      replaced = true;
      ++i;
    } else {
      *command += open[i];
    }
  }
  if (!replaced) *command += " " + address;
  return true;
}

std::string browserFailureText(const std::string& address) {
  return "Cannot automatically launch system internet browser, please do it and enter \"" + address +
         "\" manually.";
}

StateLook lookOf(bool busy, bool targetFieldEmpty) {
  if (busy) return StateLook{"&Exit", false, false, true};
  return StateLook{"&Exit", true, !targetFieldEmpty, false};
}

}  // namespace winapplier
