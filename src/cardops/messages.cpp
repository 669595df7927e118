#include "messages.h"

#include "fs.h"
#include "text.h"

namespace msg {

std::string ConfirmDeleteMany(int count) {
  return "Do you really want to delete these " + std::to_string(count) + " files!!";
}

std::string DeleteNotExisted(const std::string& name) {
  return "The file," + name + " is not existed and then drop it!!";
}

const char* TransferFailure(DeviceStateCode state) {
  if (state == kDeviceNoCard) return kCardRemoved;
  if (state == kDeviceNotAttached) return kLostConnection;
  return kNotReady;
}

std::string FreeSpaceText(std::uint16_t freeClusters, bool spaced) {
  const std::uint32_t kilobytes = (static_cast<std::uint32_t>(freeClusters) * 65536u) >> 10;
  return std::string(kFreeSpace) + FormatThousands(std::to_string(kilobytes)) + (spaced ? " KB" : "KB");
}

std::string TotalFilesText(int count) { return kTotalFiles + std::to_string(count); }

std::string CountText(int count, const std::string& verb) {
  return std::to_string(count) + (count > 1 ? " files " : " file ") + verb;
}

std::string RepairOffer(int problems) {
  return "The card has " + std::to_string(problems) + (problems == 1 ? " problem" : " problems") +
         ": files or space that its tables do not account for.\r\n"
         "A repair frees what no file uses and keeps every whole file as it is.\r\n"
         "Repair the card now?";
}

const char* FormatOutcome(std::uint8_t formatResult) {
  switch (formatResult) {
    case kFormatOk:
      return kFormattingCompleted;
    case kFormatNotIdentified:
      return "The player did not identify the CF card; nothing was written.\r\nThe card was not formatted.";
    case kFormatCardTooSmall:
      return "The CF card is too small to be formatted; nothing was written.";
    default:
      return "Formatting failed: the card could not be written completely.";
  }
}

const char* StartRefusal(std::uint16_t raw) {
  if ((raw & 0x80) == 0x80) return kStartNoCard;
  if ((raw & 0x7F) == 0x7F) return kStartBusy;
  if (raw == 3) return kStartAttach;
  return nullptr;
}

}  // namespace msg
