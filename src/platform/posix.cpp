// The platform layer on POSIX systems.
#include "platform.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace platform {

int OpenFile(const std::string& path, unsigned flags) {
  int how = O_CLOEXEC;
  if (flags & kCreateImage) return ::open(path.c_str(), how | O_RDWR | O_CREAT | O_EXCL, 0644);
  if (flags & kReplace) return ::open(path.c_str(), how | O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (flags & kAppend) return ::open(path.c_str(), how | O_RDWR | O_CREAT | O_APPEND, 0644);
  if (flags & kCreateOrOpen) how |= O_RDWR | O_CREAT;
  else if (flags & kCreateNew) how |= O_WRONLY | O_CREAT | O_EXCL;
  else how |= (flags & kOpenReadWrite) ? O_RDWR : O_RDONLY;
  if (flags & kNoWait) how |= O_NONBLOCK;
  if (flags & kNoFollow) how |= O_NOFOLLOW | O_NOCTTY;
  return ::open(path.c_str(), how, (flags & kCreateOrOpen) ? 0600 : 0666);
}

bool CloseFile(int fd) { return ::close(fd) == 0; }

long long ReadSome(int fd, void* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, data, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

long long ReadAt(int fd, void* data, std::size_t size, std::uint64_t at) {
  return ::pread(fd, data, size, static_cast<off_t>(at));
}

long long WriteAt(int fd, const void* data, std::size_t size, std::uint64_t at) {
  return ::pwrite(fd, data, size, static_cast<off_t>(at));
}

bool ReadAllAt(int fd, void* data, std::size_t size, std::uint64_t at) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const long long n = ReadAt(fd, p, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n, size -= static_cast<std::size_t>(n), at += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool WriteAllAt(int fd, const void* data, std::size_t size, std::uint64_t at) {
  auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const long long n = WriteAt(fd, p, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n, size -= static_cast<std::size_t>(n), at += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool FlushFile(int fd) {
  int rc;
  do rc = ::fdatasync(fd);
  while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool SetFileSize(int fd, std::uint64_t size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0; }

bool OpenedReadOnly(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_ACCMODE) == O_RDONLY;
}

namespace {

FileState StateFrom(const struct stat& st) {
  FileState s;
  s.kind = S_ISREG(st.st_mode)   ? FileKind::kRegular
           : S_ISDIR(st.st_mode) ? FileKind::kDirectory
           : S_ISBLK(st.st_mode) ? FileKind::kDevice
                                 : FileKind::kOther;
  s.size = static_cast<std::uint64_t>(st.st_size);
  s.mtimeSec = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  s.mtimeNsec = st.st_mtim.tv_nsec;
  return s;
}

}  // namespace

bool StateOf(int fd, FileState* state) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) return false;
  *state = StateFrom(st);
  if (state->kind == FileKind::kDevice) {
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0) return false;
    state->size = static_cast<std::uint64_t>(end);
  }
  return true;
}

bool StateOf(const std::string& path, FileState* state) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    *state = FileState{};
    return false;
  }
  *state = StateFrom(st);
  return true;
}

bool RenameFile(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()) == 0; }

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool SameFile(const std::string& a, const std::string& b) {
  // A link is a file of its own: replacing it leaves what it points at.
  struct stat x{}, y{};
  return ::lstat(a.c_str(), &x) == 0 && ::lstat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

bool ReservedFileName(const std::string&) { return false; }

bool RefusesName(int error) { return error == EINVAL; }

// Here a path's bytes are the text's.
std::filesystem::path PathOf(const std::string& utf8) { return std::filesystem::path(utf8); }
std::string TextOf(const std::filesystem::path& path) { return path.string(); }
std::FILE* OpenStream(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

// A hard link, then the old name dropped; where the file system has no hard
// links (FAT, exFAT), a rename that refuses to replace; where that is not
// known either, a rename after a look (the caller holds the folder, so no
// other program of ours names a file there meanwhile).
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return true;
  }
  if (errno == EEXIST) return false;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
  struct stat st{};
  if (::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool FlushPath(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  return ::close(fd) == 0 && synced;
}

bool MakeUniqueFolder(std::string* pattern) { return ::mkdtemp(pattern->data()) != nullptr; }

bool SetFileTime(const std::string& path, std::time_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::tm LocalTime(std::time_t when) {
  std::tm local{};
  ::localtime_r(&when, &local);
  return local;
}

bool TryLockFile(int fd, bool exclusive) { return ::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0; }

void UnlockFile(int fd) { ::flock(fd, LOCK_UN); }

std::string CardDevicePath(const std::string& name) { return name; }
bool IsVolumePath(const std::string&) { return false; }
bool TakeVolume(int) { return true; }
void ReleaseVolume(int) {}
std::vector<RemovableDisk> RemovableDisks() { return {}; }

int ProcessId() { return static_cast<int>(::getpid()); }

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

bool OpenStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one, as the lower ones are open.
    const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null < 0) return false;
    if (null != fd) {
      const bool moved = ::dup2(null, fd) == fd;
      ::close(null);
      if (!moved) return false;
    }
  }
  return true;
}

void* OpenLibrary(const char* name) { return ::dlopen(name, RTLD_NOW | RTLD_LOCAL); }

void* FindSymbol(void* library, const char* name) { return ::dlsym(library, name); }

bool MatchesPattern(const std::string& pattern, const std::string& name) {
  return ::fnmatch(pattern.c_str(), name.c_str(), FNM_NOESCAPE) == 0;
}

namespace {

constexpr std::array<int, 3> kEndSignals = {SIGINT, SIGTERM, SIGHUP};
std::array<struct sigaction, 3> g_savedActions{};

}  // namespace

void CatchEndSignals(void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  for (std::size_t i = 0; i < kEndSignals.size(); ++i) ::sigaction(kEndSignals[i], &sa, &g_savedActions[i]);
}

void RestoreEndSignals() {
  for (std::size_t i = 0; i < kEndSignals.size(); ++i) ::sigaction(kEndSignals[i], &g_savedActions[i], nullptr);
}

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : std::string();
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  return {};
}

std::string ConfigFolder() {
  // A relative XDG_CONFIG_HOME counts as unset, as XDG has it.
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') return config;
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.config";
  return {};
}

std::string RuntimeFolder() {
  if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run) return std::string(run) + "/zk27";
  return "/tmp/zk27-" + std::to_string(::getuid());
}

void UseUtf8(int*, char***) {}

void LowerTimerSlack() {
#if defined(__linux__)
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

}  // namespace platform
