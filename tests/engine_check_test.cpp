// The volume check and its repair on a real image behind the in-process
// player: cards damaged the ways a cut write, another program or a bad card
// leave them, the problems found, the repair made, the card clean afterwards,
// whole files untouched and the writes in the safe order.
#include <map>
#include <random>
#include <sstream>

#include "check.h"
#include "support/engine.h"

namespace zk27_test {
namespace {

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += "  " + l + "\n";
  return text;
}

// True when one of `lines` holds `part`.
::testing::AssertionResult HasLine(const std::vector<std::string>& lines, const std::string& part) {
  for (const std::string& l : lines)
    if (l.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no line holds \"" << part << "\" in:\n" << Joined(lines);
}

class engine_check : public CardTest {
 protected:
  // The card read afresh, as zk27 check reads it: the volume and copy 2.
  void Remount() {
    ASSERT_EQ(MountVolume(), kMountOk);
    ASSERT_TRUE(ReadTableCopy2());
  }

  // Puts the damage made in the image on the card (both copies alike) and
  // reads the card back.
  void WriteDamage() {
    FlushVolume(FlushOrder::kAdding);
    ASSERT_EQ(DeviceState, 0);
    Remount();
  }

  // Repairs, reads the card back and checks it again: it must be clean and
  // its two copies equal. Returns the repair's lines.
  std::vector<std::string> RepairAndRecheck(std::uint32_t cardSectors = 0) {
    log_.clear();
    std::vector<std::string> lines = RepairVolume(cardSectors);
    EXPECT_EQ(DeviceState, 0);
    const std::vector<Command> repairLog = log_;
    Remount();
    const VolumeCheck after = CheckVolume(cardSectors);
    EXPECT_TRUE(after.problems.empty()) << "after the repair:\n" << Joined(after.problems);
    EXPECT_EQ(Copy(1), Copy(2));
    log_ = repairLog;
    return lines;
  }

  Bytes Copy(int n) {
    const std::uint32_t spt = VolumeImage.sectorsPerTable;
    return CardSectors(kTableLba + (n - 1) * spt, spt);
  }

  // The regions the writes in log_ went to, in order: 'D' directory, 'N'
  // NameTable, '1' and '2' the allocation copies, 'd' data.
  std::string WrittenRegions() const {
    std::string regions;
    const std::uint32_t spt = VolumeImage.sectorsPerTable;
    for (const Command& c : WritesIn(log_)) {
      if (c.lba >= kNameTableLba && c.lba < kNameTableLba + kNameTableSectors) regions += 'N';
      else if (c.lba >= kTableLba && c.lba < kTableLba + spt) regions += '1';
      else if (c.lba >= kTableLba + spt && c.lba < kTableLba + 2 * spt) regions += '2';
      else if (c.lba >= VolumeImage.dirStart && c.lba < VolumeImage.dataStart) regions += 'D';
      else regions += 'd';
    }
    return regions;
  }

  // The live entry whose name slot holds `name`, found in the directory
  // image without the card list (which mends what it meets).
  std::uint8_t* Named(const std::string& name) {
    for (std::uint32_t sector = 0; sector < VolumeImage.dirSectors; ++sector)
      for (std::uint32_t offset = 0; offset < 512; offset += 32) {
        std::uint8_t* e = DirEntryAt(sector, offset);
        const DirEntry fields = DecodeDirEntry(e);
        std::string n;
        if (fields.InUse() && DirEntryName(fields, &n) && n == name) return e;
      }
    ADD_FAILURE() << name << " is not in the directory";
    static std::uint8_t none[32] = {};
    return none;
  }

  // The entry's clusters as the table image links them, for its size.
  std::vector<std::uint16_t> Chain(const std::uint8_t* e) {
    std::vector<std::uint16_t> chain;
    const std::uint32_t need = (EntrySize(e) + kClusterBytes - 1) / kClusterBytes;
    for (std::uint32_t c = EntryFirstCluster(e); chain.size() < need && ValidCluster(c); c = TableEntry(c))
      chain.push_back(static_cast<std::uint16_t>(c));
    return chain;
  }

  const CheckedFile* FileAt(const VolumeCheck& c, const std::uint8_t* e) {
    for (const CheckedFile& f : c.files)
      if (DirEntryAt(f.dirSector, f.dirOffset) == e) return &f;
    return nullptr;
  }
};

// ---- damaged cards as data ---------------------------------------------------
//
// Each file in cards/ is one damaged card: a fresh formatted card, files put
// through the engine, edits of the image's bytes, and then what the check
// must report and the repair must say, every line in order. The runner
// checks, repairs and checks again (clean, both copies equal), then reads the
// files back from the image: one the check called whole holds exactly what
// was put and what it held before the repair; any other one kept holds the
// start of either. One statement a line; a line that begins with # is a
// comment:
//
//   card 8192                  a fresh card of 8,192 sectors (the first line)
//   put a.mp3 200000 b.mp3 0   files of 200,000 and 0 bytes sent through the engine
//   fat 5 = 0                  table entry 5 in both copies (fat1, fat2: one copy);
//                              also 5..9, a.mp3:2 (its third cluster), a.mp3:* (all);
//                              the value a number or a cluster (b.mp3:0)
//   dir a.mp3 first = 61, size = 0
//                              fields of a.mp3's directory entry (or entry N): mark,
//                              id, first, size, slot (a slot's number, or the file
//                              whose slot it takes) and name (the text in its slot)
//   slot 100 = "ghost.mp3"     the text in name slot 100 ("": length 0)
//   check LINE                 a line of the check's report
//   repair LINE                a line of the repair's report
//   writes DN12D               the regions the repair wrote, in order: D directory,
//                              N NameTable, 1 and 2 the table copies, d data
//   whole a.mp3 - h.mp3        the files the check calls whole, in directory order
//                              (- for one listed under no name)
//   listed a.mp3 b.mp3         after the repair: the card list, in its order,
//   free 115                   and the free clusters
//
// In a line, {voice 0x81} stands for the name recording 0x81 is listed under.
// What a card leaves out of writes, whole, listed and free is not compared.
struct DamagedCard {
  std::uint32_t sectors = 0;
  std::vector<std::string> steps, check, repair;
  std::map<std::string, std::string> expected;  // writes, whole, listed, free
};

const std::string kCardsDir = ZK27_CARDS_DIR;

std::vector<std::string> CardFiles() {
  std::vector<std::string> names;
  for (const auto& f : std::filesystem::directory_iterator(kCardsDir))
    if (f.path().extension() == ".card") names.push_back(f.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

DamagedCard ReadCard(const std::string& path) {
  DamagedCard card;
  std::istringstream in(ReadText(path));
  for (std::string line; std::getline(in, line);) {
    for (std::size_t at; (at = line.find("{voice ")) != std::string::npos;)
      line.replace(at, line.find('}', at) + 1 - at, MakeVoiceName(std::stoul(line.substr(at + 7), nullptr, 0)));
    const std::size_t space = std::min(line.find(' '), line.size());
    const std::string word = line.substr(0, space), rest = line.substr(std::min(space + 1, line.size()));
    if (word == "card") card.sectors = static_cast<std::uint32_t>(std::stoul(rest));
    else if (word == "check" || word == "repair") (word == "check" ? card.check : card.repair).push_back(rest);
    else if (word == "writes" || word == "whole" || word == "listed" || word == "free") card.expected[word] = rest;
    else if (!word.empty() && word[0] != '#') card.steps.push_back(line);
  }
  return card;
}

std::string Shown(const std::string& word, const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += (word.empty() || text.empty() ? "" : word) + l;
  return text;
}

class engine_check_card : public engine_check, public ::testing::WithParamInterface<std::string> {
 protected:
  struct Put {
    std::string name;
    std::uint32_t entry;
    std::vector<std::uint16_t> chain;
    Bytes bytes;
  };

  Bytes EntryAt(std::uint32_t entry) { return ReadAt(image_, layout_.directory + 32ull * entry, 32); }
  // The file put last under `name`, or last at directory entry `entry`.
  const Put* Find(const std::string& name, std::uint32_t entry = ~0u) const {
    const auto p = std::find_if(put_.rbegin(), put_.rend(), [&](const Put& p) { return p.name == name || p.entry == entry; });
    return p == put_.rend() ? nullptr : &*p;
  }
  // A number, a range of them (5..9), or clusters of a put file's chain.
  std::vector<std::uint32_t> Values(const std::string& text) {
    const std::size_t colon = text.rfind(':'), dots = text.find("..");
    std::vector<std::uint32_t> values;
    if (colon != std::string::npos) {
      const Put* put = Find(text.substr(0, colon));
      if (!put) ADD_FAILURE() << "no file was put as " << text.substr(0, colon);
      const std::vector<std::uint16_t> chain = put ? put->chain : std::vector<std::uint16_t>{};
      if (text.substr(colon + 1) == "*") return {chain.begin(), chain.end()};
      return {chain.at(std::stoul(text.substr(colon + 1)))};
    }
    const auto last = dots == std::string::npos ? std::stoul(text, nullptr, 0) : std::stoul(text.substr(dots + 2), nullptr, 0);
    for (auto n = std::stoul(text, nullptr, 0); n <= last; ++n) values.push_back(static_cast<std::uint32_t>(n));
    return values;
  }
  void PutName(std::uint64_t at, const std::string& quoted) {
    EXPECT_TRUE(WriteSlotName(image_, at, quoted.substr(quoted.find('"') + 1, quoted.rfind('"') - quoted.find('"') - 1)));
  }

  // One statement of a card's damage.
  void Step(const std::string& line) {
    SCOPED_TRACE(line);
    std::istringstream words(line);
    std::string word, target, rest;
    words >> word >> target;
    std::getline(words >> std::ws, rest);
    if (word == "put") {
      if (edited_) Remount();
      edited_ = false;
      for (std::istringstream files(target + " " + rest); files >> target >> rest;) {
        const Bytes bytes = Content(std::stoul(rest), static_cast<std::uint32_t>(put_.size() + 1));
        ASSERT_EQ(Store(target, bytes), kOpOk);
        const auto entry = static_cast<std::uint32_t>((FindEntry(image_, target) - layout_.directory) / 32);
        put_.push_back({target, entry, Chain(DirEntryAt(entry / 16, entry % 16 * 32)), bytes});
      }
      return;
    }
    edited_ = true;
    if (word != "dir") {
      ASSERT_EQ(rest.substr(0, 1), "=") << "a statement: what = value";
    }
    if (word.starts_with("fat")) {
      const std::uint32_t v = Values(rest.substr(2)).at(0);
      for (const std::uint32_t c : Values(target)) {
        EXPECT_TRUE(word == "fat2" || WriteAt(image_, layout_.table1 + 2ull * c, LeBytes(v, 2)));
        EXPECT_TRUE(word == "fat1" || WriteAt(image_, layout_.table2 + 2ull * c, LeBytes(v, 2)));
      }
    } else if (word == "dir") {
      const std::uint64_t at = layout_.directory + 32ull * (Find(target) ? Find(target)->entry : std::stoul(target));
      const std::map<std::string, std::pair<int, int>> places = {
          {"mark", {0, 1}}, {"slot", {1, 2}}, {"id", {12, 1}}, {"first", {26, 2}}, {"size", {28, 4}}};
      std::istringstream fields(rest);
      for (std::string field, v; fields >> field && fields.ignore(3, '=') && std::getline(fields >> std::ws, v, ',');) {
        v.erase(v.find_last_not_of(' ') + 1);
        if (field == "name") {
          PutName(SlotOf(image_, at), v);
          continue;
        }
        ASSERT_TRUE(places.count(field)) << "no such field: " << field;
        const std::uint32_t n = field != "slot" ? Values(v).at(0) : Find(v) ? Le(EntryAt(Find(v)->entry), 1, 2) : Values(v).at(0) * 64;
        EXPECT_TRUE(WriteAt(image_, at + places.at(field).first, LeBytes(n, places.at(field).second)));
      }
    } else if (word == "slot") {
      PutName(layout_.nameTable + std::stoul(target) * 64, rest);
    } else {
      FAIL() << "no such statement: " << word;
    }
  }

  std::vector<Put> put_;
  Layout layout_;
  bool edited_ = false;
};

TEST_P(engine_check_card, IsReportedRepairedAndItsFilesKept) {
  DamagedCard card = ReadCard(kCardsDir + "/" + GetParam() + ".card");
  ASSERT_GT(card.sectors, 0u) << "a card file begins with its card's size";
  StartMountedCard(card.sectors);
  layout_ = ReadLayout(image_);
  for (const std::string& step : card.steps) {
    Step(step);
    if (HasFatalFailure()) return;
  }
  Remount();
  const std::uint32_t sectors = IdentifiedCardSectors();
  const VolumeCheck found = CheckVolume(sectors);
  EXPECT_EQ(found.problems, card.check) << "the check reports:\ncheck " << Shown("\ncheck ", found.problems);
  std::vector<std::string> whole;
  std::map<std::uint32_t, Bytes> before;  // every file's bytes along its chain, by entry
  for (const CheckedFile& f : found.files) {
    before[f.dirSector * 16 + f.dirOffset / 32] = EntryData(image_, layout_, f.dirSector * 16 + f.dirOffset / 32);
    if (f.whole) whole.push_back(f.name.empty() ? "-" : f.name);
  }
  std::map<std::string, std::string> got = {{"whole", Shown(" ", whole)}};

  const std::vector<std::string> lines = RepairAndRecheck(sectors);
  EXPECT_EQ(lines, card.repair) << "the repair reports:\nrepair " << Shown("\nrepair ", lines);
  got["writes"] = WrittenRegions();
  got["listed"] = Shown(" ", RebuildCardList());
  got["free"] = std::to_string(CountFreeClusters());
  for (const auto& [word, text] : got) EXPECT_EQ(text, card.expected.emplace(word, text).first->second) << word;

  layout_ = ReadLayout(image_);
  const auto starts = [](const Bytes& part, const Bytes& of) {
    return part.size() <= of.size() && std::equal(part.begin(), part.end(), of.begin());
  };
  for (const CheckedFile& f : found.files) {
    SCOPED_TRACE(f.name);
    const std::uint32_t entry = f.dirSector * 16 + f.dirOffset / 32;
    const Bytes e = EntryAt(entry), after = EntryData(image_, layout_, entry), &was = before[entry];
    const Put* put = Find("", entry);
    if (f.whole) {
      EXPECT_NE(e[12], 0) << "a whole file was dropped";
      EXPECT_TRUE(after == was && (!put || was == put->bytes)) << "a whole file changed";
    } else if (e[12] != 0) {
      EXPECT_EQ(after.size(), Le(e, 28, 4)) << "a file kept is not whole";
      EXPECT_TRUE(starts(after, was) || (put && starts(after, put->bytes))) << "a file kept is not what it held";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(cards, engine_check_card, ::testing::ValuesIn(CardFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

TEST_F(engine_check, AKindOfMoreThan127FilesKeepsItsFirst127) {
  StartMountedCard(8192);
  // 130 music entries, one of them broken: it goes, and the last two.
  for (std::uint32_t k = 0; k < 130; ++k) {
    const auto slot = static_cast<std::uint16_t>(k * kNameSlotSize);
    StoreFileName("m" + std::to_string(k) + ".mp3", slot);
    const bool broken = k == 20;  // bytes but no cluster
    PutEntry(k / 16, (k % 16) * 32, static_cast<std::uint8_t>(std::min<std::uint32_t>(k + 1, 127)), 1, slot,
             kEndOfChain, broken ? 5000 : 0);
  }
  WriteDamage();
  const VolumeCheck found = CheckVolume(0);
  EXPECT_TRUE(HasLine(found.problems, "130 music files: a kind holds at most 127"));
  EXPECT_FALSE(FileAt(found, DirEntryAt(129 / 16, (129 % 16) * 32))->whole);
  EXPECT_FALSE(FileAt(found, DirEntryAt(128 / 16, (128 % 16) * 32))->whole);
  EXPECT_TRUE(FileAt(found, DirEntryAt(127 / 16, (127 % 16) * 32))->whole);
  const auto lines = RepairAndRecheck();
  EXPECT_TRUE(HasLine(lines, "m20.mp3: released; none of its clusters could be kept"));
  EXPECT_TRUE(HasLine(lines, "m129.mp3: released; a kind holds at most 127 files"));
  EXPECT_TRUE(HasLine(lines, "m128.mp3: released; a kind holds at most 127 files"));
  EXPECT_FALSE(HasLine(lines, "m127.mp3: released"));
}

TEST_F(engine_check, ClustersPastTheCardsRealEndMustBeReserved) {
  StartMountedCard(4096);
  const Bytes a = Content(3 * 65536, 1);
  ASSERT_EQ(Store("a.mp3", a), kOpOk);
  ASSERT_EQ(Store("b.mp3", Content(1000, 2)), kOpOk);
  const auto ca = Chain(Named("a.mp3"));
  // A boot sector that claims twice the card: the table's entries up to the
  // claimed end read free, and a's chain reaches past the real end.
  for (std::uint32_t c = 33; c < 65; ++c) SetTableEntry(c, 0);
  SetTableEntry(ca[0], 40);
  SetTableEntry(40, 41);
  SetTableEntry(41, kEndOfChain);
  FlushVolume(FlushOrder::kAdding);
  ASSERT_TRUE(WriteAt(image_, 32 * 512 + 32, {0x00, 0x20, 0x00, 0x00}));  // 8,192
  Remount();
  ASSERT_EQ(VolumeImage.totalSectors, 8192u);
  const std::uint32_t card = IdentifiedCardSectors();
  ASSERT_EQ(card, 4096u);

  // Without the card's size those clusters look like any other.
  EXPECT_FALSE(HasLine(CheckVolume(0).problems, "past its end"));
  const VolumeCheck found = CheckVolume(card);
  EXPECT_TRUE(HasLine(found.problems, "the boot sector gives the card 8,192 sectors, but it has 4,096: 30 table "
                                      "entries for clusters past its end are not reserved"));

  // a.mp3 lies past the card's end: the repair reserves the free entries
  // there but neither cuts a nor shrinks the volume.
  EXPECT_TRUE(HasLine(found.problems, "the volume is larger than the card: its boot sector gives it 8,192 sectors, "
                                      "the card has 4,096"));
  EXPECT_TRUE(HasLine(found.problems, "a.mp3: it lies past the card's end"));
  std::vector<std::string> lines = RepairVolume(card);
  EXPECT_TRUE(HasLine(lines, "30 clusters past the card's end reserved"));
  EXPECT_TRUE(HasLine(lines, "the volume is left larger than the card: a.mp3 lies past its end"));
  Remount();
  EXPECT_EQ(Chain(Named("a.mp3")), (std::vector<std::uint16_t>{ca[0], 40, 41}));
  EXPECT_EQ(VolumeImage.totalSectors, 8192u);
  EXPECT_EQ(CheckVolume(card).problems.size(), 2u) << Joined(CheckVolume(card).problems);

  // Once a is gone, the volume shrinks to the card.
  RebuildCardList();
  ASSERT_EQ(ReleaseCardFile("a.mp3"), kOpOk);
  FlushVolume(FlushOrder::kReleasing);
  Remount();
  lines = RepairAndRecheck(card);
  EXPECT_TRUE(HasLine(lines, "2 clusters past the card's end reserved"));
  EXPECT_TRUE(HasLine(lines, "the volume shrunk from 8,192 sectors to the card's 4,096"));
  EXPECT_EQ(VolumeImage.totalSectors, 4096u);
  EXPECT_EQ(FetchBack("b.mp3"), Content(1000, 2));
}

// The fuzz target's invariant on cards damaged at random: after the repair
// the check is clean and every file it called whole reads as before.
TEST_F(engine_check, AfterARepairOfRandomDamageTheCardIsCleanAndWholeFilesAreUnchanged) {
  for (std::uint32_t seed = 1; seed <= 80; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    StartMountedCard(4096);
    std::mt19937 rnd(seed);
    const auto any = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rnd() % n); };
    // Six files laid straight into the image, as a put would leave them.
    std::uint16_t next = 2;
    for (std::uint32_t k = 0; k < 6; ++k) {
      const bool voice = k % 3 == 2;
      const std::uint32_t size = any(3 * 65536);
      const auto slot = static_cast<std::uint16_t>(k * kNameSlotSize);
      const auto id = static_cast<std::uint8_t>(voice ? 0x81 + k / 3 : 1 + k - k / 3);
      StoreFileName(std::string(1, static_cast<char>('a' + k)) + (voice ? ".voc" : ".mp3"), slot);
      const std::uint32_t clusters = (size + kClusterBytes - 1) / kClusterBytes;
      PutEntry(0, k * 32, id, id, slot, clusters > 0 ? next : kEndOfChain, size);
      for (std::uint32_t c = 0; c < clusters; ++c, ++next) {
        SetTableEntry(next, c + 1 < clusters ? next + 1 : kEndOfChain);
        ASSERT_TRUE(WriteAt(image_, std::uint64_t{ClusterLba(next)} * 512,
                                             Content(kClusterBytes, seed * 100 + next)));
      }
    }
    for (int hit = 0, hits = 1 + static_cast<int>(any(6)); hit < hits; ++hit) {
      std::uint8_t* e = DirEntryAt(0, any(8) * 32);
      switch (any(9)) {
        case 0: SetTableEntry(2 + any(30), static_cast<std::uint16_t>(any(4) == 0 ? 0xFFF0 + any(16) : any(36))); break;
        case 1: SetTableEntry(2 + any(30), 0); break;
        case 2: e[kEntryFileIdOffset] = static_cast<std::uint8_t>(rnd()); break;
        case 3: e[kEntryMarkOffset] = any(2) ? 0 : e[kEntryFileIdOffset]; break;
        case 4: e[kEntryNameSlotOffset + any(2)] = static_cast<std::uint8_t>(rnd()); break;
        case 5: e[kEntryFirstClusterOffset + any(2)] = static_cast<std::uint8_t>(any(3) == 0 ? 0xFF : any(40)); break;
        case 6: e[kEntrySizeOffset + any(3)] = static_cast<std::uint8_t>(rnd()); break;
        case 7: VolumeImage.nameTable[any(12) * 64 + any(4)] = static_cast<std::uint8_t>(rnd()); break;
        case 8: std::memcpy(DirEntryAt(0, any(8) * 32), e, 32); break;
      }
    }
    WriteDamage();
    if (any(3) == 0) {  // copy 2 differs too
      Bytes copy2 = Copy(2);
      copy2[4 + any(60)] = static_cast<std::uint8_t>(rnd());
      ASSERT_TRUE(WriteAt(image_, std::uint64_t{kTableLba + VolumeImage.sectorsPerTable} * 512, copy2));
      Remount();
    }
    const VolumeCheck found = CheckVolume(4096);
    std::vector<std::pair<const CheckedFile*, Bytes>> whole;
    for (const CheckedFile& f : found.files)
      if (f.whole) whole.emplace_back(&f, EntryData(image_, ReadLayout(image_), f.dirSector * 16 + f.dirOffset / 32));
    RepairAndRecheck(4096);
    for (const auto& [f, bytes] : whole) {
      const std::uint8_t* e = DirEntryAt(f->dirSector, f->dirOffset);
      EXPECT_NE(e[kEntryFileIdOffset], 0) << f->name << " was dropped";
      EXPECT_EQ(EntryData(image_, ReadLayout(image_), f->dirSector * 16 + f->dirOffset / 32), bytes) << f->name;
    }
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace zk27_test
