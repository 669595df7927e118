// The platform layer on Windows (mingw-w64). Files are the C library's
// descriptors over wide-character paths; positioned transfers, barriers and
// locks go to the HANDLE beneath.
#include "platform.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <sys/utime.h>
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
  if (flags & kCreateImage) how |= _O_RDWR | _O_CREAT | _O_EXCL;
  else if (flags & kReplace) how |= _O_RDWR | _O_CREAT | _O_TRUNC;
  else if (flags & kAppend) how |= _O_RDWR | _O_CREAT | _O_APPEND;
  else if (flags & kCreateOrOpen) how |= _O_RDWR | _O_CREAT;
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
  // A volume or a physical drive answers for its length itself; the C
  // library's stat of one says nothing true of it (a "file" of no bytes).
  GET_LENGTH_INFORMATION length{};
  DWORD got = 0;
  if (::GetFileType(HandleOf(fd)) == FILE_TYPE_DISK &&
      ::DeviceIoControl(HandleOf(fd), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &got, nullptr)) {
    *state = FileState{};
    state->kind = FileKind::kDevice;
    state->size = static_cast<std::uint64_t>(length.Length.QuadPart);
    return true;
  }
  struct _stat64 st{};
  if (::_fstat64(fd, &st) != 0) return false;
  *state = StateFrom(st);
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

bool RenameFile(const std::string& from, const std::string& to) {
  if (::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  SetErrnoFromWin32();
  return false;
}

bool RemoveFile(const std::string& path) { return ::_wunlink(Wide(path).c_str()) == 0; }

namespace {

// The volume and the file's index on it (a link's own, not its target's);
// false when the file cannot be opened to ask, or its file system gives
// every file the index 0 (some network and cloud drives do).
bool FileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE h = ::CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool known = ::GetFileInformationByHandle(h, info);
  ::CloseHandle(h);
  return known && (info->nFileIndexHigh != 0 || info->nFileIndexLow != 0);
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION x{}, y{};
  return FileIdentity(a, &x) && FileIdentity(b, &y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

bool ReservedFileName(const std::string& name) {
  if (name.empty() || name.back() == '.' || name.back() == ' ') return true;
  for (unsigned char c : name)
    if (c < 0x20 || std::strchr("<>:\"/\\|?*", c)) return true;
  // Windows reads the part before the first dot, its trailing blanks
  // dropped, as a device's name whatever follows.
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
    if (stem == device) return true;
  // COM0 to COM9 and LPT0 to LPT9, and with a superscript 1, 2 or 3.
  if (stem.size() >= 4 && (stem.starts_with("COM") || stem.starts_with("LPT"))) {
    const std::string rest = stem.substr(3);
    if (rest.size() == 1 && rest[0] >= '0' && rest[0] <= '9') return true;
    if (rest == "\u00B9" || rest == "\u00B2" || rest == "\u00B3") return true;
  }
  return false;
}

bool RefusesName(int) { return false; }

std::filesystem::path PathOf(const std::string& utf8) { return std::filesystem::path(Wide(utf8)); }
std::string TextOf(const std::filesystem::path& path) { return Narrow(path.c_str()); }
std::FILE* OpenStream(const std::string& path, const char* mode) {
  return ::_wfopen(Wide(path).c_str(), Wide(mode).c_str());
}

// Without MOVEFILE_REPLACE_EXISTING, MoveFileEx refuses a name that is taken.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_WRITE_THROUGH)) return true;
  const DWORD why = ::GetLastError();
  SetErrnoFromWin32();
  if (why == ERROR_ALREADY_EXISTS || why == ERROR_FILE_EXISTS) errno = EEXIST;
  return false;
}

// A folder is opened with backup semantics to be flushed; a file as it is.
bool FlushPath(const std::string& path) {
  const HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    SetErrnoFromWin32();
    return false;
  }
  const bool flushed = ::FlushFileBuffers(h) != 0;
  if (!flushed) SetErrnoFromWin32();
  ::CloseHandle(h);
  return flushed;
}

bool MakeUniqueFolder(std::string* pattern) {
  if (pattern->size() < 6) return false;
  static const char* letters = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned long long seed = ::GetTickCount64() ^ (static_cast<unsigned long long>(::GetCurrentProcessId()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (std::size_t i = pattern->size() - 6; i < pattern->size(); ++i) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      (*pattern)[i] = letters[(seed >> 33) % 36];
    }
    // The folder inherits the ACL of its parent, the user's own temporary
    // folder.
    if (::CreateDirectoryW(Wide(*pattern).c_str(), nullptr)) return true;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  SetErrnoFromWin32();
  return false;
}

bool SetFileTime(const std::string& path, std::time_t seconds) {
  struct __utimbuf64 times{seconds, seconds};
  return ::_wutime64(Wide(path).c_str(), &times) == 0;
}

std::tm LocalTime(std::time_t when) {
  std::tm local{};
  ::localtime_s(&local, &when);
  return local;
}

bool TryLockFile(int fd, bool exclusive) {
  OVERLAPPED whole{};
  const DWORD how = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (::LockFileEx(HandleOf(fd), how, 0, MAXDWORD, MAXDWORD, &whole)) return true;
  SetErrnoFromWin32();
  return false;
}

void UnlockFile(int fd) {
  OVERLAPPED whole{};
  ::UnlockFileEx(HandleOf(fd), 0, MAXDWORD, MAXDWORD, &whole);
}

namespace {

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool Control(int fd, DWORD code) {
  DWORD got = 0;
  if (::DeviceIoControl(HandleOf(fd), code, nullptr, 0, nullptr, 0, &got, nullptr)) return true;
  SetErrnoFromWin32();
  return false;
}

}  // namespace

std::string CardDevicePath(const std::string& name) {
  const bool letter = name.size() >= 2 && IsLetter(name[0]) && name[1] == ':';
  if (letter && (name.size() == 2 || (name.size() == 3 && (name[2] == '\\' || name[2] == '/'))))
    return std::string("\\\\.\\") + static_cast<char>(name[0] & ~0x20) + ':';
  return name;
}

bool IsVolumePath(const std::string& name) {
  return name.size() == 6 && name.compare(0, 4, "\\\\.\\") == 0 && IsLetter(name[4]) && name[5] == ':';
}

bool TakeVolume(int fd) { return Control(fd, FSCTL_LOCK_VOLUME) && Control(fd, FSCTL_DISMOUNT_VOLUME); }

void ReleaseVolume(int fd) { Control(fd, FSCTL_UNLOCK_VOLUME); }

namespace {

// The disk's vendor and product, and whether it holds removable media, as
// the storage driver describes it; false when it does not answer.
bool Describe(HANDLE disk, bool* removable, std::string* name) {
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  std::vector<std::uint8_t> out(1024);
  DWORD got = 0;
  if (!::DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, out.data(),
                         static_cast<DWORD>(out.size()), &got, nullptr) ||
      got < sizeof(STORAGE_DEVICE_DESCRIPTOR))
    return false;
  const auto* d = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(out.data());
  *removable = d->RemovableMedia || d->BusType == BusTypeUsb || d->BusType == BusTypeSd || d->BusType == BusTypeMmc;
  auto text = [&](DWORD at) {
    std::string t;
    for (DWORD i = at; at && i < got && out[i]; ++i) t += static_cast<char>(out[i]);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    while (!t.empty() && t.front() == ' ') t.erase(t.begin());
    return t;
  };
  *name = text(d->VendorIdOffset);
  const std::string product = text(d->ProductIdOffset);
  if (!product.empty()) *name += (name->empty() ? "" : " ") + product;
  return true;
}

}  // namespace

std::vector<RemovableDisk> RemovableDisks() {
  std::vector<RemovableDisk> disks;
  // Disk numbers are small and dense; a gap of a few does not end the look.
  for (int n = 0, missing = 0; n < 64 && missing < 8; ++n) {
    const std::string path = "\\\\.\\PhysicalDrive" + std::to_string(n);
    // No access asked for: describing a disk needs none, and every user may.
    HANDLE disk = ::CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                0, nullptr);
    if (disk == INVALID_HANDLE_VALUE) {
      ++missing;
      continue;
    }
    missing = 0;
    RemovableDisk d;
    d.path = path;
    bool removable = false;
    DISK_GEOMETRY_EX geometry{};
    DWORD got = 0;
    if (Describe(disk, &removable, &d.name) && removable) {
      if (::DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry, sizeof geometry, &got,
                            nullptr))
        d.size = static_cast<std::uint64_t>(geometry.DiskSize.QuadPart);
      disks.push_back(std::move(d));
    }
    ::CloseHandle(disk);
  }
  return disks;
}

int ProcessId() { return static_cast<int>(::GetCurrentProcessId()); }

bool IsTerminal(int fd) {
  // _isatty says yes for any character device, NUL among them: only a
  // console is a terminal here.
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

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

namespace {

std::string Environment(const wchar_t* name) {
  const wchar_t* value = ::_wgetenv(name);
  return value ? Narrow(value) : std::string();
}

}  // namespace

std::string Variable(const char* name) { return Environment(Wide(name).c_str()); }

std::string ConfigFolder() { return Environment(L"APPDATA"); }

std::string RuntimeFolder() {
  const std::string local = Environment(L"LOCALAPPDATA");
  return local.empty() ? std::string() : local + "\\zk27";
}

void UseUtf8(int* argc, char*** argv) {
  ::SetConsoleOutputCP(CP_UTF8);
  // Lines end in "\n" as on Linux, whether they go to a console, a pipe or
  // a file: the C library would make each "\r\n" in text mode.
  ::_setmode(1, _O_BINARY);
  ::_setmode(2, _O_BINARY);
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
