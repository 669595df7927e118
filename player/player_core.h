// The virtual player's core: the player as the PC sees it, over a card image.
//
// A pure state machine. It owns no socket and no thread; an adaptor feeds it
// the host's messages of one command conversation and delivers the replies it
// produces (the in-process backend for tests, the zk27-player daemon for
// everything else). The card is a regular file whose size is a whole number
// of 512-byte sectors; the core reads and writes it with positioned calls, so
// the file always holds what the completed commands left there.
//
// One conversation carries one command:
//   host  -> CommandBlock (31 bytes)
//   player-> StatusReply (2 bytes)
//   host  -> the data, count x 512 bytes in one message   (write, status OK only)
//   player-> the data, count x 512 bytes in one message   (read or identify, status OK only)
//   player-> CompletionBlock (13 bytes)
// A non-zero status moves no data but is still followed by the completion.
//
// Failures are return codes; nothing here throws, prints or exits.
//
// Layer: the virtual player, a program of its own. It owns the player's side
// of the protocol (this core), its card image, the daemon around it and the
// USB gadget. It calls the bulk driver's backend interface (to sit behind it
// in-process), the voice decoder's writer and src/Util; the engine never
// calls it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace player {

inline constexpr std::size_t kSectorSize = 512;
inline constexpr std::size_t kCommandBlockSize = 31;
inline constexpr std::size_t kStatusReplySize = 2;
inline constexpr std::size_t kCompletionBlockSize = 13;
inline constexpr std::uint16_t kMaxSectorsPerCommand = 128;

// Command codes (byte 16 of a CommandBlock; byte 15 is always 0xFF).
inline constexpr std::uint8_t kCodeQueryDeviceStatus = 0x00;
inline constexpr std::uint8_t kCodeWriteCardSectors = 0x51;
inline constexpr std::uint8_t kCodeReadCardSectors = 0x52;
inline constexpr std::uint8_t kCodeIdentifyCard = 0x53;

// Second byte of a StatusReply (the first is always 0).
inline constexpr std::uint8_t kStatusOk = 0x00;
inline constexpr std::uint8_t kStatusBusy = 0x01;
inline constexpr std::uint8_t kStatusRecheck = 0x02;
inline constexpr std::uint8_t kStatusRefused = 0x7F;  // not ready; malformed, out of range, unknown, I/O error
inline constexpr std::uint8_t kStatusNoCard = 0x80;

// What arrived where a CommandBlock was expected. `wellFormed` is false for a
// message that is not a CommandBlock at all; the other fields are then only
// what could be read from it (zero when the message was too short).
struct CommandInfo {
  bool wellFormed = false;
  std::uint8_t code = 0;
  std::uint8_t flags = 0;
  std::uint32_t tag = 0;
  std::uint32_t transferLength = 0;
  std::uint32_t lba = 0;
  std::uint16_t count = 0;
};

// Parses `size` bytes as a CommandBlock. Never reads past `size`.
CommandInfo ParseCommandBlock(const std::uint8_t* data, std::size_t size);

// What the adaptor must do after handing the core one host message.
enum class Step {
  kAwaitData,  // a write is collecting its pieces: keep the conversation open
  kComplete,   // the command is over; its replies (completion included) are queued
  kDrop,       // transport failure: send nothing more, drop the connection
};

enum class RecordResult {
  kOk,
  kNoCard,             // the card is ejected
  kNoVolume,           // the card does not carry a usable volume
  kDirectoryFull,      // no free directory entry
  kNumbersExhausted,   // the voice numbers have reached 127
  kCardFull,           // not enough free clusters
  kTooLarge,           // more bytes than a file size field can hold
  kIoError,            // the image could not be read or written
};

// A short English description of `result`, for the daemon's replies.
const char* RecordResultText(RecordResult result);

// Where a recording landed.
struct RecordInfo {
  std::uint8_t fileId = 0;
  std::uint32_t dirLba = 0;         // directory sector that holds the entry
  std::uint16_t dirOffset = 0;      // byte offset of the entry in that sector
  std::uint16_t firstCluster = 0;   // 0xFFFF for an empty recording
  std::uint32_t clusterCount = 0;
  std::uint32_t size = 0;
};

class PlayerCore {
 public:
  // Called when a message arrives where a CommandBlock is expected, before the
  // command is judged: faults set from here apply to this very command
  // (FailAfter(1) fails it). `commandNumber` counts from 1 since construction.
  using CommandObserver = std::function<void(std::uint64_t commandNumber, const CommandInfo&)>;

  // `imageFd` stays owned by the caller and must stay open for the core's life.
  // The card's size is the file's size in whole sectors at construction.
  explicit PlayerCore(int imageFd);

  PlayerCore(const PlayerCore&) = delete;
  PlayerCore& operator=(const PlayerCore&) = delete;

  // Starts a new conversation: a half-received write is discarded unwritten.
  void BeginCommand();

  // Consumes one host message: a CommandBlock, or the data of the write in
  // progress (all of it, or a part of whole sectors, as a USB host controller
  // may split one transfer). Appends the player's replies, one element per message.
  Step OnHostMessage(const std::uint8_t* data, std::size_t size,
                     std::vector<std::vector<std::uint8_t>>& replies);

  // True while a write collects its data.
  bool AwaitingData() const { return writeExpected_ > 0; }
  // The bytes of the write's data still to come (0 when none is awaited).
  std::size_t DataAwaited() const { return static_cast<std::size_t>(writeExpected_ - writeReceived_) * kSectorSize; }

  std::uint32_t SectorCount() const { return sectorCount_; }
  std::uint64_t CommandsServed() const { return commands_; }

  // Fault state.
  void Eject() { cardPresent_ = false; }
  void Insert() { cardPresent_ = true; }
  bool CardPresent() const { return cardPresent_; }
  void SetBusy(bool on) { busy_ = on; }
  bool Busy() const { return busy_; }
  // Not ready: every command is refused with the "not ready" status, as by a
  // player that is still starting up.
  void SetNotReady(bool on) { notReady_ = on; }
  bool NotReady() const { return notReady_; }
  // The next command the player can answer (card present, not busy) reports
  // "must re-check" instead of running; the one after runs normally.
  void RequestRecheck() { recheckPending_ = true; }
  bool RecheckPending() const { return recheckPending_; }
  // Unplugged: the adaptors refuse new connections. The core keeps serving
  // whatever it is handed.
  void SetPlugged(bool on) { plugged_ = on; }
  bool Plugged() const { return plugged_; }
  // The n-th command from now (1 = the next one) is received and then left
  // unanswered with its connection dropped; once. 0 cancels.
  void FailAfter(std::uint64_t n) { failCountdown_ = n; }
  std::uint64_t FailCountdown() const { return failCountdown_; }
  void SetObserver(CommandObserver observer) { observer_ = std::move(observer); }
  // The first two bytes of the identify reply: 0x84 0x8A for a CompactFlash
  // card; others stand for a card the PC must not format.
  void SetIdentifyBytes(std::uint8_t first, std::uint8_t second) { identify_[0] = first, identify_[1] = second; }

  // Stores `bytes` on the card as a new, unnamed voice file, the way the
  // player files its own recordings: data clusters first, then both
  // allocation tables, then the directory sector. A refusal leaves the card
  // untouched.
  RecordResult Record(std::span<const std::uint8_t> bytes, RecordInfo* info = nullptr);

 private:
  Step StartCommand(const std::uint8_t* data, std::size_t size,
                    std::vector<std::vector<std::uint8_t>>& replies);
  Step TakeWriteData(const std::uint8_t* data, std::size_t size,
                      std::vector<std::vector<std::uint8_t>>& replies);
  std::uint8_t Judge(const CommandInfo& info);

  int fd_;
  std::uint32_t sectorCount_ = 0;
  std::uint64_t commands_ = 0;

  bool cardPresent_ = true;
  bool busy_ = false;
  bool notReady_ = false;
  bool recheckPending_ = false;
  bool plugged_ = true;
  std::uint64_t failCountdown_ = 0;
  CommandObserver observer_;
  std::uint8_t identify_[2] = {0x84, 0x8A};

  // The write in progress.
  std::uint32_t writeLba_ = 0;
  std::uint32_t writeTag_ = 0;
  std::uint16_t writeExpected_ = 0;
  std::uint16_t writeReceived_ = 0;
  std::vector<std::uint8_t> writeBuffer_;
};

}  // namespace player
