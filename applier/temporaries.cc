#include "applier/temporaries.h"

#include <algorithm>

#include "platform/process.h"

namespace applier {

// Names are tried from the next number on; a name that exists is passed
// over, and a failure on a free name (no room, no right to write) ends the
// attempts at once.
template <typename Take>
bool TempNames::firstFree(Take take, std::string* path) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const std::string name = dir_ + "VDX" + std::to_string(next_++) + ".tmp";
    if (files_.fileExists(name)) continue;
    if (take(name)) {
      *path = name;
      return true;
    }
    if (!files_.fileExists(name)) return false;
  }
  return false;
}

bool TempNames::isTemporaryName(const std::string& name) {
  if (name.size() <= 7 || name.compare(0, 3, "VDX") != 0 || name.compare(name.size() - 4, 4, ".tmp") != 0) {
    return false;
  }
  return name.find_first_not_of("0123456789", 3) == name.size() - 4;
}

bool TempNames::create(std::unique_ptr<platform::File>* file, std::string* path) {
  return firstFree(
      [this, file](const std::string& name) {
        *file = files_.open(name, platform::File::Mode::kCreateNew);
        return *file != nullptr;
      },
      path);
}

bool TempNames::adopt(const std::string& from, std::string* path,
                      const std::function<void(const std::string&)>& before) {
  return firstFree(
      [this, &from, &before](const std::string& name) {
        if (before) before(name);
        return files_.moveFileNew(from, name);
      },
      path);
}

TempFiles::TempFiles(platform::FileSystem& files) : files_(files), names_(files, files.tempDirectory()) {}

void TempFiles::hold(const std::string& path) {
  held_.push_back(path);
  platform::recordTemporary(path);
}

// A temporary is recorded before an interrupt can come: one that came
// between its creation and its record would leave it behind.
bool TempFiles::create(const std::string& dir, std::unique_ptr<platform::File>* file, std::string* path) {
  const platform::InterruptsHeld held;
  const bool made = dir.empty() ? names_.create(file, path) : namesIn(dir).create(file, path);
  if (!made) return false;
  try {
    hold(*path);
    if (dir.empty() && made_) made_(*path);
  } catch (...) {  // no memory for the record: the file goes again
    file->reset();
    files_.deleteFile(*path);
    throw;
  }
  return true;
}

bool TempFiles::moveInto(const std::string& path, const std::string& dir, std::string* moved) {
  const platform::InterruptsHeld held;
  if (!holds(path) || !namesIn(dir).adopt(path, moved)) return false;
  release(path);
  hold(*moved);
  return true;
}

std::vector<std::string> TempFiles::heldInTemporaryDirectory() const {
  const std::string dir = files_.tempDirectory();
  std::vector<std::string> found;
  for (const std::string& p : held_) {
    if (p.compare(0, dir.size(), dir) == 0) found.push_back(p);
  }
  return found;
}

bool TempFiles::holds(const std::string& path) const {
  return std::find(held_.begin(), held_.end(), path) != held_.end();
}

void TempFiles::drop(const std::string& path) {
  files_.deleteFile(path);
  release(path);
}

void TempFiles::release(const std::string& path) {
  platform::forgetTemporary(path);
  const auto it = std::find(held_.begin(), held_.end(), path);
  if (it != held_.end()) held_.erase(it);
}

void TempFiles::deleteAll() {
  for (const std::string& p : held_) {
    files_.deleteFile(p);
    platform::forgetTemporary(p);
  }
  held_.clear();
}

void TempFiles::deleteAfterInterrupt() { platform::rawDeleteRecorded(); }

}  // namespace applier
