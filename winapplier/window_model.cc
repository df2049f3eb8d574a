#include "winapplier/window_model.h"

#include "applier/exit_codes.h"

namespace winapplier {

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
  const std::vector<std::string> tokens = tokenize(commandLine);
  for (std::size_t i = 0; i < tokens.size();) {
    const std::string& token = tokens[i];
    // The program's own name is never a switch, whatever it begins with.
    if (i > 0 && !token.empty() && token[0] == '/') {
      applier::readSwitch(tokens, &i, &result.switches);
      continue;
    }
    if (token == "-h") result.usage = result.usageAsked = true;
    if (number == 1 && !selfContained) result.patchName = token;
    if (number == 2) result.path = token;
    if (number > 2) result.usage = true;
    ++number;
    ++i;
  }
  if (result.switches.usage) result.usage = result.usageAsked = true;
  if (!result.switches.refused.empty()) result.usage = true;
  if (result.patchName.empty() && !selfContained) result.usage = true;
  return result;
}

int usageExitCode(const CommandLine& line) {
  if (!line.switches.unattended()) return 1;
  const bool refused = !line.switches.refused.empty() || !line.usageAsked;
  return refused ? applier::kExitBadCommandLine : applier::kExitApplied;
}

std::string joinCommandLine(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& w : words) line += (line.empty() ? "\"" : " \"") + w + "\"";
  return line;
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

std::string browserFailureText(const std::string& address) {
  return "Cannot automatically launch system internet browser, please do it and enter \"" + address +
         "\" manually.";
}

namespace {

// A message as a box shows it: without the line breaks that begin it in the list.
std::string boxed(const std::string& message) {
  const std::size_t start = message.find_first_not_of("\r\n");
  return start == std::string::npos ? std::string() : message.substr(start);
}

}  // namespace

std::string errorBoxText(const std::string& refusal, const std::string& error) {
  if (refusal.empty()) return error + " ";
  return boxed(refusal) + "\r\n\r\n" + boxed(error) + " ";
}

const char kElevationCaption[] = "Administrator rights needed";

std::string elevationOfferText(const std::string& error) {
  return boxed(error) + "\r\n\r\nDo you want to start the patch again with administrator rights?";
}

const char kElevationFailedText[] = "The patch could not be started again with administrator rights.";

StateLook lookOf(bool busy, bool targetFieldEmpty) {
  if (busy) return StateLook{"&Exit", false, false, true};
  return StateLook{"&Exit", true, !targetFieldEmpty, false};
}

}  // namespace winapplier
