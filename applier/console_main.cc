// pelmora: applies a patch file, or its own patch when one is joined behind it.
#include <string>
#include <vector>

#include "applier/console.h"
#include "applier/temporaries.h"
#include "platform/machine.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  platform::installInterruptHandler(applier::TempFiles::deleteAfterInterrupt);
  platform::Machine& machine = platform::systemMachine();
  applier::ConsoleFrontEnd console(machine.console);
  const std::vector<std::string> args = platform::programArguments(argc, argv);
  return applier::runPelmora(args, machine.files.programPath(), console, machine);
}
