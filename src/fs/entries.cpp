// Checked access to the VolumeImage, name slots, kinds and allocation: the
// byte-level layer under the DirEntry routines of dir_entry.cpp, which call
// into it and never the other way round.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "fs.h"
#include "fs_raw.h"
#include "platform.h"
#include "little_endian.h"
#include "usbfunc.h"

std::vector<std::uint16_t> ClusterList{kEndOfChain};

namespace {

std::uint64_t g_directoryChanges = 0;

}  // namespace

std::uint64_t DirectoryChanges() { return g_directoryChanges; }
void NoteDirectoryChange() { ++g_directoryChanges; }

// ---- checked access -------------------------------------------------------

bool ValidCluster(std::uint32_t cluster) { return cluster >= 2 && cluster < VolumeImage.usableClusters; }

std::uint32_t ClusterLba(std::uint16_t cluster) {
  return VolumeImage.dataStart + (static_cast<std::uint32_t>(cluster) - 2) * kClusterSectors;
}

std::uint16_t TableEntry(std::uint32_t cluster) {
  const auto& t = VolumeImage.allocationTable;
  if (static_cast<std::size_t>(cluster) * 2 + 1 >= t.size()) return kEndOfChain;
  return static_cast<std::uint16_t>(t[cluster * 2] | t[cluster * 2 + 1] << 8);
}

void SetTableEntry(std::uint32_t cluster, std::uint16_t value) {
  auto& t = VolumeImage.allocationTable;
  if (static_cast<std::size_t>(cluster) * 2 + 1 >= t.size()) return;
  t[cluster * 2] = static_cast<std::uint8_t>(value);
  t[cluster * 2 + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint8_t* DirEntryAt(std::uint32_t sector, std::uint32_t offset) {
  if (sector >= kMaxDirSectors || offset >= 512 || offset % kDirEntrySize != 0) return nullptr;
  return VolumeImage.directory + sector * 512 + offset;
}

std::uint16_t EntryNameSlot(const std::uint8_t* entry) { return fs_bytes::Le16(entry + kEntryNameSlotOffset); }
std::uint16_t EntryFirstCluster(const std::uint8_t* entry) {
  return fs_bytes::Le16(entry + kEntryFirstClusterOffset);
}
std::uint32_t EntrySize(const std::uint8_t* entry) { return fs_bytes::Le32(entry + kEntrySizeOffset); }

std::uint16_t SlotLength(std::uint16_t slot) {
  if (static_cast<std::uint32_t>(slot) + 2 > kNameTableBytes) return 0;
  return static_cast<std::uint16_t>(VolumeImage.nameTable[slot] | VolumeImage.nameTable[slot + 1] << 8);
}

bool ValidSlot(std::uint32_t slot) { return slot % kNameSlotSize == 0 && slot < kNameTableBytes; }

void FreeNameSlot(std::uint16_t slot) {
  if (!ValidSlot(slot)) return;
  NoteDirectoryChange();
  VolumeImage.nameTable[slot] = 0;
  VolumeImage.nameTable[slot + 1] = 0;
}

bool SlotName(std::uint16_t slot, std::string* name) {
  if (!ValidSlot(slot)) return false;
  const std::uint16_t len = SlotLength(slot);
  if (len == 0 || len > kNameSlotSize - 2) return false;
  name->assign(reinterpret_cast<const char*>(VolumeImage.nameTable + slot + 2), len);
  return true;
}

void FreeClusterChain(std::uint16_t first, std::uint32_t count, const std::vector<bool>& keep) {
  // A chain never holds more clusters than the card has; a longer walk loops.
  count = std::min(count, VolumeImage.usableClusters);
  std::uint32_t steps = 0;
  std::uint32_t cluster = first;
  while (ValidCluster(cluster) && steps++ < count && !(cluster < keep.size() && keep[cluster])) {
    const std::uint16_t next = TableEntry(cluster);
    if (next == 0) break;  // already free: the chain was cut here before
    SetTableEntry(cluster, 0);
    cluster = next;
  }
}

// ---- kinds, ids, entries, names -----------------------------------------

FileKind FileKindOf(const std::string& name) {
  if (name.empty()) return kKindNone;
  const std::size_t dot = name.rfind('.');
  const std::string type = dot == std::string::npos ? std::string() : name.substr(dot + 1);
  if (type == "mp3" || type == "MP3" || type == "mP3" || type == "Mp3") return kKindMusic;
  if (type.size() == 3 && (type[0] == 'v' || type[0] == 'V') && (type[1] == 'o' || type[1] == 'O') &&
      (type[2] == 'c' || type[2] == 'C'))
    return kKindVoice;
  return kKindOther;
}

NameFault CardNameFault(const std::string& shown) {
  if (shown.empty()) return NameFault::kEmpty;
  if (shown[0] == '.') return NameFault::kHidden;
  if (shown.find("..") != std::string::npos) return NameFault::kNotAFileName;
  for (unsigned char c : shown) {
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':') return NameFault::kNotAFileName;
    // The code page's open bytes stand for control characters on the PC.
    if (c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) return NameFault::kNotAFileName;
  }
  const FileKind kind = FileKindOf(shown);
  return kind == kKindMusic || kind == kKindVoice ? NameFault::kNone : NameFault::kForeignKind;
}

void StoreFileName(const std::string& name, std::uint16_t slot) {
  if (!ValidSlot(slot)) return;
  const std::size_t len = std::min<std::size_t>(name.size(), kNameSlotSize - 2);
  NoteDirectoryChange();
  std::uint8_t* p = VolumeImage.nameTable + slot;
  p[0] = static_cast<std::uint8_t>(len);
  p[1] = static_cast<std::uint8_t>(len >> 8);
  std::memcpy(p + 2, name.data(), len);
}

std::string MakeVoiceNameOn(std::uint8_t id, int year, int month, int day) {
  char text[32];
  std::snprintf(text, sizeof(text), "%02d%02d%02d%03d.voc", year % 100, month % 100, day % 100, id & 0x7F);
  return text;
}

std::string MakeVoiceName(std::uint8_t id) {
  const std::time_t now = std::time(nullptr);
  const std::tm local = platform::LocalTime(now);
  return MakeVoiceNameOn(id, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

// ---- allocation ----------------------------------------------------------

void CollectFreeClusters(std::uint32_t n) {
  ClusterList.clear();
  ClusterList.reserve(std::min(n, VolumeImage.usableClusters) + 1);
  for (std::uint32_t e = 2; e < VolumeImage.usableClusters && ClusterList.size() < n; ++e)
    if (TableEntry(e) == 0) ClusterList.push_back(static_cast<std::uint16_t>(e));
  ClusterList.push_back(kEndOfChain);
}

bool HasFreeClusters(std::uint32_t n) {
  std::uint32_t found = 0;
  for (std::uint32_t e = 2; e < VolumeImage.usableClusters && found < n; ++e)
    if (TableEntry(e) == 0) ++found;
  return found >= n;
}

std::uint16_t ClusterAt(std::uint32_t i) { return i < ClusterList.size() ? ClusterList[i] : kEndOfChain; }

void LinkClusterChain(std::uint32_t n) {
  for (std::uint32_t i = 0; i < n && i + 1 < ClusterList.size(); ++i)
    SetTableEntry(ClusterList[i], ClusterList[i + 1]);
}

long WriteFileChunk(int file, std::uint32_t lba, std::uint32_t bytes) {
  // The PC file is read straight into the SectorBuffer: it is the working
  // buffer the chunk goes out from, so no copy of 64 KiB is made per cluster.
  if (bytes > kClusterBytes) bytes = kClusterBytes;
  std::uint8_t* buffer = SectorBuffer;
  std::size_t got = 0;
  while (got < bytes) {
    const long long n = platform::ReadSome(file, buffer + got, bytes - got);
    if (n < 0) return -1;
    if (n == 0) break;  // end of the file
    got += static_cast<std::size_t>(n);
  }
  // The tail of a file's last cluster gets zeros, not stale data of another file.
  std::memset(buffer + got, 0, bytes - got);
  if (DeviceState == kDeviceReady) WriteCardSectors(lba, static_cast<std::uint16_t>(bytes / kSectorSize));
  return static_cast<long>(got);
}
