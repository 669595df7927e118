// Directory entries, names and allocation in a mounted volume image; the
// DirEntry codec and the walks over the directory.
#include <gtest/gtest.h>

#include <set>

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

// The same on the in-process player, for the cases that have the player
// record a memo the way it files its own recordings.
class engine_entries_inprocess : public CardTest {
 protected:
  void SetUp() override {
    CardTest::SetUp();
    StartMountedCard(2048);
  }
};

TEST_P(engine_entries, NextFileIdFollowsTheHighestNumberOfEachKind) {
  EXPECT_EQ(NextFileId(kKindMusic), 0x01);
  EXPECT_EQ(NextFileId(kKindVoice), 0x81);

  PutEntry(0, 0, 0x01, 1, 0, kEndOfChain, 0);
  PutEntry(0, 32, 0x82, 1, 64, kEndOfChain, 0);
  PutEntry(3, 96, 0x02, 1, 128, kEndOfChain, 0);
  PutEntry(0, 64, 0x81, 1, 192, kEndOfChain, 0);
  PutEntry(31, 480, 0x83, 1, 256, kEndOfChain, 0);  // the directory's last entry counts too
  PutEntry(7, 0, 0x80, 1, 320, kEndOfChain, 0);     // number 0: no file of either kind
  EXPECT_EQ(NextFileId(kKindMusic), 0x03);
  EXPECT_EQ(NextFileId(kKindVoice), 0x84);

  PutEntry(1, 0, 0x05, 1, 384, kEndOfChain, 0);  // gaps are not filled
  EXPECT_EQ(NextFileId(kKindMusic), 0x06);

  PutEntry(1, 32, 0x7F, 1, 448, kEndOfChain, 0);
  EXPECT_EQ(NextFileId(kKindMusic), 0);  // no number left
  EXPECT_EQ(NextFileId(kKindVoice), 0x84);
  PutEntry(1, 64, 0xFF, 1, 512, kEndOfChain, 0);
  EXPECT_EQ(NextFileId(kKindVoice), 0);
}

TEST_P(engine_entries, FindFreeDirEntryPacksSectorAndOffset) {
  for (std::uint32_t i = 0; i < 16 + 3; ++i) PutEntry(i / 16, i % 16 * 32, 1, 1, 0, kEndOfChain, 0);
  const std::uint16_t pos = FindFreeDirEntry();
  EXPECT_EQ(pos, 0x0860);
  EXPECT_EQ(pos >> 11, 1);
  EXPECT_EQ(pos & 0x3FF, 96);

  for (std::uint32_t i = 0; i < 512; ++i) PutEntry(i / 16, i % 16 * 32, 1, 1, 0, kEndOfChain, 0);
  EXPECT_EQ(FindFreeDirEntry(), kNoDirEntry);
  ReleaseDirEntry({20, 448});
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
  ReleaseDirEntry({0, 0});
  EXPECT_EQ(FindFreeNameSlot(), 0);
  EXPECT_EQ(VolumeImage.nameTable[0], 0);
  EXPECT_EQ(VolumeImage.nameTable[1], 0);
  EXPECT_EQ(std::string(VolumeImage.nameTable + 2, VolumeImage.nameTable + 11), "first.mp3");

  for (std::uint32_t slot = 0; slot < kNameTableBytes; slot += kNameSlotSize) VolumeImage.nameTable[slot] = 1;
  EXPECT_EQ(FindFreeNameSlot(), kNoNameSlot);
}

// A living file whose name reads empty (its NameTable sector lost) keeps
// its slot: neither a file sent nor a recording the card list names is given
// it, or both would be listed under one name and a delete by it could take
// the old file.
TEST_P(engine_entries, ASlotALivingFilePointsAtIsNeverHandedOutAgain) {
  const struct {
    std::uint8_t owner;    // FileId of the file whose name slot 0 reads empty
    const char* newcomer;  // sent to the card; empty: a recording the list names
  } rows[] = {{0x01, "new.mp3"}, {0x81, "new.voc"}, {0x01, ""}, {0x81, ""}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.owner) + " " + row.newcomer);
    ASSERT_EQ(FormatCard(), kFormatOk);
    ASSERT_EQ(MountVolume(), kMountOk);
    PutEntry(0, 0, row.owner, row.owner, 0, kEndOfChain, 0);
    EXPECT_EQ(FindFreeNameSlot(), 64);
    EXPECT_EQ(CountFreeNameSlots(), 239);
    if (*row.newcomer) {
      ASSERT_EQ(Store(row.newcomer, Content(10, 40)), kOpOk);
    } else {
      PutEntry(0, 32, row.owner == 0x81 ? 0x82 : 0x81, 0, 0, kEndOfChain, 0);  // as the player files it
    }
    const std::vector<std::string> lines = RebuildCardList();
    EXPECT_NE(EntryNameSlot(DirEntryAt(0, 32)), EntryNameSlot(DirEntryAt(0, 0)));
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), 2u) << lines[0];
    if (*row.newcomer) {
      EXPECT_EQ(ReleaseCardFile(row.newcomer), kOpOk);
      EXPECT_EQ(DirEntryAt(0, 0)[kEntryFileIdOffset], row.owner);
    }
  }
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

// ---- the DirEntry codec ------------------------------------------------------

// The used entries a walk of the directory image visits, in its order.
std::vector<std::pair<std::uint32_t, std::uint32_t>> UsedEntries() {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> used;
  ForEachDirEntry([&](DirEntryPos at, const DirEntry& e) {
    if (e.InUse()) used.emplace_back(at.sector, at.offset);
    return true;
  });
  return used;
}

TEST_F(engine_entries_inprocess, DecodeReadsARecordingAsThePlayerFiledIt) {
  const Bytes voice = Content(150000, 31);
  player::RecordInfo info;
  ASSERT_EQ(player_->core().Record(voice, &info), player::RecordResult::kOk);
  ASSERT_EQ(MountVolume(), kMountOk);

  DirEntry e;
  ASSERT_TRUE(ReadDirEntry({info.dirLba - VolumeImage.dirStart, info.dirOffset}, &e));
  EXPECT_TRUE(e.InUse());
  EXPECT_TRUE(e.Voice());
  EXPECT_EQ(e.fileId, info.fileId);
  EXPECT_EQ(e.fileId, 0x81);
  EXPECT_EQ(e.voiceFlag, 1);
  EXPECT_EQ(e.mark, 0);  // the player names nothing
  EXPECT_EQ(e.firstCluster, info.firstCluster);
  EXPECT_EQ(e.size, 150000u);
  std::string name;
  EXPECT_FALSE(DirEntryName(e, &name));

  // The same bytes decoded from the card itself.
  const Bytes sector = CardSectors(info.dirLba, 1);
  const DirEntry onCard = DecodeDirEntry(sector.data() + info.dirOffset);
  EXPECT_EQ(onCard.fileId, e.fileId);
  EXPECT_EQ(onCard.firstCluster, e.firstCluster);
  EXPECT_EQ(onCard.size, e.size);

  std::vector<std::uint16_t> chain;
  ASSERT_TRUE(FileChain(e, &chain));
  ASSERT_EQ(chain.size(), info.clusterCount);
  EXPECT_EQ(chain.front(), info.firstCluster);
  for (std::size_t k = 0; k + 1 < chain.size(); ++k) EXPECT_EQ(TableEntry(chain[k]), chain[k + 1]);
  EXPECT_EQ(TableEntry(chain.back()), kEndOfChain);
}

TEST_P(engine_entries, DecodeReadsTheEntriesTheEngineWrote) {
  ASSERT_EQ(Store("song.mp3", Content(70000, 32)), kOpOk);
  ASSERT_EQ(Store("memo.voc", Content(10, 33)), kOpOk);
  const Bytes dir = CardSectors(VolumeImage.dirStart, 1);

  const DirEntry song = DecodeDirEntry(dir.data());
  EXPECT_EQ(song.fileId, 0x01);
  EXPECT_EQ(song.mark, 0x01);
  EXPECT_EQ(song.voiceFlag, 0);
  EXPECT_EQ(song.firstCluster, 2);
  EXPECT_EQ(song.size, 70000u);
  std::string name;
  ASSERT_TRUE(DirEntryName(song, &name));
  EXPECT_EQ(name, "song.mp3");

  const DirEntry memo = DecodeDirEntry(dir.data() + kDirEntrySize);
  EXPECT_EQ(memo.fileId, 0x81);
  EXPECT_EQ(memo.mark, 0x81);
  EXPECT_EQ(memo.voiceFlag, 1);
  EXPECT_EQ(memo.firstCluster, 4);  // after song.mp3's two clusters
  EXPECT_EQ(memo.size, 10u);
  EXPECT_NE(memo.nameSlot, song.nameSlot);
  ASSERT_TRUE(DirEntryName(memo, &name));
  EXPECT_EQ(name, "memo.voc");
  EXPECT_FALSE(DecodeDirEntry(dir.data() + 2 * kDirEntrySize).InUse());
}

TEST_P(engine_entries, EncodeWritesTheFieldsWhereDecodeReadsThemAndNothingElse) {
  std::uint8_t bytes[kDirEntrySize];
  for (std::uint32_t i = 0; i < kDirEntrySize; ++i) bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
  const std::vector<std::uint8_t> before(bytes, bytes + kDirEntrySize);

  // A decoded entry encodes back to the very same bytes.
  EncodeDirEntry(DecodeDirEntry(bytes), bytes);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + kDirEntrySize), before);

  DirEntry e;
  e.mark = 0x85;
  e.nameSlot = 0x1C0;
  e.fileId = 0x85;
  e.voiceFlag = 1;
  e.firstCluster = 0x1234;
  e.size = 0x89ABCDEF;
  EncodeDirEntry(e, bytes);
  const DirEntry back = DecodeDirEntry(bytes);
  EXPECT_EQ(back.mark, e.mark);
  EXPECT_EQ(back.nameSlot, e.nameSlot);
  EXPECT_EQ(back.fileId, e.fileId);
  EXPECT_EQ(back.voiceFlag, e.voiceFlag);
  EXPECT_EQ(back.firstCluster, e.firstCluster);
  EXPECT_EQ(back.size, e.size);

  // Little-endian at the fields' offsets; every other byte as it was.
  std::vector<std::uint8_t> expected = before;
  expected[kEntryMarkOffset] = 0x85;
  expected[kEntryNameSlotOffset] = 0xC0, expected[kEntryNameSlotOffset + 1] = 0x01;
  expected[kEntryFileIdOffset] = 0x85;
  expected[kEntryVoiceFlagOffset] = 1;
  expected[kEntryFirstClusterOffset] = 0x34, expected[kEntryFirstClusterOffset + 1] = 0x12;
  expected[kEntrySizeOffset] = 0xEF, expected[kEntrySizeOffset + 1] = 0xCD;
  expected[kEntrySizeOffset + 2] = 0xAB, expected[kEntrySizeOffset + 3] = 0x89;
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + kDirEntrySize), expected);

  // Through the directory image, and never outside it.
  ASSERT_TRUE(WriteDirEntry({5, 64}, e));
  DirEntry read;
  ASSERT_TRUE(ReadDirEntry({5, 64}, &read));
  EXPECT_EQ(read.size, e.size);
  EXPECT_EQ(read.firstCluster, e.firstCluster);
  EXPECT_EQ(EntrySize(DirEntryAt(5, 64)), e.size);
  EXPECT_FALSE(ReadDirEntry({kMaxDirSectors, 0}, &read));
  EXPECT_FALSE(WriteDirEntry({0, 16}, e));
  EXPECT_EQ(UnpackDirEntryPos(20 * 2048 + 448).sector, 20u);
  EXPECT_EQ(UnpackDirEntryPos(20 * 2048 + 448).offset, 448u);
}

TEST_P(engine_entries, ReleaseFreesTheEntryItsChainAndItsNameSlot) {
  ASSERT_EQ(Store("keep.mp3", Content(10, 34)), kOpOk);
  ASSERT_EQ(Store("gone.mp3", Content(3 * 65536, 35)), kOpOk);
  const DirEntryPos at{0, kDirEntrySize};
  DirEntry gone;
  ASSERT_TRUE(ReadDirEntry(at, &gone));
  std::vector<std::uint16_t> chain;
  ASSERT_TRUE(FileChain(gone, &chain));
  ASSERT_EQ(chain.size(), 3u);
  DirEntry keep;
  ASSERT_TRUE(ReadDirEntry({0, 0}, &keep));
  const int freeBefore = CountFreeClusters();

  ReleaseDirEntry(at);
  DirEntry released;
  ASSERT_TRUE(ReadDirEntry(at, &released));
  EXPECT_FALSE(released.InUse());
  EXPECT_EQ(released.mark, 0);
  EXPECT_EQ(released.voiceFlag, 0);
  EXPECT_EQ(released.size, gone.size);  // the other fields stay behind
  for (const std::uint16_t c : chain) EXPECT_EQ(TableEntry(c), 0) << c;
  EXPECT_EQ(CountFreeClusters(), freeBefore + 3);
  EXPECT_EQ(SlotLength(gone.nameSlot), 0);
  EXPECT_EQ(FindFreeNameSlot(), gone.nameSlot);

  // The other file keeps its name, its chain and its entry.
  std::string name;
  ASSERT_TRUE(ReadDirEntry({0, 0}, &keep));
  ASSERT_TRUE(DirEntryName(keep, &name));
  EXPECT_EQ(name, "keep.mp3");
  EXPECT_EQ(TableEntry(keep.firstCluster), kEndOfChain);
  EXPECT_EQ(UsedEntries(), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 0}}));

  // A stale entry whose slot now names a living file leaves that name alone.
  PutEntry(0, 2 * kDirEntrySize, 0x02, 0x02, keep.nameSlot, kEndOfChain, 0);
  ReleaseDirEntry({0, 2 * kDirEntrySize});
  EXPECT_EQ(SlotLength(keep.nameSlot), 8);
  EXPECT_EQ(UsedEntries().size(), 1u);

  // A size near the field's limit counts its clusters without wrapping: the
  // chain it holds is freed (once 0 clusters were counted and nothing freed).
  ASSERT_EQ(Store("big.mp3", Content(2 * 65536, 39)), kOpOk);
  const DirEntryPos bigAt{0, kDirEntrySize};
  DirEntry big;
  ASSERT_TRUE(ReadDirEntry(bigAt, &big));
  big.size = 0xFFFFFFF0u;
  ASSERT_TRUE(WriteDirEntry(bigAt, big));
  const int freeWithBig = CountFreeClusters();
  ReleaseDirEntry(bigAt);
  EXPECT_EQ(CountFreeClusters(), freeWithBig + 2);
  EXPECT_EQ(ClustersForSize(0xFFFFFFFFu), 65536u);
  EXPECT_EQ(ClustersForSize(0), 0u);
  EXPECT_EQ(ClustersForSize(65537), 2u);
}

// What reads the directory may keep what it found while the count of its
// changes stays: every write of an entry or a name moves it, a read does not.
TEST_P(engine_entries, EveryChangeOfTheDirectoryIsCounted) {
  ASSERT_EQ(Store("a.mp3", Content(100, 7)), kOpOk);
  DirEntryPos at;
  ForEachDirEntry([&](DirEntryPos p, const DirEntry& entry) {
    at = p;
    return !entry.InUse();
  });
  DirEntry e;
  std::string name;
  std::uint64_t before = DirectoryChanges();
  ASSERT_TRUE(ReadDirEntry(at, &e));
  ASSERT_TRUE(DirEntryName(e, &name));
  FindFreeNameSlot();
  CountFreeDirEntries();
  EXPECT_EQ(DirectoryChanges(), before) << "reads";

  const std::function<void()> changes[] = {
      [&] { ASSERT_TRUE(RenumberDirEntry(at, 5)); },
      [&] { ASSERT_TRUE(RenameDirEntry(at, "b.mp3")); },
      [&] { ReleaseDirEntry(at); },
      [&] { ASSERT_EQ(MountVolume(), kMountOk); },
  };
  for (std::size_t i = 0; i < std::size(changes); ++i) {
    before = DirectoryChanges();
    changes[i]();
    EXPECT_GT(DirectoryChanges(), before) << "change " << i;
  }
}

TEST_F(engine_entries_inprocess, WalksSeeEveryEntryInDirectoryOrder) {
  ASSERT_EQ(Store("a.mp3", Content(10, 36)), kOpOk);
  ASSERT_EQ(Store("b.voc", Content(10, 37)), kOpOk);
  player::RecordInfo info;
  ASSERT_EQ(player_->core().Record(Content(10, 38), &info), player::RecordResult::kOk);
  ASSERT_EQ(MountVolume(), kMountOk);
  PutEntry(31, 480, 0x05, 0x05, 0, kEndOfChain, 0);  // the directory's last entry
  PutEntry(7, 96, 0x83, 0, 0, kEndOfChain, 0);

  const std::uint32_t recorded = info.dirOffset + (info.dirLba - VolumeImage.dirStart) * 512;
  EXPECT_EQ(recorded, 2 * kDirEntrySize);  // the player takes the first free entry
  EXPECT_EQ(UsedEntries(), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                               {0, 0}, {0, 32}, {0, 64}, {7, 96}, {31, 480}}));

  std::uint32_t visited = 0;
  ForEachDirEntry([&](DirEntryPos, const DirEntry&) { return ++visited < 1000; });
  EXPECT_EQ(visited, VolumeImage.dirSectors * kEntriesPerDirSector);
  visited = 0;
  ForEachDirEntry([&](DirEntryPos, const DirEntry&) { return ++visited < 3; });
  EXPECT_EQ(visited, 3u);  // a visit that answers false ends the walk

  // A walk sees what an earlier visit of the same walk changed.
  std::vector<std::uint8_t> ids;
  ForEachDirEntry([&](DirEntryPos at, const DirEntry& e) {
    if (at.sector == 0 && at.offset == 0) RenumberDirEntry({31, 480}, 0x06);
    if (e.InUse()) ids.push_back(e.fileId);
    return true;
  });
  EXPECT_EQ(ids, (std::vector<std::uint8_t>{0x01, 0x81, 0x82, 0x83, 0x06}));
}

TEST(engine_file_kind, KindFollowsTheTextAfterTheLastDot) {
  struct Case {
    const char* name;
    int kind;
  };
  const Case cases[] = {
      {"song.mp3", 1}, {"SONG.Mp3", 1}, {"x.MP3", 1}, {"x.mP3", 1},     {"memo.voc", 2},
      {"memo.VoC", 2}, {"MEMO.VOC", 2}, {"a.b.mp3", 1}, {"a.b.voc", 2}, {"readme", 3},
      {"song.mP4", 3}, {"song.mp3 ", 3}, {"song.", 3},  {"memo.vocx", 3}, {"", 0},
      {"Mr. Brightside.mp3", 1}, {"song.mp3.txt", 3}, {".mp3", 1}, {"a.mp3.", 3},
  };
  for (const Case& c : cases) EXPECT_EQ(FileKindOf(c.name), c.kind) << '"' << c.name << '"';
}

}  // namespace
