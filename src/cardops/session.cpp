#include "session.h"

#include <algorithm>

#include "check.h"
#include "fs.h"
#include "hooks.h"
#include "messages.h"
#include "usbfunc.h"

bool CardSession::AskToFormatForeign(const OpeningReport& opening) {
  switch (AskYesNo("", msg::WindowText(opening.notice), true)) {
    case Answer::Yes: {
      // Within a re-check the card is held whole already; at the start it is
      // held for the format alone.
      const Hold hold(CardLock::kExclusive);
      if (hold.Result() != kLockOk) {
        ShowNotice(Notice::kCardInUse);
        return false;
      }
      if (Notice refusal; msg::FormatRefusal(FormatCard(), &refusal)) ShowNotice(refusal);
      return true;
    }
    case Answer::No:
      ShowNotice(Notice::kProgramExited);
      return false;
    case Answer::Closed:
      return true;
  }
  return true;
}

CardSession::CardRead CardSession::Read(const ReadSteps& steps) {
  CardRead read;
  read.mounted = MountVolume(steps.mode);
  if (read.mounted != kMountOk && !steps.listAfterFailedMount) return read;
  if (steps.offerRepair) OfferRepair();
  read.lines = RebuildCardList();
  return read;
}

void CardSession::OfferRepair() {
  // Examined before the card list's scan changes the image. Asked once: a
  // user who said No works with the card as it is. A card held only for
  // reading is not repaired now; the next read that holds it whole offers.
  if (repairOffered_ || HeldCardLock() == CardLock::kShared || !VolumeImage.mounted || !ReadTableCopy2()) return;
  const std::uint32_t sectors = IdentifiedCardSectors();
  if (DeviceState != kDeviceReady) return;
  const VolumeCheck check = CheckVolume(sectors);
  if (check.problems.empty()) return;
  repairOffered_ = true;
  if (AskYesNo(msg::kRepairCaption, msg::RepairOffer(static_cast<int>(check.problems.size()))) != Answer::Yes)
    return;
  RepairVolume(sectors);
  if (DeviceState != kDeviceReady) {
    ShowNotice(Notice::kRepairFailed);
    return;
  }
  // The list is built from the card as the repair left it.
  MountVolume();
}

bool CardSession::ReadForCheck(std::uint32_t* cardSectors) {
  if (!ReadTableCopy2()) return false;
  *cardSectors = IdentifiedCardSectors();
  // A reply that is not a card's leaves the size unknown; a failed command
  // is the device's failure.
  return DeviceState == kDeviceReady;
}

MountResult CardSession::Mount(MountMode mode) { return MountVolume(mode); }

void CardSession::ListNothing() {
  CardFileCount = 0;
  FreeClusterCount = static_cast<std::uint16_t>(CountFreeClusters());
}

void CardSession::MarkWindowOpened() { MarkDirectoryOpened(); }

bool CardSession::Mounted() const { return VolumeImage.mounted; }

bool CardSession::AsRead() const { return VolumeImage.mounted && CardTablesUnchanged(); }

std::uint32_t CardSession::FreeClustersNow() { return static_cast<std::uint32_t>(CountFreeClusters()); }

std::optional<std::uint16_t> CardSession::FirstClusterOf(std::int32_t r) const {
  DirEntry entry;
  if (!CardFileEntry(CardFileTable[r], &entry) || entry.firstCluster == kEndOfChain) return std::nullopt;
  return entry.firstCluster;
}

FileKind CardSession::KindOf(const std::string& name) { return FileKindOf(name); }

bool CardSession::LayoutOnCard(VolumeLayout* layout) {
  *layout = ::LayoutOnCard(IdentifiedCardSectors());
  return DeviceState == kDeviceReady;
}

std::uint32_t CardSession::DataClusters(const VolumeLayout& layout) {
  // Table entries past the card's last cluster stand for nothing.
  const std::uint32_t entries = std::min(layout.usableClusters, layout.totalSectors / kClusterSectors);
  return entries > 2 ? entries - 2 : 0;
}

void CardSession::Probe() { ProbeDevice(); }

DeviceStateCode CardSession::State() { return DeviceState; }

bool CardSession::DeviceLost() { return DeviceGone(); }

TransportCause CardSession::LastTransportCause() { return ::LastTransportCause(); }

int CardSession::LastTransportErrno() { return ::LastTransportErrno(); }

PlayerRefusal CardSession::LastRefusal() { return PlayerRefusalOfLastOpen(); }

bool CardSession::Attach(const std::string& path, std::string* error, ImageWrites writes) {
  return AttachCardImage(path, error, writes);
}

void CardSession::Detach() { DetachCardImage(); }

bool CardSession::AttachedDirectly() const { return UsingCardImage(); }

CardSession::Hold::Hold(CardLock mode) : result_(LockCard(mode)) {}

CardSession::Hold::~Hold() {
  if (result_ == kLockOk) UnlockCard();
}

CardLock CardSession::Held() const { return HeldCardLock(); }

FormatResult CardSession::Format() { return FormatCard(); }

VolumeCheck CardSession::Examine(std::uint32_t cardSectors) const { return CheckVolume(cardSectors); }

std::vector<std::string> CardSession::Repair(std::uint32_t cardSectors) { return RepairVolume(cardSectors); }
