// The builder's side of the difference engine: its lines and progress go
// to the console through the builder's output, and its failures end the run
// as the builder's fatal errors, a numbered one with the builder's message
// of that number.
#pragma once

#include <memory>
#include <string>

#include "builder/messages.h"
#include "diffengine/engine.h"

namespace builder {

class ConsoleEngineHost : public diffengine::EngineHost {
 public:
  explicit ConsoleEngineHost(Output& out) : out_(out) {}
  void write(platform::Stream stream, const std::string& text) override;
  void progress(int phase, long percent) override;
  const Output& output() const { return out_; }

 private:
  Output& out_;
};

// The builder's FatalError for what the engine reported: a numbered
// failure gets the builder's message of that number (Output::failNumbered),
// a failed allocation stays an AllocationFailure.
[[noreturn]] void failFromEngine(const Output& out, const diffengine::EngineError& error);

// The difference engine as the builder calls it: the same calls, every
// failure raised through failFromEngine.
class HostedEngine {
 public:
  HostedEngine(const diffengine::EngineSettings& settings, ConsoleEngineHost& host, platform::FileSystem& files,
               diffengine::Memory& memory);

  void searchStep(diffengine::StateFile& source, diffengine::StateFile& end);
  const patchformat::SourceRecord& sourceRecord() const { return engine_->sourceRecord(); }
  const diffengine::StepStats& stats() const { return engine_->stats(); }
  bool writeStreams(diffengine::BlockSink& sink);
  void clearStreams() { engine_->clearStreams(); }

 private:
  const Output& out_;
  std::unique_ptr<diffengine::DifferenceEngine> engine_;
};

}  // namespace builder
