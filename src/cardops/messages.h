// The texts the user sees, shared by both front ends so that they always say
// the same thing. "\r\n" is a line break.
#pragma once

#include <cstdint>
#include <string>

#include "device_state.h"
#include "notice.h"
#include "cardops.h"
#include "sync.h"

struct ImportReport;

namespace msg {

// The window's words for each notice of the engine's.
const char* WindowText(Notice notice);

// Start-up, by the raw status of the player.
inline constexpr const char* kStartNoCard =
    "There is no card in the Device.\r\nPlease Insert the CF card and restart the program.";
inline constexpr const char* kStartBusy = "The Device is Busy.\r\nPlease ReConnect the device";
inline constexpr const char* kStartAttach = "Please Attach the Device!";
inline constexpr const char* kNotZk27Format =
    "The CF card is not ZK27 file format\r\nWould you like to continue?";
inline constexpr const char* kProgramExited = "Program Exited!";
// The start-up's refusal for the player's raw status, tested in this order:
// bit 7 (no card), the low 7 bits all set (busy, and the transport failure),
// 3 (no handles): true with its notice in `refusal`. Null (false) when the
// program may go on.
const char* StartRefusal(std::uint16_t raw);
bool StartRefusal(std::uint16_t raw, Notice* refusal);

// The main window's reaction to the device's state.
inline constexpr const char* kStateNoCard =
    "There is no CF Card in the device\r\nPlease insert the card and restart the program!";
inline constexpr const char* kStateAttach = "Please Attach the ZK27 MP3 Player\r\nAnd restart the Program !";
inline constexpr const char* kStateNotReady =
    "The Device is Not Ready\r\nre-connect the Device and restart the program!";

// Card list.
inline constexpr const char* kInvalidFileStructure = " Invalid File structure\r\nClose the program";
inline constexpr const char* kTotalFiles = "Total Files: ";
inline constexpr const char* kFreeSpace = "The free space in your CF Card is ";

// Transfers.
inline constexpr const char* kSelectedUnknown = "The Selected files are unknown\r\ncontinue !!";
inline constexpr const char* kNoSpace = "Not Enought Memory Space";
inline constexpr const char* kInvalidType = "Invalid File Types!\r\nPlease choose another ones";
inline constexpr const char* kTooManyFiles = "Too many input files";
inline constexpr const char* kCardRemoved =
    "The CF card is removed \r\nPlease insert the card and restart the program.";
inline constexpr const char* kLostConnection = " Lost Connection\r\nPlease reconnect and restart the program";
inline constexpr const char* kNotReady = "The Device is not Ready";
inline constexpr const char* kFileNotExisted = " File Not Existed and drop the entry off!!";
inline constexpr const char* kInvalidHandle = "Invalid File Handle";
inline constexpr const char* kUnknownVoice = "Unknown Voice files";
inline constexpr const char* kDownloading = "Downloading";
inline constexpr const char* kUploading = "Uploading";
// Asked when the user would stop a transfer (the progress window's Escape or
// close box).
inline constexpr const char* kStopQuestion = "Stop after the current cluster? The file being sent is not kept.";

// The card between two actions.
inline constexpr const char* kCardLockFailed =
    "The card cannot be locked for this program: its lock file cannot be made.";
inline constexpr const char* kCardChanged =
    "The card was changed by another program.\r\nIts list has been read again.";

// A card whose tables do not account for everything on it.
inline constexpr const char* kRepairCaption = "Repair the card";
// "The card has 3 problems: ..." and the question whether to repair it.
std::string RepairOffer(int problems);
inline constexpr const char* kRepairFailed =
    "The card could not be repaired: writing to it failed.\r\nPlease reconnect the device and try again.";

// Format and delete.
inline constexpr const char* kConfirmFormatCaption = "Confirm format";
inline constexpr const char* kConfirmFormat = "Do you really want to format this CF card??";
inline constexpr const char* kFormattingCompleted = "Fomatting completed";
inline constexpr const char* kConfirmDeleteCaption = "Confirm delete";
inline constexpr const char* kConfirmDeleteOne = "Do you really want to delete this file!!";

// What a format says, by FormatCard's result: "Fomatting completed", or why
// it did not succeed.
const char* FormatOutcome(FormatResult formatted);
// Why a format did not succeed: true with its notice in `refusal`; false for
// one that did.
bool FormatRefusal(FormatResult formatted, Notice* refusal);

std::string ConfirmDeleteMany(int count);

// Renaming a card file (the window's F2).
inline constexpr const char* kRenameCaption = "Rename";
inline constexpr const char* kRenamePrompt = "The file's new name on the card:";
std::string DeleteNotExisted(const std::string& name);

// What the window says of one file of a pass, by its result; `name` is the
// file as the user knows it. Empty for a result that says nothing of its
// own (done, stopped, or a device failure, which TransferFailure words).
// Every result has its row (-Werror=switch).
enum class PassWords { kSend, kFetch, kToWave, kDelete, kChange };
std::string FileText(PassWords pass, CardOpResult result, const std::string& name);

// The message after a transfer stopped on `state`: the card removed, the
// link lost, or the device not ready.
const char* TransferFailure(DeviceStateCode state);
// "The free space in your CF Card is 64,000KB" for the FreeClusterCount; with
// `spaced`, " KB" as after a re-check.
std::string FreeSpaceText(std::uint16_t freeClusters, bool spaced = false);
std::string TotalFilesText(int count);
// "3 files downloaded", "1 file downloaded", "0 file downloaded".
std::string CountText(int count, const std::string& verb);

// The card list's menu: what it offers beyond the buttons and keys.
inline constexpr const char* kMenuRename = "Rename";
inline constexpr const char* kMenuMoveUp = "Move up";
inline constexpr const char* kMenuMoveDown = "Move down";
inline constexpr const char* kMenuCheck = "Check the card";
inline constexpr const char* kMenuBackup = "Back up the card\u2026";
inline constexpr const char* kMenuRestore = "Restore from a backup\u2026";
inline constexpr const char* kMenuSync = "Sync a folder\u2026";
inline constexpr const char* kMenuImport = "Import voice recordings\u2026";
inline constexpr const char* kBackingUp = "Backing up";
inline constexpr const char* kRestoring = "Restoring";
inline constexpr const char* kCheckCaption = "Check the card";
inline constexpr const char* kBackupCaption = "Back up the card";
inline constexpr const char* kRestoreCaption = "Restore from a backup";
inline constexpr const char* kSyncCaption = "Sync a folder";
inline constexpr const char* kCheckUnreadable = "The card's volume cannot be read as it is; nothing was checked.";
std::string FolderUnreadable(const std::string& dir);

// The import's dialog and its progress window.
inline constexpr const char* kImportCaption = "Import voice recordings";
inline constexpr const char* kImportFolder = "Folder:";
inline constexpr const char* kImportBrowse = "Browse\u2026";
inline constexpr const char* kImportFormat = "Format:";
inline constexpr const char* kImportFree = "Free after import";
inline constexpr const char* kImporting = "Importing";
// The settings at `path` could not be read (its first bad `line`, 0 for
// the file): the dialog starts from the defaults.
std::string ImportSettingsUnread(const std::string& path, int line);
// The choices could not be written into the settings at `path`.
std::string ImportSettingsUnwritten(const std::string& path);
// How an import into `folder` ended: each recording left on the card with
// its reason, what kept the card from being freed, then the summary line.
std::string ImportResultText(const ImportReport& report, const std::string& folder);

// The check's report: the problems found, one a line, or that the card is
// clean with its `files`.
std::string CheckReport(const std::vector<std::string>& problems, std::size_t files);
// After a repair: what it did, then what is left (`left`, empty when clean).
std::string RepairReport(const std::vector<std::string>& done, const std::vector<std::string>& left);
// The end of a backup to `path` that read `bytes`, by BackupCard's result.
std::string BackupOutcome(CardOpResult result, const std::string& path, std::uint64_t bytes);
// The question before a restore of `path`, with what of the card stays
// unused when the image's volume is smaller (`fit`).
std::string RestoreQuestion(const std::string& path, const ImageFit& fit);
// Why the image at `path` is not written (FitCardImage's and RestoreCard's
// refusals), or how the restore ended.
std::string RestoreOutcome(CardOpResult result, const std::string& path, const ImageFit* fit);
// The sync's plan for folder `dir`, then the question whether to carry it
// out; or, for a plan that does not fit or has nothing to do, what is said
// instead (`question` false).
std::string SyncPlanText(const SyncPlan& plan, const std::string& dir, bool* question);

}  // namespace msg
