// Executable patches: the stub tree beside the builder, and the joining of
// a stub program and a finished patch file into one self-applying program.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/files.h"

namespace packaging {

// The four words that choose a stub.
struct StubKind {
  bool windowed = false;             // "gui", else "cl"
  std::string platform = "Win32";    // "Win32" or "Win16"
  bool compressed = true;            // "comp", else "nocomp"
  bool directoryPatch = false;       // "dirpat", else "filepat"
};

// The stub's path below the program directory, with backslashes:
// stubs\<interface>\<platform>\<compression>\<patch kind>\nolocal\pelmora.stb
std::string stubPath(const StubKind& kind);

enum class JoinError {
  kNone,
  kStubMissing,     // the stub cannot be opened at all
  kCannotAccess,    // the stub or the patch cannot be opened for joining (`name` says which)
  kCannotCreate,    // the output cannot be created
  kShortTransfer,   // a piece could not be read or written whole
};

struct JoinResult {
  JoinError error = JoinError::kNone;
  std::string name;        // the file the error is about
  std::uint64_t size = 0;  // the joined program's length, once written
};

// Writes `output` as the bytes of `stub` followed by those of `patch`,
// streamed through one buffer of 1000 bytes. With `changedStub` its bytes
// stand in front of the patch instead (the stub as the caller changed it,
// already read; `stub` only names it). `outputOpened` is called once the
// output exists, so that the caller can have it removed if the process is
// interrupted. On failure an incomplete output is closed and deleted; the
// patch file is always left to the caller.
JoinResult joinStub(platform::FileSystem& files, const std::string& stub, const std::string& patch,
                    const std::string& output, const std::function<void(const platform::File&)>& outputOpened,
                    const std::string* changedStub = nullptr);

}  // namespace packaging
