#include "builder/engine_host.h"

namespace builder {

constexpr bool same(diffengine::EngineMessage a, MessageNumber b) { return static_cast<int>(a) == static_cast<int>(b); }
static_assert(same(diffengine::kEngineSourceUnreadable, kMsgCannotOpenStart) &&
                  same(diffengine::kEngineEndUnreadable, kMsgCannotOpenEnd) &&
                  same(diffengine::kEngineReadFailed, kMsgCannotReadState) &&
                  same(diffengine::kEngineSelfTestFailed, kMsgSelfTest),
              "the engine's messages are entries of the builder's table");

void ConsoleEngineHost::write(diffengine::Channel channel, const std::string& text) {
  const Out stream = channel == diffengine::Channel::kStdout ? Out::kStdout : Out::kStderr;
  out_.write(stream, text);
  out_.flush(stream);
}

void ConsoleEngineHost::progress(int phase, long percent) { out_.progress(phase, percent); }

std::string ConsoleEngineHost::numberedMessage(diffengine::EngineMessage number, const std::string& argument) {
  return formatMessage(messageText(number), argument, MsgArg(), kMessageBuffer);
}

}  // namespace builder
