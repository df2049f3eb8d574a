// window_driver: a console helper for the GUI tests. It finds a top-level
// window of another program by its exact title, prints its layout and the
// state of its child controls, and drives it the way a user would (press a
// button, close the window), so a shell script can test a windowed program
// under Wine without clicking at screen coordinates.
//
//   window_driver list  "CAPTION"
//   window_driver wait  "CAPTION" [SECONDS]
//   window_driver gone  "CAPTION" [SECONDS]
//   window_driver press "CAPTION" "BUTTONTEXT"
//   window_driver text  "CAPTION"
//   window_driver close "CAPTION"
//   window_driver widths "CAPTION"
//   window_driver run [--limited] SECONDS PROGRAM [ARGUMENT...]
//   window_driver hold FILE SECONDS
//
// A window matches when it is top-level, visible and its title equals
// CAPTION exactly; with several matches the first in Z order (the topmost)
// is used. list, press, text and close wait up to 10 s for the window (press
// also for the button to be visible and enabled); wait and gone wait SECONDS (default 10). The window
// is polled every 100 ms.
//
// Output of list (one line each; X Y W H in pixels):
//   window X Y W H        outer rectangle, screen coordinates
//   client W H            client area size
//   child CLASS X Y W H VISIBLE ENABLED STYLE EXSTYLE "TEXT"
//                         one per direct child, in Z order; X Y relative to
//                         the parent's client area, W H the outer size,
//                         VISIBLE/ENABLED 0 or 1, styles as 0x%08lx
//   For a list box the "TEXT" field is replaced by the item count, followed
//   by one line per item:  item "TEXT"
// Texts are escaped: \ " and control characters become \\ \" \n \r \t \xHH.
// text prints the texts of the window's Static children (image statics
// left out), one per line, escaped the same way except that " stays as is.
// stdout is in text mode, so under Wine lines end in CR LF.
//
// widths tells whether the lines of the window's list box can be read
// whole: for the first list box child
//   list FONT EXTENT CLIENTWIDTH    FONT "default" when the list draws in
//                                   the system font (it has none of its
//                                   own), else "own"; EXTENT its horizontal
//                                   extent (LB_GETHORIZONTALEXTENT), the
//                                   width it can be scrolled through
//   width W "TEXT"                  per item: the pixels TEXT takes in the
//                                   system font, as the list draws it
//
// run starts PROGRAM with the ARGUMENTs (each one word of its command line)
// and waits up to SECONDS for it to end. While it runs it prints
//   window "TITLE"        once for each visible top-level window of the program
// and at the end
//   exit CODE             its whole exit code (Wine gives a Linux parent only
//                         the low byte: 1642 would arrive as 106)
// or "timeout" after ending it. With --limited the program runs without
// administrator rights (the system's linked, limited token), as a user's
// programs do under User Account Control; Wine starts every program with
// them otherwise.
// hold opens FILE as a program that works on it does (others may read it,
// none may write, move or remove it), prints "holding", and keeps it open
// for SECONDS or until it is ended.
//
// Exit status: 0 done; 1 bad usage; 2 window (or button) not found, or
// timeout (run: the program could not start or did not end); 3 the button
// exists but is hidden or disabled (a user could not click it either).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kPollMs = 100;
constexpr double kFindSeconds = 10.0;
// Bound on each message sent to the driven program, so a hung program
// fails the test instead of blocking it.
constexpr UINT kSendTimeoutMs = 3000;

enum Exit { kOk = 0, kUsage = 1, kNotFound = 2, kNotClickable = 3 };

struct FindState {
  const char* caption;
  HWND found;
};

BOOL CALLBACK find_top_level(HWND hwnd, LPARAM lparam) {
  auto* state = reinterpret_cast<FindState*>(lparam);
  if (!IsWindowVisible(hwnd)) return TRUE;
  char title[1024] = "";
  // Top-level windows: GetWindowTextA reads the title kept by the system,
  // without sending a message that a busy program would have to answer.
  int n = GetWindowTextA(hwnd, title, sizeof title);
  if (n >= 0 && std::strcmp(title, state->caption) == 0) {
    state->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

HWND find_window(const char* caption) {
  FindState state{caption, nullptr};
  EnumWindows(find_top_level, reinterpret_cast<LPARAM>(&state));
  return state.found;
}

// Polls `probe` until it returns true or `seconds` have passed; probes at
// least once.
template <typename Probe>
bool poll(double seconds, Probe probe) {
  const DWORD start = GetTickCount();
  const DWORD limit = seconds <= 0 ? 0 : static_cast<DWORD>(seconds * 1000.0);
  for (;;) {
    if (probe()) return true;
    if (GetTickCount() - start >= limit) return false;
    Sleep(kPollMs);
  }
}

HWND wait_for_window(const char* caption, double seconds) {
  HWND hwnd = nullptr;
  poll(seconds, [&] { return (hwnd = find_window(caption)) != nullptr; });
  return hwnd;
}

// The window a command works on, waited for; says so when there is none.
HWND window_for_command(const char* caption) {
  HWND hwnd = wait_for_window(caption, kFindSeconds);
  if (!hwnd) std::fprintf(stderr, "window_driver: no window \"%s\"\n", caption);
  return hwnd;
}

// The text of a window of another process. WM_GETTEXT is sent rather than
// calling GetWindowTextA, which for another process's window returns only
// the caption stored at creation: an edit control's typed text would be
// missed. Falls back to that stored caption if the program does not answer.
std::string window_text(HWND hwnd) {
  DWORD_PTR length = 0;
  if (SendMessageTimeoutA(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                          &length)) {
    std::vector<char> buf(length + 1, '\0');
    DWORD_PTR copied = 0;
    if (SendMessageTimeoutA(hwnd, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()),
                            SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied)) {
      buf.back() = '\0';
      return std::string(buf.data());
    }
  }
  char buf[4096];
  int n = GetWindowTextA(hwnd, buf, sizeof buf);
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string class_name(HWND hwnd) {
  char buf[256];
  int n = GetClassNameA(hwnd, buf, sizeof buf);
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

bool class_is(HWND hwnd, const char* name) {
  return lstrcmpiA(class_name(hwnd).c_str(), name) == 0;
}

std::string escape(const std::string& text, bool escape_quotes) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '"':
        out += escape_quotes ? "\\\"" : "\"";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

// A button's label as the user reads it: a single '&' marks the mnemonic
// and is not shown, "&&" shows one '&'.
std::string without_mnemonic(const std::string& label) {
  std::string out;
  for (size_t i = 0; i < label.size(); ++i) {
    if (label[i] == '&') {
      if (i + 1 < label.size() && label[i + 1] == '&') {
        out += '&';
        ++i;
      }
      continue;
    }
    out += label[i];
  }
  return out;
}

std::vector<HWND> direct_children(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child && children.size() < 100000;
       child = GetWindow(child, GW_HWNDNEXT)) {
    children.push_back(child);
  }
  return children;
}

bool send(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, LRESULT* result, bool wide = false) {
  DWORD_PTR r = 0;
  const LRESULT ok =
      wide ? SendMessageTimeoutW(hwnd, msg, wparam, lparam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &r)
           : SendMessageTimeoutA(hwnd, msg, wparam, lparam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &r);
  if (!ok) return false;
  *result = static_cast<LRESULT>(r);
  return true;
}

// List box items are read with the wide messages and converted here: Wine
// does not convert LB_GETTEXT sent with SendMessageA to another process, so
// the caller would get UTF-16 in a buffer sized for ANSI text.
std::vector<std::string> list_box_items(HWND list) {
  std::vector<std::string> items;
  LRESULT count = 0;
  if (!send(list, LB_GETCOUNT, 0, 0, &count) || count == LB_ERR) return items;
  for (LRESULT i = 0; i < count; ++i) {
    const WPARAM index = static_cast<WPARAM>(i);
    LRESULT length = 0;
    std::string text;
    if (send(list, LB_GETTEXTLEN, index, 0, &length, true) && length != LB_ERR) {
      std::vector<WCHAR> wbuf(static_cast<size_t>(length) + 1, L'\0');
      LRESULT copied = 0;
      if (send(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(wbuf.data()), &copied, true) &&
          copied != LB_ERR && copied >= 0 && copied <= length) {
        const int wlen = static_cast<int>(copied);
        const int n = WideCharToMultiByte(CP_ACP, 0, wbuf.data(), wlen, nullptr, 0, nullptr, nullptr);
        if (n > 0) {
          text.resize(static_cast<size_t>(n));
          WideCharToMultiByte(CP_ACP, 0, wbuf.data(), wlen, &text[0], n, nullptr, nullptr);
        }
      }
    }
    items.push_back(text);
  }
  return items;
}

unsigned long style_of(HWND hwnd, int index) {
  return static_cast<unsigned long>(static_cast<DWORD>(GetWindowLongA(hwnd, index)));
}

int cmd_list(const char* caption) {
  HWND hwnd = window_for_command(caption);
  if (!hwnd) return kNotFound;
  RECT wr{}, cr{};
  GetWindowRect(hwnd, &wr);
  GetClientRect(hwnd, &cr);
  std::printf("window %ld %ld %ld %ld\n", wr.left, wr.top, wr.right - wr.left, wr.bottom - wr.top);
  std::printf("client %ld %ld\n", cr.right - cr.left, cr.bottom - cr.top);
  for (HWND child : direct_children(hwnd)) {
    RECT r{};
    GetWindowRect(child, &r);
    const long w = r.right - r.left, h = r.bottom - r.top;
    POINT at{r.left, r.top};
    MapWindowPoints(nullptr, hwnd, &at, 1);
    const std::string cls = class_name(child);
    std::printf("child %s %ld %ld %ld %ld %d %d 0x%08lx 0x%08lx ", cls.c_str(), at.x, at.y, w, h,
                IsWindowVisible(child) ? 1 : 0, IsWindowEnabled(child) ? 1 : 0,
                style_of(child, GWL_STYLE), style_of(child, GWL_EXSTYLE));
    if (lstrcmpiA(cls.c_str(), "ListBox") == 0) {
      const std::vector<std::string> items = list_box_items(child);
      std::printf("%u\n", static_cast<unsigned>(items.size()));
      for (const std::string& item : items) std::printf("item \"%s\"\n", escape(item, true).c_str());
    } else {
      std::printf("\"%s\"\n", escape(window_text(child), true).c_str());
    }
  }
  return kOk;
}

int cmd_wait(const char* caption, double seconds) {
  return wait_for_window(caption, seconds) ? kOk : kNotFound;
}

int cmd_gone(const char* caption, double seconds) {
  return poll(seconds, [&] { return find_window(caption) == nullptr; }) ? kOk : kNotFound;
}

struct ButtonSearch {
  const std::string* label;
  HWND found;  // a clickable match if there is one, else the first match
};

bool clickable(HWND hwnd) { return IsWindowVisible(hwnd) && IsWindowEnabled(hwnd); }

BOOL CALLBACK find_button(HWND hwnd, LPARAM lparam) {
  auto* search = reinterpret_cast<ButtonSearch*>(lparam);
  if (class_is(hwnd, "Button") && without_mnemonic(window_text(hwnd)) == *search->label) {
    if (!search->found || clickable(hwnd)) search->found = hwnd;
    return !clickable(hwnd);
  }
  return TRUE;
}

int cmd_press(const char* caption, const char* label) {
  const std::string wanted = label;
  HWND hwnd = nullptr, button = nullptr;
  // The window may be up a moment before its buttons are created, and a
  // button may be enabled a moment after the program changed state.
  poll(kFindSeconds, [&] {
    hwnd = find_window(caption);
    if (!hwnd) return false;
    ButtonSearch search{&wanted, nullptr};
    EnumChildWindows(hwnd, find_button, reinterpret_cast<LPARAM>(&search));
    button = search.found;
    return button != nullptr && clickable(button);
  });
  if (!hwnd) {
    std::fprintf(stderr, "window_driver: no window \"%s\"\n", caption);
    return kNotFound;
  }
  if (!button) {
    std::fprintf(stderr, "window_driver: window \"%s\" has no button \"%s\"\n", caption, label);
    return kNotFound;
  }
  if (!clickable(button)) {
    std::fprintf(stderr, "window_driver: button \"%s\" is %s\n", label,
                 IsWindowVisible(button) ? "disabled" : "hidden");
    return kNotClickable;
  }
  // Posted, not sent: the click may open a modal loop (a message box) in
  // the other program, and a sent message would only return when it ends.
  PostMessageA(button, BM_CLICK, 0, 0);
  return kOk;
}

int cmd_text(const char* caption) {
  HWND hwnd = window_for_command(caption);
  if (!hwnd) return kNotFound;
  for (HWND child : direct_children(hwnd)) {
    if (!class_is(child, "Static")) continue;
    const unsigned long type = style_of(child, GWL_STYLE) & SS_TYPEMASK;
    if (type == SS_ICON || type == SS_BITMAP || type == SS_ENHMETAFILE) continue;
    std::printf("%s\n", escape(window_text(child), false).c_str());
  }
  return kOk;
}

int cmd_widths(const char* caption) {
  HWND hwnd = window_for_command(caption);
  if (!hwnd) return kNotFound;
  for (HWND child : direct_children(hwnd)) {
    if (!class_is(child, "ListBox")) continue;
    // Wine reports a message answered with 0 as failed: the font is read
    // without looking at the call's own result.
    DWORD_PTR font = 0;
    SendMessageTimeoutA(child, WM_GETFONT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &font);
    LRESULT extent = 0;
    if (!send(child, LB_GETHORIZONTALEXTENT, 0, 0, &extent)) return kNotFound;
    RECT client{};
    GetClientRect(child, &client);
    std::printf("list %s %ld %ld\n", font == 0 ? "default" : "own", static_cast<long>(extent),
                client.right - client.left);
    // A fresh screen DC holds the system font, which a list box without a
    // font of its own draws in; another process's font handle means nothing here.
    HDC dc = GetDC(nullptr);
    for (const std::string& item : list_box_items(child)) {
      SIZE size{};
      GetTextExtentPoint32A(dc, item.c_str(), static_cast<int>(item.size()), &size);
      std::printf("width %ld \"%s\"\n", size.cx, escape(item, true).c_str());
    }
    ReleaseDC(nullptr, dc);
    return kOk;
  }
  std::fprintf(stderr, "window_driver: window \"%s\" has no list box\n", caption);
  return kNotFound;
}

int cmd_close(const char* caption) {
  HWND hwnd = window_for_command(caption);
  if (!hwnd) return kNotFound;
  PostMessageA(hwnd, WM_CLOSE, 0, 0);
  return kOk;
}

// One word of a command line as the C runtime splits it again: quoted
// when it holds a blank or is empty, a quote escaped, backslashes doubled
// where they come before a quote.
std::string quote_argument(const std::string& word) {
  if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) return word;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

// The token to start a program without administrator rights: the limited
// token linked to this process's elevated one. Null when there is none
// (the process is not elevated): its own token is then limited already.
HANDLE limited_token() {
  HANDLE own = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) return nullptr;
  TOKEN_LINKED_TOKEN linked = {};
  DWORD size = 0;
  HANDLE primary = nullptr;
  if (GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &size)) {
    DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &primary);
    CloseHandle(linked.LinkedToken);
  }
  CloseHandle(own);
  return primary;
}

struct ProcessWindows {
  DWORD process;
  std::vector<std::string>* seen;
};

BOOL CALLBACK note_process_window(HWND hwnd, LPARAM lparam) {
  auto* state = reinterpret_cast<ProcessWindows*>(lparam);
  DWORD process = 0;
  GetWindowThreadProcessId(hwnd, &process);
  if (process != state->process || !IsWindowVisible(hwnd)) return TRUE;
  char title[1024] = "";
  GetWindowTextA(hwnd, title, sizeof title);
  for (const std::string& s : *state->seen) {
    if (s == title) return TRUE;
  }
  state->seen->push_back(title);
  std::printf("window \"%s\"\n", escape(title, true).c_str());
  std::fflush(stdout);
  return TRUE;
}

int cmd_run(bool limited, double seconds, int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) line += (i > 0 ? " " : "") + quote_argument(argv[i]);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  HANDLE token = limited ? limited_token() : nullptr;
  const BOOL started =
      token != nullptr
          ? CreateProcessAsUserA(token, nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                 &process)
          : CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  if (token != nullptr) CloseHandle(token);
  if (!started) {
    std::fprintf(stderr, "window_driver: cannot start %s (error %lu)\n", line.c_str(), GetLastError());
    return kNotFound;
  }
  CloseHandle(process.hThread);
  // Windows are looked for every 20 ms: a window that opens and closes
  // again is seen too, unless it stays for less than that.
  std::vector<std::string> seen;
  ProcessWindows state{process.dwProcessId, &seen};
  const DWORD start = GetTickCount();
  const DWORD limit = static_cast<DWORD>(seconds * 1000.0);
  bool ended = false;
  while (!ended && GetTickCount() - start < limit) {
    EnumWindows(note_process_window, reinterpret_cast<LPARAM>(&state));
    ended = WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0;
  }
  if (!ended) {
    TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    std::printf("timeout\n");
    return kNotFound;
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  std::printf("exit %lu\n", code);
  return kOk;
}

int cmd_hold(const char* file, double seconds) {
  HANDLE h = CreateFileA(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "window_driver: cannot open %s (error %lu)\n", file, GetLastError());
    return kNotFound;
  }
  std::printf("holding\n");
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(seconds * 1000.0));
  CloseHandle(h);
  return kOk;
}

bool parse_seconds(const char* text, double* seconds) {
  char* end = nullptr;
  double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= 0) || value > 86400) return false;
  *seconds = value;
  return true;
}

int usage() {
  std::fprintf(stderr,
               "usage: window_driver list  CAPTION\n"
               "       window_driver wait  CAPTION [SECONDS]\n"
               "       window_driver gone  CAPTION [SECONDS]\n"
               "       window_driver press CAPTION BUTTONTEXT\n"
               "       window_driver text  CAPTION\n"
               "       window_driver close CAPTION\n"
               "       window_driver widths CAPTION\n"
               "       window_driver run [--limited] SECONDS PROGRAM [ARGUMENT...]\n"
               "       window_driver hold FILE SECONDS\n");
  return kUsage;
}

int run(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string command = argv[1];
  if (command == "run") {
    const bool limited = std::strcmp(argv[2], "--limited") == 0;
    const int at = limited ? 3 : 2;
    double seconds = 0;
    if (argc < at + 2 || !parse_seconds(argv[at], &seconds)) return usage();
    return cmd_run(limited, seconds, argc - at - 1, argv + at + 1);
  }
  if (command == "hold") {
    double seconds = 0;
    if (argc != 4 || !parse_seconds(argv[3], &seconds)) return usage();
    return cmd_hold(argv[2], seconds);
  }
  const char* caption = argv[2];
  if (command == "wait" || command == "gone") {
    double seconds = kFindSeconds;
    if (argc > 4 || (argc == 4 && !parse_seconds(argv[3], &seconds))) return usage();
    return command == "wait" ? cmd_wait(caption, seconds) : cmd_gone(caption, seconds);
  }
  if (command == "press") return argc == 4 ? cmd_press(caption, argv[3]) : usage();
  if (argc != 3) return usage();
  if (command == "list") return cmd_list(caption);
  if (command == "text") return cmd_text(caption);
  if (command == "close") return cmd_close(caption);
  if (command == "widths") return cmd_widths(caption);
  return usage();
}

}  // namespace

int main(int argc, char** argv) {
  int rc = run(argc, argv);
  std::fflush(stdout);
  return rc;
}
