#include "winapplier/windowed_applier.h"

#include <exception>
#include <utility>

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
                                  applier::kMsgUsage);
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
      if (e.number() == applier::kMsgUnexpected) {
        unexpected_ = true;
        view_.box(e.text() + " ", "Error", BoxStyle::kOk, true);
      } else {
        view_.box(e.text() + " ", "Patch Error", BoxStyle::kOk, true);
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
  errorOutput(error.text());
  // The engine has undone the run; the program ends with the window.
  if (error.number() == applier::kMsgUnexpected) unexpected_ = quitAfterRun_ = true;
}

void WindowedApplier::errorOutput(const std::string& text) {
  list_.output(text, view_);
  view_.pump();
  view_.box(text + " ", "Error", BoxStyle::kOk, true);
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
      view_.box("Really quit and stop ongoing process?!", "Confirm", BoxStyle::kWarningYesNo, true);
  confirming_ = false;
  if (answer == Answer::kYes) stop_ = quitAfterRun_ = true;
}

void WindowedApplier::clicked(int x, int y) {
  const Link link = linkAt(x, y);
  if (link != Link::kNone) openLink(link);
}

void WindowedApplier::openLink(Link link) {
  const std::string address = linkAddress(link);
  std::string command;
  if (!browserCommand(machine_.registry, address, &command) || !view_.startProgram(command)) {
    view_.box(browserFailureText(address), "Info", BoxStyle::kOk, false);
  }
}

void WindowedApplier::show(const std::string& text) {
  list_.output(text, view_);
  pump();
}

void WindowedApplier::pump() {
  view_.pump();
  rethrowPending();
}

bool WindowedApplier::ask(const std::string& message, const std::string& caption) {
  const Answer answer = view_.box(message, caption, BoxStyle::kQuestionYesNo, true);
  if (answer == Answer::kCancel) throw ApplierError(-1, "Dummy");
  return answer == Answer::kYes;
}

void WindowedApplier::searching(const std::string& dir, std::size_t, bool entering) {
  if (!entering) return;
  setControlText(dir);
  view_.pump();
}

void WindowedApplier::located(const std::string& path) {
  setControlText(path);
  view_.pump();
}

}  // namespace winapplier
