// The DirEntry codec, the walks over the directory image (the room left,
// the clusters in use) and the routines that change an entry together with
// its name and its chain. Below it lies entries.cpp (checked access, name
// slots, allocation), which never calls back up here.
#include <algorithm>

#include "fs.h"
#include "fs_raw.h"
#include "little_endian.h"

namespace {

// The mark the window sets when it opens: byte 16 of the entry at offset 256
// of directory sector 19.
constexpr std::uint32_t kOpenedMarkSector = 19;
constexpr std::uint32_t kOpenedMarkEntry = 256;
constexpr std::uint32_t kOpenedMarkByte = 16;

// True when a living, named entry holds `slot`: an entry released without its
// name mark may still point at a slot that now belongs to another file.
bool SlotNamesLivingEntry(std::uint16_t slot) {
  bool held = false;
  ForEachDirEntry([&](DirEntryPos, const DirEntry& e) {
    held = NameSlotOf(e) >= 0 && e.nameSlot == slot;
    return !held;
  });
  return held;
}

}  // namespace

void EncodeDirEntry(const DirEntry& entry, std::uint8_t* bytes) {
  bytes[kEntryMarkOffset] = entry.mark;
  fs_bytes::PutLe16(bytes + kEntryNameSlotOffset, entry.nameSlot);
  bytes[kEntryFileIdOffset] = entry.fileId;
  bytes[kEntryVoiceFlagOffset] = entry.voiceFlag;
  fs_bytes::PutLe16(bytes + kEntryFirstClusterOffset, entry.firstCluster);
  fs_bytes::PutLe32(bytes + kEntrySizeOffset, entry.size);
}

DirEntryPos UnpackDirEntryPos(std::uint16_t packed) {
  return {static_cast<std::uint32_t>(packed >> 11), static_cast<std::uint32_t>(packed & 0x3FF)};
}

bool ReadDirEntry(DirEntryPos at, DirEntry* entry) {
  const std::uint8_t* bytes = DirEntryAt(at.sector, at.offset);
  if (!bytes) return false;
  *entry = DecodeDirEntry(bytes);
  return true;
}

bool WriteDirEntry(DirEntryPos at, const DirEntry& entry) {
  NoteDirectoryChange();
  std::uint8_t* bytes = DirEntryAt(at.sector, at.offset);
  if (!bytes) return false;
  EncodeDirEntry(entry, bytes);
  return true;
}

int NameSlotOf(const DirEntry& entry) {
  if (!entry.InUse() || entry.mark == 0 || !ValidSlot(entry.nameSlot)) return -1;
  return static_cast<int>(entry.nameSlot / kNameSlotSize);
}

bool DirEntryName(const DirEntry& entry, std::string* name) {
  return entry.mark != 0 && SlotName(entry.nameSlot, name);
}

bool NameDirEntry(DirEntryPos at, const std::string& name) {
  DirEntry entry;
  const std::uint16_t slot = FindFreeNameSlot();
  if (slot == kNoNameSlot || !ReadDirEntry(at, &entry)) return false;
  entry.mark = entry.fileId;
  entry.nameSlot = slot;
  WriteDirEntry(at, entry);
  StoreFileName(name, slot);
  return true;
}

bool RenameDirEntry(DirEntryPos at, const std::string& name) {
  DirEntry entry;
  std::string old;
  if (!ReadDirEntry(at, &entry)) return false;
  bool shared = false;
  ForEachDirEntry([&](DirEntryPos other, const DirEntry& e) {
    const bool self = other.sector == at.sector && other.offset == at.offset;
    shared = !self && NameSlotOf(e) >= 0 && e.nameSlot == entry.nameSlot;
    return !shared;
  });
  if (shared || !DirEntryName(entry, &old)) return NameDirEntry(at, name);
  StoreFileName(name, entry.nameSlot);
  return true;
}

bool RenumberDirEntry(DirEntryPos at, std::uint8_t fileId) {
  DirEntry entry;
  if (!ReadDirEntry(at, &entry)) return false;
  entry.fileId = fileId;
  return WriteDirEntry(at, entry);
}

void ClearDirEntry(DirEntryPos at) {
  DirEntry entry;
  if (!ReadDirEntry(at, &entry)) return;
  entry.mark = 0;
  entry.fileId = 0;
  entry.voiceFlag = 0;
  WriteDirEntry(at, entry);
}

void ReleaseDirEntry(DirEntryPos at) {
  DirEntry entry;
  if (!ReadDirEntry(at, &entry)) return;
  ClearDirEntry(at);
  // Only the clusters the file's size accounts for, and none that another
  // file reaches: on a damaged card a chain may run into another file's.
  // What is left is lost space that a repair gives back.
  FreeClusterChain(entry.firstCluster, ClustersForSize(entry.size), ClustersOfEntries());
  if (ValidSlot(entry.nameSlot) && !SlotNamesLivingEntry(entry.nameSlot)) FreeNameSlot(entry.nameSlot);
}

bool FileChain(const DirEntry& entry, std::vector<std::uint16_t>* chain) {
  const std::uint32_t clusters = entry.size / kClusterBytes + (entry.size % kClusterBytes > 0 ? 1 : 0);
  chain->clear();
  chain->reserve(clusters);
  std::vector<bool> seen(VolumeImage.usableClusters, false);
  std::uint32_t cluster = entry.firstCluster;
  for (std::uint32_t k = 0; k < clusters; ++k) {
    if (!ValidCluster(cluster) || seen[cluster]) return false;
    seen[cluster] = true;
    chain->push_back(static_cast<std::uint16_t>(cluster));
    cluster = TableEntry(cluster);
  }
  return true;
}

void MarkDirectoryOpened() {
  std::uint8_t* entry = DirEntryAt(kOpenedMarkSector, kOpenedMarkEntry);
  if (entry) entry[kOpenedMarkByte] = 1;
}

// ---- walks that find room, and new entries -------------------------------

std::vector<bool> ClustersOfEntries() {
  std::vector<bool> used(VolumeImage.usableClusters, false);
  ForEachDirEntry([&](DirEntryPos, const DirEntry& e) {
    if (!e.InUse()) return true;
    std::uint32_t cluster = e.firstCluster;
    const std::uint32_t count = ClustersForSize(e.size);
    // A loop or a chain shared with a file walked before ends the walk.
    for (std::uint32_t k = 0; k < count && ValidCluster(cluster) && !used[cluster]; ++k) {
      used[cluster] = true;
      cluster = TableEntry(cluster);
    }
    return true;
  });
  return used;
}

std::uint8_t NextFileId(FileKind kind) {
  unsigned highestMusic = 0, highestVoice = 0;
  ForEachDirEntry([&](DirEntryPos, const DirEntry& e) {
    const std::uint8_t id = e.fileId;
    const unsigned n = id & 0x7F;
    if (n == 0) return true;
    unsigned& highest = IsVoiceFileId(id) ? highestVoice : highestMusic;
    if (n > highest) highest = n;
    return true;
  });
  const unsigned highest = kind == kKindVoice ? highestVoice : highestMusic;
  if (highest >= 127) return 0;  // the number field is full
  return static_cast<std::uint8_t>(kind == kKindVoice ? ((highest + 1) | 0x80) : highest + 1);
}

std::uint16_t FindFreeDirEntry() {
  std::uint16_t pos = kNoDirEntry;
  ForEachDirEntry([&](DirEntryPos at, const DirEntry& e) {
    if (e.InUse()) return true;
    pos = static_cast<std::uint16_t>(at.sector * 2048 + at.offset);
    return false;
  });
  return pos;
}

namespace {

// Per slot number: whether a new name may go there. Its length must read 0,
// and no living entry may point at it: such an entry lost its name, and the
// new name would become that file's too.
std::vector<bool> FreeNameSlots() {
  std::vector<bool> free(kNameSlotCount);
  for (std::uint32_t k = 0; k < kNameSlotCount; ++k) free[k] = VolumeImage.nameTable[k * kNameSlotSize] == 0;
  ForEachDirEntry([&](DirEntryPos, const DirEntry& e) {
    if (const int k = NameSlotOf(e); k >= 0) free[static_cast<std::size_t>(k)] = false;
    return true;
  });
  return free;
}

}  // namespace

std::uint16_t FindFreeNameSlot() {
  const std::vector<bool> free = FreeNameSlots();
  for (std::uint32_t k = 0; k < kNameSlotCount; ++k)
    if (free[k]) return static_cast<std::uint16_t>(k * kNameSlotSize);
  return kNoNameSlot;
}

int CountFreeDirEntries() {
  int free = 0;
  ForEachDirEntry([&](DirEntryPos, const DirEntry& e) {
    free += !e.InUse();
    return true;
  });
  return free;
}

int CountFreeNameSlots() {
  // Free as FindFreeNameSlot takes it.
  const std::vector<bool> free = FreeNameSlots();
  return static_cast<int>(std::count(free.begin(), free.end(), true));
}

void CreateDirEntry(std::uint16_t pos, const std::string& name, std::uint32_t size, FileKind kind) {
  const DirEntryPos at = UnpackDirEntryPos(pos);
  DirEntry e;
  if (!ReadDirEntry(at, &e)) return;
  const std::uint8_t id = NextFileId(kind);
  const std::uint16_t slot = FindFreeNameSlot();
  StoreFileName(name, slot);
  e.mark = id;
  e.nameSlot = slot;
  // A music file leaves the voice flag as the entry had it.
  if (kind == kKindVoice) e.voiceFlag = 1;
  e.fileId = id;
  e.size = size;
  e.firstCluster = ClusterAt(0);
  WriteDirEntry(at, e);
}
