// The player's volume on the card.
//
// Layout (sector numbers on the card): NameTable at 1 (30 sectors), BootSector
// at 32, allocation table copy 1 at 33 and copy 2 right after it
// (sectorsPerTable sectors each), the directory (dirSectors sectors), then the
// data area; cluster n (from 2) is the 128 sectors from
// dataStart + (n - 2) * 128.
//
// The card is edited in memory: MountVolume reads the tables into the
// VolumeImage, operations change the image, FlushVolume writes back the
// sectors of both table copies, the directory and the NameTable that changed.
// Every number read from a card is checked before it indexes an image or
// makes a sector number, so a damaged card is refused or reported, never
// followed out of bounds.
//
// A card can be cut off between any two commands, so the order of the writes
// is what keeps files safe: what makes a file reachable is written last
// (sending: data, copy 1, copy 2, NameTable, directory) and what makes it
// unreachable first (deleting: directory, NameTable, copy 1, copy 2). A cut
// then leaves at worst clusters or a name slot that nothing owns, which
// CheckVolume finds and RepairVolume gives back; never an entry over free
// clusters or an entry without its name.
//
// Layer: it owns the volume (VolumeImage, ClusterList, the entries, names and
// allocation), the format and the check (check.h). It calls the device link
// (src/usbfunc) for sectors and src/Util; the card operations (src/cardops)
// are built on it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "little_endian.h"
#include "volume_terms.h"

inline constexpr std::uint32_t kNameTableLba = 1;
inline constexpr std::uint16_t kNameTableSectors = 30;
inline constexpr std::uint32_t kBootSectorLba = 32;
inline constexpr std::uint32_t kTableLba = 33;
// The clusters a file of `size` bytes takes; counted in 64 bits, since a
// size near the field's limit would wrap to 0 in 32.
inline std::uint32_t ClustersForSize(std::uint32_t size) {
  return static_cast<std::uint32_t>((std::uint64_t{size} + kClusterBytes - 1) / kClusterBytes);
}
inline constexpr std::uint32_t kDirEntrySize = 32;
inline constexpr std::uint32_t kEntriesPerDirSector = 16;
inline constexpr std::uint16_t kMaxDirSectors = 32;
inline constexpr std::uint32_t kNameSlotSize = 64;
inline constexpr std::uint32_t kNameSlotCount = 240;
inline constexpr std::uint32_t kNameTableBytes = kNameSlotSize * kNameSlotCount;
// Cluster numbers are 16-bit and the values from 0xFFF0 up are marks, so a
// table describes at most this many entries (entries 0 and 1 included).
inline constexpr std::uint32_t kMaxClusterEntries = 0xFFF0;
inline constexpr std::uint16_t kMaxTableSectors = (kMaxClusterEntries * 2 + 511) / 512;
inline constexpr std::uint16_t kEndOfChain = 0xFFFF;
inline constexpr std::uint16_t kNoDirEntry = 0xFFFF;
inline constexpr std::uint16_t kNoNameSlot = 0xFFFF;

// The tables as the card holds them: what MountVolume read and every write
// since. FlushVolume compares the image with it and writes only the sectors
// that differ. A failed write unmounts the image, as the card's tables are
// then no longer known.
struct CardTables {
  std::vector<std::uint8_t> table1;     // allocation table copy 1
  std::vector<std::uint8_t> table2;     // copy 2; taken to equal copy 1 until ReadTableCopy2
  bool copiesAgree = false;             // table2 holds what table1 holds
  std::vector<std::uint8_t> directory;  // dirSectors * 512
  std::vector<std::uint8_t> nameTable;  // kNameTableBytes
};

struct VolumeImageData {
  std::uint32_t dirStart = 0;
  std::uint32_t dataStart = 0;
  std::uint32_t totalSectors = 0;
  // The BootSector's own total field; differs from totalSectors only for a
  // total of 0 mounted kSizedByCard.
  std::uint32_t bootTotalSectors = 0;
  std::uint16_t sectorsPerTable = 0;
  std::uint16_t dirSectors = 0;
  // Table entries that stand for clusters lying wholly on the card; entries
  // from here on are never free and never part of a chain.
  std::uint32_t usableClusters = 0;
  bool mounted = false;
  std::vector<std::uint8_t> allocationTable;  // copy 1, sectorsPerTable * 512 bytes
  std::uint8_t directory[kMaxDirSectors * 512] = {};
  std::uint8_t nameTable[kNameTableBytes] = {};
  CardTables onCard;
};
extern VolumeImageData VolumeImage;

// The clusters of the file being written, in the order its data fills them,
// then kEndOfChain. Sized from the card by CollectFreeClusters.
extern std::vector<std::uint16_t> ClusterList;

// ---- the volume as a whole ----------------------------------------------
//
// MountResult, MountMode, VolumeLayout and FormatResult are in
// volume_terms.h.

// Reads the BootSector, checks the geometry and reads allocation table copy 1,
// the directory and the NameTable. Formats first when the total-sector field
// is 0 and the directory holds no entry at all, a blank card (see
// MountMode); a total of 0 over entries is kMountZeroTotal. A refused
// geometry leaves an empty, unmounted image.
MountResult MountVolume(MountMode mode = MountMode::kAsHeld);
// The order in which a flush writes the four regions.
enum class FlushOrder : std::uint8_t {
  kAdding,     // copy 1, copy 2, NameTable, directory: a new entry goes last
  kReleasing,  // directory, NameTable, copy 1, copy 2: a released entry goes first
};
// Writes the sectors where the image differs from the card, region by region
// in `order`, in as few commands as that allows; each write only while the
// DeviceState is 0, so nothing follows a failure; a failed write leaves the
// image unmounted. A flush must not both add and release: an operation that
// does both flushes its releases first. Writes nothing when no volume is
// mounted.
void FlushVolume(FlushOrder order = FlushOrder::kAdding);
// The layout of the BootSector in `bootSector`; false when it gives no
// sectors or tables that do not fit.
bool LayoutOf(const std::uint8_t* bootSector, VolumeLayout* layout);
// The layout of the volume mounted in the VolumeImage.
VolumeLayout MountedLayout();
// The layout FormatCard gives a card of `cardSectors` sectors, its
// usableClusters counting only the clusters it leaves free (from 2 up);
// false for a card too small to be formatted.
bool FormatLayout(std::uint32_t cardSectors, VolumeLayout* layout);
// The mounted volume as far as it lies on a card of `cardSectors` sectors
// (0: unknown, the volume as its BootSector gives it): the smaller of the
// two totals, and only the clusters that lie wholly within it.
VolumeLayout LayoutOnCard(std::uint32_t cardSectors);
// Moves `sectors` sectors from `lba` in commands of at most 128, through the
// SectorBuffer; false at the first failed command (see the DeviceState),
// after which nothing more is sent.
bool ReadCardRegion(std::uint32_t lba, std::uint32_t sectors, std::uint8_t* dest);
bool WriteCardRegion(std::uint32_t lba, std::uint32_t sectors, const std::uint8_t* src);
// Writes `totalSectors` into the BootSector's total field, the rest of it as
// the card holds it, and reads it back. Leaves the image unmounted: only a
// new MountVolume reads the volume the field now gives. False when a command
// failed or the card did not keep it (see the DeviceState).
bool WriteBootTotal(std::uint32_t totalSectors);
// Reads allocation table copy 2, which the mount leaves unread, into
// VolumeImage.onCard.table2, so that the next flush also rewrites the
// sectors where copy 2 differs from the image. False on a failed read (see
// the DeviceState).
bool ReadTableCopy2();
// Reads copy 1, the directory and the NameTable again and compares them with
// what the image was read from: false when another program changed the card
// since (or a read failed: see the DeviceState).
bool CardTablesUnchanged();

enum CheckResult : std::uint8_t {
  kCardOk = 0,
  kCardForeign = 1,     // read, but not this player's volume
  // This player's volume, but its BootSector gives 0 sectors while its
  // directory holds entries: formatting it would lose them.
  kCardZeroTotal = 2,
  kCardUnreadable = 255  // a message has been shown
};
CheckResult CheckCard();

// The window's words for the notice kTablesDoNotFit.
inline constexpr const char* kTablesDoNotFitMessage =
    "The CF card's file tables do not fit the card.\r\nThe card cannot be read.";

int CountFreeClusters();
// True when at least `n` clusters are free; looks only as far as it must.
bool HasFreeClusters(std::uint32_t n);

// Writes a fresh, empty volume. Nothing is written when the card is not
// identified or too small.
FormatResult FormatCard();
// Readies a card of `cardSectors` sectors for a BootSector of layout `next`.
// When the card's BootSector puts its directory or its clusters elsewhere (or
// describes no volume), a BootSector of `next` written over it would make a
// reader take whatever lies where `next` puts its directory for entries, over
// clusters numbered from another start. So the card's own directory is
// emptied (when it lies on the card) and then the one where `next` puts it,
// each on the card (a barrier) before the next write; the BootSector may
// follow. Writes nothing, and sets `*samePlace`, when both put the directory
// and the clusters in the same place. False on a failed command.
bool MakeWayForLayout(const VolumeLayout& next, std::uint32_t cardSectors, bool* samePlace);

// ---- entries, names and allocation --------------------------------------
//
// IsVoiceFileId, FileKind and DirEntryPos are in volume_terms.h.

// A file's kind by its name: the text after the name's last dot ("Mr.
// Brightside.mp3" is music), in any letter case. The numbers are the ones
// the card's own program gives them.
FileKind FileKindOf(const std::string& name);
// What keeps a card name, as the card list shows it (up to its first NUL),
// from naming a file in a PC folder. A card's names are data: a sound name
// is a music or voice file's name that neither leaves the folder it is
// fetched into nor names a hidden file. Anything else on a card is damage:
// the fetch refuses it, the check reports it and its repair renames it.
enum class NameFault : std::uint8_t {
  kNone,
  kEmpty,
  kHidden,        // it begins with a dot
  kNotAFileName,  // a path separator, a drive's colon, "..", a control character
  kForeignKind,   // its kind is neither music nor voice
};
NameFault CardNameFault(const std::string& shown);
// The FileId for a new file of `kind`, or 0 when the kind's numbers reached
// 127.
std::uint8_t NextFileId(FileKind kind);
// The first free entry of the directory, packed as sector * 2048 + offset;
// kNoDirEntry when every entry is in use.
std::uint16_t FindFreeDirEntry();
// First free name slot's byte offset, or kNoNameSlot. Free: its length is 0
// and no living entry points at it as its name (see NameSlotOf).
std::uint16_t FindFreeNameSlot();
// How many entries and name slots FindFreeDirEntry and FindFreeNameSlot
// could still give.
int CountFreeDirEntries();
int CountFreeNameSlots();
// Needs: pos from FindFreeDirEntry, a name of at most 62 bytes, a free name
// slot, a FileId left for `kind`, and the ClusterList of the file.
void CreateDirEntry(std::uint16_t pos, const std::string& name, std::uint32_t size, FileKind kind);
void CollectFreeClusters(std::uint32_t n);
std::uint16_t ClusterAt(std::uint32_t i);
void LinkClusterChain(std::uint32_t n);
// Reads `bytes` (a multiple of 512, at most 65,536) from the PC file into a
// zeroed working buffer and writes them to the card at `lba` while the
// DeviceState is 0. Returns the bytes read from the PC file, or -1 when the
// read failed.
long WriteFileChunk(int file, std::uint32_t lba, std::uint32_t bytes);

// "yymmddNNN.voc": today's date and the number of voice FileId `id`, the
// name a voice recording without a name of its own is listed under.
std::string MakeVoiceName(std::uint8_t id);
std::string MakeVoiceNameOn(std::uint8_t id, int year, int month, int day);

// The first sector of cluster `cluster` (from 2).
std::uint32_t ClusterLba(std::uint16_t cluster);

// A count of the changes to the directory and NameTable images: every entry
// or name written or freed, every mount, format and cleared image. What was
// read out of them still holds while the count stays where it was.
std::uint64_t DirectoryChanges();
// For a routine that fills the images by other roads than the ones above.
void NoteDirectoryChange();

// ---- directory entries ----------------------------------------------------
//
// A DirEntry is 32 bytes. The volume knows the fields at these byte offsets
// (numbers little-endian); the bytes between them are the player's and keep
// whatever the card holds.
inline constexpr std::uint32_t kEntryMarkOffset = 0;
inline constexpr std::uint32_t kEntryNameSlotOffset = 1;  // 2 bytes
inline constexpr std::uint32_t kEntryFileIdOffset = 12;
inline constexpr std::uint32_t kEntryVoiceFlagOffset = 13;
inline constexpr std::uint32_t kEntryFirstClusterOffset = 26;  // 2 bytes
inline constexpr std::uint32_t kEntrySizeOffset = 28;          // 4 bytes

// One DirEntry's fields, decoded.
struct DirEntry {
  // The name mark: the FileId the entry was named under, 0 once its name is
  // gone (a music entry without it is a deletion that did not finish).
  std::uint8_t mark = 0;
  std::uint16_t nameSlot = 0;  // byte offset of its name slot in the NameTable
  // 0 for a free entry; bit 7 set for a voice recording, bits 0-6 its number.
  std::uint8_t fileId = 0;
  std::uint8_t voiceFlag = 0;  // 1 on a voice recording
  std::uint16_t firstCluster = 0;
  std::uint32_t size = 0;  // bytes

  bool InUse() const { return fileId != 0; }
  bool Voice() const { return IsVoiceFileId(fileId); }
};

inline DirEntry DecodeDirEntry(const std::uint8_t* bytes) {
  DirEntry e;
  e.mark = bytes[kEntryMarkOffset];
  e.nameSlot = fs_bytes::Le16(bytes + kEntryNameSlotOffset);
  e.fileId = bytes[kEntryFileIdOffset];
  e.voiceFlag = bytes[kEntryVoiceFlagOffset];
  e.firstCluster = fs_bytes::Le16(bytes + kEntryFirstClusterOffset);
  e.size = fs_bytes::Le32(bytes + kEntrySizeOffset);
  return e;
}
// Writes the fields into the 32 bytes at `bytes`; the other bytes keep what
// they hold, so a decoded entry encodes back to the same bytes.
void EncodeDirEntry(const DirEntry& entry, std::uint8_t* bytes);

// The position FindFreeDirEntry gives, packed as sector * 2048 + offset.
DirEntryPos UnpackDirEntryPos(std::uint16_t packed);

// False, leaving `entry` alone, when `at` lies outside the directory image.
bool ReadDirEntry(DirEntryPos at, DirEntry* entry);
// Encodes `entry` over the entry at `at`; false when it lies outside.
bool WriteDirEntry(DirEntryPos at, const DirEntry& entry);
// Visits every entry of the volume's directory (free ones too) in directory
// order, until `visit(DirEntryPos, const DirEntry&)` returns false. Each
// entry is decoded when its turn comes, so a visit that changes later entries
// is seen by the walk. Inline: a send walks the directory several times per
// file, and a call through a function object per entry showed in its time.
template <typename Visit>
void ForEachDirEntry(Visit&& visit) {
  const std::uint32_t sectors = VolumeImage.dirSectors < kMaxDirSectors ? VolumeImage.dirSectors : kMaxDirSectors;
  for (std::uint32_t sector = 0; sector < sectors; ++sector)
    for (std::uint32_t offset = 0; offset < 512; offset += kDirEntrySize)
      if (!visit(DirEntryPos{sector, offset}, DecodeDirEntry(VolumeImage.directory + sector * 512 + offset))) return;
}

// The entry's name from its name slot: false when its name mark is 0 (its
// slot field then names nothing: the slot may be another file's) or the slot
// holds no readable name.
bool DirEntryName(const DirEntry& entry, std::string* name);
// The number (0..239) of the name slot a living entry with its name mark set
// points at; -1 for any other entry. That slot stays the entry's whatever its
// length bytes say: a name that reads empty (its NameTable sector lost) is
// still a living file's, so no other name may be given the slot.
int NameSlotOf(const DirEntry& entry);
// Gives the entry at `at` the name `name` in the first free name slot, its
// name mark set to its FileId. False, changing nothing, when every slot is
// taken or `at` lies outside the directory.
bool NameDirEntry(DirEntryPos at, const std::string& name);
// Gives the named entry at `at` the name `name`: in place, in its own slot
// (one slot lies within one NameTable sector), unless it has none or shares
// it with another living entry; then in a free slot, as NameDirEntry. False
// when a free slot is needed and none is left.
bool RenameDirEntry(DirEntryPos at, const std::string& name);
// Releases the entry at `at`: name mark, FileId and voice flag 0; the
// clusters its size accounts for freed, except those another file reaches;
// its name slot emptied unless a living, named entry holds it too.
void ReleaseDirEntry(DirEntryPos at);
// Gives the entry at `at` FileId `fileId`; its name mark stays as it is.
// False when `at` lies outside the directory.
bool RenumberDirEntry(DirEntryPos at, std::uint8_t fileId);
// The clusters of the entry's file in order, as many as its size needs.
// False when the chain leaves the card's clusters, ends early or comes back
// on itself: following it would read another file's data or never end.
bool FileChain(const DirEntry& entry, std::vector<std::uint16_t>* chain);
// Sets byte 16 of the entry at offset 256 of directory sector 19 in the
// image, as the window does when it opens: the player's program has always
// marked it; nothing reads it. The next flush that writes that sector takes
// it along.
void MarkDirectoryOpened();
