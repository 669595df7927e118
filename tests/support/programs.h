// The programs under test run as separate processes: zk27 with a time limit
// and its output caught, and zk27-player serving a card on a socket of its
// own.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/files.h"

extern char** environ;

namespace zk27_test {

inline std::string BinDir() {
  if (const char* dir = std::getenv("ZK27_BIN_DIR"); dir && *dir) return dir;
  // Run by hand from the build tree: the programs are in ../bin.
  return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "bin").string();
}
// The zk27 under test: $ZK27_TEST_ZK27 when set (scripts/build-windows --cli
// names a program that starts zk27.exe under wine), else the build's.
inline std::string Zk27() {
  if (const char* other = std::getenv("ZK27_TEST_ZK27"); other && *other) return other;
  return BinDir() + "/zk27";
}
// Whether the player's tests reach zk27-player over TCP on the loopback
// ($ZK27_TEST_PLAYER_TCP set), as zk27 on Windows does, instead of its socket.
inline bool PlayerOverTcp() {
  const char* tcp = std::getenv("ZK27_TEST_PLAYER_TCP");
  return tcp && *tcp;
}
inline std::string PlayerBin() { return BinDir() + "/zk27-player"; }
// Whether zk27 is zk27.exe under wine ($ZK27_TEST_UNDER_WINE, set by
// scripts/build-windows --cli). A case whose means are Linux's own (a pty,
// flock against another process, LD_DEBUG, strace, rlimits, the tests' own
// fake players on Unix sockets, uids) skips there, saying why; what it
// proves is proved on Linux.
inline bool Zk27UnderWine() {
  const char* wine = std::getenv("ZK27_TEST_UNDER_WINE");
  return wine && *wine;
}
#define ZK27_SKIP_UNDER_WINE(why) \
  do {                             \
    if (Zk27UnderWine()) GTEST_SKIP() << "zk27.exe under wine: " << (why); \
  } while (0)

struct RunResult {
  bool started = false;
  bool timedOut = false;
  bool signaled = false;
  int signal = 0;
  int exit = -1;
  std::string out;
  std::string err;
  double seconds = 0;
};

inline std::ostream& operator<<(std::ostream& os, const RunResult& r) {
  os << "exit " << r.exit;
  if (r.signaled) os << " (signal " << r.signal << ")";
  if (r.timedOut) os << " (timed out)";
  return os << "\n--- stdout ---\n" << r.out << "--- stderr ---\n" << r.err << "---";
}

struct RunOptions {
  std::string cwd;                                            // empty: the test's own
  std::map<std::string, std::optional<std::string>> env;      // nullopt unsets
  int timeoutSeconds = 20;
};

// Runs `args` (args[0] a full path) with stdin from /dev/null and stdout and
// stderr caught in files of `scratch`. A program still running after the time
// limit is killed and reported as timed out.
inline RunResult RunProgram(const std::vector<std::string>& args, const std::string& scratch,
                     const RunOptions& options = {}) {
  RunResult r;
  static int serial = 0;
  const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(serial++);
  const std::string outPath = scratch + "/.run-" + tag + ".out";
  const std::string errPath = scratch + "/.run-" + tag + ".err";

  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string kv = *e;
    const auto eq = kv.find('=');
    if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : options.env) {
    if (v) env[k] = *v;
    else env.erase(k);
  }
  std::vector<std::string> envText;
  for (const auto& [k, v] : env) envText.push_back(k + "=" + v);
  std::vector<char*> envp, argv;
  for (auto& s : envText) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argCopy = args;
  for (auto& s : argCopy) argv.push_back(s.data());
  argv.push_back(nullptr);

  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (in < 0 || out < 0 || err < 0) {
    for (int fd : {in, out, err})
      if (fd >= 0) ::close(fd);
    return r;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) _exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  ::close(in);
  ::close(out);
  ::close(err);
  if (pid < 0) return r;
  r.started = true;

  int status = 0;
  const auto deadline = start + std::chrono::seconds(options.timeoutSeconds);
  for (;;) {
    const pid_t w = ::waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (w < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      r.timedOut = true;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (WIFEXITED(status)) r.exit = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    r.signaled = true;
    r.signal = WTERMSIG(status);
  }
  r.out = ReadText(outPath);
  r.err = ReadText(errPath);
  ::unlink(outPath.c_str());
  ::unlink(errPath.c_str());
  return r;
}

// A zk27-player serving a card of its own on a socket of its own; stopped
// (and waited for) when the object goes.
class PlayerProcess {
 public:
  // `runAs`: a uid the daemon serves as (the test must be root), or -1 for
  // the test's own.
  PlayerProcess(std::string card, std::string socket, std::string logDir, int runAs = -1)
      : card_(std::move(card)), socket_(std::move(socket)), log_(logDir + "/player-stderr.log"), runAs_(runAs) {}
  ~PlayerProcess() { Stop(); }
  PlayerProcess(const PlayerProcess&) = delete;
  PlayerProcess& operator=(const PlayerProcess&) = delete;

  // Starts the daemon and waits (at most 10 s) for its ready line. Returns
  // the line, or an explanation when it did not come. `more`: further
  // arguments of serve.
  std::string Start(std::uint32_t sizeMiB, const std::vector<std::string>& more = {}) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return "pipe failed";
    const int err = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::vector<std::string> args = {PlayerBin(), "serve", "--card", card_, "--size", std::to_string(sizeMiB),
                                     "--socket", socket_};
    args.insert(args.end(), more.begin(), more.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in, 0);
      ::dup2(pipeFds[1], 1);
      if (err >= 0) ::dup2(err, 2);
      if (runAs_ >= 0 && (::setgid(runAs_) != 0 || ::setuid(runAs_) != 0)) _exit(126);
      ::execv(argv[0], argv.data());
      _exit(127);
    }
    ::close(pipeFds[1]);
    if (err >= 0) ::close(err);
    if (in >= 0) ::close(in);
    if (pid_ < 0) {
      ::close(pipeFds[0]);
      return "fork failed";
    }
    std::string line;
    pollfd p{pipeFds[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char c;
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline &&
           ::poll(&p, 1, 200) >= 0) {
      if (!(p.revents & (POLLIN | POLLHUP))) continue;
      if (::read(pipeFds[0], &c, 1) != 1) break;
      line += c;
    }
    ::close(pipeFds[0]);
    if (line.find('\n') == std::string::npos) return "no ready line; stderr: " + ReadText(log_);
    return line;
  }

  // SIGTERM, then SIGKILL when it does not end within 5 s; always waited for.
  void Stop() { Reap(SIGTERM); }
  // Ends the daemon at once, leaving its socket file behind.
  void Kill() { Reap(SIGKILL); }
  pid_t pid() const { return pid_; }

  // Sends `sig` (none for 0) and waits up to 5 s for the daemon to end; one
  // still running then is killed, and -1 returned instead of its wait status,
  // so that no test leaves a daemon behind.
  int Reap(int sig) {
    if (pid_ <= 0) return -1;
    if (sig) ::kill(pid_, sig);
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        status = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return status;
  }

 private:
  std::string card_;
  std::string socket_;
  std::string log_;
  int runAs_;
  pid_t pid_ = -1;
};

// The "commands: N" of `zk27-player ctl status`'s answer `status`.
inline std::uint64_t CommandCount(const std::string& status) {
  std::smatch m;
  static const std::regex line(R"((^|\n)commands: ([0-9]+)\n)");
  if (!std::regex_search(status, m, line)) {
    ADD_FAILURE() << "no command count in:\n" << status;
    return 0;
  }
  return std::stoull(m[2]);
}

}  // namespace zk27_test
