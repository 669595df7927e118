// Full-size commands through a running zk27-player, timed: every command
// holds the host's 10 ms pause, so the commands can take no less than
// count x 10 ms, and what they take beyond that is the player's and the
// link's own cost.
//
// Sends `count` commands of 128 sectors (default 30), a write and then a read
// of what it wrote, in turn, through the device link the engine uses, to the
// player that ZK27_PLAYER_SOCKET names. Prints one line:
//   commands N seconds S pauses P fraction F
// where F = P / S (1.00 would be a link with no cost of its own). Exit status
// 1 when a command fails or a read does not bring back what was written.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "usbfunc.h"

int main(int argc, char** argv) {
  int count = 30;
  if (argc > 2 || (argc == 2 && (count = std::atoi(argv[1])) < 2)) {
    std::fprintf(stderr, "usage: %s [COMMANDS (at least 2)]\n", argv[0]);
    return 2;
  }
  constexpr std::uint16_t kSectors = kMaxSectorsPerCommand;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    const bool write = i % 2 == 0;
    const std::uint32_t lba = kSectors * static_cast<std::uint32_t>(write ? i : i - 1);
    const std::uint8_t fill = static_cast<std::uint8_t>(0x5A + i / 2);
    if (write) std::memset(SectorBuffer, fill, kSectorBufferSize);
    else std::memset(SectorBuffer, 0, kSectorBufferSize);
    const std::uint16_t raw = ExchangeCommand(write ? kCmdWriteSectors : kCmdReadSectors, lba, kSectors);
    if (raw != kRawSuccess) {
      std::fprintf(stderr, "command %d (%s at %u) failed: 0x%04X\n", i + 1, write ? "write" : "read", lba, raw);
      return 1;
    }
    if (!write) {
      for (std::uint32_t k = 0; k < kSectorBufferSize; ++k)
        if (SectorBuffer[k] != fill) {
          std::fprintf(stderr, "command %d: the read at %u did not bring back what was written\n", i + 1, lba);
          return 1;
        }
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double pauses = count * 0.010;
  std::printf("commands %d seconds %.4f pauses %.3f fraction %.3f\n", count, seconds, pauses, pauses / seconds);
  return 0;
}
