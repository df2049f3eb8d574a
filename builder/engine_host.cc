#include "builder/engine_host.h"

namespace builder {

constexpr bool same(diffengine::EngineMessage a, MessageNumber b) { return static_cast<int>(a) == static_cast<int>(b); }
static_assert(same(diffengine::kEngineSourceUnreadable, kBuilderMsgCannotOpenStart) &&
                  same(diffengine::kEngineEndUnreadable, kBuilderMsgCannotOpenEnd) &&
                  same(diffengine::kEngineReadFailed, kBuilderMsgCannotReadState) &&
                  same(diffengine::kEngineSelfTestFailed, kBuilderMsgSelfTest),
              "the engine's messages are entries of the builder's table");

void ConsoleEngineHost::write(platform::Stream stream, const std::string& text) {
  out_.write(stream, text);
  out_.flush(stream);
}

void ConsoleEngineHost::progress(int phase, long percent) { out_.progress(phase, percent); }

void failFromEngine(const Output& out, const diffengine::EngineError& error) {
  if (error.numbered()) out.failNumbered(static_cast<MessageNumber>(error.number()), error.argument());
  if (dynamic_cast<const diffengine::AllocationFailure*>(&error) != nullptr) throw AllocationFailure(error.text());
  fail(error.text());
}

HostedEngine::HostedEngine(const diffengine::EngineSettings& settings, ConsoleEngineHost& host,
                           platform::FileSystem& files, diffengine::Memory& memory)
    : out_(host.output()) {
  try {
    engine_ = std::make_unique<diffengine::DifferenceEngine>(settings, host, files, memory);
  } catch (const diffengine::EngineError& error) {
    failFromEngine(out_, error);
  }
}

void HostedEngine::searchStep(diffengine::StateFile& source, diffengine::StateFile& end) {
  try {
    engine_->searchStep(source, end);
  } catch (const diffengine::EngineError& error) {
    failFromEngine(out_, error);
  }
}

bool HostedEngine::writeStreams(diffengine::BlockSink& sink) {
  try {
    return engine_->writeStreams(sink);
  } catch (const diffengine::EngineError& error) {
    failFromEngine(out_, error);
  }
}

}  // namespace builder
