// pelmora: applies a patch file, or its own patch when one is joined behind it.
#include <string>
#include <vector>

#include "applier/console.h"
#include "applier/temporaries.h"
#include "platform/files.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  platform::installInterruptHandler(applier::deleteRegisteredTemporaries);
  applier::ConsoleFrontEnd console;
  const std::vector<std::string> args(argv, argv + argc);
  return applier::runPelmora(args, platform::programPath(), console);
}
