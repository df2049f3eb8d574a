#include "platform/process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/lock.h"

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

// Read-modify-write steps of several threads under one lock (a static one,
// as the platform layer keeps them) lose no step.
TEST(LockTest, ThreadsTakeItInTurn) {
  static Lock lock;
  long shared = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        const std::lock_guard<Lock> held(lock);
        const long seen = shared;
        std::this_thread::yield();
        shared = seen + 1;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(shared, 4 * 5000);
}

}  // namespace
}  // namespace platform
