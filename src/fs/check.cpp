// The volume check and its repair.
//
// Both start from one survey of the mounted image: every live directory entry
// with its name, its chain walked as far as it is sound, the walkers of every
// cluster and the holders of every name slot; then a plan of what a repair
// keeps, cuts, drops, names and numbers. CheckVolume words what the survey
// found; RepairVolume carries the plan out. The check's "whole" comes from the
// same plan, so a file called whole is one the repair keeps cluster for
// cluster.
#include "check.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <utility>

#include "fs.h"
#include "fs_raw.h"
#include "text.h"
#include "usbfunc.h"

namespace {

constexpr std::uint16_t kFirstMark = 0xFFF0;  // 0xFFF0..0xFFFE mark a cluster, never link one
constexpr unsigned kMaxKindNumber = 127;
constexpr std::size_t kClustersNamed = 8;  // a problem line names at most this many clusters

// ---- words ----------------------------------------------------------------

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
  return text;
}
std::string Thousands(std::uint64_t n) { return FormatThousands(std::to_string(n)); }
std::string Count(std::uint64_t n, const char* one, const char* many) {
  return Thousands(n) + " " + (n == 1 ? one : many);
}
// A table value: a cluster number, or the mark it is.
std::string TableValue(std::uint32_t v) { return v >= kFirstMark ? Hex(v, 4) : std::to_string(v); }
// A name as the card list shows it: up to its first NUL.
std::string Shown(const std::string& name) { return name.substr(0, name.find('\0')); }

// "3, 4, 5, 9" of a sorted list, runs as "3-5", at most kClustersNamed items.
std::string ClusterRuns(const std::vector<std::uint16_t>& clusters) {
  std::string text;
  std::size_t items = 0;
  for (std::size_t i = 0; i < clusters.size(); ++items) {
    std::size_t j = i;
    while (j + 1 < clusters.size() && clusters[j + 1] == clusters[j] + 1) ++j;
    if (items == kClustersNamed) return text + ", ...";
    if (!text.empty()) text += ", ";
    text += std::to_string(clusters[i]);
    if (j > i) text += "-" + std::to_string(clusters[j]);
    i = j + 1;
  }
  return text;
}

// Why a card name is damage (CardNameFault), as a problem line's reason.
std::string NameFaultText(NameFault fault) {
  switch (fault) {
    case NameFault::kNone: return {};
    case NameFault::kEmpty: return "its name is empty";
    case NameFault::kHidden: return "its name begins with a dot (a hidden file on the PC)";
    case NameFault::kNotAFileName: return "its name cannot be a PC file name (a path, \"..\" or a control character)";
    case NameFault::kForeignKind: return "its name is neither a music (.mp3) nor a voice (.voc) file's";
  }
  return {};
}

std::string RecoveredName(unsigned n, bool voice) {
  char text[32];
  std::snprintf(text, sizeof(text), "recovered-%03u.%s", n, voice ? "voc" : "mp3");
  return text;
}

// ---- the table as the survey reads it -----------------------------------------

struct TableView {
  const std::vector<std::uint8_t>* bytes = nullptr;
  std::uint32_t usable = 0;  // clusters [2, usable) lie on the card

  std::uint16_t At(std::uint32_t cluster) const {
    const std::size_t at = static_cast<std::size_t>(cluster) * 2;
    if (at + 1 >= bytes->size()) return kEndOfChain;
    return static_cast<std::uint16_t>((*bytes)[at] | (*bytes)[at + 1] << 8);
  }
  bool OnCard(std::uint32_t cluster) const { return ValidCluster(cluster) && cluster < usable; }
};

// Clusters the card really holds: the boot sector's count, less what lies
// past the identified size of the card.
std::uint32_t CardUsable(std::uint32_t cardSectors) { return LayoutOnCard(cardSectors).usableClusters; }

// ---- entries ------------------------------------------------------------------

struct Entry {
  std::uint32_t sector = 0;
  std::uint32_t offset = 0;
  std::uint32_t index = 0;  // position in directory order
  std::uint8_t id = 0;
  bool voice = false;
  bool marked = false;       // name mark set
  int pointsAt = -1;         // the name slot it points at as its name (NameSlotOf), or -1
  bool halfDeleted = false;  // a music entry whose name mark is 0
  bool named = false;        // name mark set and its slot readable
  std::uint16_t slot = 0;
  std::string name;    // the slot's name, when named
  std::string listed;  // what the card list shows; empty when it shows nothing
  std::uint32_t size = 0;
  std::uint16_t first = 0;
  std::uint32_t need = 0;  // clusters the size needs

  unsigned Number() const { return id & 0x7Fu; }
  std::string Label() const {
    if (!listed.empty()) return Shown(listed);
    return std::string(voice ? "voice" : "music") + " entry " + Hex(id, 2) + " (directory entry " +
           std::to_string(index) + ")";
  }
};

std::vector<Entry> ReadEntries() {
  std::vector<Entry> entries;
  ForEachDirEntry([&](DirEntryPos at, const DirEntry& d) {
    if (!d.InUse()) return true;
    Entry e;
    e.sector = at.sector;
    e.offset = at.offset;
    e.index = at.sector * kEntriesPerDirSector + at.offset / kDirEntrySize;
    e.id = d.fileId;
    e.voice = d.Voice();
    e.marked = d.mark != 0;
    e.pointsAt = NameSlotOf(d);
    e.halfDeleted = !e.voice && !e.marked;
    e.slot = d.nameSlot;
    e.named = DirEntryName(d, &e.name);
    if (e.named) e.listed = e.name;
    else if (e.voice) e.listed = MakeVoiceName(e.id);
    e.size = d.size;
    e.first = d.firstCluster;
    e.need = ClustersForSize(e.size);
    entries.push_back(std::move(e));
    return true;
  });
  return entries;
}

// ---- chains -------------------------------------------------------------------

enum class Fault : std::uint8_t {
  kNone,
  kZeroSizeCluster,  // a 0-byte file names a cluster
  kNoCluster,        // bytes, but no first cluster on the card
  kLeaves,           // a link to no cluster of the card (or a mark)
  kLoops,
  kEndsEarly,
  kRunsIntoFree,
  kTooLong,          // the last cluster of the size does not end the chain
};

struct Walk {
  std::vector<std::uint16_t> clusters;  // the file's clusters, as far as the chain is sound
  Fault fault = Fault::kNone;
  std::uint32_t where = 0;  // the cluster where the fault shows (the field, for the first)
  std::uint32_t value = 0;  // the table value found there
};

// Follows the entry's chain for the clusters its size needs. Each step takes
// a cluster not taken before, so the walk ends within the card's clusters.
// `stamp` marks the clusters of walk `mark` to see a loop.
Walk WalkChain(const TableView& t, const Entry& e, std::vector<std::uint32_t>& stamp, std::uint32_t mark) {
  Walk w;
  if (e.need == 0) {
    if (e.first != kEndOfChain && e.first != 0) {
      w.fault = Fault::kZeroSizeCluster;
      w.where = e.first;
    }
    return w;
  }
  std::uint32_t c = e.first;
  if (!t.OnCard(c)) {
    w.fault = Fault::kNoCluster;
    w.where = c;
    return w;
  }
  for (std::uint32_t k = 0; k < e.need; ++k) {
    w.where = c;
    if (stamp[c] == mark) {
      w.fault = Fault::kLoops;
      return w;
    }
    const std::uint16_t next = t.At(c);
    w.value = next;
    if (next == 0) {
      w.fault = Fault::kRunsIntoFree;
      return w;
    }
    stamp[c] = mark;
    w.clusters.push_back(static_cast<std::uint16_t>(c));
    if (k + 1 == e.need) {
      if (next != kEndOfChain) w.fault = Fault::kTooLong;
      return w;
    }
    if (next == kEndOfChain) {
      w.fault = Fault::kEndsEarly;
      return w;
    }
    if (!t.OnCard(next)) {
      w.fault = Fault::kLeaves;
      return w;
    }
    c = next;
  }
  return w;
}

// Every entry's chain in one copy of the table, and where the walks meet.
struct ChainView {
  std::vector<Walk> walks;  // one per entry
  std::vector<bool> shared;  // per entry: another walk holds one of its clusters
  std::vector<std::int32_t> walker;  // per cluster: the first entry whose walk holds it, or -1
  // For each pair of entries (lower index first), the clusters both walks hold.
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<std::uint16_t>> meetings;
  bool agrees = true;  // every kept entry's chain is sound and shares no cluster

  bool Whole(std::size_t i) const { return walks[i].fault == Fault::kNone && !shared[i]; }
};

ChainView ViewChains(const TableView& t, const std::vector<Entry>& entries) {
  ChainView v;
  const std::size_t clusters = std::max<std::uint32_t>(t.usable, 2);
  std::vector<std::uint32_t> stamp(clusters, 0);
  v.walker.assign(clusters, -1);
  v.shared.assign(entries.size(), false);
  for (std::size_t i = 0; i < entries.size(); ++i)
    v.walks.push_back(WalkChain(t, entries[i], stamp, static_cast<std::uint32_t>(i) + 1));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    for (const std::uint16_t c : v.walks[i].clusters) {
      const std::int32_t other = v.walker[c];
      if (other < 0) {
        v.walker[c] = static_cast<std::int32_t>(i);
        continue;
      }
      v.meetings[{static_cast<std::uint32_t>(other), static_cast<std::uint32_t>(i)}].push_back(c);
      v.shared[i] = true;
      v.shared[static_cast<std::size_t>(other)] = true;
    }
  }
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (!entries[i].halfDeleted && !v.Whole(i)) v.agrees = false;
  return v;
}

// ---- the plan -------------------------------------------------------------------

enum class Naming : std::uint8_t {
  kAsIs,
  kInPlace,  // a new name written into the slot it holds alone
  kNewSlot,  // a new name in a free slot
};

struct EntryPlan {
  bool keep = true;
  std::string dropWhy;
  std::uint32_t clusters = 0;  // kept from the start of its walk
  std::string cutWhy;          // why the chain is mended, when it is
  std::uint8_t newId = 0;
  Naming naming = Naming::kAsIs;
  std::string newName;
  std::uint16_t newSlot = 0;
  std::string renameWhy;
};

struct Survey {
  std::uint32_t cardSectors = 0;
  // Clusters [2, usable) are the volume's as the survey reads it: those on
  // the card, or every one the BootSector gives when files lie past the card.
  std::uint32_t usable = 0;
  std::uint32_t cardUsable = 0;      // clusters [2, cardUsable) lie on the card itself
  std::vector<std::size_t> beyond;  // entries with clusters past the card's end, left as they are
  // Formatting reserves the clusters from here on (the card's sectors / 128)
  // although the last of them may still fit: reserved there, a cluster is
  // not lost.
  std::uint32_t formatEnd = 0;
  std::vector<Entry> entries;
  ChainView view1;            // copy 1: what the card's readers follow
  bool copy2Known = false;    // copy 2 was read and has copy 1's size
  std::uint32_t copiesDiffer = 0;  // table entries where the copies differ
  std::uint32_t firstDifference = 0;
  bool useCopy2 = false;      // the repair starts from copy 2
  ChainView base;             // the copy the plan is made on
  std::vector<EntryPlan> plan;
  std::vector<std::int32_t> holder;  // per slot index: the entry that keeps it, or -1
};

// The entries that keep the given cluster, with their position in the kept
// chain; rebuilt from the plan.
struct Claims {
  std::vector<std::int32_t> owner;
  std::vector<std::uint32_t> position;
};

Claims ClaimsOf(const Survey& s) {
  Claims c;
  const std::size_t clusters = std::max<std::uint32_t>(s.usable, 2);
  c.owner.assign(clusters, -1);
  c.position.assign(clusters, 0);
  for (std::size_t i = 0; i < s.entries.size(); ++i) {
    if (!s.plan[i].keep) continue;
    const auto& walk = s.base.walks[i].clusters;
    for (std::uint32_t k = 0; k < s.plan[i].clusters && k < walk.size(); ++k) {
      c.owner[walk[k]] = static_cast<std::int32_t>(i);
      c.position[walk[k]] = k;
    }
  }
  return c;
}

std::string FaultReason(const Walk& w) {
  switch (w.fault) {
    case Fault::kNone: return {};
    case Fault::kZeroSizeCluster: return "it is a 0-byte file";
    case Fault::kNoCluster: return "it has no cluster on the card";
    case Fault::kLeaves: return "its chain left the table";
    case Fault::kLoops: return "its chain looped";
    case Fault::kEndsEarly: return "its chain ended early";
    case Fault::kRunsIntoFree: return "its chain ran into a free cluster";
    case Fault::kTooLong: return "its chain ran on past its size";
  }
  return {};
}

void Drop(Survey& s, std::size_t i, const std::string& why) {
  s.plan[i].keep = false;
  s.plan[i].clusters = 0;
  s.plan[i].dropWhy = why;
}

// Who keeps a cluster two chains reach: a file whose own walk is sound, then
// the higher FileId number, then the first in directory order. The others are
// cut before it; a file left with nothing is dropped.
void ShareClusters(Survey& s) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < s.entries.size(); ++i)
    if (s.plan[i].keep) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const bool soundA = s.base.walks[a].fault == Fault::kNone;
    const bool soundB = s.base.walks[b].fault == Fault::kNone;
    if (soundA != soundB) return soundA;
    return s.entries[a].Number() > s.entries[b].Number();
  });
  std::vector<std::int32_t> claim(std::max<std::uint32_t>(s.usable, 2), -1);
  for (const std::size_t i : order) {
    const Walk& w = s.base.walks[i];
    EntryPlan& p = s.plan[i];
    std::uint32_t k = 0;
    while (k < w.clusters.size() && claim[w.clusters[k]] < 0) claim[w.clusters[k++]] = static_cast<std::int32_t>(i);
    p.clusters = k;
    if (k < w.clusters.size()) {
      const Entry& owner = s.entries[static_cast<std::size_t>(claim[w.clusters[k]])];
      p.cutWhy = "its chain ran into cluster " + std::to_string(w.clusters[k]) + " of " + owner.Label();
    } else {
      p.cutWhy = FaultReason(w);
    }
    if (s.entries[i].need > 0 && k == 0) Drop(s, i, "none of its clusters could be kept; " + p.cutWhy);
  }
}

// Victims for a limit: `excess` of `candidates` (in their kept order), taken
// from the end, files that are not whole first.
std::vector<std::size_t> Victims(const Survey& s, const std::vector<std::size_t>& candidates, std::size_t excess) {
  std::vector<std::size_t> victims;
  for (int pass = 0; pass < 2 && victims.size() < excess; ++pass)
    for (auto it = candidates.rbegin(); it != candidates.rend() && victims.size() < excess; ++it)
      if (s.base.Whole(*it) == (pass == 1)) victims.push_back(*it);
  return victims;
}

// Each kind's kept entries in their present FileId order (ties: directory order).
std::vector<std::size_t> KindOrder(const Survey& s, bool voice) {
  std::vector<std::size_t> kind;
  for (std::size_t i = 0; i < s.entries.size(); ++i)
    if (s.plan[i].keep && s.entries[i].voice == voice) kind.push_back(i);
  std::stable_sort(kind.begin(), kind.end(),
                   [&](std::size_t a, std::size_t b) { return s.entries[a].Number() < s.entries[b].Number(); });
  return kind;
}

void LimitKinds(Survey& s) {
  for (const bool voice : {false, true}) {
    const std::vector<std::size_t> kind = KindOrder(s, voice);
    if (kind.size() <= kMaxKindNumber) continue;
    for (const std::size_t i : Victims(s, kind, kind.size() - kMaxKindNumber))
      Drop(s, i, "a kind holds at most 127 files");
  }
}

void Renumber(Survey& s) {
  for (const bool voice : {false, true}) {
    unsigned n = 0;
    for (const std::size_t i : KindOrder(s, voice))
      s.plan[i].newId = static_cast<std::uint8_t>(++n | (voice ? 0x80u : 0u));
  }
}

// Names every kept entry the card list will show, each once: a slot shared by
// several entries stays with the first; a name listed twice stays with the
// first named holder; the others, and music entries without a readable name,
// get a recovered name. False when the free slots do not suffice: entries
// were dropped and the naming must start again.
bool PlanNames(Survey& s) {
  const std::size_t n = s.entries.size();
  s.holder.assign(kNameSlotCount, -1);
  for (std::size_t i = 0; i < n; ++i) {
    const Entry& e = s.entries[i];
    s.plan[i].naming = Naming::kAsIs;
    if (s.plan[i].keep && e.named && s.holder[e.slot / kNameSlotSize] < 0)
      s.holder[e.slot / kNameSlotSize] = static_cast<std::int32_t>(i);
  }
  std::set<std::string> taken;
  std::vector<std::size_t> needers;
  for (std::size_t i = 0; i < n; ++i) {
    const Entry& e = s.entries[i];
    EntryPlan& p = s.plan[i];
    if (!p.keep || !e.named) continue;
    const std::int32_t h = s.holder[e.slot / kNameSlotSize];
    if (h != static_cast<std::int32_t>(i)) {
      p.naming = Naming::kNewSlot;
      p.renameWhy = "its name slot is " + s.entries[static_cast<std::size_t>(h)].Label() + "'s too";
    } else if (const NameFault fault = CardNameFault(Shown(e.name)); fault != NameFault::kNone) {
      p.naming = Naming::kInPlace;
      p.renameWhy = NameFaultText(fault);
    } else if (!taken.insert(Shown(e.name)).second) {
      p.naming = Naming::kInPlace;
      p.renameWhy = "another file has the name " + Shown(e.name);
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const Entry& e = s.entries[i];
    EntryPlan& p = s.plan[i];
    if (!p.keep || e.named) continue;
    if (!e.voice) {
      p.naming = Naming::kNewSlot;
      p.renameWhy = "it had no readable name";
      continue;
    }
    // A voice entry without a name is listed under its recording name, made
    // from the FileId it ends with.
    const std::string recording = MakeVoiceName(p.newId);
    if (!taken.insert(recording).second) {
      p.naming = Naming::kNewSlot;
      p.renameWhy = "its recording name " + recording + " is another file's";
    }
  }
  for (std::size_t i = 0; i < n; ++i)
    if (s.plan[i].keep && s.plan[i].naming == Naming::kNewSlot) needers.push_back(i);

  // A slot is free for a new name when no kept entry holds it and no kept
  // entry with its name mark set points at it, so that no entry reads the
  // new name as its own.
  std::vector<bool> pointedAt(kNameSlotCount, false);
  for (std::size_t i = 0; i < n; ++i)
    if (s.plan[i].keep && s.entries[i].pointsAt >= 0) pointedAt[static_cast<std::size_t>(s.entries[i].pointsAt)] = true;
  std::vector<std::uint16_t> freeSlots;
  for (std::uint32_t k = 0; k < kNameSlotCount; ++k)
    if (s.holder[k] < 0 && !pointedAt[k]) freeSlots.push_back(static_cast<std::uint16_t>(k * kNameSlotSize));
  if (needers.size() > freeSlots.size()) {
    for (const std::size_t i : Victims(s, needers, needers.size() - freeSlots.size()))
      Drop(s, i, "no name slot was left for it");
    return false;
  }

  // Each new name is the first recovered name of its kind still free.
  std::size_t nextSlot = 0;
  for (std::size_t i = 0; i < n; ++i) {
    EntryPlan& p = s.plan[i];
    if (!p.keep || p.naming == Naming::kAsIs) continue;
    std::string name;
    unsigned number = 1;
    do name = RecoveredName(number++, s.entries[i].voice);
    while (taken.count(name) > 0);
    taken.insert(name);
    p.newName = name;
    if (p.naming == Naming::kNewSlot) p.newSlot = freeSlots[nextSlot++];
  }
  return true;
}

void MakePlan(Survey& s) {
  s.plan.assign(s.entries.size(), EntryPlan{});
  for (std::size_t i = 0; i < s.entries.size(); ++i)
    if (s.entries[i].halfDeleted) Drop(s, i, "it was half-deleted");
  ShareClusters(s);
  LimitKinds(s);
  // Each round either names every entry or drops at least one.
  for (std::size_t round = 0; round <= s.entries.size(); ++round) {
    Renumber(s);
    if (PlanNames(s)) break;
  }
}

// True when copy 2 should stand for the card: it matches the directory where
// copy 1 does not, and every file whole in copy 1 has the same chain in it.
bool PreferCopy2(const Survey& s, const ChainView& view2) {
  if (s.view1.agrees || !view2.agrees) return false;
  for (std::size_t i = 0; i < s.entries.size(); ++i)
    if (s.view1.Whole(i) && view2.walks[i].clusters != s.view1.walks[i].clusters) return false;
  return true;
}

// The entries whose chains, read in the volume the BootSector gives, hold a
// cluster past the card's end. Their data is not on this card; a repair
// neither cuts nor drops them, so that the files can still be found where
// the rest of the volume is.
std::vector<std::size_t> FilesPastTheCard(const std::vector<Entry>& entries, std::uint32_t cardUsable) {
  std::vector<std::size_t> beyond;
  if (cardUsable >= VolumeImage.usableClusters) return beyond;
  const TableView whole{&VolumeImage.allocationTable, VolumeImage.usableClusters};
  const ChainView v = ViewChains(whole, entries);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& chain = v.walks[i].clusters;
    if (!entries[i].halfDeleted &&
        std::any_of(chain.begin(), chain.end(), [&](std::uint16_t c) { return c >= cardUsable; }))
      beyond.push_back(i);
  }
  return beyond;
}

Survey MakeSurvey(std::uint32_t cardSectors) {
  Survey s;
  s.cardSectors = cardSectors;
  s.cardUsable = CardUsable(cardSectors);
  s.formatEnd = LayoutOnCard(cardSectors).totalSectors / kClusterSectors;
  s.entries = ReadEntries();
  s.beyond = FilesPastTheCard(s.entries, s.cardUsable);
  s.usable = s.beyond.empty() ? s.cardUsable : VolumeImage.usableClusters;
  const TableView copy1{&VolumeImage.allocationTable, s.usable};
  s.view1 = ViewChains(copy1, s.entries);
  s.base = s.view1;

  const std::vector<std::uint8_t>& table1 = VolumeImage.allocationTable;
  const std::vector<std::uint8_t>& table2 = VolumeImage.onCard.table2;
  s.copy2Known = table2.size() == table1.size();
  if (s.copy2Known) {
    const TableView copy2{&table2, s.usable};
    for (std::uint32_t e = 0; e < table1.size() / 2; ++e) {
      if (copy1.At(e) == copy2.At(e)) continue;
      if (s.copiesDiffer++ == 0) s.firstDifference = e;
    }
    if (s.copiesDiffer > 0) {
      ChainView view2 = ViewChains(copy2, s.entries);
      if (PreferCopy2(s, view2)) {
        s.useCopy2 = true;
        s.base = std::move(view2);
      }
    }
  }
  MakePlan(s);
  return s;
}

// ---- the problems -------------------------------------------------------------------

void ChainProblem(const Entry& e, const Walk& w, std::vector<std::string>* out) {
  const std::string who = e.Label() + ": ";
  const std::string k = std::to_string(w.clusters.size());
  const std::string of = " of its " + std::to_string(e.need);
  switch (w.fault) {
    case Fault::kNone: return;
    case Fault::kZeroSizeCluster:
      out->push_back(who + "a 0-byte file, but its first-cluster field holds " + TableValue(w.where) +
                     " instead of none");
      return;
    case Fault::kNoCluster:
      if (w.where == kEndOfChain || w.where == 0)
        out->push_back(who + "it has " + Thousands(e.size) + " bytes but no cluster");
      else
        out->push_back(who + "its first cluster " + TableValue(w.where) + " is not a cluster of the card");
      return;
    case Fault::kLeaves:
      out->push_back(who + "its chain leaves the table after " + k + of + " clusters (cluster " +
                     std::to_string(w.where) + " points to " + TableValue(w.value) + ")");
      return;
    case Fault::kLoops:
      out->push_back(who + "its chain loops back to cluster " + std::to_string(w.where) + " after " + k + of +
                     " clusters");
      return;
    case Fault::kEndsEarly:
      out->push_back(who + "its chain ends after " + k + of + " clusters");
      return;
    case Fault::kRunsIntoFree:
      out->push_back(who + "its chain runs into cluster " + std::to_string(w.where) + ", which is marked free, after " +
                     k + of + " clusters");
      return;
    case Fault::kTooLong:
      out->push_back(who + "its chain is longer than its size: its last cluster " + std::to_string(w.where) +
                     " points to " + TableValue(w.value) + " instead of ending the chain");
      return;
  }
}

void EntryProblems(const Survey& s, std::vector<std::string>* out) {
  for (std::size_t i = 0; i < s.entries.size(); ++i) {
    const Entry& e = s.entries[i];
    if (e.halfDeleted) {
      out->push_back(e.Label() + ": half-deleted (its name mark is 0); the card list drops it");
      continue;
    }
    if (!e.voice && !e.named) out->push_back(e.Label() + ": no readable name");
    if (e.named && CardNameFault(Shown(e.name)) != NameFault::kNone)
      out->push_back(e.Label() + ": " + NameFaultText(CardNameFault(Shown(e.name))));
    ChainProblem(e, s.view1.walks[i], out);
  }
  for (const auto& [pair, clusters] : s.view1.meetings) {
    std::vector<std::uint16_t> sorted = clusters;
    std::sort(sorted.begin(), sorted.end());
    out->push_back((sorted.size() == 1 ? "cluster " : "clusters ") + ClusterRuns(sorted) + " in the chains of both " +
                   s.entries[pair.first].Label() + " and " + s.entries[pair.second].Label());
  }
}

bool ReservedByFormat(const Survey& s, std::uint32_t cluster, std::uint16_t value) {
  return cluster >= s.formatEnd && value == kEndOfChain;
}

void TableProblems(const Survey& s, std::vector<std::string>* out) {
  const TableView copy1{&VolumeImage.allocationTable, s.usable};
  std::vector<std::uint16_t> lost;
  for (std::uint32_t c = 2; c < s.cardUsable; ++c)
    if (copy1.At(c) != 0 && s.view1.walker[c] < 0 && !ReservedByFormat(s, c, copy1.At(c)))
      lost.push_back(static_cast<std::uint16_t>(c));
  if (!lost.empty())
    out->push_back(Count(lost.size(), "cluster is", "clusters are") + " used by no file (lost): " + ClusterRuns(lost));

  std::uint32_t unreserved = 0;
  for (std::uint32_t c = std::max<std::uint32_t>(s.cardUsable, 2); c < VolumeImage.usableClusters; ++c)
    if (copy1.At(c) != kEndOfChain && (c >= s.usable || s.view1.walker[c] < 0)) ++unreserved;
  if (unreserved > 0)
    out->push_back("the boot sector gives the card " + Thousands(VolumeImage.totalSectors) + " sectors, but it has " +
                   Thousands(s.cardSectors) + ": " + Count(unreserved, "table entry", "table entries") +
                   " for clusters past its end " + (unreserved == 1 ? "is" : "are") + " not reserved");

  if (s.copiesDiffer > 0)
    out->push_back("the two copies of the allocation table differ in " +
                   Count(s.copiesDiffer, "entry", "entries") + " (the first is entry " +
                   std::to_string(s.firstDifference) + ")");
}

void SlotProblems(const Survey& s, std::vector<std::string>* out) {
  std::vector<std::vector<std::size_t>> holders(kNameSlotCount);
  for (std::size_t i = 0; i < s.entries.size(); ++i)
    if (s.entries[i].named) holders[s.entries[i].slot / kNameSlotSize].push_back(i);
  std::vector<std::uint16_t> orphans;
  for (std::uint32_t k = 0; k < kNameSlotCount; ++k) {
    if (VolumeImage.nameTable[k * kNameSlotSize] != 0 && holders[k].empty())
      orphans.push_back(static_cast<std::uint16_t>(k));
    if (holders[k].size() < 2) continue;
    std::string who;
    for (const std::size_t i : holders[k])
      who += (who.empty() ? "" : ", ") + std::string("FileId ") + Hex(s.entries[i].id, 2);
    out->push_back(std::to_string(holders[k].size()) + " entries share name slot " + std::to_string(k) + " (" +
                   Shown(s.entries[holders[k][0]].name) + "): " + who);
  }
  if (!orphans.empty())
    out->push_back(Count(orphans.size(), "name slot is", "name slots are") + " in use but held by no file: " +
                   ClusterRuns(orphans));

  // Listed names: entries sharing a slot count once here, as they are told above.
  std::map<std::string, std::vector<std::size_t>> byName;
  for (std::size_t i = 0; i < s.entries.size(); ++i) {
    const Entry& e = s.entries[i];
    if (e.listed.empty()) continue;
    auto& same = byName[Shown(e.listed)];
    const bool slotTold = e.named && std::any_of(same.begin(), same.end(), [&](std::size_t j) {
                            return s.entries[j].named && s.entries[j].slot == e.slot;
                          });
    if (!slotTold) same.push_back(i);
  }
  for (const auto& [name, same] : byName) {
    if (same.size() < 2) continue;
    std::string ids;
    for (const std::size_t i : same) ids += (ids.empty() ? "" : ", ") + Hex(s.entries[i].id, 2);
    out->push_back(std::to_string(same.size()) + " files are listed as " + name + " (FileIds " + ids + ")");
  }
}

void FileIdProblems(const Survey& s, std::vector<std::string>* out) {
  for (const bool voice : {false, true}) {
    const char* kind = voice ? "voice" : "music";
    std::map<unsigned, std::vector<std::size_t>> byNumber;
    std::size_t count = 0;
    for (std::size_t i = 0; i < s.entries.size(); ++i) {
      const Entry& e = s.entries[i];
      if (e.halfDeleted || e.voice != voice) continue;
      ++count;
      byNumber[e.Number()].push_back(i);
      if (e.Number() == 0) out->push_back(e.Label() + ": FileId 0x80 is no voice file's number");
    }
    for (const auto& [number, same] : byNumber) {
      if (same.size() < 2) continue;
      std::string who;
      for (const std::size_t i : same) who += (who.empty() ? "" : ", ") + s.entries[i].Label();
      out->push_back(std::string(kind) + " FileId " + Hex(s.entries[same[0]].id, 2) +
                     " is held by " + std::to_string(same.size()) + " files: " + who);
    }
    if (count > kMaxKindNumber)
      out->push_back(std::to_string(count) + " " + kind + " files: a kind holds at most 127");
    std::string missing;
    std::size_t gaps = 0;
    for (unsigned n = 1; n <= count && n <= kMaxKindNumber; ++n) {
      if (byNumber.count(n) > 0) continue;
      if (++gaps <= kClustersNamed) missing += (missing.empty() ? "" : ", ") + Hex(n | (voice ? 0x80u : 0u), 2);
    }
    if (gaps > kClustersNamed) missing += ", ...";
    if (gaps > 0)
      out->push_back(std::string(kind) + " FileIds do not run from 1 to " + std::to_string(count) +
                     " without a gap: missing " + missing);
  }
}

// ---- the repair -------------------------------------------------------------------

// The table as the plan leaves it: each kept chain linked to its end mark,
// the clusters past the card's end reserved, every other cluster free.
// Returns the count of clusters freed and reserved.
std::pair<std::uint32_t, std::uint32_t> RebuildTable(const Survey& s) {
  const Claims claims = ClaimsOf(s);
  std::uint32_t freed = 0, reserved = 0;
  for (std::uint32_t c = 2; c < VolumeImage.usableClusters; ++c) {
    std::uint16_t value = kEndOfChain;
    if (c < s.usable) {
      const std::int32_t owner = claims.owner[c];
      if (owner < 0) {
        value = c >= s.cardUsable || ReservedByFormat(s, c, TableEntry(c)) ? kEndOfChain : 0;
      } else {
        const auto i = static_cast<std::size_t>(owner);
        const std::uint32_t next = claims.position[c] + 1;
        value = next < s.plan[i].clusters ? s.base.walks[i].clusters[next] : kEndOfChain;
      }
    }
    const std::uint16_t old = TableEntry(c);
    if (old == value) continue;
    if (value == 0) ++freed;
    if (c >= s.cardUsable && value == kEndOfChain) ++reserved;
    SetTableEntry(c, value);
  }
  return {freed, reserved};
}

// Drops, cuts and frees: what makes things unreachable, flushed first.
void ReleasingChanges(const Survey& s, std::vector<std::string>* lines) {
  if (s.useCopy2) {
    VolumeImage.allocationTable = VolumeImage.onCard.table2;
    lines->push_back("allocation table copy 1 restored from copy 2, which matches the directory");
  }
  for (std::size_t i = 0; i < s.entries.size(); ++i) {
    const Entry& e = s.entries[i];
    const EntryPlan& p = s.plan[i];
    const DirEntryPos at{e.sector, e.offset};
    DirEntry fields;
    if (!ReadDirEntry(at, &fields)) continue;
    if (!p.keep) {
      ClearDirEntry(at);
      lines->push_back(e.Label() + ": released; " + p.dropWhy);
      continue;
    }
    const Fault fault = s.base.walks[i].fault;
    if (e.need > 0 && p.clusters < e.need) {
      const std::uint32_t size = p.clusters * kClusterBytes;
      fields.size = size;
      WriteDirEntry(at, fields);
      lines->push_back(e.Label() + ": cut to " + Count(p.clusters, "cluster", "clusters") + " (" + Thousands(size) +
                       " bytes); " + p.cutWhy);
    } else if (fault == Fault::kTooLong) {
      lines->push_back(e.Label() + ": its chain now ends after its " + Count(p.clusters, "cluster", "clusters") +
                       ", as its size says");
    } else if (fault == Fault::kZeroSizeCluster) {
      fields.firstCluster = kEndOfChain;
      WriteDirEntry(at, fields);
      lines->push_back(e.Label() + ": a 0-byte file; its first-cluster field now says none");
    }
  }
  const auto [freed, reserved] = RebuildTable(s);
  if (freed > 0) lines->push_back(Count(freed, "cluster", "clusters") + " that no file keeps freed");
  if (reserved > 0) lines->push_back(Count(reserved, "cluster", "clusters") + " past the card's end reserved");

  std::uint32_t slotsFreed = 0;
  for (std::uint32_t k = 0; k < kNameSlotCount; ++k) {
    const auto slot = static_cast<std::uint16_t>(k * kNameSlotSize);
    if (VolumeImage.nameTable[slot] == 0 || s.holder[k] >= 0) continue;
    FreeNameSlot(slot);
    ++slotsFreed;
  }
  if (slotsFreed > 0) lines->push_back(Count(slotsFreed, "name slot", "name slots") + " that no file held freed");
}

// Names and numbers: what makes things reachable, flushed last.
void AddingChanges(const Survey& s, std::vector<std::string>* lines) {
  for (std::size_t i = 0; i < s.entries.size(); ++i) {
    const Entry& e = s.entries[i];
    const EntryPlan& p = s.plan[i];
    if (!p.keep) continue;
    const DirEntryPos at{e.sector, e.offset};
    DirEntry fields;
    if (!ReadDirEntry(at, &fields)) continue;
    if (p.naming == Naming::kInPlace) StoreFileName(p.newName, e.slot);
    if (p.naming == Naming::kNewSlot) {
      StoreFileName(p.newName, p.newSlot);
      fields.mark = p.newId;
      fields.nameSlot = p.newSlot;
      WriteDirEntry(at, fields);
    }
    if (p.naming != Naming::kAsIs) lines->push_back(e.Label() + ": named " + p.newName + "; " + p.renameWhy);
    if (p.newId != e.id) {
      RenumberDirEntry(at, p.newId);
      lines->push_back(e.Label() + ": FileId " + Hex(e.id, 2) + " is now " + Hex(p.newId, 2));
    }
  }
  if (s.copiesDiffer > 0 && !s.useCopy2) lines->push_back("allocation table copy 2 rewritten from copy 1");
}

// ---- the boot sector's size -------------------------------------------------------

std::string Names(const Survey& s, const std::vector<std::size_t>& which) {
  std::string names;
  for (const std::size_t i : which) names += (names.empty() ? "" : ", ") + s.entries[i].Label();
  return names;
}

bool VolumeLargerThanCard(const Survey& s) { return s.cardSectors != 0 && VolumeImage.totalSectors > s.cardSectors; }

void BootProblems(const Survey& s, std::vector<std::string>* out) {
  if (VolumeImage.bootTotalSectors == 0) {
    out->push_back("the boot sector gives the card 0 sectors, though its directory holds files; the card has " +
                   Thousands(VolumeImage.totalSectors));
    return;
  }
  if (!VolumeLargerThanCard(s)) return;
  out->push_back("the volume is larger than the card: its boot sector gives it " +
                 Thousands(VolumeImage.totalSectors) + " sectors, the card has " + Thousands(s.cardSectors));
  for (const std::size_t i : s.beyond) out->push_back(s.entries[i].Label() + ": it lies past the card's end");
}

// The BootSector's total made the card's: written last, as it makes the
// files of a total of 0 reachable again; a shrink only where no file lies
// past the card's end.
void BootRepair(const Survey& s, std::vector<std::string>* lines) {
  const std::uint32_t total = VolumeImage.totalSectors;
  if (VolumeImage.bootTotalSectors == 0) {
    if (WriteBootTotal(total))
      lines->push_back("the boot sector gives the card its " + Thousands(total) + " sectors again");
    return;
  }
  if (!VolumeLargerThanCard(s)) return;
  if (!s.beyond.empty()) {
    lines->push_back("the volume is left larger than the card: " + Names(s, s.beyond) +
                     (s.beyond.size() == 1 ? " lies" : " lie") + " past its end");
    return;
  }
  if (s.cardSectors < VolumeImage.dataStart) {
    lines->push_back("the volume is left larger than the card: its tables do not fit the card's " +
                     Thousands(s.cardSectors) + " sectors");
    return;
  }
  if (WriteBootTotal(s.cardSectors))
    lines->push_back("the volume shrunk from " + Thousands(total) + " sectors to the card's " +
                     Thousands(s.cardSectors));
}

}  // namespace

VolumeCheck CheckVolume(std::uint32_t cardSectors) {
  VolumeCheck check;
  if (!VolumeImage.mounted) {
    check.problems.push_back("the card's volume has not been read");
    return check;
  }
  const Survey s = MakeSurvey(cardSectors);
  BootProblems(s, &check.problems);
  TableProblems(s, &check.problems);
  EntryProblems(s, &check.problems);
  SlotProblems(s, &check.problems);
  FileIdProblems(s, &check.problems);
  for (std::size_t i = 0; i < s.entries.size(); ++i) {
    const Entry& e = s.entries[i];
    // A file past the card's end is kept, but cannot be read whole from it.
    const bool pastTheCard = std::find(s.beyond.begin(), s.beyond.end(), i) != s.beyond.end();
    check.files.push_back({e.sector, e.offset, e.id, e.listed, s.plan[i].keep && s.view1.Whole(i) && !pastTheCard});
  }
  return check;
}

std::vector<std::string> RepairVolume(std::uint32_t cardSectors) {
  std::vector<std::string> lines;
  if (!VolumeImage.mounted) return lines;
  const Survey s = MakeSurvey(cardSectors);
  ReleasingChanges(s, &lines);
  FlushVolume(FlushOrder::kReleasing);
  if (DeviceState != kDeviceReady) return lines;
  AddingChanges(s, &lines);
  FlushVolume(FlushOrder::kAdding);
  if (DeviceState == kDeviceReady) BootRepair(s, &lines);
  return lines;
}
