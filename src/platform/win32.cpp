// The platform layer on Windows (mingw-w64). Files are the C library's
// descriptors over wide-character paths; positioned transfers, barriers and
// locks go to the HANDLE beneath.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <vector>
#include <windows.h>
#include <winioctl.h>

namespace platform {

namespace {

std::wstring Wide(const std::string& text) {
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const wchar_t* wide) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string text(static_cast<std::size_t>(n - 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), n, nullptr, nullptr);
  return text;
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

// errno for the last Win32 failure, as near as the C library has one.
void SetErrnoFromWin32() {
  switch (::GetLastError()) {
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: errno = EACCES; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    case ERROR_LOCK_VIOLATION:
    case ERROR_SHARING_VIOLATION: errno = EWOULDBLOCK; break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: errno = ENOENT; break;
    case ERROR_INVALID_HANDLE: errno = EBADF; break;
    default: errno = EIO; break;
  }
}

long long Positioned(int fd, void* data, std::size_t size, std::uint64_t at, bool write) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(at);
  where.OffsetHigh = static_cast<DWORD>(at >> 32);
  DWORD moved = 0;
  const DWORD n = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  const BOOL ok = write ? ::WriteFile(HandleOf(fd), data, n, &moved, &where)
                        : ::ReadFile(HandleOf(fd), data, n, &moved, &where);
  if (!ok) {
    if (!write && ::GetLastError() == ERROR_HANDLE_EOF) return 0;
    SetErrnoFromWin32();
    return -1;
  }
  return moved;
}

}  // namespace

int OpenFile(const std::string& path, unsigned flags) {
  int how = _O_BINARY | _O_NOINHERIT;
  if (flags & kCreateOrOpen) how |= _O_RDWR | _O_CREAT;
  else if (flags & kCreateNew) how |= _O_WRONLY | _O_CREAT | _O_EXCL;
  else how |= (flags & kOpenReadWrite) ? _O_RDWR : _O_RDONLY;
  int fd = -1;
  // Shared for reading and writing, as a POSIX file is: a second program's
  // access is ruled by the locks, not by the opening.
  const errno_t rc = ::_wsopen_s(&fd, Wide(path).c_str(), how, _SH_DENYNO, _S_IREAD | _S_IWRITE);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return fd;
}

bool CloseFile(int fd) { return ::_close(fd) == 0; }

long long ReadSome(int fd, void* data, std::size_t size) {
  return ::_read(fd, data, size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size));
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const int n = ::_write(fd, p, size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size));
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

long long ReadAt(int fd, void* data, std::size_t size, std::uint64_t at) {
  return Positioned(fd, data, size, at, false);
}

long long WriteAt(int fd, const void* data, std::size_t size, std::uint64_t at) {
  return Positioned(fd, const_cast<void*>(data), size, at, true);
}

bool ReadAllAt(int fd, void* data, std::size_t size, std::uint64_t at) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const long long n = ReadAt(fd, p, size, at);
    if (n <= 0) return false;
    p += n, size -= static_cast<std::size_t>(n), at += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool WriteAllAt(int fd, const void* data, std::size_t size, std::uint64_t at) {
  auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const long long n = WriteAt(fd, p, size, at);
    if (n <= 0) return false;
    p += n, size -= static_cast<std::size_t>(n), at += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool FlushFile(int fd) {
  if (::FlushFileBuffers(HandleOf(fd))) return true;
  SetErrnoFromWin32();
  return false;
}

bool SetFileSize(int fd, std::uint64_t size) { return ::_chsize_s(fd, static_cast<__int64>(size)) == 0; }

bool OpenedReadOnly(int) {
  // The C library keeps no access mode a caller can ask for; a refused
  // write on Windows says ERROR_ACCESS_DENIED or ERROR_WRITE_PROTECT itself.
  return false;
}

namespace {

FileState StateFrom(const struct _stat64& st) {
  FileState s;
  s.kind = (st.st_mode & _S_IFMT) == _S_IFREG   ? FileKind::kRegular
           : (st.st_mode & _S_IFMT) == _S_IFDIR ? FileKind::kDirectory
                                                : FileKind::kOther;
  s.size = static_cast<std::uint64_t>(st.st_size);
  s.mtimeSec = static_cast<std::int64_t>(st.st_mtime);
  return s;
}

}  // namespace

bool StateOf(int fd, FileState* state) {
  struct _stat64 st{};
  if (::_fstat64(fd, &st) != 0) return false;
  *state = StateFrom(st);
  if (::GetFileType(HandleOf(fd)) == FILE_TYPE_DISK && state->kind == FileKind::kOther) {
    // A volume or a physical drive: its length from the drive itself.
    GET_LENGTH_INFORMATION length{};
    DWORD got = 0;
    if (!::DeviceIoControl(HandleOf(fd), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &got,
                           nullptr)) {
      SetErrnoFromWin32();
      return false;
    }
    state->kind = FileKind::kDevice;
    state->size = static_cast<std::uint64_t>(length.Length.QuadPart);
  }
  return true;
}

bool StateOf(const std::string& path, FileState* state) {
  struct _stat64 st{};
  if (::_wstat64(Wide(path).c_str(), &st) != 0) {
    *state = FileState{};
    return false;
  }
  *state = StateFrom(st);
  return true;
}

bool TryLockFile(int fd, bool exclusive) {
  OVERLAPPED whole{};
  const DWORD how = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (::LockFileEx(HandleOf(fd), how, 0, MAXDWORD, MAXDWORD, &whole)) return true;
  SetErrnoFromWin32();
  return false;
}

int ProcessId() { return static_cast<int>(::GetCurrentProcessId()); }

bool IsTerminal(int fd) { return ::_isatty(fd) != 0; }

bool OpenStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::_get_osfhandle(fd) != -1 && ::_get_osfhandle(fd) != -2) continue;
    int null = -1;
    if (::_sopen_s(&null, "NUL", fd == 0 ? _O_RDONLY : _O_WRONLY, _SH_DENYNO, 0) != 0) return false;
    if (null != fd) {
      const bool moved = ::_dup2(null, fd) == 0;
      ::_close(null);
      if (!moved) return false;
    }
  }
  return true;
}

void* OpenLibrary(const char* name) { return reinterpret_cast<void*>(::LoadLibraryW(Wide(name).c_str())); }

void* FindSymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

namespace {

// One bracket expression at `p` (past its '['), matched against `c`; `p`
// left past its ']'. False with `p` unchanged when the bracket has no end.
bool MatchBracket(const char*& p, char c, bool* matched) {
  const char* q = p;
  const bool negated = *q == '!' || *q == '^';
  if (negated) ++q;
  bool hit = false;
  bool first = true;
  for (; *q && (*q != ']' || first); first = false) {
    char lo = *q++;
    char hi = lo;
    if (*q == '-' && q[1] && q[1] != ']') hi = q[1], q += 2;
    if (lo <= c && c <= hi) hit = true;
  }
  if (*q != ']') return false;
  p = q + 1;
  *matched = hit != negated;
  return true;
}

bool Match(const char* p, const char* n) {
  for (; *p; ++p, ++n) {
    if (*p == '*') {
      while (*p == '*') ++p;
      if (!*p) return true;
      for (; *n; ++n)
        if (Match(p, n)) return true;
      return false;
    }
    if (!*n) return false;
    if (*p == '?') continue;
    if (*p == '[') {
      const char* q = p + 1;
      bool matched = false;
      if (MatchBracket(q, *n, &matched)) {
        if (!matched) return false;
        p = q - 1;
        continue;
      }
    }
    if (*p != *n) return false;
  }
  return !*n;
}

void (*g_endHandler)(int) = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (!g_endHandler) return FALSE;
  switch (event) {
    case CTRL_C_EVENT: g_endHandler(SIGINT); return TRUE;
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: g_endHandler(SIGTERM); return TRUE;
    default: return FALSE;
  }
}

}  // namespace

bool MatchesPattern(const std::string& pattern, const std::string& name) {
  return Match(pattern.c_str(), name.c_str());
}

void CatchEndSignals(void (*handler)(int)) {
  g_endHandler = handler;
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void RestoreEndSignals() {
  ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_endHandler = nullptr;
}

std::string HomeFolder() {
  const wchar_t* home = ::_wgetenv(L"USERPROFILE");
  return home ? Narrow(home) : std::string();
}

void UseUtf8(int* argc, char*** argv) {
  ::SetConsoleOutputCP(CP_UTF8);
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!wide) return;
  // Kept for the program's life, as the arguments main was given are.
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  texts.clear();
  for (int i = 0; i < count; ++i) texts.push_back(Narrow(wide[i]));
  ::LocalFree(wide);
  pointers.clear();
  for (std::string& t : texts) pointers.push_back(t.data());
  pointers.push_back(nullptr);
  *argc = count;
  *argv = pointers.data();
}

void LowerTimerSlack() {}

}  // namespace platform
