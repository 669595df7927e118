// The player core, byte for byte through its message interface, over real
// image files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <unistd.h>

#include "player_core.h"
#include "support/card_image.h"
#include "support/files.h"
#include "support/player_protocol.h"

using namespace zk27_test;
using player::PlayerCore;
using player::RecordInfo;
using player::RecordResult;
using player::Step;

namespace {

constexpr std::uint32_t kSectors = 4096;  // a 2 MiB card

struct Answer {
  Step step;
  std::vector<Bytes> replies;
};

class player_core : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    image_ = dir_ / "card.img";
    ASSERT_TRUE(MakeBlankImage(image_, kSectors));
    fd_ = ::open(image_.c_str(), O_RDWR);
    ASSERT_GE(fd_, 0);
    core_ = std::make_unique<PlayerCore>(fd_);
    core_->BeginCommand();
  }
  void TearDown() override {
    core_.reset();
    if (fd_ >= 0) ::close(fd_);
  }

  Answer Send(const Bytes& message) {
    Answer a;
    a.step = core_->OnHostMessage(message.data(), message.size(), a.replies);
    return a;
  }
  // A command that is refused: exactly the status and the failed completion.
  void ExpectRefused(const Bytes& command, std::uint8_t status) {
    Answer a = Send(command);
    EXPECT_EQ(a.step, Step::kComplete);
    ASSERT_EQ(a.replies.size(), 2u);
    EXPECT_EQ(a.replies[0], (Bytes{0x00, status}));
    EXPECT_EQ(a.replies[1], Completion(1));
  }
  void ExpectStatusOk() {
    Answer a = Send(StatusCommand());
    EXPECT_EQ(a.step, Step::kComplete);
    EXPECT_EQ(a.replies, (std::vector<Bytes>{kOkStatus, Completion(0)}));
  }

  TempDir dir_;
  std::string image_;
  int fd_ = -1;
  std::unique_ptr<PlayerCore> core_;
};

// --- The four commands -----------------------------------------------------

TEST_F(player_core, IdentifyAnswersWithCardInformation) {
  Answer a = Send(IdentifyCommand());
  EXPECT_EQ(a.step, Step::kComplete);
  ASSERT_EQ(a.replies.size(), 3u);
  EXPECT_EQ(a.replies[0], kOkStatus);
  Bytes expected(512, 0);
  expected[0] = 0x84;
  expected[1] = 0x8A;
  expected[16] = 0x10;  // 4096 sectors = 0x00001000, big-endian at 14
  EXPECT_EQ(a.replies[1], expected);
  EXPECT_EQ(a.replies[2], Completion(0));
  EXPECT_EQ(core_->SectorCount(), kSectors);
}

TEST_F(player_core, StatusCommandHasNoDataPhase) { ExpectStatusOk(); }

TEST_F(player_core, ReadSendsTheImageSectorsAsOneMessage) {
  Bytes expected;
  for (std::uint32_t s = 100; s < 103; ++s) {
    ASSERT_TRUE(WriteAt(image_, s * 512ull, Pattern(s)));
    const Bytes sector = Pattern(s);
    expected.insert(expected.end(), sector.begin(), sector.end());
  }
  Answer a = Send(ReadCommand(100, 3));
  EXPECT_EQ(a.step, Step::kComplete);
  ASSERT_EQ(a.replies.size(), 3u);
  EXPECT_EQ(a.replies[0], kOkStatus);
  EXPECT_EQ(a.replies[1], expected);
  EXPECT_EQ(a.replies[2], Completion(0));
}

// The 128 sectors of a write, sector i filled with Pattern(i, seed).
Bytes WriteData(std::uint8_t seed) {
  Bytes data;
  for (std::uint32_t i = 0; i < 128; ++i) {
    const Bytes sector = Pattern(i, seed);
    data.insert(data.end(), sector.begin(), sector.end());
  }
  return data;
}

TEST_F(player_core, WriteReachesTheImageWhenItsDataIsWhole) {
  const std::uint64_t at = (kSectors - 128) * 512ull;
  // The data as one message, as the host sends it.
  Answer a = Send(WriteCommand(kSectors - 128, 128));
  EXPECT_EQ(a.step, Step::kAwaitData);
  EXPECT_EQ(a.replies, (std::vector<Bytes>{kOkStatus}));
  a = Send(WriteData(3));
  EXPECT_EQ(a.step, Step::kComplete);
  EXPECT_EQ(a.replies, (std::vector<Bytes>{Completion(0)}));
  EXPECT_EQ(ReadAt(image_, at, 128 * 512), WriteData(3));
  ExpectStatusOk();  // the next message is a new command again

  // The same data split into 16 KiB parts, as a USB host controller may hand
  // over one transfer: nothing is on the card before the last part.
  const Bytes data = WriteData(9);
  Send(WriteCommand(kSectors - 128, 128));
  for (std::size_t part = 0; part < 3; ++part) {
    a = Send(Bytes(data.begin() + part * 16384, data.begin() + (part + 1) * 16384));
    ASSERT_EQ(a.step, Step::kAwaitData);
    ASSERT_TRUE(a.replies.empty());
  }
  EXPECT_EQ(ReadAt(image_, at, 128 * 512), WriteData(3));
  a = Send(Bytes(data.begin() + 3 * 16384, data.end()));
  EXPECT_EQ(a.step, Step::kComplete);
  EXPECT_EQ(a.replies, (std::vector<Bytes>{Completion(0)}));
  EXPECT_EQ(ReadAt(image_, at, 128 * 512), data);
}

TEST_F(player_core, ZeroSectorTransfersMoveNoData) {
  for (const Bytes& command : {ReadCommand(5, 0), WriteCommand(5, 0)}) {
    Answer a = Send(command);
    EXPECT_EQ(a.step, Step::kComplete);
    EXPECT_EQ(a.replies, (std::vector<Bytes>{kOkStatus, Completion(0)}));
  }
}

TEST_F(player_core, RequestsOutsideTheCardAreRefused) {
  Answer edge = Send(ReadCommand(kSectors - 2, 2));  // the card's last two sectors
  EXPECT_EQ(edge.replies.size(), 3u);
  ExpectRefused(ReadCommand(kSectors - 1, 2), 0x7F);
  ExpectRefused(WriteCommand(kSectors, 1), 0x7F);
  ExpectRefused(ReadCommand(0xFFFFFFFF, 1), 0x7F);  // LBA + count wraps in 32 bits
  ExpectRefused(ReadCommand(0, 129), 0x7F);
  ExpectRefused(WriteCommand(0, 129), 0x7F);
  ExpectRefused(CommandBlock(0x54, 0x80, 0, 1, 512), 0x7F);  // unknown code
  // A refused write takes no data: the next message is a command.
  ExpectStatusOk();
}

TEST_F(player_core, MalformedCommandBlocksAreRefusedAndCounted) {
  std::vector<Bytes> bad;
  bad.push_back({});
  bad.push_back(Bytes(30, 0));
  Bytes longer = StatusCommand();
  longer.push_back(0);
  bad.push_back(longer);
  for (std::size_t at : {0u, 3u, 13u, 14u, 15u}) {  // signature, LUN, length, group
    Bytes b = StatusCommand();
    b[at] ^= 0x01;
    bad.push_back(b);
  }
  bad.push_back(CommandBlock(0x52, 0x00, 0, 1, 512));  // read with the write direction
  bad.push_back(CommandBlock(0x51, 0x80, 0, 1, 512));  // write with the read direction
  bad.push_back(CommandBlock(0x52, 0x80, 0, 2, 512));  // length disagrees with count
  bad.push_back(CommandBlock(0x53, 0x80, 0, 1, 0));    // identify without its sector
  bad.push_back(CommandBlock(0x00, 0x80, 0, 0, 512));  // status with a data length
  for (std::size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(i);
    ExpectRefused(bad[i], 0x7F);
  }
  EXPECT_EQ(core_->CommandsServed(), bad.size());
  ExpectStatusOk();
}

TEST_F(player_core, RandomInputNeverLeavesTheProtocol) {
  std::mt19937 random(27);
  for (int round = 0; round < 2000; ++round) {
    Bytes m(random() % 64, 0);
    for (auto& b : m) b = static_cast<std::uint8_t>(random());
    if (m.size() >= 31 && round % 2) {  // often a real header around random fields
      const Bytes h = StatusCommand();
      std::copy(h.begin(), h.begin() + 16, m.begin());
    }
    Answer a = Send(m);
    if (a.step == Step::kAwaitData) {
      core_->BeginCommand();
      continue;
    }
    ASSERT_EQ(a.step, Step::kComplete);
    ASSERT_GE(a.replies.size(), 2u);
    ASSERT_EQ(a.replies.front().size(), 2u);
    ASSERT_EQ(a.replies.back().size(), 13u);
  }
}

TEST_F(player_core, BrokenWriteLeavesTheImageUntouched) {
  // After a first sector, data that is not whole sectors, or more than the
  // write still expects.
  for (const Bytes& wrong : {Bytes(100, 0xAA), Bytes(1024, 0xAA), Bytes(513, 0xAA)}) {
    SCOPED_TRACE(wrong.size());
    Send(WriteCommand(10, 2));
    EXPECT_EQ(Send(Pattern(10)).step, Step::kAwaitData);
    Answer a = Send(wrong);
    EXPECT_EQ(a.step, Step::kDrop);
    EXPECT_TRUE(a.replies.empty());
    EXPECT_FALSE(core_->AwaitingData());
    EXPECT_EQ(ReadAt(image_, 10 * 512, 1024), Bytes(1024, 0));
  }

  Send(WriteCommand(10, 2));
  Send(Pattern(10));
  core_->BeginCommand();  // the host went away
  EXPECT_FALSE(core_->AwaitingData());
  ExpectStatusOk();
  EXPECT_EQ(ReadAt(image_, 10 * 512, 1024), Bytes(1024, 0));
}

// --- Fault states ----------------------------------------------------------

TEST_F(player_core, EjectedCardIsReportedForEveryCommand) {
  core_->Eject();
  ExpectRefused(StatusCommand(), 0x80);
  ExpectRefused(IdentifyCommand(), 0x80);
  ExpectRefused(ReadCommand(0, 1), 0x80);
  ExpectRefused(WriteCommand(0, 1), 0x80);
  core_->Insert();
  ExpectStatusOk();
}

TEST_F(player_core, BusyAndNotReadyPlayersRefuseEveryCommand) {
  core_->SetBusy(true);
  ExpectRefused(ReadCommand(0, 1), 0x01);
  ExpectRefused(StatusCommand(), 0x01);
  core_->SetNotReady(true);  // outranks busy
  ExpectRefused(IdentifyCommand(), 0x7F);
  core_->SetBusy(false);
  ExpectRefused(StatusCommand(), 0x7F);
  core_->SetNotReady(false);
  ExpectStatusOk();
}

TEST_F(player_core, RecheckIsReportedOnceByTheNextAnsweredCommand) {
  core_->RequestRecheck();
  core_->Eject();
  ExpectRefused(StatusCommand(), 0x80);  // no card comes first; the re-check waits
  core_->Insert();
  ExpectRefused(ReadCommand(0, 1), 0x02);
  EXPECT_FALSE(core_->RecheckPending());
  ExpectStatusOk();
}

TEST_F(player_core, FailAfterDropsTheNthCommandOnce) {
  core_->FailAfter(3);
  ExpectStatusOk();
  ExpectStatusOk();
  Answer a = Send(ReadCommand(0, 1));
  EXPECT_EQ(a.step, Step::kDrop);
  EXPECT_TRUE(a.replies.empty());
  ExpectStatusOk();
  ExpectStatusOk();
  EXPECT_EQ(core_->CommandsServed(), 5u);  // the dropped one counts

  core_->FailAfter(1);
  core_->FailAfter(0);  // cancelled
  ExpectStatusOk();
}

TEST_F(player_core, ObserverSeesEachCommandBeforeItIsServed) {
  std::vector<std::pair<std::uint64_t, player::CommandInfo>> seen;
  core_->SetObserver([&](std::uint64_t n, const player::CommandInfo& info) {
    seen.emplace_back(n, info);
    if (n == 2) core_->Eject();  // the card goes out as the second command arrives
  });
  ExpectStatusOk();
  ExpectRefused(ReadCommand(0x01020304 % kSectors, 7), 0x80);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].first, 2u);
  EXPECT_TRUE(seen[1].second.wellFormed);
  EXPECT_EQ(seen[1].second.code, 0x52);
  EXPECT_EQ(seen[1].second.lba, 0x01020304u % kSectors);
  EXPECT_EQ(seen[1].second.count, 7u);
  EXPECT_EQ(seen[1].second.transferLength, 7u * 512);
}

// --- Recordings ------------------------------------------------------------

class player_core_record : public player_core {
 protected:
  void SetUp() override {
    player_core::SetUp();
    geo_ = FormatImage(image_, kSectors);
    ASSERT_EQ(geo_.sectorsPerTable, 1u);  // 32 clusters: one table sector
  }
  Bytes Table(int copy) { return ReadAt(image_, (33ull + copy * geo_.sectorsPerTable) * 512, 512); }
  Bytes Directory() { return ReadAt(image_, geo_.dirStart * 512ull, 32 * 512); }
  void SetTableEntry(std::uint32_t n, std::uint16_t v) {
    for (int copy = 0; copy < 2; ++copy)
      WriteAt(image_, (33ull + copy * geo_.sectorsPerTable) * 512 + 2 * n, Bytes{std::uint8_t(v), std::uint8_t(v >> 8)});
  }
  void SetEntryId(std::uint32_t index, std::uint8_t id) {
    WriteAt(image_, geo_.dirStart * 512ull + index * 32 + 12, Bytes{id});
  }
  static Bytes Recording(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>((i * 31) ^ (i >> 9));
    return b;
  }
  Layout geo_{};
};

TEST_F(player_core_record, RecordingOnAnEmptyCard) {
  const Bytes memo = Recording(150000);  // three clusters, the last one partly
  RecordInfo info;
  ASSERT_EQ(core_->Record(memo, &info), RecordResult::kOk);
  EXPECT_EQ(info.fileId, 0x81);
  EXPECT_EQ(info.firstCluster, 2u);
  EXPECT_EQ(info.clusterCount, 3u);
  EXPECT_EQ(info.dirLba, geo_.dirStart);
  EXPECT_EQ(info.dirOffset, 0u);

  const Bytes dir = Directory();
  Bytes entry(dir.begin(), dir.begin() + 32);
  Bytes expected(32, 0);
  expected[12] = 0x81;
  expected[13] = 1;
  expected[26] = 2;
  expected[28] = 150000 & 0xFF; expected[29] = (150000 >> 8) & 0xFF; expected[30] = 150000 >> 16;
  EXPECT_EQ(entry, expected);
  EXPECT_EQ(dir[32 + 12], 0);  // only one entry was used

  for (int copy = 0; copy < 2; ++copy) {
    const Bytes t = Table(copy);
    EXPECT_EQ(Le16(t, 4), 3u) << copy;
    EXPECT_EQ(Le16(t, 6), 4u) << copy;
    EXPECT_EQ(Le16(t, 8), 0xFFFFu) << copy;
    EXPECT_EQ(Le16(t, 10), 0u) << copy;
    EXPECT_EQ(Le16(t, 64), 0xFFFFu) << copy;  // the slack stays as formatted
  }
  EXPECT_EQ(ReadAt(image_, geo_.ClusterOffset(2), 150000), memo);
  // The rest of the last cluster is zero.
  EXPECT_EQ(ReadAt(image_, geo_.ClusterOffset(2) + 150000, 3 * 65536 - 150000), Bytes(3 * 65536 - 150000, 0));
}

TEST_F(player_core_record, RecordingTakesTheNextNumberAndTheLowestFreeClusters) {
  SetEntryId(0, 0x81);
  SetEntryId(1, 0x05);  // a music file's number does not count
  SetEntryId(3, 0x83);
  // Entry 2 is free but keeps the stale fields of a deleted file, its name
  // mark and slot included: none of them may survive into the recording.
  Bytes stale(32, 0xEE);
  stale[12] = 0;
  WriteAt(image_, geo_.dirStart * 512ull + 64, stale);
  SetTableEntry(2, 0xFFFF);
  SetTableEntry(4, 0xFFFF);
  const Bytes memo = Recording(65537);
  RecordInfo info;
  ASSERT_EQ(core_->Record(memo, &info), RecordResult::kOk);
  EXPECT_EQ(info.fileId, 0x84);
  EXPECT_EQ(info.dirOffset, 64u);
  const Bytes dir = Directory();
  Bytes expected(32, 0);
  expected[12] = 0x84;
  expected[13] = 1;
  expected[26] = 3;
  expected[28] = 0x01; expected[30] = 0x01;  // 65,537
  EXPECT_EQ(Bytes(dir.begin() + 64, dir.begin() + 96), expected);
  for (int copy = 0; copy < 2; ++copy) {
    EXPECT_EQ(Le16(Table(copy), 6), 5u);       // 3 -> 5, skipping the used 4
    EXPECT_EQ(Le16(Table(copy), 10), 0xFFFFu);
  }
  EXPECT_EQ(ReadAt(image_, geo_.ClusterOffset(3), 65536), Bytes(memo.begin(), memo.begin() + 65536));
  EXPECT_EQ(ReadAt(image_, geo_.ClusterOffset(5), 1), Bytes{memo.back()});
}

TEST_F(player_core_record, EmptyRecordingHasNoCluster) {
  const Bytes before = Table(0);
  RecordInfo info;
  ASSERT_EQ(core_->Record({}, &info), RecordResult::kOk);
  const Bytes dir = Directory();
  EXPECT_EQ(dir[12], 0x81);
  EXPECT_EQ(Le16(dir, 26), 0xFFFFu);
  EXPECT_EQ(Le32(dir, 28), 0u);
  EXPECT_EQ(Table(0), before);
}

TEST_F(player_core_record, RefusalsLeaveTheCardUntouched) {
  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::size_t size;
    RecordResult expected;
  };
  const Case cases[] = {
      {"ejected", [&] { core_->Eject(); }, 10, RecordResult::kNoCard},
      {"label", [&] { WriteAt(image_, 32 * 512 + 3, Bytes{'v'}); }, 10, RecordResult::kNoVolume},
      {"signature", [&] { WriteAt(image_, 32 * 512 + 510, Bytes{0x34, 0x12}); }, 10, RecordResult::kNoVolume},
      {"no table", [&] { WriteAt(image_, 32 * 512 + 22, Bytes{0, 0}); }, 10, RecordResult::kNoVolume},
      {"huge table", [&] { WriteAt(image_, 32 * 512 + 22, Bytes{0x00, 0x08}); }, 10, RecordResult::kNoVolume},
      {"no directory", [&] { WriteAt(image_, 32 * 512 + 17, Bytes{0x0F, 0}); }, 10, RecordResult::kNoVolume},
      {"unformatted", [&] { WriteAt(image_, 32 * 512 + 32, Bytes{0, 0, 0, 0}); }, 10, RecordResult::kNoVolume},
      {"directory full",
       [&] { for (std::uint32_t i = 0; i < 512; ++i) SetEntryId(i, 0x01); }, 10, RecordResult::kDirectoryFull},
      {"numbers", [&] { SetEntryId(7, 0xFF); }, 10, RecordResult::kNumbersExhausted},
      {"tiny volume", [&] { WriteAt(image_, 32 * 512 + 32, Bytes{60, 0, 0, 0}); }, 10, RecordResult::kNoVolume},
      {"card full", [] {}, 30 * 65536 + 1, RecordResult::kCardFull},  // the table has 30 clusters
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FormatImage(image_, kSectors);
    core_->Insert();
    c.prepare();
    const Bytes before = ReadFile(image_).value();
    EXPECT_EQ(core_->Record(Recording(c.size)), c.expected);
    EXPECT_TRUE(ReadFile(image_) == before);
  }
}

TEST_F(player_core_record, ClustersPastTheCardEndAreNeverUsed) {
  // A table that claims more free clusters than the card can hold.
  WriteAt(image_, 33 * 512, Bytes(512, 0));
  std::size_t inside = (kSectors - geo_.dataStart) / 128;  // 31 whole clusters fit
  EXPECT_EQ(core_->Record(Recording((inside + 1) * 65536)), RecordResult::kCardFull);
  RecordInfo info;
  ASSERT_EQ(core_->Record(Recording(inside * 65536), &info), RecordResult::kOk);
  EXPECT_EQ(info.clusterCount, inside);
  EXPECT_EQ(std::filesystem::file_size(image_), kSectors * 512ull);  // nothing written past the end
}

}  // namespace
