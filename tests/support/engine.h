// Helpers shared by the engine's tests: scripted front-end hooks, a clean
// engine at the start of every case, and fixtures that put a card image of
// the test's own behind the engine: through the virtual player in this
// process, attached directly, or through zk27-player on a socket.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "bulk_backend.h"
#include "cardops.h"
#include "fs.h"
#include "fs_raw.h"
#include "hooks.h"
#include "messages.h"
#include "in_process_player.h"
#include "support/card_image.h"
#include "support/engine_reset.h"
#include "support/files.h"
#ifndef _WIN32
#include "support/programs.h"
#endif
#include "text.h"
#include "usbfunc.h"

namespace zk27_test {

// Runs `step` in a child process and returns its exit code, or -1 when a
// signal ended the child (a crash), so that an engine that crashes fails one
// check instead of ending the whole test program. Only what the child wrote
// to files outlives it.
inline int InChildProcess(const std::function<int()>& step) {
#ifdef _WIN32
  // No fork on Windows: the step runs in this process, and a crash ends
  // the whole test program instead of one check.
  return step();
#else
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) std::_Exit(step());
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

// The front end as the engine sees it: every message, question, report of
// the device's state and cursor change is recorded; questions take
// scripted answers.
class ScriptedHooks {
 public:
  std::vector<std::string> messages;
  std::vector<std::string> questions;
  std::deque<Answer> answers;  // Closed once they run out
  std::vector<DeviceStateCode> deviceStates;
  std::vector<bool> cursor;

  void Install() {
    FrontEndHooks h;
    h.showMessage = [this](const std::string& text) { messages.push_back(text); };
    h.notice = [this](Notice notice) { messages.push_back(msg::WindowText(notice)); };
    h.askYesNo = [this](const std::string&, const std::string& text, bool) {
      questions.push_back(text);
      if (answers.empty()) return Answer::Closed;
      const Answer a = answers.front();
      answers.pop_front();
      return a;
    };
    h.deviceState = [this](DeviceStateCode state) { deviceStates.push_back(state); };
    h.setBusyCursor = [this](bool busy) { cursor.push_back(busy); };
    InstallHooks(std::move(h));
  }
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    // Should no in-process player be installed, the driver must not find a
    // running daemon either.
    SetEnv("ZK27_PLAYER_SOCKET", dir_ / "no-player.sock");
    RuntimeFolderIn(dir_);
    ResetEngine();
    hooks_.Install();
  }
  void TearDown() override { ResetEngine(); }

  TempDir dir_;
  ScriptedHooks hooks_;
};

// One command as the player received it.
struct Command {
  std::uint8_t code;
  std::uint32_t lba;
  std::uint16_t count;
  bool operator==(const Command&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Command& c) {
  return os << "{code 0x" << std::hex << int{c.code} << std::dec << ", lba " << c.lba << ", count " << c.count
            << "}";
}
inline Command Read(std::uint32_t lba, std::uint16_t count) { return {kCmdReadSectors, lba, count}; }
inline Command Write(std::uint32_t lba, std::uint16_t count) { return {kCmdWriteSectors, lba, count}; }

// Where the engine finds the card: the virtual player in this process, the
// image file attached directly (no player at all), or zk27-player serving the
// image on a socket of its own in another process.
enum class CardSource { kInProcess, kImage, kSocket };

inline const char* CardSourceText(CardSource source) {
  switch (source) {
    case CardSource::kInProcess: return "in_process";
    case CardSource::kImage: return "image";
    case CardSource::kSocket: return "socket";
  }
  return "unknown";
}
// The suffix of a case's name, and what GoogleTest prints for the parameter.
inline std::string CardSourceName(const ::testing::TestParamInfo<CardSource>& info) {
  return CardSourceText(info.param);
}
inline void PrintTo(CardSource source, std::ostream* os) { *os << CardSourceText(source); }

// A card image of its own in the test's folder behind the engine, and what
// the card tests do with it: files sent, fetched back and found, and the
// card's bytes read straight from the image.
class CardFixture : public EngineTest {
 protected:
  void TearDown() override {
    StopCard();
    EngineTest::TearDown();
  }

  // A blank (zero) card of `sectors` sectors, reached from `source`; any
  // card before it is put away first.
  void StartCard(CardSource source, std::uint32_t sectors) {
    StopCard();
    image_ = dir_ / "card.img";
    sectors_ = sectors;
    std::filesystem::remove(image_);
    EXPECT_TRUE(MakeBlankImage(image_, sectors));
    switch (source) {
      case CardSource::kInProcess:
        player_ = std::make_unique<player::InProcessPlayer>(image_);
        EXPECT_TRUE(player_->ok()) << player_->error();
        player_->Install();
        break;
      case CardSource::kImage: {
        std::string error;
        EXPECT_TRUE(AttachCardImage(image_, &error)) << error;
        break;
      }
      case CardSource::kSocket: {
#ifdef _WIN32
        ADD_FAILURE() << "zk27-player runs on Linux only";
#else
        const std::string socket = dir_ / "player.sock";
        daemon_ = std::make_unique<PlayerProcess>(image_, socket, dir_.path());
        EXPECT_EQ(daemon_->Start(1), "zk27-player: serving " + image_ + " on " + socket + "\n");
        SetEnv("ZK27_PLAYER_SOCKET", socket);
#endif
        break;
      }
    }
  }

  void StopCard() {
    player_.reset();
    DetachCardImage();
#ifndef _WIN32
    if (daemon_) {
      daemon_->Stop();
      daemon_.reset();
      SetEnv("ZK27_PLAYER_SOCKET", dir_ / "no-player.sock");
    }
#endif
  }

  // The standard empty volume, laid down without the format routine's
  // 300 ms pause (the volume tests show it matches what FormatCard writes).
  Layout FormatQuickly() {
    const Layout g = FormatImage(image_, sectors_);
    EXPECT_TRUE(WriteAt(image_, 32 * 512 + 24, {0x10, 0x00}));  // sectors per track
    return g;
  }

  // The card behind the engine, formatted and mounted.
  void FormatAndMount() {
    FormatQuickly();
    ASSERT_EQ(MountVolume(), kMountOk);
    ASSERT_EQ(DeviceState, 0);
  }

  // A PC file of `bytes` in the test's PC folder; returns its path.
  std::string PcFile(const std::string& name, const Bytes& bytes) {
    std::filesystem::create_directories(dir_ / "pc");
    const std::string path = dir_ / ("pc/" + name);
    EXPECT_TRUE(WriteFile(path, bytes));
    return path;
  }

  CardOpResult Store(const std::string& name, const Bytes& bytes, const ProgressFn& progress = {}) {
    return SendFileToCard(PcFile(name, bytes), name, progress);
  }

  // The card file listed as `line`, fetched into a fresh folder; its bytes,
  // or nothing when the fetch did not succeed.
  std::optional<Bytes> FetchBack(const std::string& line, CardOpResult* result = nullptr) {
    RebuildCardList();
    const std::int32_t r = FindCardFile(line);
    const std::string out = dir_ / ("out" + std::to_string(++fetches_));
    std::filesystem::create_directories(out);
    std::string pcName;
    const CardOpResult res = r > 0 ? FetchCardFileTo(r, out, {}, &pcName) : kOpNotOnCard;
    if (result) *result = res;
    if (res != kOpOk) return std::nullopt;
    return ReadFile(out + "/" + pcName);
  }

  // The DirEntry of the card file listed as `line` in the directory image.
  std::uint8_t* EntryOf(const std::string& line) {
    RebuildCardList();
    const std::int32_t r = FindCardFile(line);
    if (r <= 0) return nullptr;
    return DirEntryAt(static_cast<std::uint32_t>(CardFileTable[r].DirSector),
                      static_cast<std::uint32_t>(CardFileTable[r].DirOffset));
  }

  // The card's bytes of sectors [lba, lba + count).
  Bytes CardSectors(std::uint32_t lba, std::uint32_t count) const {
    return ReadAt(image_, std::uint64_t{lba} * 512, std::size_t{count} * 512);
  }

  std::string image_;
  std::uint32_t sectors_ = 0;
  // The in-process source's player; none for the other sources.
  std::unique_ptr<player::InProcessPlayer> player_;

 private:
#ifndef _WIN32
  std::unique_ptr<PlayerProcess> daemon_;
#endif
  int fetches_ = 0;
};

// The virtual player in this process, with a log of every command it
// receives and a hook to inject faults at a chosen command: for the cases
// that look at the commands themselves or at what a failing player does.
class CardTest : public CardFixture {
 protected:
  // A blank (zero) card of `sectors` sectors behind the driver.
  player::InProcessPlayer& StartPlayer(std::uint32_t sectors) {
    StartCard(CardSource::kInProcess, sectors);
    player_->core().SetObserver([this](std::uint64_t n, const player::CommandInfo& c) {
      log_.push_back({c.code, c.lba, c.count});
      if (n == faultAt_ && fault_) {
        auto f = std::move(fault_);
        fault_ = nullptr;
        f(player_->core());
      }
    });
    return *player_;
  }

  // A blank card of `sectors` sectors, formatted and mounted.
  void StartMountedCard(std::uint32_t sectors = 2048) {
    StartPlayer(sectors);
    FormatAndMount();
    log_.clear();
  }

  // Runs `fault` on the player when the `k`-th command from now arrives,
  // before the player judges it.
  void FaultAtCommand(std::uint64_t k, std::function<void(player::PlayerCore&)> fault) {
    faultAt_ = player_->CommandsServed() + k;
    fault_ = std::move(fault);
  }

  std::uint64_t Served() const { return player_->CommandsServed(); }

  std::vector<Command> WritesIn(const std::vector<Command>& cmds) const {
    std::vector<Command> w;
    for (const auto& c : cmds)
      if (c.code == kCmdWriteSectors) w.push_back(c);
    return w;
  }

  std::vector<Command> log_;

 private:
  std::uint64_t faultAt_ = 0;
  std::function<void(player::PlayerCore&)> fault_;
};

// The same card from each of the three sources in turn (TEST_P, instantiated
// with kAllCardSources): for the cases that judge only results and the card's
// bytes, which must not depend on how the engine reaches the card. The
// in-process player's log and faults are out of reach here.
class AnyCardTest : public CardFixture, public ::testing::WithParamInterface<CardSource> {
 protected:
  void StartCard(std::uint32_t sectors) { CardFixture::StartCard(GetParam(), sectors); }

  // A blank card of `sectors` sectors, formatted and mounted.
  void StartMountedCard(std::uint32_t sectors = 2048) {
    StartCard(sectors);
    FormatAndMount();
  }

 private:
  using CardFixture::player_;
};

// (zk27-player, on the socket, is Linux's.)
#ifdef _WIN32
inline const auto kAllCardSources = ::testing::Values(CardSource::kInProcess, CardSource::kImage);
#else
inline const auto kAllCardSources =
    ::testing::Values(CardSource::kInProcess, CardSource::kImage, CardSource::kSocket);
#endif

// A DirEntry written straight into the directory image; its voice flag and
// the bytes of no field stay as they were.
inline void PutEntry(std::uint32_t sector, std::uint32_t offset, std::uint8_t id, std::uint8_t mark,
                     std::uint16_t slot, std::uint16_t first, std::uint32_t size) {
  DirEntry e;
  ASSERT_TRUE(ReadDirEntry({sector, offset}, &e));
  e.mark = mark;
  e.nameSlot = slot;
  e.fileId = id;
  e.firstCluster = first;
  e.size = size;
  ASSERT_TRUE(WriteDirEntry({sector, offset}, e));
}

}  // namespace zk27_test
