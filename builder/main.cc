#include <string>
#include <vector>

#include "builder/cleanup.h"
#include "builder/startup.h"
#include "platform/machine.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  // System DLLs only from the system directory, never from beside the program.
  platform::restrictLibrarySearch();
  // The words as the user wrote them: the builder takes names from them in
  // the system's code page, and patterns as they are.
  std::vector<std::string> args = platform::programArgumentsUtf8(argc, argv);
  std::vector<char*> words;
  for (std::string& a : args) words.push_back(&a[0]);
  words.push_back(nullptr);
  platform::Machine& machine = platform::systemMachine();
  // Once for the process: an interrupt or the exit deletes a patch or log
  // that is still incomplete.
  builder::installCleanupHandlers();
  return builder::runKestmain(argc, words.data(), machine);
}
