// Commands, the environment, interrupts and process exit.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/files.h"

namespace platform {

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Runs `commandLine` (system text) through the command interpreter
  // (cmd.exe on Windows, /bin/sh elsewhere) and waits for it. Its exit code,
  // or -1 when it could not be started or did not end normally.
  virtual int run(const std::string& commandLine) = 0;
};

class SystemCommandRunner final : public CommandRunner {
 public:
  int run(const std::string& commandLine) override;
};

// The command interpreter's conventions, for building command lines and
// looking programs up. Windows: PATH pieces end at ';', the null device is
// "nul". POSIX: ':' and "/dev/null".
char pathListSeparator();
const char* nullDevice();

// `text` as one word for the command interpreter: POSIX sh gets it in single
// quotes (a ' inside written as '\''); cmd.exe gets it in double quotes.
// Some texts cannot be made one safe word for cmd.exe whatever the quotes:
// those holding '"', '%', '^', '!' or control characters (a line feed
// among them). For them, and on either side for a NUL byte, `ok` is set
// false and the result is empty; otherwise `ok` is set true.
std::string quoteForShell(const std::string& text, bool* ok);

// The names a program of the builder's tables ("zip.exe") may have on this
// machine, in the order to look for them: on Windows the name itself; on
// POSIX also the name without a final ".exe" (any letter case), as
// programs carry no extension there.
std::vector<std::string> programNameCandidates(const std::string& program);

// The program's arguments, argv[0] included, in the system's code page
// (see fromHost): what `main` hands on instead of argv.
std::vector<std::string> programArguments(int argc, char** argv);

// The same arguments as the user wrote them, in UTF-8 (POSIX: argv's own
// bytes; Windows: from the wide command line), before any code page has
// taken a character away; systemFromUtf8 (files.h) gives the system's text.
std::vector<std::string> programArgumentsUtf8(int argc, char** argv);

// Value of an environment variable in the system's code page; `present`
// tells an empty value from a missing one.
std::string getEnv(const char* name, bool* present = nullptr);
// The same value as it was written, in UTF-8 (see programArgumentsUtf8).
std::string getEnvUtf8(const char* name, bool* present = nullptr);
// Sets an environment variable of this process (and the programs it starts)
// to system text.
bool setEnv(const char* name, const std::string& value);

// Asks the system to back a large block of memory with large pages where
// it can (Linux: transparent huge pages): far fewer page faults when the
// block is first written. A hint only, without effect elsewhere.
void adviseLargePages(void* block, std::size_t size);

// Runs `handler` on an interrupt (Ctrl-C; SIGINT, SIGTERM, SIGHUP; a closed
// console window), then ends the process with exit code 1 (or the code of
// setInterruptExitCode). The handler may run asynchronously, so it must use
// only the raw* functions below.
void installInterruptHandler(void (*handler)());
void setInterruptExitCode(int code);

// Whether the words of a command line that begin with '/' are switches
// (Windows, "/quiet") rather than paths (POSIX, "/opt/app").
bool slashWordsAreSwitches();

// Lets the process load DLLs from the system directory only, never from
// the current directory or beside the program, where a planted DLL would
// run with the program's rights (Windows; nothing elsewhere). The first
// thing a program does.
void restrictLibrarySearch();

// While one exists, interrupts wait: the handler of installInterruptHandler
// runs only once it is gone (the process then ends as usual). For steps that
// an interrupt must not cut in two, such as making a temporary file and
// recording it (recordTemporary). Holds are short and may nest. POSIX blocks
// the signals in the calling thread (the programs that install a handler do
// their work on one thread); on Windows, whose handler runs on a thread of
// its own, the handler waits for a lock that holds take.
class InterruptsHeld {
 public:
  InterruptsHeld();
  ~InterruptsHeld();
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

 private:
  alignas(8) unsigned char saved_[128];  // POSIX: the thread's signal mask before
};

// While one exists (on the thread that does the work), an interrupt does
// not end the process: it is only noted, and interruptRequested() turns
// true. The work looks at it where it can stop cleanly (between the file
// operations of an apply pass), puts back what it changed and ends itself.
// Windows gives a closed console window only a few seconds: its handler
// waits for the deferral to end, then ends the process. Deferrals do not
// nest.
class InterruptsDeferred {
 public:
  InterruptsDeferred();
  ~InterruptsDeferred();
  InterruptsDeferred(const InterruptsDeferred&) = delete;
  InterruptsDeferred& operator=(const InterruptsDeferred&) = delete;
};
// Whether an interrupt came while a deferral existed.
bool interruptRequested();
// Forgets an interrupt noted during a deferral that ended (tests).
void clearInterruptRequest();

// Async-signal-safe primitives for interrupt and exit handlers.
void rawWriteError(const char* text, std::size_t n);
void rawClose(NativeHandle handle);
void rawDelete(const char* nativePath);
[[noreturn]] void rawExit(int code);

// Temporary files that an interrupt must not leave behind, however many a
// run holds: recorded while they exist, deleted by rawDeleteRecorded.
// Records are by path; the same path recorded twice needs two forgets.
void recordTemporary(const std::string& path);
void forgetTemporary(const std::string& path);
// Deletes every recorded file and forgets it; async-signal-safe.
void rawDeleteRecorded();

}  // namespace platform
