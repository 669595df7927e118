// The tests' own reading of a card image, with none of the engine's code:
// where the volume lies (from the boot sector), an empty volume laid down by
// hand the way the card manager formats one, the entries and names of the
// directory, and a survey of the whole card for the fault tests.
//
// What the survey calls a fault is what must never be left on a card,
// whatever cut it off: an entry over a free cluster, a cluster in two chains,
// a chain that leaves the table or ends too early, an entry without a
// readable name, two entries on one name slot, two files of one name, FileIds
// of a kind that repeat or leave a gap, and allocation copies that differ
// where neither agrees with the directory. What it counts apart are the
// leftovers a cut may leave: clusters and name slots that nothing owns, and
// copy 2 lagging behind copy 1 (or ahead of it) where one of them agrees with
// the directory. A repair gives those back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/files.h"

namespace zk27_test {

// The volume of a formatted image, in sectors and in byte offsets.
struct Layout {
  std::uint32_t sectorsPerTable = 0;
  std::uint32_t dirSectors = 0;
  std::uint32_t totalSectors = 0;  // as the boot sector gives it
  std::uint32_t dirStart = 0;      // sector of the directory
  std::uint32_t dataStart = 0;     // sector of cluster 2
  std::uint32_t clusters = 0;      // table entries that stand for the card, 0 and 1 included
  std::uint64_t table1 = 0;        // byte offset of allocation table copy 1
  std::uint64_t table2 = 0;
  std::uint64_t directory = 0;     // byte offset of the directory
  std::uint64_t data = 0;          // byte offset of cluster 2
  std::uint64_t nameTable = kSector;
  std::uint64_t TableEntry(std::uint32_t cluster) const { return table1 + 2ull * cluster; }
  std::uint64_t ClusterOffset(std::uint32_t n) const { return data + (n - 2ull) * kCluster; }
};

// The layout the boot sector of `image` describes; all zero where there is
// no boot sector to read.
inline Layout ReadLayout(const std::string& image) {
  Layout l;
  const Bytes boot = ReadAt(image, 32 * kSector, kSector);
  if (boot.size() != kSector) return l;
  l.sectorsPerTable = Le(boot, 22, 2);
  l.dirSectors = Le(boot, 17, 2) * 32 / 512;
  l.totalSectors = Le(boot, 32, 4);
  l.dirStart = 33 + 2 * l.sectorsPerTable;
  l.dataStart = l.dirStart + l.dirSectors;
  l.clusters = l.totalSectors / 128;
  l.table1 = 33 * kSector;
  l.table2 = (33ull + l.sectorsPerTable) * kSector;
  l.directory = l.dirStart * kSector;
  l.data = l.dataStart * kSector;
  return l;
}

// Writes an empty volume the way the card manager formats one: boot sector
// at 32, both allocation tables, a 512-entry directory.
inline Layout FormatImage(const std::string& path, std::uint32_t totalSectors) {
  const std::uint32_t clusters = totalSectors / 128;
  const std::uint32_t tableBytes = clusters * 2;
  const std::uint32_t sectorsPerTable = (tableBytes + 511) / 512;
  const std::uint32_t dirStart = 33 + 2 * sectorsPerTable;

  Bytes boot(512, 0);
  std::memcpy(boot.data() + 3, "VOXBRICK", 8);
  boot[11] = 0x00; boot[12] = 0x02; boot[13] = 128; boot[14] = 1; boot[16] = 2;
  boot[17] = 0x00; boot[18] = 0x02;  // 512 root entries
  boot[21] = 0xF0;
  boot[22] = sectorsPerTable & 0xFF; boot[23] = static_cast<std::uint8_t>(sectorsPerTable >> 8);
  for (int i = 0; i < 4; ++i) boot[32 + i] = static_cast<std::uint8_t>(totalSectors >> (8 * i));
  std::memcpy(boot.data() + 44, "ZK27 PROPRIETARY!!", 18);
  boot[510] = 0x12; boot[511] = 0x34;
  WriteAt(path, 32 * 512, boot);

  Bytes table(sectorsPerTable * 512, 0xFF);
  std::fill(table.begin() + 4, table.begin() + tableBytes, 0);
  table[0] = 0xF8;
  WriteAt(path, 33 * 512, table);
  WriteAt(path, (33 + sectorsPerTable) * 512ull, table);
  WriteAt(path, dirStart * 512ull, Bytes(32 * 512, 0));
  return ReadLayout(path);
}

// The 32 bytes of a DirEntry: name mark, name slot, FileId, first cluster
// and size; the rest zero.
inline Bytes EntryBytes(std::uint8_t id, std::uint8_t mark, std::uint16_t slot, std::uint16_t first,
                        std::uint32_t size) {
  Bytes e(32, 0);
  e[0] = mark;
  e[1] = static_cast<std::uint8_t>(slot);
  e[2] = static_cast<std::uint8_t>(slot >> 8);
  e[12] = id;
  e[26] = static_cast<std::uint8_t>(first);
  e[27] = static_cast<std::uint8_t>(first >> 8);
  for (int i = 0; i < 4; ++i) e[28 + i] = static_cast<std::uint8_t>(size >> (8 * i));
  return e;
}

// The name in the NameTable slot at byte `slot` (a multiple of 64 below the
// table's 240 slots, holding 1 to 62 bytes); false when there is none.
inline bool SlotName(const Bytes& names, std::uint32_t slot, std::string* name) {
  if (slot % 64 != 0 || slot >= 240 * 64 || slot + 64 > names.size()) return false;
  const std::uint32_t len = Le(names, slot, 2);
  if (len == 0 || len > 62) return false;
  name->assign(names.begin() + slot + 2, names.begin() + slot + 2 + len);
  return true;
}

// Byte offset in the image of the directory entry whose name slot holds
// `cardName` (8-bit card text); 0 when there is none.
inline std::uint64_t FindEntry(const std::string& image, const std::string& cardName) {
  const Layout l = ReadLayout(image);
  const Bytes dir = ReadAt(image, l.directory, 32 * kSector);
  const Bytes names = ReadAt(image, l.nameTable, 30 * kSector);
  std::string name;
  for (std::size_t e = 0; e < dir.size(); e += 32)
    if (dir[e + 12] != 0 && SlotName(names, Le(dir, e + 1, 2), &name) && name == cardName) return l.directory + e;
  return 0;
}

// Byte offset in the image of the name slot that the entry at byte `entry`
// (from FindEntry) names.
inline std::uint64_t SlotOf(const std::string& image, std::uint64_t entry) {
  return ReadLayout(image).nameTable + Le(ReadAt(image, entry, 32), 1, 2);
}

// A name slot (at byte offset `at` in the image) made to hold `name`.
inline bool WriteSlotName(const std::string& image, std::uint64_t at, const std::string& name) {
  Bytes b = LeBytes(static_cast<std::uint32_t>(name.size()), 2);
  b.insert(b.end(), name.begin(), name.end());
  return WriteAt(image, at, b);
}

// The bytes of directory entry `entry` read along copy 1 of the table, as far
// as its chain goes on the card (and no further than the card's clusters, on
// a chain that loops).
inline Bytes EntryData(const std::string& image, const Layout& l, std::uint32_t entry) {
  const Bytes e = ReadAt(image, l.directory + 32ull * entry, 32), table = ReadAt(image, l.table1, l.sectorsPerTable * 512);
  const std::uint32_t size = Le(e, 28, 4);
  Bytes data;
  for (std::uint32_t c = Le(e, 26, 2), n = 0; data.size() < size && c >= 2 && c < l.clusters && n++ < l.clusters;
       c = Le(table, 2 * c, 2)) {
    const Bytes part = ReadAt(image, l.ClusterOffset(c), std::min<std::size_t>(kCluster, size - data.size()));
    data.insert(data.end(), part.begin(), part.end());
  }
  return data;
}

}  // namespace zk27_test

namespace card_oracle {

using zk27_test::Bytes;

struct File {
  std::string name;  // card text
  std::uint32_t entry = 0;  // its directory entry, from 0
  std::uint8_t id = 0;
  std::uint32_t size = 0;
  std::vector<std::uint16_t> chain;
  Bytes data;  // exactly `size` bytes read along the chain; empty when the chain is broken
};

struct Survey {
  bool readable = false;            // the boot sector is the player's and its tables fit the card
  std::vector<File> files;          // the entries the player would list, in directory order
  std::vector<std::string> faults;  // what must never be
  std::uint32_t clusterEntries = 0; // table entries that stand for clusters (0 and 1 included)
  std::uint32_t freeClusters = 0;   // free in copy 1
  std::uint32_t lostClusters = 0;   // used in copy 1, owned by no file
  std::uint32_t reservedClusters = 0;  // marked used by the format past its count of entries
  std::uint32_t orphanSlots = 0;    // name slots holding a name that no entry owns
  std::uint32_t copyDifferences = 0;

  const File* Find(const std::string& name) const {
    for (const File& f : files)
      if (f.name == name) return &f;
    return nullptr;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> n;
    for (const File& f : files) n.push_back(f.name);
    std::sort(n.begin(), n.end());
    return n;
  }
  std::uint32_t OwnedClusters() const {
    std::uint32_t n = 0;
    for (const File& f : files) n += static_cast<std::uint32_t>(f.chain.size());
    return n;
  }
  // Nothing to give back and nothing wrong.
  bool Clean() const { return readable && faults.empty() && lostClusters == 0 && orphanSlots == 0 && copyDifferences == 0; }
  std::string Describe() const {
    std::ostringstream os;
    os << (readable ? "readable" : "NOT readable") << "; files:";
    for (const File& f : files) os << " " << f.name << "(id " << int{f.id} << ", " << f.size << " bytes)";
    os << "; free " << freeClusters << ", reserved " << reservedClusters << ", lost " << lostClusters << ", orphan slots " << orphanSlots
       << ", copy differences " << copyDifferences;
    for (const std::string& f : faults) os << "\n  fault: " << f;
    return os.str();
  }
};

inline Survey Examine(const std::string& imagePath) {
  using zk27_test::Le;
  using zk27_test::ReadAt;
  Survey s;
  const int fd = platform::OpenFile(imagePath, platform::kOpenRead);
  platform::FileState state;
  if (fd < 0 || !platform::StateOf(fd, &state)) {
    if (fd >= 0) platform::CloseFile(fd);
    s.faults.push_back("the image cannot be opened");
    return s;
  }
  const std::uint64_t imageBytes = state.size;
  const Bytes boot = ReadAt(fd, 32 * 512, 512);
  const zk27_test::Layout l = zk27_test::ReadLayout(imagePath);
  const std::uint32_t spt = l.sectorsPerTable, total = l.totalSectors;
  if (boot.size() != 512 || boot[510] != 0x12 || boot[511] != 0x34 ||
      std::string(boot.begin() + 3, boot.begin() + 11) != "VOXBRICK") {
    s.faults.push_back("the boot sector is not the player's");
  } else if (spt == 0 || l.dirSectors == 0 || l.dirSectors > 32 || total < l.dataStart ||
             std::uint64_t{total} * 512 > static_cast<std::uint64_t>(imageBytes)) {
    s.faults.push_back("the boot sector's tables do not fit the card");
  }
  if (!s.faults.empty()) {
    platform::CloseFile(fd);
    return s;
  }
  s.readable = true;
  // Entries whose cluster lies wholly on the card. A format marks those from
  // total / 128 on used (its count of entries includes entries 0 and 1), so
  // there a used entry that no file owns is the format's, not a leak.
  s.clusterEntries = std::min<std::uint32_t>({(total - l.dataStart) / 128 + 2, spt * 256, 0xFFF0});
  const std::uint32_t formatted = l.clusters;
  const Bytes t1 = ReadAt(fd, l.table1, spt * 512);
  const Bytes t2 = ReadAt(fd, l.table2, spt * 512);
  const Bytes dir = ReadAt(fd, l.directory, l.dirSectors * 512);
  const Bytes names = ReadAt(fd, l.nameTable, 30 * 512);
  auto fault = [&](const std::string& text) { s.faults.push_back(text); };
  auto entry1 = [&](std::uint32_t c) { return static_cast<std::uint16_t>(Le(t1, 2 * c, 2)); };
  auto entry2 = [&](std::uint32_t c) { return static_cast<std::uint16_t>(Le(t2, 2 * c, 2)); };

  // Cluster -> successor the directory implies (0xFFFF for a last cluster),
  // for the clusters some file owns.
  std::map<std::uint32_t, std::uint16_t> implied;
  std::map<std::uint32_t, std::string> owner;
  std::map<std::uint32_t, std::string> slotOwner;
  std::map<std::string, int> nameCount;
  std::vector<unsigned> music, voice;
  for (std::uint32_t i = 0; i < l.dirSectors * 16; ++i) {
    const std::size_t e = std::size_t{i} * 32;
    const std::uint8_t id = dir[e + 12];
    if (id == 0) continue;
    const bool isVoice = (id & 0x80) != 0;
    const std::string where = "entry " + std::to_string(i) + " (FileId " + std::to_string(id) + ")";
    if (dir[e] == 0) {
      // These tests make no recording on the player, so every entry they
      // leave was written with its name mark.
      fault(where + " has no name mark");
      continue;
    }
    const std::uint32_t slot = Le(dir, e + 1, 2);
    File f;
    f.entry = i;
    f.id = id;
    f.size = Le(dir, e + 28, 4);
    if (slot % 64 != 0 || slot >= 240 * 64) {
      fault(where + " points at no name slot");
      continue;
    }
    if (!zk27_test::SlotName(names, slot, &f.name)) {
      fault(where + " has no readable name (slot " + std::to_string(slot) + ")");
      continue;
    }
    if (slotOwner.count(slot)) fault(f.name + " and " + slotOwner[slot] + " share name slot " + std::to_string(slot));
    slotOwner[slot] = f.name;
    if (++nameCount[f.name] == 2) fault("two files are named " + f.name);
    (isVoice ? voice : music).push_back(id & 0x7Fu);

    const std::uint32_t n = (f.size + 65535) / 65536;
    std::uint32_t c = Le(dir, e + 26, 2);
    bool whole = true;
    for (std::uint32_t k = 0; k < n; ++k) {
      if (c < 2 || c >= s.clusterEntries) {
        fault(f.name + ": its chain leaves the table at cluster " + std::to_string(c));
        whole = false;
        break;
      }
      if (owner.count(c)) {
        fault("cluster " + std::to_string(c) + " is in two chains: " + owner[c] + " and " + f.name);
        whole = false;
        break;
      }
      const std::uint16_t next = entry1(c);
      if (next == 0) fault(f.name + " lies over cluster " + std::to_string(c) + ", which copy 1 calls free");
      owner[c] = f.name;
      f.chain.push_back(static_cast<std::uint16_t>(c));
      if (k + 1 < n) {
        implied[c] = next;
        c = next;
      } else {
        implied[c] = 0xFFFF;
        if (next < 0xFFF8) fault(f.name + ": its chain runs on past its size at cluster " + std::to_string(c));
      }
    }
    if (whole && n > 0 && f.chain.size() == n) {
      for (std::size_t k = 0; k < f.chain.size(); ++k) {
        const std::uint32_t bytes = std::min<std::uint32_t>(65536, f.size - static_cast<std::uint32_t>(k) * 65536);
        const Bytes part = ReadAt(fd, l.ClusterOffset(f.chain[k]), bytes);
        if (part.size() != bytes) {
          fault(f.name + ": cluster " + std::to_string(f.chain[k]) + " lies past the image");
          f.data.clear();
          break;
        }
        f.data.insert(f.data.end(), part.begin(), part.end());
      }
    }
    s.files.push_back(std::move(f));
  }
  platform::CloseFile(fd);

  for (auto* ids : {&music, &voice}) {
    std::sort(ids->begin(), ids->end());
    for (std::size_t k = 0; k < ids->size(); ++k)
      if ((*ids)[k] != k + 1) {
        fault(std::string(ids == &music ? "music" : "voice") + " FileIds repeat or leave a gap");
        break;
      }
  }

  for (std::uint32_t c = 0; c < spt * 256; ++c) {
    const std::uint16_t a = entry1(c), b = entry2(c);
    const bool cluster = c >= 2 && c < s.clusterEntries;
    if (cluster && a == 0) ++s.freeClusters;
    if (cluster && a != 0 && !owner.count(c)) ++(c >= formatted && a == 0xFFFF ? s.reservedClusters : s.lostClusters);
    if (a == b) continue;
    ++s.copyDifferences;
    // Copy 2 may lag behind copy 1, or copy 1 behind copy 2, where one of
    // them is what the directory implies; anything else is damage.
    const std::uint16_t want = owner.count(c) ? implied[c] : 0;
    if (!cluster || (a != want && b != want))
      fault("the copies differ at entry " + std::to_string(c) + " (" + std::to_string(a) + " / " + std::to_string(b) +
            ") and neither agrees with the directory");
  }
  for (std::uint32_t slot = 0; slot < 240 * 64; slot += 64)
    if (Le(names, slot, 2) != 0 && !slotOwner.count(slot)) ++s.orphanSlots;
  return s;
}

using Files = std::map<std::string, Bytes>;

// The oracle's verdict on the image at `image`: nothing that must never be,
// every untouched file whole, each target whole or absent, and nothing else
// on the card.
inline Survey Judge(const std::string& image, const Files& untouched, const Files& targets) {
  const Survey s = card_oracle::Examine(image);
  EXPECT_TRUE(s.readable) << s.Describe();
  EXPECT_TRUE(s.faults.empty()) << s.Describe();
  for (const auto& [name, bytes] : untouched) {
    const File* f = s.Find(name);
    if (!f) {
      ADD_FAILURE() << name << " was lost\n" << s.Describe();
      continue;
    }
    EXPECT_TRUE(f->data == bytes) << name << " is not byte-identical\n" << s.Describe();
  }
  for (const auto& [name, bytes] : targets) {
    if (const File* f = s.Find(name)) {
      EXPECT_TRUE(f->data == bytes) << name << " is on the card but not whole\n" << s.Describe();
    }
  }
  for (const File& f : s.files)
    EXPECT_TRUE(untouched.count(f.name) || targets.count(f.name)) << f.name << " should not be on the card";
  return s;
}

}  // namespace card_oracle
