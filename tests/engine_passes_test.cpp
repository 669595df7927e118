// The passes both front ends run, against the virtual player: what each
// file's result means for the pass and what is said, and a stop at the start,
// the middle or the last cluster of a file that leaves the card sound.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <cmath>
#include <csignal>
#include <fstream>

#include "check.h"
#include "import.h"
#include "sha256.h"
#include "support/engine.h"
#include "messages.h"
#include "passes.h"
#include "platform.h"
#include "session.h"
#include "sync.h"
#include "text.h"
#include "tvdh.h"

using namespace zk27_test;
using Lines = std::vector<std::string>;

namespace {

// Writes down what a pass reports, and asks it to stop when file `stopFile`
// has moved `stopAt` clusters (0: as its data begins).
class RecordingView : public PassView {
 public:
  struct Start {
    std::size_t index;
    int position, total;
    bool operator==(const Start&) const = default;
  };
  std::vector<Start> starts;
  std::vector<FileReport> reports;
  int stopFile = -1;
  std::uint32_t stopAt = 0;

  void Starting(std::size_t index, int position, int total) override { starts.push_back({index, position, total}); }
  ProgressFn Transferring(std::size_t index) override {
    return [this, index](std::uint32_t done, std::uint32_t) {
      if (static_cast<int>(index) == stopFile && done == stopAt) RequestStop();
    };
  }
  void Finished(const FileReport& report) override { reports.push_back(report); }
};

class engine_passes : public CardTest {
 protected:
  void SetUp() override {
    CardTest::SetUp();
    StartMountedCard(2048);  // 14 free clusters
    ClearStopRequest();
  }
  void TearDown() override {
    ClearStopRequest();
    CardTest::TearDown();
  }

  SendItem Pc(const std::string& name, std::size_t bytes, std::uint32_t seed) {
    return {PcFile(name, Content(bytes, seed)), name};
  }
  // The card as another program would find it: read afresh and checked.
  void ExpectCardSound() {
    ASSERT_EQ(MountVolume(), kMountOk);
    ASSERT_TRUE(ReadTableCopy2());
    const VolumeCheck check = CheckVolume(IdentifiedCardSectors());
    std::string problems;
    for (const std::string& p : check.problems) problems += p + "\n";
    EXPECT_TRUE(check.problems.empty()) << problems;
  }
  std::string OutDir() {
    const std::string out = dir_ / "out";
    std::filesystem::create_directories(out);
    return out;
  }
};

TEST_F(engine_passes, SendGoesOnAfterARefusedFileAndStopsWhenTheCardIsFull) {
  const std::vector<SendItem> files = {
      Pc("a.mp3", 100, 1),
      Pc("notes.txt", 100, 2),
      {(dir_ / "pc/missing.mp3"), "missing.mp3"},
      Pc("a.mp3", 50, 3),  // the name is on the card by now
      Pc("b.voc", 70000, 4),
      Pc("huge.mp3", 15 * 65536, 5),  // more than the 14 clusters there are
      Pc("never.mp3", 10, 6),
  };
  RecordingView view;
  const PassSummary summary = RunSendPass(files, view);

  ASSERT_EQ(view.reports.size(), 6u);  // the last file is never tried
  const std::vector<CardOpResult> results = {kOpOk,       kOpWrongKind, kOpCannotOpenPcFile,
                                             kOpNameOnCard, kOpOk,      kOpNoSpace};
  for (std::size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(view.reports[i].index, i);
    EXPECT_EQ(view.reports[i].result, results[i]);
    EXPECT_EQ(view.reports[i].counted, results[i] == kOpOk);
    EXPECT_FALSE(view.reports[i].deviceFault);
    EXPECT_EQ(view.reports[i].step, i < 5 ? PassStep::kNext : PassStep::kStop);
  }
  EXPECT_TRUE(view.reports[0].messages.empty());
  EXPECT_EQ(view.reports[1].messages, Lines{msg::kInvalidType});
  EXPECT_EQ(view.reports[2].messages, Lines{msg::kSelectedUnknown});
  EXPECT_EQ(view.reports[3].messages, Lines{CardOpText(kOpNameOnCard, "a.mp3")});
  EXPECT_EQ(view.reports[5].messages, Lines{msg::kNoSpace});
  // The position counts the files stored, the total the whole selection.
  EXPECT_EQ(view.starts, (std::vector<RecordingView::Start>{
                             {0, 1, 7}, {1, 2, 7}, {2, 2, 7}, {3, 2, 7}, {4, 2, 7}, {5, 3, 7}}));

  EXPECT_EQ(summary.done, 2);
  EXPECT_EQ(summary.end, PassStep::kStop);
  EXPECT_EQ(summary.last, kOpNoSpace);
  EXPECT_FALSE(summary.stopped);
  EXPECT_EQ(summary.text, "2 files downloaded");
  EXPECT_EQ(RebuildCardList(), (Lines{"a.mp3", "b.voc"}));
}

TEST_F(engine_passes, SendEndsTheSessionWhenTheCardIsPulled) {
  const std::vector<SendItem> files = {Pc("a.mp3", 100, 1), Pc("b.mp3", 3 * 65536, 2), Pc("c.mp3", 10, 3)};
  // b.mp3's second cluster finds the card gone.
  FaultAtCommand(4 + 2, [](player::PlayerCore& p) { p.Eject(); });
  RecordingView view;
  const PassSummary summary = RunSendPass(files, view);
  ASSERT_EQ(view.reports.size(), 2u);
  const FileReport& cut = view.reports[1];
  EXPECT_EQ(cut.result, kOpDeviceFailed);
  EXPECT_TRUE(cut.deviceFault);
  EXPECT_EQ(cut.step, PassStep::kEndSession);
  EXPECT_EQ(cut.messages, Lines{msg::kCardRemoved});
  EXPECT_EQ(cut.endText, "1files downloaded");
  EXPECT_EQ(summary.end, PassStep::kEndSession);
  EXPECT_EQ(summary.done, 1);
  EXPECT_EQ(summary.text, "1 file downloaded");
}

// A stop as the data begins, after two of four clusters, and after the last
// one: the file is not kept, the one before it is, the card is sound.
TEST_F(engine_passes, StopAtAnyClusterKeepsTheFilesBeforeAndLeavesNothingOfTheFile) {
  for (std::uint32_t stopAt : {0u, 2u, 4u}) {
    SCOPED_TRACE("stop after cluster " + std::to_string(stopAt));
    StartMountedCard(2048);
    const int freeBefore = CountFreeClusters();
    const std::vector<SendItem> files = {Pc("first.mp3", 65536, 1), Pc("big.mp3", 4 * 65536, 2),
                                         Pc("last.mp3", 100, 3)};
    RecordingView view;
    view.stopFile = 1;
    view.stopAt = stopAt;
    const PassSummary summary = RunSendPass(files, view);

    ASSERT_EQ(view.reports.size(), 2u);
    EXPECT_EQ(view.reports[1].result, kOpStopped);
    EXPECT_TRUE(view.reports[1].messages.empty());
    EXPECT_TRUE(summary.stopped);
    EXPECT_EQ(summary.end, PassStep::kStop);
    EXPECT_EQ(summary.done, 1);
    EXPECT_EQ(summary.text, "1 file downloaded");

    ExpectCardSound();
    EXPECT_EQ(RebuildCardList(), Lines{"first.mp3"});
    EXPECT_EQ(CountFreeClusters(), freeBefore - 1);

    // Once the request is cleared the card works as before: the file sent
    // first is whole, and the stopped one goes whole too.
    ClearStopRequest();
    EXPECT_EQ(FetchBack("first.mp3"), Content(65536, 1));
    RecordingView again;
    EXPECT_EQ(RunSendPass({files[1]}, again).done, 1);
    EXPECT_EQ(FetchBack("big.mp3"), Content(4 * 65536, 2));
  }
}

// To WAV in another format: the output's name follows it, a recording whose
// rate changes is converted with a note naming it, and a file of another
// format stored as a voice file is said to be no voice recording.
TEST_F(engine_passes, ToWaveWritesTheFormatAskedForWithNotes) {
  auto voc = [](std::initializer_list<std::uint8_t> timeConstants) {
    const char magic[] = "Creative Voice File\x1A\x1A\x00\x0A\x01\x29\x11";
    Bytes b(magic, magic + 26);
    for (std::uint8_t tc : timeConstants) {
      b.insert(b.end(), {1, 202, 0, 0, tc, 0});  // 200 bytes of 8-bit sound
      for (int i = 0; i < 200; ++i) b.push_back(static_cast<std::uint8_t>(128 + (i % 20) * 4));
    }
    b.push_back(0);
    return b;
  };
  ASSERT_EQ(Store("two.voc", voc({0x83, 0xA6})), kOpOk);
  ASSERT_EQ(Store("one.voc", voc({0x83, 0x83})), kOpOk);
  Bytes wav{'R', 'I', 'F', 'F', 0x24, 0, 0, 0, 'W', 'A', 'V', 'E'};
  wav.resize(300, 0);
  ASSERT_EQ(Store("song.voc", wav), kOpOk);
  RebuildCardList();
  const std::string out = OutDir();
  RecordingView view;
  const PassSummary summary = RunFetchPass({"two.voc", "one.voc", "song.voc"}, FetchKind::kToWave, out, view,
                                           VoiceOutput{VoiceOutput::Format::kFlac, 0});
  ASSERT_EQ(view.reports.size(), 3u);
#ifdef _WIN32
  // Without sndfile.dll no FLAC can be written: each file says which library
  // is missing, and nothing is made of it.
  if (view.reports[0].result == kOpNoSoundLibrary) {
    for (const auto& [report, name] : {std::pair{&view.reports[0], "two.voc"}, std::pair{&view.reports[1], "one.voc"},
                                       std::pair{&view.reports[2], "song.voc"}}) {
      EXPECT_EQ(report->result, kOpNoSoundLibrary) << name;
      EXPECT_FALSE(report->counted) << name;
      EXPECT_EQ(report->messages, Lines{CardOpText(kOpNoSoundLibrary, name)});
    }
    EXPECT_FALSE(std::filesystem::exists(out + "/two.flac"));
    EXPECT_FALSE(std::filesystem::exists(out + "/one.flac"));
    return;
  }
#endif
  EXPECT_TRUE(view.reports[0].counted);
  EXPECT_EQ(view.reports[0].wavName, "two.flac");
  ASSERT_EQ(view.reports[0].notes.size(), 1u);
  EXPECT_EQ(view.reports[0].notes[0].rfind("two.voc ", 0), 0u) << view.reports[0].notes[0];
  EXPECT_TRUE(view.reports[0].messages.empty());
  EXPECT_TRUE(view.reports[1].counted);
  EXPECT_TRUE(view.reports[1].notes.empty());
  EXPECT_EQ(view.reports[2].result, kOpNotVoice);
  EXPECT_FALSE(view.reports[2].counted);
  EXPECT_EQ(view.reports[2].messages, Lines{CardOpText(kOpNotVoice, "song.voc")});
  EXPECT_EQ(summary.text, "2 files uploaded");
  EXPECT_TRUE(std::filesystem::exists(out + "/two.flac"));
  EXPECT_TRUE(std::filesystem::exists(out + "/one.flac"));
  EXPECT_FALSE(std::filesystem::exists(out + "/song.flac"));
  EXPECT_TRUE(std::filesystem::exists(out + "/song.voc"));  // the fetched file stays
}

TEST_F(engine_passes, FetchDropsMissingLinesAndStopsWithoutLeavingAPcFile) {
  ASSERT_EQ(Store("small.mp3", Content(100, 1)), kOpOk);
  ASSERT_EQ(Store("big.mp3", Content(3 * 65536 + 5, 2)), kOpOk);
  ASSERT_EQ(Store("memo.voc", Content(300, 3)), kOpOk);
  RebuildCardList();
  const std::string out = OutDir();

  // To WAV takes voice recordings only; a line naming no file is dropped
  // and no longer counts in the total.
  RecordingView wave;
  const PassSummary converted = RunFetchPass({"gone.mp3", "small.mp3", "memo.voc"}, FetchKind::kToWave, out, wave);
  ASSERT_EQ(wave.reports.size(), 3u);
  EXPECT_EQ(wave.reports[0].result, kOpNotOnCard);
  EXPECT_EQ(wave.reports[0].messages, Lines{msg::kFileNotExisted});
  EXPECT_EQ(wave.reports[1].result, kOpWrongKind);
  EXPECT_EQ(wave.reports[1].messages, Lines{msg::kUnknownVoice});
  EXPECT_TRUE(wave.reports[2].counted);
  EXPECT_EQ(wave.reports[2].pcName, "memo.voc");
  EXPECT_EQ(wave.reports[2].wavName, "memo.wav");
  EXPECT_EQ(wave.starts, (std::vector<RecordingView::Start>{{0, 1, 3}, {1, 1, 2}, {2, 1, 2}}));
  EXPECT_EQ(converted.text, "1 file uploaded");
  EXPECT_TRUE(std::filesystem::exists(out + "/memo.wav"));

  // Stopped in big.mp3's second cluster: small.mp3 stays, nothing of big.mp3.
  RecordingView view;
  view.stopFile = 1;
  view.stopAt = 1;
  const PassSummary summary = RunFetchPass({"small.mp3", "big.mp3"}, FetchKind::kFiles, out, view);
  ASSERT_EQ(view.reports.size(), 2u);
  EXPECT_EQ(view.reports[1].result, kOpStopped);
  EXPECT_TRUE(view.reports[1].pcName.empty());
  EXPECT_TRUE(summary.stopped);
  EXPECT_EQ(summary.done, 1);
  EXPECT_EQ(summary.text, "1 file uploaded");
  EXPECT_EQ(FolderNames(out), (Lines{"memo.voc", "memo.wav", "small.mp3"}));
}

// Card names a PC folder cannot hold apart, or at all: where the folder does
// not tell upper from lower case (Windows', a FAT stick's) the second of
// "Memo.voc" and "memo.voc" is skipped instead of written over the first;
// Windows skips a device's name and a character it refuses. The pass goes on
// after each; a file asked for twice is fetched twice.
TEST_F(engine_passes, FetchSkipsWhatTheFolderCannotHoldApart) {
  struct Row {
    const char* name;
    std::size_t bytes;
    bool folding, windows;  // skipped in a folder that folds case; on Windows
    CardOpResult skipped;
  } rows[] = {
      {"Memo.voc", 700, false, false, kOpOk},       {"memo.voc", 900, true, false, kOpPcNameTaken},
      {"\u00E9t\u00E9.voc", 800, false, false, kOpOk}, {"\u00C9T\u00C9.voc", 600, true, false, kOpPcNameTaken},
      {"NUL.mp3", 300, false, true, kOpNotAPcName},  {"a?b.mp3", 400, false, true, kOpNotAPcName},
      {"song.mp3", 500, false, false, kOpOk},       {"song.mp3", 500, false, false, kOpOk},
  };
  std::vector<CardFileRef> asked;
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    std::string card;
    ASSERT_TRUE(CardNameFromPc(rows[i].name, &card));
    asked.push_back(card);
    if (i + 1 < std::size(rows))  // the last asks for song.mp3 again
      ASSERT_EQ(SendFileToCard(PcFile("source" + std::to_string(i), Content(rows[i].bytes, i)), rows[i].name, {}),
                kOpOk) << rows[i].name;
  }
  RebuildCardList();
  const std::string out = OutDir();
  ASSERT_TRUE(WriteFile(out + "/probe", {}));
  const bool folds = platform::SameFile(out + "/probe", out + "/PROBE");
  platform::RemoveFile(out + "/probe");
#ifdef _WIN32
  const bool windows = true;
#else
  const bool windows = false;
#endif
  RecordingView view;
  const PassSummary summary = RunFetchPass(asked, FetchKind::kFiles, out, view);
  ASSERT_EQ(view.reports.size(), std::size(rows));
  int fetched = 0;
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE(r.name);
    const bool skipped = (r.folding && folds) || (r.windows && windows);
    EXPECT_EQ(view.reports[i].result, skipped ? r.skipped : kOpOk);
    EXPECT_EQ(view.reports[i].messages, skipped ? Lines{CardOpText(r.skipped, r.name)} : Lines{});
    if (skipped) continue;
    ++fetched;
    EXPECT_EQ(ReadFile(out + "/" + r.name), Content(r.bytes, std::min(i, std::size(rows) - 2)));
  }
  EXPECT_EQ(summary.text, std::to_string(fetched) + " files uploaded");
}

TEST_F(engine_passes, FetchEndsTheSessionWithAStatusLineWhenTheCardIsPulled) {
  ASSERT_EQ(Store("a.mp3", Content(100, 1)), kOpOk);
  ASSERT_EQ(Store("b.mp3", Content(2 * 65536, 2)), kOpOk);
  RebuildCardList();
  FaultAtCommand(2, [](player::PlayerCore& p) { p.Eject(); });  // b.mp3's first cluster
  RecordingView view;
  const PassSummary summary = RunFetchPass({"a.mp3", "b.mp3"}, FetchKind::kFiles, OutDir(), view);
  ASSERT_EQ(view.reports.size(), 2u);
  EXPECT_EQ(view.reports[1].step, PassStep::kEndSession);
  EXPECT_EQ(view.reports[1].messages, Lines{msg::kCardRemoved});
  EXPECT_EQ(summary.endText, "1files uploaded");
  EXPECT_TRUE(summary.text.empty());  // a pass cut short by the card gives no summary
  EXPECT_EQ(FolderNames(dir_ / "out"), Lines{"a.mp3"});
}

TEST_F(engine_passes, DeleteReportsMissingNamesAndAStopBeforeTheTablesKeepsEverything) {
  ASSERT_EQ(Store("a.mp3", Content(100, 1)), kOpOk);
  ASSERT_EQ(Store("b.mp3", Content(100, 2)), kOpOk);
  RebuildCardList();

  RequestStop();
  RecordingView stopped;
  const PassSummary kept = RunDeletePass({"a.mp3"}, stopped);
  EXPECT_TRUE(kept.stopped);
  EXPECT_EQ(kept.done, 0);
  EXPECT_EQ(RebuildCardList(), (Lines{"a.mp3", "b.mp3"}));
  ExpectCardSound();
  ClearStopRequest();

  RecordingView view;
  const PassSummary summary = RunDeletePass({"gone.mp3", "a.mp3"}, view);
  ASSERT_EQ(view.reports.size(), 2u);
  EXPECT_EQ(view.reports[0].messages, Lines{msg::DeleteNotExisted("gone.mp3")});
  EXPECT_TRUE(view.reports[1].counted);
  EXPECT_EQ(summary.end, PassStep::kNext);
  EXPECT_EQ(summary.done, 1);
  EXPECT_EQ(RebuildCardList(), Lines{"b.mp3"});

  // The table write fails: the session ends, and the user hears why.
  FaultAtCommand(1, [](player::PlayerCore& p) { p.Eject(); });
  RecordingView failing;
  const PassSummary failed = RunDeletePass({"b.mp3"}, failing);
  EXPECT_EQ(failed.end, PassStep::kEndSession);
  EXPECT_EQ(failed.text, msg::kCardRemoved);
  EXPECT_FALSE(failed.tablesTouched) << "the card took no part of the table write";
}

TEST_F(engine_passes, DeviceStatesAndOpeningChecksAreJudgedOnce) {
  EXPECT_EQ(JudgeDeviceState(kDeviceNoCard).reaction, StateReaction::kEndSession);
  EXPECT_STREQ(JudgeDeviceState(kDeviceNoCard).message, msg::kStateNoCard);
  EXPECT_STREQ(JudgeDeviceState(kDeviceNotAttached).message, msg::kStateAttach);
  EXPECT_STREQ(JudgeDeviceState(kDeviceNotReady).message, msg::kStateNotReady);
  EXPECT_EQ(JudgeDeviceState(kDeviceRecheck).reaction, StateReaction::kRecheck);
  for (std::uint8_t quiet : {0, 1, 6})
    EXPECT_EQ(JudgeDeviceState(static_cast<DeviceStateCode>(quiet)).reaction, StateReaction::kNone) << int{quiet};

  EXPECT_EQ(CheckPlayerAndCard().state, CardOpening::kOpen);
  player_->core().Eject();
  const OpeningReport noCard = CheckPlayerAndCard();
  EXPECT_EQ(noCard.state, CardOpening::kPlayerRefused);
  EXPECT_STREQ(noCard.message, msg::kStartNoCard);
  player_->core().Insert();
  ASSERT_TRUE(WriteAt(image_, 32 * 512 + 3, Bytes{'X'}));  // another volume's label
  const OpeningReport foreign = CheckPlayerAndCard();
  EXPECT_EQ(foreign.state, CardOpening::kForeign);
  EXPECT_STREQ(foreign.message, msg::kNotZk27Format);
}

// Files named by FileId are all found before the first is released: the
// release closes up the numbers above it, and FileId 2 would then be the
// file that was number 3.
TEST_F(engine_passes, DeleteByFileIdTakesTheFilesMeant) {
  for (const char* name : {"a.mp3", "b.mp3", "c.mp3"}) ASSERT_EQ(SendFileToCard(Pc(name, 10, 1).pcPath, name, {}), kOpOk);
  RecordingView view;
  const PassSummary summary =
      RunDeletePass({CardFileRef::OfFileId(1), CardFileRef::OfFileId(2), CardFileRef::OfFileId(2)}, view);
  EXPECT_EQ(summary.done, 2);
  ASSERT_EQ(view.reports.size(), 3u);
  EXPECT_EQ(view.reports[2].result, kOpNotOnCard) << "the same file twice is released once";
  EXPECT_EQ(RebuildCardList(), Lines{"c.mp3"});
  ExpectCardSound();
}

// The session's road: the card mounted, its repair offered once in the
// session, its list and its free space.
TEST_F(engine_passes, SessionReadsTheCardAndOffersItsRepairOnce) {
  ASSERT_EQ(SendFileToCard(Pc("a.mp3", 10, 1).pcPath, "a.mp3", {}), kOpOk);
  ASSERT_TRUE(WriteAt(image_, 33 * 512 + 2 * 12, Bytes{0xFF, 0xFF}));  // a cluster no file owns
  const CardSession::ReadSteps offering{MountMode::kAsHeld, true, false};
  CardSession session;
  hooks_.answers = {Answer::No};
  const CardSession::CardRead read = session.Read(offering);
  EXPECT_EQ(read.mounted, kMountOk);
  EXPECT_EQ(read.lines, Lines{"a.mp3"});
  EXPECT_EQ(session.FileCount(), 1);
  ASSERT_EQ(hooks_.questions.size(), 1u);
  EXPECT_EQ(hooks_.questions[0].rfind("The card has ", 0), 0u) << hooks_.questions[0];
  const std::uint16_t freeBefore = session.FreeClusters();
  EXPECT_EQ(session.Read(offering).lines, Lines{"a.mp3"});
  EXPECT_EQ(hooks_.questions.size(), 1u) << "asked once in a session";

  CardSession next;
  hooks_.answers = {Answer::Yes};
  EXPECT_EQ(next.Read(offering).lines, Lines{"a.mp3"});
  EXPECT_EQ(hooks_.questions.size(), 2u);
  EXPECT_EQ(next.FreeClusters(), freeBefore + 1) << "the repair gave the cluster back";
  ExpectCardSound();
}

// The question for a foreign card, asked the same way wherever a session
// meets one: No ends the session, a closed box leaves the card as it is,
// Yes formats it.
TEST_F(engine_passes, SessionAsksAboutAForeignCard) {
  ASSERT_TRUE(WriteAt(image_, 32 * 512 + 3, Bytes{'X'}));  // another volume's label
  CardSession session;
  const OpeningReport foreign = session.CheckFormat();
  ASSERT_EQ(foreign.state, CardOpening::kForeign);
  hooks_.answers = {Answer::No, Answer::Closed, Answer::Yes};
  EXPECT_FALSE(session.AskToFormatForeign(foreign));
  EXPECT_EQ(hooks_.messages, Lines{msg::kProgramExited});
  EXPECT_TRUE(session.AskToFormatForeign(foreign));
  EXPECT_EQ(session.CheckFormat().state, CardOpening::kForeign);
  EXPECT_TRUE(session.AskToFormatForeign(foreign));
  EXPECT_EQ(session.CheckFormat().state, CardOpening::kOpen);
  EXPECT_EQ(hooks_.questions, Lines(3, msg::kNotZk27Format));
  EXPECT_EQ(hooks_.messages, Lines{msg::kProgramExited}) << "the format succeeded: nothing more is said";
  EXPECT_EQ(session.Read({}).lines, Lines{});
}

// What a front end reads of the card through its session: the volume's
// clusters as far as they lie on the card, and each file's size and first
// cluster, none for a file without data.
TEST_F(engine_passes, SessionTellsTheVolumeOnTheCardAndEachFilesFirstCluster) {
  ASSERT_EQ(SendFileToCard(Pc("a.mp3", 70000, 1).pcPath, "a.mp3", {}), kOpOk);
  ASSERT_EQ(SendFileToCard(Pc("empty.mp3", 0, 2).pcPath, "empty.mp3", {}), kOpOk);
  CardSession session;
  ASSERT_EQ(session.Read({}).lines, (Lines{"a.mp3", "empty.mp3"}));
  VolumeLayout onCard;
  ASSERT_TRUE(session.LayoutOnCard(&onCard));
  EXPECT_EQ(CardSession::DataClusters(onCard), 14u);
  EXPECT_EQ(session.FreeClusters(), 12u);
  EXPECT_EQ(CardSession::FreeClustersNow(), 12u);
  const std::int32_t a = session.Find("a.mp3"), empty = session.Find("empty.mp3");
  ASSERT_GT(a, 0);
  ASSERT_GT(empty, 0);
  EXPECT_EQ(session.SizeOf(a), 70000u);
  DirEntry entry;
  ASSERT_TRUE(CardFileEntry(session.Record(a), &entry));
  EXPECT_EQ(session.FirstClusterOf(a), std::optional<std::uint16_t>(entry.firstCluster));
  EXPECT_EQ(session.SizeOf(empty), 0u);
  EXPECT_EQ(session.FirstClusterOf(empty), std::nullopt);

  // A volume whose boot sector gives more sectors than the card has counts
  // only the clusters on the card.
  ASSERT_TRUE(WriteAt(image_, 32 * 512 + 32, LeBytes(4096, 4)));
  ASSERT_EQ(session.Mount(), kMountOk);
  ASSERT_TRUE(session.LayoutOnCard(&onCard));
  EXPECT_EQ(onCard.totalSectors, 2048u);
  EXPECT_EQ(CardSession::DataClusters(onCard), 14u);
}

}  // namespace

// The import's plan: what the record already holds is not fetched again
// (unless asked), music is not touched, and a dry run keeps nothing in the
// folder and records nothing.
TEST_F(engine_passes, ImportPlansAgainstTheRecordAndKeepsNothingUnproven) {
  ASSERT_EQ(Store("261209001.voc", Content(300, 3)), kOpOk);
  ASSERT_EQ(Store("memo.voc", Content(500, 4)), kOpOk);
  ASSERT_EQ(Store("song.mp3", Content(100, 1)), kOpOk);
  RebuildCardList();
  const std::string out = OutDir();
  const std::string known = Sha256OfFile(PcFile("seen.voc", Content(300, 3)));
  ASSERT_EQ(known.size(), 64u);
  ASSERT_TRUE(AppendImportRecord(out, known, "261209001.voc", 300, "2025-07-04/250704001.wav", "2026-12-09"));
  EXPECT_EQ(ReadImportRecord(out), Lines{known});
  // A line a crash cut short names nothing, and the next line keeps to itself.
  const std::string other(64, 'a');
  {
    std::ofstream cut(out + "/.zk27-imports", std::ios::app);
    cut << other << "\tmemo.voc\t50";
  }
  EXPECT_EQ(ReadImportRecord(out), Lines{known});
  ASSERT_TRUE(AppendImportRecord(out, other, "memo.voc", 500, "2026-12-09/memo.wav", "2026-12-09"));
  EXPECT_EQ(ReadImportRecord(out), (Lines{known, other}));
  std::filesystem::resize_file(out + "/.zk27-imports", std::filesystem::file_size(out + "/.zk27-imports") - 1);
  EXPECT_EQ(ReadImportRecord(out), Lines{known}) << "a line without its newline counted";
  {
    // Back to the one line of `known`, as the cases below expect.
    std::ofstream rewrite(out + "/.zk27-imports", std::ios::trunc);
  }
  ASSERT_TRUE(AppendImportRecord(out, known, "261209001.voc", 300, "2026-12-09/261209001.wav", "2026-12-09"));

  using O = ImportOutcome;
  struct Case {
    bool dryRun, again;
    std::vector<O> outcomes;
  } cases[] = {
      {true, false, {O::kSkippedKnown, O::kWouldImport}},
      {true, true, {O::kWouldImport, O::kWouldImport}},
  };
  for (const Case& c : cases) {
    ImportOptions options;
    options.folder = out;
    options.dryRun = c.dryRun;
    options.again = c.again;
    const ImportReport report = RunImport(options);
    std::vector<O> outcomes;
    for (const ImportItem& item : report.items) outcomes.push_back(item.outcome);
    EXPECT_EQ(outcomes, c.outcomes) << c.dryRun << c.again;
    EXPECT_EQ(report.imported, 0);
    EXPECT_EQ(FolderNames(out), Lines{".zk27-imports"});
    EXPECT_EQ(ReadImportRecord(out), Lines{known});
  }
  // What a killed run left is cleared by the next; a run holding DIR keeps
  // a second one out of it.
  std::filesystem::create_directories(out + "/2026-01-01");
  ASSERT_TRUE(WriteFile(out + "/2026-01-01/.zk27-part-99-memo.wav", Content(10, 1)));
  ASSERT_TRUE(WriteFile(out + "/2026-01-01/mine.wav", Content(10, 1)));
  std::filesystem::create_directories(out + "/.zk27-import-work");
  ASSERT_TRUE(WriteFile(out + "/.zk27-import-work/261209001.voc", Content(10, 1)));
  {
    const int held = platform::OpenFile(out + "/.zk27-imports", platform::kOpenRead);
    ASSERT_TRUE(platform::TryLockFile(held, true));
    ImportOptions options;
    options.folder = out;
    EXPECT_EQ(RunImport(options).end, ImportEnd::kFolderBusy);
    EXPECT_EQ(FolderNames(out + "/2026-01-01"), (Lines{".zk27-part-99-memo.wav", "mine.wav"}));
    platform::CloseFile(held);
    options.dryRun = true;  // planning, it neither waits nor clears
    EXPECT_EQ(RunImport(options).end, ImportEnd::kWhole);
    EXPECT_EQ(FolderNames(out + "/2026-01-01"), (Lines{".zk27-part-99-memo.wav", "mine.wav"}));
    options.dryRun = false;
    EXPECT_EQ(RunImport(options).imported, 1);
  }
  EXPECT_EQ(FolderNames(out + "/2026-01-01"), Lines{"mine.wav"});
  EXPECT_EQ(FolderNames(out), (Lines{".zk27-imports", "2026-01-01", ImportToday()}));
  EXPECT_EQ(ImportDay("261209001.voc", "2027-01-01"), "2026-12-09");
  EXPECT_EQ(ImportDay("memo.voc", "2027-01-01"), "2027-01-01");
  EXPECT_EQ(ImportDay("261399001.voc", "2027-01-01"), "2027-01-01");
  std::filesystem::create_directories(out + "/d");
  EXPECT_EQ(FreeNameIn(out + "/d", "a.wav"), "a.wav");
  ASSERT_TRUE(WriteFile(out + "/d/a.wav", Content(1, 1)));
  EXPECT_EQ(FreeNameIn(out + "/d", "a.wav"), "a-2.wav");
  ImportReport totals;
  totals.imported = 3, totals.importedBytes = 12'400'000, totals.freed = 3, totals.freedBytes = 2'100'000;
  EXPECT_EQ(ImportSummaryLine(totals), "3 recordings imported (12.4 MB), 3 freed from the card (2.1 MB)");
  totals.imported = 1, totals.importedBytes = 999'950, totals.freed = 1, totals.freedBytes = 812;
  EXPECT_EQ(ImportSummaryLine(totals), "1 recording imported (1.0 MB), 1 freed from the card (812 bytes)");
}

namespace {

// The variable the home folder is told by.
#ifdef _WIN32
constexpr const char* kHomeVariable = "USERPROFILE";
#else
constexpr const char* kHomeVariable = "HOME";
#endif

// A voice recording as the player makes one: 8 kHz, 8-bit sound in one
// block, a tone of its own for each seed. `damaged` spoils the signature the
// way a bad card does, so that the decoder refuses it.
Bytes Recording(std::size_t soundBytes, std::uint32_t seed, bool damaged = false) {
  const char magic[] = "Creative Voice File\x1A\x1A\x00\x0A\x01\x29\x11";
  Bytes b(magic, magic + 26);
  if (damaged) b[8] = b[12] = b[15] = '?';
  const std::size_t n = soundBytes + 2;
  b.insert(b.end(), {1, std::uint8_t(n), std::uint8_t(n >> 8), std::uint8_t(n >> 16), 0x83, 0});
  for (std::size_t i = 0; i < soundBytes; ++i)
    b.push_back(static_cast<std::uint8_t>(128 + 90 * std::sin(6.2832 * double(i) * (300 + 40 * seed) / 8000.0)));
  b.push_back(0);
  return b;
}

// The lines of DIR's record, as they stand.
Lines RecordLines(const std::string& folder) {
  Lines lines;
  std::ifstream in(platform::PathOf(folder + "/.zk27-imports"));
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

// Every file under `folder`, as "day/name", the record and work folder left out.
Lines Imported(const std::string& folder) {
  Lines found;
  const std::filesystem::path top = platform::PathOf(folder);
  for (const auto& e : std::filesystem::recursive_directory_iterator(top)) {
    std::string rel = platform::TextOf(std::filesystem::relative(e.path(), top));
    std::replace(rel.begin(), rel.end(), '\\', '/');
    if (e.is_regular_file() && rel != ".zk27-imports") found.push_back(rel);
  }
  std::sort(found.begin(), found.end());
  return found;
}

// Noon of "YYYY-MM-DD", local time.
std::time_t Noon(const std::string& day) {
  std::tm t{};
  t.tm_year = std::stoi(day.substr(0, 4)) - 1900, t.tm_mon = std::stoi(day.substr(5, 2)) - 1;
  t.tm_mday = std::stoi(day.substr(8, 2)), t.tm_hour = 12, t.tm_isdst = -1;
  return std::mktime(&t);
}

std::time_t ModifiedAt(const std::string& path) {
  platform::FileState st;
  return platform::StateOf(path, &st) ? st.mtimeSec : 0;
}

using O = ImportOutcome;

std::vector<O> Outcomes(const ImportReport& report) {
  std::vector<O> v;
  for (const ImportItem& i : report.items) v.push_back(i.outcome);
  return v;
}

}  // namespace

// Runs after one another on one card and one folder: each new recording goes
// to its dated folder with its date, once; the record remembers it after
// its file is gone; --again brings it again beside the first (-2); the
// card's file is kept with --keep-voc; every format reads back as written.
TEST_F(engine_passes, ImportBringsEachRecordingHomeOnceDatedAndProven) {
  ASSERT_EQ(Store("250704001.voc", Recording(70000, 1)), kOpOk);
  ASSERT_EQ(Store("song.mp3", Content(100, 1)), kOpOk);
  ASSERT_EQ(Store("memo.voc", Recording(3000, 2)), kOpOk);
  RebuildCardList();
  const std::string out = dir_ / "home";  // made by the run
  const std::string today = ImportToday();
  using F = VoiceOutput::Format;
  struct Run {
    const char* what;
    F format;
    bool again, keepVoc;
    std::vector<O> outcomes;
    Lines added;  // the files the run adds under DIR
  } runs[] = {
      {"first", F::kWav, false, false, {O::kImported, O::kImported},
       {"2025-07-04/250704001.wav", today + "/memo.wav"}},
      {"again, nothing new", F::kFlac, false, false, {O::kSkippedKnown, O::kSkippedKnown}, {}},
      {"--again, flac, --keep-voc", F::kFlac, true, true, {O::kImported, O::kImported},
       {"2025-07-04/250704001.flac", "2025-07-04/250704001.voc", today + "/memo.flac", today + "/memo.voc"}},
      {"--again, wav: a clash", F::kWav, true, false, {O::kImported, O::kImported},
       {"2025-07-04/250704001-2.wav", today + "/memo-2.wav"}},
      {"--again, ogg", F::kOgg, true, false, {O::kImported, O::kImported},
       {"2025-07-04/250704001.ogg", today + "/memo.ogg"}},
  };
  Lines before;
  std::size_t lines = 0;
  bool keptVoc = false;
  for (const Run& run : runs) {
    SCOPED_TRACE(run.what);
    ImportOptions options;
    options.folder = out;
    options.format = run.format;
    options.again = run.again;
    options.keepVoc = run.keepVoc;
    const ImportReport report = RunImport(options);
#ifdef _WIN32
    // Without sndfile.dll FLAC and Ogg fail each recording, saying so, and
    // nothing is written or recorded.
    if (run.format != F::kWav && !report.items.empty() && report.items[0].result == kOpNoSoundLibrary) {
      EXPECT_EQ(Outcomes(report), (std::vector<O>{O::kFailed, O::kFailed}));
      EXPECT_EQ(Imported(out), before);
      EXPECT_EQ(RecordLines(out).size(), lines);
      continue;
    }
#endif
    keptVoc = keptVoc || run.keepVoc;
    EXPECT_EQ(Outcomes(report), run.outcomes);
    EXPECT_EQ(report.end, ImportEnd::kWhole);
    Lines added;
    const Lines now = Imported(out);
    std::set_difference(now.begin(), now.end(), before.begin(), before.end(), std::back_inserter(added));
    Lines expected = run.added;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(added, expected);
    std::uint64_t bytes = 0;
    for (const std::string& f : added) bytes += std::filesystem::file_size(out + "/" + f);
    EXPECT_EQ(report.importedBytes, bytes);
    EXPECT_EQ(report.imported, static_cast<int>(run.added.empty() ? 0 : 2));
    for (const std::string& f : added)
      EXPECT_EQ(ModifiedAt(out + "/" + f), Noon(f.substr(0, 10))) << f;
    lines += run.added.empty() ? 0 : 2;
    EXPECT_EQ(RecordLines(out).size(), lines);
    before = now;
  }
  // Each line: hash, card name, size, where, when.
  const Lines record = RecordLines(out);
  ASSERT_FALSE(record.empty());
  EXPECT_EQ(record[0].substr(64), "\t250704001.voc\t" + std::to_string(Recording(70000, 1).size()) +
                                      "\t2025-07-04/250704001.wav\t" + today);
  if (keptVoc) EXPECT_EQ(*ReadFile(out + "/2025-07-04/250704001.voc"), Recording(70000, 1));
  // Deleted in DIR, still known: nothing comes again. Nothing on the card changed.
  std::filesystem::remove_all(out + "/2025-07-04");
  ImportOptions options;
  options.folder = out;
  EXPECT_EQ(Outcomes(RunImport(options)), (std::vector<O>{O::kSkippedKnown, O::kSkippedKnown}));
  EXPECT_EQ(RebuildCardList(), (Lines{"song.mp3", "250704001.voc", "memo.voc"}));
  EXPECT_EQ(FolderNames(out), (Lines{".zk27-imports", today}));
}

// --free deletes, in one pass, the recordings the run proved and only
// them: the one the decoder refuses stays on the card, unrecorded; the
// summary says it in one line.
TEST_F(engine_passes, ImportFreesOnlyWhatItProved) {
  ASSERT_EQ(Store("a.voc", Recording(70000, 1)), kOpOk);
  ASSERT_EQ(Store("bad.voc", Recording(5000, 2, true)), kOpOk);
  ASSERT_EQ(Store("c.voc", Recording(3000, 3)), kOpOk);
  ASSERT_EQ(Store("song.mp3", Content(100, 1)), kOpOk);
  RebuildCardList();
  const int freeBefore = CountFreeClusters();
  ImportOptions options;
  options.folder = OutDir();
  options.free = true;
  const ImportReport report = RunImport(options);
  EXPECT_EQ(Outcomes(report), (std::vector<O>{O::kImported, O::kRefused, O::kImported}));
  EXPECT_EQ(report.items[1].result, kOpDecodeFailed);
  EXPECT_FALSE(report.items[1].reason.empty());
  EXPECT_EQ(report.freeing, ImportFreeing::kFreed);
  EXPECT_EQ(report.freed, 2);
  EXPECT_EQ(report.freedBytes, Recording(70000, 1).size() + Recording(3000, 3).size());
  EXPECT_TRUE(report.items[0].freed && report.items[2].freed && !report.items[1].freed);
  EXPECT_EQ(RecordLines(options.folder).size(), 2u);
  char expected[128];
  std::snprintf(expected, sizeof expected, "2 recordings imported (%.1f kB), 2 freed from the card (73.1 kB)",
                double(report.importedBytes) / 1e3);
  EXPECT_EQ(ImportSummaryLine(report), expected);
  ExpectCardSound();
  EXPECT_EQ(RebuildCardList(), (Lines{"song.mp3", "bad.voc"}));
  EXPECT_EQ(CardFileTable[FindCardFile("bad.voc")].FileId, 0x81) << "the voice FileIds were not closed up";
  EXPECT_EQ(CountFreeClusters(), freeBefore + 3);

  // Nothing imported: nothing to free, the card as it was.
  const ImportReport again = RunImport(options);
  EXPECT_EQ(again.freeing, ImportFreeing::kNothingToFree);
  EXPECT_EQ(ImportSummaryLine(again), "0 recordings imported (0 bytes)");
  EXPECT_EQ(RebuildCardList(), (Lines{"song.mp3", "bad.voc"}));

  // Another program changes the card's tables while the run fetches: the
  // recordings are home, and the card keeps them all.
  ASSERT_EQ(Store("d.voc", Recording(3000, 4)), kOpOk);
  RebuildCardList();
  ImportView view;
  view.finished = [&](const ImportItem& item) {
    if (item.cardName == "d.voc") ASSERT_TRUE(WriteAt(image_, 33 * 512 + 2 * 12, Bytes{0xFF, 0xFF}));
  };
  const ImportReport changed = RunImport(options, view);
  EXPECT_EQ(Outcomes(changed), (std::vector<O>{O::kRefused, O::kImported}));
  EXPECT_EQ(changed.freeing, ImportFreeing::kCardChanged);
  EXPECT_EQ(changed.freed, 0);
  EXPECT_FALSE(changed.items[1].freed);
  EXPECT_EQ(ImportSummaryLine(changed), "1 recording imported (6.0 kB)");
  ASSERT_EQ(MountVolume(), kMountOk);
  EXPECT_EQ(RebuildCardList(), (Lines{"song.mp3", "bad.voc", "d.voc"}));

  // The card pulled as the delete's first table write comes: nothing counts
  // as freed, and the card, back, holds every recording.
  options.again = true;
  player_->core().SetObserver([this](std::uint64_t, const player::CommandInfo& c) {
    if (c.code == kCmdWriteSectors) player_->core().Eject();
  });
  const ImportReport pulled = RunImport(options);
  EXPECT_EQ(pulled.imported, 1);
  EXPECT_EQ(pulled.freeing, ImportFreeing::kTablesFailed);
  EXPECT_FALSE(pulled.tablesTouched);
  EXPECT_TRUE(pulled.sessionEnded);
  EXPECT_EQ(pulled.freed, 0);
  EXPECT_FALSE(pulled.items[1].freed);
  player_->core().SetObserver({});
  player_->core().Insert();
  ASSERT_EQ(MountVolume(), kMountOk);
  EXPECT_EQ(RebuildCardList(), (Lines{"song.mp3", "bad.voc", "d.voc"}));
}

// A run cut at spread points (a stop as a recording's data begins, in its
// middle, after its fetch; the card pulled; the disk full) leaves no part
// file in DIR, no line for what was not proven, and the card unfreed; the
// next run goes on from there and completes.
TEST_F(engine_passes, ImportCutAnywhereKeepsNothingHalfAndGoesOnNextTime) {
  enum class Cut { kStop, kStopCommand, kPull, kDiskFull };
  struct Case {
    const char* what;
    Cut cut;
    std::uint32_t done, total;  // the stop: when b.voc's fetch has moved done of total
    std::uint64_t command;      // a stop or the pull: at this command of the run
    bool keepVoc;
    std::size_t proven;         // recordings imported before the cut
    ImportEnd end;
  } cases[] = {
      {"stop after the first cluster", Cut::kStop, 1, 2, 0, false, 1, ImportEnd::kStopped},
      {"stop before the last part", Cut::kStop, 2, 2, 0, false, 1, ImportEnd::kStopped},
      {"stop in the last part", Cut::kStop, 1, 1, 0, false, 1, ImportEnd::kStopped},
      // a.voc: its fetch and its second read; b.voc: three reads, then its second read.
      {"stop in the second read, the sound file made", Cut::kStopCommand, 0, 0, 6, true, 1, ImportEnd::kStopped},
      {"card pulled in the second recording", Cut::kPull, 0, 0, 3, false, 1, ImportEnd::kCardLost},
      {"card pulled in the second read", Cut::kPull, 0, 0, 6, true, 1, ImportEnd::kCardLost},
      {"disk full", Cut::kDiskFull, 0, 0, 0, false, 0, ImportEnd::kPcFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartMountedCard(2048);
    ClearStopRequest();
    ASSERT_EQ(Store("a.voc", Recording(3000, 1)), kOpOk);
    ASSERT_EQ(Store("b.voc", Recording(2 * 65536 + 100, 2)), kOpOk);
    RebuildCardList();
    const std::string out = dir_ / ("cut" + std::to_string(&c - cases));
    ImportOptions options;
    options.folder = out;
    options.free = true;
    options.keepVoc = c.keepVoc;
    ImportView view;
    view.transferring = [&](std::size_t index) -> ProgressFn {
      return [&, index](std::uint32_t done, std::uint32_t total) {
        if (c.cut == Cut::kStop && index == 1 && done == c.done && total == c.total) RequestStop();
      };
    };
    if (c.cut == Cut::kPull) FaultAtCommand(c.command, [](player::PlayerCore& p) { p.Eject(); });
    if (c.cut == Cut::kStopCommand) FaultAtCommand(c.command, [](player::PlayerCore&) { RequestStop(); });
#ifdef _WIN32
    // Windows has no file-size limit to fill the disk with.
    if (c.cut == Cut::kDiskFull) continue;
    const ImportReport report = RunImport(options, view);
#else
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto* const oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    if (c.cut == Cut::kDiskFull) {
      rlimit limited = old;
      limited.rlim_cur = 4000;  // the fetch goes in, its sound file does not
      ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    const ImportReport report = RunImport(options, view);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
#endif

    EXPECT_EQ(report.end, c.end);
    EXPECT_EQ(report.imported, static_cast<int>(c.proven));
    EXPECT_EQ(report.freeing, ImportFreeing::kHeldBack);
    EXPECT_EQ(report.freed, 0);
    EXPECT_EQ(RecordLines(out).size(), c.proven);
    Lines first = {ImportToday() + "/a.wav"};
    if (c.keepVoc) first.insert(first.begin(), ImportToday() + "/a.voc");
    EXPECT_EQ(Imported(out), c.proven ? first : Lines{});
    player_->core().Insert();
    ClearStopRequest();
    ExpectCardSound();
    EXPECT_EQ(RebuildCardList(), (Lines{"a.voc", "b.voc"})) << "the card was freed";

    const ImportReport next = RunImport(options);
    EXPECT_EQ(next.end, ImportEnd::kWhole);
    EXPECT_EQ(next.imported, static_cast<int>(2 - c.proven));
    EXPECT_EQ(next.freed, static_cast<int>(2 - c.proven));
    Lines both = {ImportToday() + "/a.wav", ImportToday() + "/b.wav"};
    if (c.keepVoc) both.insert(both.end(), {ImportToday() + "/a.voc", ImportToday() + "/b.voc"});
    std::sort(both.begin(), both.end());
    EXPECT_EQ(Imported(out), both);
    EXPECT_EQ(RecordLines(out).size(), 2u);
    EXPECT_EQ(RebuildCardList(), c.proven ? Lines{"a.voc"} : Lines{});
  }
}

// The settings file: each key, comments and blanks, and the first bad line
// named with its number.
TEST_F(engine_passes, ImportSettingsAreReadLineByLine) {
  using F = ImportSettingsFault;
  struct Case {
    const char* text;
    F fault;
    int line;
    VoiceOutput::Format format;
    bool free, keepVoc;
  } cases[] = {
      {"# memos\n\nfolder = /m\nformat = flac\nfree = yes\nkeep-voc=yes\n", F::kNone, 0,
       VoiceOutput::Format::kFlac, true, true},
      {"format = ogg\nfree = maybe\n", F::kBadValue, 2, VoiceOutput::Format::kOgg, false, false},
      {"folder = /m\ncolour = red\n", F::kUnknownKey, 2, VoiceOutput::Format::kWav, false, false},
      {"\n  just words\n", F::kNotASetting, 2, VoiceOutput::Format::kWav, false, false},
      {"format = mp3\n", F::kBadValue, 1, VoiceOutput::Format::kWav, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string path = PcFile("import.conf", Bytes(c.text, c.text + std::strlen(c.text)));
    ImportOptions options;
    ImportSettingsProblem problem;
    EXPECT_EQ(ReadImportSettings(path, &options, &problem), c.fault == F::kNone);
    EXPECT_EQ(problem.fault, c.fault);
    EXPECT_EQ(problem.line, c.line);
    EXPECT_EQ(options.format, c.format);
    EXPECT_EQ(options.free, c.free);
    EXPECT_EQ(options.keepVoc, c.keepVoc);
  }
  ImportOptions untouched;
  ImportSettingsProblem problem;
  EXPECT_TRUE(ReadImportSettings((dir_ / "none.conf"), &untouched, &problem));
  EXPECT_TRUE(untouched.folder.empty());
  SetEnv(kHomeVariable, "/home/u");
  const std::string path = PcFile("home.conf", Bytes{'f', 'o', 'l', 'd', 'e', 'r', '=', '~', '/', 'M'});
  EXPECT_TRUE(ReadImportSettings(path, &untouched, &problem));
  EXPECT_EQ(untouched.folder, "/home/u/M");
  // Where they are: a relative XDG_CONFIG_HOME counts as unset; on Windows
  // the folder is %APPDATA%'s.
#ifdef _WIN32
  const char* kConfigVariable = "APPDATA";
#else
  const char* kConfigVariable = "XDG_CONFIG_HOME";
  SetEnv(kConfigVariable, "relative");
  EXPECT_EQ(ImportSettingsPath(), "/home/u/.config/zk27/import.conf");
#endif
  const char* config = std::getenv(kConfigVariable);
  const std::string saved = config ? config : "";
  SetEnv(kConfigVariable, "/c");
  EXPECT_EQ(ImportSettingsPath(), "/c/zk27/import.conf");
  if (config) SetEnv(kConfigVariable, saved.c_str());
  else UnsetEnv(kConfigVariable);
}

// The window's choices written into the settings: each setting's line in
// place, the comments kept, a line that is no setting gone, a missing
// setting added, a folder under the home folder as "~/"; a folder that
// cannot be said on one line is refused and the file stays as it was.
TEST_F(engine_passes, ImportSettingsAreWrittenInPlace) {
  SetEnv(kHomeVariable, "/home/u");
  const std::string text = "# my memos\nformat = ogg\nfree=yes\ncolour = red\n\nfolder = /old\n";
  const std::string path = PcFile("write.conf", Bytes(text.begin(), text.end()));
  ImportOptions options;
  options.folder = "/home/u/Memos";
  options.format = VoiceOutput::Format::kFlac;
  options.keepVoc = true;
  ASSERT_TRUE(WriteImportSettings(path, options));
  const std::string written = "# my memos\nformat = flac\nfree = no\n\nfolder = ~/Memos\nkeep-voc = yes\n";
  EXPECT_EQ(ReadText(path), written);
  ImportOptions read;
  ImportSettingsProblem problem;
  ASSERT_TRUE(ReadImportSettings(path, &read, &problem));
  EXPECT_EQ(read.folder, "/home/u/Memos");
  EXPECT_EQ(read.format, VoiceOutput::Format::kFlac);
  EXPECT_FALSE(read.free);
  EXPECT_TRUE(read.keepVoc);
  for (const char* folder : {"", " /m", "/m\nfree = yes"}) {
    options.folder = folder;
    EXPECT_FALSE(WriteImportSettings(path, options)) << folder;
  }
  EXPECT_EQ(ReadText(path), written);
  options.folder = "/m";
  ASSERT_TRUE(WriteImportSettings(dir_ / "new/zk27/import.conf", options));
  EXPECT_EQ(ReadText(dir_ / "new/zk27/import.conf"), "folder = /m\nformat = flac\nfree = no\nkeep-voc = yes\n");
}

// The read-back check itself: a sound file one sample off, or a frame
// short, is not the decoder's.
TEST_F(engine_passes, ImportReadBackFindsASoundFileNotAsWritten) {
  const std::string voc = PcFile("m.voc", Recording(4000, 1));
  const std::string ref = dir_ / "pc/ref.wav";
  ASSERT_EQ(DecodeVoiceFileTo(voc, ref, {}), kOpOk);
  bool soundLibrary = true;
  for (VoiceOutput::Format f : {VoiceOutput::Format::kWav, VoiceOutput::Format::kFlac, VoiceOutput::Format::kOgg}) {
    const std::string written = dir_ / "pc/written";
    const CardOpResult r = DecodeVoiceFileTo(voc, written, {f, 0});
#ifdef _WIN32
    // Without sndfile.dll there is WAV alone, and its read-back.
    if (r == kOpNoSoundLibrary) {
      soundLibrary = false;
      continue;
    }
#endif
    ASSERT_EQ(r, kOpOk);
    EXPECT_EQ(CompareSoundFiles(written, ref, f), kOpOk) << int(f);
  }
  Bytes wav = *ReadFile(ref);
  wav[wav.size() - 101] ^= 0x40;  // one sample changed
  ASSERT_TRUE(WriteFile(dir_ / "pc/changed.wav", wav));
  EXPECT_EQ(CompareSoundFiles(dir_ / "pc/changed.wav", ref, VoiceOutput::Format::kWav), kOpVerifyFailed);
  const std::string shorter = dir_ / "pc/short.wav";
  ASSERT_EQ(DecodeVoiceFileTo(PcFile("s.voc", Recording(3999, 1)), shorter, {}), kOpOk);
  EXPECT_EQ(CompareSoundFiles(shorter, ref, VoiceOutput::Format::kWav), kOpVerifyFailed);
  const VoiceOutput::Format lossy = soundLibrary ? VoiceOutput::Format::kOgg : VoiceOutput::Format::kWav;
  const std::string other = dir_ / "pc/other";
  ASSERT_EQ(DecodeVoiceFileTo(PcFile("o.voc", Recording(4000, 7)), other, {lossy, 0}), kOpOk);
  EXPECT_EQ(CompareSoundFiles(other, ref, lossy), kOpVerifyFailed);
  EXPECT_EQ(CompareSoundFiles(dir_ / "pc/none.wav", ref, VoiceOutput::Format::kWav), kOpPcReadFailed);
}

// Folders and files named outside ASCII are the ones meant wherever a path
// goes: into std::filesystem, the C++ streams, the decoder's output, the
// settings. (Windows reads a plain string there in another code page: the
// import failed and towav wrote an empty WAV beside a misnamed part file.)
TEST_F(engine_passes, NamesOutsideAsciiAreTheFilesMeant) {
  ASSERT_EQ(Store("mémo.voc", Recording(3000, 2)), kOpOk);
  ASSERT_EQ(Store("plain.voc", Recording(3000, 3)), kOpOk);
  RebuildCardList();
  std::string memo;
  ASSERT_TRUE(CardNameFromPc("mémo.voc", &memo));
  const std::string wave = dir_ / "ondes é";
  ASSERT_TRUE(std::filesystem::create_directories(platform::PathOf(wave)));
  RecordingView view;
  EXPECT_EQ(RunFetchPass({memo, "plain.voc"}, FetchKind::kToWave, wave, view).text, "2 files uploaded");
  EXPECT_EQ(FolderNames(wave), (Lines{"mémo.voc", "mémo.wav", "plain.voc", "plain.wav"}));
  const std::string reference = dir_ / "pc/reference.wav";
  ASSERT_EQ(DecodeVoiceFileTo(PcFile("reference.voc", Recording(3000, 2)), reference, {}), kOpOk);
  EXPECT_EQ(ReadFile(wave + "/mémo.wav"), ReadFile(reference));

  ImportOptions options;
  options.folder = dir_ / "maison é";
  options.keepVoc = true;
  const ImportReport report = RunImport(options);
  EXPECT_EQ(Outcomes(report), (std::vector<O>{O::kImported, O::kImported}));
  const std::string today = ImportToday();
  EXPECT_EQ(Imported(options.folder),
            (Lines{today + "/mémo.voc", today + "/mémo.wav", today + "/plain.voc", today + "/plain.wav"}));
  EXPECT_EQ(ReadFile(options.folder + "/" + today + "/mémo.wav"), ReadFile(reference));
  EXPECT_EQ(RecordLines(options.folder).size(), 2u);

  const std::string settings = dir_ / "réglages/import.conf";
  ASSERT_TRUE(WriteImportSettings(settings, options));
  ImportOptions read;
  ImportSettingsProblem problem;
  ASSERT_TRUE(ReadImportSettings(settings, &read, &problem));
  EXPECT_EQ(read.folder, options.folder);

  SyncPlan plan;
  ASSERT_TRUE(PlanSync(wave, false, false, &plan));
  ASSERT_FALSE(plan.steps.empty());
  EXPECT_EQ(plan.steps[0].name, "mémo.voc");
  EXPECT_EQ(ReadFile(plan.steps[0].pcPath), ReadFile(wave + "/mémo.voc"));
}
