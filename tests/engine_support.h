// Runs the difference engine on two byte strings written to temporary files
// and decodes its streams again, for the engine's tests.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "diffengine/engine.h"
#include "platform/files.h"
#include "tests/delta_writer.h"

namespace testing_support {

// Captures what the engine prints.
class CapturingHost : public diffengine::EngineHost {
 public:
  void write(platform::Stream stream, const std::string& text) override {
    (stream == platform::Stream::kOut ? out : err) += text;
  }
  void progress(int phase, long percent) override {
    progressCalls += "[" + std::to_string(phase) + ":" + std::to_string(percent) + "]";
  }
  std::string out, err, progressCalls;
};

inline bool writeBytes(const std::string& path, const std::string& bytes) {
  return platform::SystemFileSystem().writeWholeFile(path, bytes);
}

struct EngineRun {
  std::string streams[5];
  patchformat::SourceRecord record;
  diffengine::StepStats stats;
  std::string out, progress;
  diffengine::StateFile source, end;
};

// One step from `source` to `end` with a fresh engine (allocating from
// `memory` when given).
inline EngineRun runEngine(const std::string& source, const std::string& end, diffengine::EngineSettings settings,
                           diffengine::Memory* memory = nullptr) {
  const std::string sourcePath = ::testing::TempDir() + "engine_source.bin";
  const std::string endPath = ::testing::TempDir() + "engine_end.bin";
  EXPECT_TRUE(writeBytes(sourcePath, source));
  EXPECT_TRUE(writeBytes(endPath, end));
  CapturingHost host;
  platform::SystemFileSystem files;
  diffengine::Memory ownMemory;
  EngineRun run;
  run.source.path = sourcePath;
  run.end.path = endPath;
  {
    diffengine::DifferenceEngine engine(settings, host, files, memory != nullptr ? *memory : ownMemory);
    engine.searchStep(run.source, run.end);
    run.record = engine.sourceRecord();
    run.stats = engine.stats();
    diffengine::StringSink all;
    EXPECT_TRUE(engine.writeStreams(all));
    std::size_t at = 0;
    for (int i = 0; i < 5; ++i) {
      run.streams[i] = all.bytes.substr(at, run.record.streamLength[i]);
      at += run.record.streamLength[i];
    }
    EXPECT_EQ(at, all.bytes.size());
  }
  run.out = host.out;
  run.progress = host.progressCalls;
  files.deleteFile(sourcePath);
  files.deleteFile(endPath);
  return run;
}

// What the format's decoder makes of a run's streams.
inline std::string decodeRun(const EngineRun& run, const std::string& source, patchformat::DeltaError* error) {
  DeltaWriter w;
  w.params.sourceSize = run.record.size;
  w.params.targetSize = run.end.size;
  w.params.flags = run.record.deltaFlags;
  w.params.mismatchGroup = run.record.mismatchGroup;
  w.params.literalBlockSize = run.record.literalBlockSize;
  std::string out;
  *error = w.decodeStreams(run.streams, source, &out);
  return out;
}

inline std::string randomBytes(std::mt19937& rng, std::size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

}  // namespace testing_support
