#include <windows.h>
#include <restartmanager.h>
#include <tlhelp32.h>

#include <cstdint>
#include <map>

#include "platform/files.h"
#include "platform/number_text.h"
#include "platform/other_programs.h"
#include "platform/win32_support.h"

namespace platform {
namespace {

// The Restart Manager's calls, looked up at run time: the programs import
// only the DLLs every Windows has, and rstrtmgr.dll is loaded from the
// system directory alone.
using RmStartSessionFn = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
using RmRegisterResourcesFn = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
using RmGetListFn = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, DWORD*);
using RmEndSessionFn = DWORD(WINAPI*)(DWORD);

template <typename Fn>
Fn entry(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The file names of the running processes, by process id.
std::map<DWORD, std::string> processNames() {
  std::map<DWORD, std::string> names;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return names;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    names[entry.th32ProcessID] = fromWide(entry.szExeFile, wcslen(entry.szExeFile));
  }
  CloseHandle(snapshot);
  return names;
}

// The processes that the Restart Manager names for `file` (a full path).
std::vector<RM_PROCESS_INFO> restartManagerList(const std::wstring& file) {
  std::vector<RM_PROCESS_INFO> found;
  HMODULE rm = loadSystemLibrary("rstrtmgr.dll");
  if (rm == nullptr) return found;
  const auto start = entry<RmStartSessionFn>(rm, "RmStartSession");
  const auto registerFiles = entry<RmRegisterResourcesFn>(rm, "RmRegisterResources");
  const auto list = entry<RmGetListFn>(rm, "RmGetList");
  const auto end = entry<RmEndSessionFn>(rm, "RmEndSession");
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  if (start && registerFiles && list && end && start(&session, 0, key) == ERROR_SUCCESS) {
    LPCWSTR files[] = {file.c_str()};
    if (registerFiles(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
      // The list may grow between the call that sizes it and the one that fills it.
      DWORD result = ERROR_MORE_DATA;
      for (int attempt = 0; attempt < 3 && result == ERROR_MORE_DATA; ++attempt) {
        UINT needed = 0;
        UINT count = static_cast<UINT>(found.size());
        DWORD reasons = 0;
        result = list(session, &needed, &count, found.empty() ? nullptr : found.data(), &reasons);
        if (result == ERROR_SUCCESS) {
          found.resize(count);
        } else if (result == ERROR_MORE_DATA) {
          found.resize(needed);
        }
      }
      if (result != ERROR_SUCCESS) found.clear();
    }
    end(session);
  }
  FreeLibrary(rm);
  return found;
}

// A named mutex owned by this thread while the claim lives; another
// process that holds it, or abandoned it by ending, lets it go with it.
class MutexClaim final : public TargetClaim {
 public:
  explicit MutexClaim(HANDLE mutex) : mutex_(mutex) {}
  ~MutexClaim() override {
    if (mutex_ == nullptr) return;
    ReleaseMutex(mutex_);
    CloseHandle(mutex_);
  }
  MutexClaim(const MutexClaim&) = delete;
  MutexClaim& operator=(const MutexClaim&) = delete;

 private:
  HANDLE mutex_;  // null: nothing is held
};

// The mutex of a target: its full path without regard to case (as the
// file system compares names), hashed into a name that the object
// namespace takes (no backslashes, short), in the namespace every session
// sees.
std::string mutexName(const std::string& dir) {
  std::wstring path = toWide(absolutePath(dir));
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  std::wstring upper(path.size(), L'\0');
  if (!path.empty() && LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, path.data(), static_cast<int>(path.size()),
                                    &upper[0], static_cast<int>(upper.size())) == static_cast<int>(path.size())) {
    path = upper;
  }
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over the UTF-16 units
  for (wchar_t c : path) {
    hash = (hash ^ static_cast<std::uint16_t>(c)) * 1099511628211ull;
  }
  return "Global\\Verdelin.target." + hexDigits(hash, 16);
}

}  // namespace

std::vector<FileHolder> SystemOtherPrograms::holders(const std::string& path) {
  std::vector<FileHolder> holders;
  const std::vector<RM_PROCESS_INFO> listed = restartManagerList(toWide(absolutePath(path)));
  if (listed.empty()) return holders;
  const std::map<DWORD, std::string> names = processNames();
  for (const RM_PROCESS_INFO& p : listed) {
    const DWORD id = p.Process.dwProcessId;
    const auto name = names.find(id);
    // A process that ended meanwhile keeps the name the Restart Manager gave.
    holders.push_back(FileHolder{name != names.end() ? name->second : fromWide(p.strAppName, wcslen(p.strAppName)),
                                 static_cast<unsigned long>(id)});
  }
  return holders;
}

std::unique_ptr<TargetClaim> SystemOtherPrograms::claim(const std::string& dir) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, mutexName(dir).c_str());
  if (mutex == nullptr) {
    // Made by a program with more rights (an elevated run): it is held.
    if (GetLastError() == ERROR_ACCESS_DENIED) return nullptr;
    return std::make_unique<MutexClaim>(nullptr);
  }
  const DWORD waited = WaitForSingleObject(mutex, 0);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return std::make_unique<MutexClaim>(mutex);
  CloseHandle(mutex);
  return waited == WAIT_TIMEOUT ? nullptr : std::make_unique<MutexClaim>(nullptr);
}

}  // namespace platform
