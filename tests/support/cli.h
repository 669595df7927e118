// What the tests of zk27 from the outside share: the fixture with a card
// image and a PC folder, and the readings of zk27's output.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <unistd.h>
#include <pty.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/card_image.h"
#include "support/files.h"
#include "support/compare.h"
#include "support/programs.h"

namespace zk27_test {

// strace from $PATH, or empty.
inline std::string FindStrace() {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string d; std::getline(dirs, d, ':');) {
    const std::string candidate = d + "/strace";
    if (!d.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

inline int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + part.size())) ++n;
  return n;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "16256" -> "16,256".
inline std::string Thousands(std::uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// The free clusters `zk27 info` shows on its "free:" line ("(61 of 62
// clusters"), or -1 when it shows none.
inline long FreeClustersIn(const std::string& info) {
  static const std::regex free(R"(^free: +[0-9.]+ (bytes?|kB|MB|GB) \(([0-9,]+) of [0-9,]+ clusters of 64 KiB\)$)");
  for (const std::string& l : Lines(info)) {
    std::smatch m;
    if (!std::regex_match(l, m, free)) continue;
    std::string digits = m[2];
    digits.erase(std::remove(digits.begin(), digits.end(), ','), digits.end());
    return std::stol(digits);
  }
  return -1;
}

// One line of `zk27 ls -l`: FileId in hex, size, first cluster ("-" for none),
// name.
struct LongLine {
  unsigned id = 0;
  std::uint64_t size = 0;
  std::string first;
  std::string name;
};

inline std::vector<LongLine> ParseLong(const std::string& out) {
  std::vector<LongLine> v;
  static const std::regex line(R"(^([0-9A-F]{2}) +([0-9]+) +(-|[0-9]+)  (.*)$)");
  for (const std::string& l : Lines(out)) {
    std::smatch m;
    if (!std::regex_match(l, m, line)) {
      ADD_FAILURE() << "ls -l line not understood: '" << l << "'";
      continue;
    }
    v.push_back({static_cast<unsigned>(std::stoul(m[1], nullptr, 16)), std::stoull(m[2]), m[3], m[4]});
  }
  return v;
}

// "yymmdd" of today's local date.
inline std::string TodayYymmdd() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::snprintf(text, sizeof(text), "%02d%02d%02d", local.tm_year % 100, local.tm_mon + 1, local.tm_mday);
  return text;
}

// A temporary folder with a card image path and a PC folder; the suites say
// how zk27 reaches the card (Z).
class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    card_ = dir_ / "card.img";
    pc_ = dir_.Sub("pc");
  }

  // zk27 args... on this suite's card, run in `cwd` (default: the PC folder).
  virtual RunResult Z(std::vector<std::string> args, const std::string& cwd) = 0;
  RunResult Z(std::vector<std::string> args) { return Z(std::move(args), ""); }

  // A PC file of `size` bytes in the PC folder; returns its content.
  Bytes Pc(const std::string& name, std::size_t size, std::uint32_t seed) {
    Bytes b = Content(size, seed);
    EXPECT_TRUE(WriteFile(pc_ + "/" + name, b));
    return b;
  }

  std::vector<std::string> LsNames() {
    const RunResult r = Z({"ls"});
    EXPECT_EQ(r.exit, 0) << r;
    return Lines(r.out);
  }

  // A hint of zk27's to act on this suite's card image: "'zk27 --image
  // CARD check'".
  std::string ImageHint(const std::string& command) const { return "'zk27 --image " + card_ + " " + command + "'"; }

  TempDir dir_;
  std::string card_;
  std::string pc_;
};

// zk27 --image on this suite's card image; never a player.
class ImageCliTest : public CliTest {
 protected:
  using CliTest::Z;

  // zk27 with `args` as given (no --image added), run in `cwd` (default: the
  // PC folder). Never a player: the socket points at nothing.
  RunResult Raw(const std::vector<std::string>& args, const std::string& cwd = "") {
    std::vector<std::string> argv = {Zk27()};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions o;
    o.cwd = cwd.empty() ? pc_ : cwd;
    o.env["ZK27_PLAYER_SOCKET"] = dir_ / "no-player.sock";
    RunResult r = RunProgram(argv, dir_.path(), o);
    EXPECT_TRUE(r.started) << "zk27 did not start: " << Zk27();
    EXPECT_FALSE(r.timedOut) << r;
    EXPECT_FALSE(r.signaled) << r;
    return r;
  }
  // zk27 --image CARD args...
  RunResult Z(std::vector<std::string> args, const std::string& cwd) override {
    args.insert(args.begin(), {"--image", card_});
    return Raw(args, cwd);
  }

  void Format(std::uint32_t mib) {
    ASSERT_TRUE(MakeBlankImage(card_, mib * kSectorsPerMiB));
    const RunResult r = Z({"format", "--yes"});
    ASSERT_EQ(r.exit, 0) << r;
  }

  std::vector<LongLine> LsLong() {
    const RunResult r = Z({"ls", "-l"});
    EXPECT_EQ(r.exit, 0) << r;
    return ParseLong(r.out);
  }
  long FreeClusters() {
    const RunResult r = Z({"info"});
    EXPECT_EQ(r.exit, 0) << r;
    return FreeClustersIn(r.out);
  }
};

// zk27 on a terminal (stdin, stdout and stderr): the answer `typed` once it
// asks "[y/N] ". Returns what the terminal showed and the exit status.
inline std::pair<std::string, int> OnTerminal(const std::vector<std::string>& args, const std::string& typed) {
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (pid < 0) return {"forkpty failed", -1};
  std::string shown;
  bool answered = false;
  char buf[256];
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    const ssize_t n = ::read(master, buf, sizeof(buf));
    if (n <= 0) break;  // the program ended and closed the terminal
    shown.append(buf, static_cast<std::size_t>(n));
    if (!answered && shown.find("[y/N] ") != std::string::npos) {
      answered = ::write(master, typed.data(), typed.size()) == static_cast<ssize_t>(typed.size());
    }
  }
  ::close(master);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {shown, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// zk27 args... started in the background on the player at `socket` (or
// at `tcp`, ZK27_PLAYER_TCP, when given), run in `cwd`, its stderr into
// `errFile`. Returns its pid.
inline pid_t StartInBackground(const std::vector<std::string>& args, const std::string& cwd, const std::string& socket,
                               const std::string& errFile, const std::string& tcp = {}) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int null = ::open("/dev/null", O_RDWR);
  if (err < 0 || null < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(126);
  ::dup2(null, 0);
  ::dup2(null, 1);
  ::dup2(err, 2);
  ::setenv("ZK27_PLAYER_SOCKET", socket.c_str(), 1);
  if (!tcp.empty()) ::setenv("ZK27_PLAYER_TCP", tcp.c_str(), 1);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

// Its exit status, or -1 when it ended on a signal or is still running after
// 20 s (then it is killed).
inline int WaitFor(pid_t pid) {
  for (int i = 0; i < 2000; ++i) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ::usleep(10000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

// The lines of the file at `path`.
inline std::vector<std::string> FileLines(const std::string& path) {
  const auto b = ReadFile(path);
  return b ? Lines(std::string(b->begin(), b->end())) : std::vector<std::string>{};
}

}  // namespace zk27_test
