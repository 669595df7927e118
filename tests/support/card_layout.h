// Where a formatted card's volume lies, read from its boot sector, and an
// empty volume laid down by hand the way the card manager formats one.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "support/files.h"

namespace zk27_test {

// The volume of a formatted image, in sectors and in byte offsets.
struct Layout {
  std::uint32_t sectorsPerTable = 0;
  std::uint32_t dirStart = 0;   // sector of the directory
  std::uint32_t dataStart = 0;  // sector of cluster 2
  std::uint32_t clusters = 0;   // table entries that stand for the card, 0 and 1 included
  std::uint64_t table1 = 0;     // byte offset of allocation table copy 1
  std::uint64_t table2 = 0;
  std::uint64_t directory = 0;  // byte offset of the directory
  std::uint64_t data = 0;       // byte offset of cluster 2
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
  const std::uint32_t dirSectors = Le(boot, 17, 2) * 32 / 512;
  l.dirStart = 33 + 2 * l.sectorsPerTable;
  l.dataStart = l.dirStart + dirSectors;
  l.clusters = Le(boot, 32, 4) / 128;
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

// Byte offset in the image of the directory entry whose name slot holds
// `cardName` (8-bit card text); 0 when there is none.
inline std::uint64_t FindEntry(const std::string& image, const std::string& cardName) {
  const Layout l = ReadLayout(image);
  const Bytes dir = ReadAt(image, l.directory, 32 * kSector);
  const Bytes names = ReadAt(image, l.nameTable, 30 * kSector);
  if (dir.empty() || names.empty()) return 0;
  for (std::size_t e = 0; e < dir.size(); e += 32) {
    if (dir[e + 12] == 0) continue;
    const std::uint32_t slot = Le(dir, e + 1, 2);
    if (slot + 2 > names.size()) continue;
    const std::uint32_t len = Le(names, slot, 2);
    if (len == 0 || slot + 2 + len > names.size()) continue;
    if (std::string(names.begin() + slot + 2, names.begin() + slot + 2 + len) == cardName) return l.directory + e;
  }
  return 0;
}

}  // namespace zk27_test
