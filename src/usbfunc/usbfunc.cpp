#include "usbfunc.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "bulkusb.h"
#include "card_source.h"
#include "hooks.h"
#include "platform.h"

DeviceStateCode DeviceState = kDeviceReady;
std::uint8_t SectorBuffer[kSectorBufferSize];

namespace {

TransportCause g_cause = TransportCause::kNone;
int g_causeErrno = 0;
std::uint64_t g_writesMade = 0;

constexpr std::size_t kCommandBlockSize = 31;
constexpr std::size_t kStatusReplySize = 2;
constexpr std::size_t kCompletionBlockSize = 13;

void PutBigEndian(std::uint8_t* p, std::uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    p[i] = static_cast<std::uint8_t>(value);
    value >>= 8;
  }
}

void FillCommandBlock(std::uint8_t* block, std::uint8_t code, std::uint32_t lba, std::uint16_t count) {
  std::memset(block, 0, kCommandBlockSize);
  block[0] = 0x55;  // "USBC", little-endian 0x43425355
  block[1] = 0x53;
  block[2] = 0x42;
  block[3] = 0x43;
  block[4] = 0x30;  // tag, the same for every command
  PutBigEndian(block + 8, static_cast<std::uint32_t>(count) * kSectorSize, 4);
  block[12] = code == kCmdWriteSectors ? 0x00 : 0x80;
  block[13] = 0;
  block[14] = 10;
  block[15] = 0xFF;
  block[16] = code;
  PutBigEndian(block + 17, lba, 4);
  PutBigEndian(block + 21, count, 2);
}

// One call on a pipe that must move exactly `size` bytes; a short transfer is
// as much a failure as a failed call, since the missing bytes were never sent.
bool ReadExactly(BulkHandle pipe, void* buf, std::uint32_t size) {
  std::uint32_t done = 0;
  return pipe_read(pipe, buf, size, &done) && done == size;
}

bool WriteExactly(BulkHandle pipe, const void* buf, std::uint32_t size) {
  std::uint32_t done = 0;
  return pipe_write(pipe, buf, size, &done) && done == size;
}

// Reads the CompletionBlock that ends every exchange and tells whether the
// player let the command pass. A write the player could not store on its card
// is only told here, after the data phase: a block signed "USBS" (0x53425355,
// little-endian) with a non-zero status byte 12 is a failed command. A block
// that does not come whole is a failed command too, since the player's word on
// it never arrived; a block signed otherwise is a player's own and says nothing.
// `*whole` is false when the block did not come whole.
bool CompletionPassed(BulkHandle in, bool* whole) {
  std::uint8_t completion[kCompletionBlockSize];
  *whole = ReadExactly(in, completion, kCompletionBlockSize);
  if (!*whole) return false;
  static constexpr std::uint8_t kSigned[] = {0x55, 0x53, 0x42, 0x53};  // "USBS"
  return std::memcmp(completion, kSigned, sizeof(kSigned)) != 0 || completion[12] == 0;
}

// The 10 ms pause of every command is what a transfer's time is made of, so
// it should last 10 ms and hardly more. A sleep alone wakes up late by the
// kernel's timer slack (50 us unless lowered) and by the scheduler's latency
// (100 us and more on a virtual machine); so the pause sleeps until shortly
// before its end and waits out the rest awake. It never ends early.
void PauseTenMilliseconds() {
  static const bool slackLowered = [] {
    platform::LowerTimerSlack();
    return true;
  }();
  (void)slackLowered;
  using Clock = std::chrono::steady_clock;
  constexpr auto kPause = std::chrono::milliseconds(10);
  constexpr auto kAwake = std::chrono::microseconds(300);  // above a usual late wake-up
  const Clock::time_point end = Clock::now() + kPause;
  std::this_thread::sleep_until(end - kAwake);
  while (Clock::now() < end) std::this_thread::yield();
}

}  // namespace

namespace card_source {

void NoteFailure(TransportCause cause, int error) {
  g_cause = cause;
  g_causeErrno = error;
}

void NoteWriteMade() { ++g_writesMade; }

}  // namespace card_source

TransportCause LastTransportCause() { return g_cause; }
int LastTransportErrno() { return g_causeErrno; }
std::uint64_t CardWritesMade() { return g_writesMade; }

std::uint16_t ExchangeCommand(std::uint8_t code, std::uint32_t lba, std::uint16_t count) {
  card_source::NoteFailure(TransportCause::kNone, 0);
  // The SectorBuffer holds 128 sectors; a larger request would overrun it.
  if (count > kMaxSectorsPerCommand) return kRawTransportFailure;

  BulkHandle dev = open_dev();
  BulkHandle in = open_read();
  BulkHandle out = open_write();
  if (dev == kInvalidBulkHandle || in == kInvalidBulkHandle || out == kInvalidBulkHandle) {
    if (out != kInvalidBulkHandle) close_handle(out);
    if (in != kInvalidBulkHandle) close_handle(in);
    if (dev != kInvalidBulkHandle) close_handle(dev);
    return kRawNoHandles;
  }

  std::uint8_t block[kCommandBlockSize];
  FillCommandBlock(block, code, lba, count);
  std::uint16_t raw;
  // A pipe call that fails, times out or moves part of what it should: the
  // player no longer answers as it must.
  bool answered = true;
  if (!WriteExactly(out, block, kCommandBlockSize)) {
    raw = kRawTransportFailure;
    answered = false;
  } else {
    PauseTenMilliseconds();
    std::uint8_t status[kStatusReplySize];
    answered = ReadExactly(in, status, kStatusReplySize);
    raw = answered ? static_cast<std::uint16_t>(status[0] * 256 + status[1]) : kRawTransportFailure;
    if (raw == kRawSuccess && count > 0 && code != kCmdQueryStatus) {
      // The whole data phase in one call: one message on the socket, one bulk
      // transfer on USB. The player sees the same packets either way, but a
      // call per sector would wait for the bus once per sector.
      const std::uint32_t bytes = static_cast<std::uint32_t>(count) * kSectorSize;
      // From here on the card may hold some of the data, whatever follows.
      if (code == kCmdWriteSectors) card_source::NoteWriteMade();
      answered = code == kCmdWriteSectors ? WriteExactly(out, SectorBuffer, bytes)
                                          : ReadExactly(in, SectorBuffer, bytes);
      if (!answered) raw = kRawTransportFailure;
    }
    if (raw != kRawTransportFailure) {
      // Read after a non-zero status too; that status then stays the answer,
      // as it says better why the command failed.
      bool whole = true;
      const bool passed = CompletionPassed(in, &whole);
      if (raw == kRawSuccess && !passed) raw = kRawTransportFailure;
      answered = whole;
    }
  }
  if (!answered) card_source::NoteFailure(TransportCause::kNoAnswer, 0);
  close_handle(out);
  close_handle(in);
  close_handle(dev);
  return raw;
}

namespace {
std::uint16_t PlayerRead(std::uint32_t lba, std::uint16_t count) {
  return ExchangeCommand(kCmdReadSectors, lba, count);
}
std::uint16_t PlayerWrite(std::uint32_t lba, std::uint16_t count) {
  return ExchangeCommand(kCmdWriteSectors, lba, count);
}
std::uint16_t PlayerIdentify() { return ExchangeCommand(kCmdIdentify, 0, 1); }
std::uint16_t PlayerStatus() { return ExchangeCommand(kCmdQueryStatus, 0, 0); }
// The player has no flush: a write command completes on its card.
std::uint16_t PlayerBarrier() { return kRawSuccess; }
}  // namespace

const card_source::Operations card_source::kPlayerOperations = {PlayerRead, PlayerWrite, PlayerIdentify,
                                                                PlayerStatus, PlayerBarrier};

// Every command starts with no cause of failure; the road it takes notes one.
std::uint16_t ReadSectorsRaw(std::uint32_t lba, std::uint16_t count) {
  card_source::NoteFailure(TransportCause::kNone, 0);
  return card_source::Current().read(lba, count);
}

std::uint16_t WriteSectorsRaw(std::uint32_t lba, std::uint16_t count) {
  card_source::NoteFailure(TransportCause::kNone, 0);
  return card_source::Current().write(lba, count);
}

std::uint16_t IdentifyCard() {
  card_source::NoteFailure(TransportCause::kNone, 0);
  return card_source::Current().identify();
}

std::uint16_t QueryDeviceStatus() {
  card_source::NoteFailure(TransportCause::kNone, 0);
  return card_source::Current().status();
}

std::uint16_t CardBarrierRaw() {
  card_source::NoteFailure(TransportCause::kNone, 0);
  return card_source::Current().barrier();
}

namespace {
// The count of writes made when the last barrier passed.
std::uint64_t g_writesAtBarrier = 0;
}  // namespace

void CardBarrier() {
  if (DeviceState != kDeviceReady || g_writesMade == g_writesAtBarrier) return;
  DeviceState = MapDeviceState(CardBarrierRaw());
  if (DeviceState == kDeviceReady) g_writesAtBarrier = g_writesMade;
}

bool DeviceGone() {
  return DeviceState == kDeviceNoCard || DeviceState == kDeviceNotAttached || DeviceState == kDeviceNotReady;
}

DeviceStateCode MapDeviceState(std::uint16_t raw) {
  switch (raw & 0xFF) {
    case 0x00:
      // A non-zero first status byte held the data back: that is no success.
      return raw == 0 ? kDeviceReady : kDeviceNotReady;
    case 0x01: return kDeviceBusy;
    case 0x80: return kDeviceNoCard;
    case 0x02: return kDeviceRecheck;
    case 0x03: return kDeviceNotAttached;
    case 0x7F: return kDeviceNotReady;
    default: return kDeviceNotReady;  // a status the link does not know: the command failed
  }
}

namespace {
void SetStateAfterSectorCommand(std::uint16_t raw) {
  DeviceState = MapDeviceState(raw);
  if (DeviceState == kDeviceBusy) ShowNotice(Notice::kSectorBusy);
}
}  // namespace

void ReadCardSectors(std::uint32_t lba, std::uint16_t count) {
  SetStateAfterSectorCommand(ReadSectorsRaw(lba, count));
}

void WriteCardSectors(std::uint32_t lba, std::uint16_t count) {
  SetStateAfterSectorCommand(WriteSectorsRaw(lba, count));
}

void ProbeDevice() {
  SetBusyCursor(true);
  const std::uint16_t raw = QueryDeviceStatus();
  switch (raw & 0xFF) {
    case 0x00: case 0x01: case 0x80: case 0x02: case 0x03: case 0x7F:
      DeviceState = MapDeviceState(raw);
      break;
    default:
      break;  // an answer the link does not know leaves the state as it was
  }
  ReportDeviceState(DeviceState);
  SetBusyCursor(false);
}

void LoadFromSectorBuffer(void* dest, std::uint16_t count) {
  if (count > kMaxSectorsPerCommand) count = kMaxSectorsPerCommand;
  std::memcpy(dest, SectorBuffer, static_cast<std::size_t>(count) * kSectorSize);
}

void StoreToSectorBuffer(const void* src, std::uint16_t count) {
  if (count > kMaxSectorsPerCommand) count = kMaxSectorsPerCommand;
  std::memcpy(SectorBuffer, src, static_cast<std::size_t>(count) * kSectorSize);
}
