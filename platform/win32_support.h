// Helpers of the Win32 side of the platform layer (no other code includes
// this): texts between the system's code page and the wide API, and DLLs
// loaded from the system directory.
#pragma once

#include <cstddef>
#include <string>

#include <windows.h>

namespace platform {

// A system text (the ANSI code page) for the wide API.
std::wstring toWide(const std::string& text);
// A text from the wide API in the ANSI code page. A character the code page
// lacks becomes '?' (as in POSIX listings), never a look-alike: the ANSI
// API's best-fit mapping would turn "\u03a9.txt" into "O.txt", the name of
// some other file. `unrepresentable`, when given, tells whether that
// happened.
std::string fromWide(const wchar_t* text, std::size_t length, bool* unrepresentable = nullptr);
// A text from the wide API in UTF-8, where nothing is lost.
std::string utf8FromWide(const wchar_t* text, std::size_t length);

// The handler of console control events that installInterruptHandler
// sets (tests call it directly).
BOOL WINAPI consoleControl(DWORD event);

// Loads the DLL `name` from the system directory only, never from beside
// the program or the current directory; null when it cannot be loaded.
HMODULE loadSystemLibrary(const char* name);

}  // namespace platform
