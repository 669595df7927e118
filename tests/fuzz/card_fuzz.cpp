// libFuzzer target: a card image from the input, then everything a program
// does with a card it is given: the card check, the mount, the card list,
// every listed file fetched, the volume check, the repair, and the check once
// more on the card as the repair left it.
//
// The input is the card's tables as they lie on the card: the sectors from
// the BootSector to the end of the directory (BootSector, allocation copy 1,
// copy 2, directory), then the NameTable. It is written over a formatted
// 4 MiB card whose data area holds a pattern that differs from cluster to
// cluster; a short input leaves the rest of the formatted tables in place, so
// the BootSector and the allocation tables are reached with a few bytes.
//
// Invariants, each an abort() with a line on stderr:
//  - a fetched file is exactly as long as its entry says;
// and once the volume check is built in (ZK27_HAVE_CHECK):
//  - a file the check calls whole fetches (it lies on the card: on an image
//    only a read past the end fails);
//  - the repair's writes succeed, and after the repair the check finds
//    nothing;
//  - every file the first check called whole fetches byte for byte as it did
//    before the repair.
//
// `card_fuzz --write-seeds=DIR` writes the seed corpus instead: cards made by
// the engine itself (formatted, files sent) and then damaged the ways a cut
// or a foreign writer damages them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bulk_backend.h"
#include "cardops.h"
#include "support/engine_reset.h"
#include "fs.h"
#include "fs_raw.h"
#include "hooks.h"
#include "usbfunc.h"

#ifndef ZK27_HAVE_CHECK
#define ZK27_HAVE_CHECK 0
#endif
#if ZK27_HAVE_CHECK
#include "check.h"
#endif

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kCardSectors = 8192;  // 4 MiB: some 60 clusters
// Fetching stops counting files past this many bytes in one pass: a
// directory of 512 entries over one shared chain would otherwise copy
// gigabytes for a few bytes of input, and teach the fuzzer nothing more.
constexpr std::uint64_t kFetchBudget = 8u << 20;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "card_fuzz: invariant broken: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

// Where the formatted base card keeps its tables.
struct Layout {
  std::uint32_t sectorsPerTable = 0;
  std::uint32_t dirStart = 0;
  std::uint32_t dataStart = 0;  // first sector of the data area
  // The input's bytes: [kBootSectorLba, dataStart) then the NameTable.
  std::size_t TablesBytes() const { return std::size_t{dataStart - kBootSectorLba} * 512; }
  std::size_t InputBytes() const { return TablesBytes() + kNameTableBytes; }
};

struct Harness {
  std::string dir;
  std::string image;
  std::string out;  // fetched files land here, one at a time
  Bytes base;       // the formatted card with its data pattern, whole
  Layout layout;
};
Harness* g_harness = nullptr;

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size, off_t at) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, at);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    at += n;
  }
  return true;
}

// Writes `bytes` at the start of the file, leaving what lies beyond.
bool WriteImage(const std::string& path, const Bytes& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, bytes.data(), bytes.size(), 0);
  return ::close(fd) == 0 && ok;
}

bool ReadWhole(const std::string& path, Bytes* bytes) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) return false;
  bytes->assign(size, 0);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < bytes->size()) {
    const ssize_t n = ::pread(fd, bytes->data() + done, bytes->size() - done, static_cast<off_t>(done));
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return done == bytes->size();
}

void Attach(const std::string& image) {
  ResetEngine();
  std::string error;
  if (!AttachCardImage(image, &error)) Fail("cannot attach the card image: " + error);
}

// The card's first dataStart sectors (everything but the data area) that an
// input gives: the formatted base's with the input laid over the tables.
Bytes TablesFromInput(const Harness& h, const std::uint8_t* data, std::size_t size) {
  Bytes head(h.base.begin(), h.base.begin() + std::size_t{h.layout.dataStart} * 512);
  const std::size_t tables = std::min(size, h.layout.TablesBytes());
  std::memcpy(head.data() + std::size_t{kBootSectorLba} * 512, data, tables);
  if (size > tables) {
    const std::size_t names = std::min<std::size_t>(size - tables, kNameTableBytes);
    std::memcpy(head.data() + std::size_t{kNameTableLba} * 512, data + tables, names);
  }
  return head;
}

// The input that gives a card's tables (`card`: at least its first dataStart
// sectors): the inverse of TablesFromInput, without the trailing bytes that
// the formatted base has anyway.
Bytes InputFromCard(const Harness& h, const Bytes& card) {
  auto input = [&h](const Bytes& c) {
    Bytes in(c.begin() + std::size_t{kBootSectorLba} * 512, c.begin() + std::size_t{h.layout.dataStart} * 512);
    in.insert(in.end(), c.begin() + std::size_t{kNameTableLba} * 512,
              c.begin() + std::size_t{kNameTableLba} * 512 + kNameTableBytes);
    return in;
  };
  Bytes in = input(card);
  const Bytes base = input(h.base);
  std::size_t keep = in.size();
  while (keep > 0 && in[keep - 1] == base[keep - 1]) --keep;
  in.resize(keep);
  return in;
}

// One card file as the fetch found it.
struct Fetched {
  bool tried = false;  // false: left out, over the budget
  CardOpResult result = kOpOk;
  Bytes bytes;
};
using DirPosition = std::pair<std::int32_t, std::int32_t>;  // DirSector, DirOffset

// The card list rebuilt, and every listed file fetched into the out folder,
// by its place in the directory (names may repeat, and a repair may change
// them).
std::map<DirPosition, Fetched> FetchEveryFile(const Harness& h) {
  std::map<DirPosition, Fetched> files;
  RebuildCardList();
  std::uint64_t budget = kFetchBudget;
  for (std::int32_t r = 1; r <= CardFileCount; ++r) {
    const TFileInfor record = CardFileTable[r];
    const std::uint32_t size = CardFileSize(record);
    Fetched f;
    if (size > budget) {
      files[{record.DirSector, record.DirOffset}] = std::move(f);
      continue;
    }
    budget -= size;
    f.tried = true;
    std::string pcName;
    f.result = FetchCardFileTo(r, h.out, {}, &pcName);
    if (f.result == kOpOk) {
      const std::string path = h.out + "/" + pcName;
      if (!ReadWhole(path, &f.bytes)) Fail("a fetched file cannot be read back: " + pcName);
      std::filesystem::remove(path);
      if (f.bytes.size() != size)
        Fail("fetched " + std::to_string(f.bytes.size()) + " bytes of " + pcName + ", its entry says " +
             std::to_string(size));
    }
    files[{record.DirSector, record.DirOffset}] = std::move(f);
    // On an image a command fails only when it reaches past the file's end
    // (a BootSector that claims a larger card places clusters there); the
    // volume image is as it was, so the next file is fetched as a fresh
    // program would fetch it.
    DeviceState = kDeviceReady;
  }
  return files;
}

#if ZK27_HAVE_CHECK
std::string Problems(const VolumeCheck& check) {
  std::string text;
  for (const auto& p : check.problems) text += "\n  " + p;
  return text;
}
#endif

void RunOne(const Harness& h, const std::uint8_t* data, std::size_t size) {
  // Only the tables are written: nothing here writes the data area, which
  // holds the base's pattern since the start.
  if (!WriteImage(h.image, TablesFromInput(h, data, size))) Fail("cannot write the card image");
  Attach(h.image);
  if (CheckCard() != kCardOk) return;
  // A total of 0 makes the mount format the card: a 300 ms pause that reads
  // nothing of the input.
  if (std::memcmp(SectorBuffer + 32, "\0\0\0\0", 4) == 0) return;
  if (MountVolume() != kMountOk) return;
  const std::map<DirPosition, Fetched> before = FetchEveryFile(h);

#if ZK27_HAVE_CHECK
  if (!ReadTableCopy2()) Fail("allocation copy 2 cannot be read from a card image");
  const std::uint32_t sectors = IdentifiedCardSectors();
  if (sectors != kCardSectors) Fail("the identify command gives " + std::to_string(sectors) + " sectors");
  const VolumeCheck first = CheckVolume(sectors);
  for (const CheckedFile& f : first.files) {
    if (!f.whole) continue;
    const auto it = before.find({static_cast<std::int32_t>(f.dirSector), static_cast<std::int32_t>(f.dirOffset)});
    if (it != before.end() && it->second.tried &&
        (it->second.result == kOpDamaged || it->second.result == kOpDeviceFailed))
      Fail("the check calls " + f.name + " whole, its fetch failed (result " + std::to_string(it->second.result) +
           ")");
  }
  RepairVolume(sectors);
  if (DeviceState != 0) Fail("the repair's writes failed on a card image");

  // The card as the repair left it, read by a program that starts afresh.
  Attach(h.image);
  if (CheckCard() != kCardOk) Fail("after the repair the card check refuses the card");
  if (MountVolume() != kMountOk) Fail("after the repair the card does not mount");
  if (!ReadTableCopy2()) Fail("after the repair allocation copy 2 cannot be read");
  const VolumeCheck second = CheckVolume(sectors);
  // A file past the card's end is left, and with it the volume's size.
  const bool leftPastTheCard = std::any_of(second.problems.begin(), second.problems.end(), [](const std::string& p) {
    return p.find(": it lies past the card's end") != std::string::npos;
  });
  if (!second.problems.empty() && !leftPastTheCard)
    Fail("problems remain after the repair (first check:" + Problems(first) + "\nafter:" + Problems(second) + ")");
  const std::map<DirPosition, Fetched> after = FetchEveryFile(h);
  for (const CheckedFile& f : first.files) {
    if (!f.whole) continue;
    const DirPosition at{static_cast<std::int32_t>(f.dirSector), static_cast<std::int32_t>(f.dirOffset)};
    const auto was = before.find(at);
    // Not fetched before (over the budget, or a name that is no PC file
    // name): nothing to compare.
    if (was == before.end() || !was->second.tried || was->second.result != kOpOk) continue;
    const auto now = after.find(at);
    if (now == after.end()) Fail("the repair dropped " + f.name + ", which the check called whole");
    if (!now->second.tried) continue;
    if (now->second.result != kOpOk)
      Fail(f.name + ", whole before the repair, does not fetch after it (result " +
           std::to_string(now->second.result) + ")");
    if (now->second.bytes != was->second.bytes) Fail(f.name + ", whole before the repair, changed in it");
  }
#endif
  (void)before;
}

// ---- the seed corpus ----------------------------------------------------------

// A card made by the engine on the harness's image: formatted, then the files
// sent to it; the image's bytes are returned for damaging.
class SeedCard {
 public:
  explicit SeedCard(const Harness& h) : h_(h) {
    if (!WriteImage(h_.image, h_.base)) Fail("cannot write the seed image");
    Attach(h_.image);
    if (MountVolume() != kMountOk) Fail("the formatted card does not mount");
    RebuildCardList();
  }

  // Sends a PC file of `size` bytes under `name`; its first cluster.
  std::uint16_t Put(const std::string& name, std::uint32_t size, std::uint32_t seed) {
    Bytes content(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& c : content) {
      x = x * 1103515245u + 12345u;
      c = static_cast<std::uint8_t>(x >> 16);
    }
    const std::string pc = h_.dir + "/" + name;
    if (!WriteImage(pc, content)) Fail("cannot write a PC file for the seeds");
    if (SendFileToCard(pc, name, {}) != kOpOk) Fail("the engine does not store the seed file " + name);
    std::filesystem::remove(pc);
    const std::int32_t r = FindCardFileNow(name);
    if (r <= 0) Fail("the seed file " + name + " is not listed");
    RebuildCardList();
    return EntryFirstCluster(Entry(name));
  }

  std::uint8_t* Entry(const std::string& name) {
    const std::int32_t r = FindCardFileNow(name);
    if (r <= 0) Fail("no seed file " + name);
    return DirEntryAt(static_cast<std::uint32_t>(CardFileTable[r].DirSector),
                      static_cast<std::uint32_t>(CardFileTable[r].DirOffset));
  }

  // Byte offsets on the card of the damaged places.
  std::size_t EntryAt(const std::string& name) {
    const std::int32_t r = FindCardFileNow(name);
    if (r <= 0) Fail("no seed file " + name);
    return (std::size_t{h_.layout.dirStart} + static_cast<std::size_t>(CardFileTable[r].DirSector)) * 512 +
           static_cast<std::size_t>(CardFileTable[r].DirOffset);
  }
  // The card's bytes as the engine left them, the file closed.
  Bytes Take() {
    Bytes card;
    DetachCardImage();
    if (!ReadWhole(h_.image, &card)) Fail("cannot read the seed image");
    return card;
  }

 private:
  const Harness& h_;
};

void Put16(Bytes& card, std::size_t at, std::uint16_t v) {
  card[at] = static_cast<std::uint8_t>(v);
  card[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(Bytes& card, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) card[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::size_t Copy1(std::uint32_t cluster) { return std::size_t{kTableLba} * 512 + cluster * 2u; }
std::size_t Copy2(const Harness& h, std::uint32_t cluster) {
  return (std::size_t{kTableLba} + h.layout.sectorsPerTable) * 512 + cluster * 2u;
}
// Both allocation copies.
void PutTable(const Harness& h, Bytes& card, std::uint32_t cluster, std::uint16_t v) {
  Put16(card, Copy1(cluster), v);
  Put16(card, Copy2(h, cluster), v);
}

void WriteSeeds(const Harness& h, const std::string& to) {
  std::filesystem::create_directories(to);
  int written = 0;
  auto seed = [&](const std::string& name, const Bytes& card) {
    const Bytes in = InputFromCard(h, card);
    if (!WriteImage(to + "/" + name, in)) Fail("cannot write seed " + name);
    // A seed whose tables do not come back would fuzz another card than it
    // names. (Its files' data does not come back: the fuzzer's cards hold the
    // base pattern there.)
    if (InputFromCard(h, TablesFromInput(h, in.data(), in.size())) != in ||
        InputFromCard(h, card) != in)
      Fail("seed " + name + " does not map back to its card");
    ++written;
  };
  constexpr std::uint32_t kC = kClusterBytes;

  {  // formatted, empty
    SeedCard c(h);
    seed("empty", c.Take());
  }
  {  // a few files of each kind, one of them over several clusters
    SeedCard c(h);
    c.Put("song.mp3", 2 * kC + 100, 1);
    c.Put("tiny.mp3", 1, 2);
    c.Put("memo.voc", kC, 3);
    c.Put("exact.mp3", 3 * kC, 4);
    seed("files", c.Take());
  }
  {  // many one-cluster files: a long directory and a nearly full card
    SeedCard c(h);
    for (int i = 0; i < 40; ++i) c.Put("f" + std::to_string(i) + (i % 4 == 3 ? ".voc" : ".mp3"), 1000u + i, i);
    seed("many", c.Take());
  }
  {  // a chain that ends early: the table marks its second cluster free
    SeedCard c(h);
    const std::uint16_t first = c.Put("broken.mp3", 3 * kC, 5);
    c.Put("fine.mp3", kC + 5, 6);
    Bytes card = c.Take();
    PutTable(h, card, first + 1u, 0);
    seed("chain-ends-early", card);
  }
  {  // a chain that loops back to its start, and one that leaves the table
    SeedCard c(h);
    const std::uint16_t a = c.Put("loop.mp3", 3 * kC, 7);
    const std::uint16_t b = c.Put("away.mp3", 2 * kC, 8);
    Bytes card = c.Take();
    PutTable(h, card, a + 2u, a);
    PutTable(h, card, b, 0xFFEF);
    seed("chain-loops-and-leaves", card);
  }
  {  // two files sharing a cluster
    SeedCard c(h);
    c.Put("one.mp3", 2 * kC, 9);
    c.Put("two.mp3", 2 * kC, 10);
    const std::size_t twoEntry = c.EntryAt("two.mp3");
    const std::uint16_t oneFirst = EntryFirstCluster(c.Entry("one.mp3"));
    Bytes card = c.Take();
    Put16(card, twoEntry + kEntryFirstClusterOffset, static_cast<std::uint16_t>(oneFirst + 1));
    seed("cross-linked", card);
  }
  {  // a rm cut after its directory write: the entry gone, its clusters kept
    SeedCard c(h);
    c.Put("kept.mp3", kC, 11);
    c.Put("gone.mp3", 2 * kC, 12);
    const std::size_t entry = c.EntryAt("gone.mp3");
    Bytes card = c.Take();
    std::memset(card.data() + entry, 0, kDirEntrySize);
    seed("lost-clusters-and-orphan-name", card);
  }
  {  // a rm cut at the tables: the entry stays over clusters marked free
    SeedCard c(h);
    const std::uint16_t first = c.Put("half.mp3", 2 * kC, 13);
    c.Put("other.mp3", 100, 14);
    Bytes card = c.Take();
    PutTable(h, card, first, 0);
    Put16(card, Copy1(first + 1u), 0);  // copy 2 still holds the chain's end
    seed("entry-over-free-clusters", card);
  }
  {  // a put cut before its NameTable write: an entry without a name
    SeedCard c(h);
    c.Put("named.mp3", 100, 15);
    c.Put("nameless.mp3", kC + 1, 16);
    const std::uint16_t slot = EntryNameSlot(c.Entry("nameless.mp3"));
    Bytes card = c.Take();
    std::memset(card.data() + std::size_t{kNameTableLba} * 512 + slot, 0, kNameSlotSize);
    seed("music-without-name", card);
  }
  {  // a recording made on the player: a voice entry with no name at all
    SeedCard c(h);
    c.Put("song.mp3", 100, 17);
    c.Put("rec.voc", kC + 7, 18);
    const std::size_t entry = c.EntryAt("rec.voc");
    const std::uint16_t slot = EntryNameSlot(c.Entry("rec.voc"));
    Bytes card = c.Take();
    card[entry + kEntryMarkOffset] = 0;
    Put16(card, entry + kEntryNameSlotOffset, 0);
    std::memset(card.data() + std::size_t{kNameTableLba} * 512 + slot, 0, kNameSlotSize);
    seed("voice-recorded-on-player", card);
  }
  {  // two entries of one name, FileIds that repeat and leave gaps
    SeedCard c(h);
    c.Put("a.mp3", 100, 19);
    c.Put("b.mp3", 200, 20);
    c.Put("c.mp3", 300, 21);
    c.Put("v.voc", 400, 22);
    const std::size_t b = c.EntryAt("b.mp3"), cc = c.EntryAt("c.mp3"), v = c.EntryAt("v.voc");
    const std::uint16_t aSlot = EntryNameSlot(c.Entry("a.mp3"));
    Bytes card = c.Take();
    Put16(card, b + kEntryNameSlotOffset, aSlot);  // b.mp3 listed under a.mp3's name
    card[cc + kEntryFileIdOffset] = 0x09;     // music 1, 2, 9
    card[v + kEntryFileIdOffset] = 0x81 + 4;  // voice 5 alone
    seed("duplicate-names-and-fileids", card);
  }
  {  // the two allocation copies differ, and the table's header is damaged
    SeedCard c(h);
    const std::uint16_t first = c.Put("x.mp3", 2 * kC, 23);
    Bytes card = c.Take();
    Put16(card, Copy2(h, first), 0);
    Put16(card, Copy2(h, first + 5u), kEndOfChain);
    Put16(card, Copy1(0), 0);
    seed("copies-differ", card);
  }
  {  // a size that does not match the chain: longer and shorter
    SeedCard c(h);
    c.Put("long.mp3", 2 * kC, 24);
    c.Put("short.mp3", 2 * kC, 25);
    const std::size_t l = c.EntryAt("long.mp3"), s = c.EntryAt("short.mp3");
    Bytes card = c.Take();
    Put32(card, l + kEntrySizeOffset, 5 * kC);
    Put32(card, s + kEntrySizeOffset, 10);
    seed("size-mismatch", card);
  }
  {  // a BootSector that claims more card than there is, and a name slot
     // pointing outside the NameTable
    SeedCard c(h);
    c.Put("far.mp3", 100, 26);
    const std::size_t e = c.EntryAt("far.mp3");
    Bytes card = c.Take();
    Put32(card, std::size_t{kBootSectorLba} * 512 + 32, 4 * kCardSectors);
    Put16(card, e + kEntryNameSlotOffset, 0xFFC0);
    seed("boot-claims-more", card);
  }
  std::fprintf(stderr, "card_fuzz: %d seeds written to %s\n", written, to.c_str());
}

// ---- set-up ---------------------------------------------------------------------

Harness* MakeHarness() {
  auto* h = new Harness;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zk27-fuzz-XXXXXX";
  if (!::mkdtemp(pattern.data())) Fail("cannot make a temporary folder");
  h->dir = pattern;
  h->image = h->dir + "/card.img";
  h->out = h->dir + "/out";
  std::filesystem::create_directories(h->out);
  // Whatever reaches for a player finds none: the card is the image.
  ::setenv("ZK27_PLAYER_SOCKET", (h->dir + "/no-player.sock").c_str(), 1);

  // The base card: formatted by the engine, the data area filled with a
  // pattern of each cluster's own, so that a file read from wrong clusters
  // differs.
  if (!WriteImage(h->image, Bytes(std::size_t{kCardSectors} * 512, 0))) Fail("cannot write the base image");
  Attach(h->image);
  if (FormatCard() != kFormatOk) Fail("the engine does not format the base card");
  if (MountVolume() != kMountOk) Fail("the formatted base card does not mount");
  h->layout.sectorsPerTable = VolumeImage.sectorsPerTable;
  h->layout.dirStart = VolumeImage.dirStart;
  h->layout.dataStart = VolumeImage.dataStart;
  DetachCardImage();
  if (!ReadWhole(h->image, &h->base)) Fail("cannot read the base image");
  for (std::size_t at = std::size_t{h->layout.dataStart} * 512; at + 4 <= h->base.size(); at += 4) {
    const std::uint32_t v = static_cast<std::uint32_t>(at * 2654435761u) ^ 0x5A17C0DEu;
    std::memcpy(h->base.data() + at, &v, 4);
  }
  if (!WriteImage(h->image, h->base)) Fail("cannot write the base image");
  ResetEngine();
  std::atexit([] {
    if (g_harness) {
      std::error_code ec;
      std::filesystem::remove_all(g_harness->dir, ec);
    }
  });
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  g_harness = MakeHarness();
  // libFuzzer ignores flags that start with "--"; this one is ours.
  for (int i = 1; i < *argc; ++i) {
    const std::string arg = (*argv)[i];
    if (arg.rfind("--write-seeds=", 0) == 0) {
      WriteSeeds(*g_harness, arg.substr(std::strlen("--write-seeds=")));
      std::exit(0);
    }
    if (arg == "--input-size") {
      // scripts/fuzz passes this as -max_len: longer inputs are cut.
      std::printf("%zu\n", g_harness->layout.InputBytes());
      std::exit(0);
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunOne(*g_harness, data, size);
  ResetEngine();
  return 0;
}
