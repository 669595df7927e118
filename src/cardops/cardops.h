// Card operations shared by the desktop program and the command line.
//
// Layer: the top of the engine, with no Qt and no printing. It owns the card
// list, the operations on files (send, fetch, delete, rename, order), the
// passes (passes.h), the session a front end drives (session.h), backup and
// restore, sync and import, and the window's texts (messages.h). It calls
// the volume (src/fs), the device link (src/usbfunc), the voice decoder
// (src/dllfunc/tvdh.h) and src/Util; the two front ends call it.
//
// The card list: every rebuild scans the directory image into the
// CardFileTable (records 1..CardFileCount, in descending FileId order) and
// lists the records' Names from CardFileCount down to 1, so the list shows
// music files by FileId, then voice files by FileId.
//
// Names here are card names: 8-bit text as the NameTable holds it. A front
// end shows them through PcNameFromCard and looks a line up with the card
// name it came from.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "card_names.h"
#include "volume_terms.h"

struct DirEntry;  // fs.h

struct TFileInfor {
  std::int32_t DirSector = 0;
  std::int32_t DirOffset = 0;
  std::uint8_t FileId = 0;
  std::string Name;
};

inline constexpr int kCardFileCapacity = 512;
extern TFileInfor CardFileTable[kCardFileCapacity + 1];  // numbered from 1
extern std::int32_t CardFileCount;
extern std::uint16_t FreeClusterCount;
extern std::string CurrentFileName;

// ---- the card list -------------------------------------------------------

// Rebuilds the CardFileTable from the directory image. Unless the card is
// held only for reading, it also releases half-deleted entries (one
// releasing flush) and names voice recordings that reached the card without
// a name (one adding flush). Returns the record count.
std::int32_t ScanCardDirectory();
// Sets each record's Name, then appends the lines of records count..1.
void FillCardList(std::int32_t count, std::vector<std::string>* lines);
// Sets the record's Name from its name slot. A music record without a
// readable name shows the broken-structure message and gets an empty Name; a
// voice record without one is listed under its recording name.
void FetchEntryName(TFileInfor& record, bool report = true);
// A voice entry without a name is listed under MakeVoiceName (fs.h), where
// the volume check finds it too.

// The GUI-free half of refreshing the card view: scan, fill, count the free
// clusters. Sets CardFileCount and FreeClusterCount; returns the list lines.
std::vector<std::string> RebuildCardList();

// ---- files ----------------------------------------------------------------

// Which card file an operation means: by its card name (a list line), by its
// FileId (for a file whose Name is empty, unreadable or another file's too),
// or by its place in the directory, which stays the file's while other files
// are released and their FileIds closed up. A ref by FileId or place keeps
// the list line it was made from, to be shown in messages. An empty name
// names no file.
class CardFileRef {
 public:
  enum class By : std::uint8_t { kNothing, kName, kFileId, kPlace };
  CardFileRef() = default;
  // A card name is the usual way a front end names a file, hence implicit.
  CardFileRef(std::string cardName)  // NOLINT(google-explicit-constructor)
      : by_(cardName.empty() ? By::kNothing : By::kName), name_(std::move(cardName)) {}
  CardFileRef(const char* cardName) : CardFileRef(std::string(cardName)) {}  // NOLINT
  static CardFileRef OfFileId(std::uint8_t fileId, std::string shown = {});
  static CardFileRef OfPlace(DirEntryPos place, std::string shown = {});

  By by() const { return by_; }
  bool empty() const { return by_ == By::kNothing; }
  // The card name; for a ref by FileId or place the list line it shows as.
  const std::string& name() const { return name_; }
  std::uint8_t fileId() const { return fileId_; }
  DirEntryPos place() const { return place_; }

 private:
  By by_ = By::kNothing;
  std::string name_;
  std::uint8_t fileId_ = 0;
  DirEntryPos place_;
};

// The record of the CardFileTable (as last read) that `ref` names; 0 when
// none does. A name finds the first record of that Name, else the first whose
// Name is the name and one trailing NUL (a Name stored so shows without it);
// a FileId finds the first record of that FileId. The lookup goes through an
// index built each time the table is read.
std::int32_t FindCardFile(const CardFileRef& ref);
// The ref that names record `r`: by its list line when that finds it, else
// by its FileId.
CardFileRef CardFileRefOf(std::int32_t r);
// The record's DirEntry as the directory image holds it; false when the
// record's place lies outside the directory.
bool CardFileEntry(const TFileInfor& record, DirEntry* entry);
std::uint32_t CardFileSize(const TFileInfor& record);
// FindCardFile on the CardFileTable read afresh from the directory image,
// which it leaves unchanged.
std::int32_t FindCardFileNow(const CardFileRef& ref);
// Whether a file listed as `cardName` is on the card now. It reads the
// directory only when it changed since the card files were last read; a
// send keeps that reading current by adding its own file (AddedCardName).
bool CardNameOnCard(const std::string& cardName);
// The file just made under `cardName`, and no other change, since
// DirectoryChanges() was `before`: the name joins the lookup index, which
// then still holds.
void AddedCardName(const std::string& cardName, std::uint64_t before);
// `refs` as refs by place, every file found in one reading of the directory
// before any is released; a ref naming no file becomes an empty ref.
std::vector<CardFileRef> PinCardFiles(const std::vector<CardFileRef>& refs);

enum CardOpResult : int {
  kOpOk = 0,
  kOpDeviceGone,         // DeviceState 2, 4 or 5 before the file was started
  kOpDeviceFailed,       // a card command failed; see the DeviceState
  kOpFlushFailed,        // the data is on the card but the tables were not written
  kOpCannotOpenPcFile,
  kOpPcReadFailed,
  kOpNoSpace,
  kOpWrongKind,
  kOpNameNotStorable,    // a character the card's names cannot hold
  kOpNameTooLong,
  kOpDirectoryFull,
  kOpNameTableFull,
  kOpNoFileIdLeft,       // the kind's numbers reached 127
  kOpNameOnCard,         // a file of that name is on the card already
  kOpNotOnCard,
  kOpUnsafeName,         // the card name is damaged (CardNameFault): no PC file is made of it
  kOpCannotCreatePcFile,
  kOpPcWriteFailed,
  kOpDamaged,            // the file's cluster chain is broken
  kOpDecodeFailed,       // the voice file holds nothing the decoder can read
  kOpWavNotWritten,
  kOpStopped,            // a stop was asked for: the file was not kept
  kOpVerifyFailed,       // what was read back is not what was written
  kOpNotVoice,           // the "voice file" is another format's file (WAV, MP3, Ogg, FLAC)
  kOpVoiceTooLong,       // its sound would pass what one sound file is made to hold
  kOpNoResampler,        // it needs resampling and libsamplerate cannot be loaded
  kOpNoSoundLibrary,     // the sound file needs libsndfile and it cannot be loaded
  kOpNotAPcName,         // the PC folder holds no file of that name ("a?.voc" on FAT; Windows: "NUL.mp3")
  kOpPcNameTaken,        // a file of this fetch has the name in other capitals, and the folder holds them as one
};

// Units done of units total; a call with done 0 marks the start of the data.
using ProgressFn = std::function<void(std::uint32_t done, std::uint32_t total)>;

// Sends the PC file at `pcPath` to the card under its name `pcName` (UTF-8,
// no folder): checks, chosen clusters, one write per cluster, then the entry,
// name and chain, and one FlushVolume. Every limit is checked before any data
// is written; a file that stops half-way leaves no entry.
CardOpResult SendFileToCard(const std::string& pcPath, const std::string& pcName,
                            const ProgressFn& progress);

// Copies card file `r` into the open PC file: exactly its size, along its
// cluster chain, which is checked whole before the first read.
CardOpResult FetchCardFile(std::int32_t r, int file, const ProgressFn& progress);

// Fetches card file `r` into folder `dir` under its safe PC name. A file of
// that name is replaced only once the copy is whole; a failed copy leaves
// nothing behind.
CardOpResult FetchCardFileTo(std::int32_t r, const std::string& dir, const ProgressFn& progress,
                             std::string* pcName);

// Releases the card file `ref` names (read afresh) in the VolumeImage and
// closes up the FileIds of its kind. The caller flushes once for all files,
// in the releasing order. kOpNotOnCard when no file is there (any more).
CardOpResult ReleaseCardFile(const CardFileRef& ref);

// Renames the card file `ref` names to `newName` (UTF-8, no folder). The
// new name is checked whole before anything is written: the card must be
// able to hold it and give it back (kOpNameNotStorable,
// kOpNameTooLong), it keeps the file's kind (kOpWrongKind: .mp3 stays music,
// .voc voice) and no other file has it (kOpNameOnCard). The name is written
// in place, one NameTable sector; a file without a name gets a free slot
// (kOpNameTableFull when none is left), written before its entry.
CardOpResult RenameCardFile(const CardFileRef& ref, const std::string& newName);
// Whether RenameCardFile's `result` refused the new name itself, so that
// another name may do: not one the card can hold, of another kind, or in use.
bool NewNameRefused(CardOpResult result);

// Puts the music files named by `first` first in the play
// order, in the order given, and the other music files after them in their
// present order, by numbering the music files 1..n again: the directory
// alone is written, no data moves. kOpNotOnCard or kOpWrongKind (a voice
// file) for a ref, before anything is written.
CardOpResult OrderMusicFiles(const std::vector<CardFileRef>& first);

// Reads the whole mounted card into a card image at `path`: every sector
// before the data area (the tables, the directory, the names, the boot
// sector) and the clusters the allocation table holds in use; the rest of the
// image stays a hole, so a backup reads and takes on disk about what the card
// holds. The image grows under a name of its own and takes `path` only when
// whole: a stop (kOpStopped) or a failure leaves no half image and keeps an
// older file of that name. `bytesRead` receives what was read from the card.
CardOpResult BackupCard(const std::string& path, const ProgressFn& progress, std::uint64_t* bytesRead = nullptr);

// Writes the card image at `path` onto the card, which must be at least as
// large (kOpNoSpace, before any write; kOpWrongKind when the file is no
// card image of this format). First the card's present files are made
// unreachable (an empty directory, as a format writes), so that a cut never
// leaves a file with another file's bytes; then the clusters the image holds
// in use, the names, the tables, the directory, and the boot sector last;
// then every stretch is read back and compared (kOpVerifyFailed). A stop is
// taken only while the clusters are written, before any table: the card then
// holds part of the image and no file. Leaves the new volume mounted.
CardOpResult RestoreCard(const std::string& path, const ProgressFn& progress);

// The sizes RestoreCard goes by: the volume of the card image at `path` and
// the card, in sectors, and what of the card the image's volume leaves
// unused (0 when the card has the image's size or less).
struct ImageFit {
  std::uint32_t imageSectors = 0;
  std::uint32_t cardSectors = 0;
  std::uint32_t unusedSectors = 0;
};
// Reads the image's boot sector and the card's size, writes nothing: kOpOk
// when the card takes the image as it is, kOpNoSpace when the card is
// smaller than the image's volume (`fit` filled in both cases), otherwise
// RestoreCard's refusals.
CardOpResult FitCardImage(const std::string& path, ImageFit* fit);

// ---- voice recordings --------------------------------------------------------

// The WAV file's name for voice file `name`: the part before its last "."
// followed by ".wav" ("memo1.voc" gives "memo1.wav", "a.b.voc" "a.b.wav").
std::string WaveFileName(const std::string& name);

// The sound file a voice recording becomes: its format (16-bit PCM WAV,
// 16-bit FLAC or Ogg Vorbis) and its rate in samples a second (0: the rate of
// the recording's first block). A rate outside 1..1,000,000, or one the
// format cannot hold (FLAC stops at 655,350), writes nothing:
// kOpWavNotWritten.
struct VoiceOutput {
  enum class Format { kWav, kFlac, kOgg } format = Format::kWav;
  int rate = 0;
};

// The output file's name for voice file `name` in format `format`: as
// WaveFileName, with ".flac" or ".ogg" in place of ".wav".
std::string VoiceOutputName(const std::string& name, VoiceOutput::Format format);
// The highest rate `format` is written at: 1,000,000 Hz; FLAC 655,350 Hz,
// the most its encoder takes.
int MaxVoiceOutputRate(VoiceOutput::Format format);

// Turns the voice file `voiceName` of folder `dir` into the sound file
// VoiceOutputName(voiceName, out.format) beside it; `outName` receives that
// name. A failed conversion leaves no output file behind. What the user
// should hear of a conversion that succeeded (a recording whose rate changes
// between blocks was resampled) is appended to `notes` when given, in plain
// English naming the file.
CardOpResult ConvertVoiceFile(const std::string& voiceName, std::string* outName, const std::string& dir = ".",
                              const VoiceOutput& out = {}, std::vector<std::string>* notes = nullptr);

// Decodes the voice file at `source` into the sound file at `target`, as
// ConvertVoiceFile does; `rates` receives the recording's own rates (each
// once, in the order met) and `outputRate` the rate written, when given.
CardOpResult DecodeVoiceFileTo(const std::string& source, const std::string& target, const VoiceOutput& out,
                               std::vector<int>* rates = nullptr, int* outputRate = nullptr);

// Whether the sound file at `written` holds what the decoder wrote into the
// 16-bit PCM WAV file at `reference`: the same rate, channels and frame
// count, and every sample the same (for Ogg Vorbis, whose coding loses
// detail by design, every frame within the codec's reach of the reference).
// Read with the audio library, a piece at a time. kOpVerifyFailed when they
// differ, kOpPcReadFailed when either cannot be read.
CardOpResult CompareSoundFiles(const std::string& written, const std::string& reference, VoiceOutput::Format format);

// The window's text for the results that name the file (the limits, PC file
// errors, damaged files); empty otherwise. Part of the window's wording of
// the results (msg::FileText, messages.h).
std::string CardOpText(CardOpResult result, const std::string& name);
