#include "sync.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "fs.h"
#include "platform.h"
#include "text.h"
#include "usbfunc.h"

namespace {

// What a plan may still take of the card.
struct Room {
  std::int64_t clusters = 0;
  std::int64_t slots = 0;
  std::int64_t entries = 0;
  std::int64_t music = 0;  // FileIds left
  std::int64_t voice = 0;

  // Whether `step` (a send or a replacement) fits, and takes it if so.
  bool Take(const SyncStep& step) {
    const bool replace = step.action == SyncAction::kReplace;
    const std::int64_t clustersAfter = clusters + (replace ? step.oldClusters : 0) - step.clusters;
    std::int64_t& ids = step.voice ? voice : music;
    const std::int64_t need = replace ? 0 : 1;
    if (clustersAfter < 0 || slots < need || entries < need || ids < need) return false;
    clusters = clustersAfter;
    slots -= need;
    entries -= need;
    ids -= need;
    return true;
  }
};

bool IsSend(SyncAction a) { return a == SyncAction::kSend || a == SyncAction::kReplace; }

// The steps that send, in the order they are carried out: replacements that
// take no more clusters than they free, then the other replacements, then the
// new files. Once the first group is done every step only takes, so a plan
// that fits as a whole finds room at every step.
std::vector<std::size_t> SendOrder(const std::vector<SyncStep>& steps) {
  std::vector<std::size_t> order;
  auto add = [&](auto wanted) {
    for (std::size_t i = 0; i < steps.size(); ++i)
      if (wanted(steps[i])) order.push_back(i);
  };
  add([](const SyncStep& s) { return s.action == SyncAction::kReplace && s.clusters <= s.oldClusters; });
  add([](const SyncStep& s) { return s.action == SyncAction::kReplace && s.clusters > s.oldClusters; });
  add([](const SyncStep& s) { return s.action == SyncAction::kSend; });
  return order;
}

// A name for the new copy of `name` while the card keeps the old one: of the
// same kind, one the card can hold, and none of `taken` (the plan's names,
// the card's, the temporary names given before). "memo-zk27-new.voc", or
// "zk27-new-N.voc" where that is too long or taken; empty when none is free.
// No dot is added: the kind stays the one the name's own ending gives.
std::string TemporaryName(const std::string& name, const std::set<std::string>& taken) {
  const std::size_t dot = name.rfind('.');
  const std::string stem = name.substr(0, dot), ext = name.substr(dot);
  std::string card;
  auto usable = [&](const std::string& candidate) {
    return taken.count(candidate) == 0 && CardNameForNew(candidate, &card) == kOpOk &&
           FileKindOf(candidate) == FileKindOf(name);
  };
  if (!stem.empty() && stem[0] != '.' && usable(stem + "-zk27-new" + ext)) return stem + "-zk27-new" + ext;
  for (int n = 1; n <= 999; ++n)
    if (const std::string candidate = "zk27-new-" + std::to_string(n) + ext; usable(candidate)) return candidate;
  return {};
}

// Which replacements the card has room to hold both copies of, at their
// turn, starting from `room` (the card once the deletions are made): a
// cluster for each of the new copy's, and an entry, a name slot and a FileId
// of its kind for the copy under its temporary name.
void PlanReplacements(Room room, SyncPlan* plan) {
  std::set<std::string> taken;
  for (const SyncStep& s : plan->steps) taken.insert(s.name);
  for (const std::size_t i : SendOrder(plan->steps)) {
    SyncStep& s = plan->steps[i];
    std::int64_t& ids = s.voice ? room.voice : room.music;
    if (s.action == SyncAction::kSend) {
      room.clusters -= s.clusters;
      --room.slots, --room.entries, --ids;
      continue;
    }
    const bool both = room.clusters >= s.clusters && room.slots >= 1 && room.entries >= 1 && ids >= 1;
    if (both) s.tempName = TemporaryName(s.name, taken);
    if (!s.tempName.empty()) taken.insert(s.tempName);
    room.clusters += std::int64_t{s.oldClusters} - s.clusters;
  }
}

// The folder's files, by name: its music and voice files, and its other
// files as kWrongKind.
bool FolderFiles(const std::string& dir, std::vector<SyncStep>* files) {
  std::error_code ec;
  std::filesystem::directory_iterator it(platform::PathOf(dir), ec);
  if (ec) return false;
  for (const auto& entry : it) {
    std::error_code statError;
    if (!entry.is_regular_file(statError)) continue;
    SyncStep step;
    step.name = platform::TextOf(entry.path().filename());
    const FileKind kind = FileKindOf(step.name);
    step.voice = kind == kKindVoice;
    step.pcPath = platform::TextOf(entry.path());
    step.size = entry.file_size(statError);
    if (statError) continue;
    if (kind != kKindMusic && kind != kKindVoice) {
      step.action = SyncAction::kWrongKind;
      step.result = kOpWrongKind;
      files->push_back(step);
      continue;
    }
    step.clusters = step.size > 0xFFFFFFFFull ? 0xFFFFFFFFu : ClustersForSize(static_cast<std::uint32_t>(step.size));
    files->push_back(step);
  }
  std::sort(files->begin(), files->end(), [](const SyncStep& a, const SyncStep& b) { return a.name < b.name; });
  return true;
}

// Why the card cannot hold the file, or kOpOk.
CardOpResult NameRefusal(const SyncStep& step) {
  std::string card;
  if (const CardOpResult refused = CardNameForNew(step.name, &card); refused != kOpOk) return refused;
  // The size field holds 32 bits.
  return step.size > 0xFFFFFFFFull ? kOpNoSpace : kOpOk;
}

// The card's files by the name they are shown and fetched under.
std::map<std::string, std::int32_t> CardFilesByPcName() {
  std::map<std::string, std::int32_t> onCard;
  for (std::int32_t r = CardFileCount; r >= 1; --r) {
    const std::string name = PcNameFromCard(ListLine(CardFileTable[r].Name));
    if (!name.empty()) onCard.emplace(name, r);
  }
  return onCard;
}

// The folder's files as steps of the plan: kept, replaced, sent or refused
// by the card file of their name. `matched` receives, by record, the card
// files that have a copy in the folder.
void MatchFolderFiles(std::vector<SyncStep>& folder, SyncPlan* plan, std::vector<bool>* matched) {
  const std::map<std::string, std::int32_t> onCard = CardFilesByPcName();
  matched->assign(static_cast<std::size_t>(CardFileCount) + 1, false);
  for (SyncStep& step : folder) {
    // Of no kind the card takes: no card file is its copy, even one of its name.
    if (step.action == SyncAction::kWrongKind) {
      plan->steps.push_back(step);
      continue;
    }
    step.result = NameRefusal(step);
    const auto found = onCard.find(step.name);
    if (found != onCard.end()) {
      const std::int32_t r = found->second;
      (*matched)[static_cast<std::size_t>(r)] = true;
      step.card = CardFileRefOf(r);
      const std::uint32_t size = CardFileSize(CardFileTable[r]);
      step.oldClusters = ClustersForSize(size);
      step.action = size == step.size ? SyncAction::kKeep : SyncAction::kReplace;
      // A file of the same name but another kind of FileId is left alone.
      if (step.action == SyncAction::kReplace && IsVoiceFileId(CardFileTable[r].FileId) != step.voice)
        step.action = SyncAction::kKeep;
    } else {
      step.action = step.result == kOpOk ? SyncAction::kSend : SyncAction::kRefused;
    }
    plan->steps.push_back(step);
  }
}

// What the card has free now: clusters, name slots, entries, FileIds.
Room RoomOnCard() {
  Room room;
  room.clusters = CountFreeClusters();
  room.slots = CountFreeNameSlots();
  room.entries = CountFreeDirEntries();
  int music = 0, voice = 0;
  for (std::int32_t r = 1; r <= CardFileCount; ++r) ++(IsVoiceFileId(CardFileTable[r].FileId) ? voice : music);
  room.music = 127 - music;
  room.voice = 127 - voice;
  return room;
}

// The card files the folder lacks, as steps: deleted with `deleteExtra`
// (what they free added to `room`), else left as extras.
void AddCardOnlyFiles(const std::vector<bool>& matched, bool deleteExtra, SyncPlan* plan, Room* room) {
  for (std::int32_t r = CardFileCount; r >= 1; --r) {
    if (matched[static_cast<std::size_t>(r)]) continue;
    SyncStep step;
    step.name = PcNameFromCard(ListLine(CardFileTable[r].Name));
    step.card = CardFileRefOf(r);
    step.size = CardFileSize(CardFileTable[r]);
    step.oldClusters = ClustersForSize(static_cast<std::uint32_t>(step.size));
    step.voice = IsVoiceFileId(CardFileTable[r].FileId);
    step.action = deleteExtra ? SyncAction::kDelete : SyncAction::kExtra;
    if (deleteExtra) {
      room->clusters += step.oldClusters;
      ++room->slots;
      ++room->entries;
      ++(step.voice ? room->voice : room->music);
    }
    plan->steps.push_back(step);
  }
}

// The whole plan against each limit of `room` (the card once the deletions
// are made): what it needs of each beyond what is there, and the names the
// card refuses.
void FindShortfalls(const Room& room, SyncPlan* plan) {
  std::uint64_t sent = 0, newMusic = 0, newVoice = 0, refused = 0;
  std::int64_t freed = 0;
  for (const SyncStep& s : plan->steps) {
    if (s.action == SyncAction::kRefused) ++refused;
    if (!IsSend(s.action)) continue;
    plan->clustersNeeded += s.clusters;
    if (s.action == SyncAction::kReplace) {
      freed += s.oldClusters;
      continue;
    }
    ++sent;
    ++(s.voice ? newVoice : newMusic);
  }
  plan->clustersFree += static_cast<std::uint32_t>(freed);
  auto shortOf = [&](SyncLimit limit, std::uint64_t needed, std::int64_t available) {
    const auto have = static_cast<std::uint64_t>(std::max<std::int64_t>(available, 0));
    if (needed > have) plan->shortfalls.push_back({limit, needed, have});
  };
  shortOf(SyncLimit::kClusters, plan->clustersNeeded, room.clusters + freed);
  shortOf(SyncLimit::kNameSlots, sent, room.slots);
  shortOf(SyncLimit::kDirEntries, sent, room.entries);
  shortOf(SyncLimit::kMusicIds, newMusic, room.music);
  shortOf(SyncLimit::kVoiceIds, newVoice, room.voice);
  if (refused > 0) plan->shortfalls.push_back({SyncLimit::kNames, refused, 0});
}

// As many of the files as fit in `room`, in name order; the rest left out
// (a file to replace left out keeps its card version).
void LeaveOutWhatDoesNotFit(Room room, SyncPlan* plan) {
  plan->clustersNeeded = 0;
  for (SyncStep& s : plan->steps) {
    if (!IsSend(s.action)) continue;
    if (room.Take(s)) plan->clustersNeeded += s.clusters;
    else s.action = SyncAction::kLeftOut;
  }
}

}  // namespace

std::vector<CardFileRef> SyncPlan::DeleteLines() const {
  std::vector<CardFileRef> files;
  for (const SyncStep& s : steps)
    if (s.action == SyncAction::kDelete) files.push_back(s.card);
  return files;
}

std::size_t SyncPlan::LeftOut() const {
  return static_cast<std::size_t>(std::count_if(steps.begin(), steps.end(), [](const SyncStep& s) {
    return s.action == SyncAction::kRefused || s.action == SyncAction::kLeftOut || s.action == SyncAction::kWrongKind;
  }));
}

bool SyncPlan::NothingToDo() const {
  return std::none_of(steps.begin(), steps.end(),
                      [](const SyncStep& s) { return IsSend(s.action) || s.action == SyncAction::kDelete; });
}

std::vector<SendItem> SyncPlan::SendItems() const {
  std::vector<SendItem> items;
  for (const std::size_t i : SendOrder(steps)) {
    const SyncStep& s = steps[i];
    const bool replace = s.action == SyncAction::kReplace;
    items.push_back({s.pcPath, s.name, replace ? s.card : CardFileRef(), s.tempName, s.size});
  }
  return items;
}

bool PlanSync(const std::string& dir, bool deleteExtra, bool partial, SyncPlan* plan) {
  *plan = SyncPlan();
  std::vector<SyncStep> folder;
  if (!FolderFiles(dir, &folder)) return false;
  std::vector<bool> matched;
  MatchFolderFiles(folder, plan, &matched);
  Room room = RoomOnCard();
  AddCardOnlyFiles(matched, deleteExtra, plan, &room);
  plan->clustersFree = static_cast<std::uint32_t>(room.clusters);
  FindShortfalls(room, plan);
  if (!plan->Fits() && partial) LeaveOutWhatDoesNotFit(room, plan);
  PlanReplacements(room, plan);
  return true;
}

std::vector<CardFileRef> SyncedMusicOrder(const SyncPlan& plan) {
  std::vector<CardFileRef> lines;
  for (const SyncStep& s : plan.steps) {
    if (s.voice || s.pcPath.empty()) continue;
    if (s.action != SyncAction::kKeep && s.action != SyncAction::kSend && s.action != SyncAction::kReplace) continue;
    std::string card;
    if (!CardNameFromPc(s.name, &card)) continue;
    if (FindCardFile(card) > 0) lines.push_back(card);
  }
  return lines;
}

namespace {

// What a PC file looked like when it was last looked at.
struct PcFileState {
  std::uint64_t size = 0;
  std::int64_t mtimeSec = 0;
  long mtimeNsec = 0;
  bool operator==(const PcFileState&) const = default;
};

bool StateOf(const platform::FileState& st, PcFileState* state) {
  if (st.kind != platform::FileKind::kRegular) return false;
  *state = {st.size, st.mtimeSec, st.mtimeNsec};
  return true;
}

bool StateOf(const std::string& path, PcFileState* state) {
  platform::FileState st;
  return platform::StateOf(path, &st) && StateOf(st, state);
}

// Whether the PC file reads whole: every byte of the size it had, and the
// same size and modification time once read.
bool ReadsWhole(const std::string& path, const PcFileState& before) {
  // Without blocking: a named pipe put in the file's place would wait for a
  // writer for ever.
  const int fd = platform::OpenFile(path, platform::kOpenRead | platform::kNoWait);
  if (fd < 0) return false;
  std::vector<char> buffer(kClusterBytes);
  std::uint64_t got = 0;
  long long n = 0;
  while ((n = platform::ReadSome(fd, buffer.data(), buffer.size())) > 0) got += static_cast<std::uint64_t>(n);
  platform::FileState st;
  PcFileState after;
  const bool whole =
      n == 0 && platform::StateOf(fd, &st) && StateOf(st, &after) && got == before.size && after == before;
  platform::CloseFile(fd);
  return whole;
}

// The card file `file` released in the image and written so, first of all
// its tables.
CardOpResult DeleteAt(const CardFileRef& file) {
  if (ReleaseCardFile(file) != kOpOk) return kOpNotOnCard;
  FlushVolume(FlushOrder::kReleasing);
  return DeviceState == kDeviceReady ? kOpOk : kOpDeviceFailed;
}

// The new copy under its temporary name, then the old copy released and the
// new one renamed in one releasing flush: the directory (old entry gone)
// before the NameTable (the new name).
CardOpResult SwapInNewCopy(const SendItem& item, const PcFileState& before, const ProgressFn& progress) {
  std::string tempCard, card;
  if (!CardNameFromPc(item.tempName, &tempCard) || !CardNameFromPc(item.pcName, &card)) return kOpNameNotStorable;
  if (const CardOpResult sent = SendFileToCard(item.pcPath, item.tempName, progress); sent != kOpOk) return sent;
  // Both found before either is released: the old copy may be named by its
  // FileId, which a release below it would change.
  const std::vector<CardFileRef> pinned = PinCardFiles({tempCard, item.replaces});
  const CardFileRef& newCopy = pinned[0];
  if (newCopy.empty()) return kOpDeviceFailed;
  PcFileState after;
  // A file that changed while it was sent is no copy of anything: it goes,
  // the card's copy stays.
  if (!StateOf(item.pcPath, &after) || !(after == before)) {
    const CardOpResult dropped = DeleteAt(newCopy);
    return dropped == kOpOk ? kOpPcReadFailed : dropped;
  }
  // An old copy gone meanwhile leaves nothing to release; the new one still
  // takes its name.
  if (!pinned[1].empty()) ReleaseCardFile(pinned[1]);
  if (!RenameDirEntry(newCopy.place(), card)) return kOpNameTableFull;
  FlushVolume(FlushOrder::kReleasing);
  return DeviceState == kDeviceReady ? kOpOk : kOpDeviceFailed;
}

}  // namespace

CardOpResult ReplaceCardFile(const SendItem& item, const ProgressFn& progress) {
  if (DeviceGone()) return kOpDeviceGone;
  if (!VolumeImage.mounted || DeviceState != kDeviceReady) return kOpDeviceFailed;
  PcFileState before;
  if (!StateOf(item.pcPath, &before)) return kOpCannotOpenPcFile;
  // A file that grew or shrank since the plan is still being written.
  if (before.size != item.size) return kOpPcReadFailed;
  if (!item.tempName.empty()) return SwapInNewCopy(item, before, progress);
  if (!ReadsWhole(item.pcPath, before)) return kOpPcReadFailed;
  if (StopRequested()) return kOpStopped;
  if (const CardOpResult deleted = DeleteAt(item.replaces); deleted != kOpOk) return deleted;
  return SendFileToCard(item.pcPath, item.pcName, progress);
}
