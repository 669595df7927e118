// CardSession: the card as a front end drives it. One object holds the road
// from the player's status to a card list (check the card, mount it, offer
// the repair, scan it, count its free space), the questions asked on the
// way, the card as it was read, the lock held while the card is worked on,
// and the passes over its files. Both front ends hold one and reach the
// card through it and the card operations (cardops.h, passes.h), never
// through the volume (src/fs) or the device link (src/usbfunc) themselves;
// the words they share with those layers are in volume_terms.h and
// link_terms.h (src/Util).
//
// Underneath, the engine keeps its single globals (the DeviceState, the
// VolumeImage, the CardFileTable, CardFileCount, FreeClusterCount): the
// session is their one driver for a front end, not a second copy of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bulkusb.h"  // the driver's refusal of a player, passed on as it is
#include "cardops.h"
#include "device_state.h"
#include "link_terms.h"
#include "passes.h"
#include "volume_terms.h"

// Why the driver refused what answered as the player (as usbfunc.h names it).
using PlayerRefusal = bulkusb::OpenRefusal;

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
  MountResult Mount(MountMode mode = MountMode::kAsHeld);
  // The card could not be held: the list is empty until an action reads
  // the card; the free space is what the volume image holds.
  void ListNothing();
  // The list scanned again from the volume image and the free clusters
  // counted: after every change the session made.
  std::vector<std::string> Relist() { return RebuildCardList(); }
  // Offers the repair now, as Read does with offerRepair.
  void OfferRepair();
  // The mark the window sets on the directory when it opens (fs.h's
  // MarkDirectoryOpened); written by the next flush of that sector.
  void MarkWindowOpened();

  // ---- the card as read --------------------------------------------------------

  bool Mounted() const;
  // True when the card's tables are still those read: no other program
  // changed the card since.
  bool AsRead() const;
  std::int32_t FileCount() const { return CardFileCount; }
  std::uint16_t FreeClusters() const { return FreeClusterCount; }
  // The free clusters counted afresh in the volume image (a pass changes it
  // before the list is read again).
  static std::uint32_t FreeClustersNow();
  const TFileInfor& Record(std::int32_t r) const { return CardFileTable[r]; }
  std::int32_t Find(const std::string& line) const { return FindCardFile(line); }
  // Record `r`'s size, and its first cluster (none for a file without one);
  // 0 and none when its place lies outside the directory.
  std::uint32_t SizeOf(std::int32_t r) const { return CardFileSize(CardFileTable[r]); }
  std::optional<std::uint16_t> FirstClusterOf(std::int32_t r) const;
  // The kind a file of name `name` has on the card (music, voice, neither).
  static FileKind KindOf(const std::string& name);
  // The line of the card list an action works on now (CurrentFileName).
  void SetCurrentFile(const std::string& line) { CurrentFileName = line; }
  // The mounted volume as far as it lies on the card, whose size is asked;
  // false when that command failed (see State).
  bool LayoutOnCard(VolumeLayout* layout);
  // The clusters of `layout` that lie wholly on the card (from cluster 2).
  static std::uint32_t DataClusters(const VolumeLayout& layout);

  // ---- the player -------------------------------------------------------------

  // Asks the player for its status; the front end hears of it through its
  // device-state hook before this returns.
  void Probe();
  // The DeviceState, which every command sets; read alike by every session.
  static DeviceStateCode State();
  static bool DeviceLost();
  static bool CardOrLinkLost() { return ::CardOrLinkLost(); }
  // Why the last command failed in transport, and the errno behind it.
  static TransportCause LastTransportCause();
  static int LastTransportErrno();
  // Why the driver refused what answered in the last look for the player.
  static PlayerRefusal LastRefusal();

  // ---- a card attached directly ------------------------------------------------

  // The card image or card reader at `path` in the player's place (false,
  // with the reason in `error`, when it cannot be opened), and the player
  // again.
  bool Attach(const std::string& path, std::string* error, ImageWrites writes = ImageWrites::kCached);
  void Detach();
  bool AttachedDirectly() const;

  // ---- holding the card ----------------------------------------------------------

  // The card held for a scope: exclusively to change it, shared to read it.
  class Hold {
   public:
    explicit Hold(CardLock mode);
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    CardLockResult Result() const { return result_; }

   private:
    CardLockResult result_;
  };
  CardLock Held() const;

  // ---- the operations and the passes --------------------------------------------

  FormatResult Format();
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
  VolumeCheck Examine(std::uint32_t cardSectors) const;
  std::vector<std::string> Repair(std::uint32_t cardSectors);

 private:
  bool repairOffered_ = false;
};
