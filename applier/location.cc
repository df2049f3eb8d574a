// Finding the installed software for each series: the path the user gave,
// a registry value, the Windows or system directory; when allowed, a
// search of the starting directory and (console) of every local disk.
// Every candidate must pass a silent check pass and be confirmed.
#include <vector>

#include "applier/engine.h"

namespace applier {

std::string PatchEngine::directoryOf(const std::string& p) {
  if (!directoryPatch_) {
    if (!files_.fileExists(p)) searchAllowed = true;
    return p;
  }
  if (!files_.fileExists(p)) return p;
  const std::size_t slash = p.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : p.substr(0, slash + 1);
}

bool PatchEngine::probe() {
  pendingLock_ = -1;
  return process_series(true, true);
}

bool PatchEngine::confirm() { return frontEnd_.ask(message(kMsgConfirmTarget), "Patch target found"); }

void PatchEngine::locate_and_process(Pass pass) {
  // A first series that keeps the paths starts from the user's, never
  // from empty paths (which would name the root directory).
  values.oldPath = pathArgument;
  newPath = secondPathArgument;
  seekBody(firstSeries_);
  for (std::size_t k = 0;; ++k) {
    patchformat::SeriesHeader series;
    if (!reader().readSeriesHeader(directoryPatch_, k, &series)) bodyFailed();
    switch (series.locator) {
      case patchformat::kLocateGivenPath:
        if (pathArgument != secondPathArgument) {
          values.oldPath = pathArgument;
          newPath = secondPathArgument;
          searchAllowed = false;
        } else {
          values.oldPath = newPath = directoryOf(pathArgument);
        }
        break;
      case patchformat::kLocateRegistry: {
        std::string value;
        if (!machine_.registry.readValue(series.rootKey, series.subKey, series.valueName, &value)) {
          fail(kMsgRegistryFailed);
        }
        value = value.substr(0, value.find('\0'));
        if (value.empty()) fail(kMsgRegistryFailed);
        values.oldPath = newPath = directoryOf(value);
        break;
      }
      case patchformat::kLocateWindowsDir:
        values.oldPath = newPath = machine_.locations.windowsDirectory();
        break;
      case patchformat::kLocateSystemDir:
        values.oldPath = newPath = machine_.locations.systemDirectory();
        break;
      default:  // the paths stay as they are
        break;
    }
    if (directoryPatch_) {
      backupDirName_ = series.backupDir;
      requireSafe(backupDirName_, false);
    }
    seriesPosition_ = body_->position();

    if (searchAllowed && pass == Pass::kCheck) {
      bool found = pathArgument != "." && probe();
      if (!found) {
        const std::string given = values.oldPath;
        std::string dir = given;
        if (dir.empty() || (dir.back() != '\\' && dir.back() != '/')) dir += '\\';
        found = search(dir, 0);
        if (!found) {
          values.oldPath = newPath = given;
          if (series.locator == patchformat::kLocateGivenPath && frontEnd_.mayScanDisks() &&
              frontEnd_.ask(message(kMsgOfferDiskScan), "")) {
            found = scanDisks();
          }
          if (!found) fail(kMsgNotFound);
        }
      }
      if (pendingLock_ >= 0) fail(pendingLock_);
    } else if (searchAllowed) {
      values.oldPath = saved_[k].oldPath;
      newPath = saved_[k].newPath;
    }
    frontEnd_.located(values.oldPath);
    if (!searchAllowed && pass == Pass::kCheck && !process_series(true, false)) fail(kMsgNotApplicable);
    if (pass == Pass::kApply) process_series(false, false);
    saved_[k] = PathPair{values.oldPath, newPath};
    if (!series.moreFollow()) return;
    seekBody(body_->position());  // the next series header follows the last record
  }
}

bool PatchEngine::search(const std::string& dir, int depth, std::size_t parentLength) {
  frontEnd_.searching(dir, parentLength, true);
  frontEnd_.pump();
  const bool found = [&] {
    if (depth == 0) {
      values.oldPath = newPath = dir;
      if (probe() && confirm()) return true;
    }
    std::vector<std::string> names;
    if (!files_.listDirectory(dir, &names)) return false;
    std::vector<std::string> subdirectories;
    for (const std::string& name : names) {
      if (frontEnd_.abortRequested()) return false;
      const std::string path = dir + name;
      platform::FileStatus status;
      if (!files_.fileStatus(path, &status)) continue;
      // Links are never followed into: they may lead in a circle.
      if (status.isDirectory && !status.isLink) subdirectories.push_back(path + "\\");
      if (status.isDirectory != directoryPatch_) continue;
      values.oldPath = newPath = path;
      if (probe() && confirm()) return true;
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

bool PatchEngine::scanDisks() {
  show(kMsgScanningDisks);
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    const unsigned type = machine_.locations.driveType(letter);
    if (type == platform::kDriveCdRom || type == platform::kDriveRemote || type == platform::kDriveNoRoot) continue;
    const std::string root = machine_.locations.driveRoot(letter);
    if (!root.empty() && search(root, 1)) return true;
  }
  return false;
}

}  // namespace applier
