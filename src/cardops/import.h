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
  std::string cardName;
  ImportOutcome outcome = ImportOutcome::kFailed;
  CardOpResult result = kOpOk;            // the cause when not imported
  std::string reason;                     // plain words for the cause (empty when imported)
  std::string where;                      // under DIR: "2026-12-09/261209001.wav"
  std::uint64_t bytesWritten = 0;         // the files written into DIR
  std::uint32_t cardBytes = 0;            // the recording's size on the card
  bool freed = false;                     // deleted from the card
};

struct ImportReport {
  std::vector<ImportItem> items;
  int imported = 0;
  std::uint64_t importedBytes = 0;
  int freed = 0;
  std::uint64_t freedBytes = 0;
  bool stopped = false;
  bool sessionEnded = false;              // the card or the link went
  CardOpResult last = kOpOk;              // what ended the run early, if anything
};

// The one summary line:
// "3 recordings imported (12.4 MB), 3 freed from the card (2.1 MB)".
std::string ImportSummaryLine(const ImportReport& report);

// What the run tells its front end, as a pass does: a recording starting,
// its bytes moving, and each recording's outcome.
struct ImportView {
  std::function<void(std::size_t index, int position, int total)> starting;
  std::function<ProgressFn(std::size_t index)> transferring;
  std::function<void(const ImportItem&)> finished;
};

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

// The recordings on the card (music untouched), in card order.
std::vector<ImportCandidate> ListVoiceRecordings();
// Brings the new recordings home as above. A stop request (RequestStop)
// ends it at the next cluster boundary with nothing partial kept.
ImportReport RunImport(const ImportOptions& options, const ImportView& view = {});
