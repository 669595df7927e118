// The volume check and its repair on a real image behind the in-process
// player: cards damaged the ways a cut write, another program or a bad card
// leave them, the problems found, the repair made, the card clean afterwards,
// whole files untouched and the writes in the safe order.
#include <random>

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

  // The entry's bytes read along its chain straight from the card image.
  Bytes OnCard(const std::uint8_t* e) {
    Bytes bytes;
    for (const std::uint16_t c : Chain(e)) {
      const Bytes cluster = CardSectors(ClusterLba(c), kClusterSectors);
      bytes.insert(bytes.end(), cluster.begin(), cluster.end());
    }
    bytes.resize(std::min<std::size_t>(bytes.size(), EntrySize(e)));
    return bytes;
  }

  static Bytes Prefix(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<long>(n)); }

  void SetName(std::uint8_t* e, const std::string& name) { StoreFileName(name, EntryNameSlot(e)); }

  const CheckedFile* FileAt(const VolumeCheck& c, const std::uint8_t* e) {
    for (const CheckedFile& f : c.files)
      if (DirEntryAt(f.dirSector, f.dirOffset) == e) return &f;
    return nullptr;
  }
};

TEST_F(engine_check, ACleanCardIsCleanAndItsRepairWritesNothing) {
  StartMountedCard(8192);
  ASSERT_EQ(Store("song.mp3", Content(150000, 1)), kOpOk);
  ASSERT_EQ(Store("memo.voc", Content(3000, 2)), kOpOk);
  ASSERT_EQ(Store("empty.mp3", {}), kOpOk);
  Remount();
  const std::uint32_t sectors = IdentifiedCardSectors();
  EXPECT_EQ(sectors, 8192u);
  const VolumeCheck c = CheckVolume(sectors);
  EXPECT_TRUE(c.problems.empty()) << Joined(c.problems);
  ASSERT_EQ(c.files.size(), 3u);
  for (const CheckedFile& f : c.files) EXPECT_TRUE(f.whole) << f.name;
  EXPECT_EQ(c.files[0].name, "song.mp3");
  EXPECT_EQ(c.files[1].fileId, 0x81);

  log_.clear();
  EXPECT_TRUE(RepairVolume(sectors).empty());
  EXPECT_EQ(WrittenRegions(), "");
}

TEST_F(engine_check, BrokenChainsAreCutToTheirWholePartAndWholeFilesStayAsTheyAre) {
  StartMountedCard(8192);
  const Bytes a = Content(200000, 1), b = Content(150000, 2), c = Content(150000, 3), d = Content(150000, 4),
              e = Content(100000, 5), g = Content(1000, 7), h = Content(100000, 8);
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, Bytes>>{
           {"a.mp3", a}, {"b.mp3", b}, {"c.mp3", c}, {"d.mp3", d}, {"e.mp3", e}, {"f.mp3", {}}, {"g.mp3", g},
           {"h.mp3", h}})
    ASSERT_EQ(Store(name, bytes), kOpOk) << name;
  const auto ca = Chain(Named("a.mp3")), cb = Chain(Named("b.mp3")), cc = Chain(Named("c.mp3")),
             cd = Chain(Named("d.mp3")), ce = Chain(Named("e.mp3")), cg = Chain(Named("g.mp3"));
  const std::uint16_t spare = 60, spare2 = 61;  // free clusters
  ASSERT_EQ(TableEntry(spare), 0);

  SetTableEntry(ca[2], 0);           // a runs into a free cluster; its last cluster is left over
  SetTableEntry(cb[1], kEndOfChain); // b ends early
  SetTableEntry(cc[0], 0xFFF7);      // c leaves the table at a mark
  SetTableEntry(cd[1], cd[0]);       // d loops
  SetTableEntry(ce[1], spare);       // e runs on past its size
  SetTableEntry(spare, kEndOfChain);
  std::uint8_t* f = Named("f.mp3");  // a 0-byte file naming a cluster
  f[kEntryFirstClusterOffset] = static_cast<std::uint8_t>(spare2);
  f[kEntryFirstClusterOffset + 1] = 0;
  std::uint8_t* ge = Named("g.mp3");  // bytes but no cluster
  ge[kEntryFirstClusterOffset] = ge[kEntryFirstClusterOffset + 1] = 0xFF;
  WriteDamage();
  const Bytes hBefore = OnCard(Named("h.mp3"));

  const VolumeCheck found = CheckVolume(0);
  const auto& p = found.problems;
  EXPECT_TRUE(HasLine(p, "a.mp3: its chain runs into cluster " + std::to_string(ca[2]) +
                             ", which is marked free, after 2 of its 4 clusters"));
  EXPECT_TRUE(HasLine(p, "b.mp3: its chain ends after 2 of its 3 clusters"));
  EXPECT_TRUE(HasLine(p, "c.mp3: its chain leaves the table after 1 of its 3 clusters (cluster " +
                             std::to_string(cc[0]) + " points to 0xFFF7)"));
  EXPECT_TRUE(HasLine(p, "d.mp3: its chain loops back to cluster " + std::to_string(cd[0]) + " after 2 of its 3"));
  EXPECT_TRUE(HasLine(p, "e.mp3: its chain is longer than its size: its last cluster " + std::to_string(ce[1]) +
                             " points to " + std::to_string(spare)));
  EXPECT_TRUE(HasLine(p, "f.mp3: a 0-byte file, but its first-cluster field holds 61 instead of none"));
  EXPECT_TRUE(HasLine(p, "g.mp3: it has 1,000 bytes but no cluster"));
  // a's last cluster, b's, d's third, e's spare, g's cluster and c's tail: reached by no walk.
  EXPECT_TRUE(HasLine(p, "clusters are used by no file (lost)"));
  for (const CheckedFile& file : found.files) EXPECT_EQ(file.whole, file.name == "h.mp3") << file.name;

  const auto lines = RepairAndRecheck();
  EXPECT_TRUE(HasLine(lines, "a.mp3: cut to 2 clusters (131,072 bytes); its chain ran into a free cluster"));
  EXPECT_TRUE(HasLine(lines, "b.mp3: cut to 2 clusters (131,072 bytes); its chain ended early"));
  EXPECT_TRUE(HasLine(lines, "c.mp3: cut to 1 cluster (65,536 bytes); its chain left the table"));
  EXPECT_TRUE(HasLine(lines, "d.mp3: cut to 2 clusters (131,072 bytes); its chain looped"));
  EXPECT_TRUE(HasLine(lines, "e.mp3: its chain now ends after its 2 clusters"));
  EXPECT_TRUE(HasLine(lines, "f.mp3: a 0-byte file; its first-cluster field now says none"));
  EXPECT_TRUE(HasLine(lines, "g.mp3: released; none of its clusters could be kept"));
  EXPECT_TRUE(HasLine(lines, "h.mp3: FileId 0x08 is now 0x07"));
  EXPECT_TRUE(HasLine(lines, "clusters that no file keeps freed"));
  // Releases first (directory, g's name slot, tables), then the renumbering.
  EXPECT_EQ(WrittenRegions(), "DN12D");

  EXPECT_EQ(FetchBack("a.mp3"), Prefix(a, 131072));
  EXPECT_EQ(FetchBack("b.mp3"), Prefix(b, 131072));
  EXPECT_EQ(FetchBack("c.mp3"), Prefix(c, 65536));
  EXPECT_EQ(FetchBack("d.mp3"), Prefix(d, 131072));
  EXPECT_EQ(FetchBack("e.mp3"), e);
  EXPECT_EQ(FetchBack("f.mp3"), Bytes{});
  EXPECT_EQ(FetchBack("h.mp3"), h);
  EXPECT_EQ(FetchBack("h.mp3"), hBefore);
  EXPECT_EQ(FindCardFile("g.mp3"), 0);
  // Kept: a 2, b 2, c 1, d 2, e 2, h 2 clusters.
  EXPECT_EQ(CountFreeClusters(), static_cast<int>(8192 / kClusterSectors) - 2 - 11);
}

TEST_F(engine_check, ClustersTwoChainsReachGoToTheSoundChainThenToTheHigherFileId) {
  StartMountedCard(8192);
  // A deletion cut after its table writes: old.mp3's clusters are free but
  // its entry stays, and the next file takes them.
  const Bytes keep = Content(70000, 3), fresh = Content(131072, 2);
  ASSERT_EQ(Store("old.mp3", Content(3 * 65536, 1)), kOpOk);
  ASSERT_EQ(Store("keep.mp3", keep), kOpOk);
  const auto oldChain = Chain(Named("old.mp3"));
  FreeClusterChain(oldChain[0], 3, {});
  FlushVolume(FlushOrder::kReleasing);
  ASSERT_EQ(Store("new.mp3", fresh), kOpOk);
  ASSERT_EQ(Chain(Named("new.mp3"))[0], oldChain[0]);
  Remount();

  const VolumeCheck found = CheckVolume(0);
  EXPECT_TRUE(HasLine(found.problems, "clusters " + std::to_string(oldChain[0]) + "-" + std::to_string(oldChain[1]) +
                                          " in the chains of both old.mp3 and new.mp3"));
  EXPECT_TRUE(HasLine(found.problems, "old.mp3: its chain ends after 2 of its 3 clusters"));
  EXPECT_TRUE(FileAt(found, Named("keep.mp3"))->whole);
  EXPECT_FALSE(FileAt(found, Named("new.mp3"))->whole);  // it shares, though the repair keeps it
  EXPECT_FALSE(FileAt(found, Named("old.mp3"))->whole);

  const auto lines = RepairAndRecheck();
  EXPECT_TRUE(HasLine(lines, "old.mp3: released; none of its clusters could be kept; its chain ran into cluster " +
                                 std::to_string(oldChain[0]) + " of new.mp3"));
  EXPECT_TRUE(HasLine(lines, "keep.mp3: FileId 0x02 is now 0x01"));
  EXPECT_TRUE(HasLine(lines, "new.mp3: FileId 0x03 is now 0x02"));
  EXPECT_EQ(FetchBack("new.mp3"), fresh);
  EXPECT_EQ(FetchBack("keep.mp3"), keep);
  EXPECT_EQ(FindCardFile("old.mp3"), 0);
  EXPECT_EQ(CardFileCount, 2);
}

TEST_F(engine_check, OfTwoSoundChainsTheHigherFileIdKeepsTheSharedClustersAndAnUnsoundOneNeverDoes) {
  StartMountedCard(8192);
  const Bytes p = Content(3 * 65536, 1);
  ASSERT_EQ(Store("p.mp3", p), kOpOk);
  ASSERT_EQ(Store("q.mp3", Content(3 * 65536, 2)), kOpOk);
  ASSERT_EQ(Store("r.mp3", Content(3 * 65536, 3)), kOpOk);
  const auto cp = Chain(Named("p.mp3")), cq = Chain(Named("q.mp3")), cr = Chain(Named("r.mp3"));
  // q (FileId 2) joins p's chain at its second cluster and stays sound; r
  // (FileId 3) joins it at its third and ends there, short of its size.
  SetTableEntry(cq[0], cp[1]);
  SetTableEntry(cq[1], 0);
  SetTableEntry(cq[2], 0);
  SetTableEntry(cr[0], cp[2]);
  SetTableEntry(cr[1], 0);
  SetTableEntry(cr[2], 0);
  WriteDamage();
  const Bytes qBefore = OnCard(Named("q.mp3"));
  ASSERT_EQ(qBefore.size(), 3u * 65536);

  const VolumeCheck found = CheckVolume(0);
  EXPECT_TRUE(HasLine(found.problems, "in the chains of both p.mp3 and q.mp3"));
  EXPECT_TRUE(HasLine(found.problems, "in the chains of both p.mp3 and r.mp3"));
  EXPECT_TRUE(HasLine(found.problems, "r.mp3: its chain ends after 2 of its 3 clusters"));

  const auto lines = RepairAndRecheck();
  EXPECT_TRUE(HasLine(lines, "p.mp3: cut to 1 cluster (65,536 bytes); its chain ran into cluster " +
                                 std::to_string(cp[1]) + " of q.mp3"));
  EXPECT_TRUE(HasLine(lines, "r.mp3: cut to 1 cluster (65,536 bytes); its chain ran into cluster " +
                                 std::to_string(cp[2]) + " of q.mp3"));
  EXPECT_EQ(FetchBack("q.mp3"), qBefore);
  EXPECT_EQ(FetchBack("p.mp3"), Prefix(p, 65536));
  EXPECT_EQ(FetchBack("r.mp3"), Prefix(Content(3 * 65536, 3), 65536));
}

TEST_F(engine_check, TheCopyThatMatchesTheDirectoryRebuildsTheOther) {
  StartMountedCard(8192);
  const Bytes a = Content(200000, 1), b = Content(70000, 2);
  ASSERT_EQ(Store("a.mp3", a), kOpOk);
  ASSERT_EQ(Store("b.mp3", b), kOpOk);
  const auto ca = Chain(Named("a.mp3"));
  const std::uint32_t spt = VolumeImage.sectorsPerTable;

  // A deletion of the old order cut after copy 1: a's links are gone there
  // only, and its entry stays.
  Bytes copy1 = Copy(1);
  for (const std::uint16_t c : ca) copy1[c * 2] = copy1[c * 2 + 1] = 0;
  ASSERT_TRUE(WriteAt(image_, std::uint64_t{kTableLba} * 512, copy1));
  Remount();
  VolumeCheck found = CheckVolume(0);
  EXPECT_TRUE(HasLine(found.problems, "the two copies of the allocation table differ in 4 entries"));
  EXPECT_TRUE(HasLine(found.problems, "a.mp3: its chain runs into cluster"));
  EXPECT_FALSE(FileAt(found, Named("a.mp3"))->whole);
  auto lines = RepairAndRecheck();
  EXPECT_TRUE(HasLine(lines, "allocation table copy 1 restored from copy 2, which matches the directory"));
  EXPECT_EQ(lines.size(), 1u) << Joined(lines);
  EXPECT_EQ(WrittenRegions(), "1");
  EXPECT_EQ(FetchBack("a.mp3"), a);
  EXPECT_EQ(FetchBack("b.mp3"), b);

  // Now copy 2 holds junk while copy 1 matches the directory.
  Bytes copy2 = Copy(2);
  for (std::size_t i = 40; i < 200; ++i) copy2[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(WriteAt(image_, std::uint64_t{kTableLba + spt} * 512, copy2));
  Remount();
  found = CheckVolume(0);
  EXPECT_TRUE(HasLine(found.problems, "the two copies of the allocation table differ"));
  EXPECT_EQ(found.problems.size(), 1u) << Joined(found.problems);
  for (const CheckedFile& f : found.files) EXPECT_TRUE(f.whole) << f.name;
  lines = RepairAndRecheck();
  EXPECT_TRUE(HasLine(lines, "allocation table copy 2 rewritten from copy 1"));
  EXPECT_EQ(WrittenRegions(), "2");
  EXPECT_EQ(FetchBack("a.mp3"), a);
  EXPECT_EQ(FetchBack("b.mp3"), b);
}

TEST_F(engine_check, NamesAreMadeWholeOrphanSlotsFreedAndReleasesWrittenBeforeTheNewNames) {
  StartMountedCard(8192);
  std::map<std::string, Bytes> content;
  std::uint32_t seed = 1;
  for (const char* name : {"n.mp3", "h.mp3", "v.voc", "dup.mp3", "other.mp3", "s1.mp3", "s2.mp3"}) {
    content[name] = Content(20000, seed++);
    ASSERT_EQ(Store(name, content[name]), kOpOk) << name;
  }
  std::uint8_t* n = Named("n.mp3");
  std::uint8_t* h = Named("h.mp3");
  std::uint8_t* v = Named("v.voc");
  std::uint8_t* other = Named("other.mp3");
  std::uint8_t* s1 = Named("s1.mp3");
  std::uint8_t* s2 = Named("s2.mp3");
  const std::uint16_t nSlot = EntryNameSlot(n);
  VolumeImage.nameTable[nSlot] = VolumeImage.nameTable[nSlot + 1] = 0;  // a name never written
  h[kEntryMarkOffset] = 0;  // a deletion cut after the entry's mark
  v[kEntryMarkOffset] = 0;  // a recording without a name: normal
  SetName(other, "dup.mp3");
  s2[kEntryNameSlotOffset] = s1[kEntryNameSlotOffset];
  s2[kEntryNameSlotOffset + 1] = s1[kEntryNameSlotOffset + 1];
  StoreFileName("ghost.mp3", 100 * kNameSlotSize);  // a put cut before its entry
  WriteDamage();
  const Bytes otherBefore = OnCard(other), s2Before = OnCard(s2), nBefore = OnCard(n);

  const VolumeCheck found = CheckVolume(0);
  const auto& p = found.problems;
  EXPECT_TRUE(HasLine(p, "music entry 0x01 (directory entry 0): no readable name"));
  EXPECT_TRUE(HasLine(p, "music entry 0x02 (directory entry 1): half-deleted (its name mark is 0)"));
  EXPECT_TRUE(HasLine(p, "2 files are listed as dup.mp3 (FileIds 0x03, 0x04)"));
  EXPECT_TRUE(HasLine(p, "2 entries share name slot " + std::to_string(EntryNameSlot(s1) / 64) +
                             " (s1.mp3): FileId 0x05, FileId 0x06"));
  // The half-deleted entry's slot, the nameless recording's, s2's own and the
  // ghost's: in use, held by none.
  EXPECT_TRUE(HasLine(p, "4 name slots are in use but held by no file: 1-2, 6, 100"));
  EXPECT_TRUE(HasLine(p, "music FileIds do not run from 1 to 5 without a gap: missing 0x02"));
  for (const std::string& line : p) EXPECT_EQ(line.find(MakeVoiceName(0x81)), std::string::npos) << line;
  EXPECT_FALSE(FileAt(found, h)->whole);
  EXPECT_TRUE(FileAt(found, v)->whole);
  EXPECT_TRUE(FileAt(found, n)->whole);  // its data is whole; it only lacks a name

  const auto lines = RepairAndRecheck();
  EXPECT_TRUE(HasLine(lines, "music entry 0x02 (directory entry 1): released; it was half-deleted"));
  EXPECT_TRUE(HasLine(lines, "4 name slots that no file held freed"));
  EXPECT_TRUE(HasLine(lines, "music entry 0x01 (directory entry 0): named recovered-001.mp3; it had no readable name"));
  EXPECT_TRUE(HasLine(lines, "dup.mp3: named recovered-002.mp3; another file has the name dup.mp3"));
  EXPECT_TRUE(HasLine(lines, "s1.mp3: named recovered-003.mp3; its name slot is s1.mp3's too"));
  EXPECT_TRUE(HasLine(lines, "dup.mp3: FileId 0x03 is now 0x02"));
  // The releasing flush (directory, NameTable, both copies) before the adding
  // one (NameTable, directory).
  EXPECT_EQ(WrittenRegions(), "DN12ND");
  EXPECT_EQ(VolumeImage.nameTable[100 * kNameSlotSize], 0);  // the ghost's slot

  EXPECT_EQ(RebuildCardList(), (std::vector<std::string>{"recovered-001.mp3", "dup.mp3", "recovered-002.mp3",
                                                         "s1.mp3", "recovered-003.mp3", MakeVoiceName(0x81)}));
  EXPECT_EQ(FetchBack("recovered-001.mp3"), nBefore);
  EXPECT_EQ(FetchBack("recovered-002.mp3"), otherBefore);
  EXPECT_EQ(FetchBack("recovered-003.mp3"), s2Before);
  EXPECT_EQ(FetchBack("dup.mp3"), content["dup.mp3"]);
  EXPECT_EQ(FetchBack("s1.mp3"), content["s1.mp3"]);
}

// A card's names are data: one that begins with a dot, or of a kind neither
// music nor voice, is reported and renamed to the first recovered name of
// the entry's kind, in its own slot; the file's data stays as it is.
TEST_F(engine_check, HiddenAndForeignNamesAreReportedAndRenamedByTheirEntrysKind) {
  StartMountedCard(8192);
  const struct {
    const char* name;  // stored as a sound name, then made this one
    const char* found;
    const char* renamed;
  } rows[] = {
      {".bashrc", "its name begins with a dot", "recovered-001.mp3"},
      {"notes.txt", "its name is neither a music (.mp3) nor a voice (.voc) file's", "recovered-002.mp3"},
      {".memo.voc", "its name begins with a dot", "recovered-001.voc"},
      {"a/b.mp3", "its name cannot be a PC file name", "recovered-003.mp3"},
  };
  std::vector<Bytes> before;
  for (const auto& row : rows) {
    const bool voice = std::string(row.name).ends_with(".voc");
    before.push_back(Content(3000, static_cast<std::uint32_t>(before.size() + 1)));
    ASSERT_EQ(Store(voice ? "v.voc" : "m.mp3", before.back()), kOpOk);
    SetName(Named(voice ? "v.voc" : "m.mp3"), row.name);
  }
  WriteDamage();
  const VolumeCheck found = CheckVolume(0);
  for (const auto& row : rows) EXPECT_TRUE(HasLine(found.problems, std::string(row.name) + ": " + row.found));
  EXPECT_EQ(found.problems.size(), std::size(rows)) << Joined(found.problems);
  for (const CheckedFile& f : found.files) EXPECT_TRUE(f.whole) << f.name;

  const auto lines = RepairAndRecheck();
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_TRUE(HasLine(lines, std::string(rows[i].name) + ": named " + rows[i].renamed + "; " + rows[i].found));
    EXPECT_EQ(FetchBack(rows[i].renamed), before[i]) << rows[i].renamed;
  }
  EXPECT_EQ(WrittenRegions(), "N");
}

TEST_F(engine_check, EachKindIsNumberedOneToNInItsPresentOrder) {
  StartMountedCard(8192);
  // 0-byte files written straight into the image: music 1, 3, 3, 6 and voice
  // 0x80, 0x82.
  const std::vector<std::pair<std::uint8_t, std::string>> files = {
      {0x03, "m3a.mp3"}, {0x01, "m1.mp3"}, {0x82, "v2.voc"}, {0x03, "m3b.mp3"}, {0x06, "m6.mp3"}, {0x80, "v0.voc"}};
  for (std::uint32_t k = 0; k < files.size(); ++k) {
    const auto slot = static_cast<std::uint16_t>(k * kNameSlotSize);
    StoreFileName(files[k].second, slot);
    PutEntry(0, k * 32, files[k].first, files[k].first, slot, kEndOfChain, 0);
  }
  WriteDamage();
  const VolumeCheck found = CheckVolume(0);
  const auto& p = found.problems;
  EXPECT_TRUE(HasLine(p, "music FileId 0x03 is held by 2 files: m3a.mp3, m3b.mp3"));
  EXPECT_TRUE(HasLine(p, "music FileIds do not run from 1 to 4 without a gap: missing 0x02, 0x04"));
  EXPECT_TRUE(HasLine(p, "v0.voc: FileId 0x80 is no voice file's number"));
  EXPECT_TRUE(HasLine(p, "voice FileIds do not run from 1 to 2 without a gap: missing 0x81"));
  EXPECT_EQ(p.size(), 4u) << Joined(p);

  const auto lines = RepairAndRecheck();
  EXPECT_TRUE(HasLine(lines, "m3a.mp3: FileId 0x03 is now 0x02"));
  EXPECT_FALSE(HasLine(lines, "m3b.mp3"));
  EXPECT_TRUE(HasLine(lines, "m6.mp3: FileId 0x06 is now 0x04"));
  EXPECT_TRUE(HasLine(lines, "v0.voc: FileId 0x80 is now 0x81"));
  EXPECT_EQ(lines.size(), 3u) << Joined(lines);
  EXPECT_EQ(WrittenRegions(), "D");
  const std::uint8_t expected[] = {0x02, 0x01, 0x82, 0x03, 0x04, 0x81};
  for (std::uint32_t k = 0; k < files.size(); ++k) EXPECT_EQ(DirEntryAt(0, k * 32)[kEntryFileIdOffset], expected[k]) << k;
}

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
      if (f.whole) whole.emplace_back(&f, OnCard(DirEntryAt(f.dirSector, f.dirOffset)));
    RepairAndRecheck(4096);
    for (const auto& [f, bytes] : whole) {
      const std::uint8_t* e = DirEntryAt(f->dirSector, f->dirOffset);
      EXPECT_NE(e[kEntryFileIdOffset], 0) << f->name << " was dropped";
      EXPECT_EQ(OnCard(e), bytes) << f->name;
    }
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace zk27_test
