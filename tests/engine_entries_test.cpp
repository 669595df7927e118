// Directory entries, names and allocation in a mounted volume image.
#include <gtest/gtest.h>

#include "support/engine.h"

using namespace zk27_test;

namespace {

// The volume image of a card mounted from each of the three ways the engine
// reaches a card.
class engine_entries : public AnyCardTest {
 protected:
  void SetUp() override {
    AnyCardTest::SetUp();
    StartMountedCard(2048);  // 14 free clusters, 2..15
  }
  void UseClusters(std::initializer_list<std::uint32_t> clusters) {
    for (std::uint32_t c : clusters) SetTableEntry(c, kEndOfChain);
  }
  std::vector<std::uint16_t> List() const { return ClusterList; }
};
INSTANTIATE_TEST_SUITE_P(, engine_entries, kAllCardSources, CardSourceName);

TEST_P(engine_entries, NextFileIdFollowsTheHighestNumberOfEachKind) {
  EXPECT_EQ(NextFileId(1), 0x01);
  EXPECT_EQ(NextFileId(2), 0x81);

  PutEntry(0, 0, 0x01, 1, 0, kEndOfChain, 0);
  PutEntry(0, 32, 0x82, 1, 64, kEndOfChain, 0);
  PutEntry(3, 96, 0x02, 1, 128, kEndOfChain, 0);
  PutEntry(0, 64, 0x81, 1, 192, kEndOfChain, 0);
  PutEntry(31, 480, 0x83, 1, 256, kEndOfChain, 0);  // the directory's last entry counts too
  PutEntry(7, 0, 0x80, 1, 320, kEndOfChain, 0);     // number 0: no file of either kind
  EXPECT_EQ(NextFileId(1), 0x03);
  EXPECT_EQ(NextFileId(2), 0x84);

  PutEntry(1, 0, 0x05, 1, 384, kEndOfChain, 0);  // gaps are not filled
  EXPECT_EQ(NextFileId(1), 0x06);

  PutEntry(1, 32, 0x7F, 1, 448, kEndOfChain, 0);
  EXPECT_EQ(NextFileId(1), 0);  // no number left
  EXPECT_EQ(NextFileId(2), 0x84);
  PutEntry(1, 64, 0xFF, 1, 512, kEndOfChain, 0);
  EXPECT_EQ(NextFileId(2), 0);
}

TEST_P(engine_entries, FindFreeDirEntryPacksSectorAndOffset) {
  for (std::uint32_t i = 0; i < 16 + 3; ++i) PutEntry(i / 16, i % 16 * 32, 1, 1, 0, kEndOfChain, 0);
  const std::uint16_t pos = FindFreeDirEntry();
  EXPECT_EQ(pos, 0x0860);
  EXPECT_EQ(pos >> 11, 1);
  EXPECT_EQ(pos & 0x3FF, 96);

  for (std::uint32_t i = 0; i < 512; ++i) PutEntry(i / 16, i % 16 * 32, 1, 1, 0, kEndOfChain, 0);
  EXPECT_EQ(FindFreeDirEntry(), kNoDirEntry);
  DropBrokenEntry(20, 448);
  EXPECT_EQ(FindFreeDirEntry(), 20 * 2048 + 448);
}

TEST_P(engine_entries, NameSlots) {
  // A name of 62 bytes fills its slot to the last byte and no further.
  const std::string longest(62, 'n');
  VolumeImage.nameTable[63] = 0x5A;
  VolumeImage.nameTable[128] = 0x5A;
  StoreFileName(longest, 64);
  EXPECT_EQ(VolumeImage.nameTable[64], 62);
  EXPECT_EQ(VolumeImage.nameTable[65], 0);
  EXPECT_EQ(std::string(VolumeImage.nameTable + 66, VolumeImage.nameTable + 128), longest);
  EXPECT_EQ(VolumeImage.nameTable[63], 0x5A);
  EXPECT_EQ(VolumeImage.nameTable[128], 0x5A);
  std::string back;
  ASSERT_TRUE(SlotName(64, &back));
  EXPECT_EQ(back, longest);

  // A released slot is the first free one again; its old bytes stay behind
  // the zeroed length.
  StoreFileName("first.mp3", 0);
  PutEntry(0, 0, 1, 1, 0, kEndOfChain, 0);
  EXPECT_EQ(FindFreeNameSlot(), 192);  // 128 is taken by the marker above
  DropBrokenEntry(0, 0);
  EXPECT_EQ(FindFreeNameSlot(), 0);
  EXPECT_EQ(VolumeImage.nameTable[0], 0);
  EXPECT_EQ(VolumeImage.nameTable[1], 0);
  EXPECT_EQ(std::string(VolumeImage.nameTable + 2, VolumeImage.nameTable + 11), "first.mp3");

  for (std::uint32_t slot = 0; slot < kNameTableBytes; slot += kNameSlotSize) VolumeImage.nameTable[slot] = 1;
  EXPECT_EQ(FindFreeNameSlot(), kNoNameSlot);
}

TEST_P(engine_entries, ClustersAreTakenLowestFirstAndLinkedInThatOrder) {
  CollectFreeClusters(0);
  EXPECT_EQ(List(), (std::vector<std::uint16_t>{kEndOfChain}));
  LinkClusterChain(0);

  UseClusters({2, 3, 4, 6, 7, 8});
  const std::vector<std::uint8_t> before = VolumeImage.allocationTable;
  CollectFreeClusters(3);
  EXPECT_EQ(List(), (std::vector<std::uint16_t>{5, 9, 10, kEndOfChain}));
  EXPECT_EQ(VolumeImage.allocationTable, before);  // choosing takes nothing yet
  LinkClusterChain(3);
  EXPECT_EQ(TableEntry(5), 9);
  EXPECT_EQ(TableEntry(9), 10);
  EXPECT_EQ(TableEntry(10), kEndOfChain);
  EXPECT_EQ(TableEntry(11), 0);
  EXPECT_EQ(CountFreeClusters(), 14 - 9);

  // More than are free: the list just ends early, and never reaches the
  // table's marks or the entries past the card.
  CollectFreeClusters(10);
  EXPECT_EQ(List(), (std::vector<std::uint16_t>{11, 12, 13, 14, 15, kEndOfChain}));
}

TEST(engine_file_kind, KindFollowsTheTextAfterTheFirstDot) {
  struct Case {
    const char* name;
    int kind;
  };
  const Case cases[] = {
      {"song.mp3", 1}, {"SONG.Mp3", 1}, {"x.MP3", 1}, {"x.mP3", 1},     {"memo.voc", 2},
      {"memo.VoC", 2}, {"MEMO.VOC", 2}, {"a.b.mp3", 3}, {"a.b.voc", 3}, {"readme", 3},
      {"song.mP4", 3}, {"song.mp3 ", 3}, {"song.", 3},  {"memo.vocx", 3}, {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(FileKindOf(c.name), c.kind) << '"' << c.name << '"';
}

}  // namespace
