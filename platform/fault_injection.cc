#include "platform/fault_injection.h"

#include <new>
#include <utility>
#include <vector>

namespace platform {

// A file of the inner file system whose reads, writes, seeks and closes
// are counted and may fail, and whose data may be damaged. It keeps its
// position, so that a changed byte is found at its place in any read. The
// file system outlives its files.
class FaultInjectingFileSystem::FaultyFile final : public File {
 public:
  FaultyFile(FaultInjectingFileSystem& owner, std::unique_ptr<File> inner, std::string path)
      : owner_(owner), inner_(std::move(inner)), path_(std::move(path)) {}

  long read(void* buffer, std::size_t n) override {
    if (owner_.fails(FileOp::kRead)) return -1;
    const long got = inner_->read(buffer, n);
    const std::uint64_t from = position_;
    const std::uint64_t to = got > 0 ? from + static_cast<std::uint64_t>(got) : from;
    owner_.readOf(path_, [&](std::uint64_t at) {
      if (at >= from && at < to) static_cast<unsigned char*>(buffer)[at - from] ^= 0xFF;
    });
    position_ = to;
    return got;
  }
  bool write(const void* buffer, std::size_t n) override {
    int call = 0;
    if (owner_.fails(FileOp::kWrite, &call)) return false;
    const std::size_t fits = owner_.room(n);
    const std::size_t damaged = owner_.corruptionOf(call, fits);
    bool written = false;
    if (damaged < fits) {
      const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
      std::vector<unsigned char> copy(bytes, bytes + fits);
      copy[damaged] ^= 0xFF;
      written = inner_->write(copy.data(), fits);
    } else {
      written = inner_->write(buffer, fits);
    }
    if (written) position_ += fits;
    if (written && fits < n) noteFailure(Failure::kDiskFull);
    return written && fits == n;
  }
  bool seek(std::uint64_t offset) override {
    if (owner_.fails(FileOp::kSeek) || !inner_->seek(offset)) return false;
    position_ = offset;
    return true;
  }
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
  const std::string path_;
  std::uint64_t position_ = 0;
};

void FaultInjectingFileSystem::failWith(FileOp op, int nth, Failure cause, int more) {
  const int first = counts_[index(op)] + nth;
  faults_.push_back(Fault{op, first, more < 0 ? -1 : first + more, cause});
}

void FaultInjectingFileSystem::corruptWriteAt(int nth, std::size_t offset) {
  corruptions_.push_back(Corruption{counts_[index(FileOp::kWrite)] + nth, offset});
}

void FaultInjectingFileSystem::changeAfterReads(const std::string& path, int nth, std::uint64_t offset) {
  const std::lock_guard<Lock> lock(mutex_);
  changes_.push_back(Change{path, nth, offset});
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
  corruptions_.clear();
  changes_.clear();
  throwsAt_.clear();
  anyThrowsAt_ = 0;
  afterwards_.clear();
}

bool FaultInjectingFileSystem::fails(FileOp op, int* number) {
  std::unique_lock<Lock> lock(mutex_);
  const int call = ++counts_[index(op)];
  ++allCalls_;
  if (number != nullptr) *number = call;
  if (ended()) {
    noteFailure(Failure::kOther);
    return true;
  }
  bool throws = allCalls_ == anyThrowsAt_;
  for (const Throw& t : throwsAt_) throws = throws || (t.op == op && t.call == call);
  if (throws) {
    lock.unlock();
    throw std::bad_alloc();
  }
  if (allCalls_ == anyFailsAt_) {
    anyFailed_ = op;
    noteFailure(defaultCause(op));
    return true;
  }
  for (const Fault& f : faults_) {
    if (f.op == op && call >= f.from && (f.to < 0 || call <= f.to)) {
      noteFailure(f.cause);
      return true;
    }
  }
  return false;
}

std::size_t FaultInjectingFileSystem::room(std::size_t n) {
  const std::lock_guard<Lock> lock(mutex_);
  if (!limited_) return n;
  const std::size_t fits = n < bytesLeft_ ? n : static_cast<std::size_t>(bytesLeft_);
  bytesLeft_ -= fits;
  return fits;
}

std::size_t FaultInjectingFileSystem::corruptionOf(int call, std::size_t n) {
  const std::lock_guard<Lock> lock(mutex_);
  for (const Corruption& c : corruptions_) {
    if (c.call == call && n > 0) return c.offset < n ? c.offset : n - 1;
  }
  return n;
}

template <typename Flip>
void FaultInjectingFileSystem::readOf(const std::string& path, Flip flip) {
  const std::lock_guard<Lock> lock(mutex_);
  for (Change& c : changes_) {
    if (c.path != path) continue;
    if (c.readsLeft > 0) {
      --c.readsLeft;
    } else {
      flip(c.offset);
    }
  }
}

std::unique_ptr<File> FaultInjectingFileSystem::open(const std::string& path, File::Mode mode) {
  if (fails(mode == File::Mode::kRead ? FileOp::kOpenRead : FileOp::kCreate)) return nullptr;
  {
    const std::lock_guard<Lock> lock(mutex_);
    for (auto& [name, allowed] : unopenable_) {
      if (name == path && allowed-- <= 0) {
        noteFailure(Failure::kOther);
        return nullptr;
      }
    }
  }
  std::unique_ptr<File> file = inner_.open(path, mode);
  if (!file) return nullptr;
  succeeded(mode == File::Mode::kRead ? FileOp::kOpenRead : FileOp::kCreate, path);
  return std::make_unique<FaultyFile>(*this, std::move(file), path);
}

void FaultInjectingFileSystem::succeeded(FileOp op, const std::string& path) {
  for (const auto& [kind, action] : afterwards_) {
    if (kind == op) action(path);
  }
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
  if (fails(FileOp::kRename) || !inner_.moveFile(from, to)) return false;
  succeeded(FileOp::kRename, to);
  return true;
}

bool FaultInjectingFileSystem::moveFileNew(const std::string& from, const std::string& to) {
  if (fails(FileOp::kRename) || !inner_.moveFileNew(from, to)) return false;
  succeeded(FileOp::kRename, to);
  return true;
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

bool FaultInjectingFileSystem::listDirectory(const std::string& path, std::vector<std::string>* names,
                                             std::vector<std::string>* written) {
  return !fails(FileOp::kList) && inner_.listDirectory(path, names, written);
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
