// The passes: one card operation over a list of files, as both front ends
// run it. A pass decides, from each file's result and the device's state,
// what is said, whether the pass goes on, and what the summary says; the
// window and zk27 only show what the pass reports through a PassView.
//
// A pass can be asked to stop (RequestStop, safe from a signal handler): it
// stops at the next cluster boundary, the file in flight is not kept (no
// entry, no cluster taken on the card, no PC file), the files done before it
// stay done and the summary counts only them. A stop request stays until
// ClearStopRequest: a front end clears it before it starts a pass.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cardops.h"
#include "device_state.h"
#include "notice.h"

// The card or the player's link is gone (no card, player not attached): the
// session ends.
bool CardOrLinkLost();

// After one file: go on with the next, stop the pass here, or end the
// session (the card or the link is gone: the window closes).
enum class PassStep { kNext, kStop, kEndSession };

// What became of one file of a pass.
struct FileReport {
  std::size_t index = 0;        // its place in the pass's list
  CardOpResult result = kOpOk;
  PassStep step = PassStep::kNext;
  bool counted = false;         // it counts in the summary
  bool deviceFault = false;     // the failure is the card's or the player's, not the file's
  std::vector<std::string> messages;  // the system's texts to show, in order
  std::string endText;          // on the progress window's status line when the pass ends on this file
  std::string pcName;           // fetch: the PC file written (empty when none was)
  std::string wavName;          // to WAV: the sound file written (WAV, FLAC or Ogg)
  std::vector<std::string> notes;  // what the user should hear beyond the messages (plain English,
                                   // naming the file): a recording resampled
};

// What a pass tells its front end while it runs. Every method but Finished
// has a default that shows nothing.
class PassView {
 public:
  virtual ~PassView() = default;
  // File `index` of the list is next; it is number `position` of `total`
  // (files dropped from a fetch no longer count in the total).
  virtual void Starting(std::size_t index, int position, int total) {
    (void)index, (void)position, (void)total;
  }
  // The file's data is about to move; the callback follows it.
  virtual ProgressFn Transferring(std::size_t index) {
    (void)index;
    return nullptr;
  }
  virtual void Finished(const FileReport& report) = 0;
};

// A PassView of functions, for a front end that shows a pass from where it
// runs it. A function left empty shows nothing.
class PassCallbacks : public PassView {
 public:
  std::function<void(std::size_t index, int position, int total)> starting;
  std::function<ProgressFn(std::size_t index)> transferring;
  std::function<void(const FileReport&)> finished;

  void Starting(std::size_t index, int position, int total) override {
    if (starting) starting(index, position, total);
  }
  ProgressFn Transferring(std::size_t index) override { return transferring ? transferring(index) : nullptr; }
  void Finished(const FileReport& report) override {
    if (finished) finished(report);
  }
};

// The pass as a whole.
struct PassSummary {
  int done = 0;                 // files stored, fetched or converted
  PassStep end = PassStep::kNext;  // kNext: every file was tried
  CardOpResult last = kOpOk;    // the result of the file the pass ended on
  bool stopped = false;         // it ended on a stop request
  std::string endText;          // the status line of the file it ended on, if any
  std::string text;             // "2 files downloaded"; empty when the pass has none to give
  bool tablesTouched = false;   // delete: a failed table write may have left part of it on the card
};

// ---- the card and the player -------------------------------------------------

// What a front end does when the device link reports the device's state (its
// DeviceStateMessage): nothing, say `message` and end the session, or check
// the card and read it again.
enum class StateReaction { kNone, kEndSession, kRecheck };
struct StateVerdict {
  StateReaction reaction = StateReaction::kNone;
  const char* message = nullptr;  // the notice's words in the window
  Notice notice = Notice::kStateNotReady;  // kEndSession: what to say
};
StateVerdict JudgeDeviceState(DeviceStateCode state);

// Whether a session can start on the card: the player's status (its refusal
// in `message`), then the card's own format. kPlayerUntrusted: the driver
// refused what answered (PlayerRefusalOfLastOpen says why), which is not
// "no player attached". kZeroTotal: the player's volume, but its boot sector
// gives 0 sectors over a directory that holds files; formatting it, as a
// foreign card, loses them, so it is asked as one.
enum class CardOpening { kOpen, kPlayerRefused, kPlayerUntrusted, kForeign, kUnreadable, kZeroTotal };
struct OpeningReport {
  CardOpening state = CardOpening::kOpen;
  const char* message = nullptr;  // the notice's words in the window
  Notice notice = Notice::kNotZk27Format;  // kPlayerRefused, kForeign, kZeroTotal: what to say
};
OpeningReport CheckPlayerAndCard();
// Its two halves: the player's status alone, the card's format alone.
OpeningReport CheckPlayer();
OpeningReport CheckCardFormat();

// ---- stopping ------------------------------------------------------------------

// Asks the pass under way to stop at the next cluster boundary. Safe from a
// signal handler and from another thread.
void RequestStop();
bool StopRequested();
// Forgets a stop request.
void ClearStopRequest();

// ---- the passes ----------------------------------------------------------------

// A PC file to send: its path, and its name on the card (UTF-8, no folder).
// A file that replaces a card file names it in `replaces`,
// with the size the PC file was planned at and the temporary name it is sent
// under while both copies are on the card (see ReplaceCardFile in sync.h).
struct SendItem {
  std::string pcPath;
  std::string pcName;
  CardFileRef replaces = {};
  std::string tempName = {};
  std::uint64_t size = 0;
};

// Sends the files in turn; a file that replaces a card file goes through
// ReplaceCardFile. A refused file is skipped; no room, no entry or
// no name slot left stops the pass; a failed card command stops it, and ends
// the session when the card or the link is gone.
PassSummary RunSendPass(const std::vector<SendItem>& files, PassView& view);

enum class FetchKind { kFiles, kToWave };

// Fetches the card files `files` into folder `dir`; with
// kToWave voice recordings only, each then turned into a sound file beside
// it, in the format and at the rate `out` asks for (a WAV file at the
// recording's rate unless told).
// A ref naming no file is dropped; a PC file that cannot be created stops
// the pass without a summary; a failed card command stops it, and ends the
// session when the card or the link is gone.
PassSummary RunFetchPass(const std::vector<CardFileRef>& files, FetchKind kind, const std::string& dir,
                         PassView& view, const VoiceOutput& out = {});

// Releases the card files `files`, every one found before the first is
// released, then writes the tables once, in the releasing order. A ref
// naming no file is reported and skipped. A stop asked for before the table write keeps every file (the
// volume is read again). A failed table write ends the session; its message
// is in the summary's text, and tablesTouched says whether the tables may be
// half written (a card that took none of it still holds every file).
PassSummary RunDeletePass(const std::vector<CardFileRef>& files, PassView& view);
