// Moving files between the PC and the card.
#include <atomic>
#include <cerrno>
#include <cstring>

#include "cardops.h"
#include "fs.h"
#include "passes.h"
#include "platform.h"
#include "text.h"
#include "usbfunc.h"

namespace {

// Closes the file descriptor when the operation leaves by any road.
class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  ~FileCloser() { Close(); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
  void Close() {
    if (fd_ >= 0) platform::CloseFile(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) { return platform::WriteAll(fd, data, size); }

}  // namespace

CardOpResult SendFileToCard(const std::string& pcPath, const std::string& pcName,
                            const ProgressFn& progress) {
  // Without blocking: a named pipe would wait for a writer for ever.
  const int fd = platform::OpenFile(pcPath, platform::kOpenRead | platform::kNoWait);
  FileCloser closer(fd);
  if (DeviceGone()) return kOpDeviceGone;
  if (!VolumeImage.mounted) return kOpDeviceFailed;
  platform::FileState st;
  if (fd < 0 || !platform::StateOf(fd, &st) || st.kind != platform::FileKind::kRegular) return kOpCannotOpenPcFile;
  // Reads of a regular file never wait, so O_NONBLOCK may stay set.

  const std::uint64_t size = st.size;
  const FileKind kind = FileKindOf(pcName);
  const std::uint64_t needed = (size + kClusterBytes - 1) / kClusterBytes;
  // The size field holds 32 bits: a larger file fits no card.
  if (size > 0xFFFFFFFFull || !HasFreeClusters(static_cast<std::uint32_t>(needed))) return kOpNoSpace;
  if (kind != kKindMusic && kind != kKindVoice) return kOpWrongKind;

  // Every limit is checked before any data reaches the card.
  std::string cardName;
  if (const CardOpResult refused = CardNameForNew(pcName, &cardName); refused != kOpOk) return refused;
  if (FindFreeDirEntry() == kNoDirEntry) return kOpDirectoryFull;
  if (FindFreeNameSlot() == kNoNameSlot) return kOpNameTableFull;
  if (NextFileId(kind) == 0) return kOpNoFileIdLeft;
  // Two files of one name could not be told apart: the second could never
  // be fetched or deleted by its name.
  if (CardNameOnCard(cardName)) return kOpNameOnCard;
  const std::uint64_t changesBefore = DirectoryChanges();

  const auto clusters = static_cast<std::uint32_t>(needed);
  CollectFreeClusters(clusters);
  if (progress) progress(0, clusters);
  std::uint32_t i = 0;
  for (std::uint16_t x = ClusterAt(0); x != kEndOfChain && x != 0 && DeviceState == kDeviceReady; x = ClusterAt(i)) {
    // Until the tables are written the clusters stay free on the card: a
    // file stopped here leaves nothing behind.
    if (StopRequested()) return kOpStopped;
    const long got = WriteFileChunk(fd, ClusterLba(x), kClusterBytes);
    const std::uint64_t expected = std::min<std::uint64_t>(kClusterBytes, size - std::uint64_t{i} * kClusterBytes);
    // A file that shrank or cannot be read would be stored with holes.
    if (got < 0 || static_cast<std::uint64_t>(got) != expected) return kOpPcReadFailed;
    ++i;
    if (progress) progress(i, clusters);
  }
  closer.Close();

  if (DeviceState != kDeviceReady) return kOpDeviceFailed;
  if (StopRequested()) return kOpStopped;
  const std::uint16_t pos = FindFreeDirEntry();
  if (pos == kNoDirEntry) return kOpDirectoryFull;
  CreateDirEntry(pos, cardName, static_cast<std::uint32_t>(size), kind);
  LinkClusterChain(clusters);
  FlushVolume();
  if (DeviceState == kDeviceReady) {
    AddedCardName(cardName, changesBefore);
    return kOpOk;
  }
  // The card's tables may be half written. The file is not stored, so the
  // image forgets it too: the card list must not show it, and the next table
  // write puts the tables right again.
  ReleaseDirEntry(UnpackDirEntryPos(pos));
  return kOpFlushFailed;
}

CardOpResult FetchCardFile(std::int32_t r, int file, const ProgressFn& progress) {
  if (r < 1 || r > CardFileCount) return kOpNotOnCard;
  const TFileInfor& record = CardFileTable[r];
  DirEntry entry;
  if (!CardFileEntry(record, &entry)) return kOpDamaged;
  const std::uint32_t size = entry.size;
  const std::uint32_t full = size / kClusterBytes;
  const std::uint32_t rest = size % kClusterBytes;

  // A damaged chain is refused before anything is read: following it would
  // read another file's data or never end.
  std::vector<std::uint16_t> chain;
  if (!FileChain(entry, &chain)) return kOpDamaged;

  // Each cluster goes to the PC file straight from the SectorBuffer, which
  // holds it until the next command.
  for (std::uint32_t k = 0; k < full && DeviceState == kDeviceReady; ++k) {
    if (StopRequested()) return kOpStopped;
    ReadCardSectors(ClusterLba(chain[k]), kMaxSectorsPerCommand);
    if (DeviceState != kDeviceReady) return kOpDeviceFailed;
    if (!WriteAll(file, SectorBuffer, kClusterBytes)) return kOpPcWriteFailed;
    if (progress) progress(k + 1, full);
  }
  if (DeviceState != kDeviceReady) return kOpDeviceFailed;
  if (StopRequested()) return kOpStopped;
  if (rest > 0) {
    const auto sectors = static_cast<std::uint16_t>((rest + kSectorSize - 1) / kSectorSize);
    ReadCardSectors(ClusterLba(chain[full]), sectors);
    if (DeviceState != kDeviceReady) return kOpDeviceFailed;
    // Exactly the file's bytes: the rest of the last sector is not the file's.
    if (!WriteAll(file, SectorBuffer, rest)) return kOpPcWriteFailed;
    if (progress) progress(1, 1);
  }
  // Stopped during the last cluster: the file in flight is not kept.
  return StopRequested() ? kOpStopped : kOpOk;
}

CardOpResult FetchCardFileTo(std::int32_t r, const std::string& dir, const ProgressFn& progress,
                             std::string* pcName) {
  if (r < 1 || r > CardFileCount) return kOpNotOnCard;
  if (!SafePcName(CardFileTable[r].Name, pcName)) return kOpUnsafeName;
  if (platform::ReservedFileName(*pcName)) return kOpNotAPcName;
  const std::string folder = dir.empty() ? std::string(".") : dir;
  const std::string target = folder + "/" + *pcName;
  // The copy grows under a name of its own and replaces the target only when
  // it is whole, so a failed fetch never costs the user an older file.
  static std::atomic<unsigned> serial{0};
  const std::string part = folder + "/." + *pcName + ".zk27-" + std::to_string(platform::ProcessId()) + "-" +
                           std::to_string(serial++) + ".part";
  const int fd = platform::OpenFile(part, platform::kCreateNew);
  // A folder that refuses the name alone (a '?' on a FAT stick) takes the
  // next file still; one that takes no file at all ends the fetch.
  if (fd < 0) return platform::RefusesName(errno) ? kOpNotAPcName : kOpCannotCreatePcFile;
  CardOpResult result = FetchCardFile(r, fd, progress);
  if (!platform::CloseFile(fd) && result == kOpOk) result = kOpPcWriteFailed;
  if (result == kOpOk && !platform::RenameFile(part, target)) result = kOpCannotCreatePcFile;
  if (result != kOpOk) platform::RemoveFile(part);
  return result;
}
