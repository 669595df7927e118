// The words of the card's volume that its readers share: what a mount and a
// format give back, where a volume's regions and an entry lie, a file's kind,
// and what the volume check found. They are the volume's (src/fs) and are
// defined here, below it, so that the card operations can hand them to a
// front end that never reaches the volume itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A cluster, the unit a file's data is given: 128 sectors of 512 bytes.
inline constexpr std::uint32_t kClusterSectors = 128;
inline constexpr std::uint32_t kClusterBytes = 65536;

enum MountResult : std::uint8_t {
  kMountOk = 0,
  kMountDeviceFailed = 1,  // see the DeviceState
  kMountBadGeometry = 2,   // the BootSector's tables do not fit the card
  kMountBlank = 3,         // a total of 0 sectors, and formatting was not allowed
  // A total of 0 sectors over a directory that holds entries: the field is
  // damaged, and formatting would lose the files; never formatted here.
  kMountZeroTotal = 4,
};

// Whether MountVolume may format a card whose BootSector gives 0 sectors.
enum class MountMode : std::uint8_t {
  kAsHeld,    // unless the card is held only for reading
  kReadOnly,  // never: such a card is reported as blank
  // Never, as kReadOnly; a total of 0 over a directory that holds entries is
  // taken as the card's size (the identify command's), so that the check
  // can read the files and the repair write the size into the BootSector.
  kSizedByCard,
};

// Where the regions of a volume lie, as its BootSector gives them.
struct VolumeLayout {
  std::uint32_t totalSectors = 0;
  std::uint16_t sectorsPerTable = 0;
  std::uint16_t dirSectors = 0;
  std::uint32_t dirStart = 0;
  std::uint32_t dataStart = 0;
  std::uint32_t usableClusters = 0;  // table entries standing for whole clusters, 0 and 1 included
};

enum FormatResult : std::uint8_t {
  kFormatOk = 0,
  kFormatDeviceFailed = 1,  // see the DeviceState
  kFormatNotIdentified = 2, // the identify reply is not a card's
  kFormatCardTooSmall = 3,  // fewer than 128 sectors
};

// A voice recording's FileId has its top bit set; music's has not.
inline bool IsVoiceFileId(std::uint8_t fileId) { return (fileId & 0x80) != 0; }

// A file's kind by its name (FileKindOf, fs.h).
enum FileKind : int { kKindNone = 0, kKindMusic = 1, kKindVoice = 2, kKindOther = 3 };

// Where an entry lies in the directory image: sector (from the directory's
// first) and byte offset in it, a multiple of 32.
struct DirEntryPos {
  std::uint32_t sector = 0;
  std::uint32_t offset = 0;
};

// One file (directory entry) as the check found it.
struct CheckedFile {
  std::uint32_t dirSector = 0;
  std::uint32_t dirOffset = 0;
  std::uint8_t fileId = 0;
  std::string name;    // the card name it is listed under (card text); empty when the list shows none
  // Its chain is sound, matches its size and shares no cluster, and a repair
  // keeps it: a repair leaves its entry in place and its data as it is. (A
  // sound file is dropped only past a kind's 127 files or when no name slot
  // is left for the new name it needs; it is then not called whole. A file
  // with clusters past the card's end is kept, but not called whole.)
  bool whole = false;
};

struct VolumeCheck {
  // One plain-English line per inconsistency, naming the file where there is
  // one; empty when the card is clean.
  std::vector<std::string> problems;
  std::vector<CheckedFile> files;
};
