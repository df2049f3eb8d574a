// The windowed applier's behaviour, apart from the window itself: start-up,
// runs of the engine, the run states, the commands of the buttons and Alt
// keys, the close question, and the services the engine asks of a window.
// The Win32 code implements WindowView and forwards window messages here,
// so the whole flow is tested natively with a scripted view.
#pragma once

#include <exception>
#include <memory>
#include <string>

#include "applier/engine.h"
#include "applier/exit_codes.h"
#include "applier/unattended.h"
#include "platform/machine.h"
#include "winapplier/window_model.h"

namespace winapplier {

enum class BoxStyle { kOk, kErrorOk, kQuestionYesNo, kWarningYesNo };
enum class Answer { kOk, kYes, kNo, kCancel };

// What the window shows and asks; every call may dispatch window messages.
class WindowView : public ListView {
 public:
  virtual void clearList() = 0;
  virtual void setPanel(const std::string& text) = 0;
  virtual void setTarget(const std::string& text) = 0;
  virtual std::string target() = 0;
  virtual void showToggle(const std::string& text) = 0;  // visible, with this text
  virtual void setLook(const StateLook& look) = 0;
  // After a successful run: Apply hidden, Browse and the target field disabled.
  virtual void applied() = 0;
  // A message box, owned by the main window unless `owned` is false.
  virtual Answer box(const std::string& text, const std::string& caption, BoxStyle style, bool owned) = 0;
  // The open-file dialog, starting at `initial`; false when cancelled.
  virtual bool chooseFile(const std::string& title, const std::string& initial, std::string* chosen) = 0;
  // Dispatches the pending window messages.
  virtual void pump() = 0;
  virtual void destroy() = 0;
  // Opens a web page in the user's browser; false when that failed.
  virtual bool openAddress(const std::string& address) = 0;
  // Whether starting this program again with administrator rights could
  // give it more rights than it has (it does not run with them already).
  virtual bool mayRestartElevated() = 0;
  // Starts this program again with administrator rights (the system asks
  // the user first) and the command line `parameters`; false when it did
  // not start.
  virtual bool restartElevated(const std::string& parameters) = 0;
};

// The view of a run with no window (/quiet): nothing is shown, the target
// field only holds its text.
class HiddenView final : public WindowView {
 public:
  void addLine(const std::string&) override {}
  void removeLastLine() override {}
  void clearList() override {}
  void setPanel(const std::string&) override {}
  void setTarget(const std::string& text) override { target_ = text; }
  std::string target() override { return target_; }
  void showToggle(const std::string&) override {}
  void setLook(const StateLook&) override {}
  void applied() override {}
  Answer box(const std::string&, const std::string&, BoxStyle, bool) override { return Answer::kNo; }
  bool chooseFile(const std::string&, const std::string&, std::string*) override { return false; }
  void pump() override {}
  void destroy() override {}
  bool openAddress(const std::string&) override { return false; }
  bool mayRestartElevated() override { return false; }
  bool restartElevated(const std::string&) override { return false; }

 private:
  std::string target_;
};

// The commands of the buttons, and of Alt+e, Alt+b, Alt+a.
enum class Command { kExit, kBrowse, kApply, kToggle };

class WindowedApplier : public applier::FrontEnd {
 public:
  // `view` and `machine` outlive the applier. An empty `patchName` means
  // the program's own file.
  WindowedApplier(Variant variant, platform::Machine& machine, WindowView& view, std::string patchName,
                  std::string path);
  ~WindowedApplier() override;

  // Runs without a user (/quiet, /passive): no question and no box (the
  // answers of batch mode), and the exit code tells the outcome. With
  // `log`, everything shown also goes there. Before readPatch.
  void setUnattended(const applier::Switches& switches, applier::RunLog* log);
  // Reads and checks the patch once before the window is shown; false
  // (after the "Patch Error" box) when that fails.
  bool readPatch();
  // The start-up run: a run that may search for the target.
  void startupRun();
  // Enters the idle state (the window's creation does).
  void enterIdle() { setBusy(false); }
  // A button or Alt key; everything but the text toggle only when idle.
  void command(Command command);
  // The Alt key with `key`; true when it is one of the window's.
  bool altKey(char key);
  // The user closes the window: at once when idle, after a question and
  // the end of the run when busy.
  void closeRequested();
  // A left click at client point (x, y): the links.
  void clicked(int x, int y);
  // The user edited the target field.
  void targetEdited();
  bool busy() const { return busy_; }
  // An exception that the handling of a window message ended with (the
  // window catches every one: none may cross the system's dispatch). While
  // the engine works it ends that work at its next call of a service, as
  // the engine's own errors do; otherwise at once. Either way the message
  // follows, the window closes and the program ends with exit code 1.
  void failed(std::exception_ptr error);
  // The program's exit code: `normal`, or 1 after an unexpected error. In
  // the unattended modes the outcome of the last run instead (0 applied,
  // 1602 stopped by the user, 1603 any unexpected error, ...).
  int exitCode(int normal) const;

  // --- services for the engine ---
  void show(const std::string& text) override;
  void refused(const std::string& text) override;
  bool ask(const std::string& message, const std::string& caption) override;
  void pump() override;
  bool abortRequested() override { return stop_; }
  void searching(const std::string& dir, std::size_t parentLength, bool entering) override;
  void located(const std::string& path) override;

 private:
  applier::ApplyRequest request() const;
  // load_patch with the panel's texts; throws the engine's error.
  void load(applier::PatchEngine& engine);
  bool unattended() const { return switches_.unattended(); }
  // Writes `text` (the system's code page) to the log, if there is one.
  void log(const std::string& text);
  // A box, logged with its answer.
  Answer box(const std::string& text, const std::string& caption, BoxStyle style, bool owned);
  // After an error of missing rights: offers to start the program again
  // with them; true when it was started (this one then closes).
  bool offerElevation(const std::string& text);
  void run();
  // Text for the message list, logged.
  void listAndLog(const std::string& text);
  // The message list and the "Error" box; the box tells `refusal` first.
  void errorOutput(const std::string& text, const std::string& refusal = std::string());
  // An error of the engine (ApplierError); an unexpected one ends the program.
  void runFailed(const applier::ApplierError& error);
  // A failure that came while the engine worked and was not passed to it.
  void settlePending();
  void rethrowPending();
  void setBusy(bool busy);
  void setControlText(const std::string& text) { view_.setTarget(controlText(text)); }
  void browse();
  void apply();
  void toggle();
  void openLink(Link link);

  const Variant variant_;
  const applier::Numbering numbering_;
  platform::Machine& machine_;
  WindowView& view_;
  const std::string patchName_;
  std::string path_;         // the path argument (the second one always equals it)
  std::string located_;      // the target the last run located
  std::string lastRead_;     // the patch file read last: it is not "decoded" again
  std::string refusal_;      // the message of the file that stopped the run's last series walk
  std::string comment_;      // as held, before the panel's conversion
  std::string creator_;
  bool commentShown_ = false;
  bool searchAllowed_ = false;
  bool busy_ = false;
  bool stop_ = false;        // once set it stays set
  bool quitAfterRun_ = false;
  bool confirming_ = false;  // the close question is open
  bool applied_ = false;     // a run succeeded
  bool working_ = false;     // an engine is reading or applying the patch
  bool unexpected_ = false;  // an unexpected error ended the program
  int outcome_ = applier::kExitFailed;  // of the last run, as the unattended modes' exit code
  applier::Switches switches_;
  applier::RunLog* log_ = nullptr;
  bool logLineOpen_ = false;  // the log's last line may still be continued
  std::exception_ptr pending_;  // for the engine's next call of a service
  MessageList list_;
  std::unique_ptr<applier::PatchEngine> engine_;
};

// The usage box's text for `variant`, and for a command line that asked
// for it or was refused.
std::string usageText(Variant variant);
std::string usageBoxText(Variant variant, const CommandLine& line);

}  // namespace winapplier
