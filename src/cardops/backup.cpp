// A whole card to an image file and back.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cardops.h"
#include "check.h"
#include "fs.h"
#include "passes.h"
#include "usbfunc.h"

namespace {

// One stretch of sectors of the card.
struct Stretch {
  std::uint32_t lba;
  std::uint32_t sectors;
};

bool PwriteAll(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t at) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    at += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool PreadAll(int fd, std::uint8_t* data, std::size_t size, std::uint64_t at) {
  while (size > 0) {
    const ssize_t n = ::pread(fd, data, size, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    at += static_cast<std::uint64_t>(n);
  }
  return true;
}

// The clusters a table holds in use (any entry but 0), from cluster 2 up.
std::vector<std::uint32_t> ClustersInUse(const std::vector<std::uint8_t>& table, std::uint32_t usable) {
  std::vector<std::uint32_t> used;
  const std::uint32_t end = std::min<std::uint32_t>(usable, static_cast<std::uint32_t>(table.size() / 2));
  for (std::uint32_t c = 2; c < end; ++c)
    if ((table[2 * c] | table[2 * c + 1]) != 0) used.push_back(c);
  return used;
}

// The stretches a backup reads and a restore writes, in the order a restore
// writes them: the data first, then the names, the tables, the directory,
// and the boot sector last, so that a cut leaves the volume the card had or
// tables that a repair makes consistent.
std::vector<Stretch> Stretches(const VolumeLayout& l, const std::vector<std::uint32_t>& used) {
  std::vector<Stretch> s;
  for (const std::uint32_t c : used) s.push_back({l.dataStart + (c - 2) * kClusterSectors, kClusterSectors});
  s.push_back({kNameTableLba, kNameTableSectors});
  s.push_back({kTableLba + l.sectorsPerTable, l.sectorsPerTable});
  s.push_back({kTableLba, l.sectorsPerTable});
  s.push_back({l.dirStart, l.dirSectors});
  // What else lies before the data area: the sectors around the name table.
  s.push_back({0, kNameTableLba});
  s.push_back({kNameTableLba + kNameTableSectors, kBootSectorLba - kNameTableLba - kNameTableSectors});
  s.push_back({kBootSectorLba, 1});
  return s;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};
}  // namespace

CardOpResult BackupCard(const std::string& path, const ProgressFn& progress, std::uint64_t* bytesRead) {
  if (!VolumeImage.mounted || DeviceState != 0) return kOpDeviceFailed;
  // What lies past the card's end cannot be read: a volume larger than the
  // card is copied as far as the card holds it.
  const VolumeLayout layout = LayoutOnCard(IdentifiedCardSectors());
  if (DeviceState != 0) return kOpDeviceFailed;
  const std::vector<Stretch> stretches = Stretches(layout, ClustersInUse(VolumeImage.allocationTable,
                                                                         layout.usableClusters));
  // The image grows under a name of its own and takes `path` only when it
  // is whole: a stopped or failed backup leaves no half image, and an older
  // file of that name stays.
  static std::atomic<unsigned> serial{0};
  const std::string part = path + ".zk27-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".part";
  Fd fd(::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (fd.get() < 0) return kOpCannotCreatePcFile;
  // The size first: what is never written stays a hole in the file.
  CardOpResult result = ::ftruncate(fd.get(), static_cast<off_t>(std::uint64_t{layout.totalSectors} * 512)) == 0
                            ? kOpOk
                            : kOpPcWriteFailed;
  std::vector<std::uint8_t> buffer(kClusterBytes);
  std::uint64_t read = 0;
  const auto total = static_cast<std::uint32_t>(stretches.size());
  if (progress) progress(0, total);
  for (std::uint32_t i = 0; i < total && result == kOpOk; ++i) {
    if (StopRequested()) {
      result = kOpStopped;
      break;
    }
    const Stretch& s = stretches[i];
    if (s.sectors == 0) continue;
    buffer.resize(std::size_t{s.sectors} * 512);
    if (!ReadCardRegion(s.lba, s.sectors, buffer.data())) result = kOpDeviceFailed;
    else if (!PwriteAll(fd.get(), buffer.data(), buffer.size(), std::uint64_t{s.lba} * 512)) result = kOpPcWriteFailed;
    read += buffer.size();
    if (progress) progress(i + 1, total);
  }
  if (result == kOpOk && ::fsync(fd.get()) != 0) result = kOpPcWriteFailed;
  if (::close(fd.Release()) != 0 && result == kOpOk) result = kOpPcWriteFailed;
  if (result == kOpOk && ::rename(part.c_str(), path.c_str()) != 0) result = kOpCannotCreatePcFile;
  if (result != kOpOk) ::unlink(part.c_str());
  if (bytesRead) *bytesRead = read;
  return result;
}

namespace {

bool SameLayout(const VolumeLayout& a, const VolumeLayout& b) {
  return a.totalSectors == b.totalSectors && a.sectorsPerTable == b.sectorsPerTable && a.dirSectors == b.dirSectors &&
         a.dirStart == b.dirStart && a.dataStart == b.dataStart;
}

bool WriteEmptyDirectory(const VolumeLayout& l) {
  const std::vector<std::uint8_t> zeros(std::size_t{l.dirSectors} * 512, 0);
  return WriteCardRegion(l.dirStart, l.dirSectors, zeros.data());
}

// Makes every file of the card's present volume unreachable, as a format
// does, before the image's data lands in its clusters: an empty directory
// for the volume the card's boot sector describes. When the image lays its
// volume out otherwise, its clusters may fall on that directory, so the
// image's own boot sector follows at once over an empty directory of the
// image's layout. A cut from here on leaves a card with fewer files, never a
// file holding another file's bytes. False on a failed command.
bool ForgetOldFiles(const VolumeLayout& image, const std::uint8_t* imageBoot) {
  std::uint8_t boot[512];
  if (!ReadCardRegion(kBootSectorLba, 1, boot)) return false;
  VolumeLayout old;
  if (!LayoutOf(boot, &old)) return true;  // no volume: nothing reachable
  if (!WriteEmptyDirectory(old)) return false;
  if (SameLayout(old, image)) return true;
  return WriteEmptyDirectory(image) && WriteCardRegion(kBootSectorLba, 1, imageBoot);
}

}  // namespace

CardOpResult RestoreCard(const std::string& path, const ProgressFn& progress) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st{};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kOpCannotOpenPcFile;
  std::uint8_t boot[512];
  VolumeLayout layout;
  if (!PreadAll(fd.get(), boot, sizeof(boot), std::uint64_t{kBootSectorLba} * 512) || !LayoutOf(boot, &layout))
    return kOpWrongKind;
  if (static_cast<std::uint64_t>(st.st_size) < std::uint64_t{layout.totalSectors} * 512) return kOpPcReadFailed;
  std::vector<std::uint8_t> table(std::size_t{layout.sectorsPerTable} * 512);
  if (!PreadAll(fd.get(), table.data(), table.size(), std::uint64_t{kTableLba} * 512)) return kOpPcReadFailed;

  // A card smaller than the image is refused before anything is written.
  if (DeviceGone()) return kOpDeviceGone;
  const std::uint32_t cardSectors = IdentifiedCardSectors();
  if (DeviceState != 0 || cardSectors == 0) return kOpDeviceFailed;
  if (cardSectors < layout.totalSectors) return kOpNoSpace;

  const std::vector<Stretch> stretches = Stretches(layout, ClustersInUse(table, layout.usableClusters));
  const auto total = static_cast<std::uint32_t>(stretches.size());
  std::vector<std::uint8_t> buffer(kClusterBytes);
  std::vector<std::uint8_t> back(kClusterBytes);
  // Written, then read back: every stretch twice over the progress.
  if (progress) progress(0, 2 * total);
  // The old volume's tables are worthless once its clusters are written over.
  VolumeImage.mounted = false;
  if (!ForgetOldFiles(layout, boot)) return kOpDeviceFailed;
  for (std::uint32_t pass = 0; pass < 2; ++pass) {
    for (std::uint32_t i = 0; i < total; ++i) {
      // A stop is taken among the clusters, before the image's tables make
      // any of its files reachable.
      if (pass == 0 && StopRequested() && stretches[i].lba >= layout.dataStart) return kOpStopped;
      const Stretch& s = stretches[i];
      if (s.sectors == 0) continue;
      buffer.resize(std::size_t{s.sectors} * 512);
      if (!PreadAll(fd.get(), buffer.data(), buffer.size(), std::uint64_t{s.lba} * 512)) return kOpPcReadFailed;
      if (pass == 0) {
        if (!WriteCardRegion(s.lba, s.sectors, buffer.data())) return kOpDeviceFailed;
      } else {
        back.resize(buffer.size());
        if (!ReadCardRegion(s.lba, s.sectors, back.data())) return kOpDeviceFailed;
        if (back != buffer) return kOpVerifyFailed;
      }
      if (progress) progress(pass * total + i + 1, 2 * total);
    }
  }
  return MountVolume() == kMountOk ? kOpOk : kOpDeviceFailed;
}
