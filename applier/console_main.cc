// pelmora: applies a patch file, or its own patch when one is joined behind it.
#include <cstdio>
#include <string>
#include <vector>

#include "applier/console.h"
#include "applier/temporaries.h"
#include "platform/machine.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  platform::restrictLibrarySearch();
  platform::installInterruptHandler(applier::TempFiles::deleteAfterInterrupt);
  try {
    platform::Machine& machine = platform::systemMachine();
    applier::ConsoleFrontEnd console(machine.console);
    const std::vector<std::string> args = platform::programArguments(argc, argv);
    return applier::runPelmora(args, machine.files.programPath(), console, machine);
  } catch (...) {
    // runPelmora ends every run itself; this is for what fails around it
    // (even its last message).
    applier::TempFiles::deleteAfterInterrupt();
    std::fputs("\nError, patching stopped on an unexpected error.\n", stdout);
    return 1;
  }
}
