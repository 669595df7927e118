#include "session.h"

#include "hooks.h"
#include "messages.h"

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
