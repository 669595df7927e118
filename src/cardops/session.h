// CardSession: the card as a front end drives it. One object holds the road
// from the player's status to a card list (check the card, mount it, offer
// the repair, scan it, count its free space), the questions asked on the
// way, the card as it was read, the lock held while the card is worked on,
// and the passes over its files. Both front ends hold one and reach the
// card through it and the card operations (cardops.h, passes.h), never
// through the volume (src/fs) or the device link (src/usbfunc) themselves.
//
// Underneath, the engine keeps its single globals (the DeviceState, the
// VolumeImage, the CardFileTable, CardFileCount, FreeClusterCount): the
// session is their one driver for a front end, not a second copy of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cardops.h"
#include "check.h"
#include "passes.h"
#include "usbfunc.h"

class CardSession {
 public:
  // ---- the player and the card's format ----------------------------------

  // Whether a session can start: the player's status, then the card's
  // format (CheckPlayerAndCard, passes.h), and each half alone.
  OpeningReport CheckPlayerAndCard() const { return ::CheckPlayerAndCard(); }
  OpeningReport CheckPlayer() const { return ::CheckPlayer(); }
  OpeningReport CheckFormat() const { return ::CheckCardFormat(); }

  // The question for a card that does not carry the player's volume, or
  // whose boot sector lost its size over files (`opening` kForeign or
  // kZeroTotal): Yes formats it, holding it whole for the format, and says
  // so when the format did not succeed; No says "Program Exited!". False
  // when the session ends here: on No, or when the card cannot be held.
  bool AskToFormatForeign(const OpeningReport& opening);

  // ---- reading the card ------------------------------------------------------

  struct ReadSteps {
    MountMode mode = MountMode::kAsHeld;
    // Offer the repair of a card whose tables do not account for everything
    // on it, once in the session (the window's way; zk27 has its check).
    bool offerRepair = false;
    // List the card even when the mount failed: the list shows what the
    // volume image still holds (the window's way). Otherwise a failed mount
    // lists nothing.
    bool listAfterFailedMount = false;
  };
  struct CardRead {
    MountResult mounted = kMountOk;
    std::vector<std::string> lines;  // the card list, as RebuildCardList gives it
  };
  // The road: mount, the repair offered, the list scanned and the free
  // clusters counted (CardFileCount, FreeClusterCount).
  CardRead Read(const ReadSteps& steps);
  // The mount alone: the card's volume read as it is, without a list.
  MountResult Mount(MountMode mode = MountMode::kAsHeld) { return MountVolume(mode); }
  // The card could not be held: the list is empty until an action reads
  // the card; the free space is what the volume image holds.
  void ListNothing() {
    CardFileCount = 0;
    FreeClusterCount = static_cast<std::uint16_t>(CountFreeClusters());
  }
  // The list scanned again from the volume image and the free clusters
  // counted: after every change the session made.
  std::vector<std::string> Relist() { return RebuildCardList(); }
  // Offers the repair now, as Read does with offerRepair.
  void OfferRepair();
  // The mark the window sets on the directory when it opens (fs.h's
  // MarkDirectoryOpened); written by the next flush of that sector.
  void MarkWindowOpened() { MarkDirectoryOpened(); }

  // ---- the card as read --------------------------------------------------------

  bool Mounted() const { return VolumeImage.mounted; }
  // True when the card's tables are still those read: no other program
  // changed the card since.
  bool AsRead() const { return VolumeImage.mounted && CardTablesUnchanged(); }
  std::int32_t FileCount() const { return CardFileCount; }
  std::uint16_t FreeClusters() const { return FreeClusterCount; }
  const TFileInfor& Record(std::int32_t r) const { return CardFileTable[r]; }
  std::int32_t Find(const std::string& line) const { return FindCardFile(line); }
  std::uint32_t SizeOf(std::int32_t r) const { return CardFileSize(CardFileTable[r]); }

  // ---- the player -------------------------------------------------------------

  // Asks the player for its status; the front end hears of it through its
  // device-state hook before this returns.
  void Probe() { ProbeDevice(); }
  DeviceStateCode State() const { return DeviceState; }
  bool DeviceLost() const { return DeviceGone(); }
  bool CardOrLinkLost() const { return ::CardOrLinkLost(); }

  // ---- holding the card ----------------------------------------------------------

  // The card held for a scope: exclusively to change it, shared to read it.
  using Hold = CardLockScope;
  CardLock Held() const { return HeldCardLock(); }

  // ---- the operations and the passes --------------------------------------------

  FormatResult Format() { return FormatCard(); }
  PassSummary Send(const std::vector<SendItem>& files, PassView& view) { return RunSendPass(files, view); }
  PassSummary Fetch(const std::vector<CardFileRef>& files, FetchKind kind, const std::string& dir, PassView& view,
                    const VoiceOutput& out = {}) {
    return RunFetchPass(files, kind, dir, view, out);
  }
  PassSummary Delete(const std::vector<CardFileRef>& files, PassView& view) { return RunDeletePass(files, view); }
  CardOpResult Rename(const CardFileRef& file, const std::string& newName) { return RenameCardFile(file, newName); }
  CardOpResult Order(const std::vector<CardFileRef>& first) { return OrderMusicFiles(first); }

  // ---- the check ---------------------------------------------------------------------

  // The card read as it is for its check: allocation copy 2 read and the
  // card's size asked. False when a command failed (see State).
  bool ReadForCheck(std::uint32_t* cardSectors);
  VolumeCheck Examine(std::uint32_t cardSectors) const { return CheckVolume(cardSectors); }
  std::vector<std::string> Repair(std::uint32_t cardSectors) { return RepairVolume(cardSectors); }

 private:
  bool repairOffered_ = false;
};
