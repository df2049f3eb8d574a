// The parts of the platform layer that are the same on every system.
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/locations.h"
#include "platform/lock.h"
#include "platform/machine.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace platform {

bool File::readFully(void* buffer, std::size_t n) {
  char* p = static_cast<char*>(buffer);
  while (n > 0) {
    const long got = read(p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool File::readAt(std::uint64_t offset, void* buffer, std::size_t n) { return seek(offset) && readFully(buffer, n); }

bool FileSystem::readWholeFile(const std::string& path, std::string* data) {
  const std::unique_ptr<File> file = open(path, File::Mode::kRead);
  if (!file) return false;
  data->clear();
  char buffer[65536];
  for (;;) {
    const long got = file->read(buffer, sizeof buffer);
    if (got < 0) return false;
    if (got == 0) return true;
    data->append(buffer, static_cast<std::size_t>(got));
  }
}

bool FileSystem::writeWholeFile(const std::string& path, const std::string& data) {
  const std::unique_ptr<File> file = open(path, File::Mode::kCreate);
  return file && file->write(data.data(), data.size()) && file->close();
}

std::size_t lastSeparator(const std::string& path, std::size_t length) {
  return length == 0 ? std::string::npos : path.find_last_of("\\/", length - 1);
}

std::string getEnv(const char* name, bool* present) {
  const char* value = std::getenv(name);
  if (present != nullptr) *present = value != nullptr;
  return value != nullptr ? fromHost(value) : std::string();
}

std::vector<std::string> programArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(fromHost(argv[i]));
  return args;
}

Machine& systemMachine() {
  static SystemFileSystem files;
  static SystemLocations locations;
  static SystemRegistry registry;
  static SystemConsole console;
  static SystemCommandRunner commands;
  static SystemOtherPrograms programs;
  static Machine machine{files, locations, registry, console, commands, programs};
  return machine;
}

namespace {

thread_local Failure t_lastFailure = Failure::kOther;

}  // namespace

Failure lastFailure() { return t_lastFailure; }
void noteFailure(Failure cause) { t_lastFailure = cause; }

}  // namespace platform

namespace platform {
namespace {

char upperLetter(char letter) { return letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter; }

}  // namespace

unsigned FixedLocations::driveType(char letter) {
  const auto it = drives.find(upperLetter(letter));
  return it == drives.end() ? kDriveNoRoot : it->second.type;
}

std::string FixedLocations::driveRoot(char letter) {
  const auto it = drives.find(upperLetter(letter));
  return it == drives.end() ? std::string() : it->second.root;
}

}  // namespace platform

namespace platform {
namespace {

// The record of temporaries: a list that only grows, of slots that are
// reused. A slot is filled before it is marked used and a new one is
// complete before it is linked in, so that a handler only walks the list
// and unlinks what is marked.
struct Slot {
  volatile std::sig_atomic_t used = 0;
  std::unique_ptr<char[]> nativePath;
  std::size_t capacity = 0;
  Slot* next = nullptr;
};

Slot* volatile g_slots = nullptr;
// Threads record and forget temporaries one at a time; the handler takes
// no lock.
Lock g_recording;

}  // namespace

void recordTemporary(const std::string& path) {
  const std::string native = toNative(path);
  const std::lock_guard<Lock> lock(g_recording);
  Slot* slot = g_slots;
  while (slot != nullptr && slot->used) slot = slot->next;
  const bool fresh = slot == nullptr;
  if (fresh) slot = new Slot;  // kept for the life of the process
  if (slot->capacity <= native.size()) {
    slot->nativePath = std::make_unique<char[]>(native.size() + 1);
    slot->capacity = native.size() + 1;
  }
  std::memcpy(slot->nativePath.get(), native.c_str(), native.size() + 1);
  std::atomic_signal_fence(std::memory_order_release);  // the path is complete before it is marked
  slot->used = 1;
  if (fresh) {
    slot->next = g_slots;
    std::atomic_signal_fence(std::memory_order_release);
    g_slots = slot;
  }
}

void forgetTemporary(const std::string& path) {
  const std::string native = toNative(path);
  const std::lock_guard<Lock> lock(g_recording);
  for (Slot* slot = g_slots; slot != nullptr; slot = slot->next) {
    if (slot->used && native == slot->nativePath.get()) {
      slot->used = 0;
      return;
    }
  }
}

void rawDeleteRecorded() {
  for (Slot* slot = g_slots; slot != nullptr; slot = slot->next) {
    if (!slot->used) continue;
    slot->used = 0;
    rawDelete(slot->nativePath.get());
  }
}

}  // namespace platform
