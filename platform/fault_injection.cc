#include "platform/fault_injection.h"

#include <utility>

namespace platform {

// A file of the inner file system whose reads, writes, seeks and closes
// are counted and may fail. The file system outlives its files.
class FaultInjectingFileSystem::FaultyFile final : public File {
 public:
  FaultyFile(FaultInjectingFileSystem& owner, std::unique_ptr<File> inner)
      : owner_(owner), inner_(std::move(inner)) {}

  long read(void* buffer, std::size_t n) override {
    return owner_.fails(FileOp::kRead) ? -1 : inner_->read(buffer, n);
  }
  bool write(const void* buffer, std::size_t n) override {
    if (owner_.fails(FileOp::kWrite)) return false;
    const std::size_t fits = owner_.room(n);
    return inner_->write(buffer, fits) && fits == n;
  }
  bool seek(std::uint64_t offset) override { return !owner_.fails(FileOp::kSeek) && inner_->seek(offset); }
  bool size(std::uint64_t* result) const override { return inner_->size(result); }
  // A failed close still closes, as a close that reports a lost write does.
  bool close() override {
    const bool failed = owner_.fails(FileOp::kClose);
    return inner_->close() && !failed;
  }
  bool flushToDisk() override { return !owner_.fails(FileOp::kFlush) && inner_->flushToDisk(); }
  NativeHandle native() const override { return inner_->native(); }

 private:
  FaultInjectingFileSystem& owner_;
  std::unique_ptr<File> inner_;
};

void FaultInjectingFileSystem::failAt(FileOp op, int nth, int more) {
  const int first = counts_[index(op)] + nth;
  faults_.push_back(Fault{op, first, more < 0 ? -1 : first + more});
}

void FaultInjectingFileSystem::diskFullAfter(std::uint64_t bytes) {
  limited_ = true;
  bytesLeft_ = bytes;
}

void FaultInjectingFileSystem::reset() {
  counts_.fill(0);
  faults_.clear();
  allCalls_ = 0;
  anyFailsAt_ = 0;
  endsAt_ = 0;
  unopenable_.clear();
  anyFailed_.reset();
  limited_ = false;
}

bool FaultInjectingFileSystem::fails(FileOp op) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const int call = ++counts_[index(op)];
  ++allCalls_;
  if (ended()) return true;
  if (allCalls_ == anyFailsAt_) {
    anyFailed_ = op;
    return true;
  }
  for (const Fault& f : faults_) {
    if (f.op == op && call >= f.from && (f.to < 0 || call <= f.to)) return true;
  }
  return false;
}

std::size_t FaultInjectingFileSystem::room(std::size_t n) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!limited_) return n;
  const std::size_t fits = n < bytesLeft_ ? n : static_cast<std::size_t>(bytesLeft_);
  bytesLeft_ -= fits;
  return fits;
}

std::unique_ptr<File> FaultInjectingFileSystem::open(const std::string& path, File::Mode mode) {
  if (fails(mode == File::Mode::kRead ? FileOp::kOpenRead : FileOp::kCreate)) return nullptr;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [name, allowed] : unopenable_) {
      if (name == path && allowed-- <= 0) return nullptr;
    }
  }
  std::unique_ptr<File> file = inner_.open(path, mode);
  if (!file) return nullptr;
  return std::make_unique<FaultyFile>(*this, std::move(file));
}

bool FaultInjectingFileSystem::deleteFile(const std::string& path) {
  return !fails(FileOp::kDelete) && inner_.deleteFile(path);
}

bool FaultInjectingFileSystem::fileExists(const std::string& path) {
  return !fails(FileOp::kStatus) && inner_.fileExists(path);
}

bool FaultInjectingFileSystem::fileStatus(const std::string& path, FileStatus* status) {
  return !fails(FileOp::kStatus) && inner_.fileStatus(path, status);
}

bool FaultInjectingFileSystem::isDirectory(const std::string& path) {
  return !fails(FileOp::kStatus) && inner_.isDirectory(path);
}

bool FaultInjectingFileSystem::setAttributes(const std::string& path, std::uint32_t attributes) {
  return !fails(FileOp::kSetAttributes) && inner_.setAttributes(path, attributes);
}

bool FaultInjectingFileSystem::setLastWriteTime(const std::string& path, std::uint32_t dosDateTime) {
  return !fails(FileOp::kSetTime) && inner_.setLastWriteTime(path, dosDateTime);
}

bool FaultInjectingFileSystem::moveFile(const std::string& from, const std::string& to) {
  return !fails(FileOp::kRename) && inner_.moveFile(from, to);
}

bool FaultInjectingFileSystem::moveFileNew(const std::string& from, const std::string& to) {
  return !fails(FileOp::kRename) && inner_.moveFileNew(from, to);
}

void FaultInjectingFileSystem::keepAccessRights(const std::string& from, const std::string& to) {
  if (!ended()) inner_.keepAccessRights(from, to);
}

bool FaultInjectingFileSystem::removeDirectory(const std::string& path) {
  return !fails(FileOp::kDelete) && inner_.removeDirectory(path);
}

bool FaultInjectingFileSystem::makeDirectory(const std::string& path) {
  return !fails(FileOp::kMakeDirectory) && inner_.makeDirectory(path);
}

bool FaultInjectingFileSystem::canReplace(const std::string& path) {
  return !fails(FileOp::kLockTest) && inner_.canReplace(path);
}

bool FaultInjectingFileSystem::listDirectory(const std::string& path, std::vector<std::string>* names) {
  return !fails(FileOp::kList) && inner_.listDirectory(path, names);
}

bool FaultInjectingFileSystem::freeSpace(const std::string& path, std::uint64_t* bytes) {
  if (!inner_.freeSpace(path, bytes)) return false;
  if (limited_ && bytesLeft_ < *bytes) *bytes = bytesLeft_;
  return true;
}

bool FaultInjectingFileSystem::createTempFile(const std::string& prefix, std::string* path) {
  return !fails(FileOp::kCreateTemp) && inner_.createTempFile(prefix, path);
}

}  // namespace platform
