// The volume as a whole: geometry, mount, flush, check and format.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "check.h"
#include "fs.h"
#include "fs_raw.h"
#include "hooks.h"
#include "little_endian.h"
#include "usbfunc.h"

VolumeImageData VolumeImage;

namespace {

constexpr std::uint8_t kBootTemplate[64] = {
    0x00, 0x00, 0x00, 'V', 'O', 'X', 'B', 'R', 'I', 'C', 'K',  // jump, OEM label
    0x00, 0x02,                                                // bytes per sector
    0x80,                                                      // sectors per cluster
    0x01, 0x00,                                                // reserved sectors
    0x02,                                                      // allocation tables
    0x00, 0x02,                                                // root entries (512)
    0x00, 0x00,                                                // total sectors, 16-bit
    0xF0,                                                      // media descriptor
    0x00, 0x00,                                                // sectors per table
    0x10, 0x00,                                                // sectors per track
    0x00, 0x00,                                                // heads
    0x00, 0x00, 0x00, 0x00,                                    // hidden sectors
    0x00, 0x00, 0x00, 0x00,                                    // total sectors
    0, 0, 0, 0, 0, 0, 0, 0,                                    // reserved
    'Z', 'K', '2', '7', ' ', 'P', 'R', 'O', 'P', 'R', 'I', 'E', 'T', 'A', 'R', 'Y', '!', '!'};

using fs_bytes::Le16;
using fs_bytes::Le32;
using fs_bytes::PutLe16;
using fs_bytes::PutLe32;

// What a card of `totalSectors` with `rootEntries` directory entries gets
// from formatting.
struct Geometry {
  std::uint32_t clusters = 0;    // table entries standing for the card, 0 and 1 included
  std::uint32_t tableBytes = 0;
  std::uint16_t sectorsPerTable = 0;
  std::uint16_t dirSectors = 0;
};

Geometry FormatGeometry(std::uint32_t totalSectors, std::uint16_t rootEntries) {
  Geometry g;
  g.clusters = std::min(totalSectors / kClusterSectors, kMaxClusterEntries);
  g.tableBytes = g.clusters * 2;
  g.sectorsPerTable = static_cast<std::uint16_t>((g.tableBytes + 511) / 512);
  g.dirSectors = static_cast<std::uint16_t>(rootEntries * kDirEntrySize / 512);
  return g;
}

// Entries whose cluster lies wholly on the card; the rest of the table never
// stands for a cluster, whatever the table says.
std::uint32_t UsableClusters(std::uint32_t totalSectors, std::uint16_t sectorsPerTable,
                             std::uint32_t dataStart) {
  if (totalSectors < dataStart) return 0;
  const std::uint64_t fitting = (totalSectors - dataStart) / kClusterSectors + 2;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(
      {fitting, static_cast<std::uint64_t>(sectorsPerTable) * 256, kMaxClusterEntries}));
}

// Moves a region of the card in commands of at most 128 sectors, stopping at
// the first failed command.
bool ReadRegion(std::uint32_t lba, std::uint32_t sectors, std::uint8_t* dest) {
  while (sectors > 0) {
    const auto n = static_cast<std::uint16_t>(std::min<std::uint32_t>(sectors, kMaxSectorsPerCommand));
    ReadCardSectors(lba, n);
    if (DeviceState != kDeviceReady) return false;
    LoadFromSectorBuffer(dest, n);
    lba += n;
    dest += n * kSectorSize;
    sectors -= n;
  }
  return true;
}

// Writes a region in commands of at most 128 sectors; each command is sent
// only while the DeviceState is 0, so nothing follows a failure.
bool WriteRegion(std::uint32_t lba, std::uint32_t sectors, const std::uint8_t* src) {
  while (sectors > 0) {
    const auto n = static_cast<std::uint16_t>(std::min<std::uint32_t>(sectors, kMaxSectorsPerCommand));
    StoreToSectorBuffer(src, n);
    if (DeviceState != kDeviceReady) return false;
    WriteCardSectors(lba, n);
    lba += n;
    src += n * kSectorSize;
    sectors -= n;
  }
  return DeviceState == kDeviceReady;
}

// A write barrier (see CardBarrier); false when it failed.
bool Barrier() {
  CardBarrier();
  return DeviceState == kDeviceReady;
}

// Takes the image as what the card holds: after a mount, or after a format
// wrote every region whole.
void NoteTablesOnCard() {
  CardTables& c = VolumeImage.onCard;
  c.table1 = VolumeImage.allocationTable;
  c.table2 = VolumeImage.allocationTable;
  c.directory.assign(VolumeImage.directory, VolumeImage.directory + VolumeImage.dirSectors * 512);
  c.nameTable.assign(VolumeImage.nameTable, VolumeImage.nameTable + kNameTableBytes);
  c.copiesAgree = true;
}

// A refused volume leaves no geometry behind that a later scan could follow.
void ClearImage() {
  VolumeImage.dirStart = VolumeImage.dataStart = VolumeImage.totalSectors = VolumeImage.bootTotalSectors = 0;
  VolumeImage.sectorsPerTable = VolumeImage.dirSectors = 0;
  VolumeImage.mounted = false;
  VolumeImage.usableClusters = 0;
  VolumeImage.allocationTable.clear();
  std::memset(VolumeImage.directory, 0, sizeof(VolumeImage.directory));
  std::memset(VolumeImage.nameTable, 0, sizeof(VolumeImage.nameTable));
  NoteDirectoryChange();
  VolumeImage.onCard = CardTables{};
}

struct BootFields {
  std::uint16_t sectorsPerTable;
  std::uint16_t dirSectors;
  std::uint32_t totalSectors;
};

BootFields ReadBootFields(const std::uint8_t* boot) {
  return {Le16(boot + 22), static_cast<std::uint16_t>(Le16(boot + 17) * kDirEntrySize / 512),
          Le32(boot + 32)};
}

// Where the regions of a volume with these fields lie.
VolumeLayout LayoutFrom(const BootFields& f) {
  VolumeLayout l;
  l.totalSectors = f.totalSectors;
  l.sectorsPerTable = f.sectorsPerTable;
  l.dirSectors = f.dirSectors;
  l.dirStart = kTableLba + 2u * f.sectorsPerTable;
  l.dataStart = l.dirStart + f.dirSectors;
  l.usableClusters = UsableClusters(f.totalSectors, f.sectorsPerTable, l.dataStart);
  return l;
}

bool FieldsFit(const BootFields& f) {
  if (f.sectorsPerTable == 0 || f.sectorsPerTable > kMaxTableSectors) return false;
  if (f.dirSectors == 0 || f.dirSectors > kMaxDirSectors) return false;
  const std::uint32_t dataStart = kTableLba + 2u * f.sectorsPerTable + f.dirSectors;
  return f.totalSectors >= dataStart;
}

// Asks the card for its size in sectors: kFormatDeviceFailed when the
// command failed (see the DeviceState), kFormatNotIdentified when the reply
// is not a card's.
FormatResult IdentifyCardSize(std::uint32_t* sectors) {
  DeviceState = MapDeviceState(IdentifyCard());
  if (DeviceState != kDeviceReady) return kFormatDeviceFailed;
  if (SectorBuffer[0] != 0x84 || SectorBuffer[1] != 0x8A) return kFormatNotIdentified;
  *sectors = static_cast<std::uint32_t>(SectorBuffer[14]) << 24 | static_cast<std::uint32_t>(SectorBuffer[15]) << 16 |
             static_cast<std::uint32_t>(SectorBuffer[16]) << 8 | SectorBuffer[17];
  return kFormatOk;
}

// What a BootSector whose total is 0 stands for.
enum class ZeroTotal : std::uint8_t {
  kBlank,       // a card never formatted: its directory holds no entry
  kHoldsFiles,  // the field is damaged: entries stand in the directory
  kUnread,      // the directory could not be read (see the DeviceState)
};

// Looks into the directory the BootSector places. A directory the other
// fields cannot place (too large, or past the table's limit) is not taken
// for empty: only a card seen to hold nothing is blank.
ZeroTotal ZeroTotalCard(const std::uint8_t* boot) {
  const BootFields f = ReadBootFields(boot);
  if (f.dirSectors == 0) return ZeroTotal::kBlank;
  if (f.dirSectors > kMaxDirSectors || f.sectorsPerTable > kMaxTableSectors) return ZeroTotal::kHoldsFiles;
  std::uint8_t directory[kMaxDirSectors * 512];
  if (!ReadRegion(kTableLba + 2u * f.sectorsPerTable, f.dirSectors, directory)) return ZeroTotal::kUnread;
  for (std::uint32_t at = 0; at < f.dirSectors * 512u; at += kDirEntrySize)
    if (DecodeDirEntry(directory + at).InUse()) return ZeroTotal::kHoldsFiles;
  return ZeroTotal::kBlank;
}

}  // namespace

std::uint32_t IdentifiedCardSectors() {
  std::uint32_t sectors = 0;
  return IdentifyCardSize(&sectors) == kFormatOk ? sectors : 0;
}

bool GeometryFits(const std::uint8_t* bootSector) { return FieldsFit(ReadBootFields(bootSector)); }

bool LayoutOf(const std::uint8_t* bootSector, VolumeLayout* layout) {
  const BootFields f = ReadBootFields(bootSector);
  if (f.totalSectors == 0 || !FieldsFit(f)) return false;
  *layout = LayoutFrom(f);
  return true;
}

VolumeLayout MountedLayout() {
  return LayoutFrom({VolumeImage.sectorsPerTable, VolumeImage.dirSectors, VolumeImage.totalSectors});
}

bool FormatLayout(std::uint32_t cardSectors, VolumeLayout* layout) {
  const Geometry g = FormatGeometry(cardSectors, Le16(kBootTemplate + 17));
  if (g.tableBytes == 0) return false;
  *layout = LayoutFrom({g.sectorsPerTable, g.dirSectors, cardSectors});
  // As InitVolumeTables marks them: past the card's end nothing is free.
  layout->usableClusters = std::min(g.clusters, layout->usableClusters);
  return true;
}

VolumeLayout LayoutOnCard(std::uint32_t cardSectors) {
  const std::uint32_t total = VolumeImage.totalSectors;
  const std::uint32_t onCard = cardSectors == 0 ? total : std::min(total, cardSectors);
  VolumeLayout l = LayoutFrom({VolumeImage.sectorsPerTable, VolumeImage.dirSectors, onCard});
  l.usableClusters = std::min(l.usableClusters, VolumeImage.usableClusters);
  return l;
}

bool ReadCardRegion(std::uint32_t lba, std::uint32_t sectors, std::uint8_t* dest) {
  return ReadRegion(lba, sectors, dest);
}

bool WriteCardRegion(std::uint32_t lba, std::uint32_t sectors, const std::uint8_t* src) {
  return WriteRegion(lba, sectors, src);
}

MountResult MountVolume(MountMode mode) {
  // Until the whole volume is read, the image matches no card.
  VolumeImage.mounted = false;
  std::uint8_t boot[512];
  ReadCardSectors(kBootSectorLba, 1);
  if (DeviceState != kDeviceReady) return kMountDeviceFailed;
  LoadFromSectorBuffer(boot, 1);
  BootFields f = ReadBootFields(boot);
  VolumeImage.sectorsPerTable = f.sectorsPerTable;
  VolumeImage.dirSectors = f.dirSectors;
  VolumeImage.totalSectors = VolumeImage.bootTotalSectors = f.totalSectors;
  if (f.totalSectors == 0) {
    const ZeroTotal zero = ZeroTotalCard(boot);
    if (zero == ZeroTotal::kUnread) return kMountDeviceFailed;
    if (zero == ZeroTotal::kHoldsFiles) {
      // Only the check reads such a card, at the card's own size.
      f.totalSectors = mode == MountMode::kSizedByCard ? IdentifiedCardSectors() : 0;
      if (DeviceState != kDeviceReady) return kMountDeviceFailed;
      if (f.totalSectors == 0) {
        ClearImage();
        return kMountZeroTotal;
      }
      VolumeImage.totalSectors = f.totalSectors;
    } else {
      // Formatting erases the card: never for a program that only reads it.
      if (mode != MountMode::kAsHeld || HeldCardLock() == CardLock::kShared) {
        ClearImage();
        return kMountBlank;
      }
      FormatCard();
      if (DeviceState != kDeviceReady) return kMountDeviceFailed;
      f = {VolumeImage.sectorsPerTable, VolumeImage.dirSectors, VolumeImage.totalSectors};
      VolumeImage.bootTotalSectors = VolumeImage.totalSectors;
    }
  }
  if (!FieldsFit(f)) {
    ClearImage();
    return kMountBadGeometry;
  }
  const VolumeLayout layout = LayoutFrom(f);
  VolumeImage.dirStart = layout.dirStart;
  VolumeImage.dataStart = layout.dataStart;
  VolumeImage.usableClusters = layout.usableClusters;

  std::vector<std::uint8_t> table(static_cast<std::size_t>(f.sectorsPerTable) * 512);
  if (!ReadRegion(kTableLba, f.sectorsPerTable, table.data())) return kMountDeviceFailed;
  VolumeImage.allocationTable = std::move(table);
  // The part of the directory image past the card's directory stays empty.
  std::uint8_t directory[sizeof(VolumeImage.directory)] = {};
  if (!ReadRegion(VolumeImage.dirStart, f.dirSectors, directory)) return kMountDeviceFailed;
  std::memcpy(VolumeImage.directory, directory, sizeof(directory));
  NoteDirectoryChange();
  if (!ReadRegion(kNameTableLba, kNameTableSectors, VolumeImage.nameTable)) return kMountDeviceFailed;
  NoteTablesOnCard();
  VolumeImage.mounted = true;
  return kMountOk;
}

namespace {

// One region of the card as a flush sees it: the image's bytes, what the
// card holds, and where it lies.
struct Region {
  std::uint32_t lba;
  std::uint32_t sectors;
  const std::uint8_t* image;
  std::vector<std::uint8_t>* onCard;
};

// The sectors of `r` where the image differs from the card.
std::vector<bool> ChangedSectors(const Region& r) {
  std::vector<bool> changed(r.sectors, true);
  if (r.onCard->size() < r.sectors * std::size_t{512}) return changed;
  for (std::uint32_t s = 0; s < r.sectors; ++s)
    changed[s] = std::memcmp(r.image + s * 512, r.onCard->data() + s * 512, 512) != 0;
  return changed;
}

// Writes the `changed` sectors of `r`. Each command starts at the next
// changed sector and ends at the last changed one within reach of a command,
// so a region takes the fewest commands; the unchanged sectors inside a
// command are written with the bytes the card holds anyway.
bool FlushRegion(const Region& r, const std::vector<bool>& changed) {
  std::uint32_t s = 0;
  while (s < r.sectors) {
    if (!changed[s]) {
      ++s;
      continue;
    }
    const std::uint32_t reach = std::min(r.sectors, s + kMaxSectorsPerCommand);
    std::uint32_t end = s + 1;
    for (std::uint32_t t = s + 1; t < reach; ++t)
      if (changed[t]) end = t + 1;
    if (!WriteRegion(r.lba + s, end - s, r.image + s * 512)) return false;
    std::memcpy(r.onCard->data() + s * 512, r.image + s * 512, (end - s) * std::size_t{512});
    s = end;
  }
  return true;
}

}  // namespace

void FlushVolume(FlushOrder order) {
  if (!VolumeImage.mounted || DeviceState != kDeviceReady) return;
  CardTables& c = VolumeImage.onCard;
  const std::uint16_t spt = VolumeImage.sectorsPerTable;
  const std::uint8_t* table = VolumeImage.allocationTable.data();
  const Region copy1{kTableLba, spt, table, &c.table1};
  const Region copy2{kTableLba + spt, spt, table, &c.table2};
  const Region names{kNameTableLba, kNameTableSectors, VolumeImage.nameTable, &c.nameTable};
  const Region directory{VolumeImage.dirStart, VolumeImage.dirSectors, VolumeImage.directory, &c.directory};
  // Copy 2 mostly holds what copy 1 holds: then it changes where copy 1 does,
  // and the table is compared once.
  const std::vector<bool> changed1 = ChangedSectors(copy1);
  const std::vector<bool> changed2 = c.copiesAgree ? changed1 : ChangedSectors(copy2);
  const std::vector<bool> changedNames = ChangedSectors(names);
  const std::vector<bool> changedDirectory = ChangedSectors(directory);
  // A step with `barrier` waits until what was written so far is on the
  // card: a file's data and both copies before its name, its name before its
  // entry; a released entry before the names and tables that free its
  // clusters. The flush ends with a barrier, so that what it wrote is on the
  // card before anything after it (a new file's data in clusters it freed)
  // or before the command reports success.
  struct Step {
    const Region& region;
    const std::vector<bool>& changed;
    bool barrier;
  };
  const Step adding[] = {{copy1, changed1, false},
                         {copy2, changed2, true},
                         {names, changedNames, true},
                         {directory, changedDirectory, true}};
  const Step releasing[] = {{directory, changedDirectory, true},
                            {names, changedNames, false},
                            {copy1, changed1, false},
                            {copy2, changed2, true}};
  for (const Step& step : order == FlushOrder::kAdding ? adding : releasing) {
    if (!FlushRegion(step.region, step.changed) || (step.barrier && !Barrier())) {
      // A failed command may have written part of its sectors: the card's
      // tables are not known any more, and writing the image over them
      // whole, in either order, could release and add at once. Only a new
      // MountVolume makes the image the card's again.
      VolumeImage.mounted = false;
      return;
    }
  }
  c.copiesAgree = true;
}

bool ReadTableCopy2() {
  if (!VolumeImage.mounted) return false;
  std::vector<std::uint8_t> copy2(VolumeImage.allocationTable.size());
  if (!ReadRegion(kTableLba + VolumeImage.sectorsPerTable, VolumeImage.sectorsPerTable, copy2.data()))
    return false;
  VolumeImage.onCard.copiesAgree = copy2 == VolumeImage.onCard.table1;
  VolumeImage.onCard.table2 = std::move(copy2);
  return true;
}

bool CardTablesUnchanged() {
  const CardTables& c = VolumeImage.onCard;
  if (!VolumeImage.mounted) return false;
  std::vector<std::uint8_t> now(c.table1.size());
  if (!ReadRegion(kTableLba, VolumeImage.sectorsPerTable, now.data()) || now != c.table1) return false;
  now.resize(c.directory.size());
  if (!ReadRegion(VolumeImage.dirStart, VolumeImage.dirSectors, now.data()) || now != c.directory) return false;
  now.resize(c.nameTable.size());
  return ReadRegion(kNameTableLba, kNameTableSectors, now.data()) && now == c.nameTable;
}

bool WriteBootTotal(std::uint32_t totalSectors) {
  VolumeImage.mounted = false;
  std::uint8_t boot[512];
  if (!ReadRegion(kBootSectorLba, 1, boot)) return false;
  PutLe32(boot + 32, totalSectors);
  if (!WriteRegion(kBootSectorLba, 1, boot) || !Barrier()) return false;
  // As after a format: the player's card reads a new BootSector back only
  // after a moment.
  if (!UsingCardImage()) std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::uint8_t back[512];
  if (!ReadRegion(kBootSectorLba, 1, back)) return false;
  if (std::memcmp(back, boot, sizeof(boot)) == 0) return true;
  DeviceState = kDeviceNotReady;
  return false;
}

CheckResult CheckCard() {
  const std::uint16_t raw = ReadSectorsRaw(kBootSectorLba, 1);
  switch (raw) {
    case 0x0080:
      ShowNotice(Notice::kCheckNoCard);
      return kCardUnreadable;
    case 0x0001:
      ShowNotice(Notice::kCheckBusy);
      return kCardUnreadable;
    case kRawSuccess:
      break;
    case kRawNoHandles:
      ShowNotice(Notice::kCheckNoPlayer);
      return kCardUnreadable;
    default:
      // Nothing was read, so the SectorBuffer holds no BootSector.
      ShowNotice(Notice::kCheckFailed);
      return kCardUnreadable;
  }
  const std::uint8_t* boot = SectorBuffer;
  if (boot[510] != 0x12 || boot[511] != 0x34 || std::memcmp(boot + 3, "VOXBRICK", 8) != 0)
    return kCardForeign;
  if (Le32(boot + 32) != 0) {
    if (GeometryFits(boot)) return kCardOk;
    ShowNotice(Notice::kTablesDoNotFit);
    return kCardUnreadable;
  }
  // A total of 0 is the mark of a blank card, which MountVolume formats;
  // over a directory that holds entries it is damage.
  std::uint8_t bootSector[512];
  std::memcpy(bootSector, boot, sizeof(bootSector));
  switch (ZeroTotalCard(bootSector)) {
    case ZeroTotal::kBlank: return kCardOk;
    case ZeroTotal::kHoldsFiles: return kCardZeroTotal;
    case ZeroTotal::kUnread: break;
  }
  // The busy state has said so already.
  if (DeviceState != kDeviceBusy) ShowNotice(Notice::kCheckFailed);
  return kCardUnreadable;
}

int CountFreeClusters() {
  // Entries 0 and 1 hold the table's header, never a cluster, even when a
  // damaged card has zeros there. Counted straight off the bytes: every file
  // sent counts a table of up to 65,520 entries, twice.
  const std::vector<std::uint8_t>& t = VolumeImage.allocationTable;
  const std::size_t end = std::min<std::size_t>(VolumeImage.usableClusters, t.size() / 2);
  int free = 0;
  std::size_t e = 2;
  for (; e < end && e % 4 != 0; ++e) free += (t[2 * e] | t[2 * e + 1]) == 0;
  // Four entries a word: a lane's high bit ends up set exactly when the lane
  // is zero; the multiplication adds the four bits up in the top lane.
  constexpr std::uint64_t kLow15 = 0x7FFF7FFF7FFF7FFFull;
  for (; e + 4 <= end; e += 4) {
    std::uint64_t w;
    std::memcpy(&w, t.data() + 2 * e, sizeof(w));
    const std::uint64_t zeroLanes = ~(((w & kLow15) + kLow15) | w | kLow15) >> 15;
    free += static_cast<int>((zeroLanes * 0x0001000100010001ull) >> 48);
  }
  for (; e < end; ++e) free += (t[2 * e] | t[2 * e + 1]) == 0;
  return free;
}

bool MakeWayForLayout(const VolumeLayout& next, std::uint32_t cardSectors, bool* samePlace) {
  *samePlace = false;
  std::uint8_t boot[512];
  if (!ReadRegion(kBootSectorLba, 1, boot)) return false;
  VolumeLayout now;
  const bool volume = LayoutOf(boot, &now);
  if (volume && now.dirStart == next.dirStart && now.dirSectors == next.dirSectors && now.dataStart == next.dataStart) {
    *samePlace = true;
    return true;
  }
  const auto emptyDirectory = [](const VolumeLayout& l) {
    const std::vector<std::uint8_t> zeros(std::size_t{l.dirSectors} * 512, 0);
    return WriteRegion(l.dirStart, l.dirSectors, zeros.data()) && Barrier();
  };
  const bool onCard = volume && std::uint64_t{now.dirStart} + now.dirSectors <= cardSectors;
  return (!onCard || emptyDirectory(now)) && emptyDirectory(next);
}

FormatResult FormatCard() {
  // The image stops describing the card as soon as formatting starts; only
  // the MountVolume that follows makes it whole again.
  VolumeImage.mounted = false;
  std::uint32_t totalSectors = 0;
  if (const FormatResult identified = IdentifyCardSize(&totalSectors); identified != kFormatOk) return identified;
  VolumeImage.totalSectors = totalSectors;
  const Geometry g = FormatGeometry(totalSectors, Le16(kBootTemplate + 17));
  if (g.tableBytes == 0) return kFormatCardTooSmall;
  VolumeImage.sectorsPerTable = g.sectorsPerTable;

  std::uint8_t sector[512] = {};
  std::memcpy(sector, kBootTemplate, sizeof(kBootTemplate));
  PutLe16(sector + 22, g.sectorsPerTable);
  PutLe32(sector + 32, totalSectors);
  sector[510] = 0x12;
  sector[511] = 0x34;
  // A volume laid out otherwise loses its files before the new geometry
  // sends a reader to another directory.
  VolumeLayout next;
  bool samePlace = false;
  if (!LayoutOf(sector, &next) || !MakeWayForLayout(next, totalSectors, &samePlace)) return kFormatDeviceFailed;
  StoreToSectorBuffer(sector, 1);
  WriteCardSectors(kBootSectorLba, 1);
  // The new geometry is on the card before a directory is written where it
  // puts one.
  CardBarrier();
  InitVolumeTables();
  return DeviceState == kDeviceReady ? kFormatOk : kFormatDeviceFailed;
}

void InitVolumeTables() {
  if (DeviceState != kDeviceReady) return;
  // The player needs a moment after a new boot sector before its card reads
  // it back; a card attached directly has no player in between.
  if (!UsingCardImage()) std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ReadCardSectors(kBootSectorLba, 1);
  if (DeviceState != kDeviceReady) return;
  std::uint8_t boot[512];
  LoadFromSectorBuffer(boot, 1);
  const std::uint32_t totalSectors = Le32(boot + 32);
  const Geometry g = FormatGeometry(totalSectors, Le16(boot + 17));
  // A BootSector that does not read back as written gives no sound tables.
  if (g.tableBytes == 0 || g.dirSectors == 0 || g.dirSectors > kMaxDirSectors) {
    DeviceState = kDeviceNotReady;
    return;
  }
  VolumeImage.dirSectors = g.dirSectors;
  VolumeImage.sectorsPerTable = g.sectorsPerTable;

  // Clusters that would run past the card's end are marked used, like the
  // slack after the last entry, so nothing is ever stored there.
  const std::uint32_t dataStart = kTableLba + 2u * g.sectorsPerTable + g.dirSectors;
  const std::uint32_t usable =
      std::min(g.clusters, UsableClusters(totalSectors, g.sectorsPerTable, dataStart));
  std::vector<std::uint8_t>& table = VolumeImage.allocationTable;
  table.assign(static_cast<std::size_t>(g.sectorsPerTable) * 512, 0xFF);
  table[0] = 0xF8;
  if (usable > 2) std::fill(table.begin() + 4, table.begin() + usable * 2, 0);
  std::memset(VolumeImage.directory, 0, sizeof(VolumeImage.directory));
  std::memset(VolumeImage.nameTable, 0, sizeof(VolumeImage.nameTable));
  NoteDirectoryChange();

  // What makes the old files unreachable goes first, so that a format cut
  // short leaves no entry over clusters the new tables call free: the
  // directory, the names, then copy 1 and copy 2, with a barrier after the
  // directory and one at the end. Nothing follows a failed write, and the
  // failure is the format's.
  if (!WriteRegion(kTableLba + 2u * g.sectorsPerTable, g.dirSectors, VolumeImage.directory) || !Barrier()) return;
  if (!WriteRegion(kNameTableLba, kNameTableSectors, VolumeImage.nameTable)) return;
  if (!WriteRegion(kTableLba, g.sectorsPerTable, table.data())) return;
  if (WriteRegion(kTableLba + g.sectorsPerTable, g.sectorsPerTable, table.data())) Barrier();
}
