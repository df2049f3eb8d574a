#include "applier/location.h"

#include <vector>

namespace applier {

TargetLocator::TargetLocator(const ApplyRequest& request, Numbering numbering, platform::Machine& machine,
                             FrontEnd& frontEnd, Probe probe, Declined declined)
    : request_(request),
      numbering_(numbering),
      machine_(machine),
      frontEnd_(frontEnd),
      probe_(std::move(probe)),
      declined_(std::move(declined)),
      searchAllowed_(request.searchAllowed) {}

std::string TargetLocator::message(int consoleNumber, const std::string& argument) const {
  return numberedMessage(numbering_, consoleNumber, MessageValues{request_.patchName, argument, ""});
}

void TargetLocator::begin(bool directoryPatch) {
  directoryPatch_ = directoryPatch;
  // A first series that keeps the paths starts from the user's, never
  // from empty paths (which would name the root directory).
  target_ = TargetPaths{request_.oldPath, request_.newPath};
}

std::string TargetLocator::directoryOf(const std::string& p) {
  if (!directoryPatch_) {
    if (!machine_.files.fileExists(p)) searchAllowed_ = true;
    return p;
  }
  if (!machine_.files.fileExists(p)) return p;
  const std::size_t slash = platform::lastSeparator(p);
  return slash == std::string::npos ? std::string(".") : p.substr(0, slash + 1);
}

bool TargetLocator::place(const patchformat::SeriesHeader& series) {
  rule_ = series.locator;
  std::string at;
  switch (series.locator) {
    case patchformat::kLocateGivenPath:
      if (request_.oldPath != request_.newPath) {
        target_ = TargetPaths{request_.oldPath, request_.newPath};
        searchAllowed_ = false;
        return true;
      }
      at = directoryOf(request_.oldPath);
      break;
    case patchformat::kLocateRegistry:
      if (!machine_.registry.readValue(series.rootKey, series.subKey, series.valueName, &at)) return false;
      at = at.substr(0, at.find('\0'));
      if (at.empty()) return false;
      at = directoryOf(at);
      break;
    case patchformat::kLocateWindowsDir:
      at = machine_.locations.windowsDirectory();
      break;
    case patchformat::kLocateSystemDir:
      at = machine_.locations.systemDirectory();
      break;
    default:  // the paths stay as they are
      return true;
  }
  target_ = TargetPaths{at, at};
  return true;
}

TargetLocator::Settled TargetLocator::settle(std::size_t index, Pass pass) {
  Settled settled = Settled::kPlaced;
  if (searchAllowed_ && pass == Pass::kCheck) {
    // With no path from the user the target is not probed on its own: the
    // search begins with it.
    bool found = request_.oldPath != "." && probe_(target_);
    if (!found) {
      const std::string given = target_.oldPath;
      std::string dir = given;
      if (dir.empty() || (dir.back() != '\\' && dir.back() != '/')) dir += '\\';
      found = search(dir, 0);
      if (!found) {
        target_ = TargetPaths{given, given};
        if (rule_ == patchformat::kLocateGivenPath && frontEnd_.mayScanDisks() &&
            frontEnd_.ask(message(kMsgOfferDiskScan, given), "")) {
          found = scanDisks();
        }
        if (!found) return Settled::kNotFound;
      }
    }
    settled = Settled::kSearched;
  } else if (searchAllowed_) {
    target_ = found_[index];
    settled = Settled::kSearched;
  }
  found_[index] = target_;
  return settled;
}

bool TargetLocator::tryCandidate(const std::string& path) {
  target_ = TargetPaths{path, path};
  if (!probe_(target_)) return false;
  if (frontEnd_.ask(message(kMsgConfirmTarget, path), "Patch target found")) return true;
  if (declined_) declined_(target_);
  return false;
}

bool TargetLocator::search(const std::string& dir, int depth, std::size_t parentLength) {
  frontEnd_.searching(dir, parentLength, true);
  frontEnd_.pump();
  const bool found = [&] {
    if (depth == 0 && tryCandidate(dir)) return true;
    std::vector<std::string> names;
    if (!machine_.files.listDirectory(dir, &names)) return false;
    std::vector<std::string> subdirectories;
    for (const std::string& name : names) {
      if (frontEnd_.abortRequested()) return false;
      const std::string path = dir + name;
      platform::FileStatus status;
      if (!machine_.files.fileStatus(path, &status)) continue;
      // Links are never followed into: they may lead in a circle.
      if (status.isDirectory && !status.isLink) subdirectories.push_back(path + "\\");
      if (status.isDirectory != directoryPatch_) continue;
      if (tryCandidate(path)) return true;
    }
    if (depth == 0) return false;
    for (const std::string& sub : subdirectories) {
      if (frontEnd_.abortRequested()) return false;
      if (search(sub, depth + 1, dir.size())) return true;
    }
    return false;
  }();
  frontEnd_.searching(dir, parentLength, false);
  return found;
}

bool TargetLocator::scanDisks() {
  frontEnd_.show(message(kMsgScanningDisks, ""));
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    const unsigned type = machine_.locations.driveType(letter);
    if (type == platform::kDriveCdRom || type == platform::kDriveRemote || type == platform::kDriveNoRoot) continue;
    const std::string root = machine_.locations.driveRoot(letter);
    if (!root.empty() && search(root, 1)) return true;
  }
  return false;
}

}  // namespace applier
