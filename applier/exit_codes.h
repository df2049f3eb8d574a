// The exit codes of the unattended modes (/quiet, /passive): those of
// Windows Installer where it has one for the outcome, and three of this
// toolset, the Win32 error numbers of their conditions. Outside those modes
// the appliers keep their codes: 0 success, 1 any error.
#pragma once

#include "applier/engine.h"

namespace applier {

constexpr int kExitApplied = 0;          // applied, already up to date, or (-t) checked
constexpr int kExitAccessDenied = 5;     // the user may not change the target: it needs an administrator
constexpr int kExitInUse = 32;           // a file to replace or remove is held open by another program
constexpr int kExitDiskFull = 112;       // not enough room on a disk the run writes to
constexpr int kExitCancelled = 1602;     // the user stopped the run
constexpr int kExitFailed = 1603;        // any other error
constexpr int kExitAnotherRun = 1618;    // another patch of the same target is being applied
constexpr int kExitLogFailed = 1622;     // the log file of /log cannot be written
constexpr int kExitBadCommandLine = 1639;  // an unknown switch, a missing /log file, too many words
constexpr int kExitNotApplicable = 1642;   // no target found, or the installed files fit no version
// Never given: no file is ever left to be replaced at a restart.
constexpr int kExitRestartNeeded = 3010;

// The exit code of a run that `error` ended.
int exitCodeOf(const ApplierError& error);

}  // namespace applier
