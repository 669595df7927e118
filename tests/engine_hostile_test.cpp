// Damaged and hostile cards: every number read from the card is checked
// before it is used, so such a card ends in a clear result, never in a crash,
// a hang or a huge PC file.
#include <gtest/gtest.h>

#include <fcntl.h>

#include "support/engine.h"

using namespace zk27_test;
using Lines = std::vector<std::string>;

namespace {

// A 1 MiB card formatted by the engine: one table sector (33, copy at 34),
// the directory at 35, the data area at 67, clusters 2..16.
class engine_hostile : public CardTest {
 protected:
  void SetUp() override {
    CardTest::SetUp();
    StartPlayer(2048);
    ASSERT_EQ(FormatCard(), kFormatOk);
    Remount();
  }
  void Remount() {
    ASSERT_EQ(MountVolume(), kMountOk);
    ASSERT_EQ(VolumeImage.dataStart, 67u);
    log_.clear();
  }
  // Directory entry `index` (from 0) on the card.
  void PokeEntry(std::uint32_t index, std::uint8_t id, std::uint8_t mark, std::uint16_t slot, std::uint16_t first,
                 std::uint32_t size) {
    ASSERT_TRUE(WriteAt(image_, (35 + index / 16) * 512ull + index % 16 * 32, EntryBytes(id, mark, slot, first, size)));
  }
  void PokeSlot(std::uint16_t slot, std::uint16_t length, const std::string& name) {
    Bytes s = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
    s.insert(s.end(), name.begin(), name.end());
    ASSERT_TRUE(WriteAt(image_, 512 + slot, s));
  }
  // A music entry named `name` in slot `index` * 64.
  void PokeFile(std::uint32_t index, const std::string& name, std::uint16_t first, std::uint32_t size) {
    const auto slot = static_cast<std::uint16_t>(index * 64);
    PokeSlot(slot, static_cast<std::uint16_t>(name.size()), name);
    PokeEntry(index, static_cast<std::uint8_t>(index + 1), 1, slot, first, size);
  }
  void PokeTable(std::uint32_t cluster, std::uint16_t value) {
    const Bytes v = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
    for (std::uint32_t lba : {33u, 34u}) ASSERT_TRUE(WriteAt(image_, lba * 512ull + cluster * 2, v));
  }
};

TEST_F(engine_hostile, BrokenNameSlotsNeverReachPastTheNameTable) {
  PokeEntry(0, 1, 1, 15360, kEndOfChain, 0);  // slot past the table
  PokeEntry(1, 2, 1, 65, kEndOfChain, 0);     // not a slot's start
  PokeSlot(128, 63, std::string(63, 'x'));
  PokeEntry(2, 3, 1, 128, kEndOfChain, 0);  // longer than a slot holds
  PokeSlot(192, 0xFFFF, "huge");
  PokeEntry(3, 4, 1, 192, kEndOfChain, 0);
  PokeSlot(256, 8, "good.mp3");
  PokeEntry(4, 5, 1, 256, kEndOfChain, 0);
  PokeEntry(5, 0x81, 0x81, 0xFFC0, kEndOfChain, 0);  // a voice file whose slot lies past the table
  Remount();

  const std::string before = MakeVoiceName(0x81);
  const Lines lines = RebuildCardList();
  const std::string after = MakeVoiceName(0x81);
  EXPECT_EQ(hooks_.messages, Lines(4, " Invalid File structure\r\nClose the program"));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4], "good.mp3");
  // The voice file gets its name in a slot of its own, which reaches the card.
  EXPECT_TRUE(lines[5] == before || lines[5] == after) << lines[5];
  const std::uint8_t* entry = DirEntryAt(0, 5 * 32);
  const std::uint16_t slot = EntryNameSlot(entry);
  EXPECT_EQ(slot % 64, 0);
  EXPECT_LT(slot, kNameTableBytes);
  // The name, then the entry: the only sectors that changed.
  EXPECT_EQ(WritesIn(log_).size(), 2u);

  // Records without a usable name cannot become PC files.
  const std::string out = dir_ / "out";
  std::filesystem::create_directories(out);
  std::string pcName;
  EXPECT_EQ(FetchCardFileTo(5, out, {}, &pcName), kOpUnsafeName);
  EXPECT_TRUE(FolderNames(out).empty());

  // Releasing entries with broken slots leaves every name slot alone.
  const Bytes names(VolumeImage.nameTable, VolumeImage.nameTable + kNameTableBytes);
  for (std::uint32_t offset : {0u, 32u}) ReleaseDirEntry({0, offset});
  EXPECT_TRUE(Bytes(VolumeImage.nameTable, VolumeImage.nameTable + kNameTableBytes) == names);
  EXPECT_EQ(DirEntryAt(0, 0)[kEntryFileIdOffset], 0);
  EXPECT_EQ(DirEntryAt(0, 32)[kEntryFileIdOffset], 0);
}

TEST_F(engine_hostile, DamagedChainsAreRefusedBeforeAnythingIsRead) {
  const struct {
    const char* name;
    std::uint16_t first;
    std::uint32_t size;
  } files[] = {
      {"loop.mp3", 2, 3 * 65536},        // 2 -> 3 -> 2
      {"short.mp3", 4, 2 * 65536},       // 4 -> end mark, one cluster short
      {"cut.mp3", 5, 65536 + 1},         // 5 -> a free entry
      {"leaves.mp3", 6, 2 * 65536},      // 6 -> 0xFFF0, past the table
      {"outside.mp3", 7, 2 * 65536},     // 7 -> 300, past the table's 256 entries
      {"pastcard.mp3", 17, 100},         // entry 17 is past the card's clusters
      {"farout.mp3", 0xFF00, 100},       // far past the table
      {"huge.mp3", 8, 0xFFFFFFFF},       // 8 -> end mark
      {"zero.mp3", 0, 10},               // clusters 0 and 1 are no clusters
      {"one.mp3", 1, 10},
  };
  PokeTable(2, 3);
  PokeTable(3, 2);
  PokeTable(4, kEndOfChain);
  PokeTable(6, 0xFFF0);
  PokeTable(7, 300);
  PokeTable(8, kEndOfChain);
  std::uint32_t index = 0;
  for (const auto& f : files) PokeFile(index++, f.name, f.first, f.size);
  Remount();
  ASSERT_EQ(RebuildCardList().size(), std::size(files));
  ASSERT_TRUE(hooks_.messages.empty());

  const std::string out = dir_ / "out";
  std::filesystem::create_directories(out);
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    const std::int32_t r = FindCardFile(f.name);
    ASSERT_GT(r, 0);
    log_.clear();
    std::string pcName;
    EXPECT_EQ(FetchCardFileTo(r, out, {}, &pcName), kOpDamaged);
    EXPECT_TRUE(FolderNames(out).empty());

    const std::string path = dir_ / "direct.bin";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(FetchCardFile(r, fd, {}), kOpDamaged);
    ::close(fd);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_TRUE(log_.empty());  // judged from the table alone
  }
  EXPECT_FALSE(CardOpText(kOpDamaged, "loop.mp3").empty());
}

TEST_F(engine_hostile, ReleasingBrokenChainsEnds) {
  PokeTable(2, 3);
  PokeTable(3, 2);  // loop of two
  PokeFile(0, "loop.mp3", 2, 3 * 65536);
  PokeTable(4, 5);
  PokeTable(5, 6);
  PokeTable(6, 4);  // loop of three, on a half-deleted entry
  PokeEntry(1, 2, 0, 64, 4, 65536);
  PokeTable(7, 0xFFF0);  // leaves the table
  PokeFile(2, "leaves.mp3", 7, 2 * 65536);
  PokeTable(8, 8);  // a cluster that names itself
  PokeFile(3, "self.mp3", 8, 2 * 65536);
  Remount();
  EXPECT_EQ(CountFreeClusters(), 14 - 7);

  EXPECT_EQ(RebuildCardList(), (Lines{"loop.mp3", "leaves.mp3", "self.mp3"}));  // the half-deleted one is gone
  // A release frees only the clusters the file's size accounts for: the
  // half-deleted entry's one cluster, not the two its loop runs on into.
  EXPECT_EQ(CountFreeClusters(), 14 - 6);
  for (const char* name : {"loop.mp3", "leaves.mp3", "self.mp3"}) EXPECT_EQ(ReleaseCardFile(name), kOpOk) << name;
  EXPECT_EQ(CountFreeClusters(), 14 - 2);
  EXPECT_NE(TableEntry(5), 0);
  EXPECT_NE(TableEntry(6), 0);
  EXPECT_EQ(RebuildCardList(), Lines{});
  // The marks around the clusters are untouched.
  EXPECT_EQ(TableEntry(0), 0xFFF8);
  EXPECT_EQ(TableEntry(1), kEndOfChain);
  EXPECT_EQ(TableEntry(17), kEndOfChain);
  EXPECT_EQ(VolumeImage.allocationTable.size(), 512u);
}

TEST_F(engine_hostile, NamesThatWouldLeaveTheFolderAreRefused) {
  const std::string names[] = {"../up.mp3", "/etc/x.mp3", "a/b.mp3", "a\\b.mp3", "C:x.mp3",
                               "..",        "tab\t.mp3", std::string("\0x.mp3", 6), ".bashrc", "notes.txt",
                               ".mp3",      "a.mp3.sh"};
  PokeTable(2, kEndOfChain);
  std::uint32_t index = 0;
  for (const std::string& name : names) PokeFile(index++, name, 2, 100);
  Remount();
  ASSERT_EQ(RebuildCardList().size(), std::size(names));

  const std::string out = dir_ / "deep/out";
  std::filesystem::create_directories(out);
  const Lines around = FolderNames(dir_.path());
  for (std::int32_t r = 1; r <= CardFileCount; ++r) {
    SCOPED_TRACE(CardFileTable[r].Name);
    std::string pcName;
    EXPECT_EQ(FetchCardFileTo(r, out, {}, &pcName), kOpUnsafeName);
  }
  EXPECT_TRUE(FolderNames(out).empty());
  EXPECT_EQ(FolderNames(dir_ / "deep"), Lines{"out"});
  EXPECT_EQ(FolderNames(dir_.path()), around);
}

// A recording that cannot be named because every name slot is taken keeps
// the player's name mark 0 and slot 0. Its slot field then names nothing: it
// must be listed under its recording name, not under the name of the file
// that owns slot 0 (two equal lines, and a delete or fetch of that name could
// take the wrong file).
TEST_F(engine_hostile, AFullNameTableLeavesARecordingUnnamed) {
  // 240 named files take every slot: 127 music files and 113 voice files.
  for (std::uint32_t i = 0; i < 240; ++i) {
    const bool music = i < 127;
    std::string name = std::to_string(1000 + i).substr(1);
    name = music ? "f" + name + ".mp3" : "v" + name + ".voc";
    const auto slot = static_cast<std::uint16_t>(i * 64);
    PokeSlot(slot, static_cast<std::uint16_t>(name.size()), name);
    const auto id = static_cast<std::uint8_t>(music ? i + 1 : 0x80 + (i - 126));
    PokeEntry(i, id, id, slot, kEndOfChain, 0);
  }
  const Bytes voice = Content(1000, 2);
  player::RecordInfo info;
  ASSERT_EQ(player_->core().Record(voice, &info), player::RecordResult::kOk);
  ASSERT_EQ(info.fileId, 0xF2);
  Remount();

  const Bytes names = CardSectors(1, 30);
  const std::string before = MakeVoiceName(0xF2);
  const Lines lines = RebuildCardList();
  const std::string after = MakeVoiceName(0xF2);
  ASSERT_EQ(lines.size(), 241u);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "f000.mp3"), 1);
  EXPECT_TRUE(lines.back() == before || lines.back() == after) << lines.back();
  EXPECT_TRUE(log_.empty());  // nothing named, nothing written
  EXPECT_TRUE(Bytes(VolumeImage.nameTable, VolumeImage.nameTable + kNameTableBytes) == names);
  EXPECT_EQ(FetchBack(lines.back()), voice);
}

// Table entries 0 and 1 hold the table's header. On a damaged card they may
// read 0; they must still never be counted or chosen as clusters (a file
// "stored" in cluster 0 would have its data dropped and later be refused as
// damaged).
TEST_F(engine_hostile, AHalfDeletedEntryLeavesALivingFilesNameAlone) {
  // A released entry keeps its slot field; once that slot was given to
  // another file, dropping the stale entry must not empty it.
  PokeFile(0, "keep.mp3", kEndOfChain, 0);
  PokeEntry(1, 5, 0, 0, kEndOfChain, 0);  // half-deleted, slot 0
  Remount();
  EXPECT_EQ(RebuildCardList(), Lines{"keep.mp3"});
  EXPECT_EQ(SlotLength(0), 8);
  EXPECT_EQ(DirEntryAt(0, 32)[kEntryFileIdOffset], 0);
  EXPECT_TRUE(hooks_.messages.empty());
}

TEST_F(engine_hostile, TheTableHeaderIsNeverHandedOutAsClusters) {
  PokeTable(0, 0);
  PokeTable(1, 0);
  Remount();
  EXPECT_EQ(CountFreeClusters(), 14);
  CollectFreeClusters(3);
  EXPECT_EQ(ClusterList, (std::vector<std::uint16_t>{2, 3, 4, kEndOfChain}));

  const Bytes data = Content(65536 + 10, 1);
  ASSERT_EQ(Store("song.mp3", data), kOpOk);
  ASSERT_EQ(MountVolume(), kMountOk);
  EXPECT_EQ(FetchBack("song.mp3"), data);
}

}  // namespace
