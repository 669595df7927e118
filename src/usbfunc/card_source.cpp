#include "card_source.h"

#include <cerrno>
#include <cstring>

#include "platform.h"
#include "usbfunc.h"

namespace {
int g_fd = -1;
bool g_volumeTaken = false;  // a Windows volume locked and dismounted for us
std::uint64_t g_sectors = 0;
// Whether a barrier waits for the writes to reach the card: always for a
// block device, whose page cache the kernel writes back in its own order;
// for an image file only when asked (as cp, which leaves that to the kernel).
bool g_syncWrites = false;

// A card attached directly has no state of its own to report: it is there.
std::uint16_t FileStatus() { return kRawSuccess; }

const card_source::Operations kFileOperations = {card_source::Read, card_source::Write,
                                                 card_source::Identify, FileStatus,
                                                 card_source::Barrier};
const card_source::Operations* g_operations = &card_source::kPlayerOperations;

bool InRange(std::uint32_t lba, std::uint16_t count) {
  return count <= kMaxSectorsPerCommand &&
         static_cast<std::uint64_t>(lba) + count <= g_sectors;
}

// Moves the whole transfer, resuming after partial transfers and signals.
// Returns 0, or the errno of the call that failed (EIO for one that moved
// nothing without saying why); `*moved` counts the bytes moved.
template <typename Op>
int Transfer(Op op, std::uint8_t* buf, std::size_t size, std::uint64_t offset, std::size_t* moved) {
  std::size_t& done = *moved;
  done = 0;
  while (done < size) {
    const long long n = op(g_fd, buf + done, size - done, offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

// What the failed call's errno says of the card. EBADF is a write on a card
// that could only be opened for reading.
TransportCause CauseOf(int error) {
  switch (error) {
    case EROFS:
    case EACCES:
    case EPERM:
      return TransportCause::kWriteProtected;
    case EBADF:
      return platform::OpenedReadOnly(g_fd) ? TransportCause::kWriteProtected : TransportCause::kIoError;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
    case EFBIG:
      return TransportCause::kDiskFull;
    default:
      return TransportCause::kIoError;
  }
}

std::uint16_t Failed(int error) {
  card_source::NoteFailure(CauseOf(error), error);
  return kRawTransportFailure;
}
}  // namespace

bool AttachCardImage(const std::string& path, std::string* error, ImageWrites writes) {
  DetachCardImage();
  // A drive letter on Windows names the card's volume.
  const std::string name = platform::CardDevicePath(path);
  int fd = platform::OpenFile(name, platform::kOpenReadWrite);
  // A write-protected card can still be listed and read; its writes fail.
  if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = platform::OpenFile(name, platform::kOpenRead);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  platform::FileState st;
  if (!platform::StateOf(fd, &st) ||
      !(st.kind == platform::FileKind::kRegular || st.kind == platform::FileKind::kDevice)) {
    *error = path + ": not a card image or a block device";
    platform::CloseFile(fd);
    return false;
  }
  // The file system Windows mounted on the card must keep off it while
  // sectors change beneath it.
  if (platform::IsVolumePath(name) && !platform::TakeVolume(fd)) {
    *error = path + ": the card is in use by another program (close its files and windows): " +
             std::strerror(errno);
    platform::CloseFile(fd);
    return false;
  }
  g_fd = fd;
  g_volumeTaken = platform::IsVolumePath(name);
  g_sectors = st.size / kSectorSize;
  g_syncWrites = st.kind == platform::FileKind::kDevice || writes == ImageWrites::kSynced;
  g_operations = &kFileOperations;
  return true;
}

void DetachCardImage() {
  if (g_fd >= 0 && g_volumeTaken) platform::ReleaseVolume(g_fd);
  if (g_fd >= 0) platform::CloseFile(g_fd);
  g_volumeTaken = false;
  g_fd = -1;
  g_sectors = 0;
  g_syncWrites = false;
  g_operations = &card_source::kPlayerOperations;
}

bool UsingCardImage() { return g_fd >= 0; }

namespace card_source {

const Operations& Current() { return *g_operations; }

const Operations& Replace(const Operations& operations) {
  const Operations& replaced = *g_operations;
  g_operations = &operations;
  return replaced;
}

bool Active() { return g_fd >= 0; }
int Fd() { return g_fd; }

std::uint16_t Read(std::uint32_t lba, std::uint16_t count) {
  if (!InRange(lba, count)) return kRawTransportFailure;
  auto readOp = [](int fd, std::uint8_t* buf, std::size_t n, std::uint64_t at) {
    return platform::ReadAt(fd, buf, n, at);
  };
  std::size_t moved = 0;
  const int error = Transfer(readOp, SectorBuffer, static_cast<std::size_t>(count) * kSectorSize,
                             std::uint64_t{lba} * kSectorSize, &moved);
  return error == 0 ? kRawSuccess : Failed(error);
}

std::uint16_t Write(std::uint32_t lba, std::uint16_t count) {
  // Never grow an image: a sector beyond its end does not exist on the card.
  if (!InRange(lba, count)) return kRawTransportFailure;
  auto writeOp = [](int fd, std::uint8_t* buf, std::size_t n, std::uint64_t at) {
    return platform::WriteAt(fd, buf, n, at);
  };
  std::size_t moved = 0;
  const int error = Transfer(writeOp, SectorBuffer, static_cast<std::size_t>(count) * kSectorSize,
                             std::uint64_t{lba} * kSectorSize, &moved);
  if (moved > 0) NoteWriteMade();
  return error == 0 ? kRawSuccess : Failed(error);
}

std::uint16_t Barrier() {
  if (!g_syncWrites) return kRawSuccess;
  return platform::FlushFile(g_fd) ? kRawSuccess : Failed(errno);
}

std::uint16_t Identify() {
  std::memset(SectorBuffer, 0, kSectorSize);
  SectorBuffer[0] = 0x84;
  SectorBuffer[1] = 0x8A;
  const std::uint32_t sectors =
      g_sectors > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(g_sectors);
  SectorBuffer[14] = static_cast<std::uint8_t>(sectors >> 24);
  SectorBuffer[15] = static_cast<std::uint8_t>(sectors >> 16);
  SectorBuffer[16] = static_cast<std::uint8_t>(sectors >> 8);
  SectorBuffer[17] = static_cast<std::uint8_t>(sectors);
  return kRawSuccess;
}

}  // namespace card_source
