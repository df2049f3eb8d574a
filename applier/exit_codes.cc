#include "applier/exit_codes.h"

namespace applier {

int exitCodeOf(const ApplierError& error) {
  switch (error.number()) {
    case kMsgNotFound:
    case kMsgNotApplicable:
    case kMsgTargetMissing:
    case kMsgRegistryFailed:
      return kExitNotApplicable;
    case kMsgNoRoom:
      return kExitDiskFull;
    case kMsgInUse:
    case kMsgInUseBy:
    case kMsgEarlierRunStuck:
      return kExitInUse;
    case kMsgNeedsRights:
      return kExitAccessDenied;
    case kMsgAnotherRun:
      return kExitAnotherRun;
    case kMsgLogFailed:
      return kExitLogFailed;
    case kMsgDenied:
    case kMsgInterrupted:
    case kErrorCancelled:
      return kExitCancelled;
    default:
      break;
  }
  // A file operation that failed says why.
  switch (error.cause()) {
    case platform::Failure::kDiskFull: return kExitDiskFull;
    case platform::Failure::kInUse: return kExitInUse;
    case platform::Failure::kAccessDenied: return kExitAccessDenied;
    case platform::Failure::kOther: break;
  }
  return kExitFailed;
}

}  // namespace applier
