// Helpers for the black-box tests of zk27 and zk27-player: temporary
// folders, a process runner with a time limit, PC files and card images read
// and patched byte by byte, and a virtual player run as a separate process.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace cli_test {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// ---- folders and files ------------------------------------------------------

// A fresh folder under $TMPDIR, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "zk27-cli-test-XXXXXX").string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) {
      // A test may leave a folder without write permission behind.
      fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
      fs::remove_all(path_, ec);
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // A new empty sub-folder.
  std::string Sub(const std::string& name) const {
    fs::create_directories(path_ + "/" + name);
    return path_ + "/" + name;
  }

 private:
  std::string path_;
};

// Bytes that differ from file to file and from offset to offset, so that a
// cluster in the wrong place or a shifted copy never compares equal.
inline Bytes RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes b(size);
  for (auto& x : b) x = static_cast<std::uint8_t>(gen());
  return b;
}

inline bool WriteFile(const std::string& path, const Bytes& b) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < b.size()) {
    ssize_t n = ::write(fd, b.data() + done, b.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return done == b.size();
}

// The whole file; nullopt when it cannot be read.
inline std::optional<Bytes> ReadFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  Bytes b;
  std::uint8_t buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    b.insert(b.end(), buf, buf + n);
  }
  ::close(fd);
  return b;
}

inline std::string ReadText(const std::string& path) {
  auto b = ReadFile(path);
  return b ? std::string(b->begin(), b->end()) : std::string();
}

inline Bytes ReadAt(const std::string& path, std::uint64_t offset, std::size_t size) {
  Bytes b(size);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ssize_t n = fd >= 0 ? ::pread(fd, b.data(), size, static_cast<off_t>(offset)) : -1;
  if (fd >= 0) ::close(fd);
  if (n != static_cast<ssize_t>(size)) b.clear();
  return b;
}

inline bool WriteAt(const std::string& path, std::uint64_t offset, const Bytes& b) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ssize_t n = fd >= 0 ? ::pwrite(fd, b.data(), b.size(), static_cast<off_t>(offset)) : -1;
  if (fd >= 0) ::close(fd);
  return n == static_cast<ssize_t>(b.size());
}

// A blank card image of `mib` MiB, as `truncate -s` makes one.
inline bool MakeBlankCard(const std::string& path, std::uint32_t mib) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const bool ok = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(mib) << 20) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

// The names in a folder, sorted.
inline std::vector<std::string> FolderNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
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

inline std::string FreeSpaceLine(std::uint64_t freeClusters) {
  return "The free space in your CF Card is " + Thousands(freeClusters * 64) + "KB";
}

// ---- running the programs ---------------------------------------------------

inline std::string BinDir() {
  if (const char* dir = std::getenv("ZK27_BIN_DIR"); dir && *dir) return dir;
  // Run by hand from the build tree: the programs are in ../bin.
  return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "bin").string();
}
inline std::string Zk27() { return BinDir() + "/zk27"; }
inline std::string PlayerBin() { return BinDir() + "/zk27-player"; }

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

// True when `text` holds `part`; for EXPECT_TRUE with a readable failure.
inline ::testing::AssertionResult Holds(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << part << "\" not found in:\n" << text;
}

// True when the file at `path` holds exactly `expected`; says where it
// differs otherwise (without printing megabytes).
inline ::testing::AssertionResult SameBytes(const std::string& path, const Bytes& expected) {
  const auto got = ReadFile(path);
  if (!got) return ::testing::AssertionFailure() << path << " cannot be read";
  if (got->size() != expected.size())
    return ::testing::AssertionFailure() << path << " has " << got->size() << " bytes, expected " << expected.size();
  for (std::size_t i = 0; i < expected.size(); ++i)
    if ((*got)[i] != expected[i]) return ::testing::AssertionFailure() << path << " differs at byte " << i;
  return ::testing::AssertionSuccess();
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

// ---- card images -----------------------------------------------------------

constexpr std::uint64_t kSector = 512;
constexpr std::uint64_t kCluster = 65536;

// Where the volume of a formatted image lies, from its boot sector.
struct Layout {
  std::uint32_t sectorsPerTable = 0;
  std::uint64_t table1 = 0;     // byte offset of allocation table copy 1
  std::uint64_t table2 = 0;
  std::uint64_t directory = 0;  // byte offset of the directory
  std::uint64_t data = 0;       // byte offset of cluster 2
  std::uint64_t nameTable = kSector;
  std::uint64_t TableEntry(std::uint32_t cluster) const { return table1 + 2ull * cluster; }
};

inline std::uint32_t Le(const Bytes& b, std::size_t at, int width) {
  std::uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | b[at + static_cast<std::size_t>(i)];
  return v;
}

inline Bytes LeBytes(std::uint32_t v, int width) {
  Bytes b;
  for (int i = 0; i < width; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return b;
}

inline Layout ReadLayout(const std::string& image) {
  Layout l;
  const Bytes boot = ReadAt(image, 32 * kSector, kSector);
  if (boot.size() != kSector) return l;
  l.sectorsPerTable = Le(boot, 22, 2);
  const std::uint32_t dirSectors = Le(boot, 17, 2) * 32 / 512;
  l.table1 = 33 * kSector;
  l.table2 = (33ull + l.sectorsPerTable) * kSector;
  l.directory = (33ull + 2ull * l.sectorsPerTable) * kSector;
  l.data = l.directory + dirSectors * kSector;
  return l;
}

// Byte offset in the image of the directory entry whose name slot holds
// `cardName` (8-bit card text); 0 when there is none.
inline std::uint64_t FindEntry(const std::string& image, const std::string& cardName) {
  const Layout l = ReadLayout(image);
  const Bytes dir = ReadAt(image, l.directory, 32 * kSector);
  const Bytes names = ReadAt(image, l.nameTable, 30 * kSector);
  if (dir.empty() || names.empty()) return 0;
  for (std::size_t e = 0; e < dir.size(); e += 32) {
    if (dir[e + 12] == 0) continue;
    const std::uint32_t slot = Le(dir, e + 1, 2);
    if (slot + 2 > names.size()) continue;
    const std::uint32_t len = Le(names, slot, 2);
    if (len == 0 || slot + 2 + len > names.size()) continue;
    if (std::string(names.begin() + slot + 2, names.begin() + slot + 2 + len) == cardName) return l.directory + e;
  }
  return 0;
}

// ---- the virtual player as a process ------------------------------------------

// A zk27-player serving a card of its own on a socket of its own; stopped
// (and waited for) when the object goes.
class PlayerProcess {
 public:
  PlayerProcess(std::string card, std::string socket, std::string logDir)
      : card_(std::move(card)), socket_(std::move(socket)), log_(logDir + "/player-stderr.log") {}
  ~PlayerProcess() { Stop(); }
  PlayerProcess(const PlayerProcess&) = delete;
  PlayerProcess& operator=(const PlayerProcess&) = delete;

  // Starts the daemon and waits (at most 10 s) for its ready line. Returns
  // the line, or an explanation when it did not come.
  std::string Start(std::uint32_t sizeMiB) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return "pipe failed";
    const int err = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::vector<std::string> args = {PlayerBin(), "serve", "--card", card_, "--size", std::to_string(sizeMiB),
                                     "--socket", socket_};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in, 0);
      ::dup2(pipeFds[1], 1);
      if (err >= 0) ::dup2(err, 2);
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
  void Stop() { End(SIGTERM); }
  // Ends the daemon at once, leaving its socket file behind.
  void Kill() { End(SIGKILL); }
  pid_t pid() const { return pid_; }

 private:
  void End(int sig) {
    if (pid_ <= 0) return;
    ::kill(pid_, sig);
    int status;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
  }

  std::string card_;
  std::string socket_;
  std::string log_;
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

// "yymmdd" of today's local date.
inline std::string TodayYymmdd() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::snprintf(text, sizeof(text), "%02d%02d%02d", local.tm_year % 100, local.tm_mon + 1, local.tm_mday);
  return text;
}

// ---- the fixture both suites share ----------------------------------------------

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
    Bytes b = RandomBytes(size, seed);
    EXPECT_TRUE(WriteFile(pc_ + "/" + name, b));
    return b;
  }

  std::vector<std::string> LsNames() {
    const RunResult r = Z({"ls"});
    EXPECT_EQ(r.exit, 0) << r;
    return Lines(r.out);
  }

  TempDir dir_;
  std::string card_;
  std::string pc_;
};

}  // namespace cli_test
