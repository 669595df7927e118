// The card list: the CardFileTable rebuilt from the directory image.
#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>

#include "card_names.h"
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

namespace {

// The lookup index of the CardFileTable: the first record of each Name, of
// each Name less one trailing NUL, of each FileId, and the record of each
// place. Built each time the table is read or renumbered. `current` says the
// table was read whole from the directory image as it stood at `changes`
// (DirectoryChanges); `added` holds the names of the files sent since.
class CardFileIndex {
 public:
  void Build(bool current) {
    byName_.clear();
    byNulName_.clear();
    byPlace_.clear();
    added_.clear();
    byId_.fill(0);
    for (std::int32_t r = 1; r <= CardFileCount; ++r) {
      const TFileInfor& rec = CardFileTable[r];
      byName_.emplace(rec.Name, r);
      if (!rec.Name.empty() && rec.Name.back() == '\0') byNulName_.emplace(rec.Name.substr(0, rec.Name.size() - 1), r);
      if (byId_[rec.FileId] == 0) byId_[rec.FileId] = r;
      byPlace_.emplace(PlaceKey(PosOf(rec)), r);
    }
    current_ = current;
    changes_ = DirectoryChanges();
  }

  std::int32_t Find(const CardFileRef& ref) const {
    std::int32_t r = 0;
    switch (ref.by()) {
      case CardFileRef::By::kNothing: return 0;
      case CardFileRef::By::kName:
        r = Lookup(byName_, ref.name());
        if (r == 0) r = Lookup(byNulName_, ref.name());
        break;
      case CardFileRef::By::kFileId: r = byId_[ref.fileId()]; break;
      case CardFileRef::By::kPlace: r = Lookup(byPlace_, PlaceKey(ref.place())); break;
    }
    // The count may have been set to 0 since (no card).
    return r <= CardFileCount ? r : 0;
  }

  // Whether the index still tells what the directory image holds.
  bool Current() const { return current_ && changes_ == DirectoryChanges(); }
  void MarkCurrent() {
    current_ = true;
    changes_ = DirectoryChanges();
  }
  bool Added(const std::string& name) const { return added_.count(name) > 0; }
  void Add(const std::string& name, std::uint64_t before) {
    if (!current_ || changes_ != before) return;
    added_.insert(name);
    changes_ = DirectoryChanges();
  }

 private:
  static std::uint32_t PlaceKey(DirEntryPos at) { return at.sector * 512 + at.offset; }
  template <typename Map, typename Key>
  static std::int32_t Lookup(const Map& map, const Key& key) {
    const auto it = map.find(key);
    return it == map.end() ? 0 : it->second;
  }

  std::unordered_map<std::string, std::int32_t> byName_, byNulName_;
  std::unordered_map<std::uint32_t, std::int32_t> byPlace_;
  std::array<std::int32_t, 256> byId_{};
  std::unordered_set<std::string> added_;
  bool current_ = false;
  std::uint64_t changes_ = 0;
};

CardFileIndex g_index;

// The CardFileTable read afresh from the directory image without changing
// it: a lookup only. The card list names unnamed recordings all the same, and
// a pass of deletions must not flush half its work in the adding order. The
// scan reorders records without their Names; naming them again lets a lookup
// find the file and not the one that took its place.
void ReadCardFilesAfresh() {
  CardFileCount = ListEntries(false);
  for (std::int32_t r = 1; r <= CardFileCount; ++r) FetchEntryName(CardFileTable[r], false);
  g_index.Build(true);
}

}  // namespace

void FillCardList(std::int32_t count, std::vector<std::string>* lines) {
  for (std::int32_t k = count; k >= 1; --k) {
    FetchEntryName(CardFileTable[k]);
    lines->push_back(ListLine(CardFileTable[k].Name));
  }
  g_index.Build(false);
}

std::vector<std::string> RebuildCardList() {
  std::vector<std::string> lines;
  CardFileCount = ScanCardDirectory();
  FillCardList(CardFileCount, &lines);
  // The table was read whole and nothing was written since its names: it is
  // what the directory holds.
  g_index.MarkCurrent();
  FreeClusterCount = static_cast<std::uint16_t>(CountFreeClusters());
  return lines;
}

CardFileRef CardFileRef::OfFileId(std::uint8_t fileId, std::string shown) {
  CardFileRef ref;
  ref.by_ = By::kFileId;
  ref.fileId_ = fileId;
  ref.name_ = std::move(shown);
  return ref;
}

CardFileRef CardFileRef::OfPlace(DirEntryPos place, std::string shown) {
  CardFileRef ref;
  ref.by_ = By::kPlace;
  ref.place_ = place;
  ref.name_ = std::move(shown);
  return ref;
}

std::int32_t FindCardFile(const CardFileRef& ref) { return g_index.Find(ref); }

CardFileRef CardFileRefOf(std::int32_t r) {
  const std::string line = ListLine(CardFileTable[r].Name);
  return FindCardFile(line) == r ? CardFileRef(line) : CardFileRef::OfFileId(CardFileTable[r].FileId, line);
}

bool CardFileEntry(const TFileInfor& record, DirEntry* entry) { return ReadDirEntry(PosOf(record), entry); }

std::uint32_t CardFileSize(const TFileInfor& record) {
  DirEntry entry;
  return CardFileEntry(record, &entry) ? entry.size : 0;
}

std::int32_t FindCardFileNow(const CardFileRef& ref) {
  ReadCardFilesAfresh();
  return FindCardFile(ref);
}

bool CardNameOnCard(const std::string& cardName) {
  if (!g_index.Current()) ReadCardFilesAfresh();
  return FindCardFile(cardName) > 0 || g_index.Added(cardName);
}

void AddedCardName(const std::string& cardName, std::uint64_t before) { g_index.Add(cardName, before); }

std::vector<CardFileRef> PinCardFiles(const std::vector<CardFileRef>& refs) {
  ReadCardFilesAfresh();
  std::vector<CardFileRef> pinned;
  for (const CardFileRef& ref : refs) {
    const std::int32_t r = FindCardFile(ref);
    pinned.push_back(r > 0 ? CardFileRef::OfPlace(PosOf(CardFileTable[r]), ref.name()) : CardFileRef());
  }
  return pinned;
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

CardOpResult ReleaseCardFile(const CardFileRef& ref) {
  ReadCardFilesAfresh();
  const std::int32_t j = FindCardFile(ref);
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
  // The table still holds the released record: it no longer tells what the
  // directory holds.
  g_index.Build(false);
  return kOpOk;
}

CardOpResult RenameCardFile(const CardFileRef& ref, const std::string& newName) {
  std::string card;
  if (const CardOpResult refused = CardNameForNew(newName, &card); refused != kOpOk) return refused;
  ReadCardFilesAfresh();
  const std::int32_t other = FindCardFile(card);
  const std::int32_t r = FindCardFile(ref);
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

CardOpResult OrderMusicFiles(const std::vector<CardFileRef>& first) {
  ReadCardFilesAfresh();
  std::vector<std::int32_t> order;
  for (const CardFileRef& ref : first) {
    const std::int32_t r = FindCardFile(ref);
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
  g_index.Build(false);
  FlushVolume(FlushOrder::kAdding);
  return DeviceState == kDeviceReady ? kOpOk : kOpDeviceFailed;
}
