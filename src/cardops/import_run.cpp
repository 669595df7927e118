// The import run (import.h): each new recording fetched, decoded, read back
// and compared, and only then named, dated, flushed and recorded; the card
// freed afterwards on request.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

#include "fs.h"
#include "import.h"
#include "platform.h"
#include "sha256.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kRecordName = ".zk27-imports";
constexpr const char* kWorkName = ".zk27-import-work";
// Every file the run writes into a dated folder starts under this prefix
// and takes its own name only when proven; the next run removes whatever a
// killed one left so.
constexpr const char* kPartPrefix = ".zk27-part-";

// Removes the files it holds when it goes, unless they were kept, and then
// the folder it was given when that is left empty.
class Leftovers {
 public:
  ~Leftovers() {
    std::error_code ec;
    for (const fs::path& p : paths_) fs::remove(p, ec);
    if (!folder_.empty() && fs::is_empty(folder_, ec)) fs::remove(folder_, ec);
  }
  const fs::path& Add(fs::path p) { return paths_.emplace_back(std::move(p)); }
  void Keep(const fs::path& p) { std::erase(paths_, p); }
  void AddFolder(fs::path p) { folder_ = std::move(p); }

 private:
  std::vector<fs::path> paths_;
  fs::path folder_;
};

// The temporary name of `name` in `folder`.
fs::path PartOf(const fs::path& folder, const std::string& name) {
  return folder / platform::PathOf(kPartPrefix + std::to_string(platform::ProcessId()) + "-" + name);
}

// What a cut run left: its work folder, and its temporaries in the dated
// folders (one level below DIR).
void RemoveLeftovers(const fs::path& folder) {
  std::error_code ec;
  fs::remove_all(folder / kWorkName, ec);
  for (const fs::directory_entry& day : fs::directory_iterator(folder, ec)) {
    if (!day.is_directory(ec) || day.is_symlink(ec)) continue;
    std::error_code inner;
    for (const fs::directory_entry& f : fs::directory_iterator(day.path(), inner))
      if (platform::TextOf(f.path().filename()).rfind(kPartPrefix, 0) == 0) fs::remove(f.path(), inner);
  }
}

// Flushes a file's or a folder's data and entries to the disk.
bool SyncPath(const fs::path& path) { return platform::FlushPath(platform::TextOf(path)); }

// Moves `from` to `to` only where no file is; errno is EEXIST when the
// name is taken.
bool MoveWithoutReplacing(const fs::path& from, const fs::path& to) {
  return platform::RenameNoReplace(platform::TextOf(from), platform::TextOf(to));
}

// Gives `part` the name `name` in `folder`, or name-2, name-3, ... when
// taken, never over a file. The name given in `placed`.
bool PlaceWithoutReplacing(const fs::path& part, const fs::path& folder, const std::string& name,
                           std::string* placed) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    *placed = FreeNameIn(platform::TextOf(folder), name);
    if (MoveWithoutReplacing(part, folder / platform::PathOf(*placed))) return true;
    // Another file took the name since it was found free: the next one.
    if (errno != EEXIST) return false;
  }
  return false;
}

// Whether two files hold the same bytes.
bool SameBytes(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  if (!x || !y) return false;
  std::vector<char> p(65536), q(65536);
  for (;;) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) return false;
    if (x.gcount() == 0 || x.eof() || y.eof()) return x.eof() == y.eof() && !x.bad() && !y.bad();
  }
}

// The failures of the PC side that leave DIR unable to take the next
// recording either: the run ends on them.
bool FolderTakesNoMore(CardOpResult r) {
  return r == kOpCannotCreatePcFile || r == kOpPcWriteFailed || r == kOpWavNotWritten;
}

// What the decoder's refusal of a recording is: the file's fault, reported
// and left on the card; the others are the PC's.
bool DecoderRefused(CardOpResult r) { return r == kOpNotVoice || r == kOpDecodeFailed || r == kOpVoiceTooLong; }

// One recording through the steps; `item` says how far it got.
class ImportOne {
 public:
  ImportOne(const ImportCandidate& c, const ImportOptions& options, const fs::path& work, const std::string& today,
            ImportItem* item)
      : c_(c), options_(options), work_(work), today_(today), item_(*item) {
    item_.cardName = c.cardName;
    item_.cardBytes = c.size;
  }

  // Fetches the recording into the work folder; its hash in `hash`.
  bool Fetch(const ProgressFn& progress, std::string* hash) {
    record_ = FindCardFile(c_.ref);
    if (record_ == 0) return Fail(kOpNotOnCard, "it is no longer on the card");
    const CardOpResult r = FetchCardFileTo(record_, platform::TextOf(work_), progress, &pcName_);
    if (r != kOpOk) return Fail(r, r == kOpUnsafeName || r == kOpNotAPcName ? "its name cannot be a PC file's" : "it could not be read");
    fetched_ = leftovers_.Add(work_ / platform::PathOf(pcName_));
    *hash = Sha256OfFile(platform::TextOf(fetched_));
    if (hash->empty()) return Fail(kOpPcReadFailed, "its copy could not be read back");
    day_ = ImportDay(c_.cardName, today_);
    dayFolder_ = platform::PathOf(options_.folder) / platform::PathOf(day_);
    soundName_ = VoiceOutputName(pcName_, options_.format);
    return true;
  }

  // The dry run's answer: where the sound file would go.
  void Plan() {
    item_.outcome = ImportOutcome::kWouldImport;
    item_.where = day_ + "/" + FreeNameIn(platform::TextOf(dayFolder_), soundName_);
  }

  // Decodes the recording twice, into the format asked for under a
  // temporary name and into a WAV reference, and compares the two as read
  // back.
  bool DecodeAndVerify() {
    std::error_code ec;
    // A dated folder made for a recording that does not come is not left.
    if (fs::create_directories(dayFolder_, ec)) leftovers_.AddFolder(dayFolder_);
    if (ec) return Fail(kOpCannotCreatePcFile, "its folder " + day_ + " could not be made");
    const fs::path reference = leftovers_.Add(work_ / platform::PathOf("reference-" + soundName_ + ".wav"));
    CardOpResult r = DecodeVoiceFileTo(platform::TextOf(fetched_), platform::TextOf(reference), VoiceOutput{});
    if (r == kOpOk && !Stopped()) {
      sound_ = leftovers_.Add(PartOf(dayFolder_, soundName_));
      r = DecodeVoiceFileTo(platform::TextOf(fetched_), platform::TextOf(sound_), VoiceOutput{options_.format, 0});
    }
    if (DecoderRefused(r)) return Refuse(r);
    if (r != kOpOk) return Fail(r, "its sound file could not be written");
    if (Stopped()) return false;
    r = CompareSoundFiles(platform::TextOf(sound_), platform::TextOf(reference), options_.format);
    if (r != kOpOk) return Fail(r == kOpVerifyFailed ? kOpVerifyFailed : kOpPcReadFailed,
                                "its sound file did not read back as written");
    fs::remove(reference, ec);
    return !Stopped();
  }

  // --keep-voc: the fetched file moved beside the sound file under a
  // temporary name, and compared byte for byte with a second read from the
  // card.
  bool KeepVoiceFile() {
    voc_ = leftovers_.Add(PartOf(dayFolder_, pcName_));
    std::error_code ec;
    fs::rename(fetched_, voc_, ec);
    if (ec) fs::copy_file(fetched_, voc_, ec);
    if (ec) return Fail(kOpPcWriteFailed, "its voice file could not be written");
    const fs::path again = work_ / "second";
    fs::create_directories(again, ec);
    std::string name;
    const CardOpResult r = FetchCardFileTo(record_, platform::TextOf(again), nullptr, &name);
    if (r != kOpOk) return Fail(r, "it could not be read a second time");
    const fs::path second = leftovers_.Add(again / platform::PathOf(name));
    if (!SameBytes(voc_, second)) return Fail(kOpVerifyFailed, "the card gave other bytes on a second read");
    fs::remove(second, ec);
    return !Stopped();
  }

  // The proven files dated, flushed, named and their folder flushed, then
  // the record's line: the recording counts.
  bool PlaceAndRecord(const std::string& hash) {
    for (const fs::path& part : {sound_, voc_}) {
      if (part.empty()) continue;
      DateImportedFile(platform::TextOf(part), day_);
      if (!SyncPath(part)) return Fail(kOpPcWriteFailed, "its files could not be flushed to the disk");
    }
    std::string soundPlaced, vocPlaced;
    if (!PlaceWithoutReplacing(sound_, dayFolder_, soundName_, &soundPlaced))
      return Fail(kOpCannotCreatePcFile, "its sound file could not be given its name");
    const fs::path soundFinal = leftovers_.Add(dayFolder_ / platform::PathOf(soundPlaced));
    fs::path vocFinal;
    if (!voc_.empty()) {
      if (!PlaceWithoutReplacing(voc_, dayFolder_, pcName_, &vocPlaced))
        return Fail(kOpCannotCreatePcFile, "its voice file could not be given its name");
      vocFinal = leftovers_.Add(dayFolder_ / platform::PathOf(vocPlaced));
    }
    item_.where = day_ + "/" + soundPlaced;
    if (!voc_.empty()) item_.vocWhere = day_ + "/" + vocPlaced;
    if (!SyncPath(dayFolder_) || !SyncPath(platform::PathOf(options_.folder)))
      return Fail(kOpPcWriteFailed, "its folder could not be flushed to the disk");
    if (!AppendImportRecord(options_.folder, hash, c_.cardName, c_.size, item_.where, today_))
      return Fail(kOpPcWriteFailed, "the import record could not be written");
    std::error_code ec;
    item_.bytesWritten = fs::file_size(soundFinal, ec) + (vocFinal.empty() ? 0 : fs::file_size(vocFinal, ec));
    leftovers_.Keep(soundFinal);
    leftovers_.Keep(vocFinal);
    item_.outcome = ImportOutcome::kImported;
    item_.result = kOpOk;
    item_.reason.clear();
    return true;
  }

  bool Skip() {
    item_.outcome = ImportOutcome::kSkippedKnown;
    return true;
  }

 private:
  bool Fail(CardOpResult r, const std::string& reason) {
    item_.result = r;
    if (r == kOpStopped) {
      item_.outcome = ImportOutcome::kStopped;
      item_.reason = "the import was stopped";
    } else {
      item_.outcome = ImportOutcome::kFailed;
      item_.reason = reason;
    }
    return false;
  }
  bool Refuse(CardOpResult r) {
    item_.result = r;
    item_.outcome = ImportOutcome::kRefused;
    item_.reason = r == kOpNotVoice      ? "it is another format's file, not a voice recording"
                   : r == kOpVoiceTooLong ? "its sound is too long for one sound file"
                                          : "it holds nothing the decoder can read";
    return false;
  }
  // A stop asked for between the steps cuts the recording there.
  bool Stopped() { return StopRequested() && !Fail(kOpStopped, {}); }

  const ImportCandidate& c_;
  const ImportOptions& options_;
  const fs::path work_;
  const std::string today_;
  ImportItem& item_;
  Leftovers leftovers_;
  std::int32_t record_ = 0;
  std::string pcName_, soundName_, day_;
  fs::path dayFolder_, fetched_, sound_, voc_;
};

ImportItem Try(const ImportCandidate& c, const fs::path& work, std::set<std::string>* known,
               const ImportOptions& options, const std::string& today, const ProgressFn& progress) {
  ImportItem item;
  ImportOne one(c, options, work, today, &item);
  std::string hash;
  if (!one.Fetch(progress, &hash)) return item;
  if (known->count(hash) && !options.again) {
    one.Skip();
    return item;
  }
  if (options.dryRun) {
    one.Plan();
    return item;
  }
  if (!one.DecodeAndVerify()) return item;
  if (options.keepVoc && !one.KeepVoiceFile()) return item;
  if (one.PlaceAndRecord(hash)) known->insert(hash);
  return item;
}

// The folder held for the run: made when missing, its record opened and
// locked so that two runs never bring recordings into it at once.
class FolderHold {
 public:
  explicit FolderHold(const std::string& folder) {
    std::error_code ec;
    fs::create_directories(platform::PathOf(folder), ec);
    fd_ = ec ? -1 : platform::OpenFile(platform::TextOf(platform::PathOf(folder) / kRecordName), platform::kCreateOrOpen);
    if (fd_ < 0) {
      end_ = ImportEnd::kFolderUnusable;
    } else if (!platform::TryLockFile(fd_, true)) {
      end_ = errno == EWOULDBLOCK ? ImportEnd::kFolderBusy : ImportEnd::kFolderUnusable;
    }
  }
  ~FolderHold() {
    if (fd_ >= 0) platform::CloseFile(fd_);
  }
  FolderHold(const FolderHold&) = delete;
  FolderHold& operator=(const FolderHold&) = delete;
  // kWhole when the folder is held.
  ImportEnd End() const { return end_; }

 private:
  int fd_ = -1;
  ImportEnd end_ = ImportEnd::kWhole;
};

// The work folder: in DIR, or for a dry run, which writes nothing into DIR,
// in the system's temporary folder.
fs::path WorkFolder(const ImportOptions& options) {
  if (!options.dryRun) return platform::PathOf(options.folder) / kWorkName;
  std::error_code ec;
  return fs::temp_directory_path(ec) / (std::string(kWorkName) + "-" + std::to_string(platform::ProcessId()));
}

// How the run ends after `item`, or kWhole to go on.
ImportEnd EndAfter(const ImportItem& item) {
  if (item.outcome == ImportOutcome::kStopped) return ImportEnd::kStopped;
  if (CardOrLinkLost()) return ImportEnd::kCardLost;
  if (item.outcome == ImportOutcome::kFailed && FolderTakesNoMore(item.result)) return ImportEnd::kPcFailed;
  return ImportEnd::kWhole;
}

// Whether the card file `ref` names is still the one fetched: its name and size.
bool StillTheSame(const ImportCandidate& c) {
  const std::int32_t r = FindCardFileNow(c.ref);
  return r > 0 && CardFileTable[r].Name == c.cardName && CardFileSize(CardFileTable[r]) == c.size;
}

// --free: the recordings the run imported, deleted in one pass once the run
// ended whole and the card is still as it was read.
void FreeImported(const std::vector<ImportCandidate>& found, ImportReport* report) {
  if (report->end != ImportEnd::kWhole) {
    report->freeing = ImportFreeing::kHeldBack;
    return;
  }
  std::vector<CardFileRef> refs;
  std::vector<ImportItem*> freeing;
  for (ImportItem& item : report->items) {
    if (item.outcome != ImportOutcome::kImported) continue;
    refs.push_back(found[item.index].ref);
    freeing.push_back(&item);
  }
  if (refs.empty()) {
    report->freeing = ImportFreeing::kNothingToFree;
    return;
  }
  if (!CardTablesUnchanged() ||
      !std::all_of(freeing.begin(), freeing.end(), [&](ImportItem* i) { return StillTheSame(found[i->index]); })) {
    report->freeing = ImportFreeing::kCardChanged;
    if (CardOrLinkLost()) report->sessionEnded = true;
    return;
  }
  PassCallbacks view;
  view.finished = [&](const FileReport& f) {
    if (!f.counted) return;
    freeing[f.index]->freed = true;
  };
  const PassSummary summary = RunDeletePass(refs, view);
  if (summary.stopped) {
    for (ImportItem* i : freeing) i->freed = false;
    report->freeing = ImportFreeing::kStopped;
    report->stopped = true;
    return;
  }
  if (summary.end == PassStep::kEndSession) {
    for (ImportItem* i : freeing) i->freed = false;
    report->freeing = ImportFreeing::kTablesFailed;
    report->tablesTouched = summary.tablesTouched;
    report->sessionEnded = true;
    report->last = summary.last;
    return;
  }
  report->freeing = ImportFreeing::kFreed;
  for (ImportItem* i : freeing) {
    if (!i->freed) continue;
    ++report->freed;
    report->freedBytes += i->cardBytes;
  }
}

}  // namespace

ImportReport RunImport(const ImportOptions& options, const ImportView& view) {
  ImportReport report;
  std::optional<FolderHold> hold;
  if (!options.dryRun) {
    hold.emplace(options.folder);
    if (hold->End() != ImportEnd::kWhole) {
      report.end = hold->End();
      report.last = kOpCannotCreatePcFile;
      return report;
    }
    RemoveLeftovers(platform::PathOf(options.folder));
  }
  const std::vector<ImportCandidate> found = ListVoiceRecordings();
  const std::vector<std::string> record = ReadImportRecord(options.folder);
  std::set<std::string> known(record.begin(), record.end());
  const std::string today = ImportToday();
  const fs::path work = WorkFolder(options);
  std::error_code ec;
  fs::create_directories(work, ec);
  if (ec) {
    report.end = ImportEnd::kFolderUnusable;
    report.last = kOpCannotCreatePcFile;
    return report;
  }
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (view.starting) view.starting(i, static_cast<int>(i + 1), static_cast<int>(found.size()));
    ImportItem item = Try(found[i], work, &known, options, today, view.transferring ? view.transferring(i) : nullptr);
    item.index = i;
    if (item.outcome == ImportOutcome::kImported) {
      ++report.imported;
      report.importedBytes += item.bytesWritten;
    }
    if (view.finished) view.finished(item);
    report.items.push_back(item);
    report.end = EndAfter(item);
    if (report.end != ImportEnd::kWhole) {
      report.last = item.result;
      break;
    }
  }
  report.stopped = report.end == ImportEnd::kStopped;
  report.sessionEnded = report.end == ImportEnd::kCardLost;
  fs::remove_all(work, ec);
  if (options.free && !options.dryRun) FreeImported(found, &report);
  return report;
}
