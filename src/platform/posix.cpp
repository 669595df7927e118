// The platform layer on POSIX systems.
#include "platform.h"

#include <array>
#include <cerrno>
#include <csignal>
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

bool TryLockFile(int fd, bool exclusive) { return ::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0; }

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

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  return {};
}

void UseUtf8(int*, char***) {}

void LowerTimerSlack() {
#if defined(__linux__)
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

}  // namespace platform
