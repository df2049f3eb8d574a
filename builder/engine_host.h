// The builder's side of the difference engine: its lines and progress go
// to the console through the builder's output, its numbered messages come
// from the builder's table.
#pragma once

#include <string>

#include "builder/messages.h"
#include "diffengine/engine.h"

namespace builder {

class ConsoleEngineHost : public diffengine::EngineHost {
 public:
  explicit ConsoleEngineHost(Output& out) : out_(out) {}
  void write(diffengine::Channel channel, const std::string& text) override;
  void progress(int phase, long percent) override;
  std::string numberedMessage(diffengine::EngineMessage number, const std::string& argument) override;

 private:
  Output& out_;
};

}  // namespace builder
