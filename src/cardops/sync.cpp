#include "sync.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

#include "fs.h"
#include "text.h"

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

// The folder's music and voice files, by name.
bool FolderFiles(const std::string& dir, std::vector<SyncStep>* files) {
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec);
  if (ec) return false;
  for (const auto& entry : it) {
    std::error_code statError;
    if (!entry.is_regular_file(statError)) continue;
    SyncStep step;
    step.name = entry.path().filename().string();
    const int kind = FileKindOf(step.name);
    if (kind != 1 && kind != 2) continue;
    step.voice = kind == 2;
    step.pcPath = entry.path().string();
    step.size = entry.file_size(statError);
    if (statError) continue;
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

}  // namespace

std::vector<std::string> SyncPlan::DeleteLines() const {
  std::vector<std::string> lines;
  for (const SyncStep& s : steps)
    if (s.action == SyncAction::kDelete || s.action == SyncAction::kReplace) lines.push_back(s.line);
  return lines;
}

std::vector<SendItem> SyncPlan::SendItems() const {
  std::vector<SendItem> items;
  for (const SyncStep& s : steps)
    if (IsSend(s.action)) items.push_back({s.pcPath, s.name});
  return items;
}

bool PlanSync(const std::string& dir, bool deleteExtra, bool partial, SyncPlan* plan) {
  *plan = SyncPlan();
  std::vector<SyncStep> folder;
  if (!FolderFiles(dir, &folder)) return false;

  // The card's files by the name they are shown and fetched under.
  std::map<std::string, std::int32_t> onCard;
  for (std::int32_t r = CardFileCount; r >= 1; --r) {
    const std::string name = PcNameFromCard(ListLine(CardFileTable[r].Name));
    if (!name.empty()) onCard.emplace(name, r);
  }
  std::vector<bool> matched(static_cast<std::size_t>(CardFileCount) + 1, false);
  for (SyncStep& step : folder) {
    step.result = NameRefusal(step);
    const auto found = onCard.find(step.name);
    if (found != onCard.end()) {
      const std::int32_t r = found->second;
      matched[static_cast<std::size_t>(r)] = true;
      step.line = CardFileLine(r);
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
  Room room;
  room.clusters = CountFreeClusters();
  room.slots = CountFreeNameSlots();
  room.entries = CountFreeDirEntries();
  int music = 0, voice = 0;
  for (std::int32_t r = 1; r <= CardFileCount; ++r) ++(IsVoiceFileId(CardFileTable[r].FileId) ? voice : music);
  for (std::int32_t r = CardFileCount; r >= 1; --r) {
    if (matched[static_cast<std::size_t>(r)]) continue;
    SyncStep step;
    step.name = PcNameFromCard(ListLine(CardFileTable[r].Name));
    step.line = CardFileLine(r);
    step.size = CardFileSize(CardFileTable[r]);
    step.oldClusters = ClustersForSize(static_cast<std::uint32_t>(step.size));
    step.voice = IsVoiceFileId(CardFileTable[r].FileId);
    step.action = deleteExtra ? SyncAction::kDelete : SyncAction::kExtra;
    if (deleteExtra) {
      room.clusters += step.oldClusters;
      ++room.slots;
      ++room.entries;
      --(step.voice ? voice : music);
    }
    plan->steps.push_back(step);
  }
  room.music = 127 - music;
  room.voice = 127 - voice;
  plan->clustersFree = static_cast<std::uint32_t>(room.clusters);

  // The whole plan against each limit.
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

  if (!plan->Fits() && partial) {
    // As many of the files as fit, in name order; the rest left out (a file
    // to replace left out keeps its card version).
    plan->clustersNeeded = 0;
    for (SyncStep& s : plan->steps) {
      if (!IsSend(s.action)) continue;
      if (room.Take(s)) plan->clustersNeeded += s.clusters;
      else s.action = SyncAction::kLeftOut;
    }
  }
  return true;
}

std::vector<std::string> SyncedMusicOrder(const SyncPlan& plan) {
  std::vector<std::string> lines;
  for (const SyncStep& s : plan.steps) {
    if (s.voice || s.pcPath.empty()) continue;
    if (s.action != SyncAction::kKeep && s.action != SyncAction::kSend && s.action != SyncAction::kReplace) continue;
    std::string card;
    if (!CardNameFromPc(s.name, &card)) continue;
    if (FindCardFile(card) > 0) lines.push_back(card);
  }
  return lines;
}
