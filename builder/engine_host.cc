#include "builder/engine_host.h"

#include "builder/messages.h"

namespace builder {

void ConsoleEngineHost::write(diffengine::Channel channel, const std::string& text) {
  const Out stream = channel == diffengine::Channel::kStdout ? Out::kStdout : Out::kStderr;
  writeConsole(stream, text);
  flushConsole(stream);
}

void ConsoleEngineHost::progress(int phase, long percent) {
  if (phase == 1) {
    progressWarp1(percent);
  } else if (phase == 2) {
    progressWarp2(percent);
  } else {
    progressWarp3(percent);
  }
}

void ConsoleEngineHost::failNumbered(int number, const std::string& argument) {
  if (argument.empty()) builder::failNumbered(number);
  builder::failNumbered(number, argument);
}

void ConsoleEngineHost::fail(const std::string& text) { fatalError(text, text); }

}  // namespace builder
