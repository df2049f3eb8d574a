#include "winapplier/windowed_applier.h"

#include <exception>
#include <utility>
#include <vector>

#include "platform/codepage.h"

namespace winapplier {
namespace {

using applier::ApplierError;
using applier::Numbering;

const char kWaitingText[] = "Please wait while decoding&integrity checking the patch file ...";

// Sets a flag for as long as it exists, however the scope is left.
class Raised {
 public:
  explicit Raised(bool& flag) : flag_(flag) { flag_ = true; }
  ~Raised() { flag_ = false; }
  Raised(const Raised&) = delete;
  Raised& operator=(const Raised&) = delete;

 private:
  bool& flag_;
};

}  // namespace

std::string usageText(Variant variant) {
  return applier::numberedMessage(variant == Variant::kPelmo32 ? Numbering::kWindowed : Numbering::kStub,
                                  applier::kMsgUsage) +
         "Switches: /quiet (no window), /passive (progress only), /norestart, /log FILE, /?\r\n";
}

std::string usageBoxText(Variant variant, const CommandLine& line) {
  const Numbering numbering = variant == Variant::kPelmo32 ? Numbering::kWindowed : Numbering::kStub;
  if (line.switches.refused.empty()) return usageText(variant);
  return applier::numberedMessage(numbering, applier::kMsgIllegalOption,
                                  applier::MessageValues{"", line.switches.refused, ""}) +
         "\r\n" + usageText(variant);
}

WindowedApplier::WindowedApplier(Variant variant, platform::Machine& machine, WindowView& view,
                                 std::string patchName, std::string path)
    : variant_(variant),
      numbering_(variant == Variant::kDirectoryStub ? Numbering::kStub : Numbering::kWindowed),
      machine_(machine),
      view_(view),
      patchName_(patchName.empty() ? machine.files.programPath() : std::move(patchName)),
      path_(std::move(path)) {}

WindowedApplier::~WindowedApplier() = default;

applier::ApplyRequest WindowedApplier::request() const {
  applier::ApplyRequest r;
  r.patchName = patchName_;
  r.oldPath = r.newPath = path_;
  r.searchAllowed = searchAllowed_;
  if (variant_ == Variant::kDirectoryStub) {
    r.kind = applier::ApplyRequest::Kind::kDirectory;
    r.compareMagic = false;
  } else if (variant_ == Variant::kFileStub) {
    r.kind = applier::ApplyRequest::Kind::kSingleFile;
  }
  return r;
}

void WindowedApplier::setUnattended(const applier::Switches& switches, applier::RunLog* log) {
  switches_ = switches;
  log_ = log;
}

void WindowedApplier::log(const std::string& text) {
  if (log_ == nullptr || text.empty()) return;
  // As in the message list, an output ends its line unless the next one
  // continues it with byte 1.
  const bool continues = text[0] == '\x01';
  log_->append(platform::cp1252ToUtf8((logLineOpen_ && !continues ? "\r\n" : "") + text));
  logLineOpen_ = text.back() != '\r' && text.back() != '\n';
}

Answer WindowedApplier::box(const std::string& text, const std::string& caption, BoxStyle style, bool owned) {
  const Answer answer = view_.box(text, caption, style, owned);
  const bool question = style == BoxStyle::kQuestionYesNo || style == BoxStyle::kWarningYesNo;
  log(caption + ": " + text + (question ? (answer == Answer::kYes ? " Yes" : " No") : "") + "\r\n");
  return answer;
}

int WindowedApplier::exitCode(int normal) const {
  if (!unattended()) return unexpected_ ? 1 : normal;
  if (unexpected_) return applier::kExitFailed;
  if (stop_) return applier::kExitCancelled;
  return outcome_;
}

void WindowedApplier::load(applier::PatchEngine& engine) {
  const bool decoding = patchName_ != lastRead_;
  if (decoding) {
    view_.setPanel(kWaitingText);
    view_.pump();
  }
  engine.load_patch();
  lastRead_ = patchName_;
  comment_ = heldText(engine.comment());
  creator_ = heldText(engine.creatorText());
  if (decoding) {
    view_.setPanel(controlText(panelText(creator_)));
    view_.pump();
  }
  if (!comment_.empty()) {
    if (decoding) log(comment_ + "\r\n");
    view_.setPanel(controlText(panelText(comment_)));
    commentShown_ = true;
    view_.showToggle("Creator");
    view_.pump();
  }
}

bool WindowedApplier::readPatch() {
  bool read = false;
  {
    applier::PatchEngine engine(*this, numbering_, machine_, request());
    const Raised working(working_);
    try {
      engine.guarded([&] {
        load(engine);
        engine.cleanup();
      });
      read = true;
    } catch (const ApplierError& e) {
      outcome_ = applier::exitCodeOf(e);
      if (e.number() == applier::kMsgUnexpected) unexpected_ = true;
      const std::string caption = e.number() == applier::kMsgUnexpected ? "Error" : "Patch Error";
      if (unattended()) {
        log(caption + ": " + e.text() + "\r\n");
      } else {
        box(e.text() + " ", caption, BoxStyle::kOk, true);
      }
    }
  }
  settlePending();
  return read && !unexpected_;
}

void WindowedApplier::startupRun() {
  searchAllowed_ = true;
  run();
  searchAllowed_ = false;
}

void WindowedApplier::run() {
  if (path_.empty()) path_ = ".\\";
  setBusy(true);
  view_.clearList();
  list_.clear();
  refusal_.clear();
  // A new engine for every run: the previous run's files are closed and its
  // temporaries deleted before this one creates its own.
  engine_.reset();
  engine_ = std::make_unique<applier::PatchEngine>(*this, numbering_, machine_, request());
  applier::PatchEngine& engine = *engine_;
  {
    const Raised working(working_);
    try {
      engine.guarded([&] {
        load(engine);
        engine.show(applier::kMsgCheckingPatch);
        engine.locate_and_process(applier::Pass::kCheck);
        engine.show(applier::kMsgTestsOk);
        engine.locate_and_process(applier::Pass::kApply);
        engine.closePatch();
        engine.show(applier::kMsgSuccess);
        applied_ = true;
        outcome_ = applier::kExitApplied;
        view_.applied();
      });
    } catch (const ApplierError& e) {
      runFailed(e);
    }
  }
  engine_.reset();  // its clean-up: every file closed, the temporaries deleted
  setBusy(false);
  settlePending();
  if (quitAfterRun_) view_.destroy();
}

void WindowedApplier::runFailed(const ApplierError& error) {
  outcome_ = applier::exitCodeOf(error);
  // Missing rights: the user may start the program again with them.
  if (outcome_ == applier::kExitAccessDenied && !unattended() && view_.mayRestartElevated()) {
    listAndLog(error.text());
    view_.pump();
    if (offerElevation(error.text())) quitAfterRun_ = true;
  } else {
    // The file that made the target unfit was named just before this
    // error, in the list; the box names it too.
    errorOutput(error.text(), error.number() == applier::kMsgNotApplicable ? refusal_ : std::string());
  }
  // The engine has undone the run; the program ends with the window.
  if (error.number() == applier::kMsgUnexpected) unexpected_ = quitAfterRun_ = true;
}

void WindowedApplier::listAndLog(const std::string& text) {
  list_.output(text, view_);
  log(text);
}

void WindowedApplier::errorOutput(const std::string& text, const std::string& refusal) {
  listAndLog(text);
  view_.pump();
  if (!unattended()) box(errorBoxText(refusal, text), "Error", BoxStyle::kOk, true);
}

bool WindowedApplier::offerElevation(const std::string& text) {
  if (box(elevationOfferText(text), kElevationCaption, BoxStyle::kWarningYesNo, true) != Answer::kYes) return false;
  // The same run, with every path absolute: the new program may start
  // in another directory.
  const auto absolute = [](const std::string& path) {
    std::string full = platform::absolutePath(path);
    while (full.size() > 3 && (full.back() == '\\' || full.back() == '/')) full.pop_back();
    return full;
  };
  std::vector<std::string> words;
  if (patchName_ != machine_.files.programPath()) words.push_back(absolute(patchName_));
  words.push_back(absolute(located_.empty() ? path_ : located_));
  if (!switches_.logFile.empty()) {
    words.push_back("/log");
    words.push_back(absolute(switches_.logFile));
  }
  if (switches_.noRestart) words.push_back("/norestart");
  if (view_.restartElevated(joinCommandLine(words))) return true;
  box(kElevationFailedText, "Error", BoxStyle::kOk, true);
  return false;
}

void WindowedApplier::failed(std::exception_ptr error) {
  if (working_) {
    if (!pending_) pending_ = error;
    return;
  }
  // No engine is at work: nothing of the target is changed, no temporary
  // is held. One message is enough while the program ends.
  if (unexpected_) return;
  unexpected_ = true;
  errorOutput(applier::unexpectedErrorText(numbering_, error));
  view_.destroy();
}

void WindowedApplier::settlePending() {
  if (pending_) failed(std::exchange(pending_, nullptr));
}

void WindowedApplier::rethrowPending() {
  if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
}

void WindowedApplier::setBusy(bool busy) {
  busy_ = busy;
  view_.setLook(lookOf(busy, view_.target().empty()));
}

void WindowedApplier::command(Command command) {
  if (command == Command::kToggle) return toggle();
  if (busy_) return;
  // After a successful run Browse and Apply are out of use, for their Alt
  // keys as well: the target is patched.
  if (applied_ && command != Command::kExit) return;
  switch (command) {
    case Command::kExit: return view_.destroy();
    case Command::kBrowse: return browse();
    case Command::kApply: return apply();
    case Command::kToggle: break;
  }
}

bool WindowedApplier::altKey(char key) {
  if (key != 'e' && key != 'b' && key != 'a') return false;
  if (!busy_) command(key == 'e' ? Command::kExit : key == 'b' ? Command::kBrowse : Command::kApply);
  return true;
}

void WindowedApplier::browse() {
  std::string initial = view_.target();
  if (!initial.empty() && initial.back() == '\\') initial += '.';
  // The dialog's file-name buffer holds 250 characters.
  initial = initial.substr(0, 249);
  std::string chosen;
  if (view_.chooseFile("Select target to apply patch to:", initial, &chosen)) view_.setTarget(chosen);
  setBusy(false);
}

void WindowedApplier::apply() {
  path_ = view_.target();
  if (!path_.empty()) run();
}

void WindowedApplier::toggle() {
  commentShown_ = !commentShown_;
  view_.setPanel(controlText(panelText(commentShown_ ? comment_ : creator_)));
  view_.showToggle(commentShown_ ? "Creator" : "Comment");
}

void WindowedApplier::targetEdited() {
  // The Apply button follows the field in the idle state: a path typed into
  // a field that was empty can be applied with the button too.
  if (!busy_) setBusy(false);
}

void WindowedApplier::closeRequested() {
  if (!busy_) return view_.destroy();
  if (confirming_) return;  // the question is already open
  confirming_ = true;
  const Answer answer =
      box("Really quit and stop ongoing process?!", "Confirm", BoxStyle::kWarningYesNo, true);
  confirming_ = false;
  if (answer == Answer::kYes) stop_ = quitAfterRun_ = true;
}

void WindowedApplier::clicked(int x, int y) {
  const Link link = linkAt(x, y);
  if (link != Link::kNone) openLink(link);
}

void WindowedApplier::openLink(Link link) {
  const std::string address = linkAddress(link);
  if (!view_.openAddress(address)) box(browserFailureText(address), "Info", BoxStyle::kOk, false);
}

void WindowedApplier::show(const std::string& text) {
  listAndLog(text);
  pump();
}

void WindowedApplier::refused(const std::string& text) {
  refusal_ = text;
  show(text);
}

void WindowedApplier::pump() {
  view_.pump();
  rethrowPending();
}

bool WindowedApplier::ask(const std::string& message, const std::string& caption) {
  // No one to ask: the answers of batch mode, which are yes.
  if (unattended()) {
    log(caption + ": " + message + " Yes\r\n");
    return true;
  }
  const Answer answer = box(message, caption, BoxStyle::kQuestionYesNo, true);
  if (answer == Answer::kCancel) throw ApplierError(applier::kErrorCancelled, "Dummy");
  return answer == Answer::kYes;
}

void WindowedApplier::searching(const std::string& dir, std::size_t, bool entering) {
  if (!entering) return;
  setControlText(dir);
  view_.pump();
}

void WindowedApplier::located(const std::string& path) {
  located_ = path;
  setControlText(path);
  view_.pump();
}

}  // namespace winapplier
