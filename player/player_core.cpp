#include "player_core.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform.h"

namespace player {

namespace {

using Replies = std::vector<std::vector<std::uint8_t>>;

constexpr std::uint32_t kDefaultTag = 0x30;
constexpr std::uint8_t kCompletionPassed = 0;
constexpr std::uint8_t kCompletionFailed = 1;

// Volume layout, as the player files its recordings.
constexpr std::uint32_t kBootLba = 32;
constexpr std::uint32_t kTableLba = 33;
constexpr std::uint32_t kClusterSectors = 128;
constexpr std::size_t kClusterBytes = kClusterSectors * kSectorSize;
constexpr std::size_t kEntryBytes = 32;
constexpr std::uint16_t kEndOfChain = 0xFFFF;
constexpr std::uint32_t kMaxSectorsPerTable = 256;  // 65,536 16-bit entries

std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
void PutLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void PutLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::vector<std::uint8_t> StatusReply(std::uint8_t status) { return {0x00, status}; }

std::vector<std::uint8_t> CompletionBlock(std::uint32_t tag, std::uint8_t status) {
  std::vector<std::uint8_t> block(kCompletionBlockSize, 0);
  const std::uint8_t signature[] = {0x55, 0x53, 0x42, 0x53};  // "USBS"
  std::memcpy(block.data(), signature, 4);
  PutLe32(block.data() + 4, tag);
  // Bytes 8-11: residue, always 0; byte 12: the command's outcome.
  block[12] = status;
  return block;
}

// Whole-buffer positioned I/O; a short transfer counts as a failure.
template <typename Buffer, typename Op>
bool TransferAt(Op op, int fd, Buffer* buf, std::size_t size, std::uint64_t sector) {
  std::size_t done = 0;
  while (done < size) {
    const long long n = op(fd, buf + done, size - done, sector * kSectorSize + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAt(int fd, std::uint8_t* buf, std::size_t size, std::uint64_t sector) {
  return TransferAt(platform::ReadAt, fd, buf, size, sector);
}

bool WriteAt(int fd, const std::uint8_t* buf, std::size_t size, std::uint64_t sector) {
  return TransferAt(platform::WriteAt, fd, buf, size, sector);
}

bool KnownCode(std::uint8_t code) {
  return code == kCodeQueryDeviceStatus || code == kCodeWriteCardSectors ||
         code == kCodeReadCardSectors || code == kCodeIdentifyCard;
}

// Direction flag and transfer length must agree with the command, as a bulk
// device checks them before it moves a byte.
bool Consistent(const CommandInfo& c) {
  switch (c.code) {
    case kCodeQueryDeviceStatus:
      return c.flags == 0x80 && c.transferLength == 0;
    case kCodeIdentifyCard:
      return c.flags == 0x80 && c.transferLength == kSectorSize;
    case kCodeReadCardSectors:
      return c.flags == 0x80 && c.transferLength == std::uint32_t{c.count} * kSectorSize;
    case kCodeWriteCardSectors:
      return c.flags == 0x00 && c.transferLength == std::uint32_t{c.count} * kSectorSize;
    default:
      return false;
  }
}

// The geometry of a volume, every number checked against the card.
struct Volume {
  std::uint32_t sectorsPerTable = 0;
  std::uint32_t dirStart = 0;
  std::uint32_t dirSectors = 0;
  std::uint32_t dataStart = 0;
  std::uint32_t tableEntries = 0;
  std::uint32_t usableEnd = 0;  // first cluster number past the last usable one
};

bool ReadVolume(int fd, std::uint32_t cardSectors, Volume* v) {
  if (cardSectors <= kBootLba) return false;
  std::uint8_t boot[kSectorSize];
  if (!ReadAt(fd, boot, sizeof(boot), kBootLba)) return false;
  if (std::memcmp(boot + 3, "VOXBRICK", 8) != 0 || boot[510] != 0x12 || boot[511] != 0x34) return false;
  const std::uint32_t rootEntries = Le16(boot + 17);
  const std::uint32_t sectorsPerTable = Le16(boot + 22);
  const std::uint32_t totalSectors = Le32(boot + 32);
  if (sectorsPerTable == 0 || sectorsPerTable > kMaxSectorsPerTable) return false;
  if (totalSectors == 0) return false;  // never formatted
  v->sectorsPerTable = sectorsPerTable;
  v->dirSectors = rootEntries * kEntryBytes / kSectorSize;
  if (v->dirSectors == 0) return false;
  v->dirStart = kTableLba + 2 * sectorsPerTable;
  v->dataStart = v->dirStart + v->dirSectors;
  // Clusters lie inside both the card and the volume the boot sector states.
  const std::uint32_t end = std::min(cardSectors, totalSectors);
  if (v->dataStart > end) return false;
  v->tableEntries = sectorsPerTable * (kSectorSize / 2);
  const std::uint64_t clustersInside = (end - v->dataStart) / kClusterSectors;
  std::uint64_t usableEnd = 2 + clustersInside;
  usableEnd = std::min<std::uint64_t>(usableEnd, v->tableEntries);
  usableEnd = std::min<std::uint64_t>(usableEnd, kEndOfChain);  // 0xFFFF is the end mark
  v->usableEnd = static_cast<std::uint32_t>(usableEnd);
  return true;
}

}  // namespace

CommandInfo ParseCommandBlock(const std::uint8_t* data, std::size_t size) {
  CommandInfo info;
  if (data == nullptr || size < kCommandBlockSize) return info;
  info.tag = Le32(data + 4);
  info.transferLength = Be32(data + 8);
  info.flags = data[12];
  info.code = data[16];
  info.lba = Be32(data + 17);
  info.count = Be16(data + 21);
  const std::uint8_t signature[] = {0x55, 0x53, 0x42, 0x43};  // "USBC"
  info.wellFormed = size == kCommandBlockSize && std::memcmp(data, signature, 4) == 0 &&
                    data[13] == 0 && data[14] == 10 && data[15] == 0xFF;
  return info;
}

const char* RecordResultText(RecordResult result) {
  switch (result) {
    case RecordResult::kOk: return "recorded";
    case RecordResult::kNoCard: return "there is no card in the player";
    case RecordResult::kNoVolume: return "the card does not carry a usable volume";
    case RecordResult::kDirectoryFull: return "the card's directory is full";
    case RecordResult::kNumbersExhausted: return "the voice file numbers have reached 127";
    case RecordResult::kCardFull: return "not enough free space on the card";
    case RecordResult::kTooLarge: return "the recording is too large for a card file";
    case RecordResult::kIoError: return "the card image could not be read or written";
  }
  return "unknown result";
}

PlayerCore::PlayerCore(int imageFd) : fd_(imageFd) {
  platform::FileState st;
  if (platform::StateOf(fd_, &st) && st.size > 0) {
    sectorCount_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(st.size / kSectorSize, 0xFFFFFFFFu));
  }
}

void PlayerCore::BeginCommand() {
  writeExpected_ = 0;
  writeReceived_ = 0;
  writeBuffer_.clear();
}

Step PlayerCore::OnHostMessage(const std::uint8_t* data, std::size_t size, Replies& replies) {
  if (writeExpected_ > 0) return TakeWriteData(data, size, replies);
  return StartCommand(data, size, replies);
}

std::uint8_t PlayerCore::Judge(const CommandInfo& c) {
  if (!c.wellFormed || !KnownCode(c.code) || !Consistent(c)) return kStatusRefused;
  if (!cardPresent_) return kStatusNoCard;
  if (notReady_) return kStatusRefused;
  if (busy_) return kStatusBusy;
  if (recheckPending_) {
    recheckPending_ = false;
    return kStatusRecheck;
  }
  if (c.code == kCodeReadCardSectors || c.code == kCodeWriteCardSectors) {
    if (c.count > kMaxSectorsPerCommand) return kStatusRefused;
    if (std::uint64_t{c.lba} + c.count > sectorCount_) return kStatusRefused;
  }
  return kStatusOk;
}

Step PlayerCore::StartCommand(const std::uint8_t* data, std::size_t size, Replies& replies) {
  const CommandInfo c = ParseCommandBlock(data, size);
  const std::uint64_t number = ++commands_;
  if (observer_) observer_(number, c);
  if (failCountdown_ > 0 && --failCountdown_ == 0) return Step::kDrop;

  const std::uint32_t tag = c.wellFormed ? c.tag : kDefaultTag;
  std::uint8_t status = Judge(c);
  if (status != kStatusOk) {
    replies.push_back(StatusReply(status));
    replies.push_back(CompletionBlock(tag, kCompletionFailed));
    return Step::kComplete;
  }

  switch (c.code) {
    case kCodeIdentifyCard: {
      std::vector<std::uint8_t> card(kSectorSize, 0);
      card[0] = identify_[0];
      card[1] = identify_[1];
      for (int i = 0; i < 4; ++i) card[14 + i] = static_cast<std::uint8_t>(sectorCount_ >> (24 - 8 * i));
      replies.push_back(StatusReply(kStatusOk));
      replies.push_back(std::move(card));
      break;
    }
    case kCodeReadCardSectors: {
      // Read before answering: a card that cannot be read refuses the
      // command instead of sending a good status and then nothing.
      std::vector<std::uint8_t> buf(std::size_t{c.count} * kSectorSize);
      if (!buf.empty() && !ReadAt(fd_, buf.data(), buf.size(), c.lba)) {
        replies.push_back(StatusReply(kStatusRefused));
        replies.push_back(CompletionBlock(tag, kCompletionFailed));
        return Step::kComplete;
      }
      replies.push_back(StatusReply(kStatusOk));
      if (!buf.empty()) replies.push_back(std::move(buf));  // the whole data phase, one message
      break;
    }
    case kCodeWriteCardSectors:
      replies.push_back(StatusReply(kStatusOk));
      if (c.count == 0) break;
      writeLba_ = c.lba;
      writeTag_ = tag;
      writeExpected_ = c.count;
      writeReceived_ = 0;
      writeBuffer_.assign(std::size_t{c.count} * kSectorSize, 0);
      return Step::kAwaitData;
    default:  // QueryDeviceStatus: the status is the answer
      replies.push_back(StatusReply(kStatusOk));
      break;
  }
  replies.push_back(CompletionBlock(tag, kCompletionPassed));
  return Step::kComplete;
}

Step PlayerCore::TakeWriteData(const std::uint8_t* data, std::size_t size, Replies& replies) {
  // A host sends the data phase as one message; a USB host controller may
  // still hand it over in several transfers of whole sectors.
  const std::size_t room = static_cast<std::size_t>(writeExpected_ - writeReceived_) * kSectorSize;
  if (data == nullptr || size == 0 || size % kSectorSize != 0 || size > room) {
    // Not the data of this write: the transfer is broken and nothing of it
    // is written.
    BeginCommand();
    return Step::kDrop;
  }
  std::memcpy(writeBuffer_.data() + std::size_t{writeReceived_} * kSectorSize, data, size);
  writeReceived_ = static_cast<std::uint16_t>(writeReceived_ + size / kSectorSize);
  if (writeReceived_ < writeExpected_) return Step::kAwaitData;
  // The whole transfer reaches the image in one call before the completion
  // leaves, so a player stopped at any moment keeps every completed write.
  const bool written = WriteAt(fd_, writeBuffer_.data(), writeBuffer_.size(), writeLba_);
  replies.push_back(CompletionBlock(writeTag_, written ? kCompletionPassed : kCompletionFailed));
  BeginCommand();
  return Step::kComplete;
}

RecordResult PlayerCore::Record(std::span<const std::uint8_t> bytes, RecordInfo* info) {
  if (!cardPresent_) return RecordResult::kNoCard;
  if (bytes.size() > 0xFFFFFFFFu) return RecordResult::kTooLarge;

  Volume v;
  if (!ReadVolume(fd_, sectorCount_, &v)) return RecordResult::kNoVolume;

  std::vector<std::uint8_t> table(std::size_t{v.sectorsPerTable} * kSectorSize);
  std::vector<std::uint8_t> dir(std::size_t{v.dirSectors} * kSectorSize);
  if (!ReadAt(fd_, table.data(), table.size(), kTableLba) || !ReadAt(fd_, dir.data(), dir.size(), v.dirStart))
    return RecordResult::kIoError;

  unsigned highestVoice = 0;
  std::size_t freeEntry = dir.size();
  for (std::size_t at = 0; at < dir.size(); at += kEntryBytes) {
    const std::uint8_t id = dir[at + 12];
    if (id == 0) {
      if (freeEntry == dir.size()) freeEntry = at;
      continue;
    }
    if (id & 0x80) highestVoice = std::max<unsigned>(highestVoice, id & 0x7F);
  }
  if (freeEntry == dir.size()) return RecordResult::kDirectoryFull;
  if (highestVoice >= 127) return RecordResult::kNumbersExhausted;

  const std::size_t needed = (bytes.size() + kClusterBytes - 1) / kClusterBytes;
  std::vector<std::uint16_t> clusters;
  clusters.reserve(needed);
  for (std::uint32_t n = 2; n < v.usableEnd && clusters.size() < needed; ++n) {
    if (Le16(table.data() + 2 * n) == 0) clusters.push_back(static_cast<std::uint16_t>(n));
  }
  if (clusters.size() < needed) return RecordResult::kCardFull;

  // Data first: until the tables name them, the clusters are still free, so
  // a recording cut short leaves the volume as it was.
  std::vector<std::uint8_t> chunk(kClusterBytes);
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    const std::size_t from = i * kClusterBytes;
    const std::size_t take = std::min(kClusterBytes, bytes.size() - from);
    std::memcpy(chunk.data(), bytes.data() + from, take);
    std::fill(chunk.begin() + static_cast<std::ptrdiff_t>(take), chunk.end(), 0);
    const std::uint64_t lba = v.dataStart + std::uint64_t{clusters[i] - 2u} * kClusterSectors;
    if (!WriteAt(fd_, chunk.data(), chunk.size(), lba)) return RecordResult::kIoError;
  }

  for (std::size_t i = 0; i < clusters.size(); ++i) {
    const std::uint16_t next = i + 1 < clusters.size() ? clusters[i + 1] : kEndOfChain;
    PutLe16(table.data() + 2 * clusters[i], next);
  }
  if (!WriteAt(fd_, table.data(), table.size(), kTableLba) ||
      !WriteAt(fd_, table.data(), table.size(), kTableLba + v.sectorsPerTable))
    return RecordResult::kIoError;

  // A recording has no name yet (mark and slot 0); the card manager names it
  // when it next lists the card.
  const std::uint8_t fileId = static_cast<std::uint8_t>((highestVoice + 1) | 0x80);
  const std::uint16_t first = clusters.empty() ? kEndOfChain : clusters.front();
  const std::uint32_t size = static_cast<std::uint32_t>(bytes.size());
  std::uint8_t* entry = dir.data() + freeEntry;
  std::fill(entry, entry + kEntryBytes, 0);
  entry[12] = fileId;
  entry[13] = 1;
  PutLe16(entry + 26, first);
  PutLe32(entry + 28, size);
  const std::size_t dirSector = freeEntry / kSectorSize;
  if (!WriteAt(fd_, dir.data() + dirSector * kSectorSize, kSectorSize, v.dirStart + dirSector))
    return RecordResult::kIoError;

  if (info) {
    info->fileId = fileId;
    info->dirLba = static_cast<std::uint32_t>(v.dirStart + dirSector);
    info->dirOffset = static_cast<std::uint16_t>(freeEntry % kSectorSize);
    info->firstCluster = first;
    info->clusterCount = static_cast<std::uint32_t>(clusters.size());
    info->size = size;
  }
  return RecordResult::kOk;
}

}  // namespace player
