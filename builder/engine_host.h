// The builder's side of the difference engine: its lines and progress go
// to the console through the builder's output routines, its failures end
// the run through the builder's error exit.
#pragma once

#include <string>

#include "diffengine/engine.h"

namespace builder {

class ConsoleEngineHost : public diffengine::EngineHost {
 public:
  void write(diffengine::Channel channel, const std::string& text) override;
  void progress(int phase, long percent) override;
  [[noreturn]] void failNumbered(int number, const std::string& argument) override;
  [[noreturn]] void fail(const std::string& text) override;
};

}  // namespace builder
