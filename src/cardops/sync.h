// Making the card hold a folder's music and voice files: a plan made against
// every limit of the card before anything is written, then carried out with
// the passes both front ends run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cardops.h"
#include "passes.h"

// What becomes of one file.
enum class SyncAction {
  kKeep,     // on the card with the folder's name and size
  kSend,     // in the folder, not on the card
  kReplace,  // on the card with another size: sent again, then the card's copy deleted
  kDelete,   // on the card, not in the folder (only when asked)
  kExtra,    // on the card, not in the folder, kept
  kRefused,  // in the folder, but the card cannot hold its name (see `result`)
  kLeftOut,  // in the folder and storable, but left out by a partial plan
  kWrongKind,  // in the folder, but its name's last dot gives neither music nor voice: left out
};

struct SyncStep {
  SyncAction action = SyncAction::kKeep;
  std::string name;      // UTF-8, as the folder and `zk27 ls` show it
  std::string pcPath;    // the folder's file ("" for a card file alone)
  CardFileRef card;      // the card's file (empty when not on the card)
  std::uint64_t size = 0;
  std::uint32_t clusters = 0;     // the folder's file takes on the card
  std::uint32_t oldClusters = 0;  // the card's file takes (kReplace, kDelete)
  bool voice = false;
  CardOpResult result = kOpOk;  // kRefused: why
  // kReplace: the name the new copy is sent under while the card's copy
  // stays, when the card has room for both at this file's turn; empty when
  // it has not, and the card's copy goes first (see ReplaceCardFile).
  std::string tempName;
};

// A limit of the card the plan needs more of than there is.
enum class SyncLimit { kClusters, kNameSlots, kDirEntries, kMusicIds, kVoiceIds, kNames };
struct SyncShortfall {
  SyncLimit limit;
  std::uint64_t needed = 0;
  std::uint64_t available = 0;  // what the card has once the plan's deletions are made
};

struct SyncPlan {
  std::vector<SyncStep> steps;            // in the folder's name order, card files alone after
  std::vector<SyncShortfall> shortfalls;  // empty when the whole plan fits
  std::uint32_t clustersNeeded = 0;       // by the files sent
  std::uint32_t clustersFree = 0;         // once the deletions are made
  bool Fits() const { return shortfalls.empty(); }
  // How many of the folder's files the card will not get: names refused,
  // files of another kind, files a partial plan leaves out.
  std::size_t LeftOut() const;
  // Whether the plan writes nothing: no file to send, replace or delete.
  bool NothingToDo() const;
  // The files to delete (the card files the folder lacks), then the files to
  // send, in that order. The replacements come first among the sends, those
  // that free clusters before those that take more, so that each finds the
  // room the plan gave it.
  std::vector<CardFileRef> DeleteLines() const;
  std::vector<SendItem> SendItems() const;
};

// The plan that makes the card's music and voice files match the .mp3 and
// .voc files of folder `dir` (by name and size): files missing sent, files of
// another size replaced, with `deleteExtra` files the folder lacks deleted.
// The folder's other files are in the plan as kWrongKind, so that each is
// said; they take nothing of the card and do not keep the plan from fitting.
// Needs the card list read (RebuildCardList). With `partial`, a plan that
// does not fit keeps as many of the files to send as fit, in name order, and
// marks the others kLeftOut; the shortfalls stay, to be said. False when the
// folder cannot be read.
bool PlanSync(const std::string& dir, bool deleteExtra, bool partial, SyncPlan* plan);

// Replaces the card file `item.replaces` by the PC file `item.pcPath`, of
// `item.size` bytes when planned, so that the card never lacks both copies.
// With a `item.tempName`, the new copy is sent under that name first; once it
// is whole, and the PC file still has the size and modification time it had
// before, one releasing flush deletes the old copy and gives the new one its
// name (a cut leaves the old copy, both, or the new one under the temporary
// name). Without one, the PC file is read whole first and must keep its size
// and modification time; only then is the card's copy deleted and the new
// one sent under its own name. A PC file that cannot be read or changes
// (kOpPcReadFailed, kOpCannotOpenPcFile) keeps the card's copy.
CardOpResult ReplaceCardFile(const SendItem& item, const ProgressFn& progress);

// The music files' play order after a sync: the folder's, by name, then the
// card's music files the folder lacks, in their present order. Found on the
// card as last read (after the plan's passes).
std::vector<CardFileRef> SyncedMusicOrder(const SyncPlan& plan);

// ---- the files of a card image, onto a card of any size -------------------------

// The plan that puts the files of the card image at `path` onto the card
// formatted at its own size: every file of the image, in FileId order (the
// music in its play order, then the voice recordings), a kSend of its name,
// size and kind (`voice`); or kRefused with why in `result`: a name the card
// cannot hold (CardNameForNew's results), kOpWrongKind for a name whose kind
// is not its file's (a recording must stay voice), kOpNameOnCard for a name
// an earlier file of the image has, kOpDamaged for a file without a name or
// with a broken chain. A refused file is a kNames shortfall; the others are
// the card's limits once formatted (clustersFree). Reads the card's size and
// the image; writes nothing, and leaves no volume mounted (the VolumeImage
// held the image's tables). kOpOk once a plan is made, fitting or not;
// otherwise RestoreCard's refusals.
CardOpResult PlanImageFiles(const std::string& path, SyncPlan* plan);

// Carries out PlanImageFiles' plan: the image's files copied into a
// temporary folder, then the card formatted and every file sent by
// RunSendPass in the plan's order, so that the files get FileIds in the
// image's order; the folder is removed at the end. Nothing is written to
// the card when the plan does not fit (kOpNoSpace), the image cannot be read
// (kOpPcReadFailed), the copies cannot be made (kOpCannotCreatePcFile,
// kOpPcWriteFailed) or a stop comes before the format (kOpStopped).
// kOpDeviceFailed when the format or the new volume's mount failed.
// Otherwise kOpOk, and `summary` says how the send pass went.
CardOpResult RestoreImageFiles(const std::string& path, PassView& view, PassSummary* summary);
