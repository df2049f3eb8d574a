// The benchmark's stand-in applier for plain patch files.
#pragma once

#include <string>
#include <vector>

int runUtpApply(const std::vector<std::string>& args);
