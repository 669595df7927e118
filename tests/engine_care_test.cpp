// Renaming a card file and choosing the play order: what the card holds
// after a rename or a new order, what a refusal leaves (nothing written),
// which sectors each writes, and what a cut in the order's directory write
// leaves behind. The cases that judge only results and the card's bytes run
// on each of the three ways the engine reaches a card; those that count the
// player's commands or cut them run on the player in this process.
#include <gtest/gtest.h>

#include <map>

#include "check.h"
#include "support/engine.h"
#include "support/card_image.h"

using namespace zk27_test;
using Lines = std::vector<std::string>;

namespace {

// A mounted card of 2,048 sectors (14 free clusters) and what the cases read
// of it, whichever way the engine reaches it.
template <class Card>
class CareFixture : public Card {
 protected:
  void SetUp() override {
    Card::SetUp();
    this->StartMountedCard(2048);
  }

  // The whole card as its image file holds it.
  Bytes CardBytes() const { return ReadFile(this->image_).value_or(Bytes{}); }

  // The card as another program would find it: read afresh and checked.
  std::vector<std::string> CardProblems() {
    EXPECT_EQ(MountVolume(), kMountOk);
    EXPECT_TRUE(ReadTableCopy2());
    return CheckVolume(IdentifiedCardSectors()).problems;
  }
  void ExpectCardSound() {
    const std::vector<std::string> problems = CardProblems();
    std::string text;
    for (const std::string& p : problems) text += p + "\n";
    EXPECT_TRUE(problems.empty()) << text;
  }

  // The FileId of each file the independent reading of the image finds.
  std::map<std::string, std::uint8_t> IdsOnCard() const {
    std::map<std::string, std::uint8_t> ids;
    for (const card_oracle::File& f : card_oracle::Examine(this->image_).files) ids[f.name] = f.id;
    return ids;
  }

  // The byte ranges where two images differ, as "first-last" offsets.
  static std::vector<std::pair<std::size_t, std::size_t>> Differences(const Bytes& a, const Bytes& b) {
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    const std::size_t n = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
      const bool differ = i >= a.size() || i >= b.size() || a[i] != b[i];
      if (!differ) continue;
      if (!runs.empty() && runs.back().second + 1 == i) runs.back().second = i;
      else runs.push_back({i, i});
    }
    return runs;
  }
  // True when every byte that differs lies in sectors [first, first + count).
  static bool OnlyWithin(const Bytes& before, const Bytes& after, std::uint32_t first, std::uint32_t count) {
    for (const auto& [from, to] : Differences(before, after))
      if (from < std::size_t{first} * 512 || to >= (std::size_t{first} + count) * 512) return false;
    return true;
  }

  // Music files m1..m5 and voice files v1, v2: one cluster each at most.
  std::map<std::string, Bytes> StoreSeven() {
    std::map<std::string, Bytes> files;
    std::uint32_t seed = 100;
    for (const char* name : {"m1.mp3", "m2.mp3", "m3.mp3", "v1.voc", "m4.mp3", "v2.voc", "m5.mp3"}) {
      files[name] = Content(1000 + seed, seed);
      ++seed;
      EXPECT_EQ(this->Store(name, files[name]), kOpOk) << name;
    }
    return files;
  }
  void ExpectFilesWhole(const std::map<std::string, Bytes>& files) {
    for (const auto& [name, bytes] : files) EXPECT_EQ(this->FetchBack(name), bytes) << name;
  }
};

class engine_care : public CareFixture<AnyCardTest> {};
INSTANTIATE_TEST_SUITE_P(, engine_care, kAllCardSources, CardSourceName);

class engine_care_inprocess : public CareFixture<CardTest> {};

// ---- renaming -----------------------------------------------------------------

TEST_P(engine_care, ARenameKeepsTheBytesTheFileIdAndTheKind) {
  const Bytes a = Content(70000, 1), b = Content(3000, 2), m = Content(500, 3);
  ASSERT_EQ(Store("a.mp3", a), kOpOk);
  ASSERT_EQ(Store("b.mp3", b), kOpOk);
  ASSERT_EQ(Store("memo.voc", m), kOpOk);
  const Bytes before = CardBytes();

  EXPECT_EQ(RenameCardFile("b.mp3", "second song.mp3"), kOpOk);
  EXPECT_EQ(RebuildCardList(), (Lines{"a.mp3", "second song.mp3", "memo.voc"}));
  EXPECT_EQ(RenameCardFile("memo.voc", "Monday.VOC"), kOpOk);
  EXPECT_EQ(RebuildCardList(), (Lines{"a.mp3", "second song.mp3", "Monday.VOC"}));
  // A name in the card's code page beyond ASCII, as the PC gives it.
  std::string euro;
  ASSERT_TRUE(CardNameFromPc("caf\u00e9 \u20ac.mp3", &euro));
  EXPECT_EQ(RenameCardFile("a.mp3", "caf\u00e9 \u20ac.mp3"), kOpOk);
  EXPECT_EQ(RebuildCardList(), (Lines{euro, "second song.mp3", "Monday.VOC"}));

  // Nothing but names changed: the tables, the directory and the data are
  // as they were, byte for byte.
  const Bytes after = CardBytes();
  EXPECT_TRUE(OnlyWithin(before, after, kNameTableLba, kNameTableSectors));
  EXPECT_NE(before, after);
  EXPECT_EQ(IdsOnCard(), (std::map<std::string, std::uint8_t>{{euro, 1}, {"second song.mp3", 2}, {"Monday.VOC", 0x81}}));
  EXPECT_EQ(FetchBack(euro), a);
  EXPECT_EQ(FetchBack("second song.mp3"), b);
  EXPECT_EQ(FetchBack("Monday.VOC"), m);
  EXPECT_FALSE(FetchBack("b.mp3").has_value());
  ExpectCardSound();
  EXPECT_TRUE(hooks_.messages.empty());
}

TEST_P(engine_care, EveryRefusalIsDecidedBeforeAnythingIsWritten) {
  ASSERT_EQ(Store("a.mp3", Content(70000, 1)), kOpOk);
  ASSERT_EQ(Store("b.mp3", Content(100, 2)), kOpOk);
  ASSERT_EQ(Store("memo.voc", Content(100, 3)), kOpOk);
  const Bytes before = CardBytes();
  const std::string longest = std::string(58, 'n') + ".mp3";  // 62 bytes
  struct Case {
    CardFileRef line;
    std::string name;
    CardOpResult result;
  };
  const std::vector<Case> cases = {
      {"a.mp3", std::string(59, 'n') + ".mp3", kOpNameTooLong},  // 63 bytes
      {"a.mp3", std::string(30, 'n') + "\u00e9\u00e9\u00e9\u00e9" + std::string(25, 'n') + ".mp3", kOpNameTooLong},
      {"a.mp3", "tab\there.mp3", kOpNameNotStorable},
      {"a.mp3", "bell\x07.mp3", kOpNameNotStorable},
      {"a.mp3", std::string("cut\0off.mp3", 11), kOpNameNotStorable},
      {"a.mp3", "back\\slash.mp3", kOpNameNotStorable},
      {"a.mp3", "drive:a.mp3", kOpNameNotStorable},
      {"a.mp3", "folder/a.mp3", kOpNameNotStorable},
      {"a.mp3", "..mp3", kOpNameNotStorable},
      {"a.mp3", "\u0142\u00f3d\u017a.mp3", kOpNameNotStorable},  // not in the code page
      {"a.mp3", "\xff\xfe.mp3", kOpNameNotStorable},               // not UTF-8
      {"a.mp3", "", kOpNameNotStorable},
      {"a.mp3", "a.voc", kOpWrongKind},
      {"memo.voc", "memo.mp3", kOpWrongKind},
      {"a.mp3", "a.txt", kOpWrongKind},
      {"a.mp3", "a", kOpWrongKind},
      {"a.mp3", "b.mp3", kOpNameOnCard},
      {"a.mp3", "memo.voc", kOpNameOnCard},
      {"gone.mp3", "c.mp3", kOpNotOnCard},
      {CardFileRef::OfFileId(7), "c.mp3", kOpNotOnCard},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("renaming " + c.line.name() + " to " + c.name);
    EXPECT_EQ(RenameCardFile(c.line, c.name), c.result);
    EXPECT_TRUE(CardBytes() == before) << "the card was written";
    EXPECT_EQ(DeviceState, 0);
  }
  EXPECT_EQ(RebuildCardList(), (Lines{"a.mp3", "b.mp3", "memo.voc"}));
  // The longest name the card holds is taken.
  EXPECT_EQ(RenameCardFile("a.mp3", longest), kOpOk);
  EXPECT_EQ(RebuildCardList(), (Lines{longest, "b.mp3", "memo.voc"}));
  EXPECT_EQ(FetchBack(longest), Content(70000, 1));
  ExpectCardSound();
}

TEST_P(engine_care, ARenameMayChangeOnlyTheCaseOrNothingAtAll) {
  ASSERT_EQ(Store("song.mp3", Content(2000, 5)), kOpOk);
  ASSERT_EQ(Store("other.mp3", Content(10, 6)), kOpOk);
  const Bytes before = CardBytes();
  // Its own name is no other file's.
  EXPECT_EQ(RenameCardFile("song.mp3", "song.mp3"), kOpOk);
  EXPECT_TRUE(CardBytes() == before);
  EXPECT_EQ(RenameCardFile("song.mp3", "Song.MP3"), kOpOk);
  EXPECT_EQ(RebuildCardList(), (Lines{"Song.MP3", "other.mp3"}));
  EXPECT_EQ(IdsOnCard(), (std::map<std::string, std::uint8_t>{{"Song.MP3", 1}, {"other.mp3", 2}}));
  EXPECT_EQ(FetchBack("Song.MP3"), Content(2000, 5));
  EXPECT_FALSE(FetchBack("song.mp3").has_value());
  // A file of that name in another case is another name.
  EXPECT_EQ(RenameCardFile("other.mp3", "song.mp3"), kOpOk);
  EXPECT_EQ(RebuildCardList(), (Lines{"Song.MP3", "song.mp3"}));
  ExpectCardSound();
}

// Two entries on one name slot (a damaged card): the file renamed gets a slot
// of its own; the other keeps the name.
TEST_P(engine_care, ARenameOfAFileOnASharedSlotGivesItASlotOfItsOwn) {
  ASSERT_EQ(Store("a.mp3", Content(100, 7)), kOpOk);
  ASSERT_EQ(Store("b.mp3", Content(70000, 8)), kOpOk);
  std::uint8_t* a = EntryOf("a.mp3");
  std::uint8_t* b = EntryOf("b.mp3");
  ASSERT_TRUE(a && b);
  DirEntry eb = DecodeDirEntry(b);
  FreeNameSlot(eb.nameSlot);
  eb.nameSlot = DecodeDirEntry(a).nameSlot;
  EncodeDirEntry(eb, b);
  FlushVolume(FlushOrder::kAdding);
  ASSERT_EQ(DeviceState, 0);
  ASSERT_EQ(RebuildCardList(), (Lines{"a.mp3", "a.mp3"}));
  ASSERT_FALSE(CardProblems().empty());

  EXPECT_EQ(RenameCardFile(CardFileRef::OfFileId(2), "b again.mp3"), kOpOk);
  EXPECT_EQ(RebuildCardList(), (Lines{"a.mp3", "b again.mp3"}));
  EXPECT_EQ(IdsOnCard(), (std::map<std::string, std::uint8_t>{{"a.mp3", 1}, {"b again.mp3", 2}}));
  EXPECT_NE(DecodeDirEntry(EntryOf("a.mp3")).nameSlot, DecodeDirEntry(EntryOf("b again.mp3")).nameSlot);
  EXPECT_EQ(FetchBack("a.mp3"), Content(100, 7));
  EXPECT_EQ(FetchBack("b again.mp3"), Content(70000, 8));
  ExpectCardSound();
}

TEST_P(engine_care, ARenameOfAFileWithoutAReadableNameGivesItOne) {
  ASSERT_EQ(Store("a.mp3", Content(100, 9)), kOpOk);
  ASSERT_EQ(Store("b.mp3", Content(100, 10)), kOpOk);
  ASSERT_EQ(Store("c.mp3", Content(100, 11)), kOpOk);
  std::uint8_t* b = EntryOf("b.mp3");
  ASSERT_NE(b, nullptr);
  FreeNameSlot(DecodeDirEntry(b).nameSlot);
  FlushVolume(FlushOrder::kAdding);
  ASSERT_EQ(DeviceState, 0);
  ASSERT_EQ(RebuildCardList(), (Lines{"a.mp3", "", "c.mp3"}));
  hooks_.messages.clear();

  // Its list line names nothing; its FileId names it.
  EXPECT_EQ(RenameCardFile("", "found.mp3"), kOpNotOnCard);
  EXPECT_EQ(RenameCardFile(CardFileRef::OfFileId(2), "found.mp3"), kOpOk);
  EXPECT_EQ(RebuildCardList(), (Lines{"a.mp3", "found.mp3", "c.mp3"}));
  EXPECT_TRUE(hooks_.messages.empty());
  EXPECT_EQ(IdsOnCard(), (std::map<std::string, std::uint8_t>{{"a.mp3", 1}, {"found.mp3", 2}, {"c.mp3", 3}}));
  EXPECT_EQ(FetchBack("found.mp3"), Content(100, 10));
  EXPECT_EQ(FetchBack("a.mp3"), Content(100, 9));
  ExpectCardSound();
}

// A slot holding what is no name (a length no slot can hold): the file gets
// a slot of its own, and the unreadable one is left for a repair to give
// back, as it was before the rename.
TEST_P(engine_care, ARenameOfAFileOnAnUnreadableSlotLeavesThatSlotToTheRepair) {
  ASSERT_EQ(Store("a.mp3", Content(100, 12)), kOpOk);
  ASSERT_EQ(Store("b.mp3", Content(100, 13)), kOpOk);
  std::uint8_t* b = EntryOf("b.mp3");
  ASSERT_NE(b, nullptr);
  const std::uint16_t slot = DecodeDirEntry(b).nameSlot;
  VolumeImage.nameTable[slot] = 200;
  FlushVolume(FlushOrder::kAdding);
  ASSERT_EQ(DeviceState, 0);
  ASSERT_EQ(CardProblems().size(), 2u);  // the entry without a name, the slot nobody holds

  RebuildCardList();
  EXPECT_EQ(RenameCardFile(CardFileRef::OfFileId(2), "found.mp3"), kOpOk);
  EXPECT_EQ(RebuildCardList(), (Lines{"a.mp3", "found.mp3"}));
  EXPECT_NE(DecodeDirEntry(EntryOf("found.mp3")).nameSlot, slot);
  EXPECT_EQ(VolumeImage.nameTable[slot], 200);
  EXPECT_EQ(CardProblems().size(), 1u);
  RepairVolume(IdentifiedCardSectors());
  ASSERT_EQ(DeviceState, 0);
  ExpectCardSound();
  EXPECT_EQ(FetchBack("found.mp3"), Content(100, 13));
  EXPECT_EQ(FetchBack("a.mp3"), Content(100, 12));
}

// ---- the play order --------------------------------------------------------------

TEST_P(engine_care, OrderPutsTheNamedFilesFirstAndTheRestAfterInTheirOrder) {
  const std::map<std::string, Bytes> files = StoreSeven();
  ASSERT_EQ(RebuildCardList(), (Lines{"m1.mp3", "m2.mp3", "m3.mp3", "m4.mp3", "m5.mp3", "v1.voc", "v2.voc"}));
  const Bytes before = CardBytes();
  const Layout layout = ReadLayout(image_);

  ASSERT_EQ(OrderMusicFiles({"m4.mp3", "m2.mp3"}), kOpOk);
  // The list shows the play order at once.
  EXPECT_EQ(RebuildCardList(), (Lines{"m4.mp3", "m2.mp3", "m1.mp3", "m3.mp3", "m5.mp3", "v1.voc", "v2.voc"}));
  EXPECT_EQ(IdsOnCard(), (std::map<std::string, std::uint8_t>{{"m4.mp3", 1},
                                                              {"m2.mp3", 2},
                                                              {"m1.mp3", 3},
                                                              {"m3.mp3", 4},
                                                              {"m5.mp3", 5},
                                                              {"v1.voc", 0x81},
                                                              {"v2.voc", 0x82}}));
  // Only the directory was written, and in it only the FileIds of music
  // entries: the voice entries, the names, the tables and the data stay.
  const Bytes after = CardBytes();
  EXPECT_TRUE(OnlyWithin(before, after, layout.dirStart, 32));
  for (const auto& [from, to] : Differences(before, after)) {
    EXPECT_EQ(from, to);
    EXPECT_EQ((from - layout.directory) % 32, kEntryFileIdOffset);
    EXPECT_FALSE(IsVoiceFileId(before[from]));
  }
  ExpectFilesWhole(files);
  ExpectCardSound();

  // Again, by FileId and with a name given twice; then everything named.
  ASSERT_EQ(OrderMusicFiles({"m5.mp3", CardFileRef::OfFileId(5), "m5.mp3"}), kOpOk);  // m5.mp3 is 5 now
  EXPECT_EQ(RebuildCardList(), (Lines{"m5.mp3", "m4.mp3", "m2.mp3", "m1.mp3", "m3.mp3", "v1.voc", "v2.voc"}));
  ASSERT_EQ(OrderMusicFiles({"m1.mp3", "m2.mp3", "m3.mp3", "m4.mp3", "m5.mp3"}), kOpOk);
  EXPECT_EQ(RebuildCardList(), (Lines{"m1.mp3", "m2.mp3", "m3.mp3", "m4.mp3", "m5.mp3", "v1.voc", "v2.voc"}));
  EXPECT_TRUE(CardBytes() == before) << "back in the first order, the card is as it was";
  // Nothing named: the order stays, and nothing is written.
  ASSERT_EQ(OrderMusicFiles({}), kOpOk);
  EXPECT_TRUE(CardBytes() == before);
  ExpectCardSound();
}

TEST_P(engine_care, OrderRefusesVoiceFilesAndMissingFilesWithoutWriting) {
  const std::map<std::string, Bytes> files = StoreSeven();
  RebuildCardList();
  const Bytes before = CardBytes();
  EXPECT_EQ(OrderMusicFiles({"m3.mp3", "v1.voc"}), kOpWrongKind);
  EXPECT_TRUE(CardBytes() == before);
  EXPECT_EQ(OrderMusicFiles({CardFileRef::OfFileId(0x82)}), kOpWrongKind);
  EXPECT_TRUE(CardBytes() == before);
  EXPECT_EQ(OrderMusicFiles({"m3.mp3", "gone.mp3"}), kOpNotOnCard);
  EXPECT_TRUE(CardBytes() == before);
  EXPECT_EQ(OrderMusicFiles({""}), kOpNotOnCard);
  EXPECT_TRUE(CardBytes() == before);
  EXPECT_EQ(RebuildCardList(), (Lines{"m1.mp3", "m2.mp3", "m3.mp3", "m4.mp3", "m5.mp3", "v1.voc", "v2.voc"}));
  EXPECT_EQ(DeviceState, 0);
}

// ---- the commands the player receives ----------------------------------------------

TEST_F(engine_care_inprocess, ARenameInPlaceIsOneNameTableSectorWrite) {
  // Nine files: the ninth name lies in the NameTable's second sector.
  for (const char* name : {"a.mp3", "b.mp3", "c.mp3", "d.mp3", "e.mp3", "f.mp3", "g.mp3", "h.mp3", "i.mp3"})
    ASSERT_EQ(Store(name, Content(10, 1)), kOpOk);
  const std::uint16_t slot = DecodeDirEntry(EntryOf("i.mp3")).nameSlot;
  ASSERT_EQ(slot, 8 * 64);
  log_.clear();
  ASSERT_EQ(RenameCardFile("i.mp3", "last one.mp3"), kOpOk);
  EXPECT_EQ(log_, (std::vector<Command>{Write(kNameTableLba + slot / 512, 1)}));

  // A refusal sends no command at all.
  log_.clear();
  EXPECT_EQ(RenameCardFile("a.mp3", "b.mp3"), kOpNameOnCard);
  EXPECT_EQ(RenameCardFile("a.mp3", "a.voc"), kOpWrongKind);
  EXPECT_EQ(OrderMusicFiles({"gone.mp3"}), kOpNotOnCard);
  EXPECT_TRUE(log_.empty());
}

TEST_F(engine_care_inprocess, ARenameToANewSlotWritesTheNameBeforeTheEntry) {
  ASSERT_EQ(Store("a.mp3", Content(10, 1)), kOpOk);
  ASSERT_EQ(Store("b.mp3", Content(10, 2)), kOpOk);
  std::uint8_t* b = EntryOf("b.mp3");
  ASSERT_NE(b, nullptr);
  // b.mp3's entry names an empty slot; its own is free again.
  DirEntry eb = DecodeDirEntry(b);
  FreeNameSlot(eb.nameSlot);
  eb.nameSlot = 10 * 64;
  EncodeDirEntry(eb, b);
  FlushVolume(FlushOrder::kAdding);
  RebuildCardList();
  log_.clear();
  ASSERT_EQ(RenameCardFile(CardFileRef::OfFileId(2), "b.mp3"), kOpOk);
  // The name first: a cut between the two leaves a name nobody owns, never
  // an entry whose name is missing.
  const std::uint32_t dirStart = VolumeImage.dirStart;
  EXPECT_EQ(log_, (std::vector<Command>{Write(kNameTableLba, 1), Write(dirStart, 1)}));
}

// A recording the player made has no name of its own: renamed under the name
// it is listed by, it gets a slot, written before its entry.
TEST_F(engine_care_inprocess, ARecordingWithoutANameIsRenamedIntoASlotOfItsOwn) {
  ASSERT_EQ(Store("a.mp3", Content(10, 1)), kOpOk);
  const std::vector<std::uint8_t> sound(70000, 0x5A);
  ASSERT_EQ(player_->core().Record(sound), player::RecordResult::kOk);
  ASSERT_EQ(MountVolume(), kMountOk);
  const std::string listed = MakeVoiceName(0x81);
  log_.clear();
  ASSERT_EQ(RenameCardFile(listed, "Tuesday.voc"), kOpOk);
  EXPECT_EQ(log_, (std::vector<Command>{Write(kNameTableLba, 1), Write(VolumeImage.dirStart, 1)}));
  EXPECT_EQ(RebuildCardList(), (Lines{"a.mp3", "Tuesday.voc"}));
  EXPECT_EQ(IdsOnCard(), (std::map<std::string, std::uint8_t>{{"a.mp3", 1}, {"Tuesday.voc", 0x81}}));
  EXPECT_EQ(FetchBack("Tuesday.voc"), Bytes(sound.begin(), sound.end()));
  ExpectCardSound();
}

TEST_F(engine_care_inprocess, AnOrderWritesOnlyDirectorySectors) {
  StoreSeven();
  RebuildCardList();
  log_.clear();
  ASSERT_EQ(OrderMusicFiles({"m5.mp3", "m4.mp3", "m3.mp3"}), kOpOk);
  EXPECT_EQ(log_, (std::vector<Command>{Write(VolumeImage.dirStart, 1)}));
}

// ---- a cut in the order's write -----------------------------------------------------

// Twenty music files, so that the directory's first two sectors hold them,
// and the order reversed.
class engine_care_cuts : public CardTest {
 protected:
  void SetUp() override {
    CardTest::SetUp();
    StartMountedCard(8192);  // 4 MiB: 62 clusters
    for (int i = 1; i <= 20; ++i) {
      const std::string name = "song" + std::to_string(100 + i) + ".mp3";
      files_[name] = Content(200 + i, 300 + i);
      ASSERT_EQ(Store(name, files_[name]), kOpOk);
      first_.push_back(name);
    }
    reversed_.assign(first_.rbegin(), first_.rend());
    RebuildCardList();
    start_ = ReadFile(image_).value();
  }

  // The listed music files in play order.
  Lines Music() {
    Lines music;
    for (const std::string& line : RebuildCardList())
      if (FileKindOf(line) == 1) music.push_back(line);
    return music;
  }
  // The card read afresh: checked, and repaired if the check finds
  // anything; then checked clean, every file whole, the FileIds 1..20 once
  // each.
  void ExpectRepairable() {
    DeviceState = kDeviceReady;
    ASSERT_EQ(MountVolume(), kMountOk);
    ASSERT_TRUE(ReadTableCopy2());
    const std::uint32_t sectors = IdentifiedCardSectors();
    if (!CheckVolume(sectors).problems.empty()) {
      RepairVolume(sectors);
      ASSERT_EQ(DeviceState, 0);
      ASSERT_EQ(MountVolume(), kMountOk);
      ASSERT_TRUE(ReadTableCopy2());
    }
    const VolumeCheck check = CheckVolume(sectors);
    EXPECT_TRUE(check.problems.empty()) << check.problems.front();
    const card_oracle::Survey s = card_oracle::Judge(image_, files_, {});
    EXPECT_TRUE(s.Clean()) << s.Describe();
    std::vector<int> ids;
    for (const card_oracle::File& f : s.files) ids.push_back(f.id);
    std::sort(ids.begin(), ids.end());
    std::vector<int> expected(20);
    for (int i = 0; i < 20; ++i) expected[i] = i + 1;
    EXPECT_EQ(ids, expected);
    for (const auto& [name, bytes] : files_) EXPECT_EQ(FetchBack(name), bytes) << name;
  }

  std::map<std::string, Bytes> files_;
  Lines first_, reversed_;
  Bytes start_;
};

TEST_F(engine_care_cuts, ACutAtAnyCommandOfTheOrderLeavesEveryFileWhole) {
  log_.clear();
  ASSERT_EQ(OrderMusicFiles({reversed_.begin(), reversed_.end()}), kOpOk);
  const std::vector<Command> commands = log_;
  // Both directory sectors change, in one command.
  ASSERT_EQ(commands, (std::vector<Command>{Write(VolumeImage.dirStart, 2)}));
  EXPECT_EQ(Music(), reversed_);

  using Fault = std::function<void(player::PlayerCore&)>;
  const std::vector<std::pair<std::string, Fault>> faults = {
      {"transport failure", [](player::PlayerCore& p) { p.FailAfter(1); }},
      {"card ejected", [](player::PlayerCore& p) { p.Eject(); }},
      {"player busy", [](player::PlayerCore& p) { p.SetBusy(true); }},
  };
  for (const auto& [what, fault] : faults) {
    for (std::size_t k = 1; k <= commands.size(); ++k) {
      SCOPED_TRACE(what + " at command " + std::to_string(k));
      ASSERT_TRUE(WriteAt(image_, 0, start_));
      player_->core().Insert();
      player_->core().SetBusy(false);
      DeviceState = kDeviceReady;
      ASSERT_EQ(MountVolume(), kMountOk);
      ASSERT_EQ(Music(), first_);
      FaultAtCommand(k, fault);
      EXPECT_EQ(OrderMusicFiles({reversed_.begin(), reversed_.end()}), kOpDeviceFailed);
      EXPECT_NE(DeviceState, 0);
      player_->core().Insert();
      player_->core().SetBusy(false);
      // Read by another program: nothing that must never be, every file whole.
      card_oracle::Judge(image_, files_, {});
      ExpectRepairable();
      // The write did not happen: the play order is the old one.
      EXPECT_EQ(Music(), first_);
    }
  }
}

// A card that tears the directory write between its two sectors (the new
// FileIds in the first, the old in the second): numbers repeat, but every
// file is whole, and the repair numbers them once each again.
TEST_F(engine_care_cuts, ADirectoryWriteTornBetweenItsSectorsIsRepaired) {
  const Layout layout = ReadLayout(image_);
  ASSERT_EQ(OrderMusicFiles({reversed_.begin(), reversed_.end()}), kOpOk);
  const Bytes ordered = ReadAt(image_, layout.directory, 512);
  ASSERT_TRUE(WriteAt(image_, 0, start_));
  ASSERT_TRUE(WriteAt(image_, layout.directory, ordered));
  ASSERT_EQ(MountVolume(), kMountOk);
  ASSERT_TRUE(ReadTableCopy2());
  EXPECT_FALSE(CheckVolume(IdentifiedCardSectors()).problems.empty());
  const card_oracle::Survey torn = card_oracle::Examine(image_);
  EXPECT_EQ(torn.files.size(), 20u) << torn.Describe();
  for (const card_oracle::File& f : torn.files) EXPECT_TRUE(f.data == files_[f.name]) << f.name;
  ExpectRepairable();
}

}  // namespace
