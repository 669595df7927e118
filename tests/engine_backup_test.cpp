// A whole card to an image and back, and the plan of a sync, on each way to
// a card: the player in this process, the image attached directly, and the
// player on its socket.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "support/engine.h"
#include "check.h"
#include "support/card_image.h"
#include "passes.h"
#include "sync.h"

using namespace zk27_test;

namespace {

class engine_backup : public AnyCardTest {
 protected:
  void SetUp() override {
    AnyCardTest::SetUp();
    StartMountedCard(4096);  // 30 clusters
    ClearStopRequest();
  }
  void TearDown() override {
    ClearStopRequest();
    AnyCardTest::TearDown();
  }
  // The card's sectors before its data area.
  Bytes Tables() { return CardSectors(0, VolumeImage.dataStart); }
};

TEST_P(engine_backup, ABackupRestoredGivesTheCardBack) {
  const Bytes a = Content(200000, 1), b = Content(3000, 2);
  ASSERT_EQ(Store("a.mp3", a), kOpOk);
  ASSERT_EQ(Store("b.voc", b), kOpOk);
  RebuildCardList();
  const Bytes tables = Tables();
  const std::string backup = dir_ / "backup.img";
  std::uint64_t read = 0;
  std::vector<std::uint32_t> seen;
  ASSERT_EQ(BackupCard(backup, [&](std::uint32_t done, std::uint32_t) { seen.push_back(done); }, &read), kOpOk);
  // The tables and the clusters in use (the files' five, and what the table
  // marks as never free), nothing more.
  const std::uint64_t inUse = VolumeImage.usableClusters - 2 - static_cast<std::uint64_t>(CountFreeClusters());
  EXPECT_GE(inUse, 5u);
  EXPECT_LE(inUse, 6u);
  EXPECT_EQ(read, std::uint64_t{VolumeImage.dataStart} * 512 + inUse * 65536);
  EXPECT_EQ(seen.front(), 0u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(ReadAt(backup, 0, tables.size()), tables);
  EXPECT_EQ(ReadAt(backup, ReadLayout(backup).ClusterOffset(2), a.size()), a) << "a.mp3's clusters";

  ASSERT_EQ(ReleaseCardFile("a.mp3"), kOpOk);
  FlushVolume(FlushOrder::kReleasing);
  ASSERT_EQ(Store("c.mp3", Content(130000, 3)), kOpOk);
  ASSERT_EQ(RestoreCard(backup, {}), kOpOk);
  EXPECT_TRUE(VolumeImage.mounted);
  EXPECT_EQ(Tables(), tables);
  EXPECT_EQ(FetchBack("a.mp3"), a);
  EXPECT_EQ(FetchBack("b.voc"), b);
  EXPECT_FALSE(FetchBack("c.mp3").has_value());
}

TEST_P(engine_backup, AStoppedBackupLeavesNoImageAndKeepsAnOlderFile) {
  ASSERT_EQ(Store("a.mp3", Content(300000, 1)), kOpOk);
  const std::string backup = dir_ / "backup.img";
  ASSERT_TRUE(WriteFile(backup, Content(10, 5)));
  const CardOpResult r = BackupCard(backup, [](std::uint32_t done, std::uint32_t) {
    if (done == 2) RequestStop();
  });
  EXPECT_EQ(r, kOpStopped);
  EXPECT_EQ(*ReadFile(backup), Content(10, 5));
  for (const std::string& name : FolderNames(dir_.path())) EXPECT_EQ(name.find(".part"), std::string::npos) << name;
}

// What the plan promises fits: the sends of a fitting plan all succeed, and
// one cluster more than the card has is a shortfall of exactly one.
TEST_P(engine_backup, ASyncPlanPromisesOnlyWhatFits) {
  RebuildCardList();
  const std::uint32_t free = static_cast<std::uint32_t>(CountFreeClusters());
  const std::string folder = dir_ / "music";
  std::filesystem::create_directories(folder);
  ASSERT_TRUE(WriteFile(folder + "/a.mp3", Content((free - 1) * 65536, 1)));
  ASSERT_TRUE(WriteFile(folder + "/b.voc", Content(1, 2)));
  SyncPlan plan;
  ASSERT_TRUE(PlanSync(folder, false, false, &plan));
  ASSERT_TRUE(plan.Fits());
  EXPECT_EQ(plan.clustersNeeded, free);
  for (const SendItem& item : plan.SendItems()) EXPECT_EQ(SendFileToCard(item.pcPath, item.pcName, {}), kOpOk);

  ASSERT_TRUE(WriteFile(folder + "/c.mp3", Content(1, 3)));
  RebuildCardList();
  ASSERT_TRUE(PlanSync(folder, false, false, &plan));
  ASSERT_EQ(plan.shortfalls.size(), 1u);
  EXPECT_EQ(plan.shortfalls[0].limit, SyncLimit::kClusters);
  EXPECT_EQ(plan.shortfalls[0].needed, 1u);
  EXPECT_EQ(plan.shortfalls[0].available, 0u);
}

// An image's files onto a card of another size: the card formatted at its
// own size, the files whole, in their FileIds' order and of their kinds; a
// card that cannot hold them is refused before anything is written.
TEST_P(engine_backup, AnImagesFilesGoOntoACardOfAnotherSize) {
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"z.mp3", Content(200000, 1)}, {"a.mp3", Content(70000, 2)}, {"memo.voc", Content(3000, 3)}};
  for (const auto& [name, bytes] : files) ASSERT_EQ(Store(name, bytes), kOpOk);
  const std::string backup = dir_ / "backup.img";
  ASSERT_EQ(BackupCard(backup, {}), kOpOk);
  // 8192 sectors are larger than the image's 4096; 2048 smaller but hold the
  // files' 7 clusters in their 14; 1024 have 6.
  for (const std::uint32_t sectors : {8192u, 2048u, 1024u}) {
    SCOPED_TRACE(std::to_string(sectors) + " sectors");
    StartMountedCard(sectors);
    ImageFit fit;
    EXPECT_EQ(FitCardImage(backup, &fit), sectors > 4096 ? kOpOk : kOpNoSpace);
    EXPECT_EQ(fit.unusedSectors, sectors > 4096 ? sectors - 4096 : 0);
    const Bytes before = *ReadFile(image_);
    PassCallbacks view;
    PassSummary summary;
    const CardOpResult r = RestoreImageFiles(backup, view, &summary);
    if (sectors == 1024) {
      EXPECT_EQ(r, kOpNoSpace);
      SyncPlan plan;
      ASSERT_EQ(PlanImageFiles(backup, &plan), kOpOk);
      ASSERT_EQ(plan.shortfalls.size(), 1u);
      EXPECT_EQ(plan.shortfalls[0].needed, 7u);
      EXPECT_EQ(plan.shortfalls[0].available, 6u);
      EXPECT_EQ(*ReadFile(image_), before) << "a refused restore wrote to the card";
      continue;
    }
    ASSERT_EQ(r, kOpOk);
    EXPECT_EQ(summary.done, 3);
    EXPECT_EQ(VolumeImage.totalSectors, sectors);
    EXPECT_TRUE(card_oracle::Examine(image_).Clean()) << card_oracle::Examine(image_).Describe();
    EXPECT_EQ(RebuildCardList(), (std::vector<std::string>{"z.mp3", "a.mp3", "memo.voc"}));
    EXPECT_TRUE(IsVoiceFileId(CardFileTable[1].FileId));
    for (const auto& [name, bytes] : files) EXPECT_EQ(FetchBack(name), bytes) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Sources, engine_backup, kAllCardSources);

// Replacing a card file and restoring an image, cut short: by the PC file,
// by the player at every command. The card must never hold a file with
// bytes that are neither copy's.
class engine_replace : public CardTest {
 protected:
  void SetUp() override {
    CardTest::SetUp();
    StartMountedCard(4096);  // 30 clusters
    ClearStopRequest();
    folder_ = dir_ / "music";
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    ClearStopRequest();
    CardTest::TearDown();
  }
  // The card holds memo.voc (`old_`), the folder a memo.voc of another size
  // (`new_`); without room for both, a filler takes all the card has but
  // what the old copy frees.
  void Prepare(bool room) {
    ASSERT_EQ(Store("memo.voc", old_), kOpOk);
    if (!room) {
      RebuildCardList();
      ASSERT_EQ(Store("filler.mp3", Content((CountFreeClusters() - 1) * 65536, 9)), kOpOk);
    }
    ASSERT_TRUE(WriteFile(folder_ + "/memo.voc", new_));
    start_ = *ReadFile(image_);
  }
  // The sync's two passes, as zk27 runs them.
  PassSummary Sync(SyncPlan* plan) {
    RebuildCardList();
    EXPECT_TRUE(PlanSync(folder_, false, false, plan));
    PassCallbacks view;
    RunDeletePass(plan->DeleteLines(), view);
    return RunSendPass(plan->SendItems(), view);
  }
  // Every file on the card is whole and one of the two copies (or the
  // filler); returns how many copies of memo.voc it holds.
  int Copies() {
    const card_oracle::Survey s = card_oracle::Examine(image_);
    EXPECT_TRUE(s.readable && s.faults.empty()) << s.Describe();
    int copies = 0;
    for (const card_oracle::File& f : s.files) {
      if (f.name == "filler.mp3") continue;
      EXPECT_TRUE(f.data == old_ || f.data == new_) << f.name << " holds mixed bytes\n" << s.Describe();
      ++copies;
    }
    return copies;
  }

  std::string folder_;
  Bytes old_ = Content(100000, 1), new_ = Content(150000, 2), start_;
};

// A new copy that cannot be read, or changes, after the plan: the card keeps
// its copy, with or without room for both.
TEST_F(engine_replace, AnUnreadableOrChangingFileKeepsTheCardCopy) {
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> faults = {
      {"grown", [](const std::string& path) { ASSERT_TRUE(WriteFile(path, Content(170000, 2))); }},
      {"shrunk", [](const std::string& path) { ASSERT_TRUE(WriteFile(path, Content(120000, 2))); }},
#ifndef _WIN32  // Windows has no named pipes among its files
      {"a named pipe in its place",
       [](const std::string& path) { ASSERT_TRUE(std::filesystem::remove(path) && ::mkfifo(path.c_str(), 0600) == 0); }},
#endif
  };
  for (const bool room : {true, false}) {
    for (const auto& [what, fault] : faults) {
      SCOPED_TRACE(what + (room ? ", room for both" : ", no room for both"));
      StartMountedCard(4096);
      std::filesystem::remove_all(folder_);
      std::filesystem::create_directories(folder_);
      Prepare(room);
      RebuildCardList();
      SyncPlan plan;
      ASSERT_TRUE(PlanSync(folder_, false, false, &plan));
      ASSERT_EQ(plan.SendItems().size(), 1u);
      EXPECT_EQ(plan.SendItems()[0].tempName.empty(), !room);
      fault(folder_ + "/memo.voc");
      PassCallbacks view;
      RunDeletePass(plan.DeleteLines(), view);
      EXPECT_NE(RunSendPass(plan.SendItems(), view).done, 1);
      EXPECT_EQ(Copies(), 1);
      EXPECT_EQ(FetchBack("memo.voc"), old_);
    }
  }
}

// A cut at any command of a replacement leaves one of the two copies on
// the card when it has room for both, and never a mixed one; the sync run
// again ends with the new copy alone.
TEST_F(engine_replace, ACutAtAnyCommandKeepsOneOfTheTwoCopies) {
  for (const bool room : {true, false}) {
    SCOPED_TRACE(room ? "room for both" : "no room for both");
    StartMountedCard(4096);
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    Prepare(room);
    SyncPlan plan;
    log_.clear();
    ASSERT_EQ(Sync(&plan).done, 1);
    const std::size_t commands = log_.size();
    EXPECT_EQ(Copies(), 1);
    EXPECT_EQ(FetchBack("memo.voc"), new_);
    for (std::size_t k = 1; k <= commands; ++k) {
      SCOPED_TRACE("cut at command " + std::to_string(k));
      ASSERT_TRUE(WriteAt(image_, 0, start_));
      DeviceState = kDeviceReady;
      ASSERT_EQ(MountVolume(), kMountOk);
      FaultAtCommand(k, [](player::PlayerCore& p) { p.FailAfter(1); });
      Sync(&plan);
      const int copies = Copies();
      if (room) {
        EXPECT_GE(copies, 1);
      }
      // What the cut left over (lost clusters, a name no entry owns) is
      // given back, as 'zk27 check --repair' does.
      DeviceState = kDeviceReady;
      ASSERT_EQ(MountVolume(), kMountOk);
      ASSERT_TRUE(ReadTableCopy2());
      RepairVolume(IdentifiedCardSectors());
      ASSERT_EQ(MountVolume(), kMountOk);
      SyncPlan again;
      ASSERT_EQ(Sync(&again).last, kOpOk);
      EXPECT_EQ(FetchBack("memo.voc"), new_);
    }
  }
}

// A restore cut at any command of its writing leaves each file either the
// old card's or the image's, never a mix; interrupted, the card holds no
// file until the restore is run again.
TEST_F(engine_replace, ARestoreCutAtAnyCommandMixesNoFile) {
  const Bytes a = Content(200000, 3), b = Content(70000, 4);
  ASSERT_EQ(Store("a.mp3", b), kOpOk);
  const std::string image = dir_ / "other.img";
  ASSERT_EQ(BackupCard(image, {}), kOpOk);
  StartMountedCard(4096);
  ASSERT_EQ(Store("a.mp3", a), kOpOk);
  const Bytes start = *ReadFile(image_);
  log_.clear();
  ASSERT_EQ(RestoreCard(image, {}), kOpOk);
  EXPECT_EQ(FetchBack("a.mp3"), b);
  std::size_t writing = 0;  // the commands up to the boot sector's write
  while (writing < log_.size() && !(log_[writing] == Write(kBootSectorLba, 1))) ++writing;
  ASSERT_LT(writing, log_.size());
  auto judge = [&] {
    const card_oracle::Survey s = card_oracle::Examine(image_);
    for (const card_oracle::File& f : s.files)
      EXPECT_TRUE(f.data == a || f.data == b) << f.name << " holds mixed bytes\n" << s.Describe();
  };
  for (std::size_t k = 1; k <= writing + 1; ++k) {
    SCOPED_TRACE("cut at command " + std::to_string(k));
    ASSERT_TRUE(WriteAt(image_, 0, start));
    DeviceState = kDeviceReady;
    FaultAtCommand(k, [](player::PlayerCore& p) { p.FailAfter(1); });
    EXPECT_NE(RestoreCard(image, {}), kOpOk);
    judge();
  }
  ASSERT_TRUE(WriteAt(image_, 0, start));
  DeviceState = kDeviceReady;
  EXPECT_EQ(RestoreCard(image, [](std::uint32_t done, std::uint32_t) {
              if (done == 1) RequestStop();
            }),
            kOpStopped);
  judge();
  EXPECT_TRUE(card_oracle::Examine(image_).files.empty()) << card_oracle::Examine(image_).Describe();
  ClearStopRequest();
  ASSERT_EQ(RestoreCard(image, {}), kOpOk);
  EXPECT_EQ(FetchBack("a.mp3"), b);
}

}  // namespace
