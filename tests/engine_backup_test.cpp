// A whole card to an image and back, and the plan of a sync, on each way to
// a card: the player in this process, the image attached directly, and the
// player on its socket.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "support/engine.h"
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

INSTANTIATE_TEST_SUITE_P(Sources, engine_backup, kAllCardSources);

}  // namespace
