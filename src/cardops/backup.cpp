// A whole card to an image file and back.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>
#include <vector>

#include "cardops.h"
#include "check.h"
#include "fs.h"
#include "passes.h"
#include "platform.h"
#include "sync.h"
#include "text.h"
#include "usbfunc.h"

namespace {

// One stretch of sectors of the card.
struct Stretch {
  std::uint32_t lba;
  std::uint32_t sectors;
};

bool PwriteAll(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t at) {
  return platform::WriteAllAt(fd, data, size, at);
}

bool PreadAll(int fd, std::uint8_t* data, std::size_t size, std::uint64_t at) {
  return platform::ReadAllAt(fd, data, size, at);
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
    if (fd_ >= 0) platform::CloseFile(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void Reset(int fd) {
    if (fd_ >= 0) platform::CloseFile(fd_);
    fd_ = fd;
  }
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
  if (!VolumeImage.mounted || DeviceState != kDeviceReady) return kOpDeviceFailed;
  // What lies past the card's end cannot be read: a volume larger than the
  // card is copied as far as the card holds it.
  const VolumeLayout layout = LayoutOnCard(IdentifiedCardSectors());
  if (DeviceState != kDeviceReady) return kOpDeviceFailed;
  const std::vector<Stretch> stretches = Stretches(layout, ClustersInUse(VolumeImage.allocationTable,
                                                                         layout.usableClusters));
  // The image grows under a name of its own and takes `path` only when it
  // is whole: a stopped or failed backup leaves no half image, and an older
  // file of that name stays.
  static std::atomic<unsigned> serial{0};
  const std::string part = path + ".zk27-" + std::to_string(platform::ProcessId()) + "-" + std::to_string(serial++) + ".part";
  Fd fd(platform::OpenFile(part, platform::kCreateNew));
  if (fd.get() < 0) return kOpCannotCreatePcFile;
  // The size first: what is never written stays a hole in the file.
  CardOpResult result =
      platform::SetFileSize(fd.get(), std::uint64_t{layout.totalSectors} * 512) ? kOpOk : kOpPcWriteFailed;
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
  if (result == kOpOk && !platform::FlushFile(fd.get())) result = kOpPcWriteFailed;
  if (!platform::CloseFile(fd.Release()) && result == kOpOk) result = kOpPcWriteFailed;
  if (result == kOpOk && !platform::RenameFile(part, path)) result = kOpCannotCreatePcFile;
  if (result != kOpOk) platform::RemoveFile(part);
  if (bytesRead) *bytesRead = read;
  return result;
}

namespace {

bool WriteEmptyDirectory(const VolumeLayout& l) {
  const std::vector<std::uint8_t> zeros(std::size_t{l.dirSectors} * 512, 0);
  return WriteCardRegion(l.dirStart, l.dirSectors, zeros.data());
}

// Makes every file of the card's present volume unreachable, as a format
// does, before the image's data lands in its clusters: an empty directory.
// When the image lays its volume out otherwise, its clusters may fall on that
// directory, and its directory on the present volume's clusters: both
// directories are emptied, in that order (MakeWayForLayout), and the image's
// own boot sector follows at once. A cut from here on leaves a card with
// fewer files, never a file holding another file's bytes. False on a failed
// command.
bool ForgetOldFiles(const VolumeLayout& image, const std::uint8_t* imageBoot, std::uint32_t cardSectors) {
  bool samePlace = false;
  if (!MakeWayForLayout(image, cardSectors, &samePlace)) return false;
  return samePlace ? WriteEmptyDirectory(image) : WriteCardRegion(kBootSectorLba, 1, imageBoot);
}

// Opens the card image at `path` and reads its boot sector and layout:
// kOpCannotOpenPcFile (errno tells why), kOpWrongKind when it is no card
// image of this format, kOpPcReadFailed when it is shorter than its volume.
CardOpResult OpenImage(const std::string& path, Fd& fd, std::uint8_t* boot, VolumeLayout* layout) {
  fd.Reset(platform::OpenFile(path, platform::kOpenRead));
  platform::FileState st;
  if (fd.get() < 0 || !platform::StateOf(fd.get(), &st) || st.kind != platform::FileKind::kRegular)
    return kOpCannotOpenPcFile;
  if (!PreadAll(fd.get(), boot, 512, std::uint64_t{kBootSectorLba} * 512) || !LayoutOf(boot, layout))
    return kOpWrongKind;
  if (st.size < std::uint64_t{layout->totalSectors} * 512) return kOpPcReadFailed;
  return kOpOk;
}

// The card's size in sectors, as the card identifies itself.
CardOpResult CardSize(std::uint32_t* sectors) {
  if (DeviceGone()) return kOpDeviceGone;
  *sectors = IdentifiedCardSectors();
  return DeviceState != kDeviceReady || *sectors == 0 ? kOpDeviceFailed : kOpOk;
}

}  // namespace

CardOpResult FitCardImage(const std::string& path, ImageFit* fit) {
  Fd fd(-1);
  std::uint8_t boot[512];
  VolumeLayout layout;
  if (const CardOpResult opened = OpenImage(path, fd, boot, &layout); opened != kOpOk) return opened;
  *fit = ImageFit();
  fit->imageSectors = layout.totalSectors;
  if (const CardOpResult sized = CardSize(&fit->cardSectors); sized != kOpOk) return sized;
  if (fit->cardSectors < fit->imageSectors) return kOpNoSpace;
  fit->unusedSectors = fit->cardSectors - fit->imageSectors;
  return kOpOk;
}

CardOpResult RestoreCard(const std::string& path, const ProgressFn& progress) {
  Fd fd(-1);
  std::uint8_t boot[512];
  VolumeLayout layout;
  if (const CardOpResult opened = OpenImage(path, fd, boot, &layout); opened != kOpOk) return opened;
  std::vector<std::uint8_t> table(std::size_t{layout.sectorsPerTable} * 512);
  if (!PreadAll(fd.get(), table.data(), table.size(), std::uint64_t{kTableLba} * 512)) return kOpPcReadFailed;

  // A card smaller than the image is refused before anything is written.
  std::uint32_t cardSectors = 0;
  if (const CardOpResult sized = CardSize(&cardSectors); sized != kOpOk) return sized;
  if (cardSectors < layout.totalSectors) return kOpNoSpace;

  const std::vector<Stretch> stretches = Stretches(layout, ClustersInUse(table, layout.usableClusters));
  const auto total = static_cast<std::uint32_t>(stretches.size());
  std::vector<std::uint8_t> buffer(kClusterBytes);
  std::vector<std::uint8_t> back(kClusterBytes);
  // Written, then read back: every stretch twice over the progress.
  if (progress) progress(0, 2 * total);
  // The old volume's tables are worthless once its clusters are written over.
  VolumeImage.mounted = false;
  // The old files are unreachable on the card before their clusters are
  // written over.
  if (!ForgetOldFiles(layout, boot, cardSectors)) return kOpDeviceFailed;
  CardBarrier();
  if (DeviceState != kDeviceReady) return kOpDeviceFailed;
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
        // The data, names and tables are on the card before the directory
        // that makes the files reachable; and all of it before the check.
        if (s.lba == layout.dirStart) CardBarrier();
        if (DeviceState != kDeviceReady || !WriteCardRegion(s.lba, s.sectors, buffer.data())) return kOpDeviceFailed;
      } else {
        back.resize(buffer.size());
        if (!ReadCardRegion(s.lba, s.sectors, back.data())) return kOpDeviceFailed;
        if (back != buffer) return kOpVerifyFailed;
      }
      if (progress) progress(pass * total + i + 1, 2 * total);
    }
    CardBarrier();
    if (DeviceState != kDeviceReady) return kOpDeviceFailed;
  }
  return MountVolume() == kMountOk ? kOpOk : kOpDeviceFailed;
}

// ---- the files of an image -------------------------------------------------------

namespace {

// Takes the image's tables into the VolumeImage in place of the card's, so
// that the routines that read a volume's names and chains read the image's.
// The image stays unmounted, so no flush can write any of it to the card;
// only a format or a mount makes the VolumeImage the card's again. False
// when the image cannot be read.
bool TakeImageTables(int fd, const VolumeLayout& l) {
  VolumeImage.mounted = false;
  VolumeImage.onCard = CardTables{};
  std::vector<std::uint8_t> table(std::size_t{l.sectorsPerTable} * 512);
  std::memset(VolumeImage.directory, 0, sizeof(VolumeImage.directory));
  if (!PreadAll(fd, table.data(), table.size(), std::uint64_t{kTableLba} * 512) ||
      !PreadAll(fd, VolumeImage.directory, std::size_t{l.dirSectors} * 512, std::uint64_t{l.dirStart} * 512) ||
      !PreadAll(fd, VolumeImage.nameTable, kNameTableBytes, std::uint64_t{kNameTableLba} * 512)) {
    NoteDirectoryChange();
    return false;
  }
  NoteDirectoryChange();
  VolumeImage.allocationTable = std::move(table);
  VolumeImage.totalSectors = VolumeImage.bootTotalSectors = l.totalSectors;
  VolumeImage.sectorsPerTable = l.sectorsPerTable;
  VolumeImage.dirSectors = l.dirSectors;
  VolumeImage.dirStart = l.dirStart;
  VolumeImage.dataStart = l.dataStart;
  VolumeImage.usableClusters = l.usableClusters;
  return true;
}

// The image's files as sends, in FileId order, with their chains in the
// image, from the tables TakeImageTables took. A file is the card list's: a
// music entry whose name mark is gone is a deletion that did not finish,
// and a recording without a name goes under its recording name.
void ListImageFiles(SyncPlan* plan, std::vector<std::vector<std::uint16_t>>* chains) {
  std::vector<DirEntry> found;
  ForEachDirEntry([&found](DirEntryPos, const DirEntry& e) {
    if (e.InUse() && (e.Voice() || e.mark != 0)) found.push_back(e);
    return true;
  });
  std::stable_sort(found.begin(), found.end(), [](const DirEntry& a, const DirEntry& b) { return a.fileId < b.fileId; });
  std::set<std::string> names;
  for (const DirEntry& e : found) {
    SyncStep s;
    s.action = SyncAction::kSend;
    s.size = e.size;
    s.clusters = ClustersForSize(e.size);
    s.voice = e.Voice();
    std::string card;
    if (!DirEntryName(e, &card) && e.Voice()) card = MakeVoiceName(e.fileId);
    card = ListLine(card);
    s.name = PcNameFromCard(card);
    std::vector<std::uint16_t> chain;
    std::string stored;
    if (card.empty() || !FileChain(e, &chain)) s.result = kOpDamaged;
    else if (const CardOpResult refused = CardNameForNew(s.name, &stored); refused != kOpOk) s.result = refused;
    else if ((FileKindOf(s.name) == kKindVoice) != s.voice) s.result = kOpWrongKind;
    else if (!names.insert(stored).second) s.result = kOpNameOnCard;
    if (s.result != kOpOk) s.action = SyncAction::kRefused;
    plan->steps.push_back(std::move(s));
    chains->push_back(std::move(chain));
  }
}

// The plan of PlanImageFiles, with the image left open in `fd` and each
// file's chain.
CardOpResult PlanFiles(const std::string& path, Fd& fd, VolumeLayout* layout, SyncPlan* plan,
                       std::vector<std::vector<std::uint16_t>>* chains) {
  *plan = SyncPlan();
  chains->clear();
  std::uint8_t boot[512];
  if (const CardOpResult opened = OpenImage(path, fd, boot, layout); opened != kOpOk) return opened;
  std::uint32_t cardSectors = 0;
  if (const CardOpResult sized = CardSize(&cardSectors); sized != kOpOk) return sized;
  VolumeLayout fresh;
  const bool formattable = FormatLayout(cardSectors, &fresh);
  if (!TakeImageTables(fd.get(), *layout)) return kOpPcReadFailed;
  ListImageFiles(plan, chains);
  VolumeImage.mounted = false;

  // The whole image against each limit of the empty card.
  std::uint64_t music = 0, voice = 0, refused = 0;
  for (const SyncStep& s : plan->steps) {
    plan->clustersNeeded += s.clusters;
    ++(s.voice ? voice : music);
    if (s.action == SyncAction::kRefused) ++refused;
  }
  plan->clustersFree = formattable && fresh.usableClusters > 2 ? fresh.usableClusters - 2 : 0;
  const std::uint64_t files = plan->steps.size();
  const std::uint64_t entries = formattable ? std::uint64_t{fresh.dirSectors} * kEntriesPerDirSector : 0;
  auto shortOf = [plan](SyncLimit limit, std::uint64_t needed, std::uint64_t available) {
    if (needed > available) plan->shortfalls.push_back({limit, needed, available});
  };
  shortOf(SyncLimit::kClusters, plan->clustersNeeded, plan->clustersFree);
  shortOf(SyncLimit::kNameSlots, files, kNameSlotCount);
  shortOf(SyncLimit::kDirEntries, files, entries);
  shortOf(SyncLimit::kMusicIds, music, 127);
  shortOf(SyncLimit::kVoiceIds, voice, 127);
  if (refused > 0) plan->shortfalls.push_back({SyncLimit::kNames, refused, 0});
  return kOpOk;
}

// A folder of its own under the system's temporary folder, removed with all
// it holds when the scope ends.
class TempFolder {
 public:
  TempFolder() {
    std::error_code ec;
    std::string pattern = platform::TextOf(std::filesystem::temp_directory_path(ec) / "zk27-restore-XXXXXX");
    if (!ec && platform::MakeUniqueFolder(&pattern)) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(platform::PathOf(path_), ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Copies each file of the plan out of the image into `folder`, named by its
// place in the plan, and gives the step that path. A stop is taken between
// clusters.
CardOpResult UnpackImageFiles(int image, const VolumeLayout& l, const std::vector<std::vector<std::uint16_t>>& chains,
                              const std::string& folder, SyncPlan* plan) {
  std::vector<std::uint8_t> buffer(kClusterBytes);
  for (std::size_t i = 0; i < plan->steps.size(); ++i) {
    SyncStep& s = plan->steps[i];
    s.pcPath = folder + "/" + std::to_string(i + 1);
    Fd out(platform::OpenFile(s.pcPath, platform::kCreateNew));
    if (out.get() < 0) return kOpCannotCreatePcFile;
    std::uint64_t left = s.size;
    for (const std::uint16_t c : chains[i]) {
      if (StopRequested()) return kOpStopped;
      const auto bytes = static_cast<std::size_t>(std::min<std::uint64_t>(left, kClusterBytes));
      const std::uint64_t at = (std::uint64_t{l.dataStart} + std::uint64_t{c - 2u} * kClusterSectors) * 512;
      if (!PreadAll(image, buffer.data(), bytes, at)) return kOpPcReadFailed;
      if (!PwriteAll(out.get(), buffer.data(), bytes, s.size - left)) return kOpPcWriteFailed;
      left -= bytes;
    }
    if (!platform::CloseFile(out.Release())) return kOpPcWriteFailed;
  }
  return kOpOk;
}

}  // namespace

CardOpResult PlanImageFiles(const std::string& path, SyncPlan* plan) {
  Fd fd(-1);
  VolumeLayout layout;
  std::vector<std::vector<std::uint16_t>> chains;
  return PlanFiles(path, fd, &layout, plan, &chains);
}

CardOpResult RestoreImageFiles(const std::string& path, PassView& view, PassSummary* summary) {
  *summary = PassSummary();
  Fd fd(-1);
  VolumeLayout layout;
  SyncPlan plan;
  std::vector<std::vector<std::uint16_t>> chains;
  if (const CardOpResult planned = PlanFiles(path, fd, &layout, &plan, &chains); planned != kOpOk) return planned;
  if (!plan.Fits()) return kOpNoSpace;
  // Every file is read out of the image before the card is touched: an image
  // that cannot be read, or a PC disk without room for the copies, leaves
  // the card as it was.
  const TempFolder folder;
  if (folder.path().empty()) return kOpCannotCreatePcFile;
  if (const CardOpResult unpacked = UnpackImageFiles(fd.get(), layout, chains, folder.path(), &plan);
      unpacked != kOpOk)
    return unpacked;
  if (StopRequested()) return kOpStopped;
  if (FormatCard() != kFormatOk || MountVolume() != kMountOk) return kOpDeviceFailed;
  // Each file is sent as a new file of the empty card: its kind's next
  // FileId, so the music plays in the image's order.
  *summary = RunSendPass(plan.SendItems(), view);
  return kOpOk;
}
