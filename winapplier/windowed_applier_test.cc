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
  bool startProgram(const std::string& commandLine) override {
    started.push_back(commandLine);
    return startSucceeds;
  }
  bool listHas(const std::string& line) const {
    for (const std::string& l : list) {
      if (l == line) return true;
    }
    return false;
  }

  std::vector<std::string> list, panels, dialogs, started;
  std::string field, toggle, choice;
  StateLook look{"&Cancel", true, true, false};
  bool appliedShown = false, destroyed = false, startSucceeds = true;
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

TEST_F(WindowedApplierTest, LinksOpenTheBrowserOrSayWhereToGo) {
  buildPatch();
  WindowedApplier& w = start(at("installed"));
  w.clicked(100, 355);
  ASSERT_EQ(view.boxes.size(), 1u) << "no browser in the registry";
  EXPECT_EQ(view.boxes[0].caption, "Info");
  EXPECT_FALSE(view.boxes[0].owned);
  EXPECT_EQ(view.boxes[0].text, browserFailureText(linkAddress(Link::kWhatIsAPatch)));
  machine.registry = platform::ExportedRegistry(
      "[HKEY_CLASSES_ROOT\\.htm]\n@=\"htmlfile\"\n"
      "[HKEY_CLASSES_ROOT\\htmlfile\\shell\\open\\command]\n@=\"web %1\"\n");
  w.clicked(200, 350);
  EXPECT_EQ(view.started, (std::vector<std::string>{"web " + linkAddress(Link::kCreatePatches)}));
  EXPECT_EQ(view.boxes.size(), 1u);
  view.startSucceeds = false;
  w.clicked(200, 350);
  EXPECT_EQ(view.boxes.size(), 2u) << "a browser that does not start";
  w.clicked(200, 340);
  EXPECT_EQ(view.started.size(), 2u) << "outside the links";
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

}  // namespace
}  // namespace winapplier
