// Everything the programs ask of the machine, one interface per area. `main`
// passes systemMachine(); tests build a Machine from fakes or wrappers.
#pragma once

#include "platform/console.h"
#include "platform/files.h"
#include "platform/locations.h"
#include "platform/other_programs.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace platform {

struct Machine {
  FileSystem& files;
  Locations& locations;
  Registry& registry;
  Console& console;
  CommandRunner& commands;
  OtherPrograms& programs;
};

// The machine this program runs on.
Machine& systemMachine();

}  // namespace platform
