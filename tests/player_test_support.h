// Helpers shared by the virtual player's tests: temporary folders, card
// images made by hand, and CommandBlocks built byte by byte.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "bulkusb.h"

namespace player_test {

using Bytes = std::vector<std::uint8_t>;

// A fresh folder under $TMPDIR, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zk27-player-test-XXXXXX").string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline Bytes CommandBlock(std::uint8_t code, std::uint8_t flags, std::uint32_t lba, std::uint16_t count,
                          std::uint32_t transferLength) {
  Bytes b(31, 0);
  b[0] = 0x55; b[1] = 0x53; b[2] = 0x42; b[3] = 0x43;
  b[4] = 0x30;
  b[8] = transferLength >> 24; b[9] = transferLength >> 16; b[10] = transferLength >> 8; b[11] = transferLength;
  b[12] = flags;
  b[14] = 10;
  b[15] = 0xFF;
  b[16] = code;
  b[17] = lba >> 24; b[18] = lba >> 16; b[19] = lba >> 8; b[20] = lba;
  b[21] = count >> 8; b[22] = count;
  return b;
}
inline Bytes StatusCommand() { return CommandBlock(0x00, 0x80, 0, 0, 0); }
inline Bytes IdentifyCommand() { return CommandBlock(0x53, 0x80, 0, 1, 512); }
inline Bytes ReadCommand(std::uint32_t lba, std::uint16_t count) {
  return CommandBlock(0x52, 0x80, lba, count, count * 512u);
}
inline Bytes WriteCommand(std::uint32_t lba, std::uint16_t count) {
  return CommandBlock(0x51, 0x00, lba, count, count * 512u);
}

inline const Bytes kOkStatus = {0x00, 0x00};
inline Bytes Completion(std::uint8_t status) {
  return {0x55, 0x53, 0x42, 0x53, 0x30, 0, 0, 0, 0, 0, 0, 0, status};
}

// A sector whose every byte tells which sector and which offset it is.
inline Bytes Pattern(std::uint32_t sector, std::uint8_t salt = 0) {
  Bytes s(512);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(sector * 7 + i + salt);
  return s;
}

inline Bytes ReadFileAt(const std::string& path, std::uint64_t offset, std::size_t size) {
  Bytes b(size);
  int fd = ::open(path.c_str(), O_RDONLY);
  ssize_t n = fd >= 0 ? ::pread(fd, b.data(), size, static_cast<off_t>(offset)) : -1;
  if (fd >= 0) ::close(fd);
  if (n != static_cast<ssize_t>(size)) b.clear();
  return b;
}

inline bool WriteFileAt(const std::string& path, std::uint64_t offset, const Bytes& b) {
  int fd = ::open(path.c_str(), O_WRONLY);
  ssize_t n = fd >= 0 ? ::pwrite(fd, b.data(), b.size(), static_cast<off_t>(offset)) : -1;
  if (fd >= 0) ::close(fd);
  return n == static_cast<ssize_t>(b.size());
}

inline Bytes WholeFile(const std::string& path) {
  return ReadFileAt(path, 0, static_cast<std::size_t>(std::filesystem::file_size(path)));
}

inline bool MakeBlankImage(const std::string& path, std::uint32_t sectors) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  bool ok = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(sectors) * 512) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

// The geometry of a card formatted by FormatImage.
struct Geometry {
  std::uint32_t sectorsPerTable;
  std::uint32_t dirStart;
  std::uint32_t dataStart;
  std::uint32_t clusters;  // table entries that stand for the card, 0 and 1 included
  std::uint64_t ClusterOffset(std::uint32_t n) const { return (dataStart + (n - 2ull) * 128) * 512; }
};

// Writes an empty volume the way the card manager formats one: boot sector
// at 32, both allocation tables, a 512-entry directory.
inline Geometry FormatImage(const std::string& path, std::uint32_t totalSectors) {
  Geometry g{};
  g.clusters = totalSectors / 128;
  const std::uint32_t tableBytes = g.clusters * 2;
  g.sectorsPerTable = (tableBytes + 511) / 512;
  g.dirStart = 33 + 2 * g.sectorsPerTable;
  g.dataStart = g.dirStart + 32;

  Bytes boot(512, 0);
  std::memcpy(boot.data() + 3, "VOXBRICK", 8);
  boot[11] = 0x00; boot[12] = 0x02; boot[13] = 128; boot[14] = 1; boot[16] = 2;
  boot[17] = 0x00; boot[18] = 0x02;  // 512 root entries
  boot[21] = 0xF0;
  boot[22] = g.sectorsPerTable & 0xFF; boot[23] = g.sectorsPerTable >> 8;
  for (int i = 0; i < 4; ++i) boot[32 + i] = static_cast<std::uint8_t>(totalSectors >> (8 * i));
  std::memcpy(boot.data() + 44, "ZK27 PROPRIETARY!!", 18);
  boot[510] = 0x12; boot[511] = 0x34;
  WriteFileAt(path, 32 * 512, boot);

  Bytes table(g.sectorsPerTable * 512, 0xFF);
  std::fill(table.begin() + 4, table.begin() + tableBytes, 0);
  table[0] = 0xF8;
  WriteFileAt(path, 33 * 512, table);
  WriteFileAt(path, (33 + g.sectorsPerTable) * 512ull, table);
  WriteFileAt(path, g.dirStart * 512ull, Bytes(32 * 512, 0));
  return g;
}

inline std::uint16_t Le16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8)); }
inline std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}

// One command through the driver, the way the device link runs it. Returns
// the status bytes as a number, 0xFF7F for a failed pipe call, 0x0003 when
// the handles could not be opened. `pauseMs` is the pause before the status
// is read.
inline std::uint16_t Exchange(const Bytes& command, std::uint16_t count, Bytes* data, bool hostSends = false,
                              int pauseMs = 0) {
  BulkHandle dev = open_dev(), in = open_read(), out = open_write();
  std::uint16_t raw = 0;
  std::uint32_t done = 0;
  if (dev == kInvalidBulkHandle || in == kInvalidBulkHandle || out == kInvalidBulkHandle) {
    raw = 0x0003;
  } else if (!pipe_write(out, command.data(), 31, &done)) {
    raw = 0xFF7F;
  } else {
    if (pauseMs > 0) ::usleep(static_cast<useconds_t>(pauseMs) * 1000);
    std::uint8_t status[2];
    if (!pipe_read(in, status, 2, &done)) {
      raw = 0xFF7F;
    } else {
      raw = static_cast<std::uint16_t>(status[0] << 8 | status[1]);
      const std::uint32_t bytes = std::uint32_t{count} * 512;
      if (raw == 0 && count > 0) {
        const bool ok = hostSends ? pipe_write(out, data->data(), bytes, &done)
                                  : pipe_read(in, data->data(), bytes, &done);
        if (!ok || done != bytes) raw = 0xFF7F;
      }
      std::uint8_t completion[13];
      if (raw != 0xFF7F && !pipe_read(in, completion, 13, &done)) raw = 0xFF7F;
    }
  }
  for (BulkHandle h : {dev, in, out})
    if (h != kInvalidBulkHandle) close_handle(h);
  return raw;
}

}  // namespace player_test
