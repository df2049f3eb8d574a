#include "packaging/stub_join.h"

#include <algorithm>
#include <memory>

namespace packaging {
namespace {

constexpr std::size_t kPiece = 1000;

// Appends all of `from` to `to`, adding its length to `*copied`.
bool copyAll(platform::File& from, platform::File& to, std::uint64_t* copied) {
  std::uint64_t remaining = 0;
  if (!from.size(&remaining)) return false;
  *copied += remaining;
  char buffer[kPiece];
  while (remaining > 0) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kPiece));
    if (!from.readFully(buffer, piece) || !to.write(buffer, piece)) return false;
    remaining -= piece;
  }
  return true;
}

// Appends `bytes` to `to` in the same pieces, adding their length to `*copied`.
bool writeAll(const std::string& bytes, platform::File& to, std::uint64_t* copied) {
  *copied += bytes.size();
  for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
    if (!to.write(bytes.data() + at, std::min(bytes.size() - at, kPiece))) return false;
  }
  return true;
}

}  // namespace

std::string stubPath(const StubKind& kind) {
  return std::string("stubs\\") + (kind.windowed ? "gui" : "cl") + "\\" + kind.platform + "\\" +
         (kind.compressed ? "comp" : "nocomp") + "\\" + (kind.directoryPatch ? "dirpat" : "filepat") +
         "\\nolocal\\pelmora.stb";
}

JoinResult joinStub(platform::FileSystem& files, const std::string& stub, const std::string& patch,
                    const std::string& output, const std::function<void(const platform::File&)>& outputOpened,
                    const std::string* changedStub) {
  std::unique_ptr<platform::File> in;
  if (changedStub == nullptr) {
    if (!files.open(stub, platform::File::Mode::kRead)) return {JoinError::kStubMissing, stub};
    in = files.open(stub, platform::File::Mode::kRead);
    if (!in) return {JoinError::kCannotAccess, stub};
  }
  const std::unique_ptr<platform::File> data = files.open(patch, platform::File::Mode::kRead);
  if (!data) return {JoinError::kCannotAccess, patch};
  std::unique_ptr<platform::File> out = files.open(output, platform::File::Mode::kCreate);
  if (!out) return {JoinError::kCannotCreate, output};
  outputOpened(*out);
  JoinResult joined;
  const bool front = in ? copyAll(*in, *out, &joined.size) : writeAll(*changedStub, *out, &joined.size);
  if (front && copyAll(*data, *out, &joined.size) && out->close()) return joined;
  out.reset();
  files.deleteFile(output);
  return {JoinError::kShortTransfer, output};
}

}  // namespace packaging
