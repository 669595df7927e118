// A second, independent reading of a card image for the fault tests: the
// boot sector, both allocation copies, the directory and the NameTable
// parsed from the image's bytes with none of the engine's code, and every
// file followed along its chain.
//
// What it calls a fault is what must never be left on a card, whatever cut
// it off: an entry over a free cluster, a cluster in two chains, a chain that
// leaves the table or ends too early, an entry without a readable name, two
// entries on one name slot, two files of one name, FileIds of a kind that
// repeat or leave a gap, and allocation copies that differ where neither
// agrees with the directory. What it counts apart are the leftovers a cut may
// leave: clusters and name slots that nothing owns, and copy 2 lagging
// behind copy 1 (or ahead of it) where one of them agrees with the
// directory. A repair gives those back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/files.h"

namespace card_oracle {

using zk27_test::Bytes;

struct File {
  std::string name;  // card text
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
  Survey s;
  const int fd = ::open(imagePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    s.faults.push_back("the image cannot be opened");
    return s;
  }
  const off_t imageBytes = ::lseek(fd, 0, SEEK_END);
  const Bytes boot = zk27_test::ReadAt(fd, 32 * 512, 512);
  if (boot.size() != 512 || boot[510] != 0x12 || boot[511] != 0x34 ||
      std::string(boot.begin() + 3, boot.begin() + 11) != "VOXBRICK") {
    ::close(fd);
    s.faults.push_back("the boot sector is not the player's");
    return s;
  }
  const std::uint32_t spt = Le(boot, 22, 2);
  const std::uint32_t dirSectors = Le(boot, 17, 2) * 32 / 512;
  const std::uint32_t total = Le(boot, 32, 4);
  const std::uint32_t dirStart = 33 + 2 * spt;
  const std::uint32_t dataStart = dirStart + dirSectors;
  if (spt == 0 || dirSectors == 0 || dirSectors > 32 || total < dataStart ||
      std::uint64_t{total} * 512 > static_cast<std::uint64_t>(imageBytes)) {
    ::close(fd);
    s.faults.push_back("the boot sector's tables do not fit the card");
    return s;
  }
  s.readable = true;
  // Entries whose cluster lies wholly on the card. A format marks those from
  // total / 128 on used (its count of entries includes entries 0 and 1), so
  // there a used entry that no file owns is the format's, not a leak.
  s.clusterEntries = std::min<std::uint32_t>({(total - dataStart) / 128 + 2, spt * 256, 0xFFF0});
  const std::uint32_t formatted = total / 128;
  const Bytes t1 = zk27_test::ReadAt(fd, 33ull * 512, spt * 512);
  const Bytes t2 = zk27_test::ReadAt(fd, (33ull + spt) * 512, spt * 512);
  const Bytes dir = zk27_test::ReadAt(fd, std::uint64_t{dirStart} * 512, dirSectors * 512);
  const Bytes names = zk27_test::ReadAt(fd, 512, 30 * 512);
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
  for (std::uint32_t i = 0; i < dirSectors * 16; ++i) {
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
    f.id = id;
    f.size = Le(dir, e + 28, 4);
    if (slot % 64 != 0 || slot >= 240 * 64) {
      fault(where + " points at no name slot");
      continue;
    }
    const std::uint32_t len = Le(names, slot, 2);
    if (len == 0 || len > 62) {
      fault(where + " has no readable name (slot " + std::to_string(slot) + ")");
      continue;
    }
    f.name.assign(names.begin() + slot + 2, names.begin() + slot + 2 + len);
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
        const Bytes part = zk27_test::ReadAt(fd, (dataStart + (f.chain[k] - 2ull) * 128) * 512, bytes);
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
  ::close(fd);

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
