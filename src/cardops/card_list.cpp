// The card list: the CardFileTable rebuilt from the directory image.
#include <algorithm>

#include "cardops.h"
#include "fs.h"
#include "hooks.h"
#include "messages.h"
#include "text.h"
#include "usbfunc.h"

TFileInfor CardFileTable[kCardFileCapacity + 1];
std::int32_t CardFileCount = 0;
std::uint16_t FreeClusterCount = 0;
std::string CurrentFileName;

namespace {

// A voice entry has a name when its name mark is set and its slot holds one.
bool HasName(const DirEntry& entry) {
  std::string ignored;
  return DirEntryName(entry, &ignored);
}

DirEntryPos PosOf(const TFileInfor& record) {
  return {static_cast<std::uint32_t>(record.DirSector), static_cast<std::uint32_t>(record.DirOffset)};
}

// Lowers every music FileId above `gone` by one, as a deletion does, so that
// the numbers stay 1..n.
void CloseUpMusicIds(std::uint8_t gone) {
  ForEachDirEntry([gone](DirEntryPos at, const DirEntry& entry) {
    if (!entry.Voice() && entry.fileId > gone) RenumberDirEntry(at, static_cast<std::uint8_t>(entry.fileId - 1));
    return true;
  });
}

// Releases the music entries whose name mark is gone: a deletion that did
// not finish. Returns how many there were.
int DropHalfDeletedEntries() {
  int dropped = 0;
  ForEachDirEntry([&dropped](DirEntryPos at, const DirEntry& entry) {
    if (!entry.InUse() || entry.Voice() || entry.mark != 0) return true;
    ReleaseDirEntry(at);
    CloseUpMusicIds(entry.fileId);
    ++dropped;
    return true;
  });
  return dropped;
}

// Builds the CardFileTable from the directory image. With `write`, voice
// recordings without a name get one and the names are flushed; without it
// the image is left as it is (the listing names them all the same).
std::int32_t ListEntries(bool write) {
  struct Found {
    std::uint32_t sector, offset;
    std::uint8_t id;
  };
  std::vector<Found> found;
  int named = 0;
  ForEachDirEntry([&](DirEntryPos at, const DirEntry& entry) {
    const std::uint8_t id = entry.fileId;
    if (id == 0 || (!entry.Voice() && entry.mark == 0)) return true;
    // A recording that reached the card without a name gets its recording
    // name; with every slot taken it stays unnamed on the card.
    if (write && entry.Voice() && !HasName(entry) && NameDirEntry(at, MakeVoiceName(id))) ++named;
    found.push_back({at.sector, at.offset, id});
    return true;
  });
  // Descending FileId; equal FileIds keep their directory order. Names are
  // not set here: FillCardList sets them after the scan.
  std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.id > b.id; });
  std::int32_t count = 0;
  for (const Found& f : found) {
    ++count;
    CardFileTable[count].DirSector = static_cast<std::int32_t>(f.sector);
    CardFileTable[count].DirOffset = static_cast<std::int32_t>(f.offset);
    CardFileTable[count].FileId = f.id;
  }
  if (named > 0) FlushVolume(FlushOrder::kAdding);
  return count;
}

}  // namespace

std::int32_t ScanCardDirectory() {
  // A program that holds the card only to read it leaves the card as it is.
  const bool write = HeldCardLock() != CardLock::kShared;
  // Releasing and naming are flushed apart, releases first: one flush must
  // not both free clusters and make an entry reachable.
  if (write && DropHalfDeletedEntries() > 0) FlushVolume(FlushOrder::kReleasing);
  return ListEntries(write);
}

void FetchEntryName(TFileInfor& record, bool report) {
  DirEntry entry;
  std::string name;
  // Without its name mark the entry's slot field names nothing: the slot may
  // be another file's.
  if (ReadDirEntry(PosOf(record), &entry) && DirEntryName(entry, &name)) {
    record.Name = std::move(name);
    return;
  }
  // Never keep the Name of the record that sat here before the scan: it
  // belongs to another file.
  if (IsVoiceFileId(record.FileId)) {
    record.Name = MakeVoiceName(record.FileId);
  } else {
    record.Name.clear();
    if (report) ShowNotice(Notice::kInvalidFileStructure);
  }
}

void FillCardList(std::int32_t count, std::vector<std::string>* lines) {
  for (std::int32_t k = count; k >= 1; --k) {
    FetchEntryName(CardFileTable[k]);
    lines->push_back(ListLine(CardFileTable[k].Name));
  }
}

std::string ListLine(const std::string& name) { return name.substr(0, name.find('\0')); }

std::vector<std::string> RebuildCardList() {
  std::vector<std::string> lines;
  CardFileCount = ScanCardDirectory();
  FillCardList(CardFileCount, &lines);
  FreeClusterCount = static_cast<std::uint16_t>(CountFreeClusters());
  return lines;
}

std::string FileIdLine(std::uint8_t fileId) { return std::string(1, '\0') + static_cast<char>(fileId); }

std::string CardFileLine(std::int32_t r) {
  const std::string line = ListLine(CardFileTable[r].Name);
  return FindCardFile(line) == r ? line : FileIdLine(CardFileTable[r].FileId);
}

std::int32_t FindCardFile(const std::string& line) {
  if (line.empty()) return -1;
  if (line[0] == '\0') {
    for (std::int32_t r = 1; r <= CardFileCount; ++r)
      if (line.size() == 2 && CardFileTable[r].FileId == static_cast<std::uint8_t>(line[1])) return r;
    return 0;
  }
  for (std::int32_t r = 1; r <= CardFileCount; ++r)
    if (CardFileTable[r].Name == line) return r;
  // A Name stored with a trailing NUL shows without it. Only a NUL: "a.mp"
  // must never find "a.mp3", and an exact match always wins.
  for (std::int32_t r = 1; r <= CardFileCount; ++r) {
    const std::string& name = CardFileTable[r].Name;
    if (name.size() == line.size() + 1 && name.back() == '\0' && name.compare(0, line.size(), line) == 0)
      return r;
  }
  return 0;
}

bool CardFileEntry(const TFileInfor& record, DirEntry* entry) { return ReadDirEntry(PosOf(record), entry); }

std::uint32_t CardFileSize(const TFileInfor& record) {
  DirEntry entry;
  return CardFileEntry(record, &entry) ? entry.size : 0;
}

std::int32_t FindCardFileNow(const std::string& name) {
  // A lookup only: the card list names unnamed recordings all the same, and
  // a pass of deletions must not flush half its work in the adding order.
  CardFileCount = ListEntries(false);
  // The scan reorders records without their Names; name them again so that
  // the lookup finds this file and not the one that took its place.
  for (std::int32_t r = 1; r <= CardFileCount; ++r) FetchEntryName(CardFileTable[r], false);
  return FindCardFile(name);
}

namespace {

// A record's kind by its name; a record without a readable name (named by
// its FileId) by its FileId, so that deleting it, or a file below it, closes
// up the numbers all the same.
FileKind RecordKind(const TFileInfor& record) {
  const FileKind kind = FileKindOf(record.Name);
  if (kind == kKindMusic || kind == kKindVoice) return kind;
  return IsVoiceFileId(record.FileId) ? kKindVoice : kKindMusic;
}

}  // namespace

bool CardFilePlace(const std::string& line, DirEntryPos* place) {
  const std::int32_t r = FindCardFileNow(line);
  if (r <= 0) return false;
  *place = PosOf(CardFileTable[r]);
  return true;
}

CardOpResult ReleaseCardFile(const std::string& name) {
  DirEntryPos place;
  return CardFilePlace(name, &place) ? ReleaseCardFileAt(place) : kOpNotOnCard;
}

CardOpResult ReleaseCardFileAt(DirEntryPos place) {
  CardFileCount = ListEntries(false);
  for (std::int32_t r = 1; r <= CardFileCount; ++r) FetchEntryName(CardFileTable[r], false);
  std::int32_t j = CardFileCount;
  while (j >= 1 && (PosOf(CardFileTable[j]).sector != place.sector || PosOf(CardFileTable[j]).offset != place.offset))
    --j;
  if (j < 1) return kOpNotOnCard;
  const TFileInfor deleted = CardFileTable[j];
  const FileKind kind = RecordKind(deleted);
  ReleaseDirEntry(PosOf(deleted));
  // Close up the numbers of the kind: every higher FileId of the same kind
  // moves down by one. Only higher ones of the same FileId kind and above
  // number 1: on a card whose names and FileIds disagree, lowering more could
  // free a living entry (0) or turn a voice file into a music file (0x7F).
  for (std::int32_t r = j - 1; r >= 1; --r) {
    TFileInfor& rec = CardFileTable[r];
    if (RecordKind(rec) != kind || rec.FileId <= deleted.FileId) continue;
    if (IsVoiceFileId(rec.FileId) != IsVoiceFileId(deleted.FileId) || (rec.FileId & 0x7F) <= 1) continue;
    rec.FileId = static_cast<std::uint8_t>(rec.FileId - 1);
    RenumberDirEntry(PosOf(rec), rec.FileId);
  }
  return kOpOk;
}

CardOpResult RenameCardFile(const std::string& line, const std::string& newName) {
  std::string card;
  if (const CardOpResult refused = CardNameForNew(newName, &card); refused != kOpOk) return refused;
  const std::int32_t other = FindCardFileNow(card);
  const std::int32_t r = FindCardFileNow(line);
  if (r <= 0) return kOpNotOnCard;
  if (other > 0 && other != r) return kOpNameOnCard;
  const TFileInfor record = CardFileTable[r];
  if (FileKindOf(card) != RecordKind(record)) return kOpWrongKind;
  if (!VolumeImage.mounted || DeviceState != kDeviceReady) return kOpDeviceFailed;

  if (!RenameDirEntry(PosOf(record), card)) return kOpNameTableFull;
  FlushVolume(FlushOrder::kAdding);
  return DeviceState == kDeviceReady ? kOpOk : kOpDeviceFailed;
}

bool NewNameRefused(CardOpResult result) {
  return result == kOpNameNotStorable || result == kOpNameTooLong || result == kOpWrongKind ||
         result == kOpNameOnCard;
}

CardOpResult OrderMusicFiles(const std::vector<std::string>& first) {
  CardFileCount = ListEntries(false);
  for (std::int32_t r = 1; r <= CardFileCount; ++r) FetchEntryName(CardFileTable[r], false);
  std::vector<std::int32_t> order;
  for (const std::string& line : first) {
    const std::int32_t r = FindCardFile(line);
    if (r <= 0) return kOpNotOnCard;
    if (RecordKind(CardFileTable[r]) != kKindMusic || IsVoiceFileId(CardFileTable[r].FileId)) return kOpWrongKind;
    if (std::find(order.begin(), order.end(), r) == order.end()) order.push_back(r);
  }
  // The records run in descending FileId order: the rest, from the lowest up.
  for (std::int32_t r = CardFileCount; r >= 1; --r)
    if (!IsVoiceFileId(CardFileTable[r].FileId) && std::find(order.begin(), order.end(), r) == order.end())
      order.push_back(r);
  if (!VolumeImage.mounted || DeviceState != kDeviceReady) return kOpDeviceFailed;
  for (std::size_t i = 0; i < order.size(); ++i) {
    TFileInfor& rec = CardFileTable[order[i]];
    rec.FileId = static_cast<std::uint8_t>(i + 1);
    RenumberDirEntry(PosOf(rec), rec.FileId);
  }
  FlushVolume(FlushOrder::kAdding);
  return DeviceState == kDeviceReady ? kOpOk : kOpDeviceFailed;
}
