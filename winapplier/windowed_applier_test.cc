// The windowed applier's flow with a scripted window: real patches from the
// builder, applied to real trees, with the boxes answered by the script.
#include "winapplier/windowed_applier.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "patchformat/crc.h"
#include "platform/fault_injection.h"
#include "tests/tree_fixture.h"

namespace winapplier {
namespace {

namespace fs = std::filesystem;

class ScriptedView : public WindowView {
 public:
  struct Box {
    std::string text, caption;
    BoxStyle style;
    bool owned;
  };
  void addLine(const std::string& line) override { list.push_back(line); }
  void removeLastLine() override { list.pop_back(); }
  void clearList() override { list.clear(); }
  void setPanel(const std::string& text) override { panels.push_back(text); }
  void setTarget(const std::string& text) override { field = text; }
  std::string target() override { return field; }
  void showToggle(const std::string& text) override { toggle = text; }
  void setLook(const StateLook& l) override { look = l; }
  void applied() override { appliedShown = true; }
  Answer box(const std::string& text, const std::string& caption, BoxStyle style, bool owned) override {
    boxes.push_back(Box{text, caption, style, owned});
    if (answers.empty()) return style == BoxStyle::kOk ? Answer::kOk : Answer::kNo;
    const Answer a = answers.front();
    answers.erase(answers.begin());
    return a;
  }
  bool chooseFile(const std::string& title, const std::string& initial, std::string* chosen) override {
    dialogs.push_back(title + "|" + initial);
    if (choice.empty()) return false;
    *chosen = choice;
    return true;
  }
  void pump() override {
    ++pumps;
    if (onPump) onPump(pumps);
  }
  void destroy() override { destroyed = true; }
  bool openAddress(const std::string& address) override {
    opened.push_back(address);
    return openSucceeds;
  }
  bool mayRestartElevated() override { return notElevated; }
  bool restartElevated(const std::string& parameters) override {
    restarts.push_back(parameters);
    return restartSucceeds;
  }
  bool listHas(const std::string& line) const {
    for (const std::string& l : list) {
      if (l == line) return true;
    }
    return false;
  }

  std::vector<std::string> list, panels, dialogs, opened, restarts;
  std::string field, toggle, choice;
  StateLook look{"&Cancel", true, true, false};
  bool appliedShown = false, destroyed = false, openSucceeds = true;
  bool notElevated = true, restartSucceeds = true;
  std::vector<Box> boxes;
  std::vector<Answer> answers;
  std::function<void(int)> onPump;
  int pumps = 0;
};

class WindowedApplierTest : public testing_support::TreeFixture {
 protected:
  WindowedApplierTest() : TreeFixture("windowed_applier_test") {}
  void SetUp() override {
    TreeFixture::SetUp();
    useTemporaryDirectory();
    makeTrees();
  }
  void TearDown() override {
    applier_.reset();
    if (!savedDirectory_.empty()) fs::current_path(savedDirectory_);
    TreeFixture::TearDown();
  }
  // A directory patch root/upd.utp from old to new, and a copy of old as the installed software.
  void buildPatch(const std::string& comment = "") {
    std::vector<std::string> words = {"-d=*", "old", "new", "upd"};
    if (!comment.empty()) words.insert(words.begin(), "-c=" + comment);
    ASSERT_EQ(run(words), 0) << out() << err();
    fs::copy(at("old"), at("installed"), fs::copy_options::recursive);
  }
  WindowedApplier& start(const std::string& path, Variant variant = Variant::kPelmo32,
                         const std::string& patch = "upd.utp") {
    applier_ = std::make_unique<WindowedApplier>(variant, machine.machine, view, at(patch), path);
    applier_->enterIdle();
    return *applier_;
  }
  // The files below `dir`, each with its size and checksum.
  std::map<std::string, std::string> tree(const std::string& dir) const {
    std::map<std::string, std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(at(dir))) {
      if (!e.is_regular_file()) continue;
      const std::string name = fs::relative(e.path(), at(dir)).generic_string();
      const std::string bytes = read(dir + "/" + name);
      found[name] = std::to_string(bytes.size()) + " bytes, crc " +
                    std::to_string(patchformat::crc32_noinv(bytes.data(), bytes.size()));
    }
    return found;
  }
  // Nothing of the applier's is left: no temporary anywhere below root,
  // no directory made in the target.
  void expectNoTemporaries() const {
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      const std::string name = e.path().filename().string();
      EXPECT_FALSE(name.rfind("VDX", 0) == 0 && e.path().extension() == ".tmp") << e.path();
    }
  }
  void reinstall() {
    removeTree(at("installed"));
    fs::copy(at("old"), at("installed"), fs::copy_options::recursive);
  }
  bool installedIsNew() const {
    for (const char* name : {"program.exe", "readme.txt", "sub/data.bin", "tiny.txt", "sub/added.dat"}) {
      if (read(std::string("installed/") + name) != read(std::string("new/") + name)) return false;
    }
    return !fs::exists(at("installed/obsolete.dll"));
  }
  void enter(const std::string& dir) {
    savedDirectory_ = fs::current_path().string();
    fs::current_path(at(dir));
  }

  // The real files, faults only where a test asks.
  platform::FaultInjectingFileSystem faultyFiles{files};
  testing_support::TestMachine machine{faultyFiles};
  ScriptedView view;
  std::unique_ptr<WindowedApplier> applier_;

 private:
  std::string savedDirectory_;
};

TEST_F(WindowedApplierTest, AStartUpRunWithTheRightTargetAppliesWithoutAsking) {
  buildPatch();
  WindowedApplier& w = start(at("installed"));
  ASSERT_TRUE(w.readPatch());
  EXPECT_EQ(view.panels.front(), "Please wait while decoding&integrity checking the patch file ...");
  EXPECT_EQ(view.panels.back(), "") << "the creator text, empty from this builder";
  EXPECT_EQ(view.toggle, "") << "no comment, no toggle button";
  w.startupRun();
  EXPECT_TRUE(view.boxes.empty());
  EXPECT_TRUE(installedIsNew());
  EXPECT_TRUE(view.appliedShown);
  EXPECT_FALSE(w.busy());
  EXPECT_TRUE(view.look.exitEnabled);
  EXPECT_EQ(view.list.front(), "Please wait while uncompressing and checking the patch file ...");
  EXPECT_EQ(view.list[1], "Checking if the patch file can be applied.");
  EXPECT_TRUE(view.listHas("Updating file \"program.exe\": (ok)")) << "byte 1 continues the line";
  EXPECT_EQ(view.list.back(), "Ok, patch file applied with SUCCESS!");
  EXPECT_EQ(view.field, at("installed"));
  // Browse and Apply are out of use now, for their Alt keys too.
  EXPECT_TRUE(w.altKey('b'));
  EXPECT_TRUE(w.altKey('a'));
  EXPECT_TRUE(view.dialogs.empty());
  EXPECT_EQ(view.list.back(), "Ok, patch file applied with SUCCESS!");
  EXPECT_FALSE(w.altKey('E')) << "lower-case letters only";
  EXPECT_FALSE(view.destroyed);
  EXPECT_TRUE(w.altKey('e'));
  EXPECT_TRUE(view.destroyed);
}

TEST_F(WindowedApplierTest, InTheTargetDirectoryTheSearchAsksFirst) {
  buildPatch();
  enter("installed");
  WindowedApplier& w = start(".");
  ASSERT_TRUE(w.readPatch());
  view.answers = {Answer::kYes};
  w.startupRun();
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].caption, "Patch target found");
  EXPECT_EQ(view.boxes[0].style, BoxStyle::kQuestionYesNo);
  EXPECT_TRUE(view.boxes[0].owned);
  EXPECT_NE(view.boxes[0].text.find("Do you want to apply the patch to it?"), std::string::npos);
  EXPECT_TRUE(installedIsNew());
}

TEST_F(WindowedApplierTest, CancelInAQuestionEndsTheRunAsAnError) {
  buildPatch();
  enter("installed");
  WindowedApplier& w = start(".");
  ASSERT_TRUE(w.readPatch());
  view.answers = {Answer::kCancel};
  w.startupRun();
  ASSERT_EQ(view.boxes.size(), 2u);
  EXPECT_EQ(view.boxes[1].caption, "Error");
  EXPECT_EQ(view.boxes[1].text, "Dummy ");
  EXPECT_EQ(view.list.back(), "Dummy");
  EXPECT_FALSE(w.busy());
  EXPECT_EQ(read("installed/readme.txt"), read("old/readme.txt"));
}

TEST_F(WindowedApplierTest, AWrongTargetFailsUntilTheRightOneIsApplied) {
  buildPatch();
  fs::create_directories(at("elsewhere/empty"));
  WindowedApplier& w = start(at("elsewhere"));
  ASSERT_TRUE(w.readPatch());
  w.startupRun();
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].caption, "Error");
  EXPECT_NE(view.boxes[0].text.find("The patch is not applicable to it or you denied to do so."), std::string::npos);
  EXPECT_EQ(view.boxes[0].text.back(), ' ') << "the message and one blank";
  EXPECT_TRUE(view.listHas("The patch is not applicable to it or you denied to do so. Please use"));
  EXPECT_FALSE(view.appliedShown);
  EXPECT_FALSE(w.busy());
  // A wrong path typed in: no search after the start-up run.
  view.field = at("elsewhere/empty");
  w.targetEdited();
  EXPECT_TRUE(view.look.applyEnabled);
  w.command(Command::kApply);
  ASSERT_EQ(view.boxes.size(), 2u);
  EXPECT_NE(view.boxes[1].text.find("Error, patch is not applicable to"), std::string::npos);
  // Browse: the dialog starts at the field's text, "." after a separator.
  view.field = at("installed") + "\\";
  view.choice = at("installed/program.exe");
  w.command(Command::kBrowse);
  EXPECT_EQ(view.dialogs.back(), "Select target to apply patch to:|" + at("installed") + "\\.");
  EXPECT_EQ(view.field, at("installed/program.exe"));
  w.command(Command::kApply);
  EXPECT_EQ(view.boxes.size(), 2u);
  EXPECT_TRUE(installedIsNew()) << "a file of a directory patch's target names its directory";
}

// The console applier's words for a file changed after it was installed.
const char kEditedDataBin[] =
    "File \"sub\\data.bin\" matches none of the versions this patch updates: it was changed\r\n"
    "after it was installed, or it belongs to another release. Reinstall it,\r\n"
    "then apply the patch again.";

// A file of the target changed by hand: the "Error" box names it and says
// what to do, in the start-up run (whose search finds nothing else) as
// after Apply, rather than that the target was not found.
TEST_F(WindowedApplierTest, AnEditedFileIsNamedInTheErrorBox) {
  buildPatch();
  put("installed/sub/data.bin", read("old/sub/data.bin") + "edited");
  const auto before = tree("installed");
  WindowedApplier& w = start(at("installed"));
  ASSERT_TRUE(w.readPatch());
  w.startupRun();
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].caption, "Error");
  EXPECT_EQ(view.boxes[0].text,
            std::string(kEditedDataBin) + "\r\n\r\nError, patch is not applicable to \"" + at("installed") + "\". ");
  EXPECT_TRUE(view.listHas("File \"sub\\data.bin\" matches none of the versions this patch updates: it was changed"));
  EXPECT_EQ(view.list.back(), "Error, patch is not applicable to \"" + at("installed") + "\".");
  EXPECT_EQ(w.exitCode(0), 0);
  // Apply checks the target without a search: the same file, the same advice.
  w.command(Command::kApply);
  ASSERT_EQ(view.boxes.size(), 2u);
  EXPECT_EQ(view.boxes[1].text.rfind(std::string(kEditedDataBin) + "\r\n\r\nError, patch is not applicable to \"", 0),
            0u)
      << view.boxes[1].text;
  EXPECT_EQ(tree("installed"), before);

  // A copy of the old version below it fits, and the user says No to it:
  // the search's own end, as before.
  fs::copy(at("old"), at("installed/copy"), fs::copy_options::recursive);
  view = ScriptedView();
  WindowedApplier& declined = start(at("installed"));
  ASSERT_TRUE(declined.readPatch());
  declined.startupRun();
  ASSERT_EQ(view.boxes.size(), 2u);
  EXPECT_EQ(view.boxes[0].caption, "Patch target found");
  EXPECT_NE(view.boxes[1].text.find("The patch is not applicable to it or you denied to do so."), std::string::npos);
  EXPECT_EQ(view.boxes[1].text.find("matches none"), std::string::npos) << view.boxes[1].text;
}

// Without a path the start-up run begins in the current directory: it is
// the software when other files of the patch are there in a version it
// knows. A directory that only holds files named like the patch's is not.
TEST_F(WindowedApplierTest, TheCurrentDirectoryIsTheSoftwareWhenOtherFilesFit) {
  buildPatch();
  put("installed/sub/data.bin", read("old/sub/data.bin") + "edited");
  enter("installed");
  WindowedApplier& w = start(".");
  ASSERT_TRUE(w.readPatch());
  w.startupRun();
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].text,
            std::string(kEditedDataBin) + "\r\n\r\nError, patch is not applicable to \"current directory\". ");

  for (const char* name : {"program.exe", "readme.txt", "sub/data.bin"}) put(std::string("downloads/") + name, "other");
  fs::current_path(at("downloads"));
  view = ScriptedView();
  WindowedApplier& elsewhere = start(".");
  ASSERT_TRUE(elsewhere.readPatch());
  elsewhere.startupRun();
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_NE(view.boxes[0].text.find("The patch is not applicable to it or you denied to do so."), std::string::npos);
  EXPECT_EQ(view.boxes[0].text.find("matches none"), std::string::npos) << view.boxes[0].text;
}

TEST_F(WindowedApplierTest, ClosingDuringASearchStopsItAndClosesAfterTheRun) {
  buildPatch();
  for (int i = 0; i < 40; ++i) fs::create_directories(at("search/dir" + std::to_string(i)));
  WindowedApplier& w = start(at("search"));
  ASSERT_TRUE(w.readPatch());
  int closedAt = 0;
  view.onPump = [&](int n) {
    // The user closes the window while the search runs, and clicks around.
    if (w.busy() && closedAt == 0 && view.listHas("Checking if the patch file can be applied.")) {
      closedAt = n;
      view.answers = {Answer::kYes};
      w.closeRequested();
      w.command(Command::kApply);
      w.command(Command::kBrowse);
    }
  };
  w.startupRun();
  ASSERT_NE(closedAt, 0);
  ASSERT_EQ(view.boxes.size(), 2u);
  EXPECT_EQ(view.boxes[0].caption, "Confirm");
  EXPECT_EQ(view.boxes[0].text, "Really quit and stop ongoing process?!");
  EXPECT_EQ(view.boxes[0].style, BoxStyle::kWarningYesNo);
  EXPECT_EQ(view.boxes[1].caption, "Error");
  EXPECT_NE(view.boxes[1].text.find("The patch is not applicable to it"), std::string::npos);
  EXPECT_TRUE(view.dialogs.empty()) << "commands are ignored while busy";
  EXPECT_LT(view.pumps - closedAt, 10) << "the search of 40 candidates ended at the next one";
  EXPECT_TRUE(view.destroyed);
}

TEST_F(WindowedApplierTest, ClosingWhenIdleAndDecliningTheQuestion) {
  buildPatch();
  WindowedApplier& w = start(at("installed"));
  ASSERT_TRUE(w.readPatch());
  view.onPump = [&](int) {
    if (w.busy() && view.boxes.empty()) w.closeRequested();  // answered No
  };
  w.startupRun();
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].caption, "Confirm");
  EXPECT_FALSE(view.destroyed);
  EXPECT_TRUE(installedIsNew()) << "the run went on";
  w.closeRequested();
  EXPECT_TRUE(view.destroyed);
  EXPECT_EQ(view.boxes.size(), 1u);
}

TEST_F(WindowedApplierTest, TheCommentAndTheCreatorTextShareThePanel) {
  buildPatch("line one\\nline two");
  WindowedApplier& w = start(at("installed"));
  ASSERT_TRUE(w.readPatch());
  EXPECT_EQ(view.panels.back(), "line one\r\r\nline two\r\r\n");
  EXPECT_EQ(view.toggle, "Creator");
  w.command(Command::kToggle);
  EXPECT_EQ(view.panels.back(), "");
  EXPECT_EQ(view.toggle, "Comment");
  w.command(Command::kToggle);
  EXPECT_EQ(view.toggle, "Creator");
  const std::size_t panels = view.panels.size();
  view.answers = {Answer::kYes};
  w.startupRun();
  EXPECT_EQ(view.panels.size(), panels + 1) << "a patch read before is not decoded again: only the comment";
  EXPECT_TRUE(installedIsNew());
}

TEST_F(WindowedApplierTest, AFileThatIsNoPatchOnlyTheDirectoryStubTakesAsItIs) {
  buildPatch();
  std::string bytes = read("upd.utp");
  bytes[bytes.size() - 1] ^= 0x55;  // the trailer's magic
  put("damaged.utp", bytes);
  WindowedApplier& w = start(at("installed"), Variant::kPelmo32, "damaged.utp");
  EXPECT_FALSE(w.readPatch());
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].caption, "Patch Error");
  EXPECT_NE(view.boxes[0].text.find("is no patch file. "), std::string::npos);
  // The directory stub compares neither magic nor version.
  view.boxes.clear();
  WindowedApplier& stub = start(at("installed"), Variant::kDirectoryStub, "damaged.utp");
  ASSERT_TRUE(stub.readPatch());
  stub.startupRun();
  EXPECT_TRUE(view.boxes.empty());
  EXPECT_TRUE(installedIsNew());
  // Taken as it is, a file that is no patch at all still only fails.
  put("noise.utp", text(9, 5000));
  view.boxes.clear();
  EXPECT_FALSE(start(at("installed"), Variant::kDirectoryStub, "noise.utp").readPatch());
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].caption, "Patch Error");
}

// A self-applying windowed patch cut short (this test's own program in
// front of the patch) says so in its box, with either stub and with
// Pelmo32, which takes such a program as its own patch too: never that it
// is no patch. Nothing of the target changes.
TEST_F(WindowedApplierTest, ASelfApplyingPatchCutShortSaysSoInItsBox) {
  buildPatch();
  std::string program;
  ASSERT_TRUE(files.readWholeFile(files.programPath(), &program));
  const std::string whole = program + read("upd.utp");
  const auto before = tree("installed");
  for (std::size_t cut : {program.size() + 1, program.size() + (whole.size() - program.size()) / 2, whole.size() - 3}) {
    put("update.exe", whole.substr(0, cut));
    EXPECT_TRUE(applier::carriesPatch(at("update.exe"), files)) << "Pelmo32 is self-contained: " << cut;
    for (Variant variant : {Variant::kDirectoryStub, Variant::kFileStub, Variant::kPelmo32}) {
      view.boxes.clear();
      EXPECT_FALSE(start(at("installed"), variant, "update.exe").readPatch()) << cut;
      ASSERT_EQ(view.boxes.size(), 1u) << cut;
      EXPECT_EQ(view.boxes[0].caption, "Patch Error");
      EXPECT_NE(view.boxes[0].text.find("update.exe\" is cut short: "), std::string::npos) << view.boxes[0].text;
      EXPECT_NE(view.boxes[0].text.find("download the patch again."), std::string::npos) << view.boxes[0].text;
    }
  }
  EXPECT_EQ(tree("installed"), before);
}

TEST_F(WindowedApplierTest, LinksOpenTheBrowserOrSayWhereToGo) {
  buildPatch();
  WindowedApplier& w = start(at("installed"));
  w.clicked(200, 350);
  EXPECT_EQ(view.opened, (std::vector<std::string>{linkAddress(Link::kCreatePatches)}));
  EXPECT_TRUE(view.boxes.empty());
  view.openSucceeds = false;
  w.clicked(100, 355);
  ASSERT_EQ(view.boxes.size(), 1u) << "the page could not be opened";
  EXPECT_EQ(view.boxes[0].caption, "Info");
  EXPECT_FALSE(view.boxes[0].owned);
  EXPECT_EQ(view.boxes[0].text, browserFailureText(linkAddress(Link::kWhatIsAPatch)));
  w.clicked(200, 340);
  EXPECT_EQ(view.opened.size(), 2u) << "outside the links";
}

// An exception anywhere in reading or applying the patch (each file-system
// call throws in turn, as an allocation that fails would): the target is
// left as it was, no temporary stays, the "Error" box names what happened,
// and the window closes for exit code 1. Only the tidying up after a
// complete run passes its failures over.
TEST_F(WindowedApplierTest, AnExceptionAtEveryCallEndsTheProgramUndone) {
  buildPatch();
  const auto oldTree = tree("old");
  faultyFiles.reset();
  ASSERT_TRUE(start(at("installed")).readPatch());
  applier_->startupRun();
  ASSERT_TRUE(installedIsNew());
  const int calls = faultyFiles.allCalls();
  int failures = 0;
  for (int n = 1; n <= calls; ++n) {
    reinstall();
    view = ScriptedView();
    faultyFiles.reset();
    faultyFiles.throwAnyAt(n);
    WindowedApplier& w = start(at("installed"));
    const bool read = w.readPatch();  // else the program ends before it shows the window
    if (read) w.startupRun();
    faultyFiles.reset();
    if (view.appliedShown) {  // the call was one of the tidying up after the run was complete
      EXPECT_TRUE(installedIsNew()) << "call " << n;
      continue;
    }
    ++failures;
    ASSERT_FALSE(view.boxes.empty()) << "call " << n;
    EXPECT_EQ(view.boxes.back().caption, "Error") << "call " << n;
    EXPECT_NE(view.boxes.back().text.find("unexpected error (not enough memory)"), std::string::npos)
        << "call " << n << view.boxes.back().text;
    EXPECT_EQ(view.destroyed, read) << "call " << n;
    EXPECT_EQ(w.exitCode(read ? 0 : 255), 1) << "call " << n;
    EXPECT_EQ(tree("installed"), oldTree) << "call " << n;
    expectNoTemporaries();
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_GT(failures, calls * 3 / 4) << calls << " calls";
}

// A window message whose handling failed (the window passes the exception
// on): during a run it ends the run at the engine's next step, undone;
// when idle it ends the program at once. Both close with exit code 1.
TEST_F(WindowedApplierTest, AFailedWindowMessageEndsTheRunAndTheProgram) {
  buildPatch();
  const auto oldTree = tree("old");
  WindowedApplier& w = start(at("installed"));
  ASSERT_TRUE(w.readPatch());
  bool sent = false;
  view.onPump = [&](int) {
    // Some files are replaced already.
    if (!sent && view.listHas("Updating file \"program.exe\": (ok)")) {
      sent = true;
      w.failed(std::make_exception_ptr(std::runtime_error("a handler failed")));
    }
  };
  w.startupRun();
  ASSERT_TRUE(sent);
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].caption, "Error");
  EXPECT_NE(view.boxes[0].text.find("unexpected error (a handler failed)"), std::string::npos) << view.boxes[0].text;
  EXPECT_EQ(view.list.back(), "No file was left half-written; please apply the patch again.");
  EXPECT_TRUE(view.destroyed);
  EXPECT_EQ(w.exitCode(0), 1);
  EXPECT_EQ(tree("installed"), oldTree);
  expectNoTemporaries();

  // Idle after a run that found nothing to patch.
  view = ScriptedView();
  fs::create_directories(at("elsewhere"));
  WindowedApplier& idle = start(at("elsewhere"));
  ASSERT_TRUE(idle.readPatch());
  idle.startupRun();
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_FALSE(view.destroyed);
  EXPECT_EQ(idle.exitCode(0), 0) << "a run's own error leaves the window open";
  idle.failed(std::make_exception_ptr(std::bad_alloc()));
  ASSERT_EQ(view.boxes.size(), 2u);
  EXPECT_EQ(view.boxes[1].caption, "Error");
  EXPECT_NE(view.boxes[1].text.find("unexpected error (not enough memory)"), std::string::npos);
  EXPECT_TRUE(view.destroyed);
  EXPECT_EQ(idle.exitCode(0), 1);
}

// Without a user (/quiet, /passive) nothing is asked and no box shows:
// the target found in the current directory is taken, as batch mode takes
// it, the outcome is the exit code, and the log holds what was shown.
TEST_F(WindowedApplierTest, UnattendedRunsAskNothingAndTellTheOutcome) {
  buildPatch("Read me");
  applier::Switches quiet;
  quiet.mode = applier::Unattended::kQuiet;
  {
    applier::RunLog log(files, at("run.log"));
    ASSERT_TRUE(log.open("Pelmo32.exe /quiet /log run.log ..\\upd.utp"));
    enter("installed");
    WindowedApplier& w = start(".");
    w.setUnattended(quiet, &log);
    ASSERT_TRUE(w.readPatch());
    w.startupRun();
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_TRUE(installedIsNew());
    EXPECT_EQ(w.exitCode(0), 0);
  }
  const std::string logged = read("run.log");
  EXPECT_EQ(logged.rfind("--- ", 0), 0u) << logged;
  EXPECT_NE(logged.find("Pelmo32.exe /quiet /log run.log ..\\upd.utp\r\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find("\r\nRead me\r\n"), std::string::npos) << "the comment";
  EXPECT_NE(logged.find("\r\nPatch target found: The patch can be applied to \"current directory\". Do you want to "
                        "apply the patch to it? Yes\r\n"),
            std::string::npos)
      << logged;
  EXPECT_NE(logged.find("\r\nUpdating file \"program.exe\": (ok)\r\n"), std::string::npos) << "byte 1 left out";
  EXPECT_NE(logged.find("\r\nOk, patch file applied with SUCCESS!\r\n"), std::string::npos) << logged;

  // A target the patch does not fit, and a file that is no patch.
  fs::create_directories(at("elsewhere"));
  view = ScriptedView();
  WindowedApplier& wrong = start(at("elsewhere"));
  wrong.setUnattended(quiet, nullptr);
  ASSERT_TRUE(wrong.readPatch());
  wrong.startupRun();
  EXPECT_TRUE(view.boxes.empty());
  EXPECT_TRUE(view.listHas("The patch is not applicable to it or you denied to do so. Please use"));
  EXPECT_EQ(wrong.exitCode(0), 1642);
  put("noise.utp", text(9, 5000));
  WindowedApplier& noise = start(at("installed"), Variant::kPelmo32, "noise.utp");
  noise.setUnattended(quiet, nullptr);
  EXPECT_FALSE(noise.readPatch());
  EXPECT_TRUE(view.boxes.empty()) << "no \"Patch Error\" box";
  EXPECT_EQ(noise.exitCode(255), 1603);
}

// A file that another program holds: the message names the program (as
// the system tells), and the unattended modes end with the in-use code.
TEST_F(WindowedApplierTest, AFileInUseNamesTheProgramsThatHoldIt) {
  buildPatch();
  const auto oldTree = tree("old");
  std::vector<std::string> asked;
  machine.programs.holdersOf = [&](const std::string& path) {
    asked.push_back(path);
    return std::vector<platform::FileHolder>{{"rocket.exe", 1234}, {"notepad.exe", 88}};
  };
  faultyFiles.failAt(platform::FileOp::kLockTest, 1);
  WindowedApplier& w = start(at("installed"));
  ASSERT_TRUE(w.readPatch());
  w.startupRun();
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].caption, "Error");
  EXPECT_NE(view.boxes[0].text.find("\" is in use: close rocket.exe (1234) and notepad.exe (88), then apply the "
                                    "patch again."),
            std::string::npos)
      << view.boxes[0].text;
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(tree("installed"), oldTree);
  EXPECT_EQ(w.exitCode(0), 0) << "outside the unattended modes the code stays";

  applier::Switches passive;
  passive.mode = applier::Unattended::kPassive;
  view = ScriptedView();
  faultyFiles.reset();
  faultyFiles.failAt(platform::FileOp::kLockTest, 1);
  WindowedApplier& p = start(at("installed"));
  p.setUnattended(passive, nullptr);
  ASSERT_TRUE(p.readPatch());
  p.startupRun();
  EXPECT_TRUE(view.boxes.empty());
  EXPECT_EQ(p.exitCode(0), 32);
  EXPECT_EQ(tree("installed"), oldTree);
}

// Rights the user lacks (the check pass is refused access): the window
// offers to start the program again with administrator rights, given the
// same patch and the target as absolute paths; this one then closes.
TEST_F(WindowedApplierTest, MissingRightsOfferARestartWithAdministratorRights) {
  buildPatch();
  const auto oldTree = tree("old");
  const auto denied = [this] {
    faultyFiles.reset();
    faultyFiles.failWith(platform::FileOp::kLockTest, 1, platform::Failure::kAccessDenied, -1);
  };
  denied();
  enter("installed");
  WindowedApplier& w = start(".");
  ASSERT_TRUE(w.readPatch());
  view.answers = {Answer::kYes, Answer::kNo};  // the target found, then the offer
  w.startupRun();
  ASSERT_EQ(view.boxes.size(), 2u);
  const ScriptedView::Box offer = view.boxes[1];
  EXPECT_EQ(offer.caption, "Administrator rights needed");
  EXPECT_EQ(offer.style, BoxStyle::kWarningYesNo);
  EXPECT_EQ(offer.text.rfind("Error, you may not change \"program.exe\": applying this patch needs rights", 0), 0u)
      << offer.text;
  EXPECT_NE(offer.text.find("\r\n\r\nDo you want to start the patch again with administrator rights?"),
            std::string::npos);
  EXPECT_TRUE(view.restarts.empty());
  EXPECT_FALSE(view.destroyed) << "No: the window stays, idle";
  EXPECT_FALSE(w.busy());

  denied();
  view.boxes.clear();
  view.answers = {Answer::kYes, Answer::kYes};
  w.startupRun();
  const std::string installed = platform::absolutePath(at("installed"));
  ASSERT_EQ(view.restarts.size(), 1u);
  EXPECT_EQ(view.restarts[0], joinCommandLine({platform::absolutePath(at("upd.utp")), installed}));
  EXPECT_TRUE(view.destroyed) << "the program started again takes over";
  EXPECT_EQ(tree("installed"), oldTree);

  // A program with those rights already, or one that could not start:
  // the error alone.
  denied();
  view = ScriptedView();
  view.notElevated = false;
  WindowedApplier& elevated = start(installed);
  ASSERT_TRUE(elevated.readPatch());
  elevated.startupRun();
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].caption, "Error");
  denied();
  view = ScriptedView();
  view.restartSucceeds = false;
  view.answers = {Answer::kYes};
  WindowedApplier& failing = start(installed);
  ASSERT_TRUE(failing.readPatch());
  failing.startupRun();
  ASSERT_EQ(view.boxes.size(), 2u);
  EXPECT_EQ(view.boxes[1].text, kElevationFailedText);
  EXPECT_FALSE(view.destroyed);

  // Unattended: no offer, the code of missing rights.
  denied();
  view = ScriptedView();
  applier::Switches quiet;
  quiet.mode = applier::Unattended::kQuiet;
  WindowedApplier& q = start(installed);
  q.setUnattended(quiet, nullptr);
  ASSERT_TRUE(q.readPatch());
  q.startupRun();
  EXPECT_TRUE(view.boxes.empty());
  EXPECT_EQ(q.exitCode(0), 5);
}

// Another run at work on the target, and a run the user stops: their own
// exit codes in the unattended modes.
TEST_F(WindowedApplierTest, AnotherRunOnTheTargetAndAStoppedRun) {
  buildPatch();
  const auto oldTree = tree("old");
  applier::Switches passive;
  passive.mode = applier::Unattended::kPassive;
  machine.programs.busy.insert(platform::absolutePath(at("installed")));
  WindowedApplier& w = start(at("installed"));
  w.setUnattended(passive, nullptr);
  ASSERT_TRUE(w.readPatch());
  w.startupRun();
  EXPECT_TRUE(view.listHas("Error, another patch is being applied to \"" + at("installed") + "\" right now. Wait until it has"))
      << view.list.back();
  EXPECT_EQ(w.exitCode(0), 1618);
  EXPECT_EQ(tree("installed"), oldTree);
  machine.programs.busy.clear();

  // The user closes the window of a /passive run while it searches.
  view = ScriptedView();
  for (int i = 0; i < 10; ++i) fs::create_directories(at("search/dir" + std::to_string(i)));
  WindowedApplier& s = start(at("search"));
  s.setUnattended(passive, nullptr);
  ASSERT_TRUE(s.readPatch());
  view.onPump = [&](int) {
    if (s.busy() && view.boxes.empty() && view.listHas("Checking if the patch file can be applied.")) {
      view.answers = {Answer::kYes};
      s.closeRequested();
    }
  };
  s.startupRun();
  ASSERT_EQ(view.boxes.size(), 1u) << "the user's own close is confirmed";
  EXPECT_EQ(view.boxes[0].caption, "Confirm");
  EXPECT_EQ(s.exitCode(0), 1602);
}

}  // namespace
}  // namespace winapplier
