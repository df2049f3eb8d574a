// How the engine's parts (the changes to a target, the rebuilding of a
// file) report a failure that ends the run: the engine cleans up, undoes
// the run's changes and ends it with the message named here.
#pragma once

#include <exception>
#include <string>

#include "applier/messages.h"
#include "platform/files.h"

namespace applier {

// Why the file operation failed that message `consoleNumber` reports: the
// messages of failed file operations take the cause of the last failure
// (read right after it), the others none.
inline platform::Failure causeOfMessage(int consoleNumber) {
  switch (consoleNumber) {
    case kMsgWriteFailed:
    case kMsgBufferingFailed:
    case kMsgTempOpenFailed:
    case kMsgReplaceDenied:
    case kMsgWritingFileFailed:
    case kMsgBackupDenied:
      return platform::lastFailure();
    default:
      return platform::Failure::kOther;
  }
}

// Message `number` (console numbering) with its %s `argument` and its %m
// `name`; the cause is taken when it is thrown.
class PartFailure : public std::exception {
 public:
  explicit PartFailure(int number, std::string name = "", std::string argument = "")
      : number_(number), name_(std::move(name)), argument_(std::move(argument)), cause_(causeOfMessage(number)) {}
  int number() const { return number_; }
  const std::string& name() const { return name_; }
  const std::string& argument() const { return argument_; }
  platform::Failure cause() const { return cause_; }
  const char* what() const noexcept override { return "a step of the run failed"; }

 private:
  int number_;
  std::string name_;
  std::string argument_;
  platform::Failure cause_;
};

}  // namespace applier
