// Finding the installed software for each series of a patch: the path the
// user gave, a registry value, the Windows or system directory; when
// allowed, a search of the starting directory and (console) of every local
// disk. Every candidate must pass a silent check of the series and be
// confirmed by the user.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "applier/front_end.h"
#include "applier/messages.h"
#include "patchformat/container.h"
#include "platform/machine.h"

namespace applier {

// Where a series' old files are read and its new files written.
struct TargetPaths {
  std::string oldPath;
  std::string newPath;
};

class TargetLocator {
 public:
  // A silent check of the current series at `candidate`; true when it fits.
  using Probe = std::function<bool(const TargetPaths& candidate)>;
  // A candidate that fitted and that the user then declined.
  using Declined = std::function<void(const TargetPaths& candidate)>;

  enum class Settled {
    kPlaced,    // the target is where the series' rule put it, not yet checked
    kSearched,  // a search found and the user confirmed it (this pass or the check pass)
    kNotFound,  // no candidate fitted, or the user declined every one
  };

  // `machine` and `frontEnd` outlive the locator; its questions are worded
  // in `numbering`.
  TargetLocator(const ApplyRequest& request, Numbering numbering, platform::Machine& machine, FrontEnd& frontEnd,
                Probe probe, Declined declined = nullptr);

  // Starts a pass over the series of a patch, at the request's paths.
  void begin(bool directoryPatch);
  // Moves the target where the rule of `series` says (a rule that keeps the
  // paths leaves it). False when the registry has no such value or an
  // empty one.
  bool place(const patchformat::SeriesHeader& series);
  // Settles the target of series `index` (0 first) after place: with
  // searching on, the check pass searches and the apply pass takes what
  // the check pass found for this series.
  Settled settle(std::size_t index, Pass pass);
  const TargetPaths& target() const { return target_; }

 private:
  // The target for a located path `p`: p, or for a directory patch the
  // directory of a file. A single-file patch whose p is no file switches
  // searching on.
  std::string directoryOf(const std::string& p);
  // Searches `dir` (ending in a separator): at depth 0 the directory and
  // its entries, at depth 1 and more also every directory below, never
  // through a link. True once a candidate is probed and confirmed.
  bool search(const std::string& dir, int depth, std::size_t parentLength = 0);
  bool scanDisks();
  // Makes `path` the old and new target and probes it; true when it fits
  // and the user agrees.
  bool tryCandidate(const std::string& path);
  std::string message(int consoleNumber, const std::string& argument) const;

  const ApplyRequest request_;
  const Numbering numbering_;
  platform::Machine& machine_;
  FrontEnd& frontEnd_;
  const Probe probe_;
  const Declined declined_;
  bool directoryPatch_ = false;
  // Starts as the request says; a single-file patch given no file turns it
  // on, a series given two different paths off, and either carries over to
  // the series after and into the next pass.
  bool searchAllowed_;
  std::uint8_t rule_ = patchformat::kLocateGivenPath;  // of the series placed last
  TargetPaths target_;
  // The check pass's targets, by series, for the apply pass.
  std::array<TargetPaths, patchformat::kMaxSeries> found_;
};

}  // namespace applier
