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
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::uint32_t kNameTableLba = 1;
inline constexpr std::uint16_t kNameTableSectors = 30;
inline constexpr std::uint32_t kBootSectorLba = 32;
inline constexpr std::uint32_t kTableLba = 33;
inline constexpr std::uint32_t kClusterSectors = 128;
inline constexpr std::uint32_t kClusterBytes = 65536;
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

enum MountResult : std::uint8_t {
  kMountOk = 0,
  kMountDeviceFailed = 1,  // see the DeviceState
  kMountBadGeometry = 2,   // the BootSector's tables do not fit the card
  kMountBlank = 3,         // a total of 0 sectors, and formatting was not allowed
};

// Whether MountVolume may format a card whose BootSector gives 0 sectors.
enum class MountMode : std::uint8_t {
  kAsHeld,    // unless the card is held only for reading
  kReadOnly,  // never: such a card is reported as blank
};

// Reads the BootSector, checks the geometry and reads allocation table copy 1,
// the directory and the NameTable. Formats first when the total-sector field
// is 0 (see MountMode). A refused geometry leaves an empty, unmounted image.
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
  kCardUnreadable = 255  // a message has been shown
};
CheckResult CheckCard();

inline constexpr const char* kTablesDoNotFitMessage =
    "The CF card's file tables do not fit the card.\r\nThe card cannot be read.";

// True when the BootSector in `sector` describes tables that fit on the card.
bool GeometryFits(const std::uint8_t* bootSector);

int CountFreeClusters();
// True when at least `n` clusters are free; looks only as far as it must.
bool HasFreeClusters(std::uint32_t n);

enum FormatResult : std::uint8_t {
  kFormatOk = 0,
  kFormatDeviceFailed = 1,  // see the DeviceState
  kFormatNotIdentified = 2, // the identify reply is not a card's
  kFormatCardTooSmall = 3,  // fewer than 128 sectors
};
// Writes a fresh, empty volume. Nothing is written when the card is not
// identified or too small.
FormatResult FormatCard();
void InitVolumeTables();

// ---- entries, names and allocation --------------------------------------

// 1 music, 2 voice, 3 anything else, 0 an empty name.
int FileKindOf(const std::string& name);
// The FileId for a new file of `kind`, or 0 when the kind's numbers reached
// 127.
std::uint8_t NextFileId(int kind);
std::uint16_t FindFreeDirEntry();
// First free name slot's byte offset, or kNoNameSlot.
std::uint16_t FindFreeNameSlot();
void StoreFileName(const std::string& name, std::uint16_t slot);
// Needs: pos from FindFreeDirEntry, a name of at most 62 bytes, a free name
// slot, a FileId left for `kind`, and the ClusterList of the file.
void CreateDirEntry(std::uint16_t pos, const std::string& name, std::uint32_t size, int kind);
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

// ---- checked access to the images --------------------------------------

bool ValidCluster(std::uint32_t cluster);
std::uint32_t ClusterLba(std::uint16_t cluster);
std::uint16_t TableEntry(std::uint32_t cluster);
void SetTableEntry(std::uint32_t cluster, std::uint16_t value);
// The DirEntry at directory sector `sector`, byte `offset` (a multiple of 32);
// nullptr when it lies outside the directory image.
std::uint8_t* DirEntryAt(std::uint32_t sector, std::uint32_t offset);
std::uint16_t EntryNameSlot(const std::uint8_t* entry);
std::uint16_t EntryFirstCluster(const std::uint8_t* entry);
std::uint32_t EntrySize(const std::uint8_t* entry);
// The name stored in the slot at byte offset `slot`: false when the slot lies
// outside the NameTable or its length is 0 or longer than a slot holds.
bool SlotName(std::uint16_t slot, std::string* name);
std::uint16_t SlotLength(std::uint16_t slot);
// True for the byte offset of a slot: a multiple of 64 inside the NameTable.
bool ValidSlot(std::uint32_t slot);
// The clusters that the entries in use reach, each chain followed as far as
// its file's size accounts for (indexed by cluster number).
std::vector<bool> ClustersOfEntries();
// Frees at most `count` clusters of the chain starting at `first` in the
// table image; stops at the end mark, a free entry, a cluster outside the
// table, a loop, or a cluster marked in `keep` (another file's).
void FreeClusterChain(std::uint16_t first, std::uint32_t count, const std::vector<bool>& keep);
