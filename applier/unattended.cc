#include "applier/unattended.h"

#include "platform/number_text.h"

namespace applier {
namespace {

std::string lowerCase(std::string word) {
  for (char& c : word) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return word;
}

}  // namespace

const char kSwitchesHelp[] =
    "  /quiet      show nothing and ask nothing (the answers of -y); the exit code\r\n"
    "              tells the outcome (see below)\r\n"
    "  /passive    show the progress, ask nothing (the answers of -y); exit codes\r\n"
    "              as with /quiet\r\n"
    "  /norestart  accepted: no patch ever needs a restart\r\n"
    "  /log FILE   append everything shown to FILE\r\n"
    "  /?          this text\r\n"
    "Exit codes with /quiet or /passive: 0 applied or up to date, 5 no right to\r\n"
    "change the target (run as administrator), 32 a file is in use, 112 disk full,\r\n"
    "1602 cancelled, 1603 failed, 1618 another patch of the target is running,\r\n"
    "1622 the log cannot be written, 1639 bad command line, 1642 the target is not\r\n"
    "found or fits no version of the patch.\r\n";

void readSwitch(const std::vector<std::string>& words, std::size_t* i, Switches* switches) {
  const std::string name = lowerCase(words[*i]);
  ++*i;
  if (name == "/quiet") {
    switches->mode = Unattended::kQuiet;
  } else if (name == "/passive") {
    // /quiet says more: it wins in either order.
    if (switches->mode != Unattended::kQuiet) switches->mode = Unattended::kPassive;
  } else if (name == "/norestart") {
    switches->noRestart = true;
  } else if (name == "/?") {
    switches->usage = true;
  } else if (name == "/log" && *i < words.size()) {
    switches->logFile = words[(*i)++];
  } else if (switches->refused.empty()) {
    switches->refused = words[*i - 1];
  }
}

std::string dosDateTimeText(std::uint32_t t) {
  return platform::paddedDecimal((t >> 25) + 1980, 4) + "-" + platform::paddedDecimal((t >> 21) & 15, 2) + "-" +
         platform::paddedDecimal((t >> 16) & 31, 2) + " " + platform::paddedDecimal((t >> 11) & 31, 2) + ":" +
         platform::paddedDecimal((t >> 5) & 63, 2) + ":" + platform::paddedDecimal((t & 31) * 2, 2);
}

RunLog::~RunLog() {
  // The next run's first line starts a line of its own.
  if (file_ && (pendingReturn_ || !atLineStart_)) file_->write("\r\n", 2);
}

bool RunLog::open(const std::string& commandLine) {
  if (!enabled()) return true;
  file_ = files_.open(path_, platform::File::Mode::kAppend);
  if (!file_) return false;
  const std::string first = "--- " + dosDateTimeText(files_.dosDateTimeNow()) + " " + commandLine + "\r\n";
  if (!file_->write(first.data(), first.size())) {
    file_.reset();
    return false;
  }
  return true;
}

void RunLog::append(const std::string& text) {
  if (!file_) return;
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    if (pendingReturn_) {
      out += "\r\n";
      pendingReturn_ = false;
      if (c == '\n') continue;
    }
    if (c == '\r') {
      pendingReturn_ = true;
    } else if (c == '\n') {
      out += "\r\n";
    } else if (c != '\x01' && c != '\b') {
      out += c;
    }
  }
  if (!out.empty()) atLineStart_ = out.back() == '\n';
  file_->write(out.data(), out.size());
}

}  // namespace applier
