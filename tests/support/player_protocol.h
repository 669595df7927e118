// The player's messages built byte by byte, and one command sent through the
// driver the way the device link sends it.
#pragma once

#include <cstdint>

#include "bulkusb.h"
#include "support/files.h"

namespace zk27_test {

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

// One command through the driver, the way the device link runs it. Returns
// the status bytes as a number, 0xFF7F for a failed pipe call, 0x0003 when
// the handles could not be opened.
inline std::uint16_t Exchange(const Bytes& command, std::uint16_t count, Bytes* data, bool hostSends = false) {
  BulkHandle dev = open_dev(), in = open_read(), out = open_write();
  std::uint16_t raw = 0;
  std::uint32_t done = 0;
  if (dev == kInvalidBulkHandle || in == kInvalidBulkHandle || out == kInvalidBulkHandle) {
    raw = 0x0003;
  } else if (!pipe_write(out, command.data(), 31, &done)) {
    raw = 0xFF7F;
  } else {
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

}  // namespace zk27_test
