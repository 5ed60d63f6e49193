#include "settings_fs.h"

#include <io.h>
#include <windows.h>

namespace {

constexpr int replaceAttempts = 20;
constexpr DWORD replacePauseMs = 50;

// Virus scanners and indexers open a freshly written file for a moment;
// these errors pass when they let go.
bool targetBrieflyLocked(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

}  // namespace

bool syncFile(std::FILE* file) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): _get_osfhandle returns the HANDLE as an intptr_t
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
}

bool replaceFile(const char* from, const char* to) {
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) return true;
    if (attempt == replaceAttempts || !targetBrieflyLocked(GetLastError())) return false;
    Sleep(replacePauseMs);
  }
}

// MOVEFILE_WRITE_THROUGH returns only once the rename is on the disk.
void syncDirectoryOf(const char*) {}

unsigned long currentProcessId() { return GetCurrentProcessId(); }
