// Environment, interrupts and process exit.
#pragma once

#include <cstddef>
#include <string>

#include "platform/files.h"

namespace platform {

// Value of an environment variable; `present` tells an empty value from a missing one.
std::string getEnv(const char* name, bool* present = nullptr);

// Runs `handler` on an interrupt (Ctrl-C, SIGINT). The handler may run
// asynchronously, so it must use only the raw* functions below.
void installInterruptHandler(void (*handler)());

// Async-signal-safe primitives for interrupt and exit handlers.
void rawWriteError(const char* text, std::size_t n);
void rawClose(NativeHandle handle);
void rawDelete(const char* nativePath);
[[noreturn]] void rawExit(int code);

}  // namespace platform
