// The device link: the only road to the card.
//
// Every command is a transaction of its own: open the driver's three handles,
// send the 31-byte CommandBlock, pause 10 ms, read the 2-byte StatusReply,
// move the data (count x 512 bytes) in one transfer, read the 13-byte
// CompletionBlock, close the handles. A CompletionBlock signed "USBS" that
// reports a failure, or one that does not arrive whole, fails the command as a
// transport failure. All card data passes through the one SectorBuffer; every
// outcome is condensed into the DeviceState, which the rest of the engine
// tests after each step.
//
// Layer: it owns the DeviceState, the SectorBuffer, the four commands, the
// card source switch (card_source.h: a card image or card reader instead of
// the player), the card's lock and the player's trust check. It calls the
// bulk driver through src/dllfunc, src/Util and src/platform; src/fs above
// it calls ReadCardSectors and WriteCardSectors.
#pragma once

#include <cstdint>
#include <string>

#include "bulkusb.h"
#include "device_state.h"
#include "link_terms.h"

// The DeviceState's values are DeviceStateCode's (device_state.h).
extern DeviceStateCode DeviceState;
// The card, the player or its link is gone (no card, not attached, not
// ready): no card work can be started.
bool DeviceGone();

inline constexpr std::uint32_t kSectorSize = 512;
inline constexpr std::uint16_t kMaxSectorsPerCommand = 128;
inline constexpr std::uint32_t kSectorBufferSize = kSectorSize * kMaxSectorsPerCommand;
extern std::uint8_t SectorBuffer[kSectorBufferSize];

// Raw result codes of one command; any other value is the player's two
// status bytes (first byte * 256 + second byte).
inline constexpr std::uint16_t kRawSuccess = 0x0000;
// Transport failure: a pipe call failed or moved too few bytes, or the
// player's CompletionBlock reported the command failed.
inline constexpr std::uint16_t kRawTransportFailure = 0xFF7F;
inline constexpr std::uint16_t kRawNoHandles = 0x0003;

// Command codes (byte 16 of the CommandBlock; byte 15 is always 0xFF).
inline constexpr std::uint8_t kCmdQueryStatus = 0x00;
inline constexpr std::uint8_t kCmdWriteSectors = 0x51;
inline constexpr std::uint8_t kCmdReadSectors = 0x52;
inline constexpr std::uint8_t kCmdIdentify = 0x53;

// One command on the player. `count` sectors move through the SectorBuffer
// (reads and identify fill it, writes send it); at most 128.
std::uint16_t ExchangeCommand(std::uint8_t code, std::uint32_t lba, std::uint16_t count);

// Sector commands that leave the DeviceState alone and show nothing.
std::uint16_t ReadSectorsRaw(std::uint32_t lba, std::uint16_t count);
std::uint16_t WriteSectorsRaw(std::uint32_t lba, std::uint16_t count);
// The card information lands in the first 512 bytes of the SectorBuffer.
std::uint16_t IdentifyCard();
std::uint16_t QueryDeviceStatus();

DeviceStateCode MapDeviceState(std::uint16_t raw);

// Why the last command failed in transport (raw code 0xFF7F), for the front
// ends to word; the DeviceState keeps its own value (5). Every command sets
// it afresh, as it sets its raw code. (TransportCause: device_state.h.)
TransportCause LastTransportCause();
// The errno of the failed read or write behind kWriteProtected, kDiskFull or
// kIoError; 0 otherwise.
int LastTransportErrno();
// Counts the write commands that may have changed the card: each one that
// sent data, whole or in part, whatever its outcome. A command refused before
// any byte reached the card (a write-protected card, a busy player) does not
// count. Compared before and after a table write, it tells whether the card
// may now hold part of it.
std::uint64_t CardWritesMade();

// Sector commands that set the DeviceState and show the busy message.
void ReadCardSectors(std::uint32_t lba, std::uint16_t count);
void WriteCardSectors(std::uint32_t lba, std::uint16_t count);

// A write barrier: every write made before it is on the card before any
// write after it can reach the card. The order of the writes is what keeps
// a card cut off mid-operation safe (see fs.h), and a block device's page
// cache keeps no order of its own. Sets the DeviceState as a failed write
// would (not ready) when the card did not take the writes; nothing is done
// while the DeviceState is not ready or when no write was made since the last barrier.
void CardBarrier();
// The barrier as a raw command, leaving the DeviceState alone.
std::uint16_t CardBarrierRaw();

// Asks the player for its status, sets the DeviceState when the answer is one
// the link knows, and reports the DeviceState through the device-state hook
// (hooks.h), which returns once the front end has reacted to it.
void ProbeDevice();

void LoadFromSectorBuffer(void* dest, std::uint16_t count);
void StoreToSectorBuffer(const void* src, std::uint16_t count);

// The window's words for the sector commands' busy notice.
inline constexpr const char* kBusyMessage = " The Device is Busy\r\nPlease Reconnect the device.";

// A card attached directly (an image file or a card reader's block device)
// instead of the player: sectors move with positioned reads and writes, the
// identify command answers from the size, the status command answers 0.
// Returns false, with the reason in `error`, when the card cannot be opened.
// A block device's barriers always wait for its writes (fdatasync); an image
// file's only when `writes` is kSynced, and are otherwise left to the
// kernel, as cp leaves them.
bool AttachCardImage(const std::string& path, std::string* error, ImageWrites writes = ImageWrites::kCached);
void DetachCardImage();
bool UsingCardImage();

// ---- one program at a time on a card ---------------------------------------
//
// Every program that changes a card holds it exclusively for the whole
// operation, from the mount to the last flush; a program that only reads
// holds it shared. A card attached directly is locked with flock on the image
// or block device itself (the virtual player holds it while it serves); a
// player is locked through what it is (bulkusb's PlayerLockFile): a USB
// player's device node, or a lock file named after the virtual player's
// socket's device and inode in the folder the socket lies in. CardLock and
// CardLockResult are in link_terms.h.
//
// Takes the card in `mode`, waiting up to the lock wait (5 seconds, or
// $ZK27_LOCK_WAIT seconds when set). With no player to be found there is
// nothing to lock, and the commands will say so. Nested calls count: each
// LockCard that succeeded is matched by one UnlockCard. A lock already held
// is never given up, so a shared lock is not raised to an exclusive one
// (kLockInUse).
CardLockResult LockCard(CardLock mode);
void UnlockCard();
CardLock HeldCardLock();

// Holds the card for a scope.
class CardLockScope {
 public:
  explicit CardLockScope(CardLock mode) : result_(LockCard(mode)) {}
  ~CardLockScope() {
    if (result_ == kLockOk) UnlockCard();
  }
  CardLockScope(const CardLockScope&) = delete;
  CardLockScope& operator=(const CardLockScope&) = delete;
  CardLockResult Result() const { return result_; }

 private:
  CardLockResult result_;
};

// ---- whom the link believes ------------------------------------------------
//
// The driver refuses a player it cannot trust: the folder of the player's
// socket and lock files ($XDG_RUNTIME_DIR/zk27, else /tmp/zk27-$UID) that is
// not a real directory of the user's own with no access for others, or a
// process of another user answering on the socket. The command then finds no
// handles (raw code 0x0003), and PlayerRefusalOfLastOpen says why, for the
// front ends to word; kind kNone when nothing was refused.
using PlayerRefusal = bulkusb::OpenRefusal;
PlayerRefusal PlayerRefusalOfLastOpen();
