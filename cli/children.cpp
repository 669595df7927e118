// Other programs that zk27 starts: systemctl, notify-send, gdbus, xdg-open.
// Each is found on PATH, gets /dev/null for its input and zk27's standard
// error for its own (the journal, when zk27 runs as a unit), and is always
// waited for, so that none is left behind.
#include "cli.h"

#ifndef _WIN32

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

extern char** environ;

namespace {

bool IsProgram(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (!path) return {};
  const std::string folders = path;
  std::size_t from = 0;
  while (from <= folders.size()) {
    std::size_t to = folders.find(':', from);
    if (to == std::string::npos) to = folders.size();
    // An empty part would be the current folder: never taken.
    if (to > from) {
      const std::string candidate = folders.substr(from, to - from) + "/" + name;
      if (IsProgram(candidate)) return candidate;
    }
    from = to + 1;
  }
  return {};
}

bool ChildProgram::Start(const std::vector<std::string>& argv, bool readOutput) {
  int pipeFds[2] = {-1, -1};
  if (readOutput && ::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    if (readOutput) {
      ::close(pipeFds[0]);
      ::close(pipeFds[1]);
    }
    return false;
  }
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) ::dup2(null, 0);
    ::dup2(readOutput ? pipeFds[1] : (null >= 0 ? null : 1), 1);
    ::execve(args[0], args.data(), environ);
    ::_exit(127);
  }
  pid_ = pid;
  if (readOutput) {
    ::close(pipeFds[1]);
    out_ = pipeFds[0];
  }
  return true;
}

bool ChildProgram::ReadLine(std::string* line, int waitMs) {
  const std::int64_t until = NowMs() + waitMs;
  for (;;) {
    if (const auto end = buffer_.find('\n'); end != std::string::npos) {
      *line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return true;
    }
    if (out_ < 0) return false;
    const std::int64_t left = until - NowMs();
    if (left <= 0) return false;
    pollfd p{out_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char chunk[512];
    const ssize_t got = ::read(out_, chunk, sizeof(chunk));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      // The program closed its output: a last line without its newline
      // still counts.
      ::close(out_);
      out_ = -1;
      if (buffer_.empty()) return false;
      *line = buffer_;
      buffer_.clear();
      return true;
    }
    buffer_.append(chunk, static_cast<std::size_t>(got));
  }
}

int ChildProgram::Wait() {
  if (out_ >= 0) {
    ::close(out_);
    out_ = -1;
  }
  if (pid_ < 0) return -1;
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(pid_, &status, 0);
  } while (got < 0 && errno == EINTR);
  pid_ = -1;
  if (got < 0 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void ChildProgram::Stop() {
  if (pid_ >= 0) ::kill(pid_, SIGTERM);
  Wait();
}

ChildProgram::~ChildProgram() { Stop(); }

#else  // _WIN32: none of these programs is there.

std::string FindProgram(const std::string&) { return {}; }
bool ChildProgram::Start(const std::vector<std::string>&, bool) { return false; }
bool ChildProgram::ReadLine(std::string*, int) { return false; }
int ChildProgram::Wait() { return -1; }
void ChildProgram::Stop() {}
ChildProgram::~ChildProgram() = default;

#endif

int RunProgram(const std::vector<std::string>& argv) {
  ChildProgram child;
  if (!child.Start(argv, false)) return -1;
  return child.Wait();
}
