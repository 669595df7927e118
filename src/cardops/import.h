// Bringing voice recordings home: every recording on the card not yet in a
// folder's import record is fetched, turned into a sound file in a dated
// folder, read back and compared, and only then recorded; on request the
// recordings so proven are freed from the card in one delete pass.
//
// The record is DIR/.zk27-imports, one line a recording:
//   <sha256 hex> <TAB> <card name> <TAB> <size> <TAB> <where, under DIR> <TAB> <when, ISO date>
// A recording's identity is the SHA-256 of its bytes as fetched, so one
// imported before, then deleted or moved in DIR, is not imported again.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cardops.h"
#include "passes.h"

struct ImportOptions {
  std::string folder;                     // DIR
  VoiceOutput::Format format = VoiceOutput::Format::kWav;
  bool keepVoc = false;                   // the card's file too, beside the sound file
  bool free = false;                      // delete the proven recordings from the card
  bool again = false;                     // import even what the record already holds
  bool dryRun = false;                    // plan only: nothing written, nothing freed
};

// One recording of the card, as the plan sees it.
struct ImportCandidate {
  CardFileRef ref;
  std::string cardName;
  std::uint32_t size = 0;
  std::string sha256;                     // hex, of the bytes as fetched (empty in a plan made without fetching)
  bool known = false;                     // already in the record
};

enum class ImportOutcome {
  kImported,      // written, verified, recorded
  kSkippedKnown,  // already in the record
  kWouldImport,   // dry run
  kRefused,       // the decoder refused it (damaged, not a voice file): left on the card
  kFailed,        // PC side or card fault: nothing kept, left on the card
  kStopped,       // a stop request cut it: nothing kept
};

struct ImportItem {
  std::size_t index = 0;                  // its place among the card's recordings (ListVoiceRecordings)
  std::string cardName;
  ImportOutcome outcome = ImportOutcome::kFailed;
  CardOpResult result = kOpOk;            // the cause when not imported
  std::string reason;                     // plain words for the cause (empty when imported)
  std::string where;                      // under DIR: "2026-12-09/261209001.wav"
  std::string vocWhere;                   // --keep-voc: the card's file beside it, under DIR
  std::uint64_t bytesWritten = 0;         // the files written into DIR
  std::uint32_t cardBytes = 0;            // the recording's size on the card
  bool freed = false;                     // deleted from the card
};

// How a run ended.
enum class ImportEnd {
  kWhole,         // every recording was tried
  kStopped,       // a stop request ended it
  kCardLost,      // the card or the player's link went
  kPcFailed,      // DIR took no more (a full disk, a file that could not be made): it ended there
  kFolderBusy,    // another import is bringing recordings into DIR
  kFolderUnusable,  // DIR or its record could not be made or opened
};

// What became of --free.
enum class ImportFreeing {
  kNotAsked,
  kFreed,         // the delete pass took every recording imported
  kNothingToFree, // no recording was imported
  kHeldBack,      // the run did not end whole: the card keeps everything
  kCardChanged,   // the card's tables are no longer those read: nothing deleted
  kStopped,       // a stop came before the tables were written: nothing deleted
  kTablesFailed,  // the table write failed; `tablesTouched` says whether part of it reached the card
};

struct ImportReport {
  std::vector<ImportItem> items;
  ImportEnd end = ImportEnd::kWhole;
  ImportFreeing freeing = ImportFreeing::kNotAsked;
  bool tablesTouched = false;
  int imported = 0;
  std::uint64_t importedBytes = 0;
  int freed = 0;
  std::uint64_t freedBytes = 0;
  bool stopped = false;
  bool sessionEnded = false;              // the card or the link went
  CardOpResult last = kOpOk;              // what ended the run early, if anything
};

// The one summary line:
// "3 recordings imported (12.4 MB), 3 freed from the card (2.1 MB)", the
// sizes in decimal units ("44.2 kB", "0 bytes"); the second half only when
// a recording was freed.
std::string ImportSummaryLine(const ImportReport& report);

// What the run tells its front end, as a pass does: a recording starting,
// its bytes moving, and each recording's outcome.
struct ImportView {
  std::function<void(std::size_t index, int position, int total)> starting;
  std::function<ProgressFn(std::size_t index)> transferring;
  std::function<void(const ImportItem&)> finished;
};

// ---- the settings ------------------------------------------------------------------
//
// $XDG_CONFIG_HOME/zk27/import.conf (else ~/.config/zk27/import.conf;
// %APPDATA%\zk27\import.conf on Windows), one
// setting a line, "key = value"; blank lines and lines starting with "#"
// are skipped:
//   folder = ~/Memos        (a leading "~/" is the home folder)
//   format = flac           (wav, flac or ogg)
//   free = no               (yes or no)
//   keep-voc = no           (yes or no)

enum class ImportSettingsFault { kNone, kNotASetting, kUnknownKey, kBadValue, kUnreadable };
struct ImportSettingsProblem {
  ImportSettingsFault fault = ImportSettingsFault::kNone;
  int line = 0;            // from 1; 0 for the file as a whole
  std::string key;         // the key of the line, when it has one
};
// Where the settings are.
std::string ImportSettingsPath();
// Reads the settings at `path` into `options`; a missing file leaves them
// as they are. False at the first bad line, which `problem` names (the
// options then keep what the lines before it said).
bool ReadImportSettings(const std::string& path, ImportOptions* options, ImportSettingsProblem* problem);
// Writes the folder, format, free and keep-voc of `options` into the
// settings at `path` (its folder made when missing): each setting's line
// takes the new value where it stands, the comments and blank lines stay,
// lines that are no setting go, and a setting the file lacks is added at
// its end. The file is replaced whole (a temporary, then a rename), so a
// reader never sees half of it. False when it could not be written, or
// when the folder cannot be said on one line ("\n", blanks around it, or
// empty); the file is then as it was.
bool WriteImportSettings(const std::string& path, const ImportOptions& options);

// ---- the pieces, each usable alone ------------------------------------------

// The hashes DIR's record holds; empty when there is none yet.
std::vector<std::string> ReadImportRecord(const std::string& folder);
// Appends one line to DIR's record and flushes it to the disk (fsync).
// False when it could not be written whole.
bool AppendImportRecord(const std::string& folder, const std::string& sha256, const std::string& cardName,
                        std::uint32_t size, const std::string& where, const std::string& when);
// The day a recording belongs to, "YYYY-MM-DD": from a date name
// (yymmddNNN.voc), else `today`.
std::string ImportDay(const std::string& cardName, const std::string& today);
// Today, local time, "YYYY-MM-DD".
std::string ImportToday();
// Sets the file's modification time to noon of `day` ("YYYY-MM-DD"), local
// time: the same day wherever the file is looked at.
void DateImportedFile(const std::string& path, const std::string& day);
// `name` in `dir`, or name-2, name-3, … (before its kind) when taken.
std::string FreeNameIn(const std::string& dir, const std::string& name);

// ---- the run --------------------------------------------------------------------

// The recordings on the card (music untouched), in the card list's order.
std::vector<ImportCandidate> ListVoiceRecordings();
// Brings the new recordings home as above. Each new recording is fetched
// into DIR's work folder and hashed; decoded once into a WAV reference
// there and once into the chosen format under a temporary name in its
// dated folder; the sound file read back and compared with the reference;
// with keepVoc the card's file read a second time and compared byte for
// byte with the copy. Only then are the files given their names (never over
// another file), dated, flushed to the disk with their folder, and the
// record's line appended and flushed. A run stops at a stop request, a lost
// card and a folder that takes no more file; the recordings done before
// stay done. Temporaries are named so that the next run removes what a
// killed one left. With `free`, once the run ended whole, the recordings it
// imported are deleted in one delete pass, unless the card's tables
// changed since they were read. One run at a time in a DIR (a lock on its
// record).
ImportReport RunImport(const ImportOptions& options, const ImportView& view = {});
