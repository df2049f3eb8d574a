#include "builder/startup.h"

int main(int argc, char** argv) { return builder::runKestmain(argc, argv, platform::systemMachine()); }
