// The card volume: formatting, the card check, mounting and flushing, on
// cards from the smallest to beyond 2 GiB; what judges only the card's bytes
// on each of the three ways the engine reaches a card.
#include <gtest/gtest.h>

#include <chrono>

#include "support/engine.h"

using namespace zk27_test;

namespace {

// What the volume cases read and patch on the card, whichever way the engine
// reaches it.
template <class Card>
class VolumeFixture : public Card {
 protected:
  Bytes BootSector() const { return this->CardSectors(32, 1); }
  void PatchBoot(std::size_t offset, const Bytes& bytes) {
    ASSERT_TRUE(WriteAt(this->image_, 32 * 512 + offset, bytes));
  }
  // Sets table entry `cluster` in both copies on the card.
  void PatchTable(std::uint32_t sectorsPerTable, std::uint32_t cluster, std::uint16_t value) {
    const Bytes v = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
    for (std::uint32_t copy = 0; copy < 2; ++copy)
      ASSERT_TRUE(WriteAt(this->image_, (33 + copy * sectorsPerTable) * 512ull + cluster * 2, v));
  }
};

// The cases that judge results and the card's bytes, on the card through the
// player in this process, attached directly and through zk27-player's socket.
class engine_volume : public VolumeFixture<AnyCardTest> {};
INSTANTIATE_TEST_SUITE_P(, engine_volume, kAllCardSources, CardSourceName);

// The cases that look at the commands the player receives, count them or make
// the player fail: the player in this process, which logs and injects them.
class engine_volume_inprocess : public VolumeFixture<CardTest> {
 protected:
  std::uint16_t MaxCount() const {
    std::uint16_t m = 0;
    for (const auto& c : log_) m = std::max(m, c.count);
    return m;
  }
};

TEST_F(engine_volume_inprocess, FormatLaysOutA250000SectorCard) {
  StartPlayer(250000);
  ASSERT_TRUE(WriteAt(image_, 512, Bytes(80 * 512, 0xAA)));  // sectors 1..80 hold old data
  ASSERT_EQ(FormatCard(), kFormatOk);
  EXPECT_EQ(DeviceState, 0);
  // The directory and the names go before the tables: a format cut short
  // leaves no entry over clusters the new tables call free. A card that holds
  // no volume has the directory's place emptied before the boot sector
  // points there.
  EXPECT_EQ(log_, (std::vector<Command>{{kCmdIdentify, 0, 1}, Read(32, 1), Write(49, 32), Write(32, 1), Read(32, 1),
                                        Write(49, 32), Write(1, 30), Write(33, 8), Write(41, 8)}));

  const Bytes boot = BootSector();
  const Bytes head = {0x00, 0x00, 0x00, 'V', 'O', 'X', 'B', 'R', 'I', 'C', 'K', 0x00, 0x02, 0x80, 0x01, 0x00,
                      0x02, 0x00, 0x02, 0x00, 0x00, 0xF0, 0x08, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                      0x00, 0x90, 0xD0, 0x03, 0x00};
  EXPECT_EQ(Bytes(boot.begin(), boot.begin() + 36), head);
  EXPECT_EQ(std::string(boot.begin() + 44, boot.begin() + 62), "ZK27 PROPRIETARY!!");
  EXPECT_EQ(Bytes(boot.begin() + 62, boot.begin() + 510), Bytes(448, 0));
  EXPECT_EQ(Bytes(boot.begin() + 36, boot.begin() + 44), Bytes(8, 0));
  EXPECT_EQ(boot[510], 0x12);
  EXPECT_EQ(boot[511], 0x34);

  const Bytes copy1 = CardSectors(33, 8), copy2 = CardSectors(41, 8);
  EXPECT_EQ(copy1, copy2);
  EXPECT_EQ(Bytes(copy1.begin(), copy1.begin() + 4), (Bytes{0xF8, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Bytes(copy1.begin() + 4, copy1.begin() + 3906), Bytes(3902, 0));
  EXPECT_EQ(Bytes(copy1.begin() + 3906, copy1.end()), Bytes(190, 0xFF));
  EXPECT_EQ(CardSectors(49, 32), Bytes(32 * 512, 0));
  EXPECT_EQ(CardSectors(1, 30), Bytes(30 * 512, 0));

  ASSERT_EQ(MountVolume(), kMountOk);
  EXPECT_EQ(VolumeImage.dirStart, 49u);
  EXPECT_EQ(VolumeImage.dataStart, 81u);
  EXPECT_EQ(CountFreeClusters(), 1951);
  EXPECT_EQ(CheckCard(), kCardOk);
}

TEST_P(engine_volume, FormatOfASmallCardGivesTheStandardLayout) {
  // The other tests lay this layout down by hand (FormatImage)
  // to save the format's pause; both must give the same card.
  StartCard(2048);
  ASSERT_EQ(FormatCard(), kFormatOk);
  const Bytes formatted = ReadFile(image_).value();
  ASSERT_TRUE(MakeBlankImage(image_, 2048));
  FormatQuickly();
  EXPECT_TRUE(formatted == ReadFile(image_));
}

// The pause after the boot sector is the player's: a card attached directly
// is formatted without it, to the same bytes.
TEST_F(engine_volume_inprocess, FormatPausesOnlyForThePlayer) {
  using Clock = std::chrono::steady_clock;
  StartPlayer(2048);
  auto start = Clock::now();
  ASSERT_EQ(FormatCard(), kFormatOk);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
  const Bytes throughThePlayer = ReadFile(image_).value();

  player_.reset();
  const std::string direct = dir_ / "direct.img";
  ASSERT_TRUE(MakeBlankImage(direct, 2048));
  std::string error;
  ASSERT_TRUE(AttachCardImage(direct, &error)) << error;
  start = Clock::now();
  ASSERT_EQ(FormatCard(), kFormatOk);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(300));
  DetachCardImage();
  EXPECT_TRUE(ReadFile(direct) == throughThePlayer);
}

TEST_F(engine_volume_inprocess, SmallestCards) {
  StartPlayer(128);
  ASSERT_EQ(FormatCard(), kFormatOk);
  Bytes table(512, 0xFF);
  table[0] = 0xF8;
  EXPECT_EQ(CardSectors(33, 1), table);
  EXPECT_EQ(CardSectors(34, 1), table);
  ASSERT_EQ(MountVolume(), kMountOk);
  EXPECT_EQ(CountFreeClusters(), 0);
  log_.clear();
  EXPECT_EQ(Store("one.mp3", Bytes(1, 7)), kOpNoSpace);
  EXPECT_TRUE(log_.empty());

  StartPlayer(127);
  EXPECT_EQ(FormatCard(), kFormatCardTooSmall);
  EXPECT_EQ(DeviceState, 0);
  EXPECT_EQ(log_, (std::vector<Command>{{kCmdIdentify, 0, 1}}));
  EXPECT_EQ(ReadFile(image_), Bytes(127 * 512, 0));
}

TEST_P(engine_volume, CheckCardLooksAtLabelAndSignature) {
  StartCard(2048);
  FormatQuickly();
  EXPECT_EQ(CheckCard(), kCardOk);
  const Bytes label = {'V', 'O', 'X', 'B', 'R', 'I', 'C', 'K'};
  for (const char* other : {"VOXBRICX", "voxbrick", "VOXBRICk", "OXBRICK "}) {
    SCOPED_TRACE(other);
    PatchBoot(3, Bytes(other, other + 8));
    EXPECT_EQ(CheckCard(), kCardForeign);
  }
  PatchBoot(3, label);
  PatchBoot(510, {0x34, 0x12});
  EXPECT_EQ(CheckCard(), kCardForeign);
  PatchBoot(510, {0x12, 0x34});
  EXPECT_EQ(CheckCard(), kCardOk);
  EXPECT_TRUE(hooks_.messages.empty());
  EXPECT_EQ(DeviceState, 0);
}

TEST_F(engine_volume_inprocess, CheckCardReportsADeviceThatCannotRead) {
  player::InProcessPlayer& p = StartPlayer(2048);
  FormatQuickly();
  // A proper BootSector left in the buffer by an earlier read must not pass
  // for this card's.
  ReadCardSectors(32, 1);
  ASSERT_EQ(DeviceState, 0);

  struct Case {
    const char* name;
    std::function<void()> fault, mend;
    std::string text;  // empty: any one message
  };
  const Case cases[] = {
      {"no card", [&] { p.core().Eject(); }, [&] { p.core().Insert(); },
       " There is No CF Card in the device. \r\n Please Insert the CF Card and restart the Program."},
      {"busy", [&] { p.core().SetBusy(true); }, [&] { p.core().SetBusy(false); }, "Device Busy!!\r\nPlease Reconnect."},
      {"transport", [&] { p.core().FailAfter(1); }, [] {}, " Device Busy !!\r\nPlease Reconnect the Device!"},
      {"re-check", [&] { p.core().RequestRecheck(); }, [] {}, ""},
      {"unplugged", [&] { p.Unplug(); }, [&] { p.Plug(); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hooks_.messages.clear();
    c.fault();
    EXPECT_EQ(CheckCard(), kCardUnreadable);
    c.mend();
    ASSERT_EQ(hooks_.messages.size(), 1u);
    if (!c.text.empty()) {
      EXPECT_EQ(hooks_.messages[0], c.text);
    }
    EXPECT_EQ(DeviceState, 0);  // the check leaves the state alone
  }
  EXPECT_EQ(CheckCard(), kCardOk);
}

TEST_F(engine_volume_inprocess, TablesThatDoNotFitTheCardAreRefused) {
  StartPlayer(2048);
  struct Case {
    const char* name;
    std::size_t offset;
    Bytes value;
  };
  const Case cases[] = {
      {"no table sectors", 22, {0x00, 0x00}},
      {"65,535 table sectors", 22, {0xFF, 0xFF}},
      {"1,024 root entries (64 directory sectors)", 17, {0x00, 0x04}},
      {"no root entries", 17, {0x00, 0x00}},
      {"50 total sectors, before the data area", 32, {50, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FormatQuickly();
    ASSERT_EQ(MountVolume(), kMountOk);
    ASSERT_EQ(Store("kept.mp3", {}), kOpOk);
    PatchBoot(c.offset, c.value);

    hooks_.messages.clear();
    EXPECT_EQ(CheckCard(), kCardUnreadable);
    EXPECT_EQ(hooks_.messages.size(), 1u);
    EXPECT_EQ(MountVolume(), kMountBadGeometry);
    // Nothing of the card mounted before is left in the image.
    EXPECT_FALSE(VolumeImage.mounted);
    EXPECT_EQ(CountFreeClusters(), 0);
    EXPECT_EQ(Bytes(VolumeImage.directory, VolumeImage.directory + sizeof(VolumeImage.directory)),
              Bytes(sizeof(VolumeImage.directory), 0));
    EXPECT_EQ(RebuildCardList(), std::vector<std::string>{});
    const std::uint64_t before = Served();
    FlushVolume();
    EXPECT_EQ(Served(), before);
  }
}

// A refused BootSector's numbers (here 4,095 directory sectors) must not stay
// behind for the entry searches to follow, and a file sent to a volume that is
// not mounted is not stored: FlushVolume would write nothing, so an answer of
// success would lose the file. Run in a child process: a crash fails the case.
TEST_P(engine_volume, NothingIsStoredOnARefusedVolume) {
  StartCard(2048);
  FormatQuickly();
  PatchBoot(17, {0xFF, 0xFF});  // 65,535 root entries
  ASSERT_EQ(MountVolume(), kMountBadGeometry);
  const Bytes card = ReadFile(image_).value();
  const int result = InChildProcess([&] { return static_cast<int>(Store("empty.mp3", {})); });
  EXPECT_NE(result, -1) << "the engine crashed";
  EXPECT_NE(result, kOpOk);
  EXPECT_TRUE(ReadFile(image_) == card);
}

TEST_F(engine_volume_inprocess, MountFormatsACardWithoutATotalSectorCount) {
  StartPlayer(4096);
  Layout g = FormatQuickly();
  PatchBoot(32, {0, 0, 0, 0});
  PatchTable(g.sectorsPerTable, 5, 0xFFFF);  // a stale table that the format must replace
  // The directory holds no entry: a blank card, formatted without a question.
  ASSERT_EQ(MountVolume(), kMountOk);
  EXPECT_EQ(log_.front(), Read(32, 1));
  EXPECT_EQ(log_[1], Read(33 + 2 * g.sectorsPerTable, 32));
  EXPECT_EQ(log_[2], (Command{kCmdIdentify, 0, 1}));
  EXPECT_EQ(ReadAt(image_, 32 * 512 + 32, 4), (Bytes{0x00, 0x10, 0x00, 0x00}));
  EXPECT_EQ(CountFreeClusters(), 30);  // 4,096 / 128 - 2
  EXPECT_EQ(CheckCard(), kCardOk);

  // An entry in the directory: the total is damage, and nothing is written.
  ASSERT_EQ(SendFileToCard(PcFile("keep.mp3", Content(1000, 1)), "keep.mp3", {}), kOpOk);
  PatchBoot(32, {0, 0, 0, 0});
  const Bytes before = *ReadFile(image_);
  EXPECT_EQ(CheckCard(), kCardZeroTotal);
  EXPECT_EQ(MountVolume(), kMountZeroTotal);
  EXPECT_FALSE(VolumeImage.mounted);
  EXPECT_EQ(*ReadFile(image_), before);
  ASSERT_EQ(MountVolume(MountMode::kSizedByCard), kMountOk);
  EXPECT_EQ(VolumeImage.totalSectors, 4096u);
  EXPECT_EQ(VolumeImage.bootTotalSectors, 0u);
}

TEST_F(engine_volume_inprocess, FlushWritesTheChangedSectorsInTheOrderAskedAndStopsAtTheFirstFailure) {
  StartMountedCard(2048);
  ASSERT_EQ(Store("a.mp3", Content(70000, 1)), kOpOk);
  ASSERT_EQ(Store("b.mp3", Content(1000, 2)), kOpOk);
  // A file sent: its chain in both copies, then its name, then its entry.
  EXPECT_EQ(WritesIn(log_).back(), Write(35, 1));
  const std::vector<Command> kAdding = {Write(33, 1), Write(34, 1), Write(1, 1), Write(35, 1)};
  EXPECT_EQ(std::vector<Command>(log_.end() - 4, log_.end()), kAdding);

  ASSERT_EQ(ReleaseCardFile("a.mp3"), kOpOk);
  log_.clear();
  FlushVolume(FlushOrder::kReleasing);
  const std::vector<Command> kReleasing = {Write(35, 1), Write(1, 1), Write(33, 1), Write(34, 1)};
  EXPECT_EQ(log_, kReleasing);
  EXPECT_EQ(CardSectors(33, 1), VolumeImage.allocationTable);
  EXPECT_EQ(CardSectors(34, 1), VolumeImage.allocationTable);
  EXPECT_EQ(CardSectors(35, 32), Bytes(VolumeImage.directory, VolumeImage.directory + 32 * 512));
  EXPECT_EQ(CardSectors(1, 30), Bytes(VolumeImage.nameTable, VolumeImage.nameTable + 30 * 512));

  // Nothing changed since: nothing is written.
  log_.clear();
  FlushVolume();
  EXPECT_TRUE(log_.empty());

  // A state left non-zero by an earlier command: nothing is written.
  VolumeImage.directory[100] ^= 1;
  DeviceState = kDeviceNotReady;
  FlushVolume();
  EXPECT_TRUE(log_.empty());

  // A failed write: nothing after it is attempted, and as the card's tables
  // are no longer known the image is unmounted: no flush writes anything
  // until the card is read again.
  DeviceState = kDeviceReady;
  ASSERT_EQ(Store("c.mp3", Content(1000, 3)), kOpOk);
  ASSERT_EQ(ReleaseCardFile("c.mp3"), kOpOk);
  const Bytes released(VolumeImage.directory, VolumeImage.directory + 32 * 512);
  FaultAtCommand(1, [](player::PlayerCore& core) { core.Eject(); });
  log_.clear();
  FlushVolume(FlushOrder::kReleasing);
  EXPECT_EQ(DeviceState, 2);
  EXPECT_EQ(log_, std::vector<Command>{Write(35, 1)});
  EXPECT_FALSE(VolumeImage.mounted);
  player_->core().Insert();
  DeviceState = kDeviceReady;
  log_.clear();
  FlushVolume(FlushOrder::kReleasing);
  EXPECT_TRUE(log_.empty());
  EXPECT_FALSE(CardTablesUnchanged());
  ASSERT_EQ(MountVolume(), kMountOk);
  // The ejected card never took the release: c.mp3 is still there.
  EXPECT_NE(Bytes(VolumeImage.directory, VolumeImage.directory + 32 * 512), released);
  EXPECT_TRUE(CardTablesUnchanged());
}

TEST_F(engine_volume_inprocess, ACommandCoversTheChangedSectorsWithinItsReach) {
  // 4 GiB-class table: 256 sectors a copy. Changes in table sectors 0, 5
  // and 200 take two commands a copy: 0..5, then 200.
  StartPlayer(8388608);
  FormatQuickly();
  ASSERT_EQ(MountVolume(), kMountOk);
  log_.clear();
  SetTableEntry(3, kEndOfChain);
  SetTableEntry(5 * 256 + 1, kEndOfChain);
  SetTableEntry(200 * 256 + 7, kEndOfChain);
  FlushVolume();
  const std::uint32_t spt = VolumeImage.sectorsPerTable;
  ASSERT_EQ(spt, 256u);
  EXPECT_EQ(log_, (std::vector<Command>{Write(33, 6), Write(33 + 200, 1), Write(33 + spt, 6), Write(33 + spt + 200, 1)}));
  EXPECT_EQ(CardSectors(33 + spt, spt), VolumeImage.allocationTable);
}

TEST_F(engine_volume_inprocess, CardsAbove160MiBStoreFilesPastCluster2560) {
  StartPlayer(300 * 2048);  // 614,400 sectors: 4,800 clusters
  ASSERT_EQ(FormatCard(), kFormatOk);
  ASSERT_EQ(MountVolume(), kMountOk);
  ASSERT_EQ(VolumeImage.sectorsPerTable, 19);
  EXPECT_EQ(CountFreeClusters(), 4798);
  // Everything up to cluster 2,600 is taken.
  Bytes used(2599 * 2, 0xFF);
  for (std::uint32_t copy = 0; copy < 2; ++copy) ASSERT_TRUE(WriteAt(image_, (33 + copy * 19) * 512ull + 4, used));
  ASSERT_EQ(MountVolume(), kMountOk);
  EXPECT_EQ(CountFreeClusters(), 4798 - 2599);

  const Bytes data = Content(2 * 65536 + 1000, 3);
  ASSERT_EQ(Store("far.mp3", data), kOpOk);
  const std::uint8_t* e = EntryOf("far.mp3");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(EntryFirstCluster(e), 2601);
  EXPECT_EQ(CardSectors(VolumeImage.dataStart + 2599 * 128, 128), Bytes(data.begin(), data.begin() + 65536));
  EXPECT_EQ(CardSectors(33, 19), CardSectors(52, 19));

  ASSERT_EQ(MountVolume(), kMountOk);
  EXPECT_EQ(FetchBack("far.mp3"), data);
  EXPECT_LE(MaxCount(), 128);
}

TEST_F(engine_volume_inprocess, TheLargestCardStopsAtTheClusterNumbersLimit) {
  // 4 GiB: 65,536 clusters, of which cluster numbers from 0xFFF0 up would be
  // marks, not clusters.
  StartPlayer(8388608);
  ASSERT_EQ(FormatCard(), kFormatOk);
  ASSERT_EQ(MountVolume(), kMountOk);
  EXPECT_EQ(VolumeImage.sectorsPerTable, 256);
  EXPECT_EQ(CountFreeClusters(), 0xFFF0 - 2);
  EXPECT_EQ(ReadAt(image_, 33 * 512ull + 0xFFEF * 2, 4), (Bytes{0x00, 0x00, 0xFF, 0xFF}));
  EXPECT_EQ(ReadAt(image_, 33 * 512ull + 0xFFF0 * 2, 32), Bytes(32, 0xFF));
  EXPECT_LE(MaxCount(), 128);
}

TEST_F(engine_volume_inprocess, ClustersPastTheCardsEndAreNeverUsed) {
  // 4,227,072 sectors (2,064 MiB): 33,024 table entries in 129 sectors; the
  // data area starts at 323, so cluster 33,023 would end one sector past the
  // card.
  constexpr std::uint32_t kSectors = 4227072;
  StartPlayer(kSectors);
  ASSERT_EQ(FormatCard(), kFormatOk);
  EXPECT_EQ(log_, (std::vector<Command>{{kCmdIdentify, 0, 1}, Read(32, 1), Write(291, 32), Write(32, 1),
                                        Read(32, 1), Write(291, 32),
                                        Write(1, 30), Write(33, 128), Write(161, 1), Write(162, 128),
                                        Write(290, 1)}));
  EXPECT_EQ(ReadAt(image_, 33 * 512ull + 33023 * 2, 2), (Bytes{0xFF, 0xFF}));
  log_.clear();
  ASSERT_EQ(MountVolume(), kMountOk);
  EXPECT_EQ(log_, (std::vector<Command>{Read(32, 1), Read(33, 128), Read(161, 1), Read(291, 32), Read(1, 30)}));
  EXPECT_EQ(VolumeImage.dataStart, 323u);
  EXPECT_EQ(CountFreeClusters(), 33021);

  // All but the last two clusters on the card taken, and the entry past the
  // card's end shown free, as another formatter might leave it.
  Bytes used(33019 * 2, 0xFF);
  for (std::uint32_t copy = 0; copy < 2; ++copy) {
    ASSERT_TRUE(WriteAt(image_, (33 + copy * 129) * 512ull + 4, used));
    ASSERT_TRUE(WriteAt(image_, (33 + copy * 129) * 512ull + 33023 * 2, {0, 0}));
  }
  ASSERT_EQ(MountVolume(), kMountOk);
  EXPECT_EQ(CountFreeClusters(), 2);
  log_.clear();
  EXPECT_EQ(Store("three.mp3", Content(2 * 65536 + 1, 4)), kOpNoSpace);
  EXPECT_TRUE(log_.empty());

  const Bytes data = Content(2 * 65536, 5);
  ASSERT_EQ(Store("two.mp3", data), kOpOk);
  for (const Command& c : log_) EXPECT_LE(std::uint64_t{c.lba} + c.count, kSectors) << c;
  EXPECT_LE(MaxCount(), 128);
  ASSERT_EQ(MountVolume(), kMountOk);
  EXPECT_EQ(FetchBack("two.mp3"), data);
  EXPECT_EQ(CountFreeClusters(), 0);
}

}  // namespace

namespace {

// A format that fails half-way leaves the image describing neither the old
// card nor the new one: nothing may be flushed from it until a mount succeeds.
TEST_F(engine_volume_inprocess, AFailedFormatLeavesNothingToFlush) {
  StartMountedCard(2048);
  ASSERT_EQ(Store("a.mp3", Content(1000, 1)), kOpOk);
  // The identify command answers; the BootSector write fails.
  FaultAtCommand(2, [](player::PlayerCore& core) { core.Eject(); });
  EXPECT_EQ(FormatCard(), kFormatDeviceFailed);
  EXPECT_FALSE(VolumeImage.mounted);
  player_->core().Insert();
  DeviceState = kDeviceReady;
  const std::uint64_t before = Served();
  FlushVolume();
  EXPECT_EQ(Served(), before);
  EXPECT_NE(Store("b.mp3", Content(10, 2)), kOpOk);
  EXPECT_EQ(Served(), before);
  // A mount makes the image whole again, with the old card's file.
  ASSERT_EQ(MountVolume(), kMountOk);
  EXPECT_EQ(RebuildCardList(), std::vector<std::string>{"a.mp3"});
}

}  // namespace
