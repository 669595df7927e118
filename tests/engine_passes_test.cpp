// The passes both front ends run, against the virtual player: what each
// file's result means for the pass and what is said, and a stop at the start,
// the middle or the last cluster of a file that leaves the card sound.
#include <gtest/gtest.h>

#include "check.h"
#include "import.h"
#include "sha256.h"
#include "support/engine.h"
#include "messages.h"
#include "passes.h"
#include "session.h"

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
// (unless asked), music is not touched, and a run that cannot prove its
// copies keeps nothing in the folder and records nothing.
TEST_F(engine_passes, ImportPlansAgainstTheRecordAndKeepsNothingUnproven) {
  ASSERT_EQ(Store("261209001.voc", Content(300, 3)), kOpOk);
  ASSERT_EQ(Store("memo.voc", Content(500, 4)), kOpOk);
  ASSERT_EQ(Store("song.mp3", Content(100, 1)), kOpOk);
  RebuildCardList();
  const std::string out = OutDir();
  const std::string known = Sha256OfFile(PcFile("seen.voc", Content(300, 3)));
  ASSERT_EQ(known.size(), 64u);
  ASSERT_TRUE(AppendImportRecord(out, known, "261209001.voc", 300, "2026-12-09/261209001.wav", "2026-12-09"));
  EXPECT_EQ(ReadImportRecord(out), Lines{known});

  using O = ImportOutcome;
  struct Case {
    bool dryRun, again;
    std::vector<O> outcomes;
  } cases[] = {
      {true, false, {O::kWouldImport, O::kSkippedKnown}},
      {true, true, {O::kWouldImport, O::kWouldImport}},
      {false, false, {O::kFailed, O::kSkippedKnown}},
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
}
