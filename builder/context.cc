#include "builder/context.h"

#include "builder/cleanup.h"

namespace builder {

void Context::writeLog() {
  if (!log || log->written()) return;
  try {
    log->write(directoryPatch);
  } catch (const packaging::LogFailure& failure) {
    releaseLogOutput();  // what was written until the failure stays
    logFailed(failure);
  }
  releaseLogOutput();
}

void Context::logFailed(const packaging::LogFailure& failure) {
  if (!failure.printedFirst.empty()) {
    out.write(platform::Stream::kOut, failure.printedFirst);
    out.flush(platform::Stream::kOut);
  }
  out.failBilingual(failure.english, failure.german);
}

}  // namespace builder
