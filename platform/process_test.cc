#include "platform/process.h"

#include <gtest/gtest.h>

#include <csignal>

#ifdef _WIN32
#include "platform/win32_support.h"
#endif

namespace platform {
namespace {

void noteNothing() {}

// While the work defers interrupts, Ctrl-C, Ctrl-Break, SIGINT, SIGTERM and
// SIGHUP only note that one came: the process goes on, and the work looks
// at the note when it can stop cleanly.
TEST(InterruptsTest, ADeferredInterruptIsNotedAndTheProcessGoesOn) {
  installInterruptHandler(noteNothing);
  clearInterruptRequest();
  {
    const InterruptsDeferred deferred;
    EXPECT_FALSE(interruptRequested());
#ifdef _WIN32
    EXPECT_TRUE(consoleControl(CTRL_C_EVENT)) << "handled: the process is not ended";
    EXPECT_TRUE(consoleControl(CTRL_BREAK_EVENT));
    EXPECT_FALSE(consoleControl(CTRL_LOGOFF_EVENT)) << "not an interrupt of ours";
#else
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::raise(signal);
#endif
    EXPECT_TRUE(interruptRequested());
  }
  EXPECT_TRUE(interruptRequested()) << "kept until the work has seen it";
  clearInterruptRequest();
  EXPECT_FALSE(interruptRequested());
}

}  // namespace
}  // namespace platform
