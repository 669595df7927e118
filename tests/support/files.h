// Temporary folders, and PC files and card images read and written byte by
// byte.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"

namespace zk27_test {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

constexpr std::uint64_t kSector = 512;
constexpr std::uint64_t kCluster = 65536;
constexpr std::uint32_t kSectorsPerMiB = 2048;

// A fresh folder under $TMPDIR, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "zk27-test-XXXXXX").string();
    if (platform::MakeUniqueFolder(&pattern)) path_ = pattern;
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

// The environment variable `name` set to `value` for this process and the
// programs it starts.
inline void SetEnv(const std::string& name, const std::string& value) {
#ifdef _WIN32
  ::_putenv_s(name.c_str(), value.c_str());
#else
  ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

inline void UnsetEnv(const std::string& name) {
#ifdef _WIN32
  ::_putenv_s(name.c_str(), "");
#else
  ::unsetenv(name.c_str());
#endif
}

// Points the programs' runtime folder ($XDG_RUNTIME_DIR/zk27, where a player
// without a socket of its own is locked) into `dir`, for this process and the
// programs it starts, so that a test leaves no lock file in the user's.
inline void RuntimeFolderIn(const TempDir& dir) {
  const std::string run = dir.Sub("run");
  fs::permissions(run, fs::perms::owner_all, fs::perm_options::replace);
  SetEnv("XDG_RUNTIME_DIR", run);
  SetEnv("LOCALAPPDATA", run);  // Windows' runtime folder is %LOCALAPPDATA%\\zk27
}

// Deterministic file contents that differ from file to file and from offset
// to offset, so that a cluster in the wrong place or a shifted copy never
// compares equal.
inline Bytes Content(std::size_t size, std::uint32_t seed) {
  Bytes b(size);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (auto& c : b) {
    x = x * 1103515245u + 12345u;
    c = static_cast<std::uint8_t>(x >> 16);
  }
  return b;
}

// `size` bytes of the open file `fd` from `offset`, read until all are there;
// empty when the file ends or fails first.
inline Bytes ReadAt(int fd, std::uint64_t offset, std::size_t size) {
  Bytes b(size);
  std::size_t done = 0;
  while (done < size) {
    const long long n = platform::ReadAt(fd, b.data() + done, size - done, offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return {};
    done += static_cast<std::size_t>(n);
  }
  return b;
}

inline Bytes ReadAt(const std::string& path, std::uint64_t offset, std::size_t size) {
  const int fd = platform::OpenFile(path, platform::kOpenRead);
  if (fd < 0) return {};
  Bytes b = ReadAt(fd, offset, size);
  platform::CloseFile(fd);
  return b;
}

// Writes `b` at `offset` of an existing file, leaving the rest as it is.
inline bool WriteAt(const std::string& path, std::uint64_t offset, const Bytes& b) {
  const int fd = platform::OpenFile(path, platform::kOpenReadWrite);
  const long long n = fd >= 0 ? platform::WriteAt(fd, b.data(), b.size(), offset) : -1;
  if (fd >= 0) platform::CloseFile(fd);
  return n == static_cast<long long>(b.size());
}

// The file at `path` made to hold exactly `b`.
inline bool WriteFile(const std::string& path, const Bytes& b) {
  const int fd = platform::OpenFile(path, platform::kReplace);
  if (fd < 0) return false;
  const bool whole = platform::WriteAll(fd, b.data(), b.size());
  return platform::CloseFile(fd) && whole;
}

// The whole file; nullopt when it cannot be read.
inline std::optional<Bytes> ReadFile(const std::string& path) {
  const int fd = platform::OpenFile(path, platform::kOpenRead);
  if (fd < 0) return std::nullopt;
  Bytes b;
  std::uint8_t buf[65536];
  for (;;) {
    const long long n = platform::ReadSome(fd, buf, sizeof(buf));
    if (n < 0) {
      platform::CloseFile(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    b.insert(b.end(), buf, buf + n);
  }
  platform::CloseFile(fd);
  return b;
}

inline std::string ReadText(const std::string& path) {
  auto b = ReadFile(path);
  return b ? std::string(b->begin(), b->end()) : std::string();
}

// A blank card image of `sectors` sectors, as `truncate -s` makes one: the
// card reads as zeros and costs no disk.
inline bool MakeBlankImage(const std::string& path, std::uint32_t sectors) {
  const int fd = platform::OpenFile(path, platform::kReplace);
  const bool ok = fd >= 0 && platform::SetFileSize(fd, std::uint64_t{sectors} * 512);
  if (fd >= 0) platform::CloseFile(fd);
  return ok;
}

// The names in a folder, sorted.
inline std::vector<std::string> FolderNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(platform::PathOf(dir), ec))
    names.push_back(platform::TextOf(e.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

// Little-endian numbers of `width` bytes, as the card stores them.
inline std::uint32_t Le(const Bytes& b, std::size_t at, int width) {
  std::uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | b[at + static_cast<std::size_t>(i)];
  return v;
}
inline std::uint16_t Le16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(Le(b, at, 2)); }
inline std::uint32_t Le32(const Bytes& b, std::size_t at) { return Le(b, at, 4); }

inline Bytes LeBytes(std::uint32_t v, int width) {
  Bytes b;
  for (int i = 0; i < width; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return b;
}

}  // namespace zk27_test
