#include "winapplier/window_win32.h"

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <exception>
#include <memory>
#include <string>

#include "applier/engine.h"
#include "applier/exit_codes.h"
#include "platform/codepage.h"
#include "platform/machine.h"
#include "platform/process.h"
#include "winapplier/windowed_applier.h"

namespace winapplier {
namespace {

const char kClassName[] = "Pelmora GUI";
const char kTitle[] = "Patch file using Verdelin technology.";
constexpr int kWidth = 600;
constexpr int kHeight = 405;
constexpr COLORREF kLinkBlue = RGB(0, 0, 238);
constexpr std::size_t kFileNameSize = 250;

class Window final : public WindowView {
 public:
  Window(HINSTANCE instance, std::string programPath) : instance_(instance), programPath_(std::move(programPath)) {}
  // A window still open (an exception left runWindowed) no longer reaches
  // this object: a box shown afterwards may dispatch its messages.
  ~Window() {
    if (main_ == nullptr) return;
    SetWindowLongPtrA(main_, GWLP_USERDATA, 0);
    DestroyWindow(main_);
  }
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  void attach(WindowedApplier* applier) { applier_ = applier; }

  bool create();
  static LRESULT CALLBACK procedure(HWND hwnd, UINT message, WPARAM wp, LPARAM lp);

  // --- WindowView ---
  void addLine(const std::string& line) override;
  void removeLastLine() override;
  void clearList() override;
  void setPanel(const std::string& text) override { SetWindowTextA(panel_, text.c_str()); }
  void setTarget(const std::string& text) override { SetWindowTextA(field_, text.c_str()); }
  std::string target() override;
  void showToggle(const std::string& text) override;
  void setLook(const StateLook& look) override;
  void applied() override;
  Answer box(const std::string& text, const std::string& caption, BoxStyle style, bool owned) override;
  bool chooseFile(const std::string& title, const std::string& initial, std::string* chosen) override;
  void pump() override;
  void destroy() override {
    if (main_ != nullptr) DestroyWindow(main_);
  }
  bool openAddress(const std::string& address) override;
  bool mayRestartElevated() override;
  bool restartElevated(const std::string& parameters) override;

  HWND handle() const { return main_; }
  // A message as the window takes it: Alt keys pressed in a control
  // belong to the main window.
  void dispatch(MSG& m);

 private:
  LRESULT handle(HWND hwnd, UINT message, WPARAM wp, LPARAM lp);
  void createControls();
  HWND control(const char* cls, const char* text, DWORD style, DWORD exStyle, int x, int y, int w, int h);
  void paint();

  HINSTANCE instance_;
  const std::string programPath_;
  WindowedApplier* applier_ = nullptr;
  HWND main_ = nullptr;
  HWND exit_ = nullptr, apply_ = nullptr, browse_ = nullptr, field_ = nullptr;
  HWND panel_ = nullptr, toggle_ = nullptr, list_ = nullptr;
  bool hourglass_ = false;
  int widestLine_ = 0;  // pixels, for the list's horizontal scroll bar
};

bool Window::create() {
  const int x = (GetSystemMetrics(SM_CXFULLSCREEN) - kWidth) / 2;
  const int y = (GetSystemMetrics(SM_CYFULLSCREEN) - kHeight) / 2;
  CreateWindowExA(0, kClassName, kTitle, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, x, y, kWidth, kHeight, nullptr,
                  nullptr, instance_, this);
  return main_ != nullptr;
}

HWND Window::control(const char* cls, const char* text, DWORD style, DWORD exStyle, int x, int y, int w, int h) {
  return CreateWindowExA(exStyle, cls, text, WS_CHILD | style, x, y, w, h, main_, nullptr, instance_, nullptr);
}

void Window::createControls() {
  const DWORD button = WS_VISIBLE | BS_PUSHBUTTON | BS_CENTER;
  exit_ = control("BUTTON", "&Cancel", button, 0, 519, 342, 65, 25);
  apply_ = control("BUTTON", "&Apply", button, 0, 449, 342, 65, 25);
  browse_ = control("BUTTON", "&Browse", button, 0, 519, 160, 65, 25);
  // The field ends where Browse begins, after the label in the window's font.
  SIZE label = {0, 0};
  if (HDC dc = GetDC(main_)) {
    GetTextExtentPoint32A(dc, "Apply To:", 9, &label);
    ReleaseDC(main_, dc);
  }
  const int w = static_cast<int>(label.cx);
  field_ = control("EDIT", "", WS_VISIBLE | ES_LEFT, WS_EX_CLIENTEDGE, w + 25, 160, 475 - w, 25);
  panel_ = control("EDIT", "", WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY, WS_EX_CLIENTEDGE, 10, 25, 575,
                   125);
  SendMessageA(panel_, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)), FALSE);
  toggle_ = control("BUTTON", "Creator", BS_PUSHBUTTON | BS_CENTER, 0, 200, 4, 65, 20);
  list_ = control("LISTBOX", nullptr, WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | LBS_NOSEL | LBS_NOINTEGRALHEIGHT,
                  WS_EX_CLIENTEDGE, 9, 215, 575, 125);
}

void Window::paint() {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(main_, &ps);
  if (ps.fErase) FillRect(dc, &ps.rcPaint, GetSysColorBrush(COLOR_BTNFACE));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  const auto text = [dc](int x, int y, const char* s) { TextOutA(dc, x, y, s, lstrlenA(s)); };
  text(15, 164, "Apply To:");
  text(15, 4, "Patch Creator Information:");
  text(15, 195, "Patching Messages Output:");
  text(10, 347, "Links:");
  SetTextColor(dc, kLinkBlue);
  // The links must fit the areas that answer clicks (57-163 and 175-329):
  // where the window font is wider than that, they take the dialog font,
  // set on the same baseline.
  SIZE wide{};
  GetTextExtentPoint32A(dc, "What is a patch?", 16, &wide);
  TEXTMETRICA windowFont{};
  GetTextMetricsA(dc, &windowFont);
  HGDIOBJ previous = nullptr;
  int y = 347;
  if (wide.cx > 163 - 57) {
    previous = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    TEXTMETRICA dialogFont{};
    GetTextMetricsA(dc, &dialogFont);
    y += windowFont.tmAscent - dialogFont.tmAscent;
  }
  text(57, y, "What is a patch?");
  text(57, y, "_____________");
  text(175, y, "Create patches myself?");
  text(175, y, "___________________");
  if (previous != nullptr) SelectObject(dc, previous);
  EndPaint(main_, &ps);
}

LRESULT CALLBACK Window::procedure(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<Window*>(reinterpret_cast<CREATESTRUCTA*>(lp)->lpCreateParams);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->main_ = hwnd;
  }
  auto* self = reinterpret_cast<Window*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (self == nullptr || self->applier_ == nullptr) return DefWindowProcA(hwnd, message, wp, lp);
  // An exception must not unwind through the system's dispatch: the
  // applier ends the program with it, after its clean-up.
  try {
    return self->handle(hwnd, message, wp, lp);
  } catch (...) {
    try {
      self->applier_->failed(std::current_exception());
    } catch (...) {
      DestroyWindow(hwnd);  // not even the message could be shown: the program ends all the same
    }
    return 0;
  }
}

LRESULT Window::handle(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
  switch (message) {
    case WM_CREATE:
      createControls();
      applier_->enterIdle();
      return 0;
    case WM_PAINT:
      paint();
      return 0;
    case WM_SETCURSOR:
      SetCursor(LoadCursorA(nullptr, hourglass_ ? IDC_WAIT : IDC_ARROW));
      return TRUE;
    case WM_SYSCHAR:
      if (applier_->altKey(static_cast<char>(wp))) return 0;
      break;
    case WM_COMMAND: {
      const HWND from = reinterpret_cast<HWND>(lp);
      if (from == field_ && HIWORD(wp) == EN_CHANGE) {
        applier_->targetEdited();
      } else if (HIWORD(wp) == BN_CLICKED) {
        if (from == exit_) applier_->command(Command::kExit);
        if (from == browse_) applier_->command(Command::kBrowse);
        if (from == apply_) applier_->command(Command::kApply);
        if (from == toggle_) applier_->command(Command::kToggle);
      }
      return 0;
    }
    case WM_LBUTTONDOWN:
      applier_->clicked(static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp)));
      return 0;
    case WM_CLOSE:
      applier_->closeRequested();
      return 0;
    case WM_DESTROY:
      main_ = nullptr;
      PostQuitMessage(applier_->exitCode(0));
      return 0;
    default:
      break;
  }
  return DefWindowProcA(hwnd, message, wp, lp);
}

void Window::dispatch(MSG& m) {
  if (m.message == WM_SYSCHAR && main_ != nullptr && GetParent(m.hwnd) == main_) m.hwnd = main_;
  TranslateMessage(&m);
  DispatchMessageA(&m);
}

void Window::pump() {
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message == WM_QUIT) {  // for the message loop after the run
      PostQuitMessage(static_cast<int>(m.wParam));
      return;
    }
    dispatch(m);
  }
}

void Window::addLine(const std::string& line) {
  const LRESULT index = SendMessageA(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
  if (index >= 0) SendMessageA(list_, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
  SIZE size = {0, 0};
  if (HDC dc = GetDC(list_)) {
    const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(list_, WM_GETFONT, 0, 0)));
    GetTextExtentPoint32A(dc, line.c_str(), static_cast<int>(line.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(list_, dc);
  }
  if (size.cx + 8 > widestLine_) {
    widestLine_ = static_cast<int>(size.cx) + 8;
    SendMessageA(list_, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(widestLine_), 0);
  }
}

void Window::removeLastLine() {
  const LRESULT count = SendMessageA(list_, LB_GETCOUNT, 0, 0);
  if (count > 0) SendMessageA(list_, LB_DELETESTRING, static_cast<WPARAM>(count - 1), 0);
}

void Window::clearList() {
  SendMessageA(list_, LB_RESETCONTENT, 0, 0);
  widestLine_ = 0;
  SendMessageA(list_, LB_SETHORIZONTALEXTENT, 0, 0);
}

std::string Window::target() {
  std::string text(static_cast<std::size_t>(GetWindowTextLengthA(field_)) + 1, '\0');
  text.resize(static_cast<std::size_t>(GetWindowTextA(field_, &text[0], static_cast<int>(text.size()))));
  return text;
}

void Window::showToggle(const std::string& text) {
  SetWindowTextA(toggle_, text.c_str());
  ShowWindow(toggle_, SW_SHOW);
}

void Window::setLook(const StateLook& look) {
  SetWindowTextA(exit_, look.exitText);
  EnableWindow(exit_, look.exitEnabled);
  EnableWindow(apply_, look.applyEnabled);
  hourglass_ = look.hourglass;
  SetCursor(LoadCursorA(nullptr, hourglass_ ? IDC_WAIT : IDC_ARROW));
}

void Window::applied() {
  ShowWindow(apply_, SW_HIDE);
  EnableWindow(browse_, FALSE);
  EnableWindow(field_, FALSE);
}

Answer Window::box(const std::string& text, const std::string& caption, BoxStyle style, bool owned) {
  UINT type = MB_OK;
  if (style == BoxStyle::kErrorOk) type = MB_OK | MB_ICONERROR;
  if (style == BoxStyle::kQuestionYesNo) type = MB_YESNO | MB_ICONQUESTION;
  if (style == BoxStyle::kWarningYesNo) type = MB_YESNO | MB_ICONWARNING;
  switch (MessageBoxA(owned ? main_ : nullptr, text.c_str(), caption.c_str(), type)) {
    case IDYES: return Answer::kYes;
    case IDNO: return Answer::kNo;
    case IDCANCEL: return Answer::kCancel;
    default: return Answer::kOk;
  }
}

bool Window::openAddress(const std::string& address) {
  SHELLEXECUTEINFOA info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.hwnd = main_;
  info.lpVerb = "open";
  info.lpFile = address.c_str();
  info.nShow = SW_SHOWNORMAL;
  return ShellExecuteExA(&info) != FALSE;
}

bool Window::mayRestartElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  const bool known = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != FALSE;
  CloseHandle(token);
  // Windows before Vista tells nothing: "run as" another user may still help.
  return !known || elevation.TokenIsElevated == 0;
}

bool Window::restartElevated(const std::string& parameters) {
  char directory[MAX_PATH] = "";
  GetCurrentDirectoryA(MAX_PATH, directory);
  SHELLEXECUTEINFOA info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOASYNC;
  info.hwnd = main_;
  info.lpVerb = "runas";
  info.lpFile = programPath_.c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = directory;
  info.nShow = SW_SHOWNORMAL;
  return ShellExecuteExA(&info) != FALSE;
}

bool Window::chooseFile(const std::string& title, const std::string& initial, std::string* chosen) {
  char name[kFileNameSize] = {};
  lstrcpynA(name, initial.c_str(), static_cast<int>(sizeof name));
  OPENFILENAMEA ofn = {};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = main_;
  ofn.lpstrFile = name;
  ofn.nMaxFile = sizeof name;
  ofn.lpstrTitle = title.c_str();
  ofn.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  if (!GetOpenFileNameA(&ofn)) return false;
  *chosen = name;
  return true;
}

// The run of /quiet: the patch read and applied with no window at all.
int runHidden(Variant variant, platform::Machine& machine, const std::string& patchName, const CommandLine& line,
              applier::RunLog& log) {
  HiddenView view;
  WindowedApplier applier(variant, machine, view, patchName, line.path);
  applier.setUnattended(line.switches, &log);
  if (applier.readPatch()) applier.startupRun();
  return applier.exitCode(0);
}

// `switches` gets the command line's switches as soon as they are known.
int runProgram(Variant variant, platform::Machine& machine, applier::Switches* switches) {
  const std::string own = machine.files.programPath();
  // Pelmo32 is self-contained when a patch is joined behind its own file;
  // the stubs always are.
  const bool selfContained = variant != Variant::kPelmo32 || applier::carriesPatch(own, machine.files);
  const CommandLine line = parseCommandLine(GetCommandLineA(), selfContained);
  *switches = line.switches;
  const bool quiet = line.switches.mode == applier::Unattended::kQuiet;
  const bool unattended = line.switches.unattended();
  applier::RunLog log(machine.files, line.switches.logFile);
  const bool logged = log.open(platform::cp1252ToUtf8(GetCommandLineA()));
  // Every ending leaves its exit code in the log.
  const auto ending = [&log](int code) {
    log.append("Exit code " + std::to_string(code) + ".\r\n");
    return code;
  };
  if (line.usage) {
    const std::string text = usageBoxText(variant, line);
    log.append(platform::cp1252ToUtf8("Commandline usage: " + text));
    // Asked for, the usage shows even with /quiet.
    if (!quiet || line.usageAsked) MessageBoxA(nullptr, text.c_str(), "Commandline usage", MB_OK);
    return ending(usageExitCode(line));
  }
  const applier::Numbering numbering =
      variant == Variant::kDirectoryStub ? applier::Numbering::kStub : applier::Numbering::kWindowed;
  if (!logged) {
    const std::string text =
        applier::numberedMessage(numbering, applier::kMsgLogFailed, applier::MessageValues{"", log.path(), ""});
    if (!quiet) MessageBoxA(nullptr, text.c_str(), "Error", MB_OK | MB_ICONERROR);
    return unattended ? applier::kExitLogFailed : 1;
  }
  const std::string patchName = selfContained ? own : line.patchName;
  if (quiet) return ending(runHidden(variant, machine, patchName, line, log));
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA wc = {};
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = Window::procedure;
  wc.hInstance = instance;
  wc.hIcon = LoadIconA(instance, "PATCHICON");
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.lpszClassName = kClassName;
  if (!RegisterClassA(&wc)) {
    log.append("Error: Windows class failure\r\n");
    if (!unattended) MessageBoxA(nullptr, "Windows class failure", "Error", MB_OK | MB_ICONERROR);
    return ending(unattended ? applier::kExitFailed : 255);
  }
  Window window(instance, own);
  WindowedApplier applier(variant, machine, window, patchName, line.path);
  applier.setUnattended(line.switches, &log);
  window.attach(&applier);
  if (!window.create() || !applier.readPatch()) {
    if (window.handle() != nullptr) DestroyWindow(window.handle());
    UnregisterClassA(kClassName, instance);
    return ending(applier.exitCode(255));
  }
  ShowWindow(window.handle(), SW_SHOWNORMAL);
  UpdateWindow(window.handle());
  applier.startupRun();
  // /passive shows the progress only: the window closes after the run.
  if (unattended) window.destroy();
  MSG m = {};
  while (GetMessageA(&m, nullptr, 0, 0) > 0) window.dispatch(m);
  return ending(applier.exitCode(static_cast<int>(m.wParam)));
}

}  // namespace

int runWindowed(Variant variant, platform::Machine& machine) {
  platform::restrictLibrarySearch();
  // The controls in the look of the system's theme (with the manifest's Common Controls 6).
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);
  applier::Switches switches;
  try {
    return runProgram(variant, machine, &switches);
  } catch (...) {
    // The applier ends its own runs and the window's failures; this is for
    // what fails around them. No run is at work any more: its engine has
    // cleaned up and undone its changes on the way out.
    const applier::Numbering numbering =
        variant == Variant::kDirectoryStub ? applier::Numbering::kStub : applier::Numbering::kWindowed;
    std::string text = "Error, patching stopped on an unexpected error.";
    try {
      text = applier::unexpectedErrorText(numbering, std::current_exception());
    } catch (...) {
    }
    if (switches.mode != applier::Unattended::kQuiet) MessageBoxA(nullptr, text.c_str(), "Error", MB_OK | MB_ICONERROR);
    return switches.unattended() ? applier::kExitFailed : 1;
  }
}

int runWindowed(Variant variant) { return runWindowed(variant, platform::systemMachine()); }

}  // namespace winapplier
